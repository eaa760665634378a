// A new list or tuple filled slot by slot while host code runs in between.
//
// Host code must never reach an empty slot: iterating or indexing one dies on
// the null pointer. Nobody holds the new container but its builder, so the
// collector (gc.get_objects, gc.get_referrers) is the only road to it, and
// the container stays out of the collector's sight until it is handed over
// full. Preallocating keeps the fill free of the reallocations of appending.
// An unfilled container may simply be dropped: deallocation skips empty slots.
#pragma once

#include <Python.h>

#include <utility>

#include "core/ref.hpp"

namespace norv {

class Unfilled {
public:
    static Unfilled list(Py_ssize_t n) noexcept { return Unfilled(PyList_New(n)); }
    static Unfilled tuple(Py_ssize_t n) noexcept { return Unfilled(PyTuple_New(n)); }

    Unfilled(Unfilled &&) noexcept = default;
    Unfilled(const Unfilled &) = delete;
    Unfilled &operator=(const Unfilled &) = delete;

    // False when the allocation failed (the Python error is set).
    explicit operator bool() const noexcept { return bool(ref_); }
    PyObject *get() const noexcept { return ref_.get(); }

    // The container, every slot set, in the collector's sight again.
    Ref filled() noexcept
    {
        if (hidden_) {
            PyObject_GC_Track(ref_.get());
            hidden_ = false;
        }
        return std::move(ref_);
    }

    // A list whose first `count` slots are set, cut to them and handed over.
    Ref filled_list(Py_ssize_t count) noexcept
    {
        Py_SET_SIZE(ref_.get(), count);
        return filled();
    }

private:
    explicit Unfilled(PyObject *p) noexcept : ref_(Ref::steal(p))
    {
        // The empty tuple is shared and never tracked: it stays as it is.
        hidden_ = p != nullptr && PyObject_GC_IsTracked(p);
        if (hidden_) {
            PyObject_GC_UnTrack(p);
        }
    }

    Ref ref_;
    bool hidden_ = false;
};

}  // namespace norv
