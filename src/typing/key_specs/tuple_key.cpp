// TupleKey: the key spec of one tuple position, or of any position (the
// element field of a variable-length tuple). `extend` adopts the base's index
// in place when this key has none.
#include <cstdint>
#include <optional>

#include "core/args.hpp"
#include "core/registry.hpp"
#include "typing/key_specs/common.hpp"
#include "typing/key_specs/key_specs.hpp"

namespace norv::key_specs {

namespace {

constexpr const char *SERIALIZATION_KEY = "norv.typing.TupleKey";

struct TupleKeyObject {
    PyObject_HEAD
    std::optional<std::int64_t> index;  // unset: any position
};

TypeCell TYPE;

TupleKeyObject *data(PyObject *self)
{
    return payload<TupleKeyObject>(self);
}

bool is_tuple_key(PyObject *o) noexcept
{
    return Py_TYPE(o) == TYPE.peek();
}

Ref make(std::optional<std::int64_t> index)
{
    Ref self = alloc_instance(tuple_key_type());
    if (!self) {
        return error;
    }
    data(self.get())->index = index;
    return self;
}

const Signature NEW_SIG{"TupleKey", {opt("index")}};
const Signature MATCH_SIG{"TupleKey.match", {arg("key")}, {.method = true}};
const Signature EXTEND_SIG{"TupleKey.extend", {arg("base")}, {.method = true}};
const Signature DEEPCOPY_SIG{"TupleKey.__deepcopy__", {arg("_memo")}, {.method = true}};
const Signature TO_JSON_SIG{"TupleKey.to_json", {}, {.var_kwargs = true, .method = true}};
const Signature FROM_JSON_SIG{
    "TupleKey.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

PyObject *tuple_key_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        std::optional<std::int64_t> index;
        if (PyObject *v = b.null_if_none(0)) {
            Maybe<std::int64_t> i = i64_arg("index", v);
            if (!i) {
                return error;
            }
            index = *i;
        }
        return make(index);
    });
}

Maybe<bool> tuple_key_eq(PyObject *self, PyObject *other)
{
    return is_tuple_key(other) && data(self)->index == data(other)->index;
}

Ref text_value(PyObject *self)
{
    const auto &index = data(self)->index;
    if (index) {
        return Ref::steal(PyUnicode_FromFormat("TupleKey(index=%lld)", static_cast<long long>(*index)));
    }
    return new_str("TupleKey(index=None)");
}

Ref index_get(PyObject *self)
{
    return int_or_none(data(self)->index);
}

Ref tuple_key_match(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(MATCH_SIG.bind(a, b))) {
        return error;
    }
    PyObject *key = b[0];
    if (!PyLong_Check(key)) {
        return new_bool(false);
    }
    const auto &index = data(self)->index;
    if (!index) {
        // Any int, however large: the key is not converted.
        return new_bool(true);
    }
    long long k = PyLong_AsLongLong(key);
    if (k == -1 && PyErr_Occurred()) {
        return error;
    }
    return new_bool(k == *index);
}

Ref tuple_key_extend(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(EXTEND_SIG.bind(a, b)) || failed(tuple_key_refusal(self, b[0]))) {
        return error;
    }
    auto &index = data(self)->index;
    if (!index) {
        index = data(b[0])->index;
    }
    return Ref::borrow(self);
}

Ref tuple_key_copy(PyObject *self)
{
    return make(data(self)->index);
}

Ref tuple_key_deepcopy(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(a, b))) {
        return error;
    }
    return tuple_key_copy(self);
}

Ref tuple_key_to_json(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(TO_JSON_SIG.bind(a, b))) {
        return error;
    }
    Ref out = Ref::steal(Py_BuildValue("{ss}", "_type", SERIALIZATION_KEY));
    if (!out) {
        return error;
    }
    if (const auto &index = data(self)->index) {
        Ref value = new_int(*index);
        if (!value || PyDict_SetItemString(out.get(), "index", value.get()) < 0) {
            return error;
        }
    }
    return out;
}

// A present entry is converted even when it is None; its errors are not reworded.
Ref tuple_key_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    Ref entry;
    if (failed(from_json_field(b[0], "index", entry))) {
        return error;
    }
    std::optional<std::int64_t> index;
    if (entry) {
        Maybe<std::int64_t> v = to_i64(entry.get());
        if (!v) {
            return error;
        }
        index = *v;
    }
    return make(index);
}

PyMethodDef METHODS[] = {
    method<tuple_key_match>("match",
                            "match($self, key)\n--\n\nWhether `key` is an int at this key's position."),
    method<tuple_key_extend>("extend",
                             "extend($self, base)\n--\n\nCheck the position against `base`'s, "
                             "adopting it when this key has none; return self."),
    method<format_ignoring_options<text_value>>("format", "format($self, *_args, **_kwargs)\n--\n\n"),
    method_noargs<tuple_key_copy>("__copy__", "__copy__($self)\n--\n\n"),
    method<tuple_key_deepcopy>("__deepcopy__", "__deepcopy__($self, _memo)\n--\n\n"),
    method<tuple_key_to_json>("to_json", "to_json($self, **_kwargs)\n--\n\n"),
    method<tuple_key_from_json>("from_json", "from_json($cls, json_value, **_kwargs)\n--\n\n", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"index", shim_getter<index_get>, nullptr, nullptr, nullptr},
    {"is_const", shim_getter<false_value>, nullptr, nullptr, nullptr},
    {"const_text", shim_getter<none_value>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("TupleKey(index=None)\n--\n\n"
                                   "The key spec of one tuple position, or of any.")},
    {Py_tp_new, reinterpret_cast<void *>(tuple_key_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(free_instance)},
    {Py_tp_repr, reinterpret_cast<void *>(shim_unary<text_value>)},
    {Py_tp_str, reinterpret_cast<void *>(shim_unary<text_value>)},
    // Mutable through `extend`, so equal but unhashable.
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_richcompare, reinterpret_cast<void *>(keyspec_richcompare<tuple_key_eq>)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.TupleKey",
    .basicsize = sizeof(TupleKeyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

Status init_class(PyTypeObject *tp)
{
    return set_serializable_class_attrs(tp, SERIALIZATION_KEY);
}

}  // namespace

PyTypeObject *tuple_key_type()
{
    return TYPE.get(&SPEC, nullptr, init_class);
}

Status tuple_key_refusal(PyObject *self, PyObject *base)
{
    if (!is_tuple_key(base)) {
        return raise_extend_reject(PyExc_TypeError, self, base, ": incompatible type.");
    }
    const auto &index = data(self)->index;
    const auto &base_index = data(base)->index;
    if (index && base_index && *base_index != *index) {
        return raise_extend_reject(PyExc_KeyError, self, base, ": unmatched index.");
    }
    return Status::ok;
}

}  // namespace norv::key_specs
