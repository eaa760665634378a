#include "typing/schema/schema.hpp"

#include <new>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/dict_stamp.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"
#include "formatting/format.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/value_specs/frame.hpp"

namespace norv::typing::schema {

namespace {

struct SchemaObject {
    PyObject_HEAD
    State s;
};

TypeCell TYPE;

// ---- construction ---------------------------------------------------------------------------

const Signature NEW_SIG{"Schema",
                        {arg("fields"), opt("name"), opt("base_schema_list"), opt("description"),
                         kwopt("allow_nonconst_keys"), kwopt("metadata"), kwopt("for_cls")}};

PyObject *schema_tp_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Maybe<bool> allow = bool_arg("allow_nonconst_keys", b[4], false, ArgCause::ConversionCause);
        if (!allow) {
            return error;
        }
        return schema_new(b[0], b.null_if_none(1), b.null_if_none(2), b.null_if_none(3), *allow,
                          b.null_if_none(5), b.null_if_none(6));
    });
}

const Signature MERGE_SIG{"merge", {arg("schema_list"), opt("name"), opt("description")}, {.method = true}};

Ref schema_merge_method(PyObject *, FastArgs fa)
{
    Bound b;
    if (failed(MERGE_SIG.bind(fa, b))) {
        return error;
    }
    return schema_merge(b[0], b.null_if_none(1), b.null_if_none(2));
}

Ref schema_extend(PyObject *self, PyObject *base)
{
    State &s = state(self);
    Ref fields, metadata;
    bool allow = false;
    Ref dynamic;
    {
        SharedBorrow hold(s.borrow);
        if (hold.failed()) {
            return error;
        }
        fields = Ref::borrow(s.fields.get());
        metadata = Ref::borrow(s.metadata.get());
        dynamic = Ref::borrow(s.dynamic_field.get());
        allow = s.allow_nonconst_keys;
    }
    Maybe<std::pair<Ref, Ref>> merged = merge_fields(fields.get(), metadata.get(), allow, base);
    if (!merged) {
        return error;
    }
    if (dynamic.get() == Py_None) {
        dynamic = detect_dynamic_field(merged->first.get());
        if (!dynamic) {
            return error;
        }
    }
    Maybe<std::unique_ptr<SchemaMeta>> caches = compute_caches(merged->first.get());
    if (!caches) {
        return error;
    }
    std::unique_ptr<SchemaMeta> old_meta = std::move(*caches);
    {
        ExclusiveBorrow hold(s.borrow, OnConflict::Panic);
        std::swap(s.fields, merged->first);
        std::swap(s.metadata, merged->second);
        std::swap(s.dynamic_field, dynamic);
        std::swap(s.meta, old_meta);
    }
    // The displaced objects go after the access ends: their release may run
    // code that reads this schema.
    return Ref::borrow(self);
}

// ---- lookup ----------------------------------------------------------------------------------

// `fields[key]` under the caller's shared access, an empty Ref when absent.
// A str names a field through the caches' own text map while `fields` is the
// dict they were computed from: its keys are then native ConstStrKeys, equal
// to a str exactly when their texts are, and neither lookup runs code.
Maybe<Ref> find_field(const State &s, PyObject *key)
{
    const SchemaMeta &m = s.caches();
    PyObject *found = nullptr;
    int rc = 0;
    if (PyUnicode_CheckExact(key) && m.const_keys_native &&
        same_stamp(m.fields_stamp, dict_stamp(s.fields.get()))) {
        PyObject *by_text = m.text_map();
        rc = by_text != nullptr ? PyDict_GetItemRef(by_text, key, &found) : -1;
    }
    else {
        // Held: a key's comparison may run code.
        Ref fields = Ref::borrow(s.fields.get());
        rc = PyDict_GetItemRef(fields.get(), key, &found);
    }
    if (rc < 0) {
        return error;
    }
    return Ref::steal(found);
}

const Signature GET_SIG{"get", {arg("key"), opt("default")}, {.method = true}};

// `get`'s arguments through the full binding, kept out of the positional
// call's way (a Bound is large).
[[gnu::noinline]] Status bind_get(FastArgs fa, PyObject **key, PyObject **fallback)
{
    Bound b;
    if (failed(GET_SIG.bind(fa, b))) {
        return error;
    }
    *key = b[0];
    *fallback = b.has(1) ? b[1] : Py_None;
    return Status::ok;
}

Ref schema_get(PyObject *self, FastArgs fa)
{
    PyObject *key = nullptr, *fallback = Py_None;
    if (fa.kwnames == nullptr && (fa.nargs == 1 || fa.nargs == 2)) {
        key = fa.args[0];
        fallback = fa.nargs == 2 ? fa.args[1] : Py_None;
    }
    else if (failed(bind_get(fa, &key, &fallback))) {
        return error;
    }
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Maybe<Ref> found = find_field(s, key);
    if (!found) {
        return error;
    }
    return *found ? std::move(*found) : Ref::borrow(fallback);
}

template <PyObject *(*View)(PyObject *)>
Ref schema_view(PyObject *self)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Ref fields = Ref::borrow(s.fields.get());
    Ref method = Ref::steal(View(fields.get()));
    return method;
}

PyObject *dict_keys_view(PyObject *d)
{
    return PyObject_CallMethod(d, "keys", nullptr);
}
PyObject *dict_values_view(PyObject *d)
{
    return PyObject_CallMethod(d, "values", nullptr);
}
PyObject *dict_items_view(PyObject *d)
{
    return PyObject_CallMethod(d, "items", nullptr);
}

PyObject *schema_subscript(PyObject *self, PyObject *key)
{
    return guard([&]() -> Ref {
        State &s = state(self);
        SharedBorrow hold(s.borrow);
        if (hold.failed()) {
            return error;
        }
        Maybe<Ref> found = find_field(s, key);
        if (!found) {
            return error;
        }
        if (!*found) {
            Ref text = repr_of(key);
            if (text) {
                PyErr_SetObject(PyExc_KeyError, text.get());
            }
            return error;
        }
        return std::move(*found);
    });
}

int schema_contains(PyObject *self, PyObject *key)
{
    return guard_int([&]() -> Maybe<bool> {
        State &s = state(self);
        SharedBorrow hold(s.borrow);
        if (hold.failed()) {
            return error;
        }
        Maybe<Ref> found = find_field(s, key);
        if (!found) {
            return error;
        }
        return static_cast<bool>(*found);
    });
}

}  // namespace

Ref get_field(PyObject *self, PyObject *key)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Maybe<Ref> found = find_field(s, key);
    if (!found) {
        return error;
    }
    if (*found) {
        return std::move(*found);
    }
    Ref fields = Ref::borrow(s.fields.get());
    if (!s.allow_nonconst_keys) {
        return none();
    }
    Ref result = none();
    bool done = false;
    const Status st = dict_for_each(fields.get(), [&](PyObject *spec, PyObject *f) -> Status {
        if (done) {
            return Status::ok;
        }
        Ref m = Ref::steal(PyObject_CallMethod(spec, "match", "O", key));
        if (!m) {
            return error;
        }
        const Maybe<bool> t = truth(m.get());
        if (!t) {
            return error;
        }
        if (*t) {
            result = Ref::borrow(f);
            done = true;
        }
        return Status::ok;
    });
    if (failed(st)) {
        return error;
    }
    return result;
}

Ref call_get_field(PyObject *schema, PyObject *key)
{
    return is_schema(schema) ? get_field(schema, key) : call_method(schema, interned<"get_field">(), key);
}

namespace {

Ref schema_resolve(PyObject *self, PyObject *keys)
{
    SharedBorrow hold(state(self).borrow);
    if (hold.failed()) {
        return error;
    }
    Maybe<std::pair<Ref, Ref>> r = resolve_inner(self, keys);
    if (!r) {
        return error;
    }
    return Ref::steal(PyTuple_Pack(2, r->first.get(), r->second.get()));
}

// ---- text and JSON ----------------------------------------------------------------------------

Ref schema_format_impl(PyObject *self, bool compact, bool verbose, PyObject *root_indent, PyObject *cls_name,
                       PyObject *bracket_type, PyObject *kwargs, bool list_wrap)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Ref options = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    Ref label = cls_name ? Ref::borrow(cls_name) : new_str("Schema");
    Ref indent = root_indent ? Ref::borrow(root_indent) : new_int(0);
    if (!options || !label || !indent ||
        PyDict_SetItem(options.get(), interned<"label">(), label.get()) < 0) {
        return error;
    }
    if (bracket_type && PyDict_SetItemString(options.get(), "bracket_type", bracket_type) < 0) {
        return error;
    }
    if (PyDict_SetItem(options.get(), interned<"compact">(), py_bool(compact)) < 0 ||
        PyDict_SetItem(options.get(), interned<"verbose">(), py_bool(verbose)) < 0 ||
        PyDict_SetItem(options.get(), interned<"root_indent">(), indent.get()) < 0) {
        return error;
    }
    if (list_wrap) {
        Ref eighty = new_int(80);
        if (!eighty || PyDict_SetItem(options.get(), interned<"list_wrap_threshold">(), eighty.get()) < 0) {
            return error;
        }
    }
    Ref field_list = Ref::steal(PyDict_Values(s.fields.get()));
    Ref empty_list = Ref::steal(PyList_New(0));
    Ref empty_dict = Ref::steal(PyDict_New());
    if (!field_list || !empty_list || !empty_dict) {
        return error;
    }
    Ref items = Ref::steal(Py_BuildValue(
        "[(sOO)(sOO)(sOO)(sOO)(sOO)]", "name", s.name.get(), Py_None, "description", s.description.get(),
        Py_None, "fields", field_list.get(), empty_list.get(), "allow_nonconst_keys",
        py_bool(s.allow_nonconst_keys), Py_True, "metadata", s.metadata.get(), empty_dict.get()));
    if (!items) {
        return error;
    }
    return formatting::call_kvlist_str(items.get(), options.get());
}

const Signature FORMAT_SIG{"format",
                           {opt("compact"), opt("verbose"), opt("root_indent"), opt("cls_name"),
                            opt("bracket_type"), opt("fields_only")},
                           {.var_kwargs = true, .method = true}};

Ref schema_format(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(FORMAT_SIG.bind(fa, b))) {
        return error;
    }
    Maybe<bool> compact = bool_arg("compact", b[0], false, ArgCause::ConversionCause);
    if (!compact) {
        return error;
    }
    Maybe<bool> verbose = bool_arg("verbose", b[1], true, ArgCause::ConversionCause);
    if (!verbose) {
        return error;
    }
    Ref indent;
    if (b.has(2)) {
        Maybe<std::int64_t> i = i64_arg("root_indent", b[2], ArgCause::ConversionCause);
        if (!i) {
            return error;
        }
        indent = new_int(*i);
        if (!indent) {
            return error;
        }
    }
    Maybe<bool> fields_only = bool_arg("fields_only", b[5], false, ArgCause::ConversionCause);
    if (!fields_only) {
        return error;
    }
    return schema_format_impl(self, *compact, *verbose, indent.get(), b.null_if_none(3), b.null_if_none(4),
                              b.varkw.get(), false);
}

PyObject *schema_str(PyObject *self)
{
    return guard(
        [&] { return schema_format_impl(self, false, true, nullptr, nullptr, nullptr, nullptr, true); });
}

PyObject *schema_repr(PyObject *self)
{
    return guard(
        [&] { return schema_format_impl(self, true, true, nullptr, nullptr, nullptr, nullptr, true); });
}

const Signature TO_JSON_SIG{"to_json", {}, {.var_kwargs = true, .method = true}};

Ref schema_to_json(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(TO_JSON_SIG.bind(fa, b))) {
        return error;
    }
    PyObject *kw = b.varkw.get();
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Ref out = Ref::steal(PyDict_New());
    Ref key = new_str("norv.typing.Schema");
    if (!out || !key || PyDict_SetItemString(out.get(), "_type", key.get()) < 0) {
        return error;
    }
    auto put = [&](const char *name, PyObject *value) -> Status {
        Ref encoded = bridge::call_to_json(value, kw);
        return encoded ? check(PyDict_SetItemString(out.get(), name, encoded.get())) : Status(error);
    };
    if (PyDict_GET_SIZE(s.fields.get()) > 0) {
        Ref list = Ref::steal(PyDict_Values(s.fields.get()));
        if (!list || failed(put("fields", list.get()))) {
            return error;
        }
    }
    if (s.name.get() != Py_None && failed(put("name", s.name.get()))) {
        return error;
    }
    if (s.description.get() != Py_None && failed(put("description", s.description.get()))) {
        return error;
    }
    if (s.allow_nonconst_keys && PyDict_SetItemString(out.get(), "allow_nonconst_keys", Py_True) < 0) {
        return error;
    }
    Ref metadata = Ref::borrow(s.metadata.get());
    const Maybe<bool> truthy = truth(metadata.get());
    if (!truthy || (*truthy && failed(put("metadata", metadata.get())))) {
        return error;
    }
    return out;
}

const Signature FROM_JSON_SIG{"from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref schema_from_json(PyObject *, FastArgs fa)
{
    Bound b;
    if (failed(FROM_JSON_SIG.bind(fa, b))) {
        return error;
    }
    PyObject *json = b[0];
    PyObject *kw = b.varkw.get();
    if (!PyDict_Check(json)) {
        return raise_not_instance(json, "dict");
    }
    Maybe<Ref> fields = frame::json_field(json, "fields", kw);
    if (!fields) {
        return error;
    }
    if (!*fields) {
        *fields = Ref::steal(PyList_New(0));
        if (!*fields) {
            return error;
        }
    }
    Maybe<Ref> name = frame::json_field(json, "name", kw);
    if (!name) {
        return error;
    }
    Maybe<Ref> description = frame::json_field(json, "description", kw);
    if (!description) {
        return error;
    }
    bool allow = false;
    PyObject *raw = nullptr;
    const int has = PyDict_GetItemStringRef(json, "allow_nonconst_keys", &raw);
    Ref hold = Ref::steal(raw);
    if (has < 0) {
        return error;
    }
    if (has) {
        Maybe<bool> v = to_bool(hold.get());
        if (!v) {
            return error;
        }
        allow = *v;
    }
    Maybe<Ref> metadata = frame::json_field(json, "metadata", kw);
    if (!metadata) {
        return error;
    }
    return schema_new(fields->get(), name->get(), nullptr, description->get(), allow, metadata->get(),
                      nullptr);
}

// ---- copies and comparison ------------------------------------------------------------------

Ref schema_copy(PyObject *self)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Ref list = Ref::steal(PyDict_Values(s.fields.get()));
    if (!list) {
        return error;
    }
    return schema_new(list.get(), s.name.get(), nullptr, s.description.get(), s.allow_nonconst_keys,
                      s.metadata.get(), nullptr);
}

const Signature DEEPCOPY_SIG{"__deepcopy__", {arg("memo")}, {.method = true}};

Ref schema_deepcopy(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(fa, b))) {
        return error;
    }
    // The fields are copied through `copy.deepcopy`, which reaches this again
    // for a schema nested in them.
    RecursionGuard depth(" while copying a schema");
    if (depth.failed()) {
        return error;
    }
    Ref copy = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy) {
        return error;
    }
    Ref deepcopy = attr<"deepcopy">(copy.get());
    if (!deepcopy) {
        return error;
    }
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Ref list = Ref::steal(PyDict_Values(s.fields.get()));
    if (!list) {
        return error;
    }
    Ref fields = Ref::steal(PyObject_CallFunctionObjArgs(deepcopy.get(), list.get(), b[0], nullptr));
    if (!fields) {
        return error;
    }
    Ref metadata = Ref::steal(PyObject_CallFunctionObjArgs(deepcopy.get(), s.metadata.get(), b[0], nullptr));
    if (!metadata) {
        return error;
    }
    return schema_new(fields.get(), s.name.get(), nullptr, s.description.get(), s.allow_nonconst_keys,
                      metadata.get(), nullptr);
}

PyObject *schema_richcompare(PyObject *self, PyObject *other, int op)
{
    return guard([&]() -> Ref {
        if ((op != Py_EQ && op != Py_NE) || !is_schema(other)) {
            return not_implemented();
        }
        bool eq = self == other;
        if (!eq) {
            SharedBorrow a(state(self).borrow, OnConflict::Panic);
            SharedBorrow b(state(other).borrow, OnConflict::Panic);
            Ref fa = Ref::borrow(state(self).fields.get());
            Ref fb = Ref::borrow(state(other).fields.get());
            const Maybe<bool> r = eq_truth(fa.get(), fb.get());
            if (!r) {
                return error;
            }
            eq = *r;
        }
        return new_bool(eq == (op == Py_EQ));
    });
}

Ref schema_is_compatible(PyObject *self, PyObject *other)
{
    if (!is_schema(other)) {
        return raise_format(PyExc_TypeError, "Argument 'other' should be a Schema object. Encountered %S.",
                            other);
    }
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Ref mine = Ref::borrow(s.fields.get());
    Ref theirs = attr<"fields">(other);
    if (!theirs) {
        return error;
    }
    if (!PyDict_Check(theirs.get())) {
        return raise_not_instance(theirs.get(), "dict");
    }
    bool answer = true;
    Status st = dict_for_each(theirs.get(), [&](PyObject *key, PyObject *) -> Status {
        if (!answer) {
            return Status::ok;
        }
        const int in = PyDict_Contains(mine.get(), key);
        if (in < 0) {
            return error;
        }
        answer = in != 0;
        return Status::ok;
    });
    if (failed(st)) {
        return error;
    }
    if (!answer) {
        return new_bool(false);
    }
    st = dict_for_each(mine.get(), [&](PyObject *key, PyObject *f) -> Status {
        if (!answer) {
            return Status::ok;
        }
        PyObject *found = nullptr;
        const int rc = PyDict_GetItemRef(theirs.get(), key, &found);
        Ref other_field = Ref::steal(found);
        if (rc < 0) {
            return error;
        }
        if (rc == 0) {
            answer = false;
            return Status::ok;
        }
        Ref a = attr<"value">(f);
        if (!a) {
            return error;
        }
        Ref bv = attr<"value">(other_field.get());
        if (!bv) {
            return error;
        }
        RecursionGuard guard(" while comparing schemas");
        if (guard.failed()) {
            return error;
        }
        Ref r = Ref::steal(PyObject_CallMethod(a.get(), "is_compatible", "O", bv.get()));
        if (!r) {
            return error;
        }
        const Maybe<bool> t = truth(r.get());
        if (!t) {
            return error;
        }
        answer = *t;
        return Status::ok;
    });
    if (failed(st)) {
        return error;
    }
    return new_bool(answer);
}

// ---- properties and setters -----------------------------------------------------------------

template <Ref State::*Member>
Ref get_member(PyObject *self)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    return Ref::borrow((s.*Member).get());
}

Ref get_allow(PyObject *self)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    return new_bool(s.allow_nonconst_keys);
}

template <Ref SchemaMeta::*Member>
Ref get_cache(PyObject *self)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    PyObject *v = (s.caches().*Member).get();
    return Ref::borrow(none_if_null(v));
}

template <bool SchemaMeta::*Member>
Ref get_cache_flag(PyObject *self)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    return new_bool(s.caches().*Member);
}

template <Ref State::*Member>
Ref set_member(PyObject *self, PyObject *value)
{
    Ref old = Ref::borrow(value);
    {
        ExclusiveBorrow hold(state(self).borrow);
        if (hold.failed()) {
            return error;
        }
        std::swap(old, state(self).*Member);
    }
    return none();
}

// ---- funnel probes and cache introspection ---------------------------------------------------

struct Found {
    Ref field;
    MetaPtr meta;
};

Maybe<Found> find_const_field(PyObject *self, PyObject *key)
{
    const SchemaMeta &m = state(self).caches();
    for (std::size_t i = 0; i < m.const_fields.size(); ++i) {
        Ref f = Ref::borrow(m.const_fields[i].get());
        Maybe<MetaPtr> meta = field_meta_for(f.get());
        if (!meta) {
            return error;
        }
        const Maybe<bool> eq = eq_truth((*meta)->key.get(), key);
        if (!eq) {
            return error;
        }
        if (*eq) {
            return Found{std::move(f), std::move(*meta)};
        }
    }
    Ref text = repr_of(key);
    if (!text) {
        return error;
    }
    return raise_format(PyExc_KeyError, "No precomputed FieldMeta for key %U.", text.get());
}

const char *accept_name(funnel::AcceptKind k) noexcept
{
    switch (k) {
        case funnel::AcceptKind::Verbatim:
            return "verbatim";
        case funnel::AcceptKind::Produced:
            return "produced";
        case funnel::AcceptKind::Wrap:
            return "wrap";
        case funnel::AcceptKind::Deferred:
            break;
    }
    return "deferred";
}

const Signature LEAF_SIG{"_funnel_leaf", {arg("key"), arg("value")}, {.method = true}};

Ref schema_funnel_leaf(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(LEAF_SIG.bind(fa, b))) {
        return error;
    }
    SharedBorrow hold(state(self).borrow);
    if (hold.failed()) {
        return error;
    }
    Maybe<Found> found = find_const_field(self, b[0]);
    if (!found) {
        return error;
    }
    Maybe<funnel::Accept> a = funnel::funnel_leaf(b[1], *found->meta);
    if (!a) {
        return error;
    }
    PyObject *carried = a->kind == funnel::AcceptKind::Verbatim   ? b[1]
                        : a->kind == funnel::AcceptKind::Deferred ? Py_None
                                                                  : a->value.get();
    return Ref::steal(Py_BuildValue("(sO)", accept_name(a->kind), carried));
}

const Signature VALIDATE_SIG{"_funnel_validate_field",
                             {arg("key"), arg("value"), opt("allow_partial"), opt("root_path")},
                             {.method = true}};

Ref schema_funnel_validate_field(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(VALIDATE_SIG.bind(fa, b))) {
        return error;
    }
    Maybe<bool> allow_partial = bool_arg("allow_partial", b[2], false, ArgCause::ConversionCause);
    if (!allow_partial) {
        return error;
    }
    PyObject *root_path = b.null_if_none(3);
    SharedBorrow hold(state(self).borrow);
    if (hold.failed()) {
        return error;
    }
    Maybe<Found> found = find_const_field(self, b[0]);
    if (!found) {
        return error;
    }
    funnel::FunnelCtx ctx{root_path, *allow_partial, false};
    Maybe<funnel::Accept> a = funnel::funnel_accept(b[1], *found->meta, b[0], ctx);
    if (!a) {
        return error;
    }
    switch (a->kind) {
        case funnel::AcceptKind::Verbatim:
            return Ref::borrow(b[1]);
        case funnel::AcceptKind::Produced:
        case funnel::AcceptKind::Wrap:
            return std::move(a->value);
        case funnel::AcceptKind::Deferred:
            break;
    }
    Ref path = keypath::child_key_path(b[0], root_path);
    if (!path) {
        return error;
    }
    return call_field_apply(found->field.get(), b[1], *allow_partial, nullptr, path.get(), true);
}

Ref type_set(const std::vector<Ref> &types)
{
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) {
        return error;
    }
    for (const Ref &t : types) {
        if (PySet_Add(set.get(), t.get()) < 0) {
            return error;
        }
    }
    return set;
}

Ref schema_field_meta_classes(PyObject *self)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    const SchemaMeta &m = s.caches();
    for (std::size_t i = 0; i < m.const_fields.size(); ++i) {
        Ref f = Ref::borrow(m.const_fields[i].get());
        Maybe<MetaPtr> meta = field_meta_for(f.get());
        if (!meta) {
            return error;
        }
        const FieldMeta &fm = **meta;
        std::vector<Ref> checked_types;
        for (const auto &[t, spec] : fm.checked) {
            checked_types.push_back(Ref::borrow(t.get()));
        }
        Ref exact = type_set(fm.exact);
        Ref checked = type_set(checked_types);
        Ref subclass = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(fm.subclass.size())));
        if (!exact || !checked || !subclass) {
            return error;
        }
        for (std::size_t j = 0; j < fm.subclass.size(); ++j) {
            PyTuple_SET_ITEM(subclass.get(), j, Ref::borrow(fm.subclass[j].get()).release());
        }
        auto b = [](bool v) { return py_bool(v); };
        Ref d = Ref::steal(Py_BuildValue("{sOsOsOsOsOsOsOsOsOsO}", "key", fm.key.get(), "accept_any",
                                         b(fm.accept_any), "exact", exact.get(), "checked", checked.get(),
                                         "widen_to_float", b(fm.widen_to_float), "subclass", subclass.get(),
                                         "wrap", b(fm.wrap), "custom_apply", b(fm.custom_apply),
                                         "enable_wrap", b(fm.enable_wrap), "has_default", b(fm.has_default)));
        if (!d || PyList_Append(out.get(), d.get()) < 0) {
            return error;
        }
    }
    return out;
}

Ref schema_recompute_caches(PyObject *self)
{
    State &s = state(self);
    std::unique_ptr<SchemaMeta> fresh;
    {
        ExclusiveBorrow hold(s.borrow);
        if (hold.failed()) {
            return error;
        }
        Ref fields = Ref::borrow(s.fields.get());
        const Status st = dict_for_each(fields.get(), [](PyObject *, PyObject *f) -> Status {
            if (field::is_field(f)) {
                field::invalidate_meta(f);
            }
            return Status::ok;
        });
        if (failed(st)) {
            return error;
        }
        Maybe<std::unique_ptr<SchemaMeta>> caches = compute_caches(fields.get());
        if (!caches) {
            return error;
        }
        fresh = std::move(*caches);
        std::swap(s.meta, fresh);
    }
    return none();
}

Ref schema_open_plan_info(PyObject *self)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    const OpenSchemaPlan *plan = s.caches().plan.get();
    if (plan == nullptr) {
        return none();
    }
    Ref keys = Ref::steal(PyList_New(0));
    Ref init = Ref::steal(PyList_New(0));
    if (!keys || !init) {
        return error;
    }
    for (std::size_t i = 0; i < plan->const_fields.size(); ++i) {
        Ref f = Ref::borrow(plan->const_fields[i].get());
        Maybe<MetaPtr> meta = field_meta_for(f.get());
        if (!meta || PyList_Append(keys.get(), (*meta)->key.get()) < 0 ||
            PyList_Append(init.get(), py_bool(plan->const_init[i])) < 0) {
            return error;
        }
    }
    return Ref::steal(Py_BuildValue("{sOsOsOsn}", "const_keys", keys.get(), "const_init", init.get(),
                                    "wildcard_init", py_bool(plan->wildcard_init), "wildcard_pos",
                                    static_cast<Py_ssize_t>(plan->wildcard_pos)));
}

// ---- class -------------------------------------------------------------------------------------

}  // namespace

Ref apply_held(PyObject *schema, PyObject *dict_obj, bool allow_partial, PyObject *child_transform,
               PyObject *root_path, bool respect_enable_wrap, bool inplace, bool counted)
{
    if (!counted) {
        RecursionGuard depth(" while applying a schema");
        if (depth.failed()) {
            return error;
        }
        return apply_held(schema, dict_obj, allow_partial, child_transform, root_path, respect_enable_wrap,
                          inplace, true);
    }
    SharedBorrow hold(state(schema).borrow);
    if (hold.failed()) {
        return error;
    }
    return apply(schema, dict_obj, allow_partial, child_transform, root_path, respect_enable_wrap, inplace);
}

namespace {

const Signature APPLY_SIG{"apply",
                          {arg("dict_obj"), opt("allow_partial"), opt("child_transform"), opt("root_path"),
                           opt("respect_enable_wrap"), opt("inplace")},
                          {.method = true}};

Ref schema_apply_method(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(APPLY_SIG.bind(fa, b))) {
        return error;
    }
    Maybe<bool> allow_partial = bool_arg("allow_partial", b[1], false, ArgCause::ConversionCause);
    Maybe<bool> respect = allow_partial
                              ? bool_arg("respect_enable_wrap", b[4], false, ArgCause::ConversionCause)
                              : Maybe<bool>(error);
    Maybe<bool> inplace =
        respect ? bool_arg("inplace", b[5], true, ArgCause::ConversionCause) : Maybe<bool>(error);
    if (!inplace) {
        return error;
    }
    return apply_held(self, b[0], *allow_partial, b.null_if_none(2), b.null_if_none(3), *respect, *inplace);
}

const Signature VALIDATE_SIG2{
    "validate", {arg("dict_obj"), opt("allow_partial"), opt("root_path")}, {.method = true}};

Ref schema_validate_method(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(VALIDATE_SIG2.bind(fa, b))) {
        return error;
    }
    Maybe<bool> allow_partial = bool_arg("allow_partial", b[1], false, ArgCause::ConversionCause);
    if (!allow_partial) {
        return error;
    }
    RecursionGuard depth(" while applying a schema");
    if (depth.failed()) {
        return error;
    }
    SharedBorrow hold(state(self).borrow);
    if (hold.failed()) {
        return error;
    }
    return validate(self, b[0], *allow_partial, b.null_if_none(2));
}

PyMethodDef SCHEMA_METHODS[] = {
    method<schema_apply_method>("apply",
                                "apply($self, dict_obj, allow_partial=False, child_transform=None, "
                                "root_path=None, respect_enable_wrap=False, inplace=True)\n--\n\n"),
    method<schema_validate_method>("validate",
                                   "validate($self, dict_obj, allow_partial=False, root_path=None)\n--\n\n"),
    method<schema_merge_method>("merge", "merge($cls, schema_list, name=None, description=None)\n--\n\n",
                                METH_CLASS),
    method_onearg<schema_extend>("extend", "extend($self, base)\n--\n\n"),
    method<schema_get>("get", "get($self, key, default=None)\n--\n\n"),
    method_noargs<schema_view<dict_keys_view>>("keys", "keys($self)\n--\n\n"),
    method_noargs<schema_view<dict_values_view>>("values", "values($self)\n--\n\n"),
    method_noargs<schema_view<dict_items_view>>("items", "items($self)\n--\n\n"),
    method_onearg<get_field>("get_field", "get_field($self, key)\n--\n\n"),
    method_onearg<schema_resolve>("resolve", "resolve($self, keys)\n--\n\n"),
    method<schema_format>("format",
                          "format($self, compact=False, verbose=True, root_indent=0, cls_name=None, "
                          "bracket_type=None, fields_only=False, **kwargs)\n--\n\n"),
    method<schema_to_json>("to_json", "to_json($self, **kwargs)\n--\n\n"),
    method<schema_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method_noargs<schema_copy>("__copy__", "__copy__($self)\n--\n\n"),
    method<schema_deepcopy>("__deepcopy__", "__deepcopy__($self, memo)\n--\n\n"),
    method_onearg<schema_is_compatible>("is_compatible", "is_compatible($self, other)\n--\n\n"),
    method_onearg<set_member<&State::name>>("set_name", "set_name($self, name)\n--\n\n"),
    method_onearg<set_member<&State::description>>("set_description",
                                                   "set_description($self, description)\n--\n\n"),
    method<schema_funnel_leaf>("_funnel_leaf", "_funnel_leaf($self, key, value)\n--\n\n"),
    method<schema_funnel_validate_field>(
        "_funnel_validate_field",
        "_funnel_validate_field($self, key, value, allow_partial=False, root_path=None)\n--\n\n"),
    method_noargs<schema_field_meta_classes>("_field_meta_classes", "_field_meta_classes($self)\n--\n\n"),
    method_noargs<schema_recompute_caches>("_recompute_caches", "_recompute_caches($self)\n--\n\n"),
    method_noargs<schema_open_plan_info>("_open_plan_info", "_open_plan_info($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#define NORV_GET(name, fn) {name, shim_getter<fn>, nullptr, nullptr, nullptr}

PyGetSetDef SCHEMA_GETSET[] = {
    NORV_GET("name", get_member<&State::name>),
    NORV_GET("description", get_member<&State::description>),
    NORV_GET("metadata", get_member<&State::metadata>),
    NORV_GET("dynamic_field", get_member<&State::dynamic_field>),
    NORV_GET("fields", get_member<&State::fields>),
    NORV_GET("_fields", get_member<&State::fields>),
    NORV_GET("allow_nonconst_keys", get_allow),
    NORV_GET("_allow_nonconst_keys", get_allow),
    NORV_GET("_has_const_keys", get_cache_flag<&SchemaMeta::has_const_keys>),
    NORV_GET("_has_nonconst_keys", get_cache_flag<&SchemaMeta::has_nonconst_keys>),
    NORV_GET("_const_apply_fields", get_cache<&SchemaMeta::const_apply_fields>),
    NORV_GET("_const_bulk_check", get_cache<&SchemaMeta::const_bulk_check>),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int schema_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    State &s = state(self);
    for (const Ref *r : {&s.fields, &s.name, &s.description, &s.metadata, &s.dynamic_field}) {
        Py_VISIT(r->get());
    }
    return s.meta ? s.meta->traverse(visit, arg) : 0;
}

// Leaves an empty, well-formed schema behind: code that reaches it during
// the collection finds no fields and no caches.
int schema_clear(PyObject *self)
{
    State &s = state(self);
    std::unique_ptr<SchemaMeta> meta = std::move(s.meta);
    Ref fresh = Ref::steal(PyDict_New());
    if (fresh) {
        std::swap(s.fields, fresh);
    }
    else {
        // Keep the old dict (a leak, never a dangling read); a clear cannot
        // raise, so the MemoryError is reported as unraisable.
        PyErr_WriteUnraisable(self);
    }
    Ref old[] = {none(), none(), none(), none()};
    std::swap(old[0], s.name);
    std::swap(old[1], s.description);
    std::swap(old[2], s.metadata);
    std::swap(old[3], s.dynamic_field);
    return 0;
}

void destroy_state(PyObject *self) noexcept
{
    state(self).~State();
}

PyType_Slot SCHEMA_SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("Schema(fields, name=None, base_schema_list=None, description=None, *, "
                                   "allow_nonconst_keys=False, metadata=None, for_cls=None)\n--\n\n"
                                   "An ordered mapping from key specs to fields.")},
    {Py_tp_new, reinterpret_cast<void *>(schema_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<destroy_state>)},
    {Py_tp_traverse, reinterpret_cast<void *>(schema_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(schema_clear)},
    {Py_tp_richcompare, reinterpret_cast<void *>(schema_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_str, reinterpret_cast<void *>(schema_str)},
    {Py_tp_repr, reinterpret_cast<void *>(schema_repr)},
    {Py_mp_subscript, reinterpret_cast<void *>(schema_subscript)},
    {Py_sq_contains, reinterpret_cast<void *>(schema_contains)},
    {Py_tp_methods, SCHEMA_METHODS},
    {Py_tp_getset, SCHEMA_GETSET},
    {0, nullptr},
};

PyType_Spec SCHEMA_SPEC = {
    .name = "norv_core._native.Schema",
    .basicsize = sizeof(SchemaObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SCHEMA_SLOTS,
};

Status init_class(PyTypeObject *tp)
{
    return set_serializable_class_attrs(tp, "norv.typing.Schema");
}

}  // namespace

PyTypeObject *type()
{
    return TYPE.get(&SCHEMA_SPEC, nullptr, init_class);
}

bool is_schema(PyObject *o) noexcept
{
    PyTypeObject *tp = TYPE.peek();
    return tp != nullptr && Py_TYPE(o) == tp;
}

State &state(PyObject *self) noexcept
{
    return reinterpret_cast<SchemaObject *>(self)->s;
}

Maybe<MetaPtr> field_meta_for(PyObject *f)
{
    if (field::is_field(f)) {
        return field::field_meta(f);
    }
    Ref key = attr<"key">(f);
    if (!key) {
        return error;
    }
    Ref text = attr<"const_text">(key.get());
    if (!text) {
        return error;
    }
    Ref value = attr<"value">(f);
    if (!value) {
        return error;
    }
    return field::build_field_meta(text.get(), f, value.get());
}

// ---- key resolution ---------------------------------------------------------------------------

Maybe<std::pair<Ref, Ref>> resolve_inner(PyObject *self, PyObject *keys)
{
    State &s = state(self);
    Ref fields = Ref::borrow(s.fields.get());
    const SchemaMeta &m = s.caches();
    Ref unmatched = Ref::steal(PyList_New(0));
    Ref it = Ref::steal(PyObject_GetIter(keys));
    if (!unmatched || !it) {
        return error;
    }
    if (!m.has_nonconst_keys) {
        for (;;) {
            Ref k = Ref::steal(PyIter_Next(it.get()));
            if (!k) {
                if (PyErr_Occurred()) {
                    return error;
                }
                break;
            }
            const int in = PyDict_Contains(fields.get(), k.get());
            if (in < 0 || (!in && PyList_Append(unmatched.get(), k.get()) < 0)) {
                return error;
            }
        }
        Ref resolved = m.const_resolution ? Ref::borrow(m.const_resolution.get()) : Ref::steal(PyDict_New());
        if (!resolved) {
            return error;
        }
        return std::pair<Ref, Ref>(std::move(resolved), std::move(unmatched));
    }
    Ref nonconst = Ref::borrow(m.nonconst_keys.get());
    const Py_ssize_t n = PyList_GET_SIZE(nonconst.get());
    std::vector<Ref> matched(static_cast<std::size_t>(n));
    for (Ref &l : matched) {
        l = Ref::steal(PyList_New(0));
        if (!l) {
            return error;
        }
    }
    Ref given = Ref::steal(PySet_New(nullptr));
    if (!given) {
        return error;
    }
    for (;;) {
        Ref k = Ref::steal(PyIter_Next(it.get()));
        if (!k) {
            if (PyErr_Occurred()) {
                return error;
            }
            break;
        }
        const int in = PyDict_Contains(fields.get(), k.get());
        if (in < 0) {
            return error;
        }
        if (in) {
            // Remembered so the constant entries below can tell given keys.
            if (PySet_Add(given.get(), k.get()) < 0) {
                return error;
            }
            continue;
        }
        bool taken = false;
        for (Py_ssize_t i = 0; i < n && !taken; ++i) {
            Ref r =
                Ref::steal(PyObject_CallMethod(PyList_GET_ITEM(nonconst.get(), i), "match", "O", k.get()));
            if (!r) {
                return error;
            }
            const Maybe<bool> t = truth(r.get());
            if (!t || (*t && PyList_Append(matched[i].get(), k.get()) < 0)) {
                return error;
            }
            taken = *t;
        }
        if (!taken && PyList_Append(unmatched.get(), k.get()) < 0) {
            return error;
        }
    }
    Ref resolved = Ref::steal(PyDict_New());
    if (!resolved) {
        return error;
    }
    Py_ssize_t next_nonconst = 0;
    const Status st = dict_for_each(fields.get(), [&](PyObject *spec, PyObject *) -> Status {
        Maybe<bool> is_const = truth_attr<"is_const">(spec);
        if (!is_const) {
            return error;
        }
        if (!*is_const) {
            Ref l = next_nonconst < n ? std::move(matched[next_nonconst++]) : Ref::steal(PyList_New(0));
            return l ? check(PyDict_SetItem(resolved.get(), spec, l.get())) : Status(error);
        }
        Ref text = attr<"const_text">(spec);
        if (!text) {
            return error;
        }
        const int was_given = PySet_Contains(given.get(), text.get());
        if (was_given < 0) {
            return error;
        }
        Ref l = Ref::steal(PyList_New(0));
        if (!l || (was_given && PyList_Append(l.get(), text.get()) < 0)) {
            return error;
        }
        return check(PyDict_SetItem(resolved.get(), spec, l.get()));
    });
    if (failed(st)) {
        return error;
    }
    return std::pair<Ref, Ref>(std::move(resolved), std::move(unmatched));
}

}  // namespace norv::typing::schema
