#include "nodes/container_bridge.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/once.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"
#include "scopes/flags.hpp"
#include "core/names.hpp"

namespace norv::symbolic::bridge {

namespace {

OnceCell<const ContainerBridge *> BRIDGE;

constexpr int HANDLE_COUNT = 10;
static_assert(sizeof(ContainerBridge) == sizeof(PyObject *) * HANDLE_COUNT);

const Signature INSTALL_SIG{
    "_install_container_bridge",
    {kwarg("keypath_cls"), kwarg("empty_key_path"), kwarg("missing_value"), kwarg("field_update_cls"),
     kwarg("write_permission_error"), kwarg("wrap_value"), kwarg("symbolic_transform_fn"),
     kwarg("origin_cls"), kwarg("message_on_path"), kwarg("nonconst_key_cls")}};

Ref install_container_bridge(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(INSTALL_SIG.bind(a, b))) {
        return error;
    }
    offer_handles(BRIDGE, b.slots());
    return none();
}

const Signature INSTALL_LIST_SIG{"_install_list_bridge", {arg("insertion_cls")}};

// The list bridge's one handle, owned by the cell for the life of the process.
OnceCell<PyObject *> INSERTION_CLS;

Ref install_list_bridge(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(INSTALL_LIST_SIG.bind(a, b))) {
        return error;
    }
    // A losing call releases the reference it took.
    Py_INCREF(b[0]);
    if (!INSERTION_CLS.set(b[0])) {
        Py_DECREF(b[0]);
    }
    return none();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef INSTALL_DEF = method<install_container_bridge>(
    "_install_container_bridge",
    "_install_container_bridge($module, /, *, keypath_cls, empty_key_path, missing_value, field_update_cls, "
    "write_permission_error, wrap_value, symbolic_transform_fn, origin_cls, message_on_path, "
    "nonconst_key_cls)\n--\n\n"
    "Inject the oracle handles the symbolic containers call back (first install wins).");

PyMethodDef INSTALL_LIST_DEF = method<install_list_bridge>(
    "_install_list_bridge",
    "_install_list_bridge($module, /, insertion_cls)\n--\n\n"
    "Inject the oracle's Insertion class the symbolic lists recognise (first install wins).");

const ContainerBridge &get()
{
    const ContainerBridge *const *p = BRIDGE.get();
    if (p == nullptr) {
        panic("container bridge not installed");
    }
    return **p;
}

PyObject *insertion_cls()
{
    PyObject *const *p = INSERTION_CLS.get();
    if (p == nullptr) {
        panic("list bridge not installed");
    }
    return *p;
}

Maybe<Ref> default_origin()
{
    if (!flags::origin_tracking_on()) {
        return Ref();
    }
    PyObject *args[] = {Py_None, interned<"__init__">()};
    Ref origin = Ref::steal(PyObject_Vectorcall(get().origin_cls, args, 2, nullptr));
    if (!origin) {
        return error;
    }
    return origin;
}

Maybe<bool> update_target_validates(PyObject *update)
{
    Ref target = attr<"target">(update);
    if (!target) {
        return error;
    }
    Ref flag = attr<"_sym_validate_overridden">(target.get());
    if (!flag) {
        if (failed(discard_ordinary_error())) {
            return error;
        }
        return false;
    }
    return truth(flag.get());
}

}  // namespace norv::symbolic::bridge
