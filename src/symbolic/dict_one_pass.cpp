// The one-pass schemaful constructions of SymDict, tried before the general
// route (formalise every member, then apply the spec, which validates every
// member again): the fused route for an all-scalar input that covers an
// all-constant schema exactly, and the single pass through member
// formalisation for any schema without variable keys.
#include <vector>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/dict.hpp"
#include "symbolic/dict_faces.hpp"
#include "typing/funnel/field_meta.hpp"
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
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(normalized, &pos, &key, &value)) {
        std::size_t at = 0;
        if (!funnel::is_scalar_value(value) || !schema::index_lookup(m.field_meta_index, key, &at) ||
            covered[at]) {
            return false;
        }
        covered[at] = true;
        Member member{Ref::borrow(key), {}, Ref::borrow(value)};
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

// Python's `dict(normalized).items()` as a list of pairs: the walk below
// runs host code, which must not change what it walks.
Ref pairs_of(PyObject *dict)
{
    return Ref::steal(PyDict_Items(dict));
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

const Signature FUSED_SIG{
    "try_fused_schemaful_construct", {arg("value_spec"), arg("normalized")}, {.method = true}};
const Signature SINGLE_PASS_SIG{"try_single_pass_schemaful_construct",
                                {arg("value_spec"), arg("normalized"), arg("seen")},
                                {.method = true}};

}  // namespace

Maybe<bool> SymDict::try_fused_schemaful_construct(PyObject *self, PyObject *value_spec, PyObject *normalized)
{
    Maybe<Ref> found = native_dict_schema(value_spec);
    if (!found) {
        return error;
    }
    if (!*found || !typing::schema::is_schema(found->get())) {
        return false;
    }
    PyObject *schema_obj = found->get();
    Ref path = path_arg(self);
    const funnel::FunnelCtx ctx{path.get() == Py_None ? nullptr : path.get(), accepts_partial(self), false};
    std::vector<Member> members;
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
                    break;
                case funnel::AcceptKind::Wrap:
                case funnel::AcceptKind::Deferred:
                    return false;
            }
        }
    }
    for (const Member &member : members) {
        if (failed(store(self, member.key.get(), member.value))) {
            return error;
        }
    }
    bind_unapplied(self, value_spec);
    return true;
}

Maybe<bool> SymDict::try_single_pass_schemaful_construct(PyObject *self, PyObject *value_spec,
                                                         PyObject *normalized, PyObject *seen)
{
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
    Ref given = pairs_of(normalized);
    if (!given) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(given.get()); ++i) {
        PyObject *key = PyTuple_GET_ITEM(PyList_GET_ITEM(given.get(), i), 0);
        PyObject *value = PyTuple_GET_ITEM(PyList_GET_ITEM(given.get(), i), 1);
        Ref field = call_method(schema_obj.get(), interned<"get_field">(), key);
        if (!field) {
            return error;
        }
        PyObject *f = field.get() == Py_None ? nullptr : field.get();
        if (failed(store(self, key, formalize_field(key, f, value, ctx, seen)))) {
            return error;
        }
    }
    Ref schema_fields = attr<"fields">(schema_obj.get());
    if (!schema_fields) {
        return error;
    }
    if (!PyDict_Check(schema_fields.get())) {
        return raise_not_instance(schema_fields.get(), "dict");
    }
    Ref declared = pairs_of(schema_fields.get());
    if (!declared) {
        return error;
    }
    // The fields the input left out, in schema order, each from the missing
    // value: its default, or the missing-required error.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(declared.get()); ++i) {
        PyObject *key_spec = PyTuple_GET_ITEM(PyList_GET_ITEM(declared.get(), i), 0);
        PyObject *field = PyTuple_GET_ITEM(PyList_GET_ITEM(declared.get(), i), 1);
        Ref text = attr<"const_text">(key_spec);
        Maybe<bool> provided =
            text ? predicate(PySequence_Contains(normalized, text.get())) : Maybe<bool>(error);
        if (!provided) {
            return error;
        }
        if (*provided) {
            continue;
        }
        if (failed(store(self, text.get(), formalize_field(text.get(), field, missing, ctx, seen)))) {
            return error;
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
