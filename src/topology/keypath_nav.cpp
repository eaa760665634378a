// KeyPath navigation: resolving a path against a tree of Python values.
//
// Exact lists, tuples and dicts are resolved without attribute lookups; every
// other value is probed: symbolic nodes answer through sym_hasattr /
// sym_getattr / sym_inferred, anything else through __getitem__, __len__ and
// __contains__. One native level per key, each under a recursion guard, so a
// very long path on very deep data ends in RecursionError.
#include <optional>

#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "topology/keypath.hpp"

namespace norv::keypath {

namespace {

Ref path_text(Keys keys)
{
    Maybe<std::string> t = render_keys(keys, true);
    if (!t) {
        return error;
    }
    return Ref::steal(PyUnicode_DecodeUTF8(t->data(), static_cast<Py_ssize_t>(t->size()), nullptr));
}

// ---------------------------------------------------------------------------
// Misses nobody sees
//
// `get` and `exists` drop the KeyError of a miss. Building it renders the path
// and calls repr() on the key and the innermost value, which may run Python
// code or fail, and either would be seen; when neither can happen, the miss is
// reported without building anything.

// Everything repr() is asked of, and the nesting allowed, before we give up
// and build the error after all.
constexpr int PLAIN_BUDGET = 256;
constexpr int PLAIN_DEPTH = 16;

// The nesting of repr() calls that `v` takes when its repr is plain (exact
// builtin scalars, and exact lists, tuples and dicts of them: no Python code
// runs and nothing but memory can fail); 0 when it is not, or too big to tell.
int plain_repr_levels(PyObject *v, int &budget, int depth)
{
    if (--budget < 0 || depth > PLAIN_DEPTH) {
        return 0;
    }
    if (v == Py_None || PyBool_Check(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v)) {
        return 1;
    }
    if (PyLong_CheckExact(v)) {
        // Far below the digit limit of int-to-text conversion.
        int overflow = 0;
        (void)PyLong_AsLongLongAndOverflow(v, &overflow);
        return overflow == 0 ? 1 : 0;
    }
    int deepest = 0;
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
        // Items of plain values run no code, so the list cannot change under us.
        for (Py_ssize_t i = 0, n = Py_SIZE(v); i < n; ++i) {
            const int levels = plain_repr_levels(PySequence_Fast_GET_ITEM(v, i), budget, depth + 1);
            if (levels == 0) {
                return 0;
            }
            deepest = levels > deepest ? levels : deepest;
        }
        return deepest + 1;
    }
    if (PyDict_CheckExact(v)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(v, &pos, &key, &value)) {
            const int kl = plain_repr_levels(key, budget, depth + 1);
            const int vl = kl ? plain_repr_levels(value, budget, depth + 1) : 0;
            if (vl == 0) {
                return 0;
            }
            deepest = kl > deepest ? kl : deepest;
            deepest = vl > deepest ? vl : deepest;
        }
        return deepest + 1;
    }
    return 0;
}

// Whether the path text of `keys` renders without running Python code.
bool plain_path(Keys keys) noexcept
{
    for (const Key &key : keys) {
        if (key.is_other()) {
            PyObject *obj = key.object();
            if (obj != Py_None && !PyBool_Check(obj) && !PyFloat_CheckExact(obj)) {
                return false;
            }
        }
    }
    return true;
}

// Whether repr() of each of `k` (NULL: not shown) and `v` is plain and fits
// in the interpreter's remaining recursion allowance.
bool plain_reprs(PyObject *k, PyObject *v)
{
    int budget = PLAIN_BUDGET;
    const int k_levels = k == nullptr ? 1 : plain_repr_levels(k, budget, 0);
    const int v_levels = k_levels == 0 ? 0 : plain_repr_levels(v, budget, 0);
    if (v_levels == 0) {
        return false;
    }
    // repr() enters the interpreter's C recursion counter once per level; a
    // value that would exhaust it raises RecursionError, which must be seen.
    return recursion_room(PyThreadState_Get(), (k_levels > v_levels ? k_levels : v_levels) + 2);
}

// Each step gives the next value, or (only for a caller that reports misses)
// an empty Ref for a miss that nobody could see being built.
struct Walk {
    Keys keys;
    bool use_inferred;
    bool report_absent;

    // Whether the KeyError of a miss is skipped: the caller asked, and its
    // message (the path text of the first `shown` keys, repr() of `k` and `v`)
    // would run no Python code and could not fail.
    bool skip_key_error(std::size_t shown, PyObject *k, PyObject *v) const
    {
        return report_absent && plain_path(keys.first(shown)) && plain_reprs(k, v);
    }

    Maybe<Ref> key_absent(std::size_t i, PyObject *k, PyObject *v) const
    {
        if (skip_key_error(i + 1, k, v)) {
            return Ref();
        }
        Ref path = path_text(keys.first(i + 1));
        if (!path) {
            return error;
        }
        return raise_format(PyExc_KeyError,
                            "Path %U does not exist: key %R is absent from innermost value %R.", path.get(),
                            k, v);
    }

    // The integer view of key i: integer keys, and other keys of exact type bool.
    std::optional<std::int64_t> integer_view(const Key &key) const noexcept
    {
        if (key.is_int()) {
            return key.integer();
        }
        if (key.is_other() && PyBool_Check(key.object())) {
            return key.object() == Py_True ? 1 : 0;
        }
        return std::nullopt;
    }

    Maybe<Ref> step(std::size_t i, PyObject *v) const
    {
        const Key &key = keys[i];
        const std::optional<std::int64_t> n = integer_view(key);
        if (n && (PyList_CheckExact(v) || PyTuple_CheckExact(v))) {
            if (*n >= Py_SIZE(v)) {
                Ref k = key.to_py();
                if (!k) {
                    return error;
                }
                return key_absent(i, k.get(), v);
            }
            // A negative index counts from the end; below -len the sequence
            // raises its own IndexError.
            return some(Ref::steal(PySequence_GetItem(v, static_cast<Py_ssize_t>(*n))));
        }
        Ref k = key.to_py();
        if (!k) {
            return error;
        }
        if (!n && PyDict_CheckExact(v)) {
            PyObject *item = nullptr;
            const int found = PyDict_GetItemRef(v, k.get(), &item);
            if (found < 0) {
                return error;
            }
            if (found == 0) {
                return key_absent(i, k.get(), v);
            }
            return Ref::steal(item);
        }
        return probe(i, k.get(), n, v);
    }

    Maybe<Ref> probe(std::size_t i, PyObject *k, std::optional<std::int64_t> n, PyObject *v) const
    {
        PyObject *hasattr_fn = nullptr;
        const int symbolic = PyObject_GetOptionalAttr(v, interned<"sym_hasattr">(), &hasattr_fn);
        if (symbolic < 0) {
            return error;
        }
        if (symbolic == 1) {
            Ref fn = Ref::steal(hasattr_fn);
            Ref answer = Ref::steal(PyObject_CallOneArg(fn.get(), k));
            if (!answer) {
                return error;
            }
            const Maybe<bool> has = truth(answer.get());
            if (!has) {
                return error;
            }
            if (!*has) {
                return key_absent(i, k, v);
            }
            PyObject *method = use_inferred ? interned<"sym_inferred">() : interned<"sym_getattr">();
            PyObject *args[] = {v, k};
            return some(Ref::steal(PyObject_VectorcallMethod(method, args, 2, nullptr)));
        }
        const Maybe<bool> indexable = has_attr<"__getitem__">(v);
        if (!indexable) {
            return error;
        }
        if (!*indexable) {
            if (skip_key_error(i, k, v)) {
                return Ref();
            }
            Ref path = path_text(keys.first(i));
            if (!path) {
                return error;
            }
            return raise_format(
                PyExc_KeyError,
                "Cannot query sub-key %R of object (%R): '__getitem__' does not exist. (path=%U)", k, v,
                path.get());
        }
        if (n) {
            const Maybe<bool> sized = has_attr<"__len__">(v);
            if (!sized) {
                return error;
            }
            if (!*sized) {
                if (skip_key_error(0, nullptr, v)) {
                    return Ref();
                }
                return raise_format(PyExc_KeyError,
                                    "Cannot query index (%lld) on object (%R): '__len__' does not exist.",
                                    static_cast<long long>(*n), v);
            }
            const Py_ssize_t len = PyObject_Size(v);
            if (len < 0) {
                return error;
            }
            if (*n >= len) {
                return key_absent(i, k, v);
            }
            // Item access with the int itself, also for a bool key.
            Ref index = new_int(*n);
            if (!index) {
                return error;
            }
            return some(Ref::steal(PyObject_GetItem(v, index.get())));
        }
        const Maybe<bool> container = has_attr<"__contains__">(v);
        if (!container) {
            return error;
        }
        if (!*container) {
            if (skip_key_error(0, k, v)) {
                return Ref();
            }
            return raise_format(PyExc_KeyError,
                                "Cannot query key (%R) on object (%R): '__contains__' does not exist.", k, v);
        }
        const int contained = PySequence_Contains(v, k);
        if (contained < 0) {
            return error;
        }
        if (contained == 0) {
            return key_absent(i, k, v);
        }
        return some(Ref::steal(PyObject_GetItem(v, k)));
    }

    Maybe<Ref> walk(std::size_t i, PyObject *v) const
    {
        if (i == keys.size()) {
            return Ref::borrow(v);
        }
        RecursionGuard guard(" while querying a KeyPath");
        if (guard.failed()) {
            return error;
        }
        Maybe<Ref> next = step(i, v);
        if (!next || !*next) {
            return next;
        }
        return walk(i + 1, next->get());
    }
};

}  // namespace

Ref query(Keys keys, PyObject *src, bool use_inferred)
{
    Maybe<Ref> found = Walk{keys, use_inferred, false}.walk(0, src);
    if (!found) {
        return error;
    }
    return std::move(*found);
}

Maybe<Ref> query_or_absent(Keys keys, PyObject *src, bool use_inferred)
{
    return Walk{keys, use_inferred, true}.walk(0, src);
}

}  // namespace norv::keypath
