// The write path of SymDict: item assignment and deletion with their
// permission gates, the core write and its change record, member
// formalisation with the dict's own context, and the notification.
#include "core/none.hpp"
#include "core/args.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/dict.hpp"
#include "containers/dict_faces.hpp"
#include "containers/write.hpp"
#include "topology/keypath.hpp"
#include "typing/schema/schema.hpp"

namespace norv::symbolic {

namespace {

Status notify_if_changed(PyObject *self, Maybe<Ref> update)
{
    if (!update) {
        return error;
    }
    return *update ? write::notify_update(self, update->get()) : Status::ok;
}

bool constructing(PyObject *self)
{
    DictFields &f = SymDict::fields(self);
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return f.constructing;
}

Status assign(PyObject *self, PyObject *key, PyObject *value)
{
    // A converted member written back while construction binds the spec.
    if (constructing(self)) {
        return SymDict::_set_item_without_permission_check(self, key, value) ? Status::ok : Status::error;
    }
    if (failed(write::check_writable(
            SymDict::fields(self), {"Cannot modify field of a sealed Dict.", true},
            {"Cannot modify Dict field by attribute or key while accessor_writable is set to False. Use "
             "'sym_rebind' method instead.",
             true}))) {
        return error;
    }
    return notify_if_changed(self, SymDict::_set_item_without_permission_check(self, key, value));
}

Status remove(PyObject *self, PyObject *key)
{
    if (failed(write::check_writable(
            SymDict::fields(self), {"Cannot del item from a sealed Dict.", false},
            {"Cannot del Dict field by attribute or key while accessor_writable is set to False. Use "
             "'sym_rebind' method instead.",
             true}))) {
        return error;
    }
    Maybe<bool> stored = predicate(PyDict_Contains(self, key));
    if (!stored) {
        return error;
    }
    if (!*stored) {
        return SymDict::raise_decorated(
            self, PyExc_KeyError, Ref::steal(PyUnicode_FromFormat("Key does not exist in Dict: %R.", key)));
    }
    return notify_if_changed(
        self, SymDict::_set_item_without_permission_check(self, key, bridge::get().missing_value));
}

const Signature SET_ITEM_SIG{
    "_set_item_without_permission_check", {arg("key"), arg("value")}, {.method = true}};
const Signature FORMALIZED_SIG{
    "_formalized_value", {arg("name"), arg("field"), arg("value"), opt("seen")}, {.method = true}};

}  // namespace

Ref SymDict::error_message(PyObject *self, PyObject *text)
{
    return write::error_message(fields(self), text);
}

Error SymDict::raise_decorated(PyObject *self, PyObject *exc, Ref text)
{
    return write::raise_decorated(fields(self), exc, std::move(text));
}

Error SymDict::refuse_key(PyObject *self, PyObject *key)
{
    return raise_decorated(
        self, PyExc_KeyError,
        Ref::steal(PyUnicode_FromFormat("Key must be string or int type. Encountered %R.", key)));
}

Ref SymDict::owner(PyObject *self)
{
    Ref parent, path;
    {
        DictFields &f = fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        parent = Ref::borrow(f.node.parent.get());
        path = none_if_null(f.node.path);
    }
    if (!parent) {
        return Ref::borrow(self);
    }
    Ref parent_path = attr<"sym_path">(parent.get());
    Maybe<bool> same = parent_path ? eq_truth(parent_path.get(), path.get()) : Maybe<bool>(error);
    if (!same) {
        return error;
    }
    return *same ? std::move(parent) : Ref::borrow(self);
}

Ref SymDict::_formalized_value(PyObject *self, PyObject *key, PyObject *field, PyObject *value,
                               PyObject *seen)
{
    FormalizeCtx ctx = container::formalize_ctx(self, fields(self), _sym_parent_for_children(self), true);
    return formalize_field(key, field, value, ctx, seen);
}

Maybe<Ref> SymDict::_set_item_without_permission_check(PyObject *self, PyObject *key, PyObject *value)
{
    if (!PyLong_Check(key) && !PyUnicode_Check(key)) {
        return refuse_key(self, key);
    }
    const bridge::ContainerBridge &br = bridge::get();
    PyObject *dict = storage(self);
    Ref old = write::stored_or(dict, key, br.missing_value);
    if (!old) {
        return error;
    }
    if (old.get() == value) {
        return Ref();
    }
    Maybe<Ref> schema = schema_of(self);
    if (!schema) {
        return error;
    }
    Ref field;
    if (*schema) {
        field = typing::schema::call_get_field(schema->get(), key);
        if (!field) {
            return error;
        }
        if (field.get() == Py_None) {
            Ref target = owner(self);
            if (!target) {
                return error;
            }
            return raise_decorated(
                self, PyExc_KeyError,
                Ref::steal(PyUnicode_FromFormat("Key %R is not allowed for %S.", key,
                                                reinterpret_cast<PyObject *>(Py_TYPE(target.get())))));
        }
    }
    Maybe<bool> missing = eq_truth(br.missing_value, value);
    if (!missing) {
        return error;
    }
    bool nonconst = false;
    if (field) {
        Ref key_spec = attr<"key">(field.get());
        Maybe<bool> is_nonconst = key_spec
                                      ? predicate(PyObject_IsInstance(key_spec.get(), br.nonconst_key_cls))
                                      : Maybe<bool>(error);
        if (!is_nonconst) {
            return error;
        }
        nonconst = *is_nonconst;
    }
    Ref now;
    if (*missing && (!*schema || nonconst)) {
        Maybe<bool> present = predicate(PyDict_Contains(dict, key));
        if (!present) {
            return error;
        }
        if (!*present) {
            return Ref();
        }
        if (failed(write::detach_child(old.get(), br.keypath_cls)) || PyDict_DelItem(dict, key) < 0) {
            return error;
        }
        now = Ref::borrow(br.missing_value);
    }
    else {
        now = _formalized_value(self, key, field.get(), value, nullptr);
        if (!now) {
            return error;
        }
        // Formalisation may hand back the stored child itself (re-adopted in
        // place): it stays attached.
        if (now.get() != old.get() && failed(write::detach_child(old.get(), br.keypath_cls))) {
            return error;
        }
        if (PyDict_SetItem(dict, key, now.get()) < 0) {
            return error;
        }
    }
    Ref target = owner(self);
    Ref path = target ? keypath::child_key_path(key, path_arg(self).get()) : Ref();
    if (!path) {
        return error;
    }
    PyObject *args[] = {path.get(), target.get(), none_if_null(field.get()), old.get(), now.get()};
    return some(Ref::steal(PyObject_Vectorcall(br.field_update_cls, args, 5, nullptr)));
}

namespace dict_faces {

int ass_subscript(PyObject *self, PyObject *key, PyObject *value)
{
    return guard_int([&] { return value != nullptr ? assign(self, key, value) : remove(self, key); });
}

Ref set_item_without_permission_check(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(SET_ITEM_SIG.bind(a, b))) {
        return error;
    }
    Maybe<Ref> update = SymDict::_set_item_without_permission_check(self, b[0], b[1]);
    if (!update) {
        return error;
    }
    return *update ? std::move(*update) : none();
}

Ref formalized_value(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(FORMALIZED_SIG.bind(a, b))) {
        return error;
    }
    Maybe<PyObject *> seen = container::seen_arg(b[3]);
    if (!seen) {
        return error;
    }
    return SymDict::_formalized_value(self, b[0], b.null_if_none(1), b[2], *seen);
}

}  // namespace dict_faces

}  // namespace norv::symbolic
