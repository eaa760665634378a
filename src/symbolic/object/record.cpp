#include "symbolic/object/record.hpp"

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "kernel/layout.hpp"
#include "kernel/record.hpp"
#include "symbolic/object/sym_object.hpp"

namespace norv::symbolic::object {

namespace {

PyObject *type_of(PyObject *inst)
{
    return reinterpret_cast<PyObject *>(Py_TYPE(inst));
}

// Whether the kernel cell of `role` holds an object.
Maybe<bool> node_cell_filled(PyObject *inst, std::size_t role)
{
    Maybe<Ref> occupant = kernel::record::_slot_node_get(inst, role);
    if (!occupant) {
        return error;
    }
    return bool(*occupant);
}

constexpr std::size_t ALLOW_PARTIAL_ROLE = 3;

}  // namespace

Maybe<std::size_t> record_reserved_count(PyObject *type)
{
    Ref reserved = attr<"__slot_reserved__">(type);
    Maybe<std::size_t> count = reserved ? to_usize(reserved.get()) : Maybe<std::size_t>(error);
    if (!count && failed(discard_ordinary_error())) {
        return error;
    }
    return count ? *count : 0;
}

Status require_initialized_record(PyObject *inst)
{
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttr(type_of(inst), interned<"__slot_field_names__">(), &found) < 0) {
        return error;
    }
    Ref names = Ref::steal(found);
    if (!names) {
        return Status::ok;
    }
    Ref it = Ref::steal(PyObject_GetIter(names.get()));
    Ref first = it ? Ref::steal(PyIter_Next(it.get())) : Ref();
    if (!first && PyErr_Occurred()) {
        return error;
    }
    Maybe<bool> initialised = false;
    if (first) {
        if (!PyUnicode_Check(first.get())) {
            return raise_not_instance(first.get(), "str");
        }
        initialised = kernel::record::record_field_written(inst, first.get());
    }
    else {
        const Maybe<std::size_t> reserved = record_reserved_count(type_of(inst));
        if (!reserved) {
            return error;
        }
        initialised = *reserved == 0 ? Maybe<bool>(true) : node_cell_filled(inst, ALLOW_PARTIAL_ROLE);
    }
    if (!initialised) {
        return error;
    }
    if (*initialised) {
        return Status::ok;
    }
    return blank_object_error(Py_TYPE(inst));
}

Maybe<bool> record_is_materialized(PyObject *inst)
{
    const Maybe<std::size_t> reserved = record_reserved_count(type_of(inst));
    if (!reserved) {
        return error;
    }
    if (*reserved < kernel::TOPOLOGY_RESERVED) {
        return false;
    }
    return node_cell_filled(inst, kernel::node_state::VIEW);
}

Ref record_symbolic_children(PyObject *inst)
{
    Ref names = attr<"__slot_symbolic_field_names__">(type_of(inst));
    Ref out = names ? Ref::steal(PyList_New(0)) : Ref();
    if (!out) {
        return error;
    }
    // Read on the first name: a record without symbolic fields needs none.
    Ref offsets;
    const Status walked = for_each_item(names.get(), [&](PyObject *name) -> Status {
        if (!PyUnicode_Check(name)) {
            return raise_not_instance(name, "str");
        }
        if (!offsets && !(offsets = kernel::record::record_field_offsets(type_of(inst)))) {
            return error;
        }
        Maybe<Ref> value = kernel::record::read_field_slot(inst, offsets.get(), name);
        if (!value) {
            return error;
        }
        Ref pair = Ref::steal(PyTuple_Pack(2, name, *value ? value->get() : Py_None));
        return pair ? check(PyList_Append(out.get(), pair.get())) : Status::error;
    });
    if (failed(walked)) {
        return error;
    }
    return out;
}

}  // namespace norv::symbolic::object
