// The formatting layer's module functions, in the host's registration order;
// `module.cpp` registers the table in its place among the other layers' names.
#pragma once

#include "core/registry.hpp"

namespace norv::module_functions {

// `format`, `kvlist_str` and the markdown-isolation bridge's installer.
extern const FunctionTable FORMATTING;

}  // namespace norv::module_functions
