// The Python methods of SymDict defined outside dict.cpp, gathered into the
// class's method table there.
#pragma once

#include <Python.h>

#include "core/boundary.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::dict_faces {

// Topology and sealing (dict_topology.cpp).
Ref sym_setparent(PyObject *self, FastArgs a);
Ref sym_setpath(PyObject *self, FastArgs a);
Ref update_children_paths(PyObject *self, FastArgs a);
Ref sym_parent_for_children(PyObject *self);
Ref sym_seal(PyObject *self, FastArgs a);
Ref sym_setorigin(PyObject *self, FastArgs a);
Ref set_accessor_writable(PyObject *self, FastArgs a);

}  // namespace norv::symbolic::dict_faces
