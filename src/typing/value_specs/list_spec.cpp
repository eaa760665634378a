// List: a Python list whose every element is applied with one element spec,
// within optional size bounds.
#include "typing/value_specs/services.hpp"
#include "typing/value_specs/containers.hpp"
#include "typing/value_specs/class_kit.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::containers {

using namespace class_kit;

Maybe<std::unique_ptr<SpecEngine>> list_new(PyObject *element_value, PyObject *default_value,
                                            PyObject *default_factory, Sizes sizes, PyObject *transform,
                                            bool is_noneable, bool frozen, std::uint8_t strict)
{
    if (failed(normalize_size_aliases("List", sizes))) {
        return error;
    }
    Ref spec = util::from_annotation(element_value);
    if (!spec || failed(resolve_sizes(sizes, false))) {
        return error;
    }
    Ref lo = new_int(*sizes.min_size);
    Ref hi = sizes.max_size ? new_int(*sizes.max_size) : none();
    if (!lo || !hi) {
        return error;
    }
    PyTypeObject *list_key = key_specs::list_key_type();
    if (list_key == nullptr) {
        return error;
    }
    PyObject *key_args[] = {lo.get(), hi.get()};
    Ref key = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject *>(list_key), key_args, 2, nullptr));
    Ref description = new_str("Field of list element");
    if (!key || !description) {
        return error;
    }
    Ref field = make_field(key.get(), spec.get(), description.get());
    if (!field) {
        return error;
    }
    return engine::build_base(reinterpret_cast<PyObject *>(&PyList_Type),
                              ListKind{*sizes.min_size, std::move(spec), std::move(field), sizes.max_size},
                              default_value, default_factory, transform, is_noneable, frozen, strict);
}

namespace {

TypeCell LIST_TYPE;

const Signature LIST_SIG{"List.__new__",
                         {arg("element_value"), opt("default"), opt("default_factory"), opt("min_size"),
                          opt("max_size"), opt("size"), opt("transform"), opt("is_noneable"), opt("frozen"),
                          opt("strict"), kwopt("min_length"), kwopt("max_length")}};

PyObject *list_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return container_tp_new(cls, args, kwargs, LIST_SIG, list_new);
}

const Signature LIST_FROM_JSON_SIG{
    "List.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref list_from_json(PyObject *cls, FastArgs a)
{
    return container_from_json(cls, LIST_FROM_JSON_SIG, a, "element_value",
                               "List json missing 'element_value'.", list_new);
}

const Signature LIST_TYPE_ARGS_SIG{"List.with_type_args", {arg("type_args")}, {.method = true}};

Ref list_with_type_args(PyObject *cls, FastArgs a)
{
    Bound b;
    if (failed(LIST_TYPE_ARGS_SIG.bind(a, b))) {
        return error;
    }
    Ref args = util::as_type_args(b[0]);
    if (!args) {
        return error;
    }
    if (PyTuple_GET_SIZE(args.get()) != 1) {
        // Two arguments, as the host raises it: they are not joined.
        Ref text = str_of(b[0]);
        if (!text) {
            return error;
        }
        Ref exc = Ref::steal(PyObject_CallFunction(PyExc_TypeError, "sN",
                                                   "`nv.typing.List` requires 1 type argument. ",
                                                   PyUnicode_FromFormat("Encountered: %U.", text.get())));
        if (exc) {
            PyErr_SetRaisedException(exc.release());
        }
        return error;
    }
    Ref d = util::missing_default();
    if (!d) {
        return error;
    }
    return base::wrap(reinterpret_cast<PyTypeObject *>(cls),
                      list_new(PyTuple_GET_ITEM(args.get(), 0), d.get(), nullptr, Sizes{}, nullptr, false,
                               false, STRICT_UNSET));
}

Ref list_class_getitem(PyObject *cls, FastArgs a)
{
    Ref spec = list_with_type_args(cls, a);
    return spec ? util::generic_getitem_result(spec.get()) : Ref();
}

Ref get_element(SpecEngine &e)
{
    return Ref::borrow(e.kind.get<ListKind>()->element_field.get());
}
Ref get_min_size(SpecEngine &e)
{
    return new_int(e.kind.get<ListKind>()->min_size);
}
Ref get_max_size(SpecEngine &e)
{
    const OptInt &m = e.kind.get<ListKind>()->max_size;
    return m ? new_int(*m) : none();
}

PyObject *no_bulk_check(PyObject *, void *)
{
    Py_RETURN_NONE;
}

PyMethodDef LIST_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<list_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method<list_with_type_args>("with_type_args", "with_type_args($cls, type_args)\n--\n\n", METH_CLASS),
    method<list_class_getitem>("__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef LIST_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"element", kind_getter<get_element>, nullptr, nullptr, nullptr},
    {"_element", kind_getter<get_element>, nullptr, nullptr, nullptr},
    {"min_size", kind_getter<get_min_size>, nullptr, nullptr, nullptr},
    {"max_size", kind_getter<get_max_size>, nullptr, nullptr, nullptr},
    {"_nested_dict_bulk_check", no_bulk_check, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

NORV_SPEC_CLASS_SPEC(LIST, "List",
                     "List(element_value, default=..., default_factory=None, min_size=None, max_size=None, "
                     "size=None, transform=None, is_noneable=False, frozen=False, strict=None, *, "
                     "min_length=None, max_length=None)\n--\n\n"
                     "Value spec of a list whose elements share one value spec.",
                     list_tp_new, LIST_METHODS, LIST_GETSET, 0)

}  // namespace

PyTypeObject *list_type()
{
    return make(LIST_TYPE, &LIST_SPEC);
}

}  // namespace norv::typing::containers
