// What `SymDict` and `SymList` share: the native fields after their storage,
// the node-state properties over them, and the collector's view of them.
//
// The fields are guarded by the container's access flag. Native code holds it
// only around its own reads and writes, never while Python code runs, so a
// conflict is met only by the collector's slots or by a fault of ours.
// Properties refuse a conflict with RuntimeError; native operations on the
// container treat one as an internal fault.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/ref.hpp"
#include "nodes/sym_node.hpp"
#include "nodes/node_properties.hpp"

namespace norv::symbolic {

struct ContainerFields {
    BorrowFlag borrow;
    Ref value_spec;         // the bound spec; absent: schemaless
    Ref onchange_callback;  // stored for the host, never called natively
    SymNode node;
    bool wrap = true;      // formalised members are wrapped into symbolic containers
    bool sym_mode = true;  // members are adopted; fixed at construction
};

namespace container {

// The node's path, None when absent.
Ref path_arg(ContainerFields &f);

// The bound spec, copied out in a shared hold; empty when schemaless.
Ref bound_spec(ContainerFields &f);

// A `seen` argument: a set (subclasses included), or None or absent
// (nullptr); anything else is the argument error naming "seen".
Maybe<PyObject *> seen_arg(PyObject *given);

// The one argument of a method that takes nothing else; a positional call
// skips the binding. NULL with the error set when binding by `sig` failed.
PyObject *one_arg(FastArgs a, const Signature &sig);

// Whether missing required values are tolerated: the thread's allow-partial
// scope when forced, else the node's own flag.
bool accepts_partial(ContainerFields &f);

// Traverse of the container's own references (parent, path, origin, value
// spec, callback); nothing while a native operation holds them exclusively.
int traverse_fields(const ContainerFields &f, visitproc visit, void *arg);

// Clear of the container's own references, released once the access ends;
// the flags keep their values. RuntimeError "Already borrowed" and -1 while
// the fields are in use.
int clear_fields(ContainerFields &f);

// ---- construction ------------------------------------------------------------

// The start of a construction, in one exclusive hold: no parent, `path`, the
// given allow-partial flag, writable and unsealed while the members come in,
// no spec and no callback, wrapping as given. The origin is left as it was.
void reset_for_construct(ContainerFields &f, Ref path, bool allow_partial, bool wrap);

// Under origin tracking, the bridge's default origin replaces the node's.
Status record_default_origin(ContainerFields &f);

// The end of a construction, once every member is in: the change callback
// (may be nullptr), then accessor-writability on this node alone, then the
// seal through the class's `seal` core.
Status finish_construct(PyObject *self, ContainerFields &f, PyObject *onchange_callback,
                        bool accessor_writable, bool sealed, Ref (*seal)(PyObject *self, bool is_seal));

// ---- pieces of the seams both containers share -------------------------------

// Adoption of `value` under `key` with the container's context: its symbolic
// mode, its path, itself as owner and `parent` for the child; `replaced` as
// `adopt::relocate_if_symbolic` takes it.
Ref relocate(PyObject *self, ContainerFields &f, PyObject *parent, PyObject *key, PyObject *value,
             PyObject *seen, std::optional<PyObject *> replaced = std::nullopt);

// The Python face of `_relocate_if_symbolic`: (key, value, seen=None) bound
// by `sig`, `seen` a set or None, then `core`.
Ref relocate_face(PyObject *self, FastArgs a, const Signature &sig,
                  Ref (*core)(PyObject *self, PyObject *key, PyObject *value, PyObject *seen));

// `cls.__new__(cls)`, refused with "'{}' object is not an instance of
// '{name}'" unless `check` accepts what it returned.
Ref new_blank(PyObject *cls, bool (*check)(PyObject *) noexcept, const char *name);

// A node built from validated members: reset as a construction would (no
// parent, `root_path`, `allow_partial`, writable, unsealed), `origin` stored
// (an empty one clears the one `__new__` left), the spec bound unchecked,
// wrapping on.
void init_wrap_node(ContainerFields &f, PyObject *root_path, bool allow_partial, PyObject *value_spec,
                    Ref origin);

// A clone is a fresh root at the bridge's empty path with `origin`, sharing
// the source's spec and copying its allow-partial, writability and wrap
// flags; with `keep_seal_and_callback` also its seal and change callback
// (otherwise unsealed, and the callback is left as `__new__` made it).
void init_clone(ContainerFields &dst, ContainerFields &src, Ref origin, bool keep_seal_and_callback);

// ---- the class slots ----------------------------------------------------------
// The lifecycle of a container class over its builtin base `Base` (`dict` or
// `list`), whose instances carry `Fields` found by `Of`.
template <class Fields, Fields &(*Of)(PyObject *) noexcept, PyTypeObject *Base>
struct Slots {
    // Arguments are ignored: an empty container of `cls` with blank fields.
    static PyObject *tp_new(PyTypeObject *cls, PyObject *, PyObject *)
    {
        return guard([&]() -> Ref {
            Ref no_args = Ref::steal(PyTuple_New(0));
            if (!no_args) {
                return error;
            }
            Ref self = Ref::steal(Base->tp_new(cls, no_args.get(), nullptr));
            if (!self) {
                return error;
            }
            // The allocator zeroed the fields and tracked the object; nothing
            // ran in between, and zeroed fields read as holding nothing.
            new (&Of(self.get())) Fields();
            return self;
        });
    }

    static void dealloc(PyObject *self)
    {
        PyObject_GC_UnTrack(self);
        PyTypeObject *tp = Py_TYPE(self);
        // Trees nest: release a long chain without one C frame per level.
        Py_TRASHCAN_BEGIN(self, dealloc)
        {
            Of(self).~Fields();
            Base->tp_dealloc(self);
            // `subtype_dealloc` leaves the reference to the type to its
            // nearest heap-type base, this class.
            Py_DECREF(tp);
        }
        Py_TRASHCAN_END
    }

    // The instance's type first: the base's traverse does not visit it, and a
    // host subclass's traverse leaves that to its nearest heap-type base.
    static int traverse(PyObject *self, visitproc visit, void *arg)
    {
        Py_VISIT(Py_TYPE(self));
        if (const int rc = Base->tp_traverse(self, visit, arg)) {
            return rc;
        }
        return traverse_fields(Of(self), visit, arg);
    }

    static int clear(PyObject *self)
    {
        return guard_int([&] {
            if (Base->tp_clear(self) != 0) {
                return -1;
            }
            return clear_fields(Of(self));
        });
    }
};

// ---- node-state properties -------------------------------------------------
// The node's properties (`node_properties`) and the container's own.

template <ContainerFields &(*Of)(PyObject *)>
using Properties = node_properties::Properties<ContainerFields, Of>;

using RefRole = node_properties::RefRole<ContainerFields>;
using FlagRole = node_properties::FlagRole<ContainerFields>;
using node_properties::closure;

inline constexpr RefRole VALUE_SPEC{[](ContainerFields &f) -> Ref & { return f.value_spec; }};
inline constexpr RefRole ONCHANGE_CALLBACK{[](ContainerFields &f) -> Ref & { return f.onchange_callback; }};
inline constexpr FlagRole WRAP{[](ContainerFields &f) -> bool & { return f.wrap; }};
inline constexpr FlagRole SYM_MODE{[](ContainerFields &f) -> bool & { return f.sym_mode; }};

// The properties every container exposes after its node's.
template <class Props>
std::array<PyGetSetDef, 4> own_properties()
{
    return {{
        {"_value_spec", Props::get_ref, Props::set_ref, nullptr, closure(&VALUE_SPEC)},
        {"_onchange_callback", Props::get_ref, Props::set_ref, nullptr, closure(&ONCHANGE_CALLBACK)},
        {"_wrap", Props::get_flag, Props::set_flag, nullptr, closure(&WRAP)},
        {"sym_mode", Props::get_flag, nullptr, nullptr, closure(&SYM_MODE)},
    }};
}

// The type slots every container class has, its lifecycle `Lifecycle`
// (`Slots<...>`); the class adds its own and the terminator (`table`).
template <class Lifecycle>
std::array<PyType_Slot, 7> common_slots(const char *doc, PyMethodDef *methods, PyGetSetDef *getset)
{
    return {{
        {Py_tp_doc, const_cast<char *>(doc)},
        {Py_tp_new, reinterpret_cast<void *>(Lifecycle::tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void *>(Lifecycle::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(Lifecycle::traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(Lifecycle::clear)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
    }};
}

}  // namespace container

}  // namespace norv::symbolic
