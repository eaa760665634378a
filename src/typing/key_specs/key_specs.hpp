// Key specs: which keys a schema field stands for.
//
// `ConstStrKey` (one fixed name), `StrKey` (any name, optionally matching a
// pattern from its start), `ListKey` (a range of list indices) and `TupleKey`
// (one tuple position, or any). They are plain final classes outside the
// garbage collector; fields, schemas and the value specs reach them, and the
// host's own key specs alike, only through their Python surface (`match`,
// `extend`, `is_const`, `const_text`, `regex`).
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "typing/value_specs/services.hpp"

namespace norv::key_specs {

PyTypeObject *const_str_key_type();
PyTypeObject *str_key_type();

// Adds ConstStrKey, StrKey, ListKey and TupleKey, in that order.
[[nodiscard]] Status register_names(PyObject *module);

}  // namespace norv::key_specs
