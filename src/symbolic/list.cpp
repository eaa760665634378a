// The SymList class: layout, the blank instance, the collector's slots and
// the node-state properties.
#include "symbolic/list.hpp"

#include <new>

#include "core/boundary.hpp"
#include "core/registry.hpp"
#include "symbolic/list_faces.hpp"
#include "typing/value_specs/containers.hpp"

namespace norv::symbolic {

namespace {

TypeCell TYPE;

ContainerFields &container_of(PyObject *self) noexcept
{
    return SymList::fields(self);
}

// ---- lifecycle ------------------------------------------------------------------------------

// Arguments are ignored: an empty list of `cls` with blank native fields.
PyObject *symlist_new(PyTypeObject *cls, PyObject *, PyObject *)
{
    return guard([&]() -> Ref {
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) {
            return error;
        }
        Ref self = Ref::steal(PyList_Type.tp_new(cls, no_args.get(), nullptr));
        if (!self) {
            return error;
        }
        // The allocator zeroed the fields and tracked the object; nothing
        // ran in between, and zeroed fields read as holding nothing.
        new (&SymList::fields(self.get())) ContainerFields();
        return self;
    });
}

void symlist_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    PyTypeObject *tp = Py_TYPE(self);
    // Trees nest: release a long chain of lists without one C frame per level.
    Py_TRASHCAN_BEGIN(self, symlist_dealloc)
    {
        SymList::fields(self).~ContainerFields();
        PyList_Type.tp_dealloc(self);
        Py_DECREF(tp);
    }
    Py_TRASHCAN_END
}

// The instance's type first: `list`'s traverse does not visit it, and a host
// subclass's traverse leaves that to its nearest heap-type base, this one.
int symlist_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    if (const int rc = PyList_Type.tp_traverse(self, visit, arg)) {
        return rc;
    }
    return container::traverse_fields(SymList::fields(self), visit, arg);
}

int symlist_clear(PyObject *self)
{
    return guard_int([&] {
        if (PyList_Type.tp_clear(self) != 0) {
            return -1;
        }
        return container::clear_fields(SymList::fields(self));
    });
}

// ---- properties -----------------------------------------------------------------------------

using Props = container::Properties<container_of>;
using container::closure;

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
    {"value_spec", Props::get_ref, nullptr, nullptr, closure(&container::VALUE_SPEC)},
    {"_onchange_callback", Props::get_ref, Props::set_ref, nullptr, closure(&container::ONCHANGE_CALLBACK)},
    {"_wrap", Props::get_bool, Props::set_bool, nullptr, closure(&container::WRAP)},
    {"sym_mode", Props::get_bool, nullptr, nullptr, closure(&container::SYM_MODE)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods --------------------------------------------------------------------------------

PyMethodDef METHODS[] = {
    method<list_faces::relocate_if_symbolic>("_relocate_if_symbolic",
                                             "_relocate_if_symbolic($self, idx, value, seen=None)\n--\n\n"
                                             "Adopt `value` as the element at `idx`; return what to store."),
    method_noargs<list_faces::sym_values>("sym_values",
                                          "sym_values($self)\n--\n\n"
                                          "An iterator over a snapshot of the elements as stored."),
    method<list_faces::sym_setparent>("sym_setparent",
                                      "sym_setparent($self, parent)\n--\n\n"
                                      "Set the parent; the elements keep theirs."),
    method<list_faces::sym_setpath>("sym_setpath",
                                    "sym_setpath($self, path)\n--\n\n"
                                    "Set the path and re-path every element in the tree."),
    method<list_faces::update_children_paths>("_update_children_paths",
                                              "_update_children_paths($self, _old_path, new_path)\n--\n\n"
                                              "Give every element in the tree its path under `new_path`."),
    method<list_faces::sym_seal>("sym_seal",
                                 "sym_seal($self, is_seal=True)\n--\n\n"
                                 "Seal (or unseal) the symbolic elements, then the list."),
    method<list_faces::sym_setorigin>(
        "sym_setorigin",
        "sym_setorigin($self, source, tag, stacktrace=None, stacklimit=None, stacktop=...)\n--\n\n"
        "Record the origin of the list."),
    method<list_faces::set_accessor_writable>("set_accessor_writable",
                                              "set_accessor_writable($self, writable=True)\n--\n\n"
                                              "Allow or refuse writes by item assignment."),
    method<list_faces::use_value_spec>("use_value_spec",
                                       "use_value_spec($self, value_spec, allow_partial=False)\n--\n\n"
                                       "Bind a `List` spec by applying it to the list; None unbinds."),
    method<list_faces::custom_apply>(
        "custom_apply",
        "custom_apply($self, path, value_spec, allow_partial, child_transform=None)\n--\n\n"
        "The list's answer when a value spec is applied to it: (proceed, the list)."),
    method_noargs<list_faces::clone_if_primitive>("_clone_if_primitive",
                                                  "_clone_if_primitive($self)\n--\n\n"
                                                  "A clone made in one pass when every element is a "
                                                  "scalar; None otherwise."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("SymList(*_args, **_kwargs)\n--\n\n"
                                   "The native base of the host's symbolic list class.")},
    {Py_tp_new, reinterpret_cast<void *>(symlist_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(symlist_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(symlist_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(symlist_clear)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

// A negative size: the fields go in a data region after the base's layout,
// which this type does not fix.
PyType_Spec SPEC = {
    .name = "norv_core._native.SymList",
    .basicsize = -static_cast<int>(sizeof(ContainerFields)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

}  // namespace

const binding::Kind SymList::KIND{"List", "list", typing::containers::list_type};

PyTypeObject *SymList::type()
{
    return TYPE.get(&SPEC, reinterpret_cast<PyObject *>(&PyList_Type));
}

bool SymList::check(PyObject *o) noexcept
{
    PyTypeObject *tp = TYPE.peek();
    return tp != nullptr && PyObject_TypeCheck(o, tp);
}

ContainerFields &SymList::fields(PyObject *self) noexcept
{
    return *static_cast<ContainerFields *>(PyObject_GetTypeData(self, TYPE.peek()));
}

}  // namespace norv::symbolic
