// Telling that a dict was not modified between two moments.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace norv {

// A dict's modification stamp: two equal stamps of one dict mean that nothing
// was stored, replaced or removed in between, whatever code ran meanwhile
// (key comparisons, finalizers, callbacks). The 3.13 interpreter renews a
// dict's version tag on every modification from a process-wide counter and
// keeps it when nothing changed; where the tag cannot be read there is no
// stamp, and the caller assumes a change.
inline std::optional<std::uint64_t> dict_stamp(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)dict;
    return std::nullopt;
#endif
}

// True only when both stamps exist and are equal.
inline bool same_stamp(const std::optional<std::uint64_t> &a, const std::optional<std::uint64_t> &b) noexcept
{
    return a && b && *a == *b;
}

}  // namespace norv
