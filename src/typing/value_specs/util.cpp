#include "typing/value_specs/util.hpp"

#include "core/args.hpp"
#include "typing/bridge/bridge.hpp"

namespace norv::typing::util {

Ref build_candidate_type_map(PyObject *candidates, bool no_value_type)
{
    if (no_value_type) {
        return Ref();
    }
    // A snapshot: the attribute reads below run Python code, which may change
    // the candidates list and drop the last reference to a candidate.
    Ref seq = legacy::checked(PySequence_Tuple(candidates));
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref refs = legacy::getattr(PyTuple_GET_ITEM(seq.get(), i), "forward_refs");
        if (legacy::require(PyObject_IsTrue(refs.get()))) {
            return Ref();
        }
    }
    Ref map = legacy::checked(PyDict_New());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *c = PyTuple_GET_ITEM(seq.get(), i);
        Ref vt = legacy::getattr(c, "_value_type");
        auto add = [&](PyObject *t) {
            if (!PyType_Check(t)) {
                return false;
            }
            PyObject *prev = nullptr;
            legacy::require(PyDict_GetItemRef(map.get(), t, &prev));
            Ref held = Ref::steal(prev);
            if (prev != nullptr && prev != c) {
                return false;
            }
            legacy::require(PyDict_SetItem(map.get(), t, c));
            return true;
        };
        if (PyTuple_Check(vt.get())) {
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(vt.get()); ++j) {
                if (!add(PyTuple_GET_ITEM(vt.get(), j))) {
                    return Ref();
                }
            }
        }
        else if (!add(vt.get())) {
            return Ref();
        }
    }
    return map;
}

Ref compute_open_str_value_spec(PyObject *schema)
{
    if (schema == nullptr || schema == Py_None) {
        return Ref();
    }
    Ref fields = legacy::getattr(schema, "fields");
    if (legacy::require_size(PyObject_Length(fields.get())) != 1) {
        return Ref();
    }
    Ref items = legacy::checked(PyObject_CallMethod(fields.get(), "items", nullptr));
    Ref it = legacy::checked(PyObject_GetIter(items.get()));
    Ref first = Ref::steal(PyIter_Next(it.get()));
    if (!first) {
        if (PyErr_Occurred()) {
            legacy::throw_set();
        }
        return Ref();
    }
    Ref key = legacy::checked(PySequence_GetItem(first.get(), 0));
    Ref field = legacy::checked(PySequence_GetItem(first.get(), 1));
    if (!legacy::require(PyObject_IsInstance(key.get(), bridge::get().str_key_cls))) {
        return Ref();
    }
    Ref regex = legacy::getattr(key.get(), "regex");
    if (regex.get() != Py_None) {
        return Ref();
    }
    return legacy::getattr(field.get(), bridge::names().value);
}

Ref as_type_args(PyObject *x)
{
    if (PyTuple_Check(x)) {
        return Ref::borrow(x);
    }
    return legacy::checked(PyTuple_Pack(1, x));
}

Ref from_annotation(PyObject *x)
{
    const bridge::Names &nm = bridge::names();
    PyObject *args[] = {bridge::get().value_spec_cls, x, Py_True};
    Ref kwnames = legacy::checked(PyTuple_Pack(1, nm.auto_typing));
    return legacy::checked(PyObject_VectorcallMethod(nm.from_annotation, args,
                                                  2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

Ref generic_getitem_result(PyObject *spec)
{
    Ref typing = legacy::checked(PyImport_ImportModule("typing"));
    Ref checking = legacy::getattr(typing.get(), "TYPE_CHECKING");
    if (legacy::require(PyObject_IsTrue(checking.get()))) {
        return legacy::getattr(spec, bridge::names().annotation);
    }
    return Ref::borrow(spec);
}

Ref union_getitem(PyObject *a, PyObject *b)
{
    PyObject *union_cls = bridge::get().union_cls;
    Ref pair = legacy::checked(PyTuple_Pack(2, a, b));
    return legacy::checked(PyObject_GetItem(union_cls, pair.get()));
}

Ref missing_default()
{
    return Ref::borrow(bridge::get().missing_value);
}

Ref root_path_display(PyObject *root_path)
{
    return root_path ? legacy::str_of(root_path) : legacy::new_str("None");
}

}  // namespace norv::typing::util
