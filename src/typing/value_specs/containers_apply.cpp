// Child application of the List and Tuple kinds, and their fast path.
//
// Element specs and fields are reached through their Python `apply`, so host
// specs take part (native fields and final native specs directly, as that
// call would); native shortcuts only decide that an element needs no call at
// all. The spec's own state is read once into strong references up front:
// children run arbitrary code, including code that changes the container.
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/unfilled.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/services.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/containers.hpp"
#include "typing/value_specs/primitives.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::containers {

namespace {

// `target.apply(elem, allow_partial=, inplace=, [transform_fn=,] root_path=KeyPath(i, root))`.
class ChildCall {
public:
    ChildCall(bool allow_partial, PyObject *child_transform, PyObject *root_path, bool inplace)
        : transform_(child_transform), root_(root_path)
    {
        args_[2] = py_bool(allow_partial);
        args_[3] = py_bool(inplace);
        args_[4] = child_transform;
    }

    Ref operator()(PyObject *target, PyObject *elem, Py_ssize_t i)
    {
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        Ref path = index ? keypath::child_key_path(index.get(), root_) : Ref();
        if (!path) {
            return error;
        }
        // A native field or final native spec is called directly: its Python
        // `apply` is that very code.
        const bool allow_partial = args_[2] == Py_True, inplace = args_[3] == Py_True;
        if (field::is_field(target)) {
            return field::apply(target, elem, allow_partial, transform_, path.get(), inplace);
        }
        if (transform_ == nullptr && base::is_final_native(target)) {
            return base::apply_native(target, elem, allow_partial, nullptr, path.get(), inplace);
        }
        args_[0] = target;
        args_[1] = elem;
        args_[transform_ ? 5 : 4] = path.get();
        PyObject *names = transform_ ? kwnames<"allow_partial", "inplace", "transform_fn", "root_path">()
                                     : kwnames<"allow_partial", "inplace", "root_path">();
        return Ref::steal(
            PyObject_VectorcallMethod(interned<"apply">(), args_, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
    }

private:
    PyObject *transform_;
    PyObject *root_;
    PyObject *args_[6] = {};
};

// An optional attribute; a lookup that raises counts as absent.
Maybe<Ref> soft_attr(PyObject *o, const char *name)
{
    PyObject *v = nullptr;
    if (PyObject_GetOptionalAttrString(o, name, &v) < 0 && failed(discard_ordinary_error())) {
        return error;
    }
    return Ref::steal(v);
}

Ref message_on_path(Ref message, engine::PathText &path)
{
    if (!message) {
        return error;
    }
    PyObject *path_text = path.get();
    if (path_text == nullptr) {
        return error;
    }
    Ref text = bridge::message_on_path(message.get(), path_text);
    if (text) {
        PyErr_SetObject(PyExc_ValueError, text.get());
    }
    return error;
}

enum class Mode { ApplyAll, ExactType, ExactOrFastAny };

// The value spec of an element field: read in place from a native Field.
Ref field_value(PyObject *f)
{
    if (field::is_field(f)) {
        return field::value_spec_of(f);
    }
    return attr<"value">(f);
}

}  // namespace

Ref list_apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                    engine::PathText &path, bool inplace)
{
    const ListKind *l = e.kind.get<ListKind>();
    Ref elem_spec = Ref::borrow(l->element_spec.get());
    Ref elem_field = Ref::borrow(l->element_field.get());

    const bool exact = PyList_CheckExact(value);
    Ref target = (exact && !inplace) ? Ref::steal(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)))
                                     : Ref::borrow(value);
    if (!target) {
        return error;
    }
    Ref setter, getter;
    if (!exact) {
        Maybe<Ref> s = soft_attr(value, "_set_item_without_permission_check");
        if (!s) {
            return error;
        }
        Maybe<Ref> g = soft_attr(value, "sym_getattr");
        if (!g) {
            return error;
        }
        setter = std::move(*s);
        getter = std::move(*g);
    }
    const Py_ssize_t n = PyObject_Length(target.get());
    if (n < 0) {
        return error;
    }

    Mode mode = Mode::ApplyAll;
    Ref t;
    bool include_containers = child_transform == nullptr;
    bool identity = false;
    if (child_transform != nullptr) {
        Maybe<bool> marked = funnel::is_scalar_identity_transform(child_transform);
        if (!marked) {
            return error;
        }
        identity = *marked;
    }
    if (child_transform == nullptr || identity) {
        Maybe<Ref> leaf = funnel::exact_leaf_type(elem_spec.get());
        if (!leaf) {
            return error;
        }
        t = std::move(*leaf);
        if (t) {
            PyObject *object = util::builtin_object_type();
            PyTypeObject *any = primitives::any_type();
            if (object == nullptr || any == nullptr) {
                return error;
            }
            mode = (t.get() == object && PyObject_TypeCheck(elem_spec.get(), any)) ? Mode::ExactOrFastAny
                                                                                   : Mode::ExactType;
        }
    }

    // An element the element spec would return unchanged: exactly its leaf type
    // (for an unconstrained Any, exactly `object`) or, for Any, a fast value.
    auto passes = [&](PyObject *item) {
        return (mode != Mode::ApplyAll && reinterpret_cast<PyObject *>(Py_TYPE(item)) == t.get()) ||
               (mode == Mode::ExactOrFastAny && bridge::is_any_fast_type(item, include_containers));
    };
    ChildCall call(allow_partial, child_transform, path.root_path(), inplace);
    PyObject *callee = child_transform ? elem_field.get() : elem_spec.get();
    const bool plain = !getter && PyList_CheckExact(target.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Borrowed for the type test alone: nothing runs between the read and the test.
        if (plain && mode != Mode::ApplyAll && i < PyList_GET_SIZE(target.get()) &&
            passes(PyList_GET_ITEM(target.get(), i))) {
            continue;
        }
        Ref elem;
        if (getter) {
            Ref index = Ref::steal(PyLong_FromSsize_t(i));
            elem = index ? Ref::steal(PyObject_CallOneArg(getter.get(), index.get())) : Ref();
        }
        else if (PyList_CheckExact(target.get())) {
            elem = Ref::steal(PyList_GetItemRef(target.get(), i));
        }
        else {
            elem = Ref::steal(PySequence_GetItem(target.get(), i));
        }
        if (!elem) {
            return error;
        }
        if (passes(elem.get())) {
            continue;
        }
        Ref r = call(callee, elem.get(), i);
        if (!r) {
            return error;
        }
        if (r.get() == elem.get()) {
            continue;
        }
        if (setter) {
            Ref index = Ref::steal(PyLong_FromSsize_t(i));
            PyObject *args[] = {index.get(), r.get()};
            Ref done = index ? Ref::steal(PyObject_Vectorcall(setter.get(), args, 2, nullptr)) : Ref();
            if (!done) {
                return error;
            }
        }
        else if (PyList_CheckExact(target.get())) {
            if (PyList_SetItem(target.get(), i, r.release()) < 0) {
                return error;
            }
        }
        else if (PySequence_SetItem(target.get(), i, r.get()) < 0) {
            return error;
        }
    }
    return target;
}

Ref tuple_apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                     engine::PathText &path, bool inplace)
{
    const TupleKind *tk = e.kind.get<TupleKind>();
    const bool fixed = tk->fixed_length;
    const std::int64_t min_size = tk->min_size;
    const OptInt max_size = tk->max_size;
    Ref elements = Ref::borrow(tk->elements.get());

    const Py_ssize_t n = PyObject_Length(value);
    if (n < 0) {
        return error;
    }
    if (fixed) {
        const Py_ssize_t m = PyObject_Length(elements.get());
        if (m < 0) {
            return error;
        }
        if (n != m) {
            Ref spec_text = engine::repr(e);
            if (!spec_text) {
                return error;
            }
            return message_on_path(
                Ref::steal(PyUnicode_FromFormat("Length of input tuple (%zd) does not match the length of "
                                                "spec (%zd). Input: %S, Spec: %U",
                                                n, m, value, spec_text.get())),
                path);
        }
    }
    else if (n < min_size) {
        return message_on_path(
            Ref::steal(PyUnicode_FromFormat("Length of tuple %S is less than min size (%lld).", value,
                                            static_cast<long long>(min_size))),
            path);
    }
    else if (max_size && n > *max_size) {
        return message_on_path(
            Ref::steal(PyUnicode_FromFormat("Length of tuple %S is greater than max size (%lld).", value,
                                            static_cast<long long>(*max_size))),
            path);
    }

    // The element calls run host code: out of its reach until full.
    Unfilled out = Unfilled::tuple(n);
    if (!out) {
        return error;
    }
    ChildCall call(allow_partial, child_transform, path.root_path(), inplace);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref elem = Ref::steal(PySequence_GetItem(value, i));
        Ref index = Ref::steal(PyLong_FromSsize_t(fixed ? i : 0));
        Ref field = (elem && index) ? Ref::steal(PyObject_GetItem(elements.get(), index.get())) : Ref();
        if (!field) {
            return error;
        }
        Ref callee = child_transform ? std::move(field) : field_value(field.get());
        if (!callee) {
            return error;
        }
        Ref r = call(callee.get(), elem.get(), i);
        if (!r) {
            return error;
        }
        PyTuple_SET_ITEM(out.get(), i, r.release());
    }
    return out.filled();
}

// ---- fast path -------------------------------------------------------------------------------

namespace {

// The proof that an element fits its element spec without a call: one cheap
// test per element, chosen once per container and never stored.
struct ElemRule {
    enum Kind : std::uint8_t { ExactType = 0, ObjectClass = 1, AnyFast = 2, ConstDictBulk = 3 };
    Kind kind;
    Ref payload;  // the type, the class or the bound tuple
    bool include_containers = false;
};

// The bulk-check bound of an unfrozen, untransformed native Dict bound to a
// native Schema, or an empty Ref.
Maybe<Ref> const_dict_bound(PyObject *spec)
{
    Ref held;
    Maybe<base::Probe> p = base::with_native_base(spec, [&](const SpecEngine &e) {
        if (e.tag() != Tag::Dict || e.frozen || e.transform) {
            return false;
        }
        held = Ref::borrow(e.kind.get<DictKind>()->schema.get());
        return true;
    });
    if (!p) {
        return error;
    }
    if (*p != base::Probe::Yes || !held || !schema::is_schema(held.get())) {
        return Ref();
    }
    return schema::const_bulk_check_of(held.get());
}

Maybe<std::optional<ElemRule>> elem_rule(PyObject *spec, bool nested_ok)
{
    using Rule = std::optional<ElemRule>;
    Maybe<Ref> leaf = funnel::exact_leaf_type(spec);
    if (!leaf) {
        return error;
    }
    if (*leaf) {
        PyObject *object = util::builtin_object_type();
        if (object == nullptr) {
            return error;
        }
        if (leaf->get() != object) {
            return Rule(ElemRule{ElemRule::ExactType, std::move(*leaf)});
        }
        bool unconstrained = false;
        Maybe<base::Probe> any = base::with_native_base(spec, [&](const SpecEngine &e) {
            unconstrained = !e.frozen && !e.transform;
            return e.tag() == Tag::Any && PyObject_TypeCheck(spec, primitives::any_type());
        });
        if (!any) {
            return error;
        }
        if (*any == base::Probe::Yes) {
            return unconstrained ? Rule(ElemRule{ElemRule::AnyFast, Ref(), nested_ok}) : Rule();
        }
        return Rule(ElemRule{ElemRule::ExactType, std::move(*leaf)});
    }
    Maybe<Ref> cls = funnel::is_object_candidate(spec);
    if (!cls) {
        return error;
    }
    // Only a real class: a forward reference or a generic alias proves nothing.
    if (*cls && PyType_Check(cls->get())) {
        return Rule(ElemRule{ElemRule::ObjectClass, std::move(*cls)});
    }
    if (!nested_ok) {
        return Rule();
    }
    Maybe<Ref> bound = const_dict_bound(spec);
    if (!bound) {
        return error;
    }
    return *bound ? Rule(ElemRule{ElemRule::ConstDictBulk, std::move(*bound)}) : Rule();
}

Maybe<bool> dict_matches_bound(PyObject *bound, PyObject *v)
{
    if (!PyDict_CheckExact(v) || PyDict_GET_SIZE(v) != PyTuple_GET_SIZE(bound)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bound); ++i) {
        PyObject *pair = PyTuple_GET_ITEM(bound, i);
        Ref key = Ref::steal(PySequence_GetItem(pair, 0));
        Ref type = key ? Ref::steal(PySequence_GetItem(pair, 1)) : Ref();
        if (!type) {
            return error;
        }
        PyObject *held = nullptr;
        const int found = PyDict_GetItemRef(v, key.get(), &held);
        Ref value = Ref::steal(held);
        if (found < 0) {
            return error;
        }
        if (!found || reinterpret_cast<PyObject *>(Py_TYPE(value.get())) != type.get()) {
            return false;
        }
    }
    return true;
}

Maybe<bool> matches(const ElemRule &rule, PyObject *v)
{
    switch (rule.kind) {
        case ElemRule::ExactType:
            return reinterpret_cast<PyObject *>(Py_TYPE(v)) == rule.payload.get();
        case ElemRule::ObjectClass: {
            if (reinterpret_cast<PyObject *>(Py_TYPE(v)) != rule.payload.get()) {
                return false;
            }
            const Maybe<bool> marked = bridge::is_maybe_partial(rule.payload.get());
            if (!marked) {
                return error;
            }
            if (!*marked) {
                return true;
            }
            const Maybe<bool> partial = bridge::read_sym_partial(v);
            if (!partial) {
                return error;
            }
            return !*partial;
        }
        case ElemRule::AnyFast:
            return bridge::is_any_fast_type(v, rule.include_containers);
        case ElemRule::ConstDictBulk:
            return dict_matches_bound(rule.payload.get(), v);
    }
    return false;
}

Maybe<bool> elements_all_match(PyObject *spec, PyObject *iterable, bool nested_ok)
{
    Maybe<std::optional<ElemRule>> rule = elem_rule(spec, nested_ok);
    if (!rule) {
        return error;
    }
    if (!rule->has_value()) {
        return false;
    }
    Ref items = Ref::steal(PySequence_Fast(iterable, "elements"));
    if (!items) {
        return error;
    }
    if ((*rule)->kind == ElemRule::ExactType) {
        // The common case, one type test per element.
        PyObject *t = (*rule)->payload.get();
        PyObject **it = PySequence_Fast_ITEMS(items.get());
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (reinterpret_cast<PyObject *>(Py_TYPE(it[i])) != t) {
                return false;
            }
        }
        return true;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        Maybe<bool> m = matches(**rule, PySequence_Fast_GET_ITEM(items.get(), i));
        if (!m || !*m) {
            return m;
        }
    }
    return true;
}

bool within(Py_ssize_t n, std::int64_t min_size, const OptInt &max_size)
{
    return n >= min_size && (!max_size || n <= *max_size);
}

}  // namespace

namespace {

// What the fast path reads of the payload, copied out before any Python runs.
struct Shape {
    bool is_list = false;
    bool fixed = false;
    std::int64_t min_size = 0;
    OptInt max_size;
    Ref children;  // List: the element spec; Tuple: the list of element fields
};

// Whether every item of a fixed tuple fits its position's element spec.
Maybe<bool> fixed_items_match(PyObject *elements, PyObject *value, Py_ssize_t n, bool nested_ok)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        Ref f = index ? Ref::steal(PyObject_GetItem(elements, index.get())) : Ref();
        Ref spec = f ? field_value(f.get()) : Ref();
        if (!spec) {
            return error;
        }
        Maybe<std::optional<ElemRule>> rule = elem_rule(spec.get(), nested_ok);
        if (!rule) {
            return error;
        }
        if (!rule->has_value()) {
            return false;
        }
        Maybe<bool> m = matches(**rule, PyTuple_GET_ITEM(value, i));
        if (!m || !*m) {
            return m;
        }
    }
    return true;
}

}  // namespace

Maybe<Ref> container_fast_path(SpecEngine &e, PyObject *value, PyObject *child_transform, bool nested_ok)
{
    if (e.frozen || e.transform) {
        return Ref();
    }
    Shape shape;
    if (const ListKind *l = e.kind.get<ListKind>()) {
        if (!PyList_CheckExact(value)) {
            return Ref();
        }
        shape = Shape{true, false, l->min_size, l->max_size, Ref::borrow(l->element_spec.get())};
    }
    else if (const TupleKind *t = e.kind.get<TupleKind>()) {
        if (!PyTuple_CheckExact(value)) {
            return Ref();
        }
        shape = Shape{false, t->fixed_length, t->min_size, t->max_size, Ref::borrow(t->elements.get())};
    }
    else {
        return Ref();
    }
    if (child_transform != nullptr) {
        Maybe<bool> identity = funnel::is_scalar_identity_transform(child_transform);
        if (!identity || !*identity) {
            return identity ? Maybe<Ref>(Ref()) : Maybe<Ref>(error);
        }
    }
    const Py_ssize_t n = PyObject_Length(value);
    if (n < 0) {
        return error;
    }
    Maybe<bool> fits = false;
    if (shape.fixed) {
        const Py_ssize_t m = PyObject_Length(shape.children.get());
        if (m < 0) {
            return error;
        }
        if (n != m) {
            return Ref();
        }
        fits = fixed_items_match(shape.children.get(), value, n, nested_ok);
    }
    else {
        if (!within(n, shape.min_size, shape.max_size)) {
            return Ref();
        }
        Ref spec;
        if (shape.is_list) {
            spec = std::move(shape.children);
        }
        else {
            Ref index = Ref::steal(PyLong_FromLong(0));
            Ref f = index ? Ref::steal(PyObject_GetItem(shape.children.get(), index.get())) : Ref();
            spec = f ? field_value(f.get()) : Ref();
            if (!spec) {
                return error;
            }
        }
        fits = elements_all_match(spec.get(), value, nested_ok);
    }
    if (!fits) {
        return error;
    }
    return *fits ? Ref::borrow(value) : Ref();
}

namespace {

// The bulk check of any schema object: a native Schema's cache, else the
// object's `_const_bulk_check` (None: no check).
Maybe<Ref> schema_bound(PyObject *schema_object)
{
    if (schema::is_schema(schema_object)) {
        return schema::const_bulk_check_of(schema_object);
    }
    Ref bound = getattr(schema_object, "_const_bulk_check");
    if (!bound) {
        return error;
    }
    if (bound.get() == Py_None) {
        return Ref();
    }
    if (!PyTuple_Check(bound.get())) {
        return raise_not_instance(bound.get(), "tuple");
    }
    return bound;
}

// Every key exactly a str and every entry matching the rule, over snapshots:
// a rule may run Python that changes the dict.
Maybe<bool> open_entries_match(const ElemRule &rule, PyObject *value)
{
    Ref keys = Ref::steal(PyDict_Keys(value));
    if (!keys) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(keys.get(), i))) {
            return false;
        }
    }
    Ref values = Ref::steal(PyDict_Values(value));
    if (!values) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        Maybe<bool> m = matches(rule, PyList_GET_ITEM(values.get(), i));
        if (!m || !*m) {
            return m;
        }
    }
    return true;
}

}  // namespace

Maybe<Ref> dict_fast_path(SpecEngine &e, PyObject *value, PyObject *child_transform, bool nested_ok)
{
    const DictKind *d = e.kind.get<DictKind>();
    if (d == nullptr || e.frozen || e.transform || !PyDict_CheckExact(value)) {
        return Ref();
    }
    if (child_transform != nullptr) {
        Maybe<bool> identity = funnel::is_scalar_identity_transform(child_transform);
        if (!identity || !*identity) {
            return identity ? Maybe<Ref>(Ref()) : Maybe<Ref>(error);
        }
    }
    // Held strongly: the checks below run Python that may rebind the payload.
    Ref schema_object = Ref::borrow(d->schema.get());
    Ref open = Ref::borrow(d->open_str_value_spec.get());
    if (schema_object && schema_object.get() != Py_None) {
        Maybe<Ref> bound = schema_bound(schema_object.get());
        if (!bound) {
            return error;
        }
        if (*bound) {
            Maybe<bool> fits = dict_matches_bound(bound->get(), value);
            if (!fits) {
                return error;
            }
            if (*fits) {
                return Ref::borrow(value);
            }
        }
    }
    if (!open || open.get() == Py_None) {
        return Ref();
    }
    Maybe<std::optional<ElemRule>> rule = elem_rule(open.get(), nested_ok);
    if (!rule) {
        return error;
    }
    if (!rule->has_value()) {
        return Ref();
    }
    Maybe<bool> fits = open_entries_match(**rule, value);
    if (!fits) {
        return error;
    }
    return *fits ? Ref::borrow(value) : Ref();
}

}  // namespace norv::typing::containers
