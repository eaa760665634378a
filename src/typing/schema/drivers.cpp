// The per-field validation steps of schemas and the keyword-dict driver of
// object construction.
#include "typing/schema/drivers.hpp"

#include <vector>

#include "core/args.hpp"
#include "core/hooks.hpp"
#include "core/names.hpp"
#include "core/none.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/schema/open_plan.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::schema {

namespace {

// `self.<method>(positional, **keywords)`; `args` starts with one free slot
// for the call's own use, then self and the positional argument.
template <NameText Method>
Ref call_method_kw(PyObject *const *args, std::size_t nargs, PyObject *names)
{
    return Ref::steal(PyObject_VectorcallMethod(interned<Method>(), args + 1,
                                                nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

Ref path_for(PyObject *key, const ValueCtx &ctx)
{
    return ctx.no_path ? none() : keypath::child_key_path(key, ctx.root_path);
}

// The container the funnel proved, handed to the child transform: a scalar
// identity transform that carries `_norv_allow_partial` has the symbolic
// container built natively around the validated value.
Ref wrap_container(PyObject *field, const FieldMeta &meta, PyObject *key, PyObject *w, const ValueCtx &ctx,
                   PyObject *transform)
{
    Maybe<bool> identity = funnel::is_scalar_identity_transform(transform);
    if (!identity) {
        return error;
    }
    if (*identity && PyTuple_CheckExact(w)) {
        return Ref::borrow(w);
    }
    Ref path = keypath::child_key_path(key, ctx.root_path);
    if (!path) {
        return error;
    }
    if (*identity) {
        PyObject *allow = nullptr;
        const int has = PyObject_GetOptionalAttr(transform, interned<"_norv_allow_partial">(), &allow);
        Ref allow_ref = Ref::steal(allow);
        if (has < 0) {
            return error;
        }
        PyObject *dict_type = nullptr, *list_type = nullptr;
        const hooks::WrapNodeFn *hook = hooks::WRAP_NODE_HOOK.get();
        if (has && hook != nullptr && bridge::symbolic_container_types(&dict_type, &list_type)) {
            const Maybe<bool> partial = truth(allow_ref.get());
            if (!partial) {
                return error;
            }
            PyObject *cls = PyDict_CheckExact(w) ? dict_type : list_type;
            return Ref::steal((*hook)(cls, w, meta.value_spec.get(), *partial, path.get()));
        }
    }
    PyObject *args[] = {path.get(), field, w};
    return Ref::steal(PyObject_Vectorcall(transform, args, 3, nullptr));
}

}  // namespace

// Native fields and final native specs are called directly: their Python
// `apply` is that very code.
Ref call_field_apply(PyObject *field, PyObject *value, bool allow_partial, PyObject *transform,
                     PyObject *root_path, bool inplace)
{
    if (field::is_field(field)) {
        return field::apply(field, value, allow_partial, null_if_none(transform), null_if_none(root_path),
                            inplace);
    }
    PyObject *args[] = {nullptr,
                        field,
                        value,
                        py_bool(allow_partial),
                        none_if_null(transform),
                        none_if_null(root_path),
                        py_bool(inplace)};
    return call_method_kw<"apply">(args, 2,
                                   kwnames<"allow_partial", "transform_fn", "root_path", "inplace">());
}

Ref spec_apply(PyObject *spec, PyObject *value, bool allow_partial, PyObject *root_path, bool inplace)
{
    if (base::is_final_native(spec)) {
        return base::apply_native(spec, value, allow_partial, nullptr, null_if_none(root_path), inplace);
    }
    PyObject *args[] = {nullptr,         spec, value, py_bool(allow_partial), none_if_null(root_path),
                        py_bool(inplace)};
    return call_method_kw<"apply">(args, 2, kwnames<"allow_partial", "root_path", "inplace">());
}

Ref materialize_default(PyObject *spec, bool allow_partial)
{
    PyObject *args[] = {nullptr, spec, py_bool(allow_partial)};
    return call_method_kw<"materialize_default">(args, 1, kwnames<"allow_partial">());
}

Ref missing_fill(bool validate, PyObject *field, PyObject *spec, bool allow_partial, PyObject *transform,
                 PyObject *key, PyObject *root_path, bool inplace)
{
    if (!validate) {
        PyObject *args[] = {spec, py_bool(allow_partial)};
        return Ref::steal(PyObject_Vectorcall(bridge::get().default_without_apply, args, 2, nullptr));
    }
    Ref value = materialize_default(spec, allow_partial);
    Ref path = value ? keypath::child_key_path(key, root_path) : Ref();
    if (!path) {
        return error;
    }
    if (transform != nullptr) {
        return call_field_apply(field, value.get(), allow_partial, transform, path.get(), inplace);
    }
    const Maybe<bool> has_validator = field::field_has_validator(field);
    if (!has_validator) {
        return error;
    }
    if (*has_validator) {
        return call_field_apply(field, value.get(), allow_partial, nullptr, path.get(), inplace);
    }
    return spec_apply(spec, value.get(), allow_partial, path.get(), inplace);
}

Maybe<Valued> funnel_field_value(PyObject *field, const FieldMeta &meta, PyObject *key, PyObject *value,
                                 const ValueCtx &ctx, const FieldOptions &options)
{
    if (options.skip_validation || !meta.enable_validation) {
        return Valued{Ref::borrow(value), funnel::is_scalar_value(value)};
    }
    const funnel::FunnelCtx fc{ctx.root_path, ctx.allow_partial, ctx.no_path};
    Maybe<funnel::Accept> a = funnel::funnel_accept(value, meta, key, fc);
    if (!a) {
        return error;
    }
    Ref result;
    switch (a->kind) {
        case funnel::AcceptKind::Verbatim:
            return Valued{Ref::borrow(value), funnel::is_scalar_value(value)};
        case funnel::AcceptKind::Produced: {
            const bool scalar = funnel::is_scalar_value(a->value.get());
            return Valued{std::move(a->value), scalar};
        }
        case funnel::AcceptKind::Wrap:
            if (!meta.enable_wrap || options.transform == nullptr) {
                result = std::move(a->value);
            }
            else {
                result = wrap_container(field, meta, key, a->value.get(), ctx, options.transform);
                if (!result) {
                    return error;
                }
            }
            {
                const bool scalar = meta.scalar_fill || funnel::is_scalar_value(result.get());
                return Valued{std::move(result), scalar};
            }
        case funnel::AcceptKind::Deferred:
            break;
    }
    Ref path = path_for(key, ctx);
    if (!path) {
        return error;
    }
    result = call_field_apply(field, value, ctx.allow_partial, meta.enable_wrap ? options.transform : nullptr,
                              path.get(), options.inplace);
    if (!result) {
        return error;
    }
    const bool scalar = funnel::is_scalar_value(result.get());
    return Valued{std::move(result), scalar};
}

Status set_if_changed(PyObject *target, PyObject *key, PyObject *value)
{
    if (PyDict_Check(target)) {
        PyObject *held = nullptr;
        const int found = PyDict_GetItemRef(target, key, &held);
        Ref hold = Ref::steal(held);
        if (found < 0) {
            return error;
        }
        if (held == value) {
            return Status::ok;
        }
    }
    return check(PyObject_SetItem(target, key, value));
}

Maybe<ConstEntry> const_entry(PyObject *field, PyObject *source)
{
    Maybe<MetaPtr> meta = field_meta_for(field);
    if (!meta) {
        return error;
    }
    PyObject *held = nullptr;
    if (PyDict_GetItemRef(source, (*meta)->key.get(), &held) < 0) {
        return error;
    }
    return ConstEntry{std::move(*meta), Ref::steal(held)};
}

Status apply_const_field_inplace(PyObject *target, PyObject *source, PyObject *field, const ValueCtx &ctx,
                                 bool inplace, ConstTrace *trace)
{
    Maybe<ConstEntry> entry = const_entry(field, source);
    if (!entry) {
        return error;
    }
    const FieldMeta &m = *entry->meta;
    PyObject *key = m.key.get();
    Ref &value = entry->value;
    if (trace != nullptr) {
        trace->found = value && key == trace->text;
    }
    // A value the leaf tier takes as it is stays where it is: the common case,
    // settled here without the funnel's verdict.
    if (value && target == source &&
        (!m.enable_validation || m.accept_any || m.is_exact(Py_TYPE(value.get())))) {
        return Status::ok;
    }
    Ref result;
    if (value) {
        Maybe<Valued> v =
            funnel_field_value(field, m, key, value.get(), ctx, FieldOptions{nullptr, false, inplace});
        if (!v) {
            return error;
        }
        result = std::move(v->value);
    }
    else {
        result = missing_fill(m.enable_validation, field, m.value_spec.get(), ctx.allow_partial, nullptr, key,
                              ctx.root_path, inplace);
        if (!result) {
            return error;
        }
    }
    // Written back into the dict it came from: nothing to store.
    if (target == source && result.get() == value.get()) {
        return Status::ok;
    }
    return set_if_changed(target, key, result.get());
}

Error raise_keys_not_allowed(PyObject *keys, PyObject *root_path)
{
    Ref display = util::root_path_display(root_path);
    if (!display) {
        return error;
    }
    return raise_format(PyExc_KeyError, "Keys %S are not allowed in Schema. (parent='%U')", keys,
                        display.get());
}

Status raise_if_extra_keys(PyObject *allowed, PyObject *mapping, PyObject *root_path)
{
    Ref extra;
    auto consider = [&](PyObject *key) -> Status {
        int in = 0;
        if (allowed != nullptr) {
            in = PyAnySet_Check(allowed) ? PySet_Contains(allowed, key) : PySequence_Contains(allowed, key);
        }
        if (in != 0) {
            return in < 0 ? Status(error) : Status::ok;
        }
        if (!extra) {
            extra = Ref::steal(PyList_New(0));
            if (!extra) {
                return error;
            }
        }
        return check(PyList_Append(extra.get(), key));
    };
    if (PyDict_CheckExact(mapping)) {
        // A key's own __eq__ may run and change the dict.
        if (failed(dict_for_each(mapping, [&](PyObject *key, PyObject *) { return consider(key); }))) {
            return error;
        }
    }
    else {
        Ref keys = Ref::steal(PyObject_CallMethod(mapping, "keys", nullptr));
        Ref it = keys ? Ref::steal(PyObject_GetIter(keys.get())) : Ref();
        if (!it) {
            return error;
        }
        while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
            if (failed(consider(key.get()))) {
                return error;
            }
        }
        if (PyErr_Occurred()) {
            return error;
        }
    }
    if (!extra) {
        return Status::ok;
    }
    // `sorted(extra)`: the list is ours, so it sorts in place.
    if (PyList_Sort(extra.get()) < 0) {
        return error;
    }
    return raise_keys_not_allowed(extra.get(), root_path);
}

namespace {

// Whether a plain dict holds only constant keys, told by counting the texts
// it holds: with distinct text hashes each dict key answers for at most one
// text, so a count equal to the dict's size leaves no key unaccounted for.
Maybe<bool> holds_only_const_keys(const SchemaMeta &m, PyObject *dict)
{
    Ref entries = Ref::borrow(m.const_apply_fields.get());
    if (!m.const_hashes_distinct || !entries || PyDict_GET_SIZE(dict) > PyTuple_GET_SIZE(entries.get())) {
        return false;
    }
    Py_ssize_t held = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entries.get()); ++i) {
        const int in = PyDict_Contains(dict, PyTuple_GET_ITEM(PyTuple_GET_ITEM(entries.get(), i), 0));
        if (in < 0) {
            return error;
        }
        held += in;
    }
    return held == PyDict_GET_SIZE(dict);
}

}  // namespace

Status raise_if_extra_const_keys(const SchemaMeta &m, PyObject *mapping, PyObject *root_path)
{
    if (PyDict_CheckExact(mapping)) {
        Maybe<bool> only = holds_only_const_keys(m, mapping);
        if (!only) {
            return error;
        }
        if (*only) {
            return Status::ok;
        }
    }
    Ref texts = m.const_key_texts ? Ref::borrow(m.const_key_texts.get()) : Ref();
    return raise_if_extra_keys(texts.get(), mapping, root_path);
}

Ref missing_required_keys(PyObject *schema, PyObject *kwargs)
{
    if (!PyDict_Check(kwargs)) {
        return raise_not_instance(kwargs, "dict");
    }
    const SchemaMeta &m = state(schema).caches();
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    if (!m.has_nonconst_keys || m.plan) {
        const std::vector<Ref> &fields = m.has_nonconst_keys ? m.plan->const_fields : m.const_fields;
        for (const Ref &f : fields) {
            Ref field = Ref::borrow(f.get());
            Maybe<MetaPtr> meta = field_meta_for(field.get());
            if (!meta) {
                return error;
            }
            if ((*meta)->has_default) {
                continue;
            }
            PyObject *key = (*meta)->key.get();
            const int in = PyDict_Contains(kwargs, key);
            if (in < 0 || (!in && PyList_Append(out.get(), key) < 0)) {
                return error;
            }
        }
        return out;
    }
    Ref fields = Ref::borrow(state(schema).fields.get());
    const Status st = dict_for_each(fields.get(), [&](PyObject *spec, PyObject *field) -> Status {
        Ref value = attr<"value">(field);
        Maybe<bool> has_default = value ? truth_attr<"has_default">(value.get()) : Maybe<bool>(error);
        if (!has_default || *has_default) {
            return has_default ? Status::ok : Status::error;
        }
        Maybe<bool> is_const = truth_attr<"is_const">(spec);
        if (!is_const || !*is_const) {
            return is_const ? Status::ok : Status::error;
        }
        const int in = PyDict_Contains(kwargs, spec);
        if (in != 0) {
            return in < 0 ? Status(error) : Status::ok;
        }
        Ref text = Ref::steal(PyObject_Str(spec));
        return text ? check(PyList_Append(out.get(), text.get())) : Status(error);
    });
    if (failed(st)) {
        return error;
    }
    return out;
}

namespace {

class DictSink final : public FieldSink {
public:
    explicit DictSink(PyObject *dict) noexcept : dict_(dict) {}
    Status put(PyObject *key, Ref value) override { return check(PyDict_SetItem(dict_, key, value.get())); }

private:
    PyObject *dict_;
};

// The constant-key branch, under the caller's recursion guard.
Maybe<bool> const_fields_into(PyObject *schema, PyObject *kwargs, PyObject *transform, const ValueCtx &ctx,
                              bool skip_validation, FieldSink &sink)
{
    const SchemaMeta &m = state(schema).caches();
    const bridge::TypingBridge &br = bridge::get();
    const FieldOptions options{transform, skip_validation, true};
    bool scalar = true;
    for (const Ref &f : m.const_fields) {
        Ref field = Ref::borrow(f.get());
        Maybe<ConstEntry> entry = const_entry(field.get(), kwargs);
        if (!entry) {
            return error;
        }
        const FieldMeta &fm = *entry->meta;
        PyObject *key = fm.key.get();
        const Ref &value = entry->value;
        Ref result;
        if (value) {
            Maybe<Valued> v = funnel_field_value(field.get(), fm, key, value.get(), ctx, options);
            if (!v) {
                return error;
            }
            scalar = scalar && v->scalar;
            result = std::move(v->value);
        }
        else if (fm.has_default) {
            // Stored as it comes back: the default is not applied on this path.
            result = materialize_default(fm.value_spec.get(), ctx.allow_partial);
            scalar = scalar && result && funnel::is_scalar_value(result.get());
        }
        else if (!ctx.allow_partial) {
            continue;  // reported by missing_required_keys
        }
        else {
            Ref path = path_for(key, ctx);
            result = path ? call_field_apply(field.get(), br.missing_value, true,
                                             fm.enable_wrap ? transform : nullptr, path.get(), true)
                          : Ref();
            scalar = false;
        }
        if (!result || failed(sink.put(key, std::move(result)))) {
            return error;
        }
    }
    if (failed(raise_if_extra_const_keys(m, kwargs, ctx.root_path))) {
        return error;
    }
    return scalar;
}

}  // namespace

Maybe<bool> validate_const_fields(PyObject *schema, PyObject *kwargs, bool allow_partial, PyObject *transform,
                                  PyObject *root_path, bool skip_validation, bool no_path, FieldSink &sink)
{
    RecursionGuard depth(" while validating fields");
    if (depth.failed()) {
        return error;
    }
    return const_fields_into(schema, kwargs, transform, ValueCtx{root_path, allow_partial, no_path},
                             skip_validation, sink);
}

Maybe<Valued> validate_fields_native(PyObject *schema, PyObject *kwargs, bool allow_partial,
                                     PyObject *transform, PyObject *root_path, bool skip_validation,
                                     bool no_path)
{
    RecursionGuard depth(" while validating fields");
    if (depth.failed()) {
        return error;
    }
    const SchemaMeta &m = state(schema).caches();
    const ValueCtx ctx{root_path, allow_partial, no_path};
    if (m.has_nonconst_keys) {
        if (PyDict_Check(kwargs)) {
            if (const OpenSchemaPlan *plan = open_plan_for(m, kwargs)) {
                return open_plan_validate(*plan, kwargs, ctx, transform);
            }
        }
        Ref out = apply(schema, kwargs, allow_partial, transform, root_path, false, false);
        if (!out) {
            return error;
        }
        return Valued{std::move(out), false};
    }
    if (!PyDict_Check(kwargs)) {
        return raise_not_instance(kwargs, "dict");
    }
    Ref out = Ref::steal(PyDict_New());
    if (!out) {
        return error;
    }
    DictSink sink(out.get());
    const Maybe<bool> scalar = const_fields_into(schema, kwargs, transform, ctx, skip_validation, sink);
    if (!scalar) {
        return error;
    }
    return Valued{std::move(out), *scalar};
}

}  // namespace norv::typing::schema
