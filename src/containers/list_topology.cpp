// Topology and sealing of SymList. The elements are walked live, by index
// over the length read at the start: an element a host call removes
// meanwhile makes the walk raise IndexError.
#include "core/args.hpp"
#include "core/names.hpp"
#include "containers/list.hpp"
#include "containers/list_faces.hpp"
#include "nodes/markers.hpp"
#include "containers/container_topology.hpp"

namespace norv::symbolic {

namespace {

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
    return topology::update_children(
        self, fields(self), new_path, [](PyObject *self_, PyObject *path) -> Status {
            PyObject *list = storage(self_);
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
                if (!index || failed(topology::repath_child(element.get(), index.get(), path))) {
                    return error;
                }
            }
            return Status::ok;
        });
}

namespace list_faces {

// A list never passes its parent on: its elements have the list itself as
// their parent.
Ref sym_setparent(PyObject *self, FastArgs a)
{
    return topology::set_parent(SymList::fields(self), a) ? none() : Ref();
}

}  // namespace list_faces

}  // namespace norv::symbolic
