// A record's children: the symbolic values in its field cells, whose parent
// is the record itself and whose paths extend the record's path. Adoption
// after construction, re-pathing and the plain read of the cells work on the
// cells without building the attribute view.
#include <vector>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "kernel/layout.hpp"
#include "kernel/record_cells.hpp"
#include "containers/adopt.hpp"
#include "nodes/markers.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/record_object.hpp"
#include "topology/keypath.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic::object {

namespace {

// Each child that follows its own tree gets its path under `new_path`.
Status repath_cells(PyObject *inst, PyObject *new_path)
{
    Ref children = record_symbolic_children(inst);
    if (!children) {
        return error;
    }
    PyObject *keypath_cls = bridge::get().keypath_cls;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children.get()); ++i) {
        PyObject *pair = PyList_GET_ITEM(children.get(), i);
        PyObject *value = PyTuple_GET_ITEM(pair, 1);
        const Maybe<bool> in_tree = markers::in_tree(value);
        if (!in_tree) {
            return error;
        }
        if (!*in_tree) {
            continue;
        }
        PyObject *args[] = {PyTuple_GET_ITEM(pair, 0), new_path};
        Ref path = Ref::steal(PyObject_Vectorcall(keypath_cls, args, 2, nullptr));
        if (!path || !call_method(value, interned<"sym_setpath">(), path.get())) {
            return error;
        }
    }
    return Status::ok;
}

Status record_repath_children(PyObject *inst, PyObject *new_path)
{
    const int is_path = PyObject_IsInstance(new_path, bridge::get().keypath_cls);
    if (is_path <= 0) {
        if (is_path == 0) {
            PyErr_SetNone(PyExc_AssertionError);
        }
        return error;
    }
    const Maybe<bool> sym = truth_attr<"sym_mode">(inst);
    if (!sym || !*sym) {
        return sym ? Status::ok : Status::error;
    }
    const Maybe<bool> kept = record_is_materialized(inst);
    if (!kept) {
        return error;
    }
    if (!*kept) {
        return repath_cells(inst, new_path);
    }
    // The view is authoritative: it re-paths the children itself.
    Ref view = attr<"_sym_attributes">(inst);
    return view && call_method(view.get(), interned<"sym_setpath">(), new_path) ? Status::ok : Status::error;
}

// The raw values of the cells of `names`, None for a blank record. A record
// that keeps its view answers the view's entries, since writes go there
// once it exists.
Ref record_inline_fields(PyObject *inst, PyObject *names)
{
    const Maybe<bool> blank = record_blank_by_names(inst, names);
    if (!blank) {
        return error;
    }
    if (*blank) {
        return none();
    }
    Ref values = kernel::record::read_record_slots(inst, names);
    const Maybe<bool> kept = values ? record_is_materialized(inst) : Maybe<bool>(error);
    if (!kept) {
        return error;
    }
    if (!*kept) {
        return values;
    }
    Maybe<Ref> view = kernel::record::_slot_node_get(inst, kernel::node_state::VIEW);
    if (!view) {
        return error;
    }
    if (!*view || !PyDict_Check(view->get())) {
        return values;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        PyObject *name = PyList_GET_ITEM(names, i);
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(view->get(), name, &found) < 0) {
            return error;
        }
        Ref held = Ref::steal(found);
        if (held && PyDict_SetItem(values.get(), name, held.get()) < 0) {
            return error;
        }
    }
    return values;
}

// ---- the module functions -------------------------------------------------------------------

const Signature ADOPT_SIG{"_slot_record_adopt_children", {arg("inst"), arg("field_names")}};
const Signature REPATH_SIG{"_slot_record_repath_children", {arg("inst"), opt("new_path")}};
const Signature INLINE_SIG{"_slot_record_inline_fields", {arg("inst"), arg("field_names")}};

// `(inst, field_names)` bound, the names as a list of str.
Ref bind_names(const Signature &sig, FastArgs a, Bound &b)
{
    if (failed(sig.bind(a, b))) {
        return error;
    }
    return convert_arg("field_names", [&] { return to_str_list(b[1]); });
}

Ref adopt_children(PyObject *, FastArgs a)
{
    Bound b;
    Ref names = bind_names(ADOPT_SIG, a, b);
    return names && !failed(record_adopt_children(b[0], names.get())) ? none() : Ref();
}

Ref repath_children(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(REPATH_SIG.bind(a, b))) {
        return error;
    }
    // The default None is refused like any other value.
    return failed(record_repath_children(b[0], b.has(1) ? b[1] : Py_None)) ? Ref() : none();
}

Ref inline_fields(PyObject *, FastArgs a)
{
    Bound b;
    Ref names = bind_names(INLINE_SIG, a, b);
    return names ? record_inline_fields(b[0], names.get()) : Ref();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef RECORD_ADOPT_CHILDREN_DEF =
    method<adopt_children>("_slot_record_adopt_children",
                           "_slot_record_adopt_children($module, /, inst, field_names)\n--\n\n"
                           "Make the symbolic values of the named field cells children of the record.");
PyMethodDef RECORD_REPATH_CHILDREN_DEF =
    method<repath_children>("_slot_record_repath_children",
                            "_slot_record_repath_children($module, /, inst, new_path=None)\n--\n\n"
                            "Carry the record's new path to its children.");
PyMethodDef RECORD_INLINE_FIELDS_DEF = method<inline_fields>(
    "_slot_record_inline_fields",
    "_slot_record_inline_fields($module, /, inst, field_names)\n--\n\n"
    "A dict of the named fields' stored values; None for a record whose construction never ran.");

CellCycleScreen::CellCycleScreen(PyObject *inst, bool parented) noexcept
    : inst_(inst), has_ancestors_(parented || adopt::FormerParent::of(inst) != nullptr)
{
}

Status CellCycleScreen::check(PyObject *name, PyObject *value)
{
    if (off_ || (value != inst_ && !has_ancestors_) || typing::funnel::is_scalar_value(value)) {
        return Status::ok;
    }
    // Adoption runs only for a record in its symbolic mode.
    if (!path_) {
        const Maybe<bool> sym = truth_attr<"sym_mode">(inst_);
        if (!sym || !*sym) {
            off_ = bool(sym);
            return sym ? Status::ok : Status::error;
        }
        path_ = attr<"sym_path">(inst_);
        if (!path_) {
            return error;
        }
    }
    Ref path = keypath::child_key_path(name, path_.get());
    return path ? adopt::guard_free_value(inst_, value, path.get()) : Status::error;
}

Status CellCycleScreen::check_dict(PyObject *values)
{
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    bool holds_inst = false;
    while (!has_ancestors_ && !holds_inst && PyDict_Next(values, &pos, &key, &value)) {
        holds_inst = value == inst_;
    }
    if (!has_ancestors_ && !holds_inst) {
        return Status::ok;
    }
    // A snapshot: the checks run host code.
    Ref items = Ref::steal(PyDict_Items(values));
    if (!items) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject *item = PyList_GET_ITEM(items.get(), i);
        if (failed(check(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)))) {
            return error;
        }
    }
    return Status::ok;
}

// The values are adopted from one reading of the cells and written back only
// where adoption changed something and the cell still holds what was read: a
// cell that code run by the adoption wrote meanwhile keeps that write.
Status record_adopt_children(PyObject *inst, PyObject *names)
{
    const Maybe<bool> sym = truth_attr<"sym_mode">(inst);
    if (!sym || !*sym) {
        return sym ? Status::ok : Status::error;
    }
    Ref path = attr<"sym_path">(inst);
    Ref seen = path ? Ref::steal(PySet_New(nullptr)) : Ref();
    Ref offsets = seen ? kernel::record::record_field_offsets(type_of(inst)) : Ref();
    if (!offsets) {
        return error;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(names);
    std::vector<Ref> read;
    read.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Maybe<Ref> value =
            kernel::record::read_field_slot(inst, offsets.get(), PySequence_Fast_GET_ITEM(names, i));
        if (!value) {
            return error;
        }
        read.push_back(std::move(*value));
    }
    std::vector<Ref> adopted;
    adopted.reserve(read.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *value =
            read[static_cast<std::size_t>(i)] ? read[static_cast<std::size_t>(i)].get() : Py_None;
        Ref placed = adopt::relocate_if_symbolic(PySequence_Fast_GET_ITEM(names, i), value, true, path.get(),
                                                 inst, inst, seen.get());
        if (!placed) {
            return error;
        }
        adopted.push_back(std::move(placed));
    }
    Ref changed;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Ref &was = read[static_cast<std::size_t>(i)];
        const Ref &now = adopted[static_cast<std::size_t>(i)];
        // An empty cell counts as changed: it holds None afterwards.
        if (now.get() == was.get()) {
            continue;
        }
        PyObject *name = PySequence_Fast_GET_ITEM(names, i);
        Maybe<Ref> current = kernel::record::read_field_slot(inst, offsets.get(), name);
        if (!current) {
            return error;
        }
        if (current->get() != was.get()) {
            continue;
        }
        if ((!changed && !(changed = Ref::steal(PyDict_New()))) ||
            PyDict_SetItem(changed.get(), name, now.get()) < 0) {
            return error;
        }
    }
    return changed ? kernel::record::write_record_slots(inst, names, changed.get()) : Status::ok;
}

}  // namespace norv::symbolic::object
