#include "typing/bridge/typing_bridge.hpp"

#include <new>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/hooks.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"

namespace norv::typing::bridge {

namespace {

OnceCell<const TypingBridge *> BRIDGE;
ObjectCell JSON_SCHEMA_FN;
ObjectCell FIELD_FROM_ANNOTATION;

struct ContainerTypes {
    PyObject *dict_type;
    PyObject *list_type;
};
OnceCell<const ContainerTypes *> SYMBOLIC_CONTAINER_TYPES;

// ---- _install_typing_bridge -------------------------------------------------

constexpr int HANDLE_COUNT = 26;

const Signature INSTALL_SIG{"_install_typing_bridge",
                            {kwarg("missing_value"),
                             kwarg("missing_type"),
                             kwarg("frozen_placeholder"),
                             kwarg("fast_apply_info_cls"),
                             kwarg("union_cls"),
                             kwarg("to_json"),
                             kwarg("from_json"),
                             kwarg("callable_eq"),
                             kwarg("value_spec_cls"),
                             kwarg("field_cls"),
                             kwarg("key_spec_cls"),
                             kwarg("object_cls"),
                             kwarg("is_subclass"),
                             kwarg("is_instance"),
                             kwarg("is_generic"),
                             kwarg("make_forward_ref"),
                             kwarg("raw_text_cls"),
                             kwarg("forward_ref_cls"),
                             kwarg("topology_merge"),
                             kwarg("make_field_merge_fn"),
                             kwarg("register_forward_ref_target"),
                             kwarg("default_without_apply"),
                             kwarg("create_schema"),
                             kwarg("str_key_cls"),
                             kwarg("functor_cls"),
                             kwarg("callable_validate")}};

// Index of `forward_ref_cls` among the keywords: the installer's own
// `empty_frozenset` goes right after it.
constexpr int FORWARD_REF_CLS_INDEX = 17;

Ref install_typing_bridge(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(INSTALL_SIG.bind(a, b))) {
        return error;
    }
    if (!PyType_Check(b[1])) {
        (void)raise_not_instance(b[1], "type");
        wrap_argument_error("missing_type");
        return error;
    }
    Ref empty = Ref::steal(PyFrozenSet_New(nullptr));
    if (!empty) {
        return error;
    }

    PyObject *fields[HANDLE_COUNT + 1];
    int j = 0;
    for (int i = 0; i < HANDLE_COUNT; ++i) {
        fields[j++] = b[static_cast<std::size_t>(i)];
        if (i == FORWARD_REF_CLS_INDEX) {
            fields[j++] = empty.get();
        }
    }
    static_assert(sizeof(TypingBridge) == sizeof(PyObject *) * (HANDLE_COUNT + 1));
    offer_handles(BRIDGE, fields);
    return none();
}

const Signature JSON_SCHEMA_SIG{"_install_json_schema_fn", {arg("func")}};
const Signature FIELD_FROM_ANNOTATION_SIG{"_install_field_from_annotation", {arg("func")}};
const Signature CONTAINER_TYPES_SIG{"_install_symbolic_container_types",
                                    {arg("dict_type"), arg("list_type")}};

Ref install_json_schema_fn(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(JSON_SCHEMA_SIG.bind(a, b))) {
        return error;
    }
    JSON_SCHEMA_FN.set(Ref::borrow(b[0]));
    return none();
}

Ref install_field_from_annotation(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FIELD_FROM_ANNOTATION_SIG.bind(a, b))) {
        return error;
    }
    FIELD_FROM_ANNOTATION.set(Ref::borrow(b[0]));
    return none();
}

Ref install_symbolic_container_types(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(CONTAINER_TYPES_SIG.bind(a, b))) {
        return error;
    }
    auto *pair = new ContainerTypes{Py_NewRef(b[0]), Py_NewRef(b[1])};
    if (!SYMBOLIC_CONTAINER_TYPES.set(pair)) {
        Py_DECREF(pair->dict_type);
        Py_DECREF(pair->list_type);
        delete pair;
    }
    return none();
}

PyMethodDef INSTALLERS[] = {
    method<install_typing_bridge>(
        "_install_typing_bridge",
        "_install_typing_bridge($module, /, *, missing_value, missing_type, frozen_placeholder, "
        "fast_apply_info_cls, union_cls, to_json, from_json, callable_eq, value_spec_cls, field_cls, "
        "key_spec_cls, object_cls, is_subclass, is_instance, is_generic, make_forward_ref, raw_text_cls, "
        "forward_ref_cls, topology_merge, make_field_merge_fn, register_forward_ref_target, "
        "default_without_apply, create_schema, str_key_cls, functor_cls, callable_validate)\n--\n\n"
        "Inject the oracle handles the native value-spec pipeline depends on."),
    method<install_json_schema_fn>(
        "_install_json_schema_fn",
        "_install_json_schema_fn($module, /, func)\n--\n\n"
        "Install the oracle's `_value_spec_to_json_schema` for native `to_json_schema`."),
    method<install_field_from_annotation>(
        "_install_field_from_annotation",
        "_install_field_from_annotation($module, /, func)\n--\n\n"
        "Install the oracle's `_field_from_annotation` for native `Field.from_annotation`."),
    method<install_symbolic_container_types>(
        "_install_symbolic_container_types",
        "_install_symbolic_container_types($module, /, dict_type, list_type)\n--\n\n"
        "Install the composed symbolic container classes for the native wrap-emit."),
};

}  // namespace

const TypingBridge *peek() noexcept
{
    const TypingBridge *const *p = BRIDGE.get();
    return p ? *p : nullptr;
}

const TypingBridge &get()
{
    const TypingBridge *b = peek();
    if (b == nullptr) {
        panic("typing bridge not installed");
    }
    return *b;
}

PyObject *json_schema_fn()
{
    PyObject *f = JSON_SCHEMA_FN.get();
    if (f == nullptr) {
        panic("json-schema fn not installed");
    }
    return f;
}

PyObject *field_from_annotation_fn()
{
    PyObject *f = FIELD_FROM_ANNOTATION.get();
    if (f == nullptr) {
        panic("field_from_annotation not installed");
    }
    return f;
}

bool symbolic_container_types(PyObject **dict_type, PyObject **list_type) noexcept
{
    const ContainerTypes *const *p = SYMBOLIC_CONTAINER_TYPES.get();
    if (p == nullptr) {
        return false;
    }
    *dict_type = (*p)->dict_type;
    *list_type = (*p)->list_type;
    return true;
}

Status register_installers(PyObject *module)
{
    for (PyMethodDef &def : INSTALLERS) {
        if (failed(add_function(module, &def))) {
            return error;
        }
    }
    return Status::ok;
}

// ---- operations ---------------------------------------------------------------

Maybe<bool> strict_bool(PyObject *result)
{
    if (result == Py_True) {
        return true;
    }
    if (result == Py_False) {
        return false;
    }
    return raise_not_instance(result, "bool");
}

Maybe<bool> is_missing(PyObject *value)
{
    PyObject *missing_type = get().missing_type;
    // A builtin scalar or container reports its own type as `__class__`, so
    // against a class without an instance hook the subtype test is the answer.
    if (is_any_fast_type(value, true) && Py_IS_TYPE(missing_type, &PyType_Type)) {
        return PyType_IsSubtype(Py_TYPE(value), reinterpret_cast<PyTypeObject *>(missing_type)) != 0;
    }
    return predicate(PyObject_IsInstance(value, missing_type));
}

Ref fresh_missing()
{
    return Ref::steal(PyObject_CallNoArgs(get().missing_type));
}

namespace {

Maybe<bool> call_bool2(PyObject *fn, PyObject *a, PyObject *b)
{
    PyObject *args[] = {a, b};
    Ref r = Ref::steal(PyObject_Vectorcall(fn, args, 2, nullptr));
    if (!r) {
        return error;
    }
    return strict_bool(r.get());
}

}  // namespace

Maybe<bool> callable_eq(PyObject *a, PyObject *b)
{
    return call_bool2(get().callable_eq, a, b);
}

namespace {

Ref call_conversion(PyObject *fn, PyObject *value, PyObject *kwargs, const char *where)
{
    RecursionGuard depth(where);
    if (depth.failed()) {
        return error;
    }
    Ref args = Ref::steal(PyTuple_Pack(1, value));
    if (!args) {
        return error;
    }
    return Ref::steal(PyObject_Call(fn, args.get(), kwargs));
}

}  // namespace

Ref call_to_json(PyObject *value, PyObject *kwargs)
{
    return call_conversion(get().to_json, value, kwargs, " while converting to JSON");
}

Ref call_from_json(PyObject *value, PyObject *kwargs)
{
    return call_conversion(get().from_json, value, kwargs, " while converting from JSON");
}

Maybe<bool> call_is_generic(PyObject *t)
{
    Ref r = Ref::steal(PyObject_CallOneArg(get().is_generic, t));
    if (!r) {
        return error;
    }
    return strict_bool(r.get());
}

Maybe<bool> call_is_instance(PyObject *value, PyObject *t)
{
    return call_bool2(get().is_instance, value, t);
}

Maybe<bool> call_is_subclass(PyObject *a, PyObject *b)
{
    return call_bool2(get().is_subclass, a, b);
}

Ref message_on_path(PyObject *message, PyObject *path_text)
{
    return Ref::steal(PyUnicode_FromFormat("%U (path=%U)", message, path_text));
}

Ref py_repr(PyObject *o)
{
    return repr_of(o);
}

PyTypeObject *const *any_fast_scalar_types() noexcept
{
    static PyTypeObject *const TYPES[ANY_FAST_SCALAR_COUNT] = {
        &PyLong_Type,  &PyUnicode_Type, &PyFloat_Type, &PyBool_Type,      Py_TYPE(Py_None),
        &PyBytes_Type, &PyTuple_Type,   &PySet_Type,   &PyFrozenSet_Type,
    };
    return TYPES;
}

bool is_plain_value_type(PyObject *t) noexcept
{
    if (PyTuple_Check(t)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(t);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (Py_TYPE(PyTuple_GET_ITEM(t, i)) != &PyType_Type) {
                return false;
            }
        }
        return true;
    }
    return Py_TYPE(t) == &PyType_Type;
}

Maybe<bool> is_custom_typing(PyObject *value)
{
    // The builtin scalar and container types, their bases and their metaclass
    // are immutable: none can carry the marker, so skip the lookup.
    if (is_any_fast_type(value, true)) {
        return false;
    }
    return has_attr<"__norv_custom_typing__">(reinterpret_cast<PyObject *>(Py_TYPE(value)));
}

Maybe<bool> is_maybe_partial(PyObject *cls)
{
    return has_attr<"__norv_maybe_partial__">(cls);
}

Maybe<bool> read_sym_partial(PyObject *value)
{
    if (const hooks::SymPartialFn *hook = hooks::SYM_PARTIAL_HOOK.get()) {
        switch ((*hook)(value)) {
            case hooks::Partial::Error:
                return error;
            case hooks::Partial::No:
                return false;
            case hooks::Partial::Yes:
                return true;
            case hooks::Partial::Undecided:
                break;
        }
    }
    return truth_attr<"sym_partial">(value);
}

}  // namespace norv::typing::bridge

namespace norv::typing::util {

namespace {
ObjectCell OBJECT_TYPE;
}

PyObject *builtin_object_type()
{
    return OBJECT_TYPE.get_or_init([]() -> Ref {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins) {
            return error;
        }
        Ref object = getattr(builtins.get(), "object");
        if (!object) {
            return error;
        }
        if (!PyType_Check(object.get())) {
            return raise_not_instance(object.get(), "type");
        }
        return object;
    });
}

}  // namespace norv::typing::util
