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

}  // namespace norv::kernel::heap_type
