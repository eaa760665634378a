// Tree operations on object nodes: node state by role, the class facts they
// consult, and setting an object's path and parent with the host's hooks.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "symbolic/object/ctor_meta.hpp"

namespace norv::symbolic::object::topology {

// Node-state roles.
enum Role : std::size_t {
    PARENT = 0,
    PATH = 1,
    SEALED = 2,
    ALLOW_PARTIAL = 3,
    ACCESSOR_WRITABLE = 4,
    ORIGIN = 5
};

// The role's value (None when absent; a flag as True or False). No blank
// guard: a blank object answers its defaults.
Ref node_get(PyObject *inst, std::size_t role);

// Stores `value` (nullptr or None: absent; a flag takes its truth, an
// ordinary error of which makes it false). A role without storage changes
// nothing.
Status node_set(PyObject *inst, std::size_t role, PyObject *value);

// The class facts of a SymObject's class (building its metadata on first
// use); none for any other instance.
Maybe<std::optional<TopoFacts>> topo_facts_of(PyObject *inst);

// The blank-object guard of the instance's storage.
Status blank_node_guard(PyObject *inst);

// `operation` may only run on a node of a symbolic tree: the host's
// `SymbolicModeError` for an object of a `sym=False` class.
Status facts_require_sym_mode(PyObject *inst, const std::optional<TopoFacts> &facts, const char *operation);

// Sets the path (nullptr: none) and carries the change to the children and
// the hooks; nothing for an unchanged path.
Status topo_setpath_impl(PyObject *inst, PyObject *path, const std::optional<TopoFacts> &facts);

// Sets the parent (nullptr: none), even an unchanged one; the hook runs only
// for a change.
Status topo_setparent_impl(PyObject *inst, PyObject *parent, const std::optional<TopoFacts> &facts);

}  // namespace norv::symbolic::object::topology
