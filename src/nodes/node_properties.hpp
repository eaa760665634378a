// The node-state properties, written once for every owner that embeds a
// `SymNode` next to the access flag guarding it (`node` and `borrow`
// members): the containers and the dict-layout objects.
//
// A getset closure names the role the property exposes on the owner's
// fields: a reference (None when absent; a setter stores any object, None as
// absent) or a flag (a setter takes only a bool, its value named "v").
// Deleting either raises "property has no deleter".
#pragma once

#include <Python.h>

#include <array>
#include <utility>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/none.hpp"
#include "core/ref.hpp"
#include "nodes/sym_node.hpp"

namespace norv::symbolic::node_properties {

template <class Fields>
struct RefRole {
    Ref &(*of)(Fields &);
};
template <class Fields>
struct FlagRole {
    bool &(*of)(Fields &);
};

// The node-state roles every owner keeps in its `SymNode`.
template <class Fields>
struct NodeRoles {
    static constexpr RefRole<Fields> PARENT{[](Fields &f) -> Ref & { return f.node.parent; }};
    static constexpr RefRole<Fields> PATH{[](Fields &f) -> Ref & { return f.node.path; }};
    static constexpr RefRole<Fields> ORIGIN{[](Fields &f) -> Ref & { return f.node.origin; }};
    static constexpr FlagRole<Fields> SEALED{[](Fields &f) -> bool & { return f.node.sealed; }};
    static constexpr FlagRole<Fields> ALLOW_PARTIAL{[](Fields &f) -> bool & { return f.node.allow_partial; }};
    static constexpr FlagRole<Fields> ACCESSOR_WRITABLE{
        [](Fields &f) -> bool & { return f.node.accessor_writable; }};
};

inline void *closure(const void *role) noexcept
{
    return const_cast<void *>(role);
}

inline Status no_read_guard(PyObject *)
{
    return Status::ok;
}

// The getters and setters over the `Fields` that `Of` finds on an instance.
// A getter runs `ReadGuard` inside its shared hold before it reads; a setter
// converts its value before the exclusive hold and releases what it
// displaces after it, since that finalizer may read this node.
template <class Fields, Fields &(*Of)(PyObject *), Status (*ReadGuard)(PyObject *) = no_read_guard>
struct Properties {
    static PyObject *get_ref(PyObject *self, void *c)
    {
        return read(self,
                    [&](Fields &f) { return none_if_null(static_cast<const RefRole<Fields> *>(c)->of(f)); });
    }

    static int set_ref(PyObject *self, PyObject *v, void *c)
    {
        return write(self, v, [&](Fields &f) -> Status {
            Ref displaced = Ref::borrow(null_if_none(v));
            {
                ExclusiveBorrow hold(f.borrow);
                if (hold.failed()) {
                    return error;
                }
                std::swap(displaced, static_cast<const RefRole<Fields> *>(c)->of(f));
            }
            return Status::ok;
        });
    }

    static PyObject *get_flag(PyObject *self, void *c)
    {
        return read(self,
                    [&](Fields &f) { return new_bool(static_cast<const FlagRole<Fields> *>(c)->of(f)); });
    }

    static int set_flag(PyObject *self, PyObject *v, void *c)
    {
        return write(self, v, [&](Fields &f) -> Status {
            Maybe<bool> b = bool_arg("v", v, false, ArgCause::Conversion);
            if (!b) {
                return error;
            }
            ExclusiveBorrow hold(f.borrow);
            if (hold.failed()) {
                return error;
            }
            static_cast<const FlagRole<Fields> *>(c)->of(f) = *b;
            return Status::ok;
        });
    }

    // The properties of the node itself, each role writable under its
    // underscored name; parent and path also read-only without it.
    static std::array<PyGetSetDef, 8> node_getset()
    {
        using R = NodeRoles<Fields>;
        return {{
            {"_sym_parent", get_ref, set_ref, nullptr, closure(&R::PARENT)},
            {"sym_parent", get_ref, nullptr, nullptr, closure(&R::PARENT)},
            {"_sym_path", get_ref, set_ref, nullptr, closure(&R::PATH)},
            {"sym_path", get_ref, nullptr, nullptr, closure(&R::PATH)},
            {"_sym_origin", get_ref, set_ref, nullptr, closure(&R::ORIGIN)},
            {"_sealed", get_flag, set_flag, nullptr, closure(&R::SEALED)},
            {"_allow_partial", get_flag, set_flag, nullptr, closure(&R::ALLOW_PARTIAL)},
            {"_accessor_writable", get_flag, set_flag, nullptr, closure(&R::ACCESSOR_WRITABLE)},
        }};
    }

private:
    template <class Read>
    static PyObject *read(PyObject *self, Read &&body)
    {
        return guard([&]() -> Ref {
            Fields &f = Of(self);
            SharedBorrow hold(f.borrow);
            if (hold.failed() || failed(ReadGuard(self))) {
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

}  // namespace norv::symbolic::node_properties
