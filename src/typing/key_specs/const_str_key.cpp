// ConstStrKey: the key spec of one fixed name. It hashes and compares like its
// text, so a dict keyed by key specs can be probed with a plain str and the
// reverse.
#include <cstring>
#include <new>
#include <utility>

#include "core/args.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"
#include "typing/key_specs/common.hpp"
#include "typing/key_specs/key_specs.hpp"

namespace norv::key_specs {

namespace {

constexpr const char *SERIALIZATION_KEY = "norv.typing.ConstStrKey";

struct ConstStrKeyObject {
    PyObject_HEAD
    // An exact str that encodes as UTF-8 (no lone surrogates) and has no '.'.
    Ref text;
};

TypeCell TYPE;

PyObject *text_of(PyObject *self)
{
    return payload<ConstStrKeyObject>(self)->text.get();
}

bool is_const_str_key(PyObject *o) noexcept
{
    return Py_TYPE(o) == TYPE.peek();
}

// `value` must already be a str (subclasses allowed).
Ref make(PyObject *value)
{
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        return error;
    }
    if (std::memchr(utf8, '.', static_cast<std::size_t>(size)) != nullptr) {
        return raise_format(PyExc_KeyError, "'.' cannot be used in key. Encountered: %R.", value);
    }
    Ref text = PyUnicode_CheckExact(value) ? Ref::borrow(value)
                                           : Ref::steal(PyUnicode_FromStringAndSize(utf8, size));
    if (!text) {
        return error;
    }
    Ref self = alloc_instance(const_str_key_type());
    if (!self) {
        return error;
    }
    new (&payload<ConstStrKeyObject>(self.get())->text) Ref(std::move(text));
    return self;
}

const Signature NEW_SIG{"ConstStrKey", {arg("text")}};
const Signature MATCH_SIG{"ConstStrKey.match", {arg("key")}, {.method = true}};
const Signature EXTEND_SIG{"ConstStrKey.extend", {arg("base")}, {.method = true}};
const Signature DEEPCOPY_SIG{"ConstStrKey.__deepcopy__", {arg("_memo")}, {.method = true}};
const Signature TO_JSON_SIG{"ConstStrKey.to_json", {}, {.var_kwargs = true, .method = true}};
const Signature FROM_JSON_SIG{
    "ConstStrKey.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

PyObject *const_str_key_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        PyObject *text = b[0];
        if (!PyUnicode_Check(text)) {
            (void)raise_not_instance(text, "str");
            wrap_argument_error("text");
            return error;
        }
        return make(text);
    });
}

void const_str_key_dealloc(PyObject *self)
{
    payload<ConstStrKeyObject>(self)->text.~Ref();
    free_instance(self);
}

// Equal to a str or a ConstStrKey with the same text. The stored text always
// encodes as UTF-8, so comparing code points is comparing UTF-8 bytes; a str
// that cannot be encoded is simply unequal, which keeps a dict probe with an
// unrelated key from raising.
Maybe<bool> const_str_key_eq(PyObject *self, PyObject *other)
{
    PyObject *text = text_of(self);
    if (PyUnicode_Check(other)) {
        return PyUnicode_GET_LENGTH(text) == PyUnicode_GET_LENGTH(other) &&
               PyUnicode_Compare(text, other) == 0;
    }
    if (is_const_str_key(other)) {
        return PyUnicode_Compare(text, text_of(other)) == 0;
    }
    return false;
}

Py_hash_t const_str_key_hash(PyObject *self)
{
    return PyObject_Hash(text_of(self));
}

Ref text_value(PyObject *self)
{
    return Ref::borrow(text_of(self));
}

Ref true_value(PyObject *)
{
    return new_bool(true);
}

Ref const_str_key_match(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(MATCH_SIG.bind(a, b))) {
        return error;
    }
    const Maybe<bool> eq = eq_truth(text_of(self), b[0]);
    if (!eq) {
        return error;
    }
    return new_bool(*eq);
}

Ref const_str_key_extend(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(EXTEND_SIG.bind(a, b))) {
        return error;
    }
    return extend_if_equal(self, b[0]);
}

Ref const_str_key_copy(PyObject *self)
{
    return make(text_of(self));
}

Ref const_str_key_deepcopy(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(a, b))) {
        return error;
    }
    return make(text_of(self));
}

Ref const_str_key_to_json(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(TO_JSON_SIG.bind(a, b))) {
        return error;
    }
    return Ref::steal(Py_BuildValue("{sssO}", "_type", SERIALIZATION_KEY, "text", text_of(self)));
}

Ref const_str_key_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    Ref text;
    if (failed(from_json_field(b[0], "text", text))) {
        return error;
    }
    if (!text) {
        return raise(PyExc_KeyError, "text");
    }
    if (!PyUnicode_Check(text.get())) {
        return raise_not_instance(text.get(), "str");
    }
    return make(text.get());
}

PyMethodDef METHODS[] = {
    method<const_str_key_match>("match", "match($self, key)\n--\n\nWhether `key` equals the text."),
    method<const_str_key_extend>("extend",
                                 "extend($self, base)\n--\n\nReturn self when `base` is the same key."),
    method<format_ignoring_options<text_value>>("format", "format($self, *_args, **_kwargs)\n--\n\n"),
    method_noargs<const_str_key_copy>("__copy__", "__copy__($self)\n--\n\n"),
    method<const_str_key_deepcopy>("__deepcopy__", "__deepcopy__($self, _memo)\n--\n\n"),
    method<const_str_key_to_json>("to_json", "to_json($self, **_kwargs)\n--\n\n"),
    method<const_str_key_from_json>("from_json", "from_json($cls, json_value, **_kwargs)\n--\n\n",
                                    METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"text", shim_getter<text_value>, nullptr, nullptr, nullptr},
    {"const_text", shim_getter<text_value>, nullptr, nullptr, nullptr},
    {"is_const", shim_getter<true_value>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("ConstStrKey(text)\n--\n\nThe key spec of one fixed string key.")},
    {Py_tp_new, reinterpret_cast<void *>(const_str_key_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(const_str_key_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(shim_unary<text_value>)},
    {Py_tp_str, reinterpret_cast<void *>(shim_unary<text_value>)},
    {Py_tp_hash, reinterpret_cast<void *>(const_str_key_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(keyspec_richcompare<const_str_key_eq>)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.ConstStrKey",
    .basicsize = sizeof(ConstStrKeyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

Status init_class(PyTypeObject *tp)
{
    if (failed(set_serializable_class_attrs(tp, SERIALIZATION_KEY))) {
        return error;
    }
    // Key-path rendering joins keys of such classes with dots, like names.
    return set_class_attr(tp, "__norv_str_key__", Py_True);
}

}  // namespace

PyTypeObject *const_str_key_type()
{
    return TYPE.get(&SPEC, nullptr, init_class);
}

}  // namespace norv::key_specs
