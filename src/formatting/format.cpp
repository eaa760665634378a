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
    // 1 / 0 (false when left out), -1 with the error set.
    [[nodiscard]] int truthy(Slot s) const { return slot[s] ? PyObject_IsTrue(slot[s]) : 0; }
    PyObject *extras_dict() const noexcept { return extras ? extras.get() : nullptr; }
};

// Child calls (and most calls from Python) name only known parameters with
// interned strings: match those by identity. Anything else (unknown or
// non-interned names, repeats, bad counts) takes the general binder, which
// also words the errors. 1: bound; 0: for the general binder; -1: error set.
[[nodiscard]] int bind_fast(FastArgs a, Call &c)
{
    if (a.nargs < 1 || a.nargs > static_cast<Py_ssize_t>(N_POSITIONAL)) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < a.nargs; ++i) {
        c.slot[static_cast<std::size_t>(i)] = a.args[i];
    }
    const Py_ssize_t nkw = a.kwnames ? PyTuple_GET_SIZE(a.kwnames) : 0;
    if (nkw == 0) {
        return 1;
    }
    PyObject *const *names = detail::name_table();
    if (names == nullptr) {
        return -1;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(a.kwnames, k);
        std::size_t idx = N_SLOTS;
        for (std::size_t j = 0; j < N_SLOTS; ++j) {
            if (names[j] == key) {
                idx = j;
                break;
            }
        }
        if (idx == N_SLOTS || c.slot[idx] != nullptr) {
            return 0;
        }
        c.slot[idx] = a.args[a.nargs + k];
    }
    return 1;
}

Status bind(FastArgs a, Call &c)
{
    const int fast = bind_fast(a, c);
    if (fast < 0) {
        return error;
    }
    if (fast) {
        return Status::ok;
    }
    c = Call{};
    Bound b;
    if (failed(FORMAT_SIG.bind(a, b))) {
        return error;
    }
    for (std::size_t i = 0; i < N_SLOTS; ++i) {
        c.slot[i] = b[i];
    }
    if (b.varkw && PyDict_GET_SIZE(b.varkw.get()) > 0) {
        c.extras = std::move(b.varkw);
    }
    return Status::ok;
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

// The cached kwnames tuple; NULL with the error set if it cannot be made.
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
// filters follow the extras (the caller fills them). Check `failed()` first.
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
    return Ref::steal(PyObject_Vectorcall(hook, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A failed `text` (null) passes through.
Ref md_quote(bool markdown, Ref text)
{
    if (!markdown || !text) {
        return text;
    }
    const Py_ssize_t at = PyUnicode_FindChar(text.get(), '\n', 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (at == -2) {
        return error;
    }
    const bool multiline = at >= 0;
    TextBuilder b;
    if (failed(b.ascii(multiline ? "```\n" : "`")) || failed(b.add(std::move(text))) ||
        failed(b.ascii(multiline ? "\n```" : "`"))) {
        return error;
    }
    return b.finish();
}

// ---------------------------------------------------------------- scalars

// 1 / 0, -1 with the error set.
[[nodiscard]] int over_max_len(Py_ssize_t length, PyObject *max)
{
    if (auto m = detail::as_i64(max)) {
        return length > *m;
    }
    Ref len = Ref::steal(PyLong_FromSsize_t(length));
    if (!len) {
        return -1;
    }
    Ref over = Ref::steal(PyObject_RichCompare(len.get(), max, Py_GT));
    if (!over) {
        return -1;
    }
    return PyObject_IsTrue(over.get());
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
            Ref head = Ref::steal(PyUnicode_Substring(value, 0, stop));
            if (!head) {
                return error;
            }
            PyObject *dots = detail::ellipsis(true);
            if (dots == nullptr) {
                return error;
            }
            cut = Ref::steal(PyUnicode_Concat(head.get(), dots));
        }
        else {
            cut = Ref::steal(PyBytes_FromStringAndSize(nullptr, stop + 3));
            if (!cut) {
                return error;
            }
            char *out = PyBytes_AS_STRING(cut.get());
            std::memcpy(out, PyBytes_AS_STRING(value), static_cast<std::size_t>(stop));
            std::memcpy(out + stop, "...", 3);
        }
    }
    else {
        Ref slice = Ref::steal(PySlice_New(detail::int_zero(), max, nullptr));
        if (!slice) {
            return error;
        }
        Ref head = Ref::steal(PyObject_GetItem(value, slice.get()));
        if (!head) {
            return error;
        }
        PyObject *dots = detail::ellipsis(is_str);
        if (dots == nullptr) {
            return error;
        }
        cut = Ref::steal(PyNumber_Add(head.get(), dots));
    }
    if (!cut) {
        return error;
    }
    return repr_of(cut.get());
}

Ref limited_repr(PyObject *value, PyObject *max, Py_ssize_t length)
{
    if (max != nullptr) {
        const int over = over_max_len(length, max);
        if (over < 0) {
            return error;
        }
        if (over) {
            return truncated_repr(value, max, length);
        }
    }
    return repr_of(value);
}

// The fast-path scalars: exact types only.
bool is_plain_scalar(PyObject *v)
{
    PyTypeObject *tp = Py_TYPE(v);
    return tp == &PyLong_Type || tp == &PyBool_Type || tp == &PyFloat_Type || v == Py_None ||
           tp == &PyUnicode_Type || tp == &PyBytes_Type;
}

// The text of a plain scalar.
Ref scalar_text(PyObject *v, const Call &c)
{
    PyTypeObject *tp = Py_TYPE(v);
    if (tp == &PyUnicode_Type) {
        return limited_repr(v, c.or_none(MAX_STR), PyUnicode_GET_LENGTH(v));
    }
    if (tp == &PyBytes_Type) {
        return limited_repr(v, c.or_none(MAX_BYTES), PyBytes_GET_SIZE(v));
    }
    return repr_of(v);
}

// ---------------------------------------------------------------- containers

// 1 / 0, -1 with the error set.
[[nodiscard]] int fits_one_line(Py_ssize_t length, const Call &c)
{
    PyObject *threshold = c[LIST_WRAP] ? c[LIST_WRAP] : detail::int_eighty();
    if (auto t = detail::as_i64(threshold)) {
        return length <= *t;
    }
    Ref len = Ref::steal(PyLong_FromSsize_t(length));
    if (!len) {
        return -1;
    }
    Ref fits = Ref::steal(PyObject_RichCompare(len.get(), threshold, Py_LE));
    if (!fits) {
        return -1;
    }
    return PyObject_IsTrue(fits.get());
}

// Appends the rendered child to `texts`.
Status push_child(std::vector<Ref> &texts, detail::KwCall &kw, PyObject *child)
{
    Ref text = format_child(kw, child);
    if (!text) {
        return error;
    }
    texts.push_back(std::move(text));
    return Status::ok;
}

Ref render_sequence(const Ctx &x, bool is_list)
{
    PyObject *v = x.value;
    Ref ci = detail::ri_plus_one(x.root_indent);
    if (!ci) {
        return error;
    }
    ChildCall kw(x, ci.get());
    if (kw.failed()) {
        return error;
    }

    std::vector<Ref> texts;
    if (PyList_CheckExact(v)) {
        // By index, re-reading the size: what the list iterator does, so a
        // list that grows or shrinks under a child's formatting stays safe.
        texts.reserve(static_cast<std::size_t>(PyList_GET_SIZE(v)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
            if (failed(push_child(texts, kw, item.get()))) {
                return error;
            }
        }
    }
    else if (PyTuple_CheckExact(v)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(v);
        texts.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (failed(push_child(texts, kw, PyTuple_GET_ITEM(v, i)))) {
                return error;
            }
        }
    }
    else {
        Ref it = Ref::steal(PyObject_GetIter(v));
        if (!it) {
            return error;
        }
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            if (failed(push_child(texts, kw, item.get()))) {
                return error;
            }
        }
        if (PyErr_Occurred()) {
            return error;
        }
    }

    const std::string_view open = is_list ? "[" : "(", close = is_list ? "]" : ")";
    TextBuilder b;
    b.reserve(texts.size() * 3 + 4);
    int one_line = x.call.truthy(COMPACT);
    if (one_line == 0) {
        Py_ssize_t length = 2;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            length += PyUnicode_GET_LENGTH(texts[i].get()) + (i ? 2 : 0);
        }
        one_line = fits_one_line(length, x.call);
    }
    if (one_line < 0) {
        return error;
    }
    if (one_line) {
        if (failed(b.ascii(open))) {
            return error;
        }
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i && failed(b.ascii(", "))) {
                return error;
            }
            if (failed(b.add(std::move(texts[i])))) {
                return error;
            }
        }
        if (failed(b.ascii(close))) {
            return error;
        }
        return b.finish();
    }
    // Only the first line of each element is prefixed: the element was
    // rendered one level deeper and carries its own inner indentation.
    Maybe<Indent> inner = detail::indent_from(ci.get());
    if (!inner) {
        return error;
    }
    Maybe<Indent> outer = detail::indent_from(x.root_indent);
    if (!outer) {
        return error;
    }
    if (failed(b.ascii(open)) || failed(b.ascii("\n"))) {
        return error;
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i && failed(b.ascii(",\n"))) {
            return error;
        }
        if (failed(b.indent(*inner)) || failed(b.add(std::move(texts[i])))) {
            return error;
        }
    }
    if (failed(b.ascii("\n")) || failed(b.indent(*outer)) || failed(b.ascii(close))) {
        return error;
    }
    return b.finish();
}

// Whether `key` passes the filter: -1 with the error set.
[[nodiscard]] int keeps_key(PyObject *include, PyObject *exclude, PyObject *key)
{
    if (include) {
        return PySequence_Contains(include, key);
    }
    if (exclude) {
        const int excluded = PySequence_Contains(exclude, key);
        return excluded < 0 ? -1 : !excluded;
    }
    return 1;
}

Ref render_dict(const Ctx &x)
{
    const Call &c = x.call;
    Ref ci = detail::ri_plus_one(x.root_indent);
    if (!ci) {
        return error;
    }

    // The filter is chosen once, before iterating.
    PyObject *include = c.or_none(INCLUDE);
    PyObject *exclude = c.or_none(EXCLUDE);
    if (include) {
        const int given = PyObject_IsTrue(include);
        if (given < 0) {
            return error;
        }
        if (!given) {
            include = nullptr;
        }
    }
    if (include) {
        exclude = nullptr;
    }
    else if (exclude) {
        const int given = PyObject_IsTrue(exclude);
        if (given < 0) {
            return error;
        }
        if (!given) {
            exclude = nullptr;
        }
    }

    ChildCall kw(x, ci.get());
    if (kw.failed()) {
        return error;
    }
    std::vector<std::pair<Ref, Ref>> entries;
    entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(x.value)));
    const Status walked = dict_for_each(x.value, [&](PyObject *key, PyObject *value) -> Status {
        const int keep = keeps_key(include, exclude, key);
        if (keep < 0) {
            return error;
        }
        if (!keep) {
            return Status::ok;
        }
        Ref text = format_child(kw, value);
        if (!text) {
            return error;
        }
        Ref shown = repr_of(key);
        if (!shown) {
            return error;
        }
        entries.emplace_back(std::move(shown), std::move(text));
        return Status::ok;
    });
    if (failed(walked)) {
        return error;
    }

    TextBuilder b;
    b.reserve(entries.size() * 4 + 4);
    const int compact = c.truthy(COMPACT);
    if (compact < 0) {
        return error;
    }
    if (compact || entries.empty()) {
        if (failed(b.ascii("{"))) {
            return error;
        }
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i && failed(b.ascii(", "))) {
                return error;
            }
            if (failed(b.add(std::move(entries[i].first))) || failed(b.ascii(": ")) ||
                failed(b.add(std::move(entries[i].second)))) {
                return error;
            }
        }
        if (failed(b.ascii("}"))) {
            return error;
        }
        return b.finish();
    }
    Maybe<Indent> inner = detail::indent_from(ci.get());
    if (!inner) {
        return error;
    }
    Maybe<Indent> outer = detail::indent_from(x.root_indent);
    if (!outer) {
        return error;
    }
    if (failed(b.ascii("{\n"))) {
        return error;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i && failed(b.ascii(",\n"))) {
            return error;
        }
        if (failed(b.indent(*inner)) || failed(b.add(std::move(entries[i].first))) || failed(b.ascii(": ")) ||
            failed(b.add(std::move(entries[i].second)))) {
            return error;
        }
    }
    if (failed(b.ascii("\n")) || failed(b.indent(*outer)) || failed(b.ascii("}"))) {
        return error;
    }
    return b.finish();
}

// ---------------------------------------------------------------- host text

// 1 / 0, -1 with the error set.
[[nodiscard]] int is_formattable(PyTypeObject *tp)
{
    PyObject *marker_name = detail::name(Name::norv_formattable);
    if (marker_name == nullptr) {
        return -1;
    }
    PyObject *marker = nullptr;
    const int found = PyObject_GetOptionalAttr(reinterpret_cast<PyObject *>(tp), marker_name, &marker);
    if (found <= 0) {
        return found;
    }
    Ref owned = Ref::steal(marker);
    return PyObject_IsTrue(owned.get());
}

Ref render_formattable(const Ctx &x)
{
    const Call &c = x.call;
    Ref own_exclude;
    PyObject *exclude = c.or_none(EXCLUDE);
    if (exclude == nullptr) {
        own_exclude = Ref::steal(PySet_New(nullptr));
        if (!own_exclude) {
            return error;
        }
        exclude = own_exclude.get();
    }
    ChildCall kw(x, x.root_indent, true);
    if (kw.failed()) {
        return error;
    }
    kw.tail(0, c.or_none(INCLUDE) ? c[INCLUDE] : Py_None);
    kw.tail(1, exclude);
    Ref result;
    {
        detail::Suppression quiet;
        if (failed(quiet.enter())) {
            return error;
        }
        PyObject *method = detail::name(Name::format);
        if (method == nullptr) {
            return error;
        }
        result = kw.call_method(method, x.value);
    }
    return detail::require_str(std::move(result));
}

Ref render_other(const Ctx &x)
{
    const Call &c = x.call;
    Ref text;
    detail::Suppression quiet;
    if (failed(quiet.enter())) {
        return error;
    }
    if (PyObject *hook = c.or_none(CUSTOM)) {
        Ref r = call_hook(hook, x.value, x.root_indent);
        if (!r) {
            return error;
        }
        if (r.get() != Py_None) {
            text = str_of(r.get());
            if (!text) {
                return error;
            }
        }
    }
    if (!text) {
        const int compact = c.truthy(COMPACT);
        if (compact < 0) {
            return error;
        }
        text = compact ? repr_of(x.value) : str_of(x.value);
        if (!text) {
            return error;
        }
    }
    const int strip = c.truthy(STRIP_ID);
    if (strip < 0) {
        return error;
    }
    if (strip) {
        PyObject *needle = OBJECT_AT.get_or_init([] { return new_str("object at 0x"); });
        if (needle == nullptr) {
            return error;
        }
        const Py_ssize_t at = PyUnicode_Find(text.get(), needle, 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) {
            return error;
        }
        if (at >= 0) {
            TextBuilder b;
            if (failed(b.add(detail::class_name(x.value))) || failed(b.ascii("(...)"))) {
                return error;
            }
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
    if (!builtin) {
        const int formattable = is_formattable(tp);
        if (formattable < 0) {
            return error;
        }
        if (formattable) {
            return render_formattable(x);
        }
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
    if (!cls) {
        return error;
    }
    return Ref::steal(PyUnicode_FromFormat("<recursive %U at %s>", cls.get(), address));
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
    Call c;
    if (failed(bind(a, c))) {
        return error;
    }
    PyObject *value = c[VALUE];
    const int markdown = c.truthy(MARKDOWN);
    if (markdown < 0) {
        return error;
    }
    PyObject *ri = c[ROOT_INDENT] ? c[ROOT_INDENT] : detail::int_zero();

    if (PyObject *hook = c.or_none(CUSTOM)) {
        Ref r = call_hook(hook, value, ri);
        if (!r) {
            return error;
        }
        if (r.get() != Py_None) {
            return md_quote(markdown, str_of(r.get()));
        }
    }
    if (is_plain_scalar(value)) {
        return md_quote(markdown, scalar_text(value, c));
    }

    Ref own_memo;
    PyObject *memo = c.or_none(MEMO);
    if (memo == nullptr) {
        own_memo = Ref::steal(PySet_New(nullptr));
        if (!own_memo) {
            return error;
        }
        memo = own_memo.get();
    }
    else if (!PySet_Check(memo)) {
        return raise_not_instance(memo, "set");
    }
    Ref key = Ref::steal(PyLong_FromVoidPtr(value));
    if (!key) {
        return error;
    }
    const int seen = PySet_Contains(memo, key.get());
    if (seen < 0) {
        return error;
    }
    if (seen) {
        return recursion_marker(value);
    }
    if (PySet_Add(memo, key.get()) < 0) {
        return error;
    }
    Ref text;
    {
        MemoEntry entry(memo, key.get());
        // Every nested level passes here, whether it is reached through a
        // container or through host code (a formattable's own `format`).
        RecursionGuard depth(" while formatting a value");
        if (depth.failed()) {
            return error;
        }
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
