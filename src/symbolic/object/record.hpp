// What the object layer reads of a record class: the inline-slot Record
// types the kernel builds, made symbolic objects by the host.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/error.hpp"

namespace norv::symbolic::object {

// The reserved cells of a record class's hierarchy: its `__slot_reserved__`
// as an unsigned integer, 0 when the attribute is missing or does not
// convert (that ordinary error is discarded; a graver one fails).
Maybe<std::size_t> record_reserved_count(PyObject *type);

}  // namespace norv::symbolic::object
