#include "typing/value_specs/util.hpp"

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "typing/bridge/typing_bridge.hpp"

namespace norv::typing::util {

namespace {

// Maps each class of `vt` (a class or a tuple of them) to `c`. False when a
// member is no class or another candidate claims it already (no map then).
Maybe<bool> add_candidate(PyObject *map, PyObject *vt, PyObject *c)
{
    auto add = [&](PyObject *t) -> Maybe<bool> {
        if (!PyType_Check(t)) {
            return false;
        }
        PyObject *prev = nullptr;
        if (PyDict_GetItemRef(map, t, &prev) < 0) {
            return error;
        }
        Ref held = Ref::steal(prev);
        if (prev != nullptr && prev != c) {
            return false;
        }
        if (PyDict_SetItem(map, t, c) < 0) {
            return error;
        }
        return true;
    };
    if (!PyTuple_Check(vt)) {
        return add(vt);
    }
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(vt); ++j) {
        const Maybe<bool> added = add(PyTuple_GET_ITEM(vt, j));
        if (!added || !*added) {
            return added;
        }
    }
    return true;
}

}  // namespace

Maybe<Ref> build_candidate_type_map(PyObject *candidates, bool no_value_type)
{
    if (no_value_type) {
        return Ref();
    }
    // A snapshot: the attribute reads below run Python code, which may change
    // the candidates list and drop the last reference to a candidate.
    Ref seq = Ref::steal(PySequence_Tuple(candidates));
    if (!seq) {
        return error;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Maybe<bool> has_refs = truth_attr<"forward_refs">(PyTuple_GET_ITEM(seq.get(), i));
        if (!has_refs) {
            return error;
        }
        if (*has_refs) {
            return Ref();
        }
    }
    Ref map = Ref::steal(PyDict_New());
    if (!map) {
        return error;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *c = PyTuple_GET_ITEM(seq.get(), i);
        Ref vt = getattr(c, "_value_type");
        if (!vt) {
            return error;
        }
        const Maybe<bool> added = add_candidate(map.get(), vt.get(), c);
        if (!added) {
            return error;
        }
        if (!*added) {
            return Ref();
        }
    }
    return map;
}

Maybe<Ref> compute_open_str_value_spec(PyObject *schema)
{
    if (schema == nullptr || schema == Py_None) {
        return Ref();
    }
    Ref fields = getattr(schema, "fields");
    if (!fields) {
        return error;
    }
    const Py_ssize_t n = PyObject_Length(fields.get());
    if (n < 0) {
        return error;
    }
    if (n != 1) {
        return Ref();
    }
    Ref items = Ref::steal(PyObject_CallMethod(fields.get(), "items", nullptr));
    if (!items) {
        return error;
    }
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) {
        return error;
    }
    Ref first = Ref::steal(PyIter_Next(it.get()));
    if (!first) {
        if (PyErr_Occurred()) {
            return error;
        }
        return Ref();
    }
    Ref key = Ref::steal(PySequence_GetItem(first.get(), 0));
    if (!key) {
        return error;
    }
    Ref field = Ref::steal(PySequence_GetItem(first.get(), 1));
    if (!field) {
        return error;
    }
    const int is_str_key = PyObject_IsInstance(key.get(), bridge::get().str_key_cls);
    if (is_str_key < 0) {
        return error;
    }
    if (!is_str_key) {
        return Ref();
    }
    Ref regex = getattr(key.get(), "regex");
    if (!regex) {
        return error;
    }
    if (regex.get() != Py_None) {
        return Ref();
    }
    return some(attr<"value">(field.get()));
}

Ref as_type_args(PyObject *x)
{
    if (PyTuple_Check(x)) {
        return Ref::borrow(x);
    }
    return Ref::steal(PyTuple_Pack(1, x));
}

Ref from_annotation(PyObject *x)
{
    PyObject *args[] = {bridge::get().value_spec_cls, x, Py_True};
    return Ref::steal(PyObject_VectorcallMethod(
        interned<"from_annotation">(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames<"auto_typing">()));
}

Ref generic_getitem_result(PyObject *spec)
{
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    if (!typing) {
        return error;
    }
    const Maybe<bool> type_checking = truth_attr<"TYPE_CHECKING">(typing.get());
    if (!type_checking) {
        return error;
    }
    if (*type_checking) {
        return attr<"annotation">(spec);
    }
    return Ref::borrow(spec);
}

Ref union_getitem(PyObject *a, PyObject *b)
{
    PyObject *union_cls = bridge::get().union_cls;
    Ref pair = Ref::steal(PyTuple_Pack(2, a, b));
    if (!pair) {
        return error;
    }
    return Ref::steal(PyObject_GetItem(union_cls, pair.get()));
}

Ref missing_default()
{
    return Ref::borrow(bridge::get().missing_value);
}

Ref root_path_display(PyObject *root_path)
{
    return root_path ? str_of(root_path) : new_str("None");
}

Status set_update(PyObject *set, PyObject *iterable)
{
    if (PyAnySet_Check(iterable) && PySet_GET_SIZE(iterable) == 0) {
        return Status::ok;  // the common answer of a leaf spec
    }
    if (!PyAnySet_Check(set)) {
        Ref r = Ref::steal(PyObject_CallMethod(set, "update", "(O)", iterable));
        return r ? Status::ok : Status::error;
    }
    if (PyAnySet_Check(iterable)) {
        // set |= other merges the stored members, exactly as update does.
        Ref r = Ref::steal(PyNumber_InPlaceOr(set, iterable));
        return r ? Status::ok : Status::error;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        return error;
    }
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        if (PySet_Add(set, x.get()) < 0) {
            return error;
        }
    }
    return PyErr_Occurred() ? Status::error : Status::ok;
}

Maybe<Ref> compile_regex(PyObject *regex)
{
    if (regex == nullptr) {
        return Ref();
    }
    const Maybe<bool> given = truth(regex);
    if (!given) {
        return error;
    }
    if (!*given) {
        return Ref();
    }
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    if (!re) {
        return error;
    }
    Ref compile = getattr(re.get(), "compile");
    if (!compile) {
        return error;
    }
    // One positional argument whatever its type: a tuple must reach
    // re.compile as itself, not as an argument list.
    Ref compiled = Ref::steal(PyObject_CallOneArg(compile.get(), regex));
    if (!compiled) {
        return error;
    }
    return compiled;
}

}  // namespace norv::typing::util
