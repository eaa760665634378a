// The module `norv_core._native`: its definition and the registration of every
// public name, in one fixed order that the host relies on (`__all__` lists the
// names in that order).
#include <Python.h>

#ifdef Py_GIL_DISABLED
#error "norv_core._native supports only the CPython build with the global interpreter lock"
#endif

#include "core/boundary.hpp"
#include "core/registry.hpp"
#include "flags.hpp"
#include "formatting/format.hpp"
#include "topology/keypath.hpp"
#include "topology/keypath_set.hpp"
#include "topology/missing.hpp"
#include "typing/key_specs/key_specs.hpp"
#include "typing/bridge/bridge.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/primitives.hpp"

namespace norv {

namespace {

constexpr int ABI_MAJOR = 0;
constexpr int ABI_MINOR = 0;

Ref abi_tuple() { return Ref::checked(Py_BuildValue("(ii)", ABI_MAJOR, ABI_MINOR)); }

Ref abi_version(PyObject *) { return abi_tuple(); }

PyMethodDef ABI_VERSION_DEF = method_noargs<abi_version>(
    "abi_version", "abi_version()\n--\n\nReturn the native core ABI version `(major, minor)`.");

void exec_steps(PyObject *m)
{
    // Not a registered name: the class of internal faults.
    require(PyObject_SetAttrString(m, "PanicException", panic_exception_type()));

    add_function(m, &ABI_VERSION_DEF);
    add_name(m, "__abi__", abi_tuple().get());

    add_type(m, keypath::type());
    add_type(m, keypath_set::type());
    add_type(m, missing::type());

    add_function(m, missing::singleton_function());
    add_function(m, formatting::format_function());
    add_function(m, formatting::kvlist_function());
    add_function(m, formatting::install_bridge_function());
    formatting::init_format_fn(m);

    key_specs::register_names(m);

    typing::bridge::register_installers(m);
    add_type(m, typing::base::type());
    add_type(m, typing::primitives::bool_type());
    add_type(m, typing::primitives::str_type());
    add_type(m, typing::primitives::int_type());
    add_type(m, typing::primitives::float_type());
    add_type(m, typing::primitives::any_type());

    flags::register_names(m);
}

int module_exec(PyObject *m)
{
    return guard_int([&] { exec_steps(m); });
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    // Every call arrives holding the interpreter lock and native code never
    // releases it; free-threaded builds are refused at compile time.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
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

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&norv::MODULE_DEF); }
