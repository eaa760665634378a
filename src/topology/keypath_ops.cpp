// KeyPath arithmetic and the prefix relation: `path + x` extends a path (or
// nests a whole KeyPathSet under it), `path - ancestor` is the path relative
// to that ancestor, and `is_relative_to` tests the prefix relation. Results
// are new base-class paths, except where an operand comes back itself.
#include <algorithm>
#include <string>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "topology/keypath.hpp"
#include "topology/keypath_set.hpp"

namespace norv::keypath {

namespace {

Ref text_object(std::string_view text)
{
    return legacy::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// Whether `prefix` leads `keys`, comparing each pair by key equality.
bool starts_with(Keys keys, Keys prefix)
{
    if (prefix.size() > keys.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (!legacy::require(Key::py_eq(keys[i], prefix[i]))) {
            return false;
        }
    }
    return true;
}

Ref add(PyObject *left, PyObject *right)
{
    Keys mine = keys_of(left);
    if (right == Py_None) {
        return Ref::borrow(left);
    }
    if (keypath_set::is_set(right)) {
        return keypath_set::prefixed_copy(right, mine);
    }
    if (PyUnicode_Check(right)) {
        return legacy::require(scan(right, mine));
    }
    if (is_keypath(right)) {
        return legacy::require(make(mine, keys_of(right)));
    }
    // Any other value is one key: a list is not spread into several.
    return legacy::require(make_child(mine, legacy::require(Key::from_py(right))));
}

[[noreturn]] void subtraction_failed(const char *fmt, PyObject *left, Keys right)
{
    Ref left_text = text_object(legacy::require(cached_path(left)));
    Ref right_text = text_object(legacy::require(render_keys(right, true)));
    legacy::raise_format(PyExc_ValueError, fmt, left_text.get(), right_text.get());
}

Ref subtract(PyObject *left, PyObject *right)
{
    if (right == Py_None) {
        return Ref::borrow(left);
    }
    Ref scanned;
    Key single;
    Keys theirs;
    if (PyUnicode_Check(right)) {
        scanned = legacy::require(scan(right));
        theirs = keys_of(scanned.get());
    }
    else if (PyLong_Check(right)) {
        single = legacy::require(Key::from_py(right));
        theirs = Keys(&single, 1);
    }
    else if (is_keypath(right)) {
        theirs = keys_of(right);
    }
    else {
        Ref left_text = text_object(legacy::require(cached_path(left)));
        Ref shown = legacy::repr_of(right);
        legacy::raise_format(PyExc_TypeError, "Cannot subtract KeyPath(%U) by %U.", left_text.get(), shown.get());
    }
    Keys mine = keys_of(left);
    const std::size_t n = std::max(mine.size(), theirs.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (i == mine.size()) {
            subtraction_failed("KeyPath subtraction failed: left path %U is an ancestor of right path %U.",
                               left, theirs);
        }
        if (i == theirs.size()) {
            return legacy::require(make(mine.subspan(i)));
        }
        if (!legacy::require(Key::py_eq(mine[i], theirs[i]))) {
            subtraction_failed(
                "KeyPath subtraction failed: left path %U and right path %U are in different subtree.", left,
                theirs);
        }
    }
    return legacy::require(make({}));
}

const Signature IS_RELATIVE_TO_SIG{"KeyPath.is_relative_to", {arg("other")}, {.method = true}};

Ref kp_is_relative_to(PyObject *self, FastArgs a)
{
    Bound b = IS_RELATIVE_TO_SIG.bind(a);
    Ref other = legacy::require(from_value_inner(b[0]));
    return new_bool(starts_with(keys_of(self), keys_of(other.get())));
}

}  // namespace

// Neither slot has a reflected form: a left operand that is not a KeyPath
// leaves the decision to Python.
PyObject *nb_add(PyObject *left, PyObject *right)
{
    if (!is_keypath(left)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guard([&] { return add(left, right); });
}

PyObject *nb_subtract(PyObject *left, PyObject *right)
{
    if (!is_keypath(left)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guard([&] { return subtract(left, right); });
}

PyMethodDef is_relative_to_method()
{
    return method<kp_is_relative_to>("is_relative_to",
                                     "is_relative_to($self, other)\n--\n\n"
                                     "Whether this path is relative to (descends from) `other`.");
}

}  // namespace norv::keypath
