// The fast object renderer: objects rendered as their plain field listing,
// compact or one entry per line.
#pragma once

#include <Python.h>

namespace norv::symbolic::object {

// `_render_object_fast`.
PyMethodDef *render_object_fast_function();

}  // namespace norv::symbolic::object
