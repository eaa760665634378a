// `kvlist_str`: a label followed by key=value entries in brackets, the text
// form of specs, key-path sets, fields and schemas. Values render through the
// cached `format` function object.
#include <optional>
#include <string_view>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/once.hpp"
#include "core/truth.hpp"
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
    Ref index = new_int(i);
    if (!index) {
        return error;
    }
    return Ref::steal(PyObject_GetItem(item, index.get()));
}

// A tuple default means "any of these"; anything else is compared whole. A
// NaN equal to itself by identity only is no match.
Maybe<bool> equals_default(PyObject *value, PyObject *dflt)
{
    if (PyTuple_Check(dflt)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(dflt); ++i) {
            const Maybe<bool> eq = eq_truth(PyTuple_GET_ITEM(dflt, i), value);
            if (!eq || *eq) {
                return eq;  // a match, or an error
            }
        }
        return false;
    }
    return eq_truth(value, dflt);
}

Maybe<std::size_t> bracket_index(PyObject *bracket_type)
{
    long long index = 0;
    if (bracket_type != nullptr) {
        const Maybe<std::optional<long long>> given = detail::as_i64(bracket_type);
        if (!given) {
            return error;
        }
        if (const std::optional<long long> &v = *given) {
            index = *v;
        }
        else {
            Ref as_int = Ref::steal(PyNumber_Long(bracket_type));
            if (!as_int) {
                return error;
            }
            index = PyLong_AsLongLong(as_int.get());
            if (index == -1 && PyErr_Occurred()) {
                return error;
            }
        }
    }
    if (index < 0) {
        index += 3;
    }
    if (index < 0 || index > 2) {
        return raise(PyExc_IndexError, "list index out of range");
    }
    return static_cast<std::size_t>(index);
}

Ref kvlist_impl(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(KVLIST_SIG.bind(a, b))) {
        return error;
    }
    PyObject *format = format_fn();
    PyObject *compact = b[COMPACT] ? b[COMPACT] : Py_True;
    PyObject *verbose = b[VERBOSE] ? b[VERBOSE] : Py_False;
    PyObject *ri = b[ROOT_INDENT] ? b[ROOT_INDENT] : detail::int_zero();
    PyObject *label = null_if_none(b[LABEL]);
    PyObject *hook = b.null_if_none(CUSTOM);

    const Maybe<bool> labelled = truth_or(label, false);
    if (!labelled) {
        return error;
    }
    Ref child_ri = *labelled ? detail::ri_plus_one(ri) : Ref::borrow(ri);
    if (!child_ri) {
        return error;
    }
    const Maybe<bool> is_compact = truth(compact);
    if (!is_compact) {
        return error;
    }
    const bool one_line = *is_compact;
    std::optional<Indent> entry_indent;  // computed at the first kept entry

    PyObject *extras = b.varkw && PyDict_GET_SIZE(b.varkw.get()) > 0 ? b.varkw.get() : nullptr;
    detail::KwCall kw(VALUE_HEAD, extras, {},
                      VALUE_NAMES.get_or_init([] { return detail::make_names(VALUE_HEAD); }));
    if (kw.failed()) {
        return error;
    }
    kw.head(0, compact);
    kw.head(1, verbose);
    kw.head(2, child_ri.get());
    kw.head(3, none_if_null(hook));
    kw.head(4, b.null_if_none(MEMO) ? b[MEMO] : Py_None);

    TextBuilder body;
    std::size_t kept = 0;
    Ref it = Ref::steal(PyObject_GetIter(b[KVLIST]));
    if (!it) {
        return error;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref key = item_at(item.get(), 0);
        if (!key) {
            return error;
        }
        Ref value = item_at(item.get(), 1);
        if (!value) {
            return error;
        }
        Ref dflt = item_at(item.get(), 2);
        if (!dflt) {
            return error;
        }
        const Maybe<bool> is_default = equals_default(value.get(), dflt.get());
        if (!is_default) {
            return error;
        }
        if (*is_default) {
            continue;
        }
        if (kept++ && failed(body.ascii(one_line ? ", " : ",\n"))) {
            return error;
        }
        if (!one_line) {
            if (!entry_indent) {
                Maybe<Indent> made = detail::indent_from(child_ri.get());
                if (!made) {
                    return error;
                }
                entry_indent = std::move(*made);
            }
            if (failed(body.indent(*entry_indent))) {
                return error;
            }
        }
        Ref rendered = kw.call(format, value.get());
        if (!rendered) {
            return error;
        }
        const Maybe<bool> named = truth(key.get());
        if (!named) {
            return error;
        }
        if (*named && (failed(body.add(str_of(key.get()))) || failed(body.ascii("=")))) {
            return error;
        }
        Ref shown;
        if (hook) {
            PyObject *args[3] = {nullptr, rendered.get(), child_ri.get()};
            Ref r =
                Ref::steal(PyObject_Vectorcall(hook, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (!r) {
                return error;
            }
            if (r.get() != Py_None) {
                shown = str_of(r.get());
                if (!shown) {
                    return error;
                }
            }
        }
        if (failed(body.add(shown ? std::move(shown) : str_of(rendered.get())))) {
            return error;
        }
    }
    if (PyErr_Occurred()) {
        return error;
    }

    if (label == nullptr) {
        return body.finish();
    }
    Maybe<std::size_t> bracket = bracket_index(b[BRACKET]);
    if (!bracket) {
        return error;
    }
    TextBuilder out;
    if (failed(out.add(str_of(label))) || failed(out.ascii(OPEN[*bracket]))) {
        return error;
    }
    if (kept > 0) {
        if (!one_line && failed(out.ascii("\n"))) {
            return error;
        }
        if (failed(out.extend(std::move(body)))) {
            return error;
        }
        if (!one_line) {
            if (failed(out.ascii("\n"))) {
                return error;
            }
            Maybe<Indent> outer = detail::indent_from(ri);
            if (!outer || failed(out.indent(*outer))) {
                return error;
            }
        }
    }
    if (failed(out.ascii(CLOSE[*bracket]))) {
        return error;
    }
    return out.finish();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef KVLIST_DEF = method<kvlist_impl>(
    "kvlist_str",
    "kvlist_str(kvlist, compact=..., verbose=..., root_indent=..., *, label=None, bracket_type=..., "
    "custom_format=None, memo=None, **kwargs)\n--\n\n"
    "Render (key, value, default) triples as key=value entries, optionally labelled and bracketed.");

}  // namespace norv::formatting
