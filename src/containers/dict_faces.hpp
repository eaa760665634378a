// The Python methods of SymDict defined outside dict.cpp, gathered into the
// class's method table there.
#pragma once

#include <Python.h>

#include "core/boundary.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::dict_faces {

// Construction (dict_construct.cpp); spec binding is `binding::Faces`.
int init(PyObject *self, PyObject *args, PyObject *kwargs);

// The one-pass schemaful constructions (dict_one_pass.cpp).
Ref try_fused_schemaful_construct(PyObject *self, FastArgs a);
Ref try_single_pass_schemaful_construct(PyObject *self, FastArgs a);

// Writes (dict_write.cpp).
int ass_subscript(PyObject *self, PyObject *key, PyObject *value);
Ref set_item_without_permission_check(PyObject *self, FastArgs a);
Ref formalized_value(PyObject *self, FastArgs a);

// The one-pass clone (dict_seams.cpp).
Ref clone_if_primitive(PyObject *self);

// Reads (dict_reads.cpp).
PyObject *subscript(PyObject *self, PyObject *key);
PyObject *getattro(PyObject *self, PyObject *name);
Ref get(PyObject *self, FastArgs a);
Ref sym_getattr(PyObject *self, FastArgs a);
Ref sym_hasattr(PyObject *self, FastArgs a);
Ref sym_keys(PyObject *self);
Ref sym_values(PyObject *self);
Ref sym_items(PyObject *self);

// Topology and sealing (dict_topology.cpp); the rest are `topology::Faces`.
Ref sym_setparent(PyObject *self, FastArgs a);
Ref sym_parent_for_children(PyObject *self);

}  // namespace norv::symbolic::dict_faces
