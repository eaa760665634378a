// The clone seams: an object rebuilt from field values that are already
// validated, and the shallow copy of a dict-layout object. Each declines
// (False or None, nothing changed) what it does not own, and the host runs
// its Python path instead.
#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "kernel/layout.hpp"
#include "nodes/markers.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/construct.hpp"
#include "objects/record_object.hpp"
#include "objects/sym_object.hpp"
#include "objects/object_topology.hpp"
#include "typing/field/field_meta.hpp"
#include "containers/adopt.hpp"

namespace norv::symbolic::object {

namespace {

// The record arm: the node seeded unsealed, the given values stored
// unvalidated (they come from a validated source), the children adopted,
// then the shared tail with the clone's source.
Status clone_record(PyObject *obj, bool allow_partial, bool sealed, PyObject *kwargs,
                    const CloneContext &clone)
{
    PyObject *cls = type_of(obj);
    Ref names = attr<"__slot_field_names__">(cls);
    Ref field_names = names ? to_str_list(names.get()) : Ref();
    Ref symbolic = field_names ? attr<"__slot_symbolic_field_names__">(cls) : Ref();
    Ref symbolic_names = symbolic ? to_str_list(symbolic.get()) : Ref();
    Maybe<Ref> former = symbolic_names ? record_parent_cell(obj) : Maybe<Ref>(error);
    if (!former) {
        return error;
    }
    // The seeding detaches the record from a parent that still holds it.
    const adopt::FormerParent detached(obj, std::move(*former));
    CellCycleScreen cycles(obj);
    if (failed(record_init_node_state(obj, allow_partial, false, nullptr)) ||
        failed(cycles.check_dict(kwargs)) || failed(record_write_fields(obj, field_names.get(), kwargs)) ||
        (PyList_GET_SIZE(symbolic_names.get()) > 0 &&
         failed(record_adopt_children(obj, symbolic_names.get())))) {
        return error;
    }
    return record_finish(obj, cls, sealed, clone);
}

const Signature CLONE_SIG{
    "_native_object_clone_construct",
    {arg("obj"), arg("allow_partial"), arg("sealed"), arg("kwargs"), arg("src"), arg("deep"), arg("memo")}};

Ref clone_construct(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(CLONE_SIG.bind(a, b))) {
        return error;
    }
    const Maybe<bool> allow_partial = bool_arg("allow_partial", b[1], false, ArgCause::Conversion);
    const Maybe<bool> sealed =
        allow_partial ? bool_arg("sealed", b[2], false, ArgCause::Conversion) : Maybe<bool>(error);
    if (!sealed) {
        return error;
    }
    PyObject *kwargs = b[3];
    if (!PyDict_Check(kwargs)) {
        return convert_arg("kwargs", [&] { return Ref(raise_not_instance(kwargs, "dict")); });
    }
    const Maybe<bool> deep = bool_arg("deep", b[5], false, ArgCause::Conversion);
    if (!deep) {
        return error;
    }
    PyObject *obj = b[0];
    const CloneContext clone{true, *deep, b[4], b[6]};
    if (SymObject::check(obj)) {
        return failed(SymObject::construct_impl(obj, *sealed, nullptr, false, kwargs, *allow_partial, clone))
                   ? Ref()
                   : new_bool(true);
    }
    const Maybe<bool> record = topology::is_record(type_of(obj));
    if (!record) {
        return error;
    }
    // Only a kernel-built Record has the cells its class attributes describe.
    if (!*record || kernel::kernel_type_of(Py_TYPE(obj)) == nullptr) {
        return new_bool(false);
    }
    const Maybe<std::size_t> reserved = record_reserved_count(type_of(obj));
    if (!reserved) {
        return error;
    }
    if (*reserved == 0) {
        return new_bool(false);
    }
    return failed(clone_record(obj, *allow_partial, *sealed, kwargs, clone)) ? Ref() : new_bool(true);
}

// The replacement of `value` in the copy of an object whose class is not
// symbolic: its own clone for a symbolic value that is neither an object nor
// a Record (those are shared); an empty Ref keeps the value.
Maybe<Ref> shallow_replacement(PyObject *value)
{
    if (typing::funnel::is_scalar_value(value)) {
        return Ref();
    }
    const Maybe<bool> symbolic = markers::is_symbolic(value);
    if (!symbolic) {
        return error;
    }
    if (!*symbolic || SymObject::check(value)) {
        return Ref();
    }
    const Maybe<bool> record = topology::is_record(type_of(value));
    if (!record) {
        return error;
    }
    if (*record) {
        return Ref();
    }
    Ref clone = call_method(value, interned<"sym_clone">());
    return clone ? some(std::move(clone)) : Maybe<Ref>(error);
}

// Whether some value of the field dict knows its place in a tree.
Maybe<bool> holds_topology_aware(PyObject *fields)
{
    Ref values = Ref::steal(PyDict_Values(fields));
    if (!values) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        const Maybe<bool> aware = markers::is_topology_aware(PyList_GET_ITEM(values.get(), i));
        if (!aware || *aware) {
            return aware;
        }
    }
    return false;
}

// Each symbolic value of `copy` that is no object replaced by its clone,
// the replacements written after the scan.
Status clone_members(PyObject *copy)
{
    Ref items = Ref::steal(PyDict_Items(copy));
    Ref replaced = items ? Ref::steal(PyList_New(0)) : Ref();
    if (!replaced) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject *item = PyList_GET_ITEM(items.get(), i);
        Maybe<Ref> replacement = shallow_replacement(PyTuple_GET_ITEM(item, 1));
        if (!replacement) {
            return error;
        }
        if (*replacement) {
            Ref pair = Ref::steal(PyTuple_Pack(2, PyTuple_GET_ITEM(item, 0), replacement->get()));
            if (!pair || PyList_Append(replaced.get(), pair.get()) < 0) {
                return error;
            }
        }
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(replaced.get()); ++i) {
        PyObject *pair = PyList_GET_ITEM(replaced.get(), i);
        if (PyDict_SetItem(copy, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
            return error;
        }
    }
    return Status::ok;
}

struct Snapshot {
    Ref copy;  // absent: the object has no field dict
    bool sealed = false;
    bool allow_partial = false;
    bool accessor_writable = true;
};

// A copy of the field dict with the node's own flags, read at one moment.
Maybe<Snapshot> snapshot(PyObject *obj)
{
    Snapshot out;
    ObjectFields &f = SymObject::fields(obj);
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    if (!f.sym_dict) {
        return out;
    }
    out.copy = Ref::steal(PyDict_Copy(f.sym_dict.get()));
    if (!out.copy) {
        return error;
    }
    out.sealed = f.node.sealed;
    out.allow_partial = f.node.allow_partial;
    out.accessor_writable = f.node.accessor_writable;
    return out;
}

const Signature SHALLOW_SIG{"_native_object_clone_inline_shallow", {arg("obj")}};

Ref clone_inline_shallow(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(SHALLOW_SIG.bind(a, b))) {
        return error;
    }
    PyObject *obj = b[0];
    if (!SymObject::check(obj)) {
        return none();
    }
    PyObject *cls = type_of(obj);
    const Maybe<bool> sym = SymObject::sym_mode_of(cls);
    if (!sym) {
        return error;
    }
    if (*sym) {
        Ref fields = SymObject::inline_storage(obj);
        const Maybe<bool> aware = fields ? holds_topology_aware(fields.get()) : Maybe<bool>(false);
        if (!aware || *aware) {
            return aware ? none() : Ref();
        }
    }
    Maybe<Snapshot> taken = snapshot(obj);
    if (!taken) {
        return error;
    }
    if (!taken->copy) {
        return none();
    }
    if (!*sym && failed(clone_members(taken->copy.get()))) {
        return error;
    }
    Ref make = attr<"__new__">(cls);
    Ref made = make ? Ref::steal(PyObject_CallOneArg(make.get(), cls)) : Ref();
    if (!made) {
        return error;
    }
    if (!SymObject::check(made.get())) {
        return raise_not_instance(made.get(), "SymObject");
    }
    const bridge::ObjectBridge &br = bridge::get();
    {
        SymNode::Released released;
        ObjectFields &f = SymObject::fields(made.get());
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        released.add(std::exchange(f.sym_dict, std::move(taken->copy)));
        released.add(std::move(f.node.parent));
        released.add(std::exchange(f.node.path, Ref::borrow(br.empty_key_path)));
        released.add(std::move(f.node.origin));
        f.node.sealed = taken->sealed;
        f.node.allow_partial = taken->allow_partial;
        f.node.accessor_writable = taken->accessor_writable;
    }
    return made;
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef CLONE_CONSTRUCT_DEF = method<clone_construct>(
    "_native_object_clone_construct",
    "_native_object_clone_construct($module, /, obj, allow_partial, sealed, kwargs, src, deep, memo)\n--\n\n"
    "Construct `obj` as a clone of `src` from validated field values; False when declined.");
PyMethodDef CLONE_INLINE_SHALLOW_DEF = method<clone_inline_shallow>(
    "_native_object_clone_inline_shallow",
    "_native_object_clone_inline_shallow($module, /, obj)\n--\n\n"
    "A shallow copy of a dict-layout object, rooted and free; None when declined.");

}  // namespace norv::symbolic::object
