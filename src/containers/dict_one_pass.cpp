// The one-pass schemaful constructions of SymDict, tried before the general
// route (formalise every member, then apply the spec, which validates every
// member again): the fused route for an all-scalar input that covers an
// all-constant schema exactly, and the single pass through member
// formalisation for any schema without variable keys.
#include <vector>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/dict_stamp.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/dict.hpp"
#include "containers/dict_faces.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_specs/base.hpp"

namespace norv::symbolic {

namespace {

namespace schema = typing::schema;
namespace funnel = typing::funnel;

// The schema of a native Dict spec, read from its engine; empty for any
// other spec or a Dict without one.
Maybe<Ref> native_dict_schema(PyObject *value_spec)
{
    if (!typing::base::is_spec(value_spec)) {
        return Ref();
    }
    typing::base::NativeRead read(value_spec);
    if (read.failed()) {
        return error;
    }
    const typing::DictKind *kind = read.engine().kind.get<typing::DictKind>();
    if (kind == nullptr || !kind->schema || kind->schema.get() == Py_None) {
        return Ref();
    }
    return Ref::borrow(kind->schema.get());
}

struct Member {
    Ref key;
    typing::MetaPtr meta;
    Ref value;
    bool produced = false;  // `value` replaces the given one
};

// Gathers into `members` the members of `normalized` with their fields'
// records, in input order, when every value is a scalar and the keys are
// exactly the schema's constant keys; false (nothing gathered) otherwise.
// Runs under the caller's shared hold on the schema.
Maybe<bool> gather(const schema::SchemaMeta &m, PyObject *normalized, std::vector<Member> &members)
{
    const std::size_t n = m.const_fields.size();
    if (m.has_nonconst_keys || static_cast<std::size_t>(PyDict_GET_SIZE(normalized)) != n) {
        return false;
    }
    members.reserve(n);
    // Two distinct keys of one text (str subclasses with their own equality)
    // would pass the count while one field went without a value.
    std::vector<bool> covered(n, false);
    // Keys given in schema order as the schema's own text objects (names
    // interned alike) are placed without hashing their text.
    PyObject *texts = m.const_apply_fields.get();
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(normalized, &pos, &key, &value)) {
        if (!funnel::is_scalar_value(value)) {
            return false;
        }
        std::size_t at = members.size();
        const bool in_place = texts != nullptr && static_cast<Py_ssize_t>(at) < PyTuple_GET_SIZE(texts) &&
                              PyTuple_GET_ITEM(PyTuple_GET_ITEM(texts, at), 0) == key;
        if ((!in_place && !schema::index_lookup(m.field_meta_index, key, &at)) || covered[at]) {
            return false;
        }
        covered[at] = true;
        Member member{Ref::borrow(key), {}, Ref::borrow(value), false};
        // A host field's record is built through Python, which may edit the
        // input: the walk then ends early or meets a key twice, and declines.
        Maybe<typing::MetaPtr> meta = schema::field_meta_for(m.const_fields[at].get());
        if (!meta) {
            return error;
        }
        member.meta = std::move(*meta);
        members.push_back(std::move(member));
    }
    return members.size() == n && static_cast<std::size_t>(PyDict_GET_SIZE(normalized)) == n;
}

Status store(PyObject *self, PyObject *key, const Ref &value)
{
    return value ? check(PyDict_SetItem(SymDict::storage(self), key, value.get())) : Status::error;
}

using Pairs = std::vector<std::pair<Ref, Ref>>;

// The (key, value) pairs of a dict's storage: the walks below run host code,
// which must not change what they walk.
Pairs pairs_of(PyObject *dict)
{
    Pairs pairs;
    pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        pairs.emplace_back(Ref::borrow(key), Ref::borrow(value));
    }
    return pairs;
}

// `normalized` must be a dict: the argument error naming it otherwise.
Maybe<PyObject *> normalized_arg(PyObject *given)
{
    if (!PyDict_Check(given)) {
        (void)raise_not_instance(given, "dict");
        wrap_argument_error("normalized");
        return error;
    }
    return given;
}

// Members already stored would stay under the bound spec unchecked: the
// general route validates the whole dict instead.
bool holds_members(PyObject *self)
{
    return PyDict_GET_SIZE(SymDict::storage(self)) != 0;
}

const Signature FUSED_SIG{
    "try_fused_schemaful_construct", {arg("value_spec"), arg("normalized")}, {.method = true}};
const Signature SINGLE_PASS_SIG{"try_single_pass_schemaful_construct",
                                {arg("value_spec"), arg("normalized"), arg("seen")},
                                {.method = true}};

}  // namespace

Maybe<bool> SymDict::try_fused_schemaful_construct(PyObject *self, PyObject *value_spec, PyObject *normalized)
{
    if (holds_members(self)) {
        return false;
    }
    Maybe<Ref> found = native_dict_schema(value_spec);
    if (!found) {
        return error;
    }
    if (!*found || !typing::schema::is_schema(found->get())) {
        return false;
    }
    PyObject *schema_obj = found->get();
    Ref path = path_arg(self);
    const funnel::FunnelCtx ctx{null_if_none(path.get()), accepts_partial(self), false};
    std::vector<Member> members;
    const std::optional<std::uint64_t> gathered_at = dict_stamp(normalized);
    {
        // Held across the funnel's `_validate` calls, as `Schema.apply`
        // holds it: host code may read the schema but not change it.
        SharedBorrow hold(schema::state(schema_obj).borrow, OnConflict::Panic);
        Maybe<bool> gathered = gather(schema::state(schema_obj).caches(), normalized, members);
        if (!gathered) {
            return error;
        }
        if (!*gathered) {
            return false;
        }
        for (Member &member : members) {
            Maybe<funnel::Accept> verdict =
                funnel::funnel_accept(member.value.get(), *member.meta, member.key.get(), ctx);
            if (!verdict) {
                return error;
            }
            switch (verdict->kind) {
                case funnel::AcceptKind::Verbatim:
                    break;
                case funnel::AcceptKind::Produced:
                    member.value = std::move(verdict->value);
                    member.produced = true;
                    break;
                case funnel::AcceptKind::Wrap:
                case funnel::AcceptKind::Deferred:
                    return false;
            }
        }
    }
    // A plain input that no host code changed meanwhile goes in with one
    // update (an empty dict takes a copy of its table), then the values the
    // funnel produced in their place; otherwise what was gathered, pair by pair.
    const bool whole = PyDict_CheckExact(normalized) && same_stamp(gathered_at, dict_stamp(normalized));
    if (whole && PyDict_Update(storage(self), normalized) < 0) {
        return error;
    }
    for (const Member &member : members) {
        if ((!whole || member.produced) && failed(store(self, member.key.get(), member.value))) {
            return error;
        }
    }
    bind_unapplied(self, value_spec);
    return true;
}

Maybe<bool> SymDict::try_single_pass_schemaful_construct(PyObject *self, PyObject *value_spec,
                                                         PyObject *normalized, PyObject *seen)
{
    if (holds_members(self)) {
        return false;
    }
    Ref schema_obj = attr<"schema">(value_spec);
    if (!schema_obj) {
        return error;
    }
    if (schema_obj.get() == Py_None || !typing::schema::is_schema(schema_obj.get())) {
        return false;
    }
    Maybe<bool> nonconst = truth_attr<"_has_nonconst_keys">(schema_obj.get());
    if (!nonconst) {
        return error;
    }
    if (*nonconst) {
        return false;
    }
    Ref path = path_arg(self);
    Ref texts;
    {
        SharedBorrow hold(schema::state(schema_obj.get()).borrow, OnConflict::Panic);
        texts = Ref::borrow(schema::state(schema_obj.get()).caches().const_key_texts.get());
    }
    // Extra keys are refused before anything is written.
    if (failed(schema::raise_if_extra_keys(texts.get(), normalized, path.get()))) {
        return error;
    }
    PyObject *missing = bridge::get().missing_value;
    const FormalizeCtx ctx =
        container::formalize_ctx(self, fields(self), _sym_parent_for_children(self), true);
    for (const auto &[k, v] : pairs_of(normalized)) {
        PyObject *key = k.get(), *value = v.get();
        Ref field = schema::call_get_field(schema_obj.get(), key);
        if (!field) {
            return error;
        }
        PyObject *f = null_if_none(field.get());
        if (failed(store(self, key, formalize_field(key, f, value, ctx, seen)))) {
            return error;
        }
    }
    // The fields the input left out, in schema order, each from the missing
    // value: its default, or the missing-required error.
    auto fill = [&](PyObject *text, PyObject *field) -> Status {
        Maybe<bool> provided = predicate(PySequence_Contains(normalized, text));
        if (!provided) {
            return error;
        }
        if (*provided) {
            return Status::ok;
        }
        return store(self, text, formalize_field(text, field, missing, ctx, seen));
    };
    // What `fields` and each key's `const_text` give, from the caches while
    // they stand for `fields` as it is now.
    Ref entries;
    if (!schema::state(schema_obj.get()).borrow.is_exclusive()) {
        SharedBorrow hold(schema::state(schema_obj.get()).borrow, OnConflict::Panic);
        entries = Ref::borrow(schema::live_const_texts(schema::state(schema_obj.get())));
    }
    if (entries) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries.get()); ++i) {
            PyObject *entry = PyTuple_GET_ITEM(entries.get(), i);
            if (failed(fill(PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1)))) {
                return error;
            }
        }
    }
    else {
        Ref schema_fields = attr<"fields">(schema_obj.get());
        if (!schema_fields) {
            return error;
        }
        if (!PyDict_Check(schema_fields.get())) {
            return raise_not_instance(schema_fields.get(), "dict");
        }
        for (const auto &[key_spec, field] : pairs_of(schema_fields.get())) {
            Ref text = attr<"const_text">(key_spec.get());
            if (!text || failed(fill(text.get(), field.get()))) {
                return error;
            }
        }
    }
    bind_unapplied(self, value_spec);
    return true;
}

namespace dict_faces {

Ref try_fused_schemaful_construct(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(FUSED_SIG.bind(a, b))) {
        return error;
    }
    Maybe<PyObject *> normalized = normalized_arg(b[1]);
    if (!normalized) {
        return error;
    }
    Maybe<bool> taken = SymDict::try_fused_schemaful_construct(self, b[0], *normalized);
    if (!taken) {
        return error;
    }
    return new_bool(*taken);
}

Ref try_single_pass_schemaful_construct(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(SINGLE_PASS_SIG.bind(a, b))) {
        return error;
    }
    Maybe<PyObject *> normalized = normalized_arg(b[1]);
    Maybe<PyObject *> seen = normalized ? container::seen_arg(b[2]) : Maybe<PyObject *>(error);
    if (!seen) {
        return error;
    }
    Maybe<bool> taken = SymDict::try_single_pass_schemaful_construct(self, b[0], *normalized, *seen);
    if (!taken) {
        return error;
    }
    return new_bool(*taken);
}

}  // namespace dict_faces

}  // namespace norv::symbolic
