// The write path of SymList: item and slice assignment and item deletion with
// their permission gates, the core write and its change record, member
// formalisation with the list's own context, and the notification.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "scopes/flags.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/dict.hpp"
#include "containers/list.hpp"
#include "containers/list_faces.hpp"
#include "nodes/markers.hpp"
#include "containers/write.hpp"
#include "topology/keypath.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic {

namespace {

// How the core write takes its value.
enum class Take : std::uint8_t {
    Given,    // as the caller gave it: an `Insertion` is unwrapped and inserted, the value formalised
    Kept,     // as given, except that a missing value at the end is stored, not skipped
    Wrapped,  // already formal, maybe inside an `Insertion`: unwrapped, not formalised again
    Replace,  // already formal, replacing the element at the index
};

// A replaced element in the tree leaves it as far as its parent goes; it
// keeps its path.
Status detach(PyObject *old)
{
    Maybe<bool> in_tree = markers::in_tree(old);
    if (!in_tree) {
        return error;
    }
    if (*in_tree && !call_method(old, interned<"sym_setparent">(), Py_None)) {
        return error;
    }
    return Status::ok;
}

// `field_update_cls(path of idx, list, element field or None, old, now)`.
Ref change_record(PyObject *self, PyObject *idx, PyObject *old, PyObject *now)
{
    Ref path = keypath::child_key_path(idx, SymList::path_arg(self).get());
    if (!path) {
        return error;
    }
    Maybe<Ref> field = SymList::element_of(self);
    if (!field) {
        return error;
    }
    PyObject *args[] = {path.get(), self, none_if_null(field->get()), old, now};
    return Ref::steal(PyObject_Vectorcall(bridge::get().field_update_cls, args, 5, nullptr));
}

Maybe<Ref> write_element(PyObject *self, std::int64_t index, PyObject *given, Take take)
{
    const bridge::ContainerBridge &br = bridge::get();
    PyObject *list = SymList::storage(self);
    const std::int64_t n = PyList_GET_SIZE(list);
    const bool past_end = index >= n;
    if (past_end) {
        // An insertion is tested as its wrapper.
        if (take != Take::Kept) {
            Maybe<bool> missing = eq_truth(br.missing_value, given);
            if (!missing) {
                return error;
            }
            if (*missing) {
                return Ref();
            }
        }
        index = n;
    }
    Ref value = Ref::borrow(given);
    bool insertion = false;
    if (take != Take::Replace) {
        Maybe<bool> wrapped = SymList::is_insertion(given);
        if (!wrapped) {
            return error;
        }
        if (*wrapped) {
            value = attr<"value">(given);
            if (!value) {
                return error;
            }
            insertion = true;
        }
    }
    // A wrapper that turned out to be no insertion is a value like any other.
    const bool formalises =
        take == Take::Given || take == Take::Kept || (take == Take::Wrapped && !insertion);
    const std::int64_t pos = index < 0 ? index + n : index;
    Ref old = Ref::borrow(br.missing_value);
    if (!past_end && !insertion) {
        old = Ref::steal(PyList_GetItemRef(list, pos));
        if (!old) {
            return error;
        }
        if (old.get() == value.get()) {
            return Ref();
        }
    }
    Ref idx = new_int(index);
    if (!idx) {
        return error;
    }
    Ref now = formalises ? SymList::_formalized_value(self, idx.get(), value.get(), nullptr, insertion)
                         : std::move(value);
    if (!now) {
        return error;
    }
    if (past_end) {
        if (PyList_Append(list, now.get()) < 0) {
            return error;
        }
    }
    else if (insertion) {
        // Below the start, an insertion goes in front, as `list.insert` puts it.
        if (PyList_Insert(list, std::max<std::int64_t>(pos, 0), now.get()) < 0) {
            return error;
        }
    }
    else {
        // What the store displaces (formalisation ran host code since `old`
        // was read), held across the store.
        Ref displaced;
        if (pos >= 0 && pos < PyList_GET_SIZE(list)) {
            displaced = Ref::borrow(PyList_GET_ITEM(list, pos));
        }
        if (PyList_SetItem(list, pos, Py_NewRef(now.get())) < 0) {
            return error;
        }
        // Formalisation may hand back the stored child itself (re-adopted in
        // place): it stays attached.
        if (displaced && displaced.get() != now.get() && failed(detach(displaced.get()))) {
            return error;
        }
    }
    return some(change_record(self, idx.get(), old.get(), now.get()));
}

Status check_assignable(PyObject *self)
{
    return write::check_writable(
        SymList::fields(self), {"Cannot set item for a sealed List.", true},
        {"Cannot modify List item by __setitem__ while accessor_writable is set to False. Use 'sym_rebind' "
         "method instead.",
         true});
}

Status assign_index(PyObject *self, PyObject *key, PyObject *value)
{
    const Py_ssize_t n = PyList_GET_SIZE(SymList::storage(self));
    Maybe<std::int64_t> i = to_i64(key);
    if (!i) {
        return error;
    }
    if (*i < -n || *i >= n) {
        return raise_format(PyExc_IndexError, "list assignment index out of range. Length=%zd, index=%lld", n,
                            static_cast<long long>(*i));
    }
    return SymList::notify_update(self, SymList::_set_item_without_permission_check(self, *i, value));
}

// ---- slices -----------------------------------------------------------------------------------

// One bound of a slice, read by name: None is no bound, anything else an int
// within 64 bits.
Maybe<std::optional<std::int64_t>> slice_bound(PyObject *slice, PyObject *name)
{
    Ref v = getattr(slice, name);
    if (!v) {
        return error;
    }
    if (v.get() == Py_None) {
        return std::optional<std::int64_t>();
    }
    Maybe<std::int64_t> i = to_i64(v.get());
    if (!i) {
        return error;
    }
    return std::optional<std::int64_t>(*i);
}

// The positions a slice of a list of `n` elements covers: start, step and how
// many. A positive step counts from the bounds clamped into the list; a
// negative one takes the positions Python's own slices take.
struct Positions {
    std::int64_t start;
    std::int64_t step;
    std::int64_t count;

    std::int64_t at(std::size_t k) const { return start + static_cast<std::int64_t>(k) * step; }
};

Maybe<Positions> slice_positions(PyObject *slice, std::int64_t n)
{
    Maybe<std::optional<std::int64_t>> start = slice_bound(slice, interned<"start">());
    if (!start) {
        return error;
    }
    Maybe<std::optional<std::int64_t>> stop = slice_bound(slice, interned<"stop">());
    if (!stop) {
        return error;
    }
    Maybe<std::optional<std::int64_t>> step = slice_bound(slice, interned<"step">());
    if (!step) {
        return error;
    }
    const std::int64_t s = step->value_or(1);
    if (s == 0) {
        return raise(PyExc_ValueError, "slice step cannot be zero");
    }
    if (s > 0) {
        auto bound = [n](std::int64_t v) {
            v = std::clamp(v, -n, n);
            return v < 0 ? v + n : v;
        };
        const std::int64_t a = bound(start->value_or(0)), b = bound(stop->value_or(n));
        return Positions{a, s, b > a ? (b - a - 1) / s + 1 : 0};
    }
    // From the last element down; -1 stands for "before the first".
    auto bound = [n](std::int64_t v) {
        if (v < 0) {
            v += n;
            return v < 0 ? -1 : v;
        }
        return v >= n ? n - 1 : v;
    };
    const std::int64_t a = start->has_value() ? bound(**start) : n - 1;
    const std::int64_t b = stop->has_value() ? bound(**stop) : -1;
    const std::int64_t down =
        s == std::numeric_limits<std::int64_t>::min() ? std::numeric_limits<std::int64_t>::max() : -s;
    return Positions{a, s, a > b ? (a - b - 1) / down + 1 : 0};
}

// Every value is formalised, under the index it ends at, before anything is
// stored; with step 1, surplus slots receive the missing value and surplus
// values go in wrapped as `insertion_cls(value)`. One notification for the
// whole assignment.
Status assign_slice(PyObject *self, PyObject *slice, PyObject *value)
{
    const std::int64_t n = PyList_GET_SIZE(SymList::storage(self));
    Maybe<Positions> at = slice_positions(slice, n);
    if (!at) {
        return error;
    }
    std::vector<Ref> values;
    if (failed(for_each_item(value, [&](PyObject *item) {
            values.push_back(Ref::borrow(item));
            return Status::ok;
        }))) {
        return error;
    }
    const auto given = static_cast<std::int64_t>(values.size());
    if (at->step != 1 && given != at->count) {
        return raise_format(PyExc_ValueError,
                            "attempt to assign sequence of size %lld to extended slice of size %lld",
                            static_cast<long long>(given), static_cast<long long>(at->count));
    }
    for (std::size_t k = 0; k < values.size(); ++k) {
        Ref idx = new_int(at->at(k));
        const bool inserts = static_cast<std::int64_t>(k) >= at->count;
        Ref formal =
            idx ? SymList::_formalized_value(self, idx.get(), values[k].get(), nullptr, inserts) : Ref();
        if (!formal) {
            return error;
        }
        values[k] = std::move(formal);
    }
    Ref updates = Ref::steal(PyList_New(0));
    if (!updates) {
        return error;
    }
    auto collect = [&](Maybe<Ref> update) -> Status {
        if (!update) {
            return error;
        }
        return *update ? check(PyList_Append(updates.get(), update->get())) : Status::ok;
    };
    for (std::size_t k = 0; k < values.size(); ++k) {
        const bool surplus = static_cast<std::int64_t>(k) >= at->count;
        Ref item = surplus ? Ref::steal(PyObject_CallOneArg(bridge::insertion_cls(), values[k].get()))
                           : Ref::borrow(values[k].get());
        if (!item || failed(collect(write_element(self, at->at(k), item.get(),
                                                  surplus ? Take::Wrapped : Take::Replace)))) {
            return error;
        }
    }
    for (std::int64_t k = given; k < at->count; ++k) {
        if (failed(collect(write_element(self, at->at(static_cast<std::size_t>(k)),
                                         bridge::get().missing_value, Take::Given)))) {
            return error;
        }
    }
    return SymList::notify(self, updates.get());
}

Status assign(PyObject *self, PyObject *key, PyObject *value)
{
    if (failed(check_assignable(self))) {
        return error;
    }
    if (PyLong_Check(key)) {
        return assign_index(self, key, value);
    }
    if (PySlice_Check(key)) {
        return assign_slice(self, key, value);
    }
    return raise_format(PyExc_TypeError, "list assignment index must be an integer. Encountered %R.", key);
}

const Signature SET_ITEM_SIG{
    "_set_item_without_permission_check", {arg("key"), arg("value")}, {.method = true}};
const Signature DELETE_SIG{"delete_and_notify", {arg("i")}, {.method = true}};
const Signature FORMALIZED_SIG{
    "_formalized_value", {arg("idx"), arg("value"), opt("seen")}, {.method = true}};

}  // namespace

Maybe<bool> SymList::is_insertion(PyObject *value)
{
    return predicate(PyObject_IsInstance(value, bridge::insertion_cls()));
}

Ref SymList::_formalized_value(PyObject *self, PyObject *idx, PyObject *value, PyObject *seen, bool inserts)
{
    Maybe<Ref> element = element_of(self);
    if (!element) {
        return error;
    }
    const bool scalar = typing::funnel::is_scalar_value(value);
    if (!*element && scalar) {
        return Ref::borrow(value);
    }
    PyObject *field = null_if_none(element->get());
    FormalizeCtx ctx = container::formalize_ctx(self, fields(self), Ref::borrow(self), false);
    // Held across the host code formalisation runs: only its identity counts.
    // A scalar is never adopted.
    Ref replaced = inserts || scalar ? Ref() : held_at(self, idx);
    return SymDict::formalize_field(idx, field, value, ctx, seen, replaced.get());
}

Maybe<Ref> SymList::_set_item_without_permission_check(PyObject *self, std::int64_t index, PyObject *value)
{
    return write_element(self, index, value, Take::Given);
}

Maybe<Ref> SymList::append_copied(PyObject *self, PyObject *value)
{
    return write_element(self, PyList_GET_SIZE(storage(self)), value, Take::Kept);
}

Status SymList::delete_and_notify(PyObject *self, std::int64_t i)
{
    PyObject *list = storage(self);
    const std::int64_t n = PyList_GET_SIZE(list);
    const std::int64_t pos = i < 0 ? i + n : i;
    Ref old = Ref::steal(PyList_GetItemRef(list, pos));
    if (!old) {
        return error;
    }
    // The base list's own deletion: a subclass's `__delitem__` is not re-entered.
    if (PyList_SetSlice(list, pos, pos + 1, nullptr) < 0) {
        return error;
    }
    if (!flags::change_notification_on()) {
        return Status::ok;
    }
    Ref idx = new_int(i);
    Ref update = idx ? change_record(self, idx.get(), old.get(), bridge::get().missing_value) : Ref();
    if (!update) {
        return error;
    }
    return notify_update(self, some(std::move(update)));
}

Status SymList::delete_item(PyObject *self, PyObject *key)
{
    if (failed(write::check_writable(SymList::fields(self), {"Cannot delete item from a sealed List.", false},
                                     {"Cannot delete List item while accessor_writable is set to False. Use "
                                      "'sym_rebind' method instead.",
                                      true}))) {
        return error;
    }
    if (!PyLong_Check(key)) {
        return raise_format(PyExc_TypeError, "list index must be an integer. Encountered %R.", key);
    }
    Maybe<std::int64_t> i = to_i64(key);
    if (!i) {
        return error;
    }
    const Py_ssize_t n = PyList_GET_SIZE(SymList::storage(self));
    if (*i < -n || *i >= n) {
        return raise_format(PyExc_IndexError, "list index out of range. Length=%zd, index=%lld", n,
                            static_cast<long long>(*i));
    }
    return SymList::delete_and_notify(self, *i);
}

Status SymList::notify_update(PyObject *self, Maybe<Ref> update)
{
    if (!update) {
        return error;
    }
    if (!*update) {
        return Status::ok;
    }
    Ref updates = Ref::steal(PyList_New(1));
    if (!updates) {
        return error;
    }
    PyList_SET_ITEM(updates.get(), 0, update->release());
    return notify(self, updates.get());
}

Status SymList::notify(PyObject *self, PyObject *updates)
{
    if (PyList_GET_SIZE(updates) == 0 || !flags::change_notification_on()) {
        return Status::ok;
    }
    return write::notify(self, updates);
}

namespace list_faces {

int ass_subscript(PyObject *self, PyObject *key, PyObject *value)
{
    return guard_int(
        [&] { return value != nullptr ? assign(self, key, value) : SymList::delete_item(self, key); });
}

Ref set_item_without_permission_check(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(SET_ITEM_SIG.bind(a, b))) {
        return error;
    }
    Maybe<std::int64_t> key = i64_arg("key", b[0]);
    if (!key) {
        return error;
    }
    Maybe<Ref> update = SymList::_set_item_without_permission_check(self, *key, b[1]);
    if (!update) {
        return error;
    }
    return *update ? std::move(*update) : none();
}

Ref delete_and_notify(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(DELETE_SIG.bind(a, b))) {
        return error;
    }
    Maybe<std::int64_t> i = i64_arg("i", b[0]);
    if (!i || failed(SymList::delete_and_notify(self, *i))) {
        return error;
    }
    return none();
}

Ref formalized_value(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(FORMALIZED_SIG.bind(a, b))) {
        return error;
    }
    Maybe<PyObject *> seen = container::seen_arg(b[2]);
    if (!seen) {
        return error;
    }
    return SymList::_formalized_value(self, b[0], b[1], *seen);
}

}  // namespace list_faces

}  // namespace norv::symbolic
