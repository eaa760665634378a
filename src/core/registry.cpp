#include "core/registry.hpp"

#include <cstring>

#include "core/error.hpp"

namespace norv {

Status add_name(PyObject *module, const char *name, PyObject *value)
{
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) {
        return error;
    }
    Ref all = Ref::steal(found);
    if (!all) {
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return error;
        }
    }
    if (!PyList_Check(all.get())) {
        return raise(PyExc_TypeError, "__all__ must be a list");
    }
    Ref key = new_str(name);
    if (!key || PyList_Append(all.get(), key.get()) < 0) {
        return error;
    }
    return check(PyObject_SetAttr(module, key.get(), value));
}

Status add_function(PyObject *module, PyMethodDef *def)
{
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    if (!modname) {
        return error;
    }
    Ref fn = Ref::steal(PyCFunction_NewEx(def, module, modname.get()));
    if (!fn) {
        return error;
    }
    return add_name(module, def->ml_name, fn.get());
}

Status add_functions(PyObject *module, FunctionTable functions)
{
    for (PyMethodDef *def : functions) {
        if (failed(add_function(module, def))) {
            return error;
        }
    }
    return Status::ok;
}

Status add_type(PyObject *module, PyTypeObject *type)
{
    if (type == nullptr) {
        return error;
    }
    const char *dot = std::strrchr(type->tp_name, '.');
    return add_name(module, dot ? dot + 1 : type->tp_name, reinterpret_cast<PyObject *>(type));
}

Status set_class_attr(PyTypeObject *type, const char *name, PyObject *value)
{
    if (PyDict_SetItemString(type->tp_dict, name, value) < 0) {
        return error;
    }
    PyType_Modified(type);
    return Status::ok;
}

Status set_serializable_class_attrs(PyTypeObject *type, const char *serialization_key)
{
    Ref key = new_str(serialization_key);
    if (!key || failed(set_class_attr(type, "__serialization_key__", key.get()))) {
        return error;
    }
    return mark_formattable(type);
}

Status mark_formattable(PyTypeObject *type)
{
    return set_class_attr(type, "__norv_formattable__", Py_True);
}

PyTypeObject *TypeCell::get(PyType_Spec *spec, PyObject *bases, Init init)
{
    return reinterpret_cast<PyTypeObject *>(cell_.get_or_init([&]() -> Ref {
        Ref type = Ref::steal(PyType_FromSpecWithBases(spec, bases));
        if (type && init && failed(init(reinterpret_cast<PyTypeObject *>(type.get())))) {
            return error;
        }
        return type;
    }));
}

}  // namespace norv
