// What the value-spec engine uses of fields, schemas, key specs and the
// funnel, which are built on it: the one view value_specs/ has of them. The
// headers of those layers include this one instead of declaring these again.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"

namespace norv::key_specs {

// The classes (created on first use); NULL with the error set when creating one failed.
PyTypeObject *list_key_type();
PyTypeObject *tuple_key_type();

// What `key.extend(base)` would raise, with nothing adopted, for the key specs
// whose extension writes (ListKey, TupleKey): true when it would pass, the
// very refusal when it would not, false for any other key (no answer here).
[[nodiscard]] Maybe<bool> check_extend(PyObject *key, PyObject *base);

}  // namespace norv::key_specs

namespace norv::typing {

namespace field {

// Exactly a native Field (the class is final). False before the class exists.
bool is_field(PyObject *o) noexcept;
// `field.apply(value, allow_partial=, transform_fn=, root_path=, inplace=)`;
// optional objects are nullptr when absent.
Ref apply(PyObject *field, PyObject *value, bool allow_partial, PyObject *transform_fn, PyObject *root_path,
          bool inplace);
// The value spec of a native field, read under a short shared access; a
// field that is being written is an internal fault.
Ref value_spec_of(PyObject *field);

}  // namespace field

namespace schema {

// Exactly a native Schema (the class is final).
bool is_schema(PyObject *o) noexcept;
// `Schema.apply` under the schema's shared borrow, one level of native
// recursion deeper; a caller that already holds a RecursionGuard for this
// level (a value spec's kind step) passes `counted`. Optional objects are
// nullptr when absent.
Ref apply_held(PyObject *schema, PyObject *dict_obj, bool allow_partial, PyObject *child_transform,
               PyObject *root_path, bool respect_enable_wrap, bool inplace, bool counted = false);
// The constant bulk check of a native Schema, a tuple of (key text, value
// type), read under shared access and passed through
// `const_bulk_check_bound`; an empty Ref when it has none.
Maybe<Ref> const_bulk_check_of(PyObject *schema);

}  // namespace schema

namespace funnel {

// The type a spec accepts unchanged without a call, or an empty Ref.
Maybe<Ref> exact_leaf_type(PyObject *spec);
// The target class of a native Object spec that is neither frozen nor
// transformed; an empty Ref otherwise.
Maybe<Ref> is_object_candidate(PyObject *spec);
// Whether a child transform carries the scalar-identity marker (presence
// only): such a transform leaves scalars alone.
inline Maybe<bool> is_scalar_identity_transform(PyObject *transform)
{
    return has_attr<"_norv_scalar_identity">(transform);
}

}  // namespace funnel

}  // namespace norv::typing
