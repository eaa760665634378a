// The reads of SymDict: the item and attribute reads and `get`, which resolve
// an Inferential member; the raw member reads and tests; the snapshot
// listings in schema order; and the cores other operations walk (the
// storage, the bound schema, schema order).
#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/names.hpp"
#include "core/unfilled.hpp"
#include "containers/dict.hpp"
#include "containers/dict_faces.hpp"
#include "nodes/resolve.hpp"
#include "typing/key_specs/key_specs.hpp"
#include "typing/schema/schema.hpp"

namespace norv::symbolic {

PyObject *SymDict::storage(PyObject *self)
{
    if (!PyDict_Check(self)) {
        panic("SymDict extends PyDict");
    }
    return self;
}

Maybe<Ref> SymDict::schema_of(PyObject *self)
{
    Ref spec = container::bound_spec(fields(self));
    if (!spec) {
        return Ref();
    }
    Ref schema = attr<"schema">(spec.get());
    if (!schema) {
        return error;
    }
    if (schema.get() == Py_None) {
        return Ref();
    }
    return schema;
}

namespace {

// Appends to `result` the stored keys that `taken` lacks, in storage order.
Status append_untaken(PyObject *dict, PyObject *result, PyObject *taken)
{
    Ref stored_keys = Ref::steal(PyDict_Keys(dict));
    if (!stored_keys) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stored_keys.get()); ++i) {
        PyObject *key = PyList_GET_ITEM(stored_keys.get(), i);
        const int seen = PySet_Contains(taken, key);
        if (seen < 0 || (seen == 0 && PyList_Append(result, key) < 0)) {
            return error;
        }
    }
    return Status::ok;
}

// A native schema whose caches stand for its `fields` now: its constant
// texts in schema order, which are what its `keys()` and their `text` give,
// read without a call. Empty otherwise, and while the schema is being
// changed (its own methods then refuse the reads of the general walk).
Ref native_const_texts(PyObject *schema)
{
    if (!typing::schema::is_schema(schema)) {
        return Ref();
    }
    typing::schema::State &s = typing::schema::state(schema);
    if (s.borrow.is_exclusive()) {
        return Ref();
    }
    SharedBorrow hold(s.borrow, OnConflict::Panic);
    return Ref::borrow(typing::schema::live_const_texts(s));
}

Ref ordered_by_texts(PyObject *dict, PyObject *entries)
{
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries); ++i) {
        PyObject *text = PyTuple_GET_ITEM(PyTuple_GET_ITEM(entries, i), 0);
        const int stored = PyDict_Contains(dict, text);
        if (stored < 0 || (stored == 1 && PyList_Append(result.get(), text) < 0)) {
            return error;
        }
    }
    // The texts are distinct: as many taken as listed.
    if (PyList_GET_SIZE(result.get()) < PyDict_GET_SIZE(dict)) {
        Ref taken = Ref::steal(PySet_New(result.get()));
        if (!taken || failed(append_untaken(dict, result.get(), taken.get()))) {
            return error;
        }
    }
    return result;
}

}  // namespace

Ref SymDict::schema_ordered_keys(PyObject *self, PyObject *schema)
{
    PyObject *dict = storage(self);
    if (Ref texts = native_const_texts(schema)) {
        return ordered_by_texts(dict, texts.get());
    }
    PyTypeObject *const_key = key_specs::const_str_key_type();
    if (const_key == nullptr) {
        return error;
    }
    Ref result = Ref::steal(PyList_New(0));
    Ref taken = result ? Ref::steal(PySet_New(nullptr)) : Ref();
    Ref keys = taken ? call_method(schema, interned<"keys">()) : Ref();
    Ref it = keys ? Ref::steal(PyObject_GetIter(keys.get())) : Ref();
    if (!it) {
        return error;
    }
    while (Ref spec = Ref::steal(PyIter_Next(it.get()))) {
        if (!PyObject_TypeCheck(spec.get(), const_key)) {
            continue;
        }
        const int stored = PyDict_Contains(dict, spec.get());
        if (stored < 0) {
            return error;
        }
        if (stored == 0) {
            continue;
        }
        Ref text = attr<"text">(spec.get());
        if (!text || PyList_Append(result.get(), text.get()) < 0 || PySet_Add(taken.get(), text.get()) < 0) {
            return error;
        }
    }
    if (PyErr_Occurred()) {
        return error;
    }
    if (PySet_GET_SIZE(taken.get()) < PyDict_GET_SIZE(dict) &&
        failed(append_untaken(dict, result.get(), taken.get()))) {
        return error;
    }
    return result;
}

namespace {

enum class Listing : std::uint8_t { Keys, Values, Items };

// A new list of the keys, the raw members or the (key, member) pairs, in
// schema order when the bound spec has a schema, else in storage order.
Ref listing(PyObject *self, Listing what)
{
    Maybe<Ref> schema = SymDict::schema_of(self);
    if (!schema) {
        return error;
    }
    PyObject *dict = SymDict::storage(self);
    if (!*schema) {
        switch (what) {
            case Listing::Keys:
                return Ref::steal(PyDict_Keys(dict));
            case Listing::Values:
                return Ref::steal(PyDict_Values(dict));
            case Listing::Items:
                return Ref::steal(PyDict_Items(dict));
        }
    }
    Ref keys = SymDict::schema_ordered_keys(self, schema->get());
    if (!keys || what == Listing::Keys) {
        return keys;
    }
    // A key's own hash or equality is host code: the output stays out of its
    // reach until full, and the keys list, which it could reach, is read
    // within its current length.
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    Unfilled out = Unfilled::list(n);
    if (!out) {
        return error;
    }
    Py_ssize_t i = 0;
    for (; i < n && i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        PyObject *value = nullptr;
        const int found = PyDict_GetItemRef(dict, key.get(), &value);
        if (found < 0) {
            return error;
        }
        if (found == 0) {
            panic("schema key present");
        }
        if (what == Listing::Values) {
            PyList_SET_ITEM(out.get(), i, value);
            continue;
        }
        PyObject *pair = PyTuple_Pack(2, key.get(), value);
        Py_DECREF(value);
        if (pair == nullptr) {
            return error;
        }
        PyList_SET_ITEM(out.get(), i, pair);
    }
    return out.filled_list(i);
}

Ref iterate(Ref list)
{
    return list ? Ref::steal(PyObject_GetIter(list.get())) : Ref();
}

// The stored member, or empty when `key` is not stored.
Maybe<Ref> stored(PyObject *self, PyObject *key)
{
    PyObject *member = nullptr;
    const int found = PyDict_GetItemRef(SymDict::storage(self), key, &member);
    if (found < 0) {
        return error;
    }
    return Ref::steal(member);
}

// The member under `key` resolved; an AttributeError from its `infer()`
// becomes `KeyError(key)`, a host quirk the mapping protocol relies on.
Ref item(PyObject *self, PyObject *key)
{
    Maybe<Ref> member = stored(self, key);
    if (!member) {
        return error;
    }
    if (!*member) {
        return raise_key_error(key);
    }
    Ref resolved = resolve(std::move(*member));
    if (!resolved) {
        if (failed(discard_error_of({PyExc_AttributeError}))) {
            return error;
        }
        return raise_key_error(key);
    }
    return resolved;
}

// A stored key stands in for an attribute the type and the instance lack.
Ref member_attribute(PyObject *self, PyObject *name)
{
    Maybe<Ref> member = stored(self, name);
    if (!member) {
        return error;
    }
    if (!*member) {
        return raise_format(PyExc_AttributeError, "Attribute '%U' does not exist in %R.", name,
                            reinterpret_cast<PyObject *>(Py_TYPE(self)));
    }
    return resolve(std::move(*member));
}

const Signature GET_SIG{"get", {arg("key"), opt("default")}, {.method = true}};
const Signature SYM_GETATTR_SIG{"_sym_getattr", {arg("key")}, {.method = true}};
const Signature SYM_HASATTR_SIG{"sym_hasattr", {arg("key")}, {.method = true}};

}  // namespace

Ref SymDict::sym_items(PyObject *self)
{
    return iterate(listing(self, Listing::Items));
}

namespace dict_faces {

PyObject *subscript(PyObject *self, PyObject *key)
{
    return guard([&] { return item(self, key); });
}

PyObject *getattro(PyObject *self, PyObject *name)
{
    // The generic lookup without its AttributeError: a miss (a property
    // whose getter raised one included) falls through to the stored keys.
    PyObject *found = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
    if (found != nullptr || PyErr_Occurred()) {
        return found;
    }
    return guard([&] { return member_attribute(self, name); });
}

Ref get(PyObject *self, FastArgs a)
{
    PyObject *key, *dflt = nullptr;
    if (a.kwnames == nullptr && (a.nargs == 1 || a.nargs == 2)) {
        key = a.args[0];
        dflt = a.nargs == 2 ? a.args[1] : nullptr;
    }
    else {
        Bound b;
        if (failed(GET_SIG.bind(a, b))) {
            return error;
        }
        key = b[0];
        dflt = b[1];
    }
    Maybe<Ref> member = stored(self, key);
    if (!member) {
        return error;
    }
    Ref fallback = Ref::borrow(dflt != nullptr ? dflt : Py_None);
    if (!*member) {
        return fallback;
    }
    Ref resolved = resolve(std::move(*member));
    if (!resolved) {
        if (failed(discard_error_of({PyExc_AttributeError}))) {
            return error;
        }
        return fallback;
    }
    return resolved;
}

Ref sym_getattr(PyObject *self, FastArgs a)
{
    PyObject *key = container::one_arg(a, SYM_GETATTR_SIG);
    if (key == nullptr) {
        return error;
    }
    Maybe<Ref> member = stored(self, key);
    if (!member) {
        return error;
    }
    if (!*member) {
        return raise_key_error(key);
    }
    return std::move(*member);
}

Ref sym_hasattr(PyObject *self, FastArgs a)
{
    PyObject *key = container::one_arg(a, SYM_HASATTR_SIG);
    if (key == nullptr) {
        return error;
    }
    Maybe<bool> in = predicate(PyDict_Contains(SymDict::storage(self), key));
    if (!in) {
        return error;
    }
    return new_bool(*in);
}

Ref sym_keys(PyObject *self)
{
    return iterate(listing(self, Listing::Keys));
}

Ref sym_values(PyObject *self)
{
    return iterate(listing(self, Listing::Values));
}

Ref sym_items(PyObject *self)
{
    return SymDict::sym_items(self);
}

}  // namespace dict_faces

}  // namespace norv::symbolic
