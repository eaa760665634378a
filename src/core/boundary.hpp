// The boundary between the interpreter and C++.
//
// Every slot, method and getter is a thin shim that runs its body under
// `guard*()`. The body reports a Python error as a value (a null `Ref`,
// `Status::error`), which passes straight through; the shim only catches what
// is thrown (`Panic`, std::bad_alloc, anything else) and turns it into the C
// API's error return with a Python exception set. Shims are templates over the
// implementing function, so each table entry stays one line and no C++
// exception can reach the interpreter.
#pragma once

#include <Python.h>

#include <type_traits>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv {

// Translates the exception in flight into a Python exception. Only called from
// inside a catch block.
void translate_current_exception();

// A failure returned without an exception set is a fault of ours; make it a
// PanicException rather than the interpreter's SystemError.
void ensure_error_set() noexcept;

// How an internal fault surfaces. Inside the type slots written into host
// classes and the record field descriptors a fault is an ordinary
// RuntimeError "panic in native slot" (its own text dropped): those slots
// stand where the host's Python code would raise, so its callers' handlers
// see an ordinary error. Everywhere else it is PanicException.
enum class Faults : unsigned char { Panic, SlotError };

// The slot form of `translate_current_exception` and `ensure_error_set`.
void translate_current_exception_in_slot();
void ensure_error_set_in_slot() noexcept;

template <Faults K>
inline void translate_fault()
{
    if constexpr (K == Faults::Panic) {
        translate_current_exception();
    }
    else {
        translate_current_exception_in_slot();
    }
}

template <Faults K>
inline void ensure_fault_set() noexcept
{
    if constexpr (K == Faults::Panic) {
        ensure_error_set();
    }
    else {
        ensure_error_set_in_slot();
    }
}

template <Faults K = Faults::Panic, class F>
inline PyObject *guard(F &&body)
{
    try {
        PyObject *result = body().release();
        if (result == nullptr) [[unlikely]] {
            ensure_fault_set<K>();
        }
        return result;
    }
    catch (...) {
        translate_fault<K>();
        return nullptr;
    }
}

template <class T>
inline constexpr bool is_maybe = false;
template <class T>
inline constexpr bool is_maybe<Maybe<T>> = true;

// For slots that report failure with a negative int (init, setattr,
// contains, hash, ...). A `Status` body maps to 0 / -1, a `Maybe<bool>` body
// (a predicate) to 1 / 0 / -1, any other `Maybe` to its value or -1; an
// integer body's value is returned as it is, `failure` standing for "error
// set" (and, like a failed result, a fault of ours when no error is set).
template <class R = int, Faults K = Faults::Panic, class F>
inline R guard_int(F &&body, R failure = -1)
{
    try {
        using Result = decltype(body());
        if constexpr (std::is_void_v<Result>) {
            body();
            return 0;
        }
        else if constexpr (std::is_same_v<Result, Status>) {
            if (failed(body())) [[unlikely]] {
                ensure_fault_set<K>();
                return failure;
            }
            return 0;
        }
        else if constexpr (is_maybe<Result>) {
            const Result result = body();
            if (!result) [[unlikely]] {
                ensure_fault_set<K>();
                return failure;
            }
            return static_cast<R>(*result);
        }
        else {
            const R result = body();
            if (result == failure) [[unlikely]] {
                ensure_fault_set<K>();
            }
            return result;
        }
    }
    catch (...) {
        translate_fault<K>();
        return failure;
    }
}

// Arguments of a METH_FASTCALL | METH_KEYWORDS call, as the interpreter gives them.
struct FastArgs {
    PyObject *const *args;
    Py_ssize_t nargs;
    PyObject *kwnames;  // tuple of keyword names or NULL
};

using FastImpl = Ref (*)(PyObject *self, FastArgs args);
using NoArgsImpl = Ref (*)(PyObject *self);
using OneArgImpl = Ref (*)(PyObject *self, PyObject *arg);
// The common call of a method answered outside the guard: a new reference, or
// NULL with no error set to hand the call to the guarded implementation. It
// must not fail nor throw.
using QuickImpl = PyObject *(*)(PyObject * self, FastArgs args) noexcept;

// Only ever called through a method table or a tail call, never inlined.
template <FastImpl F>
[[gnu::noinline]] PyObject *shim_fastcall(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                          PyObject *kwnames)
{
    return guard([&] { return F(self, FastArgs{args, nargs, kwnames}); });
}

// Outside any try block the quick step needs no frame of its own, and handing
// the call over is a tail call.
template <QuickImpl Q, FastImpl F>
PyObject *shim_fastcall_quick(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (PyObject *result = Q(self, FastArgs{args, nargs, kwnames})) [[likely]] {
        return result;
    }
    return shim_fastcall<F>(self, args, nargs, kwnames);
}

template <NoArgsImpl F>
PyObject *shim_noargs(PyObject *self, PyObject *)
{
    return guard([&] { return F(self); });
}

template <OneArgImpl F>
PyObject *shim_onearg(PyObject *self, PyObject *arg)
{
    return guard([&] { return F(self, arg); });
}

// Unary slots (tp_repr, tp_str, tp_iter, ...) and property getters.
template <NoArgsImpl F>
PyObject *shim_unary(PyObject *self)
{
    return guard([&] { return F(self); });
}

template <NoArgsImpl F>
PyObject *shim_getter(PyObject *self, void *)
{
    return guard([&] { return F(self); });
}

// PyMethodDef builders. `doc` starts with the text signature
// ("name(args)\n--\n\n") so that inspect.signature works.
template <FastImpl F>
inline PyMethodDef method(const char *name, const char *doc, int extra_flags = 0)
{
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&shim_fastcall<F>)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

// A method whose common call `Q` answers cheaply before `F` is called.
template <QuickImpl Q, FastImpl F>
inline PyMethodDef method_quick(const char *name, const char *doc, int extra_flags = 0)
{
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&shim_fastcall_quick<Q, F>)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

template <NoArgsImpl F>
inline PyMethodDef method_noargs(const char *name, const char *doc, int extra_flags = 0)
{
    return {name, &shim_noargs<F>, METH_NOARGS | extra_flags, doc};
}

template <OneArgImpl F>
inline PyMethodDef method_onearg(const char *name, const char *doc, int extra_flags = 0)
{
    return {name, &shim_onearg<F>, METH_O | extra_flags, doc};
}

}  // namespace norv
