// Native hooks through which the typing layer reaches the symbolic layers
// above it without depending on them. Each is a set-once cell filled during
// module execution by the layer that provides it; readers treat an empty cell
// as "no hook".
#pragma once

#include <Python.h>

#include "core/once.hpp"

namespace norv::hooks {

// Whether an object is partial, as the object layer sees it.
enum class Partial : int { Error = -1, No = 0, Yes = 1, Undecided = 2 };
using SymPartialFn = Partial (*)(PyObject *value);

// Emits an already validated plain dict or list as a symbolic container of
// `target_cls` bound to `spec`. Returns a new reference, or NULL with an error set.
using WrapNodeFn = PyObject *(*)(PyObject * target_cls, PyObject *value, PyObject *spec, bool allow_partial,
                                 PyObject *root_path);

inline OnceCell<SymPartialFn> SYM_PARTIAL_HOOK;
inline OnceCell<WrapNodeFn> WRAP_NODE_HOOK;

}  // namespace norv::hooks
