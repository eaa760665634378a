// The fast object renderer: the text form of an object whose class renders
// as its plain field listing, and of the objects nested in its fields, in one
// pass into one UTF-8 buffer. What it does not own (an argument of an
// unexpected type, a value the host's callback refuses, nesting past its
// bound, text too long to hold) declines, and the host formats in Python.

#include <cstdint>
#include <limits>
#include <string>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "objects/sym_object.hpp"
#include "emission/to_json.hpp"

namespace norv::symbolic::object {

namespace {

// The deepest nested level rendered: the top is 0, so 101 levels at most.
constexpr std::size_t MAX_DEPTH = 100;

struct Render {
    std::string text;
    bool compact;
    PyObject *child_fields;
    StackBounds bounds = StackBounds::current();
};

// The next level's indentation; the root's is any 64-bit integer.
std::int64_t deeper(std::int64_t indent) noexcept
{
    return indent == std::numeric_limits<std::int64_t>::max() ? indent : indent + 1;
}

// Appends 2 × `level` spaces (`level` at least 1). False when the text could
// not hold them: the host's own path answers for such an indentation.
bool append_indent(std::string &text, std::int64_t level)
{
    const auto spaces = static_cast<std::uint64_t>(level) * 2U;  // at most 2^64 - 2
    const std::size_t room =
        std::min<std::size_t>(text.max_size(), static_cast<std::size_t>(PY_SSIZE_T_MAX)) - text.size();
    if (spaces > room) {
        return false;
    }
    text.append(static_cast<std::size_t>(spaces), ' ');
    return true;
}

// The UTF-8 text of a str appended; an unencodable text raises.
Status append_str(std::string &text, PyObject *str)
{
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) {
        return error;
    }
    text.append(utf8, static_cast<std::size_t>(size));
    return Status::ok;
}

// `child_fields(value)`: a dict, or an empty Ref when the host declines.
Maybe<Ref> child_fields_of(const Render &r, PyObject *value)
{
    Ref fields = Ref::steal(PyObject_CallOneArg(r.child_fields, value));
    if (!fields) {
        return error;
    }
    if (fields.get() == Py_None) {
        return Ref();
    }
    if (!PyDict_Check(fields.get())) {
        return raise_not_instance(fields.get(), "dict");
    }
    return fields;
}

Maybe<bool> render_level(Render &r, PyObject *name, PyObject *fields, std::int64_t indent, std::size_t depth);

// A value that is no leaf, rendered as a nested level under its class's name.
Maybe<bool> render_nested(Render &r, PyObject *value, std::int64_t indent, std::size_t depth)
{
    if (depth >= MAX_DEPTH) {
        return false;
    }
    Maybe<Ref> fields = child_fields_of(r, value);
    if (!fields || !*fields) {
        return fields ? Maybe<bool>(false) : Maybe<bool>(error);
    }
    Ref name = attr<"__name__">(reinterpret_cast<PyObject *>(Py_TYPE(value)));
    if (!name) {
        return error;
    }
    if (!PyUnicode_Check(name.get())) {
        return raise_not_instance(name.get(), "str");
    }
    return render_level(r, name.get(), fields->get(), deeper(indent), depth + 1);
}

Maybe<bool> render_entry(Render &r, PyObject *key, PyObject *value, std::int64_t indent, std::size_t depth)
{
    if (!r.compact && indent >= 0 && !append_indent(r.text, deeper(indent))) {
        return false;
    }
    if (PyUnicode_Check(key)) {
        if (failed(append_str(r.text, key))) {
            return error;
        }
    }
    else {
        Ref text = Ref::steal(PyObject_Str(key));
        if (!text || failed(append_str(r.text, text.get()))) {
            return error;
        }
    }
    r.text.append(r.compact ? "=" : " = ");
    // None and the exact str, bool, int and float render as their repr.
    if (!ops::is_wire_primitive(value)) {
        return render_nested(r, value, indent, depth);
    }
    Ref repr = Ref::steal(PyObject_Repr(value));
    if (!repr || failed(append_str(r.text, repr.get()))) {
        return error;
    }
    return true;
}

// `name(k=v, ...)`, or one entry per line, indented by level.
Maybe<bool> render_level(Render &r, PyObject *name, PyObject *fields, std::int64_t indent, std::size_t depth)
{
    RecursionGuard guard(" while rendering an object", r.bounds);
    if (guard.failed() || failed(append_str(r.text, name))) {
        return error;
    }
    r.text.push_back('(');
    if (PyDict_GET_SIZE(fields) == 0) {
        r.text.push_back(')');
        return true;
    }
    if (!r.compact) {
        r.text.push_back('\n');
    }
    bool first = true;
    const Maybe<bool> done = dict_while(fields, [&](PyObject *key, PyObject *value) {
        if (!first) {
            r.text.append(r.compact ? ", " : ",\n");
        }
        first = false;
        return render_entry(r, key, value, indent, depth);
    });
    if (!done || !*done) {
        return done;
    }
    if (!r.compact) {
        r.text.push_back('\n');
        if (indent >= 1 && !append_indent(r.text, indent)) {
            return false;
        }
    }
    r.text.push_back(')');
    return true;
}

const Signature RENDER_SIG{
    "_render_object_fast",
    {arg("obj"), arg("name"), arg("compact"), arg("root_indent"), arg("child_fields")}};

Ref render_object_fast(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(RENDER_SIG.bind(a, b))) {
        return error;
    }
    PyObject *obj = b[0];
    PyObject *name = b[1];
    if (!PyUnicode_Check(name)) {
        return raise_arg_not_instance("name", name, "str");
    }
    if (!PyBool_Check(b[2])) {
        return none();
    }
    const long long root_indent = PyLong_AsLongLong(b[3]);
    if (root_indent == -1 && PyErr_Occurred()) {
        return failed(discard_ordinary_error()) ? Ref() : none();
    }
    Render r{.text = {}, .compact = b[2] == Py_True, .child_fields = b[4]};
    r.text.reserve(64);
    Ref fields;
    if (SymObject::check(obj)) {
        fields = SymObject::inline_storage(obj);
    }
    else {
        Maybe<Ref> given = child_fields_of(r, obj);
        if (!given) {
            return error;
        }
        fields = std::move(*given);
    }
    if (!fields) {
        return none();
    }
    const Maybe<bool> done = render_level(r, name, fields.get(), root_indent, 0);
    if (!done) {
        return error;
    }
    if (!*done) {
        return none();
    }
    return Ref::steal(PyUnicode_DecodeUTF8(r.text.data(), static_cast<Py_ssize_t>(r.text.size()), nullptr));
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef RENDER_OBJECT_FAST_DEF = method<render_object_fast>(
    "_render_object_fast",
    "_render_object_fast($module, /, obj, name, compact, root_indent, child_fields)\n--\n\n"
    "The text form of an object and the objects nested in its fields; None when the host renders it.");

}  // namespace norv::symbolic::object
