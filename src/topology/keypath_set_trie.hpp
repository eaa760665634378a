// The trie of a KeyPathSet and the algorithms over it. A node is a dict
// (dict subclasses count) mapping the trie key of one step to the child node;
// the entry "$" -> True marks the path from the root to that node as a
// member. Python code can put anything into the trie, so every operation goes
// through the dict protocol and re-checks what it finds; every walk over the
// trie's shape recurses under a RecursionGuard.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "core/args.hpp"
#include "core/error.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"
#include "topology/keypath.hpp"
#include "topology/keypath_set_keys.hpp"

namespace norv::keypath_set::trie {

using keypath::Keys;

// The end marker "$", one object for the whole process.
inline PyObject *marker()
{
    return interned<"$">();
}

// Python code can put anything into the trie, so every descent checks that
// it reaches a node (dict subclasses count). `value`, or NULL with the error
// set.
[[nodiscard]] inline PyObject *as_node(PyObject *value)
{
    if (!PyDict_Check(value)) [[unlikely]] {
        (void)raise_not_instance(value, "dict");
        return nullptr;
    }
    return value;
}

inline Maybe<bool> holds(PyObject *node, PyObject *key)
{
    return predicate(PyDict_Contains(node, key));
}

// Whether `node` holds the end marker.
Maybe<bool> holds_marker(PyObject *node);

// The value under `key`, an empty Ref when absent.
inline Maybe<Ref> lookup(PyObject *node, PyObject *key)
{
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(node, key, &value) < 0) {
        return error;
    }
    return Ref::steal(value);
}

inline Ref new_dict()
{
    return Ref::steal(PyDict_New());
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
            objects_ = keypath::holds_objects(value);
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
        return !path_ && !objects_;
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
            while (i < most && Key::plain_eq(keys_[i], other.keys_[i])) {
                ++i;
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
            return trie::trie_key(keys_[i]);
        }
        const keypath::PlainStep &step = plain_.steps[i];
        return step.is_index ? new_int(step.index) : text_key(step.text);
    }

private:
    [[nodiscard, gnu::noinline]] Status read_other(PyObject *value);

    static constexpr std::size_t CAP = 24;
    Ref path_;  // a path made from `value`, when it is not one
    Keys keys_;
    bool objects_ = false;  // a path's key holds an object
    std::size_t size_ = 0;
    bool plain_text_ = false;
    union Plain {
        Plain() noexcept {}  // filled by `split_plain`, read only up to `size_`
        keypath::PlainStep steps[CAP];
    } plain_;
};

// The node that `steps` lead to from `root`, an empty Ref when one is absent.
[[gnu::always_inline]] inline Maybe<Ref> walk(PyObject *root, const PathSteps &steps)
{
    Ref node = Ref::borrow(root);
    for (std::size_t i = 0, n = steps.size(); i < n; ++i) {
        Ref step = steps.trie_key(i);
        if (!step) {
            return error;
        }
        Maybe<Ref> child = lookup(node.get(), step.get());
        if (!child || !*child) {
            return child;
        }
        if (as_node(child->get()) == nullptr) {
            return error;
        }
        node = std::move(*child);
    }
    return node;
}

// Adds a path; whether the set changed.
Maybe<bool> add_to_trie(PyObject *root, PyObject *path_value, bool include_intermediate);
// Removes a path and prunes emptied branches; whether it was a member.
Maybe<bool> remove_from_trie(PyObject *root, PyObject *path_value);
// `node` nested under `keys`: one new dict per key, no end markers.
Ref nest_under(Ref node, Keys keys);
Ref deepcopy_trie(PyObject *node);
// Adds every path of `source` to `target`.
Status merge(PyObject *target, PyObject *source);
// Removes from `target` every path of `other`; whether `target` ends empty.
Maybe<bool> remove_same(PyObject *target, PyObject *other);
// Keeps in `target` only the paths that `other` holds.
Status remove_diff(PyObject *target, PyObject *other);
// The members, as a list of KeyPaths.
Ref collect_paths(PyObject *root);
// A new root holding `paths` (None, or an iterable of path values).
Ref build_trie(PyObject *paths, bool include_intermediate);

}  // namespace norv::keypath_set::trie
