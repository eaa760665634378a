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
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// Whether `prefix` leads `keys`, comparing each pair by key equality.
Maybe<bool> starts_with(Keys keys, Keys prefix)
{
    if (prefix.size() > keys.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const Maybe<bool> eq = Key::py_eq(keys[i], prefix[i]);
        if (!eq || !*eq) {
            return eq;
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
        return scan(right, mine);
    }
    if (is_keypath(right)) {
        return make(mine, keys_of(right));
    }
    // Any other value is one key: a list is not spread into several.
    Maybe<Key> key = Key::from_py(right);
    if (!key) {
        return error;
    }
    return make_child(mine, std::move(*key));
}

Error subtraction_failed(const char *fmt, PyObject *left, Keys right)
{
    Maybe<std::string_view> left_path = cached_path(left);
    if (!left_path) {
        return error;
    }
    Ref left_text = text_object(*left_path);
    if (!left_text) {
        return error;
    }
    Maybe<std::string> right_path = render_keys(right, true);
    if (!right_path) {
        return error;
    }
    Ref right_text = text_object(*right_path);
    if (!right_text) {
        return error;
    }
    return raise_format(PyExc_ValueError, fmt, left_text.get(), right_text.get());
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
        scanned = scan(right);
        if (!scanned) {
            return error;
        }
        theirs = keys_of(scanned.get());
    }
    else if (PyLong_Check(right)) {
        Maybe<Key> key = Key::from_py(right);
        if (!key) {
            return error;
        }
        single = std::move(*key);
        theirs = Keys(&single, 1);
    }
    else if (is_keypath(right)) {
        theirs = keys_of(right);
    }
    else {
        Maybe<std::string_view> left_path = cached_path(left);
        if (!left_path) {
            return error;
        }
        Ref left_text = text_object(*left_path);
        if (!left_text) {
            return error;
        }
        Ref shown = repr_of(right);
        if (!shown) {
            return error;
        }
        return raise_format(PyExc_TypeError, "Cannot subtract KeyPath(%U) by %U.", left_text.get(),
                            shown.get());
    }
    Keys mine = keys_of(left);
    const std::size_t n = std::max(mine.size(), theirs.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (i == mine.size()) {
            return subtraction_failed(
                "KeyPath subtraction failed: left path %U is an ancestor of right path %U.", left, theirs);
        }
        if (i == theirs.size()) {
            return make(mine.subspan(i));
        }
        const Maybe<bool> eq = Key::py_eq(mine[i], theirs[i]);
        if (!eq) {
            return error;
        }
        if (!*eq) {
            return subtraction_failed(
                "KeyPath subtraction failed: left path %U and right path %U are in different subtree.", left,
                theirs);
        }
    }
    return make({});
}

const Signature IS_RELATIVE_TO_SIG{"KeyPath.is_relative_to", {arg("other")}, {.method = true}};

Ref kp_is_relative_to(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(IS_RELATIVE_TO_SIG.bind(a, b))) {
        return error;
    }
    Ref other = from_value_inner(b[0]);
    if (!other) {
        return error;
    }
    const Maybe<bool> leads = starts_with(keys_of(self), keys_of(other.get()));
    if (!leads) {
        return error;
    }
    return new_bool(*leads);
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
