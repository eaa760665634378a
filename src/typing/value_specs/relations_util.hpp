// Small readers shared by the relations between value specs. Predicates
// answer 1, 0 or -1 with the error set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "core/args.hpp"
#include "core/ref.hpp"
#include "typing/bridge/bridge.hpp"

namespace norv::typing::rel {

inline PyObject *or_none_ptr(const Ref &r) noexcept
{
    return r ? r.get() : Py_None;
}

// The truth of `a <op> b`, without the identity shortcut of RichCompareBool.
inline int cmp_truth(PyObject *a, PyObject *b, int op)
{
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}
inline int eq_truth(PyObject *a, PyObject *b)
{
    return cmp_truth(a, b, Py_EQ);
}

// o.<name>, which must be a bool.
inline int attr_bool(PyObject *o, const char *name)
{
    Ref v = getattr(o, name);
    return v ? bridge::strict_bool(v.get()) : -1;
}

inline Maybe<std::int64_t> attr_i64(PyObject *o, const char *name)
{
    Ref v = getattr(o, name);
    if (!v) {
        return error;
    }
    return to_i64(v.get());
}

// o.<name>: None, or a 64-bit integer.
inline Maybe<std::optional<std::int64_t>> attr_opt_i64(PyObject *o, const char *name)
{
    Ref v = getattr(o, name);
    if (!v) {
        return error;
    }
    if (v.get() == Py_None) {
        return std::optional<std::int64_t>();
    }
    Maybe<std::int64_t> n = to_i64(v.get());
    if (!n) {
        return error;
    }
    return std::optional<std::int64_t>(*n);
}

inline Ref call_method1(PyObject *o, const char *name, PyObject *arg)
{
    Ref n = new_str(name);
    return n ? Ref::steal(PyObject_CallMethodOneArg(o, n.get(), arg)) : Ref();
}

}  // namespace norv::typing::rel
