// `format`: the text form of a possibly hierarchical value.
//
// Children are rendered by calling the cached `format` function object, never
// by a direct native recursion, so host formattables and hooks see every
// level. Each container call builds its child keyword set once and reuses it
// for every element; the keyword names are our own interned names, so the
// child's binding matches them by identity and allocates nothing.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "formatting/detail.hpp"
#include "formatting/format.hpp"

namespace norv::formatting {

namespace {

using detail::Name;

// Parameter slots, in signature order.
enum Slot : std::size_t {
    VALUE,
    COMPACT,
    VERBOSE,
    ROOT_INDENT,
    LIST_WRAP,
    STRIP_ID,
    INCLUDE,
    EXCLUDE,
    MARKDOWN,
    MAX_STR,
    MAX_BYTES,
    CUSTOM,
    MEMO,
    N_SLOTS
};
constexpr std::size_t N_POSITIONAL = 11;

const Signature FORMAT_SIG{"format",
                           {arg("value"), opt("compact"), opt("verbose"), opt("root_indent"),
                            opt("list_wrap_threshold"), opt("strip_object_id"), opt("include_keys"),
                            opt("exclude_keys"), opt("markdown"), opt("max_str_len"), opt("max_bytes_len"),
                            kwopt("custom_format"), kwopt("memo")},
                           {.var_kwargs = true}};

// The arguments of one call, borrowed from the caller (nullptr = left out).
struct Call {
    std::array<PyObject *, N_SLOTS> slot{};
    Ref extras;  // dict of extra keywords, or empty

    PyObject *operator[](Slot s) const noexcept { return slot[s]; }
    // For parameters where None means "left out".
    PyObject *or_none(Slot s) const noexcept { return slot[s] && slot[s] != Py_None ? slot[s] : nullptr; }
    bool truthy(Slot s) const { return slot[s] && legacy::require(PyObject_IsTrue(slot[s])); }
    PyObject *extras_dict() const noexcept { return extras ? extras.get() : nullptr; }
};

// Child calls (and most calls from Python) name only known parameters with
// interned strings: match those by identity. Anything else (unknown or
// non-interned names, repeats, bad counts) takes the general binder, which
// also words the errors.
bool bind_fast(FastArgs a, Call &c)
{
    if (a.nargs < 1 || a.nargs > static_cast<Py_ssize_t>(N_POSITIONAL)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < a.nargs; ++i) {
        c.slot[static_cast<std::size_t>(i)] = a.args[i];
    }
    const Py_ssize_t nkw = a.kwnames ? PyTuple_GET_SIZE(a.kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(a.kwnames, k);
        std::size_t idx = N_SLOTS;
        for (std::size_t j = 0; j < N_SLOTS; ++j) {
            if (detail::name(static_cast<Name>(j)) == key) {
                idx = j;
                break;
            }
        }
        if (idx == N_SLOTS || c.slot[idx] != nullptr) {
            return false;
        }
        c.slot[idx] = a.args[a.nargs + k];
    }
    return true;
}

Call bind(FastArgs a)
{
    Call c;
    if (bind_fast(a, c)) {
        return c;
    }
    c = Call{};
    Bound b = FORMAT_SIG.bind(a);
    for (std::size_t i = 0; i < N_SLOTS; ++i) {
        c.slot[i] = b[i];
    }
    if (b.varkw && PyDict_GET_SIZE(b.varkw.get()) > 0) {
        c.extras = std::move(b.varkw);
    }
    return c;
}

// The resolved state of one rendering.
struct Ctx {
    const Call &call;
    PyObject *value;
    PyObject *root_indent;  // given, or 0
    PyObject *memo;
};

ObjectCell CHILD_NAMES, FORMATTABLE_NAMES, OBJECT_AT;

constexpr Name CHILD_HEAD[] = {Name::compact,         Name::verbose,       Name::root_indent,
                               Name::list_wrap_threshold, Name::strip_object_id, Name::max_str_len,
                               Name::max_bytes_len,   Name::custom_format, Name::memo};
constexpr Name FORMATTABLE_TAIL[] = {Name::include_keys, Name::exclude_keys};

PyObject *child_names(bool formattable)
{
    if (formattable) {
        return FORMATTABLE_NAMES.get_or_init([] {
            std::array<Name, std::size(CHILD_HEAD) + std::size(FORMATTABLE_TAIL)> names{};
            std::copy(std::begin(FORMATTABLE_TAIL), std::end(FORMATTABLE_TAIL),
                      std::copy(std::begin(CHILD_HEAD), std::end(CHILD_HEAD), names.begin()));
            return detail::make_names(names);
        });
    }
    return CHILD_NAMES.get_or_init([] { return detail::make_names(CHILD_HEAD); });
}

// The child keyword set with `root_indent` = `ri`; for a formattable, the key
// filters follow the extras (the caller fills them).
class ChildCall : public detail::KwCall {
public:
    ChildCall(const Ctx &x, PyObject *ri, bool formattable = false)
        : KwCall(CHILD_HEAD, x.call.extras_dict(),
                 formattable ? std::span<const Name>(FORMATTABLE_TAIL) : std::span<const Name>(),
                 child_names(formattable))
    {
        const Call &c = x.call;
        head(0, c[COMPACT] ? c[COMPACT] : Py_False);
        head(1, c[VERBOSE] ? c[VERBOSE] : Py_True);
        head(2, ri);
        head(3, c[LIST_WRAP] ? c[LIST_WRAP] : detail::int_eighty());
        head(4, c[STRIP_ID] ? c[STRIP_ID] : Py_False);
        head(5, c[MAX_STR] ? c[MAX_STR] : Py_None);
        head(6, c[MAX_BYTES] ? c[MAX_BYTES] : Py_None);
        head(7, c[CUSTOM] ? c[CUSTOM] : Py_None);
        head(8, x.memo);
    }
};

Ref format_child(detail::KwCall &kw, PyObject *child)
{
    return detail::require_str(kw.call(format_fn(), child));
}

Ref call_hook(PyObject *hook, PyObject *value, PyObject *ri)
{
    PyObject *args[3] = {nullptr, value, ri};
    return legacy::checked(PyObject_Vectorcall(hook, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref md_quote(bool markdown, Ref text)
{
    if (!markdown) {
        return text;
    }
    const Py_ssize_t at = PyUnicode_FindChar(text.get(), '\n', 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (at == -2) {
        legacy::throw_set();
    }
    const bool multiline = at >= 0;
    TextBuilder b;
    b.ascii(multiline ? "```\n" : "`");
    b.add(std::move(text));
    b.ascii(multiline ? "\n```" : "`");
    return b.finish();
}

// ---------------------------------------------------------------- scalars

bool over_max_len(Py_ssize_t length, PyObject *max)
{
    if (auto m = detail::as_i64(max)) {
        return length > *m;
    }
    Ref len = legacy::checked(PyLong_FromSsize_t(length));
    Ref over = legacy::checked(PyObject_RichCompare(len.get(), max, Py_GT));
    return legacy::require(PyObject_IsTrue(over.get()));
}

// repr(value[0:max] + suffix): the dots sit inside the quotes, so the text
// still reads as one literal of the value's type.
Ref truncated_repr(PyObject *value, PyObject *max, Py_ssize_t length)
{
    const bool is_str = PyUnicode_CheckExact(value);
    Ref cut;
    if (auto m = detail::as_i64(max)) {
        const long long end = *m < 0 ? std::max<long long>(length + *m, 0) : std::min<long long>(*m, length);
        const auto stop = static_cast<Py_ssize_t>(end);
        if (is_str) {
            Ref head = legacy::checked(PyUnicode_Substring(value, 0, stop));
            cut = legacy::checked(PyUnicode_Concat(head.get(), detail::ellipsis(true)));
        }
        else {
            cut = legacy::checked(PyBytes_FromStringAndSize(nullptr, stop + 3));
            char *out = PyBytes_AS_STRING(cut.get());
            std::memcpy(out, PyBytes_AS_STRING(value), static_cast<std::size_t>(stop));
            std::memcpy(out + stop, "...", 3);
        }
    }
    else {
        Ref slice = legacy::checked(PySlice_New(detail::int_zero(), max, nullptr));
        Ref head = legacy::checked(PyObject_GetItem(value, slice.get()));
        cut = legacy::checked(PyNumber_Add(head.get(), detail::ellipsis(is_str)));
    }
    return legacy::repr_of(cut.get());
}

Ref limited_repr(PyObject *value, PyObject *max, Py_ssize_t length)
{
    if (max != nullptr && over_max_len(length, max)) {
        return truncated_repr(value, max, length);
    }
    return legacy::repr_of(value);
}

// The text of a fast-path scalar (exact types only), or nothing.
Ref scalar_text(PyObject *v, const Call &c)
{
    PyTypeObject *tp = Py_TYPE(v);
    if (tp == &PyLong_Type || tp == &PyBool_Type || tp == &PyFloat_Type || v == Py_None) {
        return legacy::repr_of(v);
    }
    if (tp == &PyUnicode_Type) {
        return limited_repr(v, c.or_none(MAX_STR), PyUnicode_GET_LENGTH(v));
    }
    if (tp == &PyBytes_Type) {
        return limited_repr(v, c.or_none(MAX_BYTES), PyBytes_GET_SIZE(v));
    }
    return {};
}

// ---------------------------------------------------------------- containers

bool fits_one_line(Py_ssize_t length, const Call &c)
{
    PyObject *threshold = c[LIST_WRAP] ? c[LIST_WRAP] : detail::int_eighty();
    if (auto t = detail::as_i64(threshold)) {
        return length <= *t;
    }
    Ref len = legacy::checked(PyLong_FromSsize_t(length));
    Ref fits = legacy::checked(PyObject_RichCompare(len.get(), threshold, Py_LE));
    return legacy::require(PyObject_IsTrue(fits.get()));
}

Ref render_sequence(const Ctx &x, bool is_list)
{
    PyObject *v = x.value;
    Ref ci = detail::ri_plus_one(x.root_indent);
    ChildCall kw(x, ci.get());

    std::vector<Ref> texts;
    if (PyList_CheckExact(v)) {
        // By index, re-reading the size: what the list iterator does, so a
        // list that grows or shrinks under a child's formatting stays safe.
        texts.reserve(static_cast<std::size_t>(PyList_GET_SIZE(v)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
            texts.push_back(format_child(kw, item.get()));
        }
    }
    else if (PyTuple_CheckExact(v)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(v);
        texts.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            texts.push_back(format_child(kw, PyTuple_GET_ITEM(v, i)));
        }
    }
    else {
        Ref it = legacy::checked(PyObject_GetIter(v));
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            texts.push_back(format_child(kw, item.get()));
        }
        if (PyErr_Occurred()) {
            legacy::throw_set();
        }
    }

    const std::string_view open = is_list ? "[" : "(", close = is_list ? "]" : ")";
    TextBuilder b;
    b.reserve(texts.size() * 3 + 4);
    bool one_line = x.call.truthy(COMPACT);
    if (!one_line) {
        Py_ssize_t length = 2;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            length += PyUnicode_GET_LENGTH(texts[i].get()) + (i ? 2 : 0);
        }
        one_line = fits_one_line(length, x.call);
    }
    if (one_line) {
        b.ascii(open);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i) {
                b.ascii(", ");
            }
            b.add(std::move(texts[i]));
        }
        b.ascii(close);
        return b.finish();
    }
    // Only the first line of each element is prefixed: the element was
    // rendered one level deeper and carries its own inner indentation.
    const Indent inner = detail::indent_from(ci.get()), outer = detail::indent_from(x.root_indent);
    b.ascii(open);
    b.ascii("\n");
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i) {
            b.ascii(",\n");
        }
        b.indent(inner);
        b.add(std::move(texts[i]));
    }
    b.ascii("\n");
    b.indent(outer);
    b.ascii(close);
    return b.finish();
}

Ref render_dict(const Ctx &x)
{
    const Call &c = x.call;
    Ref ci = detail::ri_plus_one(x.root_indent);

    // The filter is chosen once, before iterating.
    PyObject *include = c.or_none(INCLUDE);
    PyObject *exclude = c.or_none(EXCLUDE);
    if (include && !legacy::require(PyObject_IsTrue(include))) {
        include = nullptr;
    }
    if (include || (exclude && !legacy::require(PyObject_IsTrue(exclude)))) {
        exclude = nullptr;
    }

    ChildCall kw(x, ci.get());
    std::vector<std::pair<Ref, Ref>> entries;
    entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(x.value)));
    legacy::dict_for_each(x.value, [&](PyObject *key, PyObject *value) {
        if (include && !legacy::require(PySequence_Contains(include, key))) {
            return;
        }
        if (exclude && legacy::require(PySequence_Contains(exclude, key))) {
            return;
        }
        Ref text = format_child(kw, value);
        entries.emplace_back(legacy::repr_of(key), std::move(text));
    });

    TextBuilder b;
    b.reserve(entries.size() * 4 + 4);
    if (c.truthy(COMPACT) || entries.empty()) {
        b.ascii("{");
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i) {
                b.ascii(", ");
            }
            b.add(std::move(entries[i].first));
            b.ascii(": ");
            b.add(std::move(entries[i].second));
        }
        b.ascii("}");
        return b.finish();
    }
    const Indent inner = detail::indent_from(ci.get()), outer = detail::indent_from(x.root_indent);
    b.ascii("{\n");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i) {
            b.ascii(",\n");
        }
        b.indent(inner);
        b.add(std::move(entries[i].first));
        b.ascii(": ");
        b.add(std::move(entries[i].second));
    }
    b.ascii("\n");
    b.indent(outer);
    b.ascii("}");
    return b.finish();
}

// ---------------------------------------------------------------- host text

bool is_formattable(PyTypeObject *tp)
{
    PyObject *marker = nullptr;
    if (legacy::require(PyObject_GetOptionalAttr(reinterpret_cast<PyObject *>(tp),
                                         detail::name(Name::norv_formattable), &marker)) == 0) {
        return false;
    }
    Ref owned = Ref::steal(marker);
    return legacy::require(PyObject_IsTrue(owned.get()));
}

Ref render_formattable(const Ctx &x)
{
    const Call &c = x.call;
    Ref own_exclude;
    PyObject *exclude = c.or_none(EXCLUDE);
    if (exclude == nullptr) {
        own_exclude = legacy::checked(PySet_New(nullptr));
        exclude = own_exclude.get();
    }
    ChildCall kw(x, x.root_indent, true);
    kw.tail(0, c.or_none(INCLUDE) ? c[INCLUDE] : Py_None);
    kw.tail(1, exclude);
    Ref result;
    {
        detail::Suppression quiet;
        quiet.enter();
        result = kw.call_method(detail::name(Name::format), x.value);
    }
    return detail::require_str(std::move(result));
}

Ref render_other(const Ctx &x)
{
    const Call &c = x.call;
    Ref text;
    detail::Suppression quiet;
    quiet.enter();
    if (PyObject *hook = c.or_none(CUSTOM)) {
        Ref r = call_hook(hook, x.value, x.root_indent);
        if (r.get() != Py_None) {
            text = legacy::str_of(r.get());
        }
    }
    if (!text) {
        text = c.truthy(COMPACT) ? legacy::repr_of(x.value) : legacy::str_of(x.value);
    }
    if (c.truthy(STRIP_ID)) {
        PyObject *needle = OBJECT_AT.get_or_init([] { return legacy::new_str("object at 0x"); });
        const Py_ssize_t at = PyUnicode_Find(text.get(), needle, 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) {
            legacy::throw_set();
        }
        if (at >= 0) {
            TextBuilder b;
            b.add(detail::class_name(x.value));
            b.ascii("(...)");
            text = b.finish();
        }
    }
    return text;
}

Ref render(const Ctx &x)
{
    PyTypeObject *tp = Py_TYPE(x.value);
    // Built-in containers cannot carry the marker (their types are immutable).
    const bool builtin = tp == &PyList_Type || tp == &PyTuple_Type || tp == &PyDict_Type;
    if (!builtin && is_formattable(tp)) {
        return render_formattable(x);
    }
    if (PyList_Check(x.value) || PyTuple_Check(x.value)) {
        return render_sequence(x, PyList_Check(x.value));
    }
    if (PyDict_Check(x.value)) {
        return render_dict(x);
    }
    return render_other(x);
}

Ref recursion_marker(PyObject *value)
{
    char address[2 + 2 * sizeof(void *) + 1];
    std::snprintf(address, sizeof address, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(value));
    Ref cls = detail::class_name(value);
    return legacy::checked(PyUnicode_FromFormat("<recursive %U at %s>", cls.get(), address));
}

// While a value renders, its id sits in the memo; it leaves again on every
// way out, keeping an error in flight and ignoring the removal's own.
class MemoEntry {
public:
    MemoEntry(PyObject *memo, PyObject *key) : memo_(memo), key_(key) {}
    MemoEntry(const MemoEntry &) = delete;
    MemoEntry &operator=(const MemoEntry &) = delete;
    ~MemoEntry()
    {
        PyObject *in_flight = PyErr_GetRaisedException();
        if (PySet_Discard(memo_, key_) < 0) {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(in_flight);
    }

private:
    PyObject *memo_;
    PyObject *key_;
};

Ref format_impl(PyObject *, FastArgs a)
{
    const Call c = bind(a);
    PyObject *value = c[VALUE];
    const bool markdown = c.truthy(MARKDOWN);
    PyObject *ri = c[ROOT_INDENT] ? c[ROOT_INDENT] : detail::int_zero();

    if (PyObject *hook = c.or_none(CUSTOM)) {
        Ref r = call_hook(hook, value, ri);
        if (r.get() != Py_None) {
            return md_quote(markdown, legacy::str_of(r.get()));
        }
    }
    if (Ref text = scalar_text(value, c)) {
        return md_quote(markdown, std::move(text));
    }

    Ref own_memo;
    PyObject *memo = c.or_none(MEMO);
    if (memo == nullptr) {
        own_memo = legacy::checked(PySet_New(nullptr));
        memo = own_memo.get();
    }
    else if (!PySet_Check(memo)) {
        legacy::raise_not_instance(memo, "set");
    }
    Ref key = legacy::checked(PyLong_FromVoidPtr(value));
    if (legacy::require(PySet_Contains(memo, key.get()))) {
        return recursion_marker(value);
    }
    legacy::require(PySet_Add(memo, key.get()));
    Ref text;
    {
        MemoEntry entry(memo, key.get());
        // Every nested level passes here, whether it is reached through a
        // container or through host code (a formattable's own `format`).
        legacy::RecursionGuard depth(" while formatting a value");
        text = render(Ctx{c, value, ri, memo});
    }
    return md_quote(markdown, std::move(text));
}

PyMethodDef FORMAT_DEF = method<format_impl>(
    "format",
    "format(value, compact=..., verbose=..., root_indent=..., list_wrap_threshold=..., strip_object_id=..., "
    "include_keys=None, exclude_keys=None, markdown=..., max_str_len=None, max_bytes_len=None, *, "
    "custom_format=None, memo=None, **kwargs)\n--\n\n"
    "Render a possibly hierarchical value as text.");

}  // namespace

PyMethodDef *format_function() { return &FORMAT_DEF; }

}  // namespace norv::formatting
