// The record kernel's module functions, in the host's registration order, in
// the runs `module.cpp` places among the other layers' names.
#pragma once

#include "core/registry.hpp"

namespace norv::module_functions {

// The reserved cells, the node-state cells by role, the type-layout probe.
extern const FunctionTable RECORD_CELLS;

// Making and baking record types, their layout, the attribute reads and the
// collector probes.
extern const FunctionTable RECORD_TYPES;

}  // namespace norv::module_functions
