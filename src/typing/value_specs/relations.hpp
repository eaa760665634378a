// Equality, compatibility, JSON form and extension of value specs: the parts
// of the SpecBase surface that compare or merge one spec with another.
#pragma once

#include <Python.h>

#include "core/boundary.hpp"
#include "core/ref.hpp"

namespace norv::typing::relations {

// tp_richcompare of SpecBase: structural ==/!=, no ordering.
PyObject *spec_richcompare(PyObject *self, PyObject *other, int op);
Ref spec_is_compatible(PyObject *self, FastArgs a);
Ref spec_to_json(PyObject *self, FastArgs a);
Ref spec_extend(PyObject *self, FastArgs a);

#ifdef NORV_TEST_PROBES
// The kind step of `extend` and its write, without the checks before them, so
// a test can hand the merger a base that no real spec could be.
Ref extend_kind_only(PyObject *child, PyObject *base);
#endif

}  // namespace norv::typing::relations
