#include "typing/schema/open_plan.hpp"

#include <utility>
#include <vector>

#include "topology/keypath.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::schema {

const OpenSchemaPlan *open_plan_for(const SchemaMeta &meta, PyObject *dict) noexcept
{
    if (!meta.plan) {
        return nullptr;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        if (!PyUnicode_Check(k)) {
            return nullptr;
        }
    }
    return meta.plan.get();
}

Maybe<Valued> open_fill_value(PyObject *field, const FieldMeta &meta, PyObject *key, PyObject *value,
                              const ValueCtx &ctx, PyObject *transform, bool scalar_identity)
{
    Ref result;
    if (value == nullptr) {
        result = missing_fill(meta.enable_validation, field, meta.value_spec.get(), ctx.allow_partial,
                              meta.enable_validation ? transform : nullptr, key, ctx.root_path, false);
    }
    else if (meta.enable_validation && transform != nullptr &&
             !(scalar_identity && funnel::is_scalar_value(value))) {
        Ref path = keypath::child_key_path(key, ctx.root_path);
        result =
            path ? call_field_apply(field, value, ctx.allow_partial, transform, path.get(), false) : Ref();
    }
    else {
        return funnel_field_value(field, meta, key, value, ctx, FieldOptions{nullptr, false, false});
    }
    if (!result) {
        return error;
    }
    const bool scalar = funnel::is_scalar_value(result.get());
    return Valued{std::move(result), scalar};
}

namespace {

Status fill_const(PyObject *out, PyObject *kwargs, PyObject *field, const ValueCtx &ctx, PyObject *transform,
                  bool scalar_identity, bool &scalar)
{
    Ref hold = Ref::borrow(field);
    Maybe<ConstEntry> entry = const_entry(field, kwargs);
    if (!entry) {
        return error;
    }
    PyObject *key = entry->meta->key.get();
    Maybe<Valued> v =
        open_fill_value(field, *entry->meta, key, entry->value.get(), ctx, transform, scalar_identity);
    if (!v) {
        return error;
    }
    scalar = scalar && v->scalar;
    return check(PyDict_SetItem(out, key, v->value.get()));
}

}  // namespace

Maybe<Valued> open_plan_validate(const OpenSchemaPlan &plan, PyObject *kwargs, const ValueCtx &ctx,
                                 PyObject *transform)
{
    bool scalar_identity = false;
    if (transform != nullptr) {
        Maybe<bool> identity = funnel::is_scalar_identity_transform(transform);
        if (!identity) {
            return error;
        }
        scalar_identity = *identity;
    }
    Ref out = Ref::steal(PyDict_New());
    if (!out) {
        return error;
    }
    bool scalar = true;
    const std::size_t n = plan.const_fields.size();
    const std::size_t split = std::min(plan.wildcard_pos, n);
    for (std::size_t i = 0; i < split; ++i) {
        if (failed(fill_const(out.get(), kwargs, plan.const_fields[i].get(), ctx, transform, scalar_identity,
                              scalar))) {
            return error;
        }
    }
    Ref wildcard = Ref::borrow(plan.wildcard_field.get());
    Maybe<MetaPtr> meta = field_meta_for(wildcard.get());
    if (!meta) {
        return error;
    }
    // Walked in place, as the dict's own iterator would: host code run by a
    // field must not change the dict meanwhile.
    std::vector<std::pair<Ref, Ref>> taken;
    const Py_ssize_t size = PyDict_GET_SIZE(kwargs);
    Py_ssize_t seen = 0, pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        if (++seen > size) {
            panic("dictionary keys changed during iteration");
        }
        if (key_in_plan_consts(plan.const_index, k)) {
            continue;
        }
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        Maybe<Valued> r =
            open_fill_value(wildcard.get(), **meta, key.get(), value.get(), ctx, transform, scalar_identity);
        if (!r) {
            return error;
        }
        if (PyDict_GET_SIZE(kwargs) != size) {
            panic("dictionary changed size during iteration");
        }
        scalar = scalar && r->scalar;
        taken.emplace_back(std::move(key), std::move(r->value));
    }
    for (std::size_t i = split; i < n; ++i) {
        if (failed(fill_const(out.get(), kwargs, plan.const_fields[i].get(), ctx, transform, scalar_identity,
                              scalar))) {
            return error;
        }
    }
    for (const auto &[key, value] : taken) {
        if (PyDict_SetItem(out.get(), key.get(), value.get()) < 0) {
            return error;
        }
    }
    return Valued{std::move(out), scalar};
}

}  // namespace norv::typing::schema
