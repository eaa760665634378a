// Owning references to Python objects.
//
// Rules of use
// ------------
// * `Ref` owns exactly one strong reference (or none). It is move-only: a copy
//   would hide an incref, so ownership transfers are always spelled out.
// * Make one with a named constructor:
//     Ref::steal(p)    takes over a new reference returned by the C API (NULL
//                      stays NULL: the C API's error result passes through);
//     Ref::borrow(p)   increments p and owns the new reference.
//   `return error;` (core/error.hpp) makes the null Ref of a failure.
// * A null Ref returned by a function means "a Python exception is set"; the
//   caller checks it before anything else. `Ref` is [[nodiscard]]: a result
//   can't be dropped unchecked by accident.
// * `release()` hands the reference back to C (e.g. as a slot's return value);
//   `get()` lends it out without transferring ownership.
// * A raw `PyObject*` is always borrowed. Functions that return a new
//   reference return `Ref`; functions that take `PyObject*` never steal. An
//   object's own references are `Ref` members.
// * Nothing static or thread_local may own a `Ref`: process-wide objects are
//   held in `OnceCell`s that leak on purpose (no destructors at exit).
// * The one exception to "raw means borrowed": records that live for the
//   whole process and are leaked on purpose hold strong references in raw
//   pointers, since no destructor may run at exit. They are the set-once
//   bridge records (`bridge::TypingBridge`, the symbolic container-types
//   pair and the cached `re` match descriptor in typing/, the formatting
//   bridge's host callables, `symbolic::bridge::ContainerBridge`), the Record kernel's per-type tables
//   (the field closures' interned names), the interned names and keyword-name tuples
//   of core/names.hpp, the table of builtin type texts in value-spec messages, the key-path sets' table of
//   text keys, and the values of `ObjectCell`s.
#pragma once

#include <Python.h>

#include <utility>

#include "core/error.hpp"

namespace norv {

class [[nodiscard]] Ref {
public:
    Ref() noexcept = default;
    Ref(Error) noexcept {}
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

    PyObject *get() const noexcept { return p_; }
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

inline bool failed(const Ref &r) noexcept
{
    return !r;
}

// For results where an empty Ref means "none" or "absent": a Ref that has to
// be there, whose null (the error set) becomes the failure.
inline Maybe<Ref> some(Ref r)
{
    if (!r) {
        return error;
    }
    return r;
}

// Shorthands for the most common protocol calls; each returns a null Ref on error.
inline Ref getattr(PyObject *o, PyObject *name)
{
    return Ref::steal(PyObject_GetAttr(o, name));
}

inline Ref getattr(PyObject *o, const char *name)
{
    return Ref::steal(PyObject_GetAttrString(o, name));
}

// `o.name()` and `o.name(arg)`; `name` is a str.
inline Ref call_method(PyObject *o, PyObject *name)
{
    return Ref::steal(PyObject_CallMethodNoArgs(o, name));
}

inline Ref call_method(PyObject *o, PyObject *name, PyObject *arg)
{
    PyObject *args[] = {o, arg};
    return Ref::steal(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref str_of(PyObject *o)
{
    return Ref::steal(PyObject_Str(o));
}

inline Ref repr_of(PyObject *o)
{
    return Ref::steal(PyObject_Repr(o));
}

inline Ref new_str(const char *utf8)
{
    return Ref::steal(PyUnicode_FromString(utf8));
}

inline Ref new_int(long long v)
{
    return Ref::steal(PyLong_FromLongLong(v));
}

inline Ref new_bool(bool v)
{
    return Ref::borrow(v ? Py_True : Py_False);
}

// `type(o)`, borrowed, as an object.
inline PyObject *type_of(PyObject *o) noexcept
{
    return reinterpret_cast<PyObject *>(Py_TYPE(o));
}

// The True or False singleton, borrowed: for argument arrays.
inline PyObject *py_bool(bool b) noexcept
{
    return b ? Py_True : Py_False;
}

inline Ref none()
{
    return Ref::borrow(Py_None);
}

inline Ref not_implemented()
{
    return Ref::borrow(Py_NotImplemented);
}

}  // namespace norv
