#include "core/recursion.hpp"

#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace norv {

namespace {

// [STACK_LOW, STACK_FLOOR): the last stretch of this thread's stack, kept for
// the error path; both 0 when the bounds are unknown (no check). Plain values:
// nothing to destroy at exit.
thread_local std::uintptr_t STACK_LOW = 0;
thread_local std::uintptr_t STACK_FLOOR = 0;
thread_local bool STACK_PROBED = false;

void probe_stack() noexcept
{
    STACK_PROBED = true;
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
        STACK_LOW = reinterpret_cast<std::uintptr_t>(low);
        STACK_FLOOR = STACK_LOW + margin;
    }
    pthread_attr_destroy(&attr);
#endif
}

}  // namespace

bool stack_nearly_exhausted() noexcept
{
    if (!STACK_PROBED) {
        probe_stack();
    }
    // The stack grows downwards on every platform this module builds for. A
    // frame outside the thread's own stack (a coroutine library's stack) is
    // not ours to judge.
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return frame >= STACK_LOW && frame < STACK_FLOOR;
}

}  // namespace norv
