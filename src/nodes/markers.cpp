#include "nodes/markers.hpp"

#include "core/ref.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field_meta.hpp"
#include "core/names.hpp"

namespace norv::symbolic::markers {

namespace {

// `hasattr(type(value), name)`. The builtin scalars and containers, their
// bases and their metaclass are immutable and carry none of the markers.
Maybe<bool> type_has(PyObject *value, PyObject *name)
{
    if (typing::bridge::is_any_fast_type(value, true)) {
        return false;
    }
    return has_attr(reinterpret_cast<PyObject *>(Py_TYPE(value)), name);
}

}  // namespace

Maybe<bool> is_symbolic(PyObject *value)
{
    return type_has(value, interned<"sym_clone">());
}

Maybe<bool> is_topology_aware(PyObject *value)
{
    return type_has(value, interned<"sym_setpath">());
}

Maybe<bool> is_inferential(PyObject *value)
{
    if (typing::funnel::is_scalar_value(value)) {
        return false;
    }
    return type_has(value, interned<"infer">());
}

Maybe<bool> child_sym_mode(PyObject *value)
{
    Ref mode = attr<"sym_mode">(value);
    if (!mode) {
        if (failed(discard_ordinary_error())) {
            return error;
        }
        return true;
    }
    return mode.get() != Py_False;
}

Maybe<bool> in_tree(PyObject *value)
{
    Maybe<bool> aware = is_topology_aware(value);
    if (!aware || !*aware) {
        return aware;
    }
    return child_sym_mode(value);
}

}  // namespace norv::symbolic::markers
