#include "symbolic/symbolic.hpp"

#include "core/args.hpp"
#include "core/registry.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/dict.hpp"
#include "symbolic/list.hpp"
#include "symbolic/object/object.hpp"
#include "symbolic/ops/to_json.hpp"

namespace norv::symbolic {

Status register_names(PyObject *module)
{
    if (failed(add_type(module, SymDict::type())) || failed(bridge::register_installer(module)) ||
        failed(add_function(module, ops::to_json_walk_function())) ||
        failed(add_function(module, ops::set_default_sym_jsonify_function())) ||
        failed(add_type(module, SymList::type())) || failed(bridge::register_list_installer(module))) {
        return error;
    }
    // The object layer's names come last.
    return object::register_names(module);
}

PyObject *build_wrap_node(PyObject *cls, PyObject *value, PyObject *value_spec, bool allow_partial,
                          PyObject *root_path)
{
    if (PyDict_Check(value)) {
        return SymDict::build_wrap_node(cls, value, value_spec, allow_partial, root_path, nullptr).release();
    }
    if (PyList_Check(value)) {
        return SymList::build_wrap_node(cls, value, value_spec, allow_partial, root_path, nullptr).release();
    }
    return Ref(raise_not_instance(value, "list")).release();
}

}  // namespace norv::symbolic
