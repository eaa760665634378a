// Child adoption: the one step every value written into a symbolic dict,
// list, object or record passes before it is stored. A symbolic value becomes
// a child of its new container (its new path and parent given through its own
// `sym_setpath` and `sym_setparent`, so host overrides take part), is cloned
// when it already belongs elsewhere, and is refused when the insertion would
// make a tree contain itself.
#pragma once

#include <Python.h>

#include <optional>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::adopt {

// A native container's tree state, read in place: parent and path (empty when
// absent) and its symbolic mode.
struct ChildState {
    Ref parent;
    Ref path;
    bool sym_mode;
};

// The state of a `SymDict` or `SymList` (subclasses included); nothing for
// any other value. A container that a native operation holds exclusively is
// an internal fault.
std::optional<ChildState> native_child_state(PyObject *value);

// The value to store under `key`: the value itself or the clone adoption made.
// `parent_path` and `parent` may be None; `seen` is a set or nullptr.
// `replaced` is given by an owner that keys its members by position (a list):
// the element the write replaces at `key`, nullptr when it adds a slot. Such
// an owner's children keep stale paths after insertions and deletions, so a
// value it owns counts as already in place only when it is that very element.
Ref relocate_if_symbolic(PyObject *key, PyObject *value, bool enabled, PyObject *parent_path, PyObject *owner,
                         PyObject *parent, PyObject *seen, std::optional<PyObject *> replaced = std::nullopt);

// Refuses inserting `value` into `owner` when `value` is `owner` or one of its
// ancestors (ValueError). A parent chain that loops without reaching a root
// (only host code can make one) raises RuntimeError instead of walking forever.
Status guard_no_cycle(PyObject *owner, PyObject *value, PyObject *path);

}  // namespace norv::symbolic::adopt
