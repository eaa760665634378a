#include "kernel/kernel.hpp"

#include "core/registry.hpp"
#include "kernel/gc.hpp"
#include "kernel/heap_type.hpp"
#include "kernel/record.hpp"
#include "kernel/refs.hpp"
#include "kernel/slots.hpp"
#include "kernel/tp_slots.hpp"

namespace norv::kernel {

Status register_names(PyObject *module)
{
    // Functions are made on first request: ask for each only once the step before it succeeded.
    using Function = PyMethodDef *(*)();
    for (Function def : {
             heap_type::topology_reserved_function,
             record::node_get_function,
             record::node_set_function,
             record::node_set_if_absent_function,
             heap_type::probe_type_layout_function,
             tp_slots::roundtrip_tp_init_function,
             tp_slots::install_tp_init_function,
             tp_slots::install_record_tp_init_function,
             tp_slots::install_tp_getattro_function,
             tp_slots::install_tp_getattro_fast_function,
             tp_slots::install_record_tp_getattro_function,
             tp_slots::tp_getattro_is_native_function,
             tp_slots::tp_getattro_is_fast_function,
             heap_type::make_record_function,
             heap_type::make_record_subtype_function,
             slots::set_sym_mode_function,
             slots::set_field_kinds_function,
             heap_type::record_layout_function,
             refs::is_inferential_function,
             heap_type::generic_getattr_function,
             gc::probe_short_circuit_function,
             gc::probe_traverse_visits_function,
         }) {
        if (failed(add_function(module, def()))) {
            return error;
        }
    }
    return Status::ok;
}

}  // namespace norv::kernel
