#include "typing/key_specs/common.hpp"

#include "core/args.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"
#include "typing/key_specs/key_specs.hpp"

namespace norv::key_specs {

Error raise_extend_reject(PyObject *exc, PyObject *self, PyObject *base, const char *reason)
{
    Ref self_text = str_of(self);
    if (!self_text) {
        return error;
    }
    Ref base_text = str_of(base);
    if (!base_text) {
        return error;
    }
    return raise_format(exc, "%U cannot extend %U%s", self_text.get(), base_text.get(), reason);
}

Ref extend_if_equal(PyObject *self, PyObject *base)
{
    const Maybe<bool> eq = eq_truth(self, base);
    if (!eq) {
        return error;
    }
    if (*eq) {
        return Ref::borrow(self);
    }
    return raise_extend_reject(PyExc_KeyError, self, base, " for keys are different.");
}

Maybe<bool> check_extend(PyObject *key, PyObject *base)
{
    PyTypeObject *list = list_key_type();
    PyTypeObject *tuple = tuple_key_type();
    if (list == nullptr || tuple == nullptr) {
        return error;
    }
    Status (*refusal)(PyObject *, PyObject *) = Py_TYPE(key) == list    ? list_key_refusal
                                                : Py_TYPE(key) == tuple ? tuple_key_refusal
                                                                        : nullptr;
    if (refusal == nullptr) {
        return false;
    }
    if (failed(refusal(key, base))) {
        return error;
    }
    return true;
}

Status from_json_field(PyObject *json_value, const char *name, Ref &out)
{
    if (!PyDict_Check(json_value)) {
        return raise_not_instance(json_value, "dict");
    }
    PyObject *value = nullptr;
    if (PyDict_GetItemStringRef(json_value, name, &value) < 0) {
        return error;
    }
    out = Ref::steal(value);
    return Status::ok;
}

Ref false_value(PyObject *)
{
    return new_bool(false);
}

Ref none_value(PyObject *)
{
    return none();
}

Ref alloc_instance(PyTypeObject *type)
{
    if (type == nullptr) {
        return error;
    }
    return Ref::steal(type->tp_alloc(type, 0));
}

Status register_names(PyObject *module)
{
    // Each class is made only once the one before it was added.
    using TypeGetter = PyTypeObject *(*)();
    for (TypeGetter type : {const_str_key_type, str_key_type, list_key_type, tuple_key_type}) {
        if (failed(add_type(module, type()))) {
            return error;
        }
    }
    return Status::ok;
}

}  // namespace norv::key_specs
