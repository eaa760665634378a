// Enum: a value drawn from a fixed list of candidates.
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/class_kit.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::classes {

namespace {

using namespace class_kit;

// The most general class of the values (None skipped), `str` for any str
// subclass, or an empty Ref when two values have unrelated classes.
Maybe<Ref> values_type(PyObject *values)
{
    Ref current;
    // Indexed reads with the size checked each time: issubclass may run a
    // metaclass hook that changes the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        Ref v = Ref::borrow(PyList_GET_ITEM(values, i));
        if (v.get() == Py_None) {
            continue;
        }
        PyObject *t = reinterpret_cast<PyObject *>(Py_TYPE(v.get()));
        if (!current) {
            current = Ref::borrow(t);
            continue;
        }
        const int wider = PyObject_IsSubclass(current.get(), t);
        if (wider < 0) {
            return error;
        }
        if (wider) {
            current = Ref::borrow(t);
            continue;
        }
        const int narrower = PyObject_IsSubclass(t, current.get());
        if (narrower < 0) {
            return error;
        }
        if (!narrower) {
            return Ref();
        }
    }
    if (current) {
        const int is_str = PyObject_IsSubclass(current.get(), reinterpret_cast<PyObject *>(&PyUnicode_Type));
        if (is_str < 0) {
            return error;
        }
        if (is_str) {
            current = Ref::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
        }
    }
    return current;
}

}  // namespace

Maybe<std::unique_ptr<SpecEngine>> enum_new(PyObject *values, PyObject *default_value,
                                            PyObject *default_factory, bool frozen, std::uint8_t strict)
{
    if (!PyList_Check(values) || PyList_GET_SIZE(values) == 0) {
        return raise_format(PyExc_ValueError, "Values for Enum should be a non-empty list. Found %R.",
                            values);
    }
    Ref held = Ref::borrow(values);
    const Maybe<bool> missing = bridge::is_missing(default_value);
    if (!missing) {
        return error;
    }
    if (!*missing) {
        const int found = PySequence_Contains(values, default_value);
        if (found < 0) {
            return error;
        }
        if (!found) {
            return raise_format(PyExc_ValueError, "Enum default value %R is not in candidate list %R.",
                                default_value, values);
        }
    }
    Maybe<Ref> vt = values_type(values);
    if (!vt) {
        return error;
    }
    bool noneable = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values) && !noneable; ++i) {
        noneable = PyList_GET_ITEM(values, i) == Py_None;
    }
    return engine::build_base(vt->get(), EnumKind{Ref::borrow(values)}, default_value, default_factory,
                              nullptr, noneable, frozen, strict);
}

namespace {

TypeCell ENUM_TYPE;

const Signature ENUM_SIG{
    "Enum.__new__", {arg("values"), opt("default"), opt("default_factory"), opt("frozen"), opt("strict")}};

PyObject *enum_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(ENUM_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 1);
        Maybe<Flags> f = flags(b, -1, 3, 4);
        if (!f) {
            return error;
        }
        return base::wrap(cls, enum_new(b[0], d.get(), b.null_if_none(2), f->frozen, f->strict));
    });
}

const Signature ENUM_FROM_JSON_SIG{
    "Enum.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref enum_from_json(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed(ENUM_FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    Maybe<frame::JsonCommon> c = frame::read_json_common(b[0], b.varkw.get());
    if (!c) {
        return error;
    }
    Ref values = required_json_field(b[0], "values", b.varkw.get(), "Enum json missing 'values'.");
    if (!values) {
        return error;
    }
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      enum_new(values.get(), c->default_value.get(), nullptr, c->frozen, c->strict));
}

const Signature ENUM_TYPE_ARGS_SIG{"Enum.with_type_args", {arg("type_args")}, {.method = true}};

Ref enum_with_type_args(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed(ENUM_TYPE_ARGS_SIG.bind(a, b))) {
        return error;
    }
    Ref args = util::as_type_args(b[0]);
    if (!args) {
        return error;
    }
    if (PyTuple_GET_SIZE(args.get()) < 2) {
        return raise_format(PyExc_TypeError,
                            "`nv.typing.Enum` requires at least 2 arguments as the candidate values for the "
                            "enum Encountered: %R",
                            b[0]);
    }
    Ref values = Ref::steal(PySequence_List(args.get()));
    if (!values) {
        return error;
    }
    Ref d = util::missing_default();
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      enum_new(values.get(), d.get(), nullptr, false, STRICT_UNSET));
}

Ref get_values(SpecEngine &e)
{
    return Ref::borrow(e.kind.get<EnumKind>()->values.get());
}

PyMethodDef ENUM_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<enum_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method<enum_with_type_args>("with_type_args", "with_type_args($cls, type_args)\n--\n\n", METH_CLASS),
    method<enum_with_type_args>("__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n",
                                METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ENUM_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"values", kind_getter<get_values>, nullptr, nullptr, nullptr},
    {"_values", kind_getter<get_values>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

NORV_SPEC_CLASS_SPEC(ENUM, "Enum",
                     "Enum(values, default=..., default_factory=None, frozen=False, strict=None)\n--\n\n"
                     "Value spec of a value drawn from a list of candidates.",
                     enum_tp_new, ENUM_METHODS, ENUM_GETSET, 0)

}  // namespace

PyTypeObject *enum_type()
{
    return make(ENUM_TYPE, &ENUM_SPEC);
}

}  // namespace norv::typing::classes
