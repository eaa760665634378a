// The to-JSON walk: a whole symbolic tree as the JSON-ready value the host's
// serializer makes of it with its default options, in one native pass. The
// walk owns five kinds of node (wire primitives, SymObject objects, inline-slot
// Records, SymDict and SymList); any other node anywhere makes the whole walk
// decline, so the host serializes in Python.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/error.hpp"
#include "core/recursion.hpp"
#include "core/ref.hpp"
#include "nodes/class_reads.hpp"

namespace norv::symbolic::ops {

// None, or a value whose type is exactly int, float, str or bool.
inline bool is_wire_primitive(PyObject *v) noexcept
{
    PyTypeObject *tp = Py_TYPE(v);
    return v == Py_None || tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type ||
           tp == &PyBool_Type;
}

// Nesting past this many owned nodes declines: the host's own path then
// answers (a tree that deep exhausts its recursion limit first). It sits far
// below the interpreter's C recursion limit, which the guard of each level
// enforces besides, so a deep tree declines rather than raising.
inline constexpr std::size_t MAX_WALK_DEPTH = 1000;

// One walk: its flag word (bit 0 leaves frozen fields out), the thread's
// stack bounds read once at the top, the current nesting, and the class
// attributes read so far.
struct Walk {
    unsigned flags;
    StackBounds bounds = StackBounds::current();
    std::size_t depth = 0;
    ClassReads classes{};

    bool leaves_frozen_out() const noexcept { return (flags & 1U) != 0; }
};

// out[key] := a step's answer; false when the step declined (an empty Ref).
inline Maybe<bool> store_answer(PyObject *out, PyObject *key, const Maybe<Ref> &answer)
{
    if (!answer) {
        return error;
    }
    if (!*answer) {
        return false;
    }
    if (PyDict_SetItem(out, key, answer->get()) < 0) {
        return error;
    }
    return true;
}

// A walk step's result: the walked value, a decline (an empty Ref), or an
// error.
Maybe<Ref> walk(PyObject *value, Walk &w);

// Fills `out` with the entries of `source` (a dict: a SymDict, an object's
// field dict, a record's view or raw cell values) that the host emits for it,
// in its order: `schema` (nullptr for none) decides which and in which order.
// True when filled, false for a decline.
Maybe<bool> fill_dict(PyObject *source, PyObject *schema, Walk &w, PyObject *out);

// Whether every key of the dict is a str (a subclass included), over a
// snapshot of its keys.
Maybe<bool> str_keys_only(PyObject *dict);

}  // namespace norv::symbolic::ops
