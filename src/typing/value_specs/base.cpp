#include "typing/value_specs/base.hpp"

#include <cstring>
#include <utility>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/none.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/relations.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::base {

namespace {

TypeCell TYPE;

// ---- access guards ----------------------------------------------------------------
//
// Members whose receiver is the spec refuse a conflict with RuntimeError;
// apply, __call__ and the mutators take the engine as native code and treat a
// conflict as an internal fault. Only the refusing form can fail: the other
// throws, so `Write` and a `Read` with OnConflict::Panic need no check.

SpecEngine &engine_of_checked(PyObject *self)
{
    // Every entry point refuses a cleared spec first (check_live), and only
    // the spec classes' constructors and copies make instances, each with its
    // engine: a missing one here is a fault of ours.
    if (as_spec(self)->engine == nullptr) {
        panic("value spec without an engine");
    }
    return *as_spec(self)->engine;
}

// A member's entry: a cleared spec is refused before its arguments are bound.
Status bind_live(PyObject *self, const Signature &sig, FastArgs a, Bound &b)
{
    if (failed(check_live(self))) {
        return error;
    }
    return sig.bind(a, b);
}

struct Read {
    explicit Read(PyObject *self, OnConflict mode = OnConflict::Raise)
        : e(engine_of_checked(self)), borrow(as_spec(self)->borrow, mode)
    {
    }
    bool failed() const noexcept { return borrow.failed(); }
    SpecEngine &e;
    SharedBorrow borrow;
};

struct Write {
    explicit Write(PyObject *self)
        : e(engine_of_checked(self)), borrow(as_spec(self)->borrow, OnConflict::Panic)
    {
    }
    SpecEngine &e;
    ExclusiveBorrow borrow;
};

// ---- properties -----------------------------------------------------------------------

using EngineGetter = Ref (*)(SpecEngine &);

template <EngineGetter F>
PyObject *getter(PyObject *self, void *)
{
    return guard([&]() -> Ref {
        if (failed(check_live(self))) {
            return error;
        }
        Read r(self);
        if (r.failed()) {
            return error;
        }
        return F(r.e);
    });
}

Ref get_value_type(SpecEngine &e)
{
    Maybe<Ref> t = engine::value_type_obj(e);
    if (!t) {
        return error;
    }
    return none_if_null(*t);
}
Ref get_default(SpecEngine &e)
{
    return Ref::borrow(e.default_value.get());
}
Ref get_default_factory(SpecEngine &e)
{
    return none_if_null(e.default_factory);
}
Ref get_transform(SpecEngine &e)
{
    return none_if_null(e.transform);
}
Ref get_frozen(SpecEngine &e)
{
    return new_bool(e.frozen);
}
Ref get_is_noneable(SpecEngine &e)
{
    return new_bool(e.is_noneable);
}
Ref get_strict(SpecEngine &e)
{
    return new_bool(e.strict == STRICT_TRUE);
}
Ref get_raw_strict(SpecEngine &e)
{
    return e.strict == STRICT_UNSET ? none() : new_bool(e.strict == STRICT_TRUE);
}
Ref get_has_default(SpecEngine &e)
{
    const Maybe<bool> missing = bridge::is_missing(e.default_value.get());
    if (!missing) {
        return error;
    }
    return new_bool(!*missing || bool(e.default_factory));
}
Ref get_type_resolved(SpecEngine &e)
{
    const Maybe<bool> resolved = engine::type_resolved(e);
    if (!resolved) {
        return error;
    }
    return new_bool(*resolved);
}
Ref get_forward_refs(SpecEngine &e)
{
    return engine::forward_refs(e);
}
Ref get_stored_value_type(SpecEngine &e)
{
    return none_if_null(e.value_type);
}
Ref get_is_any_type(SpecEngine &e)
{
    return new_bool(e.tag() == Tag::Any);
}
Ref get_is_inherit_marker(SpecEngine &)
{
    return new_bool(false);
}
Ref get_value_type_plain(SpecEngine &e)
{
    return new_bool(e.value_type && bridge::is_plain_value_type(e.value_type.get()));
}
Ref get_has_custom_apply(SpecEngine &e)
{
    const Tag t = e.tag();
    return new_bool(t == Tag::List || t == Tag::Tuple || t == Tag::Union || t == Tag::Object ||
                    t == Tag::Dict);
}
Ref get_has_custom_validate(SpecEngine &e)
{
    const Tag t = e.tag();
    return new_bool(t == Tag::Str || t == Tag::Number || t == Tag::Enum || t == Tag::Type ||
                    t == Tag::Callable);
}
Ref get_validate_is_noop(SpecEngine &e)
{
    switch (e.tag()) {
        case Tag::Enum:
        case Tag::Type:
        case Tag::Callable:
            return new_bool(false);
        case Tag::Str:
            return new_bool(!e.kind.get<StrKind>()->regex);
        case Tag::Number: {
            const NumberKind *n = e.kind.get<NumberKind>();
            return new_bool(!n->min && !n->max);
        }
        default:
            return new_bool(true);
    }
}
Ref get_annotation(SpecEngine &e)
{
    return engine::annotation(e);
}
Ref get_fast_apply_info(SpecEngine &e)
{
    const bridge::TypingBridge &br = bridge::get();
    if (!e.exact_eligible()) {
        return Ref::steal(PyObject_CallNoArgs(br.fast_apply_info_cls));
    }
    PyObject *args[] = {Py_True, e.value_type.get()};
    return Ref::steal(
        PyObject_Vectorcall(br.fast_apply_info_cls, args, 0, kwnames<"is_eligible", "value_type">()));
}
Ref get_exact_leaf_type(SpecEngine &e)
{
    return e.exact_eligible() ? Ref::borrow(e.value_type.get()) : none();
}
Ref get_checked_leaf_type(SpecEngine &e)
{
    return e.checked_leaf() ? Ref::borrow(e.value_type.get()) : none();
}

#define NORV_GETTER(name, fn) {name, getter<fn>, nullptr, nullptr, nullptr}

PyGetSetDef GETSET[] = {
    NORV_GETTER("value_type", get_value_type),
    NORV_GETTER("default", get_default),
    NORV_GETTER("default_factory", get_default_factory),
    NORV_GETTER("transform", get_transform),
    NORV_GETTER("frozen", get_frozen),
    NORV_GETTER("is_noneable", get_is_noneable),
    NORV_GETTER("strict", get_strict),
    NORV_GETTER("has_default", get_has_default),
    NORV_GETTER("type_resolved", get_type_resolved),
    NORV_GETTER("forward_refs", get_forward_refs),
    NORV_GETTER("_value_type", get_stored_value_type),
    NORV_GETTER("_default", get_default),
    NORV_GETTER("_default_factory", get_default_factory),
    NORV_GETTER("_transform", get_transform),
    NORV_GETTER("_frozen", get_frozen),
    NORV_GETTER("_is_noneable", get_is_noneable),
    NORV_GETTER("_strict", get_raw_strict),
    NORV_GETTER("_is_any_type", get_is_any_type),
    NORV_GETTER("_is_inherit_marker", get_is_inherit_marker),
    NORV_GETTER("_value_type_plain", get_value_type_plain),
    NORV_GETTER("_has_custom_apply", get_has_custom_apply),
    NORV_GETTER("_has_custom_validate", get_has_custom_validate),
    NORV_GETTER("_validate_is_noop", get_validate_is_noop),
    NORV_GETTER("annotation", get_annotation),
    NORV_GETTER("fast_apply_info", get_fast_apply_info),
    NORV_GETTER("_exact_leaf_type", get_exact_leaf_type),
    NORV_GETTER("_checked_leaf_type", get_checked_leaf_type),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef NORV_GETTER

// ---- apply and validate -------------------------------------------------------------------

const Signature APPLY_SIG{
    "apply",
    {arg("value"), opt("allow_partial"), opt("child_transform"), opt("root_path"), opt("inplace")},
    {.method = true}};

}  // namespace

Ref spec_apply(PyObject *self, FastArgs a)
{
    if (failed(check_live(self))) {
        return error;
    }
    // `spec.apply(value)` is the hot call: no binding work for it.
    if (a.nargs == 1 && a.kwnames == nullptr) {
        Read r(self, OnConflict::Panic);
        return engine::apply(r.e, self, a.args[0]);
    }
    Bound b;
    if (failed(APPLY_SIG.bind(a, b))) {
        return error;
    }
    const Maybe<bool> allow_partial = bool_arg("allow_partial", b[1], false, ArgCause::Conversion);
    if (!allow_partial) {
        return error;
    }
    const Maybe<bool> inplace = bool_arg("inplace", b[4], true, ArgCause::Conversion);
    if (!inplace) {
        return error;
    }
    Read r(self, OnConflict::Panic);
    return engine::apply(r.e, self, b[0], *allow_partial, b.null_if_none(2), b.null_if_none(3), true,
                         *inplace);
}

bool is_final_native(PyObject *o) noexcept
{
    PyTypeObject *tp = Py_TYPE(o);
    if (!PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE) || PyType_HasFeature(tp, Py_TPFLAGS_BASETYPE)) {
        return false;
    }
    return is_spec(o);
}

const SpecEngine *plain_native_engine(PyObject *o) noexcept
{
    if (!is_final_native(o)) {
        return nullptr;
    }
    const SpecObject *spec = as_spec(o);
    if (spec->engine == nullptr || spec->borrow.is_exclusive()) {
        return nullptr;
    }
    const SpecEngine &e = *spec->engine;
    switch (e.tag()) {
        case Tag::Object:
            return e.kind.get<ObjectKind>()->forward_ref ? nullptr : &e;
        case Tag::Type:
            return e.kind.get<TypeKind>()->forward_ref ? nullptr : &e;
        default:
            return is_leaf_kind(e.tag()) ? &e : nullptr;
    }
}

engine::Applied apply_native(PyObject *spec, PyObject *value, bool allow_partial, PyObject *child_transform,
                             PyObject *root_path, bool inplace, engine::Discards discards)
{
    if (failed(check_live(spec))) {
        return error;
    }
    Read r(spec, OnConflict::Panic);
    return engine::apply(r.e, spec, value, allow_partial, child_transform, root_path, true, inplace,
                         discards);
}

namespace {

const Signature APPLY_KIND_SIG{
    "_apply",
    {arg("value"), arg("allow_partial"), arg("child_transform"), arg("root_path"), opt("inplace")},
    {.method = true}};

Ref spec_apply_kind(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, APPLY_KIND_SIG, a, b))) {
        return error;
    }
    const Maybe<bool> allow_partial = bool_arg("allow_partial", b[1], false, ArgCause::Conversion);
    if (!allow_partial) {
        return error;
    }
    const Maybe<bool> inplace = bool_arg("inplace", b[4], true, ArgCause::Conversion);
    if (!inplace) {
        return error;
    }
    Read r(self);
    if (r.failed()) {
        return error;
    }
    // The kind step applies children: one level, as `apply` counts it.
    RecursionGuard depth(" while applying a value spec");
    if (depth.failed()) {
        return error;
    }
    // The path is rendered up front, so a path that cannot be rendered fails even for a valid value.
    engine::PathText path(b.null_if_none(3));
    if (path.get() == nullptr) {
        return error;
    }
    return engine::apply_kind(r.e, b[0], *allow_partial, b.null_if_none(2), path, *inplace);
}

const Signature VALIDATE_SIG{"_validate", {arg("path"), arg("value")}, {.method = true}};

Ref spec_validate(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, VALIDATE_SIG, a, b))) {
        return error;
    }
    Read r(self);
    if (r.failed()) {
        return error;
    }
    engine::PathText path(b.null_if_none(0));
    if (path.get() == nullptr || failed(Status(engine::validate(r.e, b[1], path)))) {
        return error;
    }
    return none();
}

// ---- mutators -------------------------------------------------------------------------------

const Signature SET_DEFAULT_SIG{
    "set_default", {arg("default"), opt("use_default_apply"), opt("root_path")}, {.method = true}};

Ref spec_set_default(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, SET_DEFAULT_SIG, a, b))) {
        return error;
    }
    const Maybe<bool> use_apply = bool_arg("use_default_apply", b[1], true, ArgCause::Conversion);
    if (!use_apply) {
        return error;
    }
    Write w(self);
    if (failed(w.e.set_default(b[0], *use_apply, b.null_if_none(2)))) {
        return error;
    }
    return Ref::borrow(self);
}

const Signature SET_FACTORY_SIG{"set_default_factory", {arg("default_factory")}, {.method = true}};

Ref spec_set_default_factory(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, SET_FACTORY_SIG, a, b))) {
        return error;
    }
    Write w(self);
    if (failed(w.e.set_default_factory(b.null_if_none(0)))) {
        return error;
    }
    return Ref::borrow(self);
}

const Signature SET_TRANSFORM_SIG{"set_transform", {arg("transform")}, {.method = true}};

Ref spec_set_transform(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, SET_TRANSFORM_SIG, a, b))) {
        return error;
    }
    PyObject *t = b.null_if_none(0);
    Write w(self);
    if (t != nullptr && !PyCallable_Check(t)) {
        Ref text = bridge::py_repr(t);
        if (!text) {
            return error;
        }
        return raise_format(PyExc_TypeError, "`transform` must be a single-arg callable. Encountered: %U.",
                            text.get());
    }
    w.e.transform = Ref::borrow(t);
    w.e.invalidate_repr();
    return Ref::borrow(self);
}

const Signature SET_STRICT_SIG{"set_strict", {arg("strict")}, {.method = true}};

Ref spec_set_strict(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, SET_STRICT_SIG, a, b))) {
        return error;
    }
    const Maybe<std::optional<bool>> value = opt_bool_arg("strict", b[0], ArgCause::Conversion);
    if (!value) {
        return error;
    }
    const std::uint8_t strict = !*value ? STRICT_UNSET : (**value ? STRICT_TRUE : STRICT_FALSE);
    Write w(self);
    w.e.strict = strict;
    w.e.invalidate_repr();
    return Ref::borrow(self);
}

Status append_values_of(PyObject *out, PyObject *iterable, PyObject *attr)
{
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        return error;
    }
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        Ref v = attr ? getattr(x.get(), attr) : std::move(x);
        if (!v || PyList_Append(out, v.get()) < 0) {
            return error;
        }
    }
    return PyErr_Occurred() ? Status::error : Status::ok;
}

Ref spec_materialize_strict(PyObject *self)
{
    if (failed(check_live(self))) {
        return error;
    }
    Ref children = Ref::steal(PyList_New(0));
    if (!children) {
        return error;
    }
    {
        Write w(self);
        if (w.e.strict == STRICT_UNSET) {
            w.e.strict = STRICT_TRUE;
            w.e.invalidate_repr();
        }
        PyObject *value = interned<"value">();
        switch (w.e.tag()) {
            case Tag::List:
                if (PyList_Append(children.get(), w.e.kind.get<ListKind>()->element_spec.get()) < 0) {
                    return error;
                }
                break;
            case Tag::Tuple:
                if (failed(
                        append_values_of(children.get(), w.e.kind.get<TupleKind>()->elements.get(), value))) {
                    return error;
                }
                break;
            case Tag::Dict: {
                PyObject *schema = w.e.kind.get<DictKind>()->schema.get();
                if (schema != nullptr && schema != Py_None) {
                    Ref fields = getattr(schema, "fields");
                    if (!fields) {
                        return error;
                    }
                    Ref values = Ref::steal(PyObject_CallMethod(fields.get(), "values", nullptr));
                    if (!values || failed(append_values_of(children.get(), values.get(), value))) {
                        return error;
                    }
                }
                break;
            }
            case Tag::Union:
                if (failed(append_values_of(children.get(), w.e.kind.get<UnionKind>()->candidates.get(),
                                            nullptr))) {
                    return error;
                }
                break;
            default:
                break;
        }
    }
    // Released before the children run: a tree holding this spec again must
    // not meet its own access. Such a tree never ends, so each level counts.
    if (PyList_GET_SIZE(children.get()) == 0) {
        return none();
    }
    RecursionGuard depth(" while materializing strictness");
    if (depth.failed()) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.get()); ++i) {
        Ref child = Ref::borrow(PyList_GET_ITEM(children.get(), i));
        Ref r = Ref::steal(PyObject_CallMethod(child.get(), "_materialize_strict", nullptr));
        if (!r) {
            return error;
        }
    }
    return none();
}

const Signature NONEABLE_SIG{"noneable", {opt("is_noneable"), opt("use_none_as_default")}, {.method = true}};

Ref spec_noneable(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, NONEABLE_SIG, a, b))) {
        return error;
    }
    const Maybe<bool> noneable_arg = bool_arg("is_noneable", b[0], true, ArgCause::Conversion);
    if (!noneable_arg) {
        return error;
    }
    const Maybe<bool> none_default_arg = bool_arg("use_none_as_default", b[1], true, ArgCause::Conversion);
    if (!none_default_arg) {
        return error;
    }
    const bool is_noneable = *noneable_arg;
    const bool none_default = *none_default_arg;
    const bridge::TypingBridge &br = bridge::get();
    Ref candidates;
    {
        Write w(self);
        SpecEngine &e = w.e;
        e.invalidate_repr();
        if (EnumKind *en = e.kind.get<EnumKind>()) {
            PyObject *values = en->values.get();
            const int has_none = PySequence_Contains(values, Py_None);
            if (has_none < 0) {
                return error;
            }
            if (is_noneable && !has_none) {
                if (PyList_Append(values, Py_None) < 0) {
                    return error;
                }
            }
            else if (!is_noneable && has_none) {
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
                    if (PyList_GET_ITEM(values, i) == Py_None) {
                        if (PySequence_DelItem(values, i) < 0) {
                            return error;
                        }
                        break;
                    }
                }
                if (e.default_value.get() == Py_None) {
                    e.default_value = Ref::borrow(br.missing_value);
                }
            }
            e.is_noneable = is_noneable;
        }
        else if (e.tag() == Tag::Dict) {
            e.is_noneable = is_noneable;
            if (!is_noneable && e.default_value.get() == Py_None &&
                failed(e.set_default(br.missing_value, false, nullptr))) {
                return error;
            }
            if (is_noneable && none_default && failed(e.set_default(Py_None, false, nullptr))) {
                return error;
            }
        }
        else {
            e.is_noneable = is_noneable;
            if (!is_noneable && e.default_value.get() == Py_None && !e.default_factory &&
                failed(e.set_default(br.missing_value, false, nullptr))) {
                return error;
            }
            if (is_noneable && none_default) {
                const Maybe<bool> missing = bridge::is_missing(e.default_value.get());
                if (!missing) {
                    return error;
                }
                if (*missing && !e.default_factory && failed(e.set_default(Py_None, false, nullptr))) {
                    return error;
                }
            }
            if (UnionKind *u = e.kind.get<UnionKind>()) {
                candidates = Ref::steal(PySequence_List(u->candidates.get()));
                if (!candidates) {
                    return error;
                }
            }
        }
    }
    if (candidates) {
        // A union among its own candidates would come back here forever.
        RecursionGuard depth(" while making a union noneable");
        if (depth.failed()) {
            return error;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
            PyObject *args[] = {PyList_GET_ITEM(candidates.get(), i), py_bool(is_noneable), Py_False};
            const size_t nargsf = 2 | PY_VECTORCALL_ARGUMENTS_OFFSET;
            Ref r = Ref::steal(PyObject_VectorcallMethod(interned<"noneable">(), args, nargsf,
                                                         kwnames<"use_none_as_default">()));
            if (!r) {
                return error;
            }
        }
    }
    return Ref::borrow(self);
}

const Signature FREEZE_SIG{"freeze", {opt("permanent_value"), opt("apply_before_use")}, {.method = true}};

Ref spec_freeze(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, FREEZE_SIG, a, b))) {
        return error;
    }
    const Maybe<bool> apply_before_use = bool_arg("apply_before_use", b[1], true, ArgCause::Conversion);
    if (!apply_before_use) {
        return error;
    }
    Write w(self);
    SpecEngine &e = w.e;
    e.invalidate_repr();
    PyObject *permanent = b.has(0) ? b[0] : bridge::get().missing_value;
    const Maybe<bool> permanent_missing = bridge::is_missing(permanent);
    if (!permanent_missing) {
        return error;
    }
    if (!*permanent_missing) {
        if (failed(e.set_default(permanent, *apply_before_use, nullptr))) {
            return error;
        }
    }
    else if (e.default_factory) {
        Ref factory = Ref::borrow(e.default_factory.get());
        Ref made = Ref::steal(PyObject_CallNoArgs(factory.get()));
        if (!made) {
            return error;
        }
        if (failed(e.set_default(made.get(), *apply_before_use, nullptr))) {
            return error;
        }
    }
    else {
        const Maybe<bool> missing = bridge::is_missing(e.default_value.get());
        if (!missing) {
            return error;
        }
        if (!*missing) {
            e.frozen = true;
            return Ref::borrow(self);
        }
        Ref text = engine::repr(e);
        if (!text) {
            return error;
        }
        return raise_format(PyExc_ValueError, "Cannot freeze %U without a default value.", text.get());
    }
    e.frozen = true;
    return Ref::borrow(self);
}

const Signature MATERIALIZE_SIG{"materialize_default", {opt("allow_partial")}, {.method = true}};

Ref spec_materialize_default(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, MATERIALIZE_SIG, a, b))) {
        return error;
    }
    const Maybe<bool> allow_partial = bool_arg("allow_partial", b[0], false, ArgCause::Conversion);
    if (!allow_partial) {
        return error;
    }
    Read r(self);
    if (r.failed()) {
        return error;
    }
    if (r.e.default_factory) {
        if (*allow_partial) {
            return bridge::fresh_missing();
        }
        Ref factory = Ref::borrow(r.e.default_factory.get());
        Ref made = Ref::steal(PyObject_CallNoArgs(factory.get()));
        if (!made) {
            return error;
        }
        return engine::apply(r.e, nullptr, made.get());
    }
    Ref copy = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy) {
        return error;
    }
    Ref deepcopy = getattr(copy.get(), "deepcopy");
    if (!deepcopy) {
        return error;
    }
    return Ref::steal(PyObject_CallOneArg(deepcopy.get(), r.e.default_value.get()));
}

// ---- text form ---------------------------------------------------------------------------------

const Signature FORMAT_SIG{
    "format", {opt("compact"), opt("verbose"), opt("root_indent")}, {.var_kwargs = true, .method = true}};

Ref spec_format(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(bind_live(self, FORMAT_SIG, a, b))) {
        return error;
    }
    const Maybe<bool> compact = bool_arg("compact", b[0], false, ArgCause::Conversion);
    if (!compact) {
        return error;
    }
    const Maybe<bool> verbose = bool_arg("verbose", b[1], true, ArgCause::Conversion);
    if (!verbose) {
        return error;
    }
    std::int64_t root_indent = 0;
    if (b.has(2)) {
        const Maybe<std::int64_t> given = i64_arg("root_indent", b[2]);
        if (!given) {
            return error;
        }
        root_indent = *given;
    }
    // A threshold that cannot be read or converted counts as not given.
    std::optional<std::int64_t> lwt;
    PyObject *given = nullptr;
    const int found = PyDict_GetItemRef(b.varkw.get(), interned<"list_wrap_threshold">(), &given);
    Ref held = Ref::steal(given);
    if (found > 0) {
        const Maybe<std::int64_t> threshold = to_i64(given);
        if (threshold) {
            lwt = *threshold;
        }
        else if (failed(discard_ordinary_error())) {
            return error;
        }
    }
    else if (found < 0 && failed(discard_ordinary_error())) {
        return error;
    }
    Read r(self);
    if (r.failed()) {
        return error;
    }
    return engine::format(r.e, *compact, *verbose, root_indent, lwt);
}

PyObject *spec_str(PyObject *self)
{
    return guard([&]() -> Ref {
        if (failed(check_live(self))) {
            return error;
        }
        Read r(self);
        if (r.failed()) {
            return error;
        }
        return engine::format(r.e, false, true, 0, 80);
    });
}

PyObject *spec_repr(PyObject *self)
{
    return guard([&]() -> Ref {
        if (failed(check_live(self))) {
            return error;
        }
        Read r(self);
        if (r.failed()) {
            return error;
        }
        return engine::format(r.e, true, true, 0, 80);
    });
}

Ref spec_to_json_schema(PyObject *self, FastArgs a)
{
    static const Signature sig{"to_json_schema", {}, {.var_kwargs = true, .method = true}};
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    PyObject *fn = bridge::json_schema_fn();
    Ref args = Ref::steal(PyTuple_Pack(1, self));
    if (!args) {
        return error;
    }
    return Ref::steal(
        PyObject_Call(fn, args.get(), PyDict_GET_SIZE(b.varkw.get()) ? b.varkw.get() : nullptr));
}

// ---- slots ---------------------------------------------------------------------------------------

Ref call_and_apply(SpecEngine &e, PyObject *self, PyObject *target, PyObject *args, PyObject *kwargs)
{
    Ref made = Ref::steal(PyObject_Call(target, args, kwargs));
    if (!made) {
        return error;
    }
    return engine::apply(e, self, made.get());
}

PyObject *spec_call(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        if (failed(check_live(self))) {
            return error;
        }
        Read r(self, OnConflict::Panic);
        SpecEngine &e = r.e;
        switch (e.tag()) {
            case Tag::Any:
            case Tag::Union:
            case Tag::Callable: {
                Ref text = engine::repr(e);
                if (!text) {
                    return error;
                }
                return raise_format(PyExc_TypeError, "%U cannot be instantiated.", text.get());
            }
            case Tag::Object: {
                Maybe<Ref> cls = engine::value_type_obj(e);
                if (!cls) {
                    return error;
                }
                if (!*cls) {
                    panic("Object resolves to a class");
                }
                return call_and_apply(e, self, cls->get(), args, kwargs);
            }
            case Tag::Type: {
                const TypeKind *t = e.kind.get<TypeKind>();
                return t->forward_ref ? attr<"cls">(t->forward_ref.get()) : Ref::borrow(t->t.get());
            }
            case Tag::Dict:
                return call_and_apply(e, self, reinterpret_cast<PyObject *>(&PyDict_Type), args, kwargs);
            default:
                break;
        }
        const bool no_args = PyTuple_GET_SIZE(args) == 0;
        if (no_args) {
            const Maybe<bool> missing = bridge::is_missing(e.default_value.get());
            if (!missing) {
                return error;
            }
            if (!*missing || e.default_factory) {
                return Ref::borrow(e.default_value.get());
            }
        }
        if (e.frozen) {
            return Ref::borrow(e.default_value.get());
        }
        if (e.tag() == Tag::Enum) {
            Ref apply = attr<"apply">(self);
            if (!apply) {
                return error;
            }
            return Ref::steal(PyObject_Call(apply.get(), args, nullptr));
        }
        if (!e.value_type) {
            panic("primitive value_type");
        }
        // Keyword arguments are not passed on to the value type.
        return call_and_apply(e, self, e.value_type.get(), args, nullptr);
    });
}

PyObject *spec_or(PyObject *a, PyObject *b)
{
    return guard([&]() -> Ref {
        if (is_spec(a)) {
            Ref r = util::union_getitem(a, b);
            if (r.get() != Py_NotImplemented) {
                return r;
            }
        }
        if (is_spec(b)) {
            return util::union_getitem(a, b);
        }
        return not_implemented();
    });
}

PyMethodDef METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    method<spec_apply_kind>(
        "_apply",
        "_apply($self, value, allow_partial, child_transform, root_path, inplace=True)\n--\n\n"
        "Apply the children of a value (no type check, no validation)."),
    method<spec_validate>("_validate",
                          "_validate($self, path, value)\n--\n\nCheck the leaf constraints of a value."),
    method<spec_set_default>("set_default",
                             "set_default($self, default, use_default_apply=True, root_path=None)\n--\n\n"),
    method<spec_set_default_factory>("set_default_factory",
                                     "set_default_factory($self, default_factory)\n--\n\n"),
    method<spec_set_transform>("set_transform", "set_transform($self, transform)\n--\n\n"),
    method<spec_set_strict>("set_strict", "set_strict($self, strict)\n--\n\n"),
    method_noargs<spec_materialize_strict>("_materialize_strict", "_materialize_strict($self)\n--\n\n"),
    method<spec_noneable>("noneable", "noneable($self, is_noneable=True, use_none_as_default=True)\n--\n\n"),
    method<spec_freeze>("freeze", "freeze($self, permanent_value=..., apply_before_use=True)\n--\n\n"),
    method<spec_materialize_default>("materialize_default",
                                     "materialize_default($self, allow_partial=False)\n--\n\n"),
    method<spec_format>("format",
                        "format($self, compact=False, verbose=True, root_indent=0, **kwargs)\n--\n\n"),
    method<spec_to_json_schema>("to_json_schema", "to_json_schema($self, **kwargs)\n--\n\n"),
    method<relations::spec_to_json>("to_json", "to_json($self, **kwargs)\n--\n\n"),
    method<relations::spec_is_compatible>("is_compatible", "is_compatible($self, other)\n--\n\n"),
    method<relations::spec_extend>("extend", "extend($self, base)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("The native base of every value spec.")},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(clear)},
    {Py_tp_str, reinterpret_cast<void *>(spec_str)},
    {Py_tp_repr, reinterpret_cast<void *>(spec_repr)},
    {Py_tp_call, reinterpret_cast<void *>(spec_call)},
    {Py_nb_or, reinterpret_cast<void *>(spec_or)},
    {Py_tp_richcompare, reinterpret_cast<void *>(relations::spec_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.SpecBase",
    .basicsize = sizeof(SpecObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = SLOTS,
};

}  // namespace

PyTypeObject *type()
{
    return TYPE.get(&SPEC, nullptr, mark_formattable);
}

bool is_spec(PyObject *o) noexcept
{
    PyTypeObject *t = TYPE.peek();
    return t != nullptr && (Py_TYPE(o) == t || PyType_IsSubtype(Py_TYPE(o), t));
}

Ref wrap(PyTypeObject *cls, Maybe<std::unique_ptr<SpecEngine>> engine)
{
    if (!engine) {
        return error;
    }
    if (!*engine) {
        panic("a spec built without an engine");
    }
    // The GC allocator; it tracks the object before the engine is stored, which
    // is harmless: nothing in between can start a collection, and traverse
    // reads a spec without an engine as holding nothing.
    Ref obj = Ref::steal(cls->tp_alloc(cls, 0));
    if (!obj) {
        return error;
    }
    SpecObject *s = as_spec(obj.get());
    new (&s->borrow) BorrowFlag();
    s->engine = engine->release();
    return obj;
}

namespace {

}  // namespace

// Detached before it is destroyed: the references it drops can run Python
// code that reaches this spec again, which must find it cleared.
void drop_engine(PyObject *self) noexcept
{
    delete std::exchange(as_spec(self)->engine, nullptr);
}

int traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    const SpecEngine *e = as_spec(self)->engine;
    return e != nullptr ? e->traverse(visit, arg) : 0;
}

int clear(PyObject *self)
{
    drop_engine(self);
    return 0;
}

Error raise_cleared(PyObject *spec)
{
    const char *name = Py_TYPE(spec)->tp_name;
    const char *dot = std::strrchr(name, '.');
    return raise_format(PyExc_ReferenceError, "%s spec was cleared by the garbage collector",
                        dot ? dot + 1 : name);
}

}  // namespace norv::typing::base
