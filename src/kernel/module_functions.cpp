// The record kernel's module functions: each definition lives beside its code,
// and the tables below list them in the host's registration order.
#include "kernel/module_functions.hpp"

namespace norv::kernel::heap_type {

extern PyMethodDef TOPOLOGY_RESERVED_DEF, PROBE_TYPE_LAYOUT_DEF, MAKE_RECORD_DEF, MAKE_RECORD_SUBTYPE_DEF,
    RECORD_LAYOUT_DEF, GENERIC_GETATTR_DEF;

}  // namespace norv::kernel::heap_type

namespace norv::kernel::record {

extern PyMethodDef NODE_GET_DEF, NODE_SET_DEF, NODE_SET_IF_ABSENT_DEF;

}  // namespace norv::kernel::record

namespace norv::kernel::slots {

extern PyMethodDef SET_SYM_MODE_DEF, SET_FIELD_KINDS_DEF;

}  // namespace norv::kernel::slots

namespace norv::kernel::refs {

extern PyMethodDef IS_INFERENTIAL_DEF;

}  // namespace norv::kernel::refs

namespace norv::kernel::gc {

extern PyMethodDef PROBE_SHORT_CIRCUIT_DEF, PROBE_TRAVERSE_VISITS_DEF;

}  // namespace norv::kernel::gc

namespace norv::module_functions {

namespace {

PyMethodDef *const RECORD_CELLS_TABLE[] = {
    &kernel::heap_type::TOPOLOGY_RESERVED_DEF,  // _kernel_topology_reserved
    &kernel::record::NODE_GET_DEF,              // _slot_node_get
    &kernel::record::NODE_SET_DEF,              // _slot_node_set
    &kernel::record::NODE_SET_IF_ABSENT_DEF,    // _slot_node_set_if_absent
    &kernel::heap_type::PROBE_TYPE_LAYOUT_DEF,  // _kernel_probe_type_layout
};

PyMethodDef *const RECORD_TYPES_TABLE[] = {
    &kernel::heap_type::MAKE_RECORD_DEF,          // _kernel_make_record
    &kernel::heap_type::MAKE_RECORD_SUBTYPE_DEF,  // _kernel_make_record_subtype
    &kernel::slots::SET_SYM_MODE_DEF,             // _kernel_set_record_sym_mode
    &kernel::slots::SET_FIELD_KINDS_DEF,          // _kernel_set_record_field_kinds
    &kernel::heap_type::RECORD_LAYOUT_DEF,        // _kernel_record_layout
    &kernel::refs::IS_INFERENTIAL_DEF,            // _kernel_is_inferential
    &kernel::heap_type::GENERIC_GETATTR_DEF,      // _kernel_generic_getattr
    &kernel::gc::PROBE_SHORT_CIRCUIT_DEF,         // _kernel_probe_short_circuit
    &kernel::gc::PROBE_TRAVERSE_VISITS_DEF,       // _kernel_probe_traverse_visits
};

}  // namespace

constinit const FunctionTable RECORD_CELLS = RECORD_CELLS_TABLE;
constinit const FunctionTable RECORD_TYPES = RECORD_TYPES_TABLE;

}  // namespace norv::module_functions
