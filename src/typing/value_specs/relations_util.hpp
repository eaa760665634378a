// Small readers shared by the relations between value specs.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "core/args.hpp"
#include "core/none.hpp"
#include "core/ref.hpp"
#include "core/truth.hpp"
#include "typing/bridge/typing_bridge.hpp"

namespace norv::typing::rel {

// o.<name>, which must be a bool.
inline Maybe<bool> attr_bool(PyObject *o, const char *name)
{
    Ref v = getattr(o, name);
    if (!v) {
        return error;
    }
    return bridge::strict_bool(v.get());
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

// a.is_compatible(b), whose answer must be a bool.
inline Maybe<bool> ask_compatible(PyObject *a, PyObject *b)
{
    Ref r = call_method1(a, "is_compatible", b);
    if (!r) {
        return error;
    }
    return bridge::strict_bool(r.get());
}

}  // namespace norv::typing::rel
