// Node state by role on both storages, the storage test, the class facts
// and the blank guard the tree operations run first.
#include <cstdint>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "kernel/layout.hpp"
#include "kernel/record_cells.hpp"
#include "objects/record_object.hpp"
#include "objects/sym_object.hpp"
#include "objects/object_topology.hpp"

namespace norv::symbolic::object::topology {

namespace {

enum class Storage : std::uint8_t { Object, Record };

Error refuse_instance()
{
    return raise(PyExc_TypeError, "node-state ABI: `inst` is neither a SymObject nor an inline-slot record");
}

// Which storage holds the instance's node state. A type that carries the
// Record attribute without the kernel's layout has no cells to address: it
// is refused as neither.
Maybe<Storage> storage_of(PyObject *inst)
{
    if (SymObject::check(inst)) {
        return Storage::Object;
    }
    const Maybe<bool> record = is_record(type_of(inst));
    if (!record) {
        return error;
    }
    if (*record && kernel::kernel_type_of(Py_TYPE(inst)) != nullptr) {
        return Storage::Record;
    }
    return refuse_instance();
}

bool is_flag_role(std::size_t role) noexcept
{
    return role == SEALED || role == ALLOW_PARTIAL || role == ACCESSOR_WRITABLE;
}

Ref *ref_role(SymNode &node, std::size_t role) noexcept
{
    switch (role) {
        case PARENT:
            return &node.parent;
        case PATH:
            return &node.path;
        case ORIGIN:
            return &node.origin;
        default:
            return nullptr;
    }
}

bool *flag_role(SymNode &node, std::size_t role) noexcept
{
    switch (role) {
        case SEALED:
            return &node.sealed;
        case ALLOW_PARTIAL:
            return &node.allow_partial;
        case ACCESSOR_WRITABLE:
            return &node.accessor_writable;
        default:
            return nullptr;
    }
}

// A flag's new value: the truth of `value` (nullptr: false); a truth test
// that raises an ordinary error makes it false.
Maybe<bool> flag_of(PyObject *value)
{
    if (value == nullptr) {
        return false;
    }
    const Maybe<bool> on = truth(value);
    if (!on && failed(discard_ordinary_error())) {
        return error;
    }
    return on && *on;
}

Ref object_get(PyObject *inst, std::size_t role)
{
    ObjectFields &f = SymObject::fields(inst);
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    if (Ref *r = ref_role(f.node, role)) {
        return none_if_null(*r);
    }
    if (bool *flag = flag_role(f.node, role)) {
        return new_bool(*flag);
    }
    return none();
}

// The truth is taken before the access and the displaced reference released
// after it: both may run code that reads this node.
Status object_set(PyObject *inst, std::size_t role, PyObject *value)
{
    ObjectFields &f = SymObject::fields(inst);
    if (is_flag_role(role)) {
        const Maybe<bool> on = flag_of(value);
        if (!on) {
            return error;
        }
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        *flag_role(f.node, role) = *on;
        return Status::ok;
    }
    if (ref_role(f.node, role) != nullptr) {
        Ref displaced = Ref::borrow(value);
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(displaced, *ref_role(f.node, role));
    }
    return Status::ok;
}

// Stored as the True or False object.
Status record_set(PyObject *inst, std::size_t role, PyObject *value)
{
    if (is_flag_role(role)) {
        const Maybe<bool> on = flag_of(value);
        if (!on) {
            return error;
        }
        value = py_bool(*on);
    }
    return kernel::record::set_node_slot(inst, role, value);
}

// ---- probes -------------------------------------------------------------------------------------

const Signature PROBE_GET_SIG{"_probe_node_get", {arg("inst"), arg("role")}};
const Signature PROBE_SET_SIG{"_probe_node_set", {arg("inst"), arg("role"), opt("value")}};

Ref probe_node_get(PyObject *, FastArgs a)
{
    Bound b;
    const Maybe<std::size_t> role = kernel::record::bind_role(PROBE_GET_SIG, a, b);
    return role ? node_get(b[0], *role) : Ref();
}

Ref probe_node_set(PyObject *, FastArgs a)
{
    Bound b;
    const Maybe<std::size_t> role = kernel::record::bind_role(PROBE_SET_SIG, a, b);
    if (!role || failed(node_set(b[0], *role, b.null_if_none(2)))) {
        return error;
    }
    return none();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef PROBE_NODE_GET_DEF = method<probe_node_get>(
    "_probe_node_get",
    "_probe_node_get($module, /, inst, role)\n--\n\n"
    "The node state of a SymObject or a Record by role: 0 parent, 1 path, 2 sealed, 3 allow_partial, "
    "4 accessor_writable, 5 origin, 6 the attribute view, 7 the host's caches.");
PyMethodDef PROBE_NODE_SET_DEF =
    method<probe_node_set>("_probe_node_set",
                           "_probe_node_set($module, /, inst, role, value=None)\n--\n\n"
                           "Store node state by role; None means no value, a flag takes the value's truth.");

Maybe<bool> is_record(PyObject *type)
{
    return has_attr<"__slot_field_offsets__">(type);
}

Ref node_get(PyObject *inst, std::size_t role)
{
    const Maybe<Storage> storage = storage_of(inst);
    if (!storage) {
        return error;
    }
    return *storage == Storage::Object ? object_get(inst, role)
                                       : kernel::record::node_slot_or_none(inst, role);
}

Status node_set(PyObject *inst, std::size_t role, PyObject *value)
{
    const Maybe<Storage> storage = storage_of(inst);
    if (!storage) {
        return error;
    }
    if (value == Py_None) {
        value = nullptr;
    }
    return *storage == Storage::Object ? object_set(inst, role, value) : record_set(inst, role, value);
}

Maybe<std::optional<TopoFacts>> topo_facts_of(PyObject *inst)
{
    if (!SymObject::check(inst)) {
        return std::optional<TopoFacts>();
    }
    Ref meta = SymObject::ctor_meta(type_of(inst));
    if (!meta) {
        return error;
    }
    MetaRead read(std::move(meta));
    return std::optional<TopoFacts>(read->topo);
}

Status blank_node_guard(PyObject *inst)
{
    if (SymObject::check(inst)) {
        return SymObject::node_read_guard(inst);
    }
    const Maybe<bool> record = is_record(type_of(inst));
    if (!record) {
        return error;
    }
    return *record ? require_initialized_record(inst) : Status::ok;
}

}  // namespace norv::symbolic::object::topology
