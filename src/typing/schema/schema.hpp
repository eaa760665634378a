// Schema: the ordered mapping from key specs to fields, with its derived
// caches read in place by the apply paths.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/borrow.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/value_specs/services.hpp"

namespace norv::typing::schema {

// Field-name hash shared by every text-keyed map of schemas, containers and
// objects: 64-bit FNV-1a over the UTF-8 bytes, then one more step with 0xff.
constexpr std::uint64_t fnv_build(std::string_view text) noexcept
{
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char b : text) {
        h = (h ^ b) * 0x100000001b3ULL;
    }
    return (h ^ 0xffU) * 0x100000001b3ULL;
}

struct FnvHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept
    {
        return static_cast<std::size_t>(fnv_build(s));
    }
};

using TextIndex = std::unordered_map<std::string, std::size_t, FnvHash, std::equal_to<>>;

// The position stored for `key` when it is a str whose text the index holds.
// Raises nothing; running out of memory is thrown.
bool index_lookup(const TextIndex &index, PyObject *key, std::size_t *pos);

struct OpenSchemaPlan {
    std::vector<Ref> const_fields;
    std::vector<bool> const_init;
    std::vector<std::pair<Ref, Ref>> const_pairs;  // (key text, value spec)
    TextIndex const_index;
    Ref wildcard_field;
    Ref wildcard_value_spec;
    std::size_t wildcard_pos = 0;
    bool wildcard_init = false;

    int traverse(visitproc visit, void *arg) const;
};

struct SchemaMeta {
    std::vector<Ref> const_fields;
    std::unique_ptr<OpenSchemaPlan> plan;
    Ref nonconst_keys;       // list
    Ref const_key_texts;     // frozenset, or empty
    Ref const_resolution;    // read-only mapping {key spec: (text,)}, or empty
    Ref const_apply_fields;  // tuple of (text, field, spec) in the order of const_fields, or empty
    Ref const_bulk_check;    // tuple of (text, value type), or empty
    TextIndex field_meta_index;
    bool has_nonconst_keys = false;
    bool has_const_keys = false;
    // No two constant key texts share a hash: a dict key then equals at most one.
    bool const_hashes_distinct = false;
    // Every key of `fields` is a native ConstStrKey: reading its `is_const` and
    // `const_text` runs no code and always gives the cached answer.
    bool const_keys_native = false;
    // `fields` as these caches saw it (see core/dict_stamp.hpp).
    std::optional<std::uint64_t> fields_stamp;
    // {text: field} of the constant fields, made on the first lookup by a
    // str (schema construction does not pay for it) and read only through
    // `text_map()`: NULL with the error set when making it failed.
    mutable Ref field_by_text;
    PyObject *text_map() const { return field_by_text ? field_by_text.get() : make_text_map(); }
    PyObject *make_text_map() const;

    int traverse(visitproc visit, void *arg) const;
};

struct State {
    BorrowFlag borrow;
    // Never empty while the schema is alive except after the collector's
    // clear, which leaves an empty dict (or, failing that, keeps the dict).
    Ref fields;
    Ref name, description, metadata, dynamic_field;  // None when absent
    bool allow_nonconst_keys = false;
    std::unique_ptr<SchemaMeta> meta;  // null only after a clear

    // Empty caches after the collector's clear.
    const SchemaMeta &caches() const noexcept { return meta ? *meta : empty_caches(); }
    static const SchemaMeta &empty_caches() noexcept;
};

PyTypeObject *type();
State &state(PyObject *schema) noexcept;

// Construction (every road builds through it).
Ref schema_new(PyObject *fields, PyObject *name, PyObject *base_schema_list, PyObject *description,
               bool allow_nonconst_keys, PyObject *metadata, PyObject *for_cls);
Ref schema_merge(PyObject *schema_list, PyObject *name, PyObject *description);
Maybe<std::unique_ptr<SchemaMeta>> compute_caches(PyObject *fields);
Ref detect_dynamic_field(PyObject *fields);
// (merged fields, merged metadata)
Maybe<std::pair<Ref, Ref>> merge_fields(PyObject *fields, PyObject *metadata, bool allow_nonconst_keys,
                                        PyObject *base);
// `obj` (a schema's constant bulk check) when it is a tuple, else an empty Ref.
Ref const_bulk_check_bound(PyObject *obj);
// The cached record of a native Field; a record built afresh for any other
// field object.
Maybe<MetaPtr> field_meta_for(PyObject *field);

// `Schema.get_field(key)`: the field whose key spec matches `key`, or None.
Ref get_field(PyObject *schema, PyObject *key);
// `schema.get_field(key)` on any schema object; a native schema (a final
// class, so its method is `get_field`) answers without the call.
Ref call_get_field(PyObject *schema, PyObject *key);

// The caches' (text, field, spec) entries of the constant fields, in schema
// order, when they are exactly what `fields` gives now, read without running
// code: every key a native ConstStrKey, and `fields` as the caches saw it.
// NULL otherwise. Read under the caller's shared access.
PyObject *live_const_texts(const State &s);

// Applies the schema to `dict_obj` (in place, or to a shallow copy) under
// the caller's shared access. Optional objects are nullptr when absent.
Ref apply(PyObject *schema, PyObject *dict_obj, bool allow_partial, PyObject *child_transform,
          PyObject *root_path, bool respect_enable_wrap, bool inplace);
// apply on a deep copy; None.
Ref validate(PyObject *schema, PyObject *dict_obj, bool allow_partial, PyObject *root_path);

// (resolved, unmatched) under the caller's shared access.
Maybe<std::pair<Ref, Ref>> resolve_inner(PyObject *schema, PyObject *keys);

}  // namespace norv::typing::schema
