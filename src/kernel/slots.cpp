#include "kernel/slots.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "kernel/refs.hpp"
#include "nodes/object_messages.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::kernel::slots {

namespace {

using symbolic::object::blank_object_error;
using symbolic::object::missing_attribute_error;
using symbolic::object::record_inferential_sym_false_err;

// The materialised attribute view, when the root region holds one that is a
// dict (any object can be stored in the role's cell).
PyObject *view_of(PyObject *obj) noexcept
{
    PyObject *view = cell_at(obj, root_region_start() + CELL * node_state::VIEW);
    return view != nullptr && PyDict_Check(view) ? view : nullptr;
}

// The view's entry for the field, if it has one. A failed lookup (a key
// whose own `__eq__` raises) counts as absent.
Maybe<Ref> view_value(PyObject *view, PyObject *name)
{
    Ref held = Ref::borrow(view);  // the lookup may run code that empties the cell
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(held.get(), name, &found) < 0 && failed(discard_ordinary_error())) {
        return error;
    }
    return Ref::steal(found);
}

Error empty_cell_error(PyObject *obj, const FieldMeta &meta)
{
    if (meta.kind == Kind::NonSymbolic) {
        return missing_attribute_error(Py_TYPE(obj), meta.name);
    }
    // A Record with reserved cells is constructed before it is read; a bare
    // kernel Record is not.
    return blank_object_error(Py_TYPE(obj));
}

// An Inferential value of a `sym=True` class: inferred, from the entry the
// object's attribute view holds for the field when it has one.
Ref infer_value(PyObject *obj, const FieldMeta &meta, Ref value)
{
    // Reading the view and `infer` may come back to this read with no
    // Python frame between (a field stored under either name).
    RecursionGuard depth(" while inferring a field value");
    if (depth.failed()) {
        return error;
    }
    PyObject *attrs = nullptr;
    const int has = PyObject_GetOptionalAttr(obj, interned<"_sym_attributes">(), &attrs);
    if (has < 0) {
        return error;
    }
    if (has > 0) {
        Ref view = Ref::steal(attrs);
        if (!PyDict_Check(view.get())) {
            return raise_not_instance(view.get(), "dict");
        }
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(view.get(), meta.name, &found) < 0) {
            return error;
        }
        if (found != nullptr) {
            value = Ref::steal(found);
        }
    }
    return call_method(value.get(), interned<"infer">());
}

// What an unreadable part of the message becomes: `fallback`, for an
// ordinary error of reading it.
Ref text_or(Ref text, const char *fallback)
{
    if (text || failed(discard_ordinary_error())) {
        return text;
    }
    return new_str(fallback);
}

Error refuse_symbolic_delete(PyObject *obj, const FieldMeta &meta)
{
    Ref name = text_or(repr_of(meta.name), "?");
    Ref type_name = name ? text_or(Ref::steal(PyType_GetName(Py_TYPE(obj))), "") : Ref();
    return type_name ? raise_format(PyExc_AttributeError, "property %U of '%U' object has no deleter",
                                    name.get(), type_name.get())
                     : error;
}

Status set_body(PyObject *obj, PyObject *value, const FieldMeta &meta)
{
    PyObject *&cell = cell_at(obj, meta.offset);
    if (value != nullptr) {
        Ref previous = Ref::steal(std::exchange(cell, Py_NewRef(value)));
        return Status::ok;
    }
    if (meta.kind == Kind::NonSymbolic) {
        if (cell == nullptr) {
            return missing_attribute_error(Py_TYPE(obj), meta.name);
        }
        Ref previous = Ref::steal(std::exchange(cell, nullptr));
        return Status::ok;
    }
    // A symbolic field is never deleted; the message is the one a property
    // without a deleter gives, with the field's repr and the class's name.
    return refuse_symbolic_delete(obj, meta);
}

// ---- the bakes ------------------------------------------------------------------------------

template <class F>
void for_each_own_field(PyTypeObject *type, F &&fn)
{
    if (type->tp_getset == nullptr) {
        return;
    }
    for (PyGetSetDef *def = type->tp_getset; def->name != nullptr; ++def) {
        if (FieldMeta *meta = field_meta_of(*def)) {
            fn(*meta);
        }
    }
}

const Signature SYM_MODE_SIG{"_kernel_set_record_sym_mode", {arg("record_type"), arg("sym_mode")}};
const Signature KINDS_SIG{"_kernel_set_record_field_kinds", {arg("record_type"), arg("non_symbolic_names")}};

Ref set_record_sym_mode(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(SYM_MODE_SIG.bind(a, b))) {
        return error;
    }
    PyTypeObject *type = type_arg("record_type", b[0]);
    if (type == nullptr) {
        return error;
    }
    const Maybe<bool> sym_mode = bool_arg("sym_mode", b[1], true, ArgCause::Conversion);
    if (!sym_mode) {
        return error;
    }
    for_each_own_field(type, [&](FieldMeta &meta) { meta.sym_mode = *sym_mode; });
    return none();
}

Ref set_record_field_kinds(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(KINDS_SIG.bind(a, b))) {
        return error;
    }
    PyTypeObject *type = type_arg("record_type", b[0]);
    if (type == nullptr) {
        return error;
    }
    Ref names = convert_arg("non_symbolic_names", [&] { return to_str_list(b[1]); });
    if (!names) {
        return error;
    }
    // Only ever towards NonSymbolic: a field left out keeps its kind.
    for_each_own_field(type, [&](FieldMeta &meta) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
            if (PyUnicode_Compare(meta.name, PyList_GET_ITEM(names.get(), i)) == 0) {
                meta.kind = Kind::NonSymbolic;
                break;
            }
        }
    });
    return none();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef SET_SYM_MODE_DEF =
    method<set_record_sym_mode>("_kernel_set_record_sym_mode",
                                "_kernel_set_record_sym_mode($module, /, record_type, sym_mode)\n--\n\n"
                                "Bake the class's `sym` option into the Record type's own fields.");
PyMethodDef SET_FIELD_KINDS_DEF = method<set_record_field_kinds>(
    "_kernel_set_record_field_kinds",
    "_kernel_set_record_field_kinds($module, /, record_type, non_symbolic_names)\n--\n\n"
    "Mark the named own fields of the Record type non-symbolic.");

Ref field_get_body(PyObject *obj, const FieldMeta &meta)
{
    Ref value;
    if (meta.view) {
        if (PyObject *view = view_of(obj)) {
            Maybe<Ref> found = view_value(view, meta.name);
            if (!found) {
                return error;
            }
            value = std::move(*found);
        }
    }
    if (!value) {
        PyObject *cell = cell_at(obj, meta.offset);
        if (cell == nullptr) {
            if (meta.kind == Kind::Symbolic && meta.topology == Topology::Bare) {
                return none();
            }
            return empty_cell_error(obj, meta);
        }
        value = Ref::borrow(cell);
    }
    // The interpreter's scalar types define no `infer` and cannot be given one.
    if (meta.kind == Kind::NonSymbolic || typing::funnel::is_scalar_value(value.get()) ||
        !refs::is_inferential(value.get())) {
        return value;
    }
    if (!meta.sym_mode) {
        return record_inferential_sym_false_err(reinterpret_cast<PyObject *>(Py_TYPE(obj)), meta.name);
    }
    return infer_value(obj, meta, std::move(value));
}

PyObject *field_getter(PyObject *obj, void *closure)
{
    return guard<Faults::SlotError>(
        [&] { return field_get_body(obj, *static_cast<const FieldMeta *>(closure)); });
}

int slot_setter(PyObject *obj, PyObject *value, void *closure)
{
    return guard_int<int, Faults::SlotError>(
        [&] { return set_body(obj, value, *static_cast<const FieldMeta *>(closure)); });
}

PyObject *weaklist_getter(PyObject *obj, void *)
{
    const Py_ssize_t offset = kernel_type_of(Py_TYPE(obj))->tp_weaklistoffset;
    PyObject *head = cell_at(obj, static_cast<std::size_t>(offset));
    return Py_NewRef(head != nullptr ? head : Py_None);
}

FieldMeta *field_meta_of(const PyGetSetDef &def) noexcept
{
    return def.get == &field_getter ? static_cast<FieldMeta *>(def.closure) : nullptr;
}

}  // namespace norv::kernel::slots
