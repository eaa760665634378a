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
Ref sym_values(PyObject *self);

// Topology (list_topology.cpp); the rest are `topology::Faces`.
Ref sym_setparent(PyObject *self, FastArgs a);

// The seams (list_seams.cpp); spec binding is `binding::Faces`.
Ref clone_if_primitive(PyObject *self);
Ref relocate_if_symbolic(PyObject *self, FastArgs a);

}  // namespace norv::symbolic::list_faces
