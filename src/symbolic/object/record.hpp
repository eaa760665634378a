// What the object layer reads of a Record instance beyond its cells: the
// reserved count its class reports, whether its construction ran, whether it
// keeps a materialised view, and its symbolic children. Cells are reached
// only through the kernel's checked accessors.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::object {

// `type.__slot_reserved__` as a count; 0 when it is missing or no count (the
// ordinary error dropped).
Maybe<std::size_t> record_reserved_count(PyObject *type);

// Passes for a Record whose construction ran: its first init field written
// (`__slot_field_names__`), or, without init fields, its allow-partial cell
// filled; ValueError "{}.__init__ should call `super().__init__`." otherwise.
Status require_initialized_record(PyObject *inst);

// Whether the Record keeps its attribute view: a full reserved region and a
// filled view cell.
Maybe<bool> record_is_materialized(PyObject *inst);

// A list of (name, value) for each name of `__slot_symbolic_field_names__`,
// in order, the value the field cell's object or None.
Ref record_symbolic_children(PyObject *inst);

}  // namespace norv::symbolic::object
