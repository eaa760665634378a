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

#include <cstdint>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/ref.hpp"
#include "symbolic/node.hpp"

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

// A `seen` argument: a set (subclasses included), or None or absent
// (nullptr); anything else is the argument error naming "seen".
Maybe<PyObject *> seen_arg(PyObject *given);

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

// ---- node-state properties -------------------------------------------------
// A getset closure names the field: a reference (None when absent; a setter
// stores any object, None as absent) or a bool (a setter takes only a bool,
// its value named "v"). Deleting either raises "property has no deleter".

struct RefField {
    Ref &(*of)(ContainerFields &);
};
struct BoolField {
    bool &(*of)(ContainerFields &);
};

inline void *closure(const void *field) noexcept
{
    return const_cast<void *>(field);
}

template <ContainerFields &(*Of)(PyObject *)>
struct Properties {
    static PyObject *get_ref(PyObject *self, void *c)
    {
        return read(self,
                    [&](ContainerFields &f) { return or_none(static_cast<const RefField *>(c)->of(f)); });
    }

    static int set_ref(PyObject *self, PyObject *v, void *c)
    {
        return write(self, v, [&](ContainerFields &f) -> Status {
            // Released after the access: its finalizer may read this container.
            Ref displaced = absent_if_none(v);
            {
                ExclusiveBorrow hold(f.borrow);
                if (hold.failed()) {
                    return error;
                }
                std::swap(displaced, static_cast<const RefField *>(c)->of(f));
            }
            return Status::ok;
        });
    }

    static PyObject *get_bool(PyObject *self, void *c)
    {
        return read(self,
                    [&](ContainerFields &f) { return new_bool(static_cast<const BoolField *>(c)->of(f)); });
    }

    static int set_bool(PyObject *self, PyObject *v, void *c)
    {
        return write(self, v, [&](ContainerFields &f) -> Status {
            Maybe<bool> b = bool_arg("v", v, false, ArgCause::Conversion);
            if (!b) {
                return error;
            }
            ExclusiveBorrow hold(f.borrow);
            if (hold.failed()) {
                return error;
            }
            static_cast<const BoolField *>(c)->of(f) = *b;
            return Status::ok;
        });
    }

private:
    template <class Read>
    static PyObject *read(PyObject *self, Read &&body)
    {
        return guard([&]() -> Ref {
            ContainerFields &f = Of(self);
            SharedBorrow hold(f.borrow);
            if (hold.failed()) {
                return error;
            }
            return body(f);
        });
    }

    template <class Write>
    static int write(PyObject *self, PyObject *v, Write &&body)
    {
        if (v == nullptr) {
            return refuse_property_delete();
        }
        return guard_int([&] { return body(Of(self)); });
    }
};

// The fields every container exposes.
inline constexpr RefField PARENT{[](ContainerFields &f) -> Ref & { return f.node.parent; }};
inline constexpr RefField PATH{[](ContainerFields &f) -> Ref & { return f.node.path; }};
inline constexpr RefField ORIGIN{[](ContainerFields &f) -> Ref & { return f.node.origin; }};
inline constexpr RefField VALUE_SPEC{[](ContainerFields &f) -> Ref & { return f.value_spec; }};
inline constexpr RefField ONCHANGE_CALLBACK{[](ContainerFields &f) -> Ref & { return f.onchange_callback; }};
inline constexpr BoolField SEALED{[](ContainerFields &f) -> bool & { return f.node.sealed; }};
inline constexpr BoolField ALLOW_PARTIAL{[](ContainerFields &f) -> bool & { return f.node.allow_partial; }};
inline constexpr BoolField ACCESSOR_WRITABLE{
    [](ContainerFields &f) -> bool & { return f.node.accessor_writable; }};
inline constexpr BoolField WRAP{[](ContainerFields &f) -> bool & { return f.wrap; }};
inline constexpr BoolField SYM_MODE{[](ContainerFields &f) -> bool & { return f.sym_mode; }};

}  // namespace container

}  // namespace norv::symbolic
