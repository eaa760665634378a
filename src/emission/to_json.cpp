#include "emission/to_json.hpp"

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/truth.hpp"
#include "core/unfilled.hpp"
#include "kernel/record_cells.hpp"
#include "containers/dict.hpp"
#include "containers/list.hpp"
#include "nodes/markers.hpp"
#include "objects/record_object.hpp"
#include "objects/sym_object.hpp"
#include "objects/object_topology.hpp"

namespace norv::symbolic::ops {

namespace {

using object::SymObject;

// The host's default object-level `sym_jsonify`: a class whose own is another
// object customises its JSON form, and the walk leaves it to the host.
ObjectCell DEFAULT_OBJECT_SYM_JSONIFY;

// One nesting level of the walk, entered below the depth bound.
class Level {
public:
    explicit Level(Walk &w) : w_(w), guard_(" while walking to JSON", w.bounds) { ++w_.depth; }
    ~Level() { --w_.depth; }
    Level(const Level &) = delete;
    Level &operator=(const Level &) = delete;

    bool failed() const noexcept { return guard_.failed(); }

private:
    Walk &w_;
    RecursionGuard guard_;
};

// Whether the walk may serialise this object or record itself: its
// `sym_mode` is True and its class keeps the host's default `sym_jsonify`.
Maybe<bool> object_walk_proceeds(PyObject *obj, Walk &w)
{
    Ref mode = attr<"sym_mode">(obj);
    const Maybe<bool> sym = mode ? to_bool(mode.get()) : Maybe<bool>(error);
    if (!sym || !*sym) {
        return sym;
    }
    PyObject *dflt = DEFAULT_OBJECT_SYM_JSONIFY.get();
    if (dflt == nullptr) {
        return false;
    }
    Ref own = w.classes.read(obj, ClassReads::SymJsonify);
    if (!own) {
        return error;
    }
    return own.get() == dflt;
}

// {"_type": key, ...the fields `fill_dict` emits}.
Maybe<Ref> object_json_dict(PyObject *key, PyObject *source, PyObject *schema, Walk &w)
{
    Ref out = Ref::steal(PyDict_New());
    if (!out || PyDict_SetItem(out.get(), interned<"_type">(), key) < 0) {
        return error;
    }
    const Maybe<bool> filled = fill_dict(source, schema, w, out.get());
    if (!filled) {
        return error;
    }
    return *filled ? std::move(out) : Ref();
}

// An object's or a record's attribute view (`_sym_attributes`), which must
// be a SymDict, serialised with its bound schema.
Maybe<Ref> view_json_dict(PyObject *obj, PyObject *key, Walk &w)
{
    Ref attrs = attr<"_sym_attributes">(obj);
    if (!attrs) {
        return error;
    }
    if (!SymDict::check(attrs.get())) {
        return raise_not_instance(attrs.get(), "SymDict");
    }
    Maybe<Ref> schema = SymDict::schema_of(attrs.get());
    if (!schema) {
        return error;
    }
    return object_json_dict(key, attrs.get(), schema->get(), w);
}

Maybe<Ref> walk_object(PyObject *obj, Walk &w)
{
    const Maybe<bool> proceeds = object_walk_proceeds(obj, w);
    if (!proceeds || !*proceeds) {
        return proceeds ? Maybe<Ref>(Ref()) : Maybe<Ref>(error);
    }
    Ref key = w.classes.read(obj, ClassReads::SerializationKey);
    if (!key) {
        return error;
    }
    Ref fields = SymObject::inline_storage(obj);
    if (!fields) {
        return view_json_dict(obj, key.get(), w);
    }
    Ref schema = w.classes.read(obj, ClassReads::Schema);
    if (!schema) {
        return error;
    }
    return object_json_dict(key.get(), fields.get(), null_if_none(schema.get()), w);
}

// The list's elements read from its storage, up to the smaller of its length
// when the walk began and its current one. Host code runs between elements,
// so the output stays out of its reach until full.
Maybe<Ref> walk_list(PyObject *list, Walk &w)
{
    const Py_ssize_t start = PyList_GET_SIZE(list);
    Unfilled out = Unfilled::list(start);
    if (!out) {
        return error;
    }
    Py_ssize_t i = 0;
    for (; i < start && i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        Maybe<Ref> r = walk(item.get(), w);
        if (!r || !*r) {
            return r;
        }
        PyList_SET_ITEM(out.get(), i, r->release());
    }
    // A list that shrank meanwhile leaves the slots past `i` unfilled.
    return out.filled_list(i);
}

// The cell of node-state `role` of a Record, or nothing when its root region
// reserves no such cell.
Maybe<Ref> reserved_role(PyObject *record, std::size_t reserved, std::size_t role)
{
    if (role >= reserved) {
        return Ref();
    }
    return kernel::record::_slot_node_get(record, role);
}

// Whether a raw record ran its construction: its first init field is
// written; without init fields, its allow-partial role is set (seeding
// always sets it). A root region too short to hold that role, on a class
// that still declares reserved cells, counts as blank.
Maybe<bool> raw_record_written(PyObject *record, PyObject *names, std::size_t declared, std::size_t reserved)
{
    if (PyList_GET_SIZE(names) > 0) {
        return kernel::record::record_field_written(record, PyList_GET_ITEM(names, 0));
    }
    if (declared == 0) {
        return true;
    }
    Maybe<Ref> allow_partial = reserved_role(record, reserved, object::topology::ALLOW_PARTIAL);
    if (!allow_partial) {
        return error;
    }
    return bool(*allow_partial);
}

Maybe<Ref> walk_record(PyObject *record, Walk &w)
{
    // Only the kernel's Records have the cells read below; a foreign class
    // carrying the host's marker is the host's to serialise.
    const std::optional<std::size_t> reserved = kernel::record::root_reserved_of(record);
    if (!reserved) {
        return Ref();
    }
    const Maybe<bool> proceeds = object_walk_proceeds(record, w);
    if (!proceeds || !*proceeds) {
        return proceeds ? Maybe<Ref>(Ref()) : Maybe<Ref>(error);
    }
    const Maybe<bool> materialized = object::record_is_materialized(record);
    if (!materialized) {
        return error;
    }
    if (*materialized) {
        Ref key = w.classes.read(record, ClassReads::SerializationKey);
        if (!key) {
            return error;
        }
        return view_json_dict(record, key.get(), w);
    }
    const Maybe<std::size_t> declared =
        object::record_reserved_count(reinterpret_cast<PyObject *>(Py_TYPE(record)));
    Ref declared_names = declared ? w.classes.read(record, ClassReads::SlotFieldNames) : Ref();
    Ref names = declared_names ? to_str_list(declared_names.get()) : Ref();
    if (!names) {
        return error;
    }
    const Maybe<bool> written = raw_record_written(record, names.get(), *declared, *reserved);
    if (!written || !*written) {
        return written ? Maybe<Ref>(Ref()) : Maybe<Ref>(error);
    }
    Ref key = w.classes.read(record, ClassReads::SerializationKey);
    Ref fields = key ? kernel::record::read_record_slots(record, names.get()) : Ref();
    Ref schema = fields ? w.classes.read(record, ClassReads::Schema) : Ref();
    if (!schema) {
        return error;
    }
    return object_json_dict(key.get(), fields.get(), null_if_none(schema.get()), w);
}

// The last test of `walk`: a class marked `__slot_storage__` is a Record.
Maybe<Ref> walk_marked_record(PyObject *value, Walk &w)
{
    const Maybe<Ref> marker = w.classes.read_class_optional(Py_TYPE(value), ClassReads::SlotStorage);
    if (!marker) {
        return error;
    }
    if (!*marker) {
        return Ref();
    }
    const Maybe<bool> materialised = truth(marker->get());
    if (!materialised) {
        return error;
    }
    return *materialised ? walk_record(value, w) : Ref();
}

// ---- module functions -------------------------------------------------------------------------

const Signature WALK_SIG{"_native_to_json_walk", {arg("value")}};
const Signature SET_DEFAULT_SIG{"_set_default_object_sym_jsonify", {arg("func")}};

Ref to_json_walk(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(WALK_SIG.bind(a, b))) {
        return error;
    }
    Walk w{.flags = 1};
    Maybe<Ref> r = walk(b[0], w);
    if (!r) {
        return error;
    }
    return *r ? std::move(*r) : none();
}

Ref set_default_sym_jsonify(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(SET_DEFAULT_SIG.bind(a, b))) {
        return error;
    }
    DEFAULT_OBJECT_SYM_JSONIFY.set(Ref::borrow(b[0]));
    return none();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef TO_JSON_WALK_DEF =
    method<to_json_walk>("_native_to_json_walk",
                         "_native_to_json_walk($module, /, value)\n--\n\n"
                         "The JSON-ready form of a symbolic tree, or None when the tree "
                         "holds a node the walk leaves to the host.");
PyMethodDef SET_DEFAULT_SYM_JSONIFY_DEF = method<set_default_sym_jsonify>(
    "_set_default_object_sym_jsonify",
    "_set_default_object_sym_jsonify($module, /, func)\n--\n\n"
    "Install the host's default object `sym_jsonify` (the first installation wins).");

Maybe<Ref> walk(PyObject *value, Walk &w)
{
    if (is_wire_primitive(value)) {
        return Ref::borrow(value);
    }
    const Maybe<bool> inferential = w.classes.is_inferential(value);
    if (!inferential || *inferential) {
        return inferential ? Maybe<Ref>(Ref()) : Maybe<Ref>(error);
    }
    if (w.depth >= MAX_WALK_DEPTH) {
        return Ref();
    }
    Level level(w);
    if (level.failed()) {
        return error;
    }
    if (SymObject::check(value)) {
        return walk_object(value, w);
    }
    if (SymDict::check(value)) {
        Maybe<Ref> schema = SymDict::schema_of(value);
        Ref out = schema ? Ref::steal(PyDict_New()) : Ref();
        if (!out) {
            return error;
        }
        const Maybe<bool> filled = fill_dict(value, schema->get(), w, out.get());
        if (!filled) {
            return error;
        }
        return *filled ? std::move(out) : Ref();
    }
    if (SymList::check(value)) {
        return walk_list(value, w);
    }
    return walk_marked_record(value, w);
}

}  // namespace norv::symbolic::ops
