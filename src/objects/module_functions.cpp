// The object layer's module functions: each definition lives beside its code,
// and the tables below list them in the host's registration order.
#include "objects/module_functions.hpp"

namespace norv::symbolic::object {

extern PyMethodDef INLINE_FIELDS_DEF, CLONE_INLINE_SHALLOW_DEF, CLONE_CONSTRUCT_DEF, SET_ITEM_NO_CHECK_DEF,
    RECORD_MATERIALIZE_DEF, RECORD_INIT_NODE_STATE_DEF, RECORD_INLINE_FIELDS_DEF, RECORD_IS_MATERIALIZED_DEF,
    RECORD_ADOPT_CHILDREN_DEF, RECORD_REPATH_CHILDREN_DEF, RECORD_NODE_READ_DEF, SETPARENT_DEF, SETPATH_DEF,
    SET_ACCESSOR_WRITABLE_DEF, SETORIGIN_DEF, SEAL_DEF, CONTAINER_CANDIDATE_FIELDS_DEF,
    CONTAINER_WRAP_FIELDS_DEF, RECORD_CONSTRUCT_DEF, PROBE_IS_INLINE_DEF;

}  // namespace norv::symbolic::object

namespace norv::symbolic::object::topology {

extern PyMethodDef PROBE_NODE_GET_DEF, PROBE_NODE_SET_DEF;

}  // namespace norv::symbolic::object::topology

namespace norv::symbolic::object::tp_slots {

extern PyMethodDef ROUNDTRIP_TP_INIT_DEF, INSTALL_TP_INIT_DEF, INSTALL_RECORD_TP_INIT_DEF,
    INSTALL_TP_GETATTRO_DEF, INSTALL_TP_GETATTRO_FAST_DEF, INSTALL_RECORD_TP_GETATTRO_DEF,
    TP_GETATTRO_IS_NATIVE_DEF, TP_GETATTRO_IS_FAST_DEF;

}  // namespace norv::symbolic::object::tp_slots

namespace norv::module_functions {

namespace {

namespace object = symbolic::object;

PyMethodDef *const OBJECT_SEAMS_TABLE[] = {
    &object::INLINE_FIELDS_DEF,               // _native_object_inline_fields
    &object::CLONE_INLINE_SHALLOW_DEF,        // _native_object_clone_inline_shallow
    &object::CLONE_CONSTRUCT_DEF,             // _native_object_clone_construct
    &object::SET_ITEM_NO_CHECK_DEF,           // _native_object_set_item_no_check
    &object::RECORD_MATERIALIZE_DEF,          // _slot_record_materialize
    &object::RECORD_INIT_NODE_STATE_DEF,      // _slot_record_init_node_state
    &object::RECORD_INLINE_FIELDS_DEF,        // _slot_record_inline_fields
    &object::RECORD_IS_MATERIALIZED_DEF,      // _slot_record_is_materialized
    &object::RECORD_ADOPT_CHILDREN_DEF,       // _slot_record_adopt_children
    &object::RECORD_REPATH_CHILDREN_DEF,      // _slot_record_repath_children
    &object::RECORD_NODE_READ_DEF,            // _slot_record_node_read
    &object::SETPARENT_DEF,                   // _topo_setparent
    &object::SETPATH_DEF,                     // _topo_setpath
    &object::SET_ACCESSOR_WRITABLE_DEF,       // _topo_set_accessor_writable
    &object::SETORIGIN_DEF,                   // _topo_setorigin
    &object::SEAL_DEF,                        // _topo_seal
    &object::CONTAINER_CANDIDATE_FIELDS_DEF,  // _container_candidate_fields
    &object::CONTAINER_WRAP_FIELDS_DEF,       // _container_wrap_fields
};

PyMethodDef *const RECORD_CONSTRUCT_AND_PROBES_TABLE[] = {
    &object::RECORD_CONSTRUCT_DEF,          // _slot_record_construct
    &object::PROBE_IS_INLINE_DEF,           // _probe_object_is_inline
    &object::topology::PROBE_NODE_GET_DEF,  // _probe_node_get
    &object::topology::PROBE_NODE_SET_DEF,  // _probe_node_set
};

PyMethodDef *const TYPE_SLOTS_TABLE[] = {
    &object::tp_slots::ROUNDTRIP_TP_INIT_DEF,           // _kernel_roundtrip_tp_init
    &object::tp_slots::INSTALL_TP_INIT_DEF,             // _install_native_tp_init
    &object::tp_slots::INSTALL_RECORD_TP_INIT_DEF,      // _install_native_record_tp_init
    &object::tp_slots::INSTALL_TP_GETATTRO_DEF,         // _install_native_tp_getattro
    &object::tp_slots::INSTALL_TP_GETATTRO_FAST_DEF,    // _install_native_tp_getattro_fast
    &object::tp_slots::INSTALL_RECORD_TP_GETATTRO_DEF,  // _install_native_record_tp_getattro
    &object::tp_slots::TP_GETATTRO_IS_NATIVE_DEF,       // _kernel_tp_getattro_is_native
    &object::tp_slots::TP_GETATTRO_IS_FAST_DEF,         // _kernel_tp_getattro_is_fast
};

}  // namespace

constinit const FunctionTable OBJECT_SEAMS = OBJECT_SEAMS_TABLE;
constinit const FunctionTable RECORD_CONSTRUCT_AND_PROBES = RECORD_CONSTRUCT_AND_PROBES_TABLE;
constinit const FunctionTable TYPE_SLOTS = TYPE_SLOTS_TABLE;

}  // namespace norv::module_functions
