#include "objects/record_object.hpp"

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "scopes/flags.hpp"
#include "kernel/layout.hpp"
#include "kernel/record_cells.hpp"
#include "containers/dict.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/sym_object.hpp"
#include "objects/object_topology.hpp"
#include "nodes/class_reads.hpp"

namespace norv::symbolic::object {

namespace {

using topology::Role;

// Whether the kernel cell of `role` holds an object.
Maybe<bool> node_cell_filled(PyObject *inst, std::size_t role)
{
    Maybe<Ref> occupant = kernel::record::_slot_node_get(inst, role);
    if (!occupant) {
        return error;
    }
    return bool(*occupant);
}

// Whether the construction ran, told by the first init-field name (nullptr:
// the class has none).
Maybe<bool> initialised_by(PyObject *inst, PyObject *first)
{
    if (first != nullptr) {
        if (!PyUnicode_Check(first)) {
            return raise_not_instance(first, "str");
        }
        return kernel::record::record_field_written(inst, first);
    }
    const Maybe<std::size_t> reserved = record_reserved_count(type_of(inst));
    if (!reserved) {
        return error;
    }
    return *reserved == 0 ? Maybe<bool>(true) : node_cell_filled(inst, Role::ALLOW_PARTIAL);
}

// The truth of a node-state flag as the view takes it: an empty cell, or a
// truth test that raises an ordinary error, is false.
Maybe<bool> flag_truth(PyObject *inst, std::size_t role)
{
    Ref value = topology::node_get(inst, role);
    if (!value) {
        return error;
    }
    const Maybe<bool> on = truth(value.get());
    if (!on && failed(discard_ordinary_error())) {
        return error;
    }
    return on && *on;
}

Error blank_view_error(PyObject *type)
{
    Ref name = class_name_text(type);
    return name ? raise_format(PyExc_AttributeError, "'%U' object has no attribute '_sym_attributes'",
                               name.get())
                : error;
}

Error short_region_error(PyObject *type, std::size_t reserved)
{
    Ref name = class_name_text(type);
    return name
               ? raise_format(PyExc_RuntimeError,
                              "slot record: materialize requires the full production reserved region (%zu "
                              "slots %s the node-state roles plus the __weakref__ cell); %U carries %zu %s a "
                              "kernel probe Record has no view slot (#461)",
                              kernel::TOPOLOGY_RESERVED, "\u2014", name.get(), reserved, "\u2014")
               : error;
}

// ---- the module functions -------------------------------------------------------------------

const Signature MATERIALIZE_SIG{"_slot_record_materialize", {arg("inst"), arg("field_names")}};
const Signature INIT_NODE_SIG{"_slot_record_init_node_state",
                              {arg("inst"), opt("allow_partial"), opt("sealed"), opt("root_path")}};
const Signature IS_MATERIALIZED_SIG{"_slot_record_is_materialized", {arg("inst")}};
const Signature NODE_READ_SIG{"_slot_record_node_read", {arg("inst"), arg("role")}};

Ref materialize(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(MATERIALIZE_SIG.bind(a, b))) {
        return error;
    }
    Ref names = convert_arg("field_names", [&] { return to_str_list(b[1]); });
    return names ? record_materialize(b[0], names.get()) : Ref();
}

Ref init_node_state(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(INIT_NODE_SIG.bind(a, b))) {
        return error;
    }
    const Maybe<bool> allow_partial = bool_arg("allow_partial", b[1], false, ArgCause::Conversion);
    const Maybe<std::optional<bool>> sealed = allow_partial
                                                  ? opt_bool_arg("sealed", b[2], ArgCause::Conversion)
                                                  : Maybe<std::optional<bool>>(error);
    if (!sealed) {
        return error;
    }
    PyObject *root_path = b.null_if_none(3);
    return failed(record_init_node_state(b[0], *allow_partial, *sealed, root_path)) ? Ref() : none();
}

Ref is_materialized(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(IS_MATERIALIZED_SIG.bind(a, b))) {
        return error;
    }
    const Maybe<bool> kept = record_is_materialized(b[0]);
    return kept ? new_bool(*kept) : Ref();
}

// A foreign instance is refused before anything of it is read: the class
// attributes that steer the blank guard are anyone's to set.
Ref node_read(PyObject *, FastArgs a)
{
    Bound b;
    const Maybe<std::size_t> role = kernel::record::bind_role(NODE_READ_SIG, a, b);
    if (!role || failed(kernel::record::require_record(b[0])) || failed(require_initialized_record(b[0]))) {
        return error;
    }
    return kernel::record::node_slot_or_none(b[0], *role);
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef RECORD_MATERIALIZE_DEF =
    method<materialize>("_slot_record_materialize",
                        "_slot_record_materialize($module, /, inst, field_names)\n--\n\n"
                        "The record's attribute view, built from its field cells on first request and kept.");
PyMethodDef RECORD_INIT_NODE_STATE_DEF = method<init_node_state>(
    "_slot_record_init_node_state",
    "_slot_record_init_node_state($module, /, inst, allow_partial=False, sealed=None, root_path=None)\n--\n\n"
    "Seed a record's node state for construction.");
PyMethodDef RECORD_IS_MATERIALIZED_DEF =
    method<is_materialized>("_slot_record_is_materialized",
                            "_slot_record_is_materialized($module, /, inst)\n--\n\n"
                            "Whether the record keeps its attribute view.");
PyMethodDef RECORD_NODE_READ_DEF =
    method<node_read>("_slot_record_node_read",
                      "_slot_record_node_read($module, /, inst, role)\n--\n\n"
                      "The object in a constructed record's node-state cell, None when it is empty.");

Maybe<bool> sealed_or_frozen(PyObject *options, std::optional<bool> sealed)
{
    return sealed ? Maybe<bool>(*sealed) : truth_attr<"frozen">(options);
}

Maybe<std::size_t> record_reserved_count(PyObject *type)
{
    Ref reserved = ops::record_class_reads().read_class(reinterpret_cast<PyTypeObject *>(type),
                                                        ops::ClassReads::SlotReserved);
    Maybe<std::size_t> count = reserved ? to_usize(reserved.get()) : Maybe<std::size_t>(error);
    if (!count && failed(discard_ordinary_error())) {
        return error;
    }
    return count ? *count : 0;
}

Status require_initialized_record(PyObject *inst)
{
    Maybe<Ref> names =
        ops::record_class_reads().read_class_optional(Py_TYPE(inst), ops::ClassReads::SlotFieldNames);
    if (!names) {
        return error;
    }
    if (!*names) {
        return Status::ok;
    }
    Ref first;
    if (PyTuple_CheckExact(names->get())) {
        // What iterating the tuple would give first.
        if (PyTuple_GET_SIZE(names->get()) > 0) {
            first = Ref::borrow(PyTuple_GET_ITEM(names->get(), 0));
        }
    }
    else {
        Ref it = Ref::steal(PyObject_GetIter(names->get()));
        first = it ? Ref::steal(PyIter_Next(it.get())) : Ref();
        if (!first && PyErr_Occurred()) {
            return error;
        }
    }
    const Maybe<bool> initialised = initialised_by(inst, first.get());
    if (!initialised) {
        return error;
    }
    return *initialised ? Status::ok : Status(blank_object_error(Py_TYPE(inst)));
}

Maybe<bool> record_blank_by_names(PyObject *inst, PyObject *names)
{
    const Maybe<bool> initialised =
        initialised_by(inst, PyList_GET_SIZE(names) > 0 ? PyList_GET_ITEM(names, 0) : nullptr);
    return initialised ? Maybe<bool>(!*initialised) : Maybe<bool>(error);
}

Maybe<bool> record_is_materialized(PyObject *inst)
{
    // Within the cells the instance has: a class may claim more reserved cells than its root region holds.
    const std::optional<std::size_t> cells = kernel::record::root_reserved_of(inst);
    if (!cells || *cells <= kernel::node_state::VIEW) {
        return false;
    }
    const Maybe<std::size_t> reserved = record_reserved_count(type_of(inst));
    if (!reserved) {
        return error;
    }
    return *reserved < kernel::TOPOLOGY_RESERVED ? Maybe<bool>(false)
                                                 : node_cell_filled(inst, kernel::node_state::VIEW);
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

Maybe<Ref> record_parent_cell(PyObject *inst)
{
    if (kernel::record::root_reserved_of(inst).value_or(0) <= Role::PARENT) {
        return Ref();
    }
    Maybe<Ref> parent = kernel::record::_slot_node_get(inst, Role::PARENT);
    if (parent && parent->get() == Py_None) {
        return Ref();
    }
    return parent;
}

Status record_init_node_state(PyObject *inst, bool allow_partial, std::optional<bool> sealed,
                              PyObject *root_path)
{
    Ref options = ops::record_class_reads().read_class(Py_TYPE(inst), ops::ClassReads::SymOptions);
    const Maybe<bool> writable = options ? truth_attr<"attr_write">(options.get()) : Maybe<bool>(error);
    const Maybe<bool> seal = writable ? sealed_or_frozen(options.get(), sealed) : Maybe<bool>(error);
    if (!seal) {
        return error;
    }
    PyObject *path = root_path != nullptr ? root_path : bridge::get().empty_key_path;
    namespace rec = kernel::record;
    if (failed(rec::set_node_slot(inst, Role::ALLOW_PARTIAL, py_bool(allow_partial))) ||
        failed(rec::set_node_slot(inst, Role::ACCESSOR_WRITABLE, py_bool(*writable))) ||
        failed(rec::set_node_slot(inst, Role::SEALED, py_bool(*seal))) ||
        failed(rec::set_node_slot(inst, Role::PATH, path)) ||
        failed(rec::set_node_slot(inst, Role::PARENT, nullptr))) {
        return error;
    }
    Ref origin;
    if (flags::origin_tracking_on()) {
        PyObject *args[] = {Py_None, interned<"__init__">()};
        origin = Ref::steal(PyObject_Vectorcall(bridge::get().origin_cls, args, 2, nullptr));
        if (!origin) {
            return error;
        }
    }
    return rec::set_node_slot(inst, Role::ORIGIN, origin.get());
}

Ref record_materialize(PyObject *inst, PyObject *field_names)
{
    PyObject *type = type_of(inst);
    const Maybe<bool> blank = record_blank_by_names(inst, field_names);
    if (!blank) {
        return error;
    }
    if (*blank) {
        return blank_view_error(type);
    }
    const Maybe<std::size_t> reserved = record_reserved_count(type);
    if (!reserved) {
        return error;
    }
    if (*reserved < kernel::TOPOLOGY_RESERVED) {
        return short_region_error(type, *reserved);
    }
    Maybe<Ref> kept = kernel::record::_slot_node_get(inst, kernel::node_state::VIEW);
    if (!kept || *kept) {
        return kept ? std::move(*kept) : Ref();
    }
    Ref values = kernel::record::read_record_slots(inst, field_names);
    Ref spec = values ? attr<"sym_fields">(type) : Ref();
    const Maybe<bool> sym_mode = spec ? truth_attr<"sym_mode">(type) : Maybe<bool>(error);
    if (!sym_mode) {
        return error;
    }
    (void)bridge::get();
    Maybe<Ref> path = kernel::record::_slot_node_get(inst, Role::PATH);
    if (!path) {
        return error;
    }
    Ref view = SymDict::build_object_attrs(values.get(), spec.get(), false, false, *sym_mode, path->get(),
                                           false, inst);
    if (!view || !call_method(view.get(), interned<"sym_setparent">(), inst)) {
        return error;
    }
    const Maybe<bool> sealed = flag_truth(inst, Role::SEALED);
    const Maybe<bool> allow_partial = sealed ? flag_truth(inst, Role::ALLOW_PARTIAL) : Maybe<bool>(error);
    if (!allow_partial || PyObject_SetAttr(view.get(), interned<"_sealed">(), py_bool(*sealed)) < 0 ||
        PyObject_SetAttr(view.get(), interned<"_allow_partial">(), py_bool(*allow_partial)) < 0) {
        return error;
    }
    // Building ran host code, which may have installed a view meanwhile: the first one stays.
    return kernel::record::set_node_slot_if_absent(inst, kernel::node_state::VIEW, view.get());
}

Status record_write_fields(PyObject *inst, PyObject *names, PyObject *values)
{
    if (failed(kernel::record::write_record_slots(inst, names, values))) {
        return error;
    }
    return record_drop_kept_view(inst);
}

Status record_drop_kept_view(PyObject *inst)
{
    const Maybe<bool> kept = record_is_materialized(inst);
    if (!kept) {
        return error;
    }
    return *kept ? kernel::record::set_node_slot(inst, kernel::node_state::VIEW, nullptr) : Status::ok;
}

}  // namespace norv::symbolic::object
