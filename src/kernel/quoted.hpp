// Names in the kernel's messages appear in quoted form.
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace norv::kernel {

// `text` between double quotation marks: a quotation mark, backslash,
// newline, carriage return, tab and NUL as backslash escapes, any other
// character `str.isprintable()` refuses as `\u{hex}`.
Ref quoted(PyObject *text);

}  // namespace norv::kernel
