// The spec classes beyond the scalars: Enum, Type, Object, Union, Callable
// and Functor. One source file each; their builders are shared by the
// constructors, from_json and the type-argument forms.
#pragma once

#include <Python.h>

#include <memory>

#include "typing/value_specs/engine.hpp"

namespace norv::typing::classes {

PyTypeObject *enum_type();

// Optional objects are nullptr when absent. A null engine: the build failed,
// error set (`base::wrap` passes it on).
[[nodiscard]] std::unique_ptr<SpecEngine> enum_new(PyObject *values, PyObject *default_value,
                                                   PyObject *default_factory, bool frozen,
                                                   std::uint8_t strict);

}  // namespace norv::typing::classes
