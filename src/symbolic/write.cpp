#include "symbolic/write.hpp"

#include "core/args.hpp"
#include "core/names.hpp"
#include "flags.hpp"
#include "symbolic/bridge.hpp"

namespace norv::symbolic::write {

Ref decorate(PyObject *text, PyObject *path)
{
    PyObject *args[] = {text, path};
    return Ref::steal(PyObject_Vectorcall(bridge::get().host_message_on_path, args, 2, nullptr));
}

Ref error_message(PyObject *path, PyObject *text)
{
    Ref message = decorate(text, path);
    if (message && !PyUnicode_Check(message.get())) {
        return raise_not_instance(message.get(), "str");
    }
    return message;
}

Ref error_message(ContainerFields &f, PyObject *text)
{
    Ref path = container::path_arg(f);
    return error_message(path.get(), text);
}

Error raise_decorated(ContainerFields &f, PyObject *exc, Ref text)
{
    Ref message = text ? error_message(f, text.get()) : Ref();
    if (message) {
        PyErr_SetObject(exc, message.get());
    }
    return error;
}

Error raise_permission(PyObject *text)
{
    Ref exc = Ref::steal(PyObject_CallOneArg(bridge::get().write_permission_error, text));
    if (!exc) {
        return error;
    }
    if (!PyExceptionInstance_Check(exc.get())) {
        return raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    PyErr_SetRaisedException(exc.release());
    return error;
}

namespace {

Error refuse(ContainerFields &f, Refusal r)
{
    Ref text = new_str(r.text);
    if (text && r.decorated) {
        text = error_message(f, text.get());
    }
    if (!text) {
        return error;
    }
    return raise_permission(text.get());
}

}  // namespace

Status check_writable(ContainerFields &f, Refusal sealed, Refusal not_writable)
{
    bool is_sealed, writable;
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        is_sealed = flags::resolve(flags::SEALED, f.node.sealed);
        writable = flags::resolve(flags::ACCESSOR_WRITABLE, f.node.accessor_writable);
    }
    if (is_sealed) {
        return refuse(f, sealed);
    }
    if (!writable) {
        return refuse(f, not_writable);
    }
    return Status::ok;
}

Status check_unsealed(ContainerFields &f, Refusal sealed)
{
    bool is_sealed;
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        is_sealed = flags::resolve(flags::SEALED, f.node.sealed);
    }
    if (is_sealed) {
        return refuse(f, sealed);
    }
    return Status::ok;
}

Status notify(PyObject *self, PyObject *updates)
{
    return call_method(self, interned<"_notify_field_updates">(), updates) ? Status::ok : Status::error;
}

}  // namespace norv::symbolic::write
