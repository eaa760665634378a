// The text form of value specs: the kind's label followed by the key=value
// entries that differ from their defaults, rendered by `kvlist_str`.
#include "core/args.hpp"
#include "core/none.hpp"
#include "core/names.hpp"
#include "core/utf8.hpp"
#include "formatting/format.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/engine.hpp"

namespace norv::typing::engine {

namespace {

class Entries {
public:
    // Check `failed()` before the first `add`: the list itself may not exist.
    Entries() : list_(Ref::steal(PyList_New(0))) {}

    bool failed() const noexcept { return !list_; }

    Status add(const char *key, PyObject *value, PyObject *default_value)
    {
        Ref k = new_str(key);
        if (!k) {
            return error;
        }
        Ref entry = Ref::steal(PyTuple_Pack(3, k.get(), value, default_value));
        if (!entry) {
            return error;
        }
        return check(PyList_Append(list_.get(), entry.get()));
    }
    Status add_bool(const char *key, bool value) { return add(key, py_bool(value), Py_False); }

    PyObject *list() const noexcept { return list_.get(); }

private:
    Ref list_;
};

Status add_default(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br)
{
    if (failed(out.add("default", e.default_value.get(), br.missing_value))) {
        return error;
    }
    return out.add("default_factory", none_if_null(e.default_factory.get()), Py_None);
}

Status add_strict(Entries &out, const SpecEngine &e)
{
    PyObject *s = e.strict == STRICT_UNSET ? Py_None : py_bool(e.strict == STRICT_TRUE);
    return out.add("strict", s, Py_None);
}

// N, F, S
Status add_flags(Entries &out, const SpecEngine &e)
{
    if (failed(out.add_bool("noneable", e.is_noneable)) || failed(out.add_bool("frozen", e.frozen))) {
        return error;
    }
    return add_strict(out, e);
}

// The default entries followed by the flags: the tail most kinds share.
Status add_default_and_flags(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br)
{
    if (failed(add_default(out, e, br))) {
        return error;
    }
    return add_flags(out, e);
}

const char *label_of(const SpecEngine &e)
{
    switch (e.tag()) {
        case Tag::Bool:
            return "Bool";
        case Tag::Str:
            return "Str";
        case Tag::Number:
            return e.kind.get<NumberKind>()->is_float ? "Float" : "Int";
        case Tag::Enum:
            return "Enum";
        case Tag::Any:
            return "Any";
        case Tag::List:
            return "List";
        case Tag::Tuple:
            return "Tuple";
        case Tag::Union:
            return "Union";
        case Tag::Object:
            return "Object";
        case Tag::Type:
            return "Type";
        case Tag::Dict:
            return "Dict";
        case Tag::Callable:
            return e.kind.get<CallableKind>()->is_functor ? "Functor" : "Callable";
    }
    panic("unknown spec kind");
}

Ref element_values(PyObject *fields)
{
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    Ref it = Ref::steal(PyObject_GetIter(fields));
    if (!it) {
        return error;
    }
    while (Ref f = Ref::steal(PyIter_Next(it.get()))) {
        Ref v = attr<"value">(f.get());
        if (!v || PyList_Append(out.get(), v.get()) < 0) {
            return error;
        }
    }
    if (PyErr_Occurred()) {
        return error;
    }
    return out;
}

Ref size_obj(std::optional<std::int64_t> n)
{
    return n ? new_int(*n) : none();
}

// "min_size" and "max_size", each with the default it is shown against.
Status add_sizes(Entries &out, std::int64_t min, std::optional<std::int64_t> max, std::int64_t min_default,
                 std::optional<std::int64_t> max_default)
{
    Ref min_obj = new_int(min);
    Ref max_obj = min_obj ? size_obj(max) : Ref();
    Ref min0 = max_obj ? new_int(min_default) : Ref();
    Ref max0 = min0 ? size_obj(max_default) : Ref();
    if (!max0 || failed(out.add("min_size", min_obj.get(), min0.get()))) {
        return error;
    }
    return out.add("max_size", max_obj.get(), max0.get());
}

Status str_entries(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br)
{
    if (failed(add_default(out, e, br))) {
        return error;
    }
    const StrKind *s = e.kind.get<StrKind>();
    Ref pattern = s->regex ? attr<"pattern">(s->regex.get()) : none();
    if (!pattern || failed(out.add("regex", pattern.get(), Py_None))) {
        return error;
    }
    return add_flags(out, e);
}

Status number_entries(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br)
{
    if (failed(add_default(out, e, br))) {
        return error;
    }
    const NumberKind *n = e.kind.get<NumberKind>();
    if (failed(out.add("min", none_if_null(n->min.get()), Py_None)) ||
        failed(out.add("max", none_if_null(n->max.get()), Py_None))) {
        return error;
    }
    return add_flags(out, e);
}

Status list_entries(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br)
{
    const ListKind *l = e.kind.get<ListKind>();
    if (failed(out.add("", l->element_spec.get(), Py_None)) ||
        failed(add_sizes(out, l->min_size, l->max_size, 0, std::nullopt))) {
        return error;
    }
    return add_default_and_flags(out, e, br);
}

Status tuple_entries(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br)
{
    const TupleKind *t = e.kind.get<TupleKind>();
    Ref elements;
    if (t->fixed_length) {
        elements = element_values(t->elements.get());
    }
    else {
        Ref first = Ref::steal(PySequence_GetItem(t->elements.get(), 0));
        if (!first) {
            return error;
        }
        elements = attr<"value">(first.get());
    }
    if (!elements || failed(out.add("", elements.get(), Py_None)) || failed(add_default(out, e, br))) {
        return error;
    }
    // A fixed-length tuple's sizes are implied by its elements: never shown.
    const bool fixed = t->fixed_length;
    if (failed(add_sizes(out, t->min_size, t->max_size, fixed ? t->min_size : 0,
                         fixed ? t->max_size : std::nullopt))) {
        return error;
    }
    return add_flags(out, e);
}

// The kind's one unnamed entry, then the default and the flags.
Status leading_entry(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br, PyObject *value)
{
    if (failed(out.add("", value, Py_None))) {
        return error;
    }
    return add_default_and_flags(out, e, br);
}

Status object_entries(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br)
{
    const ObjectKind *o = e.kind.get<ObjectKind>();
    Ref name;
    if (o->forward_ref) {
        name = attr<"name">(o->forward_ref.get());
    }
    else if (e.value_type) {
        name = attr<"__name__">(e.value_type.get());
    }
    else {
        panic("resolved Object has a value_type");
    }
    if (!name) {
        return error;
    }
    Ref raw = Ref::steal(PyObject_CallOneArg(br.raw_text_cls, name.get()));
    if (!raw) {
        return error;
    }
    return leading_entry(out, e, br, raw.get());
}

Status dict_entries(Entries &out, const SpecEngine &e)
{
    PyObject *schema = e.kind.get<DictKind>()->schema.get();
    Ref fields;
    if (schema != nullptr && schema != Py_None) {
        Ref values = Ref::steal(PyObject_CallMethod(schema, "values", nullptr));
        if (!values) {
            return error;
        }
        fields = Ref::steal(PySequence_List(values.get()));
    }
    else {
        fields = none();
    }
    if (!fields || failed(out.add("fields", fields.get(), Py_None))) {
        return error;
    }
    return add_flags(out, e);
}

Status callable_entries(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br)
{
    const CallableKind *c = e.kind.get<CallableKind>();
    Ref empty_args = Ref::steal(PyList_New(0));
    if (!empty_args) {
        return error;
    }
    Ref empty_kw = Ref::steal(PyList_New(0));
    if (!empty_kw) {
        return error;
    }
    if (failed(out.add("args", c->args.get(), empty_args.get())) ||
        failed(out.add("kw", c->kw.get(), empty_kw.get())) ||
        failed(out.add("returns", none_if_null(c->returns.get()), Py_None))) {
        return error;
    }
    return add_default_and_flags(out, e, br);
}

// Fills `out` (checked already) with the kind's entries, in display order.
Status build_entries(Entries &out, SpecEngine &e, const bridge::TypingBridge &br)
{
    switch (e.tag()) {
        case Tag::Bool:
            return add_default_and_flags(out, e, br);
        case Tag::Str:
            return str_entries(out, e, br);
        case Tag::Number:
            return number_entries(out, e, br);
        case Tag::Enum:
            if (failed(add_default(out, e, br)) ||
                failed(out.add("values", e.kind.get<EnumKind>()->values.get(), Py_None)) ||
                failed(out.add_bool("frozen", e.frozen))) {
                return error;
            }
            return add_strict(out, e);
        case Tag::Any:
            if (failed(add_default(out, e, br)) || failed(out.add_bool("frozen", e.frozen)) ||
                failed(add_strict(out, e))) {
                return error;
            }
            return out.add("annotation", e.kind.get<AnyKind>()->annotation.get(), br.missing_value);
        case Tag::List:
            return list_entries(out, e, br);
        case Tag::Tuple:
            return tuple_entries(out, e, br);
        case Tag::Union:
            return leading_entry(out, e, br, e.kind.get<UnionKind>()->candidates.get());
        case Tag::Type:
            return leading_entry(out, e, br, e.kind.get<TypeKind>()->t.get());
        case Tag::Object:
            return object_entries(out, e, br);
        case Tag::Dict:
            return dict_entries(out, e);
        case Tag::Callable:
            return callable_entries(out, e, br);
    }
    return Status::ok;
}

bool repr_is_cached(Tag t) noexcept
{
    return t == Tag::Bool || t == Tag::Str || t == Tag::Number || t == Tag::Enum;
}

constexpr std::int64_t REPR_WRAP = 80;
constexpr std::int64_t UNION_WRAP = 20;

}  // namespace

Ref format(SpecEngine &e, bool compact, bool verbose, std::int64_t root_indent,
           std::optional<std::int64_t> list_wrap_threshold)
{
    const bridge::TypingBridge &br = bridge::get();
    Entries entries;
    if (entries.failed() || failed(build_entries(entries, e, br))) {
        return error;
    }
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) {
        return error;
    }
    Ref label = new_str(label_of(e));
    if (!label) {
        return error;
    }
    Ref indent = new_int(root_indent);
    if (!indent) {
        return error;
    }
    if (PyDict_SetItem(kwargs.get(), interned<"label">(), label.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), interned<"compact">(), py_bool(compact)) < 0 ||
        PyDict_SetItem(kwargs.get(), interned<"verbose">(), py_bool(verbose)) < 0 ||
        PyDict_SetItem(kwargs.get(), interned<"root_indent">(), indent.get()) < 0) {
        return error;
    }
    if (e.tag() == Tag::Union && !list_wrap_threshold) {
        list_wrap_threshold = UNION_WRAP;
    }
    if (list_wrap_threshold) {
        Ref lwt = new_int(*list_wrap_threshold);
        if (!lwt || PyDict_SetItem(kwargs.get(), interned<"list_wrap_threshold">(), lwt.get()) < 0) {
            return error;
        }
    }
    return formatting::call_kvlist_str(entries.list(), kwargs.get());
}

Ref repr(SpecEngine &e)
{
    if (!repr_is_cached(e.tag())) {
        return format(e, true, true, 0, REPR_WRAP);
    }
    {
        std::lock_guard<Lock> lock(e.text_mutex);
        if (e.text_cache) {
            return Ref::steal(PyUnicode_DecodeUTF8(e.text_cache->data(),
                                                   static_cast<Py_ssize_t>(e.text_cache->size()), nullptr));
        }
    }
    // Rendered without the lock: it runs Python code (nested values'
    // __repr__), which may render this very spec again.
    Ref text = format(e, true, true, 0, REPR_WRAP);
    if (!text) {
        return error;
    }
    const std::optional<std::string_view> utf8 = utf8_or_none(text.get());
    if (!utf8) {
        // A lone surrogate from some value's __repr__ has no UTF-8 form: the
        // text still serves this message, it is just not kept.
        return text;
    }
    std::string copy(*utf8);
    {
        std::lock_guard<Lock> lock(e.text_mutex);
        e.text_cache = std::move(copy);
    }
    return text;
}

Maybe<Ref> regex_pattern_str(PyObject *regex)
{
    if (regex == nullptr) {
        return Ref();
    }
    Ref pattern = attr<"pattern">(regex);
    if (!pattern) {
        return error;
    }
    if (!PyUnicode_Check(pattern.get())) {
        return raise_not_instance(pattern.get(), "str");
    }
    return pattern;
}

}  // namespace norv::typing::engine
