// Absent (a null pointer) and None, both ways.
//
// Native state holds "absent" as a null pointer; Python sees None there, and
// many parameters take None to mean "left out". These are the one crossing
// in each direction.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace norv {

// `o`, or None where it is absent; borrowed.
inline PyObject *none_if_null(PyObject *o) noexcept
{
    return o != nullptr ? o : Py_None;
}

// The same as a new reference: a held reference as Python sees it.
inline Ref none_if_null(const Ref &r)
{
    return Ref::borrow(none_if_null(r.get()));
}

// `o`, or absent where it is None (absent stays absent); borrowed.
inline PyObject *null_if_none(PyObject *o) noexcept
{
    return o != Py_None ? o : nullptr;
}

}  // namespace norv
