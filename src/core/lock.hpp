// A mutex for the short critical sections that guard native caches.
#pragma once

#include <Python.h>

namespace norv {

// The interpreter's one-byte mutex, usable with std::lock_guard: uncontended,
// locking and unlocking are one inline compare-exchange each, where a
// std::mutex costs two calls. A waiter that holds the GIL releases it while
// parked. Holders run no Python code.
class Lock {
public:
    void lock() noexcept { PyMutex_Lock(&m_); }
    void unlock() noexcept { PyMutex_Unlock(&m_); }

private:
    PyMutex m_{};
};

}  // namespace norv
