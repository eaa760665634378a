// The Python methods of SymList defined outside list.cpp, gathered into the
// class's method table there.
#pragma once

#include <Python.h>

#include "core/boundary.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::list_faces {

// Construction (list_construct.cpp); spec binding is `binding::Faces`.
int init(PyObject *self, PyObject *args, PyObject *kwargs);

// Writes (list_write.cpp).
int ass_subscript(PyObject *self, PyObject *key, PyObject *value);
Ref set_item_without_permission_check(PyObject *self, FastArgs a);
Ref delete_and_notify(PyObject *self, FastArgs a);
Ref formalized_value(PyObject *self, FastArgs a);

// Reads (list_reads.cpp).
PyObject *subscript(PyObject *self, PyObject *index);
PyObject *iter(PyObject *self);
Ref sym_getattr(PyObject *self, FastArgs a);
Ref sym_hasattr(PyObject *self, FastArgs a);
Ref sym_keys(PyObject *self);
Ref sym_values(PyObject *self);
Ref sym_items(PyObject *self);
Ref sym_attr_field(PyObject *self, FastArgs a);
Ref max_size(PyObject *self);

// Mutators (list_mutators.cpp).
Ref append(PyObject *self, FastArgs a);
Ref insert(PyObject *self, FastArgs a);
Ref extend(PyObject *self, FastArgs a);
Ref pop(PyObject *self, FastArgs a);
Ref remove(PyObject *self, FastArgs a);
Ref clear(PyObject *self);
Ref sort(PyObject *self, FastArgs a);
Ref reverse(PyObject *self);
Ref copy(PyObject *self);
PyObject *add(PyObject *left, PyObject *right);
PyObject *multiply(PyObject *left, PyObject *right);

// Topology (list_topology.cpp); the rest are `topology::Faces`.
Ref sym_setparent(PyObject *self, FastArgs a);

// The seams (list_seams.cpp); spec binding is `binding::Faces`.
Ref clone_if_primitive(PyObject *self);
Ref relocate_if_symbolic(PyObject *self, FastArgs a);

}  // namespace norv::symbolic::list_faces
