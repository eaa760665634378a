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
#include <cstdint>
#include <initializer_list>
#include <span>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/value_specs/base.hpp"
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

// `c.apply(value, root_path=root_path)`.
Ref call_apply_on_path(PyObject *c, PyObject *value, PyObject *root_path)
{
    PyObject *args[] = {c, value, none_if_null(root_path)};
    return Ref::steal(PyObject_VectorcallMethod(interned<"apply">(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                kwnames<"root_path">()));
}

// ---- message text --------------------------------------------------------------------

// One piece of a message: ASCII text, a str, or a str written between single
// quotes (its repr, for text `plain_repr` accepts).
// Trivial to make, so that an array of them costs nothing until filled.
struct Piece {
    Piece() noexcept = default;
    Piece(PyObject *s, bool quote = false) noexcept : str(s), ascii(nullptr), length(0), quoted(quote) {}
    template <std::size_t N>
    Piece(const char (&literal)[N]) noexcept : str(nullptr), ascii(literal), length(N - 1), quoted(false)
    {
    }
    Piece(const char *text, Py_ssize_t n) noexcept : str(nullptr), ascii(text), length(n), quoted(false) {}

    PyObject *str;
    const char *ascii;
    Py_ssize_t length;
    bool quoted;
};

using Pieces = std::initializer_list<Piece>;
using PieceSpan = std::span<const Piece>;

// `concat_spans` where some piece is not ASCII: `length` characters.
Ref concat_wide(std::initializer_list<PieceSpan> parts, Py_ssize_t length)
{
    Py_UCS4 maxchar = 0x7f;
    for (PieceSpan part : parts) {
        for (const Piece &p : part) {
            if (p.str != nullptr) {
                maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(p.str));
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
    auto write_ascii = [&](const char *text, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyUnicode_WRITE(kind, data, at + i, static_cast<Py_UCS4>(text[i]));
        }
        at += n;
    };
    for (PieceSpan part : parts) {
        for (const Piece &p : part) {
            if (p.str == nullptr) {
                write_ascii(p.ascii, p.length);
                continue;
            }
            if (p.quoted) {
                write_ascii("'", 1);
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
            if (p.quoted) {
                write_ascii("'", 1);
            }
        }
    }
    return out;
}

// The pieces joined in one allocation: what PyUnicode_FromFormat makes of
// them, without parsing a format or growing a buffer, for the rejections that
// callers meet most often.
Ref concat_spans(std::initializer_list<PieceSpan> parts)
{
    Py_ssize_t length = 0;
    bool ascii = true;
    for (PieceSpan part : parts) {
        for (const Piece &p : part) {
            if (p.str != nullptr) {
                length += PyUnicode_GET_LENGTH(p.str) + (p.quoted ? 2 : 0);
                ascii = ascii && PyUnicode_IS_ASCII(p.str);
            }
            else {
                length += p.length;
            }
        }
    }
    if (!ascii) {
        return concat_wide(parts, length);
    }
    // Most messages are ASCII: every piece is bytes, copied in one pass.
    Ref out = Ref::steal(PyUnicode_New(length, 0x7f));
    if (!out) {
        return error;
    }
    char *at = static_cast<char *>(PyUnicode_DATA(out.get()));
    for (PieceSpan part : parts) {
        for (const Piece &p : part) {
            if (p.str == nullptr) {
                std::memcpy(at, p.ascii, static_cast<std::size_t>(p.length));
                at += p.length;
                continue;
            }
            const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(p.str));
            if (p.quoted) {
                *at++ = '\'';
            }
            std::memcpy(at, PyUnicode_DATA(p.str), n);
            at += n;
            if (p.quoted) {
                *at++ = '\'';
            }
        }
    }
    return out;
}

Ref concat(Pieces head, Pieces tail = {})
{
    return concat_spans({PieceSpan(head.begin(), head.size()), PieceSpan(tail.begin(), tail.size())});
}

// Whether str() and repr() of `x` run no Python code and cannot fail but for
// memory: the exact builtin scalars.
bool renders_natively(PyObject *x) noexcept
{
    PyTypeObject *t = Py_TYPE(x);
    return x == Py_None || t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type ||
           t == &PyBool_Type;
}

// An exact str whose repr is its text between single quotes: printable ASCII
// without a quote or a backslash.
bool plain_repr(PyObject *s) noexcept
{
    if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s)) {
        return false;
    }
    const auto *c = static_cast<const unsigned char *>(PyUnicode_DATA(s));
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
        if (c[i] < 0x20 || c[i] > 0x7e || c[i] == '\\' || c[i] == '\'') {
            return false;
        }
    }
    return true;
}

// The text of str(x) or repr(x) where it needs no call: an exact int of one
// machine word is written here (its text cannot be overridden and needs no
// str object), an exact str is its own str, and the repr of a `plain_repr`
// str and of None, True and False are written here too. A plain record, so
// that a list of them costs nothing to set up.
struct NativeText {
    char digits[24];
    Piece piece;
};

bool native_text(PyObject *x, bool repr, NativeText &out) noexcept
{
    if (PyLong_CheckExact(x) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(x))) {
        const auto r = std::to_chars(out.digits, out.digits + sizeof out.digits,
                                     PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(x)));
        out.piece = Piece(out.digits, r.ptr - out.digits);
        return true;
    }
    if (!repr) {
        if (PyUnicode_CheckExact(x)) {
            out.piece = Piece(x);  // borrowed: the caller holds the value
            return true;
        }
        return false;
    }
    if (x == Py_None || x == Py_True || x == Py_False) {
        out.piece = x == Py_None ? Piece("None") : x == Py_True ? Piece("True") : Piece("False");
        return true;
    }
    if (plain_repr(x)) {
        out.piece = Piece(x, true);  // borrowed: the caller holds the value
        return true;
    }
    return false;
}

// str(x) or repr(x) as a piece: written as above where it can be, and the
// repr of an exact float (which is also its str) from the digits float's repr
// makes, without a str object.
class TextPiece {
public:
    TextPiece() noexcept = default;
    TextPiece(const TextPiece &) = delete;
    TextPiece &operator=(const TextPiece &) = delete;
    ~TextPiece()
    {
        if (owned_ != nullptr) {
            PyMem_Free(owned_);
        }
    }

    [[nodiscard]] Status set_str(PyObject *x) { return set(x, false); }
    [[nodiscard]] Status set_repr(PyObject *x) { return set(x, true); }
    Piece piece() const noexcept { return native_.piece; }

private:
    Status set(PyObject *x, bool repr)
    {
        if (native_text(x, repr, native_)) {
            return Status::ok;
        }
        if (PyFloat_CheckExact(x)) {
            owned_ = PyOS_double_to_string(PyFloat_AS_DOUBLE(x), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (owned_ == nullptr) {
                return error;
            }
            native_.piece = Piece(owned_, static_cast<Py_ssize_t>(std::strlen(owned_)));
            return Status::ok;
        }
        str_ = repr ? repr_of(x) : str_of(x);
        if (!str_) {
            return error;
        }
        native_.piece = Piece(str_.get());
        return Status::ok;
    }

    NativeText native_;
    char *owned_ = nullptr;  // PyMem_Malloc'd text
    Ref str_;
};

// ---- rejections --------------------------------------------------------------------
//
// "The spec rejects this value" has one funnel: `message` builds the text (a
// null Ref when building it raised, and then that error wins) and runs only
// here, on the failing path.

// PyErr_SetObject(type, text), where `type` is TypeError or ValueError: their
// constructor only keeps its arguments, so the instance is made by their
// `__new__` directly, as calling the class ends in; and being new, it can be
// on no chain of contexts, so the one being handled is simply its context.
void raise_with_text(PyObject *type, PyObject *text)
{
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    auto *base = reinterpret_cast<PyTypeObject *>(PyExc_BaseException);
    if (tp->tp_new != base->tp_new || tp->tp_init != base->tp_init) {
        PyErr_SetObject(type, text);
        return;
    }
    Ref args = Ref::steal(PyTuple_New(1));
    if (!args) {
        return;
    }
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(text));
    Ref exc = Ref::steal(tp->tp_new(tp, args.get(), nullptr));
    if (!exc) {
        return;
    }
    if (PyObject *handled = PyErr_GetHandledException()) {
        PyException_SetContext(exc.get(), handled);  // steals
    }
    PyErr_SetRaisedException(exc.release());
}

template <class Message>
Verdict reject(PyObject *type, Message &&message)
{
    Ref text = message();
    if (!text) {
        return error;
    }
    raise_with_text(type, text.get());
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
            if (path.root_path() == nullptr) {
                return concat(pieces, {" (path=)"});  // the path text is empty
            }
            PyObject *path_text = path.get();
            if (path_text == nullptr) {
                return error;
            }
            return concat(pieces, {" (path=", path_text, ")"});
        });
    });
}

// ---- texts of value types ----------------------------------------------------------
//
// The type-mismatch message names the expected value type and the value's
// class on every failed value. A class whose metaclass is `type` renders as
// `type.__repr__` makes it: from its `__module__`, qualified name and name.
// A new `__module__` (as any attribute stored in the class dict) gives the
// class a new version tag; the names are objects of their own, replaced
// whole. So the text is kept per class, tag and names. A class body may leave
// keys other than str in the class dict, whose comparison the `__module__`
// lookup could call: such a class is rendered every time.

struct ClassText {
    PyTypeObject *type;
    unsigned int tag;
    // Strong references, dropped when the slot is reused: the names are held
    // so that their identity stays theirs.
    PyObject *qualname;
    PyObject *name;
    PyObject *text;
};
ClassText CLASS_TEXTS[64];

bool str_keys_only(PyTypeObject *t)
{
    Ref dict = Ref::steal(PyType_GetDict(t));
    PyObject *key = nullptr, *item = nullptr;
    Py_ssize_t pos = 0;
    while (dict && PyDict_Next(dict.get(), &pos, &key, &item)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return bool(dict);
}

// The text of a class kept as above (borrowed: the next call may drop it), or
// nullptr for any other object; an error is only ever set with the failure.
Maybe<PyObject *> class_text(PyObject *t)
{
    if (!PyType_Check(t) || !Py_IS_TYPE(t, &PyType_Type)) {
        return nullptr;
    }
    auto *tp = reinterpret_cast<PyTypeObject *>(t);
    const bool heap = PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE);
    auto *ht = reinterpret_cast<PyHeapTypeObject *>(tp);
    const auto bits = reinterpret_cast<std::uintptr_t>(tp);
    ClassText &slot = CLASS_TEXTS[((bits >> 4) ^ (bits >> 10)) % std::size(CLASS_TEXTS)];
    if (slot.type == tp && slot.tag != 0 && slot.tag == tp->tp_version_tag &&
        (!heap || (slot.qualname == ht->ht_qualname && slot.name == ht->ht_name))) {
        return slot.text;
    }
    if (!PyUnstable_Type_AssignVersionTag(tp) || (heap && !str_keys_only(tp))) {
        return nullptr;
    }
    Ref text = repr_of(t);
    if (!text) {
        return error;
    }
    Py_XSETREF(slot.text, text.release());
    Py_XSETREF(slot.qualname, heap ? Py_NewRef(ht->ht_qualname) : nullptr);
    Py_XSETREF(slot.name, heap ? Py_NewRef(ht->ht_name) : nullptr);
    slot.type = tp;
    slot.tag = tp->tp_version_tag;
    return slot.text;
}

// A tuple of such classes renders as `tuple.__repr__` joins their texts: kept
// while the members' texts are the very ones it was joined from (held, so
// that their identity stays theirs; a text object belongs to one class).
constexpr Py_ssize_t MAX_MEMBERS = 16;
struct TupleText {
    Py_ssize_t size;
    PyObject *members[MAX_MEMBERS];
    PyObject *text;  // strong references, all, dropped when the slot is reused
};
TupleText TUPLE_TEXTS[16];

// The text of a value type kept as above: a class's, or a tuple's of up to
// 16 such classes. Borrowed (the next call may drop it); nullptr for anything
// else. An error is only ever set with the failure.
Maybe<PyObject *> kept_text(PyObject *t)
{
    if (!PyTuple_CheckExact(t)) {
        return class_text(t);
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(t);
    if (n == 0 || n > MAX_MEMBERS) {
        return nullptr;
    }
    const auto bits = reinterpret_cast<std::uintptr_t>(t);
    TupleText &slot = TUPLE_TEXTS[((bits >> 4) ^ (bits >> 10)) % std::size(TUPLE_TEXTS)];
    Ref texts[MAX_MEMBERS];  // a later member may take an earlier one's slot
    bool same = slot.size == n;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Maybe<PyObject *> known = class_text(PyTuple_GET_ITEM(t, i));
        if (!known || *known == nullptr) {
            return known;
        }
        texts[i] = Ref::borrow(*known);
        same = same && slot.members[i] == *known;
    }
    if (same) {
        return slot.text;
    }
    Piece pieces[2 * MAX_MEMBERS + 1];
    pieces[0] = "(";
    std::size_t used = 1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        pieces[used++] = Piece(texts[i].get());
        pieces[used++] = i + 1 < n ? Piece(", ") : n == 1 ? Piece(",)") : Piece(")");
    }
    Ref text = concat_spans({PieceSpan(pieces, used)});
    if (!text) {
        return error;
    }
    Py_XSETREF(slot.text, text.release());
    slot.size = n;
    for (Py_ssize_t i = 0; i < MAX_MEMBERS; ++i) {
        Py_XSETREF(slot.members[i], i < n ? texts[i].release() : nullptr);
    }
    return slot.text;
}

// str(t) of a value type: kept as above, or anything else through its own
// str() (or its repr() when `use_repr`, for the class of a value).
Ref type_text(PyObject *t, bool use_repr)
{
    Maybe<PyObject *> known = kept_text(t);
    if (!known) {
        return error;
    }
    if (*known != nullptr) {
        return Ref::borrow(*known);
    }
    return use_repr ? repr_of(t) : str_of(t);
}

// "Expect {value type} but encountered {class}: ", the head of the
// type-mismatch message, for a value type and a class whose texts are kept:
// kept in turn
// per pair of texts (held, so that their identity stays theirs). Borrowed;
// nullptr for other value types.
struct MismatchHead {
    PyObject *expected;
    PyObject *encountered;
    PyObject *text;  // strong references, all three, dropped when the slot is reused
};
MismatchHead MISMATCH_HEADS[64];

Maybe<PyObject *> mismatch_head(PyObject *value_type, PyTypeObject *encountered)
{
    Maybe<PyObject *> known = kept_text(value_type);
    if (!known || *known == nullptr) {
        return known;
    }
    Ref expected = Ref::borrow(*known);  // the next lookup may take its slot
    known = class_text(reinterpret_cast<PyObject *>(encountered));
    if (!known || *known == nullptr) {
        return known;
    }
    const auto bits =
        reinterpret_cast<std::uintptr_t>(expected.get()) ^ (reinterpret_cast<std::uintptr_t>(*known) >> 3);
    MismatchHead &slot = MISMATCH_HEADS[((bits >> 4) ^ (bits >> 10)) % std::size(MISMATCH_HEADS)];
    if (slot.expected == expected.get() && slot.encountered == *known) {
        return slot.text;
    }
    Ref text = concat({"Expect ", expected.get(), " but encountered ", *known, ": "});
    if (!text) {
        return error;
    }
    Py_XSETREF(slot.text, text.release());
    Py_XSETREF(slot.encountered, Py_NewRef(*known));
    Py_XSETREF(slot.expected, expected.release());
    return slot.text;
}

// Whether `type_text(t)` runs no Python code (and so cannot fail but for
// memory).
Maybe<bool> type_text_native(PyObject *t)
{
    Maybe<PyObject *> known = kept_text(t);
    return known ? Maybe<bool>(*known != nullptr) : Maybe<bool>(error);
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
    PyObject *args[] = {value, path.get(), none_if_null(spec_object), py_bool(allow_partial),
                        none_if_null(child_transform)};
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

// The builtin classes the value types name most: neither they nor their
// bases nor their metaclass can be given attributes, and none defines
// `__nv_accept__`.
bool lacks_accept_hook(PyObject *t) noexcept
{
    auto *tp = reinterpret_cast<PyTypeObject *>(t);
    return tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
           tp == &PyBytes_Type || tp == &PyTuple_Type || tp == &PyList_Type || tp == &PyDict_Type ||
           tp == &PySet_Type || tp == &PyFrozenSet_Type || tp == Py_TYPE(Py_None);
}

// Whether reading `x.__class__` runs no Python code for instances of `t`:
// attribute lookup is the generic one and finds object's own descriptor,
// which answers the instance's class.
bool native_class_attr(PyTypeObject *t)
{
    if (t->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    PyObject *name = interned<"__class__">();
    static PyObject *const own = _PyType_Lookup(&PyBaseObject_Type, name);  // object is immutable
    return own != nullptr && _PyType_Lookup(t, name) == own;
}

// isinstance(value, vt) for a Union whose value type holds only plain classes,
// one of which is exactly the value's class: the interpreter's test reaches
// it member by member, reading `value.__class__` for each earlier member, so
// where that read runs no Python code the answer is all that can differ, and
// a set of the members gives it without the walk. Builtin scalars take the
// subtype tests of `isinstance_plain`, as cheap as this.
Maybe<bool> exact_plain_member(const SpecEngine &e, PyObject *value)
{
    const UnionKind *u = e.kind.get<UnionKind>();
    if (u == nullptr || !u->members || bridge::is_any_fast_type(value, true)) {
        return false;
    }
    // Only a plain class can be a member, and hashing one runs no Python code.
    if (!Py_IS_TYPE(Py_TYPE(value), &PyType_Type) || !native_class_attr(Py_TYPE(value))) {
        return false;
    }
    return predicate(PySet_Contains(u->members.get(), reinterpret_cast<PyObject *>(Py_TYPE(value))));
}

// The value `t` makes of `value`, or an empty Ref when `t` declines it.
Maybe<Ref> try_accept(PyObject *t, PyObject *value)
{
    if (t == reinterpret_cast<PyObject *>(&PyFloat_Type) && PyLong_Check(value)) {
        return util::some(Ref::steal(PyNumber_Float(value)));
    }
    if (lacks_accept_hook(t)) {
        return Ref();
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
                      bool inplace, Discards discards);

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

inline Applied apply_exact(SpecEngine &e, LeafShortcut shortcut, PyObject *value, PyObject *root_path,
                           Discards discards)
{
    if (shortcut == LeafShortcut::Checked) {
        PathText path(root_path, discards);
        const Verdict v = validate(e, value, path);
        if (failed(v)) {
            return v;
        }
    }
    return Ref::borrow(value);
}

}  // namespace

Applied apply(SpecEngine &e, PyObject *spec_object, PyObject *value, bool allow_partial,
              PyObject *child_transform, PyObject *root_path, bool use_transform, bool inplace,
              Discards discards)
{
    const LeafShortcut shortcut = e.leaf_shortcut();
    if (shortcut != LeafShortcut::None && exact_type(e, value)) {
        return apply_exact(e, shortcut, value, root_path, discards);
    }
    return apply_inexact(e, shortcut, spec_object, value, allow_partial, child_transform, root_path,
                         use_transform, inplace, discards);
}

Applied apply(SpecEngine &e, PyObject *spec_object, PyObject *value)
{
    const LeafShortcut shortcut = e.leaf_shortcut();
    if (shortcut != LeafShortcut::None && exact_type(e, value)) {
        return apply_exact(e, shortcut, value, nullptr, Discards::None);
    }
    return apply_inexact(e, shortcut, spec_object, value, false, nullptr, nullptr, true, true,
                         Discards::None);
}

namespace {

Applied apply_pipeline(SpecEngine &e, PyObject *spec_object, PyObject *value, bool allow_partial,
                       PyObject *child_transform, PyObject *root_path, bool use_transform, bool inplace,
                       Discards discards);

// The rest of stage 2: values that an unbounded Float or an Any takes without
// a Python call.
[[gnu::noinline]] Applied apply_inexact(SpecEngine &e, LeafShortcut shortcut, PyObject *spec_object,
                                        PyObject *value, bool allow_partial, PyObject *child_transform,
                                        PyObject *root_path, bool use_transform, bool inplace,
                                        Discards discards)
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
    // A builtin scalar given to a Bool, Str or Number spec that takes another
    // builtin class: no stage before the type check applies to it (it is not
    // None, no instance of a plain missing class, nor custom-typed; the spec
    // is neither frozen nor transformed), and what follows calls no host hook
    // and applies no other spec, so there is no recursion to guard.
    if (shortcut != LeafShortcut::None && value != Py_None && renders_natively(value) &&
        bridge::is_primitive_value_type(e.value_type.get()) &&
        (kind_tag == Tag::Bool || kind_tag == Tag::Str || kind_tag == Tag::Number)) {
        PyObject *missing_type = bridge::get().missing_type;
        if (Py_IS_TYPE(missing_type, &PyType_Type) &&
            !PyType_IsSubtype(Py_TYPE(value), reinterpret_cast<PyTypeObject *>(missing_type))) {
            // An instance of a subclass of the value type (a bool for an int)
            // passes unchanged where nothing is checked after the type.
            if (shortcut == LeafShortcut::Exact && e.strict != STRICT_TRUE &&
                PyType_IsSubtype(Py_TYPE(value), reinterpret_cast<PyTypeObject *>(e.value_type.get()))) {
                return Ref::borrow(value);
            }
            PathText path(root_path, discards);
            return apply_after_value(e, value, allow_partial, child_transform, path, inplace);
        }
    }
    return apply_pipeline(e, spec_object, value, allow_partial, child_transform, root_path, use_transform,
                          inplace, discards);
}

[[gnu::noinline]] Applied apply_pipeline(SpecEngine &e, PyObject *spec_object, PyObject *value,
                                         bool allow_partial, PyObject *child_transform, PyObject *root_path,
                                         bool use_transform, bool inplace, Discards discards)
{
    // From here on user code runs (transforms, custom_apply, hooks) and may
    // apply this spec again through native calls alone, which the
    // interpreter's own depth counter does not stop before the C stack ends.
    RecursionGuard depth(" while applying a value spec");
    if (depth.failed()) {
        return error;
    }
    PathText path(root_path, discards);
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
                     inplace, discards);
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
            const Maybe<bool> member = *refuses ? Maybe<bool>(false) : exact_plain_member(e, current.get());
            if (!member) {
                return error;
            }
            const Maybe<bool> passes = *refuses  ? Maybe<bool>(false)
                                       : *member ? Maybe<bool>(true)
                                                 : isinstance_plain(current.get(), vt);
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
        const Py_ssize_t n = PyList_Check(candidates.get()) ? PyList_GET_SIZE(candidates.get()) : 0;
        for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(candidates.get()); ++i) {
            Ref c = Ref::borrow(PyList_GET_ITEM(candidates.get(), i));
            // `c.apply(value, root_path=...)`, the other options at their defaults.
            Applied r = base::is_final_native(c.get())
                            ? base::apply_native(c.get(), value, false, nullptr, path.root_path(), true,
                                                 Discards::TypeValueKeyError)
                            : Applied(call_apply_on_path(c.get(), value, path.root_path()));
            if (r) {
                return r;
            }
            if (r.discarded()) {
                continue;
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
    if (path.discarded(PyExc_TypeError) && renders_natively(value)) {
        const Maybe<bool> native = type_text_native(value_type);
        if (!native) {
            return error;
        }
        if (*native) {
            return Verdict(Verdict::Discarded);
        }
    }
    return reject_joined_on_path(PyExc_TypeError, path, [&](auto join) -> Ref {
        TextPiece value_text;
        Maybe<PyObject *> head = mismatch_head(value_type, Py_TYPE(value));
        if (!head) {
            return error;
        }
        if (*head != nullptr) {
            Ref held = Ref::borrow(*head);
            if (failed(value_text.set_str(value))) {
                return error;
            }
            return join({held.get(), value_text.piece(), "."});
        }
        Ref expected = type_text(value_type, false);
        if (!expected) {
            return error;
        }
        Ref encountered = type_text(reinterpret_cast<PyObject *>(Py_TYPE(value)), true);
        if (!encountered) {
            return error;
        }
        if (failed(value_text.set_str(value))) {
            return error;
        }
        return join({"Expect ", expected.get(), " but encountered ", encountered.get(), ": ",
                     value_text.piece(), "."});
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

// A compiled pattern of the class whose `match` is cached: its `pattern` and
// that text's repr run no Python code.
bool plain_pattern(PyObject *regex) noexcept
{
    const PatternMatch *const *cached = PATTERN_MATCH.get();
    return cached != nullptr && Py_TYPE(regex) == (*cached)->type;
}

// "Value {value!r} is not in candidate list {values}." with the path. A list
// of up to 32 values written without a call (`TextPiece`) is joined here in
// one allocation, as `list.__repr__` would join it; anything else is
// formatted by the interpreter.
Verdict reject_not_in(PyObject *values, PyObject *value, PathText &path)
{
    constexpr Py_ssize_t MAX_VALUES = 32;
    const Py_ssize_t n = PyList_CheckExact(values) ? PyList_GET_SIZE(values) : MAX_VALUES + 1;
    bool native = n <= MAX_VALUES && renders_natively(value);
    for (Py_ssize_t i = 0; native && i < n; ++i) {
        native = renders_natively(PyList_GET_ITEM(values, i));
    }
    if (native && path.discarded(PyExc_ValueError)) {
        return Verdict::Discarded;
    }
    NativeText texts[MAX_VALUES + 1];
    if (n <= MAX_VALUES && native_text(value, true, texts[MAX_VALUES])) {
        Piece pieces[2 * MAX_VALUES + 4];
        pieces[0] = "Value ";
        pieces[1] = texts[MAX_VALUES].piece;
        pieces[2] = " is not in candidate list [";
        std::size_t used = 3;
        Py_ssize_t i = 0;
        for (; i < n && native_text(PyList_GET_ITEM(values, i), true, texts[i]); ++i) {
            if (i > 0) {
                pieces[used++] = ", ";
            }
            pieces[used++] = texts[i].piece;
        }
        if (i == n) {
            pieces[used++] = "].";
            return reject(PyExc_ValueError, [&]() -> Ref {
                PyObject *path_text = path.get();
                if (path_text == nullptr) {
                    return error;
                }
                const Pieces tail = {" (path=", path_text, ")"};
                return concat_spans({PieceSpan(pieces, used), PieceSpan(tail.begin(), tail.size())});
            });
        }
    }
    return reject_on_path(PyExc_ValueError, path, [&] {
        return Ref::steal(PyUnicode_FromFormat("Value %R is not in candidate list %S.", value, values));
    });
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
            if (path.discarded(PyExc_ValueError) && PyUnicode_CheckExact(value) &&
                plain_pattern(regex.get())) {
                return Verdict::Discarded;
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
            if (path.discarded(PyExc_ValueError) && renders_natively(value) &&
                (!min || renders_natively(min.get())) && (!max || renders_natively(max.get()))) {
                return Verdict::Discarded;
            }
            return reject_joined_on_path(PyExc_ValueError, path, [&](auto join) -> Ref {
                TextPiece min_text, max_text, value_text;
                if ((min && failed(min_text.set_str(min.get()))) ||
                    (max && failed(max_text.set_str(max.get()))) || failed(value_text.set_str(value))) {
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
            return reject_not_in(values.get(), value, path);
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
