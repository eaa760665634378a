// The installers of the node bridges: each definition lives beside its code,
// and the tables below list them in the host's registration order.
#include "nodes/module_functions.hpp"

namespace norv::symbolic::bridge {

extern PyMethodDef INSTALL_DEF, INSTALL_LIST_DEF;

}  // namespace norv::symbolic::bridge

namespace norv::symbolic::object::bridge {

extern PyMethodDef INSTALL_DEF;

}  // namespace norv::symbolic::object::bridge

namespace norv::module_functions {

namespace {

PyMethodDef *const CONTAINER_BRIDGE_TABLE[] = {
    &symbolic::bridge::INSTALL_DEF,  // _install_container_bridge
};

PyMethodDef *const LIST_BRIDGE_TABLE[] = {
    &symbolic::bridge::INSTALL_LIST_DEF,  // _install_list_bridge
};

PyMethodDef *const OBJECT_BRIDGE_TABLE[] = {
    &symbolic::object::bridge::INSTALL_DEF,  // _install_object_bridge
};

}  // namespace

constinit const FunctionTable CONTAINER_BRIDGE = CONTAINER_BRIDGE_TABLE;
constinit const FunctionTable LIST_BRIDGE = LIST_BRIDGE_TABLE;
constinit const FunctionTable OBJECT_BRIDGE = OBJECT_BRIDGE_TABLE;

}  // namespace norv::module_functions
