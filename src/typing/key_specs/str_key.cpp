// StrKey: the key spec of any string key, optionally constrained by a pattern
// that must match from the key's start.
#include <new>
#include <utility>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"
#include "formatting/format.hpp"
#include "typing/key_specs/common.hpp"
#include "typing/key_specs/key_specs.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::key_specs {

namespace {

constexpr const char *SERIALIZATION_KEY = "norv.typing.StrKey";

struct StrKeyObject {
    PyObject_HEAD
    // Whatever `re.compile` returned; empty means any string. Never changes.
    Ref regex;
};

TypeCell TYPE;
ObjectCell ANY_PATTERN_TEXT;

PyObject *regex_of(PyObject *self)
{
    return payload<StrKeyObject>(self)->regex.get();
}

bool is_str_key(PyObject *o) noexcept
{
    return Py_TYPE(o) == TYPE.peek();
}

Ref make_with(Ref regex)
{
    Ref self = alloc_instance(str_key_type());
    if (!self) {
        return error;
    }
    new (&payload<StrKeyObject>(self.get())->regex) Ref(std::move(regex));
    return self;
}

// No pattern for None or a false value.
Ref make(PyObject *regex)
{
    Maybe<Ref> compiled = typing::util::compile_regex(regex);
    if (!compiled) {
        return error;
    }
    return make_with(std::move(*compiled));
}

// Sets `out` to the pattern's text as an exact str; left empty without a pattern.
Status pattern_text(PyObject *self, Ref &out)
{
    PyObject *regex = regex_of(self);
    if (regex == nullptr) {
        return Status::ok;
    }
    Ref pattern = attr<"pattern">(regex);
    if (!pattern) {
        return error;
    }
    if (!PyUnicode_Check(pattern.get())) {
        return raise_not_instance(pattern.get(), "str");
    }
    out = PyUnicode_CheckExact(pattern.get()) ? std::move(pattern)
                                              : Ref::steal(PyUnicode_FromObject(pattern.get()));
    return out ? Status::ok : Status::error;
}

const Signature NEW_SIG{"StrKey", {opt("regex")}};
const Signature MATCH_SIG{"StrKey.match", {arg("key")}, {.method = true}};
const Signature EXTEND_SIG{"StrKey.extend", {arg("base")}, {.method = true}};
const Signature DEEPCOPY_SIG{"StrKey.__deepcopy__", {arg("_memo")}, {.method = true}};
const Signature TO_JSON_SIG{"StrKey.to_json", {}, {.var_kwargs = true, .method = true}};
const Signature FROM_JSON_SIG{"StrKey.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

PyObject *str_key_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        return make(b[0]);
    });
}

void str_key_dealloc(PyObject *self)
{
    payload<StrKeyObject>(self)->regex.~Ref();
    free_instance(self);
}

// Two keys without a pattern are equal; two with patterns compare the pattern
// objects (same text and flags).
Maybe<bool> str_key_eq(PyObject *self, PyObject *other)
{
    if (!is_str_key(other)) {
        return false;
    }
    PyObject *a = regex_of(self);
    PyObject *b = regex_of(other);
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    return eq_truth(a, b);
}

Py_hash_t str_key_hash(PyObject *self)
{
    return guard_int<Py_hash_t>([&]() -> Py_hash_t {
        Ref text;
        if (failed(pattern_text(self, text))) {
            return -1;
        }
        PyObject *hashed = text ? text.get() : ANY_PATTERN_TEXT.get_or_init([] { return new_str(".*"); });
        if (hashed == nullptr) {
            return -1;
        }
        return PyObject_Hash(hashed);
    });
}

Ref text_value(PyObject *self)
{
    Ref pattern;
    if (failed(pattern_text(self, pattern))) {
        return error;
    }
    Ref items = Ref::steal(Py_BuildValue("[(sOO)]", "regex", pattern ? pattern.get() : Py_None, Py_None));
    if (!items) {
        return error;
    }
    Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "label", "StrKey"));
    if (!kwargs) {
        return error;
    }
    return formatting::call_kvlist_str(items.get(), kwargs.get());
}

Ref regex_value(PyObject *self)
{
    PyObject *regex = regex_of(self);
    return Ref::borrow(none_if_null(regex));
}

Ref str_key_match(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(MATCH_SIG.bind(a, b))) {
        return error;
    }
    PyObject *key = b[0];
    if (!PyUnicode_Check(key)) {
        return new_bool(false);
    }
    PyObject *regex = regex_of(self);
    if (regex == nullptr) {
        return new_bool(true);
    }
    Ref found = Ref::steal(PyObject_CallMethodOneArg(regex, interned<"match">(), key));
    if (!found) {
        return error;
    }
    return new_bool(found.get() != Py_None);
}

Ref str_key_extend(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(EXTEND_SIG.bind(a, b))) {
        return error;
    }
    return extend_if_equal(self, b[0]);
}

// Patterns are immutable: copies share the compiled object.
Ref str_key_copy(PyObject *self)
{
    return make_with(Ref::borrow(regex_of(self)));
}

Ref str_key_deepcopy(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(a, b))) {
        return error;
    }
    return str_key_copy(self);
}

// Only the pattern text is written; its flags are lost on the way back.
Ref str_key_to_json(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(TO_JSON_SIG.bind(a, b))) {
        return error;
    }
    Ref pattern;
    if (failed(pattern_text(self, pattern))) {
        return error;
    }
    Ref out = Ref::steal(Py_BuildValue("{ss}", "_type", SERIALIZATION_KEY));
    if (!out || (pattern && PyDict_SetItemString(out.get(), "regex", pattern.get()) < 0)) {
        return error;
    }
    return out;
}

Ref str_key_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    Ref regex;
    if (failed(from_json_field(b[0], "regex", regex))) {
        return error;
    }
    return make(regex.get());
}

PyMethodDef METHODS[] = {
    method<str_key_match>("match",
                          "match($self, key)\n--\n\n"
                          "Whether `key` is a str that the pattern matches from its start."),
    method<str_key_extend>("extend", "extend($self, base)\n--\n\nReturn self when `base` is an equal key."),
    method<format_ignoring_options<text_value>>("format", "format($self, *_args, **_kwargs)\n--\n\n"),
    method_noargs<str_key_copy>("__copy__", "__copy__($self)\n--\n\n"),
    method<str_key_deepcopy>("__deepcopy__", "__deepcopy__($self, _memo)\n--\n\n"),
    method<str_key_to_json>("to_json", "to_json($self, **_kwargs)\n--\n\n"),
    method<str_key_from_json>("from_json", "from_json($cls, json_value, **_kwargs)\n--\n\n", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"regex", shim_getter<regex_value>, nullptr, nullptr, nullptr},
    {"is_const", shim_getter<false_value>, nullptr, nullptr, nullptr},
    {"const_text", shim_getter<none_value>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("StrKey(regex=None)\n--\n\n"
                                   "The key spec of any string key, optionally matching a pattern.")},
    {Py_tp_new, reinterpret_cast<void *>(str_key_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(str_key_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(shim_unary<text_value>)},
    {Py_tp_str, reinterpret_cast<void *>(shim_unary<text_value>)},
    {Py_tp_hash, reinterpret_cast<void *>(str_key_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(keyspec_richcompare<str_key_eq>)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.StrKey",
    .basicsize = sizeof(StrKeyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

Status init_class(PyTypeObject *tp)
{
    return set_serializable_class_attrs(tp, SERIALIZATION_KEY);
}

}  // namespace

PyTypeObject *str_key_type()
{
    return TYPE.get(&SPEC, nullptr, init_class);
}

}  // namespace norv::key_specs
