// Test-only entry points into the object layer's native steps that have no
// Python surface of their own (part of `_native._testing`).
#include <Python.h>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/none.hpp"
#include "containers/dict.hpp"
#include "objects/construct.hpp"
#include "objects/ctor_meta.hpp"
#include "objects/record_object.hpp"
#include "objects/sym_object.hpp"
#include "objects/object_topology.hpp"

namespace norv::testing {

namespace {

namespace obj = symbolic::object;

Status require_object(PyObject *o)
{
    return obj::SymObject::check(o) ? Status::ok : Status(raise_not_instance(o, "SymObject"));
}

const Signature HOLD{"object_holding", {arg("obj"), arg("exclusive"), arg("fn")}};

// Calls `fn()` while the object's fields are held as a native operation
// would hold them.
Ref object_holding(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(HOLD.bind(a, b)) || failed(require_object(b[0]))) {
        return error;
    }
    obj::ObjectFields &f = obj::SymObject::fields(b[0]);
    if (b[1] == Py_True) {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        return Ref::steal(PyObject_CallNoArgs(b[2]));
    }
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return Ref::steal(PyObject_CallNoArgs(b[2]));
}

Ref address_of(const typing::MetaPtr &meta)
{
    return Ref::steal(PyLong_FromVoidPtr(const_cast<typing::FieldMeta *>(meta.get())));
}

// A metadata's content as a dict: its references (None when absent; the
// name tables copied), its compiled fields as (key, default or None,
// has_default, default_is_container, record address) and its facts.
Ref meta_view(const obj::CtorMeta &m)
{
    const obj::CtorMeta::Refs &r = m.refs;
    Ref compiled = none();
    if (r.compiled_fields) {
        compiled = Ref::steal(PyList_New(0));
        for (const obj::CompiledField &c : *r.compiled_fields) {
            Ref address = address_of(c.meta);
            Ref item =
                address
                    ? Ref::steal(Py_BuildValue("(OOOOO)", c.key.get(), none_if_null(c.default_value.get()),
                                               c.default_value ? Py_True : Py_False,
                                               c.default_is_container ? Py_True : Py_False, address.get()))
                    : Ref();
            if (!item || PyList_Append(compiled.get(), item.get()) < 0) {
                return error;
            }
        }
    }
    auto copy_set = [](const Ref &set) { return set ? Ref::steal(PyFrozenSet_New(set.get())) : none(); };
    Ref write_meta = r.write_meta ? Ref::steal(PyDict_Copy(r.write_meta.get())) : none();
    Ref non_symbolic_names = copy_set(r.non_symbolic_names), alias_names = copy_set(r.alias_names),
        init_names = copy_set(r.init_names);
    if (!compiled || !write_meta || !non_symbolic_names || !alias_names || !init_names) {
        return error;
    }
    auto flag = [](bool b) { return b ? Py_True : Py_False; };
    return Ref::steal(Py_BuildValue(
        "{sOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsOsO}", "compiled_fields", compiled.get(),
        "class_schema", none_if_null(r.class_schema.get()), "sym_fields", none_if_null(r.sym_fields.get()),
        "fields_schema", none_if_null(r.fields_schema.get()), "init_fields",
        none_if_null(r.init_fields.get()), "non_symbolic_fields", none_if_null(r.non_symbolic_fields.get()),
        "non_symbolic_names", non_symbolic_names.get(), "alias_names", alias_names.get(), "init_names",
        init_names.get(), "write_meta", write_meta.get(), "topo_sym", flag(m.topo.topo_sym),
        "parent_change_overridden", flag(m.topo.parent_change_overridden), "update_children_paths_overridden",
        flag(m.topo.update_children_paths_overridden), "path_change_overridden",
        flag(m.topo.path_change_overridden), "sym", flag(m.sym), "attr_write", flag(m.attr_write), "frozen",
        flag(m.frozen), "post_init_overridden", flag(m.post_init_overridden), "bound_overridden",
        flag(m.bound_overridden), "ready_not_noop", flag(m.ready_not_noop), "preinit_overridden",
        flag(m.preinit_overridden), "validate_overridden", flag(m.validate_overridden), "has_attrs_builder",
        flag(m.has_attrs_builder), "has_non_symbolic_fields", flag(m.has_non_symbolic_fields),
        "needs_cooperative_init", flag(m.needs_cooperative_init), "topology_methods_native",
        flag(m.topology_methods_native), "sym_missing_default", flag(m.sym_missing_default),
        "puresymbolic_default", flag(m.puresymbolic_default)));
}

// The view of a metadata instance, or of a class's metadata as native code
// finds or builds it.
Ref ctor_meta_view(PyObject *, PyObject *o)
{
    Ref meta = obj::ObjectCtorMeta::check(o) ? Ref::borrow(o) : obj::SymObject::ctor_meta(o);
    if (!meta) {
        return error;
    }
    obj::MetaRead read(std::move(meta));
    return meta_view(*read);
}

// A fresh metadata of `cls`, wrapped but stored nowhere.
Ref ctor_meta_build(PyObject *, PyObject *cls)
{
    Maybe<std::unique_ptr<obj::CtorMeta>> built = obj::ObjectCtorMeta::build(cls);
    if (!built) {
        return error;
    }
    return obj::ObjectCtorMeta::wrap(std::move(*built));
}

// The address of the record a native field's cell holds; None when empty.
Ref field_meta_address(PyObject *, PyObject *field)
{
    if (!typing::field::is_field(field)) {
        return raise_not_instance(field, "Field");
    }
    const typing::MetaPtr &meta = typing::field::meta_cell(field).meta;
    return meta ? address_of(meta) : none();
}

const Signature TRY_FIELD{"try_sym_field", {arg("obj"), arg("name")}};

// (True, value) when read, (False, None) when declined.
Ref try_sym_field(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(TRY_FIELD.bind(a, b)) || failed(require_object(b[0]))) {
        return error;
    }
    Maybe<Ref> v = obj::SymObject::try_sym_field(b[0], b[1]);
    if (!v) {
        return error;
    }
    return Ref::steal(Py_BuildValue("(OO)", *v ? Py_True : Py_False, none_if_null(v->get())));
}

Ref sym_mode_of(PyObject *, PyObject *cls)
{
    Maybe<bool> sym = obj::SymObject::sym_mode_of(cls);
    return sym ? new_bool(*sym) : Ref();
}

const Signature FALSE_ERR{"record_inferential_sym_false_err", {arg("cls"), arg("name")}};

// The exception made, returned rather than raised.
Ref record_inferential_sym_false_err(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FALSE_ERR.bind(a, b))) {
        return error;
    }
    (void)obj::record_inferential_sym_false_err(b[0], b[1]);
    return Ref::steal(PyErr_GetRaisedException());
}

Ref topo_facts_of(PyObject *, PyObject *inst)
{
    Maybe<std::optional<obj::TopoFacts>> facts = obj::topology::topo_facts_of(inst);
    if (!facts) {
        return error;
    }
    if (!*facts) {
        return none();
    }
    const obj::TopoFacts &f = **facts;
    return Ref::steal(Py_BuildValue("(OOOO)", f.topo_sym ? Py_True : Py_False,
                                    f.parent_change_overridden ? Py_True : Py_False,
                                    f.update_children_paths_overridden ? Py_True : Py_False,
                                    f.path_change_overridden ? Py_True : Py_False));
}

Ref blank_node_guard(PyObject *, PyObject *inst)
{
    return failed(obj::topology::blank_node_guard(inst)) ? Ref() : none();
}

Ref record_reserved_count(PyObject *, PyObject *type)
{
    const Maybe<std::size_t> count = obj::record_reserved_count(type);
    return count ? Ref::steal(PyLong_FromSize_t(*count)) : Ref();
}

Ref record_symbolic_children(PyObject *, PyObject *inst)
{
    return obj::record_symbolic_children(inst);
}

const Signature ATTRS{"build_object_attrs",
                      {arg("normalized"), arg("value_spec"), arg("allow_partial"), arg("sealed"),
                       arg("sym_mode"), arg("root_path"), arg("verbatim"), arg("owner")}};

// SymDict::build_object_attrs; None stands for an absent spec, path or owner.
Ref build_object_attrs(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(ATTRS.bind(a, b))) {
        return error;
    }
    if (!PyDict_Check(b[0])) {
        return raise_not_instance(b[0], "dict");
    }
    return symbolic::SymDict::build_object_attrs(b[0], b.null_if_none(1), b[2] == Py_True, b[3] == Py_True,
                                                 b[4] == Py_True, b.null_if_none(5), b[6] == Py_True,
                                                 b.null_if_none(7));
}

PyMethodDef METHODS[] = {
    method<build_object_attrs>("build_object_attrs", nullptr),
    method<object_holding>("object_holding", nullptr),
    method_onearg<ctor_meta_view>("ctor_meta_view", nullptr),
    method_onearg<ctor_meta_build>("ctor_meta_build", nullptr),
    method_onearg<field_meta_address>("field_meta_address", nullptr),
    method<try_sym_field>("try_sym_field", nullptr),
    method_onearg<sym_mode_of>("sym_mode_of", nullptr),
    method<record_inferential_sym_false_err>("record_inferential_sym_false_err", nullptr),
    method_onearg<topo_facts_of>("topo_facts_of", nullptr),
    method_onearg<blank_node_guard>("blank_node_guard", nullptr),
    method_onearg<record_reserved_count>("record_reserved_count", nullptr),
    method_onearg<record_symbolic_children>("record_symbolic_children", nullptr),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Status add_object_probes(PyObject *probes)
{
    return check(PyModule_AddFunctions(probes, METHODS));
}

}  // namespace norv::testing
