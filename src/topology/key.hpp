// One step of a key path: a text key, a signed 64-bit integer key, or any other
// Python object.
//
// Text and integer keys carry no Python object, so paths built while a tree is
// constructed cost no Python allocation. A key is 16 bytes:
//   * text up to 14 UTF-8 bytes is stored inline (most field names);
//   * longer text lives in a reference-counted heap buffer shared by copies;
//   * an integer is stored as is;
//   * an other key holds one strong reference.
// The reference counts of heap text are plain integers: every key is created,
// copied and destroyed under the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/ref.hpp"

namespace norv {

// Ordering operators of key comparison, in the order the host numbers them.
enum class CmpOp : std::uint8_t { Lt, Le, Gt, Ge, Eq };

// Byte-wise (unsigned) ordering of two UTF-8 texts.
inline bool apply_ord(CmpOp op, std::string_view a, std::string_view b) noexcept
{
    if (op == CmpOp::Eq) {
        return a == b;
    }
    // string_view compares as unsigned bytes (char_traits<char>::compare uses memcmp).
    const int c = a.compare(b);
    switch (op) {
        case CmpOp::Lt:
            return c < 0;
        case CmpOp::Le:
            return c <= 0;
        case CmpOp::Gt:
            return c > 0;
        default:
            return c >= 0;
    }
}

class Key {
public:
    enum class Kind : std::uint8_t { Str, Int, Other };

    Key() noexcept { set_int(0); }
    ~Key() { release(); }
    Key(const Key &other) noexcept { copy_from(other); }
    Key(Key &&other) noexcept
    {
        std::memcpy(raw_, other.raw_, sizeof raw_);
        other.set_int(0);
    }
    Key &operator=(const Key &other) noexcept
    {
        if (this != &other) {
            release();
            copy_from(other);
        }
        return *this;
    }
    Key &operator=(Key &&other) noexcept
    {
        if (this != &other) {
            release();
            std::memcpy(raw_, other.raw_, sizeof raw_);
            other.set_int(0);
        }
        return *this;
    }

    // A text key holding a copy of `utf8` (which must be valid UTF-8).
    static Key text(std::string_view utf8);
    static Key integer(std::int64_t v) noexcept
    {
        Key k;
        k.set_int(v);
        return k;
    }
    // An other key holding a new reference to `obj`.
    static Key other(PyObject *obj) noexcept;

    // str (subclasses too) -> text key, unless it has no UTF-8 form (lone
    // surrogates); int (not bool) within 64 bits -> integer key; everything
    // else -> other key. Fails only when memory runs out.
    static Maybe<Key> from_py(PyObject *obj);

    // Equality of two text or integer keys (never other keys): their bits,
    // unless both hold long text.
    static bool plain_eq(const Key &a, const Key &b) noexcept
    {
        std::uint64_t x[2], y[2];
        std::memcpy(x, a.raw_, sizeof x);
        std::memcpy(y, b.raw_, sizeof y);
        if (((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0) {
            return true;
        }
        return a.tag() == Tag::StrHeap && b.tag() == Tag::StrHeap && a.text() == b.text();
    }

    Kind kind() const noexcept
    {
        switch (tag()) {
            case Tag::StrSmall:
            case Tag::StrHeap:
                return Kind::Str;
            case Tag::Int:
                return Kind::Int;
            default:
                return Kind::Other;
        }
    }
    bool is_str() const noexcept { return kind() == Kind::Str; }
    bool is_int() const noexcept { return tag() == Tag::Int; }
    bool is_other() const noexcept { return tag() == Tag::Other; }

    // Text keys only. Inline: walks read it at every step.
    std::string_view text() const noexcept
    {
        if (tag() == Tag::StrSmall) {
            return {reinterpret_cast<const char *>(raw_ + 2), raw_[1]};
        }
        const HeapText *t = load<HeapText *>();
        return {t->data, t->size};
    }
    std::int64_t integer() const noexcept { return load<std::int64_t>(); }  // integer keys only
    PyObject *object() const noexcept { return load<PyObject *>(); }        // other keys only, borrowed

    // The key object: a new str, a new int, or the stored object itself; a
    // null Ref when creating it fails.
    Ref to_py() const;

    // Appends the text form of a text or integer key.
    void append_str_form(std::string &out) const;

    // Equality: text to text by bytes, integer to integer by value, text never
    // equal to an integer; any other key by Python `==` on the key objects.
    static Maybe<bool> py_eq(const Key &a, const Key &b);

    // Ordering: integers numerically, other keys by Python's rich comparison,
    // text against text or integer by text form (so 10 < "9").
    static Maybe<bool> wrapper_cmp(const Key &a, const Key &b, CmpOp op);

private:
    enum class Tag : std::uint8_t { StrSmall, StrHeap, Int, Other };

    struct HeapText {
        Py_ssize_t refs;
        std::size_t size;
        char data[1];
    };

    static constexpr std::size_t kInlineMax = 14;

    // raw_[0]: tag; StrSmall: raw_[1] length, raw_[2..15] bytes;
    // otherwise raw_[8..15]: the int64, PyObject* or HeapText*.
    alignas(8) unsigned char raw_[16];

    Tag tag() const noexcept { return static_cast<Tag>(raw_[0]); }
    template <class T>
    T load() const noexcept
    {
        T v;
        std::memcpy(&v, raw_ + 8, sizeof v);
        return v;
    }
    template <class T>
    void store(Tag t, T v) noexcept
    {
        raw_[0] = static_cast<unsigned char>(t);
        std::memcpy(raw_ + 8, &v, sizeof v);
    }
    // Every byte a kind leaves unused is zero, so equal text and integer keys
    // have equal bits (see `plain_eq`).
    void set_int(std::int64_t v) noexcept
    {
        std::memset(raw_, 0, sizeof raw_);
        store(Tag::Int, v);
    }

    void copy_from(const Key &other) noexcept
    {
        std::memcpy(raw_, other.raw_, sizeof raw_);
        if (tag() == Tag::StrHeap) {
            ++load<HeapText *>()->refs;
        }
        else if (tag() == Tag::Other) {
            Py_INCREF(load<PyObject *>());
        }
    }
    // Inline: most keys own nothing, and keys are dropped on every path built.
    void release() noexcept
    {
        if (tag() == Tag::StrHeap || tag() == Tag::Other) {
            release_owned();
        }
    }
    void release_owned() noexcept;
};

static_assert(sizeof(Key) == 16, "keys stay compact: one path step is 16 bytes");

}  // namespace norv
