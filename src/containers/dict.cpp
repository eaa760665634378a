// The SymDict class: layout, the blank instance, the collector's slots, the
// node-state properties and the relocation seam.
#include "containers/dict.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/registry.hpp"
#include "containers/dict_faces.hpp"
#include "containers/container_topology.hpp"
#include "typing/value_specs/classes.hpp"

namespace norv::symbolic {

namespace {

TypeCell TYPE;

ContainerFields &container_of(PyObject *self) noexcept
{
    return SymDict::fields(self);
}

using Lifecycle = container::Slots<DictFields, SymDict::fields, &PyDict_Type>;
using Topology = topology::Faces<container_of, SymDict::_update_children_paths, SymDict::sym_seal>;
using Binding = binding::Faces<container_of, SymDict::KIND>;

// ---- properties -----------------------------------------------------------------------------

using Props = container::Properties<container_of>;

inline constexpr container::FlagRole AS_OBJECT_ATTRIBUTES_CONTAINER{
    [](ContainerFields &f) -> bool & { return static_cast<DictFields &>(f).as_object_attributes_container; }};

auto GETSET = table(Props::node_getset(), container::own_properties<Props>(),
                    std::array{
                        PyGetSetDef{"_as_object_attributes_container", Props::get_flag, Props::set_flag,
                                    nullptr, container::closure(&AS_OBJECT_ATTRIBUTES_CONTAINER)},
                    });

// ---- relocation -------------------------------------------------------------------------------

const Signature RELOCATE_SIG{
    "_relocate_if_symbolic", {arg("key"), arg("value"), opt("seen")}, {.method = true}};

Ref relocate_if_symbolic(PyObject *self, FastArgs a)
{
    return container::relocate_face(self, a, RELOCATE_SIG, SymDict::_relocate_if_symbolic);
}

auto METHODS = table(
    std::array{
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
        method<dict_faces::try_fused_schemaful_construct>(
            "try_fused_schemaful_construct",
            "try_fused_schemaful_construct($self, value_spec, normalized)\n--\n\n"
            "Take an all-scalar input covering an all-constant schema in one pass; False when not of that "
            "shape."),
        method<dict_faces::try_single_pass_schemaful_construct>(
            "try_single_pass_schemaful_construct",
            "try_single_pass_schemaful_construct($self, value_spec, normalized, seen)\n--\n\n"
            "Formalise every field once, given members first; False for a schema with variable keys."),
        method<dict_faces::get>(
            "get",
            "get($self, key, default=None)\n--\n\n"
            "The member stored under `key`, inferred when it is inferential; `default` when absent."),
        method<dict_faces::sym_getattr>("_sym_getattr",
                                        "_sym_getattr($self, key)\n--\n\n"
                                        "The member stored under `key`, as stored."),
        method<dict_faces::sym_hasattr>("sym_hasattr",
                                        "sym_hasattr($self, key)\n--\n\n"
                                        "Whether a member is stored under `key`."),
        method_noargs<dict_faces::sym_keys>("sym_keys",
                                            "sym_keys($self)\n--\n\n"
                                            "An iterator over a snapshot of the keys, in schema order."),
        method_noargs<dict_faces::sym_values>(
            "sym_values",
            "sym_values($self)\n--\n\n"
            "An iterator over a snapshot of the members as stored, in schema order."),
        method_noargs<dict_faces::sym_items>(
            "sym_items",
            "sym_items($self)\n--\n\n"
            "An iterator over a snapshot of (key, member) pairs, members as stored, in schema order."),
        method<relocate_if_symbolic>("_relocate_if_symbolic",
                                     "_relocate_if_symbolic($self, key, value, seen=None)\n--\n\n"
                                     "Adopt `value` as the child stored under `key`; return what to store."),
        method<dict_faces::sym_setparent>(
            "sym_setparent",
            "sym_setparent($self, parent)\n--\n\n"
            "Set the parent; an attributes container passes it on to its children."),
        method_noargs<dict_faces::sym_parent_for_children>("_sym_parent_for_children",
                                                           "_sym_parent_for_children($self)\n--\n\n"
                                                           "The parent the dict's adopted children receive."),
    },
    Binding::methods(), Topology::methods());

auto SLOTS = table(container::common_slots<Lifecycle>("SymDict(*_args, **_kwargs)\n--\n\n"
                                                      "The native base of the host's symbolic dict class.",
                                                      METHODS.data(), GETSET.data()),
                   std::array{
                       PyType_Slot{Py_tp_init, reinterpret_cast<void *>(dict_faces::init)},
                       PyType_Slot{Py_mp_subscript, reinterpret_cast<void *>(dict_faces::subscript)},
                       PyType_Slot{Py_mp_ass_subscript, reinterpret_cast<void *>(dict_faces::ass_subscript)},
                       PyType_Slot{Py_tp_getattro, reinterpret_cast<void *>(dict_faces::getattro)},
                   });

PyType_Spec SPEC = {
    .name = "norv_core._native.SymDict",
    .basicsize = sizeof(SymDictObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS.data(),
};

}  // namespace

const binding::Kind SymDict::KIND{"Dict", "dict", typing::classes::dict_type};

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
    Ref parent = _sym_parent_for_children(self);
    return container::relocate(self, fields(self), parent.get(), key, value, seen);
}

}  // namespace norv::symbolic
