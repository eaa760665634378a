// The per-field steps with which a schema validates a keyword dict, shared by
// `Schema.apply`, object and record construction and symbolic dicts. Every
// step that reads a schema's caches runs under the caller's shared access to
// that schema. Optional objects are nullptr when absent.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::typing::schema {
struct SchemaMeta;

// What travels with one value: the path of the dict being validated; whether
// required values may stay missing; with `no_path`, a deferred value reaches
// its field's `apply` with no child path.
struct ValueCtx {
    PyObject *root_path = nullptr;
    bool allow_partial = false;
    bool no_path = false;
};

struct FieldOptions {
    PyObject *transform = nullptr;  // the child transform handed to `apply`
    bool skip_validation = false;
    bool inplace = false;
};

// A validated value and whether it is a scalar (or a container the funnel
// proved to hold only scalars).
struct Valued {
    Ref value;
    bool scalar = false;
};

// field.apply(value, allow_partial=, transform_fn=, root_path=, inplace=).
Ref call_field_apply(PyObject *field, PyObject *value, bool allow_partial, PyObject *transform,
                     PyObject *root_path, bool inplace);
// value_spec.apply(value, allow_partial=, root_path=, inplace=).
Ref spec_apply(PyObject *spec, PyObject *value, bool allow_partial, PyObject *root_path, bool inplace);
// value_spec.materialize_default(allow_partial=).
Ref materialize_default(PyObject *spec, bool allow_partial);

// The value that stands for a field the input lacks: the default, applied
// unless `validate` (the field's validation) is off.
Ref missing_fill(bool validate, PyObject *field, PyObject *spec, bool allow_partial, PyObject *transform,
                 PyObject *key, PyObject *root_path, bool inplace);

// One given value: the funnel's tiers, then the field's own `apply` for what
// they leave.
Maybe<Valued> funnel_field_value(PyObject *field, const FieldMeta &meta, PyObject *key, PyObject *value,
                                 const ValueCtx &ctx, const FieldOptions &options);

// A constant field's record and what `source` (a dict) holds under its key,
// read by a plain lookup that bypasses a subclass's hooks (empty: absent).
struct ConstEntry {
    MetaPtr meta;
    Ref value;
};
Maybe<ConstEntry> const_entry(PyObject *field, PyObject *source);

// What the all-constant route learns from one field: whether its value was
// read under the schema's own text object `text`.
struct ConstTrace {
    PyObject *text = nullptr;
    bool found = false;
};

// Validates the constant field `field` from `source` (a dict) into `target`.
Status apply_const_field_inplace(PyObject *target, PyObject *source, PyObject *field, const ValueCtx &ctx,
                                 bool inplace, ConstTrace *trace = nullptr);

// Stores unless `target` is a dict already holding this very object.
Status set_if_changed(PyObject *target, PyObject *key, PyObject *value);

// KeyError "Keys [...] are not allowed in Schema. (parent='...')".
Error raise_keys_not_allowed(PyObject *keys, PyObject *root_path);

// The sorted extra-keys KeyError when `mapping` has keys outside `allowed`
// (a set, or nullptr for none).
Status raise_if_extra_keys(PyObject *allowed, PyObject *mapping, PyObject *root_path);
// The same check against the schema's constant keys.
Status raise_if_extra_const_keys(const SchemaMeta &m, PyObject *mapping, PyObject *root_path);

// The key texts, in schema order, of required fields that `kwargs` lacks.
Ref missing_required_keys(PyObject *schema, PyObject *kwargs);

// A new dict of the schema's validated fields, and whether every value in it
// is a scalar. With `skip_validation`, given values of an all-constant schema
// are taken unchanged.
Maybe<Valued> validate_fields_native(PyObject *schema, PyObject *kwargs, bool allow_partial,
                                     PyObject *transform, PyObject *root_path, bool skip_validation,
                                     bool no_path);

// Where the validation of an all-constant schema puts each field's value, in
// schema order, as `validate_fields_native` stores it in its dict.
class FieldSink {
public:
    virtual Status put(PyObject *key, Ref value) = 0;

protected:
    ~FieldSink() = default;
};

// `validate_fields_native` for a schema without non-constant keys and a dict
// `kwargs`, the values handed to `sink`; whether every value is a scalar.
// The caller has checked both conditions.
Maybe<bool> validate_const_fields(PyObject *schema, PyObject *kwargs, bool allow_partial, PyObject *transform,
                                  PyObject *root_path, bool skip_validation, bool no_path, FieldSink &sink);

}  // namespace norv::typing::schema
