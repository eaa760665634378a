// Inline object serde: the JSON dict of one object built straight from its
// field dict, for classes the host serialises without the tree walk, and the
// test whether a JSON dict can construct an object by a plain keyword call.

#include <cstddef>
#include <unordered_set>
#include <vector>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "objects/sym_object.hpp"
#include "emission/to_json.hpp"
#include "typing/schema/open_plan.hpp"
#include "typing/schema/schema.hpp"

namespace norv::symbolic::object {

namespace {

namespace schema = typing::schema;
using ops::is_wire_primitive;
using ops::store_answer;

// Plain JSON nested deeper than this is left to the host (it is decoded
// JSON or one object's field values; the host's own path recurses too).
constexpr std::size_t MAX_PLAIN_DEPTH = ops::MAX_WALK_DEPTH;

// The lists and dicts met so far in one emitter call: a second meeting (a
// value shared by two fields, repeated inside one value, or a cycle) is the
// host's to serialise through its reference sharing. Identity only; nothing
// follows its order.
struct Copy {
    std::unordered_set<const PyObject *> seen;
    StackBounds bounds = StackBounds::current();
    std::size_t depth = 0;
};

// Whether every element of the list, read from its storage up to the
// smaller of `start` and its current length, is a wire primitive.
bool all_primitive_items(PyObject *list, Py_ssize_t start) noexcept
{
    for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(list); ++i) {
        if (!is_wire_primitive(PyList_GET_ITEM(list, i))) {
            return false;
        }
    }
    return true;
}

bool all_primitive_values(PyObject *dict) noexcept
{
    Py_ssize_t pos = 0;
    PyObject *k = nullptr, *v = nullptr;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        if (!is_wire_primitive(v)) {
            return false;
        }
    }
    return true;
}

Maybe<Ref> plain_value_to_json(PyObject *value, Copy &c);

// out[key] := the value, copied when it is a container. False: a bail.
Maybe<bool> emit_inline_value(PyObject *out, PyObject *key, PyObject *value, Copy &c)
{
    return store_answer(out, key, plain_value_to_json(value, c));
}

Maybe<Ref> plain_list_to_json(PyObject *list, Copy &c)
{
    const Py_ssize_t start = PyList_GET_SIZE(list);
    if (all_primitive_items(list, start)) {
        return Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        Maybe<Ref> copy = plain_value_to_json(item.get(), c);
        if (!copy || !*copy) {
            return copy;
        }
        if (PyList_Append(out.get(), copy->get()) < 0) {
            return error;
        }
    }
    return out;
}

Maybe<Ref> plain_dict_to_json(PyObject *dict, Copy &c)
{
    if (all_primitive_values(dict)) {
        return Ref::steal(PyDict_Copy(dict));
    }
    Ref out = Ref::steal(PyDict_New());
    if (!out) {
        return error;
    }
    const Maybe<bool> copied = dict_while(
        dict, [&](PyObject *key, PyObject *item) { return emit_inline_value(out.get(), key, item, c); });
    if (!copied || !*copied) {
        return copied ? Maybe<Ref>(Ref()) : Maybe<Ref>(error);
    }
    return out;
}

// A copy of a plain JSON value (a wire primitive, or an exact list or dict
// of plain values), or a bail (an empty Ref) for anything else.
Maybe<Ref> plain_value_to_json(PyObject *value, Copy &c)
{
    if (is_wire_primitive(value)) {
        return Ref::borrow(value);
    }
    const bool list = PyList_CheckExact(value);
    if ((!list && !PyDict_CheckExact(value)) || c.depth >= MAX_PLAIN_DEPTH || !c.seen.insert(value).second) {
        return Ref();
    }
    RecursionGuard guard(" while copying plain JSON", c.bounds);
    if (guard.failed()) {
        return error;
    }
    ++c.depth;
    Maybe<Ref> copy = list ? plain_list_to_json(value, c) : plain_dict_to_json(value, c);
    --c.depth;
    return copy;
}

// The field dict of a SymObject and a new dict holding its "_type", or
// nothing for anything else and for a blank object.
struct Head {
    Ref fields;
    Ref out;
};

Maybe<Head> inline_json_head(PyObject *obj)
{
    if (!SymObject::check(obj)) {
        return Head{};
    }
    Ref fields = SymObject::inline_storage(obj);
    if (!fields) {
        return Head{};
    }
    Ref out = Ref::steal(PyDict_New());
    if (!out) {
        return error;
    }
    Ref key = attr<"__serialization_key__">(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    if (!key || PyDict_SetItem(out.get(), interned<"_type">(), key.get()) < 0) {
        return error;
    }
    return Head{std::move(fields), std::move(out)};
}

// A field looked up in the field dict and emitted. False: absent, or a bail.
Maybe<bool> emit_field(const Head &h, PyObject *key, Copy &c)
{
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(h.fields.get(), key, &found) < 0) {
        return error;
    }
    Ref value = Ref::steal(found);
    if (!value) {
        return false;
    }
    return emit_inline_value(h.out.get(), key, value.get(), c);
}

// The emitters' answer: the dict when every step went on, else None.
Ref answer(const Maybe<bool> &done, Ref out)
{
    if (!done) {
        return error;
    }
    return *done ? std::move(out) : none();
}

const Signature TO_JSON_SIG{"_native_inline_object_to_json", {arg("obj"), arg("plan")}};
const Signature TO_JSON_OPEN_SIG{"_native_inline_object_to_json_open", {arg("obj")}};
const Signature ALL_PLAIN_SIG{"_native_from_json_all_plain", {arg("json_value"), arg("raw_safe")}};

Ref inline_object_to_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(TO_JSON_SIG.bind(a, b))) {
        return error;
    }
    Maybe<Head> head = inline_json_head(b[0]);
    if (!head) {
        return error;
    }
    if (!head->out) {
        return none();
    }
    Copy c;
    const Maybe<bool> done = items_while(b[1], [&](PyObject *key) { return emit_field(*head, key, c); });
    return answer(done, std::move(head->out));
}

// The plan's constant entries [from, to): each must be stored.
Maybe<bool> emit_plan_consts(const schema::OpenSchemaPlan &plan, std::size_t from, std::size_t to,
                             const Head &h, Copy &c)
{
    for (std::size_t i = from; i < to; ++i) {
        const Maybe<bool> emitted = emit_field(h, plan.const_pairs[i].first.get(), c);
        if (!emitted || !*emitted) {
            return emitted;
        }
    }
    return true;
}

Maybe<bool> emit_open(const schema::OpenSchemaPlan &plan, const Head &h)
{
    PyObject *fields = h.fields.get();
    const Maybe<bool> str_keys = ops::str_keys_only(fields);
    if (!str_keys || !*str_keys) {
        return str_keys;
    }
    Copy c;
    const Maybe<bool> head = emit_plan_consts(plan, 0, plan.wildcard_pos, h, c);
    if (!head || !*head) {
        return head;
    }
    const Maybe<bool> rest = dict_while(fields, [&](PyObject *key, PyObject *value) -> Maybe<bool> {
        if (schema::key_in_plan_consts(plan.const_index, key)) {
            return true;
        }
        return emit_inline_value(h.out.get(), key, value, c);
    });
    if (!rest || !*rest) {
        return rest;
    }
    return emit_plan_consts(plan, plan.wildcard_pos, plan.const_fields.size(), h, c);
}

Ref inline_object_to_json_open(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(TO_JSON_OPEN_SIG.bind(a, b))) {
        return error;
    }
    // Read before the object is looked at: a class without a schema raises.
    Ref schema_obj = attr<"__schema__">(reinterpret_cast<PyObject *>(Py_TYPE(b[0])));
    if (!schema_obj) {
        return error;
    }
    if (!schema::is_schema(schema_obj.get())) {
        return none();
    }
    schema::State &s = schema::state(schema_obj.get());
    SharedBorrow hold(s.borrow, OnConflict::Panic);
    const schema::OpenSchemaPlan *plan = s.caches().plan.get();
    if (plan == nullptr) {
        return none();
    }
    Maybe<Head> head = inline_json_head(b[0]);
    if (!head) {
        return error;
    }
    if (!head->out) {
        return none();
    }
    const Maybe<bool> done = emit_open(*plan, *head);
    return answer(done, std::move(head->out));
}

// ---- the plain check --------------------------------------------------------------------------

// The containers on the way from the checked dict to the current child: one
// met again is a cycle, which no decoded JSON holds.
struct PlainCheck {
    std::vector<const PyObject *> path;
    StackBounds bounds = StackBounds::current();
};

Maybe<bool> is_plain_json_child(PyObject *value, PlainCheck &pc);

// A wire primitive, exact bytes, or a plain child.
Maybe<bool> is_plain_member(PyObject *value, PlainCheck &pc)
{
    if (is_wire_primitive(value) || PyBytes_CheckExact(value)) {
        return true;
    }
    return is_plain_json_child(value, pc);
}

Maybe<bool> plain_list(PyObject *list, PlainCheck &pc)
{
    const Py_ssize_t start = PyList_GET_SIZE(list);
    if (start > 0) {
        Ref first = Ref::borrow(PyList_GET_ITEM(list, 0));
        const Maybe<bool> tuple_marker = eq_truth(first.get(), interned<"__tuple__">());
        if (!tuple_marker || *tuple_marker) {
            return tuple_marker ? Maybe<bool>(false) : Maybe<bool>(error);
        }
    }
    for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        const Maybe<bool> plain = is_plain_member(item.get(), pc);
        if (!plain || !*plain) {
            return plain;
        }
    }
    return true;
}

Maybe<bool> plain_dict(PyObject *dict, PlainCheck &pc)
{
    for (PyObject *marker : {interned<"_type">(), interned<"__ref__">(), interned<"__symbolic__">()}) {
        const Maybe<bool> holds = predicate(PyDict_Contains(dict, marker));
        if (!holds || *holds) {
            return holds ? Maybe<bool>(false) : Maybe<bool>(error);
        }
    }
    Ref values = Ref::steal(PyDict_Values(dict));
    if (!values) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        const Maybe<bool> plain = is_plain_member(PyList_GET_ITEM(values.get(), i), pc);
        if (!plain || !*plain) {
            return plain;
        }
    }
    return true;
}

// Whether a child of the JSON dict needs no conversion: an exact list that
// is no tuple's wire form, or an exact dict without the host's markers,
// holding only such members. Nesting past the bound, and a container that
// holds itself, are not plain.
Maybe<bool> is_plain_json_child(PyObject *value, PlainCheck &pc)
{
    const bool list = PyList_CheckExact(value);
    if (!list && !PyDict_CheckExact(value)) {
        return false;
    }
    if (pc.path.size() >= MAX_PLAIN_DEPTH) {
        return false;
    }
    for (const PyObject *outer : pc.path) {
        if (outer == value) {
            return false;
        }
    }
    RecursionGuard guard(" while checking plain JSON", pc.bounds);
    if (guard.failed()) {
        return error;
    }
    pc.path.push_back(value);
    const Maybe<bool> plain = list ? plain_list(value, pc) : plain_dict(value, pc);
    pc.path.pop_back();
    return plain;
}

Ref from_json_all_plain(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(ALL_PLAIN_SIG.bind(a, b))) {
        return error;
    }
    PyObject *json_value = b[0];
    PyObject *raw_safe = b[1];
    if (!PyDict_CheckExact(json_value)) {
        return new_bool(false);
    }
    PlainCheck pc;
    const Maybe<bool> plain = dict_while(json_value, [&](PyObject *key, PyObject *value) -> Maybe<bool> {
        const Maybe<bool> safe = predicate(PySequence_Contains(raw_safe, key));
        if (!safe || !*safe) {
            return safe;
        }
        return is_plain_member(value, pc);
    });
    if (!plain) {
        return error;
    }
    return new_bool(*plain);
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef INLINE_OBJECT_TO_JSON_DEF = method<inline_object_to_json>(
    "_native_inline_object_to_json",
    "_native_inline_object_to_json($module, /, obj, plan)\n--\n\n"
    "The JSON dict of an object from its field dict, its fields in the order of `plan`; None when the "
    "host serialises it.");
PyMethodDef INLINE_OBJECT_TO_JSON_OPEN_DEF = method<inline_object_to_json_open>(
    "_native_inline_object_to_json_open",
    "_native_inline_object_to_json_open($module, /, obj)\n--\n\n"
    "The JSON dict of an object whose class schema is open, in its schema's order; None when the host "
    "serialises it.");
PyMethodDef FROM_JSON_ALL_PLAIN_DEF =
    method<from_json_all_plain>("_native_from_json_all_plain",
                                "_native_from_json_all_plain($module, /, json_value, raw_safe)\n--\n\n"
                                "Whether a JSON dict can construct an object by a plain keyword call.");

}  // namespace norv::symbolic::object
