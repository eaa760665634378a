#include "symbolic/symbolic.hpp"

#include "symbolic/bridge.hpp"

namespace norv::symbolic {

Status register_names(PyObject *module)
{
    return bridge::register_installer(module);
}

}  // namespace norv::symbolic
