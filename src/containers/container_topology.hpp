// Topology and sealing of the symbolic containers: the operations that change
// a node's parent, path, origin, seal and accessor-writability and carry the
// change on to its children.
//
// They act on the node's own fields: no flag scope is read and no permission
// checked. A change reaches a child only through the child's own Python
// method (`sym_setparent`, `sym_setpath`, `sym_seal`), so host components and
// overrides take part; each container walks one level and the subtree is
// reached through the chain of calls, each level under a recursion guard.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "containers/container.hpp"

namespace norv::symbolic::topology {

using FieldsOf = ContainerFields &(*)(PyObject *);

// For each child in the list `children` that `test` accepts,
// `child.<method>(arg)`, the result dropped; the first error ends the walk.
// The length is read once and each child read when it is reached, so a live
// list that host code shortens meanwhile raises IndexError.
Status call_children(PyObject *children, Maybe<bool> (*test)(PyObject *), PyObject *method, PyObject *arg);

// Stores `parent` (None as absent).
void store_parent(ContainerFields &f, PyObject *parent);

// Stores `path` when `old != path` holds (Python's `!=`); whether it did.
Maybe<bool> store_path_if_changed(ContainerFields &f, PyObject *path);

// The container bridge must be installed and `new_path` an instance of its
// `keypath_cls`, else an AssertionError without a message.
Status require_keypath(PyObject *new_path);

// The frame of a container's `_update_children_paths` core: `new_path` is
// checked (`require_keypath`), nothing is walked outside symbolic mode, and
// `walk` visits the children under one recursion level.
Status update_children(PyObject *self, ContainerFields &f, PyObject *new_path,
                       Status (*walk)(PyObject *self, PyObject *new_path));

// `keypath_cls(key, new_path)`, then `child.sym_setpath(...)`.
Status repath_child(PyObject *child, PyObject *key, PyObject *new_path);

// The seal core over the children (`children` returns a list: a snapshot, or
// a list's own storage): every symbolic child first, then the node; nothing
// when the node is already in that state.
Ref seal(PyObject *self, ContainerFields &f, bool is_seal, Ref (*children)(PyObject *self));

// The signatures of the tree methods, shared with the objects.
extern const Signature SETORIGIN_SIG;
extern const Signature SET_ACCESSOR_WRITABLE_SIG;
extern const Signature SEAL_SIG;
extern const Signature SETPARENT_SIG;
extern const Signature SETPATH_SIG;

// ---- origins, shared with the objects -----------------------------------------

// What `sym_setorigin` is given after its node.
struct OriginArgs {
    PyObject *source;
    PyObject *tag;
    PyObject *stacktrace;  // None when omitted
    PyObject *stacklimit;  // None when omitted
    std::int64_t stacktop;
};

// Reads them from the bound slots `first` to `first + 4` (source, tag,
// stacktrace, stacklimit, stacktop; the last converted, -1 when omitted).
Maybe<OriginArgs> origin_args(const Bound &b, std::size_t first);

// A node whose recorded origin (nullptr: none) names a source keeps it: a
// new origin must name that very source, or the recorded one none.
Status check_origin_source(PyObject *recorded, PyObject *source);

// `origin_cls(source, tag, stacktrace, stacklimit, stacktop - 1)`.
Ref build_origin(PyObject *origin_cls, const OriginArgs &a);

// ---- Python faces shared by both containers ---------------------------------

// Binds `sym_setparent(parent)` and stores the parent; returns it (borrowed
// from the call), or nullptr with the error set.
PyObject *set_parent(ContainerFields &f, FastArgs a);

Ref sym_setorigin(PyObject *self, ContainerFields &f, FastArgs a);
Ref set_accessor_writable(PyObject *self, ContainerFields &f, FastArgs a);
Ref sym_seal(PyObject *self, FastArgs a, Ref (*core)(PyObject *, bool));
Ref sym_setpath(PyObject *self, ContainerFields &f, FastArgs a,
                Status (*update_children)(PyObject *, PyObject *));
Ref update_children_paths(PyObject *self, FastArgs a, Status (*update_children)(PyObject *, PyObject *));

// The methods above for a container class: its fields (`Of`), its native
// children walk and its seal core.
template <FieldsOf Of, Status (*UpdateChildren)(PyObject *, PyObject *), Ref (*Seal)(PyObject *, bool)>
struct Faces {
    static Ref sym_setpath(PyObject *self, FastArgs a)
    {
        return topology::sym_setpath(self, Of(self), a, UpdateChildren);
    }
    static Ref update_children_paths(PyObject *self, FastArgs a)
    {
        return topology::update_children_paths(self, a, UpdateChildren);
    }
    static Ref sym_seal(PyObject *self, FastArgs a) { return topology::sym_seal(self, a, Seal); }
    static Ref sym_setorigin(PyObject *self, FastArgs a)
    {
        return topology::sym_setorigin(self, Of(self), a);
    }
    static Ref set_accessor_writable(PyObject *self, FastArgs a)
    {
        return topology::set_accessor_writable(self, Of(self), a);
    }

    // Their entries in the class's method table.
    static std::array<PyMethodDef, 5> methods()
    {
        return {{
            method<sym_setpath>("sym_setpath",
                                "sym_setpath($self, path)\n--\n\n"
                                "Set the path and re-path every child in the tree."),
            method<update_children_paths>("_update_children_paths",
                                          "_update_children_paths($self, _old_path, new_path)\n--\n\n"
                                          "Give every child in the tree its path under `new_path`."),
            method<sym_seal>("sym_seal",
                             "sym_seal($self, is_seal=True)\n--\n\n"
                             "Seal (or unseal) the symbolic children, then the container."),
            method<sym_setorigin>(
                "sym_setorigin",
                "sym_setorigin($self, source, tag, stacktrace=None, stacklimit=None, stacktop=...)\n--\n\n"
                "Record the origin of the container."),
            method<set_accessor_writable>("set_accessor_writable",
                                          "set_accessor_writable($self, writable=True)\n--\n\n"
                                          "Allow or refuse writes through the container's accessors."),
        }};
    }
};

}  // namespace norv::symbolic::topology
