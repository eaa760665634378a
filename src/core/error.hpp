// The error model.
//
// A Python error travels as a value, the C API's own convention: a function
// that can fail returns a null `Ref`, `Status::error`, or an empty `Maybe<T>`,
// with the Python exception set, and every caller checks the result and
// returns at once. All three are [[nodiscard]].
//
// C++ exceptions are left for what user input cannot cause in normal use:
// `Panic` (an internal fault, a broken invariant, a bridge used before it was
// installed; it becomes `norv_core.PanicException`, a BaseException, so
// ordinary `except Exception` does not hide it) and std::bad_alloc. The shims
// in core/boundary.hpp catch them, so none ever crosses the C API.
//
// Writing it:
//     Ref v = getattr(obj, name);            // null Ref: error set
//     if (!v) return error;                  // `error` converts to every result type
//     if (failed(store(v.get()))) return error;
//     return raise(PyExc_TypeError, "...");  // set the exception, return the failure
#pragma once

#include <Python.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

namespace norv {

// The outcome of an operation that produces no value.
enum class [[nodiscard]] Status : signed char { error = -1, ok = 0 };

[[nodiscard]] constexpr bool failed(Status s) noexcept
{
    return s == Status::error;
}

// A C API status code (negative on failure) as a Status.
constexpr Status check(int rc) noexcept
{
    return rc < 0 ? Status::error : Status::ok;
}

// "A Python exception is set": converts to a null `Ref`, `Status::error` and an
// empty `Maybe<T>`, so `return error;` reads the same in every function.
struct Error {
    constexpr operator Status() const noexcept { return Status::error; }
};
inline constexpr Error error{};

// A value, or a failure with the Python exception set.
template <class T>
class [[nodiscard]] Maybe {
public:
    Maybe(T value) noexcept(std::is_nothrow_move_constructible_v<T>) : value_(std::move(value)) {}
    Maybe(Error) noexcept {}

    explicit operator bool() const noexcept { return value_.has_value(); }
    T &operator*() noexcept { return *value_; }
    const T &operator*() const noexcept { return *value_; }
    T *operator->() noexcept { return &*value_; }
    const T *operator->() const noexcept { return &*value_; }

private:
    std::optional<T> value_;
};

template <class T>
constexpr bool failed(const Maybe<T> &m) noexcept
{
    return !m;
}

// A C API predicate's answer (1 / 0, or -1 with the error set) as a Maybe<bool>.
inline Maybe<bool> predicate(int rc) noexcept
{
    if (rc < 0) {
        return error;
    }
    return rc != 0;
}

// Where an error is discarded, only an ordinary one is (an `Exception`): an
// interrupt, an exit request or an internal fault is not an answer, so it
// stays set and the call fails. Called with an error set.
Status discard_ordinary_error();

// The same for the one failure a caller expects (an AttributeError after a
// lookup, a KeyError after a walk): cleared when the error is an instance of
// one of `types`, otherwise left set.
Status discard_error_of(std::initializer_list<PyObject *> types);

// A cleanup step on the way out of a call (a context left, a memo entry
// removed), run with the error in flight, if any, held aside. The step's
// ordinary error is discarded; a graver one goes on, with the held error as
// its context. Fails when an error is set afterwards, so a caller that left
// successfully learns that an interrupt replaced its result.
template <class F>
Status cleanup_keeping_error(F &&step)
{
    PyObject *in_flight = PyErr_GetRaisedException();
    if (failed(step()) && failed(discard_ordinary_error())) {
        if (in_flight != nullptr) {
            PyObject *grave = PyErr_GetRaisedException();
            if (grave != in_flight) {
                PyException_SetContext(grave, in_flight);
            }
            else {
                Py_DECREF(in_flight);
            }
            PyErr_SetRaisedException(grave);
        }
        return error;
    }
    PyErr_SetRaisedException(in_flight);
    return in_flight != nullptr ? Status::error : Status::ok;
}

// An internal fault. Thrown, never returned: it is not caused by user input.
struct Panic {
    std::string text;
};

[[noreturn]] inline void panic(std::string text)
{
    throw Panic{std::move(text)};
}

// Set `type(msg)` / `type(PyUnicode_FromFormat(fmt, ...))`; return the failure.
Error raise(PyObject *type, const char *msg);
Error raise_format(PyObject *type, const char *fmt, ...);

// `raise obj` for an object a host callable handed back: an exception
// instance as it is, an exception class instantiated without arguments,
// anything else TypeError "exceptions must derive from BaseException".
Error raise_object(PyObject *obj);

// KeyError with `key` as its one argument (a tuple key stays one argument).
Error raise_key_error(PyObject *key);

// The process-wide `PanicException` class, created on first use; borrowed
// (the class lives until the process ends). NULL with an error set if it
// cannot be created.
PyObject *panic_exception_type();

// Sets PanicException(text) as the current exception.
void set_panic(const std::string &text);

}  // namespace norv
