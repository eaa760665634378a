// Dict: dict values, optionally bound to a schema describing their keys and
// fields. An open Dict[str, V] keeps V at hand for the fast paths.
#include "core/names.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/services.hpp"
#include "typing/value_specs/class_kit.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::classes {

namespace {

using namespace class_kit;

// create_schema(x, allow_nonconst_keys=True).
Ref create_schema(PyObject *x)
{
    PyObject *args[] = {nullptr, x, Py_True};
    return Ref::steal(PyObject_Vectorcall(bridge::get().create_schema, args + 1,
                                          1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames<"allow_nonconst_keys">()));
}

// [(str_key_cls(), value)], the field list of an open str-keyed dict.
Ref open_str_fields(PyObject *value)
{
    Ref key = Ref::steal(PyObject_CallNoArgs(bridge::get().str_key_cls));
    if (!key) {
        return error;
    }
    Ref pair = Ref::steal(PyTuple_Pack(2, key.get(), value));
    if (!pair) {
        return error;
    }
    Ref list = Ref::steal(PyList_New(1));
    if (!list) {
        return error;
    }
    PyList_SET_ITEM(list.get(), 0, pair.release());
    return list;
}

Ref schema_from_arg(PyObject *schema)
{
    if (schema == nullptr || schema == Py_None) {
        return none();
    }
    if (schema::is_schema(schema)) {
        return Ref::borrow(schema);
    }
    if (PyDict_Check(schema) || PyList_Check(schema)) {
        return create_schema(schema);
    }
    Ref spec = util::from_annotation(schema);
    if (!spec) {
        return error;
    }
    Ref fields = open_str_fields(spec.get());
    if (!fields) {
        return error;
    }
    return create_schema(fields.get());
}

}  // namespace

Maybe<std::unique_ptr<SpecEngine>> dict_new(PyObject *schema_arg, PyObject *default_value,
                                            PyObject *default_factory, PyObject *transform, bool is_noneable,
                                            bool frozen, std::uint8_t strict)
{
    Ref schema = schema_from_arg(schema_arg);
    if (!schema) {
        return error;
    }
    Maybe<Ref> open = util::compute_open_str_value_spec(schema.get());
    if (!open) {
        return error;
    }
    const Maybe<bool> missing = bridge::is_missing(default_value);
    if (!missing) {
        return error;
    }
    const bool has_schema = schema.get() != Py_None;
    Maybe<std::unique_ptr<SpecEngine>> e = engine::build_base(
        reinterpret_cast<PyObject *>(&PyDict_Type), DictKind{false, std::move(*open), std::move(schema)},
        default_value, default_factory, transform, is_noneable, frozen, strict);
    if (!e) {
        return error;
    }
    // A factory skipped the default step above; a schema still supplies the
    // default (and drops the factory).
    if (*missing && has_schema && default_factory != nullptr &&
        failed((*e)->set_default(bridge::get().missing_value, true, nullptr))) {
        return error;
    }
    return e;
}

namespace {

TypeCell DICT_TYPE;

const Signature DICT_SIG{"Dict.__new__",
                         {opt("schema"), opt("default"), opt("default_factory"), opt("transform"),
                          opt("is_noneable"), opt("frozen"), opt("strict")}};

PyObject *dict_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(DICT_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 1);
        Maybe<Flags> f = flags(b, 4, 5, 6);
        if (!d || !f) {
            return error;
        }
        return base::wrap(cls, dict_new(b.null_if_none(0), d.get(), b.null_if_none(2), b.null_if_none(3),
                                        f->noneable, f->frozen, f->strict));
    });
}

const Signature DICT_FROM_JSON_SIG{
    "Dict.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref dict_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(DICT_FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    PyObject *json = b[0], *kwargs = b.varkw.get();
    Maybe<frame::JsonCommon> c = frame::read_json_common(json, kwargs);
    if (!c) {
        return error;
    }
    Maybe<Ref> schema = frame::json_field(json, "schema", kwargs);
    if (!schema) {
        return error;
    }
    Maybe<Ref> transform = frame::json_field(json, "transform", kwargs);
    if (!transform) {
        return error;
    }
    return base::wrap(dict_type(),
                      dict_new(null_if_none(schema->get()), c->default_value.get(), nullptr,
                               null_if_none(transform->get()), c->is_noneable, c->frozen, c->strict));
}

const Signature DICT_TYPE_ARGS_SIG{"Dict.with_type_args", {arg("type_args")}, {.method = true}};

Ref dict_with_type_args(FastArgs a)
{
    Bound b;
    if (failed(DICT_TYPE_ARGS_SIG.bind(a, b))) {
        return error;
    }
    Ref args = util::as_type_args(b[0]);
    if (!args) {
        return error;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(args.get());
    Ref schema;
    if (n == 2) {
        PyObject *k = PyTuple_GET_ITEM(args.get(), 0);
        schema = k == reinterpret_cast<PyObject *>(&PyUnicode_Type)
                     ? open_str_fields(PyTuple_GET_ITEM(args.get(), 1))
                     : none();
        if (!schema) {
            return error;
        }
    }
    else if (n == 1 && PyDict_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        schema = Ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
    }
    else {
        return raise_format(PyExc_TypeError,
                            "`nv.typing.Dict` accepts 1 dict type argument as the schema, or 2 type "
                            "arguments as the key type and value type. Encountered: %R.",
                            args.get());
    }
    Ref d = util::missing_default();
    if (!d) {
        return error;
    }
    return base::wrap(dict_type(),
                      dict_new(schema.get(), d.get(), nullptr, nullptr, false, false, STRICT_UNSET));
}

Ref dict_with_type_args_method(PyObject *, FastArgs a)
{
    return dict_with_type_args(a);
}

Ref dict_class_getitem(PyObject *, FastArgs a)
{
    Ref spec = dict_with_type_args(a);
    if (!spec) {
        return error;
    }
    return util::generic_getitem_result(spec.get());
}

Ref get_schema(SpecEngine &e)
{
    return none_if_null(e.kind.get<DictKind>()->schema);
}

PyMethodDef DICT_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<dict_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method<dict_with_type_args_method>("with_type_args", "with_type_args($cls, type_args)\n--\n\n",
                                       METH_CLASS),
    method<dict_class_getitem>("__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef DICT_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"schema", kind_getter<get_schema>, nullptr, const_cast<char *>("The schema of this dict, or None."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

NORV_SPEC_CLASS_SPEC(
    DICT, "Dict",
    "Dict(schema=None, default=..., default_factory=None, transform=None, is_noneable=False, "
    "frozen=False, strict=None)\n--\n\nValue spec of a dict, optionally bound to a schema.",
    dict_tp_new, DICT_METHODS, DICT_GETSET, 0)

}  // namespace

PyTypeObject *dict_type()
{
    return make(DICT_TYPE, &DICT_SPEC);
}

}  // namespace norv::typing::classes
