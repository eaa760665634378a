// Tuple: a fixed-length tuple with one element spec per position, or a
// variable-length one whose items share one element spec within size bounds.
#include "typing/value_specs/services.hpp"
#include "typing/value_specs/containers.hpp"
#include "typing/value_specs/class_kit.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::containers {

using namespace class_kit;

namespace {

Ref make_tuple_key(PyObject *index)
{
    PyTypeObject *tp = key_specs::tuple_key_type();
    if (tp == nullptr) {
        return error;
    }
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(tp), index));
}

// One field per spec of `specs` (a list), keyed by position.
Ref fixed_fields(PyObject *specs)
{
    const Py_ssize_t n = PyList_GET_SIZE(specs);
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index) {
            return error;
        }
        Ref key = make_tuple_key(index.get());
        Ref description = Ref::steal(PyUnicode_FromFormat("Field of tuple element at %zd", i));
        if (!key || !description) {
            return error;
        }
        Ref field = make_field(key.get(), PyList_GET_ITEM(specs, i), description.get());
        if (!field || PyList_Append(out.get(), field.get()) < 0) {
            return error;
        }
    }
    return out;
}

}  // namespace

Maybe<std::unique_ptr<SpecEngine>> tuple_new(PyObject *element_values, PyObject *default_value,
                                             PyObject *default_factory, Sizes sizes, PyObject *transform,
                                             bool is_noneable, bool frozen, std::uint8_t strict)
{
    if (failed(normalize_size_aliases("Tuple", sizes))) {
        return error;
    }
    bool fixed = false;
    std::int64_t min_size = 0;
    OptInt max_size;
    Ref elements;
    if (PyList_Check(element_values) || PyTuple_Check(element_values)) {
        Ref items = Ref::steal(PySequence_List(element_values));
        if (!items) {
            return error;
        }
        const Py_ssize_t n = PyList_GET_SIZE(items.get());
        if (n == 0) {
            return raise(PyExc_ValueError, "Argument 'element_values' must be a non-empty list.");
        }
        if (sizes.size || sizes.min_size || sizes.max_size) {
            return raise_format(
                PyExc_ValueError,
                "\"size\", \"min_size\" and \"max_size\" are not applicable for fixed-length Tuple "
                "with elements: %R",
                element_values);
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref spec = util::from_annotation(PyList_GET_ITEM(items.get(), i));
            if (!spec || PyList_SetItem(items.get(), i, spec.release()) < 0) {
                return error;
            }
        }
        elements = fixed_fields(items.get());
        fixed = true;
        min_size = n;
        max_size = n;
    }
    else {
        Ref spec = util::from_annotation(element_values);
        if (!spec || failed(resolve_sizes(sizes, true))) {
            return error;
        }
        min_size = *sizes.min_size;
        max_size = sizes.max_size;
        if (max_size && *max_size == min_size) {
            Ref specs = Ref::steal(PyList_New(0));
            if (!specs) {
                return error;
            }
            for (std::int64_t i = 0; i < min_size; ++i) {
                if (PyList_Append(specs.get(), spec.get()) < 0) {
                    return error;
                }
            }
            elements = fixed_fields(specs.get());
            fixed = true;
        }
        else {
            Ref key = make_tuple_key(Py_None);
            Ref description = new_str("Field of variable-length tuple element");
            if (!key || !description) {
                return error;
            }
            Ref field = make_field(key.get(), spec.get(), description.get());
            if (!field) {
                return error;
            }
            elements = Ref::steal(PyList_New(0));
            if (!elements || PyList_Append(elements.get(), field.get()) < 0) {
                return error;
            }
        }
    }
    if (!elements) {
        return error;
    }
    return engine::build_base(reinterpret_cast<PyObject *>(&PyTuple_Type),
                              TupleKind{fixed, min_size, std::move(elements), max_size}, default_value,
                              default_factory, transform, is_noneable, frozen, strict);
}

namespace {

TypeCell TUPLE_TYPE;

const Signature TUPLE_SIG{"Tuple.__new__",
                          {arg("element_values"), opt("default"), opt("default_factory"), opt("min_size"),
                           opt("max_size"), opt("size"), opt("transform"), opt("is_noneable"), opt("frozen"),
                           opt("strict"), kwopt("min_length"), kwopt("max_length")}};

PyObject *tuple_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return container_tp_new(cls, args, kwargs, TUPLE_SIG, tuple_new);
}

const Signature TUPLE_FROM_JSON_SIG{
    "Tuple.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref tuple_from_json(PyObject *cls, FastArgs a)
{
    return container_from_json(cls, TUPLE_FROM_JSON_SIG, a, "element_values",
                               "Tuple json missing 'element_values'.", tuple_new);
}

const Signature TUPLE_TYPE_ARGS_SIG{"Tuple.with_type_args", {arg("type_args")}, {.method = true}};

Ref tuple_with_type_args(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed(TUPLE_TYPE_ARGS_SIG.bind(a, b))) {
        return error;
    }
    Ref args = util::as_type_args(b[0]);
    if (!args) {
        return error;
    }
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    Ref ellipsis = builtins ? getattr(builtins.get(), "Ellipsis") : Ref();
    Ref d = ellipsis ? util::missing_default() : Ref();
    if (!d) {
        return error;
    }
    PyObject *elements = args.get();
    Ref spec;
    if (PyTuple_GET_SIZE(args.get()) == 2 && PyTuple_GET_ITEM(args.get(), 1) == ellipsis.get()) {
        spec = util::from_annotation(PyTuple_GET_ITEM(args.get(), 0));
        if (!spec) {
            return error;
        }
        elements = spec.get();
    }
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      tuple_new(elements, d.get(), nullptr, Sizes{}, nullptr, false, false, STRICT_UNSET));
}

Ref tuple_class_getitem(PyObject *cls, FastArgs a)
{
    Ref spec = tuple_with_type_args(cls, a);
    return spec ? util::generic_getitem_result(spec.get()) : Ref();
}

Ref get_elements(SpecEngine &e)
{
    return Ref::borrow(e.kind.get<TupleKind>()->elements.get());
}
Ref get_fixed_length(SpecEngine &e)
{
    return new_bool(e.kind.get<TupleKind>()->fixed_length);
}
Ref get_min_size(SpecEngine &e)
{
    return new_int(e.kind.get<TupleKind>()->min_size);
}
Ref get_max_size(SpecEngine &e)
{
    const OptInt &m = e.kind.get<TupleKind>()->max_size;
    return m ? new_int(*m) : none();
}

Py_ssize_t tuple_length(PyObject *self)
{
    return guard_int<Py_ssize_t>([&]() -> Py_ssize_t {
        base::SelfRead r(self);
        if (r.failed()) {
            return -1;
        }
        const TupleKind *t = r.engine().kind.get<TupleKind>();
        if (!t->fixed_length) {
            return 0;
        }
        return PyObject_Length(t->elements.get());
    });
}

PyMethodDef TUPLE_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<tuple_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method<tuple_with_type_args>("with_type_args", "with_type_args($cls, type_args)\n--\n\n", METH_CLASS),
    method<tuple_class_getitem>("__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n",
                                METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef TUPLE_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"elements", kind_getter<get_elements>, nullptr, nullptr, nullptr},
    {"fixed_length", kind_getter<get_fixed_length>, nullptr, nullptr, nullptr},
    {"min_size", kind_getter<get_min_size>, nullptr, nullptr, nullptr},
    {"max_size", kind_getter<get_max_size>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot TUPLE_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char *>("Tuple(element_values, default=..., default_factory=None, min_size=None, "
                        "max_size=None, size=None, transform=None, is_noneable=False, frozen=False, "
                        "strict=None, *, min_length=None, max_length=None)\n--\n\n"
                        "Value spec of a fixed- or variable-length tuple.")},
    {Py_tp_new, reinterpret_cast<void *>(tuple_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(base::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(base::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(base::clear)},
    {Py_tp_methods, TUPLE_METHODS},
    {Py_tp_getset, TUPLE_GETSET},
    {Py_mp_length, reinterpret_cast<void *>(tuple_length)},
    {0, nullptr},
};

PyType_Spec TUPLE_SPEC = {
    .name = "norv_core._native.Tuple",
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = TUPLE_SLOTS,
};

}  // namespace

PyTypeObject *tuple_type()
{
    return make(TUPLE_TYPE, &TUPLE_SPEC);
}

}  // namespace norv::typing::containers
