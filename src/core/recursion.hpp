// Guards for native recursion over user data.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv {

// True when the calling thread's C stack is close to its end. The
// interpreter's depth counter alone assumes small frames; sanitizer and debug
// builds of ours use far more stack per level than it allows for.
bool stack_nearly_exhausted() noexcept;

// One level of native recursion. Deep or cyclic input ends in RecursionError
// (the interpreter's own limit and message, or the same message when the
// thread's stack runs short first) instead of exhausting the C stack:
//     RecursionGuard depth(" while formatting");
//     if (depth.failed()) return error;
class [[nodiscard]] RecursionGuard {
public:
    explicit RecursionGuard(const char *where) noexcept : entered_(enter(where)) {}
    ~RecursionGuard()
    {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;

    bool failed() const noexcept { return !entered_; }

private:
    static bool enter(const char *where) noexcept
    {
        if (Py_EnterRecursiveCall(where) != 0) {
            return false;
        }
        if (stack_nearly_exhausted()) [[unlikely]] {
            Py_LeaveRecursiveCall();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
        return true;
    }

    bool entered_;
};

// Visits every (key, value) of a dict while the body may run Python code. Each
// pair is held by strong references for the duration of the call, and a dict
// resized (or refilled) behind our back is an internal fault rather than a
// read of freed entries. `body` returns a Status; the first failure stops the
// walk and is returned.
template <class F>
Status dict_for_each(PyObject *dict, F &&body)
{
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) {
            panic("dictionary changed size during iteration");
        }
        if (!PyDict_Next(dict, &pos, &k, &v)) {
            return Status::ok;
        }
        // One entry more than the dict held when we started: refuse it
        // before the body sees it, as the dict iterator does.
        if (remaining == 0) {
            panic("dictionary keys changed during iteration");
        }
        --remaining;
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (failed(body(key.get(), value.get()))) {
            return error;
        }
    }
}

}  // namespace norv
