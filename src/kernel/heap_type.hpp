// Record types: heap types built at run time from a name, field names and a
// layout plan, and the kernel's layout constants and probes.
#pragma once

#include <Python.h>

#include "core/ref.hpp"
#include "kernel/layout.hpp"

namespace norv::kernel::heap_type {

// A new Record type named `name` (a str; "norv_core._native." is put in
// front of a name without a dot) with one cell per name of `field_names`
// (a list of str) after the plan's reserved cells; `base` is nullptr for a
// root type, else a base the kernel accepted.
Ref make(PyObject *name, PyObject *field_names, Layout layout, PyTypeObject *base, bool sym_mode);

// The module functions: `_kernel_make_record`, `_kernel_make_record_subtype`,
// `_kernel_record_layout`, `_kernel_topology_reserved`,
// `_kernel_probe_type_layout`, `_kernel_generic_getattr`.
PyMethodDef *make_record_function();
PyMethodDef *make_record_subtype_function();
PyMethodDef *record_layout_function();
PyMethodDef *topology_reserved_function();
PyMethodDef *probe_type_layout_function();
PyMethodDef *generic_getattr_function();

}  // namespace norv::kernel::heap_type
