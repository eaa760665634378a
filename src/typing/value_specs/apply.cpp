// The apply pipeline and leaf validation.
//
// Stages run in a fixed order and the first that returns or raises decides:
// native shortcuts (no Python call, no allocation), then the frozen, missing,
// None and custom-typing rules, the user transform, the type check with
// coercion, child application and the leaf constraints. Messages, and the
// path text inside them, are built only on the failing path, by `reject`.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <initializer_list>

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "typing/bridge/bridge.hpp"
#include "typing/value_specs/classes.hpp"
#include "typing/value_specs/containers.hpp"
#include "typing/value_specs/engine.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing::engine {

namespace {

PyObject *small_int(int i)
{
    // 0 and 1 are immortal small ints: borrowing them needs no cell.
    return i == 0 ? PyLong_FromLong(0) : PyLong_FromLong(1);
}

Ref item(PyObject *r, int i)
{
    Ref index = Ref::steal(small_int(i));
    return Ref::steal(PyObject_GetItem(r, index.get()));
}

// ---- message text --------------------------------------------------------------------

// One piece of a message: ASCII text or a str.
struct Piece {
    Piece(PyObject *s) noexcept : str(s) {}
    template <std::size_t N>
    Piece(const char (&literal)[N]) noexcept : ascii(literal), length(N - 1)
    {
    }
    Piece(const char *text, Py_ssize_t n) noexcept : ascii(text), length(n) {}

    PyObject *str = nullptr;
    const char *ascii = nullptr;
    Py_ssize_t length = 0;
};

using Pieces = std::initializer_list<Piece>;

// The pieces joined in one allocation: what PyUnicode_FromFormat makes of
// them, without parsing a format or growing a buffer, for the rejections that
// callers meet most often.
Ref concat(Pieces head, Pieces tail = {})
{
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0x7f;
    for (Pieces part : {head, tail}) {
        for (const Piece &p : part) {
            if (p.str != nullptr) {
                length += PyUnicode_GET_LENGTH(p.str);
                maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(p.str));
            }
            else {
                length += p.length;
            }
        }
    }
    Ref out = Ref::steal(PyUnicode_New(length, maxchar));
    if (!out) {
        return error;
    }
    const int kind = PyUnicode_KIND(out.get());
    void *data = PyUnicode_DATA(out.get());
    Py_ssize_t at = 0;
    for (Pieces part : {head, tail}) {
        for (const Piece &p : part) {
            if (p.str == nullptr) {
                if (kind == PyUnicode_1BYTE_KIND) {
                    std::memcpy(static_cast<char *>(data) + at, p.ascii, static_cast<std::size_t>(p.length));
                }
                else {
                    for (Py_ssize_t i = 0; i < p.length; ++i) {
                        PyUnicode_WRITE(kind, data, at + i, static_cast<Py_UCS4>(p.ascii[i]));
                    }
                }
                at += p.length;
                continue;
            }
            const Py_ssize_t n = PyUnicode_GET_LENGTH(p.str);
            if (PyUnicode_KIND(p.str) == kind) {
                std::memcpy(static_cast<char *>(data) + at * kind, PyUnicode_DATA(p.str),
                            static_cast<std::size_t>(n) * kind);
            }
            else if (PyUnicode_CopyCharacters(out.get(), at, p.str, 0, n) < 0) {
                return error;
            }
            at += n;
        }
    }
    return out;
}

// str(x) as a piece. An exact int of one machine word is written here: its
// text cannot be overridden and needs no str object.
class StrPiece {
public:
    [[nodiscard]] Status set(PyObject *x)
    {
        if (PyLong_CheckExact(x) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(x))) {
            const auto r = std::to_chars(digits_, digits_ + sizeof digits_,
                                         PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(x)));
            length_ = r.ptr - digits_;
            return Status::ok;
        }
        str_ = str_of(x);
        return str_ ? Status::ok : Status::error;
    }
    Piece piece() const noexcept { return str_ ? Piece(str_.get()) : Piece(digits_, length_); }

private:
    char digits_[24];
    Py_ssize_t length_ = 0;
    Ref str_;
};

// ---- rejections --------------------------------------------------------------------
//
// "The spec rejects this value" has one funnel: `message` builds the text (a
// null Ref when building it raised, and then that error wins) and runs only
// here, on the failing path.

template <class Message>
Verdict reject(PyObject *type, Message &&message)
{
    Ref text = message();
    if (!text) {
        return error;
    }
    PyErr_SetObject(type, text.get());
    return Verdict::Invalid;
}

// The message followed by " (path=...)": the text bridge::message_on_path
// makes, joined here in one allocation because this is the path that every
// failing value takes.
template <class Message>
Verdict reject_on_path(PyObject *type, PathText &path, Message &&message)
{
    return reject(type, [&]() -> Ref {
        Ref text = message();
        if (!text) {
            return error;
        }
        PyObject *path_text = path.get();
        if (path_text == nullptr) {
            return error;
        }
        return concat({text.get(), " (path=", path_text, ")"});
    });
}

// The same for a message made of pieces, joined with the suffix in one
// allocation: `message(join)` makes its pieces and returns `join({...})`.
template <class Message>
Verdict reject_joined_on_path(PyObject *type, PathText &path, Message &&message)
{
    return reject(type, [&]() -> Ref {
        return message([&](Pieces pieces) -> Ref {
            PyObject *path_text = path.get();
            if (path_text == nullptr) {
                return error;
            }
            return concat(pieces, {" (path=", path_text, ")"});
        });
    });
}

// `repr(t)` (or `str(t)`) of a type. A builtin static type whose metaclass
// is `type` always renders the same text, so it is made once per process:
// the type-mismatch message names such types on every failed value.
Ref type_text(PyObject *t, bool use_repr)
{
    struct Entry {
        PyObject *type;
        PyObject *text;  // a strong reference, kept for the process
    };
    static Entry table[32];
    static std::size_t used = 0;
    const bool fixed = PyType_Check(t) && Py_IS_TYPE(t, &PyType_Type) &&
                       !PyType_HasFeature(reinterpret_cast<PyTypeObject *>(t), Py_TPFLAGS_HEAPTYPE);
    if (!fixed) {
        return use_repr ? repr_of(t) : str_of(t);
    }
    for (std::size_t i = 0; i < used; ++i) {
        if (table[i].type == t) {
            return Ref::borrow(table[i].text);
        }
    }
    Ref text = repr_of(t);
    if (text && used < std::size(table)) {
        table[used++] = Entry{t, Py_NewRef(text.get())};
    }
    return text;
}

// A ValueError whose `fmt` takes the path text and the spec's text.
Verdict reject_with_spec(SpecEngine &e, const char *fmt, PathText &path)
{
    return reject(PyExc_ValueError, [&]() -> Ref {
        Ref spec_text = repr(e);
        if (!spec_text) {
            return error;
        }
        PyObject *path_text = path.get();
        if (path_text == nullptr) {
            return error;
        }
        return Ref::steal(PyUnicode_FromFormat(fmt, path_text, spec_text.get()));
    });
}

// ---- stages ------------------------------------------------------------------------

Ref apply_custom_typing(PyObject *spec_object, PyObject *value, bool allow_partial, PyObject *child_transform,
                        PyObject *root_path, bool *proceed)
{
    Ref path = ensure_keypath(root_path);
    if (!path) {
        return error;
    }
    PyObject *names = kwnames<"allow_partial", "child_transform">();
    PyObject *args[] = {value, path.get(), spec_object ? spec_object : Py_None,
                        allow_partial ? Py_True : Py_False, child_transform ? child_transform : Py_None};
    Ref r = Ref::steal(PyObject_VectorcallMethod(interned<"custom_apply">(), args,
                                                 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
    if (!r) {
        return error;
    }
    Ref flag = item(r.get(), 0);
    if (!flag) {
        return error;
    }
    if (!PyBool_Check(flag.get())) {
        return raise_not_instance(flag.get(), "bool");
    }
    *proceed = flag.get() == Py_True;
    return item(r.get(), 1);
}

// A strict spec refuses a bool where the value type does not name bool itself
// (bool is an int subclass, so isinstance alone would let it through).
Maybe<bool> strict_refuses_bool(const SpecEngine &e, PyObject *value, PyObject *vt)
{
    if (e.strict != STRICT_TRUE || Py_TYPE(value) != &PyBool_Type) {
        return false;
    }
    PyObject *object = util::builtin_object_type();
    if (object == nullptr) {
        return error;
    }
    if (vt == reinterpret_cast<PyObject *>(&PyBool_Type) || vt == object) {
        return false;
    }
    if (PyTuple_Check(vt)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(vt); ++i) {
            if (PyTuple_GET_ITEM(vt, i) == reinterpret_cast<PyObject *>(&PyBool_Type)) {
                return false;
            }
        }
    }
    return true;
}

// isinstance(value, vt) for a plain value type (classes made by `type`, so no
// __instancecheck__). For the builtin scalar and container types `__class__`
// cannot differ from the type, so the subtype test is the whole answer and
// the interpreter's `__class__` probe is skipped.
Maybe<bool> isinstance_plain(PyObject *value, PyObject *vt)
{
    if (!bridge::is_any_fast_type(value, true)) {
        return predicate(PyObject_IsInstance(value, vt));
    }
    PyTypeObject *t = Py_TYPE(value);
    if (PyTuple_Check(vt)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(vt); ++i) {
            if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(vt, i)))) {
                return true;
            }
        }
        return false;
    }
    return PyType_IsSubtype(t, reinterpret_cast<PyTypeObject *>(vt)) != 0;
}

// The value `t` makes of `value`, or an empty Ref when `t` declines it.
Maybe<Ref> try_accept(PyObject *t, PyObject *value)
{
    if (t == reinterpret_cast<PyObject *>(&PyFloat_Type) && PyLong_Check(value)) {
        return util::some(Ref::steal(PyNumber_Float(value)));
    }
    PyObject *accept = nullptr;
    const int found = PyObject_GetOptionalAttr(t, interned<"__nv_accept__">(), &accept);
    if (found < 0) {
        return error;
    }
    if (found == 0) {
        return Ref();
    }
    Ref accept_ref = Ref::steal(accept);
    Ref r = Ref::steal(PyObject_CallOneArg(accept, value));
    if (!r) {
        return error;
    }
    if (r.get() == Py_NotImplemented) {
        return Ref();
    }
    return r;
}

// `regex.match(value)`. Compiled patterns are all of one final class, so its
// `match` descriptor is looked up once and, when it is a plain C method, its
// function is called straight away, as the descriptor itself would. Only a
// class whose instances can neither shadow the descriptor (no instance dict)
// nor redirect the lookup (generic getattr) is cached that way.
struct PatternMatch {
    PyTypeObject *type;
    PyObject *descr;
    PyCMethod call;  // nullptr: call through the descriptor
};
OnceCell<const PatternMatch *> PATTERN_MATCH;

constexpr int C_METHOD_FLAGS = METH_FASTCALL | METH_KEYWORDS | METH_METHOD;

// Fills the cell when instances of `tp` are eligible.
Status cache_pattern_match(PyTypeObject *tp)
{
    if (!PyType_HasFeature(tp, Py_TPFLAGS_IMMUTABLETYPE) || PyType_HasFeature(tp, Py_TPFLAGS_BASETYPE) ||
        tp->tp_dictoffset != 0 || tp->tp_getattro != PyObject_GenericGetAttr) {
        return Status::ok;
    }
    Ref descr = getattr(reinterpret_cast<PyObject *>(tp), interned<"match">());
    if (!descr) {
        return error;
    }
    if (!PyObject_TypeCheck(descr.get(), &PyMethodDescr_Type)) {
        return Status::ok;
    }
    auto *d = reinterpret_cast<PyMethodDescrObject *>(descr.get());
    PyCMethod call = nullptr;
    if (d->d_common.d_type == tp && d->d_method->ml_flags == C_METHOD_FLAGS) {
        call = reinterpret_cast<PyCMethod>(reinterpret_cast<void (*)()>(d->d_method->ml_meth));
    }
    // Kept for the life of the process, like every cell's content.
    auto *record = new PatternMatch{tp, descr.get(), call};
    if (PATTERN_MATCH.set(record)) {
        (void)descr.release();
        Py_INCREF(tp);
    }
    else {
        delete record;
    }
    return Status::ok;
}

Ref regex_match(PyObject *regex, PyObject *value)
{
    PyTypeObject *tp = Py_TYPE(regex);
    const PatternMatch *const *cached = PATTERN_MATCH.get();
    if (cached == nullptr) {
        if (failed(cache_pattern_match(tp))) {
            return error;
        }
        cached = PATTERN_MATCH.get();
    }
    if (cached != nullptr && tp == (*cached)->type) {
        if (PyCMethod call = (*cached)->call) {
            return Ref::steal(call(regex, tp, &value, 1, nullptr));
        }
        PyObject *args[] = {regex, value};
        return Ref::steal(PyObject_Vectorcall((*cached)->descr, args, 2, nullptr));
    }
    return Ref::steal(PyObject_CallMethodOneArg(regex, interned<"match">(), value));
}

// An exact int given to an unbounded Float spec that is neither frozen nor
// transformed: the rest of the pipeline comes down to float(value), since an
// int is neither None nor custom-typed and only a strict spec refuses it.
// Declines (an empty Ref) for a strict spec and for a value the missing type
// claims.
Maybe<Ref> int_to_float(const SpecEngine &e, PyObject *value)
{
    if (e.value_type.get() != reinterpret_cast<PyObject *>(&PyFloat_Type) || e.strict == STRICT_TRUE) {
        return Ref();
    }
    const Maybe<bool> missing = bridge::is_missing(value);
    if (!missing) {
        return error;
    }
    if (*missing) {
        return Ref();
    }
    return util::some(Ref::steal(PyNumber_Float(value)));
}

}  // namespace

// ---- the pipeline ------------------------------------------------------------------

namespace {

Applied apply_inexact(SpecEngine &e, LeafShortcut shortcut, PyObject *spec_object, PyObject *value,
                      bool allow_partial, PyObject *child_transform, PyObject *root_path, bool use_transform,
                      bool inplace);

// Stage 1, the container and Union fast paths, belongs to the container
// kinds; the leaf kinds have none.
//
// Stage 2 starts with a value of exactly the value type: it needs at most
// validation. Everything else lives in other functions, so that this path,
// the most common one, stays small.
inline bool exact_type(const SpecEngine &e, PyObject *value) noexcept
{
    return reinterpret_cast<PyObject *>(Py_TYPE(value)) == e.value_type.get();
}

inline Applied apply_exact(SpecEngine &e, LeafShortcut shortcut, PyObject *value, PyObject *root_path)
{
    if (shortcut == LeafShortcut::Checked) {
        PathText path(root_path);
        const Verdict v = validate(e, value, path);
        if (failed(v)) {
            return v;
        }
    }
    return Ref::borrow(value);
}

}  // namespace

Applied apply(SpecEngine &e, PyObject *spec_object, PyObject *value, bool allow_partial,
              PyObject *child_transform, PyObject *root_path, bool use_transform, bool inplace)
{
    const LeafShortcut shortcut = e.leaf_shortcut();
    if (shortcut != LeafShortcut::None && exact_type(e, value)) {
        return apply_exact(e, shortcut, value, root_path);
    }
    return apply_inexact(e, shortcut, spec_object, value, allow_partial, child_transform, root_path,
                         use_transform, inplace);
}

Applied apply(SpecEngine &e, PyObject *spec_object, PyObject *value)
{
    const LeafShortcut shortcut = e.leaf_shortcut();
    if (shortcut != LeafShortcut::None && exact_type(e, value)) {
        return apply_exact(e, shortcut, value, nullptr);
    }
    return apply_inexact(e, shortcut, spec_object, value, false, nullptr, nullptr, true, true);
}

namespace {

Applied apply_pipeline(SpecEngine &e, PyObject *spec_object, PyObject *value, bool allow_partial,
                       PyObject *child_transform, PyObject *root_path, bool use_transform, bool inplace);

// The rest of stage 2: values that an unbounded Float or an Any takes without
// a Python call.
[[gnu::noinline]] Applied apply_inexact(SpecEngine &e, LeafShortcut shortcut, PyObject *spec_object,
                                        PyObject *value, bool allow_partial, PyObject *child_transform,
                                        PyObject *root_path, bool use_transform, bool inplace)
{
    // Stage 1: kind fast paths.
    const Tag kind_tag = e.tag();
    if (kind_tag == Tag::Object && !e.frozen && !e.transform && e.value_type) {
        Maybe<Ref> accepted = classes::object_accept(e.value_type.get(), value, allow_partial);
        if (!accepted) {
            return error;
        }
        if (*accepted) {
            return std::move(*accepted);
        }
    }
    else if (kind_tag == Tag::Union && spec_object != nullptr && !e.frozen && !e.transform &&
             e.kind.get<UnionKind>()->type_map) {
        Maybe<Ref> accepted = classes::union_fast_path(spec_object, value);
        if (!accepted) {
            return error;
        }
        if (*accepted) {
            return std::move(*accepted);
        }
    }
    else if (kind_tag == Tag::List || kind_tag == Tag::Tuple || kind_tag == Tag::Dict) {
        const bool nested_ok = child_transform == nullptr;
        Maybe<Ref> accepted = kind_tag == Tag::Dict
                                  ? containers::dict_fast_path(e, value, child_transform, nested_ok)
                                  : containers::container_fast_path(e, value, child_transform, nested_ok);
        if (!accepted) {
            return error;
        }
        if (*accepted) {
            return std::move(*accepted);
        }
    }
    if (shortcut == LeafShortcut::Exact) {
        const Tag tag = e.tag();
        if (tag == Tag::Number && PyLong_CheckExact(value)) {
            Maybe<Ref> r = int_to_float(e, value);
            if (!r) {
                return error;
            }
            if (*r) {
                return std::move(*r);
            }
        }
        if (tag == Tag::Any) {
            if (bridge::is_any_fast_type(value, true)) {
                return Ref::borrow(value);
            }
            const Maybe<bool> missing = bridge::is_missing(value);
            if (!missing) {
                return error;
            }
            if (!*missing) {
                const Maybe<bool> custom = bridge::is_custom_typing(value);
                if (!custom) {
                    return error;
                }
                if (!*custom) {
                    return Ref::borrow(value);
                }
            }
        }
    }
    return apply_pipeline(e, spec_object, value, allow_partial, child_transform, root_path, use_transform,
                          inplace);
}

[[gnu::noinline]] Applied apply_pipeline(SpecEngine &e, PyObject *spec_object, PyObject *value,
                                         bool allow_partial, PyObject *child_transform, PyObject *root_path,
                                         bool use_transform, bool inplace)
{
    // From here on user code runs (transforms, custom_apply, hooks) and may
    // apply this spec again through native calls alone, which the
    // interpreter's own depth counter does not stop before the C stack ends.
    RecursionGuard depth(" while applying a value spec");
    if (depth.failed()) {
        return error;
    }
    PathText path(root_path);
    const bridge::TypingBridge &br = bridge::get();

    // Frozen: the default is the only value; a placeholder default opts out.
    if (e.frozen && e.default_value.get() != br.frozen_placeholder) {
        Ref stored = Ref::borrow(e.default_value.get());
        const Maybe<bool> missing = bridge::is_missing(value);
        if (!missing) {
            return error;
        }
        if (*missing) {
            return stored;
        }
        const Maybe<bool> differs = compare_truth(stored.get(), value, Py_NE);
        if (!differs) {
            return error;
        }
        if (*differs) {
            return reject(PyExc_ValueError, [&]() -> Ref {
                Ref spec_text = repr(e);
                if (!spec_text) {
                    return error;
                }
                PyObject *path_text = path.get();
                if (path_text == nullptr) {
                    return error;
                }
                return Ref::steal(PyUnicode_FromFormat(
                    "Frozen field is not assignable. (Path='%U', ValueSpec=%U, AssignedValue=%R)", path_text,
                    spec_text.get(), value));
            });
        }
        return stored;
    }

    const Maybe<bool> missing = bridge::is_missing(value);
    if (!missing) {
        return error;
    }
    if (*missing) {
        if (allow_partial) {
            return bridge::fresh_missing();
        }
        return reject_with_spec(e, "Required value is not specified. (Path='%U', ValueSpec=%U)", path);
    }

    if (value == Py_None) {
        if (e.is_noneable) {
            return none();
        }
        return reject_with_spec(e, "Value cannot be None. (Path='%U', ValueSpec=%U)", path);
    }

    Ref current = Ref::borrow(value);
    const Maybe<bool> custom = bridge::is_custom_typing(value);
    if (!custom) {
        return error;
    }
    if (*custom) {
        // A rerun after the transform shows custom_apply the spec as the
        // object without the transform; it is made only here, when needed.
        Ref stand_in;
        if (!use_transform && e.transform && spec_object != nullptr) {
            stand_in = attr<"skip_user_transform">(spec_object);
            if (!stand_in) {
                return error;
            }
            spec_object = stand_in.get();
        }
        bool proceed = false;
        current =
            apply_custom_typing(spec_object, value, allow_partial, child_transform, root_path, &proceed);
        if (!current || !proceed) {
            return current;
        }
    }

    int transform_applies = use_transform && e.transform;
    if (transform_applies) {
        const Maybe<bool> current_missing = bridge::is_missing(current.get());
        if (!current_missing) {
            return error;
        }
        transform_applies = !*current_missing;
    }
    if (transform_applies) {
        Ref transformed = Ref::steal(PyObject_CallOneArg(e.transform.get(), current.get()));
        if (!transformed) {
            return wrap_transform_error(path);
        }
        return apply(e, spec_object, transformed.get(), allow_partial, child_transform, root_path, false,
                     inplace);
    }

    return apply_after_value(e, current.get(), allow_partial, child_transform, path, inplace);
}

}  // namespace

Applied apply_after_value(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                          PathText &path, bool inplace)
{
    Ref current = Ref::borrow(value);
    if (e.value_type) {
        PyObject *vt = e.value_type.get();
        if (bridge::is_plain_value_type(vt)) {
            const Maybe<bool> refuses = strict_refuses_bool(e, current.get(), vt);
            if (!refuses) {
                return error;
            }
            const Maybe<bool> passes = *refuses ? Maybe<bool>(false) : isinstance_plain(current.get(), vt);
            if (!passes) {
                return error;
            }
            if (!*passes) {
                Applied coerced = coerce_or_raise(e, current.get(), vt, path);
                if (!coerced) {
                    return coerced;
                }
                current = std::move(coerced);
            }
        }
        else {
            const Maybe<bool> resolved = type_resolved(e);
            if (!resolved) {
                return error;
            }
            Maybe<Ref> t = *resolved ? value_type_obj(e) : Maybe<Ref>(Ref());
            if (!t) {
                return error;
            }
            const Maybe<bool> fits =
                *t ? bridge::call_is_instance(current.get(), t->get()) : Maybe<bool>(true);
            if (!fits) {
                return error;
            }
            if (!*fits) {
                Applied coerced = coerce_or_raise(e, current.get(), t->get(), path);
                if (!coerced) {
                    return coerced;
                }
                current = std::move(coerced);
            }
        }
    }
    Applied kinded = apply_kind(e, current.get(), allow_partial, child_transform, path, inplace);
    if (!kinded) {
        return kinded;
    }
    current = std::move(kinded);
    const Verdict v = validate(e, current.get(), path);
    if (failed(v)) {
        return v;
    }
    return current;
}

Applied coerce_or_raise(SpecEngine &e, PyObject *value, PyObject *value_type, PathText &path)
{
    if (const UnionKind *u = e.kind.get<UnionKind>()) {
        Ref candidates = Ref::borrow(u->candidates.get());
        PyObject *names = kwnames<"root_path">();
        const Py_ssize_t n = PyList_Check(candidates.get()) ? PyList_GET_SIZE(candidates.get()) : 0;
        for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(candidates.get()); ++i) {
            Ref c = Ref::borrow(PyList_GET_ITEM(candidates.get(), i));
            PyObject *args[] = {c.get(), value, path.root_path() ? path.root_path() : Py_None};
            Ref r = Ref::steal(PyObject_VectorcallMethod(interned<"apply">(), args,
                                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
            if (r) {
                return r;
            }
            if (failed(discard_error_of({PyExc_TypeError, PyExc_ValueError, PyExc_KeyError}))) {
                return error;
            }
        }
    }
    else if (e.strict != STRICT_TRUE) {
        if (PyTuple_Check(value_type)) {
            Ref members = Ref::borrow(value_type);
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value_type); ++i) {
                Maybe<Ref> r = try_accept(PyTuple_GET_ITEM(value_type, i), value);
                if (!r) {
                    return error;
                }
                if (*r) {
                    return std::move(*r);
                }
            }
        }
        else {
            Maybe<Ref> r = try_accept(value_type, value);
            if (!r) {
                return error;
            }
            if (*r) {
                return std::move(*r);
            }
        }
    }
    return reject_joined_on_path(PyExc_TypeError, path, [&](auto join) -> Ref {
        Ref expected = type_text(value_type, false);
        if (!expected) {
            return error;
        }
        Ref encountered = type_text(reinterpret_cast<PyObject *>(Py_TYPE(value)), true);
        if (!encountered) {
            return error;
        }
        Ref value_text = str_of(value);
        if (!value_text) {
            return error;
        }
        return join(
            {"Expect ", expected.get(), " but encountered ", encountered.get(), ": ", value_text.get(), "."});
    });
}

Applied apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                   PathText &path, bool inplace)
{
    switch (e.tag()) {
        case Tag::Union:
            return classes::union_apply_kind(e, value, allow_partial, child_transform, path, inplace);
        case Tag::Object:
            return classes::object_apply_kind(value, allow_partial, path);
        case Tag::List:
            return containers::list_apply_kind(e, value, allow_partial, child_transform, path, inplace);
        case Tag::Tuple:
            return containers::tuple_apply_kind(e, value, allow_partial, child_transform, path, inplace);
        case Tag::Dict:
            return containers::dict_apply_kind(e, value, allow_partial, child_transform, path, inplace);
        case Tag::Bool:
        case Tag::Str:
        case Tag::Number:
        case Tag::Enum:
        case Tag::Any:
        case Tag::Type:
        case Tag::Callable:
            // No children: constraints belong to validation.
            return Ref::borrow(value);
        default:
            panic("unknown value-spec kind");
    }
}

// ---- validation ------------------------------------------------------------------------

namespace {

// Whether `value op bound` holds (op: Py_LT or Py_GT). Two exact ints of one
// machine word are compared natively: int's own comparison cannot be
// overridden, and this is the common case.
Maybe<bool> compare(PyObject *value, PyObject *bound, int op)
{
    if (PyLong_CheckExact(value) && PyLong_CheckExact(bound)) {
        auto *a = reinterpret_cast<PyLongObject *>(value), *b = reinterpret_cast<PyLongObject *>(bound);
        if (PyUnstable_Long_IsCompact(a) && PyUnstable_Long_IsCompact(b)) {
            const Py_ssize_t x = PyUnstable_Long_CompactValue(a), y = PyUnstable_Long_CompactValue(b);
            return op == Py_LT ? x < y : x > y;
        }
    }
    return compare_truth(value, bound, op);
}

}  // namespace

Verdict validate(SpecEngine &e, PyObject *value, PathText &path)
{
    switch (e.tag()) {
        case Tag::Str: {
            const StrKind *s = e.kind.get<StrKind>();
            if (!s->regex) {
                return Verdict::Ok;
            }
            Ref regex = Ref::borrow(s->regex.get());
            Ref m = regex_match(regex.get(), value);
            if (!m) {
                return error;
            }
            if (m.get() != Py_None) {
                return Verdict::Ok;
            }
            return reject_joined_on_path(PyExc_ValueError, path, [&](auto join) -> Ref {
                Ref pattern = attr<"pattern">(regex.get());
                if (!pattern) {
                    return error;
                }
                Ref value_text = repr_of(value);
                if (!value_text) {
                    return error;
                }
                Ref pattern_text = repr_of(pattern.get());
                if (!pattern_text) {
                    return error;
                }
                return join({"String ", value_text.get(), " does not match regular expression ",
                             pattern_text.get(), "."});
            });
        }
        case Tag::Number: {
            const NumberKind *n = e.kind.get<NumberKind>();
            if (!n->min && !n->max) {
                return Verdict::Ok;
            }
            Ref min = Ref::borrow(n->min.get()), max = Ref::borrow(n->max.get());
            bool out = false;
            if (min) {
                const Maybe<bool> below = compare(value, min.get(), Py_LT);
                if (!below) {
                    return error;
                }
                out = *below;
            }
            if (max) {
                const Maybe<bool> above = compare(value, max.get(), Py_GT);
                if (!above) {
                    return error;
                }
                out = *above || out;
            }
            if (!out) {
                return Verdict::Ok;
            }
            return reject_joined_on_path(PyExc_ValueError, path, [&](auto join) -> Ref {
                StrPiece min_text, max_text, value_text;
                if ((min && failed(min_text.set(min.get()))) || (max && failed(max_text.set(max.get()))) ||
                    failed(value_text.set(value))) {
                    return error;
                }
                return join({"Value ", value_text.piece(),
                             " is out of range (min=", min ? min_text.piece() : Piece("None"),
                             ", max=", max ? max_text.piece() : Piece("None"), ")."});
            });
        }
        case Tag::Enum: {
            Ref values = Ref::borrow(e.kind.get<EnumKind>()->values.get());
            const int found = PySequence_Contains(values.get(), value);
            if (found < 0) {
                return error;
            }
            if (found) {
                return Verdict::Ok;
            }
            return reject_on_path(PyExc_ValueError, path, [&] {
                return Ref::steal(
                    PyUnicode_FromFormat("Value %R is not in candidate list %S.", value, values.get()));
            });
        }
        case Tag::List: {
            const ListKind *l = e.kind.get<ListKind>();
            const Py_ssize_t n = PyObject_Length(value);
            if (n < 0) {
                return error;
            }
            if (n < l->min_size) {
                return reject_on_path(PyExc_ValueError, path, [&] {
                    return Ref::steal(PyUnicode_FromFormat("Length of list %R is less than min size (%lld).",
                                                           value, static_cast<long long>(l->min_size)));
                });
            }
            if (l->max_size && n > *l->max_size) {
                return reject_on_path(PyExc_ValueError, path, [&] {
                    return Ref::steal(
                        PyUnicode_FromFormat("Length of list %R is greater than max size (%lld).", value,
                                             static_cast<long long>(*l->max_size)));
                });
            }
            return Verdict::Ok;
        }
        case Tag::Type: {
            const Maybe<bool> resolved = type_resolved(e);
            if (!resolved) {
                return error;
            }
            if (!*resolved) {
                return Verdict::Ok;
            }
            const TypeKind *t = e.kind.get<TypeKind>();
            Ref base = t->forward_ref ? attr<"cls">(t->forward_ref.get()) : Ref::borrow(t->t.get());
            if (!base) {
                return error;
            }
            const Maybe<bool> subclass = bridge::call_is_subclass(value, base.get());
            if (!subclass) {
                return error;
            }
            if (*subclass) {
                return Verdict::Ok;
            }
            return reject_on_path(PyExc_ValueError, path, [&] {
                return Ref::steal(PyUnicode_FromFormat("%R is not a subclass of %R", value, base.get()));
            });
        }
        case Tag::Callable: {
            const CallableKind *c = e.kind.get<CallableKind>();
            Ref spec_text = repr(e);
            if (!spec_text) {
                return error;
            }
            PyObject *path_text = path.get();
            if (path_text == nullptr) {
                return error;
            }
            PyObject *args[] = {c->args.get(),   c->kw.get(), c->returns ? c->returns.get() : Py_None,
                                spec_text.get(), path_text,   value};
            Ref r = Ref::steal(PyObject_Vectorcall(bridge::get().callable_validate, args, 6, nullptr));
            if (!r) {
                return error;
            }
            return Verdict::Ok;
        }
        default:
            return Verdict::Ok;
    }
}

Error wrap_transform_error(PathText &path)
{
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(caught.get()));
    Ref text = Ref::steal(PyObject_Str(caught.get()));
    if (!text) {
        PyErr_WriteUnraisable(caught.get());
        text = Ref::steal(PyUnicode_FromFormat("<unprintable %s>", Py_TYPE(caught.get())->tp_name));
        if (!text) {
            return error;
        }
    }
    PyObject *path_text = path.get();
    if (path_text == nullptr) {
        return error;
    }
    Ref message = bridge::message_on_path(text.get(), path_text);
    if (!message) {
        return error;
    }
    Ref made = Ref::steal(PyObject_CallOneArg(cls, message.get()));
    if (!made) {
        return error;
    }
    if (!PyExceptionInstance_Check(made.get())) {
        return raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    // A fresh exception: neither cause nor context points at the caught one.
    PyErr_SetRaisedException(made.release());
    return error;
}

}  // namespace norv::typing::engine
