// The object layer's module functions, in the host's registration order, in the
// runs `module.cpp` places among the other layers' names.
#pragma once

#include "core/registry.hpp"

namespace norv::module_functions {

// The seams of objects and records: field dicts, clones, the unchecked write,
// records' node state and children, object topology, the container-field probes.
extern const FunctionTable OBJECT_SEAMS;

// The record construction, then the probes of object storage and node state.
extern const FunctionTable RECORD_CONSTRUCT_AND_PROBES;

// The installers and probes of the native type slots of host classes.
extern const FunctionTable TYPE_SLOTS;

}  // namespace norv::module_functions
