// The Python surface of the tree operations: SymObject's methods, and the
// module functions through which the host's Record classes reach the same
// operations with the instance as first argument.
#include <cstdint>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "objects/sym_object.hpp"
#include "objects/object_topology.hpp"
#include "containers/container_topology.hpp"

namespace norv::symbolic::object {

namespace {

using namespace topology;

// One operation over the bound arguments, its own starting at `first`.
using Op = Status (*)(PyObject *inst, const Bound &b, std::size_t first);

// The facts first: building the class's metadata can fail before anything else.
template <Status (*Impl)(PyObject *, PyObject *, const std::optional<TopoFacts> &)>
Status with_facts(PyObject *inst, const Bound &b, std::size_t first)
{
    const Maybe<std::optional<TopoFacts>> facts = topo_facts_of(inst);
    return facts ? Impl(inst, b.null_if_none(first), *facts) : Status::error;
}

Status origin_op(PyObject *inst, const Bound &b, std::size_t first)
{
    const Maybe<symbolic::topology::OriginArgs> args = symbolic::topology::origin_args(b, first);
    return args ? topo_setorigin(inst, *args) : Status::error;
}

Status accessor_op(PyObject *inst, const Bound &b, std::size_t first)
{
    const Maybe<bool> writable = bool_arg("writable", b[first], true, ArgCause::Conversion);
    return writable ? node_set(inst, ACCESSOR_WRITABLE, py_bool(*writable)) : Status::error;
}

Status seal_op(PyObject *inst, const Bound &b, std::size_t first)
{
    const Maybe<bool> is_seal = bool_arg("is_seal", b[first], true, ArgCause::Conversion);
    return is_seal ? topo_seal(inst, *is_seal) : Status::error;
}

enum class Answer : std::uint8_t { None, Self };

template <const Signature &Sig, Op Run, Answer A>
Ref as_method(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(Sig.bind(a, b)) || failed(Run(self, b, 0))) {
        return error;
    }
    return A == Answer::Self ? Ref::borrow(self) : none();
}

template <const Signature &Sig, Op Run>
Ref as_function(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(Sig.bind(a, b)) || failed(Run(b[0], b, 1))) {
        return error;
    }
    return none();
}

const Signature F_SETPATH{"_topo_setpath", {arg("inst"), opt("path")}};
const Signature F_SETPARENT{"_topo_setparent", {arg("inst"), opt("parent")}};
const Signature F_SETORIGIN{
    "_topo_setorigin",
    {arg("inst"), arg("source"), arg("tag"), opt("stacktrace"), opt("stacklimit"), opt("stacktop")}};
const Signature F_ACCESSOR{"_topo_set_accessor_writable", {arg("inst"), opt("writable")}};
const Signature F_SEAL{"_topo_seal", {arg("inst"), opt("is_seal")}};

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef SETPARENT_DEF = method<as_function<F_SETPARENT, with_facts<topo_setparent_impl>>>(
    "_topo_setparent",
    "_topo_setparent($module, /, inst, parent=None)\n--\n\n"
    "Set the parent of a node; an overridden `on_sym_parent_change` runs for a change.");
PyMethodDef SETPATH_DEF = method<as_function<F_SETPATH, with_facts<topo_setpath_impl>>>(
    "_topo_setpath",
    "_topo_setpath($module, /, inst, path=None)\n--\n\n"
    "Set the path of a node and carry the change to its children and hooks.");
PyMethodDef SET_ACCESSOR_WRITABLE_DEF = method<as_function<F_ACCESSOR, accessor_op>>(
    "_topo_set_accessor_writable",
    "_topo_set_accessor_writable($module, /, inst, writable=True)\n--\n\n"
    "Allow or refuse writes through a node's accessors.");
PyMethodDef SETORIGIN_DEF = method<as_function<F_SETORIGIN, origin_op>>(
    "_topo_setorigin",
    "_topo_setorigin($module, /, inst, source, tag, stacktrace=None, stacklimit=None, stacktop=-1)\n--\n\n"
    "Record the origin of a node.");
PyMethodDef SEAL_DEF =
    method<as_function<F_SEAL, seal_op>>("_topo_seal",
                                         "_topo_seal($module, /, inst, is_seal=True)\n--\n\n"
                                         "Seal (or unseal) the symbolic children of a node, then the node.");

namespace faces {

Ref sym_setpath(PyObject *self, FastArgs a)
{
    return as_method<symbolic::topology::SETPATH_SIG, with_facts<topo_setpath_impl>, Answer::None>(self, a);
}

Ref sym_setparent(PyObject *self, FastArgs a)
{
    return as_method<symbolic::topology::SETPARENT_SIG, with_facts<topo_setparent_impl>, Answer::None>(self,
                                                                                                       a);
}

Ref sym_setorigin(PyObject *self, FastArgs a)
{
    return as_method<symbolic::topology::SETORIGIN_SIG, origin_op, Answer::None>(self, a);
}

Ref set_accessor_writable(PyObject *self, FastArgs a)
{
    return as_method<symbolic::topology::SET_ACCESSOR_WRITABLE_SIG, accessor_op, Answer::Self>(self, a);
}

Ref sym_seal(PyObject *self, FastArgs a)
{
    return as_method<symbolic::topology::SEAL_SIG, seal_op, Answer::Self>(self, a);
}

}  // namespace faces

}  // namespace norv::symbolic::object
