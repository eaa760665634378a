// What the four key-spec classes share: refusal texts, JSON entry reads, the
// equality-only comparison slot and the small shims of their Python surface.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "core/boundary.hpp"
#include "core/ref.hpp"

namespace norv::key_specs {

// "{str(self)} cannot extend {str(base)}{reason}", raised as `exc`. An error of
// either str() replaces the refusal.
Error raise_extend_reject(PyObject *exc, PyObject *self, PyObject *base, const char *reason);

// `extend` of the string key specs: self when `self == base`, else the KeyError
// "... for keys are different.".
Ref extend_if_equal(PyObject *self, PyObject *base);

// The refusals of ListKey.extend and TupleKey.extend, with nothing adopted.
[[nodiscard]] Status list_key_refusal(PyObject *self, PyObject *base);
[[nodiscard]] Status tuple_key_refusal(PyObject *self, PyObject *base);

// Sets `out` to the entry `name` of a JSON dict (its own storage: lookups
// overridden by a subclass are not called), left empty when absent. Anything
// but a dict is refused with the not-an-instance TypeError.
[[nodiscard]] Status from_json_field(PyObject *json_value, const char *name, Ref &out);

// An int (or None) read back from an optional native bound.
inline Ref int_or_none(const std::optional<std::int64_t> &v)
{
    return v ? new_int(*v) : none();
}

// Equality is all the key specs compare: a foreign operand is unequal (False,
// never NotImplemented, so the other operand is not asked); ordering is left
// to the interpreter's TypeError.
using EqFn = Maybe<bool> (*)(PyObject *self, PyObject *other);

template <EqFn Eq>
PyObject *keyspec_richcompare(PyObject *self, PyObject *other, int op)
{
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guard([&]() -> Ref {
        const Maybe<bool> eq = Eq(self, other);
        if (!eq) {
            return error;
        }
        return new_bool(*eq == (op == Py_EQ));
    });
}

// `format(*_args, **_kwargs)`: the formatter's options never change a key
// spec's text.
template <NoArgsImpl F>
Ref format_ignoring_options(PyObject *self, FastArgs)
{
    return F(self);
}

Ref false_value(PyObject *);
Ref none_value(PyObject *);

template <class T>
T *payload(PyObject *self) noexcept
{
    return reinterpret_cast<T *>(self);
}

// A fresh, zero-initialised instance of a key-spec class. A NULL `type` (its
// creation failed, error set) fails.
Ref alloc_instance(PyTypeObject *type);

}  // namespace norv::key_specs
