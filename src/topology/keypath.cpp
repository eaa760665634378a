#include "topology/keypath.hpp"

#include <charconv>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"

// The interpreter's hash of byte strings. It is what `hash(str)` computes over
// a one-byte-per-character string, so the hash of an ASCII path text needs no
// str object. Exported by libpython but declared only in an internal header.
extern "C" Py_hash_t _Py_HashBytes(const void *, Py_ssize_t);

namespace norv::keypath {

namespace {

constexpr const char *SERIALIZATION_KEY = "norv.topology.KeyPath";

TypeCell TYPE;

KeyPathObject *as_kp(PyObject *o) noexcept { return reinterpret_cast<KeyPathObject *>(o); }

// Interned names, created once and kept for the life of the process.
PyObject *interned(ObjectCell &cell, const char *text)
{
    return cell.get_or_init([&] { return legacy::checked(PyUnicode_InternFromString(text)); });
}

ObjectCell STR_KEY_NAME, VALUE_NAME;

// ---------------------------------------------------------------------------
// Allocation

// Builds a path in place. The object's ob_size counts the keys constructed so
// far, so dropping a half-built path (an error while converting keys) destroys
// exactly those.
class Builder {
public:
    explicit Builder(std::size_t capacity)
    {
        constexpr std::size_t most = (static_cast<std::size_t>(PY_SSIZE_T_MAX) - KEYS_OFFSET) / sizeof(Key);
        if (capacity > most) {
            throw std::bad_alloc();
        }
        void *mem = PyObject_Malloc(KEYS_OFFSET + capacity * sizeof(Key));
        if (mem == nullptr) {
            throw std::bad_alloc();
        }
        PyObject *obj = reinterpret_cast<PyObject *>(PyObject_InitVar(static_cast<PyVarObject *>(mem), type(), 0));
        KeyPathObject *kp = as_kp(obj);
        kp->hash = -1;
        kp->text = nullptr;
        kp->text_size = 0;
        kp->text_ascii = true;
        ref_ = Ref::steal(obj);
#ifndef NDEBUG
        capacity_ = capacity;
#endif
    }

    void push(const Key &k) noexcept { new (slot()) Key(k); bump(); }
    void push(Key &&k) noexcept { new (slot()) Key(std::move(k)); bump(); }
    void push_all(Keys keys) noexcept
    {
        for (const Key &k : keys) {
            push(k);
        }
    }

    Ref finish() noexcept { return std::move(ref_); }

private:
    Key *slot() noexcept
    {
#ifndef NDEBUG
        if (static_cast<std::size_t>(Py_SIZE(ref_.get())) >= capacity_) {
            std::abort();
        }
#endif
        return keys_ptr(ref_.get()) + Py_SIZE(ref_.get());
    }
    void bump() noexcept { Py_SET_SIZE(ref_.get(), Py_SIZE(ref_.get()) + 1); }

    Ref ref_;
#ifndef NDEBUG
    std::size_t capacity_ = 0;
#endif
};

void destroy(PyObject *self) noexcept
{
    PyTypeObject *tp = Py_TYPE(self);
    Key *keys = keys_ptr(self);
    for (Py_ssize_t i = 0, n = Py_SIZE(self); i < n; ++i) {
        keys[i].~Key();
    }
    std::free(as_kp(self)->text);
    PyObject_Free(self);
    Py_DECREF(tp);
}

// Paths whose destruction was reached from inside another path's destruction
// on this thread (the outermost call owns the list; a plain pointer, so no
// destructor runs at thread exit).
thread_local std::vector<PyObject *> *t_dying = nullptr;

// A path can hold another path as a key, and the trashcan of the interpreter
// serves only collected types: releasing a chain of a million nested paths
// recursively would overflow the C stack. A path released from inside another
// one's destruction is queued instead, and the outermost call works the queue.
void keypath_dealloc(PyObject *self)
{
    if (t_dying != nullptr) {
        try {
            t_dying->push_back(self);
            return;
        }
        catch (const std::bad_alloc &) {
            // Out of memory: release it right here instead.
        }
        destroy(self);
        return;
    }
    std::vector<PyObject *> dying;
    t_dying = &dying;
    destroy(self);
    while (!dying.empty()) {
        PyObject *next = dying.back();
        dying.pop_back();
        destroy(next);
    }
    t_dying = nullptr;
}

// ---------------------------------------------------------------------------
// Path grammar

[[noreturn]] void raise_bracket(bool open, Py_ssize_t pos, PyObject *path_obj)
{
    if (open) {
        legacy::raise_format(PyExc_ValueError, "KeyPath parse failed: unmatched open bracket at position %zd: %R", pos,
                     path_obj);
    }
    legacy::raise_format(PyExc_ValueError, "KeyPath parse failed: unmatched close bracket at position %zd:%R", pos,
                 path_obj);
}

bool all_ascii_digits(std::string_view s) noexcept
{
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

bool has_non_ascii(std::string_view s) noexcept
{
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return true;
        }
    }
    return false;
}

// `str.isdigit()` of a UTF-8 segment (only asked of segments with non-ASCII
// text: for ASCII it is the same as "all ASCII digits").
bool unicode_isdigit(std::string_view s)
{
    Ref u = legacy::checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
    Ref r = legacy::checked(PyObject_CallMethod(u.get(), "isdigit", nullptr));
    return legacy::require(PyObject_IsTrue(r.get())) != 0;
}

// The key of a bracketed segment: an integer when it reads as one.
Key bracket_key(std::string_view seg)
{
    std::string_view rest = seg;
    while (!rest.empty() && rest.front() == '-') {
        rest.remove_prefix(1);
    }
    if (rest.empty()) {
        return Key::text(seg);
    }
    if (!all_ascii_digits(rest) && !(has_non_ascii(seg) && unicode_isdigit(seg))) {
        return Key::text(seg);
    }
    std::int64_t v = 0;
    auto r = std::from_chars(seg.data(), seg.data() + seg.size(), v);
    if (r.ec == std::errc() && r.ptr == seg.data() + seg.size()) {
        return Key::integer(v);
    }
    // A second sign, more than 64 bits or non-ASCII digits: Python's int()
    // decides (and raises for what it refuses).
    Ref builtins = legacy::checked(PyImport_ImportModule("builtins"));
    Ref int_fn = legacy::getattr(builtins.get(), "int");
    Ref text = legacy::checked(PyUnicode_DecodeUTF8(seg.data(), static_cast<Py_ssize_t>(seg.size()), nullptr));
    Ref value = legacy::checked(PyObject_CallOneArg(int_fn.get(), text.get()));
    return Key::from_py(value.get());
}

void append_plain(Builder &b, std::string_view seg)
{
    if (!seg.empty()) {
        b.push(Key::text(seg));
    }
}

Ref scan_utf8(std::string_view s, PyObject *path_obj, Keys prefix)
{
    // Every segment ends at a dot, a bracket or the end: this bounds the keys.
    std::size_t bound = 1;
    for (char c : s) {
        bound += c == '.' || c == '[' || c == ']';
    }
    Builder b(prefix.size() + (s.empty() ? 0 : bound));
    b.push_all(prefix);

    int depth = 0;
    std::size_t start = 0;
    Py_ssize_t cp = -1;  // code-point index of the current byte
    Py_ssize_t open_pos = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++cp;
        }
        if (c == '.') {
            if (depth == 0) {
                append_plain(b, s.substr(start, i - start));
                start = i + 1;
            }
        }
        else if (c == '[') {
            if (depth == 0) {
                append_plain(b, s.substr(start, i - start));
                start = i + 1;
                open_pos = cp;
            }
            ++depth;
        }
        else if (c == ']') {
            --depth;
            if (depth == 0) {
                b.push(bracket_key(s.substr(start, i - start)));
                start = i + 1;
            }
            else if (depth < 0) {
                raise_bracket(false, cp, path_obj);
            }
        }
    }
    if (depth > 0) {
        raise_bracket(true, open_pos, path_obj);
    }
    if (start < s.size()) {
        append_plain(b, s.substr(start));
    }
    return b.finish();
}

std::string_view utf8_of(PyObject *str)
{
    Py_ssize_t size;
    const char *data = legacy::require(PyUnicode_AsUTF8AndSize(str, &size));
    return {data, static_cast<std::size_t>(size)};
}

// ---------------------------------------------------------------------------
// Hashing and comparison

Py_hash_t hash_of(PyObject *self)
{
    KeyPathObject *kp = as_kp(self);
    if (kp->hash != -1) {
        return kp->hash;
    }
    std::string_view text = cached_path(self);
    Py_hash_t h;
    if (kp->text_ascii) {
        h = _Py_HashBytes(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    else {
        Ref s = legacy::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        h = PyObject_Hash(s.get());
        if (h == -1) {
            legacy::throw_set();
        }
    }
    kp->hash = h;
    return h;
}

bool keys_eq(Keys a, Keys b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!Key::py_eq(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

bool path_eq(PyObject *self, PyObject *other)
{
    if (PyUnicode_Check(other)) {
        std::string_view mine = cached_path(self);
        return mine == utf8_of(other);
    }
    if (is_keypath(other)) {
        return keys_eq(keys_of(self), keys_of(other));
    }
    return false;
}

bool path_compare(PyObject *self, PyObject *other, CmpOp op)
{
    if (PyUnicode_Check(other)) {
        std::string_view mine = cached_path(self);
        return apply_ord(op, mine, utf8_of(other));
    }
    if (!is_keypath(other)) {
        Ref name = legacy::checked(PyType_GetName(Py_TYPE(other)));
        legacy::raise_format(PyExc_TypeError, "Comparison is not supported between instances of 'KeyPath' and '%U'.",
                     name.get());
    }
    Keys a = keys_of(self), b = keys_of(other);
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (!Key::wrapper_cmp(a[i], b[i], CmpOp::Eq)) {
            return Key::wrapper_cmp(a[i], b[i], op);
        }
    }
    switch (op) {
    case CmpOp::Lt:
        return a.size() < b.size();
    case CmpOp::Le:
        return a.size() <= b.size();
    case CmpOp::Gt:
        return a.size() > b.size();
    default:
        return a.size() >= b.size();
    }
}

// ---------------------------------------------------------------------------
// Construction

Keys parent_keys(PyObject *parent)
{
    if (parent == nullptr || parent == Py_None) {
        return {};
    }
    if (!is_keypath(parent)) {
        legacy::convert_arg("parent", [&] { legacy::raise_not_instance(parent, "KeyPath"); });
    }
    return keys_of(parent);
}

Ref construct(PyObject *key, PyObject *parent)
{
    Keys prefix = parent_keys(parent);
    if (key != nullptr && (PyList_Check(key) || PyTuple_Check(key))) {
        // Converting keys runs no Python code, so the sequence cannot change
        // under the loop.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(key);
        PyObject **items = PySequence_Fast_ITEMS(key);
        Builder b(prefix.size() + static_cast<std::size_t>(n));
        b.push_all(prefix);
        for (Py_ssize_t i = 0; i < n; ++i) {
            b.push(Key::from_py(items[i]));
        }
        return b.finish();
    }
    if (key == nullptr || key == Py_None) {
        return make(prefix);
    }
    return make_child(prefix, Key::from_py(key));
}

const Signature NEW_SIG{"KeyPath", {opt("key_or_key_list"), opt("parent")}};

PyObject *keypath_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&] {
        Bound b = NEW_SIG.bind_tuple(args, kwargs);
        return construct(b[0], b[1]);
    });
}

// Calling the class skips the tuple/dict packing of tp_new: child paths are
// built on hot paths.
PyObject *keypath_vectorcall(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    return guard([&] {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (kwnames == nullptr && nargs <= 2) {
            return construct(nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr);
        }
        Bound b = NEW_SIG.bind(FastArgs{args, nargs, kwnames});
        return construct(b[0], b[1]);
    });
}

// ---------------------------------------------------------------------------
// Slots

PyObject *keypath_str(PyObject *self)
{
    return guard([&] {
        std::string_view t = cached_path(self);
        return legacy::checked(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
    });
}

Py_hash_t keypath_hash(PyObject *self)
{
    return guard_int<Py_hash_t>([&] { return hash_of(self); });
}

PyObject *keypath_richcompare(PyObject *self, PyObject *other, int op)
{
    if (!is_keypath(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guard([&] {
        bool r;
        switch (op) {
        case Py_EQ:
            r = path_eq(self, other);
            break;
        case Py_NE:
            r = !path_eq(self, other);
            break;
        case Py_LT:
            r = path_compare(self, other, CmpOp::Lt);
            break;
        case Py_LE:
            r = path_compare(self, other, CmpOp::Le);
            break;
        case Py_GT:
            r = path_compare(self, other, CmpOp::Gt);
            break;
        default:
            r = path_compare(self, other, CmpOp::Ge);
            break;
        }
        return new_bool(r);
    });
}

Py_ssize_t keypath_length(PyObject *self) { return Py_SIZE(self); }

// ---------------------------------------------------------------------------
// Methods

Ref keys_list(Keys keys)
{
    Ref list = legacy::checked(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), keys[i].to_py().release());
    }
    return list;
}

Ref text_of(PyObject *self)
{
    std::string_view t = cached_path(self);
    return legacy::checked(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
}

const Signature FROM_VALUE_SIG{"KeyPath.from_value", {arg("value")}, {.method = true}};
const Signature PARSE_SIG{"KeyPath.parse", {arg("path_str"), opt("parent")}, {.method = true}};
const Signature NV_ACCEPT_SIG{"KeyPath.__nv_accept__", {arg("value")}, {.method = true}};
const Signature TO_JSON_SIG{"KeyPath.to_json", {}, {.var_kwargs = true, .method = true}};
const Signature FROM_JSON_SIG{"KeyPath.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};
const Signature PATH_STR_SIG{"KeyPath.path_str", {opt("preserve_complex_keys")}, {.method = true}};
const Signature DEEPCOPY_SIG{"KeyPath.__deepcopy__", {arg("memo")}, {.method = true}};
const Signature QUERY_SIG{"KeyPath.query", {arg("src"), opt("use_inferred")}, {.method = true}};
const Signature GET_SIG{"KeyPath.get", {arg("src"), opt("default_value"), opt("use_inferred")}, {.method = true}};
const Signature EXISTS_SIG{"KeyPath.exists", {arg("src")}, {.method = true}};

// `parse` proper: the text must be a str; scanned after the parent's keys.
Ref parse_text(PyObject *path_str, Keys prefix)
{
    if (!PyUnicode_Check(path_str)) {
        legacy::raise_format(PyExc_ValueError, "'path_str' must be a string type. Encountered: %R", path_str);
    }
    return scan(path_str, prefix);
}

bool bool_arg(const char *name, PyObject *value, bool dflt)
{
    if (value == nullptr) {
        return dflt;
    }
    return legacy::convert_arg(name, [&] { return legacy::to_bool(value); });
}

Ref kp_from_value(PyObject *, FastArgs a)
{
    Bound b = FROM_VALUE_SIG.bind(a);
    return from_value_inner(b[0]);
}

Ref kp_parse(PyObject *, FastArgs a)
{
    Bound b = PARSE_SIG.bind(a);
    Keys prefix = parent_keys(b[1]);
    return parse_text(b[0], prefix);
}

Ref kp_nv_accept(PyObject *, FastArgs a)
{
    Bound b = NV_ACCEPT_SIG.bind(a);
    if (!PyUnicode_Check(b[0])) {
        return not_implemented();
    }
    return scan(b[0]);
}

Ref kp_to_json(PyObject *self, FastArgs a)
{
    TO_JSON_SIG.bind(a);
    Ref text = text_of(self);
    Ref d = legacy::checked(PyDict_New());
    Ref key = legacy::new_str(SERIALIZATION_KEY);
    legacy::require(PyDict_SetItemString(d.get(), "_type", key.get()));
    legacy::require(PyDict_SetItem(d.get(), interned(VALUE_NAME, "value"), text.get()));
    return d;
}

Ref kp_from_json(PyObject *, FastArgs a)
{
    Bound b = FROM_JSON_SIG.bind(a);
    PyObject *json = b[0];
    if (!PyDict_Check(json)) {
        legacy::convert_arg("json_value", [&] { legacy::raise_not_instance(json, "dict"); });
    }
    PyObject *item = nullptr;
    if (legacy::require(PyDict_GetItemRef(json, interned(VALUE_NAME, "value"), &item)) == 0) {
        legacy::raise(PyExc_KeyError, "'value'");
    }
    Ref value = Ref::steal(item);
    return parse_text(value.get(), {});
}

Ref kp_path_str(PyObject *self, FastArgs a)
{
    Bound b = PATH_STR_SIG.bind(a);
    const bool preserve = bool_arg("preserve_complex_keys", b[0], true);
    std::string t = render_keys(keys_of(self), preserve);
    return legacy::checked(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
}

Ref kp_format(PyObject *self, FastArgs) { return text_of(self); }

Ref kp_copy(PyObject *self) { return make(keys_of(self)); }

Ref kp_deepcopy(PyObject *self, FastArgs a)
{
    Bound b = DEEPCOPY_SIG.bind(a);
    Ref copy_mod = legacy::checked(PyImport_ImportModule("copy"));
    Ref deepcopy = legacy::getattr(copy_mod.get(), "deepcopy");
    Keys keys = keys_of(self);
    Builder out(keys.size());
    for (const Key &k : keys) {
        if (!k.is_other()) {
            out.push(k);
            continue;
        }
        PyObject *args[] = {k.object(), b[0]};
        Ref copied = legacy::checked(PyObject_Vectorcall(deepcopy.get(), args, 2, nullptr));
        out.push(Key::from_py(copied.get()));
    }
    return out.finish();
}

Ref kp_reduce(PyObject *self)
{
    Ref package = legacy::checked(PyImport_ImportModule("norv_core"));
    Ref cls = legacy::getattr(package.get(), "KeyPath");
    Ref list = keys_list(keys_of(self));
    return legacy::checked(Py_BuildValue("(O(O))", cls.get(), list.get()));
}

Ref kp_query(PyObject *self, FastArgs a)
{
    Bound b = QUERY_SIG.bind(a);
    const bool inferred = bool_arg("use_inferred", b[1], false);
    return query(keys_of(self), b[0], inferred);
}

Ref kp_get(PyObject *self, FastArgs a)
{
    Bound b = GET_SIG.bind(a);
    const bool inferred = bool_arg("use_inferred", b[2], false);
    try {
        return query(keys_of(self), b[0], inferred);
    }
    catch (const legacy::PyErrSet &) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            throw;
        }
        PyErr_Clear();
        return b.has(1) ? Ref::borrow(b[1]) : none();
    }
}

Ref kp_exists(PyObject *self, FastArgs a)
{
    Bound b = EXISTS_SIG.bind(a);
    try {
        (void)query(keys_of(self), b[0], false);
        return new_bool(true);
    }
    catch (const legacy::PyErrSet &) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            throw;
        }
        PyErr_Clear();
        return new_bool(false);
    }
}

PyMethodDef METHODS[] = {
    method<kp_from_value>("from_value",
                          "from_value($cls, value)\n--\n\n"
                          "`KeyPath.from_value(value)` — accepts a KeyPath (returned as-is), a str\n"
                          "(parsed if it has path syntax, else a single key), or an int.",
                          METH_CLASS),
    method<kp_parse>("parse",
                     "parse($cls, path_str, parent=None)\n--\n\n"
                     "`KeyPath.parse(path_str, parent=None)` — JSONPath-like string scanner.",
                     METH_CLASS),
    method<kp_nv_accept>("__nv_accept__",
                         "__nv_accept__($cls, value)\n--\n\n"
                         "`__nv_accept__(value)` — target-owned coercion: a `str` is parsed into a\n"
                         "`KeyPath`; anything else is declined with `NotImplemented`.",
                         METH_CLASS),
    method<kp_to_json>("to_json",
                       "to_json($self, **_kwargs)\n--\n\n"
                       "Serialize to the oracle's wire form: `{'_type': <key>, 'value': <path>}`."),
    method<kp_from_json>("from_json",
                         "from_json($cls, json_value, **_kwargs)\n--\n\n"
                         "Rebuild from the serialized JSONPath string (`cls.parse(value)`).",
                         METH_CLASS),
    method<kp_path_str>("path_str",
                        "path_str($self, preserve_complex_keys=True)\n--\n\n"
                        "JSONPath string; `preserve_complex_keys=False` dot-joins complex string\n"
                        "keys instead of bracketing them."),
    method<kp_format>("format", "format($self, *args, **kwargs)\n--\n\n"),
    method_noargs<kp_copy>("__copy__",
                           "__copy__($self)\n--\n\n"
                           "`copy.copy` — a fresh KeyPath sharing the keys (the `Other` arm by ref)."),
    method<kp_deepcopy>("__deepcopy__",
                        "__deepcopy__($self, memo)\n--\n\n"
                        "`copy.deepcopy` — deep-copy each `Other` key (str/int are value types)."),
    method_noargs<kp_reduce>("__reduce__",
                             "__reduce__($self)\n--\n\n"
                             "Pickle as `KeyPath(<keys-list>)` so a round-trip reconstructs an equal path."),
    method<kp_query>("query",
                     "query($self, src, use_inferred=False)\n--\n\n"
                     "Query the value at this path from `src`."),
    method<kp_get>("get",
                   "get($self, src, default_value=None, use_inferred=False)\n--\n\n"
                   "Query with a default on `KeyError`."),
    method<kp_exists>("exists",
                      "exists($self, src)\n--\n\n"
                      "Whether this path exists in `src`."),
    is_relative_to_method(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Getters

Ref get_keys(PyObject *self) { return keys_list(keys_of(self)); }

Ref get_key(PyObject *self)
{
    Keys keys = keys_of(self);
    if (keys.empty()) {
        legacy::raise(PyExc_KeyError, "Key of root KeyPath does not exist.");
    }
    return keys.back().to_py();
}

Ref get_is_root(PyObject *self) { return new_bool(Py_SIZE(self) == 0); }

Ref get_depth(PyObject *self) { return legacy::checked(PyLong_FromSsize_t(Py_SIZE(self))); }

Ref get_parent(PyObject *self)
{
    Keys keys = keys_of(self);
    if (keys.empty()) {
        legacy::raise(PyExc_KeyError, "Parent of a root KeyPath does not exist.");
    }
    return make(keys.first(keys.size() - 1));
}

PyGetSetDef GETSET[] = {
    {"keys", shim_getter<get_keys>, nullptr, "A copy of the keys in this path.", nullptr},
    {"key", shim_getter<get_key>, nullptr, "The rightmost key (`KeyError` at the root).", nullptr},
    {"is_root", shim_getter<get_is_root>, nullptr, nullptr, nullptr},
    {"depth", shim_getter<get_depth>, nullptr, nullptr, nullptr},
    {"parent", shim_getter<get_parent>, nullptr, "The parent path (`KeyError` at the root).", nullptr},
    {"path", shim_getter<text_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Type

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>(
                    "KeyPath(key_or_key_list=None, parent=None)\n--\n\n"
                    "A path of keys from a tree root to a node. Its `__module__` is\n"
                    "`norv_core._native` so signature / `sys.modules` introspection of the type\n"
                    "resolves wherever the native `KeyPath` is in use.")},
    {Py_tp_new, reinterpret_cast<void *>(keypath_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(keypath_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(keypath_str)},
    {Py_tp_str, reinterpret_cast<void *>(keypath_str)},
    {Py_tp_hash, reinterpret_cast<void *>(keypath_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(keypath_richcompare)},
    {Py_mp_length, reinterpret_cast<void *>(keypath_length)},
    {Py_nb_add, reinterpret_cast<void *>(nb_add)},
    {Py_nb_subtract, reinterpret_cast<void *>(nb_subtract)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.KeyPath",
    .basicsize = static_cast<int>(KEYS_OFFSET),
    .itemsize = static_cast<int>(sizeof(Key)),
    // Immutable and final: the exact type test stands for isinstance, and no
    // instance dict or GC header is needed.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = SLOTS,
};

void init_class(PyTypeObject *tp)
{
    legacy::set_class_attr(tp, "__norv_formattable__", Py_True);
    legacy::set_class_attr(tp, "__serialization_key__", legacy::new_str(SERIALIZATION_KEY).get());
    tp->tp_vectorcall = keypath_vectorcall;
}

}  // namespace

// ---------------------------------------------------------------------------
// Seams

PyTypeObject *type() { return TYPE.get(&SPEC, nullptr, init_class); }

PyTypeObject *type_if_created() noexcept { return TYPE.peek(); }

Ref make(Keys prefix, Keys suffix)
{
    Builder b(prefix.size() + suffix.size());
    b.push_all(prefix);
    b.push_all(suffix);
    return b.finish();
}

Ref make_child(Keys prefix, const Key &last)
{
    Builder b(prefix.size() + 1);
    b.push_all(prefix);
    b.push(last);
    return b.finish();
}

Ref child_key_path(PyObject *key, PyObject *parent) { return construct(key, parent); }

std::optional<bool> keypaths_eq(PyObject *a, PyObject *b)
{
    if (!is_keypath(a) || !is_keypath(b)) {
        return std::nullopt;
    }
    return keys_eq(keys_of(a), keys_of(b));
}

Ref from_value_inner(PyObject *value)
{
    if (is_keypath(value)) {
        return Ref::borrow(value);
    }
    if (PyUnicode_Check(value)) {
        std::string_view s = utf8_of(value);
        if (s.empty() || s.find_first_of(".[]") != std::string_view::npos) {
            return scan_utf8(s, value, {});
        }
        return make_child({}, Key::text(s));
    }
    if (PyLong_Check(value)) {
        return make_child({}, Key::from_py(value));
    }
    legacy::raise_format(PyExc_ValueError, "%R is not a valid KeyPath equivalence.", value);
}

Ref scan(PyObject *text, Keys prefix) { return scan_utf8(utf8_of(text), text, prefix); }

std::string render_keys(Keys keys, bool preserve_complex_keys)
{
    std::string out;
    out.reserve(keys.size() * 8);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const Key &k = keys[i];
        switch (k.kind()) {
        case Key::Kind::Str: {
            std::string_view t = k.text();
            if (preserve_complex_keys && t.find_first_of(".[]") != std::string_view::npos) {
                out += '[';
                out += t;
                out += ']';
            }
            else {
                if (i > 0) {
                    out += '.';
                }
                out += t;
            }
            break;
        }
        case Key::Kind::Int:
            out += '[';
            k.append_str_form(out);
            out += ']';
            break;
        case Key::Kind::Other: {
            // str() of a key may render another path holding paths as keys.
            legacy::RecursionGuard guard(" while rendering a KeyPath");
            PyObject *obj = k.object();
            PyObject *marker = nullptr;
            const int has_marker = legacy::require(PyObject_GetOptionalAttr(
                reinterpret_cast<PyObject *>(Py_TYPE(obj)), interned(STR_KEY_NAME, "__norv_str_key__"), &marker));
            Py_XDECREF(marker);
            Ref text = legacy::str_of(obj);
            std::string_view t = utf8_of(text.get());
            if (has_marker) {
                if (i > 0) {
                    out += '.';
                }
                out += t;
            }
            else {
                out += '[';
                out += t;
                out += ']';
            }
            break;
        }
        }
    }
    return out;
}

std::string_view cached_path(PyObject *path)
{
    KeyPathObject *kp = as_kp(path);
    if (kp->text == nullptr) {
        // Rendering may run Python code that renders this very path; whatever
        // such a nested call stored is replaced by this result.
        std::string t = render_keys(keys_of(path), true);
        char *buf = static_cast<char *>(std::malloc(t.size() + 1));
        if (buf == nullptr) {
            throw std::bad_alloc();
        }
        std::memcpy(buf, t.data(), t.size());
        buf[t.size()] = '\0';
        std::free(kp->text);
        kp->text = buf;
        kp->text_size = static_cast<Py_ssize_t>(t.size());
        kp->text_ascii = !has_non_ascii(t);
    }
    return {kp->text, static_cast<std::size_t>(kp->text_size)};
}

}  // namespace norv::keypath
