// Binding a value spec to a symbolic container, shared by SymDict and SymList:
// `use_value_spec`, which runs the spec's `apply` on the container, and
// `custom_apply`, the container's answer when the value-spec engine applies a
// spec to it. The two containers differ only in their spec class and the
// words of their messages.
#pragma once

#include <Python.h>

#include <array>

#include "core/boundary.hpp"
#include "core/ref.hpp"
#include "containers/container.hpp"

namespace norv::symbolic::binding {

struct Kind {
    const char *title;  // "Dict", "List": the container in messages
    const char *lower;  // "dict", "list"
    // The native spec class the container binds (subclasses included); NULL
    // with the error set when it cannot be made.
    PyTypeObject *(*spec_class)();
};

// Whether `spec` is of the container's spec class (subclasses included).
Maybe<bool> is_spec_of(const Kind &kind, PyObject *spec);

// Stores `spec` (None: none) as the bound spec without applying it; the
// displaced one is released after the access.
void store_spec(ContainerFields &f, PyObject *spec);

// Binds `value_spec` by calling `value_spec.apply(self, allow_partial=,
// child_transform=, root_path=)`, which calls back `custom_apply`; None
// unbinds and makes the container accessor-writable again. A spec of another
// class, or one unequal to the bound spec, is refused with a path-decorated
// message. Returns the container.
Ref use_value_spec(PyObject *self, ContainerFields &f, PyObject *value_spec, bool allow_partial,
                   const Kind &kind);

// `use_value_spec(value_spec, allow_partial=False)`; a refusal leaves the
// bound spec and the allow-partial flag as they were before the call.
Ref use_value_spec_face(PyObject *self, ContainerFields &f, FastArgs a, const Kind &kind);

// `custom_apply(path, value_spec, allow_partial, child_transform=None)` ->
// (proceed with the standard apply, the container).
Ref custom_apply_face(PyObject *self, ContainerFields &f, FastArgs a, const Kind &kind);

// The two methods for a container class whose fields `Of` finds and whose
// binding is `K`, with their entries in its method table.
template <ContainerFields &(*Of)(PyObject *), const Kind &K>
struct Faces {
    static Ref use_value_spec(PyObject *self, FastArgs a)
    {
        return use_value_spec_face(self, Of(self), a, K);
    }
    static Ref custom_apply(PyObject *self, FastArgs a) { return custom_apply_face(self, Of(self), a, K); }

    static std::array<PyMethodDef, 2> methods()
    {
        return {{
            method<use_value_spec>("use_value_spec",
                                   "use_value_spec($self, value_spec, allow_partial=False)\n--\n\n"
                                   "Bind a spec of the container's kind by applying it to the container, "
                                   "which validates the members (None unbinds)."),
            method<custom_apply>(
                "custom_apply",
                "custom_apply($self, path, value_spec, allow_partial, child_transform=None)\n"
                "--\n\n"
                "Take a spec applied to the container: answers "
                "(proceed_with_standard_apply, the container)."),
        }};
    }
};

}  // namespace norv::symbolic::binding
