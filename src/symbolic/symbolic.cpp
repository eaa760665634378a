#include "symbolic/symbolic.hpp"

#include "core/registry.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/dict.hpp"

namespace norv::symbolic {

Status register_names(PyObject *module)
{
    if (failed(add_type(module, SymDict::type()))) {
        return error;
    }
    return bridge::register_installer(module);
}

}  // namespace norv::symbolic
