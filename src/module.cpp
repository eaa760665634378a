// The module `norv_core._native`: its definition and the registration of every
// public name, in one fixed order that the host relies on (`__all__` lists the
// names in that order).
#include <Python.h>

#ifdef Py_GIL_DISABLED
#error "norv_core._native supports only the CPython build with the global interpreter lock"
#endif

#include "core/boundary.hpp"
#include "core/hooks.hpp"
#include "core/registry.hpp"
#include "flags.hpp"
#include "formatting/format.hpp"
#include "kernel/kernel.hpp"
#include "symbolic/object/construct.hpp"
#include "symbolic/symbolic.hpp"
#include "topology/keypath.hpp"
#include "topology/keypath_set.hpp"
#include "topology/missing.hpp"
#include "typing/key_specs/key_specs.hpp"
#include "typing/bridge/bridge.hpp"
#include "typing/field/field.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/containers.hpp"
#include "typing/value_specs/primitives.hpp"

namespace norv {
#ifdef NORV_TEST_PROBES
namespace testing {
Status add_probes(PyObject *module);
}
#endif

namespace {

constexpr int ABI_MAJOR = 0;
constexpr int ABI_MINOR = 0;

Ref abi_tuple()
{
    return Ref::steal(Py_BuildValue("(ii)", ABI_MAJOR, ABI_MINOR));
}

Ref abi_version(PyObject *)
{
    return abi_tuple();
}

PyMethodDef ABI_VERSION_DEF = method_noargs<abi_version>(
    "abi_version", "abi_version()\n--\n\nReturn the native core ABI version `(major, minor)`.");

// Each step returns a Status; the first failure stops execution.
Status exec_steps(PyObject *m)
{
    // The typing layer's hooks into the layers above it, in place before any
    // name is: the schema drivers emit validated containers through the first,
    // and the bridge asks the object layer whether an object is partial.
    hooks::WRAP_NODE_HOOK.set(symbolic::build_wrap_node);
    hooks::SYM_PARTIAL_HOOK.set(&symbolic::object::construct::sym_partial_native);

    // Not a registered name: the class of internal faults.
    PyObject *panic_type = panic_exception_type();
    if (panic_type == nullptr || PyObject_SetAttrString(m, "PanicException", panic_type) < 0) {
        return error;
    }

    Ref abi = abi_tuple();
    if (failed(add_function(m, &ABI_VERSION_DEF)) || !abi || failed(add_name(m, "__abi__", abi.get()))) {
        return error;
    }

    // Types are made on first request: ask for each only once the step before it succeeded.
    using TypeGetter = PyTypeObject *(*)();
    for (TypeGetter type : {keypath::type, keypath_set::type, missing::type}) {
        if (failed(add_type(m, type()))) {
            return error;
        }
    }

    for (PyMethodDef *def : {missing::singleton_function(), formatting::format_function(),
                             formatting::kvlist_function(), formatting::install_bridge_function()}) {
        if (failed(add_function(m, def))) {
            return error;
        }
    }
    if (failed(formatting::init_format_fn(m))) {
        return error;
    }

    if (failed(key_specs::register_names(m)) || failed(typing::bridge::register_installers(m))) {
        return error;
    }
    // The value-spec classes, in the host's order.
    const TypeGetter value_classes[] = {
        typing::base::type,
        typing::primitives::bool_type,
        typing::primitives::str_type,
        typing::primitives::int_type,
        typing::primitives::float_type,
        typing::classes::enum_type,
        typing::primitives::any_type,
        typing::containers::list_type,
        typing::containers::tuple_type,
        typing::classes::union_type,
        typing::classes::object_type,
        typing::classes::type_type,
        typing::field::type,
        typing::schema::type,
        typing::classes::dict_type,
        typing::classes::callable_type,
        typing::classes::functor_type,
    };
    for (TypeGetter type : value_classes) {
        if (failed(add_type(m, type()))) {
            return error;
        }
    }

    if (failed(symbolic::register_names(m)) || failed(flags::register_names(m)) ||
        failed(kernel::register_names(m))) {
        return error;
    }
#ifdef NORV_TEST_PROBES
    // Not a registered name: test builds only.
    return testing::add_probes(m);
#else
    return Status::ok;
#endif
}

int module_exec(PyObject *m)
{
    // Bridges, hooks and types live in process-wide cells. A subinterpreter
    // would fill them with objects that die with it; the slot below refuses
    // isolated ones, and this refuses the legacy kind, which the slot lets in.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "norv_core._native does not support subinterpreters: its state is process-wide");
        return -1;
    }
    return guard_int([&] { return exec_steps(m); });
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    // Every call arrives holding the interpreter lock and native code never
    // releases it; free-threaded builds are refused at compile time.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = SLOTS,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace norv

PyMODINIT_FUNC PyInit__native(void)
{
    return PyModuleDef_Init(&norv::MODULE_DEF);
}
