// Topology and sealing of SymDict.
#include "core/args.hpp"
#include "core/recursion.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/dict.hpp"
#include "containers/dict_faces.hpp"
#include "nodes/markers.hpp"
#include "containers/container_topology.hpp"
#include "core/names.hpp"

namespace norv::symbolic {

namespace {

// A snapshot of the values, in storage order.
Ref values_snapshot(PyObject *self)
{
    return Ref::steal(PyDict_Values(SymDict::storage(self)));
}

}  // namespace

Ref SymDict::_sym_parent_for_children(PyObject *self)
{
    DictFields &f = fields(self);
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return f.as_object_attributes_container ? none_if_null(f.node.parent) : Ref::borrow(self);
}

Ref SymDict::sym_seal(PyObject *self, bool is_seal)
{
    return topology::seal(self, fields(self), is_seal, values_snapshot);
}

Status SymDict::_update_children_paths(PyObject *self, PyObject *new_path)
{
    return topology::update_children(
        self, fields(self), new_path, [](PyObject *self_, PyObject *path) -> Status {
            Ref items = sym_items(self_);
            if (!items) {
                return error;
            }
            while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
                PyObject *value = PyTuple_GET_ITEM(item.get(), 1);
                Maybe<bool> in_tree = markers::in_tree(value);
                if (!in_tree) {
                    return error;
                }
                if (*in_tree &&
                    failed(topology::repath_child(value, PyTuple_GET_ITEM(item.get(), 0), path))) {
                    return error;
                }
            }
            return PyErr_Occurred() ? Status::error : Status::ok;
        });
}

namespace dict_faces {

Ref sym_setparent(PyObject *self, FastArgs a)
{
    DictFields &f = SymDict::fields(self);
    PyObject *parent = topology::set_parent(f, a);
    if (parent == nullptr) {
        return error;
    }
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        if (!f.as_object_attributes_container || !f.sym_mode) {
            return none();
        }
    }
    // The children of an object's attributes take the object as their
    // parent, so the container's new parent is theirs too.
    RecursionGuard depth(" while re-parenting a symbolic tree");
    if (depth.failed()) {
        return error;
    }
    Ref values = values_snapshot(self);
    if (!values || failed(topology::call_children(values.get(), markers::in_tree, interned<"sym_setparent">(),
                                                  parent))) {
        return error;
    }
    return none();
}

Ref sym_parent_for_children(PyObject *self)
{
    return SymDict::_sym_parent_for_children(self);
}

}  // namespace dict_faces

}  // namespace norv::symbolic
