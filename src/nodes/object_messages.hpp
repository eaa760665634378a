// The messages every object raises, records included: the kernel's field
// reads raise them as the object layer does.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::object {

// `cls.__name__`, which must be a str.
Ref class_name_text(PyObject *cls);

// ValueError "{}.__init__ should call `super().__init__`." with the
// `__name__` of `type`: a read of an object whose construction never ran.
Error blank_object_error(PyTypeObject *type);

// AttributeError "'{}' object has no attribute '{}'" from the `__name__` of
// `type` and `str(name)`, or the error met making it.
Error missing_attribute_error(PyTypeObject *type, PyObject *name);

// Raises what the host's `symbolic_mode_error` makes of `message` (or the
// error of that call).
Error raise_symbolic_mode_error(PyObject *message);

// The exception a `sym=False` class raises for an Inferential value read
// under `name`: the host's `SymbolicModeError`, or the error met making it.
Error record_inferential_sym_false_err(PyObject *cls, PyObject *name);

}  // namespace norv::symbolic::object
