// Field reads of dict-layout objects: the raising and the declining read, the
// native getter behind the host's field properties, the class's symbolic
// mode they consult for Inferential values, and the transient attribute view.
#include <new>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"
#include "containers/dict.hpp"
#include "nodes/markers.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/ctor_meta.hpp"
#include "objects/field_read.hpp"
#include "objects/sym_object.hpp"

namespace norv::symbolic::object {

namespace {

// The stored value of `name`: an empty Ref when the object is blank (then
// `blank` is set) or holds no such field. A plain dict lookup: no
// `__getitem__` override runs.
Maybe<Ref> stored_value(PyObject *obj, PyObject *name, bool &blank)
{
    Ref dict = SymObject::inline_storage(obj);
    blank = !dict;
    if (blank) {
        return Ref();
    }
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(dict.get(), name, &value) < 0) {
        return error;
    }
    return Ref::steal(value);
}

}  // namespace

// An Inferential value stands for one computed from its place in the tree,
// which only a `sym=True` class has.
Ref SymObject::resolve_stored(PyObject *obj, PyObject *name, Ref value)
{
    const Maybe<bool> inferential = markers::is_inferential(value.get());
    if (!inferential) {
        return error;
    }
    if (!*inferential) {
        return value;
    }
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    const Maybe<bool> sym = SymObject::sym_mode_of(cls);
    if (!sym) {
        return error;
    }
    if (!*sym) {
        return record_inferential_sym_false_err(cls, name);
    }
    // `infer` may read this field again with no Python frame between (a
    // field named `infer` holding the object itself).
    RecursionGuard depth(" while inferring a field value");
    if (depth.failed()) {
        return error;
    }
    return call_method(value.get(), interned<"infer">());
}

namespace {

// ---- SymFieldGetter -------------------------------------------------------------------------

struct GetterObject {
    PyObject_HEAD
    Ref name;
    vectorcallfunc vectorcall;
};

GetterObject *as_getter(PyObject *o) noexcept
{
    return reinterpret_cast<GetterObject *>(o);
}

TypeCell GETTER_TYPE;

const Signature GETTER_NEW_SIG{"SymFieldGetter", {arg("name")}};
const Signature GETTER_CALL_SIG{"__call__", {arg("obj")}, {.method = true}};

Ref read_through(PyObject *getter, PyObject *obj)
{
    if (!SymObject::check(obj)) {
        return raise_not_instance(obj, "SymObject");
    }
    PyObject *name = as_getter(getter)->name.get();
    return SymObject::_sym_field(obj, none_if_null(name));
}

PyObject *getter_call(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames)
{
    return guard([&]() -> Ref {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (nargs == 1 && kwnames == nullptr) [[likely]] {
            return read_through(self, args[0]);
        }
        Bound b;
        if (failed(GETTER_CALL_SIG.bind(FastArgs{args, nargs, kwnames}, b))) {
            return error;
        }
        return read_through(self, b[0]);
    });
}

PyObject *getter_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(GETTER_NEW_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Ref self = Ref::steal(cls->tp_alloc(cls, 0));
        if (!self) {
            return error;
        }
        GetterObject *g = as_getter(self.get());
        new (&g->name) Ref(Ref::borrow(b[0]));
        g->vectorcall = getter_call;
        return self;
    });
}

void release_getter(PyObject *self) noexcept
{
    as_getter(self)->name.~Ref();
}

int getter_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_getter(self)->name.get());
    return 0;
}

int getter_clear(PyObject *self)
{
    // Released after the field reads as empty.
    Ref gone = std::move(as_getter(self)->name);
    return 0;
}

Ref getter_name(PyObject *self)
{
    PyObject *name = as_getter(self)->name.get();
    return Ref::borrow(none_if_null(name));
}

PyGetSetDef GETTER_GETSET[] = {
    {"name", shim_getter<getter_name>, nullptr, "The name of the field the getter reads.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef GETTER_MEMBERS[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(GetterObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot GETTER_SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("SymFieldGetter(name)\n--\n\n"
                                   "Reads the field `name` of a SymObject: the getter of a field property.")},
    {Py_tp_new, reinterpret_cast<void *>(getter_new)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<release_getter>)},
    {Py_tp_traverse, reinterpret_cast<void *>(getter_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(getter_clear)},
    {Py_tp_getset, GETTER_GETSET},
    {Py_tp_members, GETTER_MEMBERS},
    {0, nullptr},
};

PyType_Spec GETTER_SPEC = {
    .name = "norv_core._native.SymFieldGetter",
    .basicsize = sizeof(GetterObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = GETTER_SLOTS,
};

const Signature SYM_FIELD_SIG{"_sym_field", {arg("name")}, {.method = true}};

}  // namespace

PyTypeObject *field_getter_type()
{
    return GETTER_TYPE.get(&GETTER_SPEC);
}

Maybe<bool> SymObject::sym_mode_of(PyObject *cls)
{
    Ref meta = ctor_meta(cls);
    if (!meta) {
        return error;
    }
    MetaRead read(std::move(meta));
    return read->sym;
}

Ref SymObject::_sym_field(PyObject *obj, PyObject *name)
{
    bool blank = false;
    Maybe<Ref> value = stored_value(obj, name, blank);
    if (!value) {
        return error;
    }
    if (!*value) {
        return blank ? raise(PyExc_AttributeError, "_sym_attributes") : raise_key_error(name);
    }
    return resolve_stored(obj, name, std::move(*value));
}

namespace faces {

// A view built anew on every read: the field dict's members taken in as they
// are, under the object's path and flags and its class's fields spec and
// symbolic mode, then given the object as parent.
Ref _sym_attributes(PyObject *self)
{
    Ref fields = SymObject::inline_storage(self);
    if (!fields) {
        return missing_attribute_error(Py_TYPE(self), interned<"_sym_attributes">());
    }
    Ref meta = SymObject::ctor_meta(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    if (!meta) {
        return error;
    }
    Ref sym_fields, path;
    bool sym = false, sealed = false, allow_partial = false;
    {
        MetaRead read(std::move(meta));
        PyObject *spec = read->refs.sym_fields.get();
        sym_fields = Ref::borrow(null_if_none(spec));
        sym = read->sym;
    }
    {
        ObjectFields &f = SymObject::fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        path = Ref::borrow(f.node.path.get());
        sealed = f.node.sealed;
        allow_partial = f.node.allow_partial;
    }
    (void)bridge::get();
    Ref view = SymDict::build_object_attrs(fields.get(), sym_fields.get(), allow_partial, sealed, sym,
                                           path.get(), true, nullptr);
    if (!view || !call_method(view.get(), interned<"sym_setparent">(), self)) {
        return error;
    }
    return view;
}

Ref _sym_field(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(SYM_FIELD_SIG.bind(a, b))) {
        return error;
    }
    return SymObject::_sym_field(self, b[0]);
}

}  // namespace faces

}  // namespace norv::symbolic::object
