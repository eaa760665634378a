// The construction core of dict-layout objects and the initialiser that
// leads into it. Every error, its text and which one wins follow the host's
// own construction; a failed construction restores nothing (the caller drops
// the object).
#include "objects/construct.hpp"

#include <string>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "core/utf8.hpp"
#include "scopes/flags.hpp"
#include "nodes/markers.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/ctor_meta.hpp"
#include "objects/sym_object.hpp"
#include "containers/adopt.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema.hpp"

namespace norv::symbolic::object {

namespace {

namespace sc = typing::schema;

// Whether `key` names one of `names` (a set of exact str): only a str does,
// a subclass through an exact copy of its text (its own hash and equality
// never run). Text that UTF-8 cannot encode is in no such set.
Maybe<bool> names_hold(PyObject *names, PyObject *key)
{
    if (!PyUnicode_Check(key)) {
        return false;
    }
    if (PyUnicode_CheckExact(key)) {
        return predicate(PySet_Contains(names, key));
    }
    Ref exact = Ref::steal(PyUnicode_FromObject(key));
    return exact ? predicate(PySet_Contains(names, exact.get())) : Maybe<bool>(error);
}

Status append(PyObject *list, PyObject *item)
{
    return check(PyList_Append(list, item));
}

// The keys of `kwargs`, in order, that `names` does (`wanted`) or does not
// hold. The test runs no Python code for a str key, the only kind a set of
// exact str can hold, so the dict is walked in place.
Status collect_keys(PyObject *kwargs, PyObject *names, bool wanted, PyObject *out)
{
    return construct::collect_keys_if(kwargs, out, [&](PyObject *key) -> Maybe<bool> {
        const Maybe<bool> held = names_hold(names, key);
        return held ? Maybe<bool>(*held == wanted) : held;
    });
}

// The open plan's verdict on every key, read from its constant-key index;
// nothing when a key is not text UTF-8 can encode (the schema's `resolve`
// then decides). Runs no Python code.
Maybe<std::optional<Ref>> unexpected_by_plan(const sc::OpenSchemaPlan &plan, PyObject *kwargs)
{
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || !utf8_or_none(key)) {
            return std::optional<Ref>();
        }
        std::size_t at = 0;
        const bool unexpected =
            sc::index_lookup(plan.const_index, key, &at) ? !plan.const_init[at] : !plan.wildcard_init;
        if (unexpected && failed(append(out.get(), key))) {
            return error;
        }
    }
    return std::optional<Ref>(std::move(out));
}

// `fields_schema.resolve(keys)[1]`, as a list.
Ref unexpected_by_resolve(PyObject *fields_schema, PyObject *kwargs)
{
    Ref keys = Ref::steal(PyDict_Keys(kwargs));
    Ref resolved = keys ? call_method(fields_schema, interned<"resolve">(), keys.get()) : Ref();
    Ref one = resolved ? new_int(1) : Ref();
    Ref unmatched = one ? Ref::steal(PyObject_GetItem(resolved.get(), one.get())) : Ref();
    return unmatched ? Ref::steal(PySequence_List(unmatched.get())) : Ref();
}

// The unexpected keywords. With init names they decide alone; otherwise the
// schema's open plan or its `resolve` decides, and a keyword naming a
// non-symbolic field is unexpected too, listed last.
Ref classify_kwargs(const CtorMeta &m, PyObject *kwargs)
{
    const CtorMeta::Refs &r = m.refs;
    if (r.init_names) {
        Ref out = Ref::steal(PyList_New(0));
        return out && !failed(collect_keys(kwargs, r.init_names.get(), false, out.get())) ? std::move(out)
                                                                                          : Ref();
    }
    Ref out;
    PyObject *schema = r.fields_schema.get();
    if (sc::is_schema(schema)) {
        SharedBorrow hold(sc::state(schema).borrow, OnConflict::Panic);
        if (const sc::OpenSchemaPlan *plan = sc::state(schema).caches().plan.get()) {
            Maybe<std::optional<Ref>> by_plan = unexpected_by_plan(*plan, kwargs);
            if (!by_plan) {
                return error;
            }
            if (*by_plan) {
                out = std::move(**by_plan);
            }
        }
    }
    if (!out) {
        out = unexpected_by_resolve(schema, kwargs);
        if (!out) {
            return error;
        }
    }
    PyObject *non_symbolic = r.non_symbolic_names.get();
    if (PySet_GET_SIZE(non_symbolic) == 0) {
        return out;
    }
    Ref kept = Ref::steal(PyList_New(0));
    if (!kept) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out.get()); ++i) {
        PyObject *key = PyList_GET_ITEM(out.get(), i);
        const Maybe<bool> held = names_hold(non_symbolic, key);
        if (!held || (!*held && failed(append(kept.get(), key)))) {
            return error;
        }
    }
    return failed(collect_keys(kwargs, non_symbolic, true, kept.get())) ? Ref() : std::move(kept);
}

// The first keyword reserved as the alias of a field refuses the construction.
Status check_aliases(PyObject *cls, PyObject *alias_names, PyObject *kwargs)
{
    Ref text;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            continue;
        }
        Ref candidate = construct::lossy_text(key);
        if (!candidate) {
            return error;
        }
        const Maybe<bool> reserved = predicate(PySet_Contains(alias_names, candidate.get()));
        if (!reserved) {
            return error;
        }
        if (*reserved) {
            text = std::move(candidate);
            break;
        }
    }
    if (!text) {
        return Status::ok;
    }
    Ref maps = attr<"_sym_alias_maps">(cls);
    Ref zero = maps ? new_int(0) : Ref();
    Ref aliases = zero ? Ref::steal(PyObject_GetItem(maps.get(), zero.get())) : Ref();
    Ref field = aliases ? Ref::steal(PyObject_GetItem(aliases.get(), text.get())) : Ref();
    return field ? construct::reserved_alias_error(cls, text.get(), field.get()) : error;
}

using construct::check_missing;
using construct::require_schema;

// The schema fill: the whole keyword dict validated by the schema driver.
// The driver's own flag says whether every value is a scalar; adoption is
// needed when the class is symbolic and some value knows its place in a tree.
Maybe<Filled> schema_fill(PyObject *cls, const CtorMeta &m, PyObject *kwargs, PyObject *root_path,
                          bool allow_partial, bool effective_partial, const CloneContext &clone)
{
    const CtorMeta::Refs &r = m.refs;
    PyObject *schema = r.fields_schema.get();
    if (failed(require_schema(schema))) {
        return error;
    }
    const bool report_missing = !effective_partial;
    if (report_missing && !r.init_names) {
        if (failed(require_schema(r.class_schema.get())) ||
            failed(check_missing(cls, r.class_schema.get(), kwargs))) {
            return error;
        }
    }
    Ref flag = new_bool(allow_partial);
    Ref transform = Ref::steal(PyObject_CallOneArg(bridge::get().symbolic_transform_fn, flag.get()));
    if (!transform) {
        return error;
    }
    Maybe<sc::Valued> valued = [&]() -> Maybe<sc::Valued> {
        SharedBorrow hold(sc::state(schema).borrow, OnConflict::Panic);
        return sc::validate_fields_native(schema, kwargs, effective_partial, transform.get(), root_path,
                                          clone.active, m.has_attrs_builder);
    }();
    if (!valued) {
        return error;
    }
    if (report_missing && r.init_names && failed(check_missing(cls, schema, kwargs))) {
        return error;
    }
    Ref dict = std::move(valued->value);
    if (!PyDict_Check(dict.get())) {
        return raise_not_instance(dict.get(), "dict");
    }
    Filled out{std::move(dict), true, valued->scalar, false};
    if (m.sym) {
        Ref values = Ref::steal(PyDict_Values(out.dict.get()));
        if (!values) {
            return error;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
            const Maybe<bool> aware = markers::is_topology_aware(PyList_GET_ITEM(values.get(), i));
            if (!aware) {
                return error;
            }
            if (*aware) {
                out.all_plain = false;
                out.adopt = true;
                break;
            }
        }
    }
    return out;
}

// Steps before the fill: the node reset, the origin, the cooperative init.
// The reset detaches the object from a parent that may still hold it, which
// `detached` keeps for the rest of the construction.
Status begin(PyObject *self, const CtorMeta &m, PyObject *root_path, bool explicit_init, bool allow_partial,
             adopt::FormerParent &detached)
{
    const bridge::ObjectBridge &br = bridge::get();
    ObjectFields &f = SymObject::fields(self);
    {
        SymNode::Released released;
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        detached.keep(std::move(f.node.parent));
        SymNode::reset_for_construct(f.node, Ref::borrow(root_path ? root_path : br.empty_key_path),
                                     allow_partial, m.attr_write, false, released);
        released.add(std::move(f.sym_dict));
        released.add(std::move(f.node.origin));
    }
    if (flags::origin_tracking_on()) {
        PyObject *args[] = {Py_None, interned<"__init__">()};
        Ref origin = Ref::steal(PyObject_Vectorcall(br.origin_cls, args, 2, nullptr));
        if (!origin) {
            return error;
        }
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(origin, f.node.origin);
    }
    if (!explicit_init && m.needs_cooperative_init) {
        PyObject *args[] = {self, Py_True};
        Ref done = Ref::steal(PyObject_Vectorcall(br.cooperative_init, args, 2, nullptr));
        if (!done) {
            return error;
        }
    }
    return Status::ok;
}

// `cls.on_sym_preinit(kwargs)`, which must answer a dict.
Ref preinit(PyObject *cls, PyObject *kwargs)
{
    Ref r = call_method(cls, interned<"on_sym_preinit">(), kwargs);
    if (!r || PyDict_Check(r.get())) {
        return r;
    }
    Ref text = repr_of(r.get());
    return text ? raise_format(PyExc_TypeError,
                               "`on_sym_preinit` must return a dict of init kwargs. Encountered: %U.",
                               text.get())
                : Ref();
}

// Steps after the fill: the store, the non-symbolic fields, the hooks, the seal.
Status finish(PyObject *self, const CtorMeta &m, Filled filled, bool sealed, const CloneContext &clone)
{
    {
        ObjectFields &f = SymObject::fields(self);
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(filled.dict, f.sym_dict);
    }
    filled.dict.reset();
    if (m.has_non_symbolic_fields &&
        failed(construct::non_symbolic_fields(self, m.refs.non_symbolic_fields.get(), clone))) {
        return error;
    }
    if (failed(run_construct_hooks(self, m.post_init_overridden, m.bound_overridden, m.ready_not_noop,
                                   m.validate_overridden && !clone.active, filled.all_scalar))) {
        return error;
    }
    if (sealed && !call_method(self, interned<"sym_seal">(), Py_True)) {
        return error;
    }
    return Status::ok;
}

}  // namespace

Status SymObject::construct_impl(PyObject *self, std::optional<bool> sealed, PyObject *root_path,
                                 bool explicit_init, PyObject *kwargs, bool allow_partial,
                                 const CloneContext &clone)
{
    (void)bridge::get();
    PyObject *cls = type_of(self);
    Ref meta = ctor_meta(cls);
    if (!meta) {
        return error;
    }
    // Held for the whole construction: its tables and compiled list are read in place.
    MetaRead read(std::move(meta));
    const CtorMeta &m = *read;
    const bool seal = sealed.value_or(m.frozen);
    adopt::FormerParent detached(self);
    if (failed(begin(self, m, root_path, explicit_init, allow_partial, detached))) {
        return error;
    }
    Ref args = kwargs ? Ref::borrow(kwargs) : Ref::steal(PyDict_New());
    if (!args) {
        return error;
    }
    if (!clone.active && m.preinit_overridden) {
        args = preinit(cls, args.get());
        if (!args) {
            return error;
        }
    }
    Ref unexpected = classify_kwargs(m, args.get());
    if (!unexpected) {
        return error;
    }
    if (PyList_GET_SIZE(unexpected.get()) > 0 &&
        failed(construct::screen_unexpected_kwargs(cls, args.get(), unexpected.get()))) {
        return error;
    }
    if (!m.refs.init_names && m.refs.alias_names &&
        failed(check_aliases(cls, m.refs.alias_names.get(), args.get()))) {
        return error;
    }
    const bool effective_partial = flags::override_of(flags::ALLOW_PARTIAL).value_or(allow_partial);
    std::optional<Filled> filled;
    if (m.refs.compiled_fields && !effective_partial) {
        Maybe<std::optional<Filled>> compiled =
            try_compiled_fill(self, m, args.get(), root_path, allow_partial);
        if (!compiled) {
            return error;
        }
        filled = std::move(*compiled);
    }
    if (!filled) {
        Maybe<Filled> validated =
            schema_fill(cls, m, args.get(), root_path, allow_partial, effective_partial, clone);
        if (!validated) {
            return error;
        }
        filled = std::move(*validated);
    }
    if (filled->adopt && failed(adopt_children_inline(self, filled->dict.get(), m.sym))) {
        return error;
    }
    return finish(self, m, std::move(*filled), seal, clone);
}

Status SymObject::init(PyObject *obj, std::optional<bool> sealed, PyObject *root_path, bool explicit_init,
                       PyObject *kwargs)
{
    const Maybe<bool> allow_partial = construct::pop_allow_partial(kwargs);
    return allow_partial
               ? construct_impl(obj, sealed, root_path, explicit_init, kwargs, *allow_partial, CloneContext{})
               : Status::error;
}

namespace {

const Signature INIT_SIG{"SymObject.__init__",
                         {kwopt("sealed"), kwopt("root_path"), kwopt("explicit_init")},
                         {.var_kwargs = true, .method = true}};

// The option under `name`, taken out of the keywords (nullptr: absent).
Maybe<Ref> take_option(PyObject *kwargs, PyObject *name)
{
    return kwargs != nullptr ? pop_kw(kwargs, name) : Maybe<Ref>(Ref());
}

// `SymObject.__init__(self, *, sealed=None, root_path=None,
// explicit_init=False, **kwargs)`. The interpreter hands the slot a keyword
// dict of its own, so the options are taken out of it in place.
Status init_slot(PyObject *self, PyObject *args, PyObject *kwargs)
{
    if (PyTuple_GET_SIZE(args) != 0) {
        // No positional parameter: the binder refuses with Python's own message.
        Bound b;
        (void)INIT_SIG.bind_tuple(args, kwargs, b);
        return error;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) == 0) {
        kwargs = nullptr;
    }
    Maybe<Ref> sealed_arg = take_option(kwargs, interned<"sealed">());
    Maybe<Ref> root_path = sealed_arg ? take_option(kwargs, interned<"root_path">()) : Maybe<Ref>(error);
    Maybe<Ref> explicit_arg =
        root_path ? take_option(kwargs, interned<"explicit_init">()) : Maybe<Ref>(error);
    if (!explicit_arg) {
        return error;
    }
    const Maybe<std::optional<bool>> sealed = opt_bool_arg("sealed", sealed_arg->get(), ArgCause::Conversion);
    const Maybe<bool> explicit_init =
        sealed ? bool_arg("explicit_init", explicit_arg->get(), false, ArgCause::Conversion)
               : Maybe<bool>(error);
    if (!explicit_init) {
        return error;
    }
    PyObject *path = null_if_none(root_path->get());
    return SymObject::init(self, *sealed, path, *explicit_init, kwargs);
}

}  // namespace

int construct_slot(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return guard_int([&] { return init_slot(self, args, kwargs); });
}

Maybe<Ref> pop_kw(PyObject *dict, PyObject *key)
{
    PyObject *found = nullptr;
    if (PyDict_Pop(dict, key, &found) < 0) {
        return error;
    }
    return Ref::steal(found);
}

bool lacks_interned_names(PyObject *dict, std::initializer_list<PyObject *> names) noexcept
{
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    while (PyDict_Next(dict, &pos, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key) || PyUnicode_CHECK_INTERNED(key) == SSTATE_NOT_INTERNED) {
            return false;
        }
        for (PyObject *name : names) {
            if (key == name) {
                return false;
            }
        }
    }
    return true;
}

Status defer_positional_to_python_init(PyObject *obj, PyObject *args, PyObject *kwargs, const char *label)
{
    if (args == nullptr) {
        return Status::ok;
    }
    if (!PyTuple_Check(args)) {
        return raise_not_instance(args, "tuple");
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n == 0) {
        return Status::ok;
    }
    Ref init = attr<"__init__">(type_of(obj));
    if (!init) {
        return error;
    }
    if (kwargs != nullptr && !PyDict_Check(kwargs)) {
        return raise_not_instance(kwargs, "dict");
    }
    Ref call_args = Ref::steal(PyTuple_New(n + 1));
    if (!call_args) {
        return error;
    }
    PyTuple_SET_ITEM(call_args.get(), 0, Py_NewRef(obj));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(call_args.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    }
    if (!Ref::steal(PyObject_Call(init.get(), call_args.get(), kwargs))) {
        return error;
    }
    const std::string text = std::string(label) +
                             ": positional `__init__` returned without raising \u2014 the keyword-only "
                             "construct invariant was violated";
    return raise(PyExc_RuntimeError, text.c_str());
}

namespace construct {

Maybe<std::optional<bool>> slot_option(PyObject *value, bool none_is_unset)
{
    if (value == nullptr || (none_is_unset && value == Py_None)) {
        return std::optional<bool>();
    }
    Maybe<bool> b = to_bool(value);
    return b ? Maybe<std::optional<bool>>(std::optional<bool>(*b)) : Maybe<std::optional<bool>>(error);
}

Maybe<std::optional<bool>> pop_slot_option(PyObject *kwargs, PyObject *name, bool none_is_unset)
{
    const Maybe<Ref> value = pop_kw(kwargs, name);
    if (!value) {
        return error;
    }
    return slot_option(value->get(), none_is_unset);
}

Maybe<bool> pop_allow_partial(PyObject *kwargs)
{
    if (kwargs == nullptr) {
        return false;
    }
    const Maybe<Ref> value = pop_kw(kwargs, interned<"allow_partial">());
    if (!value || !*value) {
        return value ? Maybe<bool>(false) : Maybe<bool>(error);
    }
    if (!PyBool_Check(value->get())) {
        return raise_format(PyExc_TypeError,
                            "Expect bool type for argument 'allow_partial' in symbolic.Object.__init__ but "
                            "encountered %S.",
                            value->get());
    }
    return value->get() == Py_True;
}

Status require_schema(PyObject *schema)
{
    return sc::is_schema(schema) ? Status::ok : Status(raise_not_instance(schema, "Schema"));
}

Status check_missing(PyObject *cls, PyObject *schema, PyObject *kwargs)
{
    Ref names;
    {
        SharedBorrow hold(sc::state(schema).borrow, OnConflict::Panic);
        names = sc::missing_required_keys(schema, kwargs);
    }
    if (!names) {
        return error;
    }
    return PyList_GET_SIZE(names.get()) == 0 ? Status::ok : Status(missing_args_error(cls, names.get()));
}

Status non_symbolic_fields(PyObject *self, PyObject *fields, const CloneContext &clone)
{
    const bridge::ObjectBridge &br = bridge::get();
    Ref done;
    if (clone.active) {
        PyObject *args[] = {self, clone.src, py_bool(clone.deep), clone.memo};
        done = Ref::steal(PyObject_Vectorcall(br.clone_non_symbolic_fields, args, 4, nullptr));
    }
    else {
        PyObject *args[] = {self, fields};
        done = Ref::steal(PyObject_Vectorcall(br.seed_non_symbolic_fields, args, 2, nullptr));
    }
    return done ? Status::ok : Status::error;
}

}  // namespace construct

namespace {

using construct::pop_slot_option;

// Raises what the host's `prepare_construct_error` makes of the error set.
Error raise_prepared_construct_error()
{
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref prepared = Ref::steal(PyObject_CallOneArg(bridge::get().prepare_construct_error, exc.get()));
    return prepared ? raise_object(prepared.get()) : error;
}

}  // namespace

Status object_tp_init_body(PyObject *obj, PyObject *args, PyObject *kwargs)
{
    if (!SymObject::check(obj)) {
        return raise_not_instance(obj, "SymObject");
    }
    if (failed(defer_positional_to_python_init(obj, args, kwargs, "native tp_init"))) {
        return error;
    }
    Status built = Status::ok;
    if (kwargs == nullptr) {
        built = SymObject::construct_impl(obj, std::nullopt, nullptr, false, nullptr, false, CloneContext{});
    }
    else {
        if (!PyDict_Check(kwargs)) {
            return raise_not_instance(kwargs, "dict");
        }
        // Each taken out and converted in turn: a failed conversion leaves the later ones in place.
        const Maybe<std::optional<bool>> sealed = pop_slot_option(kwargs, interned<"sealed">(), true);
        if (!sealed) {
            return error;
        }
        const Maybe<Ref> root_path = pop_kw(kwargs, interned<"root_path">());
        if (!root_path) {
            return error;
        }
        const Maybe<std::optional<bool>> explicit_init =
            pop_slot_option(kwargs, interned<"explicit_init">(), false);
        if (!explicit_init) {
            return error;
        }
        PyObject *path = null_if_none(root_path->get());
        built = SymObject::init(obj, *sealed, path, explicit_init->value_or(false), kwargs);
    }
    return failed(built) ? Status(raise_prepared_construct_error()) : Status::ok;
}

}  // namespace norv::symbolic::object
