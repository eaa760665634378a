// Small stateless helpers of the value-spec engine and classes. Each returns
// a null Ref (or an empty Maybe) with the error set on failure.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"

namespace norv::typing::util {

using norv::some;

// dict exact type -> candidate for one-lookup Union dispatch, or an empty Ref
// when the candidates do not allow one.
Maybe<Ref> build_candidate_type_map(PyObject *candidates, bool no_value_type);
// The value spec V of a schema whose one key is an unrestricted str key, or an
// empty Ref.
Maybe<Ref> compute_open_str_value_spec(PyObject *schema);
// A tuple unchanged, anything else wrapped in a one-element tuple.
Ref as_type_args(PyObject *x);
// value_spec_cls.from_annotation(x, auto_typing=True).
Ref from_annotation(PyObject *x);
// spec.annotation while typing.TYPE_CHECKING is true, else spec.
Ref generic_getitem_result(PyObject *spec);
// union_cls[(a, b)].
Ref union_getitem(PyObject *a, PyObject *b);
// A new reference to the bridge's missing value.
Ref missing_default();
// str(root_path), or "None" without one.
Ref root_path_display(PyObject *root_path);
// set.update(iterable) on a set of ours: the same members, added one by one.
Status set_update(PyObject *set, PyObject *iterable);
// `re.compile(regex)` through the `re` module as it is at this moment, or an
// empty Ref for no regex (nullptr or a false value).
Maybe<Ref> compile_regex(PyObject *regex);

}  // namespace norv::typing::util
