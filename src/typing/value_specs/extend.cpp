// SpecBase.extend: a child spec refines a base spec. Every check of its own
// runs before anything is written, and a dry run over the children it holds
// (union candidates, element fields) meets their refusals before any child's
// extend runs; what the child inherits is gathered in a Plan and published in
// one write at the end. So a refused extension leaves everything as it was,
// except what children's own extend changed before a failure the dry run
// could not foresee.
#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/services.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/engine.hpp"
#include "typing/value_specs/primitives.hpp"
#include "typing/value_specs/relations.hpp"
#include "typing/value_specs/relations_util.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::relations {

using namespace rel;

namespace {

struct Plan {
    Ref transform;
    std::optional<std::uint8_t> strict;
    Ref regex;
    bool bounds = false;
    Ref min, max;
    bool list = false;
    Ref element_spec;
    std::int64_t min_size = 0;
    std::optional<std::int64_t> max_size;
    bool tuple_sizes = false;
    bool dict = false;
    Ref dict_default, schema, open_str;
    Ref args, kw, returns;
};

// A dry run walks an extension and, recursively, the children's, through the
// same steps, but writes nothing and calls no child's extend: it raises the
// refusal the extension would meet, or passes. It stops (and so vouches for
// nothing after that point) at a child whose extension it cannot follow: a
// Dict's schema, a host or Python-subclass spec or field, a key other than a
// ListKey or TupleKey, or an object the extension would already have changed
// when it meets it again, as a child or as a base (a shared object).
struct DryRun {
    std::unordered_set<PyObject *> writes;  // identities only: what the extension would change
    bool stopped = false;

    // Whether the run follows `child` extended by `base`; counts `child` as written.
    bool follows(PyObject *child, PyObject *base)
    {
        stopped = stopped || writes.contains(base) || !writes.insert(child).second;
        return !stopped;
    }
};

Ref run(PyObject *child, PyObject *base, DryRun *dry);

// The one write of an extension.
Status publish(PyObject *child, Plan &p)
{
    if (!base::is_spec(child)) {
        return raise(PyExc_TypeError, "not a native value spec");
    }
    if (failed(base::check_live(child))) {
        return error;
    }
    SpecObject *spec = base::as_spec(child);
    ExclusiveBorrow write(spec->borrow, OnConflict::Panic);
    SpecEngine &e = *spec->engine;
    e.invalidate_repr();
    if (p.transform) {
        e.transform = std::move(p.transform);
    }
    if (p.strict) {
        e.strict = *p.strict;
    }
    if (StrKind *k = e.kind.get<StrKind>(); k && p.regex) {
        k->regex = std::move(p.regex);
    }
    if (NumberKind *k = e.kind.get<NumberKind>(); k && p.bounds) {
        k->min = std::move(p.min);
        k->max = std::move(p.max);
    }
    if (ListKind *k = e.kind.get<ListKind>(); k && p.list) {
        k->element_spec = std::move(p.element_spec);
        k->min_size = p.min_size;
        k->max_size = p.max_size;
    }
    if (TupleKind *k = e.kind.get<TupleKind>(); k && p.tuple_sizes) {
        k->min_size = p.min_size;
        k->max_size = p.max_size;
    }
    if (p.dict) {
        e.default_value = std::move(p.dict_default);
        if (DictKind *k = e.kind.get<DictKind>()) {
            if (p.schema) {
                k->schema = std::move(p.schema);
            }
            k->open_str_value_spec = std::move(p.open_str);
        }
    }
    if (CallableKind *k = e.kind.get<CallableKind>()) {
        if (p.args) {
            k->args = std::move(p.args);
        }
        if (p.kw) {
            k->kw = std::move(p.kw);
        }
        if (p.returns) {
            k->returns = std::move(p.returns);
        }
    }
    return Status::ok;
}

Maybe<bool> is_a(PyObject *o, PyTypeObject *cls)
{
    if (cls == nullptr) {
        return error;
    }
    return predicate(PyObject_IsInstance(o, reinterpret_cast<PyObject *>(cls)));
}

// "{child!r} cannot extend {base!r}<tail>", where tail is a %-format over `arg`.
Error refuse(PyObject *child, PyObject *base, const char *tail, PyObject *arg = nullptr)
{
    Ref c = bridge::py_repr(child);
    if (!c) {
        return error;
    }
    Ref b = bridge::py_repr(base);
    if (!b) {
        return error;
    }
    Ref t = Ref::steal(arg ? PyUnicode_FromFormat(tail, arg) : PyUnicode_FromString(tail));
    if (!t) {
        return error;
    }
    return raise_format(PyExc_TypeError, "%U cannot extend %U%U", c.get(), b.get(), t.get());
}

// The base a candidate of the child's union is to extend, or an empty Ref.
Maybe<Ref> union_base_candidate(PyObject *candidate, PyObject *base)
{
    RecursionGuard depth(" while extending a union");
    if (depth.failed()) {
        return error;
    }
    const Maybe<bool> base_union = is_a(base, classes::union_type());
    if (!base_union) {
        return error;
    }
    if (*base_union) {
        Ref candidates = getattr(base, "candidates");
        if (!candidates) {
            return error;
        }
        Ref it = Ref::steal(PyObject_GetIter(candidates.get()));
        if (!it) {
            return error;
        }
        while (Ref c = Ref::steal(PyIter_Next(it.get()))) {
            Maybe<Ref> found = union_base_candidate(candidate, c.get());
            if (!found || *found) {
                return found;
            }
        }
        if (PyErr_Occurred()) {
            return error;
        }
        return Ref();
    }
    if (Py_TYPE(candidate) != Py_TYPE(base)) {
        return Ref();
    }
    if (reinterpret_cast<PyObject *>(Py_TYPE(candidate)) == bridge::get().object_cls) {
        Ref mine = attr<"value_type">(candidate);
        if (!mine) {
            return error;
        }
        Ref theirs = attr<"value_type">(base);
        if (!theirs) {
            return error;
        }
        const Maybe<bool> sub = bridge::call_is_subclass(mine.get(), theirs.get());
        if (!sub) {
            return error;
        }
        if (!*sub) {
            return Ref();
        }
    }
    return Ref::borrow(base);
}

// base.<name>, or an empty Ref when reading it raised.
Maybe<Ref> attr_or_absent(PyObject *o, const char *name)
{
    Ref v = getattr(o, name);
    if (v) {
        return v;
    }
    if (failed(discard_ordinary_error())) {
        return error;
    }
    return Ref();
}

struct Pair {
    Ref child, base;
};

// A spec whose `extend` is this one: an instance of a native class.
bool extends_natively(PyObject *o)
{
    return base::is_spec(o) && PyType_HasFeature(Py_TYPE(o), Py_TPFLAGS_IMMUTABLETYPE);
}

Status dry_spec(PyObject *child, PyObject *base, DryRun &d)
{
    if (!extends_natively(child)) {
        d.stopped = true;
    }
    if (!d.follows(child, base)) {
        return Status::ok;
    }
    if (failed(base::check_live(child))) {
        return error;
    }
    return run(child, base, &d) ? Status::ok : Status::error;
}

// The steps of Field.extend that can refuse: its key's extension, then its value spec's.
Status dry_field(PyObject *field, PyObject *base_field, DryRun &d)
{
    if (!field::is_field(field) || !field::is_field(base_field)) {
        d.stopped = true;
    }
    if (!d.follows(field, base_field)) {
        return Status::ok;
    }
    Ref key = getattr(field, "key");
    Ref base_key = key ? getattr(base_field, "key") : Ref();
    if (!base_key) {
        return error;
    }
    if (!d.follows(key.get(), base_key.get())) {
        return Status::ok;
    }
    Maybe<bool> followed = key_specs::check_extend(key.get(), base_key.get());
    if (!followed) {
        return error;
    }
    if (!*followed) {
        d.stopped = true;
        return Status::ok;
    }
    Ref value = field::value_spec_of(field);
    Ref base_value = value ? field::value_spec_of(base_field) : Ref();
    return base_value ? dry_spec(value.get(), base_value.get(), d) : Status::error;
}

// Extends each child by its base through the child's own extend, in order,
// after a dry run over all of them; within a dry run, only that run. `owner`
// is the spec whose children they are: it is written after them.
Status extend_children(PyObject *owner, const std::vector<Pair> &pairs, bool fields, DryRun *dry)
{
    DryRun own;
    DryRun &d = dry ? *dry : own;
    if (!dry) {
        own.writes.insert(owner);
    }
    for (const Pair &p : pairs) {
        if (d.stopped) {
            break;
        }
        const Status st =
            fields ? dry_field(p.child.get(), p.base.get(), d) : dry_spec(p.child.get(), p.base.get(), d);
        if (failed(st)) {
            return error;
        }
    }
    if (dry) {
        return Status::ok;
    }
    for (const Pair &p : pairs) {
        if (!call_method1(p.child.get(), "extend", p.base.get())) {
            return error;
        }
    }
    return Status::ok;
}

Status merge_number(PyObject *child, PyObject *base, const NumberKind &k, Plan &p)
{
    Maybe<Ref> base_min = attr_or_absent(base, "min_value");
    if (!base_min) {
        return error;
    }
    Maybe<Ref> base_max = attr_or_absent(base, "max_value");
    if (!base_max) {
        return error;
    }
    Ref min = k.min ? Ref::borrow(k.min.get()) : Ref();
    Ref max = k.max ? Ref::borrow(k.max.get()) : Ref();
    if (*base_min && base_min->get() != Py_None) {
        if (!min) {
            min = std::move(*base_min);
        }
        else {
            const Maybe<bool> smaller = compare_truth(min.get(), base_min->get(), Py_LT);
            if (!smaller) {
                return error;
            }
            if (*smaller) {
                return refuse(child, base, ": min_value is smaller.");
            }
        }
    }
    if (*base_max && base_max->get() != Py_None) {
        if (!max) {
            max = std::move(*base_max);
        }
        else {
            const Maybe<bool> larger = compare_truth(max.get(), base_max->get(), Py_GT);
            if (!larger) {
                return error;
            }
            if (*larger) {
                return refuse(child, base, ": max_value is larger.");
            }
        }
    }
    if (min && max) {
        const Maybe<bool> inverted = compare_truth(min.get(), max.get(), Py_GT);
        if (!inverted) {
            return error;
        }
        if (*inverted) {
            Ref lo = str_of(min.get());
            Ref hi = str_of(max.get());
            if (!lo || !hi) {
                return error;
            }
            Ref tail = Ref::steal(PyUnicode_FromFormat(
                ": min_value (%U) is greater than max_value (%U) after extension.", lo.get(), hi.get()));
            return tail ? refuse(child, base, "%U", tail.get()) : Status::error;
        }
    }
    p.bounds = true;
    p.min = std::move(min);
    p.max = std::move(max);
    return Status::ok;
}

Status merge_tuple(PyObject *child, PyObject *base, PyObject *fields, bool fixed, std::int64_t min_size,
                   std::optional<std::int64_t> max_size, Plan &p, DryRun *dry)
{
    const Maybe<bool> base_fixed = attr_bool(base, "fixed_length");
    if (!base_fixed) {
        return error;
    }
    Ref base_fields = getattr(base, "elements");
    if (!base_fields) {
        return error;
    }
    const Py_ssize_t n = PyList_GET_SIZE(fields);
    std::vector<Pair> pairs;
    // The child's element list is handed out by its getter: read each item afresh.
    auto pair = [&](Py_ssize_t i, Py_ssize_t base_i) {
        Ref theirs = Ref::steal(PySequence_GetItem(base_fields.get(), base_i));
        Ref own = theirs ? Ref::steal(PySequence_GetItem(fields, i)) : Ref();
        if (!own) {
            return Status::error;
        }
        pairs.push_back({std::move(own), std::move(theirs)});
        return Status::ok;
    };
    if (fixed && *base_fixed) {
        const Py_ssize_t m = PyObject_Size(base_fields.get());
        if (m < 0) {
            return error;
        }
        if (m != n) {
            return refuse(child, base, ": unmatched number of elements.");
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (failed(pair(i, i))) {
                return error;
            }
        }
        return extend_children(child, pairs, true, dry);
    }
    if (!fixed && *base_fixed) {
        return refuse(child, base, ": a variable length tuple cannot extend a fixed length tuple.");
    }
    Maybe<std::int64_t> base_min = attr_i64(base, "min_size");
    if (!base_min) {
        return error;
    }
    Maybe<std::optional<std::int64_t>> base_max = attr_opt_i64(base, "max_size");
    if (!base_max) {
        return error;
    }
    Ref theirs = Ref::steal(PySequence_GetItem(base_fields.get(), 0));
    if (!theirs) {
        return error;
    }
    if (fixed) {
        if (*base_min > n) {
            return refuse(child, base, " as it has less elements than required.");
        }
        if (*base_max && **base_max < n) {
            return refuse(child, base, " as it has more elements than required.");
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref own = Ref::steal(PySequence_GetItem(fields, i));
            if (!own) {
                return error;
            }
            pairs.push_back({std::move(own), Ref::borrow(theirs.get())});
        }
        return extend_children(child, pairs, true, dry);
    }
    if (min_size != 0 && min_size < *base_min) {
        return refuse(child, base, " as it has smaller min size.");
    }
    if (max_size && *base_max && *max_size > **base_max) {
        return refuse(child, base, " as it has greater max size.");
    }
    Ref own = Ref::steal(PySequence_GetItem(fields, 0));
    if (!own) {
        return error;
    }
    pairs.push_back({std::move(own), std::move(theirs)});
    if (failed(extend_children(child, pairs, true, dry))) {
        return error;
    }
    p.tuple_sizes = true;
    p.min_size = min_size == 0 ? *base_min : min_size;
    p.max_size = max_size ? max_size : *base_max;
    return Status::ok;
}

// Str regex, number bounds, List element and Tuple elements; the other kinds
// inherit nothing here.
Status merge_kind(PyObject *child, PyObject *base, Plan &p, DryRun *dry)
{
    // A snapshot of the child's payload: the rules below call Python.
    Tag tag;
    Ref regex, element_field, fields;
    NumberKind number;
    bool fixed = false;
    std::int64_t min_size = 0;
    std::optional<std::int64_t> max_size;
    {
        base::NativeRead r(child);
        if (r.failed()) {
            return error;
        }
        const SpecEngine &e = r.engine();
        tag = e.tag();
        if (const StrKind *sk = e.kind.get<StrKind>()) {
            regex = sk->regex ? Ref::borrow(sk->regex.get()) : Ref();
        }
        else if (const NumberKind *nk = e.kind.get<NumberKind>()) {
            number.min = nk->min ? Ref::borrow(nk->min.get()) : Ref();
            number.max = nk->max ? Ref::borrow(nk->max.get()) : Ref();
        }
        else if (const ListKind *lk = e.kind.get<ListKind>()) {
            element_field = Ref::borrow(lk->element_field.get());
        }
        else if (const TupleKind *tk = e.kind.get<TupleKind>()) {
            fields = Ref::borrow(tk->elements.get());
            fixed = tk->fixed_length;
            min_size = tk->min_size;
            max_size = tk->max_size;
        }
    }
    switch (tag) {
        case Tag::Str: {
            Maybe<Ref> base_regex = attr_or_absent(base, "regex");
            if (!base_regex) {
                return error;
            }
            if (!regex && *base_regex && base_regex->get() != Py_None) {
                p.regex = std::move(*base_regex);
            }
            return Status::ok;
        }
        case Tag::Number:
            return merge_number(child, base, number, p);
        case Tag::List: {
            Ref base_element = getattr(base, "element");
            if (!base_element) {
                return error;
            }
            std::vector<Pair> pairs;
            pairs.push_back({Ref::borrow(element_field.get()), std::move(base_element)});
            if (failed(extend_children(child, pairs, true, dry))) {
                return error;
            }
            if (dry) {
                return Status::ok;
            }
            p.element_spec = attr<"value">(element_field.get());
            if (!p.element_spec) {
                return error;
            }
            Ref key = getattr(element_field.get(), "key");
            if (!key) {
                return error;
            }
            Maybe<std::int64_t> min = attr_i64(key.get(), "min_value");
            if (!min) {
                return error;
            }
            Maybe<std::optional<std::int64_t>> max = attr_opt_i64(key.get(), "max_value");
            if (!max) {
                return error;
            }
            p.list = true;
            p.min_size = *min;
            p.max_size = *max;
            return Status::ok;
        }
        case Tag::Tuple:
            return merge_tuple(child, base, fields.get(), fixed, min_size, max_size, p, dry);
        default:
            return Status::ok;
    }
}

Status extend_enum(PyObject *child, PyObject *base)
{
    Ref values = getattr(child, "values");
    if (!values) {
        return error;
    }
    Ref it = Ref::steal(PyObject_GetIter(values.get()));
    if (!it) {
        return error;
    }
    while (Ref v = Ref::steal(PyIter_Next(it.get()))) {
        Ref applied = call_method1(base, "apply", v.get());
        if (applied) {
            continue;
        }
        if (failed(discard_error_of({PyExc_TypeError, PyExc_ValueError}))) {
            return error;
        }
        Ref text = bridge::py_repr(v.get());
        return text ? refuse(child, base, ": %U is not an acceptable value.", text.get()) : Status::error;
    }
    return PyErr_Occurred() ? Status::error : Status::ok;
}

Status extend_union(PyObject *child, PyObject *base, DryRun *dry)
{
    Ref candidates = getattr(child, "candidates");
    if (!candidates) {
        return error;
    }
    Ref list = Ref::steal(PySequence_List(candidates.get()));
    if (!list) {
        return error;
    }
    // Every candidate finds its base before any of them changes.
    std::vector<Pair> pairs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref c = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        Maybe<Ref> found = union_base_candidate(c.get(), base);
        if (!found) {
            return error;
        }
        if (!*found) {
            Ref text = str_of(c.get());
            return text ? refuse(child, base, ": incompatible value spec %U.", text.get()) : Status::error;
        }
        pairs.push_back({std::move(c), std::move(*found)});
    }
    return extend_children(child, pairs, false, dry);
}

Ref deepcopy(PyObject *o)
{
    Ref copy = Ref::steal(PyImport_ImportModule("copy"));
    return copy ? call_method1(copy.get(), "deepcopy", o) : Ref();
}

// A child without a schema takes a copy of the base's; one with a schema
// extends it in place, through the schema's own extend, so whoever holds that
// schema (a class, a caller) sees the extension.
Status extend_dict(PyObject *child, PyObject *base, Plan &p, DryRun *dry)
{
    Ref base_schema = getattr(base, "schema");
    if (!base_schema) {
        return error;
    }
    if (base_schema.get() == Py_None) {
        return Status::ok;
    }
    Ref schema = getattr(child, "schema");
    if (!schema) {
        return error;
    }
    if (dry) {
        // Copies refuse nothing; a schema's extension cannot be followed.
        dry->stopped = schema.get() != Py_None;
        return Status::ok;
    }
    Ref default_value;
    if (schema.get() == Py_None) {
        schema = deepcopy(base_schema.get());
        Ref base_default = schema ? getattr(base, "default") : Ref();
        default_value = base_default ? deepcopy(base_default.get()) : Ref();
        p.schema = Ref::borrow(schema.get());
    }
    else {
        if (!call_method1(schema.get(), "extend", base_schema.get())) {
            return error;
        }
        Ref apply = attr<"apply">(schema.get());
        Ref empty = apply ? Ref::steal(PyDict_New()) : Ref();
        Ref kwargs = empty ? Ref::steal(Py_BuildValue("{s:O}", "allow_partial", Py_True)) : Ref();
        Ref args = kwargs ? Ref::steal(PyTuple_Pack(1, empty.get())) : Ref();
        default_value = args ? Ref::steal(PyObject_Call(apply.get(), args.get(), kwargs.get())) : Ref();
    }
    if (!default_value) {
        return error;
    }
    Maybe<Ref> open_str = util::compute_open_str_value_spec(schema.get());
    if (!open_str) {
        return error;
    }
    p.dict = true;
    p.dict_default = std::move(default_value);
    p.open_str = std::move(*open_str);
    return Status::ok;
}

Status extend_callable(PyObject *child, PyObject *base, Plan &p)
{
    for (const char *name : {"args", "kw"}) {
        Ref mine = getattr(child, name);
        if (!mine) {
            return error;
        }
        const Py_ssize_t n = PyObject_Size(mine.get());
        if (n < 0) {
            return error;
        }
        if (n == 0) {
            Ref theirs = getattr(base, name);
            Ref copy = theirs ? Ref::steal(PySequence_List(theirs.get())) : Ref();
            if (!copy) {
                return error;
            }
            (name[0] == 'a' ? p.args : p.kw) = std::move(copy);
        }
    }
    Ref mine = getattr(child, "return_value");
    if (!mine) {
        return error;
    }
    if (mine.get() == Py_None) {
        Ref theirs = getattr(base, "return_value");
        if (!theirs) {
            return error;
        }
        if (theirs.get() != Py_None) {
            p.returns = std::move(theirs);
        }
    }
    return Status::ok;
}

Status extend_kind(PyObject *child, PyObject *base, Plan &p, DryRun *dry)
{
    Maybe<bool> hit = is_a(child, classes::enum_type());
    if (!hit || *hit) {
        return hit ? extend_enum(child, base) : Status::error;
    }
    hit = is_a(child, classes::union_type());
    if (!hit || *hit) {
        return hit ? extend_union(child, base, dry) : Status::error;
    }
    Maybe<base::Probe> dict =
        base::with_native_base(child, [](const SpecEngine &e) { return e.tag() == Tag::Dict; });
    if (!dict) {
        return error;
    }
    if (*dict == base::Probe::Yes) {
        return extend_dict(child, base, p, dry);
    }
    hit = is_a(child, classes::callable_type());
    if (!hit || *hit) {
        return hit ? extend_callable(child, base, p) : Status::error;
    }
    const Maybe<bool> object = is_a(child, classes::object_type());
    if (!object) {
        return error;
    }
    const Maybe<bool> type = *object ? Maybe<bool>(false) : is_a(child, classes::type_type());
    if (!type) {
        return error;
    }
    if (*object || *type) {
        const Maybe<bool> ok = ask_compatible(base, child);
        if (!ok || *ok) {
            return ok ? Status::ok : Status::error;
        }
        return refuse(child, base, *object ? ": incompatible class." : ": incompatible type.");
    }
    return merge_kind(child, base, p, dry);
}

// An Object child meets a Callable base that takes it as it is: true when
// the base's own `is_compatible` accepts the child.
Maybe<bool> callable_base_accepts(PyObject *child, PyObject *base)
{
    const Maybe<bool> object_child = is_a(child, classes::object_type());
    if (!object_child || !*object_child) {
        return object_child;
    }
    const Maybe<bool> callable_base = is_a(base, classes::callable_type());
    if (!callable_base || !*callable_base) {
        return callable_base;
    }
    return ask_compatible(base, child);
}

// A frozen base takes only a child frozen to an equal value.
Status check_frozen_base(PyObject *child, PyObject *base, bool child_frozen, PyObject *child_default)
{
    const Maybe<bool> base_frozen = attr_bool(base, "frozen");
    if (!base_frozen || !*base_frozen) {
        return base_frozen ? Status::ok : Status::error;
    }
    bool differs = true;
    if (child_frozen) {
        Ref base_default = getattr(base, "default");
        if (!base_default) {
            return error;
        }
        const Maybe<bool> ne = compare_truth(child_default, base_default.get(), Py_NE);
        if (!ne) {
            return error;
        }
        differs = *ne;
    }
    if (!differs) {
        return Status::ok;
    }
    Ref c = bridge::py_repr(child);
    Ref b = c ? bridge::py_repr(base) : Ref();
    return b ? raise_format(PyExc_TypeError, "%U cannot extend a frozen value spec: %U", c.get(), b.get())
             : Status::error;
}

// A frozen child over an Enum base: a new Enum of the base's values, frozen
// to the child's value (a dry run answers `child`). An empty Ref when the
// base is no Enum.
Maybe<Ref> frozen_over_enum(PyObject *child, PyObject *base, PyObject *child_default, bool dry)
{
    const Maybe<bool> enum_base = is_a(base, classes::enum_type());
    if (!enum_base) {
        return error;
    }
    if (!*enum_base) {
        return Ref();
    }
    Ref values = getattr(base, "values");
    if (!values) {
        return error;
    }
    const int in = PySequence_Contains(values.get(), child_default);
    if (in < 0) {
        return error;
    }
    if (!in) {
        Ref text = bridge::py_repr(child_default);
        return text ? refuse(child, base, " with incompatible frozen value: %U ", text.get()) : Error{};
    }
    if (dry) {
        return Ref::borrow(child);
    }
    Ref made =
        Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(classes::enum_type()), values.get()));
    if (!made || !call_method1(made.get(), "freeze", child_default)) {
        return error;
    }
    return made;
}

// What every kind inherits: the base's transform and strictness where the
// child has none.
Status inherit_common(PyObject *child, PyObject *base, Plan &plan)
{
    Ref child_transform = getattr(child, "transform");
    if (!child_transform) {
        return error;
    }
    if (child_transform.get() == Py_None) {
        Ref t = getattr(base, "transform");
        if (!t) {
            return error;
        }
        if (t.get() != Py_None) {
            plan.transform = std::move(t);
        }
    }
    Ref child_strict = getattr(child, "_strict");
    if (!child_strict) {
        return error;
    }
    if (child_strict.get() == Py_None) {
        Ref s = getattr(base, "_strict");
        if (!s) {
            return error;
        }
        if (s.get() != Py_None) {
            const Maybe<bool> strict = truth(s.get());
            if (!strict) {
                return error;
            }
            plan.strict = *strict ? STRICT_TRUE : STRICT_FALSE;
        }
    }
    return Status::ok;
}

// The spec the child extends: the base itself, or, for a Union base and a
// child that is no Union, the candidate the base picks for the child.
Ref extension_target(PyObject *child, PyObject *base)
{
    PyObject *union_cls = bridge::get().union_cls;
    if (!PyType_Check(union_cls)) {
        return raise_not_instance(union_cls, "type");
    }
    const int child_union = PyObject_IsInstance(child, union_cls);
    const int base_union = child_union ? 0 : PyObject_IsInstance(base, union_cls);
    if (child_union < 0 || base_union < 0) {
        return error;
    }
    if (!base_union) {
        return Ref::borrow(base);
    }
    Ref target = call_method1(base, "get_candidate", child);
    if (!target) {
        return error;
    }
    if (target.get() == Py_None) {
        return refuse(child, base, ": no compatible type found in Union.");
    }
    return target;
}

// The child is of the target's class (or an Enum) and allows None only
// where the target does.
Status check_shape(PyObject *child, PyObject *target)
{
    const int same_class = PyObject_IsInstance(child, reinterpret_cast<PyObject *>(Py_TYPE(target)));
    if (same_class < 0) {
        return error;
    }
    if (!same_class) {
        const Maybe<bool> enum_child = is_a(child, classes::enum_type());
        if (!enum_child) {
            return error;
        }
        if (!*enum_child) {
            return refuse(child, target, ": incompatible type.");
        }
    }
    const Maybe<bool> base_noneable = attr_bool(target, "is_noneable");
    if (!base_noneable) {
        return error;
    }
    if (!*base_noneable) {
        const Maybe<bool> child_noneable = attr_bool(child, "is_noneable");
        if (!child_noneable) {
            return error;
        }
        if (*child_noneable) {
            return refuse(child, target, ": None is not allowed in base spec.");
        }
    }
    return Status::ok;
}

// The extension of `child` by `base`, or with `dry` its dry run (which builds
// and writes nothing and answers `child` when nothing refused).
Ref run(PyObject *child, PyObject *base, DryRun *dry)
{
    RecursionGuard depth(" while extending a value spec");
    if (depth.failed()) {
        return error;
    }
    const Maybe<bool> accepted = callable_base_accepts(child, base);
    if (!accepted) {
        return error;
    }
    if (*accepted) {
        return Ref::borrow(child);
    }
    const Maybe<bool> child_frozen = attr_bool(child, "frozen");
    if (!child_frozen) {
        return error;
    }
    Ref child_default = getattr(child, "default");
    if (!child_default || failed(check_frozen_base(child, base, *child_frozen, child_default.get()))) {
        return error;
    }
    if (*child_frozen) {
        Maybe<Ref> made = frozen_over_enum(child, base, child_default.get(), dry != nullptr);
        if (!made) {
            return error;
        }
        if (*made) {
            return std::move(*made);
        }
    }
    Plan plan;
    if (failed(inherit_common(child, base, plan))) {
        return error;
    }
    const Maybe<bool> any_base = is_a(base, primitives::any_type());
    if (!any_base) {
        return error;
    }
    if (*any_base) {
        return dry || !failed(publish(child, plan)) ? Ref::borrow(child) : Ref();
    }
    Ref target = extension_target(child, base);
    if (!target || failed(check_shape(child, target.get())) ||
        failed(extend_kind(child, target.get(), plan, dry)) || (!dry && failed(publish(child, plan)))) {
        return error;
    }
    return Ref::borrow(child);
}

}  // namespace

Ref spec_extend(PyObject *self, FastArgs a)
{
    static const Signature sig{"extend", {arg("base")}, {.method = true}};
    Bound b;
    if (failed(sig.bind(a, b)) || failed(base::check_live(self))) {
        return error;
    }
    return run(self, b[0], nullptr);
}

#ifdef NORV_TEST_PROBES
Ref extend_kind_only(PyObject *child, PyObject *base)
{
    if (failed(base::check_live(child))) {
        return error;
    }
    Plan plan;
    if (failed(extend_kind(child, base, plan, nullptr)) || failed(publish(child, plan))) {
        return error;
    }
    return Ref::borrow(child);
}
#endif

}  // namespace norv::typing::relations
