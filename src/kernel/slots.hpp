// The field descriptors of Record types: a getset entry per own field whose
// closure says where the field's cell is and how a read treats its value.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "kernel/layout.hpp"

namespace norv::kernel::slots {

enum class Kind : std::uint8_t { Symbolic = 0, NonSymbolic = 1 };

// One per own field of a Record type, made with the type and kept for the
// process (the type's descriptors point at it). Only `sym_mode` and `kind`
// change after creation, through the bakes, for every instance at once.
struct FieldMeta {
    std::size_t offset;  // of the field's cell from the start of the instance
    PyObject *name;      // the field name, interned; kept for the process
    Topology topology;
    bool sym_mode;
    Kind kind;
    // The root region reserves the view cell (role 6), so a Full read may
    // consult it. Fixed at creation: every instance that can reach this
    // field shares the root region.
    bool view;
};

// The getset functions. An internal fault inside a read or write surfaces as
// RuntimeError "panic in native slot".
PyObject *field_getter(PyObject *obj, void *closure);
int slot_setter(PyObject *obj, PyObject *value, void *closure);
PyObject *weaklist_getter(PyObject *obj, void *closure);

// The read behind the getter, for an instance of a type that has the field:
// a new reference or the error.
Ref field_get_body(PyObject *obj, const FieldMeta &meta);

// The closure of a getset entry that is a Record field, else nullptr.
FieldMeta *field_meta_of(const PyGetSetDef &def) noexcept;

}  // namespace norv::kernel::slots
