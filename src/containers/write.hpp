// What the containers' write paths share: the host's decoration of their
// messages, the permission gates and the change notification.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "containers/container.hpp"

namespace norv::symbolic::write {

// The host's `message_on_path(text, path)`, whatever it returns.
Ref decorate(PyObject *text, PyObject *path);

// The same for a container whose path is `path` (None when it has none); a
// result that is not a str fails.
Ref error_message(PyObject *path, PyObject *text);

// The same for a container's own path.
Ref error_message(ContainerFields &f, PyObject *text);

// Raises `exc` with `error_message(f, text)`; a null `text` (its formatting
// failed) passes its error on.
Error raise_decorated(ContainerFields &f, PyObject *exc, Ref text);

// Raises the instance `write_permission_error(text)` returns.
Error raise_permission(PyObject *text);

// What a gate refuses with: its text, and whether the host decorates it.
struct Refusal {
    const char *text;
    bool decorated;
};

// The two gates of a write through item assignment or deletion: the effective
// sealed flag (the thread's scope when forced, else the node's), then the
// effective accessor-writable flag.
Status check_writable(ContainerFields &f, Refusal sealed, Refusal not_writable);

// The one gate of an operation that consults no other flag: the effective
// sealed flag.
Status check_unsealed(ContainerFields &f, Refusal sealed);

// `self._notify_field_updates(updates)`, the result dropped.
Status notify(PyObject *self, PyObject *updates);

// `update` to the host in a one-element list, unless notification is off
// and the update's target does not ask for its validation hooks.
Status notify_update(PyObject *self, PyObject *update);

// `dict.get(key, absent)` by a plain lookup (no `__getitem__` override
// runs); `present` (optional) tells whether the key is there.
Ref stored_or(PyObject *dict, PyObject *key, PyObject *absent, bool *present = nullptr);

// A replaced child in the tree (topology-aware and in symbolic mode) leaves
// it: no parent, then a new empty path made by `keypath_cls`.
Status detach_child(PyObject *old, PyObject *keypath_cls);

}  // namespace norv::symbolic::write
