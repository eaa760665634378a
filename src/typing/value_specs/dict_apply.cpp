// Child application of the Dict kind: the schema's own `apply`, or, for an
// open dict whose keys are any str, the open value spec entry by entry.
#include "core/none.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/services.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/containers.hpp"
#include "typing/value_specs/primitives.hpp"

namespace norv::typing::containers {

namespace {

// `schema.apply(value, allow_partial=, child_transform=, root_path=, inplace=)`.
Ref schema_apply(PyObject *schema, PyObject *value, bool allow_partial, PyObject *child_transform,
                 PyObject *root_path, bool inplace)
{
    // The native class is final: its Python `apply` is this very call. The
    // kind step runs under a level the caller already counted.
    if (schema::is_schema(schema)) {
        return schema::apply_held(schema, value, allow_partial, child_transform, null_if_none(root_path),
                                  false, inplace, true);
    }
    PyObject *args[] = {schema,    value,           py_bool(allow_partial), none_if_null(child_transform),
                        root_path, py_bool(inplace)};
    return Ref::steal(
        PyObject_VectorcallMethod(interned<"apply">(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  kwnames<"allow_partial", "child_transform", "root_path", "inplace">()));
}

// Whether the open value spec takes any value unchanged, as an unconstrained
// Any does.
Maybe<bool> open_any(PyObject *v)
{
    PyTypeObject *any = primitives::any_type();
    if (any == nullptr) {
        return error;
    }
    if (PyObject_TypeCheck(v, any)) {
        base::NativeRead read(v);
        if (read.failed()) {
            return error;
        }
        return !read.engine().frozen && !read.engine().transform;
    }
    const Maybe<bool> any_type = truth_attr<"_is_any_type">(v);
    if (!any_type || !*any_type) {
        return any_type;
    }
    Ref transform = getattr(v, "_transform");
    if (!transform) {
        return error;
    }
    if (transform.get() != Py_None) {
        return false;
    }
    const Maybe<bool> is_frozen = truth_attr<"_frozen">(v);
    if (!is_frozen) {
        return error;
    }
    return !*is_frozen;
}

// (key, value) pairs of `value.items()`, taken before any entry is touched.
Ref snapshot_items(PyObject *value)
{
    Ref items = Ref::steal(PyObject_CallMethod(value, "items", nullptr));
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    Ref out = Ref::steal(PyList_New(0));
    if (!it || !out) {
        return error;
    }
    Ref zero = new_int(0), one = new_int(1);
    if (!zero || !one) {
        return error;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref k = Ref::steal(PyObject_GetItem(item.get(), zero.get()));
        Ref v = k ? Ref::steal(PyObject_GetItem(item.get(), one.get())) : Ref();
        Ref pair = v ? Ref::steal(PyTuple_Pack(2, k.get(), v.get())) : Ref();
        if (!pair || PyList_Append(out.get(), pair.get()) < 0) {
            return error;
        }
    }
    if (PyErr_Occurred()) {
        return error;
    }
    return out;
}

}  // namespace

Ref dict_apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                    engine::PathText &path, bool inplace)
{
    const DictKind *d = e.kind.get<DictKind>();
    if (!d->schema || d->schema.get() == Py_None) {
        return Ref::borrow(value);
    }
    Ref schema = Ref::borrow(d->schema.get());
    Ref open = Ref::borrow(d->open_str_value_spec.get());
    Ref root = engine::ensure_keypath(path.root_path());
    if (!root) {
        return error;
    }
    if (child_transform != nullptr || !open || open.get() == Py_None) {
        return schema_apply(schema.get(), value, allow_partial, child_transform, root.get(), inplace);
    }

    Maybe<Ref> leaf = funnel::exact_leaf_type(open.get());
    if (!leaf) {
        return error;
    }
    Ref t = std::move(*leaf);
    const Maybe<bool> any = open_any(open.get());
    if (!any) {
        return error;
    }
    Ref target = (!inplace && PyDict_CheckExact(value)) ? Ref::steal(PyDict_Copy(value)) : Ref::borrow(value);
    if (!target) {
        return error;
    }
    Ref entries = snapshot_items(target.get());
    if (!entries) {
        return error;
    }
    PyObject *names = kwnames<"allow_partial", "inplace", "root_path">();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject *pair = PyList_GET_ITEM(entries.get(), i);
        PyObject *key = PyTuple_GET_ITEM(pair, 0), *x = PyTuple_GET_ITEM(pair, 1);
        if (!PyUnicode_Check(key)) {
            // Entries already replaced here stay replaced; the schema sees them as they are.
            return schema_apply(schema.get(), target.get(), allow_partial, nullptr, root.get(), inplace);
        }
        if (t && reinterpret_cast<PyObject *>(Py_TYPE(x)) == t.get()) {
            continue;
        }
        if (*any) {
            if (bridge::is_any_fast_type(x, true)) {
                continue;
            }
            const Maybe<bool> custom = bridge::is_custom_typing(x);
            if (!custom) {
                return error;
            }
            if (!*custom) {
                const Maybe<bool> missing = bridge::is_missing(x);
                if (!missing) {
                    return error;
                }
                if (!*missing) {
                    continue;
                }
            }
        }
        Ref child = keypath::child_key_path(key, root.get());
        if (!child) {
            return error;
        }
        PyObject *args[] = {open.get(), x, py_bool(allow_partial), py_bool(inplace), child.get()};
        Ref r = Ref::steal(
            PyObject_VectorcallMethod(interned<"apply">(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
        if (!r) {
            return error;
        }
        if (r.get() != x && PyObject_SetItem(target.get(), key, r.get()) < 0) {
            return error;
        }
    }
    return target;
}

}  // namespace norv::typing::containers
