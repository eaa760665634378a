#include "topology/missing.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/once.hpp"
#include "core/registry.hpp"

namespace norv::missing {

namespace {

constexpr const char *TEXT = "MISSING_VALUE";
constexpr const char *SERIALIZATION_KEY = "norv.topology._missing.MissingValue";

TypeCell TYPE;
OnceCell<Py_hash_t> HASH;
ObjectCell SINGLETON;

Ref new_instance()
{
    PyTypeObject *tp = type();
    if (tp == nullptr) {
        return error;
    }
    return Ref::steal(tp->tp_alloc(tp, 0));
}

const Signature NEW_SIG{"MissingValue", {}};
const Signature DEEPCOPY_SIG{"MissingValue.__deepcopy__", {arg("_memo")}, {.method = true}};
const Signature TO_JSON_SIG{"MissingValue.to_json", {}, {.var_kwargs = true, .method = true}};
const Signature FROM_JSON_SIG{
    "MissingValue.from_json", {arg("_json_value")}, {.var_kwargs = true, .method = true}};

PyObject *missing_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        return new_instance();
    });
}

PyObject *missing_repr(PyObject *)
{
    return PyUnicode_FromString(TEXT);
}

Py_hash_t missing_hash(PyObject *)
{
    return guard_int<Py_hash_t>([]() -> Py_hash_t {
        if (const Py_hash_t *cached = HASH.get()) {
            return *cached;
        }
        // The module name followed by the class name, without a dot.
        Ref key = new_str("norv.topology._missingMissingValue");
        if (!key) {
            return -1;
        }
        const Py_hash_t h = PyObject_Hash(key.get());
        if (h == -1) {
            return -1;
        }
        HASH.set(h);
        return h;
    });
}

PyObject *missing_richcompare(PyObject *self, PyObject *other, int op)
{
    if (!is_missing_value(self) || (op != Py_EQ && op != Py_NE)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    bool equal = Py_TYPE(other) == type();
    return Py_NewRef((equal == (op == Py_EQ)) ? Py_True : Py_False);
}

Ref missing_format(PyObject *, FastArgs)
{
    return new_str(TEXT);
}

Ref missing_copy(PyObject *)
{
    return new_instance();
}

Ref missing_deepcopy(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(a, b))) {
        return error;
    }
    return new_instance();
}

Ref missing_reduce(PyObject *)
{
    PyTypeObject *tp = type();
    if (tp == nullptr) {
        return error;
    }
    return Ref::steal(Py_BuildValue("(O())", reinterpret_cast<PyObject *>(tp)));
}

Ref missing_to_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(TO_JSON_SIG.bind(a, b))) {
        return error;
    }
    return Ref::steal(Py_BuildValue("{ss}", "_type", SERIALIZATION_KEY));
}

Ref missing_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    return new_instance();
}

PyMethodDef METHODS[] = {
    method<missing_format>("format", "format($self, *_args, **_kwargs)\n--\n\n"),
    method_noargs<missing_copy>("__copy__", "__copy__($self)\n--\n\n"),
    method<missing_deepcopy>("__deepcopy__", "__deepcopy__($self, _memo)\n--\n\n"),
    method_noargs<missing_reduce>("__reduce__", "__reduce__($self)\n--\n\n"),
    method<missing_to_json>("to_json", "to_json($self, **_kwargs)\n--\n\n"),
    method<missing_from_json>("from_json", "from_json($cls, _json_value, **_kwargs)\n--\n\n", METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc,
     const_cast<char *>("MissingValue()\n--\n\nThe placeholder of a value that has not been assigned.")},
    {Py_tp_new, reinterpret_cast<void *>(missing_new)},
    {Py_tp_repr, reinterpret_cast<void *>(missing_repr)},
    {Py_tp_str, reinterpret_cast<void *>(missing_repr)},
    {Py_tp_hash, reinterpret_cast<void *>(missing_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(missing_richcompare)},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = SERIALIZATION_KEY,
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    // Not subclassable: that is what makes the exact-type equality test the
    // same as an isinstance test.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

Status init_class(PyTypeObject *tp)
{
    return set_serializable_class_attrs(tp, SERIALIZATION_KEY);
}

Ref missing_value_singleton(PyObject *)
{
    return Ref::borrow(singleton());
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef SINGLETON_DEF = method_noargs<missing_value_singleton>(
    "missing_value_singleton",
    "missing_value_singleton()\n--\n\nReturn the canonical `MISSING_VALUE` singleton (one cached instance).");

PyTypeObject *type()
{
    return TYPE.get(&SPEC, nullptr, init_class);
}

bool is_missing_value(PyObject *value) noexcept
{
    return Py_TYPE(value) == TYPE.peek();
}

PyObject *singleton()
{
    return SINGLETON.get_or_init(new_instance);
}

}  // namespace norv::missing
