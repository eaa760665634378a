// The error model.
//
// Inside the module, a failure travels as a C++ exception of one of two types:
//   * `PyErrSet`: a Python exception is already set on the thread state;
//   * `Panic`:    an internal fault (a broken invariant, a bridge used before it
//                 was installed). It becomes `norv_core.PanicException`, a
//                 BaseException, so ordinary `except Exception` does not hide it.
// Every function the interpreter calls goes through one of the shims in
// core/boundary.hpp, which turn these (and std::bad_alloc) into the C API's
// NULL / -1 convention. No C++ exception ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include <string>

namespace norv {

struct PyErrSet {};

struct Panic {
    std::string text;
};

[[noreturn]] inline void throw_set() { throw PyErrSet{}; }

[[noreturn]] inline void panic(std::string text) { throw Panic{std::move(text)}; }

// Raise `type(msg)` and unwind.
[[noreturn]] void raise(PyObject *type, const char *msg);

// Raise `type(PyUnicode_FromFormat(fmt, ...))` and unwind.
[[noreturn]] void raise_format(PyObject *type, const char *fmt, ...);

template <class T>
inline T *require(T *p)
{
    if (p == nullptr) {
        throw PyErrSet{};
    }
    return p;
}

// For C API calls that report failure with a negative int; returns the value
// so that `require(PyObject_IsTrue(o))` reads naturally.
inline int require(int rc)
{
    if (rc < 0) {
        throw PyErrSet{};
    }
    return rc;
}

inline Py_ssize_t require_size(Py_ssize_t n)
{
    if (n < 0) {
        throw PyErrSet{};
    }
    return n;
}

// The process-wide `PanicException` class (a new reference is never needed:
// the class lives until the process ends). Created on first use.
PyObject *panic_exception_type();

// Sets PanicException(text) as the current exception.
void set_panic(const std::string &text);

}  // namespace norv
