// Native hooks through which a layer reaches one above it without depending
// on it: the typing layer the containers and objects, the containers the
// objects. Each is a set-once cell filled during module execution by the
// layer that provides it; readers treat an empty cell as "no hook".
#pragma once

#include <Python.h>

#include <optional>

#include "core/once.hpp"
#include "core/ref.hpp"

namespace norv::hooks {

// Whether an object is partial, as the object layer sees it.
enum class Partial : int { Error = -1, No = 0, Yes = 1, Undecided = 2 };
using SymPartialFn = Partial (*)(PyObject *value);

// Emits an already validated plain dict or list as a symbolic container of
// `target_cls` bound to `spec`. Returns a new reference, or NULL with an error set.
using WrapNodeFn = PyObject *(*)(PyObject * target_cls, PyObject *value, PyObject *spec, bool allow_partial,
                                 PyObject *root_path);

// The parent of a native object, read in place (None when it has none);
// nothing for anything else.
using ObjectParentFn = std::optional<Ref> (*)(PyObject *node);

inline OnceCell<SymPartialFn> SYM_PARTIAL_HOOK;
inline OnceCell<WrapNodeFn> WRAP_NODE_HOOK;
inline OnceCell<ObjectParentFn> OBJECT_PARENT_HOOK;

}  // namespace norv::hooks
