// The native `tp_init` and `tp_getattro` slots the host writes into the
// classes it generates, so that calling a class and reading an attribute
// cost no Python frame; their installers and probes.
//
// A slot stands where the host's Python code would run: an internal fault
// inside one surfaces as the ordinary RuntimeError "panic in native slot"
// (the trampolines), never as PanicException.
#pragma once

#include <Python.h>

#include "core/boundary.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::object::tp_slots {

using InitBody = Status (*)(PyObject *obj, PyObject *args, PyObject *kwargs);
using GetattroBody = Ref (*)(PyObject *obj, PyObject *name);

// A `tp_init` slot running `Body` with the instance and its arguments held.
template <InitBody Body>
int init_trampoline(PyObject *obj, PyObject *args, PyObject *kwargs)
{
    return guard_int<int, Faults::SlotError>([&]() -> Status {
        const Ref held_obj = Ref::borrow(obj), held_args = Ref::borrow(args),
                  held_kwargs = Ref::borrow(kwargs);
        return Body(obj, args, kwargs);
    });
}

// A `tp_getattro` slot running `Body`.
template <GetattroBody Body>
PyObject *getattro_trampoline(PyObject *obj, PyObject *name)
{
    return guard<Faults::SlotError>([&] { return Body(obj, name); });
}

// The generic attribute read: the interpreter's own lookup, and for a name
// it does not find, the host's inferred attribute when the class reads
// attributes symbolically (`__sym_options__.attr_read`) and the object says
// it has one (`sym_hasattr`).
Ref object_getattro_body(PyObject *obj, PyObject *name);

}  // namespace norv::symbolic::object::tp_slots
