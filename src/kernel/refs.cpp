#include "kernel/refs.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"

namespace norv::kernel::refs {

bool is_inferential(PyObject *value)
{
    return _PyType_Lookup(Py_TYPE(value), interned<"infer">()) != nullptr;
}

namespace {

const Signature IS_INFERENTIAL_SIG{"_kernel_is_inferential", {arg("value")}};

Ref kernel_is_inferential(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(IS_INFERENTIAL_SIG.bind(a, b))) {
        return error;
    }
    return new_bool(is_inferential(b[0]));
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef IS_INFERENTIAL_DEF =
    method<kernel_is_inferential>("_kernel_is_inferential",
                                  "_kernel_is_inferential($module, /, value)\n--\n\n"
                                  "Whether type(value) or a class on its MRO defines `infer`.");

}  // namespace norv::kernel::refs
