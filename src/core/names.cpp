#include "core/names.hpp"

#include <new>

namespace norv {

namespace {

// Only memory can run out while making a name: its MemoryError is dropped
// here, so no Python code runs with it set while the stack unwinds, and the
// shim sets it again.
[[noreturn]] void fail_for_memory()
{
    (void)discard_error_of({PyExc_MemoryError});
    throw std::bad_alloc();
}

}  // namespace

PyObject *intern_name(const char *text)
{
    PyObject *name = PyUnicode_InternFromString(text);
    if (name == nullptr) {
        fail_for_memory();
    }
    return name;
}

PyObject *make_name_tuple(std::initializer_list<PyObject *> names)
{
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (t == nullptr) {
        fail_for_memory();
    }
    Py_ssize_t i = 0;
    for (PyObject *name : names) {
        PyTuple_SET_ITEM(t, i++, Py_NewRef(name));
    }
    return t;
}

}  // namespace norv
