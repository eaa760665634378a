// Shared/exclusive borrow flags for native state inside Python objects.
//
// Native code may run Python code while it holds an object's state (a callback,
// a __eq__, a __hash__), and that code may come back to the same object. A
// conflicting re-entrant access is refused, never waited for:
//   * asking for exclusive access while any access is held: "Already borrowed";
//   * asking for any access while exclusive access is held: "Already mutably
//     borrowed".
// Where the conflicting access is the receiver of a Python-visible method the
// refusal is a RuntimeError; where native code takes another object's state
// itself, the conflict is an internal fault (Panic) with the same words.
//
// The flag is plain (not atomic): every access happens under the interpreter
// lock.
#pragma once

#include <Python.h>

#include "core/error.hpp"

namespace norv {

enum class OnConflict { Raise, Panic };

class BorrowFlag {
public:
    bool is_exclusive() const noexcept { return state_ < 0; }

    bool try_shared() noexcept
    {
        if (state_ < 0) {
            return false;
        }
        ++state_;
        return true;
    }
    bool try_exclusive() noexcept
    {
        if (state_ != 0) {
            return false;
        }
        state_ = -1;
        return true;
    }
    void release_shared() noexcept { --state_; }
    void release_exclusive() noexcept { state_ = 0; }

private:
    Py_ssize_t state_ = 0;  // > 0: shared holders; -1: exclusive
};

// Refuses a conflicting access: a Panic is thrown (an internal fault), a
// RuntimeError is set and returned.
Error borrow_conflict(const char *words, OnConflict mode);

// Scoped access. A refused access leaves the guard holding nothing; with
// OnConflict::Raise the caller checks `failed()` and returns the error:
//     SharedBorrow hold(self->flag);
//     if (hold.failed()) return error;
class [[nodiscard]] SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag &flag, OnConflict mode = OnConflict::Raise) : flag_(flag)
    {
        held_ = flag_.try_shared();
        if (!held_) {
            (void)borrow_conflict("Already mutably borrowed", mode);
        }
    }
    ~SharedBorrow()
    {
        if (held_) {
            flag_.release_shared();
        }
    }
    SharedBorrow(const SharedBorrow &) = delete;
    SharedBorrow &operator=(const SharedBorrow &) = delete;

    bool failed() const noexcept { return !held_; }

private:
    BorrowFlag &flag_;
    bool held_;
};

class [[nodiscard]] ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag &flag, OnConflict mode = OnConflict::Raise) : flag_(flag)
    {
        held_ = flag_.try_exclusive();
        if (!held_) {
            (void)borrow_conflict("Already borrowed", mode);
        }
    }
    ~ExclusiveBorrow()
    {
        if (held_) {
            flag_.release_exclusive();
        }
    }
    ExclusiveBorrow(const ExclusiveBorrow &) = delete;
    ExclusiveBorrow &operator=(const ExclusiveBorrow &) = delete;

    bool failed() const noexcept { return !held_; }

private:
    BorrowFlag &flag_;
    bool held_;
};

inline Error borrow_conflict(const char *words, OnConflict mode)
{
    if (mode == OnConflict::Panic) {
        panic(words);
    }
    return raise(PyExc_RuntimeError, words);
}

}  // namespace norv
