// `format`: the text form of a possibly hierarchical value.
//
// A container renders each element as a call of `format` would, with the
// child keyword set, but runs the body of `format` directly over arguments
// bound once per container: no call, no binding, no allocation per element.
// The call's level of the interpreter's depth count is still entered (or, for
// a plain scalar whose repr runs no Python code, skipped only where entering
// could merely count), so depth limits and messages are those of the calls.
// Every value still passes the hook and the formattable test; a formattable's
// own `format` is called with the same keywords, our interned names, which
// its nested call binds by identity.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/none.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
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

const Signature FORMAT_SIG{
    "format",
    {arg("value"), opt("compact"), opt("verbose"), opt("root_indent"), opt("list_wrap_threshold"),
     opt("strip_object_id"), opt("include_keys"), opt("exclude_keys"), opt("markdown"), opt("max_str_len"),
     opt("max_bytes_len"), kwopt("custom_format"), kwopt("memo")},
    {.var_kwargs = true}};

// The arguments of one call, borrowed from the caller (nullptr = left out).
struct Call {
    std::array<PyObject *, N_SLOTS> slot{};
    // Extra keywords (a dict with at least one entry) or NULL; the dict is
    // owned by the outermost call that bound them and never seen by Python
    // code, so nested calls share it.
    PyObject *extras = nullptr;
    Ref own_extras;

    PyObject *operator[](Slot s) const noexcept { return slot[s]; }
    // False when left out.
    Maybe<bool> truthy(Slot s) const { return truth_or(slot[s], false); }
    PyObject *extras_dict() const noexcept { return extras; }
};

// Calls from Python (a formattable handing its keywords on, most others) name
// only known parameters with interned strings: match those by identity.
// Anything else (unknown or non-interned names, repeats, bad counts) takes the
// general binder, which also words the errors. False: left to the general
// binder.
Maybe<bool> bind_fast(FastArgs a, Call &c)
{
    if (a.nargs < 1 || a.nargs > static_cast<Py_ssize_t>(N_POSITIONAL)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < a.nargs; ++i) {
        c.slot[static_cast<std::size_t>(i)] = a.args[i];
    }
    const Py_ssize_t nkw = a.kwnames ? PyTuple_GET_SIZE(a.kwnames) : 0;
    if (nkw == 0) {
        return true;
    }
    PyObject *const *names = detail::name_table();
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
            return false;
        }
        c.slot[idx] = a.args[a.nargs + k];
    }
    return true;
}

Status bind(FastArgs a, Call &c)
{
    const Maybe<bool> fast = bind_fast(a, c);
    if (!fast) {
        return error;
    }
    if (*fast) {
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
        c.own_extras = std::move(b.varkw);
        c.extras = c.own_extras.get();
    }
    return Status::ok;
}

// What an outermost call reads once and hands down its native walk.
struct Walk {
    StackBounds stack;
    PyThreadState *thread;
    // Plain leaves skip `PyObject_Repr` and with it its signal check: a long
    // run of them still lets signal handlers run every so often.
    unsigned until_signal_check;
    // The child texts of the containers on the current path, innermost last
    // (one buffer for the whole walk instead of one per container).
    std::vector<Ref> texts;
};
constexpr unsigned SIGNAL_CHECK_EVERY = 64;

// The resolved state of one rendering.
struct Ctx {
    const Call &call;
    PyObject *value;
    PyObject *root_indent;  // given, or 0
    PyObject *memo;
    Walk &walk;
};

Ref format_bound(const Call &c, Walk *walk);

// repr() of a plain scalar through its type's own slot, for a caller that
// checked `recursion_room` for the levels it skips (the entry of
// `PyObject_Repr`, and of the call it stands in for): those could only count,
// these slots run no Python code, and their result is a str.
Ref direct_repr(PyObject *v, Walk &walk)
{
    if (--walk.until_signal_check == 0) [[unlikely]] {
        walk.until_signal_check = SIGNAL_CHECK_EVERY;
        if (PyErr_CheckSignals() < 0) {
            return error;
        }
    }
    return Ref::steal(Py_TYPE(v)->tp_repr(v));
}

ObjectCell FORMATTABLE_NAMES, OBJECT_AT;

constexpr Name CHILD_HEAD[] = {Name::compact,
                               Name::verbose,
                               Name::root_indent,
                               Name::list_wrap_threshold,
                               Name::strip_object_id,
                               Name::max_str_len,
                               Name::max_bytes_len,
                               Name::custom_format,
                               Name::memo};
constexpr Name FORMATTABLE_TAIL[] = {Name::include_keys, Name::exclude_keys};

// The cached kwnames tuple of a formattable's call; NULL with the error set
// if it cannot be made.
PyObject *formattable_names()
{
    return FORMATTABLE_NAMES.get_or_init([] {
        std::array<Name, std::size(CHILD_HEAD) + std::size(FORMATTABLE_TAIL)> names{};
        std::copy(std::begin(FORMATTABLE_TAIL), std::end(FORMATTABLE_TAIL),
                  std::copy(std::begin(CHILD_HEAD), std::end(CHILD_HEAD), names.begin()));
        return detail::make_names(names);
    });
}

// The keyword set of a formattable's `format` call, with `root_indent` =
// `ri`; the key filters follow the extras (the caller fills them). Check
// `failed()` first.
class ChildCall : public detail::KwCall {
public:
    ChildCall(const Ctx &x, PyObject *ri)
        : KwCall(CHILD_HEAD, x.call.extras_dict(), FORMATTABLE_TAIL, formattable_names())
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

// The nested `format` calls of one container: the arguments that `format`
// binds from the child keyword set, made once and reused for every element.
// An element runs the body of `format` directly, entered as a call of the
// function object is (one level of the interpreter's depth count, under the
// same message), so depth limits and errors are those of the calls; the body
// always returns a str.
class Children {
public:
    Children(const Ctx &x, PyObject *ri) : walk_(x.walk)
    {
        const Call &c = x.call;
        call_.slot[COMPACT] = c[COMPACT] ? c[COMPACT] : Py_False;
        call_.slot[VERBOSE] = c[VERBOSE] ? c[VERBOSE] : Py_True;
        call_.slot[ROOT_INDENT] = ri;
        call_.slot[LIST_WRAP] = c[LIST_WRAP] ? c[LIST_WRAP] : detail::int_eighty();
        call_.slot[STRIP_ID] = c[STRIP_ID] ? c[STRIP_ID] : Py_False;
        call_.slot[MAX_STR] = c[MAX_STR] ? c[MAX_STR] : Py_None;
        call_.slot[MAX_BYTES] = c[MAX_BYTES] ? c[MAX_BYTES] : Py_None;
        call_.slot[CUSTOM] = c[CUSTOM] ? c[CUSTOM] : Py_None;
        call_.slot[MEMO] = x.memo;
        call_.extras = c.extras;
    }
    Children(const Children &) = delete;
    Children &operator=(const Children &) = delete;

    Ref render(PyObject *child);

private:
    Call call_;
    Walk &walk_;
};

Ref call_hook(PyObject *hook, PyObject *value, PyObject *ri)
{
    PyObject *args[3] = {nullptr, value, ri};
    return Ref::steal(PyObject_Vectorcall(hook, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref quote_markdown(Ref text)
{
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

// A failed `text` (null) passes through.
inline Ref md_quote(bool markdown, Ref text)
{
    if (!markdown || !text) {
        return text;
    }
    return quote_markdown(std::move(text));
}

// ---------------------------------------------------------------- scalars

Maybe<bool> over_max_len(Py_ssize_t length, PyObject *max)
{
    const Maybe<std::optional<long long>> m = detail::as_i64(max);
    if (!m) {
        return error;
    }
    if (*m) {
        return length > **m;
    }
    Ref len = Ref::steal(PyLong_FromSsize_t(length));
    if (!len) {
        return error;
    }
    return compare_truth(len.get(), max, Py_GT);
}

// repr(value[0:max] + suffix): the dots sit inside the quotes, so the text
// still reads as one literal of the value's type.
Ref truncated_repr(PyObject *value, PyObject *max, Py_ssize_t length)
{
    const bool is_str = PyUnicode_CheckExact(value);
    Ref cut;
    const Maybe<std::optional<long long>> given = detail::as_i64(max);
    if (!given) {
        return error;
    }
    if (const std::optional<long long> &m = *given) {
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
    const Maybe<bool> over = over_max_len(length, max);
    if (!over) {
        return error;
    }
    if (*over) {
        return truncated_repr(value, max, length);
    }
    return repr_of(value);
}

// The fast-path scalars: exact types only.
inline bool is_plain_scalar(PyObject *v)
{
    PyTypeObject *tp = Py_TYPE(v);
    return tp == &PyLong_Type || tp == &PyBool_Type || tp == &PyFloat_Type || v == Py_None ||
           tp == &PyUnicode_Type || tp == &PyBytes_Type;
}

// The text of a plain scalar.
inline Ref scalar_text(PyObject *v, const Call &c)
{
    PyTypeObject *tp = Py_TYPE(v);
    if (tp == &PyUnicode_Type) {
        if (PyObject *max = null_if_none(c[MAX_STR])) {
            return limited_repr(v, max, PyUnicode_GET_LENGTH(v));
        }
    }
    else if (tp == &PyBytes_Type) {
        if (PyObject *max = null_if_none(c[MAX_BYTES])) {
            return limited_repr(v, max, PyBytes_GET_SIZE(v));
        }
    }
    return repr_of(v);
}

// A call's entry only counts (the body checks the stack as it recurses).
constexpr StackBounds CALL_ENTRY{};

Ref Children::render(PyObject *child)
{
    // What the body does for a plain scalar when no hook is given (a nested
    // call never asks for markdown): its repr, limited or not.
    if (call_.slot[CUSTOM] == Py_None && is_plain_scalar(child)) {
        PyTypeObject *tp = Py_TYPE(child);
        const bool limited = (tp == &PyUnicode_Type && call_.slot[MAX_STR] != Py_None) ||
                             (tp == &PyBytes_Type && call_.slot[MAX_BYTES] != Py_None);
        if (!limited && recursion_room(walk_.thread, 2)) [[likely]] {
            return direct_repr(child, walk_);
        }
        RecursionGuard level(" while calling a Python object", CALL_ENTRY);
        if (level.failed()) {
            return error;
        }
        return scalar_text(child, call_);
    }
    RecursionGuard level(" while calling a Python object", CALL_ENTRY);
    if (level.failed()) {
        return error;
    }
    call_.slot[VALUE] = child;
    return format_bound(call_, &walk_);
}

// ---------------------------------------------------------------- containers

Maybe<bool> fits_one_line(Py_ssize_t length, const Call &c)
{
    PyObject *threshold = c[LIST_WRAP] ? c[LIST_WRAP] : detail::int_eighty();
    const Maybe<std::optional<long long>> t = detail::as_i64(threshold);
    if (!t) {
        return error;
    }
    if (*t) {
        return length <= **t;
    }
    Ref len = Ref::steal(PyLong_FromSsize_t(length));
    if (!len) {
        return error;
    }
    return compare_truth(len.get(), threshold, Py_LE);
}

// One container's child texts: a stretch at the end of the walk's buffer,
// released again on every way out.
class Texts {
public:
    explicit Texts(Walk &walk) noexcept : all_(walk.texts), start_(walk.texts.size()) {}
    ~Texts() { all_.resize(start_); }
    Texts(const Texts &) = delete;
    Texts &operator=(const Texts &) = delete;

    void push(Ref text) { all_.push_back(std::move(text)); }
    std::size_t size() const noexcept { return all_.size() - start_; }
    PyObject *operator[](std::size_t i) const noexcept { return all_[start_ + i].get(); }

private:
    std::vector<Ref> &all_;
    std::size_t start_;
};

// Appends the rendered child to `texts`.
Status push_child(Texts &texts, Children &kw, PyObject *child)
{
    Ref text = kw.render(child);
    if (!text) {
        return error;
    }
    texts.push(std::move(text));
    return Status::ok;
}

Ref render_sequence(const Ctx &x, bool is_list)
{
    PyObject *v = x.value;
    Ref ci = detail::ri_plus_one(x.root_indent);
    if (!ci) {
        return error;
    }
    Children kw(x, ci.get());

    Texts texts(x.walk);
    if (PyList_CheckExact(v)) {
        // By index, re-reading the size: what the list iterator does, so a
        // list that grows or shrinks under a child's formatting stays safe.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
            if (failed(push_child(texts, kw, item.get()))) {
                return error;
            }
        }
    }
    else if (PyTuple_CheckExact(v)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(v);
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
    Maybe<bool> one_line = x.call.truthy(COMPACT);
    if (one_line && !*one_line) {
        Py_ssize_t length = 2;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            length += PyUnicode_GET_LENGTH(texts[i]) + (i ? 2 : 0);
        }
        one_line = fits_one_line(length, x.call);
    }
    if (!one_line) {
        return error;
    }
    if (*one_line) {
        return assemble([&](auto &out) {
            out.ascii(open);
            for (std::size_t i = 0; i < texts.size(); ++i) {
                if (i) {
                    out.ascii(", ");
                }
                out.text(texts[i]);
            }
            out.ascii(close);
        });
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
    return assemble([&](auto &out) {
        out.ascii(open);
        out.ascii("\n");
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i) {
                out.ascii(",\n");
            }
            out.indent(*inner);
            out.text(texts[i]);
        }
        out.ascii("\n");
        out.indent(*outer);
        out.ascii(close);
    });
}

// Whether `key` passes the filter.
Maybe<bool> keeps_key(PyObject *include, PyObject *exclude, PyObject *key)
{
    if (include) {
        return predicate(PySequence_Contains(include, key));
    }
    if (exclude) {
        const Maybe<bool> excluded = predicate(PySequence_Contains(exclude, key));
        if (!excluded) {
            return error;
        }
        return !*excluded;
    }
    return true;
}

Ref render_dict(const Ctx &x)
{
    const Call &c = x.call;
    Ref ci = detail::ri_plus_one(x.root_indent);
    if (!ci) {
        return error;
    }

    // The filter is chosen once, before iterating.
    PyObject *include = null_if_none(c[INCLUDE]);
    PyObject *exclude = null_if_none(c[EXCLUDE]);
    if (include) {
        const Maybe<bool> given = truth(include);
        if (!given) {
            return error;
        }
        if (!*given) {
            include = nullptr;
        }
    }
    if (include) {
        exclude = nullptr;
    }
    else if (exclude) {
        const Maybe<bool> given = truth(exclude);
        if (!given) {
            return error;
        }
        if (!*given) {
            exclude = nullptr;
        }
    }

    Children kw(x, ci.get());
    Texts entries(x.walk);  // key text, value text, ...
    const Status walked = dict_for_each(x.value, [&](PyObject *key, PyObject *value) -> Status {
        const Maybe<bool> keep = keeps_key(include, exclude, key);
        if (!keep) {
            return error;
        }
        if (!*keep) {
            return Status::ok;
        }
        Ref text = kw.render(value);
        if (!text) {
            return error;
        }
        Ref shown = is_plain_scalar(key) && recursion_room(x.walk.thread, 1) ? direct_repr(key, x.walk)
                                                                             : repr_of(key);
        if (!shown) {
            return error;
        }
        entries.push(std::move(shown));
        entries.push(std::move(text));
        return Status::ok;
    });
    if (failed(walked)) {
        return error;
    }

    const Maybe<bool> compact = c.truthy(COMPACT);
    if (!compact) {
        return error;
    }
    if (*compact || entries.size() == 0) {
        return assemble([&](auto &out) {
            out.ascii("{");
            for (std::size_t i = 0; i < entries.size(); i += 2) {
                if (i) {
                    out.ascii(", ");
                }
                out.text(entries[i]);
                out.ascii(": ");
                out.text(entries[i + 1]);
            }
            out.ascii("}");
        });
    }
    Maybe<Indent> inner = detail::indent_from(ci.get());
    if (!inner) {
        return error;
    }
    Maybe<Indent> outer = detail::indent_from(x.root_indent);
    if (!outer) {
        return error;
    }
    return assemble([&](auto &out) {
        out.ascii("{\n");
        for (std::size_t i = 0; i < entries.size(); i += 2) {
            if (i) {
                out.ascii(",\n");
            }
            out.indent(*inner);
            out.text(entries[i]);
            out.ascii(": ");
            out.text(entries[i + 1]);
        }
        out.ascii("\n");
        out.indent(*outer);
        out.ascii("}");
    });
}

// ---------------------------------------------------------------- host text

Maybe<bool> is_formattable(PyTypeObject *tp)
{
    PyObject *marker = nullptr;
    const Maybe<bool> found = predicate(PyObject_GetOptionalAttr(
        reinterpret_cast<PyObject *>(tp), interned<"__norv_formattable__">(), &marker));
    Ref owned = Ref::steal(marker);
    if (!found || !*found) {
        return found;
    }
    return truth(owned.get());
}

Ref render_formattable(const Ctx &x)
{
    const Call &c = x.call;
    Ref own_exclude;
    PyObject *exclude = null_if_none(c[EXCLUDE]);
    if (exclude == nullptr) {
        own_exclude = Ref::steal(PySet_New(nullptr));
        if (!own_exclude) {
            return error;
        }
        exclude = own_exclude.get();
    }
    ChildCall kw(x, x.root_indent);
    if (kw.failed()) {
        return error;
    }
    kw.tail(0, none_if_null(c[INCLUDE]));
    kw.tail(1, exclude);
    Ref result;
    {
        detail::Suppression quiet;
        if (failed(quiet.enter())) {
            return error;
        }
        result = quiet.leave(kw.call_method(interned<"format">(), x.value));
    }
    return detail::require_str(std::move(result));
}

Ref render_other_text(const Ctx &x)
{
    const Call &c = x.call;
    Ref text;
    if (PyObject *hook = null_if_none(c[CUSTOM])) {
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
        const Maybe<bool> compact = c.truthy(COMPACT);
        if (!compact) {
            return error;
        }
        text = *compact ? repr_of(x.value) : str_of(x.value);
        if (!text) {
            return error;
        }
    }
    const Maybe<bool> strip = c.truthy(STRIP_ID);
    if (!strip) {
        return error;
    }
    if (*strip) {
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

Ref render_other(const Ctx &x)
{
    detail::Suppression quiet;
    if (failed(quiet.enter())) {
        return error;
    }
    return quiet.leave(render_other_text(x));
}

Ref render(const Ctx &x)
{
    PyTypeObject *tp = Py_TYPE(x.value);
    // Built-in containers cannot carry the marker (their types are immutable).
    const bool builtin = tp == &PyList_Type || tp == &PyTuple_Type || tp == &PyDict_Type;
    if (!builtin) {
        const Maybe<bool> formattable = is_formattable(tp);
        if (!formattable) {
            return error;
        }
        if (*formattable) {
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
// way out (`leave` on success, the destructor on an error path), keeping an
// error in flight. The removal's ordinary error is dropped; a graver one
// replaces the result.
class MemoEntry {
public:
    MemoEntry(PyObject *memo, PyObject *key) : memo_(memo), key_(key) {}
    MemoEntry(const MemoEntry &) = delete;
    MemoEntry &operator=(const MemoEntry &) = delete;
    ~MemoEntry()
    {
        if (!left_) {
            (void)leave(Ref());
        }
    }

    Ref leave(Ref result)
    {
        left_ = true;
        if (failed(cleanup_keeping_error([&] { return check(PySet_Discard(memo_, key_)); }))) {
            return error;
        }
        return result;
    }

private:
    PyObject *memo_;
    PyObject *key_;
    bool left_ = false;
};

// The body of `format` over bound arguments. `walk` is NULL for an outermost
// call; it is made when the first container needs it.
Ref format_bound(const Call &c, Walk *walk)
{
    PyObject *value = c[VALUE];
    const Maybe<bool> markdown = c.truthy(MARKDOWN);
    if (!markdown) {
        return error;
    }
    PyObject *ri = c[ROOT_INDENT] ? c[ROOT_INDENT] : detail::int_zero();

    if (PyObject *hook = null_if_none(c[CUSTOM])) {
        Ref r = call_hook(hook, value, ri);
        if (!r) {
            return error;
        }
        if (r.get() != Py_None) {
            return md_quote(*markdown, str_of(r.get()));
        }
    }
    if (is_plain_scalar(value)) {
        return md_quote(*markdown, scalar_text(value, c));
    }

    Ref own_memo;
    PyObject *memo = null_if_none(c[MEMO]);
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
    // One lookup: the id was already there when adding leaves the size
    // unchanged (an int key runs no Python code).
    const Py_ssize_t before = PySet_GET_SIZE(memo);
    if (PySet_Add(memo, key.get()) < 0) {
        return error;
    }
    if (PySet_GET_SIZE(memo) == before) {
        return recursion_marker(value);
    }
    Ref text;
    {
        MemoEntry entry(memo, key.get());
        Walk own;
        if (walk == nullptr) {
            own.stack = StackBounds::current();
            own.thread = PyThreadState_Get();
            own.until_signal_check = SIGNAL_CHECK_EVERY;
            walk = &own;
        }
        // Every nested level passes here, whether it is reached through a
        // container or through host code (a formattable's own `format`).
        RecursionGuard depth(" while formatting a value", walk->stack);
        if (depth.failed()) {
            return error;
        }
        text = entry.leave(render(Ctx{c, value, ri, memo, *walk}));
    }
    return md_quote(*markdown, std::move(text));
}

Ref format_impl(PyObject *, FastArgs a)
{
    Call c;
    if (failed(bind(a, c))) {
        return error;
    }
    return format_bound(c, nullptr);
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef FORMAT_DEF = method<format_impl>(
    "format",
    "format(value, compact=..., verbose=..., root_indent=..., list_wrap_threshold=..., strip_object_id=..., "
    "include_keys=None, exclude_keys=None, markdown=..., max_str_len=None, max_bytes_len=None, *, "
    "custom_format=None, memo=None, **kwargs)\n--\n\n"
    "Render a possibly hierarchical value as text.");

}  // namespace norv::formatting
