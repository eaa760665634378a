#include "containers/formalize.hpp"

#include <optional>

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "scopes/flags.hpp"
#include "containers/adopt.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/dict.hpp"
#include "topology/keypath.hpp"
#include "typing/field/field.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic {

namespace {

// A field's switch: a host field that answers anything but a bool is refused.
template <NameText Name>
Maybe<bool> field_switch(PyObject *field)
{
    Ref v = attr<Name>(field);
    if (!v) {
        return error;
    }
    if (!PyBool_Check(v.get())) {
        return raise_not_instance(v.get(), "bool");
    }
    return v.get() == Py_True;
}

// What decides whether a scalar is kept: the field's validation switch, its
// value spec and whether it has a validator. A native field answers from its
// state, as its getters would; any other through its attributes, in the
// order the rule reads them (the spec only when validating, the validator
// only when the type matches).
struct ScalarRule {
    bool validates = false;
    Ref value_spec;
    std::optional<bool> has_validator;
};

Maybe<ScalarRule> scalar_rule(PyObject *field)
{
    if (typing::field::is_field(field)) {
        Maybe<typing::field::ScalarRule> r = typing::field::scalar_rule_of(field);
        if (!r) {
            return error;
        }
        return ScalarRule{r->validates, std::move(r->value_spec), r->has_validator};
    }
    Maybe<bool> validates = field_switch<"enable_validation">(field);
    if (!validates) {
        return error;
    }
    if (!*validates) {
        return ScalarRule{};
    }
    Ref spec = attr<"value">(field);
    if (!spec) {
        return error;
    }
    return ScalarRule{true, std::move(spec), std::nullopt};
}

// A scalar is kept as it is unless a field validates it and cannot take it
// unchanged; the field's result is stored without adoption.
Ref formalize_scalar(PyObject *key, PyObject *field, PyObject *value, const FormalizeCtx &ctx)
{
    if (field == nullptr) {
        return Ref::borrow(value);
    }
    Maybe<ScalarRule> rule = scalar_rule(field);
    if (!rule) {
        return error;
    }
    if (!rule->validates) {
        return Ref::borrow(value);
    }
    Maybe<Ref> leaf = typing::funnel::exact_leaf_type(rule->value_spec.get());
    if (!leaf) {
        return error;
    }
    if (*leaf && leaf->get() == reinterpret_cast<PyObject *>(Py_TYPE(value))) {
        Maybe<bool> validator = rule->has_validator ? Maybe<bool>(*rule->has_validator)
                                                    : typing::field::field_has_validator(field);
        if (!validator) {
            return error;
        }
        if (!*validator) {
            return Ref::borrow(value);
        }
    }
    Ref path = keypath::child_key_path(key, ctx.root_path.get());
    if (!path) {
        return error;
    }
    return apply_field(field, value, ctx.allow_partial, nullptr, path.get());
}

}  // namespace

// A native field's Python `apply` is this very code.
Ref apply_field(PyObject *field, PyObject *value, bool allow_partial, PyObject *transform,
                PyObject *root_path)
{
    if (typing::field::is_field(field)) {
        return typing::field::apply(field, value, allow_partial, transform, root_path, true);
    }
    PyObject *args[] = {nullptr, field, value, py_bool(allow_partial), none_if_null(transform), root_path};
    return Ref::steal(PyObject_VectorcallMethod(interned<"apply">(), args + 1,
                                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                kwnames<"allow_partial", "transform_fn", "root_path">()));
}

namespace container {

FormalizeCtx formalize_ctx(PyObject *owner, ContainerFields &f, Ref parent_for_children,
                           bool missing_takes_default)
{
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return FormalizeCtx{none_if_null(f.node.path),
                        owner,
                        std::move(parent_for_children),
                        f.sym_mode,
                        flags::resolve(flags::ALLOW_PARTIAL, f.node.allow_partial),
                        f.node.allow_partial,
                        f.wrap,
                        missing_takes_default};
}

}  // namespace container

Ref SymDict::formalize_field(PyObject *key, PyObject *field, PyObject *value, const FormalizeCtx &ctx,
                             PyObject *seen, std::optional<PyObject *> replaced)
{
    if (typing::funnel::is_scalar_value(value)) {
        return formalize_scalar(key, field, value, ctx);
    }
    const bridge::ContainerBridge &br = bridge::get();
    bool wrap = ctx.wrap;
    if (field != nullptr) {
        Ref enable_wrap = attr<"_enable_wrap">(field);
        if (!enable_wrap) {
            return error;
        }
        if (enable_wrap.get() != Py_None) {
            if (!PyBool_Check(enable_wrap.get())) {
                return raise_not_instance(enable_wrap.get(), "bool");
            }
            wrap = enable_wrap.get() == Py_True;
        }
    }
    Ref child = keypath::child_key_path(key, ctx.root_path.get());
    if (!child) {
        return error;
    }
    Ref v;
    Maybe<bool> missing = field != nullptr && ctx.missing_takes_default ? eq_truth(br.missing_value, value)
                                                                        : Maybe<bool>(false);
    if (!missing) {
        return error;
    }
    if (*missing) {
        v = attr<"default_value">(field);
    }
    else {
        PyObject *args[] = {nullptr, value, py_bool(wrap), py_bool(ctx.allow_partial), child.get()};
        v = Ref::steal(PyObject_Vectorcall(br.wrap_value, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           kwnames<"wrap", "allow_partial", "root_path">()));
    }
    if (!v) {
        return error;
    }
    if (field != nullptr) {
        Maybe<bool> validates = field_switch<"enable_validation">(field);
        if (!validates) {
            return error;
        }
        if (*validates) {
            Ref transform;
            if (wrap) {
                PyObject *partial = py_bool(ctx.node_allow_partial);
                transform = Ref::steal(PyObject_Vectorcall(br.symbolic_transform_fn, &partial, 1, nullptr));
                if (!transform) {
                    return error;
                }
            }
            v = apply_field(field, v.get(), ctx.allow_partial, transform.get(), child.get());
            if (!v) {
                return error;
            }
        }
    }
    return adopt::relocate_if_symbolic(key, v.get(), ctx.sym_mode, ctx.root_path.get(), ctx.owner,
                                       ctx.parent_for_children.get(), seen, replaced);
}

}  // namespace norv::symbolic
