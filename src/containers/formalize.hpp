// Member formalisation: what turns a value written into a symbolic container
// into the member that is stored (validated by its field, wrapped into a
// symbolic container when asked, adopted as a child). Dict and list writes
// and the validating constructors share it, each with its own context.
#pragma once

#include <Python.h>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "containers/container.hpp"

namespace norv::symbolic {

// The context of one formalisation, read from the container before any host
// code runs.
struct FormalizeCtx {
    Ref root_path;            // the container's path, None when it has none
    PyObject *owner;          // the adopting container (borrowed from the caller)
    Ref parent_for_children;  // what an adopted child gets as its parent
    bool sym_mode;            // adoption is on
    bool allow_partial;       // effective: the scope when forced, else the node's flag
    bool node_allow_partial;  // the node's own flag, for the symbolic child transform
    bool wrap;                // wrap plain containers unless the field says otherwise
    bool missing_takes_default;
};

// `field.apply(value, allow_partial=, transform_fn=, root_path=)`; a native
// field applies natively. `transform` nullptr passes None.
Ref apply_field(PyObject *field, PyObject *value, bool allow_partial, PyObject *transform,
                PyObject *root_path);

namespace container {

// The context of `owner`'s own members, read in one short shared hold of its
// fields; a native operation holding them exclusively is an internal fault.
FormalizeCtx formalize_ctx(PyObject *owner, ContainerFields &f, Ref parent_for_children,
                           bool missing_takes_default);

}  // namespace container

}  // namespace norv::symbolic
