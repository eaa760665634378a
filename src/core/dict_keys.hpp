// What a dict's keys are, told without running code.
#pragma once

#include <Python.h>

namespace norv {

// Whether every key of `dict` is an exact str: then looking up an exact str
// in it compares text only, and runs no code.
inline bool exact_str_keys(PyObject *dict) noexcept
{
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    while (PyDict_Next(dict, &pos, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

}  // namespace norv
