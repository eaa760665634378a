#include "topology/keypath_set_trie.hpp"

#include <vector>

#include "core/once.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"

namespace norv::keypath_set::trie {

namespace {

ObjectCell LEAF;

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

// Entries are told apart from the marker by Python `==`, key on the left, so
// a key object equal to "$" is taken for the marker. Exact str and int cannot
// override `==` and are answered without a call.
Maybe<bool> is_marker(PyObject *key)
{
    if (PyUnicode_CheckExact(key)) {
        return PyUnicode_GET_LENGTH(key) == 1 && PyUnicode_READ_CHAR(key, 0) == '$';
    }
    if (PyLong_CheckExact(key)) {
        return false;
    }
    return eq_truth(key, marker());
}

// The value under a key that a membership test has just found. A key whose
// hash or equality is not stable can vanish in between; we cannot continue
// over such a key.
Ref lookup_held(PyObject *node, PyObject *key)
{
    Maybe<Ref> value = lookup(node, key);
    if (!value) {
        return error;
    }
    if (!*value) {
        panic("trie key found by a membership test is missing on lookup");
    }
    return std::move(*value);
}

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

// Whether the set changed.
Maybe<bool> add_steps(PyObject *root, const PathSteps &steps, bool include_intermediate,
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
            return error;
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
                return error;
            }
            if (!held) {
                trail->nodes.push_back(child.get());
                return true;
            }
            if (as_node(child.get()) == nullptr) {
                return error;
            }
        }
        // Past the first new node every node is new and empty.
        else if (!plainly_absent(node.get(), step.get())) {
            Maybe<Ref> found = lookup(node.get(), step.get());
            if (!found || (*found && as_node(found->get()) == nullptr)) {
                return error;
            }
            child = std::move(*found);
        }
        const bool leaf = !child && last;
        if (!child) {
            child = leaf ? new_leaf() : new_dict();
            if (!child || PyDict_SetItem(node.get(), step.get(), child.get()) < 0) {
                return error;
            }
            if (include_intermediate) {
                // Only added when absent: an existing entry keeps its place, and a
                // branch stored under a "$" key is not overwritten.
                if (PyDict_SetDefaultRef(node.get(), marker(), Py_True, nullptr) < 0) {
                    return error;
                }
                changed = true;
            }
        }
        if (trail != nullptr) {
            trail->nodes.push_back(child.get());
        }
        if (leaf) {
            return true;
        }
        node = std::move(child);
    }
    const int ended = PyDict_SetDefaultRef(node.get(), marker(), Py_True, nullptr);
    if (ended < 0) {
        return error;
    }
    return changed || !ended;
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

// What `node` holds under a key of another node: nothing, the end marker
// (a key equal to "$"), or a branch.
enum class Entry { Absent, Marker, Branch };

Maybe<Entry> entry_in(PyObject *node, PyObject *key)
{
    const Maybe<bool> held = holds(node, key);
    if (!held) {
        return error;
    }
    if (!*held) {
        return Entry::Absent;
    }
    const Maybe<bool> is_end = is_marker(key);
    if (!is_end) {
        return error;
    }
    return *is_end ? Entry::Marker : Entry::Branch;
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

Status collect(PyObject *node, std::vector<Key> &prefix, PyObject *out)
{
    RecursionGuard guard(" while listing a key path set");
    if (guard.failed()) {
        return error;
    }
    return dict_for_each(node, [&](PyObject *key, PyObject *value) -> Status {
        const Maybe<bool> is_end = is_marker(key);
        if (!is_end) {
            return error;
        }
        if (*is_end) {
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

}  // namespace

Status PathSteps::read_other(PyObject *value)
{
    if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (utf8 == nullptr) {
            return error;
        }
        const std::ptrdiff_t n =
            keypath::split_plain(std::string_view(utf8, static_cast<std::size_t>(size)), plain_.steps, CAP);
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

Maybe<bool> holds_marker(PyObject *node)
{
    return holds(node, marker());
}

Maybe<bool> add_to_trie(PyObject *root, PyObject *path_value, bool include_intermediate)
{
    PathSteps steps;
    if (failed(steps.read(path_value))) {
        return error;
    }
    return add_steps(root, steps, include_intermediate);
}

Maybe<bool> remove_from_trie(PyObject *root, PyObject *path_value)
{
    PathSteps path;
    if (failed(path.read(path_value))) {
        return error;
    }
    std::vector<Ref> nodes, steps;
    nodes.reserve(path.size() + 1);
    steps.reserve(path.size());
    nodes.push_back(Ref::borrow(root));
    for (std::size_t i = 0, n = path.size(); i < n; ++i) {
        Ref step = path.trie_key(i);
        if (!step) {
            return error;
        }
        Maybe<Ref> child = lookup(nodes.back().get(), step.get());
        if (!child) {
            return error;
        }
        if (!*child) {
            return false;
        }
        if (as_node(child->get()) == nullptr) {
            return error;
        }
        nodes.push_back(std::move(*child));
        steps.push_back(std::move(step));
    }
    const Maybe<bool> ended = holds_marker(nodes.back().get());
    if (!ended || !*ended) {
        return ended;
    }
    if (PyDict_DelItem(nodes.back().get(), marker()) < 0) {
        return error;
    }
    // Prune emptied nodes bottom-up; the root itself always stays.
    for (std::size_t i = steps.size(); i-- > 0;) {
        PyObject *parent = nodes[i].get();
        Maybe<Ref> child = lookup(parent, steps[i].get());
        if (!child) {
            return error;
        }
        PyObject *node = child->get();
        if (node != nullptr && PyDict_Check(node) && PyDict_GET_SIZE(node) == 0) {
            if (PyDict_DelItem(parent, steps[i].get()) < 0) {
                return error;
            }
        }
    }
    return true;
}

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
        const Maybe<bool> held = holds(target, key);
        if (!held) {
            return error;
        }
        const Maybe<bool> is_end = is_marker(key);
        if (!is_end) {
            return error;
        }
        if (*held) {
            Ref mine = lookup_held(target, key);
            if (!mine) {
                return error;
            }
            if (!*is_end) {
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

Maybe<bool> remove_same(PyObject *target, PyObject *other)
{
    RecursionGuard guard(" while subtracting key path sets");
    if (guard.failed()) {
        return error;
    }
    std::vector<Ref> doomed;
    Status walked = dict_for_each(target, [&](PyObject *key, PyObject *value) -> Status {
        Maybe<Entry> theirs_at = entry_in(other, key);
        if (!theirs_at) {
            return error;
        }
        if (*theirs_at != Entry::Branch) {
            if (*theirs_at == Entry::Marker) {
                doomed.push_back(Ref::borrow(key));
            }
            return Status::ok;
        }
        Ref theirs = lookup_held(other, key);
        if (!theirs || as_node(theirs.get()) == nullptr || as_node(value) == nullptr) {
            return error;
        }
        const Maybe<bool> emptied = remove_same(value, theirs.get());
        if (!emptied) {
            return error;
        }
        if (*emptied) {
            doomed.push_back(Ref::borrow(key));
        }
        return Status::ok;
    });
    if (failed(walked) || failed(delete_all(target, doomed))) {
        return error;
    }
    return PyDict_GET_SIZE(target) == 0;
}

Status remove_diff(PyObject *target, PyObject *other)
{
    RecursionGuard guard(" while intersecting key path sets");
    if (guard.failed()) {
        return error;
    }
    std::vector<Ref> doomed;
    Status walked = dict_for_each(target, [&](PyObject *key, PyObject *value) -> Status {
        Maybe<Entry> theirs_at = entry_in(other, key);
        if (!theirs_at) {
            return error;
        }
        if (*theirs_at != Entry::Branch) {
            if (*theirs_at == Entry::Absent) {
                doomed.push_back(Ref::borrow(key));
            }
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
    const Maybe<bool> given = truth(paths);
    if (!given) {
        return error;
    }
    if (!*given) {
        return root;
    }
    // An exact list or tuple is read by index, as its iterator reads it (a
    // list's size is read again at every step).
    const bool indexed = PyList_CheckExact(paths) || PyTuple_CheckExact(paths);
    Ref it;
    if (!indexed) {
        it = Ref::steal(PyObject_GetIter(paths));
        if (!it) {
            return error;
        }
    }
    Py_ssize_t index = 0;
    auto next = [&]() -> Ref {
        if (!indexed) {
            return Ref::steal(PyIter_Next(it.get()));
        }
        if (index >= PySequence_Fast_GET_SIZE(paths)) {
            return Ref();
        }
        return Ref::borrow(PySequence_Fast_GET_ITEM(paths, index++));
    };
    // Two path readers in turn: the trail compares each path with the one
    // before, whose item is kept alive for that.
    PathSteps steps[2];
    Ref items[2];
    int turn = 0;
    Trail trail(root.get(), paths);
    while (Ref item = next()) {
        PathSteps &current = steps[turn];
        if (failed(current.read(item.get())) ||
            failed(add_steps(root.get(), current, include_intermediate, &trail))) {
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

}  // namespace norv::keypath_set::trie
