#include "kernel/record_cells.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/dict_keys.hpp"
#include "core/dict_stamp.hpp"
#include "core/names.hpp"
#include "kernel/layout.hpp"
#include "kernel/quoted.hpp"

namespace norv::kernel::record {

namespace {

// The most-derived kernel type of the instance, or the refusal.
PyTypeObject *record_type_of(PyObject *inst)
{
    if (PyTypeObject *kt = kernel_type_of(Py_TYPE(inst))) {
        return kt;
    }
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(inst)));
    if (name) {
        (void)raise_format(PyExc_RuntimeError, "slot record: '%U' object is not an inline-slot Record",
                           name.get());
    }
    return nullptr;
}

// The role's cell in `inst`, after every check.
PyObject **node_cell(PyObject *inst, std::size_t role)
{
    if (role >= node_state::COUNT) {
        (void)raise_format(
            PyExc_RuntimeError,
            "slot record: node-state role %zu out of range (0..8; the reserved region's trailing "
            "cell is the CPython-owned __weakref__ list head, #452)",
            role);
        return nullptr;
    }
    PyTypeObject *kt = record_type_of(inst);
    if (kt == nullptr) {
        return nullptr;
    }
    const std::size_t reserved = record_of(kt).root_reserved;
    if (role >= reserved) {
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(inst)));
        if (name) {
            (void)raise_format(
                PyExc_RuntimeError,
                "slot record: node-state role %zu is not a reserved cell of '%U' (its root region "
                "reserves %zu)",
                role, name.get(), reserved);
        }
        return nullptr;
    }
    return &cell_at(inst, root_region_start() + CELL * role);
}

// The cell of the field `name` at `offset`, when that is one of the field
// cells of the instance's layout: the offsets come from a writable class
// attribute, so they are checked against the kernel's own record of every
// region.
PyObject **field_cell(PyObject *inst, std::size_t offset, PyObject *name)
{
    PyTypeObject *kt = record_type_of(inst);
    if (kt == nullptr) {
        return nullptr;
    }
    for (PyTypeObject *t = kt; t != nullptr; t = kernel_type_of(t->tp_base)) {
        if (record_of(t).layout.holds_field(offset)) {
            return &cell_at(inst, offset);
        }
    }
    Ref q = quoted(name);
    Ref type_name = q ? Ref::steal(PyType_GetName(Py_TYPE(inst))) : Ref();
    if (type_name) {
        (void)raise_format(PyExc_RuntimeError,
                           "slot record: field %U is at offset %zu, which is not a field cell of '%U'",
                           q.get(), offset, type_name.get());
    }
    return nullptr;
}

// The cell of the field `name` of `inst`, found through `offsets`.
PyObject **named_cell(PyObject *inst, PyObject *offsets, PyObject *name)
{
    const Maybe<std::size_t> offset = field_slot_offset(offsets, name);
    return offset ? field_cell(inst, *offset, name) : nullptr;
}

Ref offsets_of(PyObject *inst)
{
    return record_field_offsets(reinterpret_cast<PyObject *>(Py_TYPE(inst)));
}

// Runs `step(name, cell)` for each name of `names` in order, the cell found
// through the offsets of the instance's type; the first error stops. The
// list is read afresh at each step, as a step may run code.
template <class Step>
Status for_each_field_cell(PyObject *inst, PyObject *names, Step &&step)
{
    Ref offsets = offsets_of(inst);
    if (!offsets) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names); ++i) {
        Ref name = Ref::borrow(PySequence_Fast_GET_ITEM(names, i));
        PyObject **cell = named_cell(inst, offsets.get(), name.get());
        if (cell == nullptr || failed(step(name.get(), cell))) {
            return error;
        }
    }
    return Status::ok;
}

void store(PyObject **cell, PyObject *value) noexcept
{
    Ref previous = Ref::steal(std::exchange(*cell, Py_XNewRef(value)));
}

// ---- the Python seams -----------------------------------------------------------------------

const Signature GET_SIG{"_slot_node_get", {arg("inst"), arg("role")}};
const Signature SET_SIG{"_slot_node_set", {arg("inst"), arg("role"), opt("value")}};
const Signature IF_ABSENT_SIG{"_slot_node_set_if_absent", {arg("inst"), arg("role"), arg("value")}};

Ref node_get(PyObject *, FastArgs a)
{
    Bound b;
    const Maybe<std::size_t> role = bind_role(GET_SIG, a, b);
    return role ? node_slot_or_none(b[0], *role) : Ref();
}

Ref node_set(PyObject *, FastArgs a)
{
    Bound b;
    const Maybe<std::size_t> role = bind_role(SET_SIG, a, b);
    if (!role || failed(set_node_slot(b[0], *role, b.null_if_none(2)))) {
        return error;
    }
    return none();
}

Ref node_set_if_absent(PyObject *, FastArgs a)
{
    Bound b;
    const Maybe<std::size_t> role = bind_role(IF_ABSENT_SIG, a, b);
    return role ? set_node_slot_if_absent(b[0], *role, b[2]) : Ref();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef NODE_GET_DEF =
    method<node_get>("_slot_node_get",
                     "_slot_node_get($module, /, inst, role)\n--\n\n"
                     "The object in a Record's node-state cell, None when it is empty.");
PyMethodDef NODE_SET_DEF = method<node_set>("_slot_node_set",
                                            "_slot_node_set($module, /, inst, role, value=None)\n--\n\n"
                                            "Store a value in a Record's node-state cell; None empties it.");
PyMethodDef NODE_SET_IF_ABSENT_DEF =
    method<node_set_if_absent>("_slot_node_set_if_absent",
                               "_slot_node_set_if_absent($module, /, inst, role, value)\n--\n\n"
                               "The occupant of a Record's node-state cell, `value` stored first when "
                               "the cell is empty.");

Status require_record(PyObject *inst)
{
    return record_type_of(inst) != nullptr ? Status::ok : Status::error;
}

std::optional<std::size_t> root_reserved_of(PyObject *inst) noexcept
{
    PyTypeObject *kt = kernel_type_of(Py_TYPE(inst));
    if (kt == nullptr) {
        return std::nullopt;
    }
    return record_of(kt).root_reserved;
}

Maybe<std::size_t> bind_role(const Signature &sig, FastArgs a, Bound &b)
{
    if (failed(sig.bind(a, b))) {
        return error;
    }
    return convert_arg("role", [&] { return to_usize(b[1]); });
}

Maybe<Ref> _slot_node_get(PyObject *inst, std::size_t role)
{
    PyObject **cell = node_cell(inst, role);
    if (cell == nullptr) {
        return error;
    }
    return Ref::borrow(*cell);
}

Ref node_slot_or_none(PyObject *inst, std::size_t role)
{
    Maybe<Ref> value = _slot_node_get(inst, role);
    if (!value) {
        return error;
    }
    return *value ? std::move(*value) : none();
}

Status set_node_slot(PyObject *inst, std::size_t role, PyObject *value)
{
    PyObject **cell = node_cell(inst, role);
    if (cell == nullptr) {
        return error;
    }
    store(cell, value);
    return Status::ok;
}

Ref set_node_slot_if_absent(PyObject *inst, std::size_t role, PyObject *value)
{
    PyObject **cell = node_cell(inst, role);
    if (cell == nullptr) {
        return error;
    }
    if (*cell == nullptr) {
        *cell = Py_NewRef(value);
    }
    return Ref::borrow(*cell);
}

Ref record_field_offsets(PyObject *type)
{
    Ref offsets = attr<"__slot_field_offsets__">(type);
    if (offsets && !PyDict_Check(offsets.get())) {
        return raise(PyExc_RuntimeError,
                     "slot record: `__slot_field_offsets__` is not a dict — not an inline-slot Record");
    }
    return offsets;
}

Maybe<std::size_t> field_slot_offset(PyObject *offsets, PyObject *name)
{
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(offsets, name, &found) < 0) {
        return error;
    }
    Ref offset = Ref::steal(found);
    if (!offset) {
        Ref q = quoted(name);
        return q ? raise_format(PyExc_RuntimeError,
                                "slot record: field %U is not in the Record's inline-slot layout", q.get())
                 : error;
    }
    return to_usize(offset.get());
}

Ref read_record_slots(PyObject *inst, PyObject *names)
{
    Ref out = Ref::steal(PyDict_New());
    if (!out || failed(for_each_field_cell(inst, names, [&](PyObject *name, PyObject **cell) {
            // Held: hashing a str subclass's name may run code that empties the cell.
            Ref value = Ref::borrow(*cell != nullptr ? *cell : Py_None);
            return check(PyDict_SetItem(out.get(), name, value.get()));
        }))) {
        return error;
    }
    return out;
}

Status write_record_slots(PyObject *inst, PyObject *names, PyObject *values)
{
    return for_each_field_cell(inst, names, [&](PyObject *name, PyObject **cell) -> Status {
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(values, name, &found) < 0) {
            return error;
        }
        if (found != nullptr) {
            // The lookup may have run code; the cell is where it was, since
            // the instance keeps its layout for life.
            Ref value = Ref::steal(found);
            store(cell, value.get());
        }
        return Status::ok;
    });
}

namespace {

// The cells a tuple of field names lands in, found once and kept for an
// instance type (by its version tag, which changes with its bases and
// attributes), its offsets dict as last modified (a new dict starts with a
// stamp of its own) and the very names tuple (held, so that its address
// names no other). Kept only where finding them ran no code: exact str
// names and offset keys, exact int offsets.
struct CellPlan {
    PyTypeObject *type = nullptr;
    unsigned int version = 0;
    PyObject *offsets = nullptr;
    std::uint64_t stamp = 0;
    Ref names;
    std::vector<std::size_t> cells;
};

CellPlan &plan_of(PyTypeObject *tp) noexcept
{
    // Never released: an entry may hold a tuple at exit.
    static auto *const plans = new std::array<CellPlan, 8>();
    return (*plans)[static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(tp) * 0x9E3779B97F4A7C15ULL) >>
                                             61)];
}

const CellPlan *current_plan(PyObject *inst, PyObject *offsets, PyObject *names) noexcept
{
    PyTypeObject *tp = Py_TYPE(inst);
    const CellPlan &p = plan_of(tp);
    const std::optional<std::uint64_t> stamp = dict_stamp(offsets);
    return p.type == tp && p.version != 0 && p.version == tp->tp_version_tag && p.offsets == offsets &&
                   p.names.get() == names && stamp && *stamp == p.stamp
               ? &p
               : nullptr;
}

// Keeps `cells` as the plan of `names` when finding them ran no code and
// neither the type nor the offsets dict changed since (`version` and
// `stamp`, taken before).
void keep_plan(PyObject *inst, PyObject *offsets, PyObject *names, unsigned int version,
               std::optional<std::uint64_t> stamp, std::vector<std::size_t> &&cells)
{
    PyTypeObject *tp = Py_TYPE(inst);
    if (!stamp || !same_stamp(stamp, dict_stamp(offsets)) || version == 0 || tp->tp_version_tag != version ||
        !exact_str_keys(offsets)) {
        return;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject *name = PyTuple_GET_ITEM(names, i);
        // No code runs: exact str keys on both sides.
        PyObject *offset = PyUnicode_CheckExact(name) ? PyDict_GetItemWithError(offsets, name) : nullptr;
        if (offset == nullptr || !PyLong_CheckExact(offset)) {
            return;
        }
    }
    plan_of(tp) = CellPlan{tp, version, offsets, *stamp, Ref::borrow(names), std::move(cells)};
}

}  // namespace

Status write_record_slots_by(PyObject *inst, PyObject *names, ValueOf value_of, void *context)
{
    auto put = [&](PyObject *name, PyObject **cell) {
        if (PyObject *value = value_of(context, name)) {
            // Held across the store, which may release the last reference to what the cell held.
            Ref held = Ref::borrow(value);
            store(cell, held.get());
        }
    };
    Ref offsets = offsets_of(inst);
    if (!offsets) {
        return error;
    }
    if (const CellPlan *plan = current_plan(inst, offsets.get(), names)) {
        // The plan is the owner's: a store's finalizer may replace it, so its cells are copied.
        const std::vector<std::size_t> cells = plan->cells;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
            put(PyTuple_GET_ITEM(names, i), &cell_at(inst, cells[static_cast<std::size_t>(i)]));
        }
        return Status::ok;
    }
    const bool plannable = PyTuple_CheckExact(names);
    const unsigned int version = Py_TYPE(inst)->tp_version_tag;
    const std::optional<std::uint64_t> stamp = plannable ? dict_stamp(offsets.get()) : std::nullopt;
    std::vector<std::size_t> cells;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names); ++i) {
        Ref name = Ref::borrow(PySequence_Fast_GET_ITEM(names, i));
        PyObject **cell = named_cell(inst, offsets.get(), name.get());
        if (cell == nullptr) {
            return error;
        }
        if (plannable) {
            cells.push_back(
                static_cast<std::size_t>(reinterpret_cast<char *>(cell) - reinterpret_cast<char *>(inst)));
        }
        put(name.get(), cell);
    }
    if (plannable) {
        keep_plan(inst, offsets.get(), names, version, stamp, std::move(cells));
    }
    return Status::ok;
}

Maybe<bool> record_field_written(PyObject *inst, PyObject *name)
{
    Ref offsets = offsets_of(inst);
    PyObject **cell = offsets ? named_cell(inst, offsets.get(), name) : nullptr;
    if (cell == nullptr) {
        return error;
    }
    return *cell != nullptr;
}

Maybe<Ref> read_field_slot(PyObject *inst, PyObject *offsets, PyObject *name)
{
    PyObject **cell = named_cell(inst, offsets, name);
    if (cell == nullptr) {
        return error;
    }
    return Ref::borrow(*cell);
}

}  // namespace norv::kernel::record
