// Schema application: validates a dict's entries against their fields, fills
// the missing ones and refuses keys no field accepts.
#include "core/args.hpp"
#include "core/dict_stamp.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/open_plan.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::schema {

namespace {

// Schema application's context: it never drops the child paths.
struct Ctx {
    ValueCtx value;
    bool inplace;
};

Ref funnel_value(PyObject *field, const FieldMeta &meta, PyObject *key, PyObject *value, const Ctx &ctx)
{
    Maybe<Valued> v =
        funnel_field_value(field, meta, key, value, ctx.value, FieldOptions{nullptr, false, ctx.inplace});
    return v ? std::move(v->value) : Ref();
}

Status open_plan_route(PyObject *work, const OpenSchemaPlan &plan, const Ctx &ctx)
{
    const std::size_t n = plan.const_fields.size();
    const std::size_t split = std::min(plan.wildcard_pos, n);
    for (std::size_t i = 0; i < split; ++i) {
        Ref field = Ref::borrow(plan.const_fields[i].get());
        if (failed(apply_const_field_inplace(work, work, field.get(), ctx.value, ctx.inplace))) {
            return error;
        }
    }
    Ref wildcard = Ref::borrow(plan.wildcard_field.get());
    Maybe<MetaPtr> meta = field_meta_for(wildcard.get());
    if (!meta) {
        return error;
    }
    // A snapshot first: host code run by the fields may change the dict.
    std::vector<std::pair<Ref, Ref>> pending;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(work, &pos, &k, &v)) {
        if (!key_in_plan_consts(plan.const_index, k)) {
            pending.emplace_back(Ref::borrow(k), Ref::borrow(v));
        }
    }
    for (const auto &[key, value] : pending) {
        Ref result = funnel_value(wildcard.get(), **meta, key.get(), value.get(), ctx);
        if (!result || failed(set_if_changed(work, key.get(), result.get()))) {
            return error;
        }
    }
    for (std::size_t i = split; i < n; ++i) {
        Ref field = Ref::borrow(plan.const_fields[i].get());
        if (failed(apply_const_field_inplace(work, work, field.get(), ctx.value, ctx.inplace))) {
            return error;
        }
    }
    return Status::ok;
}

Status general_route(PyObject *schema, PyObject *work, PyObject *child_transform, bool respect_enable_wrap,
                     const Ctx &ctx)
{
    Ref keys = Ref::steal(PyObject_CallMethod(work, "keys", nullptr));
    if (!keys) {
        return error;
    }
    Maybe<std::pair<Ref, Ref>> r = resolve_inner(schema, keys.get());
    if (!r) {
        return error;
    }
    if (PyList_GET_SIZE(r->second.get()) != 0) {
        return raise_keys_not_allowed(r->second.get(), ctx.value.root_path);
    }
    Ref reader = attr<"sym_getattr">(work);
    if (!reader) {
        if (failed(discard_ordinary_error())) {
            return error;
        }
        reader = attr<"get">(work);
        if (!reader) {
            return error;
        }
    }
    const bridge::TypingBridge &br = bridge::get();
    State &s = state(schema);
    const bool has_nonconst = s.caches().has_nonconst_keys;
    Ref fields = Ref::borrow(s.fields.get());
    // The cached resolution of an all-constant schema is a read-only view:
    // walk a list of its items.
    Ref entries = Ref::steal(PyMapping_Items(r->first.get()));
    if (!entries) {
        return error;
    }
    for (Py_ssize_t e = 0; e < PyList_GET_SIZE(entries.get()); ++e) {
        PyObject *entry = PyList_GET_ITEM(entries.get(), e);
        if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2) {
            return raise(PyExc_TypeError, "mapping items must be pairs");
        }
        PyObject *spec = PyTuple_GET_ITEM(entry, 0);
        PyObject *key_list = PyTuple_GET_ITEM(entry, 1);
        PyObject *found = nullptr;
        const int rc = PyDict_GetItemRef(fields.get(), spec, &found);
        Ref field = Ref::steal(found);
        if (rc < 0) {
            return error;
        }
        if (rc == 0) {
            continue;
        }
        Ref list = Ref::steal(PySequence_List(key_list));
        if (!list) {
            return error;
        }
        if (has_nonconst) {
            Maybe<bool> is_const = truth_attr<"is_const">(spec);
            if (!is_const) {
                return error;
            }
            if (*is_const) {
                const int in = PySequence_Contains(list.get(), spec);
                if (in < 0) {
                    return error;
                }
                if (!in) {
                    Ref text = attr<"const_text">(spec);
                    if (!text || PyList_Append(list.get(), text.get()) < 0) {
                        return error;
                    }
                }
            }
        }
        Maybe<MetaPtr> meta = field_meta_for(field.get());
        if (!meta) {
            return error;
        }
        const FieldMeta &m = **meta;
        PyObject *transform = nullptr;
        if (m.enable_validation && child_transform != nullptr && (!respect_enable_wrap || m.enable_wrap)) {
            transform = child_transform;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            Ref key = Ref::borrow(PyList_GET_ITEM(list.get(), i));
            Ref value =
                Ref::steal(PyObject_CallFunctionObjArgs(reader.get(), key.get(), br.missing_value, nullptr));
            if (!value) {
                return error;
            }
            const Maybe<bool> missing = bridge::is_missing(value.get());
            if (!missing) {
                return error;
            }
            Ref result;
            if (*missing) {
                result = missing_fill(m.enable_validation, field.get(), m.value_spec.get(),
                                      ctx.value.allow_partial, transform, key.get(), ctx.value.root_path,
                                      ctx.inplace);
            }
            else if (transform == nullptr) {
                result = funnel_value(field.get(), m, key.get(), value.get(), ctx);
            }
            else {
                Ref path = keypath::child_key_path(key.get(), ctx.value.root_path);
                result = path ? call_field_apply(field.get(), value.get(), ctx.value.allow_partial, transform,
                                                 path.get(), ctx.inplace)
                              : Ref();
            }
            if (!result || failed(set_if_changed(work, key.get(), result.get()))) {
                return error;
            }
        }
    }
    return Status::ok;
}

// Whether `work` holds exactly the texts of `entries` ((text, ...) tuples),
// in that order, as the very objects.
bool holds_texts_in_order(PyObject *work, PyObject *entries)
{
    if (PyDict_GET_SIZE(work) != PyTuple_GET_SIZE(entries)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (Py_ssize_t i = 0; PyDict_Next(work, &pos, &k, &v); ++i) {
        if (k != PyTuple_GET_ITEM(PyTuple_GET_ITEM(entries, i), 0)) {
            return false;
        }
    }
    return true;
}

// A new dict: the constant keys present first, in schema order, then the rest
// in the working dict's order. A working dict of our own that already is
// that dict comes back as it is.
Ref schema_ordered_copy(PyObject *schema, PyObject *work, bool own_work)
{
    PyObject *texts = live_const_texts(state(schema));
    if (own_work && texts != nullptr && holds_texts_in_order(work, texts)) {
        return Ref::borrow(work);
    }
    Ref out = Ref::steal(PyDict_New());
    if (!out) {
        return error;
    }
    auto take = [&](PyObject *text) -> Status {
        PyObject *held = nullptr;
        const int found = PyDict_GetItemRef(work, text, &held);
        Ref value = Ref::steal(held);
        if (found < 0) {
            return error;
        }
        return found ? check(PyDict_SetItem(out.get(), text, value.get())) : Status::ok;
    };
    Status st = Status::ok;
    if (texts != nullptr) {
        Ref entries = Ref::borrow(texts);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries.get()) && !failed(st); ++i) {
            st = take(PyTuple_GET_ITEM(PyTuple_GET_ITEM(entries.get(), i), 0));
        }
    }
    else {
        Ref fields = Ref::borrow(state(schema).fields.get());
        st = dict_for_each(fields.get(), [&](PyObject *spec, PyObject *) -> Status {
            Maybe<bool> is_const = truth_attr<"is_const">(spec);
            if (!is_const || !*is_const) {
                return is_const ? Status::ok : Status::error;
            }
            Ref text = attr<"const_text">(spec);
            return text ? take(text.get()) : Status(error);
        });
    }
    if (failed(st) || PyDict_Merge(out.get(), work, 0) < 0) {
        return error;
    }
    return out;
}

Ref copy_module_call(const char *name, PyObject *value)
{
    Ref copy = Ref::steal(PyImport_ImportModule("copy"));
    Ref fn = copy ? getattr(copy.get(), name) : Ref();
    if (!fn) {
        return error;
    }
    return Ref::steal(PyObject_CallOneArg(fn.get(), value));
}

// The all-constant route over a plain dict. Each field's key is looked up
// once; the extra-key check after the fields would repeat those lookups,
// unless the loop settles it: every field found under the schema's own text,
// as many as the dict holds, no two texts sharing a hash (so each found a
// different entry), and the dict unchanged since the loop began (no write,
// nothing done to it by code a field or a key comparison ran).
Status const_route(const SchemaMeta &m, PyObject *work, const Ctx &ctx)
{
    // Built together with `const_fields`, one entry per field; absent only
    // in the empty caches of a cleared schema.
    PyObject *texts = m.const_apply_fields.get();
    if (!m.const_fields.empty() &&
        (texts == nullptr || PyTuple_GET_SIZE(texts) != static_cast<Py_ssize_t>(m.const_fields.size()))) {
        panic("schema caches disagree on the constant fields");
    }
    const std::optional<std::uint64_t> before = dict_stamp(work);
    Py_ssize_t found = 0;
    // The caches stay in place while the caller holds the shared borrow.
    for (std::size_t i = 0; i < m.const_fields.size(); ++i) {
        Ref field = Ref::borrow(m.const_fields[i].get());
        ConstTrace trace{PyTuple_GET_ITEM(PyTuple_GET_ITEM(texts, static_cast<Py_ssize_t>(i)), 0)};
        if (failed(apply_const_field_inplace(work, work, field.get(), ctx.value, ctx.inplace, &trace))) {
            return error;
        }
        found += trace.found;
    }
    if (m.const_hashes_distinct && found == PyDict_GET_SIZE(work) && same_stamp(before, dict_stamp(work))) {
        return Status::ok;
    }
    return raise_if_extra_const_keys(m, work, ctx.value.root_path);
}

}  // namespace

PyObject *live_const_texts(const State &s)
{
    const SchemaMeta &m = s.caches();
    if (!m.const_keys_native || !m.const_apply_fields ||
        !same_stamp(m.fields_stamp, dict_stamp(s.fields.get()))) {
        return nullptr;
    }
    return m.const_apply_fields.get();
}

Ref apply(PyObject *schema, PyObject *dict_obj, bool allow_partial, PyObject *child_transform,
          PyObject *root_path, bool respect_enable_wrap, bool inplace)
{
    const bool plain = PyDict_CheckExact(dict_obj);
    // A plain dict's shallow copy is the dict's own copy.
    Ref work = inplace ? Ref::borrow(dict_obj)
                       : (plain ? Ref::steal(PyDict_Copy(dict_obj)) : copy_module_call("copy", dict_obj));
    if (!work) {
        return error;
    }
    const Ctx ctx{ValueCtx{root_path, allow_partial, false}, inplace};
    const SchemaMeta &m = state(schema).caches();
    Status st = Status::ok;
    if (child_transform == nullptr && PyDict_CheckExact(work.get()) && !m.has_nonconst_keys) {
        st = const_route(m, work.get(), ctx);
    }
    else if (child_transform == nullptr && PyDict_CheckExact(work.get()) && open_plan_for(m, work.get())) {
        st = open_plan_route(work.get(), *m.plan, ctx);
    }
    else {
        st = general_route(schema, work.get(), child_transform, respect_enable_wrap, ctx);
    }
    if (failed(st)) {
        return error;
    }
    if (!inplace && PyDict_CheckExact(work.get())) {
        return schema_ordered_copy(schema, work.get(), plain);
    }
    return work;
}

Ref validate(PyObject *schema, PyObject *dict_obj, bool allow_partial, PyObject *root_path)
{
    Ref copy = copy_module_call("deepcopy", dict_obj);
    if (!copy || !apply(schema, copy.get(), allow_partial, nullptr, root_path, false, true)) {
        return error;
    }
    return none();
}

}  // namespace norv::typing::schema
