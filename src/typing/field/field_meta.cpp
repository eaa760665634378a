#include "typing/field/field_meta.hpp"

#include "core/names.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing {

int FieldMeta::traverse(visitproc visit, void *arg) const
{
    for (const Ref &r : exact) {
        Py_VISIT(r.get());
    }
    for (const auto &[t, spec] : checked) {
        Py_VISIT(t.get());
        Py_VISIT(spec.get());
    }
    for (const Ref &r : subclass) {
        Py_VISIT(r.get());
    }
    Py_VISIT(key.get());
    Py_VISIT(value_spec.get());
    return 0;
}

namespace {

PyObject *as_obj(PyTypeObject *t) noexcept
{
    return reinterpret_cast<PyObject *>(t);
}

// Reads a native spec's engine under a shared access; a spec being written
// is an internal fault. Answers whether `fn` ran (the spec is native).
template <class F>
Maybe<bool> with_engine(PyObject *spec, F &&fn)
{
    if (!base::is_spec(spec)) {
        return false;
    }
    base::NativeRead read(spec);
    if (read.failed()) {
        return error;
    }
    fn(read.engine());
    return true;
}

bool is_proven_scalar_type(PyObject *t) noexcept
{
    return t == as_obj(&PyLong_Type) || t == as_obj(&PyUnicode_Type) || t == as_obj(&PyFloat_Type) ||
           t == as_obj(&PyBool_Type) || t == as_obj(&PyBytes_Type) || t == as_obj(Py_TYPE(Py_None));
}

// A native spec answers from its engine (true), with `out` set when its leaf
// shortcut is `kind` (left empty otherwise); false for any other object.
Maybe<bool> native_leaf_type(PyObject *spec, LeafShortcut kind, Ref &out)
{
    return with_engine(spec, [&](SpecEngine &e) {
        if (e.leaf_shortcut() == kind) {
            out = Ref::borrow(e.value_type.get());
        }
    });
}

}  // namespace

namespace funnel {

Maybe<Ref> exact_leaf_type(PyObject *spec)
{
    Ref out;
    const Maybe<bool> native = native_leaf_type(spec, LeafShortcut::Exact, out);
    if (!native) {
        return error;
    }
    if (*native) {
        return out;
    }
    PyObject *t = nullptr;
    const int has = PyObject_GetOptionalAttrString(spec, "_exact_leaf_type", &t);
    if (has < 0) {
        return error;
    }
    if (has) {
        Ref r = Ref::steal(t);
        return r.get() == Py_None ? Ref() : std::move(r);
    }
    return fast_apply_value_type(spec);
}

Maybe<Ref> fast_apply_value_type(PyObject *spec)
{
    Ref info = attr<"fast_apply_info">(spec);
    if (!info) {
        return error;
    }
    Maybe<bool> eligible = truth_attr<"is_eligible">(info.get());
    if (!eligible) {
        return error;
    }
    if (!*eligible) {
        return Ref();
    }
    return some(attr<"value_type">(info.get()));
}

Maybe<Ref> checked_leaf_type(PyObject *spec)
{
    Ref out;
    const Maybe<bool> native = native_leaf_type(spec, LeafShortcut::Checked, out);
    if (!native) {
        return error;
    }
    if (*native) {
        return out;
    }
    PyObject *t = nullptr;
    const int has = PyObject_GetOptionalAttrString(spec, "_checked_leaf_type", &t);
    if (has < 0) {
        return error;
    }
    Ref r = Ref::steal(t);
    if (!has || r.get() == Py_None) {
        return Ref();
    }
    return r;
}

Maybe<Ref> is_object_candidate(PyObject *spec)
{
    Ref out;
    const Maybe<bool> native = with_engine(spec, [&](SpecEngine &e) {
        if (e.tag() == Tag::Object && !e.frozen && !e.transform && e.value_type) {
            out = Ref::borrow(e.value_type.get());
        }
    });
    if (!native) {
        return error;
    }
    return out;
}

Maybe<bool> is_container_candidate(PyObject *spec)
{
    bool yes = false;
    const Maybe<bool> native = with_engine(spec, [&](SpecEngine &e) {
        yes = !e.frozen && !e.transform &&
              (e.tag() == Tag::List || e.tag() == Tag::Tuple || e.tag() == Tag::Dict);
    });
    if (!native) {
        return error;
    }
    return yes;
}

Maybe<bool> proven_scalar_leaf(PyObject *spec)
{
    Maybe<Ref> t = exact_leaf_type(spec);
    if (!t) {
        return error;
    }
    return bool(*t) && is_proven_scalar_type(t->get());
}

Maybe<std::pair<FillShape, bool>> container_fill_info(PyObject *spec)
{
    using Info = std::pair<FillShape, bool>;
    FillShape shape = FillShape::Other;
    Ref element;   // one element spec to prove (List, open Dict)
    Ref elements;  // a Tuple's element fields
    bool dict_without_open = false;
    const Maybe<bool> native = with_engine(spec, [&](SpecEngine &e) {
        if (const DictKind *d = e.kind.get<DictKind>()) {
            shape = FillShape::ListOrDict;
            element = Ref::borrow(d->open_str_value_spec.get());
            dict_without_open = !element;
        }
        else if (const ListKind *l = e.kind.get<ListKind>()) {
            shape = FillShape::ListOrDict;
            element = Ref::borrow(l->element_spec.get());
        }
        else if (const TupleKind *t = e.kind.get<TupleKind>()) {
            shape = FillShape::FixedTuple;
            elements = Ref::borrow(t->elements.get());
        }
    });
    if (!native) {
        return error;
    }
    if (!*native || shape == FillShape::Other || dict_without_open) {
        return Info(*native ? shape : FillShape::Other, false);
    }
    if (element) {
        Maybe<bool> p = proven_scalar_leaf(element.get());
        if (!p) {
            return error;
        }
        return Info(shape, *p);
    }
    if (!elements || !PyList_Check(elements.get())) {
        return Info(shape, true);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
        Ref f = Ref::borrow(PyList_GET_ITEM(elements.get(), i));
        Ref v = attr<"value">(f.get());
        if (!v) {
            return error;
        }
        Maybe<bool> p = proven_scalar_leaf(v.get());
        if (!p) {
            return error;
        }
        if (!*p) {
            return Info(shape, false);
        }
    }
    return Info(shape, true);
}

}  // namespace funnel

namespace field {

Maybe<bool> field_has_validator(PyObject *f)
{
    Ref v = attr<"validator">(f);
    if (!v) {
        return error;
    }
    return v.get() != Py_None;
}

Maybe<Ref> candidate_specs(PyObject *spec)
{
    // A Union that carries its own transform or frozen state decides by
    // itself: its candidates alone would accept values it must transform.
    bool is_union = false, self_decides = false;
    const Maybe<bool> native = with_engine(spec, [&](SpecEngine &e) {
        is_union = e.tag() == Tag::Union;
        self_decides = e.frozen || bool(e.transform);
    });
    if (!native) {
        return error;
    }
    if (!is_union || self_decides) {
        Ref one = Ref::steal(PyList_New(1));
        if (!one) {
            return error;
        }
        PyList_SET_ITEM(one.get(), 0, Ref::borrow(spec).release());
        return one;
    }
    Ref candidates = getattr(spec, "candidates");
    if (!candidates) {
        return error;
    }
    Ref list = Ref::steal(PySequence_List(candidates.get()));
    if (!list) {
        return error;
    }
    return list;
}

namespace {

struct Working {
    FieldMeta m;
    bool open_any = false, float_candidate = false, tuple_container = false;

    bool has_exact(PyObject *t) const noexcept { return m.is_exact(reinterpret_cast<PyTypeObject *>(t)); }
    void add_exact(PyObject *t)
    {
        if (!has_exact(t)) {
            m.exact.push_back(Ref::borrow(t));
        }
    }
    bool has_checked(PyObject *t) const noexcept
    {
        return m.checked_spec(reinterpret_cast<PyTypeObject *>(t)) != nullptr;
    }
};

// Classifies one candidate into the working record.
Status classify(Working &w, PyObject *c)
{
    bool any_open = false, is_float = false, non_strict = false, is_tuple = false;
    const Maybe<bool> native = with_engine(c, [&](SpecEngine &e) {
        any_open = e.tag() == Tag::Any && !e.frozen && !e.transform;
        if (const NumberKind *n = e.kind.get<NumberKind>()) {
            is_float = n->is_float;
            non_strict = e.strict != STRICT_TRUE;
        }
        is_tuple = e.tag() == Tag::Tuple;
    });
    if (!native) {
        return error;
    }
    Maybe<bool> container = funnel::is_container_candidate(c);
    Maybe<Ref> object_cls = container ? funnel::is_object_candidate(c) : Maybe<Ref>(error);
    if (!object_cls) {
        return error;
    }
    w.open_any = w.open_any || any_open;
    bool claimed = false;
    Maybe<Ref> t = funnel::exact_leaf_type(c);
    if (!t) {
        return error;
    }
    if (*t) {
        w.add_exact(t->get());
        claimed = true;
    }
    if (is_float && non_strict) {
        w.float_candidate = true;
    }
    Maybe<Ref> k = funnel::checked_leaf_type(c);
    if (!k) {
        return error;
    }
    if (*k) {
        if (!w.has_checked(k->get())) {
            w.m.checked.emplace_back(Ref::borrow(k->get()), Ref::borrow(c));
        }
        claimed = true;
    }
    if (*object_cls) {
        w.m.subclass.push_back(std::move(*object_cls));
        claimed = true;
    }
    if (*container) {
        w.m.wrap = true;
        w.tuple_container = w.tuple_container || is_tuple;
    }
    else if (!claimed) {
        w.m.custom_apply = true;
    }
    return Status::ok;
}

}  // namespace

Maybe<MetaPtr> build_field_meta(PyObject *key, PyObject *f, PyObject *spec)
{
    Maybe<bool> validation = truth_attr<"enable_validation">(f);
    if (!validation) {
        return error;
    }
    Maybe<bool> enable_wrap = truth_attr<"enable_wrap">(f);
    if (!enable_wrap) {
        return error;
    }
    Maybe<bool> has_default = truth_attr<"has_default">(spec);
    if (!has_default) {
        return error;
    }
    Maybe<bool> frozen = truth_attr<"frozen">(spec);
    if (!frozen) {
        return error;
    }
    auto w = std::make_unique<Working>();
    FieldMeta &m = w->m;
    m.key = Ref::borrow(key);
    m.value_spec = Ref::borrow(spec);
    m.enable_wrap = *enable_wrap;
    m.has_default = *has_default;
    m.frozen = *frozen;
    auto finish = [&]() -> MetaPtr { return MetaPtr::make(std::move(w->m)); };
    if (!*validation) {
        m.accept_any = true;
        return finish();
    }
    m.enable_validation = true;
    const Maybe<bool> has_validator = field_has_validator(f);
    if (!has_validator) {
        return error;
    }
    if (*has_validator) {
        m.custom_apply = true;
        return finish();
    }
    Maybe<Ref> candidates = candidate_specs(spec);
    if (!candidates) {
        return error;
    }
    PyObject *list = candidates->get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref c = Ref::borrow(PyList_GET_ITEM(list, i));
        if (failed(classify(*w, c.get()))) {
            return error;
        }
    }
    Maybe<base::Probe> noneable = base::probe_noneable(spec);
    if (!noneable) {
        return error;
    }
    if (*noneable == base::Probe::Yes) {
        w->add_exact(as_obj(Py_TYPE(Py_None)));
    }
    if (w->open_any) {
        PyObject *int_t = as_obj(&PyLong_Type);
        PyTypeObject *const *fast = bridge::any_fast_scalar_types();
        for (int i = 0; i < bridge::ANY_FAST_SCALAR_COUNT; ++i) {
            PyObject *t = as_obj(fast[i]);
            if (w->has_checked(t) || (w->tuple_container && fast[i] == &PyTuple_Type) ||
                (fast[i] == &PyBool_Type && w->has_checked(int_t))) {
                continue;
            }
            w->add_exact(t);
        }
    }
    // An int that some candidate checks keeps its type, as the engine's
    // candidate choice would keep it.
    PyObject *int_t = as_obj(&PyLong_Type);
    m.widen_to_float = w->float_candidate && !w->has_exact(int_t) && !w->has_checked(int_t);
    if (m.wrap) {
        Maybe<std::pair<funnel::FillShape, bool>> fill = funnel::container_fill_info(spec);
        if (!fill) {
            return error;
        }
        m.scalar_fill = fill->first != funnel::FillShape::Other && fill->second;
    }
    return finish();
}

Maybe<MetaPtr> build_and_cache_meta(PyObject *f)
{
    const std::uint64_t generation = meta_cell(f).generation;
    Ref key_spec = getattr(f, "key");
    if (!key_spec) {
        return error;
    }
    Ref spec = value_spec_of(f);
    if (!spec) {
        return error;
    }
    Ref text = getattr(key_spec.get(), "const_text");
    if (!text) {
        return error;
    }
    Maybe<MetaPtr> built = build_field_meta(text.get(), f, spec.get());
    if (!built) {
        return error;
    }
    // Invalidated while it was built: the record may describe old state.
    MetaCell &cell = meta_cell(f);
    if (cell.generation == generation) {
        // The displaced record goes with `stored`, after the cell holds the new one.
        MetaPtr stored = *built;
        stored.swap(cell.meta);
    }
    return built;
}

}  // namespace field

}  // namespace norv::typing
