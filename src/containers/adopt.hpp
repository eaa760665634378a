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

// Refuses, as adoption would, a value in a symbolic tree that has no parent
// and is `owner` or one of its ancestors: for a check made before the value
// is stored where a refused value would stay.
Status guard_free_value(PyObject *owner, PyObject *value, PyObject *path);

// A node constructed anew loses its parent first, yet its former parent
// still holds it until the construction ends: while this frame lives, the
// cycle walk that reaches `node` without a parent goes on from `parent`, so
// the construction cannot store an ancestor of the node under it. Frames
// nest on the constructing thread; one without a parent does nothing.
class FormerParent {
public:
    explicit FormerParent(PyObject *node) noexcept : node_(node) {}
    FormerParent(PyObject *node, Ref parent) noexcept : node_(node) { keep(std::move(parent)); }
    ~FormerParent();
    FormerParent(const FormerParent &) = delete;
    FormerParent &operator=(const FormerParent &) = delete;

    // The frame takes `parent` (nothing for none); once per frame.
    void keep(Ref parent) noexcept;

    // The parent a live frame of this thread keeps for `node`; nullptr when none.
    static PyObject *of(PyObject *node) noexcept;

private:
    PyObject *node_;
    Ref parent_;
    FormerParent *outer_ = nullptr;
};

}  // namespace norv::symbolic::adopt
