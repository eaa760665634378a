#include "symbolic/object/topology.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object/bridge.hpp"
#include "symbolic/object/sym_object.hpp"
#include "topology/keypath.hpp"

namespace norv::symbolic::object::topology {

namespace {

Error refuse_instance()
{
    return raise(PyExc_TypeError, "node-state ABI: `inst` is neither a SymObject nor an inline-slot record");
}

Ref *ref_role(SymNode &node, std::size_t role) noexcept
{
    switch (role) {
        case PARENT:
            return &node.parent;
        case PATH:
            return &node.path;
        case ORIGIN:
            return &node.origin;
        default:
            return nullptr;
    }
}

bool *flag_role(SymNode &node, std::size_t role) noexcept
{
    switch (role) {
        case SEALED:
            return &node.sealed;
        case ALLOW_PARTIAL:
            return &node.allow_partial;
        case ACCESSOR_WRITABLE:
            return &node.accessor_writable;
        default:
            return nullptr;
    }
}

PyObject *type_of(PyObject *inst)
{
    return reinterpret_cast<PyObject *>(Py_TYPE(inst));
}

// Whether the class overrides a hook: its fact when the facts are known,
// else the class's attribute compared by identity with the bridge's default.
Maybe<bool> overrides(PyObject *inst, const std::optional<TopoFacts> &facts, bool TopoFacts::*fact,
                      PyObject *name, PyObject *default_hook)
{
    if (facts) {
        return (*facts).*fact;
    }
    Ref hook = getattr(type_of(inst), name);
    if (!hook) {
        return error;
    }
    return hook.get() != default_hook;
}

// `inst.<name>(a, b)`, the result dropped.
Status call_hook(PyObject *inst, PyObject *name, PyObject *a, PyObject *b)
{
    PyObject *args[] = {inst, a, b};
    Ref r = Ref::steal(PyObject_VectorcallMethod(name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return r ? Status::ok : Status::error;
}

// Gives every child in the tree its path under `new_path`, in field order,
// through the child's own `sym_setpath`. False (nothing done) for a blank
// object.
Maybe<bool> update_children_paths_native(PyObject *obj, PyObject *new_path)
{
    Ref dict = SymObject::inline_storage(obj);
    if (!dict) {
        return false;
    }
    RecursionGuard depth(" while re-pathing the children of an object");
    if (depth.failed()) {
        return error;
    }
    const Status walked = dict_for_each(dict.get(), [&](PyObject *key, PyObject *value) -> Status {
        const Maybe<bool> child = markers::in_tree(value);
        if (!child) {
            return error;
        }
        if (!*child) {
            return Status::ok;
        }
        Ref path = keypath::child_key_path(key, new_path);
        return path && call_method(value, interned<"sym_setpath">(), path.get()) ? Status::ok : Status::error;
    });
    if (failed(walked)) {
        return error;
    }
    return true;
}

// Whether a stored path differs from the new one (each None when absent):
// key by key for two native paths, else by Python's `!=`.
Maybe<bool> path_changed(PyObject *old, PyObject *path)
{
    if (old == Py_None || path == Py_None) {
        return old != path;
    }
    Maybe<std::optional<bool>> eq = keypath::keypaths_eq(old, path);
    if (!eq) {
        return error;
    }
    if (*eq) {
        return !**eq;
    }
    return compare_truth(old, path, Py_NE);
}

}  // namespace

Ref node_get(PyObject *inst, std::size_t role)
{
    if (!SymObject::check(inst)) {
        return refuse_instance();
    }
    ObjectFields &f = SymObject::fields(inst);
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    if (Ref *r = ref_role(f.node, role)) {
        return or_none(*r);
    }
    if (bool *flag = flag_role(f.node, role)) {
        return new_bool(*flag);
    }
    return none();
}

Status node_set(PyObject *inst, std::size_t role, PyObject *value)
{
    if (!SymObject::check(inst)) {
        return refuse_instance();
    }
    ObjectFields &f = SymObject::fields(inst);
    if (value == Py_None) {
        value = nullptr;
    }
    if (flag_role(f.node, role) != nullptr) {
        // The truth is taken before the access: `__bool__` may read this node.
        Maybe<bool> on = value ? truth(value) : Maybe<bool>(false);
        if (!on && failed(discard_ordinary_error())) {
            return error;
        }
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        *flag_role(f.node, role) = on && *on;
        return Status::ok;
    }
    if (ref_role(f.node, role) != nullptr) {
        // Released after the access: its finalizer may read this node.
        Ref displaced = Ref::borrow(value);
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(displaced, *ref_role(f.node, role));
    }
    return Status::ok;
}

Maybe<std::optional<TopoFacts>> topo_facts_of(PyObject *inst)
{
    if (!SymObject::check(inst)) {
        return std::optional<TopoFacts>();
    }
    Ref meta = SymObject::ctor_meta(type_of(inst));
    if (!meta) {
        return error;
    }
    MetaRead read(std::move(meta));
    return std::optional<TopoFacts>(read->topo);
}

Status blank_node_guard(PyObject *inst)
{
    return SymObject::check(inst) ? SymObject::node_read_guard(inst) : Status::ok;
}

Status facts_require_sym_mode(PyObject *inst, const std::optional<TopoFacts> &facts, const char *operation)
{
    if (facts && facts->topo_sym) {
        return Status::ok;
    }
    if (!SymObject::check(inst)) {
        Ref text = new_str(operation);
        return text && call_method(inst, interned<"_require_sym_mode">(), text.get()) ? Status::ok
                                                                                      : Status::error;
    }
    const Maybe<bool> sym = SymObject::sym_mode_of(type_of(inst));
    if (!sym) {
        return error;
    }
    if (*sym) {
        return Status::ok;
    }
    Ref cls_name = class_name_text(type_of(inst));
    Ref message = cls_name
                      ? Ref::steal(PyUnicode_FromFormat(
                            "`%s` requires a symbolic tree, but %U was declared with `sym=False`. Declare "
                            "the class with `sym=True` to use it.",
                            operation, cls_name.get()))
                      : Ref();
    return message ? raise_symbolic_mode_error(message.get()) : error;
}

Status topo_setpath_impl(PyObject *inst, PyObject *path, const std::optional<TopoFacts> &facts)
{
    if (failed(facts_require_sym_mode(inst, facts, "sym_setpath")) || failed(blank_node_guard(inst))) {
        return error;
    }
    Ref old = node_get(inst, PATH);
    if (!old) {
        return error;
    }
    PyObject *new_path = path ? path : Py_None;
    const Maybe<bool> changed = path_changed(old.get(), new_path);
    if (!changed) {
        return error;
    }
    if (!*changed) {
        return Status::ok;
    }
    if (failed(node_set(inst, PATH, new_path))) {
        return error;
    }
    PyObject *const update = interned<"_update_children_paths">();
    Maybe<bool> custom = overrides(inst, facts, &TopoFacts::update_children_paths_overridden, update,
                                   facts ? nullptr : bridge::get().default_update_children_paths);
    if (!custom) {
        return error;
    }
    if (*custom || !SymObject::check(inst)) {
        return call_hook(inst, update, old.get(), new_path);
    }
    const Maybe<bool> is_path = predicate(PyObject_IsInstance(new_path, bridge::get().keypath_cls));
    if (!is_path) {
        return error;
    }
    if (!*is_path) {
        PyErr_SetNone(PyExc_AssertionError);
        return error;
    }
    const Maybe<bool> repathed = update_children_paths_native(inst, new_path);
    if (!repathed) {
        return error;
    }
    if (!*repathed) {
        return call_hook(inst, update, old.get(), new_path);
    }
    custom = overrides(inst, facts, &TopoFacts::path_change_overridden, interned<"on_sym_path_change">(),
                       facts ? nullptr : bridge::get().default_on_sym_path_change);
    if (!custom) {
        return error;
    }
    return *custom ? call_hook(inst, interned<"on_sym_path_change">(), old.get(), new_path) : Status::ok;
}

Status topo_setparent_impl(PyObject *inst, PyObject *parent, const std::optional<TopoFacts> &facts)
{
    if (failed(facts_require_sym_mode(inst, facts, "sym_setparent"))) {
        return error;
    }
    Ref old = node_get(inst, PARENT);
    PyObject *new_parent = parent ? parent : Py_None;
    if (!old || failed(node_set(inst, PARENT, new_parent))) {
        return error;
    }
    if (old.get() == new_parent) {
        return Status::ok;
    }
    Maybe<bool> custom =
        overrides(inst, facts, &TopoFacts::parent_change_overridden, interned<"on_sym_parent_change">(),
                  facts ? nullptr : bridge::get().default_on_sym_parent_change);
    if (!custom) {
        return error;
    }
    return *custom ? call_hook(inst, interned<"on_sym_parent_change">(), old.get(), new_parent) : Status::ok;
}

}  // namespace norv::symbolic::object::topology

namespace norv::symbolic::object::faces {

namespace {

const Signature SETPATH_SIG{"sym_setpath", {arg("path")}, {.method = true}};
const Signature SETPARENT_SIG{"sym_setparent", {arg("parent")}, {.method = true}};

// The facts first: building the class's metadata can fail before anything else.
template <const Signature &Sig, Status (*Impl)(PyObject *, PyObject *, const std::optional<TopoFacts> &)>
Ref set_with_facts(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(Sig.bind(a, b))) {
        return error;
    }
    Maybe<std::optional<TopoFacts>> facts = topology::topo_facts_of(self);
    if (!facts || failed(Impl(self, b.or_none(0), *facts))) {
        return error;
    }
    return none();
}

}  // namespace

Ref sym_setpath(PyObject *self, FastArgs a)
{
    return set_with_facts<SETPATH_SIG, topology::topo_setpath_impl>(self, a);
}

Ref sym_setparent(PyObject *self, FastArgs a)
{
    return set_with_facts<SETPARENT_SIG, topology::topo_setparent_impl>(self, a);
}

}  // namespace norv::symbolic::object::faces
