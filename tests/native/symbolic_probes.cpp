// Test-only entry points into the symbolic layer's native steps that have no
// Python surface of their own (part of `_native._testing`).
#include <Python.h>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/hooks.hpp"
#include "core/none.hpp"
#include "containers/adopt.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/dict.hpp"
#include "containers/list.hpp"
#include "nodes/markers.hpp"

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
    sym::SymNode::reset_for_construct(f->node, Ref::borrow(null_if_none(b[1])), b[2] == Py_True,
                                      b[3] == Py_True, b[4] == Py_True, released);
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
    return Ref::steal(Py_BuildValue("(OOO)", none_if_null(s->parent.get()), s->sym_mode ? Py_True : Py_False,
                                    none_if_null(s->path.get())));
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
    return sym::adopt::relocate_if_symbolic(b[0], b[1], b[2] == Py_True, b[3], b[4], b[5], b.null_if_none(6));
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

const Signature FUSED{"fused_typed_construct", {arg("l"), arg("spec"), arg("elements")}};

Ref fused_typed_construct(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FUSED.bind(a, b)) || failed(require_symlist(b[0]))) {
        return error;
    }
    Ref elements = Ref::steal(PySequence_List(b[2]));
    if (!elements) {
        return error;
    }
    return answer(sym::SymList::try_fused_typed_construct(b[0], b[1], elements.get()));
}

const Signature CONSTRUCT{
    "construct_into",
    {arg("d"), arg("normalized"), arg("value_spec"), kwopt("mode"), kwopt("owner"), kwopt("root_path"),
     kwopt("onchange_callback"), kwopt("allow_partial"), kwopt("sealed"), kwopt("accessor_writable"),
     kwopt("as_object_attributes_container"), kwopt("wrap"), kwopt("sym_mode")}};

// SymDict::construct_into; `mode` is 0 (validate), 1 (pass through) or 2
// (verbatim), the options' bools default as `__init__`'s do.
Ref construct_into(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(CONSTRUCT.bind(a, b)) || failed(require_symdict(b[0]))) {
        return error;
    }
    if (!PyDict_Check(b[1])) {
        return raise_not_instance(b[1], "dict");
    }
    sym::SymDict::ConstructOptions o;
    if (b.has(3)) {
        Maybe<std::uint8_t> mode = to_u8(b[3]);
        if (!mode) {
            return error;
        }
        o.mode = static_cast<sym::SymDict::ConstructMode>(*mode);
    }
    o.owner = b.null_if_none(4);
    o.root_path = b.null_if_none(5);
    o.onchange_callback = b.null_if_none(6);
    bool *flags[] = {&o.allow_partial, &o.sealed,  &o.accessor_writable, &o.as_object_attributes_container,
                     &o.wrap,          &o.sym_mode};
    for (std::size_t i = 0; i < std::size(flags); ++i) {
        if (b.has(7 + i)) {
            *flags[i] = b[7 + i] == Py_True;
        }
    }
    if (failed(sym::SymDict::construct_into(b[0], b[1], null_if_none(b[2]), o))) {
        return error;
    }
    return none();
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
    // The builder of the class's own kind: a list class builds a list.
    PyTypeObject *list = sym::SymList::type();
    if (list == nullptr) {
        return error;
    }
    const bool of_list = PyType_Check(b[0]) && PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(b[0]), list);
    auto build = of_list ? sym::SymList::build_wrap_node : sym::SymDict::build_wrap_node;
    return build(b[0], b[1], b[2], b[3] == Py_True, b[4], b.null_if_none(5));
}

const Signature WRAP_NODE_HOOK{
    "wrap_node_hook", {arg("cls"), arg("value"), arg("value_spec"), arg("allow_partial"), arg("root_path")}};

// What the schema drivers call: the hook module execution stored.
Ref wrap_node_hook(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(WRAP_NODE_HOOK.bind(a, b))) {
        return error;
    }
    const hooks::WrapNodeFn *hook = hooks::WRAP_NODE_HOOK.get();
    if (hook == nullptr) {
        return raise(PyExc_AssertionError, "no wrap-node hook");
    }
    return Ref::steal((*hook)(b[0], b[1], b[2], b[3] == Py_True, b[4]));
}

// The effective allow-partial flag of a dict or list.
Ref accepts_partial(PyObject *, PyObject *c)
{
    if (sym::SymList::check(c)) {
        return new_bool(sym::SymList::accepts_partial(c));
    }
    if (failed(require_symdict(c))) {
        return error;
    }
    return new_bool(sym::SymDict::accepts_partial(c));
}

Ref owner(PyObject *, PyObject *d)
{
    if (failed(require_symdict(d))) {
        return error;
    }
    return sym::SymDict::owner(d);
}

const Signature FORMALIZE{
    "formalize_field",
    {arg("key"), arg("field"), arg("value"), kwarg("owner"), kwarg("root_path"), kwarg("parent"),
     kwarg("sym_mode"), kwarg("allow_partial"), kwarg("node_allow_partial"), kwarg("wrap"),
     kwarg("missing_takes_default"), kwopt("seen")}};

// SymDict::formalize_field with a context given in full, as a list's own
// context would be.
Ref formalize_field(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FORMALIZE.bind(a, b))) {
        return error;
    }
    sym::FormalizeCtx ctx{Ref::borrow(b[4]), b[3],
                          Ref::borrow(b[5]), b[6] == Py_True,
                          b[7] == Py_True,   b[8] == Py_True,
                          b[9] == Py_True,   b[10] == Py_True};
    return sym::SymDict::formalize_field(b[0], null_if_none(b[1]), b[2], ctx, b.null_if_none(11));
}

PyMethodDef METHODS[] = {
    method<construct_into>("construct_into", nullptr),
    method<build_wrap_node>("build_wrap_node", nullptr),
    method<wrap_node_hook>("wrap_node_hook", nullptr),
    method_onearg<accepts_partial>("accepts_partial", nullptr),
    method_onearg<owner>("owner", nullptr),
    method<formalize_field>("formalize_field", nullptr),
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
    method<fused_typed_construct>("fused_typed_construct", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Status add_symbolic_probes(PyObject *probes)
{
    return check(PyModule_AddFunctions(probes, METHODS));
}

}  // namespace norv::testing
