// The kernel's accessors of Record cells: the node-state roles by number and
// the fields by name. They are the only code that addresses a Record's cells
// by position, and each checks, before it touches memory, that the instance
// is a Record whose layout has that cell: anything else is a RuntimeError
// "slot record: ...", never a read or write outside the object.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "core/args.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv::kernel::record {

// Passes for an instance of a kernel-built Record type; otherwise the
// RuntimeError "slot record: '{}' object is not an inline-slot Record".
Status require_record(PyObject *inst);

// The reserved cells of the root region of `inst`'s Record hierarchy (where
// the node-state roles live), or nothing when `inst` is no Record.
std::optional<std::size_t> root_reserved_of(PyObject *inst) noexcept;

// The object in the role's cell, an empty Ref for an empty cell, or the
// error: a role of 8 or more, an instance that is no Record, a role past its
// root region's reserved cells.
Maybe<Ref> _slot_node_get(PyObject *inst, std::size_t role);

// As `_slot_node_get`, an empty cell read as None.
Ref node_slot_or_none(PyObject *inst, std::size_t role);

// Stores `value` (nullptr empties the cell) in the role's cell, then
// releases the previous occupant.
Status set_node_slot(PyObject *inst, std::size_t role, PyObject *value);

// The role cell's occupant, `value` stored first when the cell is empty.
Ref set_node_slot_if_absent(PyObject *inst, std::size_t role, PyObject *value);

// `type.__slot_field_offsets__`, which must be a dict.
Ref record_field_offsets(PyObject *type);

// The offset `offsets` gives the field `name` (a str).
Maybe<std::size_t> field_slot_offset(PyObject *offsets, PyObject *name);

// A new dict of each name of `names` (a list or tuple of str), in order, to its
// cell's object or None: the raw stored values.
Ref read_record_slots(PyObject *inst, PyObject *names);

// Stores, for each name of `names` in order that the dict `values` holds,
// that value in the name's cell. The first error stops; cells already
// written keep their values.
Status write_record_slots(PyObject *inst, PyObject *names, PyObject *values);

// As `write_record_slots`, each name's value (borrowed; nullptr: none) given
// by `value_of(context, name)`, which runs no code.
using ValueOf = PyObject *(*)(void *context, PyObject *name) noexcept;
Status write_record_slots_by(PyObject *inst, PyObject *names, ValueOf value_of, void *context);

// Whether the field's cell holds a value.
Maybe<bool> record_field_written(PyObject *inst, PyObject *name);

// The object in the cell of the field `name` (a str), found through
// `offsets` (as `record_field_offsets` answers it); an empty Ref for an
// empty cell.
Maybe<Ref> read_field_slot(PyObject *inst, PyObject *offsets, PyObject *name);

// Binds the arguments of a node-state seam, `(inst, role, ...)`, and
// converts its role.
Maybe<std::size_t> bind_role(const Signature &sig, FastArgs a, Bound &b);

}  // namespace norv::kernel::record
