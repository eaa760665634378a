#include "topology/key.hpp"

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "core/error.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "core/utf8.hpp"

namespace norv {

Key Key::text(std::string_view utf8)
{
    Key k;
    if (utf8.size() <= kInlineMax) {
        k.raw_[0] = static_cast<unsigned char>(Tag::StrSmall);
        k.raw_[1] = static_cast<unsigned char>(utf8.size());
        std::memcpy(k.raw_ + 2, utf8.data(), utf8.size());
        return k;
    }
    auto *t = static_cast<HeapText *>(std::malloc(offsetof(HeapText, data) + utf8.size()));
    if (t == nullptr) {
        throw std::bad_alloc();
    }
    t->refs = 1;
    t->size = utf8.size();
    std::memcpy(t->data, utf8.data(), utf8.size());
    k.store(Tag::StrHeap, t);
    return k;
}

Key Key::other(PyObject *obj) noexcept
{
    Key k;
    k.store(Tag::Other, Py_NewRef(obj));
    return k;
}

Maybe<Key> Key::from_py(PyObject *obj)
{
    if (PyUnicode_Check(obj)) {
        const std::optional<std::string_view> utf8 = utf8_or_none(obj);
        return utf8 ? text(*utf8) : other(obj);
    }
    if (PyLong_Check(obj) && !PyBool_Check(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {
            if (v == -1 && PyErr_Occurred()) {
                return error;
            }
            return integer(v);
        }
    }
    return other(obj);
}

void Key::release_owned() noexcept
{
    if (tag() == Tag::StrHeap) {
        HeapText *t = load<HeapText *>();
        if (--t->refs == 0) {
            std::free(t);
        }
    }
    else if (tag() == Tag::Other) {
        Py_DECREF(load<PyObject *>());
    }
}

Ref Key::to_py() const
{
    switch (kind()) {
        case Kind::Str: {
            std::string_view t = text();
            return Ref::steal(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
        }
        case Kind::Int:
            return new_int(integer());
        default:
            return Ref::borrow(object());
    }
}

namespace {

// Decimal text of an integer key; 20 digits and a sign fit.
struct IntText {
    char buf[24];
    std::size_t size;
    explicit IntText(std::int64_t v) noexcept
    {
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        size = static_cast<std::size_t>(r.ptr - buf);
    }
    std::string_view view() const noexcept { return {buf, size}; }
};

Maybe<bool> py_truth_of_compare(const Key &a, const Key &b, int pyop)
{
    // The key objects may be paths holding paths as keys.
    RecursionGuard guard(" while comparing KeyPath keys");
    if (guard.failed()) {
        return error;
    }
    Ref ka = a.to_py();
    if (!ka) {
        return error;
    }
    Ref kb = b.to_py();
    if (!kb) {
        return error;
    }
    return compare_truth(ka.get(), kb.get(), pyop);
}

}  // namespace

void Key::append_str_form(std::string &out) const
{
    if (is_int()) {
        out += IntText(integer()).view();
    }
    else {
        out += text();
    }
}

Maybe<bool> Key::py_eq(const Key &a, const Key &b)
{
    const Kind ka = a.kind(), kb = b.kind();
    if (ka == Kind::Str && kb == Kind::Str) {
        return a.text() == b.text();
    }
    if (ka == Kind::Int && kb == Kind::Int) {
        return a.integer() == b.integer();
    }
    if (ka != Kind::Other && kb != Kind::Other) {
        return false;  // text "1" is not the integer 1
    }
    return py_truth_of_compare(a, b, Py_EQ);
}

Maybe<bool> Key::wrapper_cmp(const Key &a, const Key &b, CmpOp op)
{
    const Kind ka = a.kind(), kb = b.kind();
    if (ka == Kind::Int && kb == Kind::Int) {
        const std::int64_t x = a.integer(), y = b.integer();
        switch (op) {
            case CmpOp::Lt:
                return x < y;
            case CmpOp::Le:
                return x <= y;
            case CmpOp::Gt:
                return x > y;
            case CmpOp::Ge:
                return x >= y;
            default:
                return x == y;
        }
    }
    if (ka == Kind::Other || kb == Kind::Other) {
        static constexpr int PYOPS[] = {Py_LT, Py_LE, Py_GT, Py_GE, Py_EQ};
        return py_truth_of_compare(a, b, PYOPS[static_cast<int>(op)]);
    }
    if (ka == Kind::Str && kb == Kind::Str) {
        return apply_ord(op, a.text(), b.text());
    }
    // Mixed text and integer: both by text form.
    if (ka == Kind::Int) {
        return apply_ord(op, IntText(a.integer()).view(), b.text());
    }
    return apply_ord(op, a.text(), IntText(b.integer()).view());
}

}  // namespace norv
