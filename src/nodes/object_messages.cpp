#include "nodes/object_messages.hpp"

#include "core/args.hpp"
#include "core/names.hpp"
#include "nodes/object_bridge.hpp"

namespace norv::symbolic::object {

Ref class_name_text(PyObject *cls)
{
    Ref name = attr<"__name__">(cls);
    if (name && !PyUnicode_Check(name.get())) {
        return raise_not_instance(name.get(), "str");
    }
    return name;
}

Error blank_object_error(PyTypeObject *type)
{
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        return error;
    }
    return raise_format(PyExc_ValueError, "%U.__init__ should call `super().__init__`.", name.get());
}

Error missing_attribute_error(PyTypeObject *type, PyObject *name)
{
    Ref type_name = Ref::steal(PyType_GetName(type));
    Ref text = type_name ? str_of(name) : Ref();
    return text ? raise_format(PyExc_AttributeError, "'%U' object has no attribute '%U'", type_name.get(),
                               text.get())
                : error;
}

Error raise_symbolic_mode_error(PyObject *message)
{
    Ref exc = Ref::steal(PyObject_CallOneArg(bridge::get().symbolic_mode_error, message));
    return exc ? raise_object(exc.get()) : error;
}

Error record_inferential_sym_false_err(PyObject *cls, PyObject *name)
{
    Ref cls_name = class_name_text(cls);
    Ref text = cls_name ? str_of(name) : Ref();
    Ref message = text ? Ref::steal(PyUnicode_FromFormat(
                             "contextual attribute `%U` requires a symbolic tree, but %U was declared with "
                             "`sym=False`. Declare the class with `sym=True` to use it.",
                             text.get(), cls_name.get()))
                       : Ref();
    return message ? raise_symbolic_mode_error(message.get()) : error;
}

}  // namespace norv::symbolic::object
