// The spec classes beyond the scalars: Enum, Type, Object, Union, Callable
// and Functor. One source file each; their builders are shared by the
// constructors, from_json and the type-argument forms.
#pragma once

#include <Python.h>

#include <memory>

#include "typing/value_specs/engine.hpp"

namespace norv::typing::classes {

PyTypeObject *enum_type();
PyTypeObject *type_type();
PyTypeObject *object_type();

// Optional objects are nullptr when absent. A null engine: the build failed,
// error set (`base::wrap` passes it on).
[[nodiscard]] std::unique_ptr<SpecEngine> enum_new(PyObject *values, PyObject *default_value,
                                                   PyObject *default_factory, bool frozen,
                                                   std::uint8_t strict);

[[nodiscard]] std::unique_ptr<SpecEngine> type_new(PyObject *t, PyObject *default_value,
                                                   PyObject *default_factory, bool is_noneable, bool frozen,
                                                   std::uint8_t strict);
[[nodiscard]] std::unique_ptr<SpecEngine> object_new(PyObject *t, PyObject *default_value,
                                                     PyObject *default_factory, PyObject *transform,
                                                     bool is_noneable, bool frozen, std::uint8_t strict);

// Object values: a value of exactly `cls` is accepted unless it is a partial
// object and partial values are not allowed; anything else declines (an
// empty Ref).
Maybe<Ref> object_accept(PyObject *cls, PyObject *value, bool allow_partial);
// The Object kind's child step: a partially bound object is refused unless
// partial values are allowed.
Ref object_apply_kind(PyObject *value, bool allow_partial, engine::PathText &path);

}  // namespace norv::typing::classes
