// The UTF-8 text of a str.
#pragma once

#include <Python.h>

#include <new>
#include <optional>
#include <string_view>

#include "core/error.hpp"

namespace norv {

// The text of `str` (a str or a subclass), or nothing when it has no UTF-8
// form (a lone surrogate): that encoding error is discarded. The only other
// failure, running out of memory, is thrown.
inline std::optional<std::string_view> utf8_or_none(PyObject *str)
{
    Py_ssize_t size = 0;
    const char *p = PyUnicode_AsUTF8AndSize(str, &size);
    if (p != nullptr) {
        return std::string_view(p, static_cast<std::size_t>(size));
    }
    if (failed(discard_error_of({PyExc_UnicodeEncodeError}))) {
        throw std::bad_alloc();
    }
    return std::nullopt;
}

}  // namespace norv
