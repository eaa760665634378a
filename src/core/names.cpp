#include "core/names.hpp"

#include <new>

namespace norv {

PyObject *intern_name(const char *text)
{
    PyObject *name = PyUnicode_InternFromString(text);
    if (name == nullptr) {
        // Only memory can run out here; the exception becomes MemoryError at
        // the shim, and no Python code may run while it is still set.
        PyErr_Clear();
        throw std::bad_alloc();
    }
    return name;
}

PyObject *make_name_tuple(std::initializer_list<PyObject *> names)
{
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (t == nullptr) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    Py_ssize_t i = 0;
    for (PyObject *name : names) {
        PyTuple_SET_ITEM(t, i++, Py_NewRef(name));
    }
    return t;
}

}  // namespace norv
