// The wire form of a value spec: "_type", the default, the kind's keys and the
// flags, in that order (insertion order is the contract). Nested values go
// through the host's conversion with the caller's keyword arguments.
#include <cstdint>

#include "core/args.hpp"
#include "core/names.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/engine.hpp"
#include "typing/value_specs/relations.hpp"

namespace norv::typing::relations {

namespace {

const char *type_key(const SpecEngine &e)
{
    switch (e.tag()) {
        case Tag::Bool:
            return "norv.typing.Bool";
        case Tag::Str:
            return "norv.typing.Str";
        case Tag::Number:
            return e.kind.get<NumberKind>()->is_float ? "norv.typing.Float" : "norv.typing.Int";
        case Tag::Enum:
            return "norv.typing.Enum";
        case Tag::Any:
            return "norv.typing.Any";
        case Tag::List:
            return "norv.typing.List";
        case Tag::Tuple:
            return "norv.typing.Tuple";
        case Tag::Union:
            return "norv.typing.Union";
        case Tag::Object:
            return "norv.typing.Object";
        case Tag::Type:
            return "norv.typing.Type";
        case Tag::Dict:
            return "norv.typing.Dict";
        case Tag::Callable:
            return e.kind.get<CallableKind>()->is_functor ? "norv.typing.Functor" : "norv.typing.Callable";
    }
    return "";
}

class Writer {
public:
    Writer(PyObject *out, PyObject *kwargs) : out_(out), kwargs_(kwargs) {}

    Status put(const char *key, PyObject *value) { return check(PyDict_SetItemString(out_, key, value)); }
    // key: to_json(value, **kwargs).
    Status put_json(const char *key, PyObject *value)
    {
        Ref j = bridge::call_to_json(value, kwargs_);
        return j ? put(key, j.get()) : Status::error;
    }
    Status put_json_if(const char *key, const Ref &value)
    {
        return value ? put_json(key, value.get()) : Status::ok;
    }
    Status put_int(const char *key, std::int64_t v)
    {
        Ref i = new_int(v);
        return i ? put(key, i.get()) : Status::error;
    }
    Status sizes(std::int64_t min, const std::optional<std::int64_t> &max)
    {
        if (failed(put_int("min_size", min))) {
            return error;
        }
        return max ? put_int("max_size", *max) : Status::ok;
    }
    Status flag_true(const char *key, bool on) { return on ? put(key, Py_True) : Status::ok; }
    Status strict(const SpecEngine &e)
    {
        return e.strict == STRICT_UNSET ? Status::ok : put("strict", py_bool(e.strict == STRICT_TRUE));
    }
    Status noneable_strict_frozen(const SpecEngine &e)
    {
        if (failed(flag_true("is_noneable", e.is_noneable)) || failed(strict(e))) {
            return error;
        }
        return flag_true("frozen", e.frozen);
    }
    Status noneable_frozen_strict(const SpecEngine &e)
    {
        if (failed(flag_true("is_noneable", e.is_noneable)) || failed(flag_true("frozen", e.frozen))) {
            return error;
        }
        return strict(e);
    }

private:
    PyObject *out_;
    PyObject *kwargs_;
};

// The `value` attribute of each element field, as a new list.
Ref field_values(PyObject *fields)
{
    const Py_ssize_t n = PyList_GET_SIZE(fields);
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(fields); ++i) {
        Ref field = Ref::borrow(PyList_GET_ITEM(fields, i));
        Ref v = attr<"value">(field.get());
        if (!v || PyList_Append(out.get(), v.get()) < 0) {
            return error;
        }
    }
    return out;
}

Status kind_keys(SpecEngine &e, Writer &w)
{
    switch (e.tag()) {
        case Tag::Bool:
            return w.noneable_strict_frozen(e);
        case Tag::Str: {
            Maybe<Ref> pattern = engine::regex_pattern_str(e.kind.get<StrKind>()->regex.get());
            if (!pattern || (*pattern && failed(w.put("regex", pattern->get())))) {
                return error;
            }
            return w.noneable_strict_frozen(e);
        }
        case Tag::Number: {
            const NumberKind *k = e.kind.get<NumberKind>();
            if ((k->min && failed(w.put("min_value", k->min.get()))) ||
                (k->max && failed(w.put("max_value", k->max.get())))) {
                return error;
            }
            return w.noneable_strict_frozen(e);
        }
        case Tag::Enum:
            if (failed(w.put_json("values", e.kind.get<EnumKind>()->values.get())) ||
                failed(w.flag_true("frozen", e.frozen))) {
                return error;
            }
            return w.strict(e);
        case Tag::Any: {
            Ref annotation = Ref::borrow(e.kind.get<AnyKind>()->annotation.get());
            const Maybe<bool> missing = bridge::is_missing(annotation.get());
            if (!missing || (!*missing && failed(w.put_json("annotation", annotation.get()))) ||
                failed(w.put_json_if("transform", e.transform)) || failed(w.flag_true("frozen", e.frozen))) {
                return error;
            }
            return w.strict(e);
        }
        case Tag::List: {
            const ListKind *k = e.kind.get<ListKind>();
            if (failed(w.put_json("element_value", k->element_spec.get())) ||
                failed(w.sizes(k->min_size, k->max_size)) ||
                failed(w.put_json_if("transform", e.transform))) {
                return error;
            }
            return w.noneable_strict_frozen(e);
        }
        case Tag::Tuple: {
            const TupleKind *k = e.kind.get<TupleKind>();
            Ref fields = Ref::borrow(k->elements.get());
            Ref elements;
            if (k->fixed_length) {
                elements = field_values(fields.get());
            }
            else {
                Ref field = Ref::steal(PySequence_GetItem(fields.get(), 0));
                elements = field ? attr<"value">(field.get()) : Ref();
            }
            if (!elements || failed(w.put_json("element_values", elements.get()))) {
                return error;
            }
            if (!k->fixed_length && failed(w.sizes(k->min_size, k->max_size))) {
                return error;
            }
            if (failed(w.put_json_if("transform", e.transform))) {
                return error;
            }
            return w.noneable_strict_frozen(e);
        }
        case Tag::Union:
            if (failed(w.put_json("candidates", e.kind.get<UnionKind>()->candidates.get()))) {
                return error;
            }
            return w.noneable_strict_frozen(e);
        case Tag::Object: {
            Maybe<Ref> cls = engine::value_type_obj(e);
            if (!cls) {
                return error;
            }
            if (!*cls) {
                panic("Object resolves to a class");
            }
            if (failed(w.put_json("t", cls->get())) || failed(w.put_json_if("transform", e.transform))) {
                return error;
            }
            return w.noneable_strict_frozen(e);
        }
        case Tag::Type:
            if (failed(w.put_json("t", e.kind.get<TypeKind>()->t.get()))) {
                return error;
            }
            return w.noneable_strict_frozen(e);
        case Tag::Dict: {
            const DictKind *k = e.kind.get<DictKind>();
            if ((k->schema && k->schema.get() != Py_None && failed(w.put_json("schema", k->schema.get()))) ||
                failed(w.put_json_if("transform", e.transform))) {
                return error;
            }
            return w.noneable_frozen_strict(e);
        }
        case Tag::Callable: {
            const CallableKind *k = e.kind.get<CallableKind>();
            if ((PyList_GET_SIZE(k->args.get()) && failed(w.put_json("args", k->args.get()))) ||
                (PyList_GET_SIZE(k->kw.get()) && failed(w.put_json("kw", k->kw.get()))) ||
                failed(w.put_json_if("returns", k->returns)) ||
                failed(w.put_json_if("transform", e.transform)) ||
                (!k->is_functor && failed(w.put_json_if("callable_type", e.value_type)))) {
                return error;
            }
            return w.noneable_strict_frozen(e);
        }
    }
    return Status::ok;
}

}  // namespace

Ref spec_to_json(PyObject *self, FastArgs a)
{
    static const Signature sig{"to_json", {}, {.var_kwargs = true, .method = true}};
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    base::SelfRead r(self);
    if (r.failed()) {
        return error;
    }
    SpecEngine &e = r.engine();
    Ref out = Ref::steal(PyDict_New());
    if (!out) {
        return error;
    }
    Writer w(out.get(), b.varkw.get());
    Ref key = new_str(type_key(e));
    if (!key || failed(w.put("_type", key.get()))) {
        return error;
    }
    const Maybe<bool> missing = bridge::is_missing(e.default_value.get());
    if (!missing) {
        return error;
    }
    const DictKind *dict = e.kind.get<DictKind>();
    if (!*missing && !(dict && dict->default_from_schema)) {
        Ref default_value = Ref::borrow(e.default_value.get());
        if (failed(w.put_json("default", default_value.get()))) {
            return error;
        }
    }
    if (failed(kind_keys(e, w))) {
        return error;
    }
    return out;
}

}  // namespace norv::typing::relations
