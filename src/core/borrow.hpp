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
    bool is_free() const noexcept { return state_ == 0; }
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

[[noreturn]] void borrow_conflict(const char *words, OnConflict mode);

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag &flag, OnConflict mode = OnConflict::Raise) : flag_(flag)
    {
        if (!flag_.try_shared()) {
            borrow_conflict("Already mutably borrowed", mode);
        }
    }
    ~SharedBorrow() { flag_.release_shared(); }
    SharedBorrow(const SharedBorrow &) = delete;
    SharedBorrow &operator=(const SharedBorrow &) = delete;

private:
    BorrowFlag &flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag &flag, OnConflict mode = OnConflict::Raise) : flag_(flag)
    {
        if (!flag_.try_exclusive()) {
            borrow_conflict("Already borrowed", mode);
        }
    }
    ~ExclusiveBorrow() { flag_.release_exclusive(); }
    ExclusiveBorrow(const ExclusiveBorrow &) = delete;
    ExclusiveBorrow &operator=(const ExclusiveBorrow &) = delete;

private:
    BorrowFlag &flag_;
};

inline void borrow_conflict(const char *words, OnConflict mode)
{
    if (mode == OnConflict::Panic) {
        panic(words);
    }
    raise(PyExc_RuntimeError, words);
}

}  // namespace norv
