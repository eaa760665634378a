// Guards for native recursion over user data.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv {

// The calling thread's stack bounds: [low, floor) is the last stretch of the
// stack, kept for the error path; both 0 when the bounds are unknown (no
// check). Reading them costs a thread-local access, so a native recursion
// reads them once at its top and hands them down; each level then costs one
// comparison. Default-constructed bounds check nothing: the guard then counts
// like the interpreter's own entry of a call.
class StackBounds {
public:
    // Probes the thread's stack on its first use.
    static StackBounds current() noexcept;

    // True when the calling frame is close to the stack's end. The stack grows
    // downwards on every platform this module builds for. A frame outside the
    // thread's own stack (a coroutine library's stack) is not ours to judge.
    [[gnu::always_inline]] bool nearly_exhausted() const noexcept
    {
        const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        return frame >= low_ && frame < floor_;
    }

private:
    friend struct StackProbe;
    std::uintptr_t low_ = 0;
    std::uintptr_t floor_ = 0;
};

// True when `levels` more levels of the interpreter's recursion counter can be
// entered on thread `ts` without reaching its limit, so that entering and
// leaving them around work that runs no Python code would only count. A
// native walk may then skip such levels (the call it stands in for, the
// entry `PyObject_Repr` makes) without changing any outcome. False where the
// counter cannot be read: take the checked path.
inline bool recursion_room(PyThreadState *ts, int levels) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
    // Entering fails once the counter is below zero before its decrement.
    return ts->c_recursion_remaining > levels;
#else
    (void)ts;
    (void)levels;
    return false;
#endif
}

// True when the calling thread's C stack is close to its end. The
// interpreter's depth counter alone assumes small frames; sanitizer and debug
// builds of ours use far more stack per level than it allows for.
bool stack_nearly_exhausted() noexcept;

// One level of native recursion. Deep or cyclic input ends in RecursionError
// (the interpreter's own limit and message, or the same message when the
// thread's stack runs short first) instead of exhausting the C stack:
//     RecursionGuard depth(" while formatting");
//     if (depth.failed()) return error;
// A recursion that carries its `StackBounds` passes them as the second
// argument and skips the thread-local read.
class [[nodiscard]] RecursionGuard {
public:
    explicit RecursionGuard(const char *where) noexcept : entered_(enter(where, StackBounds::current())) {}
    RecursionGuard(const char *where, const StackBounds &bounds) noexcept : entered_(enter(where, bounds)) {}
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
    [[gnu::always_inline]] static bool enter(const char *where, const StackBounds &bounds) noexcept
    {
        if (Py_EnterRecursiveCall(where) != 0) {
            return false;
        }
        if (bounds.nearly_exhausted()) [[unlikely]] {
            return refuse(where);
        }
        return true;
    }
    // Leaves the level just entered and raises the interpreter's message.
    static bool refuse(const char *where) noexcept;

    bool entered_;
};

// Visits every (key, value) of a dict while the body may run Python code. Each
// pair is held by strong references for the duration of the call, and a dict
// resized (or refilled) behind our back is an internal fault rather than a
// read of freed entries. `body` returns a Maybe<bool>: false stops the walk,
// which then answers false; the first failure stops it and is returned; true
// once every entry was visited.
template <class F>
Maybe<bool> dict_while(PyObject *dict, F &&body)
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
            return true;
        }
        // One entry more than the dict held when we started: refuse it
        // before the body sees it, as the dict iterator does.
        if (remaining == 0) {
            panic("dictionary keys changed during iteration");
        }
        --remaining;
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        const Maybe<bool> go_on = body(key.get(), value.get());
        if (!go_on || !*go_on) {
            return go_on;
        }
    }
}

// `dict_while` with a body that returns a Status and never stops early.
template <class F>
Status dict_for_each(PyObject *dict, F &&body)
{
    const Maybe<bool> done = dict_while(dict, [&](PyObject *key, PyObject *value) -> Maybe<bool> {
        if (failed(body(key, value))) {
            return error;
        }
        return true;
    });
    return done ? Status::ok : Status::error;
}

// Walks any iterable through Python's iteration protocol; `body` gets each
// item (held for the call) and returns a Maybe<bool>: false stops the walk,
// which then answers false. The first failure, of the iteration or of the
// body, stops the walk and is returned.
template <class F>
Maybe<bool> items_while(PyObject *iterable, F &&body)
{
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        return error;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        const Maybe<bool> go_on = body(item.get());
        if (!go_on || !*go_on) {
            return go_on;
        }
    }
    if (PyErr_Occurred()) {
        return error;
    }
    return true;
}

// `items_while` with a body that returns a Status and never stops early.
template <class F>
Status for_each_item(PyObject *iterable, F &&body)
{
    const Maybe<bool> done = items_while(iterable, [&](PyObject *item) -> Maybe<bool> {
        if (failed(body(item))) {
            return error;
        }
        return true;
    });
    return done ? Status::ok : Status::error;
}

}  // namespace norv
