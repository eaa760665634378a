// Read-only views over a spec's kind: the effective value type, forward
// references, whether they are resolved, and the typing annotation the spec
// stands for. Children are asked through their Python attributes.
#include "core/args.hpp"
#include "typing/bridge/bridge.hpp"
#include "typing/value_specs/engine.hpp"

namespace norv::typing::engine {

namespace {

Ref import_attr(const char *module, const char *name)
{
    Ref m = legacy::checked(PyImport_ImportModule(module));
    return legacy::getattr(m.get(), name);
}

void set_update(PyObject *set, PyObject *iterable)
{
    // A tuple is one iterable here, never an argument list.
    Ref name = legacy::new_str("update");
    Ref r = legacy::checked(PyObject_CallMethodOneArg(set, name.get(), iterable));
}

void update_from_each(PyObject *set, PyObject *seq, const char *via)
{
    Ref it = legacy::checked(PyObject_GetIter(seq));
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        Ref holder = via ? legacy::getattr(x.get(), via) : Ref::borrow(x.get());
        Ref refs = legacy::getattr(holder.get(), "forward_refs");
        set_update(set, refs.get());
    }
    if (PyErr_Occurred()) {
        legacy::throw_set();
    }
}

// typing.Any for a missing annotation, else the annotation.
Ref any_if_no_annotation(Ref annotation)
{
    if (bridge::is_missing(annotation.get())) {
        return import_attr("typing", "Any");
    }
    return annotation;
}

Ref subscript(const char *module, const char *name, PyObject *arg)
{
    Ref target = import_attr(module, name);
    return legacy::checked(PyObject_GetItem(target.get(), arg));
}

Ref annotations_of(PyObject *seq, const char *via)
{
    Ref out = legacy::checked(PyList_New(0));
    Ref it = legacy::checked(PyObject_GetIter(seq));
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        Ref holder = via ? legacy::getattr(x.get(), via) : Ref::borrow(x.get());
        Ref a = any_if_no_annotation(legacy::getattr(holder.get(), "annotation"));
        legacy::require(PyList_Append(out.get(), a.get()));
    }
    if (PyErr_Occurred()) {
        legacy::throw_set();
    }
    return out;
}

Ref annotate_type(SpecEngine &e)
{
    const bridge::TypingBridge &br = bridge::get();
    switch (e.tag()) {
        case Tag::Bool:
        case Tag::Number:
        case Tag::Any:
            return e.value_type ? Ref::borrow(e.value_type.get()) : Ref::borrow(br.missing_value);
        case Tag::Str:
            return Ref::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
        case Tag::Enum:
            return e.value_type ? Ref::borrow(e.value_type.get()) : import_attr("typing", "Any");
        case Tag::List: {
            Ref a = any_if_no_annotation(legacy::getattr(e.kind.get<ListKind>()->element_spec.get(), "annotation"));
            return subscript("builtins", "list", a.get());
        }
        case Tag::Tuple: {
            const TupleKind *t = e.kind.get<TupleKind>();
            if (t->fixed_length) {
                Ref list = annotations_of(t->elements.get(), "value");
                Ref tuple = legacy::checked(PyList_AsTuple(list.get()));
                return subscript("builtins", "tuple", tuple.get());
            }
            Ref field = legacy::checked(PySequence_GetItem(t->elements.get(), 0));
            Ref spec = legacy::getattr(field.get(), "value");
            Ref a = legacy::getattr(spec.get(), "annotation");
            Ref pair = legacy::checked(PyTuple_Pack(2, a.get(), Py_Ellipsis));
            return subscript("builtins", "tuple", pair.get());
        }
        case Tag::Union: {
            Ref list = annotations_of(e.kind.get<UnionKind>()->candidates.get(), nullptr);
            Ref tuple = legacy::checked(PyList_AsTuple(list.get()));
            return subscript("typing", "Union", tuple.get());
        }
        case Tag::Object: {
            const ObjectKind *o = e.kind.get<ObjectKind>();
            if (o->forward_ref) {
                return legacy::checked(PyObject_CallMethod(o->forward_ref.get(), "as_annotation", nullptr));
            }
            if (!e.value_type) {
                panic("resolved Object has a value_type");
            }
            return Ref::borrow(e.value_type.get());
        }
        case Tag::Type: {
            const TypeKind *t = e.kind.get<TypeKind>();
            Ref arg = t->forward_ref
                          ? legacy::checked(PyObject_CallMethod(t->forward_ref.get(), "as_annotation", nullptr))
                          : Ref::borrow(t->t.get());
            return subscript("builtins", "type", arg.get());
        }
        case Tag::Dict: {
            Ref any = import_attr("typing", "Any");
            Ref pair =
                legacy::checked(PyTuple_Pack(2, reinterpret_cast<PyObject *>(&PyUnicode_Type), any.get()));
            return subscript("builtins", "dict", pair.get());
        }
        case Tag::Callable: {
            const CallableKind *c = e.kind.get<CallableKind>();
            if (c->is_functor) {
                if (!e.value_type) {
                    panic("Functor has a value_type");
                }
                return Ref::borrow(e.value_type.get());
            }
            Ref params = legacy::require_size(PyObject_Length(c->kw.get())) != 0
                             ? Ref::borrow(Py_Ellipsis)
                             : annotations_of(c->args.get(), nullptr);
            Ref ret = c->returns ? any_if_no_annotation(legacy::getattr(c->returns.get(), "annotation")) : none();
            Ref pair = legacy::checked(PyTuple_Pack(2, params.get(), ret.get()));
            return subscript("typing", "Callable", pair.get());
        }
    }
    panic("unknown spec kind");
}

}  // namespace

Ref forward_refs(SpecEngine &e)
{
    const bridge::TypingBridge &br = bridge::get();
    switch (e.tag()) {
        case Tag::Bool:
        case Tag::Str:
        case Tag::Number:
        case Tag::Enum:
        case Tag::Any:
            return Ref::borrow(br.empty_frozenset);
        case Tag::List:
            return legacy::getattr(e.kind.get<ListKind>()->element_spec.get(), "forward_refs");
        case Tag::Tuple: {
            Ref set = legacy::require(py_set());
            update_from_each(set.get(), e.kind.get<TupleKind>()->elements.get(), "value");
            return set;
        }
        case Tag::Union: {
            Ref set = legacy::require(py_set());
            update_from_each(set.get(), e.kind.get<UnionKind>()->candidates.get(), nullptr);
            return set;
        }
        case Tag::Object:
        case Tag::Type: {
            PyObject *ref = e.tag() == Tag::Object ? e.kind.get<ObjectKind>()->forward_ref.get()
                                                   : e.kind.get<TypeKind>()->forward_ref.get();
            if (ref == nullptr) {
                return Ref::borrow(br.empty_frozenset);
            }
            Ref set = legacy::require(py_set());
            legacy::require(PySet_Add(set.get(), ref));
            return set;
        }
        case Tag::Dict: {
            Ref set = legacy::require(py_set());
            PyObject *schema = e.kind.get<DictKind>()->schema.get();
            if (schema != nullptr && schema != Py_None) {
                Ref fields = legacy::getattr(schema, "fields");
                Ref values = legacy::checked(PyObject_CallMethod(fields.get(), "values", nullptr));
                update_from_each(set.get(), values.get(), "value");
            }
            return set;
        }
        case Tag::Callable: {
            const CallableKind *c = e.kind.get<CallableKind>();
            Ref set = legacy::require(py_set());
            update_from_each(set.get(), c->args.get(), nullptr);
            Ref it = legacy::checked(PyObject_GetIter(c->kw.get()));
            while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
                Ref spec = legacy::checked(PySequence_GetItem(pair.get(), 1));
                Ref refs = legacy::getattr(spec.get(), "forward_refs");
                set_update(set.get(), refs.get());
            }
            if (PyErr_Occurred()) {
                legacy::throw_set();
            }
            if (c->returns) {
                Ref refs = legacy::getattr(c->returns.get(), "forward_refs");
                set_update(set.get(), refs.get());
            }
            return set;
        }
    }
    panic("unknown spec kind");
}

bool type_resolved(SpecEngine &e)
{
    if (is_leaf_kind(e.tag())) {
        return true;  // no forward references, by construction
    }
    Ref refs = forward_refs(e);
    if (legacy::require_size(PyObject_Length(refs.get())) == 0) {
        return true;
    }
    Ref it = legacy::checked(PyObject_GetIter(refs.get()));
    while (Ref ref = Ref::steal(PyIter_Next(it.get()))) {
        Ref resolved = legacy::getattr(ref.get(), bridge::names().resolved);
        if (!legacy::require(PyObject_IsTrue(resolved.get()))) {
            return false;
        }
    }
    if (PyErr_Occurred()) {
        legacy::throw_set();
    }
    return true;
}

Ref value_type_obj(SpecEngine &e)
{
    switch (e.tag()) {
        case Tag::Union: {
            if (!e.value_type) {
                return Ref();
            }
            Ref refs = forward_refs(e);
            if (legacy::require_size(PyObject_Length(refs.get())) == 0) {
                return Ref::borrow(e.value_type.get());
            }
            Ref set = legacy::require(py_set());
            Ref it = legacy::checked(PyObject_GetIter(e.kind.get<UnionKind>()->candidates.get()));
            while (Ref c = Ref::steal(PyIter_Next(it.get()))) {
                Ref vt = legacy::getattr(c.get(), bridge::names().value_type);
                if (PyTuple_Check(vt.get())) {
                    set_update(set.get(), vt.get());
                }
                else {
                    legacy::require(PySet_Add(set.get(), vt.get()));
                }
            }
            if (PyErr_Occurred()) {
                legacy::throw_set();
            }
            Ref tuple_type = import_attr("builtins", "tuple");
            return legacy::checked(PyObject_CallOneArg(tuple_type.get(), set.get()));
        }
        case Tag::Object: {
            const ObjectKind *o = e.kind.get<ObjectKind>();
            if (o->forward_ref) {
                return legacy::getattr(o->forward_ref.get(), bridge::names().cls);
            }
            if (!e.value_type) {
                panic("resolved Object has a value_type");
            }
            return Ref::borrow(e.value_type.get());
        }
        default:
            return Ref::borrow(e.value_type.get());
    }
}

Ref annotation(SpecEngine &e)
{
    if (e.tag() == Tag::Any) {
        return Ref::borrow(e.kind.get<AnyKind>()->annotation.get());
    }
    Ref a = annotate_type(e);
    if (!e.is_noneable || bridge::is_missing(a.get())) {
        return a;
    }
    return subscript("typing", "Optional", a.get());
}

}  // namespace norv::typing::engine
