// Test-only entry points into native steps that have no Python surface of
// their own. Compiled in only with NORV_TEST_PROBES (the test builds), as the
// module attribute `_testing`.
#include <Python.h>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "typing/funnel/field_meta.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/open_plan.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/relations.hpp"

namespace norv::testing {

namespace {

namespace sc = typing::schema;

// Flags of these entry points: only True sets one.
bool flag(const Bound &b, std::size_t i) noexcept
{
    return b.has(i) && b[i] == Py_True;
}

// Binds the arguments and runs `body` holding the first one, a schema, for
// reading, as the drivers' callers do.
template <class Body>
Ref with_schema(const Signature &sig, FastArgs a, Body &&body)
{
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    if (!sc::is_schema(b[0])) {
        return raise_not_instance(b[0], "Schema");
    }
    SharedBorrow hold(sc::state(b[0]).borrow);
    if (hold.failed()) {
        return error;
    }
    return body(b);
}

Ref pair(Maybe<sc::Valued> v)
{
    if (!v) {
        return error;
    }
    return Ref::steal(Py_BuildValue("(OO)", v->value.get(), v->scalar ? Py_True : Py_False));
}

const Signature VALIDATE{"validate_fields",
                         {arg("schema"), arg("kwargs"), opt("allow_partial"), opt("transform"),
                          opt("root_path"), opt("skip_validation"), opt("no_path")}};

Ref validate_fields(PyObject *, FastArgs a)
{
    return with_schema(VALIDATE, a, [&](const Bound &b) -> Ref {
        return pair(sc::validate_fields_native(b[0], b[1], flag(b, 2), b.or_none(3), b.or_none(4), flag(b, 5),
                                               flag(b, 6)));
    });
}

const Signature MISSING{"missing_required_keys", {arg("schema"), arg("kwargs")}};

Ref missing_required_keys(PyObject *, FastArgs a)
{
    return with_schema(MISSING, a,
                       [&](const Bound &b) -> Ref { return sc::missing_required_keys(b[0], b[1]); });
}

const Signature PLAN{"open_plan", {arg("schema"), arg("dict"), opt("key")}};

// Whether the plan is taken for `dict`; with `key`, whether the plan's index
// holds it.
Ref open_plan(PyObject *, FastArgs a)
{
    return with_schema(PLAN, a, [&](const Bound &b) -> Ref {
        if (!PyDict_Check(b[1])) {
            return raise_not_instance(b[1], "dict");
        }
        const sc::OpenSchemaPlan *plan = sc::open_plan_for(sc::state(b[0]).caches(), b[1]);
        if (!b.has(2)) {
            return Ref::borrow(plan ? Py_True : Py_False);
        }
        const sc::SchemaMeta &m = sc::state(b[0]).caches();
        return Ref::borrow(m.plan && sc::key_in_plan_consts(m.plan->const_index, b[2]) ? Py_True : Py_False);
    });
}

const Signature FUNNEL{"funnel_field_value",
                       {arg("schema"), arg("key"), arg("value"), opt("transform"), opt("root_path"),
                        opt("allow_partial"), opt("no_path"), opt("skip_validation")}};

// The constant field `key` of the schema through the per-field funnel step.
Ref funnel_field_value(PyObject *, FastArgs a)
{
    return with_schema(FUNNEL, a, [&](const Bound &b) -> Ref {
        for (const Ref &f : sc::state(b[0]).caches().const_fields) {
            Ref field = Ref::borrow(f.get());
            Maybe<typing::MetaPtr> meta = sc::field_meta_for(field.get());
            if (!meta) {
                return error;
            }
            const int eq = PyObject_RichCompareBool((*meta)->key.get(), b[1], Py_EQ);
            if (eq < 0) {
                return error;
            }
            if (eq) {
                const sc::ValueCtx ctx{b.or_none(4), flag(b, 5), flag(b, 6)};
                return pair(sc::funnel_field_value(field.get(), **meta, (*meta)->key.get(), b[2], ctx,
                                                   sc::FieldOptions{b.or_none(3), flag(b, 7), true}));
            }
        }
        return raise(PyExc_KeyError, "no constant field with that key");
    });
}

const Signature EXTEND_KIND{"extend_kind", {arg("child"), arg("base")}};

Ref extend_kind(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(EXTEND_KIND.bind(a, b))) {
        return error;
    }
    if (!typing::base::is_spec(b[0])) {
        return raise_not_instance(b[0], "SpecBase");
    }
    return typing::relations::extend_kind_only(b[0], b[1]);
}

PyMethodDef METHODS[] = {
    method<validate_fields>("validate_fields", nullptr),
    method<missing_required_keys>("missing_required_keys", nullptr),
    method<open_plan>("open_plan", nullptr),
    method<funnel_field_value>("funnel_field_value", nullptr),
    method<extend_kind>("extend_kind", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Status add_symbolic_probes(PyObject *probes);
Status add_object_probes(PyObject *probes);
Status add_kernel_probes(PyObject *probes);

Status add_probes(PyObject *module)
{
    Ref probes = Ref::steal(PyModule_New("norv_core._native._testing"));
    if (!probes || PyModule_AddFunctions(probes.get(), METHODS) < 0 ||
        failed(add_symbolic_probes(probes.get())) || failed(add_object_probes(probes.get())) ||
        failed(add_kernel_probes(probes.get()))) {
        return error;
    }
    return check(PyModule_AddObjectRef(module, "_testing", probes.get()));
}

}  // namespace norv::testing
