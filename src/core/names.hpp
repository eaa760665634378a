// Interned attribute and keyword names, and the attribute reads built on them.
//
//     PyObject *key = interned<"root_path">();   // borrowed, never NULL
//     Ref v = attr<"value">(field);             // field.value
//     PyObject_VectorcallMethod(interned<"apply">(), args, nargsf,
//                               kwnames<"allow_partial", "root_path">());
//
// Each name is interned on its first use and kept for the life of the process
// in a static pointer of its own, so every later use is one load. The pointer
// is written and read under the interpreter lock. Interning a literal fails
// only when memory runs out, which is thrown as std::bad_alloc (the shims make
// it MemoryError), so callers never check for NULL.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "core/ref.hpp"
#include "core/truth.hpp"

namespace norv {

// A string literal as a template argument.
template <std::size_t N>
struct NameText {
    char text[N];
    constexpr NameText(const char (&s)[N])
    {
        for (std::size_t i = 0; i < N; ++i) {
            text[i] = s[i];
        }
    }
};

// The interned str of `text`, a new reference kept forever; throws
// std::bad_alloc when it cannot be made.
[[gnu::cold]] PyObject *intern_name(const char *text);

// A new tuple of `names`, kept forever; throws std::bad_alloc when it cannot
// be made.
[[gnu::cold]] PyObject *make_name_tuple(std::initializer_list<PyObject *> names);

template <NameText T>
inline PyObject *interned()
{
    static PyObject *name = nullptr;
    if (name == nullptr) [[unlikely]] {
        name = intern_name(T.text);
    }
    return name;
}

// The keyword names of a vectorcall, in call order: one tuple per list of
// names, made on first use and kept like the names.
template <NameText... T>
inline PyObject *kwnames()
{
    static PyObject *names = nullptr;
    if (names == nullptr) [[unlikely]] {
        names = make_name_tuple({interned<T>()...});
    }
    return names;
}

// `o.<name>`.
template <NameText T>
inline Ref attr(PyObject *o)
{
    return getattr(o, interned<T>());
}

// Python's `hasattr(o, name)`: AttributeError means no, any other error
// propagates. Only presence counts; the value read is dropped.
inline Maybe<bool> has_attr(PyObject *o, PyObject *name)
{
    PyObject *found = nullptr;
    const int rc = PyObject_GetOptionalAttr(o, name, &found);
    Py_XDECREF(found);
    if (rc < 0) {
        return error;
    }
    return rc != 0;
}

template <NameText T>
inline Maybe<bool> has_attr(PyObject *o)
{
    return has_attr(o, interned<T>());
}

// The truth of `o.<name>`.
template <NameText T>
Maybe<bool> truth_attr(PyObject *o)
{
    Ref v = attr<T>(o);
    if (!v) {
        return error;
    }
    return truth(v.get());
}

}  // namespace norv
