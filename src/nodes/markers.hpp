// How tree code recognises the host's tree components: by what their type
// offers (an attribute lookup on the type, the metaclass included, as
// `hasattr(type(value), name)` does), never by what the instance holds. Only
// an AttributeError means "absent"; any other lookup error fails the test.
#pragma once

#include <Python.h>

#include "core/error.hpp"

namespace norv::symbolic::markers {

// The type has `sym_clone`.
Maybe<bool> is_symbolic(PyObject *value);

// The type has `sym_setpath`.
Maybe<bool> is_topology_aware(PyObject *value);

// Not a scalar, and the type has `infer`.
Maybe<bool> is_inferential(PyObject *value);

// The value's own `sym_mode`: False only for a bool False; a missing or
// unreadable attribute, or any other value, counts as True. Fails only for an
// error graver than an ordinary exception.
Maybe<bool> child_sym_mode(PyObject *value);

// In the tree: topology-aware and in symbolic mode.
Maybe<bool> in_tree(PyObject *value);

}  // namespace norv::symbolic::markers
