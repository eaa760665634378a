#include "containers/write.hpp"

#include "core/args.hpp"
#include "core/names.hpp"
#include "scopes/flags.hpp"
#include "nodes/container_bridge.hpp"
#include "nodes/markers.hpp"

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

Status notify_update(PyObject *self, PyObject *update)
{
    if (!flags::change_notification_on()) {
        Maybe<bool> validates = bridge::update_target_validates(update);
        if (!validates) {
            return error;
        }
        if (!*validates) {
            return Status::ok;
        }
    }
    Ref updates = Ref::steal(PyList_New(1));
    if (!updates) {
        return error;
    }
    PyList_SET_ITEM(updates.get(), 0, Py_NewRef(update));
    return notify(self, updates.get());
}

Ref stored_or(PyObject *dict, PyObject *key, PyObject *absent, bool *present)
{
    PyObject *stored = nullptr;
    const int found = PyDict_GetItemRef(dict, key, &stored);
    if (found < 0) {
        return error;
    }
    if (present != nullptr) {
        *present = found != 0;
    }
    return found ? Ref::steal(stored) : Ref::borrow(absent);
}

Status detach_child(PyObject *old, PyObject *keypath_cls)
{
    Maybe<bool> in_tree = markers::in_tree(old);
    if (!in_tree) {
        return error;
    }
    if (!*in_tree) {
        return Status::ok;
    }
    if (!call_method(old, interned<"sym_setparent">(), Py_None)) {
        return error;
    }
    Ref empty = Ref::steal(PyObject_CallNoArgs(keypath_cls));
    if (!empty || !call_method(old, interned<"sym_setpath">(), empty.get())) {
        return error;
    }
    return Status::ok;
}

}  // namespace norv::symbolic::write
