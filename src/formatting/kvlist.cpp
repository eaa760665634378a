// `kvlist_str`: a label followed by key=value entries in brackets, the text
// form of specs, key-path sets, fields and schemas. Values render through the
// cached `format` function object.
#include <optional>
#include <string_view>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/once.hpp"
#include "formatting/detail.hpp"
#include "formatting/format.hpp"

namespace norv::formatting {

namespace {

using detail::Name;

enum Slot : std::size_t { KVLIST, COMPACT, VERBOSE, ROOT_INDENT, LABEL, BRACKET, CUSTOM, MEMO };

const Signature KVLIST_SIG{"kvlist_str",
                           {arg("kvlist"), opt("compact"), opt("verbose"), opt("root_indent"), kwopt("label"),
                            kwopt("bracket_type"), kwopt("custom_format"), kwopt("memo")},
                           {.var_kwargs = true}};

constexpr Name VALUE_HEAD[] = {Name::compact, Name::verbose, Name::root_indent, Name::custom_format,
                               Name::memo};
ObjectCell VALUE_NAMES;

constexpr std::string_view OPEN[] = {"(", "[", "{"};
constexpr std::string_view CLOSE[] = {")", "]", "}"};

// item[i] for i = 0, 1, 2; a plain triple is read in place.
Ref item_at(PyObject *item, Py_ssize_t i)
{
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) >= 3) {
        return Ref::borrow(PyTuple_GET_ITEM(item, i));
    }
    if (PyList_CheckExact(item) && PyList_GET_SIZE(item) >= 3) {
        return Ref::borrow(PyList_GET_ITEM(item, i));
    }
    Ref index = legacy::new_int(i);
    return legacy::checked(PyObject_GetItem(item, index.get()));
}

bool truthy_eq(PyObject *left, PyObject *right)
{
    // Not PyObject_RichCompareBool: its identity shortcut would drop a NaN
    // that equals itself by identity only.
    Ref eq = legacy::checked(PyObject_RichCompare(left, right, Py_EQ));
    return legacy::require(PyObject_IsTrue(eq.get()));
}

// A tuple default means "any of these"; anything else is compared whole.
bool equals_default(PyObject *value, PyObject *dflt)
{
    if (PyTuple_Check(dflt)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(dflt); ++i) {
            if (truthy_eq(PyTuple_GET_ITEM(dflt, i), value)) {
                return true;
            }
        }
        return false;
    }
    return truthy_eq(value, dflt);
}

std::size_t bracket_index(PyObject *bracket_type)
{
    long long index = 0;
    if (bracket_type != nullptr) {
        if (auto v = detail::as_i64(bracket_type)) {
            index = *v;
        }
        else {
            Ref as_int = legacy::checked(PyNumber_Long(bracket_type));
            index = PyLong_AsLongLong(as_int.get());
            if (index == -1 && PyErr_Occurred()) {
                legacy::throw_set();
            }
        }
    }
    if (index < 0) {
        index += 3;
    }
    if (index < 0 || index > 2) {
        legacy::raise(PyExc_IndexError, "list index out of range");
    }
    return static_cast<std::size_t>(index);
}

Ref kvlist_impl(PyObject *, FastArgs a)
{
    Bound b = KVLIST_SIG.bind(a);
    PyObject *format = format_fn();
    PyObject *compact = b[COMPACT] ? b[COMPACT] : Py_True;
    PyObject *verbose = b[VERBOSE] ? b[VERBOSE] : Py_False;
    PyObject *ri = b[ROOT_INDENT] ? b[ROOT_INDENT] : detail::int_zero();
    PyObject *label = b[LABEL] != Py_None ? b[LABEL] : nullptr;
    PyObject *hook = b.or_none(CUSTOM);

    Ref child_ri = label && legacy::require(PyObject_IsTrue(label)) ? detail::ri_plus_one(ri) : Ref::borrow(ri);
    const bool one_line = b[COMPACT] == nullptr || legacy::require(PyObject_IsTrue(b[COMPACT]));
    std::optional<Indent> entry_indent;  // computed at the first kept entry

    PyObject *extras = b.varkw && PyDict_GET_SIZE(b.varkw.get()) > 0 ? b.varkw.get() : nullptr;
    detail::KwCall kw(VALUE_HEAD, extras, {},
                      VALUE_NAMES.get_or_init([] { return detail::make_names(VALUE_HEAD); }));
    kw.head(0, compact);
    kw.head(1, verbose);
    kw.head(2, child_ri.get());
    kw.head(3, hook ? hook : Py_None);
    kw.head(4, b.or_none(MEMO) ? b[MEMO] : Py_None);

    TextBuilder body;
    std::size_t kept = 0;
    Ref it = legacy::checked(PyObject_GetIter(b[KVLIST]));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref key = item_at(item.get(), 0);
        Ref value = item_at(item.get(), 1);
        Ref dflt = item_at(item.get(), 2);
        if (equals_default(value.get(), dflt.get())) {
            continue;
        }
        if (kept++) {
            body.ascii(one_line ? ", " : ",\n");
        }
        if (!one_line) {
            if (!entry_indent) {
                entry_indent = detail::indent_from(child_ri.get());
            }
            body.indent(*entry_indent);
        }
        Ref rendered = kw.call(format, value.get());
        if (legacy::require(PyObject_IsTrue(key.get()))) {
            body.add(legacy::str_of(key.get()));
            body.ascii("=");
        }
        Ref shown;
        if (hook) {
            PyObject *args[3] = {nullptr, rendered.get(), child_ri.get()};
            Ref r = legacy::checked(
                PyObject_Vectorcall(hook, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (r.get() != Py_None) {
                shown = legacy::str_of(r.get());
            }
        }
        body.add(shown ? std::move(shown) : legacy::str_of(rendered.get()));
    }
    if (PyErr_Occurred()) {
        legacy::throw_set();
    }

    if (label == nullptr) {
        return body.finish();
    }
    const std::size_t bracket = bracket_index(b[BRACKET]);
    TextBuilder out;
    out.add(legacy::str_of(label));
    out.ascii(OPEN[bracket]);
    if (kept > 0) {
        if (!one_line) {
            out.ascii("\n");
        }
        out.extend(std::move(body));
        if (!one_line) {
            out.ascii("\n");
            out.indent(detail::indent_from(ri));
        }
    }
    out.ascii(CLOSE[bracket]);
    return out.finish();
}

PyMethodDef KVLIST_DEF = method<kvlist_impl>(
    "kvlist_str",
    "kvlist_str(kvlist, compact=..., verbose=..., root_indent=..., *, label=None, bracket_type=..., "
    "custom_format=None, memo=None, **kwargs)\n--\n\n"
    "Render (key, value, default) triples as key=value entries, optionally labelled and bracketed.");

}  // namespace

PyMethodDef *kvlist_function() { return &KVLIST_DEF; }

}  // namespace norv::formatting
