// The SymObject class: layout, the blank instance, the collector's slots, the
// node-state properties and the field-dict seams.
#include "objects/sym_object.hpp"

#include <array>
#include <new>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/registry.hpp"
#include "nodes/node_properties.hpp"

namespace norv::symbolic::object {

namespace {

TypeCell TYPE;

// ---- lifecycle --------------------------------------------------------------------------------

// Arguments are ignored: a blank instance of `cls`.
PyObject *symobject_new(PyTypeObject *cls, PyObject *, PyObject *)
{
    return guard([&]() -> Ref {
        Ref self = Ref::steal(cls->tp_alloc(cls, 0));
        if (!self) {
            return error;
        }
        // The allocator zeroed the fields; zeroed fields hold nothing.
        new (&SymObject::fields(self.get())) ObjectFields();
        return self;
    });
}

// The field dict, then parent, path and origin.
void release_fields(PyObject *self) noexcept
{
    ObjectFields &f = SymObject::fields(self);
    f.sym_dict.reset();
    f.node.parent.reset();
    f.node.path.reset();
    f.node.origin.reset();
    f.~ObjectFields();
}

// The instance's type first: a host subclass's traverse leaves that visit
// to its nearest heap-type base, this one.
int symobject_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    const ObjectFields &f = SymObject::fields(self);
    if (f.borrow.is_exclusive()) {
        return 0;
    }
    Py_VISIT(f.sym_dict.get());
    return f.node.traverse(visit, arg);
}

int symobject_clear(PyObject *self)
{
    return guard_int([&]() -> Status {
        ObjectFields &f = SymObject::fields(self);
        // Released once the access has ended: a finalizer may read this object.
        SymNode::Released released;
        ExclusiveBorrow hold(f.borrow);
        if (hold.failed()) {
            return error;
        }
        released.add(std::move(f.sym_dict));
        SymNode::clear_refs(f.node, released);
        return Status::ok;
    });
}

// ---- node-state properties --------------------------------------------------------------------
// Getters pass the blank-object guard first.

Status blank_guard(PyObject *self)
{
    return SymObject::node_read_guard(self, OnConflict::Raise);
}

using Props = node_properties::Properties<ObjectFields, SymObject::fields, blank_guard>;

auto GETSET =
    table(Props::node_getset(),
          std::array{
              PyGetSetDef{"_sym_attributes", shim_getter<faces::_sym_attributes>, nullptr,
                          "A new symbolic dict view of the fields, its parent the object.", nullptr},
          });

// ---- methods and seams ------------------------------------------------------------------------

Ref node_read_guard(PyObject *self)
{
    if (failed(SymObject::node_read_guard(self, OnConflict::Raise))) {
        return error;
    }
    return none();
}

Ref field_dict(PyObject *self)
{
    ObjectFields &f = SymObject::fields(self);
    SharedBorrow hold(f.borrow);
    if (hold.failed()) {
        return error;
    }
    return none_if_null(f.sym_dict);
}

const Signature PROBE_INLINE_SIG{"_probe_object_is_inline", {arg("obj")}};
const Signature INLINE_FIELDS_SIG{"_native_object_inline_fields", {arg("obj")}};

Ref probe_object_is_inline(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(PROBE_INLINE_SIG.bind(a, b))) {
        return error;
    }
    if (!SymObject::check(b[0])) {
        (void)raise_not_instance(b[0], "SymObject");
        wrap_argument_error("obj");
        return error;
    }
    return new_bool(bool(SymObject::inline_storage(b[0])));
}

// A decline seam: None for a blank object and for anything not a SymObject.
Ref native_object_inline_fields(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(INLINE_FIELDS_SIG.bind(a, b))) {
        return error;
    }
    Ref d = SymObject::check(b[0]) ? SymObject::inline_storage(b[0]) : Ref();
    return d ? std::move(d) : none();
}

PyMethodDef METHODS[] = {
    method_noargs<node_read_guard>(
        "node_read_guard",
        "node_read_guard($self)\n--\n\n"
        "Refuse to read the node state of an object whose construction never ran."),
    method_noargs<field_dict>("field_dict",
                              "field_dict($self)\n--\n\n"
                              "The live field dict, or None for an object whose construction never ran."),
    method<faces::_sym_field>("_sym_field",
                              "_sym_field($self, name)\n--\n\n"
                              "The stored value of a field; an Inferential value is inferred."),
    method<faces::sym_setpath>("sym_setpath",
                               "sym_setpath($self, path)\n--\n\n"
                               "Set the path and re-path the symbolic children."),
    method<faces::sym_setparent>("sym_setparent",
                                 "sym_setparent($self, parent)\n--\n\n"
                                 "Set the parent."),
    method<faces::sym_setorigin>(
        "sym_setorigin",
        "sym_setorigin($self, source, tag, stacktrace=None, stacklimit=None, stacktop=-1)\n--\n\n"
        "Record the origin of the object."),
    method<faces::set_accessor_writable>("set_accessor_writable",
                                         "set_accessor_writable($self, writable=True)\n--\n\n"
                                         "Allow or refuse writes through the object's accessors."),
    method<faces::sym_seal>("sym_seal",
                            "sym_seal($self, is_seal=True)\n--\n\n"
                            "Seal (or unseal) the symbolic field values, then the object."),
    method<faces::store_symbolic_field>(
        "store_symbolic_field",
        "store_symbolic_field($self, cls, name, value, field, sym_mode, schema)\n--\n\n"
        "Write a symbolic field: the permission gates, the write and its notification."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("SymObject(*_args, **_kwargs)\n--\n\n"
                                   "The native base of the host's symbolic object classes.")},
    {Py_tp_new, reinterpret_cast<void *>(symobject_new)},
    {Py_tp_init, reinterpret_cast<void *>(construct_slot)},
    {Py_tp_setattro, reinterpret_cast<void *>(setattro_slot)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<release_fields>)},
    {Py_tp_traverse, reinterpret_cast<void *>(symobject_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(symobject_clear)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET.data()},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.SymObject",
    .basicsize = sizeof(SymObjectObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef PROBE_IS_INLINE_DEF = method<probe_object_is_inline>(
    "_probe_object_is_inline",
    "_probe_object_is_inline($module, /, obj)\n--\n\nWhether a SymObject holds its field dict.");
PyMethodDef INLINE_FIELDS_DEF =
    method<native_object_inline_fields>("_native_object_inline_fields",
                                        "_native_object_inline_fields($module, /, obj)\n--\n\n"
                                        "The live field dict of a SymObject; None when there is none.");

PyTypeObject *SymObject::type()
{
    return TYPE.get(&SPEC);
}

bool SymObject::check(PyObject *o) noexcept
{
    PyTypeObject *tp = TYPE.peek();
    return tp != nullptr && PyObject_TypeCheck(o, tp);
}

Status SymObject::node_read_guard(PyObject *obj, OnConflict mode)
{
    ObjectFields &f = fields(obj);
    bool initialised;
    {
        SharedBorrow hold(f.borrow, mode);
        if (hold.failed()) {
            return error;
        }
        initialised = f.sym_dict || f.node.path;
    }
    if (initialised) {
        return Status::ok;
    }
    return blank_object_error(Py_TYPE(obj));
}

}  // namespace norv::symbolic::object
