// Construction metadata: the class, its gathering from a host class, its
// lookup on the class, and the compiled init fields.
#include "objects/ctor_meta.hpp"

#include <new>
#include <tuple>
#include <utility>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/sym_object.hpp"

namespace norv::symbolic::object {

namespace {

TypeCell TYPE;

struct MetaObject {
    PyObject_HEAD
    BorrowFlag borrow;
    CtorMeta meta;
};

MetaObject *as_meta(PyObject *o) noexcept
{
    return reinterpret_cast<MetaObject *>(o);
}

void release_meta(PyObject *self) noexcept
{
    as_meta(self)->meta.~CtorMeta();
}

// A field record that a native field's cell also holds is visited by that
// field alone: a second visit would count its references twice and free
// live objects. One held here only (a host field's, or one the field's cell
// has since replaced) is visited here. One shared with anything else (another
// class's metadata, a running caller) is left unvisited, which can only keep
// a cycle alive, never free a live object.
int traverse_compiled(const CompiledFields &fields, visitproc visit, void *arg)
{
    for (const CompiledField &c : fields) {
        Py_VISIT(c.key.get());
        Py_VISIT(c.default_value.get());
        if (c.meta && c.meta.use_count() == 1) {
            if (const int rc = c.meta->traverse(visit, arg)) {
                return rc;
            }
        }
    }
    return 0;
}

int meta_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    const MetaObject *m = as_meta(self);
    if (m->borrow.is_exclusive()) {
        return 0;
    }
    const CtorMeta::Refs &r = m->meta.refs;
    for (const Ref *ref :
         {&r.class_schema, &r.sym_fields, &r.fields_schema, &r.init_fields, &r.non_symbolic_fields,
          &r.non_symbolic_names, &r.alias_names, &r.init_names, &r.write_meta}) {
        Py_VISIT(ref->get());
    }
    return r.compiled_fields ? traverse_compiled(*r.compiled_fields, visit, arg) : 0;
}

// Drops every reference; the facts stay, so a reader that meets a collected
// metadata (a finalizer run by the same collection) still reads the class's
// modes.
int meta_clear(PyObject *self)
{
    return guard_int([&]() -> Status {
        MetaObject *m = as_meta(self);
        // Released once the access has ended.
        CtorMeta::Refs gone;
        ExclusiveBorrow hold(m->borrow);
        if (hold.failed()) {
            return error;
        }
        std::swap(gone, m->meta.refs);
        return Status::ok;
    });
}

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("The construction metadata native code keeps on a host object class.")},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<release_meta>)},
    {Py_tp_traverse, reinterpret_cast<void *>(meta_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(meta_clear)},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.ObjectCtorMeta",
    .basicsize = sizeof(MetaObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = SLOTS,
};

// ---- reading the class ------------------------------------------------------------------------

Ref call_one(PyObject *fn, PyObject *arg)
{
    return Ref::steal(PyObject_CallOneArg(fn, arg));
}

// Item `i` of an entry, by subscription with the integer `i`.
Ref entry_item(PyObject *entry, long i)
{
    Ref index = Ref::steal(PyLong_FromLong(i));
    return index ? Ref::steal(PyObject_GetItem(entry, index.get())) : Ref();
}

// An exact str as the interpreter's interned copy: keyword names arrive
// interned, so a lookup by the interned text matches by identity first.
Ref interned_text(Ref text)
{
    PyObject *p = text.release();
    PyUnicode_InternInPlace(&p);
    return Ref::steal(p);
}

// A name of the tables: a str (else the cast TypeError) whose text encodes as
// UTF-8, kept as an exact str of that text.
Ref name_text(PyObject *name)
{
    if (!PyUnicode_Check(name)) {
        return raise_not_instance(name, "str");
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
        return error;
    }
    Ref text =
        PyUnicode_CheckExact(name) ? Ref::borrow(name) : Ref::steal(PyUnicode_FromStringAndSize(utf8, size));
    return text ? interned_text(std::move(text)) : Ref();
}

Status add_name(PyObject *set, PyObject *name)
{
    Ref text = name_text(name);
    return text ? check(PySet_Add(set, text.get())) : Status::error;
}

// The set of item `index` of every entry (index -1: of every item itself).
Ref name_set(PyObject *iterable, long index)
{
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) {
        return error;
    }
    const Status walked = for_each_item(iterable, [&](PyObject *entry) -> Status {
        Ref name = index < 0 ? Ref::borrow(entry) : entry_item(entry, index);
        return name ? add_name(set.get(), name.get()) : Status::error;
    });
    return failed(walked) ? Ref() : std::move(set);
}

// {name: field} for every init field whose name does not start with "_";
// the name is read and converted before the field.
Ref write_meta_of(PyObject *init_fields)
{
    Ref map = Ref::steal(PyDict_New());
    if (!map) {
        return error;
    }
    const Status walked = for_each_item(init_fields, [&](PyObject *entry) -> Status {
        Ref raw = entry_item(entry, 0);
        Ref name = raw ? name_text(raw.get()) : Ref();
        if (!name) {
            return error;
        }
        if (PyUnicode_GET_LENGTH(name.get()) > 0 && PyUnicode_READ_CHAR(name.get(), 0) == '_') {
            return Status::ok;
        }
        Ref field = entry_item(entry, 1);
        return field ? check(PyDict_SetItem(map.get(), name.get(), field.get())) : Status::error;
    });
    return failed(walked) ? Ref() : std::move(map);
}

// Whether `cls.<name>` is, by identity, `expected`.
Maybe<bool> attr_is(PyObject *cls, PyObject *name, PyObject *expected)
{
    Ref got = getattr(cls, name);
    if (!got) {
        return error;
    }
    return got.get() == expected;
}

// Whether `cls.<name>` is SymObject's own method.
Maybe<bool> is_native_method(PyObject *cls, PyObject *name)
{
    PyObject *base = reinterpret_cast<PyObject *>(SymObject::type());
    Ref own = base ? getattr(base, name) : Ref();
    if (!own) {
        return error;
    }
    return attr_is(cls, name, own.get());
}

Maybe<bool> options_bool(PyObject *options, PyObject *name)
{
    Ref v = getattr(options, name);
    if (!v) {
        return error;
    }
    return to_bool(v.get());
}

// ---- the class's own namespace ------------------------------------------------------------------

// `cls.__dict__` is the class's real namespace when the metaclass resolves
// that attribute as `type` does; it is then read in place.
bool plain_namespace(PyObject *cls)
{
    if (!PyType_Check(cls)) {
        return false;
    }
    PyTypeObject *meta = Py_TYPE(cls);
    if (meta == &PyType_Type) {
        return true;
    }
    static PyObject *const type_dict_descr = _PyType_Lookup(&PyType_Type, interned<"__dict__">());
    return meta->tp_getattro == PyType_Type.tp_getattro &&
           _PyType_Lookup(meta, interned<"__dict__">()) == type_dict_descr;
}

// `cls.__dict__[key]` when present; an empty Ref when not.
Maybe<Ref> own_namespace_item(PyObject *cls, PyObject *key)
{
    PyObject *found = nullptr;
    if (plain_namespace(cls)) {
        Ref ns = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(cls)));
        if (!ns || PyDict_GetItemRef(ns.get(), key, &found) < 0) {
            return error;
        }
        return Ref::steal(found);
    }
    Ref ns = attr<"__dict__">(cls);
    if (!ns) {
        return error;
    }
    const Maybe<bool> present = predicate(PySequence_Contains(ns.get(), key));
    if (!present) {
        return error;
    }
    if (!*present) {
        return Ref();
    }
    return some(Ref::steal(PyObject_GetItem(ns.get(), key)));
}

// ---- the container probes -----------------------------------------------------------------------

const Signature CANDIDATE_SIG{"_container_candidate_fields", {arg("cls")}};
const Signature WRAP_SIG{"_container_wrap_fields", {arg("cls")}};

// The names of the init fields whose spec is a native container candidate
// and whose `enable_wrap` truth is `wanted`, judged field by field from a
// fresh metadata that is stored nowhere.
Ref container_spec_fields(PyObject *cls, bool wanted)
{
    Maybe<std::unique_ptr<CtorMeta>> meta = ObjectCtorMeta::build(cls);
    if (!meta) {
        return error;
    }
    Ref names = Ref::steal(PyList_New(0));
    PyObject *init_fields = (*meta)->refs.init_fields.get();
    if (!names || init_fields == Py_None) {
        return names;
    }
    const Status walked = for_each_item(init_fields, [&](PyObject *entry) -> Status {
        Ref field = entry_item(entry, 1);
        Ref spec = field ? attr<"value">(field.get()) : Ref();
        if (!spec) {
            return error;
        }
        const Maybe<bool> wrap = truth_attr<"enable_wrap">(field.get());
        const Maybe<bool> candidate = wrap ? typing::funnel::is_container_candidate(spec.get()) : wrap;
        if (!candidate) {
            return error;
        }
        if (!*candidate || *wrap != wanted) {
            return Status::ok;
        }
        Ref raw = entry_item(entry, 0);
        Ref name = raw ? name_text(raw.get()) : Ref();
        return name ? check(PyList_Append(names.get(), name.get())) : Status::error;
    });
    return failed(walked) ? Ref() : std::move(names);
}

template <const Signature &Sig, bool Wanted>
Ref container_probe(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(Sig.bind(a, b))) {
        return error;
    }
    return container_spec_fields(b[0], Wanted);
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef CONTAINER_CANDIDATE_FIELDS_DEF = method<container_probe<CANDIDATE_SIG, false>>(
    "_container_candidate_fields",
    "_container_candidate_fields($module, /, cls)\n--\n\n"
    "The init fields of `cls` whose container values construction tries to accept as they are.");
PyMethodDef CONTAINER_WRAP_FIELDS_DEF = method<container_probe<WRAP_SIG, true>>(
    "_container_wrap_fields",
    "_container_wrap_fields($module, /, cls)\n--\n\n"
    "The init fields of `cls` whose container values construction tries to wrap.");

PyTypeObject *ObjectCtorMeta::type()
{
    return TYPE.get(&SPEC);
}

bool ObjectCtorMeta::check(PyObject *o) noexcept
{
    PyTypeObject *tp = TYPE.peek();
    return tp != nullptr && Py_IS_TYPE(o, tp);
}

Ref ObjectCtorMeta::wrap(std::unique_ptr<CtorMeta> meta)
{
    PyTypeObject *tp = type();
    MetaObject *o = tp ? PyObject_GC_New(MetaObject, tp) : nullptr;
    if (o == nullptr) {
        return error;
    }
    new (&o->borrow) BorrowFlag();
    new (&o->meta) CtorMeta(std::move(*meta));
    PyObject_GC_Track(o);
    return Ref::steal(reinterpret_cast<PyObject *>(o));
}

Maybe<std::optional<CompiledFields>> ObjectCtorMeta::compile_fields(PyObject *init_fields)
{
    using Answer = std::optional<CompiledFields>;
    Ref it = Ref::steal(PyObject_GetIter(init_fields));
    if (!it) {
        return error;
    }
    CompiledFields out;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        Ref key = entry_item(entry.get(), 0);
        Ref field = key ? entry_item(entry.get(), 1) : Ref();
        Ref spec = field ? attr<"value">(field.get()) : Ref();
        if (!spec) {
            return error;
        }
        Maybe<typing::MetaPtr> meta = [&]() -> Maybe<typing::MetaPtr> {
            if (typing::field::is_field(field.get())) {
                return typing::field::field_meta(field.get());
            }
            Ref key_spec = attr<"key">(field.get());
            Ref text = key_spec ? attr<"const_text">(key_spec.get()) : Ref();
            if (!text) {
                return error;
            }
            return typing::field::build_field_meta(text.get(), field.get(), spec.get());
        }();
        if (!meta) {
            return error;
        }
        const typing::FieldMeta &m = **meta;
        // The container a wrapping field's spec fills; none when it does not wrap.
        std::optional<typing::funnel::FillShape> shape;
        if (m.wrap) {
            Maybe<std::pair<typing::funnel::FillShape, bool>> fill =
                typing::funnel::container_fill_info(spec.get());
            if (!fill) {
                return error;
            }
            shape = fill->first;
        }
        if (!m.accept_any && m.exact.empty() && m.checked.empty() && !shape && m.subclass.empty()) {
            return Answer();
        }
        // An exact str key is kept as its interned copy (equal, so stored
        // and looked up the same way): keyword lookups then match by identity.
        if (PyUnicode_CheckExact(key.get())) {
            key = interned_text(std::move(key));
        }
        CompiledField compiled{std::move(key), std::move(*meta), Ref(), false};
        if (m.has_default) {
            Ref factory = attr<"default_factory">(spec.get());
            if (!factory) {
                return error;
            }
            if (factory.get() != Py_None) {
                return Answer();
            }
            compiled.default_value = attr<"default_value">(field.get());
            if (!compiled.default_value) {
                return error;
            }
            compiled.default_is_container = shape == typing::funnel::FillShape::ListOrDict;
        }
        out.push_back(std::move(compiled));
    }
    if (PyErr_Occurred()) {
        return error;
    }
    return Answer(std::move(out));
}

namespace {

// ---- gathering a class's metadata, step by step, in the order the class is read ----------------

// Which of the host's defaults the class keeps: cooperative init, `sym_missing`,
// the topology methods, the pure-symbolic test.
Status read_host_defaults(PyObject *cls, const bridge::ObjectBridge &br, CtorMeta &m)
{
    Ref needs = call_one(br.needs_cooperative_init, cls);
    Maybe<bool> b = needs ? truth(needs.get()) : Maybe<bool>(error);
    if (!b) {
        return error;
    }
    m.needs_cooperative_init = *b;

    Ref sym_missing = attr<"sym_missing">(cls);
    Ref code = sym_missing ? attr<"__code__">(sym_missing.get()) : Ref();
    if (!code) {
        return error;
    }
    m.sym_missing_default = code.get() == br.default_sym_missing_code;

    b = is_native_method(cls, interned<"sym_setpath">());
    if (b && *b) {
        b = is_native_method(cls, interned<"sym_setparent">());
    }
    if (!b) {
        return error;
    }
    m.topology_methods_native = *b;

    b = attr_is(cls, interned<"sym_puresymbolic">(), br.default_sym_puresymbolic_prop);
    if (b && *b) {
        b = attr_is(cls, interned<"sym_values">(), br.default_sym_values);
    }
    if (!b) {
        return error;
    }
    m.puresymbolic_default = *b;
    return Status::ok;
}

// The options' `sym` and the topology hooks the class overrides.
Status read_topology_facts(PyObject *cls, PyObject *options, const bridge::ObjectBridge &br, CtorMeta &m)
{
    const Maybe<bool> sym = truth_attr<"sym">(options);
    if (!sym) {
        return error;
    }
    m.topo.topo_sym = *sym;

    const std::pair<bool *, std::pair<PyObject *, PyObject *>> hooks[] = {
        {&m.topo.parent_change_overridden,
         {interned<"on_sym_parent_change">(), br.default_on_sym_parent_change}},
        {&m.topo.update_children_paths_overridden,
         {interned<"_update_children_paths">(), br.default_update_children_paths}},
        {&m.topo.path_change_overridden, {interned<"on_sym_path_change">(), br.default_on_sym_path_change}},
    };
    for (const auto &[fact, hook] : hooks) {
        const Maybe<bool> is_default = attr_is(cls, hook.first, hook.second);
        if (!is_default) {
            return error;
        }
        *fact = !*is_default;
    }
    return Status::ok;
}

// The init fields, compiled, with their names and write metadata; the names
// of the non-symbolic fields.
Status read_init_fields(PyObject *cls, CtorMeta &m)
{
    CtorMeta::Refs &r = m.refs;
    r.init_fields = attr<"_sym_init_fields">(cls);
    Ref builder = r.init_fields ? attr<"_sym_attrs_builder">(cls) : Ref();
    if (!builder) {
        return error;
    }
    m.has_attrs_builder = builder.get() != Py_None;

    const bool has_init_fields = r.init_fields.get() != Py_None;
    if (has_init_fields) {
        Maybe<std::optional<CompiledFields>> compiled = ObjectCtorMeta::compile_fields(r.init_fields.get());
        if (!compiled) {
            return error;
        }
        r.compiled_fields = std::move(*compiled);
        r.init_names = name_set(r.init_fields.get(), 0);
        if (!r.init_names) {
            return error;
        }
    }
    r.non_symbolic_names = name_set(r.non_symbolic_fields.get(), 0);
    if (!r.non_symbolic_names) {
        return error;
    }
    if (has_init_fields) {
        r.write_meta = write_meta_of(r.init_fields.get());
        if (!r.write_meta) {
            return error;
        }
    }
    return Status::ok;
}

Status read_schemas(PyObject *cls, CtorMeta::Refs &r)
{
    r.sym_fields = attr<"sym_fields">(cls);
    r.class_schema = r.sym_fields ? attr<"__schema__">(cls) : Ref();
    r.fields_schema = r.class_schema ? attr<"schema">(r.sym_fields.get()) : Ref();
    return r.fields_schema ? Status::ok : Status::error;
}

// The options' `sym`, `attr_write` and `frozen`, each a strict bool.
Status read_options(PyObject *options, CtorMeta &m)
{
    for (auto [fact, name] :
         {std::pair{&m.sym, interned<"sym">()}, std::pair{&m.attr_write, interned<"attr_write">()},
          std::pair{&m.frozen, interned<"frozen">()}}) {
        const Maybe<bool> b = options_bool(options, name);
        if (!b) {
            return error;
        }
        *fact = *b;
    }
    return Status::ok;
}

// How a class flag's truth becomes a fact: as it is, or negated.
enum class FlagReads { AsIs, Negated };

// The flags the host's class creation leaves on the class.
Status read_class_flags(PyObject *cls, CtorMeta &m)
{
    const std::tuple<bool *, PyObject *, FlagReads> flags[] = {
        {&m.post_init_overridden, interned<"_sym_post_init_overridden">(), FlagReads::AsIs},
        {&m.bound_overridden, interned<"_sym_bound_overridden">(), FlagReads::AsIs},
        {&m.ready_not_noop, interned<"_sym_ready_is_noop">(), FlagReads::Negated},
        {&m.preinit_overridden, interned<"_sym_preinit_overridden">(), FlagReads::AsIs},
        {&m.validate_overridden, interned<"_sym_validate_overridden">(), FlagReads::AsIs},
    };
    for (const auto &[fact, name, reads] : flags) {
        Ref v = getattr(cls, name);
        const Maybe<bool> b = v ? truth(v.get()) : Maybe<bool>(error);
        if (!b) {
            return error;
        }
        *fact = reads == FlagReads::Negated ? !*b : *b;
    }
    return Status::ok;
}

// The keyword aliases' names, when the class has alias maps.
Status read_alias_names(PyObject *cls, CtorMeta::Refs &r)
{
    Ref alias_maps = attr<"_sym_alias_maps">(cls);
    if (!alias_maps) {
        return error;
    }
    if (alias_maps.get() != Py_None) {
        Ref aliases = entry_item(alias_maps.get(), 0);
        r.alias_names = aliases ? name_set(aliases.get(), -1) : Ref();
        if (!r.alias_names) {
            return error;
        }
    }
    return Status::ok;
}

Status count_non_symbolic_fields(CtorMeta &m)
{
    const Py_ssize_t count = PyObject_Length(m.refs.non_symbolic_fields.get());
    if (count < 0) {
        return error;
    }
    m.has_non_symbolic_fields = count != 0;
    return Status::ok;
}

}  // namespace

Maybe<std::unique_ptr<CtorMeta>> ObjectCtorMeta::build(PyObject *cls)
{
    auto meta = std::make_unique<CtorMeta>();
    CtorMeta &m = *meta;

    Ref options = attr<"__sym_options__">(cls);
    if (!options) {
        return error;
    }
    m.refs.non_symbolic_fields = attr<"_non_symbolic_fields">(cls);
    if (!m.refs.non_symbolic_fields) {
        return error;
    }
    const bridge::ObjectBridge &br = bridge::get();
    if (failed(read_host_defaults(cls, br, m)) || failed(read_topology_facts(cls, options.get(), br, m)) ||
        failed(read_init_fields(cls, m)) || failed(read_schemas(cls, m.refs)) ||
        failed(read_options(options.get(), m)) || failed(read_class_flags(cls, m)) ||
        failed(read_alias_names(cls, m.refs)) || failed(count_non_symbolic_fields(m))) {
        return error;
    }
    return meta;
}

Ref SymObject::ctor_meta(PyObject *cls)
{
    PyObject *key = interned<"__native_ctor_meta__">();
    Maybe<Ref> found = own_namespace_item(cls, key);
    if (!found) {
        return error;
    }
    if (*found && ObjectCtorMeta::check(found->get())) {
        return std::move(*found);
    }
    found->reset();
    Maybe<std::unique_ptr<CtorMeta>> built = ObjectCtorMeta::build(cls);
    if (!built) {
        return error;
    }
    Ref meta = ObjectCtorMeta::wrap(std::move(*built));
    if (!meta || PyObject_SetAttr(cls, key, meta.get()) < 0) {
        return error;
    }
    return meta;
}

MetaRead::MetaRead(Ref meta)
    : obj_(std::move(meta)),
      hold_(as_meta(obj_.get())->borrow, OnConflict::Panic),
      meta_(&as_meta(obj_.get())->meta)
{
}

}  // namespace norv::symbolic::object
