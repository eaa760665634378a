// Pieces shared by the renderers of this folder.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <span>
#include <vector>

#include "core/ref.hpp"
#include "formatting/text.hpp"

namespace norv::formatting::detail {

// The keyword names of `format`, interned, in signature order: keyword names
// of child calls are these very objects, so our own `format` binds them by
// identity.
enum class Name : std::size_t {
    value,
    compact,
    verbose,
    root_indent,
    list_wrap_threshold,
    strip_object_id,
    include_keys,
    exclude_keys,
    markdown,
    max_str_len,
    max_bytes_len,
    custom_format,
    memo,
    count_
};
// All of them in the order of `Name` (borrowed, never NULL; made on first use
// through `interned`).
PyObject *const *name_table();
PyObject *name(Name n);

// Small immortal ints.
PyObject *int_zero();
PyObject *int_one();
PyObject *int_eighty();
// The truncation suffix, a constant text: "..." for a str, b"..." for bytes.
// Borrowed; NULL with the error set if it cannot be made.
PyObject *ellipsis(bool for_str);

// `n` as a signed 64-bit integer through __index__, or nothing when the
// conversion raises (that error discarded).
Maybe<std::optional<long long>> as_i64(PyObject *n);

// Two spaces per level for an integer level (none for n <= 0), else the text
// of the host's own `'  ' * n`.
Maybe<Indent> indent_from(PyObject *n);

// n + 1 as an int for an integer level, else the host's own `n + 1`.
Ref ri_plus_one(PyObject *n);

// v.__class__.__name__, which must be a str.
Ref class_name(PyObject *v);

// `result` when it is a str, else the cast-failure TypeError. A failed
// `result` (null) passes through.
Ref require_str(Ref result);

// Vectorcall arguments with the leading scratch slot that
// PY_VECTORCALL_ARGUMENTS_OFFSET lends to the callee.
class ArgStack {
public:
    explicit ArgStack(std::size_t n)
    {
        if (n > small_.size()) {
            big_.resize(n);
            data_ = big_.data();
        }
    }
    ArgStack(const ArgStack &) = delete;
    ArgStack &operator=(const ArgStack &) = delete;

    PyObject *&operator[](std::size_t i) noexcept { return data_[i]; }
    PyObject **data() noexcept { return data_; }

private:
    std::array<PyObject *, 24> small_{};
    std::vector<PyObject *> big_;
    PyObject **data_ = small_.data();
};

// The keyword set of a nested call (a formattable's `format`, a value of
// `kvlist_str`): `head` names, then the caller's extra keywords (a dict, in
// its order), then `tail` names. Built once and reused for every value. `cached_names` is the kwnames
// tuple for a call without extras, NULL if making it failed. Construction
// can fail (error set); check it first:
//     KwCall kw(...);
//     if (kw.failed()) return error;
class KwCall {
public:
    KwCall(std::span<const Name> head, PyObject *extras, std::span<const Name> tail, PyObject *cached_names);

    bool failed() const noexcept { return names_ == nullptr; }

    void head(std::size_t i, PyObject *value) noexcept { stack_[2 + i] = value; }
    void tail(std::size_t i, PyObject *value) noexcept { stack_[2 + n_head_ + n_extras_ + i] = value; }

    // fn(arg, **kw)
    Ref call(PyObject *fn, PyObject *arg);
    // self.<method>(**kw)
    Ref call_method(PyObject *method, PyObject *self);

private:
    ArgStack stack_;
    std::size_t n_head_, n_extras_;
    Ref own_names_;
    PyObject *names_;
};

// A kwnames tuple of `names`, made once per call site and kept.
Ref make_names(std::span<const Name> names);

// Markdown suppression around host text: while the host's
// `outer_markdown_active()` holds, host code runs inside
// `str_format(markdown=False)` and `repr_format(markdown=False)`. `leave`
// leaves whatever was entered, repr before str, passing `result` (or the
// error in flight) through; an exit's result and ordinary error are dropped,
// and a graver error replaces the result. A success path calls `leave`; on
// an error path the destructor does, so after a failed `enter` the caller
// just returns the error, and what was entered is still left.
class Suppression {
public:
    Suppression() = default;
    Suppression(const Suppression &) = delete;
    Suppression &operator=(const Suppression &) = delete;
    ~Suppression();

    Status enter();
    Ref leave(Ref result);

private:
    Ref str_ctx_, repr_ctx_;
};

}  // namespace norv::formatting::detail
