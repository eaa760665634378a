#include "symbolic/container.hpp"

namespace norv::symbolic::container {

Ref path_arg(ContainerFields &f)
{
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return or_none(f.node.path);
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
