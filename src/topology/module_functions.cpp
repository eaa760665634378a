// The topology layer's module functions: each definition lives beside its code,
// and the tables below list them in the host's registration order.
#include "topology/module_functions.hpp"

namespace norv::missing {

extern PyMethodDef SINGLETON_DEF;

}  // namespace norv::missing

namespace norv::module_functions {

namespace {

PyMethodDef *const TOPOLOGY_TABLE[] = {
    &missing::SINGLETON_DEF,  // missing_value_singleton
};

}  // namespace

constinit const FunctionTable TOPOLOGY = TOPOLOGY_TABLE;

}  // namespace norv::module_functions
