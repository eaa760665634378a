// The seams between the host's Python paths and SymDict: its side of the
// host's custom typing (spec binding through a spec's `apply`, shared with
// the list) and the one-pass clone of an all-primitive dict.
#include "nodes/container_bridge.hpp"
#include "containers/dict.hpp"
#include "containers/dict_faces.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic {

namespace dict_faces {

Ref clone_if_primitive(PyObject *self)
{
    Maybe<Ref> schema = SymDict::schema_of(self);
    if (!schema) {
        return error;
    }
    if (*schema) {
        return none();
    }
    // A snapshot: the class's `__new__` is host code.
    Ref items = Ref::steal(PyDict_Items(SymDict::storage(self)));
    if (!items) {
        return error;
    }
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!typing::funnel::is_scalar_value(PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1))) {
            return none();
        }
    }
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(self));
    Ref clone = SymDict::new_blank(cls);
    if (!clone) {
        return error;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(items.get(), i);
        if (PyDict_SetItem(clone.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) {
            return error;
        }
    }
    Maybe<Ref> origin = bridge::default_origin();
    if (!origin) {
        return error;
    }
    container::init_clone(SymDict::fields(clone.get()), SymDict::fields(self), std::move(*origin), true);
    return clone;
}

}  // namespace dict_faces

}  // namespace norv::symbolic
