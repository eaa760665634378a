#include <unordered_set>

#include "core/none.hpp"
#include "core/dict_stamp.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "core/utf8.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/key_specs/key_specs.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_specs/base.hpp"

namespace norv::typing::schema {

// The field-name hash is shared with other processes' readers of the same
// maps: pin its check values (and that the closing 0xff step is taken).
static_assert(fnv_build("") == 0xaf64724c8602eb6eULL);
static_assert(fnv_build("abc") == 0xfc182483ee0806dcULL);
static_assert(fnv_build("") != 0xcbf29ce484222325ULL);
static_assert(fnv_build(std::string_view("a\0b", 3)) != fnv_build("ab"));

namespace {

const SchemaMeta EMPTY_META{};

Maybe<std::string> utf8_text(PyObject *text)
{
    if (!PyUnicode_Check(text)) {
        return raise_format(PyExc_TypeError, "'%.200s' object is not an instance of 'str'",
                            Py_TYPE(text)->tp_name);
    }
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(text, &n);
    if (p == nullptr) {
        return error;
    }
    return std::string(p, static_cast<std::size_t>(n));
}

Error not_a_dict(PyObject *o)
{
    return raise_format(PyExc_TypeError, "'%.200s' object is not an instance of 'dict'", Py_TYPE(o)->tp_name);
}

}  // namespace

bool index_lookup(const TextIndex &index, PyObject *key, std::size_t *pos)
{
    if (!PyUnicode_Check(key)) {
        return false;
    }
    // Unencodable text is simply not a field name.
    const std::optional<std::string_view> text = utf8_or_none(key);
    if (!text) {
        return false;
    }
    auto it = index.find(*text);
    if (it == index.end()) {
        return false;
    }
    *pos = it->second;
    return true;
}

int OpenSchemaPlan::traverse(visitproc visit, void *arg) const
{
    for (const Ref &f : const_fields) {
        Py_VISIT(f.get());
    }
    for (const auto &[text, spec] : const_pairs) {
        Py_VISIT(text.get());
        Py_VISIT(spec.get());
    }
    Py_VISIT(wildcard_field.get());
    Py_VISIT(wildcard_value_spec.get());
    return 0;
}

int SchemaMeta::traverse(visitproc visit, void *arg) const
{
    for (const Ref &f : const_fields) {
        Py_VISIT(f.get());
    }
    if (plan) {
        if (const int rc = plan->traverse(visit, arg)) {
            return rc;
        }
    }
    Py_VISIT(nonconst_keys.get());
    Py_VISIT(const_key_texts.get());
    Py_VISIT(const_resolution.get());
    Py_VISIT(const_apply_fields.get());
    Py_VISIT(const_bulk_check.get());
    Py_VISIT(field_by_text.get());
    return 0;
}

PyObject *SchemaMeta::make_text_map() const
{
    Ref map = Ref::steal(PyDict_New());
    if (!map) {
        return nullptr;
    }
    // (text, field, spec) triples; with native keys every text is an exact str.
    PyObject *entries = const_apply_fields.get();
    for (Py_ssize_t i = 0; entries != nullptr && i < PyTuple_GET_SIZE(entries); ++i) {
        PyObject *entry = PyTuple_GET_ITEM(entries, i);
        if (PyDict_SetItem(map.get(), PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1)) < 0) {
            return nullptr;
        }
    }
    // A collection started by an allocation above may run a finalizer that
    // looks a field up and makes a map of its own: the maps are equal, and
    // the last one made stays.
    field_by_text = std::move(map);
    return field_by_text.get();
}

const SchemaMeta &State::empty_caches() noexcept
{
    return EMPTY_META;
}

Ref const_bulk_check_bound(PyObject *obj)
{
    return obj != nullptr && PyTuple_Check(obj) ? Ref::borrow(obj) : Ref();
}

Maybe<Ref> const_bulk_check_of(PyObject *schema)
{
    State &s = state(schema);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    return const_bulk_check_bound(s.caches().const_bulk_check.get());
}

// ---- caches ---------------------------------------------------------------------------------

namespace {

Maybe<std::unique_ptr<OpenSchemaPlan>> build_plan(PyObject *fields)
{
    auto plan = std::make_unique<OpenSchemaPlan>();
    bool wildcard_seen = false;
    const Status st = dict_for_each(fields, [&](PyObject *key, PyObject *f) -> Status {
        Maybe<bool> init = truth_attr<"enable_init">(f);
        if (!init) {
            return error;
        }
        Ref value = attr<"value">(f);
        if (!value) {
            return error;
        }
        Maybe<bool> is_const = truth_attr<"is_const">(key);
        if (!is_const) {
            return error;
        }
        if (*is_const) {
            Ref text = attr<"const_text">(key);
            if (!text) {
                return error;
            }
            Maybe<std::string> utf8 = utf8_text(text.get());
            if (!utf8) {
                return error;
            }
            plan->const_index[std::move(*utf8)] = plan->const_fields.size();
            plan->const_pairs.emplace_back(std::move(text), std::move(value));
            plan->const_fields.push_back(Ref::borrow(f));
            plan->const_init.push_back(*init);
        }
        else {
            plan->wildcard_field = Ref::borrow(f);
            plan->wildcard_value_spec = std::move(value);
            plan->wildcard_init = *init;
            plan->wildcard_pos = plan->const_fields.size();
            wildcard_seen = true;
        }
        return Status::ok;
    });
    if (failed(st)) {
        return error;
    }
    if (!wildcard_seen) {
        panic("nonconst had one entry, so fields carries it");
    }
    return plan;
}

Status compute_open(SchemaMeta &m, PyObject *fields)
{
    PyObject *nonconst = m.nonconst_keys.get();
    if (PyList_GET_SIZE(nonconst) == 1) {
        PyObject *key = PyList_GET_ITEM(nonconst, 0);
        if (reinterpret_cast<PyObject *>(Py_TYPE(key)) == bridge::get().str_key_cls) {
            Ref regex = attr<"regex">(key);
            if (!regex) {
                return error;
            }
            if (regex.get() == Py_None) {
                Maybe<std::unique_ptr<OpenSchemaPlan>> plan = build_plan(fields);
                if (!plan) {
                    return error;
                }
                m.plan = std::move(*plan);
            }
        }
    }
    m.has_nonconst_keys = true;
    m.has_const_keys = PyDict_GET_SIZE(fields) > PyList_GET_SIZE(nonconst);
    return Status::ok;
}

// The value type of an eligible `fast_apply_info`, or an empty Ref when it
// is not eligible. A native spec answers from its state, as its getter would,
// without building the host's record.
Maybe<Ref> bulk_value_type(PyObject *spec)
{
    if (base::is_spec(spec)) {
        base::NativeRead read(spec);
        if (read.failed()) {
            return error;
        }
        const SpecEngine &e = read.engine();
        return e.exact_eligible() ? Ref::borrow(e.value_type.get()) : Ref();
    }
    return funnel::fast_apply_value_type(spec);
}

Status compute_const(SchemaMeta &m, PyObject *fields)
{
    Ref resolution = Ref::steal(PyDict_New());
    Ref texts = Ref::steal(PyList_New(0));
    Ref apply_fields = Ref::steal(PyList_New(0));
    Ref bulk = Ref::steal(PyList_New(0));
    if (!resolution || !texts || !apply_fields || !bulk) {
        return error;
    }
    bool bulk_possible = true;
    PyTypeObject *const_str_key = key_specs::const_str_key_type();
    if (const_str_key == nullptr) {
        return error;
    }
    m.const_keys_native = true;
    const Status st = dict_for_each(fields, [&](PyObject *key, PyObject *f) -> Status {
        m.const_keys_native = m.const_keys_native && Py_TYPE(key) == const_str_key;
        Ref text = attr<"const_text">(key);
        if (!text) {
            return error;
        }
        // Handed out through `resolve`: an immutable entry cannot be edited
        // by a caller into every later resolution.
        Ref one = Ref::steal(PyTuple_Pack(1, text.get()));
        if (!one || PyDict_SetItem(resolution.get(), key, one.get()) < 0 ||
            PyList_Append(texts.get(), text.get()) < 0) {
            return error;
        }
        Ref value = attr<"value">(f);
        if (!value) {
            return error;
        }
        Ref triple = Ref::steal(PyTuple_Pack(3, text.get(), f, value.get()));
        if (!triple || PyList_Append(apply_fields.get(), triple.get()) < 0) {
            return error;
        }
        Maybe<std::string> utf8 = utf8_text(text.get());
        if (!utf8) {
            return error;
        }
        m.field_meta_index[std::move(*utf8)] = m.const_fields.size();
        m.const_fields.push_back(Ref::borrow(f));
        if (bulk_possible) {
            Ref validator = attr<"validator">(f);
            if (!validator) {
                return error;
            }
            if (validator.get() != Py_None) {
                bulk_possible = false;
                return Status::ok;
            }
            Maybe<Ref> vt = bulk_value_type(value.get());
            if (!vt) {
                return error;
            }
            if (!*vt) {
                bulk_possible = false;
                return Status::ok;
            }
            Ref pair = Ref::steal(PyTuple_Pack(2, text.get(), vt->get()));
            if (!pair || PyList_Append(bulk.get(), pair.get()) < 0) {
                return error;
            }
        }
        return Status::ok;
    });
    if (failed(st)) {
        return error;
    }
    if (bulk_possible) {
        m.const_bulk_check = Ref::steal(PyList_AsTuple(bulk.get()));
        if (!m.const_bulk_check) {
            return error;
        }
    }
    m.const_key_texts = Ref::steal(PyFrozenSet_New(texts.get()));
    m.const_resolution = Ref::steal(PyDictProxy_New(resolution.get()));
    m.const_apply_fields = Ref::steal(PyList_AsTuple(apply_fields.get()));
    if (!m.const_key_texts || !m.const_resolution || !m.const_apply_fields) {
        return error;
    }
    m.has_const_keys = !m.const_fields.empty();
    std::unordered_set<Py_hash_t> hashes;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i) {
        const Py_hash_t h = PyObject_Hash(PyList_GET_ITEM(texts.get(), i));
        if (h == -1) {
            return error;
        }
        hashes.insert(h);
    }
    m.const_hashes_distinct = hashes.size() == static_cast<std::size_t>(PyList_GET_SIZE(texts.get()));
    return Status::ok;
}

}  // namespace

Maybe<std::unique_ptr<SchemaMeta>> compute_caches(PyObject *fields)
{
    const std::optional<std::uint64_t> before = dict_stamp(fields);
    auto m = std::make_unique<SchemaMeta>();
    Ref keys = Ref::steal(PyDict_Keys(fields));
    m->nonconst_keys = Ref::steal(PyList_New(0));
    if (!keys || !m->nonconst_keys) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject *key = PyList_GET_ITEM(keys.get(), i);
        Maybe<bool> is_const = truth_attr<"is_const">(key);
        if (!is_const) {
            return error;
        }
        if (!*is_const && PyList_Append(m->nonconst_keys.get(), key) < 0) {
            return error;
        }
    }
    const Status st =
        PyList_GET_SIZE(m->nonconst_keys.get()) > 0 ? compute_open(*m, fields) : compute_const(*m, fields);
    if (failed(st)) {
        return error;
    }
    // Host key specs run code while the caches are computed: a stamp is kept
    // only for a `fields` that stayed as it was throughout.
    if (same_stamp(before, dict_stamp(fields))) {
        m->fields_stamp = before;
    }
    return m;
}

// ---- construction ---------------------------------------------------------------------------

Ref detect_dynamic_field(PyObject *fields)
{
    Ref found = none();
    bool done = false;
    const Status st = dict_for_each(fields, [&](PyObject *key, PyObject *f) -> Status {
        if (done) {
            return Status::ok;
        }
        Maybe<bool> is_const = truth_attr<"is_const">(key);
        if (!is_const) {
            return error;
        }
        if (!*is_const) {
            found = Ref::borrow(f);
            done = true;
        }
        return Status::ok;
    });
    if (failed(st)) {
        return error;
    }
    return found;
}

Maybe<std::pair<Ref, Ref>> merge_fields(PyObject *fields, PyObject *metadata, bool allow_nonconst_keys,
                                        PyObject *base)
{
    const bridge::TypingBridge &br = bridge::get();
    Ref base_name = attr<"name">(base);
    if (!base_name) {
        return error;
    }
    Ref base_fields = attr<"fields">(base);
    if (!base_fields) {
        return error;
    }
    Ref base_metadata = attr<"metadata">(base);
    if (!base_metadata) {
        return error;
    }
    Ref merge_fn = Ref::steal(PyObject_CallFunctionObjArgs(
        br.make_field_merge_fn, py_bool(allow_nonconst_keys), base_name.get(), nullptr));
    if (!merge_fn) {
        return error;
    }
    Ref pair = Ref::steal(PyList_New(2));
    if (!pair) {
        return error;
    }
    PyList_SET_ITEM(pair.get(), 0, Ref::borrow(base_fields.get()).release());
    PyList_SET_ITEM(pair.get(), 1, Ref::borrow(fields).release());
    Ref merged =
        Ref::steal(PyObject_CallFunctionObjArgs(br.topology_merge, pair.get(), merge_fn.get(), nullptr));
    if (!merged) {
        return error;
    }
    Ref meta_pair = Ref::steal(PyList_New(2));
    if (!meta_pair) {
        return error;
    }
    PyList_SET_ITEM(meta_pair.get(), 0, Ref::borrow(base_metadata.get()).release());
    PyList_SET_ITEM(meta_pair.get(), 1, Ref::borrow(metadata).release());
    Ref merged_meta = Ref::steal(PyObject_CallOneArg(br.topology_merge, meta_pair.get()));
    if (!merged_meta) {
        return error;
    }
    if (!PyDict_Check(merged.get())) {
        return not_a_dict(merged.get());
    }
    return std::pair<Ref, Ref>(std::move(merged), std::move(merged_meta));
}

namespace {

Ref alloc_schema()
{
    PyTypeObject *tp = type();
    if (tp == nullptr) {
        return error;
    }
    Ref self = Ref::steal(tp->tp_alloc(tp, 0));
    if (!self) {
        return error;
    }
    new (&state(self.get())) State();
    return self;
}

Status stamp_origins(PyObject *fields, PyObject *for_cls)
{
    const bridge::TypingBridge &br = bridge::get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fields); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(fields, i));
        Ref origin = attr<"origin">(item.get());
        if (!origin) {
            return error;
        }
        if (origin.get() == Py_None) {
            Ref r = Ref::steal(PyObject_CallMethod(item.get(), "set_origin", "O", for_cls));
            if (!r) {
                return error;
            }
        }
    }
    Ref r =
        Ref::steal(PyObject_CallFunctionObjArgs(br.register_forward_ref_target, fields, for_cls, nullptr));
    return r ? Status::ok : Status::error;
}

Status check_inherit(PyObject *fields)
{
    return dict_for_each(fields, [&](PyObject *, PyObject *f) -> Status {
        Ref value = attr<"value">(f);
        if (!value) {
            return error;
        }
        PyObject *marker = nullptr;
        PyObject *marker_name = interned<"_is_inherit_marker">();
        if (marker_name == nullptr) {
            return error;
        }
        if (PyObject_GetOptionalAttr(value.get(), marker_name, &marker) < 0 &&
            failed(discard_ordinary_error())) {
            return error;
        }
        Ref hold = Ref::steal(marker);
        if (!hold) {
            return Status::ok;
        }
        const Maybe<bool> t = truth(hold.get());
        if (!t) {
            return error;
        }
        if (*t) {
            Ref key = attr<"key">(f);
            if (!key) {
                return error;
            }
            return raise_format(PyExc_TypeError,
                                "Field %R: `nv.typing.Inherit` requires a parent field with the same key, "
                                "but none was found in the base schema(s).",
                                key.get());
        }
        return Status::ok;
    });
}

}  // namespace

Ref schema_new(PyObject *fields, PyObject *name, PyObject *base_schema_list, PyObject *description,
               bool allow_nonconst_keys, PyObject *metadata, PyObject *for_cls)
{
    if (!PyList_Check(fields)) {
        return raise_format(PyExc_TypeError, "Argument 'fields' must be a list. Encountered: %R.", fields);
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fields); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(fields, i));
        Ref key = attr<"key">(item.get());
        if (!key || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) {
            return error;
        }
    }
    Ref meta;
    const Maybe<bool> truthy = truth_or(metadata, false);
    if (!truthy) {
        return error;
    }
    meta = *truthy ? Ref::borrow(metadata) : Ref::steal(PyDict_New());
    if (!meta) {
        return error;
    }
    if (for_cls != nullptr && failed(stamp_origins(fields, for_cls))) {
        return error;
    }
    Ref dynamic = detect_dynamic_field(dict.get());
    if (!dynamic) {
        return error;
    }
    const Maybe<bool> has_bases = truth_or(base_schema_list, false);
    if (!has_bases) {
        return error;
    }
    if (*has_bases) {
        Ref base = schema_merge(base_schema_list, nullptr, nullptr);
        if (!base) {
            return error;
        }
        Maybe<std::pair<Ref, Ref>> merged =
            merge_fields(dict.get(), meta.get(), allow_nonconst_keys, base.get());
        if (!merged) {
            return error;
        }
        dict = std::move(merged->first);
        meta = std::move(merged->second);
        if (dynamic.get() == Py_None) {
            dynamic = detect_dynamic_field(dict.get());
            if (!dynamic) {
                return error;
            }
        }
    }
    Maybe<std::unique_ptr<SchemaMeta>> caches = compute_caches(dict.get());
    if (!caches) {
        return error;
    }
    if (!allow_nonconst_keys && dynamic.get() != Py_None) {
        Ref key = attr<"key">(dynamic.get());
        if (!key) {
            return error;
        }
        return raise_format(PyExc_ValueError, "NonConstKey is not allowed in schema. Encountered '%S'.",
                            key.get());
    }
    if (failed(check_inherit(dict.get()))) {
        return error;
    }
    Ref self = alloc_schema();
    if (!self) {
        return error;
    }
    State &s = state(self.get());
    s.fields = std::move(dict);
    s.name = Ref::borrow(none_if_null(name));
    s.description = Ref::borrow(none_if_null(description));
    s.metadata = std::move(meta);
    s.dynamic_field = std::move(dynamic);
    s.allow_nonconst_keys = allow_nonconst_keys;
    s.meta = std::move(*caches);
    return self;
}

Ref schema_merge(PyObject *schema_list, PyObject *name, PyObject *description)
{
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        return error;
    }
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return error;
    }
    Ref issubclass = attr<"issubclass">(builtins.get());
    if (!issubclass) {
        return error;
    }
    Ref it = Ref::steal(PyObject_GetIter(schema_list));
    if (!it) {
        return error;
    }
    Ref nonconst_field;
    for (;;) {
        Ref schema = Ref::steal(PyIter_Next(it.get()));
        if (!schema) {
            if (PyErr_Occurred()) {
                return error;
            }
            break;
        }
        Ref fields = attr<"fields">(schema.get());
        if (!fields) {
            return error;
        }
        if (!PyDict_Check(fields.get())) {
            return not_a_dict(fields.get());
        }
        const Status st = dict_for_each(fields.get(), [&](PyObject *key, PyObject *f) -> Status {
            Maybe<bool> is_const = truth_attr<"is_const">(key);
            if (!is_const) {
                return error;
            }
            if (!*is_const) {
                if (!nonconst_field) {
                    nonconst_field = Ref::borrow(f);
                }
                return Status::ok;
            }
            PyObject *holder = nullptr;
            const int found = PyDict_GetItemRef(result.get(), key, &holder);
            if (found < 0) {
                return error;
            }
            Ref held = Ref::steal(holder);
            if (!found) {
                return check(PyDict_SetItem(result.get(), key, f));
            }
            Ref a = attr<"origin">(f);
            if (!a) {
                return error;
            }
            Ref b = attr<"origin">(held.get());
            if (!b) {
                return error;
            }
            if (a.get() == Py_None || b.get() == Py_None) {
                return Status::ok;
            }
            Ref sub = Ref::steal(PyObject_CallFunctionObjArgs(issubclass.get(), a.get(), b.get(), nullptr));
            if (!sub) {
                return error;
            }
            const Maybe<bool> yes = truth(sub.get());
            if (!yes) {
                return error;
            }
            return *yes ? check(PyDict_SetItem(result.get(), key, f)) : Status::ok;
        });
        if (failed(st)) {
            return error;
        }
    }
    if (nonconst_field) {
        Ref key = attr<"key">(nonconst_field.get());
        if (!key || PyDict_SetItem(result.get(), key.get(), nonconst_field.get()) < 0) {
            return error;
        }
    }
    Ref values = Ref::steal(PyDict_Values(result.get()));
    if (!values) {
        return error;
    }
    return schema_new(values.get(), name, nullptr, description, true, nullptr, nullptr);
}

}  // namespace norv::typing::schema
