// The text form of value specs: the kind's label followed by the key=value
// entries that differ from their defaults, rendered by `kvlist_str`.
#include "core/args.hpp"
#include "formatting/format.hpp"
#include "typing/bridge/bridge.hpp"
#include "typing/value_specs/engine.hpp"

namespace norv::typing::engine {

namespace {

class Entries {
public:
    Entries() : list_(legacy::checked(PyList_New(0))) {}

    void add(const char *key, PyObject *value, PyObject *default_value)
    {
        Ref k = legacy::new_str(key);
        Ref entry = legacy::checked(PyTuple_Pack(3, k.get(), value, default_value));
        legacy::require(PyList_Append(list_.get(), entry.get()));
    }
    void add_bool(const char *key, bool value) { add(key, value ? Py_True : Py_False, Py_False); }

    PyObject *list() const noexcept { return list_.get(); }

private:
    Ref list_;
};

PyObject *or_none(const Ref &r) noexcept
{
    return r ? r.get() : Py_None;
}

void add_default(Entries &out, const SpecEngine &e, const bridge::TypingBridge &br)
{
    out.add("default", e.default_value.get(), br.missing_value);
    out.add("default_factory", or_none(e.default_factory), Py_None);
}

void add_strict(Entries &out, const SpecEngine &e)
{
    PyObject *s = e.strict == STRICT_UNSET ? Py_None : (e.strict == STRICT_TRUE ? Py_True : Py_False);
    out.add("strict", s, Py_None);
}

// N, F, S
void add_flags(Entries &out, const SpecEngine &e)
{
    out.add_bool("noneable", e.is_noneable);
    out.add_bool("frozen", e.frozen);
    add_strict(out, e);
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
    Ref out = legacy::checked(PyList_New(0));
    Ref it = legacy::checked(PyObject_GetIter(fields));
    while (Ref f = Ref::steal(PyIter_Next(it.get()))) {
        Ref v = legacy::getattr(f.get(), bridge::names().value);
        legacy::require(PyList_Append(out.get(), v.get()));
    }
    if (PyErr_Occurred()) {
        legacy::throw_set();
    }
    return out;
}

Ref size_obj(std::optional<std::int64_t> n)
{
    return n ? legacy::new_int(*n) : none();
}

Entries build_entries(SpecEngine &e, const bridge::TypingBridge &br)
{
    Entries out;
    switch (e.tag()) {
        case Tag::Bool:
            add_default(out, e, br);
            add_flags(out, e);
            break;
        case Tag::Str: {
            add_default(out, e, br);
            const StrKind *s = e.kind.get<StrKind>();
            Ref pattern = s->regex ? legacy::getattr(s->regex.get(), bridge::names().pattern) : none();
            out.add("regex", pattern.get(), Py_None);
            add_flags(out, e);
            break;
        }
        case Tag::Number: {
            add_default(out, e, br);
            const NumberKind *n = e.kind.get<NumberKind>();
            out.add("min", or_none(n->min), Py_None);
            out.add("max", or_none(n->max), Py_None);
            add_flags(out, e);
            break;
        }
        case Tag::Enum:
            add_default(out, e, br);
            out.add("values", e.kind.get<EnumKind>()->values.get(), Py_None);
            out.add_bool("frozen", e.frozen);
            add_strict(out, e);
            break;
        case Tag::Any:
            add_default(out, e, br);
            out.add_bool("frozen", e.frozen);
            add_strict(out, e);
            out.add("annotation", e.kind.get<AnyKind>()->annotation.get(), br.missing_value);
            break;
        case Tag::List: {
            const ListKind *l = e.kind.get<ListKind>();
            out.add("", l->element_spec.get(), Py_None);
            Ref min = legacy::new_int(l->min_size), zero = legacy::new_int(0), max = size_obj(l->max_size);
            out.add("min_size", min.get(), zero.get());
            out.add("max_size", max.get(), Py_None);
            add_default(out, e, br);
            add_flags(out, e);
            break;
        }
        case Tag::Tuple: {
            const TupleKind *t = e.kind.get<TupleKind>();
            Ref elements;
            if (t->fixed_length) {
                elements = element_values(t->elements.get());
            }
            else {
                Ref first = legacy::checked(PySequence_GetItem(t->elements.get(), 0));
                elements = legacy::getattr(first.get(), bridge::names().value);
            }
            out.add("", elements.get(), Py_None);
            add_default(out, e, br);
            Ref min = legacy::new_int(t->min_size), max = size_obj(t->max_size);
            // A fixed-length tuple's sizes are implied by its elements: never shown.
            Ref min0 = t->fixed_length ? legacy::new_int(t->min_size) : legacy::new_int(0);
            Ref max0 = t->fixed_length ? size_obj(t->max_size) : none();
            out.add("min_size", min.get(), min0.get());
            out.add("max_size", max.get(), max0.get());
            add_flags(out, e);
            break;
        }
        case Tag::Union:
            out.add("", e.kind.get<UnionKind>()->candidates.get(), Py_None);
            add_default(out, e, br);
            add_flags(out, e);
            break;
        case Tag::Type:
            out.add("", e.kind.get<TypeKind>()->t.get(), Py_None);
            add_default(out, e, br);
            add_flags(out, e);
            break;
        case Tag::Object: {
            const ObjectKind *o = e.kind.get<ObjectKind>();
            Ref name;
            if (o->forward_ref) {
                name = legacy::getattr(o->forward_ref.get(), bridge::names().name);
            }
            else if (e.value_type) {
                name = legacy::getattr(e.value_type.get(), bridge::names().dunder_name);
            }
            else {
                panic("resolved Object has a value_type");
            }
            Ref raw = legacy::checked(PyObject_CallOneArg(br.raw_text_cls, name.get()));
            out.add("", raw.get(), Py_None);
            add_default(out, e, br);
            add_flags(out, e);
            break;
        }
        case Tag::Dict: {
            PyObject *schema = e.kind.get<DictKind>()->schema.get();
            Ref fields;
            if (schema != nullptr && schema != Py_None) {
                Ref values = legacy::checked(PyObject_CallMethod(schema, "values", nullptr));
                fields = legacy::checked(PySequence_List(values.get()));
            }
            else {
                fields = none();
            }
            out.add("fields", fields.get(), Py_None);
            add_flags(out, e);
            break;
        }
        case Tag::Callable: {
            const CallableKind *c = e.kind.get<CallableKind>();
            Ref empty_args = legacy::checked(PyList_New(0)), empty_kw = legacy::checked(PyList_New(0));
            out.add("args", c->args.get(), empty_args.get());
            out.add("kw", c->kw.get(), empty_kw.get());
            out.add("returns", or_none(c->returns), Py_None);
            add_default(out, e, br);
            add_flags(out, e);
            break;
        }
    }
    return out;
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
    Entries entries = build_entries(e, br);
    const bridge::Names &nm = bridge::names();
    Ref kwargs = legacy::checked(PyDict_New());
    Ref label = legacy::new_str(label_of(e));
    Ref indent = legacy::new_int(root_indent);
    legacy::require(PyDict_SetItem(kwargs.get(), nm.label, label.get()));
    legacy::require(PyDict_SetItem(kwargs.get(), nm.compact, compact ? Py_True : Py_False));
    legacy::require(PyDict_SetItem(kwargs.get(), nm.verbose, verbose ? Py_True : Py_False));
    legacy::require(PyDict_SetItem(kwargs.get(), nm.root_indent, indent.get()));
    if (e.tag() == Tag::Union && !list_wrap_threshold) {
        list_wrap_threshold = UNION_WRAP;
    }
    if (list_wrap_threshold) {
        Ref lwt = legacy::new_int(*list_wrap_threshold);
        legacy::require(PyDict_SetItem(kwargs.get(), nm.list_wrap_threshold, lwt.get()));
    }
    return legacy::require(formatting::call_kvlist_str(entries.list(), kwargs.get()));
}

Ref repr(SpecEngine &e)
{
    if (!repr_is_cached(e.tag())) {
        return format(e, true, true, 0, REPR_WRAP);
    }
    {
        std::lock_guard<std::mutex> lock(e.text_mutex);
        if (e.text_cache) {
            return legacy::checked(PyUnicode_DecodeUTF8(e.text_cache->data(),
                                                     static_cast<Py_ssize_t>(e.text_cache->size()), nullptr));
        }
    }
    // Rendered without the lock: it runs Python code (nested values'
    // __repr__), which may render this very spec again.
    Ref text = format(e, true, true, 0, REPR_WRAP);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        // A lone surrogate from some value's __repr__ has no UTF-8 form: the
        // text still serves this message, it is just not kept.
        PyErr_Clear();
        return text;
    }
    std::string copy(utf8, static_cast<std::size_t>(size));
    {
        std::lock_guard<std::mutex> lock(e.text_mutex);
        e.text_cache = std::move(copy);
    }
    return text;
}

Ref regex_pattern_str(PyObject *regex)
{
    if (regex == nullptr) {
        return Ref();
    }
    Ref pattern = legacy::getattr(regex, bridge::names().pattern);
    if (!PyUnicode_Check(pattern.get())) {
        legacy::raise_not_instance(pattern.get(), "str");
    }
    return pattern;
}

}  // namespace norv::typing::engine
