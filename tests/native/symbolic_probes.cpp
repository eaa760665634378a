// Test-only entry points into the symbolic layer's native steps that have no
// Python surface of their own (part of `_native._testing`).
#include <Python.h>

#include <vector>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "symbolic/adopt.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/dict.hpp"
#include "symbolic/list.hpp"
#include "symbolic/markers.hpp"

namespace norv::testing {

namespace {

namespace sym = symbolic;

Ref answer(Maybe<bool> b)
{
    return b ? new_bool(*b) : Ref();
}

Status require_symdict(PyObject *o)
{
    return sym::SymDict::check(o) ? Status::ok : Status(raise_not_instance(o, "SymDict"));
}

Status require_symlist(PyObject *o)
{
    return sym::SymList::check(o) ? Status::ok : Status(raise_not_instance(o, "SymList"));
}

// The native fields of a SymDict or SymList.
sym::ContainerFields *fields_of(PyObject *o)
{
    if (sym::SymDict::check(o)) {
        return &sym::SymDict::fields(o);
    }
    if (sym::SymList::check(o)) {
        return &sym::SymList::fields(o);
    }
    (void)raise_not_instance(o, "SymDict or SymList");
    return nullptr;
}

Ref size_answer(Maybe<std::optional<std::int64_t>> size)
{
    if (!size) {
        return error;
    }
    return *size ? new_int(**size) : none();
}

Ref is_symbolic(PyObject *, PyObject *v)
{
    return answer(sym::markers::is_symbolic(v));
}

Ref is_topology_aware(PyObject *, PyObject *v)
{
    return answer(sym::markers::is_topology_aware(v));
}

Ref is_inferential(PyObject *, PyObject *v)
{
    return answer(sym::markers::is_inferential(v));
}

Ref child_sym_mode(PyObject *, PyObject *v)
{
    return answer(sym::markers::child_sym_mode(v));
}

Ref default_origin(PyObject *)
{
    Maybe<Ref> origin = sym::bridge::default_origin();
    if (!origin) {
        return error;
    }
    return *origin ? std::move(*origin) : none();
}

Ref insertion_cls(PyObject *)
{
    return Ref::borrow(sym::bridge::insertion_cls());
}

Ref update_target_validates(PyObject *, PyObject *update)
{
    return answer(sym::bridge::update_target_validates(update));
}

const Signature RESET{"node_reset",
                      {arg("d"), arg("path"), arg("allow_partial"), arg("accessor_writable"), arg("sealed")}};

// SymNode::reset_for_construct on a container's node, under its exclusive hold.
Ref node_reset(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(RESET.bind(a, b))) {
        return error;
    }
    sym::ContainerFields *f = fields_of(b[0]);
    if (f == nullptr) {
        return error;
    }
    sym::SymNode::Released released;
    ExclusiveBorrow hold(f->borrow, OnConflict::Panic);
    sym::SymNode::reset_for_construct(f->node, sym::absent_if_none(b[1]), b[2] == Py_True, b[3] == Py_True,
                                      b[4] == Py_True, released);
    return none();
}

Ref node_clear_refs(PyObject *, PyObject *d)
{
    sym::ContainerFields *f = fields_of(d);
    if (f == nullptr) {
        return error;
    }
    sym::SymNode::Released released;
    ExclusiveBorrow hold(f->borrow, OnConflict::Panic);
    sym::SymNode::clear_refs(f->node, released);
    return none();
}

Ref native_child_state(PyObject *, PyObject *v)
{
    std::optional<sym::adopt::ChildState> s = sym::adopt::native_child_state(v);
    if (!s) {
        return none();
    }
    return Ref::steal(Py_BuildValue("(OOO)", sym::or_none(s->parent).get(), s->sym_mode ? Py_True : Py_False,
                                    sym::or_none(s->path).get()));
}

const Signature GUARD{"guard_no_cycle", {arg("owner"), arg("value"), arg("path")}};

Ref guard_no_cycle(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(GUARD.bind(a, b)) || failed(sym::adopt::guard_no_cycle(b[0], b[1], b[2]))) {
        return error;
    }
    return none();
}

const Signature RELOCATE{
    "relocate_if_symbolic",
    {arg("key"), arg("value"), arg("enabled"), arg("parent_path"), arg("owner"), arg("parent"), opt("seen")}};

Ref relocate_if_symbolic(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(RELOCATE.bind(a, b))) {
        return error;
    }
    return sym::adopt::relocate_if_symbolic(b[0], b[1], b[2] == Py_True, b[3], b[4], b[5], b.or_none(6));
}

Ref schema_of(PyObject *, PyObject *d)
{
    if (failed(require_symdict(d))) {
        return error;
    }
    Maybe<Ref> schema = sym::SymDict::schema_of(d);
    if (!schema) {
        return error;
    }
    return *schema ? std::move(*schema) : none();
}

const Signature ORDERED{"schema_ordered_keys", {arg("d"), arg("schema")}};

Ref schema_ordered_keys(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(ORDERED.bind(a, b)) || failed(require_symdict(b[0]))) {
        return error;
    }
    return sym::SymDict::schema_ordered_keys(b[0], b[1]);
}

Ref sym_items(PyObject *, PyObject *d)
{
    if (failed(require_symdict(d))) {
        return error;
    }
    Ref it = sym::SymDict::sym_items(d);
    return it ? Ref::steal(PySequence_List(it.get())) : Ref();
}

Ref path_arg(PyObject *, PyObject *d)
{
    if (sym::SymList::check(d)) {
        return sym::SymList::path_arg(d);
    }
    if (failed(require_symdict(d))) {
        return error;
    }
    return sym::SymDict::path_arg(d);
}

const Signature HOLD{"holding", {arg("d"), arg("exclusive"), arg("fn")}};

// Calls `fn()` while the container's fields are held as a native operation
// would hold them, to show what a conflicting access meets.
Ref holding(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(HOLD.bind(a, b))) {
        return error;
    }
    sym::ContainerFields *f = fields_of(b[0]);
    if (f == nullptr) {
        return error;
    }
    if (b[1] == Py_True) {
        ExclusiveBorrow hold(f->borrow, OnConflict::Panic);
        return Ref::steal(PyObject_CallNoArgs(b[2]));
    }
    SharedBorrow hold(f->borrow, OnConflict::Panic);
    return Ref::steal(PyObject_CallNoArgs(b[2]));
}

// ---- SymList cores ----------------------------------------------------------

Ref list_storage_is_self(PyObject *, PyObject *l)
{
    if (failed(require_symlist(l))) {
        return error;
    }
    return new_bool(sym::SymList::storage(l) == l);
}

Ref element_of(PyObject *, PyObject *l)
{
    if (failed(require_symlist(l))) {
        return error;
    }
    Maybe<Ref> element = sym::SymList::element_of(l);
    if (!element) {
        return error;
    }
    return *element ? std::move(*element) : Ref::borrow(Py_Ellipsis);  // Ellipsis: none
}

Ref min_size_val(PyObject *, PyObject *l)
{
    if (failed(require_symlist(l))) {
        return error;
    }
    return size_answer(sym::SymList::min_size_val(l));
}

Ref max_size_val(PyObject *, PyObject *l)
{
    if (failed(require_symlist(l))) {
        return error;
    }
    return size_answer(sym::SymList::max_size_val(l));
}

Ref accepts_partial(PyObject *, PyObject *l)
{
    if (failed(require_symlist(l))) {
        return error;
    }
    return new_bool(sym::SymList::accepts_partial(l));
}

const Signature FUSED{"fused_typed_construct", {arg("l"), arg("spec"), arg("elements")}};

Ref fused_typed_construct(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FUSED.bind(a, b)) || failed(require_symlist(b[0]))) {
        return error;
    }
    Ref seq = Ref::steal(PySequence_List(b[2]));
    if (!seq) {
        return error;
    }
    std::vector<Ref> elements;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i) {
        elements.push_back(Ref::borrow(PyList_GET_ITEM(seq.get(), i)));
    }
    return answer(sym::SymList::try_fused_typed_construct(b[0], b[1], elements));
}

const Signature WRAP_NODE{
    "build_wrap_node",
    {arg("cls"), arg("value"), arg("value_spec"), arg("allow_partial"), arg("root_path"), opt("parent")}};

Ref build_wrap_node(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(WRAP_NODE.bind(a, b))) {
        return error;
    }
    return sym::SymList::build_wrap_node(b[0], b[1], b[2], b[3] == Py_True, b[4], b.or_none(5));
}

PyMethodDef METHODS[] = {
    method_onearg<is_symbolic>("is_symbolic", nullptr),
    method_onearg<is_topology_aware>("is_topology_aware", nullptr),
    method_onearg<is_inferential>("is_inferential", nullptr),
    method_onearg<child_sym_mode>("child_sym_mode", nullptr),
    method_noargs<default_origin>("default_origin", nullptr),
    method_onearg<update_target_validates>("update_target_validates", nullptr),
    method_noargs<insertion_cls>("insertion_cls", nullptr),
    method<node_reset>("node_reset", nullptr),
    method_onearg<node_clear_refs>("node_clear_refs", nullptr),
    method_onearg<native_child_state>("native_child_state", nullptr),
    method<guard_no_cycle>("guard_no_cycle", nullptr),
    method<relocate_if_symbolic>("relocate_if_symbolic", nullptr),
    method_onearg<schema_of>("schema_of", nullptr),
    method<schema_ordered_keys>("schema_ordered_keys", nullptr),
    method_onearg<sym_items>("sym_items", nullptr),
    method_onearg<path_arg>("path_arg", nullptr),
    method<holding>("holding", nullptr),
    method_onearg<list_storage_is_self>("list_storage_is_self", nullptr),
    method_onearg<element_of>("element_of", nullptr),
    method_onearg<min_size_val>("min_size_val", nullptr),
    method_onearg<max_size_val>("max_size_val", nullptr),
    method_onearg<accepts_partial>("accepts_partial", nullptr),
    method<fused_typed_construct>("fused_typed_construct", nullptr),
    method<build_wrap_node>("build_wrap_node", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Status add_symbolic_probes(PyObject *probes)
{
    return check(PyModule_AddFunctions(probes, METHODS));
}

}  // namespace norv::testing
