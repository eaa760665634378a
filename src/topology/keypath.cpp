#include "topology/keypath.hpp"

#include <charconv>
#include <cstdlib>

#include "core/tls.hpp"
#include <new>
#include <vector>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"
#include "core/truth.hpp"

namespace norv::keypath {

namespace {

constexpr const char *SERIALIZATION_KEY = "norv.topology.KeyPath";

TypeCell TYPE;

KeyPathObject *as_kp(PyObject *o) noexcept
{
    return reinterpret_cast<KeyPathObject *>(o);
}

// ---------------------------------------------------------------------------
// Path text cache

// Defined with the seams below: the path text of `keys` appended to `out`, and
// the rendering of a path's text into its cache.
Status render_into(Keys keys, bool preserve_complex_keys, std::string &out);
Status store_text(PyObject *path);

// Renders the path text into the cache unless it is there already.
Status fill_text(PyObject *path)
{
    return as_kp(path)->text != nullptr ? Status::ok : store_text(path);
}

// Makes a str's UTF-8 form (kept in the str) unless it is there already.
Status make_utf8(PyObject *str)
{
    Py_ssize_t size;
    return PyUnicode_AsUTF8AndSize(str, &size) == nullptr ? Status::error : Status::ok;
}

// The UTF-8 form of a str that has it made already (cannot fail).
std::string_view made_utf8(PyObject *str) noexcept
{
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(str, &size);
    return {data, static_cast<std::size_t>(size)};
}

// The cached path text; only after `fill_text` succeeded.
std::string_view stored_text(PyObject *path) noexcept
{
    return made_utf8(as_kp(path)->text);
}

// ---------------------------------------------------------------------------
// Allocation

// Builds a path in place. The object's ob_size counts the keys constructed so
// far, so dropping a half-built path (an error while converting keys) destroys
// exactly those. A builder that could not allocate holds nothing:
//     Builder b(n);
//     if (b.failed()) return error;
//
// A path is built in a plain block, outside the cyclic collector: text and
// integer keys cannot reach anything, and most paths hold nothing else. A
// finished path whose keys hold an object the collector sees moves into a
// collector block and is tracked. `tp_is_gc` tells the two kinds apart, as the
// interpreter's own types do for their static and heap instances.
class [[nodiscard]] Builder {
public:
    explicit Builder(std::size_t capacity)
    {
        PyTypeObject *tp = type();
        if (tp == nullptr) {
            return;
        }
        constexpr std::size_t most = (static_cast<std::size_t>(PY_SSIZE_T_MAX) - KEYS_OFFSET) / sizeof(Key);
        void *mem = capacity > most ? nullptr : PyObject_Malloc(KEYS_OFFSET + capacity * sizeof(Key));
        if (mem == nullptr) {
            PyErr_NoMemory();
            return;
        }
        PyObject *obj =
            reinterpret_cast<PyObject *>(PyObject_InitVar(static_cast<PyVarObject *>(mem), tp, 0));
        init_fields(as_kp(obj), false);
        ref_ = Ref::steal(obj);
#ifndef NDEBUG
        capacity_ = capacity;
#endif
    }

    void push(const Key &k) noexcept
    {
        new (slot()) Key(k);
        if (k.is_other()) [[unlikely]] {
            as_kp(ref_.get())->objects = true;
        }
        bump();
    }
    void push(Key &&k) noexcept
    {
        if (k.is_other()) [[unlikely]] {
            as_kp(ref_.get())->objects = true;
        }
        new (slot()) Key(std::move(k));
        bump();
    }
    void push_all(Keys keys) noexcept
    {
        for (const Key &k : keys) {
            push(k);
        }
    }

    bool failed() const noexcept { return !ref_; }

    // The finished path: a path holding objects moves into the collector now
    // that every key is in place.
    Ref finish() noexcept
    {
        if (as_kp(ref_.get())->objects) [[unlikely]] {
            return finish_with_objects();
        }
        return std::move(ref_);
    }

private:
    static void init_fields(KeyPathObject *kp, bool collected) noexcept
    {
        kp->hash = -1;
        kp->text = nullptr;
        kp->objects = collected;
        kp->collected = collected;
    }

    // Only a key object the collector sees can close a cycle back to the
    // path: text, integers, atomic objects (None, floats, ...) and paths
    // outside the collector never do.
    [[gnu::noinline]] Ref finish_with_objects() noexcept
    {
        PyObject *plain = ref_.get();
        bool collectable = false;
        for (const Key &k : keys_of(plain)) {
            if (k.is_other() && PyObject_IS_GC(k.object())) {
                collectable = true;
                break;
            }
        }
        if (!collectable) {
            return std::move(ref_);
        }
        const Py_ssize_t n = Py_SIZE(plain);
        KeyPathObject *kp = PyObject_GC_NewVar(KeyPathObject, Py_TYPE(plain), n);
        if (kp == nullptr) {
            ref_.reset();
            return error;
        }
        init_fields(kp, true);
        PyObject *obj = reinterpret_cast<PyObject *>(kp);
        // Keys are plain bytes: they move by copy, and the emptied block is released.
        std::memcpy(static_cast<void *>(keys_ptr(obj)), keys_ptr(plain),
                    static_cast<std::size_t>(n) * sizeof(Key));
        Py_SET_SIZE(plain, 0);
        ref_.reset();
        PyObject_GC_Track(obj);
        return Ref::steal(obj);
    }

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
    std::size_t capacity_;
#endif
};

[[gnu::always_inline]] inline void destroy(PyObject *self) noexcept
{
    PyTypeObject *tp = Py_TYPE(self);
    Key *keys = keys_ptr(self);
    for (Py_ssize_t i = 0, n = Py_SIZE(self); i < n; ++i) {
        keys[i].~Key();
    }
    Py_XDECREF(as_kp(self)->text);
    if (as_kp(self)->collected) {
        PyObject_GC_Del(self);
    }
    else {
        PyObject_Free(self);
    }
    Py_DECREF(tp);
}

// Paths whose destruction was reached from inside another path's destruction
// on this thread (the outermost call owns the list; a plain pointer, so no
// destructor runs at thread exit).
NORV_HOT_TLS thread_local std::vector<PyObject *> *t_dying = nullptr;

// A path can hold another path as a key: releasing a chain of a million nested
// paths recursively would overflow the C stack. Instead of the interpreter's
// trashcan, a path released from inside another one's destruction is queued,
// and the outermost call works the queue. A queued path has no references
// left, so it leaves the collector before it waits: a collection run by a
// key's release never sees it.
void keypath_dealloc(PyObject *self)
{
    if (!as_kp(self)->objects) {
        destroy(self);  // text and integer keys release no other path
        return;
    }
    if (as_kp(self)->collected) {
        PyObject_GC_UnTrack(self);
    }
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

Error raise_bracket(bool open, Py_ssize_t pos, PyObject *path_obj)
{
    if (open) {
        return raise_format(PyExc_ValueError,
                            "KeyPath parse failed: unmatched open bracket at position %zd: %R", pos,
                            path_obj);
    }
    return raise_format(PyExc_ValueError, "KeyPath parse failed: unmatched close bracket at position %zd:%R",
                        pos, path_obj);
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

Ref text_object(std::string_view t)
{
    return Ref::steal(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
}

// `str.isdigit()` of a UTF-8 segment (only asked of segments with non-ASCII
// text: for ASCII it is the same as "all ASCII digits").
Maybe<bool> unicode_isdigit(std::string_view s)
{
    Ref u = text_object(s);
    if (!u) {
        return error;
    }
    Ref r = Ref::steal(PyObject_CallMethod(u.get(), "isdigit", nullptr));
    if (!r) {
        return error;
    }
    return truth(r.get());
}

// The key of a bracketed segment: an integer when it reads as one.
Maybe<Key> bracket_key(std::string_view seg)
{
    std::string_view rest = seg;
    while (!rest.empty() && rest.front() == '-') {
        rest.remove_prefix(1);
    }
    if (rest.empty()) {
        return Key::text(seg);
    }
    if (!all_ascii_digits(rest)) {
        const Maybe<bool> digits = has_non_ascii(seg) ? unicode_isdigit(seg) : Maybe<bool>(false);
        if (!digits) {
            return error;
        }
        if (!*digits) {
            return Key::text(seg);
        }
    }
    std::int64_t v = 0;
    auto r = std::from_chars(seg.data(), seg.data() + seg.size(), v);
    if (r.ec == std::errc() && r.ptr == seg.data() + seg.size()) {
        return Key::integer(v);
    }
    // A second sign, more than 64 bits or non-ASCII digits: Python's int()
    // decides (and raises for what it refuses).
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return error;
    }
    Ref int_fn = getattr(builtins.get(), "int");
    if (!int_fn) {
        return error;
    }
    Ref text = text_object(seg);
    if (!text) {
        return error;
    }
    Ref value = Ref::steal(PyObject_CallOneArg(int_fn.get(), text.get()));
    if (!value) {
        return error;
    }
    return Key::from_py(value.get());
}

void append_plain(Builder &b, std::string_view seg)
{
    if (!seg.empty()) {
        b.push(Key::text(seg));
    }
}

// Plain text (see `split_plain`) of up to this many keys is read without the
// scanner.
constexpr std::size_t PLAIN_KEYS = 16;

// `path_obj`'s text `s` after `prefix`, when it is plain; an empty Ref when not.
Maybe<Ref> scan_plain(std::string_view s, PyObject *path_obj, Keys prefix)
{
    PlainSteps<PLAIN_KEYS> room;
    PlainStep *steps = room.steps;
    bool reads_back = prefix.empty() && PyUnicode_CheckExact(path_obj);
    const std::ptrdiff_t n = split_plain(s, steps, PLAIN_KEYS, &reads_back);
    if (n < 0) {
        return Ref();
    }
    Builder b(prefix.size() + static_cast<std::size_t>(n));
    if (b.failed()) {
        return error;
    }
    b.push_all(prefix);
    for (const PlainStep &step : std::span(steps, static_cast<std::size_t>(n))) {
        b.push(step.is_index ? Key::integer(step.index) : Key::text(step.text));
    }
    Ref path = b.finish();
    if (path && reads_back) {
        // Text that reads back as itself is the path's text as it stands; the
        // caller read it through its UTF-8 form, which the str keeps.
        as_kp(path.get())->text = Py_NewRef(path_obj);
    }
    return path;
}

Ref scan_utf8(std::string_view s, PyObject *path_obj, Keys prefix)
{
    Maybe<Ref> plain = scan_plain(s, path_obj, prefix);
    if (!plain || *plain) {
        return plain ? std::move(*plain) : error;
    }
    // Every segment ends at a dot, a bracket or the end: this bounds the keys.
    std::size_t bound = 1;
    for (char c : s) {
        bound += c == '.' || c == '[' || c == ']';
    }
    Builder b(prefix.size() + (s.empty() ? 0 : bound));
    if (b.failed()) {
        return error;
    }
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
                Maybe<Key> key = bracket_key(s.substr(start, i - start));
                if (!key) {
                    return error;
                }
                b.push(std::move(*key));
                start = i + 1;
            }
            else if (depth < 0) {
                return raise_bracket(false, cp, path_obj);
            }
        }
    }
    if (depth > 0) {
        return raise_bracket(true, open_pos, path_obj);
    }
    if (start < s.size()) {
        append_plain(b, s.substr(start));
    }
    return b.finish();
}

Maybe<std::string_view> utf8_of(PyObject *str)
{
    Py_ssize_t size;
    const char *data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        return error;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// ---------------------------------------------------------------------------
// Hashing and comparison

Maybe<Py_hash_t> hash_of(PyObject *self)
{
    KeyPathObject *kp = as_kp(self);
    if (kp->hash != -1) {
        return kp->hash;
    }
    if (failed(fill_text(self))) {
        return error;
    }
    // A str's hash cannot fail and is kept in the str as well.
    const Py_hash_t h = PyObject_Hash(kp->text);
    kp->hash = h;
    return h;
}

Maybe<bool> keys_eq(Keys a, Keys b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Maybe<bool> eq = Key::py_eq(a[i], b[i]);
        if (!eq || !*eq) {
            return eq;
        }
    }
    return true;
}

Maybe<bool> path_eq(PyObject *self, PyObject *other)
{
    if (PyUnicode_Check(other)) {
        if (failed(fill_text(self))) {
            return error;
        }
        Maybe<std::string_view> theirs = utf8_of(other);
        if (!theirs) {
            return error;
        }
        return stored_text(self) == *theirs;
    }
    if (is_keypath(other)) {
        return keys_eq(keys_of(self), keys_of(other));
    }
    return false;
}

Maybe<bool> path_compare(PyObject *self, PyObject *other, CmpOp op)
{
    if (PyUnicode_Check(other)) {
        if (failed(fill_text(self))) {
            return error;
        }
        Maybe<std::string_view> theirs = utf8_of(other);
        if (!theirs) {
            return error;
        }
        return apply_ord(op, stored_text(self), *theirs);
    }
    if (!is_keypath(other)) {
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(other)));
        if (!name) {
            return error;
        }
        return raise_format(PyExc_TypeError,
                            "Comparison is not supported between instances of 'KeyPath' and '%U'.",
                            name.get());
    }
    Keys a = keys_of(self), b = keys_of(other);
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Maybe<bool> eq = Key::wrapper_cmp(a[i], b[i], CmpOp::Eq);
        if (!eq) {
            return error;
        }
        if (!*eq) {
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

Maybe<Keys> parent_keys(PyObject *parent)
{
    if (parent == nullptr || parent == Py_None) {
        return Keys{};
    }
    if (!is_keypath(parent)) {
        return raise_arg_not_instance("parent", parent, "KeyPath");
    }
    return keys_of(parent);
}

Ref construct(PyObject *key, PyObject *parent)
{
    Maybe<Keys> prefix = parent_keys(parent);
    if (!prefix) {
        return error;
    }
    if (key != nullptr && (PyList_Check(key) || PyTuple_Check(key))) {
        // Converting keys runs no Python code, so the sequence cannot change
        // under the loop.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(key);
        PyObject **items = PySequence_Fast_ITEMS(key);
        Builder b(prefix->size() + static_cast<std::size_t>(n));
        if (b.failed()) {
            return error;
        }
        b.push_all(*prefix);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Maybe<Key> k = Key::from_py(items[i]);
            if (!k) {
                return error;
            }
            b.push(std::move(*k));
        }
        return b.finish();
    }
    if (key == nullptr || key == Py_None) {
        return make(*prefix);
    }
    Maybe<Key> k = Key::from_py(key);
    if (!k) {
        return error;
    }
    return make_child(*prefix, *k);
}

const Signature NEW_SIG{"KeyPath", {opt("key_or_key_list"), opt("parent")}};

PyObject *keypath_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&]() -> Ref {
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return error;
        }
        return construct(b[0], b[1]);
    });
}

// Calling the class skips the tuple/dict packing of tp_new: child paths are
// built on hot paths.
PyObject *keypath_vectorcall(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    return guard([&]() -> Ref {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (kwnames == nullptr && nargs <= 2) {
            return construct(nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr);
        }
        Bound b;
        if (failed(NEW_SIG.bind(FastArgs{args, nargs, kwnames}, b))) {
            return error;
        }
        return construct(b[0], b[1]);
    });
}

// ---------------------------------------------------------------------------
// Slots

Ref text_of(PyObject *self)
{
    if (failed(fill_text(self))) {
        return error;
    }
    return Ref::borrow(as_kp(self)->text);
}

PyObject *keypath_str(PyObject *self)
{
    return guard([&] { return text_of(self); });
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
    return guard([&]() -> Ref {
        Maybe<bool> r = error;
        switch (op) {
            case Py_EQ:
                r = path_eq(self, other);
                break;
            case Py_NE:
                r = path_eq(self, other);
                if (r) {
                    r = !*r;
                }
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
        if (!r) {
            return error;
        }
        return new_bool(*r);
    });
}

Py_ssize_t keypath_length(PyObject *self)
{
    return Py_SIZE(self);
}

int keypath_is_gc(PyObject *self)
{
    return as_kp(self)->collected;
}

// The keys never change, so a path needs no clear slot: any cycle through it
// also runs through its key object (a list, an instance), which the collector
// clears.
int keypath_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    for (const Key &k : keys_of(self)) {
        if (k.is_other()) {
            Py_VISIT(k.object());
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Methods

Ref keys_list(Keys keys)
{
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    if (!list) {
        return error;
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        Ref key = keys[i].to_py();
        if (!key) {
            return error;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), key.release());
    }
    return list;
}

const Signature FROM_VALUE_SIG{"KeyPath.from_value", {arg("value")}, {.method = true}};
const Signature PARSE_SIG{"KeyPath.parse", {arg("path_str"), opt("parent")}, {.method = true}};
const Signature NV_ACCEPT_SIG{"KeyPath.__nv_accept__", {arg("value")}, {.method = true}};
const Signature TO_JSON_SIG{"KeyPath.to_json", {}, {.var_kwargs = true, .method = true}};
const Signature FROM_JSON_SIG{"KeyPath.from_json", {arg("json_value")}, {.var_kwargs = true, .method = true}};
const Signature PATH_STR_SIG{"KeyPath.path_str", {opt("preserve_complex_keys")}, {.method = true}};
const Signature DEEPCOPY_SIG{"KeyPath.__deepcopy__", {arg("memo")}, {.method = true}};
const Signature QUERY_SIG{"KeyPath.query", {arg("src"), opt("use_inferred")}, {.method = true}};
const Signature GET_SIG{
    "KeyPath.get", {arg("src"), opt("default_value"), opt("use_inferred")}, {.method = true}};
const Signature EXISTS_SIG{"KeyPath.exists", {arg("src")}, {.method = true}};

// `parse` proper: the text must be a str; scanned after the parent's keys.
Ref parse_text(PyObject *path_str, Keys prefix)
{
    if (!PyUnicode_Check(path_str)) {
        return raise_format(PyExc_ValueError, "'path_str' must be a string type. Encountered: %R", path_str);
    }
    return scan(path_str, prefix);
}

Ref kp_from_value(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FROM_VALUE_SIG.bind(a, b))) {
        return error;
    }
    return from_value_inner(b[0]);
}

Ref kp_parse(PyObject *, FastArgs a)
{
    if (a.nargs == 1 && a.kwnames == nullptr) {
        return parse_text(a.args[0], {});  // the common call binds as it stands
    }
    Bound b;
    if (failed(PARSE_SIG.bind(a, b))) {
        return error;
    }
    Maybe<Keys> prefix = parent_keys(b[1]);
    if (!prefix) {
        return error;
    }
    return parse_text(b[0], *prefix);
}

Ref kp_nv_accept(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(NV_ACCEPT_SIG.bind(a, b))) {
        return error;
    }
    if (!PyUnicode_Check(b[0])) {
        return not_implemented();
    }
    return scan(b[0]);
}

Ref kp_to_json(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(TO_JSON_SIG.bind(a, b))) {
        return error;
    }
    Ref text = text_of(self);
    if (!text) {
        return error;
    }
    Ref d = Ref::steal(PyDict_New());
    if (!d) {
        return error;
    }
    Ref key = new_str(SERIALIZATION_KEY);
    if (!key || PyDict_SetItemString(d.get(), "_type", key.get()) < 0) {
        return error;
    }
    if (PyDict_SetItem(d.get(), interned<"value">(), text.get()) < 0) {
        return error;
    }
    return d;
}

Ref kp_from_json(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FROM_JSON_SIG.bind(a, b))) {
        return error;
    }
    PyObject *json = b[0];
    if (!PyDict_Check(json)) {
        return raise_arg_not_instance("json_value", json, "dict");
    }
    PyObject *item = nullptr;
    const int found = PyDict_GetItemRef(json, interned<"value">(), &item);
    if (found < 0) {
        return error;
    }
    if (found == 0) {
        return raise(PyExc_KeyError, "'value'");
    }
    Ref value = Ref::steal(item);
    return parse_text(value.get(), {});
}

Ref kp_path_str(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(PATH_STR_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> preserve = bool_arg("preserve_complex_keys", b[0], true, ArgCause::Conversion);
    if (!preserve) {
        return error;
    }
    std::string t;
    if (failed(render_into(keys_of(self), *preserve, t))) {
        return error;
    }
    return text_object(t);
}

Ref kp_format(PyObject *self, FastArgs)
{
    return text_of(self);
}

Ref kp_copy(PyObject *self)
{
    return make(keys_of(self));
}

Ref kp_deepcopy(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(a, b))) {
        return error;
    }
    Ref copy_mod = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy_mod) {
        return error;
    }
    Ref deepcopy = getattr(copy_mod.get(), "deepcopy");
    if (!deepcopy) {
        return error;
    }
    Keys keys = keys_of(self);
    Builder out(keys.size());
    if (out.failed()) {
        return error;
    }
    for (const Key &k : keys) {
        if (!k.is_other()) {
            out.push(k);
            continue;
        }
        PyObject *args[] = {k.object(), b[0]};
        Ref copied = Ref::steal(PyObject_Vectorcall(deepcopy.get(), args, 2, nullptr));
        if (!copied) {
            return error;
        }
        Maybe<Key> key = Key::from_py(copied.get());
        if (!key) {
            return error;
        }
        out.push(std::move(*key));
    }
    return out.finish();
}

Ref kp_reduce(PyObject *self)
{
    Ref package = Ref::steal(PyImport_ImportModule("norv_core"));
    if (!package) {
        return error;
    }
    Ref cls = getattr(package.get(), "KeyPath");
    if (!cls) {
        return error;
    }
    Ref list = keys_list(keys_of(self));
    if (!list) {
        return error;
    }
    return Ref::steal(Py_BuildValue("(O(O))", cls.get(), list.get()));
}

Ref kp_query(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(QUERY_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> inferred = bool_arg("use_inferred", b[1], false, ArgCause::Conversion);
    if (!inferred) {
        return error;
    }
    return query(keys_of(self), b[0], *inferred);
}

// Whether a lookup found the path absent: a KeyError, raised (and cleared
// here) or, when nothing could observe it, not even built.
Maybe<bool> missed(const Maybe<Ref> &found)
{
    if (found) {
        return !*found;
    }
    if (failed(discard_error_of({PyExc_KeyError}))) {
        return error;
    }
    return true;
}

Ref kp_get(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(GET_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> inferred = bool_arg("use_inferred", b[2], false, ArgCause::Conversion);
    if (!inferred) {
        return error;
    }
    Maybe<Ref> value = query_or_absent(keys_of(self), b[0], *inferred);
    const Maybe<bool> absent = missed(value);
    if (!absent) {
        return error;
    }
    if (!*absent) {
        return std::move(*value);
    }
    return b.has(1) ? Ref::borrow(b[1]) : none();
}

Ref kp_exists(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(EXISTS_SIG.bind(a, b))) {
        return error;
    }
    const Maybe<bool> absent = missed(query_or_absent(keys_of(self), b[0], false));
    if (!absent) {
        return error;
    }
    return new_bool(!*absent);
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

Ref get_keys(PyObject *self)
{
    return keys_list(keys_of(self));
}

Ref get_key(PyObject *self)
{
    Keys keys = keys_of(self);
    if (keys.empty()) {
        return raise(PyExc_KeyError, "Key of root KeyPath does not exist.");
    }
    return keys.back().to_py();
}

Ref get_is_root(PyObject *self)
{
    return new_bool(Py_SIZE(self) == 0);
}

Ref get_depth(PyObject *self)
{
    return Ref::steal(PyLong_FromSsize_t(Py_SIZE(self)));
}

Ref get_parent(PyObject *self)
{
    Keys keys = keys_of(self);
    if (keys.empty()) {
        return raise(PyExc_KeyError, "Parent of a root KeyPath does not exist.");
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
    {Py_tp_doc,
     const_cast<char *>("KeyPath(key_or_key_list=None, parent=None)\n--\n\n"
                        "A path of keys from a tree root to a node. Its `__module__` is\n"
                        "`norv_core._native` so signature / `sys.modules` introspection of the type\n"
                        "resolves wherever the native `KeyPath` is in use.")},
    {Py_tp_new, reinterpret_cast<void *>(keypath_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(keypath_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(keypath_traverse)},
    {Py_tp_is_gc, reinterpret_cast<void *>(keypath_is_gc)},
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
    // instance dict is needed. Only a path whose keys hold an object the
    // collector sees is in the collector (`keypath_is_gc`).
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = SLOTS,
};

Status init_class(PyTypeObject *tp)
{
    if (failed(set_serializable_class_attrs(tp, SERIALIZATION_KEY))) {
        return error;
    }
    tp->tp_vectorcall = keypath_vectorcall;
    return Status::ok;
}

}  // namespace

// ---------------------------------------------------------------------------
// Seams

PyTypeObject *type()
{
    return TYPE.get(&SPEC, nullptr, init_class);
}

PyTypeObject *type_if_created() noexcept
{
    return TYPE.peek();
}

Ref make(Keys prefix, Keys suffix)
{
    Builder b(prefix.size() + suffix.size());
    if (b.failed()) {
        return error;
    }
    b.push_all(prefix);
    b.push_all(suffix);
    return b.finish();
}

Ref make_child(Keys prefix, const Key &last)
{
    Builder b(prefix.size() + 1);
    if (b.failed()) {
        return error;
    }
    b.push_all(prefix);
    b.push(last);
    return b.finish();
}

Ref child_key_path(PyObject *key, PyObject *parent)
{
    return construct(key, parent);
}

Maybe<std::optional<bool>> keypaths_eq(PyObject *a, PyObject *b)
{
    if (!is_keypath(a) || !is_keypath(b)) {
        return std::optional<bool>();
    }
    const Maybe<bool> eq = keys_eq(keys_of(a), keys_of(b));
    if (!eq) {
        return error;
    }
    return std::optional<bool>(*eq);
}

Ref from_value_inner(PyObject *value)
{
    if (is_keypath(value)) {
        return Ref::borrow(value);
    }
    if (PyUnicode_Check(value)) {
        Maybe<std::string_view> s = utf8_of(value);
        if (!s) {
            return error;
        }
        if (s->empty() || s->find_first_of(".[]") != std::string_view::npos) {
            return scan_utf8(*s, value, {});
        }
        Ref path = make_child({}, Key::text(*s));
        if (path && PyUnicode_CheckExact(value)) {
            as_kp(path.get())->text = Py_NewRef(value);  // one plain key reads back as itself
        }
        return path;
    }
    if (PyLong_Check(value)) {
        Maybe<Key> key = Key::from_py(value);
        if (!key) {
            return error;
        }
        return make_child({}, *key);
    }
    return raise_format(PyExc_ValueError, "%R is not a valid KeyPath equivalence.", value);
}

Ref scan(PyObject *text, Keys prefix)
{
    Maybe<std::string_view> s = utf8_of(text);
    if (!s) {
        return error;
    }
    return scan_utf8(*s, text, prefix);
}

namespace {

Status render_into(Keys keys, bool preserve_complex_keys, std::string &out)
{
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
                RecursionGuard guard(" while rendering a KeyPath");
                if (guard.failed()) {
                    return error;
                }
                PyObject *obj = k.object();
                const Maybe<bool> has_marker =
                    has_attr<"__norv_str_key__">(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
                if (!has_marker) {
                    return error;
                }
                Ref text = str_of(obj);
                if (!text) {
                    return error;
                }
                Maybe<std::string_view> t = utf8_of(text.get());
                if (!t) {
                    return error;
                }
                if (*has_marker) {
                    if (i > 0) {
                        out += '.';
                    }
                    out += *t;
                }
                else {
                    out += '[';
                    out += *t;
                    out += ']';
                }
                break;
            }
        }
    }
    return Status::ok;
}

Status store_text(PyObject *path)
{
    // Rendering may run Python code that renders (and hashes) this very path;
    // whatever such a nested call stored is replaced by this result, and the
    // hash goes with the text it was computed from.
    std::string t;
    if (failed(render_into(keys_of(path), true, t))) {
        return error;
    }
    Ref text = text_object(t);
    if (!text || failed(make_utf8(text.get()))) {
        return error;
    }
    KeyPathObject *kp = as_kp(path);
    Py_XSETREF(kp->text, text.release());
    kp->hash = -1;
    return Status::ok;
}

}  // namespace

Maybe<std::string> render_keys(Keys keys, bool preserve_complex_keys)
{
    std::string out;
    if (failed(render_into(keys, preserve_complex_keys, out))) {
        return error;
    }
    return out;
}

Maybe<std::string_view> cached_path(PyObject *path)
{
    if (failed(fill_text(path))) {
        return error;
    }
    return stored_text(path);
}

}  // namespace norv::keypath
