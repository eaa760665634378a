// Adoption of the filled children before the field dict is stored. Objects
// of classes that keep the native tree methods are re-pathed and re-parented
// natively; anything else goes through the containers' shared adoption.
#include "core/borrow.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "containers/adopt.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/construct.hpp"
#include "objects/ctor_meta.hpp"
#include "objects/sym_object.hpp"
#include "objects/object_topology.hpp"
#include "topology/keypath.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic::object {

namespace {

// Whether a child's path (nullptr: none) is `expected`: key by key for two
// native paths, else by Python's `==`.
Maybe<bool> same_path(PyObject *expected, PyObject *path)
{
    if (path == nullptr) {
        return false;
    }
    Maybe<std::optional<bool>> eq = keypath::keypaths_eq(expected, path);
    if (!eq) {
        return error;
    }
    return *eq ? **eq : eq_truth(expected, path);
}

// Whether the child object already sits where it is being put: parented to
// `self` at exactly `path`.
Maybe<bool> in_place(PyObject *self, PyObject *child, PyObject *path, bool &has_parent)
{
    Ref parent, current;
    {
        ObjectFields &f = SymObject::fields(child);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        parent = Ref::borrow(f.node.parent.get());
        current = Ref::borrow(f.node.path.get());
    }
    has_parent = bool(parent);
    return parent.get() == self ? same_path(path, current.get()) : Maybe<bool>(false);
}

// A child object taken over natively: itself when free (the first time this
// construction meets it) or already in place, else its clone. `seen` holds
// the ids of the free children taken.
Ref adopt_object(PyObject *self, PyObject *key, PyObject *value, PyObject *parent_path, PyObject *seen,
                 bool sym)
{
    bool child_sym = false, native = false;
    TopoFacts facts;
    {
        Ref meta = SymObject::ctor_meta(reinterpret_cast<PyObject *>(Py_TYPE(value)));
        if (!meta) {
            return error;
        }
        MetaRead m(std::move(meta));
        child_sym = m->sym;
        native = m->topology_methods_native;
        facts = m->topo;
    }
    if (!child_sym) {
        return Ref::borrow(value);
    }
    if (!native) {
        return adopt::relocate_if_symbolic(key, value, sym, parent_path, self, self, seen);
    }
    Ref path = keypath::child_key_path(key, parent_path);
    if (!path) {
        return error;
    }
    bool has_parent = false;
    const Maybe<bool> keep = in_place(self, value, path.get(), has_parent);
    if (!keep) {
        return error;
    }
    bool clone = !*keep;
    if (!has_parent) {
        // A free child taken itself must not be the object or one of its ancestors.
        Ref id = Ref::steal(PyLong_FromVoidPtr(value));
        const Maybe<bool> met = id ? predicate(PySet_Contains(seen, id.get())) : Maybe<bool>(error);
        if (!met || (!*met && (failed(adopt::guard_no_cycle(self, value, path.get())) ||
                               PySet_Add(seen, id.get()) < 0))) {
            return error;
        }
        clone = *met;
    }
    Ref target = clone ? call_method(value, interned<"sym_clone">()) : Ref::borrow(value);
    const std::optional<TopoFacts> known(facts);
    if (!target || failed(topology::topo_setpath_impl(target.get(), path.get(), known)) ||
        failed(topology::topo_setparent_impl(target.get(), self, known))) {
        return error;
    }
    return target;
}

}  // namespace

Status adopt_children_inline(PyObject *self, PyObject *dict, bool sym)
{
    const bridge::ObjectBridge &br = bridge::get();
    Ref parent_path;
    {
        ObjectFields &f = SymObject::fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        parent_path = Ref::borrow(f.node.path ? f.node.path.get() : br.empty_key_path);
    }
    Ref keys = Ref::steal(PyDict_Keys(dict));
    if (!keys) {
        return error;
    }
    // Made when a child first needs it: nothing else sees it.
    Ref seen;
    auto seen_set = [&]() -> PyObject * {
        if (!seen) {
            seen = Ref::steal(PySet_New(nullptr));
        }
        return seen.get();
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject *key = PyList_GET_ITEM(keys.get(), i);
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(dict, key, &found) < 0) {
            return error;
        }
        if (found == nullptr) {
            panic("adoption: a filled field vanished from its dict");
        }
        Ref value = Ref::steal(found);
        // A scalar is no child; the shared adoption would hand it back as it is.
        if (typing::funnel::is_scalar_value(value.get())) {
            continue;
        }
        Ref result;
        if (SymObject::check(value.get())) {
            PyObject *s = seen_set();
            result = s ? adopt_object(self, key, value.get(), parent_path.get(), s, sym) : Ref();
        }
        else {
            if (std::optional<adopt::ChildState> state = adopt::native_child_state(value.get());
                state && state->parent.get() == self) {
                // Left as it is only where it already sits: the same container
                // given for a second field is cloned, not shared by two keys.
                Ref expected = keypath::child_key_path(key, parent_path.get());
                const Maybe<bool> placed =
                    expected ? same_path(expected.get(), state->path.get()) : Maybe<bool>(error);
                if (!placed) {
                    return error;
                }
                if (*placed) {
                    continue;
                }
            }
            PyObject *s = seen_set();
            result = s ? adopt::relocate_if_symbolic(key, value.get(), sym, parent_path.get(), self, self, s)
                       : Ref();
        }
        // Storing the very value again would change nothing anyone can see.
        if (!result || (result.get() != value.get() && PyDict_SetItem(dict, key, result.get()) < 0)) {
            return error;
        }
    }
    return Status::ok;
}

}  // namespace norv::symbolic::object
