// Union: a value that one of two or more candidate specs accepts.
#include <optional>
#include <vector>

#include "core/names.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/services.hpp"
#include "typing/value_specs/class_kit.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::classes {

namespace {

using namespace class_kit;

// Refuses the first (class, value type) shared by several candidates.
Status check_same_kind(PyObject *groups)
{
    PyObject *key = nullptr, *members = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(groups, &pos, &key, &members)) {
        const Py_ssize_t count = PyList_GET_SIZE(members);
        if (count > 1) {
            return raise_format(PyExc_ValueError, "Found %zd value specs of the same type %S.", count, key);
        }
    }
    return Status::ok;
}

}  // namespace

Maybe<std::unique_ptr<SpecEngine>> union_new(PyObject *candidates, PyObject *default_value,
                                             PyObject *default_factory, bool is_noneable, bool frozen,
                                             std::uint8_t strict)
{
    Py_ssize_t n = -1;
    if (PyList_Check(candidates) || PyTuple_Check(candidates)) {
        n = PyObject_Length(candidates);
        if (n < 0) {
            return error;
        }
    }
    if (n < 2) {
        return raise_format(PyExc_ValueError,
                            "Argument 'candidates' must be a list of at least 2 elements. Encountered %S.",
                            candidates);
    }
    Ref converted = Ref::steal(PyList_New(0));
    Ref it = converted ? Ref::steal(PyObject_GetIter(candidates)) : Ref();
    if (!it) {
        return error;
    }
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        Ref spec = util::from_annotation(x.get());
        if (!spec || PyList_Append(converted.get(), spec.get()) < 0) {
            return error;
        }
    }
    if (PyErr_Occurred()) {
        return error;
    }
    // A snapshot for the passes below: attribute reads run Python code.
    Ref specs = Ref::steal(PySequence_Tuple(converted.get()));
    Ref groups = specs ? Ref::steal(PyDict_New()) : Ref();
    if (!groups) {
        return error;
    }
    bool any_noneable = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(specs.get()); ++i) {
        PyObject *c = PyTuple_GET_ITEM(specs.get(), i);
        Maybe<bool> noneable = truth_attr<"is_noneable">(c);
        if (!noneable) {
            return error;
        }
        any_noneable = any_noneable || *noneable;
        Ref vt = getattr(c, "_value_type");
        Ref key =
            vt ? Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject *>(Py_TYPE(c)), vt.get())) : Ref();
        if (!key) {
            return error;
        }
        PyObject *members = nullptr;
        const int found = PyDict_GetItemRef(groups.get(), key.get(), &members);
        if (found < 0) {
            return error;
        }
        Ref held = Ref::steal(members);
        if (!found) {
            held = Ref::steal(PyList_New(0));
            if (!held || PyDict_SetItem(groups.get(), key.get(), held.get()) < 0) {
                return error;
            }
        }
        if (PyList_Append(held.get(), c) < 0) {
            return error;
        }
    }
    if (failed(check_same_kind(groups.get()))) {
        return error;
    }
    Ref types = Ref::steal(PySet_New(nullptr));
    if (!types) {
        return error;
    }
    bool no_value_type = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(specs.get()); ++i) {
        Ref vt = getattr(PyTuple_GET_ITEM(specs.get(), i), "_value_type");
        if (!vt) {
            return error;
        }
        if (vt.get() == Py_None) {
            no_value_type = true;
        }
        else if (PyTuple_Check(vt.get())) {
            if (failed(util::set_update(types.get(), vt.get()))) {
                return error;
            }
        }
        else if (PySet_Add(types.get(), vt.get()) < 0) {
            return error;
        }
    }
    Ref value_type;
    if (!no_value_type) {
        value_type = Ref::steal(PySequence_Tuple(types.get()));
        if (!value_type) {
            return error;
        }
    }
    Maybe<Ref> type_map = util::build_candidate_type_map(converted.get(), no_value_type);
    if (!type_map) {
        return error;
    }
    Ref members;
    if (value_type && bridge::is_plain_value_type(value_type.get())) {
        members = Ref::steal(PyFrozenSet_New(value_type.get()));
        if (!members) {
            return error;
        }
    }
    return engine::build_base(
        value_type.get(), UnionKind{std::move(converted), std::move(*type_map), std::move(members)},
        default_value, default_factory, nullptr, is_noneable || any_noneable, frozen, strict);
}

namespace {

// The type map as a dict: borrowed from the payload, which the caller's
// shared access keeps alive. NULL with the cast error set.
PyObject *map_dict(PyObject *map)
{
    if (!PyDict_Check(map)) {
        (void)raise_not_instance(map, "dict");
        return nullptr;
    }
    return map;
}

// The candidate the map names for `value`'s exact type, or an empty Ref.
Maybe<Ref> lookup(PyObject *map, PyObject *value)
{
    PyObject *dict = map_dict(map);
    if (dict == nullptr) {
        return error;
    }
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(dict, reinterpret_cast<PyObject *>(Py_TYPE(value)), &found) < 0) {
        return error;
    }
    return Ref::steal(found);
}

}  // namespace

Maybe<Ref> union_fast_path(PyObject *spec_object, PyObject *value)
{
    if (!base::is_spec(spec_object)) {
        return Ref();
    }
    Ref map;
    {
        base::NativeRead read(spec_object);
        if (read.failed()) {
            return error;
        }
        const UnionKind *u = read.engine().kind.get<UnionKind>();
        if (u == nullptr || !u->type_map) {
            return Ref();
        }
        map = Ref::borrow(u->type_map.get());
    }
    Maybe<Ref> c = lookup(map.get(), value);
    if (!c || !*c) {
        return c;
    }
    Maybe<Ref> t = funnel::exact_leaf_type(c->get());
    if (!t) {
        return error;
    }
    return *t ? Ref::borrow(value) : Ref();
}

namespace {

// c.apply(value, allow_partial=..., child_transform=..., root_path=..., inplace=...)
class CandidateCall {
public:
    CandidateCall(bool allow_partial, PyObject *child_transform, PyObject *root_path, bool inplace)
        : allow_partial_(allow_partial),
          child_transform_(child_transform),
          root_path_(root_path),
          inplace_(inplace)
    {
    }

    // A final native candidate is applied without the method call; what it
    // rejects with an exception in `discards` may come back with nothing built
    // (`engine::Applied::discarded`).
    engine::Applied operator()(PyObject *c, PyObject *value,
                               engine::Discards discards = engine::Discards::None) const
    {
        if (base::is_final_native(c)) {
            return base::apply_native(c, value, allow_partial_, child_transform_, root_path_, inplace_,
                                      discards);
        }
        PyObject *args[] = {c,
                            value,
                            py_bool(allow_partial_),
                            none_if_null(child_transform_),
                            none_if_null(root_path_),
                            py_bool(inplace_)};
        return Ref::steal(
            PyObject_VectorcallMethod(interned<"apply">(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      kwnames<"allow_partial", "child_transform", "root_path", "inplace">()));
    }

private:
    bool allow_partial_;
    PyObject *child_transform_;
    PyObject *root_path_;
    bool inplace_;
};

// A candidate's effective value type: from its engine for a native spec, its
// `value_type` otherwise. None when it has none.
Ref candidate_value_type(PyObject *c)
{
    if (!base::is_spec(c)) {
        return attr<"value_type">(c);
    }
    base::NativeRead read(c);
    if (read.failed()) {
        return error;
    }
    Maybe<Ref> t = engine::value_type_obj(read.engine());
    if (!t) {
        return error;
    }
    return *t ? std::move(*t) : none();
}

// A native Object candidate that takes exact instances of its class as they
// are: that class, else an empty Ref.
Maybe<Ref> plain_object_class(PyObject *c)
{
    if (!base::is_spec(c)) {
        return Ref();
    }
    base::NativeRead read(c);
    if (read.failed()) {
        return error;
    }
    const SpecEngine &e = read.engine();
    if (e.tag() != Tag::Object || e.frozen || e.transform || !e.value_type) {
        return Ref();
    }
    return Ref::borrow(e.value_type.get());
}

// Whether isinstance(value, t) holds, where that runs no Python code: a
// builtin scalar or container reports its own class as `__class__`, and a
// plain value type has no instance hook. No answer otherwise.
std::optional<bool> plain_isinstance(PyObject *value, PyObject *t) noexcept
{
    if (!bridge::is_any_fast_type(value, true) || !bridge::is_plain_value_type(t)) {
        return std::nullopt;
    }
    PyTypeObject *vt = Py_TYPE(value);
    if (!PyTuple_Check(t)) {
        return PyType_IsSubtype(vt, reinterpret_cast<PyTypeObject *>(t)) != 0;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t); ++i) {
        if (PyType_IsSubtype(vt, reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(t, i)))) {
            return true;
        }
    }
    return false;
}

// The first pass read in place: when every candidate is a final native spec
// holding no forward reference (so the union is resolved, and reading the
// value types runs no Python code) and each class test the pass makes runs
// none either, nothing can change the list before the chosen candidate runs,
// and the passes need no snapshot. The candidate the first pass picks
// (borrowed from the list), or nullptr where the general passes decide.
PyObject *first_typed_in_place(const UnionKind &u, PyObject *value) noexcept
{
    constexpr Py_ssize_t MAX_CANDIDATES = 16;
    PyObject *candidates = u.candidates.get();
    if (!PyList_CheckExact(candidates) || PyList_GET_SIZE(candidates) > MAX_CANDIDATES) {
        return nullptr;
    }
    PyObject *types[MAX_CANDIDATES];
    const Py_ssize_t n = PyList_GET_SIZE(candidates);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *c = PyList_GET_ITEM(candidates, i);
        const SpecEngine *ce = base::plain_native_engine(c);
        if (ce == nullptr) {
            return nullptr;
        }
        types[i] = ce->value_type.get();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (types[i] == nullptr) {
            continue;
        }
        const std::optional<bool> fits = plain_isinstance(value, types[i]);
        if (!fits) {
            return nullptr;
        }
        if (*fits) {
            return PyList_GET_ITEM(candidates, i);
        }
    }
    return nullptr;
}

}  // namespace

Ref union_apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                     engine::PathText &path, bool inplace)
{
    const UnionKind *u = e.kind.get<UnionKind>();
    const CandidateCall apply(allow_partial, child_transform, path.root_path(), inplace);
    if (u->type_map) {
        Ref map = Ref::borrow(u->type_map.get());
        Maybe<Ref> found = lookup(map.get(), value);
        if (!found) {
            return error;
        }
        if (Ref c = std::move(*found)) {
            Maybe<Ref> t = funnel::exact_leaf_type(c.get());
            if (!t) {
                return error;
            }
            if (*t) {
                return Ref::borrow(value);
            }
            Maybe<Ref> cls = plain_object_class(c.get());
            if (!cls) {
                return error;
            }
            if (*cls) {
                Maybe<Ref> accepted = object_accept(cls->get(), value, allow_partial);
                if (!accepted) {
                    return error;
                }
                if (*accepted) {
                    return std::move(*accepted);
                }
            }
            return apply(c.get(), value);
        }
    }
    if (PyObject *c = first_typed_in_place(*u, value)) {
        Ref held = Ref::borrow(c);
        return apply(held.get(), value);
    }
    const Maybe<bool> resolved = engine::type_resolved(e);
    if (!resolved) {
        return error;
    }
    if (!*resolved) {
        return Ref::borrow(value);
    }
    // A snapshot: candidates' code may change the list while they run.
    Ref candidates = Ref::steal(PySequence_Tuple(u->candidates.get()));
    if (!candidates) {
        return error;
    }
    // Held natively, not in a tuple: a host candidate's `value_type` runs
    // code that could reach a half-filled tuple through the collector.
    const Py_ssize_t n = PyTuple_GET_SIZE(candidates.get());
    std::vector<Ref> types;
    types.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref t = candidate_value_type(PyTuple_GET_ITEM(candidates.get(), i));
        if (!t) {
            return error;
        }
        types.push_back(std::move(t));
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *t = types[static_cast<std::size_t>(i)].get();
        if (t == Py_None) {
            continue;
        }
        const int fits = PyObject_IsInstance(value, t);
        if (fits < 0) {
            return error;
        }
        if (fits) {
            return apply(PyTuple_GET_ITEM(candidates.get(), i), value);
        }
    }
    // Without a value type first, then the rest; a TypeError means "not this one".
    for (const bool typed : {false, true}) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if ((types[static_cast<std::size_t>(i)].get() != Py_None) != typed) {
                continue;
            }
            engine::Applied r =
                apply(PyTuple_GET_ITEM(candidates.get(), i), value, engine::Discards::TypeError);
            if (r) {
                return r;
            }
            if (!r.discarded() && failed(discard_error_of({PyExc_TypeError}))) {
                return error;
            }
        }
    }
    Ref text = engine::repr(e);
    if (!text) {
        return error;
    }
    return raise_format(PyExc_TypeError, "%R does not match any candidate of %U.", value, text.get());
}

namespace {

TypeCell UNION_TYPE;

const Signature UNION_SIG{"Union.__new__",
                          {arg("candidates"), opt("default"), opt("default_factory"), opt("is_noneable"),
                           opt("frozen"), opt("strict")}};

PyObject *union_tp_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(UNION_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref d = frame::default_arg(b, 1);
        Maybe<Flags> f = flags(b, 3, 4, 5);
        if (!f) {
            return error;
        }
        return base::wrap(cls,
                          union_new(b[0], d.get(), b.null_if_none(2), f->noneable, f->frozen, f->strict));
    });
}

const Signature UNION_FROM_JSON_SIG{
    "Union.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref union_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(UNION_FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    Maybe<frame::JsonCommon> c = frame::read_json_common(b[0], b.varkw.get());
    if (!c) {
        return error;
    }
    Ref candidates =
        required_json_field(b[0], "candidates", b.varkw.get(), "Union json missing 'candidates'.");
    if (!candidates) {
        return error;
    }
    return base::wrap(union_type(), union_new(candidates.get(), c->default_value.get(), nullptr,
                                              c->is_noneable, c->frozen, c->strict));
}

const Signature UNION_TYPE_ARGS_SIG{"Union.with_type_args", {arg("type_args")}, {.method = true}};

Ref union_with_type_args(FastArgs a)
{
    Bound b;
    if (failed(UNION_TYPE_ARGS_SIG.bind(a, b))) {
        return error;
    }
    Ref args = util::as_type_args(b[0]);
    if (!args) {
        return error;
    }
    if (PyTuple_GET_SIZE(args.get()) < 2) {
        return raise_format(PyExc_TypeError,
                            "`nv.typing.Union` requires at least 2 type arguments. Encountered: %S.", b[0]);
    }
    Ref rest = Ref::steal(PyList_New(0));
    if (!rest) {
        return error;
    }
    bool had_none = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.get()); ++i) {
        PyObject *x = PyTuple_GET_ITEM(args.get(), i);
        if (x == Py_None) {
            had_none = true;
        }
        else if (PyList_Append(rest.get(), x) < 0) {
            return error;
        }
    }
    Ref spec;
    if (PyList_GET_SIZE(rest.get()) == 1) {
        spec = util::from_annotation(PyList_GET_ITEM(rest.get(), 0));
    }
    else {
        Ref d = util::missing_default();
        spec = base::wrap(union_type(), union_new(rest.get(), d.get(), nullptr, false, false, STRICT_UNSET));
    }
    if (!spec || !had_none) {
        return spec;
    }
    return Ref::steal(PyObject_CallMethodNoArgs(spec.get(), interned<"noneable">()));
}

Ref union_with_type_args_method(PyObject *, FastArgs a)
{
    return union_with_type_args(a);
}

Ref union_class_getitem(PyObject *, FastArgs a)
{
    Ref spec = union_with_type_args(a);
    if (!spec) {
        return error;
    }
    return util::generic_getitem_result(spec.get());
}

Ref call_method(PyObject *o, const char *name, PyObject *arg)
{
    Ref n = new_str(name);
    return n ? Ref::steal(PyObject_CallMethodOneArg(o, n.get(), arg)) : Ref();
}

// The answer of dest.is_compatible(c), which must be a bool.
Maybe<bool> compatible(PyObject *dest, PyObject *c)
{
    Ref r = call_method(dest, "is_compatible", c);
    if (!r) {
        return error;
    }
    return bridge::strict_bool(r.get());
}

const Signature GET_CANDIDATE_SIG{"get_candidate", {arg("dest_spec")}, {.method = true}};

Ref union_get_candidate(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(GET_CANDIDATE_SIG.bind(a, b))) {
        return error;
    }
    PyObject *dest = b[0];
    // Nested unions are searched through their Python methods.
    RecursionGuard depth(" while looking up a union candidate");
    if (depth.failed()) {
        return error;
    }
    Ref candidates;
    {
        base::SelfRead r(self);
        if (r.failed()) {
            return error;
        }
        candidates = Ref::steal(PySequence_Tuple(r.engine().kind.get<UnionKind>()->candidates.get()));
    }
    if (!candidates) {
        return error;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(candidates.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *c = PyTuple_GET_ITEM(candidates.get(), i);
        if (Py_TYPE(c) != Py_TYPE(dest)) {
            continue;
        }
        const Maybe<bool> ok = compatible(dest, c);
        if (!ok) {
            return error;
        }
        if (*ok) {
            return Ref::borrow(c);
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *c = PyTuple_GET_ITEM(candidates.get(), i);
        const int nested = PyObject_TypeCheck(c, union_type());
        if (nested) {
            Ref r = call_method(c, "get_candidate", dest);
            if (!r) {
                return error;
            }
            if (r.get() != Py_None) {
                return r;
            }
            continue;
        }
        const Maybe<bool> ok = compatible(dest, c);
        if (!ok) {
            return error;
        }
        if (*ok) {
            return Ref::borrow(c);
        }
    }
    return none();
}

Ref get_candidates(SpecEngine &e)
{
    return Ref::borrow(e.kind.get<UnionKind>()->candidates.get());
}

Ref get_type_map(SpecEngine &e)
{
    return none_if_null(e.kind.get<UnionKind>()->type_map);
}

PyMethodDef UNION_METHODS[] = {
    NORV_SPEC_APPLY_METHOD,
    NORV_SPEC_COPY_METHODS,
    method<union_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method<union_with_type_args_method>("with_type_args", "with_type_args($cls, type_args)\n--\n\n",
                                        METH_CLASS),
    method<union_class_getitem>("__class_getitem__", "__class_getitem__($cls, type_args)\n--\n\n",
                                METH_CLASS),
    method<union_get_candidate>("get_candidate",
                                "get_candidate($self, dest_spec)\n--\n\n"
                                "The first candidate compatible with `dest_spec`, or None."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef UNION_GETSET[] = {
    {"skip_user_transform", frame::skip_user_transform, nullptr, nullptr, nullptr},
    {"candidates", kind_getter<get_candidates>, nullptr, nullptr, nullptr},
    {"_candidate_type_map", kind_getter<get_type_map>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

NORV_SPEC_CLASS_SPEC(UNION, "Union",
                     "Union(candidates, default=..., default_factory=None, is_noneable=False, frozen=False, "
                     "strict=None)\n--\n\nValue spec accepting a value that one of its candidates accepts.",
                     union_tp_new, UNION_METHODS, UNION_GETSET, 0)

}  // namespace

PyTypeObject *union_type()
{
    return make(UNION_TYPE, &UNION_SPEC);
}

}  // namespace norv::typing::classes
