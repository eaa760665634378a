// TRANSITIONAL: the throwing helpers, kept only while code moves to errors as
// values. Every use is to be rewritten; this header goes away afterwards.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv::legacy {

struct PyErrSet {};

[[noreturn]] inline void throw_set() { throw PyErrSet{}; }

[[noreturn]] void raise(PyObject *type, const char *msg);
[[noreturn]] void raise_format(PyObject *type, const char *fmt, ...);

template <class T>
inline T *require(T *p)
{
    if (p == nullptr) {
        throw PyErrSet{};
    }
    return p;
}

inline int require(int rc)
{
    if (rc < 0) {
        throw PyErrSet{};
    }
    return rc;
}

inline void require(Status s)
{
    if (failed(s)) {
        throw PyErrSet{};
    }
}

inline Ref require(Ref r)
{
    if (!r) {
        throw PyErrSet{};
    }
    return r;
}

template <class T>
inline T require(Maybe<T> m)
{
    if (!m) {
        throw PyErrSet{};
    }
    return std::move(*m);
}

inline Py_ssize_t require_size(Py_ssize_t n)
{
    if (n < 0) {
        throw PyErrSet{};
    }
    return n;
}

inline Ref checked(PyObject *p)
{
    if (p == nullptr) {
        throw PyErrSet{};
    }
    return Ref::steal(p);
}

inline Ref getattr(PyObject *o, PyObject *name) { return checked(PyObject_GetAttr(o, name)); }
inline Ref getattr(PyObject *o, const char *name) { return checked(PyObject_GetAttrString(o, name)); }
inline Ref str_of(PyObject *o) { return checked(PyObject_Str(o)); }
inline Ref repr_of(PyObject *o) { return checked(PyObject_Repr(o)); }
inline Ref new_str(const char *utf8) { return checked(PyUnicode_FromString(utf8)); }
inline Ref new_int(long long v) { return checked(PyLong_FromLongLong(v)); }

}  // namespace norv::legacy
