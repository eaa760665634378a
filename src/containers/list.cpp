// The SymList class: layout, the blank instance, the collector's slots and
// the node-state properties.
#include "containers/list.hpp"

#include "core/boundary.hpp"
#include "core/registry.hpp"
#include "containers/list_faces.hpp"
#include "containers/container_topology.hpp"
#include "typing/value_specs/containers.hpp"

namespace norv::symbolic {

namespace {

TypeCell TYPE;

using Lifecycle = container::Slots<ContainerFields, SymList::fields, &PyList_Type>;
using Topology = topology::Faces<SymList::fields, SymList::_update_children_paths, SymList::sym_seal>;
using Binding = binding::Faces<SymList::fields, SymList::KIND>;

// ---- properties -----------------------------------------------------------------------------

using Props = container::Properties<SymList::fields>;

auto GETSET = table(Props::node_getset(), container::own_properties<Props>(),
                    std::array{
                        PyGetSetDef{"value_spec", Props::get_ref, nullptr, nullptr,
                                    container::closure(&container::VALUE_SPEC)},
                        PyGetSetDef{"max_size", shim_getter<list_faces::max_size>, nullptr,
                                    "The max size of the bound spec's element key, or None.", nullptr},
                    });

// ---- methods --------------------------------------------------------------------------------

auto METHODS = table(
    std::array{
        method<list_faces::relocate_if_symbolic>(
            "_relocate_if_symbolic",
            "_relocate_if_symbolic($self, idx, value, seen=None)\n--\n\n"
            "Adopt `value` as the element at `idx`; return what to store."),
        method<list_faces::sym_getattr>("_sym_getattr",
                                        "_sym_getattr($self, key)\n--\n\n"
                                        "The element at index `key`, as stored."),
        method<list_faces::sym_hasattr>("sym_hasattr",
                                        "sym_hasattr($self, key)\n--\n\n"
                                        "Whether `key` is an int indexing an element."),
        method_noargs<list_faces::sym_keys>("sym_keys",
                                            "sym_keys($self)\n--\n\n"
                                            "An iterator over the indices of the elements."),
        method_noargs<list_faces::sym_values>("sym_values",
                                              "sym_values($self)\n--\n\n"
                                              "An iterator over a snapshot of the elements as stored."),
        method_noargs<list_faces::sym_items>(
            "sym_items",
            "sym_items($self)\n--\n\n"
            "An iterator over a snapshot of (index, element) pairs, elements as stored."),
        method<list_faces::sym_attr_field>("sym_attr_field",
                                           "sym_attr_field($self, key)\n--\n\n"
                                           "The bound spec's element field, shared by every index; None "
                                           "when schemaless."),
        method<list_faces::append>("append",
                                   "append($self, value)\n--\n\n"
                                   "Append `value`, validated and adopted."),
        method<list_faces::insert>("insert",
                                   "insert($self, index, value)\n--\n\n"
                                   "Insert `value` before `index`, validated and adopted."),
        method<list_faces::extend>("extend",
                                   "extend($self, other)\n--\n\n"
                                   "Append every element of `other` (a symbolic list's as stored); one "
                                   "notification."),
        method<list_faces::pop>("pop",
                                "pop($self, index=-1)\n--\n\n"
                                "Remove the element at `index` and return it, inferred when it is "
                                "inferential."),
        method<list_faces::remove>("remove",
                                   "remove($self, value)\n--\n\n"
                                   "Remove the first element equal to `value`."),
        method_noargs<list_faces::clear>("clear",
                                         "clear($self)\n--\n\n"
                                         "Remove every element; nothing is reported."),
        method<list_faces::sort>("sort",
                                 "sort($self, *, key=None, reverse=False)\n--\n\n"
                                 "Sort the elements in place; nothing is reported."),
        method_noargs<list_faces::reverse>("reverse",
                                           "reverse($self)\n--\n\n"
                                           "Reverse the elements in place; nothing is reported."),
        method_noargs<list_faces::copy>("copy",
                                        "copy($self)\n--\n\n"
                                        "A new list of the class holding the elements, bound to the same "
                                        "spec."),
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
                       PyType_Slot{Py_mp_subscript, reinterpret_cast<void *>(list_faces::subscript)},
                       PyType_Slot{Py_mp_ass_subscript, reinterpret_cast<void *>(list_faces::ass_subscript)},
                       PyType_Slot{Py_tp_iter, reinterpret_cast<void *>(list_faces::iter)},
                       PyType_Slot{Py_nb_add, reinterpret_cast<void *>(list_faces::add)},
                       PyType_Slot{Py_nb_multiply, reinterpret_cast<void *>(list_faces::multiply)},
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
