// The list methods of SymList: each checks the seal and the size limits of a
// bound spec, then writes through the core write or deletes through the
// deletion tail and notifies once; `clear`, `sort` and `reverse` change the
// storage through the base list and report nothing. `copy`, `+` and `*` make
// new lists of the class.
#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <utility>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/list.hpp"
#include "containers/list_faces.hpp"
#include "containers/write.hpp"

namespace norv::symbolic {

namespace {

// Every sealed refusal of these methods goes to the host undecorated.
Status check_unsealed(PyObject *self, const char *text)
{
    return write::check_unsealed(SymList::fields(self), {text, false});
}

Py_ssize_t length(PyObject *self)
{
    return PyList_GET_SIZE(SymList::storage(self));
}

// Room for one more element under the bound spec's max size.
Status check_room(PyObject *self)
{
    Maybe<std::optional<std::int64_t>> max = SymList::max_size_val(self);
    if (!max) {
        return error;
    }
    if (*max && length(self) >= **max) {
        return raise_format(PyExc_ValueError, "List reached its max size %lld.",
                            static_cast<long long>(**max));
    }
    return Status::ok;
}

// The elements `extend` takes: a symbolic list's as stored, any other
// iterable's as it iterates.
Ref gathered(PyObject *other)
{
    if (SymList::check(other)) {
        return SymList::snapshot(other);
    }
    return Ref::steal(PySequence_List(other));
}

// A list made by `__new__` alone, with no path: the copy module and the
// unpickler rebuild a list subclass by appending its elements to one.
bool blank(PyObject *self)
{
    return SymList::path_arg(self).get() == Py_None;
}

// The core write at the end: a copied element keeps a missing value (a
// padded slot of the list it comes from), any other skips it.
Maybe<Ref> write_at_end(PyObject *self, PyObject *value, bool copied)
{
    return copied ? SymList::append_copied(self, value)
                  : SymList::_set_item_without_permission_check(self, length(self), value);
}

// `list.sort` itself: a subclass's `sort` is not re-entered, and only the
// base method takes `key`.
PyObject *base_sort()
{
    static PyObject *sort = nullptr;
    if (sort == nullptr) {
        sort = _PyType_Lookup(&PyList_Type, interned<"sort">());
        if (sort == nullptr) {
            panic("list has sort");
        }
    }
    return sort;
}

// An operand of `*` as a count; none when it does not convert.
Maybe<std::optional<std::int64_t>> count_of(PyObject *operand)
{
    Maybe<std::int64_t> n = to_i64(operand);
    if (n) {
        return std::optional<std::int64_t>(*n);
    }
    if (failed(discard_ordinary_error())) {
        return error;
    }
    return std::optional<std::int64_t>();
}

Ref add_impl(PyObject *left, PyObject *right)
{
    if (!SymList::check(left)) {
        return not_implemented();
    }
    Ref copy = SymList::copy(left);
    if (!copy || !call_method(copy.get(), interned<"extend">(), right)) {
        return error;
    }
    return copy;
}

Ref multiply_impl(PyObject *left, PyObject *right)
{
    for (auto [list, operand] : {std::pair{left, right}, std::pair{right, left}}) {
        if (!SymList::check(list)) {
            continue;
        }
        Maybe<std::optional<std::int64_t>> n = count_of(operand);
        if (!n) {
            return error;
        }
        if (*n) {
            return SymList::repeat(list, **n);
        }
    }
    return not_implemented();
}

// Whether storage for `size * n` elements (both positive) could be had,
// refused as `list` refuses its own repeat: MemoryError when the length or
// its byte count overflows, or when the allocator cannot give that block
// (tried and released at once). A count far beyond what memory holds fails
// here rather than after growing the result as far as the machine lets it.
Status check_repeat_room(Py_ssize_t size, std::int64_t n)
{
    if (size > PY_SSIZE_T_MAX / n) {
        PyErr_NoMemory();
        return error;
    }
    const auto total = static_cast<std::size_t>(size * n);
    void *trial =
        total <= PY_SSIZE_T_MAX / sizeof(PyObject *) ? PyMem_Malloc(total * sizeof(PyObject *)) : nullptr;
    if (trial == nullptr) {
        PyErr_NoMemory();
        return error;
    }
    PyMem_Free(trial);
    return Status::ok;
}

const Signature APPEND_SIG{"append", {arg("value")}, {.method = true}};
const Signature INSERT_SIG{"insert", {arg("index"), arg("value")}, {.method = true}};
const Signature EXTEND_SIG{"extend", {arg("other")}, {.method = true}};
const Signature POP_SIG{"pop", {opt("index")}, {.method = true}};
const Signature REMOVE_SIG{"remove", {arg("value")}, {.method = true}};
const Signature SORT_SIG{"sort", {kwopt("key"), kwopt("reverse")}, {.method = true}};

}  // namespace

Ref SymList::copy(PyObject *self)
{
    Ref elements = snapshot(self);
    if (!elements) {
        return error;
    }
    // Construction drops a missing value but writes an insertion where it
    // stands: a padded slot (any instance of the missing value's class)
    // reaches the copy as the insertion of that value.
    PyObject *missing = bridge::get().missing_value;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
        PyObject *element = PyList_GET_ITEM(elements.get(), i);
        if (!Py_IS_TYPE(element, Py_TYPE(missing))) {
            continue;
        }
        PyObject *slot = PyObject_CallOneArg(bridge::insertion_cls(), element);
        if (slot == nullptr || PyList_SetItem(elements.get(), i, slot) < 0) {
            return error;
        }
    }
    Ref spec = bound_spec(self);
    PyObject *args[] = {elements.get(), none_if_null(spec.get())};
    return Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject *>(Py_TYPE(self)), args, 1, kwnames<"value_spec">()));
}

Ref SymList::repeat(PyObject *self, std::int64_t n)
{
    // Extending by an empty list adds nothing, however often.
    const Py_ssize_t size = length(self);
    const std::int64_t rounds = size > 0 ? std::max<std::int64_t>(n, 0) : 0;
    if (rounds > 0 && failed(check_repeat_room(size, rounds))) {
        return error;
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(Py_TYPE(self))));
    if (!result) {
        return error;
    }
    for (std::int64_t i = 0; i < rounds; ++i) {
        // Native extends run no Python frame that would look for signals.
        if (PyErr_CheckSignals() < 0 || !call_method(result.get(), interned<"extend">(), self)) {
            return error;
        }
    }
    if (Ref spec = bound_spec(self)) {
        if (!call_method(result.get(), interned<"use_value_spec">(), spec.get())) {
            return error;
        }
    }
    return result;
}

namespace list_faces {

Ref append(PyObject *self, FastArgs a)
{
    PyObject *value = container::one_arg(a, APPEND_SIG);
    if (value == nullptr || failed(check_unsealed(self, "Cannot append element on a sealed List.")) ||
        failed(check_room(self)) ||
        failed(SymList::notify_update(self, write_at_end(self, value, blank(self))))) {
        return error;
    }
    return none();
}

Ref insert(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(INSERT_SIG.bind(a, b))) {
        return error;
    }
    Maybe<std::int64_t> index = i64_arg("index", b[0]);
    if (!index || failed(check_unsealed(self, "Cannot insert element into a sealed List.")) ||
        failed(check_room(self))) {
        return error;
    }
    Ref insertion = Ref::steal(PyObject_CallOneArg(bridge::insertion_cls(), b[1]));
    if (!insertion || failed(SymList::notify_update(self, SymList::_set_item_without_permission_check(
                                                              self, *index, insertion.get())))) {
        return error;
    }
    return none();
}

// A list with no path yet is extended too: the unpickler rebuilds a list
// subclass by extending a blank instance.
Ref extend(PyObject *self, FastArgs a)
{
    PyObject *other = container::one_arg(a, EXTEND_SIG);
    if (other == nullptr || failed(check_unsealed(self, "Cannot extend a sealed List."))) {
        return error;
    }
    Ref values = gathered(other);
    if (!values) {
        return error;
    }
    const Py_ssize_t count = PyList_GET_SIZE(values.get());
    Maybe<std::optional<std::int64_t>> max = SymList::max_size_val(self);
    if (!max) {
        return error;
    }
    if (*max && length(self) + count > **max) {
        return raise_format(PyExc_ValueError,
                            "Cannot extend List: the number of elements (%lld) exceeds max size (%lld).",
                            static_cast<long long>(length(self) + count), static_cast<long long>(**max));
    }
    Ref updates = Ref::steal(PyList_New(0));
    if (!updates) {
        return error;
    }
    // A symbolic list's elements, or those a blank list is rebuilt from, are
    // copies of a list's slots.
    const bool copied = SymList::check(other) || blank(self);
    // `values` is ours: nothing else changes it while the writes run host code.
    for (Py_ssize_t k = 0; k < count; ++k) {
        Maybe<Ref> update = write_at_end(self, PyList_GET_ITEM(values.get(), k), copied);
        if (!update || (*update && PyList_Append(updates.get(), update->get()) < 0)) {
            return error;
        }
    }
    if (failed(SymList::notify(self, updates.get()))) {
        return error;
    }
    return none();
}

Ref pop(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(POP_SIG.bind(a, b))) {
        return error;
    }
    std::int64_t index = -1;
    if (b.has(0)) {
        Maybe<std::int64_t> given = i64_arg("index", b[0]);
        if (!given) {
            return error;
        }
        index = *given;
    }
    const std::int64_t n = length(self);
    if (index < -n || index >= n) {
        return raise(PyExc_IndexError, "pop index out of range");
    }
    if (failed(check_unsealed(self, "Cannot delete item from a sealed List."))) {
        return error;
    }
    const std::int64_t pos = index < 0 ? index + n : index;
    Ref element = SymList::read_index(self, pos);
    if (!element || failed(SymList::delete_and_notify(self, pos))) {
        return error;
    }
    return element;
}

Ref remove(PyObject *self, FastArgs a)
{
    PyObject *value = container::one_arg(a, REMOVE_SIG);
    if (value == nullptr) {
        return error;
    }
    PyObject *list = SymList::storage(self);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    Py_ssize_t found = -1;
    for (Py_ssize_t i = 0; i < n && found < 0; ++i) {
        Ref stored = Ref::steal(PyList_GetItemRef(list, i));
        if (!stored) {
            return error;
        }
        Maybe<bool> same = eq_truth(stored.get(), value);
        if (!same) {
            return error;
        }
        if (*same) {
            found = i;
        }
    }
    if (found < 0) {
        return raise_format(PyExc_ValueError, "%R not in list.", value);
    }
    Maybe<std::optional<std::int64_t>> min = SymList::min_size_val(self);
    if (!min) {
        return error;
    }
    if (*min && **min == length(self)) {
        return raise_format(PyExc_ValueError, "Cannot remove item: min size (%lld) is reached.",
                            static_cast<long long>(**min));
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(found));
    if (!key || failed(SymList::delete_item(self, key.get()))) {
        return error;
    }
    return none();
}

Ref clear(PyObject *self)
{
    if (failed(check_unsealed(self, "Cannot clear a sealed List."))) {
        return error;
    }
    Maybe<std::optional<std::int64_t>> min = SymList::min_size_val(self);
    if (!min) {
        return error;
    }
    if (*min && **min > 0) {
        return raise_format(PyExc_ValueError, "List cannot be cleared: min size is %lld.",
                            static_cast<long long>(**min));
    }
    if (PyList_Clear(SymList::storage(self)) < 0) {
        return error;
    }
    return none();
}

Ref sort(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(SORT_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> reverse = bool_arg("reverse", b[1], false, ArgCause::Conversion);
    if (!reverse || failed(check_unsealed(self, "Cannot sort a sealed List."))) {
        return error;
    }
    PyObject *args[] = {SymList::storage(self), b.has(0) ? b[0] : Py_None, py_bool(*reverse)};
    if (!Ref::steal(PyObject_Vectorcall(base_sort(), args, 1, kwnames<"key", "reverse">()))) {
        return error;
    }
    return none();
}

Ref reverse(PyObject *self)
{
    if (failed(check_unsealed(self, "Cannot reverse a sealed List.")) ||
        PyList_Reverse(SymList::storage(self)) < 0) {
        return error;
    }
    return none();
}

Ref copy(PyObject *self)
{
    return SymList::copy(self);
}

PyObject *add(PyObject *left, PyObject *right)
{
    return guard([&] { return add_impl(left, right); });
}

PyObject *multiply(PyObject *left, PyObject *right)
{
    return guard([&] { return multiply_impl(left, right); });
}

}  // namespace list_faces

}  // namespace norv::symbolic
