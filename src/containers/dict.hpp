// SymDict: the native base of the host's symbolic dict class. A `dict`
// subclass whose members are the dict's own entries (read and written only
// with the interpreter's dict functions, never through methods a host
// subclass may override), carrying its native fields after the dict header.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "containers/binding.hpp"
#include "containers/container.hpp"
#include "containers/formalize.hpp"

namespace norv::symbolic {

struct DictFields : ContainerFields {
    // The attribute container of a symbolic object or record: its children
    // take the dict's parent (the object), not the dict, as their parent.
    bool as_object_attributes_container = false;
    // Set while construction binds its spec: the spec's `apply` writes the
    // converted members back through item assignment, which then passes no
    // permission gate and notifies nobody, as the rest of construction.
    bool constructing = false;
};

struct SymDictObject {
    PyDictObject dict;
    DictFields fields;
};

struct SymDict {
    // How construction takes its members in: validated (formalised, then the
    // spec applied), passed through (only adopted) or verbatim (stored as
    // they are); the last two bind the spec without applying it.
    enum class ConstructMode : std::uint8_t { Validate = 0, PassThrough = 1, Verbatim = 2 };

    // Optional objects are nullptr when absent (borrowed from the caller).
    struct ConstructOptions {
        PyObject *onchange_callback = nullptr;
        PyObject *root_path = nullptr;  // absent: the bridge's shared empty path
        PyObject *owner = nullptr;      // the clone check's owner when passing through; absent: the dict
        ConstructMode mode = ConstructMode::Validate;
        bool allow_partial = false;
        bool sealed = false;
        bool accessor_writable = true;
        bool as_object_attributes_container = false;
        bool wrap = true;
        bool sym_mode = true;
    };

    // The class (created on first use); NULL with the error set when
    // creating it failed.
    static PyTypeObject *type();

    // An instance of the class or of a subclass. False before the class exists.
    static bool check(PyObject *o) noexcept;

    // What binding a spec to a dict means: a `Dict` spec, dict messages.
    static const binding::Kind KIND;

    static DictFields &fields(PyObject *self) noexcept
    {
        return reinterpret_cast<SymDictObject *>(self)->fields;
    }

    // ---- construction and spec binding -----------------------------------------

    // Fills the dict from `normalized` (a dict of the members in their final
    // order) and resets its node state; sealing and accessor-writability take
    // effect only once every member is in. Existing members stay (merged).
    static Status construct_into(PyObject *self, PyObject *normalized, PyObject *value_spec,
                                 const ConstructOptions &options);

    // Binds (None: unbinds) a Dict spec; the spec's `apply` on the dict binds
    // itself through `custom_apply` and validates the members. Returns the dict.
    static Ref use_value_spec(PyObject *self, PyObject *value_spec, bool allow_partial);

    // The thread's allow-partial scope when forced, else the node's flag.
    static bool accepts_partial(PyObject *self);

    // Binds `value_spec` without applying it.
    static void bind_unapplied(PyObject *self, PyObject *value_spec);

    // The one-pass constructions of a validating construction with a spec:
    // true when the route took `normalized` (members stored, the spec bound
    // without being applied), false when the input is not of its shape or
    // the dict already holds members (nothing written), or an error. The
    // fused route takes an all-scalar input that covers an all-constant
    // native schema exactly and writes only once every member passed the
    // funnel; the single pass formalises each member with its field, then
    // the fields left out from the missing value, after refusing extra keys.
    // `seen` may be nullptr.
    static Maybe<bool> try_fused_schemaful_construct(PyObject *self, PyObject *value_spec,
                                                     PyObject *normalized);
    static Maybe<bool> try_single_pass_schemaful_construct(PyObject *self, PyObject *value_spec,
                                                           PyObject *normalized, PyObject *seen);

    // `cls.__new__(cls)`, which must make a SymDict (else the cast TypeError).
    static Ref new_blank(PyObject *cls);

    // An object's attribute container: a new instance of the object bridge's
    // `dict_cls` (whose installation the caller checks) constructed from
    // `normalized`, its members stored as they are (`verbatim`) or adopted
    // with `owner` (optional) as the clone check's owner; accessor-writable,
    // wrapping, marked as an attributes container. `value_spec` and
    // `root_path` are optional.
    static Ref build_object_attrs(PyObject *normalized, PyObject *value_spec, bool allow_partial, bool sealed,
                                  bool sym_mode, PyObject *root_path, bool verbatim, PyObject *owner);

    // A validated plain dict as a new node of `cls` bound to `value_spec`,
    // its symbolic members adopted; `parent` may be nullptr. No `__init__`
    // runs and nothing is validated again.
    static Ref build_wrap_node(PyObject *cls, PyObject *value, PyObject *value_spec, bool allow_partial,
                               PyObject *root_path, PyObject *parent);

    // ---- reads --------------------------------------------------------------

    // The instance itself, as its dict storage.
    static PyObject *storage(PyObject *self);

    // The bound spec's `schema`, read through Python; empty when no spec is
    // bound or the spec has none.
    static Maybe<Ref> schema_of(PyObject *self);

    // The stored keys in schema order: the schema's constant keys that are
    // stored, in field order, then every other stored key in storage order.
    static Ref schema_ordered_keys(PyObject *self, PyObject *schema);

    // An iterator over a snapshot of (key, raw member) pairs, in schema order
    // when a schema is bound, else in storage order.
    static Ref sym_items(PyObject *self);

    // The node's path, None when absent.
    static Ref path_arg(PyObject *self);

    // ---- topology -----------------------------------------------------------

    // The parent adopted children receive: the dict, or for an object's
    // attribute container, the dict's own parent (None while unattached).
    static Ref _sym_parent_for_children(PyObject *self);

    // Seals (or unseals) the symbolic children, then the dict; nothing when
    // the dict is already in that state. Returns the dict.
    static Ref sym_seal(PyObject *self, bool is_seal);

    // Gives every child in the tree its path under `new_path`, in schema order.
    static Status _update_children_paths(PyObject *self, PyObject *new_path);

    // Adoption of `value` under `key` with the dict's own context.
    static Ref _relocate_if_symbolic(PyObject *self, PyObject *key, PyObject *value, PyObject *seen);

    // ---- writes ---------------------------------------------------------------

    // The host's decoration of `text` with the dict's path.
    static Ref error_message(PyObject *self, PyObject *text);

    // Raises `exc` with `text` (null: its error is raised) decorated by the host.
    static Error raise_decorated(PyObject *self, PyObject *exc, Ref text);

    // Members are keyed by ints and strs (bools and subclasses included);
    // any other key raises the decorated KeyError.
    static Error refuse_key(PyObject *self, PyObject *key);

    // The target of the dict's change records: the parent whose path is the
    // dict's own (the object whose attributes the dict holds), else the dict.
    static Ref owner(PyObject *self);

    // The write itself, with no permission check and no notification: the
    // change record, or empty when nothing changed.
    static Maybe<Ref> _set_item_without_permission_check(PyObject *self, PyObject *key, PyObject *value);

    // `formalize_field` with the dict's own context; `field` and `seen` may
    // be nullptr.
    static Ref _formalized_value(PyObject *self, PyObject *key, PyObject *field, PyObject *value,
                                 PyObject *seen);

    // ---- formalisation --------------------------------------------------------

    // The member stored for `value` under `key` (a dict key or a list index):
    // a scalar unchanged unless `field` (may be nullptr) validates it and
    // cannot take it as it is; any other value wrapped by the host, replaced
    // by the field's default when missing (as `ctx` says), validated by the
    // field and adopted under `ctx.owner`. `seen` is a set or nullptr;
    // `replaced` as `adopt::relocate_if_symbolic` takes it. Shared by every
    // container.
    static Ref formalize_field(PyObject *key, PyObject *field, PyObject *value, const FormalizeCtx &ctx,
                               PyObject *seen, std::optional<PyObject *> replaced = std::nullopt);
};

}  // namespace norv::symbolic
