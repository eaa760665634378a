// The seams between the host's Python paths and SymDict: its side of the
// host's custom typing (spec binding through a spec's `apply`) and the
// one-pass clone of an all-primitive dict.
#include "core/args.hpp"
#include "core/names.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/dict.hpp"
#include "symbolic/dict_faces.hpp"
#include "symbolic/write.hpp"
#include "typing/funnel/field_meta.hpp"
#include "typing/value_specs/classes.hpp"

namespace norv::symbolic {

namespace {

const Signature CUSTOM_APPLY_SIG{
    "custom_apply",
    {arg("path"), arg("value_spec"), arg("allow_partial"), opt("child_transform")},
    {.method = true}};

// An incompatible spec is refused with whatever the host's decoration of the
// message with `path` returns.
Error raise_incompatible(PyObject *bound, PyObject *value_spec, PyObject *path)
{
    Ref text = Ref::steal(PyUnicode_FromFormat(
        "Dict (spec=%R) cannot be assigned to an incompatible field (spec=%R).", bound, value_spec));
    Ref message = text ? write::decorate(text.get(), path) : Ref();
    Ref exc = message ? Ref::steal(PyObject_CallOneArg(PyExc_ValueError, message.get())) : Ref();
    if (exc) {
        PyErr_SetRaisedException(exc.release());
    }
    return error;
}

}  // namespace

namespace dict_faces {

Ref custom_apply(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(CUSTOM_APPLY_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> allow_partial = bool_arg("allow_partial", b[2], false, ArgCause::Conversion);
    if (!allow_partial) {
        return error;
    }
    PyObject *value_spec = b[1];
    DictFields &f = SymDict::fields(self);
    Ref bound;
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        bound = Ref::borrow(f.value_spec.get());
    }
    bool proceed = true;
    if (bound) {
        if (value_spec != Py_None) {
            Ref ok = call_method(value_spec, interned<"is_compatible">(), bound.get());
            if (!ok) {
                return error;
            }
            if (!PyBool_Check(ok.get())) {
                return raise_not_instance(ok.get(), "bool");
            }
            if (ok.get() == Py_False) {
                return raise_incompatible(bound.get(), value_spec, b[0]);
            }
        }
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        proceed = f.node.allow_partial != *allow_partial;
        f.node.allow_partial = *allow_partial;
    }
    else {
        PyTypeObject *dict_spec = typing::classes::dict_type();
        if (dict_spec == nullptr) {
            return error;
        }
        if (PyObject_TypeCheck(value_spec, dict_spec)) {
            Ref displaced = Ref::borrow(value_spec);
            ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
            std::swap(displaced, f.value_spec);
        }
    }
    return Ref::steal(PyTuple_Pack(2, proceed ? Py_True : Py_False, self));
}

Ref clone_if_primitive(PyObject *self)
{
    Maybe<Ref> schema = SymDict::schema_of(self);
    if (!schema) {
        return error;
    }
    if (*schema) {
        return none();
    }
    // A snapshot: the class's `__new__` is host code.
    Ref items = Ref::steal(PyDict_Items(SymDict::storage(self)));
    if (!items) {
        return error;
    }
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!typing::funnel::is_scalar_value(PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1))) {
            return none();
        }
    }
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(self));
    Ref clone = SymDict::new_blank(cls);
    if (!clone) {
        return error;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(items.get(), i);
        if (PyDict_SetItem(clone.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) {
            return error;
        }
    }
    Maybe<Ref> origin = bridge::default_origin();
    if (!origin) {
        return error;
    }
    const bridge::ContainerBridge &br = bridge::get();
    Ref spec, callback;
    bool allow_partial, accessor_writable, sealed, wrap;
    {
        DictFields &f = SymDict::fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        spec = Ref::borrow(f.value_spec.get());
        callback = Ref::borrow(f.onchange_callback.get());
        allow_partial = f.node.allow_partial;
        accessor_writable = f.node.accessor_writable;
        sealed = f.node.sealed;
        wrap = f.wrap;
    }
    DictFields &g = SymDict::fields(clone.get());
    SymNode::Released released;
    ExclusiveBorrow hold(g.borrow, OnConflict::Panic);
    SymNode::reset_for_construct(g.node, Ref::borrow(br.empty_key_path), allow_partial, accessor_writable,
                                 sealed, released);
    std::swap(*origin, g.node.origin);
    std::swap(spec, g.value_spec);
    std::swap(callback, g.onchange_callback);
    released.add(std::move(*origin));
    released.add(std::move(spec));
    released.add(std::move(callback));
    g.wrap = wrap;
    return clone;
}

}  // namespace dict_faces

}  // namespace norv::symbolic
