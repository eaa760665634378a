// What the concrete spec classes beyond the scalars share: kind getters under
// a shared borrow, the trailing flag parameters, the class declaration and
// its creation over SpecBase.
#pragma once

#include <Python.h>

#include <memory>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/none.hpp"
#include "core/registry.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/engine.hpp"
#include "typing/value_specs/frame.hpp"

namespace norv::typing::class_kit {

using KindGetter = Ref (*)(SpecEngine &);

// A read-only property over the engine, under a shared borrow of the spec.
template <KindGetter F>
PyObject *kind_getter(PyObject *self, void *)
{
    return guard([&]() -> Ref {
        base::SelfRead r(self);
        if (r.failed()) {
            return error;
        }
        return F(r.engine());
    });
}

// The trailing `is_noneable` (absent: index -1), `frozen` and `strict`
// parameters, converted in that order.
struct Flags {
    bool noneable = false;
    bool frozen = false;
    std::uint8_t strict = STRICT_UNSET;
};

inline Maybe<Flags> flags(const Bound &b, int noneable_at, std::size_t frozen_at, std::size_t strict_at)
{
    Flags f;
    if (noneable_at >= 0) {
        Maybe<bool> noneable = bool_arg("is_noneable", b[static_cast<std::size_t>(noneable_at)], false,
                                        ArgCause::ConversionCause);
        if (!noneable) {
            return error;
        }
        f.noneable = *noneable;
    }
    Maybe<bool> frozen = bool_arg("frozen", b[frozen_at], false, ArgCause::ConversionCause);
    if (!frozen) {
        return error;
    }
    f.frozen = *frozen;
    Maybe<std::uint8_t> strict = frame::strict_param(b, strict_at);
    if (!strict) {
        return error;
    }
    f.strict = *strict;
    return f;
}

// json[key] decoded, or the ValueError `missing_message` when the key is absent.
inline Ref required_json_field(PyObject *json, const char *key, PyObject *kwargs, const char *missing_message)
{
    Maybe<Ref> v = frame::json_field(json, key, kwargs);
    if (!v) {
        return error;
    }
    if (!*v) {
        return raise(PyExc_ValueError, missing_message);
    }
    return std::move(*v);
}

// Creates the class over `bases` (SpecBase unless given) once per process.
inline PyTypeObject *make(TypeCell &cell, PyType_Spec *spec, PyObject *bases = nullptr)
{
    if (bases == nullptr) {
        bases = frame::spec_base_bases();
        if (bases == nullptr) {
            return nullptr;
        }
    }
    return cell.get(spec, bases, frame::init_class);
}

}  // namespace norv::typing::class_kit

// A final spec class sharing SpecBase's layout, deallocator and collector slots.
#define NORV_SPEC_CLASS_SPEC(var, qualname, doc, newfn, methods, getset, extra_flags)                \
    PyType_Slot var##_SLOTS[] = {                                                                    \
        {Py_tp_doc, const_cast<char *>(doc)},                                                        \
        {Py_tp_new, reinterpret_cast<void *>(newfn)},                                                \
        {Py_tp_dealloc, reinterpret_cast<void *>(::norv::typing::base::dealloc)},                    \
        {Py_tp_traverse, reinterpret_cast<void *>(::norv::typing::base::traverse)},                  \
        {Py_tp_clear, reinterpret_cast<void *>(::norv::typing::base::clear)},                        \
        {Py_tp_methods, methods},                                                                    \
        {Py_tp_getset, getset},                                                                      \
        {0, nullptr},                                                                                \
    };                                                                                               \
    PyType_Spec var##_SPEC = {                                                                       \
        .name = "norv_core._native." qualname,                                                       \
        .basicsize = 0,                                                                              \
        .itemsize = 0,                                                                               \
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC | (extra_flags), \
        .slots = var##_SLOTS,                                                                        \
    };
