// SymList's spec binding and the seams the host and the other layers build
// lists through: the fused typed construct, the wrap node, the one-pass
// clone and adoption.
#include "core/args.hpp"
#include "core/names.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/list.hpp"
#include "containers/list_faces.hpp"
#include "containers/container_topology.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/containers.hpp"

namespace norv::symbolic {

namespace {

namespace funnel = typing::funnel;

const Signature RELOCATE_SIG{
    "_relocate_if_symbolic", {arg("idx"), arg("value"), opt("seen")}, {.method = true}};

// What the fused construct reads of a `List` spec: its element spec and
// size bounds, when the spec is not frozen and has no transform.
struct TypedList {
    Ref element_spec;
    std::int64_t min_size;
    std::optional<std::int64_t> max_size;
};

Maybe<std::optional<TypedList>> plain_list_spec(PyObject *spec)
{
    PyTypeObject *list_spec = typing::containers::list_type();
    if (list_spec == nullptr) {
        return error;
    }
    if (!PyObject_TypeCheck(spec, list_spec)) {
        return std::optional<TypedList>();
    }
    typing::base::NativeRead read(spec);
    if (read.failed()) {
        return error;
    }
    const typing::SpecEngine &e = read.engine();
    const typing::ListKind *l = e.kind.get<typing::ListKind>();
    if (e.frozen || e.transform || l == nullptr) {
        return std::optional<TypedList>();
    }
    return std::optional<TypedList>(TypedList{Ref::borrow(l->element_spec.get()), l->min_size, l->max_size});
}

}  // namespace

bool SymList::accepts_partial(PyObject *self)
{
    return container::accepts_partial(fields(self));
}

Ref SymList::use_value_spec(PyObject *self, PyObject *value_spec, bool allow_partial)
{
    return binding::use_value_spec(self, fields(self), value_spec, allow_partial, KIND);
}

Maybe<bool> SymList::try_fused_typed_construct(PyObject *self, PyObject *spec, PyObject *elements)
{
    PyObject *list = storage(self);
    // Elements already stored would be bound to the spec unchecked, and the
    // size bounds would count only the new ones: the general route validates
    // the whole list instead.
    if (PyList_GET_SIZE(list) != 0) {
        return false;
    }
    Maybe<std::optional<TypedList>> typed = plain_list_spec(spec);
    if (!typed) {
        return error;
    }
    if (!*typed) {
        return false;
    }
    Maybe<Ref> leaf = funnel::exact_leaf_type((*typed)->element_spec.get());
    if (!leaf) {
        return error;
    }
    if (!*leaf) {
        return false;
    }
    // No code runs from here to the store: the elements are read in place.
    const Py_ssize_t n = PyList_GET_SIZE(elements);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *element = PyList_GET_ITEM(elements, i);
        if (!funnel::is_scalar_value(element) ||
            reinterpret_cast<PyObject *>(Py_TYPE(element)) != leaf->get()) {
            return false;
        }
    }
    if (n < (*typed)->min_size || ((*typed)->max_size && *(*typed)->max_size < n)) {
        return false;
    }
    if (PyList_SetSlice(list, 0, 0, elements) < 0) {
        return error;
    }
    binding::store_spec(fields(self), spec);
    return true;
}

Ref SymList::build_wrap_node(PyObject *cls, PyObject *value, PyObject *value_spec, bool allow_partial,
                             PyObject *root_path, PyObject *parent)
{
    Ref node = container::new_blank(cls, check, "SymList");
    if (!node) {
        return error;
    }
    Maybe<Ref> origin = bridge::default_origin();
    if (!origin) {
        return error;
    }
    ContainerFields &f = fields(node.get());
    container::init_wrap_node(f, root_path, allow_partial, value_spec, std::move(*origin));
    // A list subclass is copied by its storage, not through its own iteration.
    Ref source = Ref::borrow(value);
    if (PyList_Check(value) && !PyList_CheckExact(value)) {
        source = Ref::steal(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)));
        if (!source) {
            return error;
        }
    }
    PyObject *list = storage(node.get());
    if (PyList_SetSlice(list, 0, 0, source.get()) < 0) {
        return error;
    }
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PyList_GetItemRef(list, i));
        if (!item) {
            return error;
        }
        if (funnel::is_scalar_value(item.get())) {
            continue;
        }
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        Ref adopted = index ? _relocate_if_symbolic(node.get(), index.get(), item.get(), nullptr) : Ref();
        if (!adopted) {
            return error;
        }
        if (adopted.get() != item.get() && PyList_SetItem(list, i, adopted.release()) < 0) {
            return error;
        }
    }
    if (parent != nullptr) {
        topology::store_parent(f, parent);
    }
    return node;
}

Ref SymList::_clone_if_primitive(PyObject *self)
{
    PyObject *list = storage(self);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!funnel::is_scalar_value(PyList_GET_ITEM(list, i))) {
            return none();
        }
    }
    // Taken before any host code runs: what was scanned is what is copied.
    Ref elements = Ref::steal(PyList_GetSlice(list, 0, n));
    if (!elements) {
        return error;
    }
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(self));
    Ref clone = container::new_blank(cls, check, "SymList");
    if (!clone || PyList_SetSlice(storage(clone.get()), 0, 0, elements.get()) < 0) {
        return error;
    }
    Maybe<Ref> origin = bridge::default_origin();
    if (!origin) {
        return error;
    }
    container::init_clone(fields(clone.get()), fields(self), std::move(*origin), false);
    return clone;
}

Ref SymList::_relocate_if_symbolic(PyObject *self, PyObject *idx, PyObject *value, PyObject *seen)
{
    Ref held = held_at(self, idx);
    return container::relocate(self, fields(self), self, idx, value, seen, held.get());
}

namespace list_faces {

Ref clone_if_primitive(PyObject *self)
{
    return SymList::_clone_if_primitive(self);
}

Ref relocate_if_symbolic(PyObject *self, FastArgs a)
{
    return container::relocate_face(self, a, RELOCATE_SIG, SymList::_relocate_if_symbolic);
}

}  // namespace list_faces

}  // namespace norv::symbolic
