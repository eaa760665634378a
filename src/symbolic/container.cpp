#include "symbolic/container.hpp"

#include "flags.hpp"

namespace norv::symbolic::container {

Ref path_arg(ContainerFields &f)
{
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return or_none(f.node.path);
}

Maybe<PyObject *> seen_arg(PyObject *given)
{
    if (given == nullptr || given == Py_None) {
        return static_cast<PyObject *>(nullptr);
    }
    if (!PySet_Check(given)) {
        (void)raise_not_instance(given, "set");
        wrap_argument_error("seen");
        return error;
    }
    return given;
}

bool accepts_partial(ContainerFields &f)
{
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return flags::resolve(flags::ALLOW_PARTIAL, f.node.allow_partial);
}

int traverse_fields(const ContainerFields &f, visitproc visit, void *arg)
{
    // An operation in progress owns the references it is replacing.
    if (f.borrow.is_exclusive()) {
        return 0;
    }
    if (const int rc = f.node.traverse(visit, arg)) {
        return rc;
    }
    Py_VISIT(f.value_spec.get());
    Py_VISIT(f.onchange_callback.get());
    return 0;
}

int clear_fields(ContainerFields &f)
{
    SymNode::Released released;
    {
        ExclusiveBorrow hold(f.borrow);
        if (hold.failed()) {
            return -1;
        }
        SymNode::clear_refs(f.node, released);
        released.add(std::move(f.value_spec));
        released.add(std::move(f.onchange_callback));
    }
    return 0;
}

}  // namespace norv::symbolic::container
