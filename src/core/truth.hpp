// Python truth values as Maybe<bool>.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv {

// bool(o).
inline Maybe<bool> truth(PyObject *o)
{
    return predicate(PyObject_IsTrue(o));
}

// bool(o), or `absent` where `o` is absent (a parameter left out).
inline Maybe<bool> truth_or(PyObject *o, bool absent)
{
    if (o == nullptr) {
        return absent;
    }
    return truth(o);
}

// bool(a <op> b). Unlike PyObject_RichCompareBool there is no identity
// shortcut: an object unequal to itself (a NaN) stays unequal.
inline Maybe<bool> compare_truth(PyObject *a, PyObject *b, int op)
{
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!r) {
        return error;
    }
    return truth(r.get());
}

// bool(a == b).
inline Maybe<bool> eq_truth(PyObject *a, PyObject *b)
{
    return compare_truth(a, b, Py_EQ);
}

}  // namespace norv
