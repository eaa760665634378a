// Read-only views over a spec's kind: the effective value type, forward
// references, whether they are resolved, and the typing annotation the spec
// stands for. Children are asked through their Python attributes.
#include "core/args.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/engine.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::engine {

namespace {

// Runs `body` on each item of `iterable`; the first failure ends the walk.
template <class F>
Status for_each_item(PyObject *iterable, F &&body)
{
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        return error;
    }
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        if (failed(body(x.get()))) {
            return error;
        }
    }
    return PyErr_Occurred() ? Status::error : Status::ok;
}

// module.name, read on every use. The module comes from sys.modules when it
// is there (it always is for builtins and typing): a full import statement
// costs more than everything else these views do.
Ref import_attr(PyObject *module_name, PyObject *name)
{
    Ref m = Ref::steal(PyImport_GetModule(module_name));
    if (!m) {
        if (PyErr_Occurred()) {
            return error;
        }
        m = Ref::steal(PyImport_Import(module_name));
        if (!m) {
            return error;
        }
    }
    return getattr(m.get(), name);
}

template <NameText Module, NameText Name>
Ref import_attr()
{
    return import_attr(interned<Module>(), interned<Name>());
}

// builtins.set().
Ref new_set()
{
    Ref set_type = import_attr<"builtins", "set">();
    if (!set_type) {
        return error;
    }
    return Ref::steal(PyObject_CallNoArgs(set_type.get()));
}

// Adds `holder.forward_refs` to `set`, `holder` being the item itself or its `via` attribute.
Status update_from(PyObject *set, PyObject *item, const char *via)
{
    Ref holder = via ? getattr(item, via) : Ref::borrow(item);
    if (!holder) {
        return error;
    }
    Ref refs = attr<"forward_refs">(holder.get());
    if (!refs) {
        return error;
    }
    return util::set_update(set, refs.get());
}

Status update_from_each(PyObject *set, PyObject *seq, const char *via)
{
    return for_each_item(seq, [&](PyObject *x) { return update_from(set, x, via); });
}

// typing.Any for a missing annotation, else the annotation. A failed read of
// the annotation passes through.
Ref any_if_no_annotation(Ref annotation)
{
    if (!annotation) {
        return error;
    }
    const Maybe<bool> missing = bridge::is_missing(annotation.get());
    if (!missing) {
        return error;
    }
    if (*missing) {
        return import_attr<"typing", "Any">();
    }
    return annotation;
}

// target[arg]; a null `target` (its read failed) passes through.
Ref subscript(const Ref &target, PyObject *arg)
{
    if (!target) {
        return error;
    }
    return Ref::steal(PyObject_GetItem(target.get(), arg));
}

// target[tuple(list)]; a null `list` (its build failed) passes through.
Ref subscript_tuple(const Ref &target, const Ref &list)
{
    if (!list) {
        return error;
    }
    Ref tuple = Ref::steal(PyList_AsTuple(list.get()));
    if (!tuple) {
        return error;
    }
    return subscript(target, tuple.get());
}

// target[first, second].
Ref subscript_pair(const Ref &target, PyObject *first, PyObject *second)
{
    Ref pair = Ref::steal(PyTuple_Pack(2, first, second));
    if (!pair) {
        return error;
    }
    return subscript(target, pair.get());
}

Ref annotations_of(PyObject *seq, const char *via)
{
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    Status walked = for_each_item(seq, [&](PyObject *x) -> Status {
        Ref holder = via ? getattr(x, via) : Ref::borrow(x);
        if (!holder) {
            return error;
        }
        Ref a = any_if_no_annotation(getattr(holder.get(), "annotation"));
        if (!a) {
            return error;
        }
        return check(PyList_Append(out.get(), a.get()));
    });
    if (failed(walked)) {
        return error;
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
            return e.value_type ? Ref::borrow(e.value_type.get()) : import_attr<"typing", "Any">();
        case Tag::List: {
            Ref a = any_if_no_annotation(getattr(e.kind.get<ListKind>()->element_spec.get(), "annotation"));
            if (!a) {
                return error;
            }
            return subscript(import_attr<"builtins", "list">(), a.get());
        }
        case Tag::Tuple: {
            const TupleKind *t = e.kind.get<TupleKind>();
            if (t->fixed_length) {
                return subscript_tuple(import_attr<"builtins", "tuple">(),
                                       annotations_of(t->elements.get(), "value"));
            }
            Ref field = Ref::steal(PySequence_GetItem(t->elements.get(), 0));
            if (!field) {
                return error;
            }
            Ref spec = getattr(field.get(), "value");
            if (!spec) {
                return error;
            }
            Ref a = getattr(spec.get(), "annotation");
            if (!a) {
                return error;
            }
            return subscript_pair(import_attr<"builtins", "tuple">(), a.get(), Py_Ellipsis);
        }
        case Tag::Union:
            return subscript_tuple(import_attr<"typing", "Union">(),
                                   annotations_of(e.kind.get<UnionKind>()->candidates.get(), nullptr));
        case Tag::Object: {
            const ObjectKind *o = e.kind.get<ObjectKind>();
            if (o->forward_ref) {
                return Ref::steal(PyObject_CallMethod(o->forward_ref.get(), "as_annotation", nullptr));
            }
            if (!e.value_type) {
                panic("resolved Object has a value_type");
            }
            return Ref::borrow(e.value_type.get());
        }
        case Tag::Type: {
            const TypeKind *t = e.kind.get<TypeKind>();
            Ref arg = t->forward_ref
                          ? Ref::steal(PyObject_CallMethod(t->forward_ref.get(), "as_annotation", nullptr))
                          : Ref::borrow(t->t.get());
            if (!arg) {
                return error;
            }
            return subscript(import_attr<"builtins", "type">(), arg.get());
        }
        case Tag::Dict: {
            Ref any = import_attr<"typing", "Any">();
            if (!any) {
                return error;
            }
            PyObject *str_type = reinterpret_cast<PyObject *>(&PyUnicode_Type);
            return subscript_pair(import_attr<"builtins", "dict">(), str_type, any.get());
        }
        case Tag::Callable: {
            const CallableKind *c = e.kind.get<CallableKind>();
            if (c->is_functor) {
                if (!e.value_type) {
                    panic("Functor has a value_type");
                }
                return Ref::borrow(e.value_type.get());
            }
            const Py_ssize_t n_kw = PyObject_Length(c->kw.get());
            if (n_kw < 0) {
                return error;
            }
            Ref params = n_kw != 0 ? Ref::borrow(Py_Ellipsis) : annotations_of(c->args.get(), nullptr);
            if (!params) {
                return error;
            }
            Ref ret = c->returns ? any_if_no_annotation(getattr(c->returns.get(), "annotation")) : none();
            if (!ret) {
                return error;
            }
            return subscript_pair(import_attr<"typing", "Callable">(), params.get(), ret.get());
        }
    }
    panic("unknown spec kind");
}

}  // namespace

Ref forward_refs(SpecEngine &e)
{
    const bridge::TypingBridge &br = bridge::get();
    // Children answer through Python getters, which the interpreter's depth
    // counter does not see: a spec that holds itself would exhaust the stack.
    RecursionGuard depth(" while collecting forward references");
    if (depth.failed()) {
        return error;
    }
    switch (e.tag()) {
        case Tag::Bool:
        case Tag::Str:
        case Tag::Number:
        case Tag::Enum:
        case Tag::Any:
            return Ref::borrow(br.empty_frozenset);
        case Tag::List:
            return getattr(e.kind.get<ListKind>()->element_spec.get(), "forward_refs");
        case Tag::Tuple: {
            Ref set = new_set();
            if (!set) {
                return error;
            }
            if (failed(update_from_each(set.get(), e.kind.get<TupleKind>()->elements.get(), "value"))) {
                return error;
            }
            return set;
        }
        case Tag::Union: {
            Ref set = new_set();
            if (!set) {
                return error;
            }
            if (failed(update_from_each(set.get(), e.kind.get<UnionKind>()->candidates.get(), nullptr))) {
                return error;
            }
            return set;
        }
        case Tag::Object:
        case Tag::Type: {
            PyObject *ref = e.tag() == Tag::Object ? e.kind.get<ObjectKind>()->forward_ref.get()
                                                   : e.kind.get<TypeKind>()->forward_ref.get();
            if (ref == nullptr) {
                return Ref::borrow(br.empty_frozenset);
            }
            Ref set = new_set();
            if (!set) {
                return error;
            }
            if (PySet_Add(set.get(), ref) < 0) {
                return error;
            }
            return set;
        }
        case Tag::Dict: {
            Ref set = new_set();
            if (!set) {
                return error;
            }
            if (!set) {
                return error;
            }
            PyObject *schema = e.kind.get<DictKind>()->schema.get();
            if (schema != nullptr && schema != Py_None) {
                Ref fields = getattr(schema, "fields");
                if (!fields) {
                    return error;
                }
                Ref values = Ref::steal(PyObject_CallMethod(fields.get(), "values", nullptr));
                if (!values || failed(update_from_each(set.get(), values.get(), "value"))) {
                    return error;
                }
            }
            return set;
        }
        case Tag::Callable: {
            const CallableKind *c = e.kind.get<CallableKind>();
            Ref set = new_set();
            if (!set) {
                return error;
            }
            if (failed(update_from_each(set.get(), c->args.get(), nullptr))) {
                return error;
            }
            Status walked = for_each_item(c->kw.get(), [&](PyObject *pair) -> Status {
                Ref spec = Ref::steal(PySequence_GetItem(pair, 1));
                if (!spec) {
                    return error;
                }
                return update_from(set.get(), spec.get(), nullptr);
            });
            if (failed(walked)) {
                return error;
            }
            if (c->returns && failed(update_from(set.get(), c->returns.get(), nullptr))) {
                return error;
            }
            return set;
        }
    }
    panic("unknown spec kind");
}

namespace {

// Whether every candidate of a Union can be read in place and holds no
// forward reference by construction (`base::plain_native_engine`): their
// `forward_refs` are then all empty, and reading them would run no Python
// code.
bool candidates_without_refs(const SpecEngine &e) noexcept
{
    PyObject *candidates = e.kind.get<UnionKind>()->candidates.get();
    if (!PyList_CheckExact(candidates)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates); ++i) {
        if (base::plain_native_engine(PyList_GET_ITEM(candidates, i)) == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace

Maybe<bool> type_resolved(SpecEngine &e)
{
    if (is_leaf_kind(e.tag())) {
        return true;  // no forward references, by construction
    }
    if (e.tag() == Tag::Union && candidates_without_refs(e)) {
        return true;
    }
    Ref refs = forward_refs(e);
    if (!refs) {
        return error;
    }
    const Py_ssize_t n = PyObject_Length(refs.get());
    if (n <= 0) {
        return n < 0 ? Maybe<bool>(error) : Maybe<bool>(true);
    }
    Ref it = Ref::steal(PyObject_GetIter(refs.get()));
    if (!it) {
        return error;
    }
    while (Ref ref = Ref::steal(PyIter_Next(it.get()))) {
        const Maybe<bool> resolved = truth_attr<"resolved">(ref.get());
        if (!resolved || !*resolved) {
            return resolved;
        }
    }
    return PyErr_Occurred() ? Maybe<bool>(error) : Maybe<bool>(true);
}

Maybe<Ref> value_type_obj(SpecEngine &e)
{
    switch (e.tag()) {
        case Tag::Union: {
            if (!e.value_type) {
                return Ref();
            }
            if (candidates_without_refs(e)) {
                return Ref::borrow(e.value_type.get());
            }
            Ref refs = forward_refs(e);
            if (!refs) {
                return error;
            }
            const Py_ssize_t n = PyObject_Length(refs.get());
            if (n < 0) {
                return error;
            }
            if (n == 0) {
                return Ref::borrow(e.value_type.get());
            }
            Ref set = new_set();
            if (!set) {
                return error;
            }
            Status walked =
                for_each_item(e.kind.get<UnionKind>()->candidates.get(), [&](PyObject *c) -> Status {
                    Ref vt = attr<"value_type">(c);
                    if (!vt) {
                        return error;
                    }
                    if (PyTuple_Check(vt.get())) {
                        return util::set_update(set.get(), vt.get());
                    }
                    return check(PySet_Add(set.get(), vt.get()));
                });
            if (failed(walked)) {
                return error;
            }
            Ref tuple_type = import_attr<"builtins", "tuple">();
            if (!tuple_type) {
                return error;
            }
            Ref types = Ref::steal(PyObject_CallOneArg(tuple_type.get(), set.get()));
            if (!types) {
                return error;
            }
            return types;
        }
        case Tag::Object: {
            const ObjectKind *o = e.kind.get<ObjectKind>();
            if (o->forward_ref) {
                Ref cls = attr<"cls">(o->forward_ref.get());
                if (!cls) {
                    return error;
                }
                return cls;
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
    RecursionGuard depth(" while building an annotation");
    if (depth.failed()) {
        return error;
    }
    Ref a = annotate_type(e);
    if (!a) {
        return error;
    }
    if (!e.is_noneable) {
        return a;
    }
    const Maybe<bool> missing = bridge::is_missing(a.get());
    if (!missing) {
        return error;
    }
    if (*missing) {
        return a;
    }
    return subscript(import_attr<"typing", "Optional">(), a.get());
}

}  // namespace norv::typing::engine
