// What the object layer does with a Record instance beyond its kernel cells:
// the reserved count its class reports, whether its construction ran,
// seeding its node state, its attribute view, its symbolic children and its
// construction. Cells are reached only through the kernel's checked
// accessors.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "core/error.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::object {

struct CloneContext;

// `type.__slot_reserved__` as a count; 0 when it is missing or no count (the
// ordinary error dropped).
Maybe<std::size_t> record_reserved_count(PyObject *type);

// Passes for a Record whose construction ran: its first init field written
// (`__slot_field_names__`), or, without init fields, its allow-partial cell
// filled; ValueError "{}.__init__ should call `super().__init__`." otherwise.
Status require_initialized_record(PyObject *inst);

// Whether the Record's construction has not run, told by the first of
// `names` (a list of str) as `require_initialized_record` tells it.
Maybe<bool> record_blank_by_names(PyObject *inst, PyObject *names);

// Whether the Record keeps its attribute view: an instance of a kernel type,
// a full reserved region and a filled view cell. Only an error that is not
// an ordinary one (an interrupt) escapes.
Maybe<bool> record_is_materialized(PyObject *inst);

// A list of (name, value) for each name of `__slot_symbolic_field_names__`,
// in order, the value the field cell's object or None.
Ref record_symbolic_children(PyObject *inst);

// `sealed` when given, else the truth of the class options' `frozen`.
Maybe<bool> sealed_or_frozen(PyObject *options, std::optional<bool> sealed);

// The record's parent as its cell holds it: an empty Ref when it has none
// (an empty cell or None), or when the record has no such cell (the seeding
// reports that).
Maybe<Ref> record_parent_cell(PyObject *inst);

// Seeds node-state roles 0..5: no parent, the path (`root_path`, else the
// host's empty path), sealed (`sealed`, else the class's `frozen`),
// `allow_partial`, accessor-writable from the class's `attr_write`, and an
// origin only under origin tracking. The view and caches stay.
Status record_init_node_state(PyObject *inst, bool allow_partial, std::optional<bool> sealed,
                              PyObject *root_path);

// The Record's attribute view, built from its cells and installed on first
// request; the same view on every later one.
Ref record_materialize(PyObject *inst, PyObject *field_names);

// Stores the entries of `values` (a dict) in the cells of `names` (a list
// or tuple of str). A view the record kept is dropped: the cells hold its fields
// again, and a later request builds the view from them.
Status record_write_fields(PyObject *inst, PyObject *names, PyObject *values);
// The view dropped after the cells were written anew, as `record_write_fields` does.
Status record_drop_kept_view(PyObject *inst);

// Screens the values a construction is about to write into the cells of a
// record: a cell keeps what the later adoption refuses, so a value adoption
// would refuse as a cycle (the record itself or, while the record is
// constructed again, an ancestor it had or has) is refused before any cell
// is written. Costs nothing unless a value is the record, a parent was
// detached by the seeding or the record is `parented` (validation, which
// runs host code, may have given it a parent).
class CellCycleScreen {
public:
    explicit CellCycleScreen(PyObject *inst, bool parented = false) noexcept;

    // The value to be written under `name`.
    Status check(PyObject *name, PyObject *value);
    // Each item of the dict `values`.
    Status check_dict(PyObject *values);

private:
    PyObject *inst_;
    bool has_ancestors_;
    bool off_ = false;  // the record is in no symbolic tree: nothing is adopted
    Ref path_;          // the record's path, read when first needed
};

// Makes each symbolic value in the cells of `names` (a list or tuple of
// str) a child of the record
// (cloned when it belongs elsewhere) and stores it back; nothing for a
// record whose `sym_mode` is off.
Status record_adopt_children(PyObject *inst, PyObject *names);

// The construction core: the keywords classified by `names` (a list or
// tuple of str) and screened,
// validated against the class's `sym_fields.schema`, missing fields refused,
// the cells written. The screening removes what a class that ignores
// unexpected keywords drops from `kwargs` (nullptr: none) itself;
// `kwargs_owned` says that no caller can see that dict, so no host code
// can change it while validation runs.
Status record_construct(PyObject *inst, PyObject *names, PyObject *kwargs, bool kwargs_owned,
                        bool allow_partial, PyObject *child_transform, PyObject *root_path);

// The shared tail: the non-symbolic fields seeded (or cloned from the
// clone's source), `on_sym_post_init` unless the class says it is a no-op,
// the seal when `sealed`.
Status record_finish(PyObject *inst, PyObject *cls, bool sealed, const CloneContext &clone);

// The body of the native record `tp_init`.
Status record_tp_init_body(PyObject *obj, PyObject *args, PyObject *kwargs);

}  // namespace norv::symbolic::object
