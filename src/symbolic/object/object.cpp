#include "symbolic/object/object.hpp"

#include "core/registry.hpp"
#include "symbolic/object/bridge.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object/field_read.hpp"
#include "symbolic/object/record.hpp"
#include "symbolic/object/repr_fast.hpp"
#include "symbolic/object/serde.hpp"
#include "symbolic/object/sym_object.hpp"
#include "symbolic/object/topology.hpp"

namespace norv::symbolic::object {

Status register_names(PyObject *module)
{
    // Types are made on first request: ask for each only once the step before it succeeded.
    using TypeGetter = PyTypeObject *(*)();
    for (TypeGetter type : {SymObject::type, ObjectCtorMeta::type, field_getter_type}) {
        if (failed(add_type(module, type()))) {
            return error;
        }
    }
    for (PyMethodDef *def : {bridge::installer(),
                             render_object_fast_function(),
                             inline_fields_function(),
                             clone_inline_shallow_function(),
                             clone_construct_function(),
                             set_item_no_check_function(),
                             record_materialize_function(),
                             record_init_node_state_function(),
                             record_inline_fields_function(),
                             record_is_materialized_function(),
                             record_adopt_children_function(),
                             record_repath_children_function(),
                             record_node_read_function(),
                             topology::setparent_function(),
                             topology::setpath_function(),
                             topology::set_accessor_writable_function(),
                             topology::setorigin_function(),
                             topology::seal_function(),
                             container_candidate_fields_function(),
                             container_wrap_fields_function(),
                             inline_object_to_json_function(),
                             inline_object_to_json_open_function(),
                             from_json_all_plain_function(),
                             record_construct_function(),
                             probe_is_inline_function(),
                             topology::probe_node_get_function(),
                             topology::probe_node_set_function()}) {
        if (failed(add_function(module, def))) {
            return error;
        }
    }
    return Status::ok;
}

}  // namespace norv::symbolic::object
