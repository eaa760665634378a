// The container bridge: the host objects the symbolic containers (and the
// object layer) call back, handed in once after import by
// `_install_container_bridge`. First install wins; reading the bridge before
// it ran is the internal fault "container bridge not installed". The list
// bridge (`_install_list_bridge`) holds the one handle only lists need, under
// the same rules ("list bridge not installed").
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::bridge {

// The installer's keyword order. Every pointer is a strong reference owned by
// the cell for the life of the process. No handle is type-tested at install.
struct ContainerBridge {
    PyObject *keypath_cls;             // isinstance target of re-pathing; builds child and empty paths
    PyObject *empty_key_path;          // the shared path of a container built without one
    PyObject *missing_value;           // `missing_value == v` tells a missing value
    PyObject *field_update_cls;        // (path, target, field, old, new) -> change record
    PyObject *write_permission_error;  // (text) -> the exception to raise
    PyObject *wrap_value;              // (value, wrap=, allow_partial=, root_path=)
    PyObject *symbolic_transform_fn;   // (node allow_partial) -> child transform
    PyObject *origin_cls;              // (source, tag[, stacktrace, stacklimit, stacktop])
    // The host's decorator of container messages, called with the message and
    // the node's path object; not the typing layer's native path suffix.
    PyObject *host_message_on_path;
    PyObject *nonconst_key_cls;  // isinstance target: a field with a variable key
};

// The installed bridge; Panic "container bridge not installed" while empty.
const ContainerBridge &get();

// The host's `Insertion` class: an instance written into a list is inserted
// before the index instead of replacing the element there. Panic "list bridge
// not installed" while the list bridge is empty.
PyObject *insertion_cls();

// The origin of a node being built: none unless the calling thread's
// origin-tracking scope is explicitly True, else `origin_cls(None, "__init__")`.
// An empty Ref is "no origin".
Maybe<Ref> default_origin();

// Whether a change record's target asks for its validation hooks although
// notification is off: the truth of `update.target._sym_validate_overridden`.
// Reading `target` fails the call; an ordinary error of the flag's lookup
// counts as false; an error of its truth fails the call.
Maybe<bool> update_target_validates(PyObject *update);

}  // namespace norv::symbolic::bridge
