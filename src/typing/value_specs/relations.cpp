#include "typing/value_specs/relations.hpp"

#include <cstdint>
#include <optional>

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/engine.hpp"
#include "typing/value_specs/relations_util.hpp"

namespace norv::typing::relations {

using namespace rel;

namespace {

// ---- equality ----------------------------------------------------------------------

// Optional object of self against an attribute of other: absent matches None only.
Maybe<bool> opt_eq_obj(const Ref &a, PyObject *b)
{
    if (!a) {
        return b == Py_None;
    }
    if (b == Py_None) {
        return false;
    }
    return eq_truth(a.get(), b);
}

Maybe<bool> regex_eq(const Ref &a, PyObject *b)
{
    if (!a || b == Py_None) {
        return !a && b == Py_None;
    }
    return eq_truth(a.get(), b);
}

// other.<name> == self's object.
Maybe<bool> attr_eq(PyObject *mine, PyObject *other, const char *name)
{
    Ref theirs = getattr(other, name);
    if (!theirs) {
        return error;
    }
    return eq_truth(mine, theirs.get());
}

Maybe<bool> forward_refs_eq(SpecEngine &e, PyObject *other)
{
    Ref mine = engine::forward_refs(e);
    if (!mine) {
        return error;
    }
    return attr_eq(mine.get(), other, "forward_refs");
}

// The class a Type spec names: its forward reference's current class, or the stored type.
Ref type_target(SpecEngine &e)
{
    const TypeKind *k = e.kind.get<TypeKind>();
    return k->forward_ref ? attr<"cls">(k->forward_ref.get()) : Ref::borrow(k->t.get());
}

// A "no" or an error ends a conjunction: `if (stops(x)) return x;`.
bool stops(const Maybe<bool> &m) noexcept
{
    return !m || !*m;
}

Maybe<bool> kind_eq(SpecEngine &e, PyObject *other)
{
    switch (e.tag()) {
        case Tag::Bool:
            return true;
        case Tag::Str: {
            Ref regex = getattr(other, "regex");
            if (!regex) {
                return error;
            }
            return regex_eq(e.kind.get<StrKind>()->regex, regex.get());
        }
        case Tag::Number: {
            const NumberKind *k = e.kind.get<NumberKind>();
            Ref min = getattr(other, "min_value");
            if (!min) {
                return error;
            }
            const Maybe<bool> same_min = opt_eq_obj(k->min, min.get());
            if (stops(same_min)) {
                return same_min;
            }
            Ref max = getattr(other, "max_value");
            if (!max) {
                return error;
            }
            return opt_eq_obj(k->max, max.get());
        }
        case Tag::Enum:
            return attr_eq(e.kind.get<EnumKind>()->values.get(), other, "values");
        case Tag::Any:
            return attr_eq(e.kind.get<AnyKind>()->annotation.get(), other, "annotation");
        case Tag::List:
            return attr_eq(e.kind.get<ListKind>()->element_field.get(), other, "element");
        case Tag::Tuple: {
            const TupleKind *k = e.kind.get<TupleKind>();
            Maybe<std::int64_t> min = attr_i64(other, "min_size");
            if (!min) {
                return error;
            }
            Maybe<std::optional<std::int64_t>> max = attr_opt_i64(other, "max_size");
            if (!max) {
                return error;
            }
            const Maybe<bool> same = attr_eq(k->elements.get(), other, "elements");
            if (stops(same)) {
                return same;
            }
            return k->min_size == *min && k->max_size == *max;
        }
        case Tag::Union: {
            PyObject *mine = e.kind.get<UnionKind>()->candidates.get();
            Ref theirs = getattr(other, "candidates");
            if (!theirs) {
                return error;
            }
            const Py_ssize_t n = PyObject_Size(theirs.get());
            if (n < 0) {
                return error;
            }
            if (n != PyList_GET_SIZE(mine)) {
                return false;
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mine); ++i) {
                Ref c = Ref::borrow(PyList_GET_ITEM(mine, i));
                Ref match = call_method1(other, "get_candidate", c.get());
                if (!match) {
                    return error;
                }
                const Maybe<bool> same = eq_truth(c.get(), match.get());
                if (stops(same)) {
                    return same;
                }
            }
            return true;
        }
        case Tag::Object: {
            const Maybe<bool> resolved = engine::type_resolved(e);
            if (!resolved) {
                return error;
            }
            if (!*resolved) {
                return forward_refs_eq(e, other);
            }
            Ref theirs = getattr(other, "value_type");
            if (!theirs) {
                return error;
            }
            Maybe<Ref> mine = engine::value_type_obj(e);
            if (!mine) {
                return error;
            }
            return *mine ? eq_truth(mine->get(), theirs.get()) : Maybe<bool>(theirs.get() == Py_None);
        }
        case Tag::Type: {
            const Maybe<bool> resolved = engine::type_resolved(e);
            if (!resolved) {
                return error;
            }
            if (!*resolved) {
                return forward_refs_eq(e, other);
            }
            Ref target = type_target(e);
            if (!target) {
                return error;
            }
            return attr_eq(target.get(), other, "type");
        }
        case Tag::Dict:
            return attr_eq(none_if_null(e.kind.get<DictKind>()->schema.get()), other, "schema");
        case Tag::Callable: {
            const CallableKind *k = e.kind.get<CallableKind>();
            Maybe<bool> same = attr_eq(k->args.get(), other, "args");
            if (same && *same) {
                same = attr_eq(k->kw.get(), other, "kw");
            }
            if (stops(same)) {
                return same;
            }
            Ref ret = getattr(other, "return_value");
            if (!ret) {
                return error;
            }
            return k->returns ? eq_truth(k->returns.get(), ret.get()) : Maybe<bool>(ret.get() == Py_None);
        }
    }
    return false;
}

Maybe<bool> flag_eq(PyObject *other, const char *name, bool mine)
{
    const Maybe<bool> theirs = attr_bool(other, name);
    if (!theirs) {
        return error;
    }
    return *theirs == mine;
}

Maybe<bool> spec_eq(PyObject *self, PyObject *other)
{
    if (other == self) {
        return true;
    }
    const Maybe<bool> inst =
        predicate(PyObject_IsInstance(other, reinterpret_cast<PyObject *>(Py_TYPE(self))));
    if (stops(inst)) {
        return inst;
    }
    // Held from here: the defaults are compared first, and a default may be
    // a spec holding another spec as its default.
    RecursionGuard depth(" while comparing value specs");
    if (depth.failed()) {
        return error;
    }
    base::NativeRead r(self);
    if (r.failed()) {
        return error;
    }
    SpecEngine &e = r.engine();
    Ref default_value = getattr(other, "default");
    if (!default_value) {
        return error;
    }
    Ref factory = getattr(other, "default_factory");
    if (!factory) {
        return error;
    }
    Ref transform = getattr(other, "transform");
    if (!transform) {
        return error;
    }
    Maybe<bool> same = bridge::callable_eq(e.default_value.get(), default_value.get());
    if (same && *same) {
        same = bridge::callable_eq(none_if_null(e.default_factory.get()), factory.get());
    }
    if (same && *same) {
        same = flag_eq(other, "is_noneable", e.is_noneable);
    }
    if (same && *same) {
        same = flag_eq(other, "frozen", e.frozen);
    }
    if (same && *same) {
        same = flag_eq(other, "strict", e.strict == STRICT_TRUE);
    }
    if (same && *same) {
        same = bridge::callable_eq(none_if_null(e.transform.get()), transform.get());
    }
    if (stops(same)) {
        return same;
    }
    return kind_eq(e, other);
}

// ---- compatibility -------------------------------------------------------------------

Maybe<bool> field_value_compatible(PyObject *mine_field, PyObject *their_field)
{
    Ref mine = attr<"value">(mine_field);
    if (!mine) {
        return error;
    }
    Ref theirs = attr<"value">(their_field);
    if (!theirs) {
        return error;
    }
    return ask_compatible(mine.get(), theirs.get());
}

// other.<name> None gives no; otherwise `other.<name> <op> bound` gives no when true.
Maybe<bool> bound_fits(const Ref &bound, PyObject *other, const char *name, int op)
{
    if (!bound) {
        return true;
    }
    Ref theirs = getattr(other, name);
    if (!theirs) {
        return error;
    }
    if (theirs.get() == Py_None) {
        return false;
    }
    const Maybe<bool> outside = compare_truth(theirs.get(), bound.get(), op);
    if (!outside) {
        return error;
    }
    return !*outside;
}

Maybe<bool> tuple_compatible(SpecEngine &e, PyObject *other)
{
    const TupleKind *k = e.kind.get<TupleKind>();
    const Maybe<bool> their_fixed = attr_bool(other, "fixed_length");
    if (!their_fixed) {
        return error;
    }
    Ref theirs = getattr(other, "elements");
    if (!theirs) {
        return error;
    }
    PyObject *mine = k->elements.get();
    const Py_ssize_t m = PyObject_Size(theirs.get());
    if (m < 0) {
        return error;
    }
    auto their_item = [&](Py_ssize_t i) { return Ref::steal(PySequence_GetItem(theirs.get(), i)); };
    if (k->fixed_length) {
        if (!*their_fixed || m != PyList_GET_SIZE(mine)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < m; ++i) {
            Ref f = their_item(i);
            if (!f) {
                return error;
            }
            Ref own = Ref::steal(PySequence_GetItem(mine, i));
            if (!own) {
                return error;
            }
            const Maybe<bool> ok = field_value_compatible(own.get(), f.get());
            if (stops(ok)) {
                return ok;
            }
        }
        return true;
    }
    // The element lists are handed out by the getters, so their length is
    // read afresh at every step.
    Ref own = Ref::steal(PySequence_GetItem(mine, 0));
    if (!own) {
        return error;
    }
    if (*their_fixed) {
        if (k->min_size > m || (k->max_size && *k->max_size < m)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < m; ++i) {
            Ref f = their_item(i);
            if (!f) {
                return error;
            }
            const Maybe<bool> ok = field_value_compatible(own.get(), f.get());
            if (stops(ok)) {
                return ok;
            }
        }
        return true;
    }
    Maybe<std::int64_t> min = attr_i64(other, "min_size");
    if (!min) {
        return error;
    }
    Maybe<std::optional<std::int64_t>> max = attr_opt_i64(other, "max_size");
    if (!max) {
        return error;
    }
    if (k->min_size > *min) {
        return false;
    }
    if (k->max_size && (!*max || **max > *k->max_size)) {
        return false;
    }
    Ref f = their_item(0);
    if (!f) {
        return error;
    }
    return field_value_compatible(own.get(), f.get());
}

Maybe<bool> callable_compatible(SpecEngine &e, PyObject *other)
{
    const CallableKind *k = e.kind.get<CallableKind>();
    Ref args = getattr(other, "args");
    if (!args) {
        return error;
    }
    Ref kw = getattr(other, "kw");
    if (!kw) {
        return error;
    }
    const Py_ssize_t n_args = PyObject_Size(args.get());
    if (n_args < 0) {
        return error;
    }
    const Py_ssize_t n_kw = PyObject_Size(kw.get());
    if (n_kw < 0) {
        return error;
    }
    if (PyList_GET_SIZE(k->args.get()) > n_args || PyList_GET_SIZE(k->kw.get()) > n_kw) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(k->args.get()); ++i) {
        Ref mine = Ref::borrow(PyList_GET_ITEM(k->args.get(), i));
        Ref theirs = Ref::steal(PySequence_GetItem(args.get(), i));
        if (!theirs) {
            return error;
        }
        const Maybe<bool> ok = ask_compatible(mine.get(), theirs.get());
        if (stops(ok)) {
            return ok;
        }
    }
    Ref by_name = Ref::steal(PyDict_New());
    if (!by_name) {
        return error;
    }
    Ref it = Ref::steal(PyObject_GetIter(kw.get()));
    if (!it) {
        return error;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref name = Ref::steal(PySequence_GetItem(item.get(), 0));
        if (!name) {
            return error;
        }
        Ref spec = Ref::steal(PySequence_GetItem(item.get(), 1));
        if (!spec || PyDict_SetItem(by_name.get(), name.get(), spec.get()) < 0) {
            return error;
        }
    }
    if (PyErr_Occurred()) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(k->kw.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(k->kw.get(), i));
        Ref name = Ref::steal(PySequence_GetItem(pair.get(), 0));
        if (!name) {
            return error;
        }
        Ref spec = Ref::steal(PySequence_GetItem(pair.get(), 1));
        if (!spec) {
            return error;
        }
        PyObject *theirs = nullptr;
        const Maybe<bool> found = predicate(PyDict_GetItemRef(by_name.get(), name.get(), &theirs));
        Ref theirs_ref = Ref::steal(theirs);
        if (stops(found)) {
            return found;
        }
        const Maybe<bool> ok = ask_compatible(spec.get(), theirs_ref.get());
        if (stops(ok)) {
            return ok;
        }
    }
    if (!k->returns) {
        return true;
    }
    Ref ret = getattr(other, "return_value");
    if (!ret) {
        return error;
    }
    return ret.get() == Py_None ? Maybe<bool>(true) : ask_compatible(k->returns.get(), ret.get());
}

Maybe<bool> compatible_kind(SpecEngine &e, PyObject *other)
{
    switch (e.tag()) {
        case Tag::Bool:
        case Tag::Str:
        case Tag::Any:
        case Tag::Union:
            return true;
        case Tag::Number: {
            const NumberKind *k = e.kind.get<NumberKind>();
            const Maybe<bool> min_ok = bound_fits(k->min, other, "min_value", Py_LT);
            if (stops(min_ok)) {
                return min_ok;
            }
            return bound_fits(k->max, other, "max_value", Py_GT);
        }
        case Tag::Enum: {
            PyObject *mine = e.kind.get<EnumKind>()->values.get();
            Ref theirs = getattr(other, "values");
            if (!theirs) {
                return error;
            }
            Ref it = Ref::steal(PyObject_GetIter(theirs.get()));
            if (!it) {
                return error;
            }
            while (Ref v = Ref::steal(PyIter_Next(it.get()))) {
                const Maybe<bool> in = predicate(PySequence_Contains(mine, v.get()));
                if (stops(in)) {
                    return in;
                }
            }
            return PyErr_Occurred() ? Maybe<bool>(error) : Maybe<bool>(true);
        }
        case Tag::List: {
            const ListKind *k = e.kind.get<ListKind>();
            if (k->max_size) {
                Maybe<std::optional<std::int64_t>> max = attr_opt_i64(other, "max_size");
                if (!max) {
                    return error;
                }
                if (!*max || **max > *k->max_size) {
                    return false;
                }
            }
            Ref element = getattr(other, "element");
            if (!element) {
                return error;
            }
            Ref theirs = attr<"value">(element.get());
            if (!theirs) {
                return error;
            }
            return ask_compatible(k->element_spec.get(), theirs.get());
        }
        case Tag::Tuple:
            return tuple_compatible(e, other);
        case Tag::Object:
        case Tag::Type: {
            const Maybe<bool> resolved = engine::type_resolved(e);
            if (!resolved || !*resolved) {
                return resolved ? Maybe<bool>(true) : Maybe<bool>(error);
            }
            const Maybe<bool> resolved_too = truth_attr<"type_resolved">(other);
            if (!resolved_too || !*resolved_too) {
                return resolved_too ? Maybe<bool>(true) : Maybe<bool>(error);
            }
            Ref target;
            if (e.tag() == Tag::Object) {
                Maybe<Ref> t = engine::value_type_obj(e);
                if (!t) {
                    return error;
                }
                if (!*t) {
                    panic("Object resolves to a class");
                }
                target = std::move(*t);
            }
            else {
                target = type_target(e);
                if (!target) {
                    return error;
                }
            }
            Ref theirs = getattr(other, e.tag() == Tag::Object ? "cls" : "type");
            if (!theirs) {
                return error;
            }
            return bridge::call_is_subclass(theirs.get(), target.get());
        }
        case Tag::Dict: {
            const DictKind *k = e.kind.get<DictKind>();
            if (!k->schema || k->schema.get() == Py_None) {
                return true;
            }
            Ref theirs = getattr(other, "schema");
            if (!theirs) {
                return error;
            }
            if (theirs.get() == Py_None) {
                return false;
            }
            Ref schema = Ref::borrow(k->schema.get());
            Ref r = call_method1(schema.get(), "is_compatible", theirs.get());
            if (!r) {
                return error;
            }
            return truth(r.get());
        }
        case Tag::Callable:
            return callable_compatible(e, other);
    }
    return false;
}

// A Callable spec against an Object spec: the class's own __call__ has to be a
// plain function that the Callable accepts.
Maybe<bool> callable_accepts_object(PyObject *owner, PyObject *other)
{
    Ref cls = attr<"value_type">(other);
    if (!cls) {
        return error;
    }
    PyObject *call = nullptr;
    const Maybe<bool> has = predicate(PyObject_GetOptionalAttrString(cls.get(), "__call__", &call));
    Ref call_ref = Ref::steal(call);
    if (stops(has)) {
        return has;
    }
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return error;
    }
    Ref is_fn = call_method1(inspect.get(), "isfunction", call_ref.get());
    if (!is_fn) {
        return error;
    }
    const Maybe<bool> function = truth(is_fn.get());
    if (stops(function)) {
        return function;
    }
    // Accepted when the owner's apply returns; a refusal raises.
    Ref applied = call_method1(owner, "apply", call_ref.get());
    if (applied) {
        return true;
    }
    if (failed(discard_ordinary_error())) {
        return error;
    }
    return false;
}

Maybe<bool> is_compatible(SpecEngine &e, PyObject *owner, PyObject *other)
{
    RecursionGuard depth(" while checking value-spec compatibility");
    if (depth.failed()) {
        return error;
    }
    switch (e.tag()) {
        case Tag::Any:
            return true;
        case Tag::Union: {
            PyObject *mine = e.kind.get<UnionKind>()->candidates.get();
            const Maybe<bool> other_union =
                predicate(PyObject_IsInstance(other, reinterpret_cast<PyObject *>(classes::union_type())));
            if (!other_union) {
                return error;
            }
            if (*other_union) {
                Ref theirs = getattr(other, "candidates");
                if (!theirs) {
                    return error;
                }
                Ref it = Ref::steal(PyObject_GetIter(theirs.get()));
                if (!it) {
                    return error;
                }
                while (Ref oc = Ref::steal(PyIter_Next(it.get()))) {
                    const Maybe<bool> ok = is_compatible(e, owner, oc.get());
                    if (stops(ok)) {
                        return ok;
                    }
                }
                return PyErr_Occurred() ? Maybe<bool>(error) : Maybe<bool>(true);
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mine); ++i) {
                Ref c = Ref::borrow(PyList_GET_ITEM(mine, i));
                const Maybe<bool> ok = ask_compatible(c.get(), other);
                if (!ok || *ok) {
                    return ok;
                }
            }
            return false;
        }
        case Tag::Enum: {
            const Maybe<bool> frozen = attr_bool(other, "frozen");
            if (!frozen) {
                return error;
            }
            if (*frozen) {
                Ref d = getattr(other, "default");
                if (!d) {
                    return error;
                }
                const Maybe<bool> in =
                    predicate(PySequence_Contains(e.kind.get<EnumKind>()->values.get(), d.get()));
                if (!in || *in) {
                    return in;
                }
            }
            break;
        }
        case Tag::Callable: {
            const Maybe<bool> is_object =
                predicate(PyObject_IsInstance(other, reinterpret_cast<PyObject *>(classes::object_type())));
            if (!is_object) {
                return error;
            }
            if (*is_object) {
                return callable_accepts_object(owner, other);
            }
            break;
        }
        default:
            break;
    }
    if (other == owner) {
        return true;
    }
    const Maybe<bool> inst =
        predicate(PyObject_IsInstance(other, reinterpret_cast<PyObject *>(Py_TYPE(owner))));
    if (stops(inst)) {
        return inst;
    }
    if (!e.is_noneable) {
        const Maybe<bool> noneable = attr_bool(other, "is_noneable");
        if (!noneable) {
            return error;
        }
        if (*noneable) {
            return false;
        }
    }
    return compatible_kind(e, other);
}

}  // namespace

PyObject *spec_richcompare(PyObject *self, PyObject *other, int op)
{
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guard([&]() -> Ref {
        const Maybe<bool> same = spec_eq(self, other);
        if (!same) {
            return error;
        }
        return new_bool(*same == (op == Py_EQ));
    });
}

Ref spec_is_compatible(PyObject *self, FastArgs a)
{
    static const Signature sig{"is_compatible", {arg("other")}, {.method = true}};
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    base::NativeRead r(self);
    if (r.failed()) {
        return error;
    }
    const Maybe<bool> ok = is_compatible(r.engine(), self, b[0]);
    if (!ok) {
        return error;
    }
    return new_bool(*ok);
}

}  // namespace norv::typing::relations
