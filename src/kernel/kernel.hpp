// The type-slot kernel's entry into module execution.
#pragma once

#include <Python.h>

#include "core/error.hpp"

namespace norv::kernel {

// Adds the kernel's module functions in the host's order, each as its part
// is built; the last step of module execution.
[[nodiscard]] Status register_names(PyObject *module);

}  // namespace norv::kernel
