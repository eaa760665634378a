// The object layer's entry into module execution.
#pragma once

#include <Python.h>

#include "core/error.hpp"

namespace norv::symbolic::object {

// Adds the layer's classes and module functions, in the host's order, each
// as its part is built.
[[nodiscard]] Status register_names(PyObject *module);

}  // namespace norv::symbolic::object
