// The topology layer's module functions, in the host's registration order;
// `module.cpp` registers the table in its place among the other layers' names.
#pragma once

#include "core/registry.hpp"

namespace norv::module_functions {

// `missing_value_singleton`.
extern const FunctionTable TOPOLOGY;

}  // namespace norv::module_functions
