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
PyTypeObject *union_type();
PyTypeObject *callable_type();
PyTypeObject *functor_type();
PyTypeObject *dict_type();

// Optional objects are nullptr when absent. A failed build passes through
// `base::wrap`.
Maybe<std::unique_ptr<SpecEngine>> enum_new(PyObject *values, PyObject *default_value,
                                            PyObject *default_factory, bool frozen, std::uint8_t strict);

Maybe<std::unique_ptr<SpecEngine>> type_new(PyObject *t, PyObject *default_value, PyObject *default_factory,
                                            bool is_noneable, bool frozen, std::uint8_t strict);
Maybe<std::unique_ptr<SpecEngine>> object_new(PyObject *t, PyObject *default_value, PyObject *default_factory,
                                              PyObject *transform, bool is_noneable, bool frozen,
                                              std::uint8_t strict);

// Object values: a value of exactly `cls` is accepted unless it is a partial
// object and partial values are not allowed; anything else declines (an
// empty Ref).
Maybe<Ref> object_accept(PyObject *cls, PyObject *value, bool allow_partial);
// The Object kind's child step: a partially bound object is refused unless
// partial values are allowed.
Ref object_apply_kind(PyObject *value, bool allow_partial, engine::PathText &path);

Maybe<std::unique_ptr<SpecEngine>> dict_new(PyObject *schema, PyObject *default_value,
                                            PyObject *default_factory, PyObject *transform, bool is_noneable,
                                            bool frozen, std::uint8_t strict);

Maybe<std::unique_ptr<SpecEngine>> union_new(PyObject *candidates, PyObject *default_value,
                                             PyObject *default_factory, bool is_noneable, bool frozen,
                                             std::uint8_t strict);

Maybe<std::unique_ptr<SpecEngine>> callable_base(PyObject *args, PyObject *kw, PyObject *returns,
                                                 PyObject *default_value, PyObject *default_factory,
                                                 PyObject *transform, PyObject *callable_type,
                                                 bool is_noneable, bool frozen, std::uint8_t strict,
                                                 bool is_functor);

// The Union fast path of the apply pipeline: the value itself when the type
// map sends its exact type to a candidate that takes such values unchanged;
// otherwise an empty Ref (the pipeline goes on).
Maybe<Ref> union_fast_path(PyObject *spec_object, PyObject *value);
// The Union kind's child step: the candidate that takes the value applies it.
Ref union_apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                     engine::PathText &path, bool inplace);

}  // namespace norv::typing::classes
