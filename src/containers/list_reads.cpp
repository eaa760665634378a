// The reads of SymList: the item read and iteration, which resolve an
// Inferential element; the raw element reads and tests; the snapshot
// listings; the facts of the bound spec; and the cores other operations use
// (the storage, the raw snapshot).
#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/names.hpp"
#include "containers/list.hpp"
#include "containers/list_faces.hpp"
#include "nodes/resolve.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic {

namespace {

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

Ref SymList::bound_spec(PyObject *self)
{
    return container::bound_spec(fields(self));
}

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

Ref SymList::held_at(PyObject *self, PyObject *idx)
{
    if (!PyLong_Check(idx)) {
        return Ref();
    }
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(idx, &overflow);
    PyObject *list = storage(self);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (overflow != 0 || i < -n || i >= n) {
        return Ref();
    }
    return Ref::borrow(PyList_GET_ITEM(list, i < 0 ? i + n : i));
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

Maybe<Ref> SymList::max_value(PyObject *self)
{
    Maybe<Ref> element = element_of(self);
    if (!element || !*element) {
        return element;
    }
    Ref key = attr<"key">(element->get());
    if (!key) {
        return error;
    }
    return some(attr<"max_value">(key.get()));
}

Maybe<std::optional<std::int64_t>> SymList::max_size_val(PyObject *self)
{
    Maybe<Ref> max = max_value(self);
    if (!max) {
        return error;
    }
    if (!*max) {
        return std::optional<std::int64_t>();
    }
    return size_limit(std::move(*max), true);
}

Ref SymList::read_index(PyObject *self, std::int64_t i)
{
    Ref element = Ref::steal(PyList_GetItemRef(storage(self), i));
    if (!element) {
        return error;
    }
    return resolve(std::move(element));
}

namespace {

// A new list of the elements at `start`, `start + step`, ... (`count` of
// them), each read when its turn comes and resolved: `infer()` may change
// the list, and a position it no longer has is the read's IndexError.
Ref resolved_run(PyObject *self, Py_ssize_t start, Py_ssize_t step, Py_ssize_t count)
{
    // Filled by appending: host code runs between the reads, and a list with
    // empty slots must never be reachable from it.
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        Ref element = SymList::read_index(self, start + k * step);
        if (!element || PyList_Append(out.get(), element.get()) < 0) {
            return error;
        }
    }
    return out;
}

// The storage position the index `i` (negative from the end) names in a
// list of `n` elements; IndexError outside it.
Maybe<std::int64_t> position_of(Maybe<std::int64_t> i, std::int64_t n)
{
    if (!i) {
        return error;
    }
    const std::int64_t pos = *i < 0 ? *i + n : *i;
    if (pos < 0 || pos >= n) {
        return raise(PyExc_IndexError, "list index out of range");
    }
    return pos;
}

Ref iterate(Ref list)
{
    return list ? Ref::steal(PyObject_GetIter(list.get())) : Ref();
}

}  // namespace

Ref SymList::getitem(PyObject *self, PyObject *index)
{
    PyObject *list = storage(self);
    if (PySlice_Check(index)) {
        const Py_ssize_t n = PyList_GET_SIZE(list);
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(index, &start, &stop, &step) < 0) {
            return error;
        }
        const Py_ssize_t count = PySlice_AdjustIndices(n, &start, &stop, step);
        return resolved_run(self, start, step, count);
    }
    if (PyLong_Check(index)) {
        const Maybe<std::int64_t> pos = position_of(to_i64(index), PyList_GET_SIZE(list));
        return pos ? read_index(self, *pos) : Ref();
    }
    return raise_format(PyExc_TypeError, "list index must be an integer. Encountered %R.", index);
}

namespace {

enum class Listing : std::uint8_t { Keys, Items };

// The positions, or (position, raw element) pairs, of the list as it is.
Ref listing(PyObject *self, Listing what)
{
    PyObject *list = SymList::storage(self);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref position = Ref::steal(PyLong_FromSsize_t(i));
        if (!position) {
            return error;
        }
        Ref entry = what == Listing::Keys
                        ? std::move(position)
                        : Ref::steal(PyTuple_Pack(2, position.get(), PyList_GET_ITEM(list, i)));
        if (!entry || PyList_Append(out.get(), entry.get()) < 0) {
            return error;
        }
    }
    return out;
}

const Signature SYM_GETATTR_SIG{"_sym_getattr", {arg("key")}, {.method = true}};
const Signature SYM_HASATTR_SIG{"sym_hasattr", {arg("key")}, {.method = true}};
const Signature SYM_ATTR_FIELD_SIG{"sym_attr_field", {arg("key")}, {.method = true}};

}  // namespace

namespace list_faces {

PyObject *subscript(PyObject *self, PyObject *index)
{
    // The common read, a small int selecting a scalar, needs no resolving
    // and cannot fail: answered before the guard.
    if (PyLong_CheckExact(index) && PyList_Check(self)) {
        auto *i = reinterpret_cast<PyLongObject *>(index);
        if (PyUnstable_Long_IsCompact(i)) {
            const Py_ssize_t n = PyList_GET_SIZE(self);
            Py_ssize_t pos = PyUnstable_Long_CompactValue(i);
            pos += pos < 0 ? n : 0;
            if (pos >= 0 && pos < n) {
                PyObject *element = PyList_GET_ITEM(self, pos);
                if (typing::funnel::is_scalar_value(element)) {
                    return Py_NewRef(element);
                }
            }
        }
    }
    return guard([&] { return SymList::getitem(self, index); });
}

PyObject *iter(PyObject *self)
{
    return guard([&] {
        PyObject *list = SymList::storage(self);
        return iterate(resolved_run(self, 0, 1, PyList_GET_SIZE(list)));
    });
}

Ref sym_getattr(PyObject *self, FastArgs a)
{
    PyObject *key = container::one_arg(a, SYM_GETATTR_SIG);
    if (key == nullptr) {
        return error;
    }
    PyObject *list = SymList::storage(self);
    const std::int64_t n = PyList_GET_SIZE(list);
    const Maybe<std::int64_t> pos = position_of(to_c_long(key), n);
    return pos ? Ref::steal(PyList_GetItemRef(list, *pos)) : Ref();
}

Ref sym_hasattr(PyObject *self, FastArgs a)
{
    PyObject *key = container::one_arg(a, SYM_HASATTR_SIG);
    if (key == nullptr) {
        return error;
    }
    if (!PyLong_Check(key)) {
        return new_bool(false);
    }
    Maybe<std::int64_t> i = to_i64(key);
    if (!i) {
        return error;
    }
    const std::int64_t n = PyList_GET_SIZE(SymList::storage(self));
    return new_bool(-n <= *i && *i < n);
}

Ref sym_keys(PyObject *self)
{
    return iterate(listing(self, Listing::Keys));
}

Ref sym_values(PyObject *self)
{
    return SymList::sym_values(self);
}

Ref sym_items(PyObject *self)
{
    return iterate(listing(self, Listing::Items));
}

Ref sym_attr_field(PyObject *self, FastArgs a)
{
    if (container::one_arg(a, SYM_ATTR_FIELD_SIG) == nullptr) {
        return error;
    }
    Maybe<Ref> element = SymList::element_of(self);
    if (!element) {
        return error;
    }
    return *element ? std::move(*element) : none();
}

Ref max_size(PyObject *self)
{
    Maybe<Ref> max = SymList::max_value(self);
    if (!max) {
        return error;
    }
    return *max ? std::move(*max) : none();
}

}  // namespace list_faces

}  // namespace norv::symbolic
