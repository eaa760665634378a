// The entries of one emitted dict, in the order the host's serializer writes
// them: a schema's order (constant fields in declaration order, an open
// schema's other stored keys at its wildcard's place) with frozen fields and
// missing values left out, or storage order without a schema. Shapes whose
// order cannot be reproduced here decline.
#include "core/args.hpp"
#include "core/names.hpp"
#include "nodes/container_bridge.hpp"
#include "emission/to_json.hpp"
#include "typing/schema/open_plan.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_specs/base.hpp"

namespace norv::symbolic::ops {

namespace {

namespace schema = typing::schema;

// out[key] := the walked value.
Maybe<bool> emit(PyObject *out, PyObject *key, PyObject *value, Walk &w)
{
    return store_answer(out, key, walk(value, w));
}

// The type of the host's missing value: a value of exactly that type is left out.
PyTypeObject *missing_type()
{
    return Py_TYPE(bridge::get().missing_value);
}

// Plain lookups of a schema's constant keys in a source dict, in the
// schema's order. A source filled in that order under the schema's own key
// objects (as construction fills a field dict) holds each key at the entry
// after the previous one: that entry is tried first, by key identity, which
// finds what the lookup would without hashing.
class ConstLookup {
public:
    ConstLookup(PyObject *source, PyTypeObject *missing) noexcept : source_(source), missing_(missing) {}

    // The stored value of `key`, unless it is absent or missing (an empty Ref).
    Maybe<Ref> present(PyObject *key)
    {
        Ref value;
        Py_ssize_t next = pos_;
        PyObject *k = nullptr, *v = nullptr;
        if (PyDict_Next(source_, &next, &k, &v) && k == key) {
            pos_ = next;
            value = Ref::borrow(v);
        }
        else {
            PyObject *found = nullptr;
            if (PyDict_GetItemRef(source_, key, &found) < 0) {
                return error;
            }
            value = Ref::steal(found);
        }
        if (value && Py_TYPE(value.get()) == missing_) {
            return Ref();
        }
        return value;
    }

private:
    PyObject *source_;
    PyTypeObject *missing_;
    Py_ssize_t pos_ = 0;
};

// Every stored entry in storage order; values of type `skip` (when given) are
// left out.
Maybe<bool> fill_storage_order(PyObject *source, Walk &w, PyObject *out, PyTypeObject *skip)
{
    return dict_while(source, [&](PyObject *key, PyObject *value) -> Maybe<bool> {
        if (Py_TYPE(value) == skip) {
            return true;
        }
        return emit(out, key, value, w);
    });
}

// The truth of a value spec's `frozen`; a final native spec answers from its
// state without the property call.
Maybe<bool> spec_frozen(PyObject *spec)
{
    if (typing::base::is_final_native(spec)) {
        typing::base::NativeRead read(spec);
        if (read.failed()) {
            return error;
        }
        return read.engine().frozen;
    }
    return truth_attr<"frozen">(spec);
}

// One item of `_const_apply_fields`: a (key text, field, value spec) tuple.
Maybe<bool> fill_const_entry(ConstLookup &source, PyObject *item, Walk &w, PyObject *out)
{
    if (!PyTuple_Check(item)) {
        return raise_not_instance(item, "tuple");
    }
    PyObject *key = PyTuple_GetItem(item, 0);
    PyObject *spec = key != nullptr ? PyTuple_GetItem(item, 2) : nullptr;
    if (spec == nullptr) {
        return error;
    }
    if (w.leaves_frozen_out()) {
        const Maybe<bool> frozen = spec_frozen(spec);
        if (!frozen || *frozen) {
            return frozen ? Maybe<bool>(true) : Maybe<bool>(error);
        }
    }
    Maybe<Ref> value = source.present(key);
    if (!value || !*value) {
        return value ? Maybe<bool>(true) : Maybe<bool>(error);
    }
    return emit(out, key, value->get(), w);
}

// A schema of constant keys only: its fields in declaration order; stored
// keys that are no field of it are not emitted.
Maybe<bool> fill_const(PyObject *source, PyObject *caf, Walk &w, PyObject *out, PyTypeObject *missing)
{
    if (caf == Py_None) {
        return false;
    }
    ConstLookup lookup(source, missing);
    auto entry = [&](PyObject *item) { return fill_const_entry(lookup, item, w, out); };
    if (!PyTuple_CheckExact(caf)) {
        return items_while(caf, entry);
    }
    // A tuple (a native schema's own) is read in place: nothing can change it.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(caf); ++i) {
        const Maybe<bool> go_on = entry(PyTuple_GET_ITEM(caf, i));
        if (!go_on || !*go_on) {
            return go_on;
        }
    }
    return true;
}

// The open plan's constant entries [from, to), in declaration order.
Maybe<bool> fill_plan_consts(const schema::OpenSchemaPlan &plan, std::size_t from, std::size_t to,
                             PyObject *source, Walk &w, PyObject *out, PyTypeObject *missing)
{
    ConstLookup lookup(source, missing);
    for (std::size_t i = from; i < to; ++i) {
        PyObject *key = plan.const_pairs[i].first.get();
        if (w.leaves_frozen_out()) {
            const Maybe<bool> frozen = truth_attr<"frozen">(plan.const_fields[i].get());
            if (!frozen) {
                return error;
            }
            if (*frozen) {
                continue;
            }
        }
        Maybe<Ref> value = lookup.present(key);
        if (!value) {
            return error;
        }
        if (!*value) {
            continue;
        }
        const Maybe<bool> emitted = emit(out, key, value->get(), w);
        if (!emitted || !*emitted) {
            return emitted;
        }
    }
    return true;
}

// A schema of constant keys and one plain string wildcard: the constant
// fields before the wildcard, the other stored keys in storage order, then
// the remaining constant fields. The schema stays held for reading
// throughout, so the plan cannot be replaced under the walk.
Maybe<bool> fill_dict_open(PyObject *source, PyObject *schema_obj, Walk &w, PyObject *out,
                           PyTypeObject *missing)
{
    schema::State &s = schema::state(schema_obj);
    SharedBorrow hold(s.borrow, OnConflict::Panic);
    const schema::OpenSchemaPlan *plan = s.caches().plan.get();
    if (plan == nullptr) {
        return false;
    }
    const Maybe<bool> str_keys = str_keys_only(source);
    if (!str_keys || !*str_keys) {
        return str_keys;
    }
    const std::size_t split = plan->wildcard_pos;
    const Maybe<bool> head = fill_plan_consts(*plan, 0, split, source, w, out, missing);
    if (!head || !*head) {
        return head;
    }
    bool residue = true;
    if (w.leaves_frozen_out()) {
        const Maybe<bool> frozen = truth_attr<"frozen">(plan->wildcard_field.get());
        if (!frozen) {
            return error;
        }
        residue = !*frozen;
    }
    if (residue) {
        const Maybe<bool> rest = dict_while(source, [&](PyObject *key, PyObject *value) -> Maybe<bool> {
            if (schema::key_in_plan_consts(plan->const_index, key) || Py_TYPE(value) == missing) {
                return true;
            }
            return emit(out, key, value, w);
        });
        if (!rest || !*rest) {
            return rest;
        }
    }
    return fill_plan_consts(*plan, split, plan->const_fields.size(), source, w, out, missing);
}

// What the caches of a native schema say about its shape.
struct Shape {
    Ref const_apply_fields;  // or None
    Ref fields;
    Py_ssize_t nonconst_count;
    bool has_nonconst_keys;
    bool has_const_keys;
};

Shape shape_of(PyObject *schema_obj)
{
    schema::State &s = schema::state(schema_obj);
    SharedBorrow hold(s.borrow, OnConflict::Panic);
    const schema::SchemaMeta &m = s.caches();
    PyObject *caf = m.const_apply_fields.get();
    return {
        .const_apply_fields = Ref::borrow(caf != nullptr ? caf : Py_None),
        .fields = Ref::borrow(s.fields.get()),
        .nonconst_count = m.nonconst_keys ? PyList_GET_SIZE(m.nonconst_keys.get()) : 0,
        .has_nonconst_keys = m.has_nonconst_keys,
        .has_const_keys = m.has_const_keys,
    };
}

// A native schema whose one key is a plain wildcard: storage order, missing
// values left out; a frozen wildcard declines.
Maybe<bool> fill_wildcard_only(PyObject *source, const Shape &shape, Walk &w, PyObject *out,
                               PyTypeObject *missing)
{
    if (shape.nonconst_count != 1) {
        return false;
    }
    const Maybe<bool> none_frozen =
        dict_while(shape.fields.get(), [](PyObject *, PyObject *field) -> Maybe<bool> {
            const Maybe<bool> frozen = truth_attr<"frozen">(field);
            return frozen ? Maybe<bool>(!*frozen) : Maybe<bool>(error);
        });
    if (!none_frozen || !*none_frozen) {
        return none_frozen;
    }
    return fill_storage_order(source, w, out, missing);
}

// A native schema, its caches read in place.
Maybe<bool> fill_native(PyObject *source, PyObject *schema_obj, Walk &w, PyObject *out)
{
    const Shape shape = shape_of(schema_obj);
    PyTypeObject *missing = missing_type();
    if (!shape.has_nonconst_keys) {
        return fill_const(source, shape.const_apply_fields.get(), w, out, missing);
    }
    if (shape.has_const_keys) {
        return fill_dict_open(source, schema_obj, w, out, missing);
    }
    return fill_wildcard_only(source, shape, w, out, missing);
}

}  // namespace

Maybe<bool> str_keys_only(PyObject *dict)
{
    Ref keys = Ref::steal(PyDict_Keys(dict));
    if (!keys) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        if (!PyUnicode_Check(PyList_GET_ITEM(keys.get(), i))) {
            return false;
        }
    }
    return true;
}

Maybe<bool> fill_dict(PyObject *source, PyObject *schema_obj, Walk &w, PyObject *out)
{
    if (schema_obj == nullptr) {
        return fill_storage_order(source, w, out, nullptr);
    }
    if (schema::is_schema(schema_obj)) {
        return fill_native(source, schema_obj, w, out);
    }
    // Any other schema object answers through its attributes; only a schema
    // of constant keys can be ordered without its native caches.
    Ref caf = attr<"_const_apply_fields">(schema_obj);
    if (!caf) {
        return error;
    }
    PyTypeObject *missing = missing_type();
    Ref nonconst_attr = attr<"_has_nonconst_keys">(schema_obj);
    const Maybe<bool> nonconst = nonconst_attr ? to_bool(nonconst_attr.get()) : Maybe<bool>(error);
    if (!nonconst) {
        return error;
    }
    if (*nonconst) {
        return false;
    }
    return fill_const(source, caf.get(), w, out, missing);
}

}  // namespace norv::symbolic::ops
