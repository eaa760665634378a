#include "kernel/heap_type.hpp"

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "kernel/gc.hpp"
#include "kernel/quoted.hpp"
#include "kernel/slots.hpp"

namespace norv::kernel::heap_type {

namespace {

// Everything a type's descriptors point into. Made once per type and never
// released once the type is built: CPython's descriptors keep pointers into
// the getset table for the life of the type, and the bakes find the field
// closures through it. The table's first entry is hidden from CPython (the
// type points at the second); its closure leads to the record (`record_of`).
struct TypeTables {
    TypeRecord record;
    std::vector<std::string> names;  // C strings of the field entries, then the type's name
    std::vector<slots::FieldMeta> fields;
    std::vector<PyGetSetDef> getset;

    TypeTables() = default;
    TypeTables(const TypeTables &) = delete;
    TypeTables &operator=(const TypeTables &) = delete;
    // Only the tables of a build that failed are destroyed.
    ~TypeTables()
    {
        for (const slots::FieldMeta &field : fields) {
            Py_DECREF(field.name);
        }
    }
};

// Whether the caller's reference is the only way to reach `tp` and its
// descriptors: every other reference to the type comes from its own method
// resolution order and its own descriptors, and nothing else holds those or
// its dict. Host code run during a build (an inherited key's comparison, a
// base's attribute) could have taken any of them.
bool unshared(PyTypeObject *tp)
{
    PyObject *dict = tp->tp_dict, *mro = tp->tp_mro;
    // Another metaclass's clear may run host code of its own.
    if (!Py_IS_TYPE(tp, &PyType_Type) || dict == nullptr || mro == nullptr || Py_REFCNT(dict) != 1 ||
        Py_REFCNT(mro) != 1 || !PyTuple_Check(mro)) {
        return false;
    }
    Py_ssize_t own = 1;  // the caller's
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        own += PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject *>(tp);
    }
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (Py_IS_TYPE(value, &PyGetSetDescr_Type) && PyDescr_TYPE(value) == tp) {
            if (Py_REFCNT(value) != 1) {
                return false;
            }
            ++own;
        }
    }
    return Py_REFCNT(tp) == own;
}

// Drops a type whose build failed after it was created, with the error in
// flight. The type is cleared and freed at once, as the collector would
// later, and its tables with it, so that nothing is left behind; a type
// that something else still reaches keeps its tables, which its
// descriptors point into.
Error abandon(Ref type, std::unique_ptr<TypeTables> tables)
{
    auto *tp = reinterpret_cast<PyTypeObject *>(type.get());
    if (!unshared(tp)) {
        (void)tables.release();
        return error;
    }
    PyObject *in_flight = PyErr_GetRaisedException();
    (void)PyType_Type.tp_clear(type.get());
    if (Py_REFCNT(tp) != 1) {
        (void)tables.release();
    }
    type.reset();
    PyErr_SetRaisedException(in_flight);
    return error;
}

// The hierarchy's reserved cells before this type: what the base says, or 0
// when that cannot be read as a non-negative int.
Maybe<std::size_t> inherited_reserved(PyTypeObject *base)
{
    Ref count = attr<"__slot_reserved__">(reinterpret_cast<PyObject *>(base));
    Maybe<std::size_t> n = count ? to_usize(count.get()) : Maybe<std::size_t>(error);
    if (n) {
        return n;
    }
    if (failed(discard_ordinary_error())) {
        return error;
    }
    return std::size_t{0};
}

// The base's offsets as a new plain dict, or a new empty one when the base
// has none that can be read.
Ref inherited_offsets(PyTypeObject *base)
{
    if (base == nullptr) {
        return Ref::steal(PyDict_New());
    }
    Ref offsets = attr<"__slot_field_offsets__">(reinterpret_cast<PyObject *>(base));
    if (!offsets) {
        return failed(discard_ordinary_error()) ? Ref() : Ref::steal(PyDict_New());
    }
    if (!PyDict_Check(offsets.get())) {
        return raise_not_instance(offsets.get(), "dict");
    }
    return Ref::steal(PyDict_Copy(offsets.get()));
}

Error reserved_name_error(PyObject *name)
{
    Ref q = quoted(name);
    return q ? raise_format(PyExc_ValueError,
                            "field name %U collides with a reserved instance-layout descriptor", q.get())
             : error;
}

Error duplicate_field_error(PyObject *name)
{
    Ref q = quoted(name);
    return q ? raise_format(
                   PyExc_ValueError,
                   "slot record field %U collides with an inherited or earlier field; a Record's own "
                   "fields must be strictly new (no duplicate inline slot)",
                   q.get())
             : error;
}

// The UTF-8 text of a name, refused when it holds a NUL (it could not be a C string).
Status c_string(PyObject *name, std::string &out)
{
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        return error;
    }
    if (std::strlen(text) != static_cast<std::size_t>(size)) {
        return raise(PyExc_ValueError, "name and field names must not contain interior nul bytes");
    }
    out.assign(text, static_cast<std::size_t>(size));
    return Status::ok;
}

// The plan's basic size, when a type can have it.
Maybe<int> basic_size(const Layout &layout)
{
    const std::size_t room = (static_cast<std::size_t>(INT_MAX) - layout.region_start) / CELL;
    if (layout.region_start > static_cast<std::size_t>(INT_MAX) || layout.reserved > room ||
        layout.field_count > room - layout.reserved) {
        return raise(PyExc_OverflowError, "slot record: the layout's cells do not fit a type's basic size");
    }
    return static_cast<int>(layout.basic_size());
}

Ref qualified_name(PyObject *name)
{
    const Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
    if (dot == -2) {
        return error;
    }
    if (dot >= 0) {
        return Ref::borrow(name);
    }
    return Ref::steal(PyUnicode_FromFormat("norv_core._native.%U", name));
}

Status set_type_attr(PyObject *type, PyObject *name, PyObject *value)
{
    return check(PyObject_SetAttr(type, name, value));
}

// ---- making a type, step by step --------------------------------------------------------------

// `__weakref__` and `__dict__` name the instance layout's own descriptors.
Status refuse_reserved_names(PyObject *field_names)
{
    const Py_ssize_t count = PyList_GET_SIZE(field_names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *field = PyList_GET_ITEM(field_names, i);
        if (PyUnicode_EqualToUTF8(field, "__weakref__") || PyUnicode_EqualToUTF8(field, "__dict__")) {
            return reserved_name_error(field);
        }
    }
    return Status::ok;
}

// The C strings the descriptors point at: each field's, then the type's name.
Status fill_names(TypeTables &tables, PyObject *field_names, PyObject *qualified)
{
    const Py_ssize_t count = PyList_GET_SIZE(field_names);
    tables.names.resize(static_cast<std::size_t>(count) + 1);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (failed(c_string(PyList_GET_ITEM(field_names, i), tables.names[static_cast<std::size_t>(i)]))) {
            return error;
        }
    }
    return c_string(qualified, tables.names.back());
}

// The hierarchy's reserved cells with this type's, and its root's.
struct Reserved {
    std::size_t total;
    std::size_t root;
};

Maybe<Reserved> reserved_of(const Layout &layout, PyTypeObject *base)
{
    if (base == nullptr) {
        return Reserved{layout.reserved, layout.reserved};
    }
    const Maybe<std::size_t> inherited = inherited_reserved(base);
    if (!inherited) {
        return error;
    }
    return Reserved{layout.reserved + *inherited, record_of(kernel_type_of(base)).root_reserved};
}

// One field closure per field, read as the hierarchy's reserved cells say,
// and the getset table over them: a hidden head entry leading to the record,
// the fields, then `__weakref__` when the type holds the weak-reference head.
Status fill_descriptors(TypeTables &tables, const Reserved &reserved, bool sym_mode, bool weak)
{
    const Layout &layout = tables.record.layout;
    const Topology topology = topology_of(reserved.total);
    const bool view = topology == Topology::Full && reserved.root > node_state::VIEW;
    const std::size_t count = tables.names.size() - 1;
    tables.fields.reserve(count);
    for (std::size_t position = 0; position < count; ++position) {
        PyObject *interned_name = PyUnicode_InternFromString(tables.names[position].c_str());
        if (interned_name == nullptr) {
            return error;
        }
        tables.fields.push_back(
            {layout.field_offset(position), interned_name, topology, sym_mode, slots::Kind::Symbolic, view});
    }
    tables.getset.push_back({nullptr, nullptr, nullptr, nullptr, &tables.record});
    for (std::size_t i = 0; i < tables.fields.size(); ++i) {
        tables.getset.push_back(
            {tables.names[i].c_str(), &slots::field_getter, &slots::slot_setter, nullptr, &tables.fields[i]});
    }
    if (weak) {
        tables.getset.push_back({"__weakref__", &slots::weaklist_getter, nullptr, nullptr, nullptr});
    }
    tables.getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    return Status::ok;
}

// The type itself, over `base` (object when none), its descriptors pointing
// into `tables`.
Ref create_type(std::unique_ptr<TypeTables> &owned, int basic_size, PyTypeObject *base, bool weak)
{
    TypeTables &tables = *owned;
    std::vector<PyType_Slot> type_slots = {
        {Py_tp_getset, tables.getset.data() + 1},
        {Py_tp_traverse, reinterpret_cast<void *>(&gc::traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(&gc::clear)},
        {Py_tp_dealloc, reinterpret_cast<void *>(gc::dealloc)},
    };
    // The weak-reference head is the reserved cell after the node state; the
    // type learns its offset from this member (CPython copies the table).
    PyMemberDef weak_members[] = {
        {"__weaklistoffset__", Py_T_PYSSIZET,
         static_cast<Py_ssize_t>(tables.record.layout.region_start + CELL * node_state::COUNT), Py_READONLY,
         nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    if (weak) {
        type_slots.push_back({Py_tp_members, weak_members});
    }
    type_slots.push_back({0, nullptr});
    PyType_Spec spec = {
        .name = tables.names.back().c_str(),
        .basicsize = basic_size,
        .itemsize = 0,
        .flags = Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        .slots = type_slots.data(),
    };
    Ref bases =
        Ref::steal(PyTuple_Pack(1, base != nullptr ? reinterpret_cast<PyObject *>(base)
                                                   : reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!bases) {
        return error;
    }
    Ref type = Ref::steal(PyType_FromSpecWithBases(&spec, bases.get()));
    if (!type) {
        // A type half made before the failure may still point into them.
        (void)owned.release();
        return error;
    }
    auto *tp = reinterpret_cast<PyTypeObject *>(type.get());
    if (tp->tp_getset != tables.getset.data() + 1 || kernel_type_of(tp) != tp) {
        (void)owned.release();
        panic("Record types keep the kernel's getset table and traverse slot");
    }
    return type;
}

// `__slot_field_offsets__`: the base's offsets and this type's fields, each
// strictly new.
Status publish_offsets(PyObject *type, PyTypeObject *base, const std::vector<slots::FieldMeta> &fields)
{
    Ref offsets = inherited_offsets(base);
    if (!offsets) {
        return error;
    }
    for (const slots::FieldMeta &field : fields) {
        const int present = PyDict_Contains(offsets.get(), field.name);
        if (present < 0) {
            return error;
        }
        if (present > 0) {
            return duplicate_field_error(field.name);
        }
        Ref offset = Ref::steal(PyLong_FromSize_t(field.offset));
        if (!offset || PyDict_SetItem(offsets.get(), field.name, offset.get()) < 0) {
            return error;
        }
    }
    return set_type_attr(type, interned<"__slot_field_offsets__">(), offsets.get());
}

}  // namespace

Ref make(PyObject *name, PyObject *field_names, Layout layout, PyTypeObject *base, bool sym_mode)
{
    Ref qualified = qualified_name(name);
    if (!qualified || failed(refuse_reserved_names(field_names))) {
        return error;
    }
    auto tables = std::make_unique<TypeTables>();
    if (failed(fill_names(*tables, field_names, qualified.get()))) {
        return error;
    }
    const Maybe<Reserved> reserved = reserved_of(layout, base);
    if (!reserved) {
        return error;
    }
    const Maybe<int> size = basic_size(layout);
    if (!size) {
        return error;
    }
    tables->record = {layout, reserved->root};
    const bool weak = base == nullptr && layout.reserved > node_state::COUNT;
    if (failed(fill_descriptors(*tables, *reserved, sym_mode, weak))) {
        return error;
    }
    Ref type = create_type(tables, *size, base, weak);
    if (!type) {
        return error;
    }
    Ref total_count = Ref::steal(PyLong_FromSize_t(reserved->total));
    if (!total_count ||
        failed(set_type_attr(type.get(), interned<"__slot_reserved__">(), total_count.get())) ||
        failed(publish_offsets(type.get(), base, tables->fields))) {
        return abandon(std::move(type), std::move(tables));
    }
    // Built: its descriptors point into the tables for the life of the process.
    (void)tables.release();
    return type;
}

namespace {

// A subtype's cells continue its base's: the base must be a kernel-built type,
// or a subclass of one that adds no storage of its own (no member slots,
// instance dict or weak-reference list), whose instances the kernel's sweeps
// would otherwise misread or leave behind.
Status accept_base(PyTypeObject *base)
{
    PyTypeObject *kt = kernel_type_of(base);
    constexpr unsigned long preheader = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF;
    if (kt != nullptr && base->tp_basicsize == kt->tp_basicsize && base->tp_itemsize == 0 &&
        base->tp_dictoffset == kt->tp_dictoffset && base->tp_weaklistoffset == kt->tp_weaklistoffset &&
        (base->tp_flags & preheader) == (kt->tp_flags & preheader)) {
        return Status::ok;
    }
    return raise_format(PyExc_TypeError,
                        "'%s' is not an inline-slot Record type, nor a subclass of one that adds no "
                        "instance storage",
                        base->tp_name);
}

const Signature MAKE_SIG{"_kernel_make_record",
                         {arg("name"), arg("field_names"), arg("reserved_count"), opt("sym_mode")}};
const Signature SUBTYPE_SIG{
    "_kernel_make_record_subtype",
    {arg("base"), arg("name"), arg("field_names"), arg("reserved_count"), opt("sym_mode")}};

struct RecordArgs {
    PyObject *name;
    Ref field_names;
    std::size_t reserved;
    bool sym_mode;
};

// The arguments both builders share, from `first` on.
Maybe<RecordArgs> record_args(const Bound &b, std::size_t first)
{
    PyObject *name = b[first];
    if (!PyUnicode_Check(name)) {
        (void)raise_not_instance(name, "str");
        wrap_argument_error("name");
        return error;
    }
    Ref names = convert_arg("field_names", [&] { return to_str_list(b[first + 1]); });
    if (!names) {
        return error;
    }
    const Maybe<std::size_t> reserved = convert_arg("reserved_count", [&] { return to_usize(b[first + 2]); });
    if (!reserved) {
        return error;
    }
    const Maybe<bool> sym_mode = bool_arg("sym_mode", b[first + 3], true, ArgCause::Conversion);
    if (!sym_mode) {
        return error;
    }
    return RecordArgs{name, std::move(names), *reserved, *sym_mode};
}

Ref make_record(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(MAKE_SIG.bind(a, b))) {
        return error;
    }
    Maybe<RecordArgs> r = record_args(b, 0);
    if (!r) {
        return error;
    }
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(r->field_names.get()));
    return make(r->name, r->field_names.get(), Layout::root(r->reserved, count), nullptr, r->sym_mode);
}

Ref make_record_subtype(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(SUBTYPE_SIG.bind(a, b))) {
        return error;
    }
    PyTypeObject *base = type_arg("base", b[0]);
    if (base == nullptr) {
        return error;
    }
    Maybe<RecordArgs> r = record_args(b, 1);
    if (!r || failed(accept_base(base))) {
        return error;
    }
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(r->field_names.get()));
    return make(r->name, r->field_names.get(), Layout::for_base(base, r->reserved, count), base, r->sym_mode);
}

Ref record_layout(PyObject *)
{
    return Ref::steal(
        Py_BuildValue("(nn)", static_cast<Py_ssize_t>(root_region_start()), static_cast<Py_ssize_t>(CELL)));
}

Ref topology_reserved(PyObject *)
{
    return Ref::steal(PyLong_FromSize_t(TOPOLOGY_RESERVED));
}

const Signature PROBE_LAYOUT_SIG{"_kernel_probe_type_layout", {arg("cls")}};
const Signature GENERIC_GETATTR_SIG{"_kernel_generic_getattr", {arg("obj"), arg("name")}};

Ref probe_type_layout(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(PROBE_LAYOUT_SIG.bind(a, b))) {
        return error;
    }
    PyTypeObject *cls = type_arg("cls", b[0]);
    if (cls == nullptr) {
        return error;
    }
    Ref name = Ref::steal(
        PyUnicode_DecodeUTF8(cls->tp_name, static_cast<Py_ssize_t>(std::strlen(cls->tp_name)), "replace"));
    if (!name) {
        return error;
    }
    return Ref::steal(Py_BuildValue("(nnO)", cls->tp_basicsize, cls->tp_dictoffset, name.get()));
}

Ref generic_getattr(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(GENERIC_GETATTR_SIG.bind(a, b))) {
        return error;
    }
    return Ref::steal(PyObject_GenericGetAttr(b[0], b[1]));
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef MAKE_RECORD_DEF = method<make_record>(
    "_kernel_make_record",
    "_kernel_make_record($module, /, name, field_names, reserved_count, sym_mode=True)\n--\n\n"
    "A new root Record type: `reserved_count` reserved cells, then one cell per field.");
PyMethodDef MAKE_RECORD_SUBTYPE_DEF = method<make_record_subtype>(
    "_kernel_make_record_subtype",
    "_kernel_make_record_subtype($module, /, base, name, field_names, reserved_count, sym_mode=True)\n--\n\n"
    "A new Record type extending `base` with reserved cells and fields of its own.");
PyMethodDef RECORD_LAYOUT_DEF = method_noargs<record_layout>(
    "_kernel_record_layout",
    "_kernel_record_layout($module)\n--\n\n"
    "(object.__basicsize__, cell size): where Record cells start, and their size.");
PyMethodDef TOPOLOGY_RESERVED_DEF = method_noargs<topology_reserved>(
    "_kernel_topology_reserved",
    "_kernel_topology_reserved($module)\n--\n\n"
    "The reserved cells of a production Record: the node-state roles and the weak-reference head.");
PyMethodDef PROBE_TYPE_LAYOUT_DEF =
    method<probe_type_layout>("_kernel_probe_type_layout",
                              "_kernel_probe_type_layout($module, /, cls)\n--\n\n"
                              "(tp_basicsize, tp_dictoffset, tp_name) as the type object holds them.");
PyMethodDef GENERIC_GETATTR_DEF =
    method<generic_getattr>("_kernel_generic_getattr",
                            "_kernel_generic_getattr($module, /, obj, name)\n--\n\n"
                            "object.__getattribute__(obj, name).");

}  // namespace norv::kernel::heap_type
