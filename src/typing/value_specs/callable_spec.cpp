// Callable and Functor: callables described by the specs of their positional
// arguments, keyword arguments and return value. Both share one kind; its
// functor flag, not the Python class, decides the label, the JSON type and
// the annotation. Callable accepts Python subclasses, Functor does not.
#include "core/names.hpp"
#include "core/truth.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/class_kit.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::classes {

namespace {

using namespace class_kit;

// The argument specs: [] for a false `args`, else each item of the list converted.
Ref convert_args(PyObject *args)
{
    Ref out = Ref::steal(PyList_New(0));
    if (!out || args == nullptr) {
        return out;
    }
    const Maybe<bool> given = truth(args);
    if (!given) {
        return error;
    }
    if (!*given) {
        return out;
    }
    if (!PyList_Check(args)) {
        return raise_format(PyExc_TypeError, "'args' should be a list of ValueSpec objects. Encountered: %R.",
                            args);
    }
    Ref items = Ref::steal(PySequence_Tuple(args));
    if (!items) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        Ref spec = util::from_annotation(PyTuple_GET_ITEM(items.get(), i));
        if (!spec || PyList_Append(out.get(), spec.get()) < 0) {
            return error;
        }
    }
    return out;
}

// The keyword specs: every item's shape is checked before any is converted.
Ref convert_kw(PyObject *kw)
{
    Ref out = Ref::steal(PyList_New(0));
    if (!out || kw == nullptr) {
        return out;
    }
    const Maybe<bool> given = truth(kw);
    if (!given) {
        return error;
    }
    if (!*given) {
        return out;
    }
    auto refuse = [&] {
        return raise_format(PyExc_TypeError,
                            "'kw' should be a list of (name, value_spec) tuples. Encountered: %R.", kw);
    };
    if (!PyList_Check(kw)) {
        return refuse();
    }
    Ref items = Ref::steal(PySequence_Tuple(kw));
    if (!items) {
        return error;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(item, 0))) {
            return refuse();
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        Ref spec = util::from_annotation(PyTuple_GET_ITEM(item, 1));
        Ref pair = spec ? Ref::steal(PyTuple_Pack(2, PyTuple_GET_ITEM(item, 0), spec.get())) : Ref();
        if (!pair || PyList_Append(out.get(), pair.get()) < 0) {
            return error;
        }
    }
    return out;
}

}  // namespace

Maybe<std::unique_ptr<SpecEngine>> callable_base(PyObject *args, PyObject *kw, PyObject *returns,
                                                 PyObject *default_value, PyObject *default_factory,
                                                 PyObject *transform, PyObject *callable_type,
                                                 bool is_noneable, bool frozen, std::uint8_t strict,
                                                 bool is_functor)
{
    const bridge::TypingBridge &br = bridge::get();
    Ref arg_specs = convert_args(args);
    if (!arg_specs) {
        return error;
    }
    Ref kw_specs = convert_kw(kw);
    if (!kw_specs) {
        return error;
    }
    Ref return_spec;
    if (returns != nullptr) {
        return_spec = util::from_annotation(returns);
        if (!return_spec) {
            return error;
        }
    }
    PyObject *value_type = is_functor ? br.functor_cls : callable_type;
    return engine::build_base(
        value_type,
        CallableKind{is_functor, std::move(return_spec), std::move(arg_specs), std::move(kw_specs)},
        default_value, default_factory, transform, is_noneable, frozen, strict);
}

namespace {

TypeCell CALLABLE_TYPE, FUNCTOR_TYPE;

PyTypeObject *class_for(bool is_functor)
{
    return is_functor ? functor_type() : callable_type();
}

// ---- constructors ----------------------------------------------------------------------

const Signature CALLABLE_SIG{
    "Callable.__new__",
    {opt("args"), opt("kw"), opt("returns"), opt("default"), opt("default_factory"), opt("transform"),
     opt("callable_type"), opt("is_noneable"), opt("frozen"), opt("strict")}};

PyObject *callable_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(CALLABLE_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 3);
        Maybe<Flags> f = flags(b, 7, 8, 9);
        if (!f) {
            return error;
        }
        return base::wrap(cls, callable_base(b.null_if_none(0), b.null_if_none(1), b.null_if_none(2), d.get(),
                                             b.null_if_none(4), b.null_if_none(5), b.null_if_none(6),
                                             f->noneable, f->frozen, f->strict, false));
    });
}

const Signature FUNCTOR_SIG{"Functor.__new__",
                            {opt("args"), opt("kw"), opt("returns"), opt("default"), opt("default_factory"),
                             opt("transform"), opt("is_noneable"), opt("frozen"), opt("strict")}};

PyObject *functor_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(FUNCTOR_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 3);
        Maybe<Flags> f = flags(b, 6, 7, 8);
        if (!f) {
            return error;
        }
        return base::wrap(cls, callable_base(b.null_if_none(0), b.null_if_none(1), b.null_if_none(2), d.get(),
                                             b.null_if_none(4), b.null_if_none(5), nullptr, f->noneable,
                                             f->frozen, f->strict, true));
    });
}

// ---- copies: always the defining class, never a Python subclass --------------------------

template <bool IsFunctor>
Ref callable_copy(PyObject *self)
{
    base::SelfRead r(self);
    if (r.failed()) {
        return error;
    }
    return base::wrap(class_for(IsFunctor), r.engine().shallow_clone(true));
}

template <bool IsFunctor>
Ref callable_deepcopy(PyObject *self, FastArgs a)
{
    static const Signature sig{"__deepcopy__", {arg("_memo")}, {.method = true}};
    Bound bound;
    if (failed(sig.bind(a, bound))) {
        return error;
    }
    base::SelfRead r(self);
    if (r.failed()) {
        return error;
    }
    Maybe<std::unique_ptr<SpecEngine>> copy = r.engine().deep_clone();
    if (!copy) {
        return error;
    }
    return base::wrap(class_for(IsFunctor), std::move(*copy));
}

// Inherited by Functor: a transformed Functor answers a plain Callable that
// keeps the functor flag.
PyObject *callable_skip_user_transform(PyObject *self, void *)
{
    return guard([&]() -> Ref {
        base::SelfRead r(self);
        if (r.failed()) {
            return error;
        }
        SpecEngine &e = r.engine();
        if (!e.transform) {
            return Ref::borrow(self);
        }
        return base::wrap(callable_type(), e.shallow_clone(false));
    });
}

// ---- from_json ---------------------------------------------------------------------------

template <bool IsFunctor>
Ref callable_from_json(PyObject *, FastArgs a)
{
    static const Signature sig{IsFunctor ? "Functor.from_json" : "Callable.from_json",
                               {arg("json_value")},
                               {.var_kwargs = true, .method = true}};
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    PyObject *json = b[0], *kwargs = b.varkw.get();
    Maybe<frame::JsonCommon> c = frame::read_json_common(json, kwargs);
    if (!c) {
        return error;
    }
    const char *keys[] = {"args", "kw", "returns", "transform", "callable_type"};
    Ref fields[5];
    for (int i = 0; i < (IsFunctor ? 4 : 5); ++i) {
        Maybe<Ref> field = frame::json_field(json, keys[i], kwargs);
        if (!field) {
            return error;
        }
        fields[i] = std::move(*field);
    }
    return base::wrap(class_for(IsFunctor),
                      callable_base(null_if_none(fields[0].get()), null_if_none(fields[1].get()),
                                    null_if_none(fields[2].get()), c->default_value.get(), nullptr,
                                    null_if_none(fields[3].get()), null_if_none(fields[4].get()),
                                    c->is_noneable, c->frozen, c->strict, IsFunctor));
}

// ---- type arguments ------------------------------------------------------------------------

// (args object, return annotation) from Cls[args, returns].
Maybe<std::pair<Ref, Ref>> parse_callable_type_args(PyObject *cls, PyObject *type_args)
{
    Ref args = util::as_type_args(type_args);
    if (!args) {
        return error;
    }
    if (PyTuple_GET_SIZE(args.get()) != 2) {
        Ref name = attr<"__name__">(cls);
        if (!name) {
            return error;
        }
        return raise_format(PyExc_TypeError, "`nv.typing.%S` requires 2 type arguments. Encountered: %S",
                            name.get(), args.get());
    }
    PyObject *first = PyTuple_GET_ITEM(args.get(), 0), *second = PyTuple_GET_ITEM(args.get(), 1);
    Ref arg_obj;
    if (PyList_Check(first) || PyTuple_Check(first)) {
        arg_obj = Ref::borrow(first);
    }
    else if (first == Py_Ellipsis) {
        arg_obj = Ref::steal(PyList_New(0));
    }
    else {
        arg_obj = Ref::steal(PyList_New(1));
        if (arg_obj) {
            PyList_SET_ITEM(arg_obj.get(), 0, Py_NewRef(first));
        }
    }
    if (!arg_obj) {
        return error;
    }
    Ref returns = Ref::borrow(second == Py_None ? reinterpret_cast<PyObject *>(Py_TYPE(Py_None)) : second);
    return std::pair<Ref, Ref>{std::move(arg_obj), std::move(returns)};
}

template <bool IsFunctor>
Ref callable_with_type_args_impl(PyObject *cls, FastArgs a)
{
    static const Signature sig{IsFunctor ? "Functor.with_type_args" : "Callable.with_type_args",
                               {arg("type_args")},
                               {.method = true}};
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    Maybe<std::pair<Ref, Ref>> parsed = parse_callable_type_args(cls, b[0]);
    if (!parsed) {
        return error;
    }
    Ref d = util::missing_default();
    return base::wrap(class_for(IsFunctor),
                      callable_base(parsed->first.get(), nullptr, parsed->second.get(), d.get(), nullptr,
                                    nullptr, nullptr, false, false, STRICT_UNSET, IsFunctor));
}

template <bool IsFunctor>
Ref callable_class_getitem(PyObject *cls, FastArgs a)
{
    Ref spec = callable_with_type_args_impl<IsFunctor>(cls, a);
    if (!spec) {
        return error;
    }
    return util::generic_getitem_result(spec.get());
}

// ---- getters -------------------------------------------------------------------------------

Ref get_args(SpecEngine &e)
{
    return Ref::borrow(e.kind.get<CallableKind>()->args.get());
}
Ref get_kw(SpecEngine &e)
{
    return Ref::borrow(e.kind.get<CallableKind>()->kw.get());
}
Ref get_return_value(SpecEngine &e)
{
    return none_if_null(e.kind.get<CallableKind>()->returns);
}

#define NORV_CALLABLE_METHODS(IS_FUNCTOR)                                                                    \
    {                                                                                                        \
        NORV_SPEC_APPLY_METHOD,                                                                              \
        method_noargs<callable_copy<IS_FUNCTOR>>("__copy__", "__copy__($self)\n--\n\n"),                     \
        method<callable_deepcopy<IS_FUNCTOR>>("__deepcopy__", "__deepcopy__($self, _memo)\n--\n\n"),         \
        method<callable_from_json<IS_FUNCTOR>>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", \
                                               METH_CLASS),                                                  \
        method<callable_with_type_args_impl<IS_FUNCTOR>>(                                                    \
            "with_type_args", "with_type_args($cls, type_args)\n--\n\n", METH_CLASS),                        \
        method<callable_class_getitem<IS_FUNCTOR>>(                                                          \
            "__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n", METH_CLASS),                  \
        {nullptr, nullptr, 0, nullptr},                                                                      \
    }

PyMethodDef CALLABLE_METHODS[] = NORV_CALLABLE_METHODS(false);
PyMethodDef FUNCTOR_METHODS[] = NORV_CALLABLE_METHODS(true);

#undef NORV_CALLABLE_METHODS

PyGetSetDef CALLABLE_GETSET[] = {
    {"skip_user_transform", callable_skip_user_transform, nullptr, nullptr, nullptr},
    {"args", kind_getter<get_args>, nullptr, const_cast<char *>("Value specs for positional arguments."),
     nullptr},
    {"kw", kind_getter<get_kw>, nullptr, const_cast<char *>("Names and value specs for keyword arguments."),
     nullptr},
    {"return_value", kind_getter<get_return_value>, nullptr,
     const_cast<char *>("Value spec for the return value, or `None`."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef FUNCTOR_GETSET[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

NORV_SPEC_CLASS_SPEC(
    CALLABLE, "Callable",
    "Callable(args=None, kw=None, returns=None, default=..., default_factory=None, transform=None, "
    "callable_type=None, is_noneable=False, frozen=False, strict=None)\n--\n\n"
    "Value spec of a callable, described by its arguments and return value.",
    callable_tp_new, CALLABLE_METHODS, CALLABLE_GETSET, Py_TPFLAGS_BASETYPE)
NORV_SPEC_CLASS_SPEC(
    FUNCTOR, "Functor",
    "Functor(args=None, kw=None, returns=None, default=..., default_factory=None, transform=None, "
    "is_noneable=False, frozen=False, strict=None)\n--\n\n"
    "Value spec of a functor: a Callable whose value type is the host's functor class.",
    functor_tp_new, FUNCTOR_METHODS, FUNCTOR_GETSET, 0)

// Functor derives from Callable.
PyObject *functor_bases()
{
    static ObjectCell BASES;
    return BASES.get_or_init([]() -> Ref {
        PyTypeObject *callable = callable_type();
        if (callable == nullptr) {
            return error;
        }
        return Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(callable)));
    });
}

}  // namespace

PyTypeObject *callable_type()
{
    return make(CALLABLE_TYPE, &CALLABLE_SPEC);
}

PyTypeObject *functor_type()
{
    PyObject *bases = functor_bases();
    if (bases == nullptr) {
        return nullptr;
    }
    return make(FUNCTOR_TYPE, &FUNCTOR_SPEC, bases);
}

}  // namespace norv::typing::classes
