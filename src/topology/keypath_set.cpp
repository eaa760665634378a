#include "topology/keypath_set.hpp"

#include <new>
#include <vector>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"
#include "formatting/format.hpp"

namespace norv::keypath_set {

namespace {

using keypath::Keys;

struct SetObject {
    PyObject_HEAD
    PyObject *root;  // the trie's root dict, strong; replaced only by rebase
    BorrowFlag flag;
};

SetObject *as_set(PyObject *o) noexcept { return reinterpret_cast<SetObject *>(o); }

TypeCell TYPE;
ObjectCell MARKER, COPY_MODULE_NAME, LABEL_NAME, LABEL_VALUE, COMPACT_NAME, VERBOSE_NAME;

PyObject *interned(ObjectCell &cell, const char *text)
{
    return cell.get_or_init([&] { return legacy::checked(PyUnicode_InternFromString(text)); });
}

// The end marker "$", one object for the whole process.
PyObject *marker() { return interned(MARKER, "$"); }

// ---------------------------------------------------------------------------
// Trie primitives

// Python code can put anything into the trie, so every descent checks that
// it reaches a node (dict subclasses count).
PyObject *as_node(PyObject *value)
{
    if (!PyDict_Check(value)) {
        legacy::raise_not_instance(value, "dict");
    }
    return value;
}

// Entries are told apart from the marker by Python `==`, key on the left, so
// a key object equal to "$" is taken for the marker. Exact str and int cannot
// override `==` and are answered without a call.
bool is_marker(PyObject *key)
{
    if (PyUnicode_CheckExact(key)) {
        return PyUnicode_GET_LENGTH(key) == 1 && PyUnicode_READ_CHAR(key, 0) == '$';
    }
    if (PyLong_CheckExact(key)) {
        return false;
    }
    Ref eq = legacy::checked(PyObject_RichCompare(key, marker(), Py_EQ));
    return legacy::require(PyObject_IsTrue(eq.get())) != 0;
}

bool holds(PyObject *node, PyObject *key) { return legacy::require(PyDict_Contains(node, key)) != 0; }

// The value under `key`, or an empty Ref when absent.
Ref lookup(PyObject *node, PyObject *key)
{
    PyObject *found = nullptr;
    legacy::require(PyDict_GetItemRef(node, key, &found));
    return Ref::steal(found);
}

// The value under a key that a membership test has just found. A key whose
// hash or equality is not stable can vanish in between; we cannot continue
// over such a key.
Ref lookup_held(PyObject *node, PyObject *key)
{
    Ref value = lookup(node, key);
    if (!value) {
        panic("trie key found by a membership test is missing on lookup");
    }
    return value;
}

Ref new_dict() { return legacy::checked(PyDict_New()); }

// The trie key of one path step: a new str, a new int, or the key's object.
Ref trie_key(const Key &key) { return legacy::require(key.to_py()); }

// Follows `keys` from `root`; an empty Ref when a step is absent.
Ref walk(PyObject *root, Keys keys)
{
    Ref node = Ref::borrow(root);
    for (const Key &key : keys) {
        Ref step = trie_key(key);
        Ref child = lookup(node.get(), step.get());
        if (!child) {
            return Ref();
        }
        as_node(child.get());
        node = std::move(child);
    }
    return node;
}

bool add_to_trie(PyObject *root, PyObject *path_value, bool include_intermediate)
{
    Ref path = legacy::require(keypath::from_value_inner(path_value));
    Ref node = Ref::borrow(root);
    bool changed = false;
    for (const Key &key : keypath::keys_of(path.get())) {
        Ref step = trie_key(key);
        if (Ref child = lookup(node.get(), step.get())) {
            as_node(child.get());
            node = std::move(child);
            continue;
        }
        Ref child = new_dict();
        legacy::require(PyDict_SetItem(node.get(), step.get(), child.get()));
        if (include_intermediate) {
            // Only added when absent: an existing entry keeps its place, and a
            // branch stored under a "$" key is not overwritten.
            legacy::require(PyDict_SetDefaultRef(node.get(), marker(), Py_True, nullptr));
            changed = true;
        }
        node = std::move(child);
    }
    if (!holds(node.get(), marker())) {
        legacy::require(PyDict_SetItem(node.get(), marker(), Py_True));
        changed = true;
    }
    return changed;
}

bool remove_from_trie(PyObject *root, PyObject *path_value)
{
    Ref path = legacy::require(keypath::from_value_inner(path_value));
    Keys keys = keypath::keys_of(path.get());
    std::vector<Ref> nodes, steps;
    nodes.reserve(keys.size() + 1);
    steps.reserve(keys.size());
    nodes.push_back(Ref::borrow(root));
    for (const Key &key : keys) {
        Ref step = trie_key(key);
        Ref child = lookup(nodes.back().get(), step.get());
        if (!child) {
            return false;
        }
        as_node(child.get());
        nodes.push_back(std::move(child));
        steps.push_back(std::move(step));
    }
    if (!holds(nodes.back().get(), marker())) {
        return false;
    }
    legacy::require(PyDict_DelItem(nodes.back().get(), marker()));
    // Prune emptied nodes bottom-up; the root itself always stays.
    for (std::size_t i = steps.size(); i-- > 0;) {
        PyObject *parent = nodes[i].get();
        Ref child = lookup(parent, steps[i].get());
        if (child && PyDict_Check(child.get()) && PyDict_GET_SIZE(child.get()) == 0) {
            legacy::require(PyDict_DelItem(parent, steps[i].get()));
        }
    }
    return true;
}

// `node` nested under `keys`: one new dict per key, no end markers.
Ref nest_under(Ref node, Keys keys)
{
    for (std::size_t i = keys.size(); i-- > 0;) {
        Ref outer = new_dict();
        Ref step = trie_key(keys[i]);
        legacy::require(PyDict_SetItem(outer.get(), step.get(), node.get()));
        node = std::move(outer);
    }
    return node;
}

// The old root becomes the innermost node, so views of it stay shared.
void rebase_root(SetObject *set, PyObject *prefix_value)
{
    Ref prefix = legacy::require(keypath::from_value_inner(prefix_value));
    Ref node = nest_under(Ref::borrow(set->root), keypath::keys_of(prefix.get()));
    PyObject *old = set->root;
    set->root = node.release();
    Py_DECREF(old);
}

Ref deepcopy_key(PyObject *key)
{
    if (PyLong_Check(key) || PyUnicode_Check(key)) {
        return Ref::borrow(key);
    }
    Ref module = legacy::checked(PyImport_Import(interned(COPY_MODULE_NAME, "copy")));
    Ref deepcopy = legacy::getattr(module.get(), "deepcopy");
    return legacy::checked(PyObject_CallOneArg(deepcopy.get(), key));
}

Ref deepcopy_trie(PyObject *node)
{
    legacy::RecursionGuard guard(" while copying a key path set");
    Ref copy = new_dict();
    legacy::dict_for_each(node, [&](PyObject *key, PyObject *value) {
        Ref new_key = deepcopy_key(key);
        Ref new_value = PyDict_Check(value) ? deepcopy_trie(value) : Ref::borrow(value);
        legacy::require(PyDict_SetItem(copy.get(), new_key.get(), new_value.get()));
    });
    return copy;
}

void merge(PyObject *target, PyObject *source)
{
    legacy::RecursionGuard guard(" while merging key path sets");
    legacy::dict_for_each(source, [&](PyObject *key, PyObject *value) {
        const bool held = holds(target, key);
        const bool is_end = is_marker(key);
        if (held) {
            Ref mine = lookup_held(target, key);
            if (!is_end) {
                as_node(mine.get());
                as_node(value);
                merge(mine.get(), value);
                return;
            }
            // A "$" entry that holds a branch (a path stepping through a "$"
            // key) already marks its node; a union must not drop that branch.
            if (PyDict_Check(mine.get())) {
                if (PyDict_Check(value)) {
                    merge(mine.get(), value);
                }
                return;
            }
        }
        Ref stored = PyDict_Check(value) ? deepcopy_trie(value) : Ref::borrow(value);
        legacy::require(PyDict_SetItem(target, key, stored.get()));
    });
}

void delete_all(PyObject *node, const std::vector<Ref> &doomed)
{
    for (const Ref &key : doomed) {
        legacy::require(PyDict_DelItem(node, key.get()));
    }
}

// Removes from `target` every path of `other`; true when `target` ends empty.
bool remove_same(PyObject *target, PyObject *other)
{
    legacy::RecursionGuard guard(" while subtracting key path sets");
    std::vector<Ref> doomed;
    legacy::dict_for_each(target, [&](PyObject *key, PyObject *value) {
        if (!holds(other, key)) {
            return;
        }
        if (is_marker(key)) {
            doomed.push_back(Ref::borrow(key));
            return;
        }
        Ref theirs = lookup_held(other, key);
        as_node(theirs.get());
        as_node(value);
        if (remove_same(value, theirs.get())) {
            doomed.push_back(Ref::borrow(key));
        }
    });
    delete_all(target, doomed);
    return PyDict_GET_SIZE(target) == 0;
}

// Keeps in `target` only the paths that `other` holds.
void remove_diff(PyObject *target, PyObject *other)
{
    legacy::RecursionGuard guard(" while intersecting key path sets");
    std::vector<Ref> doomed;
    legacy::dict_for_each(target, [&](PyObject *key, PyObject *value) {
        if (!holds(other, key)) {
            doomed.push_back(Ref::borrow(key));
            return;
        }
        if (is_marker(key)) {
            return;
        }
        as_node(value);
        Ref theirs = lookup_held(other, key);
        as_node(theirs.get());
        remove_diff(value, theirs.get());
        if (PyDict_GET_SIZE(value) == 0) {
            doomed.push_back(Ref::borrow(key));
        }
    });
    delete_all(target, doomed);
}

void collect(PyObject *node, std::vector<Key> &prefix, PyObject *out)
{
    legacy::RecursionGuard guard(" while listing a key path set");
    legacy::dict_for_each(node, [&](PyObject *key, PyObject *value) {
        if (is_marker(key)) {
            Ref path = legacy::require(keypath::make(Keys(prefix)));
            legacy::require(PyList_Append(out, path.get()));
            return;
        }
        prefix.push_back(legacy::require(Key::from_py(key)));
        as_node(value);
        collect(value, prefix, out);
        prefix.pop_back();
    });
}

Ref collect_paths(PyObject *root)
{
    Ref out = legacy::checked(PyList_New(0));
    std::vector<Key> prefix;
    collect(root, prefix, out.get());
    return out;
}

Ref build_trie(PyObject *paths, bool include_intermediate)
{
    Ref root = new_dict();
    if (paths == nullptr || paths == Py_None || !legacy::require(PyObject_IsTrue(paths))) {
        return root;
    }
    Ref it = legacy::checked(PyObject_GetIter(paths));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        add_to_trie(root.get(), item.get(), include_intermediate);
    }
    if (PyErr_Occurred()) {
        legacy::throw_set();
    }
    return root;
}

Ref new_set(Ref root)
{
    PyTypeObject *tp = type();
    PyObject *obj = legacy::require(tp->tp_alloc(tp, 0));
    SetObject *set = as_set(obj);
    new (&set->flag) BorrowFlag();
    set->root = root.release();
    return Ref::steal(obj);
}

Ref deep_copy(PyObject *root) { return new_set(deepcopy_trie(root)); }

Ref format_set(PyObject *root, PyObject *kwargs)
{
    Ref paths = collect_paths(root);
    Ref items = legacy::checked(Py_BuildValue("[(sO[])]", "", paths.get()));
    Ref kw = legacy::checked(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    PyObject *label = interned(LABEL_NAME, "label");
    if (holds(kw.get(), label)) {
        legacy::raise(PyExc_TypeError, "format() got multiple values for keyword argument 'label'");
    }
    legacy::require(PyDict_SetItem(kw.get(), label, interned(LABEL_VALUE, "KeyPathSet")));
    return formatting::call_kvlist_str(items.get(), kw.get());
}

bool tries_equal(PyObject *root, PyObject *other)
{
    if (!is_set(other)) {
        return false;
    }
    SetObject *theirs = as_set(other);
    legacy::SharedBorrow borrow(theirs->flag, OnConflict::Panic);
    Ref their_root = Ref::borrow(theirs->root);
    Ref eq = legacy::checked(PyObject_RichCompare(root, their_root.get(), Py_EQ));
    return legacy::require(PyObject_IsTrue(eq.get())) != 0;
}

// ---------------------------------------------------------------------------
// Arguments

bool bool_arg(const char *name, PyObject *value)
{
    return value != nullptr && legacy::convert_arg(name, [&] { return legacy::to_bool(value); });
}

SetObject *other_arg(PyObject *value)
{
    return legacy::convert_arg("other", [&] {
        if (!is_set(value)) {
            legacy::raise_not_instance(value, "KeyPathSet");
        }
        return as_set(value);
    });
}

// ---------------------------------------------------------------------------
// Python surface

const Signature NEW_SIG{"KeyPathSet", {opt("paths"), kwopt("include_intermediate")}};
const Signature ADD_SIG{"KeyPathSet.add", {arg("path"), opt("include_intermediate")}, {.method = true}};
const Signature REMOVE_SIG{"KeyPathSet.remove", {arg("path")}, {.method = true}};
const Signature HAS_PREFIX_SIG{"KeyPathSet.has_prefix", {arg("root_path")}, {.method = true}};
const Signature REBASE_SIG{"KeyPathSet.rebase", {arg("root_path")}, {.method = true}};
const Signature DEEPCOPY_SIG{"KeyPathSet.__deepcopy__", {arg("memo")}, {.method = true}};
const Signature UPDATE_SIG{"KeyPathSet.update", {arg("other")}, {.method = true}};
const Signature UNION_SIG{"KeyPathSet.union", {arg("other"), opt("copy")}, {.method = true}};
const Signature DIFFERENCE_UPDATE_SIG{"KeyPathSet.difference_update", {arg("other")}, {.method = true}};
const Signature DIFFERENCE_SIG{"KeyPathSet.difference", {arg("other")}, {.method = true}};
const Signature INTERSECTION_UPDATE_SIG{"KeyPathSet.intersection_update", {arg("other")}, {.method = true}};
const Signature INTERSECTION_SIG{"KeyPathSet.intersection", {arg("other")}, {.method = true}};
const Signature SUBTREE_SIG{"KeyPathSet.subtree", {arg("root_path")}, {.method = true}};
const Signature FORMAT_SIG{"KeyPathSet.format", {}, {.var_args = true, .var_kwargs = true, .method = true}};
const Signature FROM_VALUE_SIG{
    "KeyPathSet.from_value", {arg("value"), opt("include_intermediate")}, {.method = true}};

PyObject *kps_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&] {
        Bound b = NEW_SIG.bind_tuple(args, kwargs);
        const bool intermediate = bool_arg("include_intermediate", b[1]);
        return new_set(build_trie(b[0], intermediate));
    });
}

void kps_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    Py_CLEAR(as_set(self)->root);
    tp->tp_free(self);
    Py_DECREF(tp);
}

Ref kps_add(PyObject *self, FastArgs a)
{
    Bound b = ADD_SIG.bind(a);
    SetObject *set = as_set(self);
    legacy::SharedBorrow borrow(set->flag);
    const bool intermediate = bool_arg("include_intermediate", b[1]);
    return new_bool(add_to_trie(set->root, b[0], intermediate));
}

Ref kps_remove(PyObject *self, FastArgs a)
{
    Bound b = REMOVE_SIG.bind(a);
    SetObject *set = as_set(self);
    legacy::SharedBorrow borrow(set->flag);
    return new_bool(remove_from_trie(set->root, b[0]));
}

Ref kps_has_prefix(PyObject *self, FastArgs a)
{
    Bound b = HAS_PREFIX_SIG.bind(a);
    SetObject *set = as_set(self);
    legacy::SharedBorrow borrow(set->flag);
    Ref path = legacy::require(keypath::from_value_inner(b[0]));
    return new_bool(static_cast<bool>(walk(set->root, keypath::keys_of(path.get()))));
}

Ref kps_rebase(PyObject *self, FastArgs a)
{
    Bound b = REBASE_SIG.bind(a);
    SetObject *set = as_set(self);
    legacy::ExclusiveBorrow borrow(set->flag);
    rebase_root(set, b[0]);
    return none();
}

Ref kps_clear(PyObject *self)
{
    SetObject *set = as_set(self);
    legacy::SharedBorrow borrow(set->flag);
    PyDict_Clear(set->root);
    return none();
}

Ref kps_copy(PyObject *self)
{
    SetObject *set = as_set(self);
    legacy::SharedBorrow borrow(set->flag);
    return deep_copy(set->root);
}

Ref kps_deepcopy(PyObject *self, FastArgs a)
{
    DEEPCOPY_SIG.bind(a);
    return kps_copy(self);
}

// The two-set operations, checked in order: binding, this set's access,
// `other`, `copy` (union only), then the other set's access.
template <class Op>
Ref with_other(PyObject *self, const Signature &sig, FastArgs a, Op &&op, bool takes_copy = false)
{
    Bound b = sig.bind(a);
    SetObject *set = as_set(self);
    legacy::SharedBorrow borrow(set->flag);
    SetObject *other = other_arg(b[0]);
    if (takes_copy) {
        bool_arg("copy", b[1]);
    }
    legacy::SharedBorrow other_borrow(other->flag, OnConflict::Panic);
    return op(set->root, other->root);
}

Ref merged(PyObject *root, PyObject *other_root)
{
    Ref result = deep_copy(root);
    merge(as_set(result.get())->root, other_root);
    return result;
}

Ref kps_update(PyObject *self, FastArgs a)
{
    return with_other(self, UPDATE_SIG, a, [](PyObject *root, PyObject *other) {
        merge(root, other);
        return none();
    });
}

Ref kps_union(PyObject *self, FastArgs a)
{
    // `copy` is bound and checked, but every union is a new set anyway.
    return with_other(self, UNION_SIG, a, merged, true);
}

Ref kps_difference_update(PyObject *self, FastArgs a)
{
    return with_other(self, DIFFERENCE_UPDATE_SIG, a, [](PyObject *root, PyObject *other) {
        remove_same(root, other);
        return none();
    });
}

Ref kps_difference(PyObject *self, FastArgs a)
{
    return with_other(self, DIFFERENCE_SIG, a, [](PyObject *root, PyObject *other) {
        Ref result = deep_copy(root);
        remove_same(as_set(result.get())->root, other);
        return result;
    });
}

Ref kps_intersection_update(PyObject *self, FastArgs a)
{
    return with_other(self, INTERSECTION_UPDATE_SIG, a, [](PyObject *root, PyObject *other) {
        remove_diff(root, other);
        return none();
    });
}

Ref kps_intersection(PyObject *self, FastArgs a)
{
    return with_other(self, INTERSECTION_SIG, a, [](PyObject *root, PyObject *other) {
        Ref result = deep_copy(root);
        remove_diff(as_set(result.get())->root, other);
        return result;
    });
}

Ref kps_subtree(PyObject *self, FastArgs a)
{
    Bound b = SUBTREE_SIG.bind(a);
    SetObject *set = as_set(self);
    legacy::SharedBorrow borrow(set->flag);
    Ref path = legacy::require(keypath::from_value_inner(b[0]));
    Keys keys = keypath::keys_of(path.get());
    if (keys.empty()) {
        return Ref::borrow(self);
    }
    Ref node = walk(set->root, keys);
    if (!node) {
        return none();
    }
    // The view shares the node dict: changes through either set are seen by both.
    return new_set(std::move(node));
}

Ref kps_format(PyObject *self, FastArgs a)
{
    Bound b = FORMAT_SIG.bind(a);
    SetObject *set = as_set(self);
    legacy::SharedBorrow borrow(set->flag);
    return format_set(set->root, PyDict_GET_SIZE(b.varkw.get()) ? b.varkw.get() : nullptr);
}

Ref kps_from_value(PyObject *, FastArgs a)
{
    Bound b = FROM_VALUE_SIG.bind(a);
    const bool intermediate = bool_arg("include_intermediate", b[1]);
    PyObject *value = b[0];
    if (is_set(value)) {
        return Ref::borrow(value);
    }
    if (PyList_Check(value) || PyTuple_Check(value) || PySet_Check(value)) {
        return new_set(build_trie(value, intermediate));
    }
    Ref shown = legacy::repr_of(value);
    legacy::raise_format(PyExc_ValueError,
                 "Cannot convert %U to KeyPathSet. Expected a list, set, tuple, or KeyPathSet.", shown.get());
}

Ref kps_trie(PyObject *self)
{
    SetObject *set = as_set(self);
    legacy::SharedBorrow borrow(set->flag);
    return Ref::borrow(set->root);
}

int kps_contains(PyObject *self, PyObject *value)
{
    return guard_int([&] {
        SetObject *set = as_set(self);
        legacy::SharedBorrow borrow(set->flag);
        Ref path = legacy::require(keypath::from_value_inner(value));
        Ref node = walk(set->root, keypath::keys_of(path.get()));
        return node && holds(node.get(), marker()) ? 1 : 0;
    });
}

int kps_bool(PyObject *self)
{
    return guard_int([&] {
        SetObject *set = as_set(self);
        legacy::SharedBorrow borrow(set->flag);
        return PyDict_GET_SIZE(set->root) > 0 ? 1 : 0;
    });
}

PyObject *kps_iter(PyObject *self)
{
    return guard([&] {
        SetObject *set = as_set(self);
        legacy::SharedBorrow borrow(set->flag);
        Ref paths = collect_paths(set->root);
        return legacy::checked(PyObject_GetIter(paths.get()));
    });
}

PyObject *kps_repr(PyObject *self)
{
    return guard([&] {
        SetObject *set = as_set(self);
        legacy::SharedBorrow borrow(set->flag);
        return format_set(set->root, nullptr);
    });
}

PyObject *kps_str(PyObject *self)
{
    return guard([&] {
        SetObject *set = as_set(self);
        legacy::SharedBorrow borrow(set->flag);
        Ref kw = legacy::checked(PyDict_New());
        legacy::require(PyDict_SetItem(kw.get(), interned(COMPACT_NAME, "compact"), Py_False));
        legacy::require(PyDict_SetItem(kw.get(), interned(VERBOSE_NAME, "verbose"), Py_True));
        return format_set(set->root, kw.get());
    });
}

// `==`, `!=` and `+` answer NotImplemented instead of raising when this set is
// held exclusively (a rebase in progress).
template <class F>
Ref if_accessible(SetObject *set, F &&body)
{
    if (!set->flag.try_shared()) {
        return not_implemented();
    }
    struct Release {
        BorrowFlag &flag;
        ~Release() { flag.release_shared(); }
    } release{set->flag};
    return body();
}

PyObject *kps_richcompare(PyObject *self, PyObject *other, int op)
{
    if ((op != Py_EQ && op != Py_NE) || !is_set(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guard([&] {
        SetObject *set = as_set(self);
        return if_accessible(set, [&] { return new_bool(tries_equal(set->root, other) == (op == Py_EQ)); });
    });
}

PyObject *kps_add_op(PyObject *left, PyObject *right)
{
    if (!is_set(left) || !is_set(right)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guard([&] {
        SetObject *set = as_set(left);
        return if_accessible(set, [&] {
            SetObject *other = as_set(right);
            legacy::SharedBorrow other_borrow(other->flag, OnConflict::Panic);
            return merged(set->root, other->root);
        });
    });
}

PyMethodDef METHODS[] = {
    method<kps_add>("add",
                    "add($self, path, include_intermediate=False)\n--\n\n"
                    "Add `path`; with `include_intermediate`, also mark the prefixes from which\n"
                    "a new branch starts. True when `path` was not yet a member."),
    method<kps_remove>("remove",
                       "remove($self, path)\n--\n\n"
                       "Remove `path` and prune emptied branches. True when it was a member."),
    method<kps_has_prefix>("has_prefix",
                           "has_prefix($self, root_path)\n--\n\n"
                           "Whether some member starts with (or equals) `root_path`."),
    method<kps_rebase>("rebase",
                       "rebase($self, root_path)\n--\n\n"
                       "Nest every member under `root_path`, in place."),
    method_noargs<kps_clear>("clear", "clear($self)\n--\n\nRemove every member, keeping the root dict."),
    method_noargs<kps_copy>("copy", "copy($self)\n--\n\nA deep copy of this set."),
    method_noargs<kps_copy>("__copy__", "__copy__($self)\n--\n\nA deep copy of this set."),
    method<kps_deepcopy>("__deepcopy__",
                         "__deepcopy__($self, memo)\n--\n\n"
                         "A deep copy of this set (`memo` is not used)."),
    method<kps_update>("update", "update($self, other)\n--\n\nAdd every member of `other`."),
    method<kps_union>("union",
                      "union($self, other, copy=False)\n--\n\n"
                      "A new set holding the members of both sets."),
    method<kps_difference_update>("difference_update",
                                  "difference_update($self, other)\n--\n\n"
                                  "Remove every member of `other`."),
    method<kps_difference>("difference",
                           "difference($self, other)\n--\n\n"
                           "A new set holding the members that `other` lacks."),
    method<kps_intersection_update>("intersection_update",
                                    "intersection_update($self, other)\n--\n\n"
                                    "Keep only the members that `other` also holds."),
    method<kps_intersection>("intersection",
                             "intersection($self, other)\n--\n\n"
                             "A new set holding the members of both sets."),
    method<kps_subtree>("subtree",
                        "subtree($self, root_path)\n--\n\n"
                        "The members below `root_path`, relative to it, as a set sharing this set's\n"
                        "nodes (`self` for the root path, None when nothing is there)."),
    method<kps_format>("format",
                       "format($self, *args, **kwargs)\n--\n\n"
                       "The text form, rendered by `kvlist_str` with the given options."),
    method<kps_from_value>("from_value",
                           "from_value($cls, value, include_intermediate=False)\n--\n\n"
                           "A KeyPathSet as is, or a new set built from a list, tuple or set of paths.",
                           METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"_trie", shim_getter<kps_trie>, nullptr, "The root dict of the trie (not a copy).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("KeyPathSet(paths=None, *, include_intermediate=False)\n--\n\n"
                                   "A trie-backed set of `KeyPath`s.")},
    {Py_tp_new, reinterpret_cast<void *>(kps_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(kps_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(kps_repr)},
    {Py_tp_str, reinterpret_cast<void *>(kps_str)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_richcompare, reinterpret_cast<void *>(kps_richcompare)},
    {Py_tp_iter, reinterpret_cast<void *>(kps_iter)},
    {Py_sq_contains, reinterpret_cast<void *>(kps_contains)},
    {Py_nb_bool, reinterpret_cast<void *>(kps_bool)},
    {Py_nb_add, reinterpret_cast<void *>(kps_add_op)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.KeyPathSet",
    .basicsize = sizeof(SetObject),
    .itemsize = 0,
    // Final and outside the cyclic GC: a set holds one dict and nothing else.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

void init_class(PyTypeObject *tp) { legacy::set_class_attr(tp, "__norv_formattable__", Py_True); }

}  // namespace

PyTypeObject *type() { return TYPE.get(&SPEC, nullptr, init_class); }

bool is_set(PyObject *obj) noexcept { return Py_TYPE(obj) == TYPE.peek(); }

Ref prefixed_copy(PyObject *set_obj, Keys prefix)
{
    SetObject *set = as_set(set_obj);
    Ref copy;
    {
        legacy::SharedBorrow borrow(set->flag, OnConflict::Panic);
        copy = deepcopy_trie(set->root);
    }
    return new_set(nest_under(std::move(copy), prefix));
}

}  // namespace norv::keypath_set
