// KeyPathSet: a set of key paths stored as a trie of real Python dicts.
//
// A node is a dict: each child entry maps the key object of one path step to
// the child node, and the entry "$" -> True marks the path from the root to
// that node as a member. The root dict is handed to Python as `_trie` and
// `subtree` returns sets rooted at inner nodes of another set, so the trie is
// never mirrored natively: every operation goes through the dict protocol and
// sees whatever Python code put there (non-dict nodes, cycles, huge depth).
#pragma once

#include <Python.h>

#include "core/ref.hpp"
#include "topology/keypath.hpp"

namespace norv::keypath_set {

// The class (created on first use, kept for the life of the process).
PyTypeObject *type();

// Exact type test (the class is not subclassable).
bool is_set(PyObject *obj) noexcept;

// `prefix + s`: a new set holding the prefix followed by every member of
// `set` (a deep copy of its trie nested under the prefix keys). The set is
// read under a shared access.
Ref prefixed_copy(PyObject *set, keypath::Keys prefix);

}  // namespace norv::keypath_set
