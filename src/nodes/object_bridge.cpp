#include "nodes/object_bridge.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/once.hpp"

namespace norv::symbolic::object::bridge {

namespace {

OnceCell<const ObjectBridge *> BRIDGE;

const Signature INSTALL_SIG{"_install_object_bridge",
                            {kwarg("dict_cls"),
                             kwarg("symbolic_mode_error"),
                             kwarg("keypath_cls"),
                             kwarg("empty_key_path"),
                             kwarg("origin_cls"),
                             kwarg("auto_plural"),
                             kwarg("comma_delimited_str"),
                             kwarg("seed_non_symbolic_fields"),
                             kwarg("clone_non_symbolic_fields"),
                             kwarg("symbolic_transform_fn"),
                             kwarg("missing_value"),
                             kwarg("copy_default"),
                             kwarg("cooperative_init"),
                             kwarg("needs_cooperative_init"),
                             kwarg("message_on_path"),
                             kwarg("write_permission_error"),
                             kwarg("object_setattr"),
                             kwarg("object_delattr"),
                             kwarg("prepare_construct_error"),
                             kwarg("default_on_sym_parent_change"),
                             kwarg("default_update_children_paths"),
                             kwarg("default_on_sym_path_change"),
                             kwarg("default_sym_missing_code"),
                             kwarg("default_sym_puresymbolic_prop"),
                             kwarg("default_sym_values"),
                             kwarg("is_pure_symbolic")}};

Ref install_object_bridge(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(INSTALL_SIG.bind(a, b))) {
        return error;
    }
    offer_handles(BRIDGE, b.slots());
    return none();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef INSTALL_DEF = method<install_object_bridge>(
    "_install_object_bridge",
    "_install_object_bridge($module, /, *, dict_cls, symbolic_mode_error, keypath_cls, empty_key_path, "
    "origin_cls, auto_plural, comma_delimited_str, seed_non_symbolic_fields, clone_non_symbolic_fields, "
    "symbolic_transform_fn, missing_value, copy_default, cooperative_init, needs_cooperative_init, "
    "message_on_path, write_permission_error, object_setattr, object_delattr, prepare_construct_error, "
    "default_on_sym_parent_change, default_update_children_paths, default_on_sym_path_change, "
    "default_sym_missing_code, default_sym_puresymbolic_prop, default_sym_values, is_pure_symbolic)\n--\n\n"
    "Inject the oracle handles the native object layer calls back (first install wins).");

const ObjectBridge &get()
{
    const ObjectBridge *p = peek();
    if (p == nullptr) {
        panic("object bridge not installed");
    }
    return *p;
}

const ObjectBridge *peek() noexcept
{
    const ObjectBridge *const *p = BRIDGE.get();
    return p ? *p : nullptr;
}

}  // namespace norv::symbolic::object::bridge
