// Owning references to Python objects.
//
// Rules of use
// ------------
// * `Ref` owns exactly one strong reference (or none). It is move-only: a copy
//   would hide an incref, so ownership transfers are always spelled out.
// * Make one with a named constructor:
//     Ref::steal(p)    takes over a new reference returned by the C API;
//     Ref::borrow(p)   increments p and owns the new reference;
//     Ref::checked(p)  like steal, but throws `PyErrSet` when p is NULL, so a
//                      failed C API call turns straight into a C++ error.
// * `release()` hands the reference back to C (e.g. as a slot's return value);
//   `get()` lends it out without transferring ownership.
// * A raw `PyObject*` is always borrowed. Functions that return a new
//   reference return `Ref`; functions that take `PyObject*` never steal.
// * Nothing static or thread_local may own a `Ref`: process-wide objects are
//   held in `OnceCell`s that leak on purpose (no destructors at exit).
#pragma once

#include <Python.h>

#include <utility>

#include "core/error.hpp"

namespace norv {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref checked(PyObject *p)
    {
        if (p == nullptr) {
            throw PyErrSet{};
        }
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// Shorthands for the most common protocol calls; each throws on error.
inline Ref getattr(PyObject *o, PyObject *name)
{
    return Ref::checked(PyObject_GetAttr(o, name));
}

inline Ref getattr(PyObject *o, const char *name)
{
    return Ref::checked(PyObject_GetAttrString(o, name));
}

inline Ref str_of(PyObject *o) { return Ref::checked(PyObject_Str(o)); }

inline Ref repr_of(PyObject *o) { return Ref::checked(PyObject_Repr(o)); }

inline Ref new_str(const char *utf8) { return Ref::checked(PyUnicode_FromString(utf8)); }

inline Ref new_int(long long v) { return Ref::checked(PyLong_FromLongLong(v)); }

inline Ref new_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

inline Ref none() { return Ref::borrow(Py_None); }

inline Ref not_implemented() { return Ref::borrow(Py_NotImplemented); }

}  // namespace norv
