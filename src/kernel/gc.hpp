// The collector's slots of every Record type: a linear sweep over the
// instance's cells, knowing nothing of roles or fields.
#pragma once

#include <Python.h>

#include "core/registry.hpp"

namespace norv::kernel::gc {

int traverse(PyObject *obj, visitproc visit, void *arg);
int clear(PyObject *obj);

// What the deallocator drops before the instance is freed: the weak
// references, then every cell.
void release_cells(PyObject *obj) noexcept;

// The deallocator slot. The trashcan recognises an instance by its type's
// deallocator, so the slot is this very instantiation.
inline constexpr destructor dealloc = &gc_dealloc<release_cells>;

}  // namespace norv::kernel::gc
