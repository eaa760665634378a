// The emission layer's module functions, in the host's registration order, in
// the runs `module.cpp` places among the other layers' names.
#pragma once

#include "core/registry.hpp"

namespace norv::module_functions {

// The to-JSON walk and the installer of the objects' default `sym_jsonify`.
extern const FunctionTable TO_JSON_WALK;

// The fast object renderer.
extern const FunctionTable FAST_RENDER;

// The inline serde: an object's JSON dict, and the plain-construction test.
extern const FunctionTable INLINE_SERDE;

}  // namespace norv::module_functions
