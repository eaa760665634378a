#include "symbolic/symbolic.hpp"

#include "core/registry.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/dict.hpp"
#include "symbolic/object/object.hpp"

namespace norv::symbolic {

Status register_names(PyObject *module)
{
    if (failed(add_type(module, SymDict::type()))) {
        return error;
    }
    if (failed(bridge::register_installer(module))) {
        return error;
    }
    // The object layer's names come last.
    return object::register_names(module);
}

}  // namespace norv::symbolic
