// The containers' entry for the schema drivers.
#pragma once

#include <Python.h>

#include "core/error.hpp"

namespace norv::symbolic {

// The container emitter of the schema drivers (`hooks::WRAP_NODE_HOOK`): an
// already validated dict or list as a new node of `cls` bound to
// `value_spec` at `root_path`, without a parent. Anything else is the cast
// TypeError naming `list`. A new reference, or NULL with the error set.
PyObject *build_wrap_node(PyObject *cls, PyObject *value, PyObject *value_spec, bool allow_partial,
                          PyObject *root_path);

}  // namespace norv::symbolic
