// Per-thread flag scopes: the host's context managers override five node
// settings for the current thread, and the native write and construction paths
// read those overrides without calling into Python.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "core/error.hpp"
#include "core/tls.hpp"

namespace norv::flags {

enum Flag : std::uint8_t {
    SEALED = 0,
    ACCESSOR_WRITABLE = 1,
    ALLOW_PARTIAL = 2,
    ORIGIN_TRACKING = 3,
    CHANGE_NOTIFICATION = 4,
};
inline constexpr std::uint8_t FLAG_COUNT = 5;

// Byte states, shared by the Python functions and the native readers.
enum State : std::uint8_t { FORCED_FALSE = 0, FORCED_TRUE = 1, PRESENT_NONE = 2, ABSENT = 3 };

// Bytes 0-4 hold the state of each flag; bit 0 of byte 5 marks the block as
// initialised (thread-local storage starts zero-filled, and zero means "forced
// False", so the block must be laid out before its first use).
inline constexpr std::uint8_t INIT_BYTE = 5;
// constinit: no dynamic initialisation, so every read is a plain thread-local
// access with no guard call.
NORV_HOT_TLS extern constinit thread_local std::uint8_t SCOPES[6];

inline std::uint8_t *scopes() noexcept
{
    std::uint8_t *block = SCOPES;
    // Keeps the address in a register: the compiler would otherwise redo the
    // thread-local lookup (a call) for the second access.
    asm("" : "+r"(block));
    if (!(block[INIT_BYTE] & 1)) [[unlikely]] {
        block[0] = block[1] = block[2] = block[3] = block[4] = ABSENT;
        block[INIT_BYTE] = 1;
    }
    return block;
}

inline std::uint8_t state(Flag f) noexcept
{
    return scopes()[f];
}

// Sealed, accessor-writable and allow-partial: a forced value overrides;
// None or absent defers to the node's own setting.
inline bool resolve(Flag f, bool own) noexcept
{
    const std::uint8_t s = state(f);
    return (s & ~1u) == PRESENT_NONE ? own : s == FORCED_TRUE;
}

inline std::optional<bool> override_of(Flag f) noexcept
{
    const std::uint8_t s = state(f);
    if ((s & ~1u) == PRESENT_NONE) {
        return std::nullopt;
    }
    return s == FORCED_TRUE;
}

// Origin tracking is on only when explicitly True.
inline bool origin_tracking_on() noexcept
{
    return state(ORIGIN_TRACKING) == FORCED_TRUE;
}

// Change notification is off only when explicitly False.
inline bool change_notification_on() noexcept
{
    return state(CHANGE_NOTIFICATION) != FORCED_FALSE;
}

// Adds the four scope functions and the five flag constants.
[[nodiscard]] Status register_names(PyObject *module);

}  // namespace norv::flags
