// What the List and Tuple spec classes share: size arguments and their
// aliases, the element fields, and the child application and fast path of
// the two kinds.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "core/args.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"
#include "typing/value_specs/engine.hpp"

namespace norv::typing::containers {

using OptInt = std::optional<std::int64_t>;

// The size arguments as given (absent: None or left out).
struct Sizes {
    OptInt min_size, max_size, size, min_length, max_length;
};

// An optional integer parameter, converted like an index.
Maybe<OptInt> opt_int_param(PyObject *v, const char *name);
// The JSON entries "min_size", "max_size", "min_length" and "max_length".
Maybe<Sizes> json_sizes(PyObject *json, PyObject *kwargs);

// Merges `min_length` / `max_length` into the bounds; `label` names the class
// in the conflict messages.
[[nodiscard]] Status normalize_size_aliases(const char *label, Sizes &s);
// Resolves `size` against the bounds and checks them, with List's texts
// (`stop` ends the max-below-min text with a full stop). Leaves min_size set.
[[nodiscard]] Status resolve_sizes(Sizes &s, bool stop);

// field_cls(key, value_spec, description).
Ref make_field(PyObject *key, PyObject *value_spec, PyObject *description);

// Optional objects are nullptr when absent.
Maybe<std::unique_ptr<SpecEngine>> list_new(PyObject *element_value, PyObject *default_value,
                                            PyObject *default_factory, Sizes sizes, PyObject *transform,
                                            bool is_noneable, bool frozen, std::uint8_t strict);
Maybe<std::unique_ptr<SpecEngine>> tuple_new(PyObject *element_values, PyObject *default_value,
                                             PyObject *default_factory, Sizes sizes, PyObject *transform,
                                             bool is_noneable, bool frozen, std::uint8_t strict);

using ContainerBuilder = Maybe<std::unique_ptr<SpecEngine>> (*)(PyObject *, PyObject *, PyObject *, Sizes,
                                                                PyObject *, bool, bool, std::uint8_t);

// `cls(...)` of List and Tuple, whose parameters differ only in the first one's
// name: element(s), default, default_factory, min_size, max_size, size,
// transform, is_noneable, frozen, strict, *, min_length, max_length.
PyObject *container_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs, const Signature &sig,
                           ContainerBuilder build);

// `cls.from_json(json_value, **kwargs)` of List and Tuple: the common keys,
// the element entry `elements_key` (ValueError `missing_message` when
// absent), the sizes and the transform.
Ref container_from_json(PyObject *cls, const Signature &sig, FastArgs a, const char *elements_key,
                        const char *missing_message, ContainerBuilder build);

PyTypeObject *list_type();
PyTypeObject *tuple_type();

// ---- child application and fast path -------------------------------------------------

// The List and Tuple kinds' child step.
Ref list_apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                    engine::PathText &path, bool inplace);
Ref tuple_apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                     engine::PathText &path, bool inplace);
Ref dict_apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                    engine::PathText &path, bool inplace);

// A plain list or tuple whose elements are proven to fit: the value itself;
// an empty Ref declines (nothing proven, nothing changed).
Maybe<Ref> container_fast_path(SpecEngine &e, PyObject *value, PyObject *child_transform, bool nested_ok);
// A plain dict that passes its schema's constant bulk check, or whose keys are
// all str and whose values fit the open str-keyed value spec: the value
// itself; an empty Ref declines.
Maybe<Ref> dict_fast_path(SpecEngine &e, PyObject *value, PyObject *child_transform, bool nested_ok);

}  // namespace norv::typing::containers
