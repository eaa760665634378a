// The open-schema plan: constant string keys plus one plain string wildcard,
// validated without asking any key spec which field a key belongs to.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema.hpp"

namespace norv::typing::schema {

// Whether `key` is a str whose text is a constant key of the plan. Never
// raises.
inline bool key_in_plan_consts(const TextIndex &index, PyObject *key)
{
    std::size_t pos;
    return !index.empty() && index_lookup(index, key, &pos);
}

// The plan, when the schema has one and every key of `dict` is a str: the
// constant-key test then needs no fallback. Never raises.
const OpenSchemaPlan *open_plan_for(const SchemaMeta &meta, PyObject *dict) noexcept;

// One entry of the plan: a constant field (value absent: nullptr) or a key
// the wildcard takes.
Maybe<Valued> open_fill_value(PyObject *field, const FieldMeta &meta, PyObject *key, PyObject *value,
                              const ValueCtx &ctx, PyObject *transform, bool scalar_identity);

// A new dict: every constant field in schema order, then the wildcard's keys
// in input order. Validation runs in schema order.
Maybe<Valued> open_plan_validate(const OpenSchemaPlan &plan, PyObject *kwargs, const ValueCtx &ctx,
                                 PyObject *transform);

}  // namespace norv::typing::schema
