#include "topology/keypath_set.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "core/args.hpp"
#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/registry.hpp"
#include "formatting/format.hpp"

namespace norv::keypath_set {

namespace {

using keypath::Keys;

struct SetObject {
    PyObject ob_base;  // PyObject_HEAD
    Ref root;          // the trie's root dict; replaced only by rebase (or a collector's clear)
    BorrowFlag flag;
};

SetObject *as_set(PyObject *o) noexcept
{
    return reinterpret_cast<SetObject *>(o);
}

TypeCell TYPE;
ObjectCell LEAF;

// The end marker "$", one object for the whole process.
PyObject *marker()
{
    return interned<"$">();
}

// `{"$": True}`, never handed out: a new leaf is a copy of it, which costs
// less than inserting the marker into a new dict.
PyObject *marked_leaf()
{
    return LEAF.get_or_init([]() -> Ref {
        Ref leaf = Ref::steal(PyDict_New());
        if (!leaf || PyDict_SetItem(leaf.get(), marker(), Py_True) < 0) {
            return error;
        }
        return leaf;
    });
}

Ref new_leaf()
{
    PyObject *leaf = marked_leaf();
    return leaf == nullptr ? Ref(error) : Ref::steal(PyDict_Copy(leaf));
}

// ---------------------------------------------------------------------------
// Trie primitives
//
// Predicates answer as the C API does: 1 / 0, or -1 with the error set.

// Python code can put anything into the trie, so every descent checks that
// it reaches a node (dict subclasses count). `value`, or NULL with the error
// set.
[[nodiscard]] PyObject *as_node(PyObject *value)
{
    if (!PyDict_Check(value)) [[unlikely]] {
        (void)raise_not_instance(value, "dict");
        return nullptr;
    }
    return value;
}

// Entries are told apart from the marker by Python `==`, key on the left, so
// a key object equal to "$" is taken for the marker. Exact str and int cannot
// override `==` and are answered without a call.
[[nodiscard]] int is_marker(PyObject *key)
{
    if (PyUnicode_CheckExact(key)) {
        return PyUnicode_GET_LENGTH(key) == 1 && PyUnicode_READ_CHAR(key, 0) == '$';
    }
    if (PyLong_CheckExact(key)) {
        return 0;
    }
    Ref eq = Ref::steal(PyObject_RichCompare(key, marker(), Py_EQ));
    if (!eq) {
        return -1;
    }
    return PyObject_IsTrue(eq.get());
}

[[nodiscard]] int holds(PyObject *node, PyObject *key)
{
    return PyDict_Contains(node, key);
}

[[nodiscard]] int holds_marker(PyObject *node)
{
    return holds(node, marker());
}

// The value under `key` into `found`: 1, 0 when absent (`found` left null),
// or -1 with the error set.
[[nodiscard]] int lookup(PyObject *node, PyObject *key, Ref &found)
{
    PyObject *value = nullptr;
    const int rc = PyDict_GetItemRef(node, key, &value);
    found = Ref::steal(value);
    return rc;
}

// The value under a key that a membership test has just found. A key whose
// hash or equality is not stable can vanish in between; we cannot continue
// over such a key.
Ref lookup_held(PyObject *node, PyObject *key)
{
    Ref value;
    const int rc = lookup(node, key, value);
    if (rc < 0) {
        return error;
    }
    if (rc == 0) {
        panic("trie key found by a membership test is missing on lookup");
    }
    return value;
}

Ref new_dict()
{
    return Ref::steal(PyDict_New());
}

// ---------------------------------------------------------------------------
// Trie keys
//
// Each step of a walk needs the key object of its key. A fresh str per text
// step costs an allocation, a decode and a hash, and meets the dict's key only
// by comparing text. So recently used text keys keep their str in a small
// table indexed by the UTF-8 text: a step finds its str there with the hash
// already cached, and in a trie built through the table it is the very object
// the dict holds. Any str equal to the text would do, so the table simply
// keeps the last strs made (2,048 of them, of text up to 64 bytes); they live
// on at exit like every process-wide object.

constexpr int TEXT_SET_BITS = 10;  // sets of two slots
constexpr std::size_t TEXT_SETS = std::size_t{1} << TEXT_SET_BITS;
constexpr std::size_t TEXT_PACKED = 15;  // text up to this size is its own signature
constexpr std::size_t TEXT_MAX = 64;

std::uint64_t load64(const char *p) noexcept
{
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

std::uint32_t load32(const char *p) noexcept
{
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Two words standing for a text: up to 15 bytes, the bytes themselves
// (zero-padded) and the size in the top byte, so equal words mean equal text;
// longer text, a hash and the size, to be confirmed against the str. Text is
// read in whole words, the last one overlapping the one before: key text is
// short.
struct TextSig {
    std::uint64_t lo = 0, hi = 0;

    bool operator==(const TextSig &) const noexcept = default;

    std::size_t set() const noexcept
    {
        // Only the high bits of a product depend on every bit of its operands.
        return static_cast<std::size_t>(((lo ^ (hi * 0xBF58476D1CE4E5B9u)) * 0x94D049BB133111EBu) >>
                                        (64 - TEXT_SET_BITS));
    }
};

[[gnu::always_inline]] inline TextSig text_sig(std::string_view t) noexcept
{
    const char *p = t.data();
    const std::size_t n = t.size();
    TextSig sig;
    sig.hi = static_cast<std::uint64_t>(n) << 56;
    if (n > TEXT_PACKED) {
        std::uint64_t h = 0x9E3779B97F4A7C15u;
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            h = (h ^ load64(p + i)) * 0xBF58476D1CE4E5B9u;
        }
        sig.lo = (h ^ load64(p + n - 8)) * 0x94D049BB133111EBu;
    }
    else if (n > 8) {
        sig.lo = load64(p);
        sig.hi |= load64(p + n - 8) >> (8 * (16 - n));
    }
    else if (n >= 4) {
        sig.lo = load32(p) | std::uint64_t{load32(p + n - 4)} << (8 * (n - 4));
    }
    else if (n > 0) {
        const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
        sig.lo = byte(0) | byte(n / 2) << (8 * (n / 2)) | byte(n - 1) << (8 * (n - 1));
    }
    return sig;
}

struct TextSlot {
    TextSig sig;
    PyObject *str = nullptr;
};

// Two slots per set, the newer first, so keys whose texts fall into one set
// take turns only when three of them are in use.
TextSlot text_keys[TEXT_SETS][2];

// Whether `s`, a str in the table under the signature of `t`, holds `t`.
bool holds_text(PyObject *s, std::string_view t) noexcept
{
    if (t.size() <= TEXT_PACKED) {
        return true;
    }
    Py_ssize_t size = 0;
    // Stored with its UTF-8 form made (when that is not its data), so this cannot fail.
    const char *utf8 = PyUnicode_IS_COMPACT_ASCII(s) ? static_cast<const char *>(PyUnicode_DATA(s))
                                                     : PyUnicode_AsUTF8AndSize(s, &size);
    return std::memcmp(utf8, t.data(), t.size()) == 0;
}

// A new str of `t`, kept as the newer in `set` when there is one.
[[gnu::noinline]] Ref new_text_key(std::string_view t, TextSlot *set, const TextSig &sig)
{
    Ref s = Ref::steal(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
    if (!s || set == nullptr) {
        return s;
    }
    if (t.size() > TEXT_PACKED && !PyUnicode_IS_COMPACT_ASCII(s.get()) &&
        PyUnicode_AsUTF8AndSize(s.get(), nullptr) == nullptr) {
        return error;
    }
    PyObject *dropped = set[1].str;
    set[1] = set[0];
    set[0] = {sig, Py_NewRef(s.get())};
    // Releasing a str runs no Python code.
    Py_XDECREF(dropped);
    return s;
}

// A str of the UTF-8 text `t` (valid UTF-8), shared through the table.
inline Ref text_key(std::string_view t)
{
    const TextSig sig = text_sig(t);
    if (t.size() > TEXT_MAX) {
        return new_text_key(t, nullptr, sig);
    }
    TextSlot *set = text_keys[sig.set()];
    for (int i = 0; i < 2; ++i) {
        if (set[i].sig == sig && set[i].str != nullptr && holds_text(set[i].str, t)) {
            return Ref::borrow(set[i].str);
        }
    }
    return new_text_key(t, set, sig);
}

[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) noexcept
{
    const std::size_t n = a.size();
    if (n != b.size()) {
        return false;
    }
    const char *p = a.data(), *q = b.data();
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            if (load64(p + i) != load64(q + i)) {
                return false;
            }
        }
        return load64(p + n - 8) == load64(q + n - 8);
    }
    if (n >= 4) {
        return load32(p) == load32(q) && load32(p + n - 4) == load32(q + n - 4);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != q[i]) {
            return false;
        }
    }
    return true;
}

// The trie key of one path step: an equal str, a new int, or the key's object.
Ref trie_key(const Key &key)
{
    switch (key.kind()) {
        case Key::Kind::Str:
            return text_key(key.text());
        case Key::Kind::Int:
            return new_int(key.integer());
        default:
            return Ref::borrow(key.object());
    }
}

// The keys of a path argument, read as `keypath::from_value_inner` reads them
// (the same keys, the same errors), without building a path object for text
// that `keypath::split_plain` reads.
class PathSteps {
public:
    // The caller holds `value` while the steps are used.
    [[nodiscard, gnu::always_inline]] Status read(PyObject *value)
    {
        path_.reset();
        plain_text_ = false;
        // A path's keys never change. Paths are read inline, the rest out of line.
        if (keypath::is_keypath(value)) {
            keys_ = keypath::keys_of(value);
            size_ = keys_.size();
            return Status::ok;
        }
        return read_other(value);
    }

    std::size_t size() const noexcept { return size_; }

    // Whether every key is text or an integer, read without running Python
    // code: plain text, or a KeyPath holding no other keys.
    bool plain() const noexcept
    {
        if (plain_text_) {
            return true;
        }
        if (path_) {
            return false;
        }
        for (const Key &key : keys_) {
            if (key.is_other()) {
                return false;
            }
        }
        return true;
    }

    // Step `i` of a plain path.
    keypath::PlainStep step(std::size_t i) const noexcept
    {
        if (plain_text_) {
            return plain_.steps[i];
        }
        const Key &key = keys_[i];
        return key.is_int() ? keypath::PlainStep{{}, key.integer(), true}
                            : keypath::PlainStep{key.text(), 0, false};
    }

    // How many leading steps this and `other` (both plain) share.
    std::size_t shared_with(const PathSteps &other) const noexcept
    {
        const std::size_t most = std::min(size_, other.size_);
        std::size_t i = 0;
        if (!plain_text_ && !other.plain_text_) {
            // Two paths, the common case of a build: no views to make.
            for (; i < most; ++i) {
                const Key &x = keys_[i], &y = other.keys_[i];
                if (x.is_int() ? !y.is_int() || x.integer() != y.integer()
                               : y.is_int() || !same_text(x.text(), y.text())) {
                    break;
                }
            }
            return i;
        }
        for (; i < most; ++i) {
            const keypath::PlainStep x = step(i), y = other.step(i);
            if (x.is_index != y.is_index || (x.is_index ? x.index != y.index : !same_text(x.text, y.text))) {
                break;
            }
        }
        return i;
    }

    Ref trie_key(std::size_t i) const
    {
        if (!plain_text_) {
            return keypath_set::trie_key(keys_[i]);
        }
        const keypath::PlainStep &step = plain_.steps[i];
        return step.is_index ? new_int(step.index) : text_key(step.text);
    }

private:
    [[nodiscard, gnu::noinline]] Status read_other(PyObject *value)
    {
        if (PyUnicode_Check(value)) {
            Py_ssize_t size = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
            if (utf8 == nullptr) {
                return error;
            }
            const std::ptrdiff_t n = keypath::split_plain(
                std::string_view(utf8, static_cast<std::size_t>(size)), plain_.steps, CAP);
            if (n >= 0) {
                plain_text_ = true;
                size_ = static_cast<std::size_t>(n);
                return Status::ok;
            }
        }
        path_ = keypath::from_value_inner(value);
        if (!path_) {
            return error;
        }
        keys_ = keypath::keys_of(path_.get());
        size_ = keys_.size();
        return Status::ok;
    }

    static constexpr std::size_t CAP = 24;
    Ref path_;  // a path made from `value`, when it is not one
    Keys keys_;
    std::size_t size_ = 0;
    bool plain_text_ = false;
    union Plain {
        Plain() noexcept {}  // filled by `split_plain`, read only up to `size_`
        keypath::PlainStep steps[CAP];
    } plain_;
};

// Hashing or comparing an exact str or int runs no Python code.
bool plain_key(PyObject *key) noexcept
{
    return PyUnicode_CheckExact(key) || PyLong_CheckExact(key);
}

// An empty node can hold nothing, and looking up a plain key runs no Python
// code: such a lookup can be skipped without anyone noticing.
bool plainly_absent(PyObject *node, PyObject *key) noexcept
{
    return PyDict_GET_SIZE(node) == 0 && plain_key(key);
}

// Follows `steps` from `root` into `node`: 1 when every step is there, 0 when
// one is absent, -1 with the error set.
[[nodiscard, gnu::always_inline]] inline int walk(PyObject *root, const PathSteps &steps, Ref &node)
{
    node = Ref::borrow(root);
    for (std::size_t i = 0, n = steps.size(); i < n; ++i) {
        Ref step = steps.trie_key(i);
        if (!step) {
            return -1;
        }
        Ref child;
        const int found = lookup(node.get(), step.get(), child);
        if (found <= 0) {
            node.reset();
            return found;
        }
        if (as_node(child.get()) == nullptr) {
            return -1;
        }
        node = std::move(child);
    }
    return 1;
}

// Where the previous path added by a build ended. Paths added one after
// another often share leading keys. While no Python code can have run since
// the previous path was added, the nodes it passed are still where a walk
// would find them (a build only adds entries), so the shared steps need no
// lookup. That holds while the paths come from a list, tuple or set and every
// key so far was text or an integer read natively: the new trie then holds
// only exact str and int keys, whose hashing and comparison run no Python
// code, and nothing else runs any.
struct Trail {
    Trail(PyObject *root, PyObject *paths)
        : live(PyList_CheckExact(paths) || PyTuple_CheckExact(paths) || PyAnySet_CheckExact(paths))
    {
        nodes.push_back(root);
    }

    bool live;
    const PathSteps *steps = nullptr;  // the previous path's
    // nodes[i]: the node after its first i steps, borrowed: the trie holds
    // them, and a build only adds entries.
    std::vector<PyObject *> nodes;
};

// 1 when the set changed, 0 when not, -1 with the error set.
[[nodiscard]] int add_steps(PyObject *root, const PathSteps &steps, bool include_intermediate,
                            Trail *trail = nullptr)
{
    const std::size_t n = steps.size();
    std::size_t i = 0;
    Ref node;
    if (trail != nullptr && trail->live && steps.plain()) {
        if (trail->steps != nullptr) {
            i = steps.shared_with(*trail->steps);
        }
        node = Ref::borrow(trail->nodes[i]);
        trail->nodes.resize(i + 1);
        trail->steps = &steps;
    }
    else {
        if (trail != nullptr) {
            trail->live = false;
            trail = nullptr;
        }
        node = Ref::borrow(root);
    }
    bool changed = false;
    for (; i < n; ++i) {
        Ref step = steps.trie_key(i);
        if (!step) {
            return -1;
        }
        Ref child;
        // A new leaf is made marked: nobody can see it before it is linked.
        const bool last = i + 1 == n && !include_intermediate;
        if (last && trail != nullptr) {
            // The trie holds only plain keys (see Trail), so looking up and
            // linking in one go runs no Python code either way; a leaf made
            // for a path already there is dropped unseen.
            Ref leaf = new_leaf();
            PyObject *found = nullptr;
            const int held = leaf ? PyDict_SetDefaultRef(node.get(), step.get(), leaf.get(), &found) : -1;
            child = Ref::steal(found);
            if (held < 0) {
                return -1;
            }
            if (!held) {
                trail->nodes.push_back(child.get());
                return 1;
            }
            if (as_node(child.get()) == nullptr) {
                return -1;
            }
        }
        // Past the first new node every node is new and empty.
        else if (!plainly_absent(node.get(), step.get())) {
            const int found = lookup(node.get(), step.get(), child);
            if (found < 0 || (found && as_node(child.get()) == nullptr)) {
                return -1;
            }
        }
        const bool leaf = !child && last;
        if (!child) {
            child = leaf ? new_leaf() : new_dict();
            if (!child || PyDict_SetItem(node.get(), step.get(), child.get()) < 0) {
                return -1;
            }
            if (include_intermediate) {
                // Only added when absent: an existing entry keeps its place, and a
                // branch stored under a "$" key is not overwritten.
                if (PyDict_SetDefaultRef(node.get(), marker(), Py_True, nullptr) < 0) {
                    return -1;
                }
                changed = true;
            }
        }
        if (trail != nullptr) {
            trail->nodes.push_back(child.get());
        }
        if (leaf) {
            return 1;
        }
        node = std::move(child);
    }
    const int ended = PyDict_SetDefaultRef(node.get(), marker(), Py_True, nullptr);
    if (ended < 0) {
        return -1;
    }
    return changed || !ended;
}

// 1 when the set changed, 0 when not, -1 with the error set.
[[nodiscard]] int add_to_trie(PyObject *root, PyObject *path_value, bool include_intermediate)
{
    PathSteps steps;
    if (failed(steps.read(path_value))) {
        return -1;
    }
    return add_steps(root, steps, include_intermediate);
}

// 1 when `path_value` was a member, 0 when not, -1 with the error set.
[[nodiscard]] int remove_from_trie(PyObject *root, PyObject *path_value)
{
    PathSteps path;
    if (failed(path.read(path_value))) {
        return -1;
    }
    std::vector<Ref> nodes, steps;
    nodes.reserve(path.size() + 1);
    steps.reserve(path.size());
    nodes.push_back(Ref::borrow(root));
    for (std::size_t i = 0, n = path.size(); i < n; ++i) {
        Ref step = path.trie_key(i);
        if (!step) {
            return -1;
        }
        Ref child;
        const int found = lookup(nodes.back().get(), step.get(), child);
        if (found <= 0) {
            return found;
        }
        if (as_node(child.get()) == nullptr) {
            return -1;
        }
        nodes.push_back(std::move(child));
        steps.push_back(std::move(step));
    }
    const int ended = holds_marker(nodes.back().get());
    if (ended <= 0) {
        return ended;
    }
    if (PyDict_DelItem(nodes.back().get(), marker()) < 0) {
        return -1;
    }
    // Prune emptied nodes bottom-up; the root itself always stays.
    for (std::size_t i = steps.size(); i-- > 0;) {
        PyObject *parent = nodes[i].get();
        Ref child;
        if (lookup(parent, steps[i].get(), child) < 0) {
            return -1;
        }
        if (child && PyDict_Check(child.get()) && PyDict_GET_SIZE(child.get()) == 0) {
            if (PyDict_DelItem(parent, steps[i].get()) < 0) {
                return -1;
            }
        }
    }
    return 1;
}

// `node` nested under `keys`: one new dict per key, no end markers.
Ref nest_under(Ref node, Keys keys)
{
    for (std::size_t i = keys.size(); i-- > 0;) {
        Ref outer = new_dict();
        if (!outer) {
            return error;
        }
        Ref step = trie_key(keys[i]);
        if (!step || PyDict_SetItem(outer.get(), step.get(), node.get()) < 0) {
            return error;
        }
        node = std::move(outer);
    }
    return node;
}

// The old root becomes the innermost node, so views of it stay shared.
Status rebase_root(SetObject *set, PyObject *prefix_value)
{
    Ref prefix = keypath::from_value_inner(prefix_value);
    if (!prefix) {
        return error;
    }
    Ref node = nest_under(Ref::borrow(set->root.get()), keypath::keys_of(prefix.get()));
    if (!node) {
        return error;
    }
    set->root = std::move(node);
    return Status::ok;
}

Ref deepcopy_key(PyObject *key)
{
    if (PyLong_Check(key) || PyUnicode_Check(key)) {
        return Ref::borrow(key);
    }
    Ref module = Ref::steal(PyImport_Import(interned<"copy">()));
    if (!module) {
        return error;
    }
    Ref deepcopy = attr<"deepcopy">(module.get());
    if (!deepcopy) {
        return error;
    }
    return Ref::steal(PyObject_CallOneArg(deepcopy.get(), key));
}

Ref deepcopy_trie(PyObject *node)
{
    RecursionGuard guard(" while copying a key path set");
    if (guard.failed()) {
        return error;
    }
    Ref copy = new_dict();
    if (!copy) {
        return error;
    }
    Status walked = dict_for_each(node, [&](PyObject *key, PyObject *value) -> Status {
        Ref new_key = deepcopy_key(key);
        if (!new_key) {
            return error;
        }
        Ref new_value = PyDict_Check(value) ? deepcopy_trie(value) : Ref::borrow(value);
        if (!new_value) {
            return error;
        }
        return check(PyDict_SetItem(copy.get(), new_key.get(), new_value.get()));
    });
    if (failed(walked)) {
        return error;
    }
    return copy;
}

Status merge(PyObject *target, PyObject *source)
{
    RecursionGuard guard(" while merging key path sets");
    if (guard.failed()) {
        return error;
    }
    return dict_for_each(source, [&](PyObject *key, PyObject *value) -> Status {
        const int held = holds(target, key);
        if (held < 0) {
            return error;
        }
        const int is_end = is_marker(key);
        if (is_end < 0) {
            return error;
        }
        if (held) {
            Ref mine = lookup_held(target, key);
            if (!mine) {
                return error;
            }
            if (!is_end) {
                if (as_node(mine.get()) == nullptr || as_node(value) == nullptr) {
                    return error;
                }
                return merge(mine.get(), value);
            }
            // A "$" entry that holds a branch (a path stepping through a "$"
            // key) already marks its node; a union must not drop that branch.
            if (PyDict_Check(mine.get())) {
                return PyDict_Check(value) ? merge(mine.get(), value) : Status::ok;
            }
        }
        Ref stored = PyDict_Check(value) ? deepcopy_trie(value) : Ref::borrow(value);
        if (!stored) {
            return error;
        }
        return check(PyDict_SetItem(target, key, stored.get()));
    });
}

Status delete_all(PyObject *node, const std::vector<Ref> &doomed)
{
    for (const Ref &key : doomed) {
        if (PyDict_DelItem(node, key.get()) < 0) {
            return error;
        }
    }
    return Status::ok;
}

// Removes from `target` every path of `other`: 1 when `target` ends empty,
// 0 when not, -1 with the error set.
[[nodiscard]] int remove_same(PyObject *target, PyObject *other)
{
    RecursionGuard guard(" while subtracting key path sets");
    if (guard.failed()) {
        return -1;
    }
    std::vector<Ref> doomed;
    Status walked = dict_for_each(target, [&](PyObject *key, PyObject *value) -> Status {
        const int held = holds(other, key);
        if (held < 0) {
            return error;
        }
        if (!held) {
            return Status::ok;
        }
        const int is_end = is_marker(key);
        if (is_end < 0) {
            return error;
        }
        if (is_end) {
            doomed.push_back(Ref::borrow(key));
            return Status::ok;
        }
        Ref theirs = lookup_held(other, key);
        if (!theirs || as_node(theirs.get()) == nullptr || as_node(value) == nullptr) {
            return error;
        }
        const int emptied = remove_same(value, theirs.get());
        if (emptied < 0) {
            return error;
        }
        if (emptied) {
            doomed.push_back(Ref::borrow(key));
        }
        return Status::ok;
    });
    if (failed(walked) || failed(delete_all(target, doomed))) {
        return -1;
    }
    return PyDict_GET_SIZE(target) == 0;
}

// Keeps in `target` only the paths that `other` holds.
Status remove_diff(PyObject *target, PyObject *other)
{
    RecursionGuard guard(" while intersecting key path sets");
    if (guard.failed()) {
        return error;
    }
    std::vector<Ref> doomed;
    Status walked = dict_for_each(target, [&](PyObject *key, PyObject *value) -> Status {
        const int held = holds(other, key);
        if (held < 0) {
            return error;
        }
        if (!held) {
            doomed.push_back(Ref::borrow(key));
            return Status::ok;
        }
        const int is_end = is_marker(key);
        if (is_end < 0) {
            return error;
        }
        if (is_end) {
            return Status::ok;
        }
        if (as_node(value) == nullptr) {
            return error;
        }
        Ref theirs = lookup_held(other, key);
        if (!theirs || as_node(theirs.get()) == nullptr || failed(remove_diff(value, theirs.get()))) {
            return error;
        }
        if (PyDict_GET_SIZE(value) == 0) {
            doomed.push_back(Ref::borrow(key));
        }
        return Status::ok;
    });
    if (failed(walked)) {
        return error;
    }
    return delete_all(target, doomed);
}

Status collect(PyObject *node, std::vector<Key> &prefix, PyObject *out)
{
    RecursionGuard guard(" while listing a key path set");
    if (guard.failed()) {
        return error;
    }
    return dict_for_each(node, [&](PyObject *key, PyObject *value) -> Status {
        const int is_end = is_marker(key);
        if (is_end < 0) {
            return error;
        }
        if (is_end) {
            Ref path = keypath::make(Keys(prefix));
            if (!path) {
                return error;
            }
            return check(PyList_Append(out, path.get()));
        }
        Maybe<Key> step = Key::from_py(key);
        if (!step) {
            return error;
        }
        prefix.push_back(std::move(*step));
        if (as_node(value) == nullptr || failed(collect(value, prefix, out))) {
            return error;
        }
        prefix.pop_back();
        return Status::ok;
    });
}

Ref collect_paths(PyObject *root)
{
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return error;
    }
    std::vector<Key> prefix;
    if (failed(collect(root, prefix, out.get()))) {
        return error;
    }
    return out;
}

Ref build_trie(PyObject *paths, bool include_intermediate)
{
    Ref root = new_dict();
    if (!root) {
        return error;
    }
    if (paths == nullptr || paths == Py_None) {
        return root;
    }
    const int truth = PyObject_IsTrue(paths);
    if (truth < 0) {
        return error;
    }
    if (!truth) {
        return root;
    }
    Ref it = Ref::steal(PyObject_GetIter(paths));
    if (!it) {
        return error;
    }
    // Two path readers in turn: the trail compares each path with the one
    // before, whose item is kept alive for that.
    PathSteps steps[2];
    Ref items[2];
    int turn = 0;
    Trail trail(root.get(), paths);
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        PathSteps &current = steps[turn];
        if (failed(current.read(item.get())) ||
            add_steps(root.get(), current, include_intermediate, &trail) < 0) {
            return error;
        }
        if (trail.live) {
            items[turn] = std::move(item);
            turn ^= 1;
        }
    }
    if (PyErr_Occurred()) {
        return error;
    }
    return root;
}

// A set owning `root`; a null `root` (its construction failed) passes the
// failure through.
Ref new_set(Ref root)
{
    if (!root) {
        return error;
    }
    PyTypeObject *tp = type();
    if (tp == nullptr) {
        return error;
    }
    SetObject *set = PyObject_GC_New(SetObject, tp);
    if (set == nullptr) {
        return error;
    }
    new (&set->flag) BorrowFlag();
    new (&set->root) Ref(std::move(root));
    PyObject *obj = reinterpret_cast<PyObject *>(set);
    PyObject_GC_Track(obj);
    return Ref::steal(obj);
}

Ref deep_copy(PyObject *root)
{
    return new_set(deepcopy_trie(root));
}

Ref format_set(PyObject *root, PyObject *kwargs)
{
    Ref paths = collect_paths(root);
    if (!paths) {
        return error;
    }
    Ref items = Ref::steal(Py_BuildValue("[(sO[])]", "", paths.get()));
    if (!items) {
        return error;
    }
    Ref kw = Ref::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    if (!kw) {
        return error;
    }
    PyObject *label = interned<"label">();
    const int taken = holds(kw.get(), label);
    if (taken < 0) {
        return error;
    }
    if (taken) {
        return raise(PyExc_TypeError, "format() got multiple values for keyword argument 'label'");
    }
    if (PyDict_SetItem(kw.get(), label, interned<"KeyPathSet">()) < 0) {
        return error;
    }
    return formatting::call_kvlist_str(items.get(), kw.get());
}

[[nodiscard]] int tries_equal(PyObject *root, PyObject *other)
{
    if (!is_set(other)) {
        return 0;
    }
    SetObject *theirs = as_set(other);
    SharedBorrow borrow(theirs->flag, OnConflict::Panic);
    Ref their_root = Ref::borrow(theirs->root.get());
    Ref eq = Ref::steal(PyObject_RichCompare(root, their_root.get(), Py_EQ));
    if (!eq) {
        return -1;
    }
    return PyObject_IsTrue(eq.get());
}

// ---------------------------------------------------------------------------
// Arguments

// The other set, or NULL with the argument error set.
SetObject *other_arg(PyObject *value)
{
    if (!is_set(value)) [[unlikely]] {
        (void)raise_not_instance(value, "KeyPathSet");
        wrap_argument_error("other");
        return nullptr;
    }
    return as_set(value);
}

// A predicate's answer (1 / 0 / -1 with the error set) as a bool object.
Ref truth(int rc)
{
    if (rc < 0) {
        return error;
    }
    return new_bool(rc != 0);
}

// ---------------------------------------------------------------------------
// Python surface

const Signature NEW_SIG{"KeyPathSet", {opt("paths"), kwopt("include_intermediate")}};
const Signature ADD_SIG{"KeyPathSet.add", {arg("path"), opt("include_intermediate")}, {.method = true}};
const Signature REMOVE_SIG{"KeyPathSet.remove", {arg("path")}, {.method = true}};
const Signature HAS_PREFIX_SIG{"KeyPathSet.has_prefix", {arg("root_path")}, {.method = true}};
const Signature REBASE_SIG{"KeyPathSet.rebase", {arg("root_path")}, {.method = true}};
const Signature DEEPCOPY_SIG{"KeyPathSet.__deepcopy__", {arg("memo")}, {.method = true}};
const Signature UPDATE_SIG{"KeyPathSet.update", {arg("other")}, {.method = true}};
const Signature UNION_SIG{"KeyPathSet.union", {arg("other"), opt("copy")}, {.method = true}};
const Signature DIFFERENCE_UPDATE_SIG{"KeyPathSet.difference_update", {arg("other")}, {.method = true}};
const Signature DIFFERENCE_SIG{"KeyPathSet.difference", {arg("other")}, {.method = true}};
const Signature INTERSECTION_UPDATE_SIG{"KeyPathSet.intersection_update", {arg("other")}, {.method = true}};
const Signature INTERSECTION_SIG{"KeyPathSet.intersection", {arg("other")}, {.method = true}};
const Signature SUBTREE_SIG{"KeyPathSet.subtree", {arg("root_path")}, {.method = true}};
const Signature FORMAT_SIG{"KeyPathSet.format", {}, {.var_args = true, .var_kwargs = true, .method = true}};
const Signature FROM_VALUE_SIG{
    "KeyPathSet.from_value", {arg("value"), opt("include_intermediate")}, {.method = true}};

PyObject *kps_new(PyTypeObject *, PyObject *args, PyObject *kwargs)
{
    return guard([&] {
        Bound b;
        if (failed(NEW_SIG.bind_tuple(args, kwargs, b))) {
            return Ref(error);
        }
        Maybe<bool> intermediate = bool_arg("include_intermediate", b[1], false, ArgCause::Conversion);
        if (!intermediate) {
            return Ref(error);
        }
        return new_set(build_trie(b[0], *intermediate));
    });
}

void release_root(PyObject *self) noexcept
{
    as_set(self)->root.~Ref();
}

int kps_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_set(self)->root.get());
    return 0;
}

// The collector breaks a cycle through the set by letting go of the trie. A
// cleared set holds a fresh empty root instead of none, so code that still
// reaches it while the collector works (a weak reference's callback) finds an
// empty set; the old root may be a node another set shares, so it is dropped,
// never emptied. Without memory even for that, the set keeps its root: every
// cycle through the set runs through that dict, which the collector clears too.
int kps_tp_clear(PyObject *self)
{
    SetObject *set = as_set(self);
    PyObject *pending = PyErr_GetRaisedException();
    PyObject *fresh = PyDict_New();
    if (fresh != nullptr) {
        set->root = Ref::steal(fresh);
    }
    PyErr_SetRaisedException(pending);
    return 0;
}

Ref kps_add(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(ADD_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    Maybe<bool> intermediate = bool_arg("include_intermediate", b[1], false, ArgCause::Conversion);
    if (!intermediate) {
        return error;
    }
    return truth(add_to_trie(set->root.get(), b[0], *intermediate));
}

Ref kps_remove(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(REMOVE_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    return truth(remove_from_trie(set->root.get(), b[0]));
}

Ref kps_has_prefix(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(HAS_PREFIX_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    PathSteps path;
    if (failed(path.read(b[0]))) {
        return error;
    }
    Ref node;
    return truth(walk(set->root.get(), path, node));
}

Ref kps_rebase(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(REBASE_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    ExclusiveBorrow borrow(set->flag);
    if (borrow.failed() || failed(rebase_root(set, b[0]))) {
        return error;
    }
    return none();
}

Ref kps_clear(PyObject *self)
{
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    PyDict_Clear(set->root.get());
    return none();
}

Ref kps_copy(PyObject *self)
{
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    return deep_copy(set->root.get());
}

Ref kps_deepcopy(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(DEEPCOPY_SIG.bind(a, b))) {
        return error;
    }
    return kps_copy(self);
}

// The two-set operations, checked in order: binding, this set's access,
// `other`, `copy` (union only), then the other set's access.
template <class Op>
Ref with_other(PyObject *self, const Signature &sig, FastArgs a, Op &&op, bool takes_copy = false)
{
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    SetObject *other = other_arg(b[0]);
    if (other == nullptr) {
        return error;
    }
    if (takes_copy && failed(bool_arg("copy", b[1], false, ArgCause::Conversion))) {
        return error;
    }
    SharedBorrow other_borrow(other->flag, OnConflict::Panic);
    return op(set->root.get(), other->root.get());
}

Ref merged(PyObject *root, PyObject *other_root)
{
    Ref result = deep_copy(root);
    if (!result || failed(merge(as_set(result.get())->root.get(), other_root))) {
        return error;
    }
    return result;
}

Ref kps_update(PyObject *self, FastArgs a)
{
    return with_other(self, UPDATE_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        if (failed(merge(root, other))) {
            return error;
        }
        return none();
    });
}

Ref kps_union(PyObject *self, FastArgs a)
{
    // `copy` is bound and checked, but every union is a new set anyway.
    return with_other(self, UNION_SIG, a, merged, true);
}

Ref kps_difference_update(PyObject *self, FastArgs a)
{
    return with_other(self, DIFFERENCE_UPDATE_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        if (remove_same(root, other) < 0) {
            return error;
        }
        return none();
    });
}

Ref kps_difference(PyObject *self, FastArgs a)
{
    return with_other(self, DIFFERENCE_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        Ref result = deep_copy(root);
        if (!result || remove_same(as_set(result.get())->root.get(), other) < 0) {
            return error;
        }
        return result;
    });
}

Ref kps_intersection_update(PyObject *self, FastArgs a)
{
    return with_other(self, INTERSECTION_UPDATE_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        if (failed(remove_diff(root, other))) {
            return error;
        }
        return none();
    });
}

Ref kps_intersection(PyObject *self, FastArgs a)
{
    return with_other(self, INTERSECTION_SIG, a, [](PyObject *root, PyObject *other) -> Ref {
        Ref result = deep_copy(root);
        if (!result || failed(remove_diff(as_set(result.get())->root.get(), other))) {
            return error;
        }
        return result;
    });
}

Ref kps_subtree(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(SUBTREE_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    PathSteps path;
    if (failed(path.read(b[0]))) {
        return error;
    }
    if (path.size() == 0) {
        return Ref::borrow(self);
    }
    Ref node;
    const int found = walk(set->root.get(), path, node);
    if (found < 0) {
        return error;
    }
    if (!found) {
        return none();
    }
    // The view shares the node dict: changes through either set are seen by both.
    return new_set(std::move(node));
}

Ref kps_format(PyObject *self, FastArgs a)
{
    Bound b;
    if (failed(FORMAT_SIG.bind(a, b))) {
        return error;
    }
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    return format_set(set->root.get(), PyDict_GET_SIZE(b.varkw.get()) ? b.varkw.get() : nullptr);
}

Ref kps_from_value(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(FROM_VALUE_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> intermediate = bool_arg("include_intermediate", b[1], false, ArgCause::Conversion);
    if (!intermediate) {
        return error;
    }
    PyObject *value = b[0];
    if (is_set(value)) {
        return Ref::borrow(value);
    }
    if (PyList_Check(value) || PyTuple_Check(value) || PySet_Check(value)) {
        return new_set(build_trie(value, *intermediate));
    }
    Ref shown = repr_of(value);
    if (!shown) {
        return error;
    }
    return raise_format(PyExc_ValueError,
                        "Cannot convert %U to KeyPathSet. Expected a list, set, tuple, or KeyPathSet.",
                        shown.get());
}

Ref kps_trie(PyObject *self)
{
    SetObject *set = as_set(self);
    SharedBorrow borrow(set->flag);
    if (borrow.failed()) {
        return error;
    }
    return Ref::borrow(set->root.get());
}

int kps_contains(PyObject *self, PyObject *value)
{
    return guard_int([&]() -> int {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return -1;
        }
        PathSteps path;
        if (failed(path.read(value))) {
            return -1;
        }
        Ref node;
        const int found = walk(set->root.get(), path, node);
        if (found <= 0) {
            return found;
        }
        return holds_marker(node.get());
    });
}

int kps_bool(PyObject *self)
{
    return guard_int([&]() -> int {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return -1;
        }
        return PyDict_GET_SIZE(set->root.get()) > 0 ? 1 : 0;
    });
}

PyObject *kps_iter(PyObject *self)
{
    return guard([&] {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return Ref(error);
        }
        Ref paths = collect_paths(set->root.get());
        if (!paths) {
            return Ref(error);
        }
        return Ref::steal(PyObject_GetIter(paths.get()));
    });
}

PyObject *kps_repr(PyObject *self)
{
    return guard([&] {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return Ref(error);
        }
        return format_set(set->root.get(), nullptr);
    });
}

PyObject *kps_str(PyObject *self)
{
    return guard([&] {
        SetObject *set = as_set(self);
        SharedBorrow borrow(set->flag);
        if (borrow.failed()) {
            return Ref(error);
        }
        Ref kw = new_dict();
        if (!kw || PyDict_SetItem(kw.get(), interned<"compact">(), Py_False) < 0 ||
            PyDict_SetItem(kw.get(), interned<"verbose">(), Py_True) < 0) {
            return Ref(error);
        }
        return format_set(set->root.get(), kw.get());
    });
}

// `==`, `!=` and `+` answer NotImplemented instead of raising when this set is
// held exclusively (a rebase in progress).
template <class F>
Ref if_accessible(SetObject *set, F &&body)
{
    if (!set->flag.try_shared()) {
        return not_implemented();
    }
    struct Release {
        BorrowFlag &flag;
        ~Release() { flag.release_shared(); }
    } release{set->flag};
    return body();
}

PyObject *kps_richcompare(PyObject *self, PyObject *other, int op)
{
    if ((op != Py_EQ && op != Py_NE) || !is_set(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guard([&] {
        SetObject *set = as_set(self);
        return if_accessible(set, [&]() -> Ref {
            const int equal = tries_equal(set->root.get(), other);
            if (equal < 0) {
                return error;
            }
            return new_bool((equal != 0) == (op == Py_EQ));
        });
    });
}

PyObject *kps_add_op(PyObject *left, PyObject *right)
{
    if (!is_set(left) || !is_set(right)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guard([&] {
        SetObject *set = as_set(left);
        return if_accessible(set, [&] {
            SetObject *other = as_set(right);
            SharedBorrow other_borrow(other->flag, OnConflict::Panic);
            return merged(set->root.get(), other->root.get());
        });
    });
}

PyMethodDef METHODS[] = {
    method<kps_add>("add",
                    "add($self, path, include_intermediate=False)\n--\n\n"
                    "Add `path`; with `include_intermediate`, also mark the prefixes from which\n"
                    "a new branch starts. True when `path` was not yet a member."),
    method<kps_remove>("remove",
                       "remove($self, path)\n--\n\n"
                       "Remove `path` and prune emptied branches. True when it was a member."),
    method<kps_has_prefix>("has_prefix",
                           "has_prefix($self, root_path)\n--\n\n"
                           "Whether some member starts with (or equals) `root_path`."),
    method<kps_rebase>("rebase",
                       "rebase($self, root_path)\n--\n\n"
                       "Nest every member under `root_path`, in place."),
    method_noargs<kps_clear>("clear", "clear($self)\n--\n\nRemove every member, keeping the root dict."),
    method_noargs<kps_copy>("copy", "copy($self)\n--\n\nA deep copy of this set."),
    method_noargs<kps_copy>("__copy__", "__copy__($self)\n--\n\nA deep copy of this set."),
    method<kps_deepcopy>("__deepcopy__",
                         "__deepcopy__($self, memo)\n--\n\n"
                         "A deep copy of this set (`memo` is not used)."),
    method<kps_update>("update", "update($self, other)\n--\n\nAdd every member of `other`."),
    method<kps_union>("union",
                      "union($self, other, copy=False)\n--\n\n"
                      "A new set holding the members of both sets."),
    method<kps_difference_update>("difference_update",
                                  "difference_update($self, other)\n--\n\n"
                                  "Remove every member of `other`."),
    method<kps_difference>("difference",
                           "difference($self, other)\n--\n\n"
                           "A new set holding the members that `other` lacks."),
    method<kps_intersection_update>("intersection_update",
                                    "intersection_update($self, other)\n--\n\n"
                                    "Keep only the members that `other` also holds."),
    method<kps_intersection>("intersection",
                             "intersection($self, other)\n--\n\n"
                             "A new set holding the members of both sets."),
    method<kps_subtree>("subtree",
                        "subtree($self, root_path)\n--\n\n"
                        "The members below `root_path`, relative to it, as a set sharing this set's\n"
                        "nodes (`self` for the root path, None when nothing is there)."),
    method<kps_format>("format",
                       "format($self, *args, **kwargs)\n--\n\n"
                       "The text form, rendered by `kvlist_str` with the given options."),
    method<kps_from_value>("from_value",
                           "from_value($cls, value, include_intermediate=False)\n--\n\n"
                           "A KeyPathSet as is, or a new set built from a list, tuple or set of paths.",
                           METH_CLASS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSET[] = {
    {"_trie", shim_getter<kps_trie>, nullptr, "The root dict of the trie (not a copy).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char *>("KeyPathSet(paths=None, *, include_intermediate=False)\n--\n\n"
                                   "A trie-backed set of `KeyPath`s.")},
    {Py_tp_new, reinterpret_cast<void *>(kps_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(gc_dealloc<release_root>)},
    {Py_tp_traverse, reinterpret_cast<void *>(kps_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(kps_tp_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(kps_repr)},
    {Py_tp_str, reinterpret_cast<void *>(kps_str)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_richcompare, reinterpret_cast<void *>(kps_richcompare)},
    {Py_tp_iter, reinterpret_cast<void *>(kps_iter)},
    {Py_sq_contains, reinterpret_cast<void *>(kps_contains)},
    {Py_nb_bool, reinterpret_cast<void *>(kps_bool)},
    {Py_nb_add, reinterpret_cast<void *>(kps_add_op)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {
    .name = "norv_core._native.KeyPathSet",
    .basicsize = sizeof(SetObject),
    .itemsize = 0,
    // Final. Python code reaches the trie's dicts (`_trie`, `subtree`) and
    // can store the set itself in them, so the set takes part in cyclic GC.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = SLOTS,
};

Status init_class(PyTypeObject *tp)
{
    return set_class_attr(tp, "__norv_formattable__", Py_True);
}

}  // namespace

PyTypeObject *type()
{
    return TYPE.get(&SPEC, nullptr, init_class);
}

bool is_set(PyObject *obj) noexcept
{
    return Py_TYPE(obj) == TYPE.peek();
}

Ref prefixed_copy(PyObject *set_obj, Keys prefix)
{
    SetObject *set = as_set(set_obj);
    Ref copy;
    {
        SharedBorrow borrow(set->flag, OnConflict::Panic);
        copy = deepcopy_trie(set->root.get());
    }
    if (!copy) {
        return error;
    }
    return new_set(nest_under(std::move(copy), prefix));
}

}  // namespace norv::keypath_set
