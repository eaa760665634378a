// The read cores of SymDict that other operations walk: the storage, the
// bound schema and schema order.
#include "core/borrow.hpp"
#include "symbolic/dict.hpp"
#include "symbolic/dict_faces.hpp"
#include "typing/key_specs/key_specs.hpp"
#include "core/names.hpp"

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
    Ref spec;
    {
        DictFields &f = fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        spec = Ref::borrow(f.value_spec.get());
    }
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

Ref SymDict::schema_ordered_keys(PyObject *self, PyObject *schema)
{
    PyObject *dict = storage(self);
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
    if (PySet_GET_SIZE(taken.get()) < PyDict_GET_SIZE(dict)) {
        Ref stored_keys = Ref::steal(PyDict_Keys(dict));
        if (!stored_keys) {
            return error;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stored_keys.get()); ++i) {
            PyObject *key = PyList_GET_ITEM(stored_keys.get(), i);
            const int seen = PySet_Contains(taken.get(), key);
            if (seen < 0 || (seen == 0 && PyList_Append(result.get(), key) < 0)) {
                return error;
            }
        }
    }
    return result;
}

Ref SymDict::sym_items(PyObject *self)
{
    Maybe<Ref> schema = schema_of(self);
    if (!schema) {
        return error;
    }
    PyObject *dict = storage(self);
    Ref items;
    if (!*schema) {
        items = Ref::steal(PyDict_Items(dict));
    }
    else {
        Ref keys = schema_ordered_keys(self, schema->get());
        if (!keys) {
            return error;
        }
        const Py_ssize_t n = PyList_GET_SIZE(keys.get());
        items = Ref::steal(PyList_New(n));
        for (Py_ssize_t i = 0; items && i < n; ++i) {
            PyObject *key = PyList_GET_ITEM(keys.get(), i);
            PyObject *value = nullptr;
            const int found = PyDict_GetItemRef(dict, key, &value);
            if (found < 0) {
                return error;
            }
            if (found == 0) {
                panic("schema key present");
            }
            PyObject *pair = PyTuple_Pack(2, key, value);
            Py_DECREF(value);
            if (pair == nullptr) {
                return error;
            }
            PyList_SET_ITEM(items.get(), i, pair);
        }
    }
    if (!items) {
        return error;
    }
    return Ref::steal(PyObject_GetIter(items.get()));
}

namespace dict_faces {

Ref sym_items(PyObject *self)
{
    return SymDict::sym_items(self);
}

}  // namespace dict_faces

}  // namespace norv::symbolic
