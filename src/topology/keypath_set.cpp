#include "topology/keypath_set.hpp"

#include <new>
#include <utility>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"
#include "formatting/format.hpp"
#include "topology/keypath_set_trie.hpp"

namespace norv::keypath_set {

namespace {

using keypath::Keys;
using namespace trie;

struct SetObject {
    PyObject ob_base;  // PyObject_HEAD
    Ref root;          // the trie's root dict; replaced only by rebase (or a collector's clear)
    BorrowFlag flag;
};

SetObject *as_set(PyObject *o) noexcept
{
    return reinterpret_cast<SetObject *>(o);
}

TypeCell TYPE;

// The old root becomes the innermost node, so views of it stay shared.
Status rebase_root(SetObject *set, PyObject *prefix_value)
{
    Ref prefix = keypath::from_value_inner(prefix_value);
    if (!prefix) {
        return error;
    }
    Ref node = nest_under(Ref::borrow(set->root.get()), keypath::keys_of(prefix.get()));
    if (!node) {
        return error;
    }
    set->root = std::move(node);
    return Status::ok;
}

// A set owning `root`; a null `root` (its construction failed) passes the
// failure through.
Ref new_set(Ref root)
{
    if (!root) {
        return error;
    }
    PyTypeObject *tp = type();
    if (tp == nullptr) {
        return error;
    }
    SetObject *set = PyObject_GC_New(SetObject, tp);
    if (set == nullptr) {
        return error;
    }
    new (&set->flag) BorrowFlag();
    new (&set->root) Ref(std::move(root));
    PyObject *obj = reinterpret_cast<PyObject *>(set);
    PyObject_GC_Track(obj);
    return Ref::steal(obj);
}

Ref deep_copy(PyObject *root)
{
    return new_set(deepcopy_trie(root));
}

Ref format_set(PyObject *root, PyObject *kwargs)
{
    Ref paths = collect_paths(root);
    if (!paths) {
        return error;
    }
    Ref items = Ref::steal(Py_BuildValue("[(sO[])]", "", paths.get()));
    if (!items) {
        return error;
    }
    Ref kw = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    if (!kw) {
        return error;
    }
    PyObject *label = interned<"label">();
    const Maybe<bool> taken = holds(kw.get(), label);
    if (!taken) {
        return error;
    }
    if (*taken) {
        return raise(PyExc_TypeError, "format() got multiple values for keyword argument 'label'");
    }
    if (PyDict_SetItem(kw.get(), label, interned<"KeyPathSet">()) < 0) {
        return error;
    }
    return formatting::call_kvlist_str(items.get(), kw.get());
}

Maybe<bool> tries_equal(PyObject *root, PyObject *other)
{
    if (!is_set(other)) {
        return false;
    }
    SetObject *theirs = as_set(other);
    SharedBorrow borrow(theirs->flag, OnConflict::Panic);
    Ref their_root = Ref::borrow(theirs->root.get());
    return eq_truth(root, their_root.get());
}

// ---------------------------------------------------------------------------
// Arguments

// The other set, or NULL with the argument error set.
SetObject *other_arg(PyObject *value)
{
    if (!is_set(value)) [[unlikely]] {
        (void)raise_not_instance(value, "KeyPathSet");
        wrap_argument_error("other");
        return nullptr;
    }
    return as_set(value);
}

// A predicate's answer as a bool object.
Ref answer(Maybe<bool> r)
{
    if (!r) {
        return error;
    }
    return new_bool(*r);
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
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return Ref(error);
        }
        Maybe<bool> intermediate = bool_arg("include_intermediate", b[1], false, ArgCause::Conversion);
        if (!intermediate) {
            return Ref(error);
        }
        return new_set(build_trie(b[0], *intermediate));
    });
}

void release_root(PyObject *self) noexcept
{
    as_set(self)->root.~Ref();
}

int kps_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_set(self)->root.get());
    return 0;
}

// The collector breaks a cycle through the set by letting go of the trie. A
// cleared set holds a fresh empty root instead of none, so code that still
// reaches it while the collector works (a weak reference's callback) finds an
// empty set; the old root may be a node another set shares, so it is dropped,
// never emptied. Without memory even for that, the set keeps its root: every
// cycle through the set runs through that dict, which the collector clears too.
int kps_tp_clear(PyObject *self)
{
    SetObject *set = as_set(self);
    PyObject *pending = PyErr_GetRaisedException();
    PyObject *fresh = PyDict_New();
    if (fresh != nullptr) {
        set->root = Ref::steal(fresh);
    }
    PyErr_SetRaisedException(pending);
    return 0;
}

Ref kps_add(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(ADD_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    Maybe<bool> intermediate = bool_arg("include_intermediate", b[1], false, ArgCause::Conversion);
    if (!intermediate) {
        return error;
    }
    return answer(add_to_trie(set->root.get(), b[0], *intermediate));
}

Ref kps_remove(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(REMOVE_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    return answer(remove_from_trie(set->root.get(), b[0]));
}

Ref kps_has_prefix(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(HAS_PREFIX_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    PathSteps path;
    if (failed(path.read(b[0]))) {
        return error;
    }
    Maybe<Ref> node = walk(set->root.get(), path);
    if (!node) {
        return error;
    }
    return new_bool(static_cast<bool>(*node));
}

Ref kps_rebase(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(REBASE_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    ExclusiveBorrow borrow(set->flag);
    if (borrow.failed() || failed(rebase_root(set, b[0]))) {
        return error;
    }
    return none();
}

Ref kps_clear(PyObject *self)
{
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    PyDict_Clear(set->root.get());
    return none();
}

Ref kps_copy(PyObject *self)
{
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    return deep_copy(set->root.get());
}

Ref kps_deepcopy(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(a, b))) {
        return error;
    }
    return kps_copy(self);
}

// The two-set operations, checked in order: binding, this set's access,
// `other`, `copy` (union only), then the other set's access.
template <class Op>
Ref with_other(PyObject *self, const Signature &sig, FastArgs a, Op &&op, bool takes_copy = false)
{
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    SetObject *other = other_arg(b[0]);
    if (other == nullptr) {
        return error;
    }
    if (takes_copy && failed(bool_arg("copy", b[1], false, ArgCause::Conversion))) {
        return error;
    }
    SharedBorrow other_borrow(other->flag, OnConflict::Panic);
    return op(set->root.get(), other->root.get());
}

Ref merged(PyObject *root, PyObject *other_root)
{
    Ref result = deep_copy(root);
    if (!result || failed(merge(as_set(result.get())->root.get(), other_root))) {
        return error;
    }
    return result;
}

Ref kps_update(PyObject *self, FastArgs a)
{
    return with_other(self, UPDATE_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        if (failed(merge(root, other))) {
            return error;
        }
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
    return with_other(self, DIFFERENCE_UPDATE_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        if (failed(remove_same(root, other))) {
            return error;
        }
        return none();
    });
}

Ref kps_difference(PyObject *self, FastArgs a)
{
    return with_other(self, DIFFERENCE_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        Ref result = deep_copy(root);
        if (!result || failed(remove_same(as_set(result.get())->root.get(), other))) {
            return error;
        }
        return result;
    });
}

Ref kps_intersection_update(PyObject *self, FastArgs a)
{
    return with_other(self, INTERSECTION_UPDATE_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        if (failed(remove_diff(root, other))) {
            return error;
        }
        return none();
    });
}

Ref kps_intersection(PyObject *self, FastArgs a)
{
    return with_other(self, INTERSECTION_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        Ref result = deep_copy(root);
        if (!result || failed(remove_diff(as_set(result.get())->root.get(), other))) {
            return error;
        }
        return result;
    });
}

Ref kps_subtree(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(SUBTREE_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    PathSteps path;
    if (failed(path.read(b[0]))) {
        return error;
    }
    if (path.size() == 0) {
        return Ref::borrow(self);
    }
    Maybe<Ref> node = walk(set->root.get(), path);
    if (!node) {
        return error;
    }
    if (!*node) {
        return none();
    }
    // The view shares the node dict: changes through either set are seen by both.
    return new_set(std::move(*node));
}

Ref kps_format(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(FORMAT_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    return format_set(set->root.get(), PyDict_GET_SIZE(b.varkw.get()) ? b.varkw.get() : nullptr);
}

Ref kps_from_value(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FROM_VALUE_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> intermediate = bool_arg("include_intermediate", b[1], false, ArgCause::Conversion);
    if (!intermediate) {
        return error;
    }
    PyObject *value = b[0];
    if (is_set(value)) {
        return Ref::borrow(value);
    }
    if (PyList_Check(value) || PyTuple_Check(value) || PySet_Check(value)) {
        return new_set(build_trie(value, *intermediate));
    }
    Ref shown = repr_of(value);
    if (!shown) {
        return error;
    }
    return raise_format(PyExc_ValueError,
                        "Cannot convert %U to KeyPathSet. Expected a list, set, tuple, or KeyPathSet.",
                        shown.get());
}

Ref kps_trie(PyObject *self)
{
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    return Ref::borrow(set->root.get());
}

int kps_contains(PyObject *self, PyObject *value)
{
    return guard_int([&]() -> Maybe<bool> {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return error;
        }
        PathSteps path;
        if (failed(path.read(value))) {
            return error;
        }
        Maybe<Ref> node = walk(set->root.get(), path);
        if (!node) {
            return error;
        }
        if (!*node) {
            return false;
        }
        return holds_marker(node->get());
    });
}

int kps_bool(PyObject *self)
{
    return guard_int([&]() -> Maybe<bool> {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return error;
        }
        return PyDict_GET_SIZE(set->root.get()) > 0;
    });
}

PyObject *kps_iter(PyObject *self)
{
    return guard([&] {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return Ref(error);
        }
        Ref paths = collect_paths(set->root.get());
        if (!paths) {
            return Ref(error);
        }
        return Ref::steal(PyObject_GetIter(paths.get()));
    });
}

PyObject *kps_repr(PyObject *self)
{
    return guard([&] {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return Ref(error);
        }
        return format_set(set->root.get(), nullptr);
    });
}

PyObject *kps_str(PyObject *self)
{
    return guard([&] {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return Ref(error);
        }
        Ref kw = new_dict();
        if (!kw || PyDict_SetItem(kw.get(), interned<"compact">(), Py_False) < 0 ||
            PyDict_SetItem(kw.get(), interned<"verbose">(), Py_True) < 0) {
            return Ref(error);
        }
        return format_set(set->root.get(), kw.get());
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
        return if_accessible(set, [&]() -> Ref {
            const Maybe<bool> equal = tries_equal(set->root.get(), other);
            if (!equal) {
                return error;
            }
            return new_bool(*equal == (op == Py_EQ));
        });
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
            SharedBorrow other_borrow(other->flag, OnConflict::Panic);
            return merged(set->root.get(), other->root.get());
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
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<release_root>)},
    {Py_tp_traverse, reinterpret_cast<void *>(kps_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(kps_tp_clear)},
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
    // Final. Python code reaches the trie's dicts (`_trie`, `subtree`) and
    // can store the set itself in them, so the set takes part in cyclic GC.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = SLOTS,
};

}  // namespace

PyTypeObject *type()
{
    return TYPE.get(&SPEC, nullptr, mark_formattable);
}

bool is_set(PyObject *obj) noexcept
{
    return Py_TYPE(obj) == TYPE.peek();
}

Ref prefixed_copy(PyObject *set_obj, Keys prefix)
{
    SetObject *set = as_set(set_obj);
    Ref copy;
    {
        SharedBorrow borrow(set->flag, OnConflict::Panic);
        copy = deepcopy_trie(set->root.get());
    }
    if (!copy) {
        return error;
    }
    return new_set(nest_under(std::move(copy), prefix));
}

}  // namespace norv::keypath_set
