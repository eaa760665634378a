#include "core/registry.hpp"

#include <cstring>

#include "core/error.hpp"

namespace norv {

void add_name(PyObject *module, const char *name, PyObject *value)
{
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw PyErrSet{};
        }
        PyErr_Clear();
        all = Ref::checked(PyList_New(0));
        require(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) {
        raise(PyExc_TypeError, "__all__ must be a list");
    }
    Ref key = new_str(name);
    require(PyList_Append(all.get(), key.get()));
    require(PyObject_SetAttr(module, key.get(), value));
}

void add_function(PyObject *module, PyMethodDef *def)
{
    Ref modname = Ref::checked(PyModule_GetNameObject(module));
    Ref fn = Ref::checked(PyCFunction_NewEx(def, module, modname.get()));
    add_name(module, def->ml_name, fn.get());
}

void add_type(PyObject *module, PyTypeObject *type)
{
    const char *dot = std::strrchr(type->tp_name, '.');
    add_name(module, dot ? dot + 1 : type->tp_name, reinterpret_cast<PyObject *>(type));
}

void set_class_attr(PyTypeObject *type, const char *name, PyObject *value)
{
    require(PyDict_SetItemString(type->tp_dict, name, value));
    PyType_Modified(type);
}

PyTypeObject *TypeCell::get(PyType_Spec *spec, PyObject *bases, Init init)
{
    return reinterpret_cast<PyTypeObject *>(cell_.get_or_init([&] {
        Ref type = Ref::checked(PyType_FromSpecWithBases(spec, bases));
        if (init) {
            init(reinterpret_cast<PyTypeObject *>(type.get()));
        }
        return type;
    }));
}

}  // namespace norv
