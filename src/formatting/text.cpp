#include "formatting/text.hpp"

#include <cstring>
#include <iterator>
#include <utility>

#include "core/error.hpp"

namespace norv::formatting {

Status TextBuilder::grow(Py_ssize_t n)
{
    if (n > PY_SSIZE_T_MAX - length_) {
        PyErr_NoMemory();
        return error;
    }
    length_ += n;
    return Status::ok;
}

Status TextBuilder::add(Ref text)
{
    if (!text) {
        return error;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    if (n == 0) {
        return Status::ok;
    }
    if (failed(grow(n))) {
        return error;
    }
    const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(text.get());
    if (m > maxchar_) {
        maxchar_ = m;
    }
    pieces_.push_back({std::move(text), nullptr, n});
    return Status::ok;
}

Status TextBuilder::ascii(std::string_view ascii)
{
    if (ascii.empty()) {
        return Status::ok;
    }
    if (failed(grow(static_cast<Py_ssize_t>(ascii.size())))) {
        return error;
    }
    pieces_.push_back({Ref(), ascii.data(), static_cast<Py_ssize_t>(ascii.size())});
    return Status::ok;
}

Status TextBuilder::spaces(Py_ssize_t count)
{
    if (count <= 0) {
        return Status::ok;
    }
    if (failed(grow(count))) {
        return error;
    }
    pieces_.push_back({Ref(), nullptr, count});
    return Status::ok;
}

Status TextBuilder::indent(const Indent &ind)
{
    if (ind.text) {
        return add(ind.text.get());
    }
    return spaces(ind.spaces);
}

Status TextBuilder::extend(TextBuilder &&other)
{
    if (failed(grow(other.length_))) {
        return error;
    }
    if (other.maxchar_ > maxchar_) {
        maxchar_ = other.maxchar_;
    }
    pieces_.insert(pieces_.end(), std::make_move_iterator(other.pieces_.begin()),
                   std::make_move_iterator(other.pieces_.end()));
    other.pieces_.clear();
    other.length_ = 0;
    return Status::ok;
}

namespace {

template <class Char>
void write_ascii(void *data, Py_ssize_t at, const char *src, Py_ssize_t n)
{
    Char *dst = static_cast<Char *>(data) + at;
    if constexpr (sizeof(Char) == 1) {
        std::memcpy(dst, src, static_cast<std::size_t>(n));
    }
    else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            dst[i] = static_cast<Char>(static_cast<unsigned char>(src[i]));
        }
    }
}

template <class Char>
void write_spaces(void *data, Py_ssize_t at, Py_ssize_t n)
{
    Char *dst = static_cast<Char *>(data) + at;
    if constexpr (sizeof(Char) == 1) {
        std::memset(dst, ' ', static_cast<std::size_t>(n));
    }
    else {
        for (Py_ssize_t i = 0; i < n; ++i) {
            dst[i] = static_cast<Char>(' ');
        }
    }
}

template <class Char>
void fill_plain(void *data, Py_ssize_t at, const char *ascii, Py_ssize_t n)
{
    if (ascii) {
        write_ascii<Char>(data, at, ascii, n);
    }
    else {
        write_spaces<Char>(data, at, n);
    }
}

}  // namespace

Ref TextBuilder::finish()
{
    // A lone exact str is already the answer.
    if (pieces_.size() == 1 && pieces_[0].text && PyUnicode_CheckExact(pieces_[0].text.get())) {
        Ref only = std::move(pieces_[0].text);
        pieces_.clear();
        length_ = 0;
        return only;
    }
    Ref out = Ref::steal(PyUnicode_New(length_, maxchar_));
    if (!out) {
        return error;
    }
    const int kind = PyUnicode_KIND(out.get());
    void *data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    for (const Piece &p : pieces_) {
        if (p.text) {
            if (PyUnicode_CopyCharacters(out.get(), at, p.text.get(), 0, p.length) < 0) {
                return error;
            }
        }
        else if (kind == PyUnicode_1BYTE_KIND) {
            fill_plain<Py_UCS1>(data, at, p.ascii, p.length);
        }
        else if (kind == PyUnicode_2BYTE_KIND) {
            fill_plain<Py_UCS2>(data, at, p.ascii, p.length);
        }
        else {
            fill_plain<Py_UCS4>(data, at, p.ascii, p.length);
        }
        at += p.length;
    }
    return out;
}

}  // namespace norv::formatting
