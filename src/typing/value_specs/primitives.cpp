#include "typing/value_specs/primitives.hpp"

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/frame.hpp"
#include "typing/value_specs/class_kit.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::primitives {

using class_kit::kind_getter;
using class_kit::make;

namespace {

PyObject *type_obj(PyTypeObject *t) noexcept
{
    return reinterpret_cast<PyObject *>(t);
}

// ---- builders ------------------------------------------------------------------------

constexpr const char *EM_DASH = "\xe2\x80\x94";

// The inclusive bounds of an Int or Float after folding the aliases (an empty
// Ref: unbounded). The lower side is settled completely before the upper side
// is looked at.
Maybe<std::pair<Ref, Ref>> normalize_bound_aliases(const char *name, bool int_rewrite, const Bounds &b)
{
    auto side = [&](PyObject *plain, PyObject *exclusive, PyObject *inclusive, const char *plain_name,
                    const char *excl_name, const char *incl_name, const char *aliases, int op) -> Maybe<Ref> {
        if (exclusive == nullptr && inclusive == nullptr) {
            return Ref::borrow(plain);
        }
        if (plain != nullptr) {
            return raise_format(PyExc_ValueError,
                                "%s: `%s` and its aliases (`%s`) are mutually exclusive. Use one spelling.",
                                name, plain_name, aliases);
        }
        if (exclusive != nullptr && inclusive != nullptr) {
            return raise_format(PyExc_ValueError, "%s: `%s` and `%s` are mutually exclusive.", name,
                                incl_name, excl_name);
        }
        if (inclusive != nullptr) {
            return Ref::borrow(inclusive);
        }
        if (!int_rewrite) {
            return raise_format(
                PyExc_ValueError,
                "%s: `%s` (an EXCLUSIVE bound) is not representable on Float %s use `%s` (inclusive).", name,
                excl_name, EM_DASH, incl_name);
        }
        if (!PyLong_CheckExact(exclusive)) {
            return raise_format(
                PyExc_ValueError,
                "%s: `%s` must be an int (the exclusive-bound rewrite is exact for ints only). "
                "Encountered: %R.",
                name, excl_name, exclusive);
        }
        Ref one = new_int(1);
        if (!one) {
            return error;
        }
        Ref moved =
            Ref::steal(op > 0 ? PyNumber_Add(exclusive, one.get()) : PyNumber_Subtract(exclusive, one.get()));
        if (!moved) {
            return error;
        }
        return moved;
    };
    Maybe<Ref> min = side(b.min_value, b.gt, b.ge, "min_value", "gt", "ge", "ge`/`gt", +1);
    if (!min) {
        return error;
    }
    Maybe<Ref> max = side(b.max_value, b.lt, b.le, "max_value", "lt", "le", "le`/`lt", -1);
    if (!max) {
        return error;
    }
    return std::pair<Ref, Ref>{std::move(*min), std::move(*max)};
}

}  // namespace

Maybe<std::unique_ptr<SpecEngine>> bool_new(PyObject *default_value, PyObject *default_factory,
                                            bool is_noneable, bool frozen, std::uint8_t strict)
{
    return engine::build_base(type_obj(&PyBool_Type), BoolKind{}, default_value, default_factory, nullptr,
                              is_noneable, frozen, strict);
}

Maybe<std::unique_ptr<SpecEngine>> str_new(PyObject *default_value, PyObject *default_factory,
                                           PyObject *regex, bool is_noneable, bool frozen,
                                           std::uint8_t strict)
{
    // Compiled before the default is applied: a default must match it.
    Maybe<Ref> pattern = util::compile_regex(regex);
    if (!pattern) {
        return error;
    }
    return engine::build_base(type_obj(&PyUnicode_Type), StrKind{std::move(*pattern)}, default_value,
                              default_factory, nullptr, is_noneable, frozen, strict);
}

Maybe<std::unique_ptr<SpecEngine>> any_new(PyObject *default_value, PyObject *default_factory,
                                           PyObject *annotation, PyObject *transform, bool frozen,
                                           std::uint8_t strict)
{
    PyObject *object = util::builtin_object_type();
    if (object == nullptr) {
        return error;
    }
    return engine::build_base(object, AnyKind{Ref::borrow(annotation)}, default_value, default_factory,
                              transform, true, frozen, strict);
}

Maybe<std::unique_ptr<SpecEngine>> number_new(bool is_float, PyObject *default_value,
                                              PyObject *default_factory, const Bounds &bounds,
                                              bool is_noneable, bool frozen, std::uint8_t strict)
{
    const char *name = is_float ? "Float" : "Int";
    Maybe<std::pair<Ref, Ref>> normalized = normalize_bound_aliases(name, !is_float, bounds);
    if (!normalized) {
        return error;
    }
    auto &[min, max] = *normalized;
    if (min && max) {
        const Maybe<bool> inverted = compare_truth(min.get(), max.get(), Py_GT);
        if (!inverted) {
            return error;
        }
        if (*inverted) {
            return raise_format(PyExc_ValueError,
                                "\"max_value\" must be equal or greater than \"min_value\". "
                                "Encountered: min_value=%S, max_value=%S.",
                                min.get(), max.get());
        }
    }
    PyObject *vt = type_obj(is_float ? &PyFloat_Type : &PyLong_Type);
    return engine::build_base(vt, NumberKind{is_float, std::move(min), std::move(max)}, default_value,
                              default_factory, nullptr, is_noneable, frozen, strict);
}

namespace {

// ---- Bool ---------------------------------------------------------------------------------

TypeCell BOOL_TYPE, STR_TYPE, INT_TYPE, FLOAT_TYPE, ANY_TYPE;

const Signature BOOL_SIG{
    "Bool.__new__",
    {opt("default"), opt("default_factory"), opt("is_noneable"), opt("frozen"), opt("strict")}};

PyObject *bool_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(BOOL_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 0);
        Maybe<class_kit::Flags> f = class_kit::flags(b, 2, 3, 4);
        if (!f) {
            return error;
        }
        return base::wrap(cls, bool_new(d.get(), b.null_if_none(1), f->noneable, f->frozen, f->strict));
    });
}

const Signature FROM_JSON_SIG_BOOL{
    "Bool.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref bool_from_json(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed(FROM_JSON_SIG_BOOL.bind(a, b))) {
        return error;
    }
    Maybe<frame::JsonCommon> c = frame::read_json_common(b[0], b.varkw.get());
    if (!c) {
        return error;
    }
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      bool_new(c->default_value.get(), nullptr, c->is_noneable, c->frozen, c->strict));
}

PyMethodDef BOOL_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<bool_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef COMMON_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Str ------------------------------------------------------------------------------------

const Signature STR_SIG{
    "Str.__new__",
    {opt("default"), opt("default_factory"), opt("regex"), opt("is_noneable"), opt("frozen"), opt("strict")}};

PyObject *str_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(STR_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 0);
        Maybe<class_kit::Flags> f = class_kit::flags(b, 3, 4, 5);
        if (!f) {
            return error;
        }
        return base::wrap(
            cls, str_new(d.get(), b.null_if_none(1), b.null_if_none(2), f->noneable, f->frozen, f->strict));
    });
}

const Signature STR_FROM_JSON_SIG{"Str.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref str_from_json(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed(STR_FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    Maybe<frame::JsonCommon> c = frame::read_json_common(b[0], b.varkw.get());
    if (!c) {
        return error;
    }
    Maybe<Ref> regex = frame::json_field(b[0], "regex", b.varkw.get());
    if (!regex) {
        return error;
    }
    PyObject *r = null_if_none(regex->get());
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      str_new(c->default_value.get(), nullptr, r, c->is_noneable, c->frozen, c->strict));
}

const Signature STR_TYPE_ARGS_SIG{"Str.with_type_args", {arg("type_args")}, {.method = true}};

Ref str_with_type_args(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed(STR_TYPE_ARGS_SIG.bind(a, b))) {
        return error;
    }
    Ref args = util::as_type_args(b[0]);
    if (!args) {
        return error;
    }
    if (PyTuple_GET_SIZE(args.get()) != 1) {
        return raise_format(
            PyExc_TypeError,
            "`nv.typing.Str` requires 1 argument as the regular expression for matching the str value. "
            "Encountered: %R.",
            b[0]);
    }
    PyObject *regex = PyTuple_GET_ITEM(args.get(), 0);
    Ref d = util::missing_default();
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      str_new(d.get(), nullptr, null_if_none(regex), false, false, STRICT_UNSET));
}

Ref get_regex(SpecEngine &e)
{
    return none_if_null(e.kind.get<StrKind>()->regex);
}

PyMethodDef STR_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<str_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method<str_with_type_args>("with_type_args", "with_type_args($cls, type_args)\n--\n\n", METH_CLASS),
    method<str_with_type_args>("__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef STR_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"regex", kind_getter<get_regex>, nullptr, nullptr, nullptr},
    {"_regex", kind_getter<get_regex>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Int and Float ---------------------------------------------------------------------------

const Signature INT_SIG{
    "Int.__new__",
    {opt("default"), opt("default_factory"), opt("min_value"), opt("max_value"), opt("is_noneable"),
     opt("frozen"), opt("strict"), opt("gt"), opt("ge"), opt("lt"), opt("le")}};
const Signature FLOAT_SIG{
    "Float.__new__",
    {opt("default"), opt("default_factory"), opt("min_value"), opt("max_value"), opt("is_noneable"),
     opt("frozen"), opt("strict"), opt("gt"), opt("ge"), opt("lt"), opt("le")}};

template <bool IsFloat>
PyObject *number_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed((IsFloat ? FLOAT_SIG : INT_SIG).bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 0);
        Maybe<class_kit::Flags> f = class_kit::flags(b, 4, 5, 6);
        if (!f) {
            return error;
        }
        Bounds bounds{b.null_if_none(2), b.null_if_none(3), b.null_if_none(7),
                      b.null_if_none(8), b.null_if_none(9), b.null_if_none(10)};
        return base::wrap(
            cls, number_new(IsFloat, d.get(), b.null_if_none(1), bounds, f->noneable, f->frozen, f->strict));
    });
}

const Signature INT_FROM_JSON_SIG{"Int.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};
const Signature FLOAT_FROM_JSON_SIG{
    "Float.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

template <bool IsFloat>
Ref number_from_json(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed((IsFloat ? FLOAT_FROM_JSON_SIG : INT_FROM_JSON_SIG).bind(a, b))) {
        return error;
    }
    PyObject *json = b[0], *kwargs = b.varkw.get();
    Maybe<frame::JsonCommon> c = frame::read_json_common(json, kwargs);
    if (!c) {
        return error;
    }
    Ref fields[6];
    const char *keys[6] = {"min_value", "max_value", "gt", "ge", "lt", "le"};
    PyObject *given[6];
    for (int i = 0; i < 6; ++i) {
        Maybe<Ref> field = frame::json_field(json, keys[i], kwargs);
        if (!field) {
            return error;
        }
        fields[i] = std::move(*field);
        given[i] = null_if_none(fields[i].get());
    }
    Bounds bounds{given[0], given[1], given[2], given[3], given[4], given[5]};
    return base::wrap(
        reinterpret_cast<PyTypeObject *>(cls),
        number_new(IsFloat, c->default_value.get(), nullptr, bounds, c->is_noneable, c->frozen, c->strict));
}

const Signature INT_TYPE_ARGS_SIG{"Int.with_type_args", {arg("type_args")}, {.method = true}};
const Signature FLOAT_TYPE_ARGS_SIG{"Float.with_type_args", {arg("type_args")}, {.method = true}};

template <bool IsFloat>
Ref number_with_type_args(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed((IsFloat ? FLOAT_TYPE_ARGS_SIG : INT_TYPE_ARGS_SIG).bind(a, b))) {
        return error;
    }
    Ref args = util::as_type_args(b[0]);
    if (!args) {
        return error;
    }
    if (PyTuple_GET_SIZE(args.get()) != 2) {
        return raise_format(
            PyExc_TypeError,
            "`nv.typing.%s` requires 2 arguments as the min value and the max value for the field. "
            "Encountered: %R",
            IsFloat ? "Float" : "Int", b[0]);
    }
    Ref d = util::missing_default();
    PyObject *lo = PyTuple_GET_ITEM(args.get(), 0), *hi = PyTuple_GET_ITEM(args.get(), 1);
    Bounds bounds{null_if_none(lo), null_if_none(hi)};
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      number_new(IsFloat, d.get(), nullptr, bounds, false, false, STRICT_UNSET));
}

Ref get_min(SpecEngine &e)
{
    return none_if_null(e.kind.get<NumberKind>()->min);
}
Ref get_max(SpecEngine &e)
{
    return none_if_null(e.kind.get<NumberKind>()->max);
}

template <bool IsFloat>
PyMethodDef NUMBER_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<number_from_json<IsFloat>>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n",
                                      METH_CLASS),
    method<number_with_type_args<IsFloat>>("with_type_args", "with_type_args($cls, type_args)\n--\n\n",
                                           METH_CLASS),
    method<number_with_type_args<IsFloat>>("__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n",
                                           METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef NUMBER_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"min_value", kind_getter<get_min>, nullptr, nullptr, nullptr},
    {"_min_value", kind_getter<get_min>, nullptr, nullptr, nullptr},
    {"max_value", kind_getter<get_max>, nullptr, nullptr, nullptr},
    {"_max_value", kind_getter<get_max>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Any ---------------------------------------------------------------------------------------

const Signature ANY_SIG{"Any.__new__",
                        {opt("default"), opt("default_factory"), opt("annotation"), opt("transform"),
                         opt("frozen"), opt("strict")}};

PyObject *any_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(ANY_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 0);
        Ref annotation = frame::default_arg(b, 2);
        Maybe<class_kit::Flags> f = class_kit::flags(b, -1, 4, 5);
        if (!f) {
            return error;
        }
        return base::wrap(cls, any_new(d.get(), b.null_if_none(1), annotation.get(), b.null_if_none(3),
                                       f->frozen, f->strict));
    });
}

const Signature ANY_FROM_JSON_SIG{"Any.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref any_from_json(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed(ANY_FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    PyObject *json = b[0], *kwargs = b.varkw.get();
    Maybe<frame::JsonCommon> c = frame::read_json_common(json, kwargs);
    if (!c) {
        return error;
    }
    Maybe<Ref> annotation = frame::json_field(json, "annotation", kwargs);
    if (!annotation) {
        return error;
    }
    if (!*annotation) {
        *annotation = util::missing_default();
    }
    Maybe<Ref> transform = frame::json_field(json, "transform", kwargs);
    if (!transform) {
        return error;
    }
    PyObject *t = null_if_none(transform->get());
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      any_new(c->default_value.get(), nullptr, annotation->get(), t, c->frozen, c->strict));
}

const Signature ANNOTATE_SIG{"annotate", {arg("annotation")}, {.method = true}};

Ref any_annotate(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(base::check_live(self)) || failed(ANNOTATE_SIG.bind(a, b))) {
        return error;
    }
    // A conflict throws: this access cannot fail.
    ExclusiveBorrow w(base::as_spec(self)->borrow, OnConflict::Panic);
    SpecEngine &e = *base::as_spec(self)->engine;
    // Swap first, release the old annotation after the engine is consistent.
    Ref old = std::exchange(e.kind.get<AnyKind>()->annotation, Ref::borrow(b[0]));
    e.invalidate_repr();
    return Ref::borrow(self);
}

Ref get_annotation(SpecEngine &e)
{
    return Ref::borrow(e.kind.get<AnyKind>()->annotation.get());
}

PyMethodDef ANY_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<any_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method<any_annotate>("annotate",
                         "annotate($self, annotation)\n--\n\nReplace the annotation; return self."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ANY_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"_annotation", kind_getter<get_annotation>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- type specs ----------------------------------------------------------------------------------

NORV_SPEC_CLASS_SPEC(
    BOOL, "Bool",
    "Bool(default=..., default_factory=None, is_noneable=False, frozen=False, strict=None)\n--\n\n"
    "Value spec of a bool.",
    bool_tp_new, BOOL_METHODS, COMMON_GETSET, 0)
NORV_SPEC_CLASS_SPEC(STR, "Str",
                     "Str(default=..., default_factory=None, regex=None, is_noneable=False, frozen=False, "
                     "strict=None)\n--\n\nValue spec of a str, optionally matching a regular expression.",
                     str_tp_new, STR_METHODS, STR_GETSET, 0)
NORV_SPEC_CLASS_SPEC(
    INT, "Int",
    "Int(default=..., default_factory=None, min_value=None, max_value=None, is_noneable=False, "
    "frozen=False, strict=None, gt=None, ge=None, lt=None, le=None)\n--\n\n"
    "Value spec of an int within optional inclusive bounds.",
    number_tp_new<false>, NUMBER_METHODS<false>, NUMBER_GETSET, 0)
NORV_SPEC_CLASS_SPEC(
    FLOAT, "Float",
    "Float(default=..., default_factory=None, min_value=None, max_value=None, is_noneable=False, "
    "frozen=False, strict=None, gt=None, ge=None, lt=None, le=None)\n--\n\n"
    "Value spec of a float within optional inclusive bounds.",
    number_tp_new<true>, NUMBER_METHODS<true>, NUMBER_GETSET, 0)
NORV_SPEC_CLASS_SPEC(ANY, "Any",
                     "Any(default=..., default_factory=None, annotation=..., transform=None, frozen=False, "
                     "strict=None)\n--\n\nValue spec accepting any value.",
                     any_tp_new, ANY_METHODS, ANY_GETSET, 0)

}  // namespace

PyTypeObject *bool_type()
{
    return make(BOOL_TYPE, &BOOL_SPEC);
}
PyTypeObject *str_type()
{
    return make(STR_TYPE, &STR_SPEC);
}
PyTypeObject *int_type()
{
    return make(INT_TYPE, &INT_SPEC);
}
PyTypeObject *float_type()
{
    return make(FLOAT_TYPE, &FLOAT_SPEC);
}
PyTypeObject *any_type()
{
    return make(ANY_TYPE, &ANY_SPEC);
}

}  // namespace norv::typing::primitives
