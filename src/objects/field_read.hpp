// The native getter of the host's field properties.
#pragma once

#include <Python.h>

namespace norv::symbolic::object {

// `SymFieldGetter` (created on first use); NULL with the error set when
// creating it failed.
PyTypeObject *field_getter_type();

}  // namespace norv::symbolic::object
