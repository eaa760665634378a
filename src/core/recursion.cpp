#include "core/recursion.hpp"

#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "core/tls.hpp"

namespace norv {

// Fills this thread's bounds on first use. Plain values: nothing to destroy
// at exit.
struct StackProbe {
    StackBounds bounds;
    bool probed = false;

    void probe() noexcept
    {
        probed = true;
#if defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) {
            return;
        }
        void *low = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0 && low != nullptr && size > 0) {
            // Leave room for the error path itself (building the exception,
            // unwinding through the interpreter's frames).
            std::size_t margin = size / 4 < 256 * 1024 ? size / 4 : 256 * 1024;
            bounds.low_ = reinterpret_cast<std::uintptr_t>(low);
            bounds.floor_ = bounds.low_ + margin;
        }
        pthread_attr_destroy(&attr);
#endif
    }
};

namespace {

// One record, so that a read is one thread-local access.
NORV_HOT_TLS constinit thread_local StackProbe STACK;

}  // namespace

StackBounds StackBounds::current() noexcept
{
    StackProbe &probe = STACK;
    if (!probe.probed) [[unlikely]] {
        probe.probe();
    }
    return probe.bounds;
}

bool stack_nearly_exhausted() noexcept
{
    return StackBounds::current().nearly_exhausted();
}

bool RecursionGuard::refuse(const char *where) noexcept
{
    Py_LeaveRecursiveCall();
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return false;
}

}  // namespace norv
