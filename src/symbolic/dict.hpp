// SymDict: the native base of the host's symbolic dict class. A `dict`
// subclass whose members are the dict's own entries (read and written only
// with the interpreter's dict functions, never through methods a host
// subclass may override), carrying its native fields after the dict header.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "symbolic/container.hpp"

namespace norv::symbolic {

struct DictFields : ContainerFields {
    // The attribute container of a symbolic object or record: its children
    // take the dict's parent (the object), not the dict, as their parent.
    bool as_object_attributes_container = false;
};

struct SymDictObject {
    PyDictObject dict;
    DictFields fields;
};

struct SymDict {
    // The class (created on first use); NULL with the error set when
    // creating it failed.
    static PyTypeObject *type();

    // An instance of the class or of a subclass. False before the class exists.
    static bool check(PyObject *o) noexcept;

    static DictFields &fields(PyObject *self) noexcept
    {
        return reinterpret_cast<SymDictObject *>(self)->fields;
    }

    // ---- reads --------------------------------------------------------------

    // The instance itself, as its dict storage.
    static PyObject *storage(PyObject *self);

    // The bound spec's `schema`, read through Python; empty when no spec is
    // bound or the spec has none.
    static Maybe<Ref> schema_of(PyObject *self);

    // The stored keys in schema order: the schema's constant keys that are
    // stored, in field order, then every other stored key in storage order.
    static Ref schema_ordered_keys(PyObject *self, PyObject *schema);

    // An iterator over a snapshot of (key, raw member) pairs, in schema order
    // when a schema is bound, else in storage order.
    static Ref sym_items(PyObject *self);

    // The node's path, None when absent.
    static Ref path_arg(PyObject *self);

    // ---- topology -----------------------------------------------------------

    // The parent adopted children receive: the dict, or for an object's
    // attribute container, the dict's own parent (None while unattached).
    static Ref _sym_parent_for_children(PyObject *self);

    // Seals (or unseals) the symbolic children, then the dict; nothing when
    // the dict is already in that state. Returns the dict.
    static Ref sym_seal(PyObject *self, bool is_seal);

    // Gives every child in the tree its path under `new_path`, in schema order.
    static Status _update_children_paths(PyObject *self, PyObject *new_path);

    // Adoption of `value` under `key` with the dict's own context.
    static Ref _relocate_if_symbolic(PyObject *self, PyObject *key, PyObject *value, PyObject *seen);
};

}  // namespace norv::symbolic
