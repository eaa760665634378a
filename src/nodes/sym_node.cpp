#include "nodes/sym_node.hpp"

namespace norv::symbolic {

void SymNode::clear_refs(SymNode &node, Released &out)
{
    out.add(std::move(node.parent));
    out.add(std::move(node.path));
    out.add(std::move(node.origin));
}

void SymNode::reset_for_construct(SymNode &node, Ref path, bool allow_partial, bool accessor_writable,
                                  bool sealed, Released &out)
{
    out.add(std::move(node.parent));
    out.add(std::exchange(node.path, std::move(path)));
    node.allow_partial = allow_partial;
    node.accessor_writable = accessor_writable;
    node.sealed = sealed;
}

}  // namespace norv::symbolic
