// The frame every concrete value-spec class shares: argument conversion of
// the common parameters, copies, skip_user_transform, the JSON reader's common
// keys and class set-up. Each class adds its builder and kind getters.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/args.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"
#include "typing/value_specs/engine.hpp"

namespace norv::typing::frame {

// The common constructor arguments after conversion. `default_value` is the
// bridge's missing value when omitted; optional objects are nullptr.
struct Common {
    Ref default_value;
    PyObject *default_factory = nullptr;  // borrowed from the call
    bool is_noneable = false;
    bool frozen = false;
    std::uint8_t strict = STRICT_UNSET;
};

// An omitted `default` reads the bridge (and so faults before it is installed).
Ref default_arg(const Bound &b, std::size_t i);
Maybe<std::uint8_t> strict_param(const Bound &b, std::size_t i);

// The JSON reader's common keys ("default", "is_noneable", "frozen", "strict").
struct JsonCommon {
    Ref default_value;
    bool is_noneable = false;
    bool frozen = false;
    std::uint8_t strict = STRICT_UNSET;
};
Maybe<JsonCommon> read_json_common(PyObject *json, PyObject *kwargs);
// from_json(json[key], **kwargs), or an empty Ref when the key is absent.
Maybe<Ref> json_field(PyObject *json, const char *key, PyObject *kwargs);

// __copy__, __deepcopy__ and skip_user_transform build the receiver's own
// class: every class using them is final (Callable handles its subclasses).
Ref spec_copy(PyObject *self);
Ref spec_deepcopy(PyObject *self, FastArgs a);
PyObject *skip_user_transform(PyObject *self, void *);

#define NORV_SPEC_COPY_METHODS                                                              \
    method_noargs<::norv::typing::frame::spec_copy>("__copy__", "__copy__($self)\n--\n\n"), \
        method<::norv::typing::frame::spec_deepcopy>("__deepcopy__", "__deepcopy__($self, _memo)\n--\n\n")

// Sets __serialization_key__ = "norv.typing.<name>".
Status init_class(PyTypeObject *tp);

// The bases tuple (SpecBase,) for the concrete classes; borrowed, NULL with
// the error set.
PyObject *spec_base_bases();

}  // namespace norv::typing::frame
