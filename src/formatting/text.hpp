// Text assembly for the renderers.
//
// A rendering is a sequence of pieces (child texts, ASCII literals, runs of
// spaces). The builder only records them, summing the length and the widest
// character, and `finish()` makes the one `str` of the exact size and kind and
// copies every piece in: no intermediate string is built or regrown, and a
// list renderer can measure its one-line form without building it.
#pragma once

#include <Python.h>

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
    ~TextBuilder();

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
        PyObject *text;     // owned; nullptr for ASCII or spaces
        const char *ascii;  // nullptr for spaces
        Py_ssize_t length;
    };

    Status grow(Py_ssize_t n);

    std::vector<Piece> pieces_;
    Py_ssize_t length_ = 0;
    Py_UCS4 maxchar_ = 127;
};

}  // namespace norv::formatting
