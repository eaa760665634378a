// The object bridge: the host objects the object layer calls back, handed in
// once after import by `_install_object_bridge`. First install wins; reading
// the bridge before it ran is the internal fault "object bridge not
// installed", so operations that need no handle work without it.
#pragma once

#include <Python.h>

#include "core/error.hpp"

namespace norv::symbolic::object::bridge {

// The installer's keyword order. Every pointer is a strong reference owned by
// the cell for the life of the process. No handle is tested or called at
// install.
struct ObjectBridge {
    PyObject *dict_cls;             // the host's dict class: attribute views
    PyObject *symbolic_mode_error;  // (message) -> the exception to raise
    PyObject *keypath_cls;
    PyObject *empty_key_path;
    PyObject *origin_cls;
    PyObject *auto_plural;
    PyObject *comma_delimited_str;
    PyObject *seed_non_symbolic_fields;
    PyObject *clone_non_symbolic_fields;
    PyObject *symbolic_transform_fn;
    PyObject *missing_value;
    PyObject *copy_default;
    PyObject *cooperative_init;
    PyObject *needs_cooperative_init;  // (cls) -> truth
    PyObject *message_on_path;
    PyObject *write_permission_error;
    PyObject *object_setattr;
    PyObject *object_delattr;
    PyObject *prepare_construct_error;
    // The host base class's own hooks: a class whose attribute is, by
    // identity, one of these does not override it.
    PyObject *default_on_sym_parent_change;
    PyObject *default_update_children_paths;
    PyObject *default_on_sym_path_change;
    PyObject *default_sym_missing_code;
    PyObject *default_sym_puresymbolic_prop;
    PyObject *default_sym_values;
    PyObject *is_pure_symbolic;
};

// The installed bridge; Panic "object bridge not installed" while empty.
const ObjectBridge &get();

// The installed bridge, or nullptr.
const ObjectBridge *peek() noexcept;

}  // namespace norv::symbolic::object::bridge
