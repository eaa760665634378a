// The read cores of SymList that other operations use: the storage, the raw
// snapshot of the elements and the facts of the bound spec.
#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/names.hpp"
#include "symbolic/list.hpp"
#include "symbolic/list_faces.hpp"

namespace norv::symbolic {

namespace {

Ref bound_spec(PyObject *self)
{
    ContainerFields &f = SymList::fields(self);
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return Ref::borrow(f.value_spec.get());
}

// A size limit read through Python; None is no limit where the spec's
// attribute may be None.
Maybe<std::optional<std::int64_t>> size_limit(Ref value, bool none_is_unbounded)
{
    if (!value) {
        return error;
    }
    if (none_is_unbounded && value.get() == Py_None) {
        return std::optional<std::int64_t>();
    }
    Maybe<std::int64_t> n = to_i64(value.get());
    if (!n) {
        return error;
    }
    return std::optional<std::int64_t>(*n);
}

}  // namespace

PyObject *SymList::storage(PyObject *self)
{
    if (!PyList_Check(self)) {
        panic("SymList extends PyList");
    }
    return self;
}

Ref SymList::snapshot(PyObject *self)
{
    PyObject *list = storage(self);
    return Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
}

Ref SymList::sym_values(PyObject *self)
{
    Ref elements = snapshot(self);
    if (!elements) {
        return error;
    }
    return Ref::steal(PyObject_GetIter(elements.get()));
}

Ref SymList::path_arg(PyObject *self)
{
    return container::path_arg(fields(self));
}

Maybe<Ref> SymList::element_of(PyObject *self)
{
    Ref spec = bound_spec(self);
    if (!spec) {
        return Ref();
    }
    return some(attr<"element">(spec.get()));
}

Maybe<std::optional<std::int64_t>> SymList::min_size_val(PyObject *self)
{
    Ref spec = bound_spec(self);
    if (!spec) {
        return std::optional<std::int64_t>();
    }
    return size_limit(attr<"min_size">(spec.get()), false);
}

Maybe<std::optional<std::int64_t>> SymList::max_size_val(PyObject *self)
{
    Maybe<Ref> element = element_of(self);
    if (!element) {
        return error;
    }
    if (!*element) {
        return std::optional<std::int64_t>();
    }
    Ref key = attr<"key">(element->get());
    if (!key) {
        return error;
    }
    return size_limit(attr<"max_value">(key.get()), true);
}

namespace list_faces {

Ref sym_values(PyObject *self)
{
    return SymList::sym_values(self);
}

}  // namespace list_faces

}  // namespace norv::symbolic
