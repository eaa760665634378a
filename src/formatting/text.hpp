// Text assembly for the renderers.
//
// A rendering is a sequence of pieces (child texts, ASCII literals, runs of
// spaces). The builder only records them, summing the length and the widest
// character, and `finish()` makes the one `str` of the exact size and kind and
// copies every piece in: no intermediate string is built or regrown, and a
// list renderer can measure its one-line form without building it.
//
// `assemble` does the same for a layout known up front (a container's text)
// without recording anything: the layout is walked twice, once to measure and
// once to write.
#pragma once

#include <Python.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "core/ref.hpp"

namespace norv::formatting {

// An indentation: a run of spaces, or (for a non-integer root_indent) the text
// the host's arithmetic produced.
struct Indent {
    Py_ssize_t spaces = 0;
    Ref text;
};

class TextBuilder {
public:
    TextBuilder() = default;
    TextBuilder(const TextBuilder &) = delete;
    TextBuilder &operator=(const TextBuilder &) = delete;
    TextBuilder(TextBuilder &&) = default;
    TextBuilder &operator=(TextBuilder &&) = default;

    void reserve(std::size_t pieces) { pieces_.reserve(pieces); }

    // An addition fails (MemoryError) when the length would overflow. `add`
    // also fails on a null `text` (the failed call that made it, error set),
    // so a call's result can be added unchecked.

    // A `str` (or subclass); the builder keeps its own reference.
    Status add(Ref text);
    Status add(PyObject *text) { return add(Ref::borrow(text)); }
    // `ascii` must outlive the builder (string literals).
    Status ascii(std::string_view ascii);
    Status spaces(Py_ssize_t count);
    Status indent(const Indent &ind);
    // Moves every piece of `other` to the end of this builder.
    Status extend(TextBuilder &&other);

    // Length in code points of the text built so far.
    Py_ssize_t length() const noexcept { return length_; }

    Ref finish();

private:
    struct Piece {
        Ref text;           // empty for ASCII or spaces
        const char *ascii;  // nullptr for spaces
        Py_ssize_t length;
    };

    Status grow(Py_ssize_t n);

    std::vector<Piece> pieces_;
    Py_ssize_t length_ = 0;
    Py_UCS4 maxchar_ = 127;
};

namespace text_detail {

// The first walk: length and widest character.
class Measure {
public:
    void text(PyObject *s) noexcept
    {
        add(PyUnicode_GET_LENGTH(s));
        const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
        maxchar_ = m > maxchar_ ? m : maxchar_;
    }
    void ascii(std::string_view a) noexcept { add(static_cast<Py_ssize_t>(a.size())); }
    void spaces(Py_ssize_t n) noexcept
    {
        if (n > 0) {
            add(n);
        }
    }
    void indent(const Indent &ind) noexcept
    {
        if (ind.text) {
            text(ind.text.get());
        }
        else {
            spaces(ind.spaces);
        }
    }

    Py_ssize_t length() const noexcept { return length_; }
    Py_UCS4 maxchar() const noexcept { return maxchar_; }
    bool overflowed() const noexcept { return overflowed_; }

private:
    void add(Py_ssize_t n) noexcept { overflowed_ |= __builtin_add_overflow(length_, n, &length_); }

    Py_ssize_t length_ = 0;
    Py_UCS4 maxchar_ = 127;
    bool overflowed_ = false;
};

// The second walk: copies into a str of the measured kind. Every piece fits
// the kind, since the widest character was measured.
template <class Char>
class Write {
public:
    explicit Write(void *data) noexcept : at_(static_cast<Char *>(data)) {}

    void text(PyObject *s) noexcept
    {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const void *src = PyUnicode_DATA(s);
        const int kind = PyUnicode_KIND(s);
        if (kind == sizeof(Char)) {
            std::memcpy(at_, src, static_cast<std::size_t>(n) * sizeof(Char));
        }
        else if (kind == PyUnicode_1BYTE_KIND) {
            widen(static_cast<const Py_UCS1 *>(src), n);
        }
        else {
            widen(static_cast<const Py_UCS2 *>(src), n);
        }
        at_ += n;
    }
    void ascii(std::string_view a) noexcept
    {
        for (char c : a) {
            *at_++ = static_cast<Char>(static_cast<unsigned char>(c));
        }
    }
    void spaces(Py_ssize_t n) noexcept
    {
        for (Py_ssize_t i = 0; i < n; ++i) {
            *at_++ = static_cast<Char>(' ');
        }
    }
    void indent(const Indent &ind) noexcept
    {
        if (ind.text) {
            text(ind.text.get());
        }
        else {
            spaces(ind.spaces);
        }
    }

private:
    template <class Src>
    void widen(const Src *src, Py_ssize_t n) noexcept
    {
        for (Py_ssize_t i = 0; i < n; ++i) {
            at_[i] = static_cast<Char>(src[i]);
        }
    }

    Char *at_;
};

}  // namespace text_detail

// One str laid out by `layout(sink)`, a callable that adds its pieces to the
// sink with `text(str)`, `ascii(literal)`, `spaces(n)` and `indent(ind)`. It
// is called twice and must add the same pieces each time, so it may neither
// fail nor run Python code. MemoryError when the length would overflow.
template <class Layout>
Ref assemble(Layout &&layout)
{
    text_detail::Measure m;
    layout(m);
    if (m.overflowed()) {
        PyErr_NoMemory();
        return error;
    }
    Ref out = Ref::steal(PyUnicode_New(m.length(), m.maxchar()));
    if (!out) {
        return error;
    }
    void *data = PyUnicode_DATA(out.get());
    switch (PyUnicode_KIND(out.get())) {
        case PyUnicode_1BYTE_KIND: {
            text_detail::Write<Py_UCS1> w(data);
            layout(w);
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            text_detail::Write<Py_UCS2> w(data);
            layout(w);
            break;
        }
        default: {
            text_detail::Write<Py_UCS4> w(data);
            layout(w);
            break;
        }
    }
    return out;
}

}  // namespace norv::formatting
