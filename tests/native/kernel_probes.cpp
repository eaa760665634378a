// Test-only entry points into the kernel's native steps that have no Python
// surface of their own (part of `_native._testing`).
#include <Python.h>

#include <new>
#include <stdexcept>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "kernel/quoted.hpp"
#include "kernel/record_cells.hpp"

namespace norv::testing {

namespace {

namespace rec = kernel::record;

const Signature READ{"record_read_slots", {arg("inst"), arg("names")}};
const Signature WRITE{"record_write_slots", {arg("inst"), arg("names"), arg("values")}};
const Signature WRITTEN{"record_field_written", {arg("inst"), arg("name")}};
const Signature SLOT_OFFSET{"record_field_slot_offset", {arg("offsets"), arg("name")}};

Ref record_read_slots(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(READ.bind(a, b))) {
        return error;
    }
    Ref names = to_str_list(b[1]);
    return names ? rec::read_record_slots(b[0], names.get()) : Ref();
}

Ref record_write_slots(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(WRITE.bind(a, b))) {
        return error;
    }
    Ref names = to_str_list(b[1]);
    if (!names) {
        return error;
    }
    if (!PyDict_Check(b[2])) {
        return raise_not_instance(b[2], "dict");
    }
    return failed(rec::write_record_slots(b[0], names.get(), b[2])) ? Ref() : none();
}

Ref record_field_written(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(WRITTEN.bind(a, b))) {
        return error;
    }
    if (!PyUnicode_Check(b[1])) {
        return raise_not_instance(b[1], "str");
    }
    const Maybe<bool> written = rec::record_field_written(b[0], b[1]);
    return written ? new_bool(*written) : Ref();
}

Ref record_field_offsets(PyObject *, PyObject *type)
{
    return rec::record_field_offsets(type);
}

Ref record_field_slot_offset(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(SLOT_OFFSET.bind(a, b))) {
        return error;
    }
    if (!PyDict_Check(b[0])) {
        return raise_not_instance(b[0], "dict");
    }
    if (!PyUnicode_Check(b[1])) {
        return raise_not_instance(b[1], "str");
    }
    const Maybe<std::size_t> offset = rec::field_slot_offset(b[0], b[1]);
    return offset ? Ref::steal(PyLong_FromSize_t(*offset)) : Ref();
}

Ref quoted(PyObject *, PyObject *text)
{
    if (!PyUnicode_Check(text)) {
        return raise_not_instance(text, "str");
    }
    return kernel::quoted(text);
}

// What the slot boundary makes of each way a body can fail: "panic", "stray"
// (a std::exception), "unset" (a failure with no error set), "memory", or
// "raise" (an ordinary error, passed through); anything else succeeds.
Ref fail_as(PyObject *how)
{
    const auto is = [&](const char *text) { return PyUnicode_EqualToUTF8(how, text) == 1; };
    if (is("panic")) {
        panic("fault text");
    }
    if (is("stray")) {
        throw std::runtime_error("stray");
    }
    if (is("memory")) {
        throw std::bad_alloc();
    }
    if (is("raise")) {
        return raise(PyExc_KeyError, "raised");
    }
    if (is("unset")) {
        return Ref();
    }
    return none();
}

// The object slot form, then the integer slot form of the same body.
Ref slot_fault(PyObject *, PyObject *how)
{
    return Ref::steal(guard<Faults::SlotError>([&] { return fail_as(how); }));
}

Ref slot_fault_int(PyObject *, PyObject *how)
{
    const int rc =
        guard_int<int, Faults::SlotError>([&]() -> Status { return fail_as(how) ? Status::ok : error; });
    return rc < 0 ? Ref() : new_int(rc);
}

PyMethodDef METHODS[] = {
    method<record_read_slots>("record_read_slots", nullptr),
    method<record_write_slots>("record_write_slots", nullptr),
    method<record_field_written>("record_field_written", nullptr),
    method_onearg<record_field_offsets>("record_field_offsets", nullptr),
    method<record_field_slot_offset>("record_field_slot_offset", nullptr),
    method_onearg<quoted>("quoted", nullptr),
    method_onearg<slot_fault>("slot_fault", nullptr),
    method_onearg<slot_fault_int>("slot_fault_int", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Status add_kernel_probes(PyObject *probes)
{
    return check(PyModule_AddFunctions(probes, METHODS));
}

}  // namespace norv::testing
