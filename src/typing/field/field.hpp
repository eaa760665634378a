// Field: one schema entry binding a key spec to a value spec, with its
// description, origin, metadata, validator, alias and switches.
//
// Schemas, container specs and symbolic containers reach a field through its
// Python surface; native code may read a native field's value spec in place
// (`value_spec_of`), and what member formalisation asks of it
// (`scalar_rule_of`).
#pragma once

#include <Python.h>

#include "core/ref.hpp"
#include "typing/value_specs/services.hpp"

namespace norv::typing::field {

PyTypeObject *type();

// Empties the field's cached funnel classification.
void invalidate_meta(PyObject *field) noexcept;

// What `enable_validation`, `value` and `validator is not None` give for a
// native field, read in one shared access; a field being written refuses as
// its getters do (RuntimeError).
struct ScalarRule {
    bool validates;
    Ref value_spec;
    bool has_validator;
};
Maybe<ScalarRule> scalar_rule_of(PyObject *field);

}  // namespace norv::typing::field
