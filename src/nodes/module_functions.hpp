// The installers of the node bridges, in the host's registration order, in the
// runs `module.cpp` places among the other layers' names.
#pragma once

#include "core/registry.hpp"

namespace norv::module_functions {

// `_install_container_bridge`.
extern const FunctionTable CONTAINER_BRIDGE;

// `_install_list_bridge`.
extern const FunctionTable LIST_BRIDGE;

// `_install_object_bridge`.
extern const FunctionTable OBJECT_BRIDGE;

}  // namespace norv::module_functions
