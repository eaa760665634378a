#include "core/error.hpp"

#include <cxxabi.h>

#include <cstdarg>
#include <exception>
#include <new>

#include "core/boundary.hpp"
#include "core/once.hpp"

namespace norv {

Error raise(PyObject *type, const char *msg)
{
    PyErr_SetString(type, msg);
    return error;
}

Error raise_format(PyObject *type, const char *fmt, ...)
{
    va_list vargs;
    va_start(vargs, fmt);
    PyObject *msg = PyUnicode_FromFormatV(fmt, vargs);
    va_end(vargs);
    if (msg != nullptr) {
        PyErr_SetObject(type, msg);
        Py_DECREF(msg);
    }
    return error;
}

Error raise_object(PyObject *obj)
{
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(obj)), obj);
    }
    else if (PyExceptionClass_Check(obj)) {
        PyErr_SetNone(obj);
    }
    else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return error;
}

Error raise_key_error(PyObject *key)
{
    PyObject *exc = PyObject_CallOneArg(PyExc_KeyError, key);
    if (exc != nullptr) {
        PyErr_SetObject(PyExc_KeyError, exc);
        Py_DECREF(exc);
    }
    return error;
}

Status discard_error_of(std::initializer_list<PyObject *> types)
{
    PyObject *current = PyErr_Occurred();
    if (current == nullptr) {
        panic("an error was to be discarded, but none is set");
    }
    for (PyObject *type : types) {
        if (PyErr_GivenExceptionMatches(current, type)) {
            PyErr_Clear();
            return Status::ok;
        }
    }
    return error;
}

Status discard_ordinary_error()
{
    return discard_error_of({PyExc_Exception});
}

static ObjectCell PANIC_TYPE;

PyObject *panic_exception_type()
{
    return PANIC_TYPE.get_or_init([] {
        return Ref::steal(
            PyErr_NewExceptionWithDoc("norv_core.PanicException",
                                      "An internal fault of the native core (a broken invariant or a bridge\n"
                                      "used before it was installed). Derives from BaseException so that\n"
                                      "handlers of ordinary errors do not swallow it.",
                                      PyExc_BaseException, nullptr));
    });
}

void set_panic(const std::string &text)
{
    PyObject *type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the class failed; its error stays set and says why
    }
    PyObject *msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (msg != nullptr) {
        PyErr_SetObject(type, msg);
        Py_DECREF(msg);
    }
}

void ensure_error_set() noexcept
{
    if (!PyErr_Occurred()) {
        set_panic("an error was reported without a Python exception set");
    }
}

void translate_current_exception()
{
    try {
        throw;
    }
    catch (const Panic &p) {
        set_panic(p.text);
    }
    catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    catch (abi::__forced_unwind &) {
        throw;  // thread cancellation must keep unwinding
    }
    catch (const std::exception &e) {
        set_panic(e.what());
    }
    catch (...) {
        set_panic("unknown C++ exception");
    }
}

namespace {

constexpr const char *SLOT_FAULT = "panic in native slot";

}  // namespace

void ensure_error_set_in_slot() noexcept
{
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_RuntimeError, SLOT_FAULT);
    }
}

void translate_current_exception_in_slot()
{
    try {
        throw;
    }
    catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    catch (abi::__forced_unwind &) {
        throw;
    }
    catch (...) {
        PyErr_SetString(PyExc_RuntimeError, SLOT_FAULT);
    }
}

}  // namespace norv
