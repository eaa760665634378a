// The SymList class: layout, the blank instance, the collector's slots and
// the node-state properties.
#include "symbolic/list.hpp"

#include "core/boundary.hpp"
#include "core/registry.hpp"
#include "symbolic/list_faces.hpp"
#include "symbolic/topology.hpp"
#include "typing/value_specs/containers.hpp"

namespace norv::symbolic {

namespace {

TypeCell TYPE;

using Lifecycle = container::Slots<ContainerFields, SymList::fields, &PyList_Type>;
using Topology = topology::Faces<SymList::fields, SymList::_update_children_paths, SymList::sym_seal>;
using Binding = binding::Faces<SymList::fields, SymList::KIND>;

// ---- properties -----------------------------------------------------------------------------

using Props = container::Properties<SymList::fields>;

auto GETSET = table(container::common_properties<Props>(),
                    std::array{
                        PyGetSetDef{"value_spec", Props::get_ref, nullptr, nullptr,
                                    container::closure(&container::VALUE_SPEC)},
                    });

// ---- methods --------------------------------------------------------------------------------

auto METHODS = table(
    std::array{
        method<list_faces::relocate_if_symbolic>(
            "_relocate_if_symbolic",
            "_relocate_if_symbolic($self, idx, value, seen=None)\n--\n\n"
            "Adopt `value` as the element at `idx`; return what to store."),
        method_noargs<list_faces::sym_values>("sym_values",
                                              "sym_values($self)\n--\n\n"
                                              "An iterator over a snapshot of the elements as stored."),
        method<list_faces::sym_setparent>("sym_setparent",
                                          "sym_setparent($self, parent)\n--\n\n"
                                          "Set the parent; the elements keep theirs."),
        method<list_faces::set_item_without_permission_check>(
            "_set_item_without_permission_check",
            "_set_item_without_permission_check($self, key, value)\n--\n\n"
            "Write an element without the permission checks; the change record, or None when nothing "
            "changed."),
        method<list_faces::delete_and_notify>(
            "delete_and_notify",
            "delete_and_notify($self, i)\n--\n\n"
            "Delete the element at `i` and report it, without the permission "
            "checks."),
        method<list_faces::formalized_value>("_formalized_value",
                                             "_formalized_value($self, idx, value, seen=None)\n--\n\n"
                                             "The element the list would store for `value` at `idx`."),
        method_noargs<list_faces::clone_if_primitive>("_clone_if_primitive",
                                                      "_clone_if_primitive($self)\n--\n\n"
                                                      "A clone made in one pass when every element is a "
                                                      "scalar; None otherwise."),
    },
    Binding::methods(), Topology::methods());

auto SLOTS = table(container::common_slots<Lifecycle>("SymList(*_args, **_kwargs)\n--\n\n"
                                                      "The native base of the host's symbolic list class.",
                                                      METHODS.data(), GETSET.data()),
                   std::array{
                       PyType_Slot{Py_tp_init, reinterpret_cast<void *>(list_faces::init)},
                       PyType_Slot{Py_mp_ass_subscript, reinterpret_cast<void *>(list_faces::ass_subscript)},
                   });

// A negative size: the fields go in a data region after the base's layout,
// which this type does not fix.
PyType_Spec SPEC = {
    .name = "norv_core._native.SymList",
    .basicsize = -static_cast<int>(sizeof(ContainerFields)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS.data(),
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
