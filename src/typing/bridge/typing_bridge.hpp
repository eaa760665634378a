// The typing bridge: the host objects the typing layer calls back, handed in
// once after import by the four typing installers, plus the small operations
// that wrap those calls and the native type tests the hot paths share.
//
// Every cell is set-once (first install wins). Reading the typing bridge
// before `_install_typing_bridge` ran is the internal fault "typing bridge not
// installed".
#pragma once

#include <Python.h>

#include "core/ref.hpp"

namespace norv::typing::bridge {

// Field order is the installer's keyword order, with `empty_frozenset` (made
// by the installer) between `forward_ref_cls` and `topology_merge`. Every
// pointer is a strong reference owned by the cell for the life of the process.
struct TypingBridge {
    PyObject *missing_value;
    PyObject *missing_type;
    PyObject *frozen_placeholder;
    PyObject *fast_apply_info_cls;
    PyObject *union_cls;
    PyObject *to_json;
    PyObject *from_json;
    PyObject *callable_eq;
    PyObject *value_spec_cls;
    PyObject *field_cls;
    PyObject *key_spec_cls;
    PyObject *object_cls;
    PyObject *is_subclass;
    PyObject *is_instance;
    PyObject *is_generic;
    PyObject *make_forward_ref;
    PyObject *raw_text_cls;
    PyObject *forward_ref_cls;
    PyObject *empty_frozenset;
    PyObject *topology_merge;
    PyObject *make_field_merge_fn;
    PyObject *register_forward_ref_target;
    PyObject *default_without_apply;
    PyObject *create_schema;
    PyObject *str_key_cls;
    PyObject *functor_cls;
    PyObject *callable_validate;
};

// The installed bridge; Panic "typing bridge not installed" while empty.
const TypingBridge &get();
// The installed bridge, or nullptr.
const TypingBridge *peek() noexcept;

// Host functions of the other three installers (borrowed). The first two
// panic while empty; the container types answer false (callers decline).
PyObject *json_schema_fn();
PyObject *field_from_annotation_fn();
bool symbolic_container_types(PyObject **dict_type, PyObject **list_type) noexcept;

// Registers the four installers, in their fixed order.
[[nodiscard]] Status register_installers(PyObject *module);

// ---- operations over the handles --------------------------------------------

// isinstance(value, missing_type).
Maybe<bool> is_missing(PyObject *value);
// missing_type().
Ref fresh_missing();
Maybe<bool> callable_eq(PyObject *a, PyObject *b);
// to_json(value, **kwargs) / from_json(value, **kwargs). The host converts a
// spec, field or schema by calling its native conversion, which converts its
// children through here again: each call holds one level of recursion, so a
// deep or self-holding tree ends in RecursionError.
Ref call_to_json(PyObject *value, PyObject *kwargs);
Ref call_from_json(PyObject *value, PyObject *kwargs);
Maybe<bool> call_is_generic(PyObject *t);
Maybe<bool> call_is_instance(PyObject *value, PyObject *t);
Maybe<bool> call_is_subclass(PyObject *a, PyObject *b);

// message + " (path=" + path_text + ")"; both str.
Ref message_on_path(PyObject *message, PyObject *path_text);
Ref py_repr(PyObject *o);

// ---- native type tests (never call Python) --------------------------------

// int, str, float, bool, NoneType, bytes, tuple, set, frozenset: in this order.
inline constexpr int ANY_FAST_SCALAR_COUNT = 9;
PyTypeObject *const *any_fast_scalar_types() noexcept;

inline bool is_any_fast_type(PyObject *value, bool include_containers) noexcept
{
    if (value == Py_None) {
        return true;
    }
    PyTypeObject *t = Py_TYPE(value);
    if (t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyBool_Type ||
        t == &PyBytes_Type || t == &PyTuple_Type || t == &PySet_Type || t == &PyFrozenSet_Type) {
        return true;
    }
    return include_containers && (t == &PyDict_Type || t == &PyList_Type);
}

inline bool is_primitive_value_type(PyObject *t) noexcept
{
    return t == reinterpret_cast<PyObject *>(&PyLong_Type) ||
           t == reinterpret_cast<PyObject *>(&PyFloat_Type) ||
           t == reinterpret_cast<PyObject *>(&PyUnicode_Type) ||
           t == reinterpret_cast<PyObject *>(&PyBool_Type);
}

// A class made by the plain metaclass `type`, or a tuple of such classes.
bool is_plain_value_type(PyObject *t) noexcept;

// type(value) has `__norv_custom_typing__` (presence only).
Maybe<bool> is_custom_typing(PyObject *value);
// cls has `__norv_maybe_partial__` (presence only).
Maybe<bool> is_maybe_partial(PyObject *cls);
// The object layer's answer when it has one, else truth of value.sym_partial.
Maybe<bool> read_sym_partial(PyObject *value);

// Strict bool extraction of a handle's result: a non-bool raises the cast
// TypeError.
Maybe<bool> strict_bool(PyObject *result);

}  // namespace norv::typing::bridge

namespace norv::typing::util {

// `builtins.object`, cached for the process (borrowed); NULL with the error set.
PyObject *builtin_object_type();

}  // namespace norv::typing::util
