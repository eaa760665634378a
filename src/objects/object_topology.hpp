// Tree operations on object nodes, for both storages: a dict-layout
// SymObject's embedded node and a Record's node-state cells. Node state is
// read and written by role, and every operation is written once over that
// access: setting path, parent, origin and accessor-writability, and the seal.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "objects/ctor_meta.hpp"

namespace norv::symbolic::topology {
struct OriginArgs;
}

namespace norv::symbolic::object::topology {

// Node-state roles. A SymObject stores 0..5 only; a Record has a cell for
// each of 0..7.
enum Role : std::size_t {
    PARENT = 0,
    PATH = 1,
    SEALED = 2,
    ALLOW_PARTIAL = 3,
    ACCESSOR_WRITABLE = 4,
    ORIGIN = 5
};

// Whether `type` carries `__slot_field_offsets__`, as every Record type does.
Maybe<bool> is_record(PyObject *type);

// The role's value (None when absent; a SymObject's flag as True or False).
// No blank guard: a blank object answers its defaults. Anything neither a
// SymObject nor a Record is refused with the node-state TypeError.
Ref node_get(PyObject *inst, std::size_t role);

// Stores `value` (nullptr or None: absent; a flag role takes its truth, an
// ordinary error of which makes it false). A role a SymObject does not store
// changes nothing.
Status node_set(PyObject *inst, std::size_t role, PyObject *value);

// The class facts of a SymObject's class (building its metadata on first
// use); none for any other instance.
Maybe<std::optional<TopoFacts>> topo_facts_of(PyObject *inst);

// The blank-object guard of the instance's storage; passes for anything
// that is neither.
Status blank_node_guard(PyObject *inst);

// `operation` may only run on a node of a symbolic tree: the host's
// `SymbolicModeError` for an object of a `sym=False` class; a Record asks
// its own `_require_sym_mode`.
Status facts_require_sym_mode(PyObject *inst, const std::optional<TopoFacts> &facts, const char *operation);

// Sets the path (nullptr: none) and carries the change to the children and
// the hooks; nothing for an unchanged path.
Status topo_setpath_impl(PyObject *inst, PyObject *path, const std::optional<TopoFacts> &facts);

// Sets the parent (nullptr: none), even an unchanged one; the hook runs only
// for a change.
Status topo_setparent_impl(PyObject *inst, PyObject *parent, const std::optional<TopoFacts> &facts);

// Records a new origin; refused when the recorded one names another source.
Status topo_setorigin(PyObject *inst, const symbolic::topology::OriginArgs &args);

// Seals (or unseals) the symbolic children, then the node.
Status topo_seal(PyObject *inst, bool is_seal);

// A SymObject's parent, read in place (None when it has none): its Python
// getter refuses an object whose construction never ran. Nothing for any
// other value, a Record included. Adoption reads it through
// `hooks::OBJECT_PARENT_HOOK`.
std::optional<Ref> sym_object_parent(PyObject *node);

}  // namespace norv::symbolic::object::topology
