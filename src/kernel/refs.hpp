// The kernel's Inferential test.
#pragma once

#include <Python.h>

namespace norv::kernel::refs {

// Whether `type(value)` or a class on its MRO defines `infer`: one lookup
// through the interpreter's method cache, no descriptor invoked, no error.
// Unlike the containers' test, a scalar whose class defines `infer` counts.
bool is_inferential(PyObject *value);

}  // namespace norv::kernel::refs
