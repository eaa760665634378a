// KeyPath navigation: resolving a path against a tree of Python values.
//
// Exact lists, tuples and dicts are resolved without attribute lookups; every
// other value is probed: symbolic nodes answer through sym_hasattr /
// sym_getattr / sym_inferred, anything else through __getitem__, __len__ and
// __contains__. One native level per key, each under a recursion guard, so a
// very long path on very deep data ends in RecursionError.
#include <optional>

#include "core/once.hpp"
#include "core/recursion.hpp"
#include "topology/keypath.hpp"

namespace norv::keypath {

namespace {

ObjectCell SYM_HASATTR, SYM_GETATTR, SYM_INFERRED, GETITEM, LEN, CONTAINS;

PyObject *name(ObjectCell &cell, const char *text)
{
    return cell.get_or_init([&] { return legacy::checked(PyUnicode_InternFromString(text)); });
}

// Python's hasattr: AttributeError means no, any other error propagates.
bool has_attr(PyObject *v, ObjectCell &cell, const char *text)
{
    PyObject *attr = nullptr;
    const int found = legacy::require(PyObject_GetOptionalAttr(v, name(cell, text), &attr));
    Py_XDECREF(attr);
    return found != 0;
}

Ref path_text(Keys keys)
{
    std::string t = render_keys(keys, true);
    return legacy::checked(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
}

struct Walk {
    Keys keys;
    bool use_inferred;

    [[noreturn]] void absent(std::size_t i, PyObject *k, PyObject *v) const
    {
        Ref path = path_text(keys.first(i + 1));
        legacy::raise_format(PyExc_KeyError, "Path %U does not exist: key %R is absent from innermost value %R.", path.get(),
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

    Ref step(std::size_t i, PyObject *v) const
    {
        const Key &key = keys[i];
        const std::optional<std::int64_t> n = integer_view(key);
        if (n && (PyList_CheckExact(v) || PyTuple_CheckExact(v))) {
            if (*n >= Py_SIZE(v)) {
                absent(i, key.to_py().get(), v);
            }
            // A negative index counts from the end; below -len the sequence
            // raises its own IndexError.
            return legacy::checked(PySequence_GetItem(v, static_cast<Py_ssize_t>(*n)));
        }
        Ref k = key.to_py();
        if (!n && PyDict_CheckExact(v)) {
            PyObject *item = nullptr;
            if (legacy::require(PyDict_GetItemRef(v, k.get(), &item)) == 0) {
                absent(i, k.get(), v);
            }
            return Ref::steal(item);
        }
        return probe(i, k.get(), n, v);
    }

    Ref probe(std::size_t i, PyObject *k, std::optional<std::int64_t> n, PyObject *v) const
    {
        PyObject *hasattr_fn = nullptr;
        if (legacy::require(PyObject_GetOptionalAttr(v, name(SYM_HASATTR, "sym_hasattr"), &hasattr_fn)) == 1) {
            Ref fn = Ref::steal(hasattr_fn);
            Ref answer = legacy::checked(PyObject_CallOneArg(fn.get(), k));
            if (!legacy::require(PyObject_IsTrue(answer.get()))) {
                absent(i, k, v);
            }
            PyObject *method = use_inferred ? name(SYM_INFERRED, "sym_inferred") : name(SYM_GETATTR, "sym_getattr");
            PyObject *args[] = {v, k};
            return legacy::checked(PyObject_VectorcallMethod(method, args, 2, nullptr));
        }
        if (!has_attr(v, GETITEM, "__getitem__")) {
            Ref path = path_text(keys.first(i));
            legacy::raise_format(PyExc_KeyError, "Cannot query sub-key %R of object (%R): '__getitem__' does not exist. (path=%U)",
                         k, v, path.get());
        }
        if (n) {
            if (!has_attr(v, LEN, "__len__")) {
                legacy::raise_format(PyExc_KeyError, "Cannot query index (%lld) on object (%R): '__len__' does not exist.",
                             static_cast<long long>(*n), v);
            }
            const Py_ssize_t len = legacy::require_size(PyObject_Size(v));
            if (*n >= len) {
                absent(i, k, v);
            }
            // Item access with the int itself, also for a bool key.
            Ref index = legacy::new_int(*n);
            return legacy::checked(PyObject_GetItem(v, index.get()));
        }
        if (!has_attr(v, CONTAINS, "__contains__")) {
            legacy::raise_format(PyExc_KeyError, "Cannot query key (%R) on object (%R): '__contains__' does not exist.", k, v);
        }
        if (!legacy::require(PySequence_Contains(v, k))) {
            absent(i, k, v);
        }
        return legacy::checked(PyObject_GetItem(v, k));
    }

    Ref walk(std::size_t i, PyObject *v) const
    {
        if (i == keys.size()) {
            return Ref::borrow(v);
        }
        legacy::RecursionGuard guard(" while querying a KeyPath");
        Ref next = step(i, v);
        return walk(i + 1, next.get());
    }
};

}  // namespace

Ref query(Keys keys, PyObject *src, bool use_inferred)
{
    return Walk{keys, use_inferred}.walk(0, src);
}

}  // namespace norv::keypath
