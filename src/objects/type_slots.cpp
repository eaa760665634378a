#include "objects/type_slots.hpp"

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "kernel/slots.hpp"
#include "objects/construct.hpp"
#include "objects/record_object.hpp"
#include "objects/sym_object.hpp"

namespace norv::symbolic::object::tp_slots {

namespace {

// A miss of the field dict (or a blank object) is the generic body's.
Ref object_getattro_fast_body(PyObject *obj, PyObject *name)
{
    Maybe<Ref> field = SymObject::try_sym_field(obj, name);
    if (!field) {
        return error;
    }
    return *field ? std::move(*field) : object_getattro_body(obj, name);
}

// A Record field's descriptor is read by its body directly; every other
// name takes the generic read. The descriptor may have been copied onto a
// class it does not belong to: its cell is this instance's only when the
// descriptor's own type check would pass.
Ref record_getattro_body(PyObject *obj, PyObject *name)
{
    PyObject *found = _PyType_Lookup(Py_TYPE(obj), name);
    if (found != nullptr && Py_IS_TYPE(found, &PyGetSetDescr_Type) &&
        PyObject_TypeCheck(obj, PyDescr_TYPE(found))) {
        PyGetSetDef *def = reinterpret_cast<PyGetSetDescrObject *>(found)->d_getset;
        if (const kernel::slots::FieldMeta *meta = kernel::slots::field_meta_of(*def)) {
            return kernel::slots::field_get_body(obj, *meta);
        }
    }
    return object_getattro_body(obj, name);
}

int native_record_tp_init(PyObject *obj, PyObject *args, PyObject *kwargs)
{
    return init_trampoline<record_tp_init_body>(obj, args, kwargs);
}

PyObject *native_record_tp_getattro(PyObject *obj, PyObject *name)
{
    return getattro_trampoline<record_getattro_body>(obj, name);
}

int native_object_tp_init(PyObject *obj, PyObject *args, PyObject *kwargs)
{
    return init_trampoline<object_tp_init_body>(obj, args, kwargs);
}

PyObject *native_object_tp_getattro(PyObject *obj, PyObject *name)
{
    return getattro_trampoline<object_getattro_body>(obj, name);
}

PyObject *native_object_tp_getattro_fast(PyObject *obj, PyObject *name)
{
    return getattro_trampoline<object_getattro_fast_body>(obj, name);
}

// `cls`, a class whose slots may be written. A class of the interpreter's
// or of this module (immutable) is refused: its slots are shared by every
// user of the type, and a class made afterwards would inherit what was
// written.
PyTypeObject *slot_target(const Signature &sig, FastArgs a)
{
    Bound b;
    if (failed(sig.bind(a, b))) {
        return nullptr;
    }
    PyTypeObject *cls = type_arg("cls", b[0]);
    if (cls != nullptr && PyType_HasFeature(cls, Py_TPFLAGS_IMMUTABLETYPE)) {
        (void)raise_format(PyExc_TypeError, "cannot install a native slot into immutable type '%s'",
                           cls->tp_name);
        return nullptr;
    }
    return cls;
}

// `cls` for a probe: any class.
PyTypeObject *probed(const Signature &sig, FastArgs a)
{
    Bound b;
    return failed(sig.bind(a, b)) ? nullptr : type_arg("cls", b[0]);
}

const Signature INSTALL_INIT_SIG{"_install_native_tp_init", {arg("cls")}};
const Signature INSTALL_RECORD_INIT_SIG{"_install_native_record_tp_init", {arg("cls")}};
const Signature INSTALL_RECORD_GETATTRO_SIG{"_install_native_record_tp_getattro", {arg("cls")}};
const Signature INSTALL_GETATTRO_SIG{"_install_native_tp_getattro", {arg("cls")}};
const Signature INSTALL_FAST_SIG{"_install_native_tp_getattro_fast", {arg("cls")}};
const Signature ROUNDTRIP_SIG{"_kernel_roundtrip_tp_init", {arg("cls")}};
const Signature IS_NATIVE_SIG{"_kernel_tp_getattro_is_native", {arg("cls")}};
const Signature IS_FAST_SIG{"_kernel_tp_getattro_is_fast", {arg("cls")}};

// The interpreter's caches for the type and its subclasses must forget the
// lookup they specialised on.
Ref write_getattro(PyTypeObject *cls, getattrofunc slot)
{
    cls->tp_getattro = slot;
    PyType_Modified(cls);
    return none();
}

Ref install_tp_init(PyObject *, FastArgs a)
{
    PyTypeObject *cls = slot_target(INSTALL_INIT_SIG, a);
    if (cls == nullptr) {
        return error;
    }
    cls->tp_init = native_object_tp_init;
    return none();
}

Ref install_record_tp_init(PyObject *, FastArgs a)
{
    PyTypeObject *cls = slot_target(INSTALL_RECORD_INIT_SIG, a);
    if (cls == nullptr) {
        return error;
    }
    cls->tp_init = native_record_tp_init;
    return none();
}

Ref install_record_tp_getattro(PyObject *, FastArgs a)
{
    PyTypeObject *cls = slot_target(INSTALL_RECORD_GETATTRO_SIG, a);
    return cls != nullptr ? write_getattro(cls, native_record_tp_getattro) : Ref();
}

Ref install_tp_getattro(PyObject *, FastArgs a)
{
    PyTypeObject *cls = slot_target(INSTALL_GETATTRO_SIG, a);
    return cls != nullptr ? write_getattro(cls, native_object_tp_getattro) : Ref();
}

// The fast read takes every instance for a SymObject: a class whose
// instances are not is refused.
Ref install_tp_getattro_fast(PyObject *, FastArgs a)
{
    PyTypeObject *cls = slot_target(INSTALL_FAST_SIG, a);
    if (cls == nullptr) {
        return error;
    }
    if (!PyType_IsSubtype(cls, SymObject::type())) {
        return raise_format(PyExc_TypeError,
                            "cannot install the native field read into '%s', which is not a "
                            "subclass of 'SymObject'",
                            cls->tp_name);
    }
    return write_getattro(cls, native_object_tp_getattro_fast);
}

Ref roundtrip_tp_init(PyObject *, FastArgs a)
{
    PyTypeObject *cls = probed(ROUNDTRIP_SIG, a);
    return cls != nullptr ? new_bool(cls->tp_init != nullptr) : Ref();
}

Ref tp_getattro_is_native(PyObject *, FastArgs a)
{
    PyTypeObject *cls = probed(IS_NATIVE_SIG, a);
    return cls != nullptr ? new_bool(cls->tp_getattro == native_object_tp_getattro ||
                                     cls->tp_getattro == native_object_tp_getattro_fast)
                          : Ref();
}

Ref tp_getattro_is_fast(PyObject *, FastArgs a)
{
    PyTypeObject *cls = probed(IS_FAST_SIG, a);
    return cls != nullptr ? new_bool(cls->tp_getattro == native_object_tp_getattro_fast) : Ref();
}

// Whether the class of `obj` reads attributes symbolically.
Maybe<bool> attr_read_on(PyObject *obj)
{
    Ref options = attr<"__sym_options__">(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    return options ? truth_attr<"attr_read">(options.get()) : Maybe<bool>(error);
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef INSTALL_TP_INIT_DEF =
    method<install_tp_init>("_install_native_tp_init",
                            "_install_native_tp_init($module, /, cls)\n--\n\n"
                            "Make calling `cls` run the native construction; `cls.__init__` stays as it is.");
PyMethodDef INSTALL_RECORD_TP_INIT_DEF =
    method<install_record_tp_init>("_install_native_record_tp_init",
                                   "_install_native_record_tp_init($module, /, cls)\n--\n\n"
                                   "Make calling the record class `cls` run the native record construction.");
PyMethodDef INSTALL_RECORD_TP_GETATTRO_DEF = method<install_record_tp_getattro>(
    "_install_native_record_tp_getattro",
    "_install_native_record_tp_getattro($module, /, cls)\n--\n\n"
    "Read the record class's fields by their cells and other attributes natively.");
PyMethodDef INSTALL_TP_GETATTRO_DEF = method<install_tp_getattro>(
    "_install_native_tp_getattro",
    "_install_native_tp_getattro($module, /, cls)\n--\n\n"
    "Read the attributes of `cls`'s instances natively, inferred attributes included.");
PyMethodDef INSTALL_TP_GETATTRO_FAST_DEF = method<install_tp_getattro_fast>(
    "_install_native_tp_getattro_fast",
    "_install_native_tp_getattro_fast($module, /, cls)\n--\n\n"
    "As _install_native_tp_getattro, a stored field read from the field dict first.");
PyMethodDef ROUNDTRIP_TP_INIT_DEF =
    method<roundtrip_tp_init>("_kernel_roundtrip_tp_init",
                              "_kernel_roundtrip_tp_init($module, /, cls)\n--\n\n"
                              "Whether `cls` has a tp_init slot.");
PyMethodDef TP_GETATTRO_IS_NATIVE_DEF =
    method<tp_getattro_is_native>("_kernel_tp_getattro_is_native",
                                  "_kernel_tp_getattro_is_native($module, /, cls)\n--\n\n"
                                  "Whether `cls` reads attributes through a native object tp_getattro.");
PyMethodDef TP_GETATTRO_IS_FAST_DEF =
    method<tp_getattro_is_fast>("_kernel_tp_getattro_is_fast",
                                "_kernel_tp_getattro_is_fast($module, /, cls)\n--\n\n"
                                "Whether `cls` reads attributes through the native field read.");

Ref object_getattro_body(PyObject *obj, PyObject *name)
{
    if (PyObject *found = PyObject_GenericGetAttr(obj, name)) {
        return Ref::steal(found);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return error;
    }
    Ref missed = Ref::steal(PyErr_GetRaisedException());
    // Asking the object re-enters this slot with no Python frame between
    // (an object without `sym_hasattr` asks for it again): each level of
    // the fallback counts as a call.
    RecursionGuard depth(" while reading an inferred attribute");
    if (depth.failed()) {
        return error;
    }
    Maybe<bool> inferred = attr_read_on(obj);
    if (inferred && *inferred) {
        Ref has = call_method(obj, interned<"sym_hasattr">(), name);
        inferred = has ? truth(has.get()) : Maybe<bool>(error);
    }
    if (!inferred) {
        return error;
    }
    if (!*inferred) {
        PyErr_SetRaisedException(missed.release());
        return error;
    }
    return call_method(obj, interned<"sym_inferred">(), name);
}

}  // namespace norv::symbolic::object::tp_slots
