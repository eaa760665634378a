#include "typing/field/field.hpp"

#include <cstdint>
#include <new>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/none.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"
#include "formatting/format.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/engine.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing {

namespace field {

namespace {

enum Slot : int { KEY, VALUE, DESCRIPTION, ORIGIN, METADATA, VALIDATOR, ALIAS, N_SLOTS };
// Tri-state switches in storage order.
enum Switch : int { REPR, COMPARE, HASH, CLONE, VALIDATION, WRAP, N_SWITCHES };
constexpr std::uint8_t UNSET = 2;

const char *const SWITCH_NAMES[N_SWITCHES] = {"enable_repr",  "enable_compare",    "enable_hash",
                                              "enable_clone", "enable_validation", "enable_wrap"};

struct State {
    BorrowFlag borrow;
    // Never empty while the field is alive: None stands for "absent", and the
    // collector's clear leaves None behind.
    Ref slots[N_SLOTS];
    std::uint8_t switches[N_SWITCHES] = {UNSET, UNSET, UNSET, UNSET, UNSET, UNSET};
    bool enable_init = true;
};

// The record cell comes first (`FieldHead`), where the funnel reads it in place.
struct FieldObject {
    FieldHead head;
    State s;
};

TypeCell TYPE;

State &state(PyObject *self) noexcept
{
    return reinterpret_cast<FieldObject *>(self)->s;
}

PyObject *tri_obj(std::uint8_t v) noexcept
{
    return v == UNSET ? Py_None : py_bool(v);
}

// The record is released only after the cell is empty again: its references'
// finalizers may reach this field.
void drop_meta(PyObject *self) noexcept
{
    MetaCell &cell = meta_cell(self);
    MetaPtr old;
    old.swap(cell.meta);
    ++cell.generation;
}

// A blank field: every slot None, switches unset, enable_init True.
Ref alloc_field()
{
    PyTypeObject *tp = type();
    if (tp == nullptr) {
        return error;
    }
    Ref self = Ref::steal(tp->tp_alloc(tp, 0));
    if (!self) {
        return error;
    }
    // The allocator zeroed the memory and tracked the object; traverse meets
    // only empty Refs until the state is built here, before any Python runs.
    new (&meta_cell(self.get())) MetaCell();
    new (&state(self.get())) State();
    for (Ref &r : state(self.get()).slots) {
        r = none();
    }
    return self;
}

// ---- access -------------------------------------------------------------------------------

// A copy of one slot under a shared access; the receiver's conflict is a
// RuntimeError (or a fault with OnConflict::Panic).
Ref read_slot(PyObject *self, Slot i, OnConflict mode = OnConflict::Raise)
{
    SharedBorrow hold(state(self).borrow, mode);
    if (hold.failed()) {
        return error;
    }
    return Ref::borrow(state(self).slots[i].get());
}

// Stores `value` under exclusive access; the displaced object is released
// only after the access ends, since its finalizer may read this field.
Status write_slot(PyObject *self, Slot i, PyObject *value, OnConflict mode)
{
    Ref old = Ref::borrow(value);
    {
        ExclusiveBorrow hold(state(self).borrow, mode);
        if (hold.failed()) {
            return error;
        }
        std::swap(old, state(self).slots[i]);
    }
    return Status::ok;
}

// ---- construction ---------------------------------------------------------------------------

Error raise_assertion(PyObject *arg)
{
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_AssertionError, arg));
    if (exc) {
        PyErr_SetRaisedException(exc.release());
    }
    return error;
}

Status check_alias(PyObject *alias)
{
    if (PyUnicode_Check(alias) && PyUnicode_GET_LENGTH(alias) > 0) {
        return Status::ok;
    }
    return raise_format(PyExc_TypeError, "`alias` must be a non-empty string. Encountered: %R.", alias);
}

struct Args {
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    PyObject *description = nullptr;  // nullptr: None
    PyObject *metadata = nullptr;
    PyObject *origin = nullptr;
    std::uint8_t switches[N_SWITCHES] = {UNSET, UNSET, UNSET, UNSET, UNSET, UNSET};
    bool enable_init = true;
    PyObject *alias = nullptr;
};

Ref field_new(const Args &a)
{
    const bridge::TypingBridge &br = bridge::get();
    Ref key = Ref::borrow(a.key);
    if (PyUnicode_Check(key.get())) {
        key = Ref::steal(PyObject_CallMethod(br.key_spec_cls, "from_str", "O", key.get()));
        if (!key) {
            return error;
        }
    }
    const int is_key = PyObject_IsInstance(key.get(), br.key_spec_cls);
    if (is_key < 0) {
        return error;
    }
    if (!is_key) {
        return raise_assertion(key.get());
    }
    Ref metadata;
    const Maybe<bool> truthy = truth_or(a.metadata, false);
    if (!truthy) {
        return error;
    }
    if (!*truthy) {
        metadata = Ref::steal(PyDict_New());
        if (!metadata) {
            return error;
        }
    }
    else if (PyDict_Check(a.metadata)) {
        metadata = Ref::borrow(a.metadata);
    }
    else {
        return raise(PyExc_ValueError, "metadata must be a dict.");
    }
    if (a.alias != nullptr && failed(check_alias(a.alias))) {
        return error;
    }
    Ref self = alloc_field();
    if (!self) {
        return error;
    }
    State &s = state(self.get());
    s.slots[KEY] = std::move(key);
    s.slots[VALUE] = Ref::borrow(a.value);
    s.slots[DESCRIPTION] = Ref::borrow(a.description ? a.description : Py_None);
    s.slots[ORIGIN] = Ref::borrow(a.origin ? a.origin : Py_None);
    s.slots[METADATA] = std::move(metadata);
    s.slots[ALIAS] = Ref::borrow(a.alias ? a.alias : Py_None);
    for (int i = 0; i < N_SWITCHES; ++i) {
        s.switches[i] = a.switches[i];
    }
    s.enable_init = a.enable_init;
    return self;
}

// A switch: None (unset) or a bool.
Maybe<std::uint8_t> tri_arg(PyObject *v, const char *name)
{
    Maybe<std::optional<bool>> b = opt_bool_arg(name, v, ArgCause::ConversionCause);
    if (!b) {
        return error;
    }
    return *b ? static_cast<std::uint8_t>(**b) : UNSET;
}

const Signature NEW_SIG{
    "Field",
    {arg("key_spec"), arg("value_spec"), opt("description"), opt("metadata"), opt("origin"),
     kwopt("enable_repr"), kwopt("enable_compare"), kwopt("enable_hash"), kwopt("enable_init"),
     kwopt("enable_clone"), kwopt("enable_validation"), kwopt("enable_wrap"), kwopt("alias")}};

PyObject *field_tp_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        Args a;
        a.key = b[0];
        a.value = b[1];
        a.description = b.null_if_none(2);
        a.metadata = b.null_if_none(3);
        a.origin = b.null_if_none(4);
        // Parameter order: repr, compare, hash, init, clone, validation, wrap.
        const int at[N_SWITCHES] = {5, 6, 7, 9, 10, 11};
        for (int i = 0; i < N_SWITCHES; ++i) {
            Maybe<std::uint8_t> t = tri_arg(b[at[i]], SWITCH_NAMES[i]);
            if (!t) {
                return error;
            }
            a.switches[i] = *t;
            if (i == HASH) {
                Maybe<bool> init = bool_arg("enable_init", b[8], true, ArgCause::ConversionCause);
                if (!init) {
                    return error;
                }
                a.enable_init = *init;
            }
        }
        a.alias = b.null_if_none(12);
        return field_new(a);
    });
}

// ---- apply ----------------------------------------------------------------------------------

const Signature APPLY_SIG{
    "apply",
    {arg("value"), opt("allow_partial"), opt("transform_fn"), opt("root_path"), opt("inplace")},
    {.method = true}};

Ref field_apply(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(APPLY_SIG.bind(fa, b))) {
        return error;
    }
    const Maybe<bool> allow_partial = bool_arg("allow_partial", b[1], false, ArgCause::ConversionCause);
    if (!allow_partial) {
        return error;
    }
    const Maybe<bool> inplace = bool_arg("inplace", b[4], true, ArgCause::ConversionCause);
    if (!inplace) {
        return error;
    }
    return apply(self, b[0], *allow_partial, b.null_if_none(2), b.null_if_none(3), *inplace);
}

// ---- extend ---------------------------------------------------------------------------------

Status store(PyObject *self, Slot i, PyObject *value)
{
    return write_slot(self, i, value, OnConflict::Panic);
}

Ref field_extend(PyObject *self, PyObject *base)
{
    if (Py_TYPE(base) != type()) {
        return raise_not_instance(base, "Field");
    }
    Ref key = read_slot(self, KEY), base_key = read_slot(base, KEY, OnConflict::Panic);
    if (!key || !base_key) {
        return error;
    }
    Ref extended_key = Ref::steal(PyObject_CallMethod(key.get(), "extend", "O", base_key.get()));
    if (!extended_key) {
        return error;
    }
    Ref value = read_slot(self, VALUE, OnConflict::Panic),
        base_value = read_slot(base, VALUE, OnConflict::Panic);
    if (!value || !base_value) {
        return error;
    }
    Ref extended = Ref::steal(PyObject_CallMethod(value.get(), "extend", "O", base_value.get()));
    if (!extended || failed(store(self, VALUE, extended.get()))) {
        return error;
    }
    // The cached classification describes the value spec just replaced: drop
    // it now, so a failure of a later step cannot leave it standing.
    drop_meta(self);

    Ref description = read_slot(self, DESCRIPTION, OnConflict::Panic);
    const Maybe<bool> has_description = truth(description.get());
    if (!has_description) {
        return error;
    }
    if (!*has_description) {
        Ref d = read_slot(base, DESCRIPTION, OnConflict::Panic);
        if (failed(store(self, DESCRIPTION, d.get()))) {
            return error;
        }
    }

    Ref base_metadata = read_slot(base, METADATA, OnConflict::Panic);
    const Maybe<bool> base_has_metadata = truth(base_metadata.get());
    if (!base_has_metadata) {
        return error;
    }
    if (*base_has_metadata) {
        Ref copy = Ref::steal(PyImport_ImportModule("copy"));
        if (!copy) {
            return error;
        }
        Ref merged = Ref::steal(PyObject_CallMethod(copy.get(), "copy", "O", base_metadata.get()));
        if (!merged) {
            return error;
        }
        Ref own = read_slot(self, METADATA, OnConflict::Panic);
        Ref updated = Ref::steal(PyObject_CallMethod(merged.get(), "update", "O", own.get()));
        if (!updated || failed(store(self, METADATA, merged.get()))) {
            return error;
        }
    }

    {
        State &s = state(self);
        const State &bs = state(base);
        ExclusiveBorrow hold(s.borrow, OnConflict::Panic);
        for (int i = 0; i < N_SWITCHES; ++i) {
            if (bs.switches[i] == 0 && s.switches[i] == UNSET) {
                s.switches[i] = 0;
            }
        }
        if (!bs.enable_init) {
            s.enable_init = false;
        }
    }
    for (Slot i : {VALIDATOR, ALIAS}) {
        Ref own = read_slot(self, i, OnConflict::Panic);
        if (own.get() == Py_None) {
            Ref inherited = read_slot(base, i, OnConflict::Panic);
            if (failed(store(self, i, inherited.get()))) {
                return error;
            }
        }
    }
    drop_meta(self);
    return Ref::borrow(self);
}

// ---- equality ---------------------------------------------------------------------------------

struct Snapshot {
    Ref slots[N_SLOTS];
    std::uint8_t switches[N_SWITCHES];
    bool enable_init;
};

Status snapshot(PyObject *self, Snapshot &out, OnConflict mode)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow, mode);
    if (hold.failed()) {
        return error;
    }
    for (int i = 0; i < N_SLOTS; ++i) {
        out.slots[i] = Ref::borrow(s.slots[i].get());
    }
    for (int i = 0; i < N_SWITCHES; ++i) {
        out.switches[i] = s.switches[i];
    }
    out.enable_init = s.enable_init;
    return Status::ok;
}

Maybe<bool> field_eq(PyObject *self, PyObject *other)
{
    if (self == other) {
        return true;
    }
    if (Py_TYPE(other) != type()) {
        return false;
    }
    Snapshot a, b;
    if (failed(snapshot(self, a, OnConflict::Raise)) || failed(snapshot(other, b, OnConflict::Raise))) {
        return error;
    }
    // Both fields stay held for reading while the parts compare, so a
    // comparison that writes to either field is refused.
    SharedBorrow hold_self(state(self).borrow), hold_other(state(other).borrow);
    if (hold_self.failed() || hold_other.failed()) {
        return error;
    }
    for (Slot i : {KEY, VALUE, DESCRIPTION, METADATA}) {
        const Maybe<bool> eq = eq_truth(a.slots[i].get(), b.slots[i].get());
        if (!eq || !*eq) {
            return eq;
        }
    }
    for (Switch i : {REPR, COMPARE, HASH}) {
        if (a.switches[i] != b.switches[i]) {
            return false;
        }
    }
    if (a.enable_init != b.enable_init) {
        return false;
    }
    for (Switch i : {CLONE, VALIDATION, WRAP}) {
        if (a.switches[i] != b.switches[i]) {
            return false;
        }
    }
    const Maybe<bool> validators = bridge::callable_eq(a.slots[VALIDATOR].get(), b.slots[VALIDATOR].get());
    if (!validators || !*validators) {
        return validators;
    }
    return eq_truth(a.slots[ALIAS].get(), b.slots[ALIAS].get());
}

PyObject *field_richcompare(PyObject *self, PyObject *other, int op)
{
    return guard([&]() -> Ref {
        if (op != Py_EQ && op != Py_NE) {
            return not_implemented();
        }
        const Maybe<bool> eq = field_eq(self, other);
        if (!eq) {
            return error;
        }
        return new_bool(*eq == (op == Py_EQ));
    });
}

// ---- setters and small methods ------------------------------------------------------------

Ref field_set_description(PyObject *self, PyObject *v)
{
    if (failed(write_slot(self, DESCRIPTION, v, OnConflict::Raise))) {
        return error;
    }
    return none();
}

Ref field_set_origin(PyObject *self, PyObject *v)
{
    if (failed(write_slot(self, ORIGIN, v, OnConflict::Raise))) {
        return error;
    }
    return none();
}

Ref field_set_validator(PyObject *self, PyObject *v)
{
    if (v != Py_None && !PyCallable_Check(v)) {
        return raise_format(PyExc_TypeError, "`validator` must be a single-arg callable. Encountered: %R.",
                            v);
    }
    if (failed(store(self, VALIDATOR, v))) {
        return error;
    }
    drop_meta(self);
    return Ref::borrow(self);
}

Ref field_set_alias(PyObject *self, PyObject *v)
{
    if (v != Py_None && failed(check_alias(v))) {
        return error;
    }
    if (failed(store(self, ALIAS, v))) {
        return error;
    }
    return Ref::borrow(self);
}

const Signature FROM_ANNOTATION_SIG{"from_annotation",
                                    {arg("key"), arg("annotation"), opt("description"), opt("metadata"),
                                     opt("auto_typing"), opt("parent_module")}};

Ref field_from_annotation(PyObject *, FastArgs fa)
{
    Bound b;
    if (failed(FROM_ANNOTATION_SIG.bind(fa, b))) {
        return error;
    }
    const Maybe<bool> auto_typing = bool_arg("auto_typing", b[4], true, ArgCause::ConversionCause);
    if (!auto_typing) {
        return error;
    }
    PyObject *factory = bridge::field_from_annotation_fn();
    PyObject *args[] = {
        b[0], b[1], none_if_null(b[2]), none_if_null(b[3]), py_bool(*auto_typing), none_if_null(b[5])};
    return Ref::steal(PyObject_Vectorcall(factory, args, 6, nullptr));
}

Ref field_materialize_strict(PyObject *self)
{
    Ref spec = read_slot(self, VALUE);
    if (!spec) {
        return error;
    }
    Ref copy = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy) {
        return error;
    }
    Ref strict = Ref::steal(PyObject_CallMethod(copy.get(), "deepcopy", "O", spec.get()));
    if (!strict) {
        return error;
    }
    Ref done = Ref::steal(PyObject_CallMethod(strict.get(), "_materialize_strict", nullptr));
    if (!done || failed(store(self, VALUE, strict.get()))) {
        return error;
    }
    drop_meta(self);
    return none();
}

// ---- text forms -------------------------------------------------------------------------------

Ref render(PyObject *self, bool compact, bool verbose, std::int64_t root_indent, PyObject *extra)
{
    Ref kwargs = Ref::steal(extra ? PyDict_Copy(extra) : PyDict_New());
    if (!kwargs) {
        return error;
    }
    Ref label = new_str("Field"), indent = new_int(root_indent);
    if (!label || !indent || PyDict_SetItem(kwargs.get(), interned<"label">(), label.get()) < 0 ||
        PyDict_SetItem(kwargs.get(), interned<"compact">(), py_bool(compact)) < 0 ||
        PyDict_SetItem(kwargs.get(), interned<"verbose">(), py_bool(verbose)) < 0 ||
        PyDict_SetItem(kwargs.get(), interned<"root_indent">(), indent.get()) < 0) {
        return error;
    }
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Ref empty = Ref::steal(PyDict_New());
    Ref items = Ref::steal(PyList_New(0));
    if (!empty || !items) {
        return error;
    }
    auto add = [&](const char *name, PyObject *value, PyObject *dflt) -> Status {
        Ref k = new_str(name);
        if (!k) {
            return error;
        }
        Ref entry = Ref::steal(PyTuple_Pack(3, k.get(), value, dflt));
        return entry ? check(PyList_Append(items.get(), entry.get())) : Status(error);
    };
    if (failed(add("key", s.slots[KEY].get(), Py_None)) ||
        failed(add("value", s.slots[VALUE].get(), Py_None)) ||
        failed(add("description", s.slots[DESCRIPTION].get(), Py_None)) ||
        failed(add("metadata", s.slots[METADATA].get(), empty.get())) ||
        failed(add("origin", s.slots[ORIGIN].get(), Py_None))) {
        return error;
    }
    for (Switch i : {REPR, COMPARE, HASH}) {
        if (failed(add(SWITCH_NAMES[i], tri_obj(s.switches[i]), Py_None))) {
            return error;
        }
    }
    if (failed(add("enable_init", py_bool(s.enable_init), Py_True))) {
        return error;
    }
    for (Switch i : {CLONE, VALIDATION, WRAP}) {
        if (failed(add(SWITCH_NAMES[i], tri_obj(s.switches[i]), Py_None))) {
            return error;
        }
    }
    if (failed(add("validator", s.slots[VALIDATOR].get(), Py_None)) ||
        failed(add("alias", s.slots[ALIAS].get(), Py_None))) {
        return error;
    }
    return formatting::call_kvlist_str(items.get(), kwargs.get());
}

const Signature FORMAT_SIG{
    "format", {opt("compact"), opt("verbose"), opt("root_indent")}, {.var_kwargs = true, .method = true}};

Ref field_format(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(FORMAT_SIG.bind(fa, b))) {
        return error;
    }
    const Maybe<bool> compact = bool_arg("compact", b[0], false, ArgCause::ConversionCause);
    if (!compact) {
        return error;
    }
    const Maybe<bool> verbose = bool_arg("verbose", b[1], true, ArgCause::ConversionCause);
    if (!verbose) {
        return error;
    }
    std::int64_t root_indent = 0;
    if (b.has(2)) {
        const Maybe<std::int64_t> given = i64_arg("root_indent", b[2], ArgCause::ConversionCause);
        if (!given) {
            return error;
        }
        root_indent = *given;
    }
    return render(self, *compact, *verbose, root_indent, b.varkw.get());
}

Ref text_form(PyObject *self, bool compact)
{
    Ref extra = Ref::steal(PyDict_New());
    Ref threshold = new_int(80);
    if (!extra || !threshold ||
        PyDict_SetItem(extra.get(), interned<"list_wrap_threshold">(), threshold.get()) < 0) {
        return error;
    }
    return render(self, compact, true, 0, extra.get());
}

PyObject *field_str(PyObject *self)
{
    return guard([&] { return text_form(self, false); });
}

PyObject *field_repr(PyObject *self)
{
    return guard([&] { return text_form(self, true); });
}

// ---- JSON -------------------------------------------------------------------------------------

const Signature TO_JSON_SIG{"to_json", {}, {.var_kwargs = true, .method = true}};

Ref field_to_json(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(TO_JSON_SIG.bind(fa, b))) {
        return error;
    }
    (void)bridge::get();
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Ref out = Ref::steal(PyDict_New());
    Ref type_key = new_str("norv.typing.Field");
    if (!out || !type_key || PyDict_SetItemString(out.get(), "_type", type_key.get()) < 0) {
        return error;
    }
    auto put_encoded = [&](const char *name, PyObject *value) -> Status {
        Ref encoded = bridge::call_to_json(value, b.varkw.get());
        return encoded ? check(PyDict_SetItemString(out.get(), name, encoded.get())) : Status(error);
    };
    if (failed(put_encoded("key_spec", s.slots[KEY].get())) ||
        failed(put_encoded("value_spec", s.slots[VALUE].get()))) {
        return error;
    }
    if (s.slots[DESCRIPTION].get() != Py_None &&
        failed(put_encoded("description", s.slots[DESCRIPTION].get()))) {
        return error;
    }
    const Maybe<bool> has_metadata = truth(s.slots[METADATA].get());
    if (!has_metadata || (*has_metadata && failed(put_encoded("metadata", s.slots[METADATA].get())))) {
        return error;
    }
    auto put_switch = [&](Switch i) -> Status {
        if (s.switches[i] == UNSET) {
            return Status::ok;
        }
        return check(PyDict_SetItemString(out.get(), SWITCH_NAMES[i], tri_obj(s.switches[i])));
    };
    for (Switch i : {REPR, COMPARE, HASH}) {
        if (failed(put_switch(i))) {
            return error;
        }
    }
    if (!s.enable_init && PyDict_SetItemString(out.get(), "enable_init", Py_False) < 0) {
        return error;
    }
    for (Switch i : {CLONE, VALIDATION, WRAP}) {
        if (failed(put_switch(i))) {
            return error;
        }
    }
    if (s.slots[ALIAS].get() != Py_None &&
        PyDict_SetItemString(out.get(), "alias", s.slots[ALIAS].get()) < 0) {
        return error;
    }
    return out;
}

// json[name] (the dict's own storage), decoded through the bridge; empty when absent.
Maybe<Ref> json_entry(PyObject *json, const char *name, PyObject *kwargs, bool decode)
{
    PyObject *found = nullptr;
    const int rc = PyDict_GetItemStringRef(json, name, &found);
    if (rc < 0) {
        return error;
    }
    if (rc == 0) {
        return Ref();
    }
    Ref v = Ref::steal(found);
    if (!decode) {
        return v;
    }
    return util::some(bridge::call_from_json(v.get(), kwargs));
}

const Signature FROM_JSON_SIG{"from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};

Ref field_from_json(PyObject *, FastArgs fa)
{
    Bound b;
    if (failed(FROM_JSON_SIG.bind(fa, b))) {
        return error;
    }
    PyObject *json = b[0];
    if (!PyDict_Check(json)) {
        return raise_not_instance(json, "dict");
    }
    (void)bridge::get();
    PyObject *kw = b.varkw.get();
    Maybe<Ref> key = json_entry(json, "key_spec", kw, true);
    if (!key) {
        return error;
    }
    if (!*key) {
        return raise(PyExc_ValueError, "Field json missing 'key_spec'.");
    }
    Maybe<Ref> value = json_entry(json, "value_spec", kw, true);
    if (!value) {
        return error;
    }
    if (!*value) {
        return raise(PyExc_ValueError, "Field json missing 'value_spec'.");
    }
    Maybe<Ref> description = json_entry(json, "description", kw, true);
    if (!description) {
        return error;
    }
    Maybe<Ref> metadata = json_entry(json, "metadata", kw, true);
    if (!metadata) {
        return error;
    }
    Args a;
    Maybe<Ref> init = json_entry(json, "enable_init", kw, false);
    if (!init) {
        return error;
    }
    if (*init) {
        Maybe<bool> v = to_bool(init->get());
        if (!v) {
            return error;
        }
        a.enable_init = *v;
    }
    for (int i = 0; i < N_SWITCHES; ++i) {
        Maybe<Ref> sw = json_entry(json, SWITCH_NAMES[i], kw, false);
        if (!sw) {
            return error;
        }
        if (*sw) {
            Maybe<bool> v = to_bool(sw->get());
            if (!v) {
                return error;
            }
            a.switches[i] = static_cast<std::uint8_t>(*v);
        }
    }
    Maybe<Ref> alias = json_entry(json, "alias", kw, false);
    if (!alias) {
        return error;
    }
    a.key = key->get();
    a.value = value->get();
    a.description = null_if_none(description->get());
    a.metadata = null_if_none(metadata->get());
    a.alias = null_if_none(alias->get());
    return field_new(a);
}

// ---- copies -----------------------------------------------------------------------------------

Ref copy_with(PyObject *self, const Snapshot &snap)
{
    Ref out = alloc_field();
    if (!out) {
        return error;
    }
    State &s = state(out.get());
    for (int i = 0; i < N_SLOTS; ++i) {
        s.slots[i] = Ref::borrow(snap.slots[i].get());
    }
    for (int i = 0; i < N_SWITCHES; ++i) {
        s.switches[i] = snap.switches[i];
    }
    s.enable_init = snap.enable_init;
    (void)self;
    return out;
}

Ref field_copy(PyObject *self)
{
    Snapshot snap;
    if (failed(snapshot(self, snap, OnConflict::Raise))) {
        return error;
    }
    return copy_with(self, snap);
}

const Signature DEEPCOPY_SIG{"__deepcopy__", {arg("memo")}, {.method = true}};

Ref field_deepcopy(PyObject *self, FastArgs fa)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(fa, b))) {
        return error;
    }
    PyObject *memo = b[0];
    // The slots are copied through `copy.deepcopy`, which reaches this again
    // for a field nested in them.
    RecursionGuard depth(" while copying a field");
    if (depth.failed()) {
        return error;
    }
    Ref copy = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy) {
        return error;
    }
    Ref deepcopy = getattr(copy.get(), "deepcopy");
    if (!deepcopy) {
        return error;
    }
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    Snapshot snap;
    for (int i = 0; i < N_SWITCHES; ++i) {
        snap.switches[i] = s.switches[i];
    }
    snap.enable_init = s.enable_init;
    for (int i = 0; i < N_SLOTS; ++i) {
        snap.slots[i] = none();
    }
    Ref out = copy_with(self, snap);
    if (!out) {
        return error;
    }
    // Registered before the slots are copied, so a slot that leads back to
    // this field copies to the new field instead of a second one.
    if (memo != Py_None) {
        Ref id = Ref::steal(PyLong_FromVoidPtr(self));
        if (!id || PyObject_SetItem(memo, id.get(), out.get()) < 0) {
            return error;
        }
    }
    // Deep-copy order: key, value, description, origin, metadata, validator, alias.
    for (Slot i : {KEY, VALUE, DESCRIPTION, ORIGIN, METADATA, VALIDATOR, ALIAS}) {
        Ref source = Ref::borrow(s.slots[i].get());
        PyObject *args[] = {source.get(), memo};
        Ref copied = Ref::steal(PyObject_Vectorcall(deepcopy.get(), args, 2, nullptr));
        if (!copied) {
            return error;
        }
        state(out.get()).slots[i] = std::move(copied);
    }
    return out;
}

// ---- getset ------------------------------------------------------------------------------------

constexpr std::intptr_t INIT_SWITCH = N_SWITCHES;

void *closure(std::intptr_t i) noexcept
{
    return reinterpret_cast<void *>(i);
}

std::intptr_t index_of(void *c) noexcept
{
    return reinterpret_cast<std::intptr_t>(c);
}

PyObject *get_slot(PyObject *self, void *c)
{
    return guard([&] { return read_slot(self, static_cast<Slot>(index_of(c))); });
}

// Raw slot setters; the ones marked in `INVALIDATES` drop the cached classification.
int set_slot(PyObject *self, PyObject *v, void *c)
{
    if (v == nullptr) {
        return refuse_property_delete();
    }
    return guard_int([&]() -> Status {
        const Slot i = static_cast<Slot>(index_of(c));
        if (failed(write_slot(self, i, v, OnConflict::Raise))) {
            return error;
        }
        if (i == KEY || i == VALUE || i == VALIDATOR) {
            drop_meta(self);
        }
        return Status::ok;
    });
}

PyObject *get_resolved(PyObject *self, void *c)
{
    return guard([&]() -> Ref {
        State &s = state(self);
        SharedBorrow hold(s.borrow);
        if (hold.failed()) {
            return error;
        }
        const std::uint8_t v = s.switches[index_of(c)];
        return new_bool(v == UNSET ? s.enable_init : v != 0);
    });
}

PyObject *get_raw(PyObject *self, void *c)
{
    return guard([&]() -> Ref {
        State &s = state(self);
        SharedBorrow hold(s.borrow);
        if (hold.failed()) {
            return error;
        }
        const std::intptr_t i = index_of(c);
        return Ref::borrow(i == INIT_SWITCH ? py_bool(s.enable_init) : tri_obj(s.switches[i]));
    });
}

int set_raw(PyObject *self, PyObject *v, void *c)
{
    if (v == nullptr) {
        return refuse_property_delete();
    }
    return guard_int([&]() -> Status {
        const std::intptr_t i = index_of(c);
        std::uint8_t stored;
        if (i == INIT_SWITCH) {
            Maybe<bool> b = bool_arg("v", v, true, ArgCause::ConversionCause);
            if (!b) {
                return error;
            }
            stored = *b;
        }
        else {
            Maybe<std::uint8_t> t = tri_arg(v, "v");
            if (!t) {
                return error;
            }
            stored = *t;
        }
        State &s = state(self);
        {
            ExclusiveBorrow hold(s.borrow);
            if (hold.failed()) {
                return error;
            }
            if (i == INIT_SWITCH) {
                s.enable_init = stored != 0;
            }
            else {
                s.switches[i] = stored;
            }
        }
        if (i == INIT_SWITCH || i == VALIDATION || i == WRAP) {
            drop_meta(self);
        }
        return Status::ok;
    });
}

// An attribute of the value spec, read while the field is held for reading.
Ref spec_attr(PyObject *self, const char *name)
{
    State &s = state(self);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    return getattr(s.slots[VALUE].get(), name);
}

PyObject *get_frozen(PyObject *self, void *)
{
    return guard([&]() -> Ref {
        Ref v = spec_attr(self, "frozen");
        if (v && !PyBool_Check(v.get())) {
            return raise_not_instance(v.get(), "bool");
        }
        return v;
    });
}

PyObject *get_annotation(PyObject *self, void *)
{
    return guard([&] { return spec_attr(self, "annotation"); });
}

PyObject *get_default_value(PyObject *self, void *)
{
    return guard([&] { return spec_attr(self, "default"); });
}

#define NORV_SLOT(name, i, setter) {name, get_slot, setter, nullptr, closure(i)}

PyGetSetDef FIELD_GETSET[] = {
    NORV_SLOT("key", KEY, set_slot),
    NORV_SLOT("_key", KEY, set_slot),
    NORV_SLOT("value", VALUE, set_slot),
    NORV_SLOT("_value", VALUE, set_slot),
    NORV_SLOT("description", DESCRIPTION, nullptr),
    NORV_SLOT("_description", DESCRIPTION, set_slot),
    NORV_SLOT("origin", ORIGIN, nullptr),
    NORV_SLOT("_origin", ORIGIN, set_slot),
    NORV_SLOT("metadata", METADATA, nullptr),
    NORV_SLOT("_metadata", METADATA, set_slot),
    NORV_SLOT("validator", VALIDATOR, nullptr),
    NORV_SLOT("_validator", VALIDATOR, set_slot),
    NORV_SLOT("alias", ALIAS, nullptr),
    NORV_SLOT("_alias", ALIAS, set_slot),
    {"enable_repr", get_resolved, nullptr, nullptr, closure(REPR)},
    {"enable_compare", get_resolved, nullptr, nullptr, closure(COMPARE)},
    {"enable_hash", get_resolved, nullptr, nullptr, closure(HASH)},
    {"enable_clone", get_resolved, nullptr, nullptr, closure(CLONE)},
    {"enable_validation", get_resolved, nullptr, nullptr, closure(VALIDATION)},
    {"enable_wrap", get_resolved, nullptr, nullptr, closure(WRAP)},
    {"_enable_repr", get_raw, set_raw, nullptr, closure(REPR)},
    {"_enable_compare", get_raw, set_raw, nullptr, closure(COMPARE)},
    {"_enable_hash", get_raw, set_raw, nullptr, closure(HASH)},
    {"_enable_clone", get_raw, set_raw, nullptr, closure(CLONE)},
    {"_enable_validation", get_raw, set_raw, nullptr, closure(VALIDATION)},
    {"_enable_wrap", get_raw, set_raw, nullptr, closure(WRAP)},
    {"enable_init", get_raw, nullptr, nullptr, closure(INIT_SWITCH)},
    {"_enable_init", get_raw, set_raw, nullptr, closure(INIT_SWITCH)},
    {"frozen", get_frozen, nullptr, nullptr, nullptr},
    {"annotation", get_annotation, nullptr, nullptr, nullptr},
    {"default_value", get_default_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef NORV_SLOT

PyMethodDef FIELD_METHODS[] = {
    method<field_apply>("apply",
                        "apply($self, value, allow_partial=False, transform_fn=None, root_path=None, "
                        "inplace=True)\n--\n\nApply the value spec, the transform and the validator."),
    method_onearg<field_extend>("extend", "extend($self, base_field, /)\n--\n\nMerge a base field in place."),
    method_onearg<field_set_description>("set_description", "set_description($self, description, /)\n--\n\n"),
    method_onearg<field_set_origin>("set_origin", "set_origin($self, origin, /)\n--\n\n"),
    method_onearg<field_set_validator>("set_validator", "set_validator($self, validator, /)\n--\n\n"),
    method_onearg<field_set_alias>("set_alias", "set_alias($self, alias, /)\n--\n\n"),
    method<field_from_annotation>("from_annotation",
                                  "from_annotation(key, annotation, description=None, metadata=None, "
                                  "auto_typing=True, parent_module=None)\n--\n\n",
                                  METH_STATIC),
    method_noargs<field_materialize_strict>("_materialize_strict", "_materialize_strict($self)\n--\n\n"),
    method<field_format>("format",
                         "format($self, compact=False, verbose=True, root_indent=0, **kwargs)\n--\n\n"),
    method<field_to_json>("to_json", "to_json($self, **kwargs)\n--\n\n"),
    method<field_from_json>("from_json", "from_json($cls, json_value, **kwargs)\n--\n\n", METH_CLASS),
    method_noargs<field_copy>("__copy__", "__copy__($self)\n--\n\n"),
    method<field_deepcopy>("__deepcopy__", "__deepcopy__($self, memo)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// ---- lifecycle ---------------------------------------------------------------------------------

int field_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    for (const Ref &r : state(self).slots) {
        Py_VISIT(r.get());
    }
    // Only the cell visits its record: callers hold records briefly.
    const MetaPtr &meta = meta_cell(self).meta;
    return meta ? meta->traverse(visit, arg) : 0;
}

// Leaves None in every slot, so code that still reaches the field meets an
// empty but well-formed one.
int field_clear(PyObject *self)
{
    for (Ref &r : state(self).slots) {
        r = none();
    }
    drop_meta(self);
    return 0;
}

// Fields and specs alternate in a nested spec: both release long chains
// iteratively.
void destroy_state(PyObject *self) noexcept
{
    state(self).~State();
    meta_cell(self).~MetaCell();
}

PyType_Slot FIELD_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char *>("Field(key_spec, value_spec, description=None, metadata=None, origin=None, *, "
                        "enable_repr=None, enable_compare=None, enable_hash=None, enable_init=True, "
                        "enable_clone=None, enable_validation=None, enable_wrap=None, alias=None)\n"
                        "--\n\nOne schema entry: a key spec bound to a value spec.")},
    {Py_tp_new, reinterpret_cast<void *>(field_tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<destroy_state>)},
    {Py_tp_traverse, reinterpret_cast<void *>(field_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(field_clear)},
    {Py_tp_richcompare, reinterpret_cast<void *>(field_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_str, reinterpret_cast<void *>(field_str)},
    {Py_tp_repr, reinterpret_cast<void *>(field_repr)},
    {Py_tp_methods, FIELD_METHODS},
    {Py_tp_getset, FIELD_GETSET},
    {0, nullptr},
};

PyType_Spec FIELD_SPEC = {
    .name = "norv_core._native.Field",
    .basicsize = sizeof(FieldObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = FIELD_SLOTS,
};

Status init_class(PyTypeObject *tp)
{
    return set_serializable_class_attrs(tp, "norv.typing.Field");
}

}  // namespace

PyTypeObject *type()
{
    return TYPE.get(&FIELD_SPEC, nullptr, init_class);
}

Ref apply(PyObject *self, PyObject *value, bool allow_partial, PyObject *transform_fn, PyObject *root_path,
          bool inplace)
{
    Ref spec = read_slot(self, VALUE);
    if (!spec) {
        return error;
    }
    Ref v;
    if (base::is_final_native(spec.get())) {
        v = base::apply_native(spec.get(), value, allow_partial, transform_fn, root_path, inplace);
    }
    else {
        PyObject *call[] = {spec.get(),
                            value,
                            py_bool(allow_partial),
                            none_if_null(transform_fn),
                            none_if_null(root_path),
                            py_bool(inplace)};
        v = Ref::steal(
            PyObject_VectorcallMethod(interned<"apply">(), call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      kwnames<"allow_partial", "child_transform", "root_path", "inplace">()));
    }
    if (!v) {
        return error;
    }
    if (transform_fn != nullptr) {
        Ref path;
        const Maybe<bool> truthy = truth_or(root_path, false);
        if (!truthy) {
            return error;
        }
        path = *truthy ? Ref::borrow(root_path) : engine::ensure_keypath(nullptr);
        if (!path) {
            return error;
        }
        PyObject *targs[] = {path.get(), self, v.get()};
        v = Ref::steal(PyObject_Vectorcall(transform_fn, targs, 3, nullptr));
        if (!v) {
            return error;
        }
    }
    Ref validator = read_slot(self, VALIDATOR);
    if (!validator) {
        return error;
    }
    if (validator.get() != Py_None) {
        const Maybe<bool> missing = bridge::is_missing(v.get());
        if (!missing) {
            return error;
        }
        if (!*missing) {
            Ref r = Ref::steal(PyObject_CallOneArg(validator.get(), v.get()));
            if (!r) {
                engine::PathText path(root_path);
                return engine::wrap_transform_error(path);
            }
        }
    }
    return v;
}

bool is_field(PyObject *o) noexcept
{
    PyTypeObject *tp = TYPE.peek();
    return tp != nullptr && Py_TYPE(o) == tp;
}

Ref value_spec_of(PyObject *f)
{
    return read_slot(f, VALUE, OnConflict::Panic);
}

Maybe<ScalarRule> scalar_rule_of(PyObject *f)
{
    State &s = state(f);
    SharedBorrow hold(s.borrow);
    if (hold.failed()) {
        return error;
    }
    const std::uint8_t v = s.switches[VALIDATION];
    return ScalarRule{v == UNSET ? s.enable_init : v != 0, Ref::borrow(s.slots[VALUE].get()),
                      s.slots[VALIDATOR].get() != Py_None};
}

void invalidate_meta(PyObject *f) noexcept
{
    drop_meta(f);
}

}  // namespace field

}  // namespace norv::typing
