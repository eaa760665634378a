// Field writes of dict-layout objects: the attribute slot (a symbolic field
// written natively, any other name handed to the host), the permission
// gates and notification around the write core, and the core itself, which
// formalises one value (the funnel against the class's native schema, else
// the host's wrapping and the field's `apply`), adopts it, detaches the
// child it replaces and stores it.
#include "core/none.hpp"
#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "scopes/flags.hpp"
#include "containers/adopt.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/formalize.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/ctor_meta.hpp"
#include "objects/sym_object.hpp"
#include "containers/write.hpp"
#include "topology/keypath.hpp"
#include "typing/schema/schema.hpp"

namespace norv::symbolic::object {

namespace {

namespace sc = typing::schema;
namespace fn = typing::funnel;

// `str(name)` as an exact str whose text has a UTF-8 form; the errors of
// either conversion propagate.
Ref name_text(PyObject *name)
{
    Ref text = PyUnicode_CheckExact(name) ? Ref::borrow(name) : str_of(name);
    if (text && !PyUnicode_CheckExact(text.get())) {
        text = Ref::steal(PyUnicode_FromObject(text.get()));
    }
    if (text && PyUnicode_AsUTF8AndSize(text.get(), nullptr) == nullptr) {
        return error;
    }
    return text;
}

// Raises the host's write-permission error for `message`, decorated with
// the object's path.
Error refuse_write(PyObject *self, Ref message)
{
    Ref text = message ? SymObject::error_message(self, message.get()) : Ref();
    Ref exc =
        text ? Ref::steal(PyObject_CallOneArg(bridge::get().write_permission_error, text.get())) : Ref();
    return exc ? raise_object(exc.get()) : error;
}

// `keypath_cls(name, parent)`, the host's path of the field.
Ref field_path(const bridge::ObjectBridge &br, PyObject *name, PyObject *parent)
{
    PyObject *args[] = {name, parent};
    return Ref::steal(PyObject_Vectorcall(br.keypath_cls, args, 2, nullptr));
}

// `field_update_cls(keypath_cls(name, parent), self, field, old, now)`.
Maybe<Ref> change_record(PyObject *self, PyObject *name, PyObject *parent, PyObject *field, PyObject *old,
                         PyObject *now)
{
    Ref path = field_path(bridge::get(), name, parent);
    if (!path) {
        return error;
    }
    PyObject *args[] = {path.get(), self, field, old, now};
    return some(Ref::steal(PyObject_Vectorcall(symbolic::bridge::get().field_update_cls, args, 5, nullptr)));
}

// The funnel's verdict on `value` for the field `name` when `schema` is a
// native Schema holding it under a constant key: the value to store, or an
// empty Ref for the general path. The schema is held shared until the
// verdict is known (a field's `_validate` may run meanwhile).
Maybe<Ref> funnel_step(PyObject *schema, PyObject *name, PyObject *value, const WriteCtx &ctx)
{
    if (!sc::is_schema(schema)) {
        return Ref();
    }
    sc::State &s = sc::state(schema);
    SharedBorrow hold(s.borrow, OnConflict::Panic);
    const sc::SchemaMeta &m = s.caches();
    if (m.field_meta_index.empty()) {
        return Ref();
    }
    Ref text = PyUnicode_CheckExact(name) ? Ref::borrow(name) : str_of(name);
    if (!text) {
        return failed(discard_ordinary_error()) ? Maybe<Ref>(error) : Maybe<Ref>(Ref());
    }
    std::size_t at = 0;
    if (!sc::index_lookup(m.field_meta_index, text.get(), &at)) {
        return Ref();
    }
    Ref field = Ref::borrow(m.const_fields[at].get());
    Maybe<typing::MetaPtr> meta = sc::field_meta_for(field.get());
    if (!meta) {
        return error;
    }
    const typing::FieldMeta &fm = **meta;
    if (fm.frozen) {
        return Ref();
    }
    Maybe<fn::Accept> verdict = fn::funnel_leaf(value, fm);
    if (verdict && verdict->kind != fn::AcceptKind::Verbatim) {
        verdict = fn::funnel_accept(value, fm, name, fn::FunnelCtx{ctx.path.get(), ctx.allow_partial, false});
    }
    if (!verdict) {
        return error;
    }
    switch (verdict->kind) {
        case fn::AcceptKind::Verbatim:
            return Ref::borrow(value);
        case fn::AcceptKind::Produced:
            return std::move(verdict->value);
        case fn::AcceptKind::Wrap:
        case fn::AcceptKind::Deferred:
            break;
    }
    return Ref();
}

// The general path: the host's wrapping (not for a missing value, whose
// default goes on as it is), then the field's `apply` under the symbolic
// child transform when the field wraps. `enable_wrap` is read for each.
Ref apply_general(PyObject *name, PyObject *value, bool missing, PyObject *field, const WriteCtx &ctx)
{
    const bridge::ObjectBridge &br = bridge::get();
    PyObject *parent = none_if_null(ctx.path.get());
    Ref v = Ref::borrow(value);
    if (!missing) {
        const Maybe<bool> wraps = truth_attr<"enable_wrap">(field);
        Ref root = wraps ? field_path(br, name, parent) : Ref();
        if (!root) {
            return error;
        }
        PyObject *args[] = {nullptr, value, py_bool(*wraps), py_bool(ctx.allow_partial), root.get()};
        v = Ref::steal(PyObject_Vectorcall(symbolic::bridge::get().wrap_value, args + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           kwnames<"wrap", "allow_partial", "root_path">()));
        if (!v) {
            return error;
        }
    }
    PyObject *partial = py_bool(ctx.allow_partial);
    Ref transform = Ref::steal(PyObject_Vectorcall(br.symbolic_transform_fn, &partial, 1, nullptr));
    Ref child = transform ? keypath::child_key_path(name, parent) : Ref();
    // Read again: the host's wrapping may have changed the field.
    const Maybe<bool> wraps = child ? truth_attr<"enable_wrap">(field) : Maybe<bool>(error);
    if (!wraps) {
        return error;
    }
    return apply_field(field, v.get(), ctx.allow_partial, *wraps ? transform.get() : nullptr, child.get());
}

// A missing value written into a field with a variable key removes it.
Maybe<Ref> remove_field(PyObject *self, PyObject *name, PyObject *value, PyObject *field, const WriteCtx &ctx)
{
    const bridge::ObjectBridge &br = bridge::get();
    PyObject *dict = ctx.sym_dict.get();
    bool present = false;
    Ref old = write::stored_or(dict, name, br.missing_value, &present);
    if (!old) {
        return error;
    }
    if (old.get() == value || !present) {
        return Ref();
    }
    if (failed(SymObject::detach_old_child(old.get())) || PyDict_DelItem(dict, name) < 0) {
        return error;
    }
    return change_record(self, name, none_if_null(ctx.path.get()), field, old.get(), br.missing_value);
}

// Where a write of `name` (its text `text`) goes: the symbolic field of the
// class's write metadata, else an init field the class's schema gives a
// public name; otherwise the host, with the schema's field (None when it
// has none).
struct WriteTarget {
    Ref symbolic;
    Ref other;
    bool other_init = false;  // `other.enable_init`, for a field `other`
    bool sym = false;
    Ref class_schema;
};

Maybe<WriteTarget> write_target(PyObject *cls, PyObject *name, PyObject *text)
{
    Ref meta = SymObject::ctor_meta(cls);
    if (!meta) {
        return error;
    }
    WriteTarget t;
    {
        MetaRead read(std::move(meta));
        if (PyObject *write_meta = read->refs.write_meta.get()) {
            t.symbolic = Ref::borrow(PyDict_GetItemWithError(write_meta, text));
            if (!t.symbolic && PyErr_Occurred()) {
                return error;
            }
        }
        t.sym = read->sym;
        t.class_schema = Ref::borrow(none_if_null(read->refs.class_schema.get()));
    }
    if (t.symbolic) {
        return t;
    }
    Ref schema = attr<"__schema__">(cls);
    Ref field = schema ? sc::call_get_field(schema.get(), name) : Ref();
    if (!field) {
        return error;
    }
    if (field.get() != Py_None) {
        Maybe<bool> init = truth_attr<"enable_init">(field.get());
        if (!init) {
            return error;
        }
        const bool private_name = PyUnicode_GET_LENGTH(text) > 0 && PyUnicode_READ_CHAR(text, 0) == '_';
        if (*init && !private_name) {
            t.symbolic = std::move(field);
            return t;
        }
        t.other_init = *init;
    }
    t.other = std::move(field);
    return t;
}

// The slot's assignment: a symbolic field is written natively; any other
// name is the host's, validated first by a non-init field that asks for it.
Status assign(PyObject *self, PyObject *name, PyObject *value)
{
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(self));
    Ref text = name_text(name);
    Maybe<WriteTarget> target = text ? write_target(cls, name, text.get()) : Maybe<WriteTarget>(error);
    if (!target) {
        return error;
    }
    if (target->symbolic) {
        return SymObject::store_symbolic_field(self, cls, name, value, target->symbolic.get(), target->sym,
                                               target->class_schema.get());
    }
    Ref stored = Ref::borrow(value);
    PyObject *field = target->other.get();
    if (field != Py_None) {
        Maybe<bool> validates =
            target->other_init ? Maybe<bool>(false) : truth_attr<"enable_validation">(field);
        if (!validates) {
            return error;
        }
        if (*validates) {
            stored = call_method(field, interned<"apply">(), value);
            if (!stored) {
                return error;
            }
        }
    }
    PyObject *args[] = {self, name, stored.get()};
    return Ref::steal(PyObject_Vectorcall(bridge::get().object_setattr, args, 3, nullptr)) ? Status::ok
                                                                                           : Status::error;
}

// Deletion is the host's, unchecked.
Status remove(PyObject *self, PyObject *name)
{
    PyObject *args[] = {self, name};
    return Ref::steal(PyObject_Vectorcall(bridge::get().object_delattr, args, 2, nullptr)) ? Status::ok
                                                                                           : Status::error;
}

// What the host's attribute view answers for the write.
Ref delegate_set_item_via_sym_attributes(PyObject *obj, PyObject *key, PyObject *value)
{
    Ref view = attr<"_sym_attributes">(obj);
    return view ? Ref::steal(PyObject_CallMethodObjArgs(
                      view.get(), interned<"_set_item_without_permission_check">(), key, value, nullptr))
                : Ref();
}

const Signature NO_CHECK_SIG{"_native_object_set_item_no_check", {arg("obj"), arg("key"), arg("value")}};

// A field write with no permission check and no notification: the change
// record, or None when nothing changed. Any field of the class's schema,
// private and non-init ones too, is stored in the field dict: the attribute
// view is built afresh for each access, so a write into it would be lost.
// A name no field takes, or an object without a field dict, goes to the
// host's attribute view.
Ref set_item_no_check(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(NO_CHECK_SIG.bind(a, b))) {
        return error;
    }
    PyObject *obj = b[0], *key = b[1], *value = b[2];
    if (!SymObject::check(obj)) {
        return delegate_set_item_via_sym_attributes(obj, key, value);
    }
    Ref text = name_text(key);
    Maybe<WriteTarget> target =
        text ? write_target(reinterpret_cast<PyObject *>(Py_TYPE(obj)), key, text.get())
             : Maybe<WriteTarget>(error);
    if (!target) {
        return error;
    }
    PyObject *field = target->symbolic                 ? target->symbolic.get()
                      : target->other.get() != Py_None ? target->other.get()
                                                       : nullptr;
    std::optional<WriteCtx> ctx =
        field != nullptr ? SymObject::write_ctx(obj, target->sym, target->class_schema.get()) : std::nullopt;
    if (!ctx) {
        return delegate_set_item_via_sym_attributes(obj, key, value);
    }
    Maybe<Ref> update = SymObject::inline_write_field(obj, key, value, field, *ctx);
    if (!update) {
        return error;
    }
    return *update ? std::move(*update) : none();
}

const Signature STORE_SIG{
    "store_symbolic_field",
    {arg("cls"), arg("name"), arg("value"), arg("field"), arg("sym_mode"), arg("schema")},
    {.method = true}};

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef SET_ITEM_NO_CHECK_DEF = method<set_item_no_check>(
    "_native_object_set_item_no_check",
    "_native_object_set_item_no_check($module, /, obj, key, value)\n--\n\n"
    "Write a field with no permission check and no notification; the change record, or None.");

Ref SymObject::error_message(PyObject *self, PyObject *message)
{
    Ref path;
    {
        ObjectFields &f = fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        path = none_if_null(f.node.path);
    }
    PyObject *args[] = {message, path.get()};
    Ref text = Ref::steal(PyObject_Vectorcall(bridge::get().message_on_path, args, 2, nullptr));
    if (text && !PyUnicode_Check(text.get())) {
        return raise_not_instance(text.get(), "str");
    }
    return text;
}

std::optional<WriteCtx> SymObject::write_ctx(PyObject *self, bool sym_mode, PyObject *schema)
{
    ObjectFields &f = fields(self);
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    if (!f.sym_dict) {
        return std::nullopt;
    }
    return WriteCtx{Ref::borrow(f.node.path.get()), Ref::borrow(f.sym_dict.get()), Ref::borrow(schema),
                    flags::resolve(flags::ALLOW_PARTIAL, f.node.allow_partial), sym_mode};
}

Status SymObject::detach_old_child(PyObject *old)
{
    return write::detach_child(old, bridge::get().keypath_cls);
}

Maybe<Ref> SymObject::inline_write_field(PyObject *self, PyObject *name, PyObject *value, PyObject *field,
                                         const WriteCtx &ctx)
{
    const bridge::ObjectBridge &br = bridge::get();
    const bool missing = Py_TYPE(value) == Py_TYPE(br.missing_value);
    Ref formal = Ref::borrow(value);
    if (missing) {
        Ref key = attr<"key">(field);
        Maybe<bool> variable =
            key ? predicate(PyObject_IsInstance(key.get(), symbolic::bridge::get().nonconst_key_cls))
                : Maybe<bool>(error);
        if (!variable) {
            return error;
        }
        if (*variable) {
            return remove_field(self, name, value, field, ctx);
        }
        formal = attr<"default_value">(field);
        if (!formal) {
            return error;
        }
    }
    Maybe<Ref> accepted = funnel_step(ctx.schema.get(), name, formal.get(), ctx);
    if (!accepted) {
        return error;
    }
    Ref now = *accepted ? std::move(*accepted) : apply_general(name, formal.get(), missing, field, ctx);
    if (!now) {
        return error;
    }
    formal.reset();

    PyObject *dict = ctx.sym_dict.get();
    Ref old = write::stored_or(dict, name, br.missing_value);
    if (!old) {
        return error;
    }
    // Compared with what the caller wrote, not with what formalisation made of it.
    if (old.get() == value) {
        return Ref();
    }
    PyObject *parent = none_if_null(ctx.path.get());
    Ref adopted = adopt::relocate_if_symbolic(name, now.get(), ctx.sym_mode, parent, self, self, nullptr);
    if (!adopted) {
        return error;
    }
    // A field that hands back the stored child itself re-adopted it in
    // place: detaching it would leave a member outside its tree.
    if (adopted.get() != old.get() && failed(detach_old_child(old.get()))) {
        return error;
    }
    if (PyDict_SetItem(dict, name, adopted.get()) < 0) {
        return error;
    }
    return change_record(self, name, parent, field, old.get(), adopted.get());
}

Status SymObject::store_symbolic_field(PyObject *self, PyObject *cls, PyObject *name, PyObject *value,
                                       PyObject *field, bool sym_mode, PyObject *schema)
{
    bool sealed = false, writable = true;
    {
        ObjectFields &f = fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        sealed = flags::resolve(flags::SEALED, f.node.sealed);
        writable = flags::resolve(flags::ACCESSOR_WRITABLE, f.node.accessor_writable);
    }
    if (sealed) {
        Ref shown = repr_of(name);
        return refuse_write(self, shown ? Ref::steal(PyUnicode_FromFormat(
                                              "Cannot set attribute %U: object is sealed.", shown.get()))
                                        : Ref());
    }
    if (!writable) {
        Ref n = class_name_text(cls);
        return refuse_write(
            self, n ? Ref::steal(PyUnicode_FromFormat("Cannot set attribute of <class %U> while `%U` has "
                                                      "`attr_write=False` or under `nv.as_sealed` context.",
                                                      n.get(), n.get()))
                    : Ref());
    }
    std::optional<WriteCtx> ctx = write_ctx(self, sym_mode, schema);
    if (!ctx) {
        // Nothing to write into: the host's own fallback may explain why. A
        // fallback that answers leaves the write undone, which is refused
        // rather than reported as done.
        if (!attr<"_sym_attributes">(self)) {
            return error;
        }
        return blank_object_error(Py_TYPE(self));
    }
    Maybe<Ref> update = inline_write_field(self, name, value, field, *ctx);
    if (!update) {
        return error;
    }
    return *update ? write::notify_update(self, update->get()) : Status::ok;
}

int setattro_slot(PyObject *self, PyObject *name, PyObject *value)
{
    return guard_int([&]() -> Status {
        if (!SymObject::check(self)) {
            return raise_not_instance(self, "SymObject");
        }
        return value != nullptr ? assign(self, name, value) : remove(self, name);
    });
}

namespace faces {

Ref store_symbolic_field(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(STORE_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> sym_mode = bool_arg("sym_mode", b[4], false, ArgCause::Conversion);
    if (!sym_mode || failed(SymObject::store_symbolic_field(self, b[0], b[1], b[2], b[3], *sym_mode, b[5]))) {
        return error;
    }
    return none();
}

}  // namespace faces

}  // namespace norv::symbolic::object
