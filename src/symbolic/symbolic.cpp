#include "symbolic/symbolic.hpp"

#include "core/registry.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/dict.hpp"
#include "symbolic/list.hpp"
#include "symbolic/object/object.hpp"

namespace norv::symbolic {

Status register_names(PyObject *module)
{
    if (failed(add_type(module, SymDict::type())) || failed(bridge::register_installer(module)) ||
        failed(add_type(module, SymList::type())) || failed(bridge::register_list_installer(module))) {
        return error;
    }
    // The object layer's names come last.
    return object::register_names(module);
}

}  // namespace norv::symbolic
