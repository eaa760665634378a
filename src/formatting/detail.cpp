#include "formatting/detail.hpp"

#include <climits>

#include "core/args.hpp"
#include "core/once.hpp"

namespace norv::formatting::detail {

namespace {

constexpr std::size_t N_NAMES = static_cast<std::size_t>(Name::count_);

// In the order of `Name`.
constexpr std::array<const char *, N_NAMES> NAME_TEXT = {
    "value",       "compact",       "verbose",       "root_indent", "list_wrap_threshold",
    "strip_object_id", "include_keys", "exclude_keys", "markdown", "max_str_len",
    "max_bytes_len", "custom_format", "memo",        "format",      "__norv_formattable__",
};

OnceCell<std::array<PyObject *, N_NAMES>> NAMES;
ObjectCell INT_EIGHTY, TWO_SPACES, STR_DOTS, BYTES_DOTS;

}  // namespace

PyObject *name(Name n)
{
    const auto *names = NAMES.get();
    if (names == nullptr) {
        NAMES.get_or_init([] {
            std::array<PyObject *, N_NAMES> made{};
            for (std::size_t i = 0; i < N_NAMES; ++i) {
                // Interned strings are kept for the life of the process.
                made[i] = legacy::require(PyUnicode_InternFromString(NAME_TEXT[i]));
            }
            return made;
        });
        names = NAMES.get();
    }
    return (*names)[static_cast<std::size_t>(n)];
}

// Small ints are immortal: no reference is owed for these.
PyObject *int_zero() { return PyLong_FromLong(0); }
PyObject *int_one() { return PyLong_FromLong(1); }
PyObject *int_eighty()
{
    return INT_EIGHTY.get_or_init([] { return legacy::new_int(80); });
}

PyObject *ellipsis(bool for_str)
{
    if (for_str) {
        return STR_DOTS.get_or_init([] { return legacy::new_str("..."); });
    }
    return BYTES_DOTS.get_or_init([] { return legacy::checked(PyBytes_FromStringAndSize("...", 3)); });
}

std::optional<long long> as_i64(PyObject *n)
{
    long long v = PyLong_AsLongLong(n);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

Indent indent_from(PyObject *n)
{
    Indent ind;
    if (auto v = as_i64(n)) {
        if (*v > PY_SSIZE_T_MAX / 2) {
            legacy::raise(PyExc_OverflowError, "repeated string is too long");  // what '  ' * n says
        }
        ind.spaces = *v > 0 ? static_cast<Py_ssize_t>(2 * *v) : 0;
        return ind;
    }
    PyObject *two = TWO_SPACES.get_or_init([] { return legacy::new_str("  "); });
    ind.text = require_str(legacy::checked(PyNumber_Multiply(two, n)));
    return ind;
}

Ref ri_plus_one(PyObject *n)
{
    if (auto v = as_i64(n)) {
        if (*v < LLONG_MAX) {
            return legacy::new_int(*v + 1);
        }
        return legacy::checked(PyNumber_Add(legacy::new_int(*v).get(), int_one()));
    }
    return legacy::checked(PyNumber_Add(n, int_one()));
}

Ref class_name(PyObject *v)
{
    Ref cls = legacy::getattr(v, "__class__");
    return require_str(legacy::getattr(cls.get(), "__name__"));
}

Ref require_str(Ref result)
{
    if (!PyUnicode_Check(result.get())) {
        legacy::raise_not_instance(result.get(), "str");
    }
    return result;
}

Ref make_names(std::span<const Name> names)
{
    Ref t = legacy::checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(name(names[i])));
    }
    return t;
}

namespace {

std::size_t dict_size(PyObject *d) { return d ? static_cast<std::size_t>(PyDict_GET_SIZE(d)) : 0; }

}  // namespace

KwCall::KwCall(std::span<const Name> head, PyObject *extras, std::span<const Name> tail,
               PyObject *cached_names)
    : stack_(2 + head.size() + dict_size(extras) + tail.size()),
      n_head_(head.size()),
      n_extras_(dict_size(extras)),
      names_(cached_names)
{
    if (n_extras_ == 0) {
        return;
    }
    // The extras dict belongs to the bound call and nobody else sees it, so
    // its entries stay put while we borrow them.
    const std::size_t total = n_head_ + n_extras_ + tail.size();
    own_names_ = legacy::checked(PyTuple_New(static_cast<Py_ssize_t>(total)));
    std::size_t i = 0;
    for (Name h : head) {
        PyTuple_SET_ITEM(own_names_.get(), static_cast<Py_ssize_t>(i++), Py_NewRef(name(h)));
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(extras, &pos, &k, &v)) {
        stack_[2 + i] = v;
        PyTuple_SET_ITEM(own_names_.get(), static_cast<Py_ssize_t>(i++), Py_NewRef(k));
    }
    for (Name t : tail) {
        PyTuple_SET_ITEM(own_names_.get(), static_cast<Py_ssize_t>(i++), Py_NewRef(name(t)));
    }
    names_ = own_names_.get();
}

Ref KwCall::call(PyObject *fn, PyObject *arg)
{
    stack_[1] = arg;
    return legacy::checked(
        PyObject_Vectorcall(fn, stack_.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names_));
}

Ref KwCall::call_method(PyObject *method, PyObject *self)
{
    stack_[1] = self;
    return legacy::checked(
        PyObject_VectorcallMethod(method, stack_.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names_));
}

}  // namespace norv::formatting::detail
