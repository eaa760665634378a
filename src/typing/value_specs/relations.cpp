#include "typing/value_specs/relations.hpp"

#include <cstdint>
#include <optional>

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "typing/bridge/bridge.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/engine.hpp"
#include "typing/value_specs/relations_util.hpp"

namespace norv::typing::relations {

using namespace rel;

namespace {

// ---- equality ----------------------------------------------------------------------

// Optional object of self against an attribute of other: absent matches None only.
int opt_eq_obj(const Ref &a, PyObject *b)
{
    if (!a) {
        return b == Py_None;
    }
    if (b == Py_None) {
        return 0;
    }
    return eq_truth(a.get(), b);
}

int regex_eq(const Ref &a, PyObject *b)
{
    if (!a || b == Py_None) {
        return !a && b == Py_None;
    }
    return eq_truth(a.get(), b);
}

// other.<name> == self's object.
int attr_eq(PyObject *mine, PyObject *other, const char *name)
{
    Ref theirs = getattr(other, name);
    return theirs ? eq_truth(mine, theirs.get()) : -1;
}

int forward_refs_eq(SpecEngine &e, PyObject *other)
{
    Ref mine = engine::forward_refs(e);
    return mine ? attr_eq(mine.get(), other, "forward_refs") : -1;
}

// The class a Type spec names: its forward reference's current class, or the stored type.
Ref type_target(SpecEngine &e)
{
    const TypeKind *k = e.kind.get<TypeKind>();
    return k->forward_ref ? attr<"cls">(k->forward_ref.get()) : Ref::borrow(k->t.get());
}

int kind_eq(SpecEngine &e, PyObject *other)
{
    switch (e.tag()) {
        case Tag::Bool:
            return 1;
        case Tag::Str: {
            Ref regex = getattr(other, "regex");
            return regex ? regex_eq(e.kind.get<StrKind>()->regex, regex.get()) : -1;
        }
        case Tag::Number: {
            const NumberKind *k = e.kind.get<NumberKind>();
            Ref min = getattr(other, "min_value");
            if (!min) {
                return -1;
            }
            const int same_min = opt_eq_obj(k->min, min.get());
            if (same_min != 1) {
                return same_min;
            }
            Ref max = getattr(other, "max_value");
            return max ? opt_eq_obj(k->max, max.get()) : -1;
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
                return -1;
            }
            Maybe<std::optional<std::int64_t>> max = attr_opt_i64(other, "max_size");
            if (!max) {
                return -1;
            }
            const int same = attr_eq(k->elements.get(), other, "elements");
            if (same != 1) {
                return same;
            }
            return k->min_size == *min && k->max_size == *max;
        }
        case Tag::Union: {
            PyObject *mine = e.kind.get<UnionKind>()->candidates.get();
            Ref theirs = getattr(other, "candidates");
            if (!theirs) {
                return -1;
            }
            const Py_ssize_t n = PyObject_Size(theirs.get());
            if (n < 0) {
                return -1;
            }
            if (n != PyList_GET_SIZE(mine)) {
                return 0;
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mine); ++i) {
                Ref c = Ref::borrow(PyList_GET_ITEM(mine, i));
                Ref match = call_method1(other, "get_candidate", c.get());
                if (!match) {
                    return -1;
                }
                const int same = eq_truth(c.get(), match.get());
                if (same != 1) {
                    return same;
                }
            }
            return 1;
        }
        case Tag::Object: {
            const int resolved = engine::type_resolved(e);
            if (resolved <= 0) {
                return resolved < 0 ? -1 : forward_refs_eq(e, other);
            }
            Ref theirs = getattr(other, "value_type");
            if (!theirs) {
                return -1;
            }
            Maybe<Ref> mine = engine::value_type_obj(e);
            if (!mine) {
                return -1;
            }
            return *mine ? eq_truth(mine->get(), theirs.get()) : theirs.get() == Py_None;
        }
        case Tag::Type: {
            const int resolved = engine::type_resolved(e);
            if (resolved <= 0) {
                return resolved < 0 ? -1 : forward_refs_eq(e, other);
            }
            Ref target = type_target(e);
            return target ? attr_eq(target.get(), other, "type") : -1;
        }
        case Tag::Dict:
            return attr_eq(or_none_ptr(e.kind.get<DictKind>()->schema), other, "schema");
        case Tag::Callable: {
            const CallableKind *k = e.kind.get<CallableKind>();
            int same = attr_eq(k->args.get(), other, "args");
            if (same == 1) {
                same = attr_eq(k->kw.get(), other, "kw");
            }
            if (same != 1) {
                return same;
            }
            Ref ret = getattr(other, "return_value");
            if (!ret) {
                return -1;
            }
            return k->returns ? eq_truth(k->returns.get(), ret.get()) : ret.get() == Py_None;
        }
    }
    return 0;
}

int flag_eq(PyObject *other, const char *name, bool mine)
{
    const int theirs = attr_bool(other, name);
    return theirs < 0 ? -1 : theirs == int(mine);
}

// 1 equal, 0 unequal, -1 error.
int spec_eq(PyObject *self, PyObject *other)
{
    if (other == self) {
        return 1;
    }
    const int inst = PyObject_IsInstance(other, reinterpret_cast<PyObject *>(Py_TYPE(self)));
    if (inst <= 0) {
        return inst;
    }
    // Held from here: the defaults are compared first, and a default may be
    // a spec holding another spec as its default.
    RecursionGuard depth(" while comparing value specs");
    if (depth.failed()) {
        return -1;
    }
    base::NativeRead r(self);
    if (r.failed()) {
        return -1;
    }
    SpecEngine &e = r.engine();
    Ref default_value = getattr(other, "default");
    if (!default_value) {
        return -1;
    }
    Ref factory = getattr(other, "default_factory");
    if (!factory) {
        return -1;
    }
    Ref transform = getattr(other, "transform");
    if (!transform) {
        return -1;
    }
    int same = bridge::callable_eq(e.default_value.get(), default_value.get());
    if (same == 1) {
        same = bridge::callable_eq(or_none_ptr(e.default_factory), factory.get());
    }
    if (same == 1) {
        same = flag_eq(other, "is_noneable", e.is_noneable);
    }
    if (same == 1) {
        same = flag_eq(other, "frozen", e.frozen);
    }
    if (same == 1) {
        same = flag_eq(other, "strict", e.strict == STRICT_TRUE);
    }
    if (same == 1) {
        same = bridge::callable_eq(or_none_ptr(e.transform), transform.get());
    }
    if (same != 1) {
        return same;
    }
    return kind_eq(e, other);
}

// ---- compatibility -------------------------------------------------------------------

// a.is_compatible(b), whose answer must be a bool.
int child_compatible(PyObject *a, PyObject *b)
{
    Ref r = call_method1(a, "is_compatible", b);
    return r ? bridge::strict_bool(r.get()) : -1;
}

int field_value_compatible(PyObject *mine_field, PyObject *their_field)
{
    Ref mine = attr<"value">(mine_field);
    if (!mine) {
        return -1;
    }
    Ref theirs = attr<"value">(their_field);
    return theirs ? child_compatible(mine.get(), theirs.get()) : -1;
}

// other.<name> None gives no; otherwise `other.<name> <op> bound` gives no when true.
int bound_fits(const Ref &bound, PyObject *other, const char *name, int op)
{
    if (!bound) {
        return 1;
    }
    Ref theirs = getattr(other, name);
    if (!theirs) {
        return -1;
    }
    if (theirs.get() == Py_None) {
        return 0;
    }
    const int outside = cmp_truth(theirs.get(), bound.get(), op);
    return outside < 0 ? -1 : !outside;
}

int tuple_compatible(SpecEngine &e, PyObject *other)
{
    const TupleKind *k = e.kind.get<TupleKind>();
    const int their_fixed = attr_bool(other, "fixed_length");
    if (their_fixed < 0) {
        return -1;
    }
    Ref theirs = getattr(other, "elements");
    if (!theirs) {
        return -1;
    }
    PyObject *mine = k->elements.get();
    const Py_ssize_t m = PyObject_Size(theirs.get());
    if (m < 0) {
        return -1;
    }
    auto their_item = [&](Py_ssize_t i) { return Ref::steal(PySequence_GetItem(theirs.get(), i)); };
    if (k->fixed_length) {
        if (!their_fixed || m != PyList_GET_SIZE(mine)) {
            return 0;
        }
        for (Py_ssize_t i = 0; i < m; ++i) {
            Ref f = their_item(i);
            if (!f) {
                return -1;
            }
            Ref own = Ref::steal(PySequence_GetItem(mine, i));
            if (!own) {
                return -1;
            }
            const int ok = field_value_compatible(own.get(), f.get());
            if (ok != 1) {
                return ok;
            }
        }
        return 1;
    }
    // The element lists are handed out by the getters, so their length is
    // read afresh at every step.
    Ref own = Ref::steal(PySequence_GetItem(mine, 0));
    if (!own) {
        return -1;
    }
    if (their_fixed) {
        if (k->min_size > m || (k->max_size && *k->max_size < m)) {
            return 0;
        }
        for (Py_ssize_t i = 0; i < m; ++i) {
            Ref f = their_item(i);
            if (!f) {
                return -1;
            }
            const int ok = field_value_compatible(own.get(), f.get());
            if (ok != 1) {
                return ok;
            }
        }
        return 1;
    }
    Maybe<std::int64_t> min = attr_i64(other, "min_size");
    if (!min) {
        return -1;
    }
    Maybe<std::optional<std::int64_t>> max = attr_opt_i64(other, "max_size");
    if (!max) {
        return -1;
    }
    if (k->min_size > *min) {
        return 0;
    }
    if (k->max_size && (!*max || **max > *k->max_size)) {
        return 0;
    }
    Ref f = their_item(0);
    return f ? field_value_compatible(own.get(), f.get()) : -1;
}

int callable_compatible(SpecEngine &e, PyObject *other)
{
    const CallableKind *k = e.kind.get<CallableKind>();
    Ref args = getattr(other, "args");
    if (!args) {
        return -1;
    }
    Ref kw = getattr(other, "kw");
    if (!kw) {
        return -1;
    }
    const Py_ssize_t n_args = PyObject_Size(args.get());
    if (n_args < 0) {
        return -1;
    }
    const Py_ssize_t n_kw = PyObject_Size(kw.get());
    if (n_kw < 0) {
        return -1;
    }
    if (PyList_GET_SIZE(k->args.get()) > n_args || PyList_GET_SIZE(k->kw.get()) > n_kw) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(k->args.get()); ++i) {
        Ref mine = Ref::borrow(PyList_GET_ITEM(k->args.get(), i));
        Ref theirs = Ref::steal(PySequence_GetItem(args.get(), i));
        if (!theirs) {
            return -1;
        }
        const int ok = child_compatible(mine.get(), theirs.get());
        if (ok != 1) {
            return ok;
        }
    }
    Ref by_name = Ref::steal(PyDict_New());
    if (!by_name) {
        return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(kw.get()));
    if (!it) {
        return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref name = Ref::steal(PySequence_GetItem(item.get(), 0));
        if (!name) {
            return -1;
        }
        Ref spec = Ref::steal(PySequence_GetItem(item.get(), 1));
        if (!spec || PyDict_SetItem(by_name.get(), name.get(), spec.get()) < 0) {
            return -1;
        }
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(k->kw.get()); ++i) {
        Ref pair = Ref::borrow(PyList_GET_ITEM(k->kw.get(), i));
        Ref name = Ref::steal(PySequence_GetItem(pair.get(), 0));
        if (!name) {
            return -1;
        }
        Ref spec = Ref::steal(PySequence_GetItem(pair.get(), 1));
        if (!spec) {
            return -1;
        }
        PyObject *theirs = nullptr;
        const int found = PyDict_GetItemRef(by_name.get(), name.get(), &theirs);
        Ref theirs_ref = Ref::steal(theirs);
        if (found <= 0) {
            return found;
        }
        const int ok = child_compatible(spec.get(), theirs_ref.get());
        if (ok != 1) {
            return ok;
        }
    }
    if (!k->returns) {
        return 1;
    }
    Ref ret = getattr(other, "return_value");
    if (!ret) {
        return -1;
    }
    return ret.get() == Py_None ? 1 : child_compatible(k->returns.get(), ret.get());
}

int compatible_kind(SpecEngine &e, PyObject *other)
{
    switch (e.tag()) {
        case Tag::Bool:
        case Tag::Str:
        case Tag::Any:
        case Tag::Union:
            return 1;
        case Tag::Number: {
            const NumberKind *k = e.kind.get<NumberKind>();
            const int min_ok = bound_fits(k->min, other, "min_value", Py_LT);
            return min_ok != 1 ? min_ok : bound_fits(k->max, other, "max_value", Py_GT);
        }
        case Tag::Enum: {
            PyObject *mine = e.kind.get<EnumKind>()->values.get();
            Ref theirs = getattr(other, "values");
            if (!theirs) {
                return -1;
            }
            Ref it = Ref::steal(PyObject_GetIter(theirs.get()));
            if (!it) {
                return -1;
            }
            while (Ref v = Ref::steal(PyIter_Next(it.get()))) {
                const int in = PySequence_Contains(mine, v.get());
                if (in != 1) {
                    return in;
                }
            }
            return PyErr_Occurred() ? -1 : 1;
        }
        case Tag::List: {
            const ListKind *k = e.kind.get<ListKind>();
            if (k->max_size) {
                Maybe<std::optional<std::int64_t>> max = attr_opt_i64(other, "max_size");
                if (!max) {
                    return -1;
                }
                if (!*max || **max > *k->max_size) {
                    return 0;
                }
            }
            Ref element = getattr(other, "element");
            if (!element) {
                return -1;
            }
            Ref theirs = attr<"value">(element.get());
            return theirs ? child_compatible(k->element_spec.get(), theirs.get()) : -1;
        }
        case Tag::Tuple:
            return tuple_compatible(e, other);
        case Tag::Object:
        case Tag::Type: {
            const int resolved = engine::type_resolved(e);
            if (resolved <= 0) {
                return resolved < 0 ? -1 : 1;
            }
            Ref theirs_resolved = getattr(other, "type_resolved");
            if (!theirs_resolved) {
                return -1;
            }
            const int truth = PyObject_IsTrue(theirs_resolved.get());
            if (truth <= 0) {
                return truth < 0 ? -1 : 1;
            }
            Ref target;
            if (e.tag() == Tag::Object) {
                Maybe<Ref> t = engine::value_type_obj(e);
                if (!t) {
                    return -1;
                }
                if (!*t) {
                    panic("Object resolves to a class");
                }
                target = std::move(*t);
            }
            else {
                target = type_target(e);
                if (!target) {
                    return -1;
                }
            }
            Ref theirs = getattr(other, e.tag() == Tag::Object ? "cls" : "type");
            return theirs ? bridge::call_is_subclass(theirs.get(), target.get()) : -1;
        }
        case Tag::Dict: {
            const DictKind *k = e.kind.get<DictKind>();
            if (!k->schema || k->schema.get() == Py_None) {
                return 1;
            }
            Ref theirs = getattr(other, "schema");
            if (!theirs) {
                return -1;
            }
            if (theirs.get() == Py_None) {
                return 0;
            }
            Ref schema = Ref::borrow(k->schema.get());
            Ref r = call_method1(schema.get(), "is_compatible", theirs.get());
            return r ? PyObject_IsTrue(r.get()) : -1;
        }
        case Tag::Callable:
            return callable_compatible(e, other);
    }
    return 0;
}

// A Callable spec against an Object spec: the class's own __call__ has to be a
// plain function that the Callable accepts.
int callable_accepts_object(PyObject *owner, PyObject *other)
{
    Ref cls = attr<"value_type">(other);
    if (!cls) {
        return -1;
    }
    PyObject *call = nullptr;
    const int has = PyObject_GetOptionalAttrString(cls.get(), "__call__", &call);
    Ref call_ref = Ref::steal(call);
    if (has <= 0) {
        return has;
    }
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return -1;
    }
    Ref is_fn = call_method1(inspect.get(), "isfunction", call_ref.get());
    if (!is_fn) {
        return -1;
    }
    const int truth = PyObject_IsTrue(is_fn.get());
    if (truth <= 0) {
        return truth;
    }
    Ref applied = call_method1(owner, "apply", call_ref.get());
    if (applied) {
        return 1;
    }
    // A refusal is an ordinary exception; an interrupt or an internal fault
    // is not an answer and goes on.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

int is_compatible(SpecEngine &e, PyObject *owner, PyObject *other)
{
    RecursionGuard depth(" while checking value-spec compatibility");
    if (depth.failed()) {
        return -1;
    }
    switch (e.tag()) {
        case Tag::Any:
            return 1;
        case Tag::Union: {
            PyObject *mine = e.kind.get<UnionKind>()->candidates.get();
            const int other_union =
                PyObject_IsInstance(other, reinterpret_cast<PyObject *>(classes::union_type()));
            if (other_union < 0) {
                return -1;
            }
            if (other_union) {
                Ref theirs = getattr(other, "candidates");
                if (!theirs) {
                    return -1;
                }
                Ref it = Ref::steal(PyObject_GetIter(theirs.get()));
                if (!it) {
                    return -1;
                }
                while (Ref oc = Ref::steal(PyIter_Next(it.get()))) {
                    const int ok = is_compatible(e, owner, oc.get());
                    if (ok != 1) {
                        return ok;
                    }
                }
                return PyErr_Occurred() ? -1 : 1;
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mine); ++i) {
                Ref c = Ref::borrow(PyList_GET_ITEM(mine, i));
                const int ok = child_compatible(c.get(), other);
                if (ok != 0) {
                    return ok;
                }
            }
            return 0;
        }
        case Tag::Enum: {
            const int frozen = attr_bool(other, "frozen");
            if (frozen < 0) {
                return -1;
            }
            if (frozen) {
                Ref d = getattr(other, "default");
                if (!d) {
                    return -1;
                }
                const int in = PySequence_Contains(e.kind.get<EnumKind>()->values.get(), d.get());
                if (in != 0) {
                    return in;
                }
            }
            break;
        }
        case Tag::Callable: {
            const int is_object =
                PyObject_IsInstance(other, reinterpret_cast<PyObject *>(classes::object_type()));
            if (is_object < 0) {
                return -1;
            }
            if (is_object) {
                return callable_accepts_object(owner, other);
            }
            break;
        }
        default:
            break;
    }
    if (other == owner) {
        return 1;
    }
    const int inst = PyObject_IsInstance(other, reinterpret_cast<PyObject *>(Py_TYPE(owner)));
    if (inst <= 0) {
        return inst;
    }
    if (!e.is_noneable) {
        const int noneable = attr_bool(other, "is_noneable");
        if (noneable != 0) {
            return noneable < 0 ? -1 : 0;
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
        const int same = spec_eq(self, other);
        if (same < 0) {
            return error;
        }
        return new_bool((same == 1) == (op == Py_EQ));
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
    const int ok = is_compatible(r.engine(), self, b[0]);
    return ok < 0 ? Ref() : new_bool(ok == 1);
}

}  // namespace norv::typing::relations
