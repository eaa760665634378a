// Argument binding with Python's own rules and wording.
//
// A callable declares its parameters once:
//
//     static const Signature sig{"_flag_scope_get", {arg("flag_id"), arg("default")}};
//     Ref impl(PyObject *, FastArgs a) {
//         Bound b;
//         if (failed(sig.bind(a, b))) return error;
//         Maybe<std::uint8_t> id = convert_arg("flag_id", [&] { return to_u8(b[0]); });
//         if (!id) return error;
//         ...
//     }
//
// Binding raises exactly what a `def` with the same parameters raises (too many
// positional arguments, unexpected keyword, multiple values, positional-only
// passed as keyword, missing arguments), naming the callable as given
// ("f" or "Class.method"). For methods declared with `method = true` the
// counts include `self`, as they do for a Python method.
//
// Conversions: `convert_arg(name, fn)` wraps a failure whose class is exactly
// TypeError as "argument '{name}': {message}" with the original as __cause__;
// any other error passes unchanged.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "core/boundary.hpp"
#include "core/error.hpp"
#include "core/none.hpp"
#include "core/ref.hpp"

namespace norv {

enum class ParamKind : std::uint8_t { PositionalOnly, PositionalOrKeyword, KeywordOnly };

struct Param {
    const char *name;
    ParamKind kind;
    bool required;
};

// Positional-or-keyword, required / optional.
constexpr Param arg(const char *name)
{
    return {name, ParamKind::PositionalOrKeyword, true};
}
constexpr Param opt(const char *name)
{
    return {name, ParamKind::PositionalOrKeyword, false};
}
// Keyword-only.
constexpr Param kwarg(const char *name)
{
    return {name, ParamKind::KeywordOnly, true};
}
constexpr Param kwopt(const char *name)
{
    return {name, ParamKind::KeywordOnly, false};
}

struct SignatureOptions {
    bool var_args = false;    // *args collected into `Bound::varargs`
    bool var_kwargs = false;  // **kwargs collected into `Bound::varkw`
    bool method = false;      // counts in messages include `self`
};

// The result of binding: borrowed pointers to the given arguments (nullptr
// where a parameter was left out), plus the collected extras.
class Bound {
public:
    PyObject *operator[](std::size_t i) const noexcept { return slots_[i]; }
    // Every parameter's slot, in declaration order.
    PyObject *const *slots() const noexcept { return slots_.data(); }
    bool has(std::size_t i) const noexcept { return slots_[i] != nullptr; }
    // Absent and None are the same for parameters documented that way.
    PyObject *null_if_none(std::size_t i) const noexcept { return norv::null_if_none(slots_[i]); }

    Ref varargs;  // tuple; set only with var_args
    Ref varkw;    // dict; set only with var_kwargs

private:
    friend class Signature;
    static constexpr std::size_t kMax = 32;
    std::array<PyObject *, kMax> slots_{};
};

class Signature {
public:
    Signature(const char *fname, std::initializer_list<Param> params, SignatureOptions options = {});

    // Fills `out` (a fresh Bound) or fails with Python's own message.
    [[nodiscard]] Status bind(FastArgs a, Bound &out) const;
    // For tp_new / tp_init / METH_VARARGS callers.
    [[nodiscard]] Status bind_tuple(PyObject *args, PyObject *kwargs, Bound &out) const;

    const char *name() const noexcept { return fname_; }

private:
    PyObject *interned(std::size_t i) const;
    // The parameter's index, -1 when there is none of that name.
    Maybe<Py_ssize_t> find_keyword(PyObject *key) const;
    Error too_many_positional(Py_ssize_t given, const Bound &b) const;
    Status check_missing(const Bound &b) const;
    Error unexpected_keyword(PyObject *key, PyObject *kwnames) const;
    const char *suggest_keyword(PyObject *key) const;

    const char *fname_;
    std::vector<Param> params_;
    SignatureOptions options_;
    std::size_t n_positional_ = 0;  // positional-only + positional-or-keyword
    std::size_t n_pos_optional_ = 0;
    mutable std::vector<PyObject *> names_;  // interned, created on first bind, kept forever
};

// Which exception becomes the __cause__ of the wrapped argument error: the
// conversion error itself, or that error's own cause (the value-spec classes,
// fields and schemas chain to the latter, so a plain failed conversion
// leaves no cause at all).
enum class ArgCause { Conversion, ConversionCause };

// If the current error is exactly a TypeError, replace it with
// TypeError("argument '{name}': {message}") chained as `cause` says.
void wrap_argument_error(const char *name, ArgCause cause = ArgCause::Conversion);

// Runs `convert` (returning a Ref, Status or Maybe) and applies the
// argument-wrapping rule to its failure.
template <class F>
auto convert_arg(const char *name, F &&convert, ArgCause cause = ArgCause::Conversion) -> decltype(convert())
{
    auto result = convert();
    if (failed(result)) [[unlikely]] {
        wrap_argument_error(name, cause);
    }
    return result;
}

// TypeError "'{type qualname}' object is not an instance of '{expected}'"
// ("'None' is not an instance of '{expected}'" for None).
Error raise_not_instance(PyObject *value, const char *expected);

// The argument TypeError of the parameter `name` given a value of the wrong
// class: the cast TypeError wrapped as that argument's.
Error raise_arg_not_instance(const char *name, PyObject *value, const char *expected);

// A parameter that must be a class: the class, or NULL with the cast
// TypeError for 'type' wrapped as the argument `name`'s.
PyTypeObject *type_arg(const char *name, PyObject *value);

// NumPy's boolean scalar, recognised by its type's module and name so NumPy
// never needs importing.
bool is_numpy_bool(PyObject *value) noexcept;

// A bool parameter: `bool` or NumPy's boolean scalar; anything else fails the
// instance check (unwrapped; use `convert_arg` to wrap).
Maybe<bool> to_bool(PyObject *value);

// A property setter called for `del` on a property that has no deleter:
// AttributeError "property has no deleter"; returns -1.
int refuse_property_delete();

// An optional bool parameter: `dflt` when it was not given (`value` is
// nullptr), else `to_bool` under `convert_arg` with `cause`: the places that
// take bool arguments chain a failed conversion differently, so each says which.
inline Maybe<bool> bool_arg(const char *name, PyObject *value, bool dflt, ArgCause cause)
{
    if (value == nullptr) {
        return dflt;
    }
    return convert_arg(name, [&] { return to_bool(value); }, cause);
}

// An optional bool parameter that also takes None: nothing when it was not
// given or is None, else as `bool_arg`.
inline Maybe<std::optional<bool>> opt_bool_arg(const char *name, PyObject *value, ArgCause cause)
{
    if (value == nullptr || value == Py_None) {
        return std::optional<bool>();
    }
    Maybe<bool> b = bool_arg(name, value, false, cause);
    if (!b) {
        return error;
    }
    return std::optional<bool>(*b);
}

// Integer conversions through __index__ with the range errors of a fixed-width
// native parameter: outside the signed 64-bit range the interpreter's own
// OverflowError, outside the target width "out of range integral type
// conversion attempted".
Maybe<std::int64_t> to_i64(PyObject *value);
Maybe<std::uint8_t> to_u8(PyObject *value);

// The interpreter's C `long` conversion (`PyLong_AsLong`), with its own
// messages ("Python int too large to convert to C long").
Maybe<std::int64_t> to_c_long(PyObject *value);

// `to_i64` as the parameter `name`, its failure decorated by `convert_arg`.
inline Maybe<std::int64_t> i64_arg(const char *name, PyObject *value, ArgCause cause = ArgCause::Conversion)
{
    return convert_arg(name, [&] { return to_i64(value); }, cause);
}

// An unsigned pointer-sized integer through __index__, with the
// interpreter's own OverflowError for a negative or too large value.
Maybe<std::size_t> to_usize(PyObject *value);

// A list parameter of text: any sequence but a str itself (else the cast
// TypeError for 'list'), every item a str (else the cast TypeError for
// 'str'). Answers a new list of the items.
Ref to_str_list(PyObject *value);
// As `to_str_list`, but a tuple of str answers itself: it reads as the list
// would, with no copy. Readers take either through `PySequence_Fast_*`.
Ref to_str_sequence(PyObject *value);

}  // namespace norv
