// The formatting layer's module functions: each definition lives beside its
// code, and the tables below list them in the host's registration order.
#include "formatting/module_functions.hpp"

namespace norv::formatting {

extern PyMethodDef FORMAT_DEF, KVLIST_DEF, INSTALL_BRIDGE_DEF;

}  // namespace norv::formatting

namespace norv::module_functions {

namespace {

PyMethodDef *const FORMATTING_TABLE[] = {
    &formatting::FORMAT_DEF,          // format
    &formatting::KVLIST_DEF,          // kvlist_str
    &formatting::INSTALL_BRIDGE_DEF,  // _install_formatting_bridge
};

}  // namespace

constinit const FunctionTable FORMATTING = FORMATTING_TABLE;

}  // namespace norv::module_functions
