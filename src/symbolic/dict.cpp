// The SymDict class: layout, the blank instance, the collector's slots, the
// node-state properties and the relocation seam.
#include "symbolic/dict.hpp"

#include <new>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/registry.hpp"
#include "symbolic/adopt.hpp"
#include "symbolic/dict_faces.hpp"

namespace norv::symbolic {

namespace {

TypeCell TYPE;

ContainerFields &container_of(PyObject *self) noexcept
{
    return SymDict::fields(self);
}

// ---- lifecycle ------------------------------------------------------------------------------

// Arguments are ignored: an empty dict of `cls` with blank native fields.
PyObject *symdict_new(PyTypeObject *cls, PyObject *, PyObject *)
{
    return guard([&]() -> Ref {
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) {
            return error;
        }
        Ref self = Ref::steal(PyDict_Type.tp_new(cls, no_args.get(), nullptr));
        if (!self) {
            return error;
        }
        // The allocator zeroed the fields and tracked the object; nothing
        // ran in between, and zeroed fields read as holding nothing.
        new (&SymDict::fields(self.get())) DictFields();
        return self;
    });
}

void symdict_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    PyTypeObject *tp = Py_TYPE(self);
    // Trees nest: release a long chain of dicts without one C frame per level.
    Py_TRASHCAN_BEGIN(self, symdict_dealloc)
    {
        SymDict::fields(self).~DictFields();
        PyDict_Type.tp_dealloc(self);
        Py_DECREF(tp);
    }
    Py_TRASHCAN_END
}

// The instance's type first: `dict`'s traverse does not visit it, and a host
// subclass's traverse leaves that to its nearest heap-type base, this one.
int symdict_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    if (const int rc = PyDict_Type.tp_traverse(self, visit, arg)) {
        return rc;
    }
    return container::traverse_fields(SymDict::fields(self), visit, arg);
}

int symdict_clear(PyObject *self)
{
    return guard_int([&] {
        if (PyDict_Type.tp_clear(self) != 0) {
            return -1;
        }
        return container::clear_fields(SymDict::fields(self));
    });
}

// ---- properties -----------------------------------------------------------------------------

using Props = container::Properties<container_of>;
using container::closure;

inline constexpr container::BoolField AS_OBJECT_ATTRIBUTES_CONTAINER{
    [](ContainerFields &f) -> bool & { return static_cast<DictFields &>(f).as_object_attributes_container; }};

PyGetSetDef GETSET[] = {
    {"_sym_parent", Props::get_ref, Props::set_ref, nullptr, closure(&container::PARENT)},
    {"sym_parent", Props::get_ref, nullptr, nullptr, closure(&container::PARENT)},
    {"_sym_path", Props::get_ref, Props::set_ref, nullptr, closure(&container::PATH)},
    {"sym_path", Props::get_ref, nullptr, nullptr, closure(&container::PATH)},
    {"_sym_origin", Props::get_ref, Props::set_ref, nullptr, closure(&container::ORIGIN)},
    {"_sealed", Props::get_bool, Props::set_bool, nullptr, closure(&container::SEALED)},
    {"_allow_partial", Props::get_bool, Props::set_bool, nullptr, closure(&container::ALLOW_PARTIAL)},
    {"_accessor_writable", Props::get_bool, Props::set_bool, nullptr, closure(&container::ACCESSOR_WRITABLE)},
    {"_value_spec", Props::get_ref, Props::set_ref, nullptr, closure(&container::VALUE_SPEC)},
    {"_onchange_callback", Props::get_ref, Props::set_ref, nullptr, closure(&container::ONCHANGE_CALLBACK)},
    {"_wrap", Props::get_bool, Props::set_bool, nullptr, closure(&container::WRAP)},
    {"_as_object_attributes_container", Props::get_bool, Props::set_bool, nullptr,
     closure(&AS_OBJECT_ATTRIBUTES_CONTAINER)},
    {"sym_mode", Props::get_bool, nullptr, nullptr, closure(&container::SYM_MODE)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- relocation -------------------------------------------------------------------------------

const Signature RELOCATE_SIG{
    "_relocate_if_symbolic", {arg("key"), arg("value"), opt("seen")}, {.method = true}};

Ref relocate_if_symbolic(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(RELOCATE_SIG.bind(a, b))) {
        return error;
    }
    Maybe<PyObject *> seen = container::seen_arg(b[2]);
    if (!seen) {
        return error;
    }
    return SymDict::_relocate_if_symbolic(self, b[0], b[1], *seen);
}

PyMethodDef METHODS[] = {
    method<dict_faces::use_value_spec>(
        "use_value_spec",
        "use_value_spec($self, value_spec, allow_partial=False)\n--\n\n"
        "Bind a Dict spec to the dict and validate the members with it (None unbinds)."),
    method<dict_faces::custom_apply>(
        "custom_apply",
        "custom_apply($self, path, value_spec, allow_partial, child_transform=None)\n"
        "--\n\n"
        "Take a spec applied to the dict: answers (proceed_with_standard_apply, dict)."),
    method_noargs<dict_faces::clone_if_primitive>(
        "_clone_if_primitive",
        "_clone_if_primitive($self)\n--\n\n"
        "A clone in one pass when every member is primitive and no schema is bound, else None."),
    method<dict_faces::set_item_without_permission_check>(
        "_set_item_without_permission_check",
        "_set_item_without_permission_check($self, key, value)\n--\n\n"
        "Write a member without the permission checks; the change record, or None when nothing changed."),
    method<dict_faces::formalized_value>("_formalized_value",
                                         "_formalized_value($self, name, field, value, seen=None)\n--\n\n"
                                         "The member the dict would store for `value` under `name`."),
    method_noargs<dict_faces::sym_items>(
        "sym_items",
        "sym_items($self)\n--\n\n"
        "An iterator over (key, member) pairs, members as stored, in schema order."),
    method<relocate_if_symbolic>("_relocate_if_symbolic",
                                 "_relocate_if_symbolic($self, key, value, seen=None)\n--\n\n"
                                 "Adopt `value` as the child stored under `key`; return what to store."),
    method<dict_faces::sym_setparent>(
        "sym_setparent",
        "sym_setparent($self, parent)\n--\n\n"
        "Set the parent; an attributes container passes it on to its children."),
    method<dict_faces::sym_setpath>("sym_setpath",
                                    "sym_setpath($self, path)\n--\n\n"
                                    "Set the path and re-path every child in the tree."),
    method<dict_faces::update_children_paths>("_update_children_paths",
                                              "_update_children_paths($self, _old_path, new_path)\n--\n\n"
                                              "Give every child in the tree its path under `new_path`."),
    method_noargs<dict_faces::sym_parent_for_children>("_sym_parent_for_children",
                                                       "_sym_parent_for_children($self)\n--\n\n"
                                                       "The parent the dict's adopted children receive."),
    method<dict_faces::sym_seal>("sym_seal",
                                 "sym_seal($self, is_seal=True)\n--\n\n"
                                 "Seal (or unseal) the symbolic children, then the dict."),
    method<dict_faces::sym_setorigin>(
        "sym_setorigin",
        "sym_setorigin($self, source, tag, stacktrace=None, stacklimit=None, stacktop=...)\n--\n\n"
        "Record the origin of the dict."),
    method<dict_faces::set_accessor_writable>("set_accessor_writable",
                                              "set_accessor_writable($self, writable=True)\n--\n\n"
                                              "Allow or refuse writes by item and attribute assignment."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("SymDict(*_args, **_kwargs)\n--\n\n"
                                   "The native base of the host's symbolic dict class.")},
    {Py_tp_new, reinterpret_cast<void *>(symdict_new)},
    {Py_tp_init, reinterpret_cast<void *>(dict_faces::init)},
    {Py_mp_ass_subscript, reinterpret_cast<void *>(dict_faces::ass_subscript)},
    {Py_tp_dealloc, reinterpret_cast<void *>(symdict_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(symdict_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(symdict_clear)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.SymDict",
    .basicsize = sizeof(SymDictObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

}  // namespace

PyTypeObject *SymDict::type()
{
    return TYPE.get(&SPEC, reinterpret_cast<PyObject *>(&PyDict_Type));
}

bool SymDict::check(PyObject *o) noexcept
{
    PyTypeObject *tp = TYPE.peek();
    return tp != nullptr && PyObject_TypeCheck(o, tp);
}

Ref SymDict::path_arg(PyObject *self)
{
    return container::path_arg(fields(self));
}

Ref SymDict::_relocate_if_symbolic(PyObject *self, PyObject *key, PyObject *value, PyObject *seen)
{
    bool enabled;
    Ref parent_path;
    {
        DictFields &f = fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        enabled = f.sym_mode;
        parent_path = or_none(f.node.path);
    }
    Ref parent = _sym_parent_for_children(self);
    return adopt::relocate_if_symbolic(key, value, enabled, parent_path.get(), self, parent.get(), seen);
}

}  // namespace norv::symbolic
