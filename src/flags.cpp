#include "flags.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/registry.hpp"

namespace norv::flags {

thread_local std::uint8_t SCOPES[6] = {};

namespace {

// Converts and range-checks a flag id. The range check comes last so that a
// bad `value` of `_flag_scope_set` is reported before a bad id.
// The flag's byte, or NULL with the error set.
std::uint8_t *scope_arg(PyObject *obj)
{
    Maybe<std::uint8_t> id = convert_arg("flag_id", [&] { return to_u8(obj); });
    if (!id) {
        return nullptr;
    }
    std::uint8_t *block = scopes();
    if (*id >= FLAG_COUNT) {
        (void)raise_format(PyExc_ValueError, "Invalid native flag id: %d.", static_cast<int>(*id));
        return nullptr;
    }
    return block + *id;
}

const Signature GET_SIG{"_flag_scope_get", {arg("flag_id"), arg("default")}};
const Signature SET_SIG{"_flag_scope_set", {arg("flag_id"), arg("value")}};
const Signature HAS_SIG{"_flag_scope_has", {arg("flag_id")}};
const Signature DEL_SIG{"_flag_scope_del", {arg("flag_id")}};

Ref flag_scope_get(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(GET_SIG.bind(a, b))) {
        return error;
    }
    std::uint8_t *scope = scope_arg(b[0]);
    if (scope == nullptr) {
        return error;
    }
    switch (*scope) {
    case FORCED_FALSE:
        return new_bool(false);
    case FORCED_TRUE:
        return new_bool(true);
    case PRESENT_NONE:
        return none();
    default:
        return Ref::borrow(b[1]);
    }
}

Ref flag_scope_set(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(SET_SIG.bind(a, b))) {
        return error;
    }
    Maybe<std::uint8_t> id = convert_arg("flag_id", [&] { return to_u8(b[0]); });
    if (!id) {
        return error;
    }
    // Deliberately not wrapped as an argument error, and checked before the id's range.
    std::uint8_t state = PRESENT_NONE;
    if (b[1] != Py_None) {
        Maybe<bool> value = to_bool(b[1]);
        if (!value) {
            return error;
        }
        state = *value ? FORCED_TRUE : FORCED_FALSE;
    }
    if (*id >= FLAG_COUNT) {
        return raise_format(PyExc_ValueError, "Invalid native flag id: %d.", static_cast<int>(*id));
    }
    scopes()[*id] = state;
    return none();
}

Ref flag_scope_has(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(HAS_SIG.bind(a, b))) {
        return error;
    }
    std::uint8_t *scope = scope_arg(b[0]);
    if (scope == nullptr) {
        return error;
    }
    return new_bool(*scope != ABSENT);
}

Ref flag_scope_del(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(DEL_SIG.bind(a, b))) {
        return error;
    }
    std::uint8_t *scope = scope_arg(b[0]);
    if (scope == nullptr) {
        return error;
    }
    *scope = ABSENT;
    return none();
}

PyMethodDef METHODS[] = {
    method<flag_scope_get>(
        "_flag_scope_get",
        "_flag_scope_get(flag_id, default)\n--\n\n"
        "`thread_local_get(key, default)` for a flag scope: absent \xe2\x86\x92 `default`; the\n"
        "tri-state `None` \xe2\x86\x92 `None`; a forced value \xe2\x86\x92 the `bool`."),
    method<flag_scope_set>("_flag_scope_set",
                           "_flag_scope_set(flag_id, value)\n--\n\n"
                           "`thread_local_set(key, value)` for a flag scope. `value` is `None`/`True`/`False`."),
    method<flag_scope_has>("_flag_scope_has",
                           "_flag_scope_has(flag_id)\n--\n\n"
                           "`thread_local_has(key)` for a flag scope (drives the context manager's\n"
                           "restore-vs-delete on exit)."),
    method<flag_scope_del>("_flag_scope_del",
                           "_flag_scope_del(flag_id)\n--\n\n"
                           "`thread_local_del(key)` for a flag scope (the context manager's exit when the\n"
                           "key was absent on entry)."),
};

}  // namespace

Status register_names(PyObject *module)
{
    for (PyMethodDef &def : METHODS) {
        if (failed(add_function(module, &def))) {
            return error;
        }
    }
    static const struct {
        const char *name;
        Flag id;
    } constants[] = {
        {"_FLAG_SEALED", SEALED},
        {"_FLAG_ACCESSOR_WRITABLE", ACCESSOR_WRITABLE},
        {"_FLAG_ALLOW_PARTIAL", ALLOW_PARTIAL},
        {"_FLAG_ORIGIN_TRACKING", ORIGIN_TRACKING},
        {"_FLAG_CHANGE_NOTIFICATION", CHANGE_NOTIFICATION},
    };
    for (const auto &c : constants) {
        Ref id = new_int(c.id);
        if (!id || failed(add_name(module, c.name, id.get()))) {
            return error;
        }
    }
    return Status::ok;
}

}  // namespace norv::flags
