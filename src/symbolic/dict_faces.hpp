// The Python methods of SymDict defined outside dict.cpp, gathered into the
// class's method table there.
#pragma once

#include <Python.h>

#include "core/boundary.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::dict_faces {

// Construction and spec binding (dict_construct.cpp).
int init(PyObject *self, PyObject *args, PyObject *kwargs);
Ref use_value_spec(PyObject *self, FastArgs a);

// Writes (dict_write.cpp).
int ass_subscript(PyObject *self, PyObject *key, PyObject *value);
Ref set_item_without_permission_check(PyObject *self, FastArgs a);
Ref formalized_value(PyObject *self, FastArgs a);

// The host's seams (dict_seams.cpp).
Ref custom_apply(PyObject *self, FastArgs a);
Ref clone_if_primitive(PyObject *self);

// Reads (dict_reads.cpp).
Ref sym_items(PyObject *self);

// Topology and sealing (dict_topology.cpp).
Ref sym_setparent(PyObject *self, FastArgs a);
Ref sym_setpath(PyObject *self, FastArgs a);
Ref update_children_paths(PyObject *self, FastArgs a);
Ref sym_parent_for_children(PyObject *self);
Ref sym_seal(PyObject *self, FastArgs a);
Ref sym_setorigin(PyObject *self, FastArgs a);
Ref set_accessor_writable(PyObject *self, FastArgs a);

}  // namespace norv::symbolic::dict_faces
