// The Python methods of SymDict defined outside dict.cpp, gathered into the
// class's method table there.
#pragma once

#include <Python.h>

#include "core/boundary.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::dict_faces {

// Topology and sealing (dict_topology.cpp); the rest are `topology::Faces`.
Ref sym_setparent(PyObject *self, FastArgs a);
Ref sym_parent_for_children(PyObject *self);

}  // namespace norv::symbolic::dict_faces
