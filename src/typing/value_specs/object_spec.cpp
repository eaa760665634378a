// Object: instances of a class given directly, by name (a forward reference
// the host resolves later), or as a generic alias.
#include "core/names.hpp"
#include "core/truth.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/class_kit.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::classes {

namespace {

using namespace class_kit;

// An optional attribute whose failed read counts as absent (an empty Ref).
Maybe<Ref> lenient_getattr(PyObject *o, const char *name)
{
    Ref v = getattr(o, name);
    if (!v && failed(discard_ordinary_error())) {
        return error;
    }
    return v;
}

}  // namespace

Maybe<std::unique_ptr<SpecEngine>> object_new(PyObject *t, PyObject *default_value, PyObject *default_factory,
                                              PyObject *transform, bool is_noneable, bool frozen,
                                              std::uint8_t strict)
{
    if (t == Py_None) {
        return raise(PyExc_TypeError, "\"cls\" for Object spec cannot be None.");
    }
    const bridge::TypingBridge &br = bridge::get();
    Ref forward_ref, value_type;
    const int is_ref = PyObject_IsInstance(t, br.forward_ref_cls);
    if (is_ref < 0) {
        return error;
    }
    if (is_ref) {
        forward_ref = Ref::borrow(t);
        value_type = Ref::borrow(t);
    }
    else if (PyUnicode_Check(t)) {
        forward_ref = Ref::steal(PyObject_CallOneArg(br.make_forward_ref, t));
        if (!forward_ref) {
            return error;
        }
        value_type = Ref::borrow(t);
    }
    else {
        const int is_class = PyObject_IsInstance(t, reinterpret_cast<PyObject *>(&PyType_Type));
        if (is_class < 0) {
            return error;
        }
        if (is_class) {
            PyObject *object = util::builtin_object_type();
            if (object == nullptr) {
                return error;
            }
            if (t == object) {
                return raise(PyExc_TypeError, "<class 'object'> is too general for Object spec.");
            }
            value_type = Ref::borrow(t);
        }
        else {
            Maybe<Ref> flag = lenient_getattr(t, "__no_type_check__");
            if (!flag) {
                return error;
            }
            const Maybe<bool> no_type_check = truth_or(flag->get(), false);
            if (!no_type_check) {
                return error;
            }
            if (*no_type_check) {
                PyObject *object = util::builtin_object_type();
                if (object == nullptr) {
                    return error;
                }
                value_type = Ref::borrow(object);
            }
            else {
                const Maybe<bool> generic = bridge::call_is_generic(t);
                if (!generic) {
                    return error;
                }
                if (!*generic) {
                    return raise_format(PyExc_TypeError,
                                        "\"cls\" for Object spec should be a type or str. Encountered: %R.",
                                        t);
                }
                value_type = Ref::borrow(t);
            }
        }
    }
    return engine::build_base(value_type.get(), ObjectKind{std::move(forward_ref)}, default_value,
                              default_factory, transform, is_noneable, frozen, strict);
}

Maybe<Ref> object_accept(PyObject *cls, PyObject *value, bool allow_partial)
{
    if (reinterpret_cast<PyObject *>(Py_TYPE(value)) != cls) {
        return Ref();
    }
    if (allow_partial) {
        return Ref::borrow(value);
    }
    const Maybe<bool> marked = bridge::is_maybe_partial(cls);
    if (!marked) {
        return error;
    }
    if (*marked) {
        const Maybe<bool> partial = bridge::read_sym_partial(value);
        if (!partial) {
            return error;
        }
        if (*partial) {
            return Ref();
        }
    }
    return Ref::borrow(value);
}

Ref object_apply_kind(PyObject *value, bool allow_partial, engine::PathText &path)
{
    const Maybe<bool> marked = bridge::is_maybe_partial(reinterpret_cast<PyObject *>(Py_TYPE(value)));
    if (!marked) {
        return error;
    }
    if (allow_partial || !*marked) {
        return Ref::borrow(value);
    }
    Maybe<bool> partial = truth_attr<"sym_partial">(value);
    if (!partial) {
        return error;
    }
    if (!*partial) {
        return Ref::borrow(value);
    }
    Ref text = Ref::steal(PyUnicode_FromFormat("Object %S is not fully bound.", value));
    PyObject *path_text = text ? path.get() : nullptr;
    if (path_text == nullptr) {
        return error;
    }
    Ref message = bridge::message_on_path(text.get(), path_text);
    if (!message) {
        return error;
    }
    PyErr_SetObject(PyExc_ValueError, message.get());
    return error;
}

namespace {

TypeCell OBJECT_TYPE;

const Signature OBJECT_SIG{"Object.__new__",
                           {arg("t"), opt("default"), opt("default_factory"), opt("transform"),
                            opt("is_noneable"), opt("frozen"), opt("strict")}};

PyObject *object_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(OBJECT_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 1);
        Maybe<Flags> f = flags(b, 4, 5, 6);
        if (!f) {
            return error;
        }
        return base::wrap(cls, object_new(b[0], d.get(), b.null_if_none(2), b.null_if_none(3), f->noneable,
                                          f->frozen, f->strict));
    });
}

const Signature OBJECT_FROM_JSON_SIG{
    "Object.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref object_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(OBJECT_FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    PyObject *json = b[0], *kwargs = b.varkw.get();
    Maybe<frame::JsonCommon> c = frame::read_json_common(json, kwargs);
    if (!c) {
        return error;
    }
    Ref t = required_json_field(json, "t", kwargs, "Object json missing 't'.");
    if (!t) {
        return error;
    }
    Maybe<Ref> transform = frame::json_field(json, "transform", kwargs);
    if (!transform) {
        return error;
    }
    return base::wrap(object_type(),
                      object_new(t.get(), c->default_value.get(), nullptr, null_if_none(transform->get()),
                                 c->is_noneable, c->frozen, c->strict));
}

const Signature OBJECT_TYPE_ARGS_SIG{"Object.with_type_args", {arg("type_args")}, {.method = true}};

Ref object_with_type_args(FastArgs a)
{
    Bound b;
    if (failed(OBJECT_TYPE_ARGS_SIG.bind(a, b))) {
        return error;
    }
    Ref args = util::as_type_args(b[0]);
    if (!args) {
        return error;
    }
    if (PyTuple_GET_SIZE(args.get()) != 1) {
        return raise_format(PyExc_TypeError, "`nv.typing.Object` requires 1 type argument. Encountered: %S",
                            b[0]);
    }
    Ref d = util::missing_default();
    return base::wrap(object_type(), object_new(PyTuple_GET_ITEM(args.get(), 0), d.get(), nullptr, nullptr,
                                                false, false, STRICT_UNSET));
}

Ref object_with_type_args_method(PyObject *, FastArgs a)
{
    return object_with_type_args(a);
}

Ref object_class_getitem(PyObject *, FastArgs a)
{
    Ref spec = object_with_type_args(a);
    if (!spec) {
        return error;
    }
    return util::generic_getitem_result(spec.get());
}

Ref get_cls(SpecEngine &e)
{
    Maybe<Ref> cls = engine::value_type_obj(e);
    if (!cls) {
        return error;
    }
    return none_if_null(*cls);
}

Ref get_schema(SpecEngine &e)
{
    Ref cls = get_cls(e);
    if (!cls) {
        return error;
    }
    Maybe<Ref> schema = lenient_getattr(cls.get(), "__schema__");
    if (!schema) {
        return error;
    }
    return *schema ? std::move(*schema) : none();
}

PyMethodDef OBJECT_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<object_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method<object_with_type_args_method>("with_type_args", "with_type_args($cls, type_args)\n--\n\n",
                                         METH_CLASS),
    method<object_class_getitem>("__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n",
                                 METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef OBJECT_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"cls", kind_getter<get_cls>, nullptr, const_cast<char *>("The (resolved) class of this Object spec."),
     nullptr},
    {"schema", kind_getter<get_schema>, nullptr,
     const_cast<char *>("`getattr(self.value_type, '__schema__', None)`."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

NORV_SPEC_CLASS_SPEC(OBJECT, "Object",
                     "Object(t, default=..., default_factory=None, transform=None, is_noneable=False, "
                     "frozen=False, strict=None)\n--\n\nValue spec of an instance of a class.",
                     object_tp_new, OBJECT_METHODS, OBJECT_GETSET, 0)

}  // namespace

PyTypeObject *object_type()
{
    return make(OBJECT_TYPE, &OBJECT_SPEC);
}

}  // namespace norv::typing::classes
