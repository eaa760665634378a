// ListKey: the key spec of a range of list indices, [min_value, max_value).
// It is the one key spec besides TupleKey that changes after construction:
// `extend` adopts the base's maximum when it has none, in place, so the bound
// reaches every holder of this object.
#include <cstdint>
#include <optional>

#include "core/args.hpp"
#include "core/registry.hpp"
#include "typing/key_specs/common.hpp"
#include "typing/key_specs/key_specs.hpp"

namespace norv::key_specs {

namespace {

constexpr const char *SERIALIZATION_KEY = "norv.typing.ListKey";

struct ListKeyObject {
    PyObject_HEAD
    std::optional<std::int64_t> max_value;  // exclusive; unset (or 0, in match) means no bound
    std::int64_t min_value;                 // inclusive
};

TypeCell TYPE;

ListKeyObject *data(PyObject *self)
{
    return payload<ListKeyObject>(self);
}

bool is_list_key(PyObject *o) noexcept
{
    return Py_TYPE(o) == TYPE.peek();
}

Ref make(std::int64_t min_value, std::optional<std::int64_t> max_value)
{
    Ref self = alloc_instance(list_key_type());
    if (!self) {
        return error;
    }
    data(self.get())->min_value = min_value;
    data(self.get())->max_value = max_value;
    return self;
}

const Signature NEW_SIG{"ListKey", {opt("min_value"), opt("max_value")}};
const Signature MATCH_SIG{"ListKey.match", {arg("key")}, {.method = true}};
const Signature EXTEND_SIG{"ListKey.extend", {arg("base")}, {.method = true}};
const Signature DEEPCOPY_SIG{"ListKey.__deepcopy__", {arg("_memo")}, {.method = true}};
const Signature TO_JSON_SIG{"ListKey.to_json", {}, {.var_kwargs = true, .method = true}};
const Signature FROM_JSON_SIG{"ListKey.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

PyObject *list_key_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        // A given min_value is converted even when it is None; max_value None means unset.
        std::int64_t min_value = 0;
        if (b.has(0)) {
            Maybe<std::int64_t> v = i64_arg("min_value", b[0]);
            if (!v) {
                return error;
            }
            min_value = *v;
        }
        std::optional<std::int64_t> max_value;
        if (PyObject *v = b.null_if_none(1)) {
            Maybe<std::int64_t> m = i64_arg("max_value", v);
            if (!m) {
                return error;
            }
            max_value = *m;
        }
        return make(min_value, max_value);
    });
}

Maybe<bool> list_key_eq(PyObject *self, PyObject *other)
{
    return is_list_key(other) && data(self)->min_value == data(other)->min_value &&
           data(self)->max_value == data(other)->max_value;
}

Ref text_value(PyObject *self)
{
    const ListKeyObject *k = data(self);
    if (k->max_value) {
        return Ref::steal(PyUnicode_FromFormat("ListKey(min_value=%lld, max_value=%lld)",
                                               static_cast<long long>(k->min_value),
                                               static_cast<long long>(*k->max_value)));
    }
    return Ref::steal(PyUnicode_FromFormat("ListKey(min_value=%lld, max_value=None)",
                                           static_cast<long long>(k->min_value)));
}

Ref min_value_get(PyObject *self)
{
    return new_int(data(self)->min_value);
}

Ref max_value_get(PyObject *self)
{
    return int_or_none(data(self)->max_value);
}

Ref list_key_match(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(MATCH_SIG.bind(a, b))) {
        return error;
    }
    PyObject *key = b[0];
    if (!PyLong_Check(key)) {
        return new_bool(false);
    }
    long long k = PyLong_AsLongLong(key);
    if (k == -1 && PyErr_Occurred()) {
        return error;
    }
    const ListKeyObject *spec = data(self);
    const auto &max = spec->max_value;
    return new_bool(spec->min_value <= k && (!max || *max == 0 || k < *max));
}

Ref list_key_extend(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(EXTEND_SIG.bind(a, b)) || failed(list_key_refusal(self, b[0]))) {
        return error;
    }
    ListKeyObject *k = data(self);
    if (!k->max_value) {
        k->max_value = data(b[0])->max_value;
    }
    return Ref::borrow(self);
}

Ref list_key_copy(PyObject *self)
{
    return make(data(self)->min_value, data(self)->max_value);
}

Ref list_key_deepcopy(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(a, b))) {
        return error;
    }
    return list_key_copy(self);
}

Ref list_key_to_json(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(TO_JSON_SIG.bind(a, b))) {
        return error;
    }
    const ListKeyObject *k = data(self);
    Ref out = Ref::steal(Py_BuildValue("{sssL}", "_type", SERIALIZATION_KEY, "min_value",
                                       static_cast<long long>(k->min_value)));
    if (!out) {
        return error;
    }
    if (k->max_value) {
        Ref max = new_int(*k->max_value);
        if (!max || PyDict_SetItemString(out.get(), "max_value", max.get()) < 0) {
            return error;
        }
    }
    return out;
}

// Unlike the constructor, a present entry is converted even when it is None,
// and conversion errors are not reworded.
Ref list_key_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    Ref min_entry, max_entry;
    if (failed(from_json_field(b[0], "min_value", min_entry)) ||
        failed(from_json_field(b[0], "max_value", max_entry))) {
        return error;
    }
    std::int64_t min_value = 0;
    if (min_entry) {
        Maybe<std::int64_t> v = to_i64(min_entry.get());
        if (!v) {
            return error;
        }
        min_value = *v;
    }
    std::optional<std::int64_t> max_value;
    if (max_entry) {
        Maybe<std::int64_t> v = to_i64(max_entry.get());
        if (!v) {
            return error;
        }
        max_value = *v;
    }
    return make(min_value, max_value);
}

PyMethodDef METHODS[] = {
    method<list_key_match>("match",
                           "match($self, key)\n--\n\nWhether `key` is an int inside the index range."),
    method<list_key_extend>("extend",
                            "extend($self, base)\n--\n\nCheck that the range lies inside `base`'s, "
                            "adopting its maximum when this key has none; return self."),
    method<format_ignoring_options<text_value>>("format", "format($self, *_args, **_kwargs)\n--\n\n"),
    method_noargs<list_key_copy>("__copy__", "__copy__($self)\n--\n\n"),
    method<list_key_deepcopy>("__deepcopy__", "__deepcopy__($self, _memo)\n--\n\n"),
    method<list_key_to_json>("to_json", "to_json($self, **_kwargs)\n--\n\n"),
    method<list_key_from_json>("from_json", "from_json($cls, json_value, **_kwargs)\n--\n\n", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"min_value", shim_getter<min_value_get>, nullptr, nullptr, nullptr},
    {"max_value", shim_getter<max_value_get>, nullptr, nullptr, nullptr},
    {"is_const", shim_getter<false_value>, nullptr, nullptr, nullptr},
    {"const_text", shim_getter<none_value>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("ListKey(min_value=0, max_value=None)\n--\n\n"
                                   "The key spec of a range of list indices.")},
    {Py_tp_new, reinterpret_cast<void *>(list_key_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(free_instance)},
    {Py_tp_repr, reinterpret_cast<void *>(shim_unary<text_value>)},
    {Py_tp_str, reinterpret_cast<void *>(shim_unary<text_value>)},
    // Mutable through `extend`, so equal but unhashable.
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_richcompare, reinterpret_cast<void *>(keyspec_richcompare<list_key_eq>)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.ListKey",
    .basicsize = sizeof(ListKeyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

Status init_class(PyTypeObject *tp)
{
    return set_serializable_class_attrs(tp, SERIALIZATION_KEY);
}

}  // namespace

PyTypeObject *list_key_type()
{
    return TYPE.get(&SPEC, nullptr, init_class);
}

Status list_key_refusal(PyObject *self, PyObject *base)
{
    if (!is_list_key(base)) {
        return raise_extend_reject(PyExc_TypeError, self, base, ": incompatible type.");
    }
    const ListKeyObject *k = data(self);
    const ListKeyObject *bk = data(base);
    if (k->min_value < bk->min_value) {
        return raise_extend_reject(PyExc_TypeError, self, base, ": min_value is smaller.");
    }
    if (k->max_value && bk->max_value && *k->max_value > *bk->max_value) {
        return raise_extend_reject(PyExc_TypeError, self, base, ": max_value is greater.");
    }
    return Status::ok;
}

}  // namespace norv::key_specs
