// The module `norv_core._native`: its definition and the registration of every
// public name, in one fixed order that the host relies on (`__all__` lists the
// names in that order).
#include <Python.h>

#include <initializer_list>

#ifdef Py_GIL_DISABLED
#error "norv_core._native supports only the CPython build with the global interpreter lock"
#endif

#include "containers/dict.hpp"
#include "containers/list.hpp"
#include "containers/wrap_node.hpp"
#include "core/boundary.hpp"
#include "core/hooks.hpp"
#include "core/registry.hpp"
#include "emission/module_functions.hpp"
#include "formatting/format.hpp"
#include "formatting/module_functions.hpp"
#include "kernel/module_functions.hpp"
#include "nodes/module_functions.hpp"
#include "objects/construct.hpp"
#include "objects/ctor_meta.hpp"
#include "objects/field_read.hpp"
#include "objects/module_functions.hpp"
#include "objects/object_topology.hpp"
#include "objects/sym_object.hpp"
#include "scopes/flags.hpp"
#include "topology/keypath.hpp"
#include "topology/keypath_set.hpp"
#include "topology/missing.hpp"
#include "topology/module_functions.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field.hpp"
#include "typing/key_specs/key_specs.hpp"
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

// A step of registration: a class, made on first request, or a run of a
// layer's module functions.
struct Entry {
    PyTypeObject *(*type)();
    FunctionTable functions;
};

Entry type_name(PyTypeObject *(*type)())
{
    return {type, {}};
}

Entry run(FunctionTable functions)
{
    return {nullptr, functions};
}

// Asks for each class only once the step before it succeeded.
Status add_names(PyObject *m, std::initializer_list<Entry> entries)
{
    for (const Entry &entry : entries) {
        if (failed(entry.type != nullptr ? add_type(m, entry.type()) : add_functions(m, entry.functions))) {
            return error;
        }
    }
    return Status::ok;
}

// The symbolic layers' names, in the host's order, which interleaves the
// layers: the containers with their bridges and the to-JSON walk, the objects
// with their inline serde and fast renderer among them.
Status add_symbolic_names(PyObject *m)
{
    namespace object = symbolic::object;
    return add_names(m, {
                            type_name(symbolic::SymDict::type),
                            run(module_functions::CONTAINER_BRIDGE),
                            run(module_functions::TO_JSON_WALK),
                            type_name(symbolic::SymList::type),
                            run(module_functions::LIST_BRIDGE),
                            type_name(object::SymObject::type),
                            type_name(object::ObjectCtorMeta::type),
                            type_name(object::field_getter_type),
                            run(module_functions::OBJECT_BRIDGE),
                            run(module_functions::FAST_RENDER),
                            run(module_functions::OBJECT_SEAMS),
                            run(module_functions::INLINE_SERDE),
                            run(module_functions::RECORD_CONSTRUCT_AND_PROBES),
                        });
}

// The record kernel's names, with the objects' native type slots among them.
Status add_kernel_names(PyObject *m)
{
    return add_names(m, {
                            run(module_functions::RECORD_CELLS),
                            run(module_functions::TYPE_SLOTS),
                            run(module_functions::RECORD_TYPES),
                        });
}

// Each step returns a Status; the first failure stops execution.
Status exec_steps(PyObject *m)
{
    // The hooks into the layers above, in place before any name is: the
    // schema drivers emit validated containers through the first, the typing
    // bridge asks the object layer whether an object is partial, and
    // adoption reads an object's parent.
    hooks::WRAP_NODE_HOOK.set(symbolic::build_wrap_node);
    hooks::SYM_PARTIAL_HOOK.set(&symbolic::object::construct::sym_partial_native);
    hooks::OBJECT_PARENT_HOOK.set(&symbolic::object::topology::sym_object_parent);

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

    if (failed(add_functions(m, module_functions::TOPOLOGY)) ||
        failed(add_functions(m, module_functions::FORMATTING))) {
        return error;
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

    if (failed(add_symbolic_names(m)) || failed(flags::register_names(m)) || failed(add_kernel_names(m))) {
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
