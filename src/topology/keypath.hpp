// KeyPath: the immutable sequence of keys from a tree root to a node, with its
// path text (names joined by dots, integer keys in brackets) rendered lazily
// and cached.
//
// A KeyPath is one variable-size object: the keys sit inline after the header
// (`ob_size` of them), so building a path is one allocation and no Python
// object for text and integer keys. The keys never change once built; only the
// text cache and the cached hash are written, never while Python code runs
// (a hash always belongs to the cached text it was computed from). Only a path
// whose keys hold an object the cyclic collector sees takes part in it.
//
// The seams below let later subsystems build and compare paths natively.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/ref.hpp"
#include "topology/key.hpp"

namespace norv::keypath {

using Keys = std::span<const Key>;

// The class (created on first use, kept for the life of the process); NULL
// with the error set when creating it fails.
PyTypeObject *type();

// ---------------------------------------------------------------------------
// Layout. Keys are stored inline after the header.

struct KeyPathObject {
    PyVarObject ob_base;  // PyObject_VAR_HEAD; ob_size: the number of keys
    Py_hash_t hash;       // -1 until computed from the cached text
    // The cached path text: an exact str whose UTF-8 form is already made (so
    // reading it cannot fail), or NULL. A path parsed from text that reads
    // back the same holds that very str.
    PyObject *text;
    bool objects;    // some key holds an object (set while the path is built)
    bool collected;  // a collector block: a key holds an object the collector sees
};

inline constexpr std::size_t KEYS_OFFSET =
    (sizeof(KeyPathObject) + alignof(Key) - 1) / alignof(Key) * alignof(Key);

inline Key *keys_ptr(PyObject *path) noexcept
{
    return reinterpret_cast<Key *>(reinterpret_cast<char *>(path) + KEYS_OFFSET);
}

PyTypeObject *type_if_created() noexcept;

// Exact type test (the class is not subclassable).
inline bool is_keypath(PyObject *obj) noexcept
{
    return Py_TYPE(obj) == type_if_created();
}

// The keys of a KeyPath object (borrowed: valid while the object lives).
inline Keys keys_of(PyObject *path) noexcept
{
    return Keys(keys_ptr(path), static_cast<std::size_t>(Py_SIZE(path)));
}

// Whether some key of a KeyPath object holds an object (is neither text nor an
// integer).
inline bool holds_objects(PyObject *path) noexcept
{
    return reinterpret_cast<const KeyPathObject *>(path)->objects;
}

// Whether str() of a KeyPath runs no Python code: its text is cached, or
// every key is text or an integer.
inline bool renders_natively(PyObject *path) noexcept
{
    return reinterpret_cast<const KeyPathObject *>(path)->text != nullptr || !holds_objects(path);
}

// Every function below that returns a Ref returns a null Ref with the error
// set when it fails.

// A new path holding `prefix` then `suffix`, no cached text.
Ref make(Keys prefix, Keys suffix = {});

// A new path holding `prefix` then `last`.
Ref make_child(Keys prefix, const Key &last);

// `KeyPath(key, parent)`: a list or tuple key adds one key per element, None
// adds none, anything else one key; `parent` may be NULL or None. A parent
// that is not a KeyPath raises the constructor's argument TypeError.
Ref child_key_path(PyObject *key, PyObject *parent);

// Equality of two native paths key by key, or no answer when either side is
// not a KeyPath. Never compares text.
Maybe<std::optional<bool>> keypaths_eq(PyObject *a, PyObject *b);

// KeyPath.from_value: a KeyPath itself, path text (scanned when it has path
// syntax, else one text key), or an int (one key).
Ref from_value_inner(PyObject *value);

// Scans path text into a new path whose keys follow `prefix`. `text` must be a
// str; it is also what parse errors show by repr().
Ref scan(PyObject *text, Keys prefix = {});

// One key of path text read by `split_plain`: a plain segment (a view into the
// text) or a bracketed decimal index.
struct PlainStep {
    std::string_view text;
    std::int64_t index;
    bool is_index;
};

// Room for `N` steps that only `split_plain` fills: nothing is initialised, and
// only the steps it reports are read.
template <std::size_t N>
union PlainSteps {
    PlainSteps() noexcept {}
    PlainStep steps[N];
};

// Most path text is plain segments and `[digits]` indexes, which `scan` reads
// without running Python code and without failing; this reads such text into
// the same keys without building a path: at most `cap` steps into `out`,
// returning their number. -1 when the text holds any other bracket (`[]`,
// `[-1]`, `[x]`, an index of more than 18 digits, nesting, a stray `]`) or more
// keys: then only `scan` can read it, and tells its errors.
//
// With `reads_back`, also tells whether the text is exactly what rendering its
// keys gives (no dot that separates nothing, no text glued to a closing
// bracket, no index with a leading zero): `*reads_back` is left alone when it
// is, set false when not.
inline std::ptrdiff_t split_plain(std::string_view s, PlainStep *out, std::size_t cap,
                                  bool *reads_back = nullptr) noexcept
{
    enum class After : std::uint8_t { Start, Dot, Close };
    After after = After::Start;
    std::size_t n = 0, start = 0;
    // The plain segment before `end` and the separator `sep` ('.', '[' or '\0').
    auto plain = [&](std::size_t end, char sep) {
        if (reads_back != nullptr) {
            // Only a key closed by a bracket, or the start of the text before a
            // bracket or the end, may have no text before its separator.
            if (end > start ? after == After::Close
                            : after == After::Dot || (after == After::Start && sep == '.')) {
                *reads_back = false;
            }
        }
        if (end > start) {
            if (n == cap) {
                return false;
            }
            out[n++] = {s.substr(start, end - start), 0, false};
        }
        return true;
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '.') {
            if (!plain(i, c)) {
                return -1;
            }
            start = i + 1;
            after = After::Dot;
        }
        else if (c == '[') {
            if (!plain(i, c) || n == cap) {
                return -1;
            }
            const std::size_t first = i + 1, last = std::min(s.size(), first + 18);
            std::size_t j = first;
            std::int64_t v = 0;
            for (; j < last && s[j] >= '0' && s[j] <= '9'; ++j) {
                v = v * 10 + (s[j] - '0');
            }
            if (j == first || j == s.size() || s[j] != ']') {
                return -1;
            }
            if (reads_back != nullptr && s[first] == '0' && j - first > 1) {
                *reads_back = false;
            }
            out[n++] = {{}, v, true};
            i = j;
            start = j + 1;
            after = After::Close;
        }
        else if (c == ']') {
            return -1;
        }
    }
    return plain(s.size(), '\0') ? static_cast<std::ptrdiff_t>(n) : -1;
}

// The path text of `keys`; may run Python code (other keys) and so may fail.
Maybe<std::string> render_keys(Keys keys, bool preserve_complex_keys);

// The path text of a KeyPath, rendered at most once per object (a failed
// rendering is not stored). Valid while the object lives.
Maybe<std::string_view> cached_path(PyObject *path);

// Navigation (keypath_nav.cpp): the value at `keys` inside `src`.
Ref query(Keys keys, PyObject *src, bool use_inferred);

// As `query`, for callers that treat a KeyError as "absent": where the walk
// finds the path absent and building its KeyError could not run Python code
// nor fail, no exception is made and the answer is an empty Ref. Any other
// failure is reported as `query` reports it.
Maybe<Ref> query_or_absent(Keys keys, PyObject *src, bool use_inferred);

// Arithmetic and relations (keypath_ops.cpp): the `+` and `-` slots and the
// `is_relative_to` method of the class.
PyObject *nb_add(PyObject *left, PyObject *right);
PyObject *nb_subtract(PyObject *left, PyObject *right);
PyMethodDef is_relative_to_method();

}  // namespace norv::keypath
