// The trie keys of key-path steps: an integer step is a new int, any other
// object is itself, and a text step is a str taken from a table of the strs
// recently made for text keys.
//
// Each step of a walk needs the key object of its key. A fresh str per text
// step costs an allocation, a decode and a hash, and meets the dict's key only
// by comparing text. So recently used text keys keep their str in a small
// table indexed by the UTF-8 text: a step finds its str there with the hash
// already cached, and in a trie built through the table it is the very object
// the dict holds. Any str equal to the text would do, so the table simply
// keeps the last strs made (2,048 of them, of text up to 64 bytes); they live
// on at exit like every process-wide object.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/ref.hpp"
#include "topology/key.hpp"

namespace norv::keypath_set::trie {

constexpr int TEXT_SET_BITS = 10;  // sets of two slots
constexpr std::size_t TEXT_SETS = std::size_t{1} << TEXT_SET_BITS;
constexpr std::size_t TEXT_PACKED = 15;  // text up to this size is its own signature
constexpr std::size_t TEXT_MAX = 64;

inline std::uint64_t load64(const char *p) noexcept
{
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

inline std::uint32_t load32(const char *p) noexcept
{
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Two words standing for a text: up to 15 bytes, the bytes themselves
// (zero-padded) and the size in the top byte, so equal words mean equal text;
// longer text, a hash and the size, to be confirmed against the str. Text is
// read in whole words, the last one overlapping the one before: key text is
// short.
struct TextSig {
    std::uint64_t lo = 0, hi = 0;

    bool operator==(const TextSig &) const noexcept = default;

    std::size_t set() const noexcept
    {
        // Only the high bits of a product depend on every bit of its operands.
        return static_cast<std::size_t>(((lo ^ (hi * 0xBF58476D1CE4E5B9u)) * 0x94D049BB133111EBu) >>
                                        (64 - TEXT_SET_BITS));
    }
};

[[gnu::always_inline]] inline TextSig text_sig(std::string_view t) noexcept
{
    const char *p = t.data();
    const std::size_t n = t.size();
    TextSig sig;
    sig.hi = static_cast<std::uint64_t>(n) << 56;
    if (n > TEXT_PACKED) {
        std::uint64_t h = 0x9E3779B97F4A7C15u;
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            h = (h ^ load64(p + i)) * 0xBF58476D1CE4E5B9u;
        }
        sig.lo = (h ^ load64(p + n - 8)) * 0x94D049BB133111EBu;
    }
    else if (n > 8) {
        sig.lo = load64(p);
        sig.hi |= load64(p + n - 8) >> (8 * (16 - n));
    }
    else if (n >= 4) {
        sig.lo = load32(p) | std::uint64_t{load32(p + n - 4)} << (8 * (n - 4));
    }
    else if (n > 0) {
        const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
        sig.lo = byte(0) | byte(n / 2) << (8 * (n / 2)) | byte(n - 1) << (8 * (n - 1));
    }
    return sig;
}

struct TextSlot {
    TextSig sig;
    PyObject *str = nullptr;
};

// Two slots per set, the newer first, so keys whose texts fall into one set
// take turns only when three of them are in use.
extern TextSlot text_keys[TEXT_SETS][2];

// Whether `s`, a str in the table under the signature of `t`, holds `t`.
inline bool holds_text(PyObject *s, std::string_view t) noexcept
{
    if (t.size() <= TEXT_PACKED) {
        return true;
    }
    Py_ssize_t size = 0;
    // Stored with its UTF-8 form made (when that is not its data), so this cannot fail.
    const char *utf8 = PyUnicode_IS_COMPACT_ASCII(s) ? static_cast<const char *>(PyUnicode_DATA(s))
                                                     : PyUnicode_AsUTF8AndSize(s, &size);
    return std::memcmp(utf8, t.data(), t.size()) == 0;
}

// A new str of `t`, kept as the newer in `set` when there is one.
[[gnu::noinline]] Ref new_text_key(std::string_view t, TextSlot *set, const TextSig &sig);

// A str of the UTF-8 text `t` (valid UTF-8), shared through the table.
inline Ref text_key(std::string_view t)
{
    const TextSig sig = text_sig(t);
    if (t.size() > TEXT_MAX) {
        return new_text_key(t, nullptr, sig);
    }
    TextSlot *set = text_keys[sig.set()];
    for (int i = 0; i < 2; ++i) {
        if (set[i].sig == sig && set[i].str != nullptr && holds_text(set[i].str, t)) {
            return Ref::borrow(set[i].str);
        }
    }
    return new_text_key(t, set, sig);
}

[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) noexcept
{
    const std::size_t n = a.size();
    if (n != b.size()) {
        return false;
    }
    const char *p = a.data(), *q = b.data();
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            if (load64(p + i) != load64(q + i)) {
                return false;
            }
        }
        return load64(p + n - 8) == load64(q + n - 8);
    }
    if (n >= 4) {
        return load32(p) == load32(q) && load32(p + n - 4) == load32(q + n - 4);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) {
            return false;
        }
    }
    return true;
}

// The trie key of one path step: an equal str, a new int, or the key's object.
inline Ref trie_key(const Key &key)
{
    switch (key.kind()) {
        case Key::Kind::Str:
            return text_key(key.text());
        case Key::Kind::Int:
            return new_int(key.integer());
        default:
            return Ref::borrow(key.object());
    }
}

}  // namespace norv::keypath_set::trie
