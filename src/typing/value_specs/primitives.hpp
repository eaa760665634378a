// The scalar spec classes: Bool, Str, Int, Float and Any.
#pragma once

#include <Python.h>

#include <memory>

#include "typing/value_specs/engine.hpp"

namespace norv::typing::primitives {

PyTypeObject *bool_type();
PyTypeObject *str_type();
PyTypeObject *int_type();
PyTypeObject *float_type();
PyTypeObject *any_type();

// Builders shared by the constructors, from_json and the type-argument forms.
// Optional objects are nullptr when absent. A failed build passes through
// `base::wrap`.
Maybe<std::unique_ptr<SpecEngine>> bool_new(PyObject *default_value, PyObject *default_factory,
                                            bool is_noneable, bool frozen, std::uint8_t strict);
Maybe<std::unique_ptr<SpecEngine>> str_new(PyObject *default_value, PyObject *default_factory,
                                           PyObject *regex, bool is_noneable, bool frozen,
                                           std::uint8_t strict);
Maybe<std::unique_ptr<SpecEngine>> any_new(PyObject *default_value, PyObject *default_factory,
                                           PyObject *annotation, PyObject *transform, bool frozen,
                                           std::uint8_t strict);

struct Bounds {
    PyObject *min_value = nullptr;
    PyObject *max_value = nullptr;
    PyObject *gt = nullptr;
    PyObject *ge = nullptr;
    PyObject *lt = nullptr;
    PyObject *le = nullptr;
};
Maybe<std::unique_ptr<SpecEngine>> number_new(bool is_float, PyObject *default_value,
                                              PyObject *default_factory, const Bounds &bounds,
                                              bool is_noneable, bool frozen, std::uint8_t strict);

}  // namespace norv::typing::primitives
