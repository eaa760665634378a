// Field: one schema entry binding a key spec to a value spec, with its
// description, origin, metadata, validator, alias and switches.
//
// Schemas, container specs and symbolic containers reach a field through its
// Python surface; native code may read a native field's value spec in place
// (`value_spec_of`).
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace norv::typing::field {

PyTypeObject *type();

// Exactly a native Field (the class is final). False before the class exists.
bool is_field(PyObject *o) noexcept;
// `field.apply(value, allow_partial=, transform_fn=, root_path=, inplace=)`;
// optional objects are nullptr when absent.
Ref apply(PyObject *field, PyObject *value, bool allow_partial, PyObject *transform_fn, PyObject *root_path,
          bool inplace);

// The value spec of a native field, read under a short shared access; a
// field that is being written is an internal fault.
Ref value_spec_of(PyObject *field);

// Empties the field's cached funnel classification.
void invalidate_meta(PyObject *field) noexcept;

}  // namespace norv::typing::field
