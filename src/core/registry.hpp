// Adding names to the module, and process-wide type objects.
//
// Every public name goes through `add_name`: it is appended to the module's
// `__all__` (created on first use) and then set as an attribute, so `__all__`
// lists the names in registration order.
//
// Type objects are heap types made from static specs, created once per process
// on first request and kept forever; a second module object in the same
// process receives the very same classes.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

#include "core/once.hpp"
#include "core/ref.hpp"

namespace norv {

[[nodiscard]] Status add_name(PyObject *module, const char *name, PyObject *value);

// Adds a module function; its name is the function object's __name__.
[[nodiscard]] Status add_function(PyObject *module, PyMethodDef *def);

// A run of a layer's module functions in registration order: the definitions
// live beside their code, the run lists them (`<layer>/module_functions.*`).
using FunctionTable = std::span<PyMethodDef *const>;

// Adds each function of `functions` in order; the first failure stops.
[[nodiscard]] Status add_functions(PyObject *module, FunctionTable functions);

// Adds a class under its short name (the tail of tp_name). A NULL `type` (its
// creation failed, error set) fails.
[[nodiscard]] Status add_type(PyObject *module, PyTypeObject *type);

// Sets a class attribute on a type made by `TypeCell` (before anyone can see
// the type, so immutable types can be filled too).
[[nodiscard]] Status set_class_attr(PyTypeObject *type, const char *name, PyObject *value);

// Marks a class `__norv_formattable__`: the formatter renders its instances
// through their own `format`.
[[nodiscard]] Status mark_formattable(PyTypeObject *type);

// Sets a class's `__serialization_key__` (the name its JSON form carries) and
// marks it `__norv_formattable__`.
[[nodiscard]] Status set_serializable_class_attrs(PyTypeObject *type, const char *serialization_key);

// The end of every heap type's tp_dealloc: frees the instance and drops the
// reference each instance holds to its (heap) type.
inline void free_instance(PyObject *self) noexcept
{
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The tp_dealloc of a collected heap type whose own state `Release` drops:
// the instance leaves the collector first, and a long chain of such objects
// (each holding the next) is released iteratively through the trashcan
// instead of one C frame per link.
template <void (*Release)(PyObject *) noexcept>
void gc_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, gc_dealloc<Release>)
    {
        Release(self);
        free_instance(self);
    }
    Py_TRASHCAN_END
}

// A slot, method or property table: the entries of `parts` in order, then a
// zeroed entry, the terminator the interpreter looks for.
template <class T, std::size_t... N>
std::array<T, (N + ... + 0) + 1> table(const std::array<T, N> &...parts)
{
    std::array<T, (N + ... + 0) + 1> out{};
    std::size_t at = 0;
    ((std::copy(parts.begin(), parts.end(), out.begin() + at), at += N), ...);
    return out;
}

class TypeCell {
public:
    // `bases` may be NULL (object). `init` fills class attributes once the
    // type exists, before it is published.
    using Init = Status (*)(PyTypeObject *);

    // The type, or NULL with an error set when creating it failed.
    PyTypeObject *get(PyType_Spec *spec, PyObject *bases = nullptr, Init init = nullptr);

    // The type if it was created already (for fast type tests), else NULL.
    PyTypeObject *peek() const noexcept { return reinterpret_cast<PyTypeObject *>(cell_.get()); }

private:
    ObjectCell cell_;
};

}  // namespace norv
