// Topology and sealing of SymList. The elements are walked live, by index
// over the length read at the start: an element a host call removes
// meanwhile makes the walk raise IndexError.
#include "core/args.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "symbolic/list.hpp"
#include "symbolic/list_faces.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/topology.hpp"

namespace norv::symbolic {

namespace {

ContainerFields &container_of(PyObject *self) noexcept
{
    return SymList::fields(self);
}

// The seal walks the storage itself.
Ref live_elements(PyObject *self)
{
    return Ref::borrow(SymList::storage(self));
}

}  // namespace

Ref SymList::sym_seal(PyObject *self, bool is_seal)
{
    return topology::seal(self, fields(self), is_seal, live_elements);
}

Status SymList::_update_children_paths(PyObject *self, PyObject *new_path)
{
    if (failed(topology::require_keypath(new_path))) {
        return error;
    }
    {
        ContainerFields &f = fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        if (!f.sym_mode) {
            return Status::ok;
        }
    }
    RecursionGuard depth(" while re-pathing a symbolic tree");
    if (depth.failed()) {
        return error;
    }
    PyObject *list = storage(self);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref element = Ref::steal(PyList_GetItemRef(list, i));
        if (!element) {
            return error;
        }
        Maybe<bool> in_tree = markers::in_tree(element.get());
        if (!in_tree) {
            return error;
        }
        if (!*in_tree) {
            continue;
        }
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index || failed(topology::repath_child(element.get(), index.get(), new_path))) {
            return error;
        }
    }
    return Status::ok;
}

namespace list_faces {

// A list never passes its parent on: its elements have the list itself as
// their parent.
Ref sym_setparent(PyObject *self, FastArgs a)
{
    return topology::set_parent(container_of(self), a) ? none() : Ref();
}

Ref sym_setpath(PyObject *self, FastArgs a)
{
    return topology::sym_setpath(self, container_of(self), a, SymList::_update_children_paths);
}

Ref update_children_paths(PyObject *self, FastArgs a)
{
    return topology::update_children_paths(self, a, SymList::_update_children_paths);
}

Ref sym_seal(PyObject *self, FastArgs a)
{
    return topology::sym_seal(self, a, SymList::sym_seal);
}

Ref sym_setorigin(PyObject *self, FastArgs a)
{
    return topology::sym_setorigin(self, container_of(self), a);
}

Ref set_accessor_writable(PyObject *self, FastArgs a)
{
    return topology::set_accessor_writable(self, container_of(self), a);
}

}  // namespace list_faces

}  // namespace norv::symbolic
