#include "containers/wrap_node.hpp"

#include "containers/dict.hpp"
#include "containers/list.hpp"
#include "core/args.hpp"

namespace norv::symbolic {

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
