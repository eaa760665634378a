#include "kernel/quoted.hpp"

#include <string>

namespace norv::kernel {

namespace {

void append_ascii(std::u32string &out, const char *s)
{
    for (; *s != '\0'; ++s) {
        out += static_cast<char32_t>(*s);
    }
}

void append_hex_escape(std::u32string &out, Py_UCS4 c)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    append_ascii(out, "\\u{");
    int shift = 28;
    while (shift > 0 && ((c >> shift) & 0xF) == 0) {
        shift -= 4;
    }
    for (; shift >= 0; shift -= 4) {
        out += static_cast<char32_t>(DIGITS[(c >> shift) & 0xF]);
    }
    out += U'}';
}

}  // namespace

Ref quoted(PyObject *text)
{
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    std::u32string out = U"\"";
    out.reserve(static_cast<std::size_t>(n) + 2);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        switch (c) {
            case '"':
                append_ascii(out, "\\\"");
                break;
            case '\\':
                append_ascii(out, "\\\\");
                break;
            case '\n':
                append_ascii(out, "\\n");
                break;
            case '\r':
                append_ascii(out, "\\r");
                break;
            case '\t':
                append_ascii(out, "\\t");
                break;
            case '\0':
                append_ascii(out, "\\0");
                break;
            default:
                if (Py_UNICODE_ISPRINTABLE(c)) {
                    out += static_cast<char32_t>(c);
                }
                else {
                    append_hex_escape(out, c);
                }
        }
    }
    out += U'"';
    return Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace norv::kernel
