// Test-only entry points into native steps that have no Python surface of
// their own. Compiled in only with NORV_TEST_PROBES (the test builds), as the
// module attribute `_testing`.
#include <Python.h>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "typing/schema/open_plan.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/relations.hpp"

namespace norv::testing {

namespace {

namespace sc = typing::schema;

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

const Signature PLAN_KEY{"key_in_plan_consts", {arg("schema"), arg("key")}};

// Whether the schema's open plan holds `key` among its constant keys.
Ref key_in_plan_consts(PyObject *, FastArgs a)
{
    return with_schema(PLAN_KEY, a, [&](const Bound &b) -> Ref {
        const sc::SchemaMeta &m = sc::state(b[0]).caches();
        return Ref::borrow(m.plan && sc::key_in_plan_consts(m.plan->const_index, b[1]) ? Py_True : Py_False);
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
    method<key_in_plan_consts>("key_in_plan_consts", nullptr),
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
