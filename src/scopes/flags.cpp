#include "scopes/flags.hpp"

#include <bit>
#include <cstddef>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/registry.hpp"

namespace norv::flags {

NORV_HOT_TLS constinit thread_local std::uint8_t SCOPES[FLAG_COUNT] = {};

namespace {

// The value `_flag_scope_get` answers for each state but absent. Filled when
// the names are registered, before any function can run (the same objects on
// every registration).
PyObject *g_state_objects[4] = {};

inline PyObject *state_object(std::uint8_t state, PyObject *dflt) noexcept
{
    return state == ABSENT ? dflt : g_state_objects[state];
}

// The module's flag constants are the interpreter's cached small ints, which
// sit one after another in one static array: an id passed as one of them is
// told by its address alone. The address of 0, measured (and the layout
// checked) when the names are registered; until then, and where the layout
// differs, no address matches.
std::uintptr_t g_small_int_zero = 0;
constexpr std::size_t SMALL_INT_STRIDE = sizeof(PyLongObject);
static_assert(std::has_single_bit(SMALL_INT_STRIDE));

inline std::uint8_t *constant_scope(PyObject *obj) noexcept
{
    // One rotation tests the alignment and the range together.
    const std::uintptr_t id = std::rotr(reinterpret_cast<std::uintptr_t>(obj) - g_small_int_zero,
                                        std::countr_zero(SMALL_INT_STRIDE));
    return id < FLAG_COUNT ? SCOPES + id : nullptr;
}

Status measure_small_ints()
{
    std::uintptr_t zero = 0;
    for (std::size_t i = 0; i < FLAG_COUNT; ++i) {
        Ref id = new_int(static_cast<long>(i));
        if (!id) {
            return error;
        }
        const auto address = reinterpret_cast<std::uintptr_t>(id.get());
        if (i == 0) {
            zero = address;
        }
        else if (address != zero + i * SMALL_INT_STRIDE) {
            return Status::ok;  // another layout: every id takes the general path
        }
    }
    g_small_int_zero = zero;
    return Status::ok;
}

// Converts and range-checks a flag id. The range check comes last so that a
// bad `value` of `_flag_scope_set` is reported before a bad id.
// The flag's byte, or NULL with the error set.
std::uint8_t *scope_arg(PyObject *obj)
{
    Maybe<std::uint8_t> id = convert_arg("flag_id", [&] { return to_u8(obj); });
    if (!id) {
        return nullptr;
    }
    if (*id >= FLAG_COUNT) {
        (void)raise_format(PyExc_ValueError, "Invalid native flag id: %d.", static_cast<int>(*id));
        return nullptr;
    }
    return SCOPES + *id;
}

const Signature GET_SIG{"_flag_scope_get", {arg("flag_id"), arg("default")}};
const Signature SET_SIG{"_flag_scope_set", {arg("flag_id"), arg("value")}};
const Signature HAS_SIG{"_flag_scope_has", {arg("flag_id")}};
const Signature DEL_SIG{"_flag_scope_del", {arg("flag_id")}};

// The fast paths take plain positional calls whose id is an exact int or a
// bool already in range, and which cannot fail; anything else goes through
// the general binder and conversions, which word every error.

// Positional arguments only (no keywords).
inline bool positional(FastArgs a, Py_ssize_t n) noexcept
{
    return a.nargs == n && (a.kwnames == nullptr || PyTuple_GET_SIZE(a.kwnames) == 0);
}

// The flag's byte for a valid id read without conversion, else NULL.
inline std::uint8_t *fast_scope(PyObject *obj) noexcept
{
    std::size_t id;
    if (PyLong_CheckExact(obj)) {
        auto *v = reinterpret_cast<PyLongObject *>(obj);
        if (!PyUnstable_Long_IsCompact(v)) {
            return nullptr;
        }
        const Py_ssize_t value = PyUnstable_Long_CompactValue(v);
        if (value < 0 || value >= FLAG_COUNT) {
            return nullptr;
        }
        id = static_cast<std::size_t>(value);
    }
    else if (obj == Py_False || obj == Py_True) {
        id = obj == Py_True;
    }
    else {
        return nullptr;
    }
    return SCOPES + id;
}

// `dflt` is an argument, never NULL.
inline Ref scope_value(std::uint8_t state, PyObject *dflt)
{
    return Ref::borrow(state_object(state, dflt));
}

// The general paths are out of line and take the arguments in registers, so
// the fast paths keep a small frame and spill nothing.
[[gnu::noinline]] Ref get_general(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    const FastArgs a{args, nargs, kwnames};
    Bound b;
    if (failed(GET_SIG.bind(a, b))) {
        return error;
    }
    std::uint8_t *scope = scope_arg(b[0]);
    if (scope == nullptr) {
        return error;
    }
    return scope_value(*scope, b[1]);
}

// The host's own call: a flag constant and a default, by position.
PyObject *flag_scope_get_quick(PyObject *, FastArgs a) noexcept
{
    if (a.nargs != 2 || a.kwnames != nullptr) {
        return nullptr;
    }
    const std::uint8_t *scope = constant_scope(a.args[0]);
    if (scope == nullptr) {
        return nullptr;
    }
    return Py_NewRef(state_object(*scope, a.args[1]));
}

Ref flag_scope_get(PyObject *, FastArgs a)
{
    if (positional(a, 2)) [[likely]] {
        if (std::uint8_t *scope = fast_scope(a.args[0])) [[likely]] {
            return scope_value(*scope, a.args[1]);
        }
    }
    return get_general(a.args, a.nargs, a.kwnames);
}

[[gnu::noinline]] Ref set_general(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    const FastArgs a{args, nargs, kwnames};
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
    SCOPES[*id] = state;
    return none();
}

Ref flag_scope_set(PyObject *, FastArgs a)
{
    if (positional(a, 2)) [[likely]] {
        PyObject *value = a.args[1];
        if (value == Py_True || value == Py_False || value == Py_None) [[likely]] {
            if (std::uint8_t *scope = fast_scope(a.args[0])) [[likely]] {
                *scope = value == Py_None ? PRESENT_NONE : value == Py_True ? FORCED_TRUE : FORCED_FALSE;
                return none();
            }
        }
    }
    return set_general(a.args, a.nargs, a.kwnames);
}

// The flag's byte for a one-argument call, or NULL with the error set.
[[gnu::noinline]] std::uint8_t *single_general(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                                               PyObject *kwnames)
{
    const FastArgs a{args, nargs, kwnames};
    Bound b;
    if (failed(sig.bind(a, b))) {
        return nullptr;
    }
    return scope_arg(b[0]);
}

inline std::uint8_t *single_scope(const Signature &sig, FastArgs a)
{
    if (positional(a, 1)) [[likely]] {
        if (std::uint8_t *scope = fast_scope(a.args[0])) [[likely]] {
            return scope;
        }
    }
    return single_general(sig, a.args, a.nargs, a.kwnames);
}

Ref flag_scope_has(PyObject *, FastArgs a)
{
    std::uint8_t *scope = single_scope(HAS_SIG, a);
    if (scope == nullptr) {
        return error;
    }
    return new_bool(*scope != ABSENT);
}

Ref flag_scope_del(PyObject *, FastArgs a)
{
    std::uint8_t *scope = single_scope(DEL_SIG, a);
    if (scope == nullptr) {
        return error;
    }
    *scope = ABSENT;
    return none();
}

PyMethodDef METHODS[] = {
    method_quick<flag_scope_get_quick, flag_scope_get>(
        "_flag_scope_get",
        "_flag_scope_get(flag_id, default)\n--\n\n"
        "`thread_local_get(key, default)` for a flag scope: absent \xe2\x86\x92 `default`; the\n"
        "tri-state `None` \xe2\x86\x92 `None`; a forced value \xe2\x86\x92 the `bool`."),
    method<flag_scope_set>(
        "_flag_scope_set",
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
    g_state_objects[PRESENT_NONE] = Py_None;
    g_state_objects[FORCED_FALSE] = Py_False;
    g_state_objects[FORCED_TRUE] = Py_True;
    if (failed(measure_small_ints())) {
        return error;
    }
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
