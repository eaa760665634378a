// Type: values that are classes, subclasses of a type given directly or by
// name (a forward reference the host resolves later).
#include "core/names.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/class_kit.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::classes {

namespace {

using namespace class_kit;

PyObject *type_obj(PyTypeObject *t) noexcept
{
    return reinterpret_cast<PyObject *>(t);
}

}  // namespace

Maybe<std::unique_ptr<SpecEngine>> type_new(PyObject *t, PyObject *default_value, PyObject *default_factory,
                                            bool is_noneable, bool frozen, std::uint8_t strict)
{
    Ref forward_ref;
    if (PyUnicode_Check(t)) {
        forward_ref = Ref::steal(PyObject_CallOneArg(bridge::get().make_forward_ref, t));
        if (!forward_ref) {
            return error;
        }
    }
    else {
        Ref typing = Ref::steal(PyImport_ImportModule("typing"));
        Ref any = typing ? getattr(typing.get(), "Any") : Ref();
        if (!any) {
            return error;
        }
        Maybe<bool> accepted = predicate(PyObject_IsInstance(t, type_obj(&PyType_Type)));
        if (accepted && !*accepted) {
            accepted = bridge::call_is_generic(t);
        }
        if (!accepted) {
            return error;
        }
        if (!*accepted && t != any.get()) {
            return raise_format(PyExc_TypeError, "%R is not a type.", t);
        }
    }
    return engine::build_base(type_obj(&PyType_Type), TypeKind{Ref::borrow(t), std::move(forward_ref)},
                              default_value, default_factory, nullptr, is_noneable, frozen, strict);
}

namespace {

TypeCell TYPE_TYPE;

const Signature TYPE_SIG{
    "Type.__new__",
    {arg("t"), opt("default"), opt("default_factory"), opt("is_noneable"), opt("frozen"), opt("strict")}};

PyObject *type_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(TYPE_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 1);
        Maybe<Flags> f = flags(b, 3, 4, 5);
        if (!f) {
            return error;
        }
        return base::wrap(cls, type_new(b[0], d.get(), b.null_if_none(2), f->noneable, f->frozen, f->strict));
    });
}

const Signature TYPE_FROM_JSON_SIG{
    "Type.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref type_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(TYPE_FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    Maybe<frame::JsonCommon> c = frame::read_json_common(b[0], b.varkw.get());
    if (!c) {
        return error;
    }
    Ref t = required_json_field(b[0], "t", b.varkw.get(), "Type json missing 't'.");
    if (!t) {
        return error;
    }
    return base::wrap(type_type(), type_new(t.get(), c->default_value.get(), nullptr, c->is_noneable,
                                            c->frozen, c->strict));
}

const Signature TYPE_TYPE_ARGS_SIG{"Type.with_type_args", {arg("type_args")}, {.method = true}};

Ref type_with_type_args(FastArgs a)
{
    Bound b;
    if (failed(TYPE_TYPE_ARGS_SIG.bind(a, b))) {
        return error;
    }
    Ref args = util::as_type_args(b[0]);
    if (!args) {
        return error;
    }
    if (PyTuple_GET_SIZE(args.get()) != 1) {
        return raise_format(PyExc_TypeError, "`nv.typing.Type` requires 1 type argument. Encountered: %S.",
                            b[0]);
    }
    Ref d = util::missing_default();
    return base::wrap(
        type_type(), type_new(PyTuple_GET_ITEM(args.get(), 0), d.get(), nullptr, false, false, STRICT_UNSET));
}

Ref type_with_type_args_method(PyObject *, FastArgs a)
{
    return type_with_type_args(a);
}

Ref type_class_getitem(PyObject *, FastArgs a)
{
    Ref spec = type_with_type_args(a);
    if (!spec) {
        return error;
    }
    return util::generic_getitem_result(spec.get());
}

Ref get_type(SpecEngine &e)
{
    const TypeKind *t = e.kind.get<TypeKind>();
    if (t->forward_ref) {
        return attr<"cls">(t->forward_ref.get());
    }
    return Ref::borrow(t->t.get());
}

PyMethodDef TYPE_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<type_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method<type_with_type_args_method>("with_type_args", "with_type_args($cls, type_args)\n--\n\n",
                                       METH_CLASS),
    method<type_class_getitem>("__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef TYPE_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"type", kind_getter<get_type>, nullptr,
     const_cast<char *>("The desired type (resolving a forward ref)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

NORV_SPEC_CLASS_SPEC(
    TYPE, "Type",
    "Type(t, default=..., default_factory=None, is_noneable=False, frozen=False, strict=None)"
    "\n--\n\nValue spec of a class: a subclass of the given type.",
    type_tp_new, TYPE_METHODS, TYPE_GETSET, 0)

}  // namespace

PyTypeObject *type_type()
{
    return make(TYPE_TYPE, &TYPE_SPEC);
}

}  // namespace norv::typing::classes
