// The tree operations over node state by role: path, parent, origin, the
// symbolic-mode requirement, and the seal.
#include "objects/object_topology.hpp"

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "nodes/markers.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/record_object.hpp"
#include "objects/sym_object.hpp"
#include "containers/container_topology.hpp"
#include "topology/keypath.hpp"

namespace norv::symbolic::object::topology {

namespace {

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

// `value.sym_seal(flag)` for a symbolic value; anything else is left alone.
Status seal_if_symbolic(PyObject *value, PyObject *flag)
{
    const Maybe<bool> symbolic = markers::is_symbolic(value);
    if (!symbolic) {
        return error;
    }
    return !*symbolic || call_method(value, interned<"sym_seal">(), flag) ? Status::ok : Status::error;
}

// The node's attribute view, sealed as a whole.
Status seal_view(PyObject *inst, PyObject *flag)
{
    Ref view = attr<"_sym_attributes">(inst);
    return view && call_method(view.get(), interned<"sym_seal">(), flag) ? Status::ok : Status::error;
}

// A SymObject's field values, walked live; else its view. A Record's view
// when it keeps one; else its symbolic fields' cells, so a seal never
// builds a view.
Status seal_children(PyObject *inst, PyObject *flag)
{
    if (SymObject::check(inst)) {
        Ref fields = SymObject::inline_storage(inst);
        if (!fields) {
            return seal_view(inst, flag);
        }
        return dict_for_each(fields.get(),
                             [&](PyObject *, PyObject *value) { return seal_if_symbolic(value, flag); });
    }
    const Maybe<bool> materialized = record_is_materialized(inst);
    if (!materialized) {
        return error;
    }
    if (*materialized) {
        return seal_view(inst, flag);
    }
    Ref children = record_symbolic_children(inst);
    if (!children) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.get()); ++i) {
        if (failed(seal_if_symbolic(PyTuple_GET_ITEM(PyList_GET_ITEM(children.get(), i), 1), flag))) {
            return error;
        }
    }
    return Status::ok;
}

}  // namespace

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
    PyObject *new_path = none_if_null(path);
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
    PyObject *new_parent = none_if_null(parent);
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

Status topo_setorigin(PyObject *inst, const symbolic::topology::OriginArgs &args)
{
    if (failed(blank_node_guard(inst))) {
        return error;
    }
    Ref recorded = node_get(inst, ORIGIN);
    if (!recorded ||
        failed(symbolic::topology::check_origin_source(null_if_none(recorded.get()), args.source))) {
        return error;
    }
    Ref origin = symbolic::topology::build_origin(bridge::get().origin_cls, args);
    return origin ? node_set(inst, ORIGIN, origin.get()) : Status::error;
}

Status topo_seal(PyObject *inst, bool is_seal)
{
    if (failed(blank_node_guard(inst))) {
        return error;
    }
    RecursionGuard depth(" while sealing a symbolic tree");
    if (depth.failed()) {
        return error;
    }
    PyObject *const flag = py_bool(is_seal);
    return failed(seal_children(inst, flag)) ? Status::error : node_set(inst, SEALED, flag);
}

std::optional<Ref> sym_object_parent(PyObject *node)
{
    if (!SymObject::check(node)) {
        return std::nullopt;
    }
    ObjectFields &f = SymObject::fields(node);
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return none_if_null(f.node.parent);
}

}  // namespace norv::symbolic::object::topology
