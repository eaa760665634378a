// Construction of SymDict: `__init__` and its argument normalisation, the
// construction core with its three modes, spec binding and the builders that
// emit a validated plain dict as a symbolic node and an object's attribute
// container.
#include <utility>

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "scopes/flags.hpp"
#include "containers/adopt.hpp"
#include "containers/binding.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/dict.hpp"
#include "containers/dict_faces.hpp"
#include "nodes/object_bridge.hpp"
#include "containers/container_topology.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/value_specs/classes.hpp"

namespace norv::symbolic {

namespace {

Maybe<bool> is_dict_spec(PyObject *spec)
{
    PyTypeObject *dict_spec = typing::classes::dict_type();
    if (dict_spec == nullptr) {
        return error;
    }
    return PyObject_TypeCheck(spec, dict_spec) != 0;
}

Status store(PyObject *self, PyObject *key, const Ref &value)
{
    return value ? check(PyDict_SetItem(self, key, value.get())) : Status::error;
}

// The members without a spec: keys must be ints or strs, scalars are kept,
// missing values dropped, anything else formalised without a field. `seen`
// (may be nullptr) clones a value met under a second key.
Status take_schemaless(PyObject *self, PyObject *normalized, PyObject *seen)
{
    return dict_for_each(normalized, [&](PyObject *key, PyObject *value) -> Status {
        if (!PyLong_Check(key) && !PyUnicode_Check(key)) {
            return SymDict::refuse_key(self, key);
        }
        if (typing::funnel::is_scalar_value(value)) {
            return check(PyDict_SetItem(self, key, value));
        }
        Maybe<bool> missing = eq_truth(bridge::get().missing_value, value);
        if (!missing) {
            return error;
        }
        if (*missing) {
            return Status::ok;
        }
        return store(self, key, SymDict::_formalized_value(self, key, nullptr, value, seen));
    });
}

// A validating construction: a one-pass route when one takes the input,
// else the general route (every member formalised without a field, then the
// spec bound and applied to the whole dict).
Status take_validated(PyObject *self, PyObject *normalized, PyObject *value_spec, bool allow_partial,
                      PyObject *seen)
{
    Maybe<bool> one_pass = SymDict::try_fused_schemaful_construct(self, value_spec, normalized);
    if (one_pass && !*one_pass) {
        one_pass = SymDict::try_single_pass_schemaful_construct(self, value_spec, normalized, seen);
    }
    if (!one_pass) {
        return error;
    }
    if (*one_pass) {
        return Status::ok;
    }
    Status taken = dict_for_each(normalized, [&](PyObject *key, PyObject *value) -> Status {
        return store(self, key, SymDict::_formalized_value(self, key, nullptr, value, seen));
    });
    if (failed(taken)) {
        return error;
    }
    DictFields &f = SymDict::fields(self);
    bool outer;
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        outer = std::exchange(f.constructing, true);
    }
    Ref bound = SymDict::use_value_spec(self, value_spec, allow_partial);
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        f.constructing = outer;
    }
    return bound ? Status::ok : Status::error;
}

Status take_adopted(PyObject *self, PyObject *normalized, PyObject *owner, PyObject *seen)
{
    DictFields &f = SymDict::fields(self);
    bool enabled;
    Ref parent_path;
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        enabled = f.sym_mode;
        parent_path = none_if_null(f.node.path);
    }
    Ref parent = SymDict::_sym_parent_for_children(self);
    return dict_for_each(normalized, [&](PyObject *key, PyObject *value) -> Status {
        return store(
            self, key,
            adopt::relocate_if_symbolic(key, value, enabled, parent_path.get(), owner, parent.get(), seen));
    });
}

// ---- __init__ --------------------------------------------------------------------------------

const Signature INIT_SIG{
    "SymDict.__init__",
    {opt("source"), kwopt("value_spec"), kwopt("allow_partial"), kwopt("sealed"), kwopt("accessor_writable"),
     kwopt("as_object_attributes_container"), kwopt("wrap"), kwopt("onchange_callback"), kwopt("root_path"),
     kwopt("pass_through"), kwopt("under_sym_mode")},
    {.var_kwargs = true, .method = true}};

enum InitParam : std::size_t {
    SOURCE,
    VALUE_SPEC,
    ALLOW_PARTIAL,
    SEALED,
    ACCESSOR_WRITABLE,
    AS_OBJECT_ATTRIBUTES_CONTAINER,
    WRAP,
    ONCHANGE_CALLBACK,
    ROOT_PATH,
    PASS_THROUGH,
    UNDER_SYM_MODE,
};

// `item[0]` and `item[1]` of one element of a pair source.
Status add_pair(PyObject *normalized, PyObject *item)
{
    static constexpr long KEY = 0, VALUE = 1;
    Ref k = new_int(KEY);
    Ref key = k ? Ref::steal(PyObject_GetItem(item, k.get())) : Ref();
    Ref v = key ? new_int(VALUE) : Ref();
    Ref value = v ? Ref::steal(PyObject_GetItem(item, v.get())) : Ref();
    if (!value) {
        return error;
    }
    return check(PyDict_SetItem(normalized, key.get(), value.get()));
}

Status add_pairs(PyObject *normalized, PyObject *iterable)
{
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        return error;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (failed(add_pair(normalized, item.get()))) {
            return error;
        }
    }
    return PyErr_Occurred() ? Status::error : Status::ok;
}

// The members in their final order: the source's (a symbolic dict's
// `sym_items()`, a dict's storage, or any iterable of pairs), then the
// keyword members on top.
Ref normalize(PyObject *source, Ref kwargs)
{
    if (source == nullptr && PyDict_GET_SIZE(kwargs.get()) > 0) {
        return kwargs;
    }
    // A plain dict's storage is copied whole (one allocation, no rehashing).
    Ref normalized =
        Ref::steal(source != nullptr && PyDict_CheckExact(source) ? PyDict_Copy(source) : PyDict_New());
    if (!normalized) {
        return error;
    }
    if (source != nullptr) {
        Status filled;
        if (SymDict::check(source)) {
            Ref items = call_method(source, interned<"sym_items">());
            filled = items ? add_pairs(normalized.get(), items.get()) : Status::error;
        }
        else if (PyDict_CheckExact(source)) {
            filled = Status::ok;
        }
        else if (PyDict_Check(source)) {
            filled = dict_for_each(source, [&](PyObject *key, PyObject *value) {
                return check(PyDict_SetItem(normalized.get(), key, value));
            });
        }
        else {
            filled = add_pairs(normalized.get(), source);
        }
        if (failed(filled)) {
            return error;
        }
    }
    if (PyDict_Update(normalized.get(), kwargs.get()) < 0) {
        return error;
    }
    return normalized;
}

Status init_members(PyObject *self, PyObject *args, PyObject *kwargs)
{
    Bound b;
    if (failed(INIT_SIG.bind_tuple(args, kwargs, b))) {
        return error;
    }
    SymDict::ConstructOptions options;
    bool pass_through = false;
    const struct {
        const char *name;
        std::size_t index;
        bool *out;
    } switches[] = {
        {"allow_partial", ALLOW_PARTIAL, &options.allow_partial},
        {"sealed", SEALED, &options.sealed},
        {"accessor_writable", ACCESSOR_WRITABLE, &options.accessor_writable},
        {"as_object_attributes_container", AS_OBJECT_ATTRIBUTES_CONTAINER,
         &options.as_object_attributes_container},
        {"wrap", WRAP, &options.wrap},
        {"pass_through", PASS_THROUGH, &pass_through},
        {"under_sym_mode", UNDER_SYM_MODE, &options.sym_mode},
    };
    for (const auto &s : switches) {
        Maybe<bool> v = bool_arg(s.name, b[s.index], *s.out, ArgCause::Conversion);
        if (!v) {
            return error;
        }
        *s.out = *v;
    }
    PyObject *value_spec = b.null_if_none(VALUE_SPEC);
    if (value_spec != nullptr) {
        Maybe<bool> is_spec = is_dict_spec(value_spec);
        if (!is_spec) {
            return error;
        }
        if (!*is_spec) {
            return raise_format(PyExc_TypeError,
                                "Argument 'value_spec' must be a `nv.typing.Dict` object. Encountered %S",
                                value_spec);
        }
    }
    Ref normalized = normalize(b.null_if_none(SOURCE), std::move(b.varkw));
    if (!normalized) {
        return error;
    }
    options.onchange_callback = b.null_if_none(ONCHANGE_CALLBACK);
    options.root_path = b.null_if_none(ROOT_PATH);
    options.mode = pass_through ? SymDict::ConstructMode::PassThrough : SymDict::ConstructMode::Validate;
    return SymDict::construct_into(self, normalized.get(), value_spec, options);
}

}  // namespace

// ---- construction core ---------------------------------------------------------------------

Status SymDict::construct_into(PyObject *self, PyObject *normalized, PyObject *value_spec,
                               const ConstructOptions &options)
{
    DictFields &f = fields(self);
    Ref path = Ref::borrow(options.root_path != nullptr ? options.root_path : bridge::get().empty_key_path);
    // Unsealed and writable while the members come in, whatever the options say.
    container::reset_for_construct(f, std::move(path), options.allow_partial, options.wrap);
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        f.as_object_attributes_container = options.as_object_attributes_container;
        f.sym_mode = options.sym_mode;
    }
    if (failed(container::record_default_origin(f))) {
        return error;
    }
    Ref seen;
    if (options.as_object_attributes_container && options.mode != ConstructMode::Verbatim) {
        seen = Ref::steal(PySet_New(nullptr));
        if (!seen) {
            return error;
        }
    }
    Status taken;
    if (value_spec == nullptr) {
        taken = take_schemaless(self, normalized, seen.get());
    }
    else if (options.mode == ConstructMode::Validate) {
        taken = take_validated(self, normalized, value_spec, options.allow_partial, seen.get());
    }
    else {
        taken = options.mode == ConstructMode::PassThrough
                    ? take_adopted(self, normalized, options.owner ? options.owner : self, seen.get())
                    : dict_for_each(normalized, [&](PyObject *key, PyObject *value) {
                          return norv::check(PyDict_SetItem(self, key, value));
                      });
        if (!failed(taken)) {
            SymDict::bind_unapplied(self, value_spec);
        }
    }
    if (failed(taken)) {
        return error;
    }
    return container::finish_construct(self, f, options.onchange_callback, options.accessor_writable,
                                       options.sealed, sym_seal);
}

void SymDict::bind_unapplied(PyObject *self, PyObject *value_spec)
{
    DictFields &f = fields(self);
    Ref displaced = Ref::borrow(value_spec);
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(displaced, f.value_spec);
    }
}

bool SymDict::accepts_partial(PyObject *self)
{
    return container::accepts_partial(fields(self));
}

Ref SymDict::use_value_spec(PyObject *self, PyObject *value_spec, bool allow_partial)
{
    return binding::use_value_spec(self, fields(self), value_spec, allow_partial, KIND);
}

Ref SymDict::build_wrap_node(PyObject *cls, PyObject *value, PyObject *value_spec, bool allow_partial,
                             PyObject *root_path, PyObject *parent)
{
    Ref node = new_blank(cls);
    if (!node) {
        return error;
    }
    Maybe<Ref> origin = bridge::default_origin();
    if (!origin) {
        return error;
    }
    DictFields &f = fields(node.get());
    container::init_wrap_node(f, root_path, allow_partial, value_spec, std::move(*origin));
    if (PyDict_Update(node.get(), value) < 0) {
        return error;
    }
    Ref items = Ref::steal(PyDict_Items(node.get()));
    if (!items) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject *key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject *member = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        if (typing::funnel::is_scalar_value(member)) {
            continue;
        }
        Ref adopted = _relocate_if_symbolic(node.get(), key, member, nullptr);
        if (!adopted || (adopted.get() != member && PyDict_SetItem(node.get(), key, adopted.get()) < 0)) {
            return error;
        }
    }
    if (parent != nullptr) {
        topology::store_parent(f, parent);
    }
    return node;
}

Ref SymDict::new_blank(PyObject *cls)
{
    return container::new_blank(cls, check, "SymDict");
}

Ref SymDict::build_object_attrs(PyObject *normalized, PyObject *value_spec, bool allow_partial, bool sealed,
                                bool sym_mode, PyObject *root_path, bool verbatim, PyObject *owner)
{
    Ref inst = new_blank(object::bridge::get().dict_cls);
    if (!inst) {
        return error;
    }
    const ConstructOptions options{
        .onchange_callback = nullptr,
        .root_path = root_path,
        .owner = owner,
        .mode = verbatim ? ConstructMode::Verbatim : ConstructMode::PassThrough,
        .allow_partial = allow_partial,
        .sealed = sealed,
        .accessor_writable = true,
        .as_object_attributes_container = true,
        .wrap = true,
        .sym_mode = sym_mode,
    };
    if (failed(construct_into(inst.get(), normalized, value_spec, options))) {
        return error;
    }
    return inst;
}

namespace dict_faces {

int init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return guard_int([&] { return init_members(self, args, kwargs); });
}

}  // namespace dict_faces

}  // namespace norv::symbolic
