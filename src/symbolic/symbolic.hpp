// The symbolic-container layer's entry into module execution.
#pragma once

#include <Python.h>

#include "core/error.hpp"

namespace norv::symbolic {

// Adds the layer's names, in the host's order, each as its part is built:
// `SymDict`, `_install_container_bridge`, `SymList`, `_install_list_bridge`,
// then the object layer's.
[[nodiscard]] Status register_names(PyObject *module);

}  // namespace norv::symbolic
