#include "core/args.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/truth.hpp"
#include "core/utf8.hpp"

namespace norv {

Signature::Signature(const char *fname, std::initializer_list<Param> params, SignatureOptions options)
    : fname_(fname), params_(params), options_(options)
{
    for (const Param &p : params_) {
        if (p.kind != ParamKind::KeywordOnly) {
            ++n_positional_;
            if (!p.required) {
                ++n_pos_optional_;
            }
        }
    }
    if (params_.size() > Bound::kMax) {  // a fault in our own tables
        panic("too many parameters in one signature");
    }
}

PyObject *Signature::interned(std::size_t i) const
{
    if (names_.empty()) {
        std::vector<PyObject *> names;
        names.reserve(params_.size());
        for (const Param &p : params_) {
            PyObject *s = PyUnicode_InternFromString(p.name);
            if (s == nullptr) {
                for (PyObject *o : names) {
                    Py_DECREF(o);
                }
                return nullptr;
            }
            names.push_back(s);
        }
        names_ = std::move(names);
    }
    return names_[i];
}

Maybe<Py_ssize_t> Signature::find_keyword(PyObject *key) const
{
    if (!params_.empty() && interned(0) == nullptr) {
        return error;
    }
    // Callers almost always pass interned literals: try identity first.
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (names_[i] == key) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    if (!PyUnicode_Check(key)) {
        return -1;
    }
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (PyUnicode_Compare(names_[i], key) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    if (PyErr_Occurred()) {
        return error;
    }
    return -1;
}

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of names.
std::string join_names(const std::vector<const char *> &names)
{
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

// The interpreter's "Did you mean" for a mistyped keyword: the closest
// parameter name by its weighted edit distance (case changes cost half a move).
constexpr std::size_t MOVE_COST = 2, CASE_COST = 1, MAX_STRING_SIZE = 40;

std::size_t substitution_cost(char a, char b)
{
    if ((a & 31) != (b & 31)) {
        return MOVE_COST;
    }
    if (a == b) {
        return 0;
    }
    auto lower = [](char c) { return ('A' <= c && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; };
    return lower(a) == lower(b) ? CASE_COST : MOVE_COST;
}

std::size_t edit_distance(const char *a, std::size_t a_size, const char *b, std::size_t b_size,
                          std::size_t max_cost)
{
    while (a_size && b_size && a[0] == b[0]) {
        ++a, ++b, --a_size, --b_size;
    }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) {
        --a_size, --b_size;
    }
    if (a_size == 0 || b_size == 0) {
        return (a_size + b_size) * MOVE_COST;
    }
    if (a_size > MAX_STRING_SIZE || b_size > MAX_STRING_SIZE) {
        return max_cost + 1;
    }
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * MOVE_COST > max_cost) {
        return max_cost + 1;
    }
    std::size_t row[MAX_STRING_SIZE];
    for (std::size_t i = 0; i < a_size; ++i) {
        row[i] = (i + 1) * MOVE_COST;
    }
    std::size_t result = 0;
    for (std::size_t bi = 0; bi < b_size; ++bi) {
        std::size_t distance = result = bi * MOVE_COST;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t i = 0; i < a_size; ++i) {
            std::size_t substitute = distance + substitution_cost(b[bi], a[i]);
            distance = row[i];
            std::size_t insert_delete = std::min(result, distance) + MOVE_COST;
            result = std::min(insert_delete, substitute);
            row[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) {
            return max_cost + 1;
        }
    }
    return result;
}

}  // namespace

const char *Signature::suggest_keyword(PyObject *key) const
{
    const std::optional<std::string_view> key_text = utf8_or_none(key);
    if (!key_text) {
        return nullptr;
    }
    const char *key_str = key_text->data();
    const auto key_size = static_cast<Py_ssize_t>(key_text->size());
    const char *best = nullptr;
    std::size_t best_distance = SIZE_MAX;
    for (const Param &p : params_) {
        if (p.kind == ParamKind::PositionalOnly) {
            continue;
        }
        const std::size_t size = std::strlen(p.name);
        if (size == static_cast<std::size_t>(key_size) && std::memcmp(p.name, key_str, size) == 0) {
            continue;
        }
        // No more than a third of the characters involved may change.
        std::size_t max_distance = (static_cast<std::size_t>(key_size) + size + 3) * MOVE_COST / 6;
        if (best_distance != SIZE_MAX) {
            max_distance = std::min(max_distance, best_distance - 1);
        }
        std::size_t d =
            edit_distance(key_str, static_cast<std::size_t>(key_size), p.name, size, max_distance);
        if (d <= max_distance && (best == nullptr || d < best_distance)) {
            best = p.name;
            best_distance = d;
        }
    }
    return best;
}

Error Signature::too_many_positional(Py_ssize_t given, const Bound &b) const
{
    const Py_ssize_t self = options_.method ? 1 : 0;
    const Py_ssize_t most = static_cast<Py_ssize_t>(n_positional_) + self;
    given += self;
    Py_ssize_t kwonly_given = 0;
    for (std::size_t i = n_positional_; i < params_.size(); ++i) {
        kwonly_given += b.slots_[i] != nullptr;
    }
    std::string sig;
    bool plural;
    if (n_pos_optional_ > 0) {
        plural = true;
        sig = "from " + std::to_string(most - static_cast<Py_ssize_t>(n_pos_optional_)) + " to " +
              std::to_string(most);
    }
    else {
        plural = most != 1;
        sig = std::to_string(most);
    }
    std::string kwonly_sig;
    if (kwonly_given) {
        kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                     std::to_string(kwonly_given) + " keyword-only argument" +
                     (kwonly_given != 1 ? "s" : "") + ")";
    }
    return raise_format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd%s %s given", fname_,
                        sig.c_str(), plural ? "s" : "", given, kwonly_sig.c_str(),
                        given == 1 && !kwonly_given ? "was" : "were");
}

Error Signature::unexpected_keyword(PyObject *key, PyObject *kwnames) const
{
    // The interpreter prefers to explain positional-only names given as keywords.
    std::string names;
    std::size_t count = 0;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        const Maybe<Py_ssize_t> idx = find_keyword(PyTuple_GET_ITEM(kwnames, k));
        if (!idx) {
            return error;
        }
        if (*idx >= 0 && params_[static_cast<std::size_t>(*idx)].kind == ParamKind::PositionalOnly) {
            names += count++ ? ", " : "";
            names += params_[static_cast<std::size_t>(*idx)].name;
        }
    }
    if (count > 0) {
        return raise_format(PyExc_TypeError,
                            "%s() got some positional-only arguments passed as keyword argument%s: '%s'",
                            fname_, count == 1 ? "" : "s", names.c_str());
    }
    if (const char *suggestion = suggest_keyword(key)) {
        return raise_format(PyExc_TypeError,
                            "%s() got an unexpected keyword argument '%S'. Did you mean '%s'?", fname_, key,
                            suggestion);
    }
    return raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fname_, key);
}

Status Signature::check_missing(const Bound &b) const
{
    std::vector<const char *> missing;
    for (std::size_t i = 0; i < n_positional_; ++i) {
        if (params_[i].required && b.slots_[i] == nullptr) {
            missing.push_back(params_[i].name);
        }
    }
    const char *kind = "positional";
    if (missing.empty()) {
        kind = "keyword-only";
        for (std::size_t i = n_positional_; i < params_.size(); ++i) {
            if (params_[i].required && b.slots_[i] == nullptr) {
                missing.push_back(params_[i].name);
            }
        }
    }
    if (!missing.empty()) {
        return raise_format(PyExc_TypeError, "%s() missing %zd required %s argument%s: %s", fname_,
                            static_cast<Py_ssize_t>(missing.size()), kind, missing.size() == 1 ? "" : "s",
                            join_names(missing).c_str());
    }
    return Status::ok;
}

Status Signature::bind(FastArgs a, Bound &b) const
{
    const Py_ssize_t npos = static_cast<Py_ssize_t>(n_positional_);
    const Py_ssize_t ncopy = a.nargs < npos ? a.nargs : npos;
    for (Py_ssize_t i = 0; i < ncopy; ++i) {
        b.slots_[static_cast<std::size_t>(i)] = a.args[i];
    }
    if (options_.var_args) {
        Py_ssize_t extra = a.nargs - ncopy;
        b.varargs = Ref::steal(PyTuple_New(extra));
        if (!b.varargs) {
            return error;
        }
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyTuple_SET_ITEM(b.varargs.get(), i, Py_NewRef(a.args[ncopy + i]));
        }
    }
    if (options_.var_kwargs) {
        b.varkw = Ref::steal(PyDict_New());
        if (!b.varkw) {
            return error;
        }
    }

    // Keywords come before the positional count check, as in the interpreter.
    const Py_ssize_t nkw = a.kwnames ? PyTuple_GET_SIZE(a.kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(a.kwnames, k);
        PyObject *value = a.args[a.nargs + k];
        const Maybe<Py_ssize_t> found = find_keyword(key);
        if (!found) {
            return error;
        }
        Py_ssize_t idx = *found;
        if (idx >= 0 && params_[static_cast<std::size_t>(idx)].kind == ParamKind::PositionalOnly) {
            idx = -1;  // a positional-only name is no keyword at all
        }
        if (idx < 0) {
            if (!options_.var_kwargs) {
                return unexpected_keyword(key, a.kwnames);
            }
            if (PyDict_SetItem(b.varkw.get(), key, value) < 0) {
                return error;
            }
            continue;
        }
        PyObject *&slot = b.slots_[static_cast<std::size_t>(idx)];
        if (slot != nullptr) {
            return raise_format(PyExc_TypeError, "%s() got multiple values for argument '%S'", fname_, key);
        }
        slot = value;
    }
    if (a.nargs > npos && !options_.var_args) {
        return too_many_positional(a.nargs, b);
    }
    return check_missing(b);
}

Status Signature::bind_tuple(PyObject *args, PyObject *kwargs, Bound &b) const
{
    // Lay the call out as a vectorcall so there is one binding algorithm.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) {
        return bind(FastArgs{&PyTuple_GET_ITEM(args, 0), nargs, nullptr}, b);
    }
    std::vector<PyObject *> stack(static_cast<std::size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        stack[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) {
        return error;
    }
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[static_cast<std::size_t>(nargs + k)] = value;
        ++k;
    }
    // The tuple and dict keep every argument alive for the caller's frame.
    return bind(FastArgs{stack.data(), nargs, kwnames.get()}, b);
}

void wrap_argument_error(const char *name, ArgCause cause)
{
    PyObject *exc = PyErr_GetRaisedException();
    if (exc == nullptr || Py_TYPE(exc) != reinterpret_cast<PyTypeObject *>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    PyObject *wrapped = nullptr;
    PyObject *msg = PyUnicode_FromFormat("argument '%s': %S", name, exc);
    if (msg != nullptr) {
        wrapped = PyObject_CallOneArg(PyExc_TypeError, msg);
        Py_DECREF(msg);
    }
    if (wrapped == nullptr) {
        Py_DECREF(exc);
        return;  // the error of building the message stays set
    }
    if (cause == ArgCause::Conversion) {
        PyException_SetCause(wrapped, exc);  // steals exc
    }
    else {
        if (PyObject *own = PyException_GetCause(exc)) {
            PyException_SetCause(wrapped, own);  // steals the new reference
        }
        Py_DECREF(exc);
    }
    PyErr_SetRaisedException(wrapped);
}

Error raise_not_instance(PyObject *value, const char *expected)
{
    if (value == Py_None) {
        return raise_format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    }
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!qualname) {
        return error;
    }
    return raise_format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
}

PyTypeObject *type_arg(const char *name, PyObject *value)
{
    if (PyType_Check(value)) {
        return reinterpret_cast<PyTypeObject *>(value);
    }
    (void)raise_not_instance(value, "type");
    wrap_argument_error(name);
    return nullptr;
}

bool is_numpy_bool(PyObject *value) noexcept
{
    // NumPy 1 names the type numpy.bool_, NumPy 2 numpy.bool.
    const char *name = Py_TYPE(value)->tp_name;
    return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

Error raise_arg_not_instance(const char *name, PyObject *value, const char *expected)
{
    (void)raise_not_instance(value, expected);
    wrap_argument_error(name);
    return error;
}

Maybe<bool> to_bool(PyObject *value)
{
    if (value == Py_True) {
        return true;
    }
    if (value == Py_False) {
        return false;
    }
    if (is_numpy_bool(value)) {
        return truth(value);
    }
    return raise_not_instance(value, "bool");
}

int refuse_property_delete()
{
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return -1;
}

Maybe<std::int64_t> to_i64(PyObject *value)
{
    long long v;
    if (PyLong_CheckExact(value)) {
        v = PyLong_AsLongLong(value);
    }
    else {
        Ref index = Ref::steal(PyNumber_Index(value));
        if (!index) {
            return error;
        }
        v = PyLong_AsLongLong(index.get());
    }
    if (v == -1 && PyErr_Occurred()) {
        return error;
    }
    return static_cast<std::int64_t>(v);
}

Maybe<std::int64_t> to_c_long(PyObject *value)
{
    const long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) {
        return error;
    }
    return v;
}

Maybe<std::uint8_t> to_u8(PyObject *value)
{
    Maybe<std::int64_t> v = to_i64(value);
    if (!v) {
        return error;
    }
    if (*v < 0 || *v > 255) {
        return raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint8_t>(*v);
}

Maybe<std::size_t> to_usize(PyObject *value)
{
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) {
        return error;
    }
    const std::size_t v = PyLong_AsSize_t(index.get());
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        return error;
    }
    return v;
}

Ref to_str_list(PyObject *value)
{
    if (PyUnicode_Check(value) || !PySequence_Check(value)) {
        return raise_not_instance(value, "list");
    }
    Ref list = Ref::steal(PySequence_List(value));
    if (!list) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject *item = PyList_GET_ITEM(list.get(), i);
        if (!PyUnicode_Check(item)) {
            return raise_not_instance(item, "str");
        }
    }
    return list;
}

Ref to_str_sequence(PyObject *value)
{
    if (PyTuple_CheckExact(value)) {
        bool all_str = true;
        for (Py_ssize_t i = 0; all_str && i < PyTuple_GET_SIZE(value); ++i) {
            all_str = PyUnicode_Check(PyTuple_GET_ITEM(value, i));
        }
        if (all_str) {
            return Ref::borrow(value);
        }
    }
    return to_str_list(value);
}

}  // namespace norv
