#include "typing/key_specs/common.hpp"

#include "core/args.hpp"
#include "core/registry.hpp"
#include "typing/key_specs/key_specs.hpp"

namespace norv::key_specs {

void raise_extend_reject(PyObject *exc, PyObject *self, PyObject *base, const char *reason)
{
    Ref self_text = legacy::str_of(self);
    Ref base_text = legacy::str_of(base);
    legacy::raise_format(exc, "%U cannot extend %U%s", self_text.get(), base_text.get(), reason);
}

bool eq_truth(PyObject *a, PyObject *b)
{
    Ref eq = legacy::checked(PyObject_RichCompare(a, b, Py_EQ));
    return legacy::require(PyObject_IsTrue(eq.get())) != 0;
}

Ref extend_if_equal(PyObject *self, PyObject *base)
{
    if (eq_truth(self, base)) {
        return Ref::borrow(self);
    }
    raise_extend_reject(PyExc_KeyError, self, base, " for keys are different.");
}

Ref from_json_field(PyObject *json_value, const char *name)
{
    if (!PyDict_Check(json_value)) {
        legacy::raise_not_instance(json_value, "dict");
    }
    PyObject *value = nullptr;
    legacy::require(PyDict_GetItemStringRef(json_value, name, &value));
    return Ref::steal(value);
}

Ref false_value(PyObject *) { return new_bool(false); }

Ref none_value(PyObject *) { return none(); }

Ref alloc_instance(PyTypeObject *type) { return legacy::checked(type->tp_alloc(type, 0)); }

void dealloc_plain(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

void register_names(PyObject *module)
{
    legacy::add_type(module, const_str_key_type());
    legacy::add_type(module, str_key_type());
    legacy::add_type(module, list_key_type());
    legacy::add_type(module, tuple_key_type());
}

}  // namespace norv::key_specs
