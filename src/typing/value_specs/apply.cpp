// The apply pipeline and leaf validation.
//
// Stages run in a fixed order and the first that returns or raises decides:
// native shortcuts (no Python call, no allocation), then the frozen, missing,
// None and custom-typing rules, the user transform, the type check with
// coercion, child application and the leaf constraints. Messages, and the
// path text inside them, are built only on the failing path.
#include "core/args.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "typing/bridge/bridge.hpp"
#include "typing/value_specs/engine.hpp"

namespace norv::typing::engine {

namespace {

PyObject *small_int(int i)
{
    // 0 and 1 are immortal small ints: borrowing them needs no cell.
    return i == 0 ? PyLong_FromLong(0) : PyLong_FromLong(1);
}

Ref item(PyObject *r, int i)
{
    Ref index = Ref::steal(small_int(i));
    return legacy::checked(PyObject_GetItem(r, index.get()));
}

PyObject *custom_apply_kwnames()
{
    static ObjectCell NAMES;
    return NAMES.get_or_init([] {
        const bridge::Names &n = bridge::names();
        return legacy::checked(PyTuple_Pack(2, n.allow_partial, n.child_transform));
    });
}

[[noreturn]] void raise_with_spec(SpecEngine &e, const char *fmt, PathText &path)
{
    Ref spec_text = legacy::require(repr(e));
    legacy::raise_format(PyExc_ValueError, fmt, path.get(), spec_text.get());
}

[[noreturn]] void raise_on_path(PyObject *type, Ref message, PathText &path)
{
    Ref full = legacy::require(bridge::message_on_path(message.get(), path.get()));
    PyErr_SetObject(type, full.get());
    legacy::throw_set();
}

Ref apply_custom_typing(PyObject *spec_object, PyObject *value, bool allow_partial, PyObject *child_transform,
                        PyObject *root_path, bool *proceed)
{
    Ref path = ensure_keypath(root_path);
    PyObject *args[] = {value, path.get(), spec_object ? spec_object : Py_None,
                        allow_partial ? Py_True : Py_False, child_transform ? child_transform : Py_None};
    Ref r = legacy::checked(PyObject_VectorcallMethod(
        bridge::names().custom_apply, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, custom_apply_kwnames()));
    Ref flag = item(r.get(), 0);
    if (!PyBool_Check(flag.get())) {
        legacy::raise_not_instance(flag.get(), "bool");
    }
    *proceed = flag.get() == Py_True;
    return item(r.get(), 1);
}

// A strict spec refuses a bool where the value type does not name bool itself
// (bool is an int subclass, so isinstance alone would let it through).
bool strict_refuses_bool(const SpecEngine &e, PyObject *value, PyObject *vt)
{
    if (e.strict != STRICT_TRUE || Py_TYPE(value) != &PyBool_Type) {
        return false;
    }
    if (vt == reinterpret_cast<PyObject *>(&PyBool_Type) || vt == legacy::require(util::builtin_object_type())) {
        return false;
    }
    if (PyTuple_Check(vt)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(vt); ++i) {
            if (PyTuple_GET_ITEM(vt, i) == reinterpret_cast<PyObject *>(&PyBool_Type)) {
                return false;
            }
        }
    }
    return true;
}

// isinstance(value, vt) for a plain value type (classes made by `type`, so no
// __instancecheck__). For the builtin scalar and container types `__class__`
// cannot differ from the type, so the subtype test is the whole answer and the
// interpreter's `__class__` probe is skipped.
bool isinstance_plain(PyObject *value, PyObject *vt)
{
    if (!bridge::is_any_fast_type(value, true)) {
        return legacy::require(PyObject_IsInstance(value, vt)) != 0;
    }
    PyTypeObject *t = Py_TYPE(value);
    if (PyTuple_Check(vt)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(vt); ++i) {
            if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(vt, i)))) {
                return true;
            }
        }
        return false;
    }
    return PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(vt));
}

Ref try_accept(PyObject *t, PyObject *value)
{
    if (t == reinterpret_cast<PyObject *>(&PyFloat_Type) && PyLong_Check(value)) {
        return legacy::checked(PyNumber_Float(value));
    }
    PyObject *accept = nullptr;
    if (legacy::require(PyObject_GetOptionalAttr(t, bridge::names().nv_accept, &accept)) == 0) {
        return Ref();
    }
    Ref accept_ref = Ref::steal(accept);
    Ref r = legacy::checked(PyObject_CallOneArg(accept, value));
    if (r.get() == Py_NotImplemented) {
        return Ref();
    }
    return r;
}

// `regex.match(value)`. Compiled patterns are all of one final class, so its
// `match` descriptor is looked up once and called directly. Only a class whose
// instances can neither shadow the descriptor (no instance dict) nor redirect
// the lookup (generic getattr) is cached that way.
struct PatternMatch {
    PyTypeObject *type;
    PyObject *match;
};
OnceCell<const PatternMatch *> PATTERN_MATCH;

Ref regex_match(PyObject *regex, PyObject *value)
{
    const PatternMatch *const *cached = PATTERN_MATCH.get();
    PyTypeObject *tp = Py_TYPE(regex);
    if (cached == nullptr && PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE) &&
        !PyType_HasFeature(tp, Py_TPFLAGS_BASETYPE) && tp->tp_dictoffset == 0 &&
        tp->tp_getattro == PyObject_GenericGetAttr) {
        Ref descr = legacy::getattr(reinterpret_cast<PyObject *>(tp), bridge::names().match);
        if (PyObject_TypeCheck(descr.get(), &PyMethodDescr_Type)) {
            // Kept for the life of the process, like every cell's content.
            auto *record = new PatternMatch{tp, descr.get()};
            if (PATTERN_MATCH.set(record)) {
                (void)descr.release();
                Py_INCREF(tp);
            }
            else {
                delete record;
            }
        }
        cached = PATTERN_MATCH.get();
    }
    if (cached != nullptr && tp == (*cached)->type) {
        PyObject *args[] = {regex, value};
        return legacy::checked(PyObject_Vectorcall((*cached)->match, args, 2, nullptr));
    }
    return legacy::checked(PyObject_CallMethodOneArg(regex, bridge::names().match, value));
}

// An exact int given to an unbounded Float spec that is neither frozen nor
// transformed: the rest of the pipeline comes down to float(value), since an
// int is neither None nor custom-typed and only a strict spec refuses it.
// Declines (empty) for a strict spec and for a value the missing type claims.
Ref int_to_float(const SpecEngine &e, PyObject *value)
{
    if (e.value_type.get() != reinterpret_cast<PyObject *>(&PyFloat_Type) || e.strict == STRICT_TRUE ||
        legacy::require(bridge::is_missing(value))) {
        return Ref();
    }
    return legacy::checked(PyNumber_Float(value));
}

}  // namespace

// ---- the pipeline ------------------------------------------------------------------

Ref apply(SpecEngine &e, PyObject *spec_object, PyObject *value, bool allow_partial,
          PyObject *child_transform, PyObject *root_path, bool use_transform, bool inplace)
{
    const Tag tag = e.tag();

    // Stage 1, the container and Union fast paths, belongs to the container
    // kinds; the leaf kinds have none.

    // Stage 2: values of exactly the value type.
    if (is_leaf_kind(tag) && e.value_type && !e.transform && !e.frozen) {
        const bool exact_type = reinterpret_cast<PyObject *>(Py_TYPE(value)) == e.value_type.get();
        if (e.exact_eligible()) {
            if (exact_type) {
                return Ref::borrow(value);
            }
            if (tag == Tag::Number && PyLong_CheckExact(value)) {
                if (Ref r = int_to_float(e, value)) {
                    return r;
                }
            }
            if (tag == Tag::Any) {
                if (bridge::is_any_fast_type(value, true) ||
                    (!legacy::require(bridge::is_missing(value)) && !legacy::require(bridge::is_custom_typing(value)))) {
                    return Ref::borrow(value);
                }
            }
        }
        else if (exact_type && e.checked_leaf()) {
            PathText path(root_path);
            validate(e, value, path);
            return Ref::borrow(value);
        }
    }

    // From here on user code runs (transforms, custom_apply, hooks) and may
    // apply this spec again through native calls alone, which the
    // interpreter's own depth counter does not stop before the C stack ends.
    legacy::RecursionGuard depth(" while applying a value spec");
    PathText path(root_path);
    const bridge::TypingBridge &br = bridge::get();

    // Frozen: the default is the only value; a placeholder default opts out.
    if (e.frozen && e.default_value.get() != br.frozen_placeholder) {
        Ref stored = Ref::borrow(e.default_value.get());
        if (legacy::require(bridge::is_missing(value))) {
            return stored;
        }
        Ref ne = legacy::checked(PyObject_RichCompare(stored.get(), value, Py_NE));
        if (legacy::require(PyObject_IsTrue(ne.get()))) {
            Ref spec_text = legacy::require(repr(e));
            legacy::raise_format(PyExc_ValueError,
                         "Frozen field is not assignable. (Path='%U', ValueSpec=%U, AssignedValue=%R)",
                         path.get(), spec_text.get(), value);
        }
        return stored;
    }

    if (legacy::require(bridge::is_missing(value))) {
        if (allow_partial) {
            return legacy::require(bridge::fresh_missing());
        }
        raise_with_spec(e, "Required value is not specified. (Path='%U', ValueSpec=%U)", path);
    }

    if (value == Py_None) {
        if (e.is_noneable) {
            return none();
        }
        raise_with_spec(e, "Value cannot be None. (Path='%U', ValueSpec=%U)", path);
    }

    Ref current = Ref::borrow(value);
    if (legacy::require(bridge::is_custom_typing(value))) {
        bool proceed = false;
        current =
            apply_custom_typing(spec_object, value, allow_partial, child_transform, root_path, &proceed);
        if (!proceed) {
            return current;
        }
    }

    if (use_transform && e.transform && !legacy::require(bridge::is_missing(current.get()))) {
        Ref transformed = Ref::steal(PyObject_CallOneArg(e.transform.get(), current.get()));
        if (!transformed) {
            wrap_transform_error(path);
        }
        // The rerun sees the spec as the object without the transform, so a
        // custom-typing value's custom_apply receives that object.
        Ref stand_in;
        if (spec_object != nullptr) {
            stand_in = legacy::getattr(spec_object, bridge::names().skip_user_transform);
        }
        return apply(e, stand_in.get(), transformed.get(), allow_partial, child_transform, root_path, false,
                     inplace);
    }

    return apply_after_value(e, current.get(), allow_partial, child_transform, path, inplace);
}

Ref apply_after_value(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                      PathText &path, bool inplace)
{
    Ref current = Ref::borrow(value);
    if (e.value_type) {
        PyObject *vt = e.value_type.get();
        if (bridge::is_plain_value_type(vt)) {
            const bool passes =
                !strict_refuses_bool(e, current.get(), vt) && isinstance_plain(current.get(), vt);
            if (!passes) {
                current = coerce_or_raise(e, current.get(), vt, path);
            }
        }
        else if (legacy::require(type_resolved(e))) {
            Ref t = legacy::require(value_type_obj(e));
            if (t && !legacy::require(bridge::call_is_instance(current.get(), t.get()))) {
                current = coerce_or_raise(e, current.get(), t.get(), path);
            }
        }
    }
    current = apply_kind(e, current.get(), allow_partial, child_transform, path, inplace);
    validate(e, current.get(), path);
    return current;
}

Ref coerce_or_raise(SpecEngine &e, PyObject *value, PyObject *value_type, PathText &path)
{
    if (const UnionKind *u = e.kind.get<UnionKind>()) {
        Ref candidates = Ref::borrow(u->candidates.get());
        Ref kwnames = legacy::checked(PyTuple_Pack(1, bridge::names().root_path));
        const Py_ssize_t n = PyList_Check(candidates.get()) ? PyList_GET_SIZE(candidates.get()) : 0;
        for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(candidates.get()); ++i) {
            Ref c = Ref::borrow(PyList_GET_ITEM(candidates.get(), i));
            PyObject *args[] = {c.get(), value, path.root_path() ? path.root_path() : Py_None};
            Ref r = Ref::steal(PyObject_VectorcallMethod(bridge::names().apply, args,
                                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
            if (r) {
                return r;
            }
            if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
                !PyErr_ExceptionMatches(PyExc_KeyError)) {
                legacy::throw_set();
            }
            PyErr_Clear();
        }
    }
    else if (e.strict != STRICT_TRUE) {
        if (PyTuple_Check(value_type)) {
            Ref members = Ref::borrow(value_type);
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value_type); ++i) {
                if (Ref r = try_accept(PyTuple_GET_ITEM(value_type, i), value)) {
                    return r;
                }
            }
        }
        else if (Ref r = try_accept(value_type, value)) {
            return r;
        }
    }
    Ref message = legacy::checked(PyUnicode_FromFormat("Expect %S but encountered %R: %S.", value_type,
                                                    reinterpret_cast<PyObject *>(Py_TYPE(value)), value));
    raise_on_path(PyExc_TypeError, std::move(message), path);
}

Ref apply_kind(SpecEngine &e, PyObject *value, bool, PyObject *, PathText &, bool)
{
    switch (e.tag()) {
        case Tag::Bool:
        case Tag::Str:
        case Tag::Number:
        case Tag::Enum:
        case Tag::Any:
        case Tag::Type:
        case Tag::Callable:
            // No children: constraints belong to validation.
            return Ref::borrow(value);
        default:
            panic("child application of container kinds is not available in this build");
    }
}

// ---- validation ------------------------------------------------------------------------

void validate(SpecEngine &e, PyObject *value, PathText &path)
{
    switch (e.tag()) {
        case Tag::Str: {
            const StrKind *s = e.kind.get<StrKind>();
            if (!s->regex) {
                return;
            }
            Ref regex = Ref::borrow(s->regex.get());
            Ref m = regex_match(regex.get(), value);
            if (m.get() != Py_None) {
                return;
            }
            Ref pattern = legacy::getattr(regex.get(), bridge::names().pattern);
            raise_on_path(PyExc_ValueError,
                          legacy::checked(PyUnicode_FromFormat("String %R does not match regular expression %R.",
                                                            value, pattern.get())),
                          path);
        }
        case Tag::Number: {
            const NumberKind *n = e.kind.get<NumberKind>();
            if (!n->min && !n->max) {
                return;
            }
            Ref min = Ref::borrow(n->min.get()), max = Ref::borrow(n->max.get());
            bool out = false;
            if (min) {
                Ref lt = legacy::checked(PyObject_RichCompare(value, min.get(), Py_LT));
                out = legacy::require(PyObject_IsTrue(lt.get())) != 0;
            }
            if (max) {
                Ref gt = legacy::checked(PyObject_RichCompare(value, max.get(), Py_GT));
                out = (legacy::require(PyObject_IsTrue(gt.get())) != 0) || out;
            }
            if (!out) {
                return;
            }
            Ref min_text = opt_str(min.get()), max_text = opt_str(max.get());
            raise_on_path(PyExc_ValueError,
                          legacy::checked(PyUnicode_FromFormat("Value %S is out of range (min=%U, max=%U).",
                                                            value, min_text.get(), max_text.get())),
                          path);
        }
        case Tag::Enum: {
            Ref values = Ref::borrow(e.kind.get<EnumKind>()->values.get());
            if (legacy::require(PySequence_Contains(values.get(), value))) {
                return;
            }
            raise_on_path(PyExc_ValueError,
                          legacy::checked(PyUnicode_FromFormat("Value %R is not in candidate list %S.", value,
                                                            values.get())),
                          path);
        }
        case Tag::List: {
            const ListKind *l = e.kind.get<ListKind>();
            const Py_ssize_t n = legacy::require_size(PyObject_Length(value));
            if (n < l->min_size) {
                raise_on_path(
                    PyExc_ValueError,
                    legacy::checked(PyUnicode_FromFormat("Length of list %R is less than min size (%lld).",
                                                      value, static_cast<long long>(l->min_size))),
                    path);
            }
            if (l->max_size && n > *l->max_size) {
                raise_on_path(
                    PyExc_ValueError,
                    legacy::checked(PyUnicode_FromFormat("Length of list %R is greater than max size (%lld).",
                                                      value, static_cast<long long>(*l->max_size))),
                    path);
            }
            return;
        }
        case Tag::Type: {
            if (!legacy::require(type_resolved(e))) {
                return;
            }
            const TypeKind *t = e.kind.get<TypeKind>();
            Ref base =
                t->forward_ref ? legacy::getattr(t->forward_ref.get(), bridge::names().cls) : Ref::borrow(t->t.get());
            if (legacy::require(bridge::call_is_subclass(value, base.get()))) {
                return;
            }
            raise_on_path(PyExc_ValueError,
                          legacy::checked(PyUnicode_FromFormat("%R is not a subclass of %R", value, base.get())),
                          path);
        }
        case Tag::Callable: {
            const CallableKind *c = e.kind.get<CallableKind>();
            Ref spec_text = legacy::require(repr(e));
            PyObject *args[] = {c->args.get(),   c->kw.get(), c->returns ? c->returns.get() : Py_None,
                                spec_text.get(), path.get(),  value};
            Ref r = legacy::checked(PyObject_Vectorcall(bridge::get().callable_validate, args, 6, nullptr));
            return;
        }
        default:
            return;
    }
}

[[noreturn]] void wrap_transform_error(PathText &path)
{
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(caught.get()));
    Ref text = Ref::steal(PyObject_Str(caught.get()));
    if (!text) {
        PyErr_WriteUnraisable(caught.get());
        text = legacy::checked(PyUnicode_FromFormat("<unprintable %s>", Py_TYPE(caught.get())->tp_name));
    }
    Ref message = legacy::require(bridge::message_on_path(text.get(), path.get()));
    Ref made = legacy::checked(PyObject_CallOneArg(cls, message.get()));
    if (!PyExceptionInstance_Check(made.get())) {
        legacy::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    // A fresh exception: neither cause nor context points at the caught one.
    PyErr_SetRaisedException(made.release());
    legacy::throw_set();
}

}  // namespace norv::typing::engine
