#include "containers/adopt.hpp"

#include <cstddef>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/hooks.hpp"
#include "core/recursion.hpp"
#include "core/tls.hpp"
#include "core/truth.hpp"
#include "containers/dict.hpp"
#include "containers/list.hpp"
#include "nodes/markers.hpp"
#include "topology/keypath.hpp"
#include "core/names.hpp"

namespace norv::symbolic::adopt {

namespace {

// The parent an adopted value reports, None when it has none: a native
// container's is read in place, anything else answers through `sym_parent`,
// so a class that overrides it is heard.
Ref current_parent_of(PyObject *value)
{
    if (std::optional<ChildState> s = native_child_state(value)) {
        return none_if_null(s->parent);
    }
    return attr<"sym_parent">(value);
}

// The next node up on the cycle walk, None at a root. An object's parent is
// read in place: its Python getter refuses an object whose construction
// never ran.
Ref parent_of(PyObject *node)
{
    if (std::optional<ChildState> s = native_child_state(node)) {
        return none_if_null(s->parent);
    }
    if (const hooks::ObjectParentFn *object_parent = hooks::OBJECT_PARENT_HOOK.get()) {
        if (std::optional<Ref> parent = (*object_parent)(node)) {
            return std::move(*parent);
        }
    }
    return attr<"sym_parent">(node);
}

// The innermost live frame of this thread (a plain pointer to a frame on
// the stack, so nothing is owned here).
NORV_HOT_TLS constinit thread_local FormerParent *t_former = nullptr;

// The next node up from `node` on the cycle walk: its parent, else the
// parent a construction running on this thread detached it from.
Ref parent_or_former(PyObject *node)
{
    Ref up = parent_of(node);
    if (up && up.get() == Py_None) {
        if (PyObject *former = FormerParent::of(node)) {
            return Ref::borrow(former);
        }
    }
    return up;
}

Ref path_of(PyObject *node)
{
    if (std::optional<ChildState> s = native_child_state(node)) {
        return none_if_null(s->path);
    }
    return attr<"sym_path">(node);
}

Maybe<bool> own_sym_mode(PyObject *value)
{
    if (std::optional<ChildState> s = native_child_state(value)) {
        return s->sym_mode;
    }
    Ref mode = attr<"sym_mode">(value);
    if (!mode) {
        return error;
    }
    return to_bool(mode.get());
}

// Whether the current path differs from the new one: key by key for two
// native paths, else by Python's `!=`.
Maybe<bool> paths_differ(PyObject *current, PyObject *path)
{
    Maybe<std::optional<bool>> eq = keypath::keypaths_eq(current, path);
    if (!eq) {
        return error;
    }
    if (!*eq) {
        return compare_truth(current, path, Py_NE);
    }
    return !**eq;
}

Ref type_name(PyObject *value)
{
    return Ref::steal(PyType_GetName(Py_TYPE(value)));
}

// An insertion refused: `format` takes the value's type name and the path
// text, then, for a parent loop, the type name of the node met again.
Error raise_insertion(PyObject *exc, const char *format, PyObject *value, PyObject *path,
                      PyObject *node = nullptr)
{
    Ref name = type_name(value);
    Ref text = name ? str_of(path) : Ref();
    Ref node_name = text && node ? type_name(node) : Ref();
    if (!text || (node && !node_name)) {
        return error;
    }
    return raise_format(exc, format, name.get(), text.get(), node_name.get());
}

Error raise_cycle(PyObject *value, PyObject *path)
{
    return raise_insertion(
        PyExc_ValueError,
        "Inserting '%U' at path '%U' would create a cycle: the target container belongs to the "
        "inserted value's own symbolic tree.",
        value, path);
}

Error raise_parent_loop(PyObject *value, PyObject *path, PyObject *node)
{
    return raise_insertion(PyExc_RuntimeError,
                           "Inserting '%U' at path '%U' met a parent loop: the parent chain of the target "
                           "container comes back to a '%U' without reaching a root.",
                           value, path, node);
}

// Whether `seen` holds the value; a membership test that raises an ordinary
// error (an unhashable value) counts as "not held".
Maybe<bool> seen_holds(PyObject *seen, PyObject *value)
{
    Maybe<bool> held = predicate(PySet_Contains(seen, value));
    if (!held && failed(discard_ordinary_error())) {
        return error;
    }
    return held ? *held : false;
}

}  // namespace

std::optional<ChildState> native_child_state(PyObject *value)
{
    ContainerFields *f = SymDict::check(value)   ? &SymDict::fields(value)
                         : SymList::check(value) ? &SymList::fields(value)
                                                 : nullptr;
    if (f == nullptr) {
        return std::nullopt;
    }
    SharedBorrow hold(f->borrow, OnConflict::Panic);
    return ChildState{Ref::borrow(f->node.parent.get()), Ref::borrow(f->node.path.get()), f->sym_mode};
}

void FormerParent::keep(Ref parent) noexcept
{
    parent_ = std::move(parent);
    if (parent_) {
        outer_ = t_former;
        t_former = this;
    }
}

FormerParent::~FormerParent()
{
    if (parent_) {
        t_former = outer_;
    }
}

PyObject *FormerParent::of(PyObject *node) noexcept
{
    for (const FormerParent *f = t_former; f != nullptr; f = f->outer_) {
        if (f->node_ == node) {
            return f->parent_.get();
        }
    }
    return nullptr;
}

Status guard_no_cycle(PyObject *owner, PyObject *value, PyObject *path)
{
    if (owner == value) {
        return raise_cycle(value, path);
    }
    // Brent's loop finding: the walk keeps one node it has passed and moves
    // it up to the walk's position whenever the distance reaches the next
    // power of two, so a loop is found within a few rounds of its length.
    Ref anchor = Ref::borrow(owner);
    Ref node = parent_or_former(owner);
    std::size_t power = 1, distance = 1;
    while (node && node.get() != Py_None) {
        if (node.get() == value) {
            return raise_cycle(value, path);
        }
        if (node.get() == anchor.get()) {
            return raise_parent_loop(value, path, node.get());
        }
        if (distance == power) {
            anchor = Ref::borrow(node.get());
            power *= 2;
            distance = 0;
        }
        node = parent_or_former(node.get());
        ++distance;
    }
    return node ? Status::ok : Status::error;
}

Status guard_free_value(PyObject *owner, PyObject *value, PyObject *path)
{
    const Maybe<bool> in_tree = markers::in_tree(value);
    if (!in_tree || !*in_tree) {
        return in_tree ? Status::ok : Status::error;
    }
    Ref parent = parent_of(value);
    if (!parent) {
        return error;
    }
    return parent.get() == Py_None ? guard_no_cycle(owner, value, path) : Status::ok;
}

Ref relocate_if_symbolic(PyObject *key, PyObject *value, bool enabled, PyObject *parent_path, PyObject *owner,
                         PyObject *parent, PyObject *seen, std::optional<PyObject *> replaced)
{
    if (!enabled) {
        return Ref::borrow(value);
    }
    // Adopting a container re-paths its subtree through native code.
    RecursionGuard depth(" while adopting a symbolic value");
    if (depth.failed()) {
        return error;
    }
    Maybe<bool> symbolic = markers::is_symbolic(value);
    if (!symbolic) {
        return error;
    }
    if (*symbolic) {
        Maybe<bool> mode = own_sym_mode(value);
        if (!mode) {
            return error;
        }
        if (!*mode) {
            return Ref::borrow(value);
        }
    }
    Maybe<bool> aware = markers::is_topology_aware(value);
    if (!aware) {
        return error;
    }
    if (!*symbolic && !*aware) {
        return Ref::borrow(value);
    }
    Ref path = keypath::child_key_path(key, parent_path);
    if (!path) {
        return error;
    }

    Ref adopted = Ref::borrow(value);
    bool skip_none_parent = false;
    bool clone = false;
    if (*symbolic) {
        Ref current_parent = current_parent_of(value);
        if (!current_parent) {
            return error;
        }
        if (current_parent.get() == Py_None) {
            Maybe<bool> held = seen ? seen_holds(seen, value) : Maybe<bool>(false);
            if (!held) {
                return error;
            }
            clone = *held;
            if (!clone) {
                if (failed(guard_no_cycle(owner, value, path.get()))) {
                    return error;
                }
                if (seen && PySet_Add(seen, value) < 0) {
                    return error;
                }
                skip_none_parent = true;
            }
        }
        else if (current_parent.get() != owner) {
            clone = true;
        }
        else {
            Ref current_path = path_of(value);
            if (!current_path) {
                return error;
            }
            Maybe<bool> differ = paths_differ(current_path.get(), path.get());
            if (!differ) {
                return error;
            }
            clone = *differ || (replaced && *replaced != value);
        }
    }
    if (clone) {
        adopted = call_method(value, interned<"sym_clone">());
        if (!adopted) {
            return error;
        }
        skip_none_parent = true;
        aware = markers::is_topology_aware(adopted.get());
        if (!aware) {
            return error;
        }
    }
    if (!*aware) {
        return adopted;
    }
    if (!call_method(adopted.get(), interned<"sym_setpath">(), path.get())) {
        return error;
    }
    if (!(parent == Py_None && skip_none_parent) &&
        !call_method(adopted.get(), interned<"sym_setparent">(), parent)) {
        return error;
    }
    return adopted;
}

}  // namespace norv::symbolic::adopt
