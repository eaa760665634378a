// Binding a value spec to a symbolic container, shared by SymDict and SymList:
// `use_value_spec`, which runs the spec's `apply` on the container, and
// `custom_apply`, the container's answer when the value-spec engine applies a
// spec to it. The two containers differ only in their spec class and the
// words of their messages.
#pragma once

#include <Python.h>

#include "core/boundary.hpp"
#include "core/ref.hpp"
#include "symbolic/container.hpp"

namespace norv::symbolic::binding {

struct Kind {
    const char *title;  // "Dict", "List": the container in messages
    const char *lower;  // "dict", "list"
    // The native spec class the container binds (subclasses included); NULL
    // with the error set when it cannot be made.
    PyTypeObject *(*spec_class)();
};

// Binds `value_spec` by calling `value_spec.apply(self, allow_partial=,
// child_transform=, root_path=)`, which calls back `custom_apply`; None
// unbinds and makes the container accessor-writable again. A spec of another
// class, or one unequal to the bound spec, is refused with a path-decorated
// message. Returns the container.
Ref use_value_spec(PyObject *self, ContainerFields &f, PyObject *value_spec, bool allow_partial,
                   const Kind &kind);

// `use_value_spec(value_spec, allow_partial=False)`.
Ref use_value_spec_face(PyObject *self, ContainerFields &f, FastArgs a, const Kind &kind);

// `custom_apply(path, value_spec, allow_partial, child_transform=None)` ->
// (proceed with the standard apply, the container).
Ref custom_apply_face(PyObject *self, ContainerFields &f, FastArgs a, const Kind &kind);

}  // namespace norv::symbolic::binding
