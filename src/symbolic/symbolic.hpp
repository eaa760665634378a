// The symbolic-container layer's entry into module execution.
#pragma once

#include <Python.h>

#include "core/error.hpp"

namespace norv::symbolic {

// Adds the layer's names, in the host's order, each as its part is built:
// `SymDict`, `_install_container_bridge`, `_native_to_json_walk`,
// `_set_default_object_sym_jsonify`, `SymList`, `_install_list_bridge`, then
// the object layer's.
[[nodiscard]] Status register_names(PyObject *module);

// The container emitter of the schema drivers (`hooks::WRAP_NODE_HOOK`): an
// already validated dict or list as a new node of `cls` bound to
// `value_spec` at `root_path`, without a parent. Anything else is the cast
// TypeError naming `list`. A new reference, or NULL with the error set.
PyObject *build_wrap_node(PyObject *cls, PyObject *value, PyObject *value_spec, bool allow_partial,
                          PyObject *root_path);

}  // namespace norv::symbolic
