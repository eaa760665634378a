// Text forms of hierarchical values: the module functions `format`,
// `kvlist_str` and `_install_formatting_bridge`, and the seams through which
// other subsystems render.
//
// Nested rendering always goes through the module's own `format` and
// `kvlist_str` as cached at module execution (`format` renders its own
// elements by running its body directly), so every rendering (ours, the
// host's, a spec's text form) takes one path and a later reassignment of the
// module attributes changes nothing.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace norv::formatting {

// Caches the module's `format` and `kvlist_str` (run right after they were
// added). A cell that is already set keeps its object.
Status init_format_fn(PyObject *module);

// The cached `format` function object (borrowed); panics while unset.
PyObject *format_fn();

// kvlist_str(items, **kwargs) through the cached function object; the result
// is a `str` (TypeError otherwise), or null with the error set. `kwargs` may
// be NULL.
Ref call_kvlist_str(PyObject *items, PyObject *kwargs);

}  // namespace norv::formatting
