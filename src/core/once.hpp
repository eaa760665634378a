// Set-once cells for process-wide state: bridges, hooks, cached objects, type
// objects.
//
// A cell starts empty, is filled at most once (the first writer wins; later
// writers are accepted and ignored) and is never cleared. Readers load the
// state with acquire ordering, so any thread sees either an empty cell or the
// complete value.
//
// `get_or_init` computes outside the cell and then publishes: nobody ever
// waits on a computation running in another thread, so no lock is held while
// Python code runs and no thread needs to give up the interpreter lock to
// avoid a deadlock. Racing computations may each produce a value; the first
// one stored is kept and the others are dropped.
//
// Object cells own their reference forever: process-wide objects are leaked
// on purpose so nothing is destroyed at interpreter exit.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <type_traits>

#include "core/ref.hpp"

namespace norv {

template <class T>
class OnceCell {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "cells hold plain values; use ObjectCell for Python objects");

public:
    constexpr OnceCell() noexcept = default;
    OnceCell(const OnceCell &) = delete;
    OnceCell &operator=(const OnceCell &) = delete;

    bool is_set() const noexcept { return state_.load(std::memory_order_acquire) == kSet; }

    // The value, or nullptr while the cell is empty.
    const T *get() const noexcept { return is_set() ? &value_ : nullptr; }

    // Stores `v` if the cell is empty; returns whether this call stored it.
    bool set(const T &v) noexcept
    {
        int expected = kEmpty;
        if (!state_.compare_exchange_strong(expected, kWriting, std::memory_order_acq_rel)) {
            return false;
        }
        value_ = v;
        state_.store(kSet, std::memory_order_release);
        return true;
    }

    template <class F>
    T get_or_init(F &&make)
    {
        if (const T *v = get()) {
            return *v;
        }
        T made = make();
        set(made);
        // Under the interpreter lock no other writer can be half-way through.
        return *get();
    }

private:
    static constexpr int kEmpty = 0, kWriting = 1, kSet = 2;
    std::atomic<int> state_{kEmpty};
    T value_{};
};

// A cell holding one strong reference to a Python object for the life of the
// process.
class ObjectCell {
public:
    constexpr ObjectCell() noexcept = default;
    ObjectCell(const ObjectCell &) = delete;
    ObjectCell &operator=(const ObjectCell &) = delete;

    bool is_set() const noexcept { return cell_.is_set(); }

    // Borrowed; nullptr while empty.
    PyObject *get() const noexcept
    {
        const PyObject *const *v = cell_.get();
        return v ? const_cast<PyObject *>(*v) : nullptr;
    }

    // Keeps `value` if the cell is empty (the reference moves into the cell),
    // otherwise drops it. Returns whether it was stored.
    bool set(Ref value) noexcept
    {
        if (!value) {
            return false;
        }
        PyObject *p = value.get();
        if (cell_.set(p)) {
            (void)value.release();  // the cell owns it now
            return true;
        }
        return false;
    }

    // `make` returns a Ref; the result is borrowed from the cell. A failed
    // `make` (null Ref, error set) leaves the cell empty and returns NULL.
    template <class F>
    PyObject *get_or_init(F &&make)
    {
        if (PyObject *v = get()) {
            return v;
        }
        Ref made = make();
        if (!made) {
            return nullptr;
        }
        set(std::move(made));
        return get();
    }

private:
    OnceCell<const PyObject *> cell_;
};

// An installer's record of host handles: a struct of strong references
// only, filled from `handles` in field order. It is complete before it is
// offered to the cell; a losing record is dropped with every reference it
// took.
template <class Record>
void offer_handles(OnceCell<const Record *> &cell, PyObject *const *handles)
{
    constexpr std::size_t count = sizeof(Record) / sizeof(PyObject *);
    static_assert(sizeof(Record) == count * sizeof(PyObject *), "a record of handles holds references only");
    auto *record = new Record;
    PyObject **slots = reinterpret_cast<PyObject **>(record);
    for (std::size_t i = 0; i < count; ++i) {
        slots[i] = Py_NewRef(handles[i]);
    }
    if (!cell.set(record)) {
        for (std::size_t i = 0; i < count; ++i) {
            Py_DECREF(slots[i]);
        }
        delete record;
    }
}

}  // namespace norv
