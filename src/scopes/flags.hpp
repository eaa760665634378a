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

// Byte states, shared by the Python functions and the native readers. Absent
// is zero: thread-local storage starts zero-filled, so a thread's scopes need
// no set-up before their first read. Bit 1 marks a forced value, bit 0 its truth.
enum State : std::uint8_t { ABSENT = 0, PRESENT_NONE = 1, FORCED_FALSE = 2, FORCED_TRUE = 3 };

// constinit: no dynamic initialisation, so every read is a plain thread-local
// access with no guard call.
NORV_HOT_TLS extern constinit thread_local std::uint8_t SCOPES[FLAG_COUNT];

inline std::uint8_t state(Flag f) noexcept
{
    return SCOPES[f];
}

inline bool forced(std::uint8_t s) noexcept
{
    return (s & 2u) != 0;
}

// Sealed, accessor-writable and allow-partial: a forced value overrides;
// None or absent defers to the node's own setting.
inline bool resolve(Flag f, bool own) noexcept
{
    const std::uint8_t s = state(f);
    return forced(s) ? s == FORCED_TRUE : own;
}

inline std::optional<bool> override_of(Flag f) noexcept
{
    const std::uint8_t s = state(f);
    if (!forced(s)) {
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
