#include "formatting/detail.hpp"

#include <climits>
#include <iterator>

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/once.hpp"

namespace norv::formatting::detail {

namespace {

ObjectCell TWO_SPACES, STR_DOTS, BYTES_DOTS;

}  // namespace

PyObject *const *name_table()
{
    // In the order of `Name`.
    static PyObject *const table[] = {
        interned<"value">(),
        interned<"compact">(),
        interned<"verbose">(),
        interned<"root_indent">(),
        interned<"list_wrap_threshold">(),
        interned<"strip_object_id">(),
        interned<"include_keys">(),
        interned<"exclude_keys">(),
        interned<"markdown">(),
        interned<"max_str_len">(),
        interned<"max_bytes_len">(),
        interned<"custom_format">(),
        interned<"memo">(),
    };
    static_assert(std::size(table) == static_cast<std::size_t>(Name::count_));
    return table;
}

PyObject *name(Name n)
{
    return name_table()[static_cast<std::size_t>(n)];
}

// Small ints are immortal: no reference is owed for these.
PyObject *int_zero()
{
    return PyLong_FromLong(0);
}
PyObject *int_one()
{
    return PyLong_FromLong(1);
}
PyObject *int_eighty()
{
    return PyLong_FromLong(80);
}

PyObject *ellipsis(bool for_str)
{
    if (for_str) {
        return STR_DOTS.get_or_init([] { return new_str("..."); });
    }
    return BYTES_DOTS.get_or_init([] { return Ref::steal(PyBytes_FromStringAndSize("...", 3)); });
}

Maybe<std::optional<long long>> as_i64(PyObject *n)
{
    long long v = PyLong_AsLongLong(n);
    if (v == -1 && PyErr_Occurred()) {
        if (failed(discard_ordinary_error())) {
            return error;
        }
        return std::optional<long long>();
    }
    return std::optional<long long>(v);
}

Maybe<Indent> indent_from(PyObject *n)
{
    Indent ind;
    const Maybe<std::optional<long long>> level = as_i64(n);
    if (!level) {
        return error;
    }
    if (const std::optional<long long> &v = *level) {
        if (*v > PY_SSIZE_T_MAX / 2) {
            return raise(PyExc_OverflowError, "repeated string is too long");  // what '  ' * n says
        }
        ind.spaces = *v > 0 ? static_cast<Py_ssize_t>(2 * *v) : 0;
        return ind;
    }
    PyObject *two = TWO_SPACES.get_or_init([] { return new_str("  "); });
    if (two == nullptr) {
        return error;
    }
    ind.text = require_str(Ref::steal(PyNumber_Multiply(two, n)));
    if (!ind.text) {
        return error;
    }
    return ind;
}

Ref ri_plus_one(PyObject *n)
{
    const Maybe<std::optional<long long>> level = as_i64(n);
    if (!level) {
        return error;
    }
    if (const std::optional<long long> &v = *level) {
        if (*v < LLONG_MAX) {
            return new_int(*v + 1);
        }
        Ref big = new_int(*v);
        if (!big) {
            return error;
        }
        return Ref::steal(PyNumber_Add(big.get(), int_one()));
    }
    return Ref::steal(PyNumber_Add(n, int_one()));
}

Ref class_name(PyObject *v)
{
    Ref cls = getattr(v, "__class__");
    if (!cls) {
        return error;
    }
    return require_str(getattr(cls.get(), "__name__"));
}

Ref require_str(Ref result)
{
    if (result && !PyUnicode_Check(result.get())) {
        return raise_not_instance(result.get(), "str");
    }
    return result;
}

Ref make_names(std::span<const Name> names)
{
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!t) {
        return error;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(name(names[i])));
    }
    return t;
}

namespace {

std::size_t dict_size(PyObject *d)
{
    return d ? static_cast<std::size_t>(PyDict_GET_SIZE(d)) : 0;
}

// Fills `names` from position `at` on with the names of `part`.
void put_names(PyObject *names, std::size_t &at, std::span<const Name> part)
{
    for (Name n : part) {
        PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(at++), Py_NewRef(name(n)));
    }
}

}  // namespace

KwCall::KwCall(std::span<const Name> head, PyObject *extras, std::span<const Name> tail,
               PyObject *cached_names)
    : stack_(2 + head.size() + dict_size(extras) + tail.size()),
      n_head_(head.size()),
      n_extras_(dict_size(extras)),
      names_(cached_names)
{
    if (n_extras_ == 0 || names_ == nullptr) {
        return;
    }
    names_ = nullptr;  // until the tuple is complete
    // The extras dict belongs to the bound call and nobody else sees it, so
    // its entries stay put while we borrow them.
    const std::size_t total = n_head_ + n_extras_ + tail.size();
    own_names_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(total)));
    if (!own_names_) {
        return;
    }
    std::size_t i = 0;
    put_names(own_names_.get(), i, head);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(extras, &pos, &k, &v)) {
        stack_[2 + i] = v;
        PyTuple_SET_ITEM(own_names_.get(), static_cast<Py_ssize_t>(i++), Py_NewRef(k));
    }
    put_names(own_names_.get(), i, tail);
    names_ = own_names_.get();
}

Ref KwCall::call(PyObject *fn, PyObject *arg)
{
    stack_[1] = arg;
    return Ref::steal(PyObject_Vectorcall(fn, stack_.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names_));
}

Ref KwCall::call_method(PyObject *method, PyObject *self)
{
    stack_[1] = self;
    return Ref::steal(
        PyObject_VectorcallMethod(method, stack_.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, names_));
}

}  // namespace norv::formatting::detail
