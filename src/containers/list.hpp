// SymList: the native base of the host's symbolic list class. A `list`
// subclass whose elements are the list's own items (read and written only
// with the interpreter's list functions, never through methods a host
// subclass may override), carrying its native fields in the data region the
// type appends to every instance (`PyObject_GetTypeData`).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "containers/binding.hpp"
#include "containers/container.hpp"

namespace norv::symbolic {

struct SymList {
    // The class (created on first use); NULL with the error set when
    // creating it failed.
    static PyTypeObject *type();

    // An instance of the class or of a subclass. False before the class exists.
    static bool check(PyObject *o) noexcept;

    static ContainerFields &fields(PyObject *self) noexcept;

    // What binding a spec to a list means: a `List` spec, list messages.
    static const binding::Kind KIND;

    // ---- reads --------------------------------------------------------------

    // The instance itself, as its list storage.
    static PyObject *storage(PyObject *self);

    // A new plain list of the raw elements, in index order.
    static Ref snapshot(PyObject *self);

    // The element stored at `idx` (a Python int, negative from the end);
    // empty when `idx` names no stored position. Never fails.
    static Ref held_at(PyObject *self, PyObject *idx);

    // An iterator over `snapshot(self)`.
    static Ref sym_values(PyObject *self);

    // The element at storage position `i`, read with a bounded read (the
    // interpreter's IndexError outside the list), resolved.
    static Ref read_index(PyObject *self, std::int64_t i);

    // `list[index]`: an int (negative from the end) gives the element
    // resolved, a slice a plain list of the selected elements resolved.
    static Ref getitem(PyObject *self, PyObject *index);

    // The node's path, None when absent.
    static Ref path_arg(PyObject *self);

    // The bound spec; empty when the list is schemaless.
    static Ref bound_spec(PyObject *self);

    // The bound spec's `element` (its element Field), read through Python;
    // empty when no spec is bound.
    static Maybe<Ref> element_of(PyObject *self);

    // The bound spec's `element.key.max_value` as it is; empty when no spec
    // is bound.
    static Maybe<Ref> max_value(PyObject *self);

    // The bound spec's `min_size`; none when no spec is bound.
    static Maybe<std::optional<std::int64_t>> min_size_val(PyObject *self);

    // The bound spec's `element.key.max_value`; none when no spec is bound or
    // the value is None.
    static Maybe<std::optional<std::int64_t>> max_size_val(PyObject *self);

    // ---- spec binding and construction ---------------------------------------

    // The calling thread's allow-partial scope when forced, else the node's.
    static bool accepts_partial(PyObject *self);

    static Ref use_value_spec(PyObject *self, PyObject *value_spec, bool allow_partial);

    // The one-pass construct of a list of scalars of exactly the element
    // spec's leaf type: appends `elements` (a list) and binds `spec` without
    // calling its `apply` or `custom_apply`. False, having written nothing,
    // for any input it does not own.
    static Maybe<bool> try_fused_typed_construct(PyObject *self, PyObject *spec, PyObject *elements);

    // `cls.__new__(cls)` holding the already validated elements of `value`,
    // bound to `value_spec` unchecked, at `root_path`, its non-scalar
    // elements adopted; `parent` (may be nullptr) is set last. No `__init__`.
    static Ref build_wrap_node(PyObject *cls, PyObject *value, PyObject *value_spec, bool allow_partial,
                               PyObject *root_path, PyObject *parent);

    // ---- writes ---------------------------------------------------------------

    // Whether `value` is an instance of the host's `Insertion` class.
    static Maybe<bool> is_insertion(PyObject *value);

    // The member stored for `value` under `idx` (a Python int): a scalar
    // unchanged while no spec is bound, anything else formalised against the
    // bound spec's element field and adopted. `seen` may be nullptr. A child
    // of the list is kept in place only when it is the element stored at
    // `idx` and the write replaces it (`inserts` false).
    static Ref _formalized_value(PyObject *self, PyObject *idx, PyObject *value, PyObject *seen,
                                 bool inserts = false);

    // The write itself, with no permission check and no notification: at or
    // past the end an append (nothing for a missing value), an `Insertion`
    // inserted before `index`, else a replacement. The change record, or
    // empty when nothing changed.
    static Maybe<Ref> _set_item_without_permission_check(PyObject *self, std::int64_t index, PyObject *value);

    // The core write at the end for an element copied from a list: a missing
    // value there is a padded slot, stored like any element instead of being
    // skipped as the core write skips it.
    static Maybe<Ref> append_copied(PyObject *self, PyObject *value);

    // Deletes the element at `i` through the base list and reports it, unless
    // notification is off. No permission check.
    static Status delete_and_notify(PyObject *self, std::int64_t i);

    // The item deletion `del list[key]`: the permission gates, the key's
    // type and bounds, then `delete_and_notify`.
    static Status delete_item(PyObject *self, PyObject *key);

    // `_notify_field_updates(updates)` unless `updates` (a list) is empty or
    // notification is off.
    static Status notify(PyObject *self, PyObject *updates);

    // `notify` of the one update a core write made, if it made one.
    static Status notify_update(PyObject *self, Maybe<Ref> update);

    // ---- mutators -------------------------------------------------------------

    // `type(self)(plain copy of the elements, value_spec=bound spec or None)`.
    static Ref copy(PyObject *self);

    // `self * n`: a new list of the class, extended `n` times by `self`
    // through its Python `extend` (not at all when `self` is empty), then
    // bound to `self`'s spec through its Python `use_value_spec`. A result
    // whose storage could not be allocated is refused with MemoryError first.
    static Ref repeat(PyObject *self, std::int64_t n);

    // ---- seams ----------------------------------------------------------------

    // A clone in one pass when every element is a scalar; None otherwise.
    static Ref _clone_if_primitive(PyObject *self);

    // Adoption of `value` as the element at `idx` (a Python int), the list
    // being owner and parent; a child of the list stays in place only when it
    // is the element stored at `idx`.
    static Ref _relocate_if_symbolic(PyObject *self, PyObject *idx, PyObject *value, PyObject *seen);

    // ---- topology -----------------------------------------------------------

    // Seals (or unseals) the symbolic elements, then the list; nothing when
    // the list is already in that state. Returns the list.
    static Ref sym_seal(PyObject *self, bool is_seal);

    // Gives every element in the tree its path under `new_path`, by index.
    static Status _update_children_paths(PyObject *self, PyObject *new_path);
};

}  // namespace norv::symbolic
