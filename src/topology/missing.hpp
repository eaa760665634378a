// MissingValue: the placeholder of a value that has not been assigned. All
// instances are interchangeable; the host picks its own sentinel and hands it
// in through the bridges, so native code recognises "missing" through those.
#pragma once

#include <Python.h>

namespace norv::missing {

// The class (created on first use, kept for the life of the process); NULL
// with the error set when creating it fails.
PyTypeObject *type();

bool is_missing_value(PyObject *value) noexcept;

// The canonical instance; borrowed, lives until the process ends. NULL with
// the error set when creating it fails.
PyObject *singleton();

}  // namespace norv::missing
