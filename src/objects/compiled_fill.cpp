// The compiled fill: each init field's keyword value (or a copy of its
// default) offered to the funnel's pure tiers, containers built straight into
// the host's symbolic classes with the object as parent. All or nothing: the
// first value the tiers leave makes the whole fill decline, and the nodes are
// built only once no field can decline any more.
#include <array>
#include <vector>

#include "core/names.hpp"
#include "containers/dict.hpp"
#include "containers/list.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/construct.hpp"
#include "objects/ctor_meta.hpp"
#include "containers/adopt.hpp"
#include "objects/sym_object.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic::object {

namespace {

namespace fn = typing::funnel;

// A value accepted for a field, stored once every field is accepted. A
// container the funnel proved (`wrap`) becomes a symbolic node only then: a
// node built earlier would already have made the container's members its
// children when a later field declines, and a decline leaves no trace. The
// fields after the first such container wait with it, so that every value
// is stored once and the dict keeps field order.
struct Held {
    const CompiledField *field = nullptr;
    Ref value;
    bool wrap = false;
};

// The held values in field order; a few need no allocation.
class HeldValues {
public:
    bool any() const noexcept { return n_ > 0; }

    void add(const CompiledField &c, Ref value, bool wrap)
    {
        Held h{&c, std::move(value), wrap};
        if (n_ < small_.size()) {
            small_[n_] = std::move(h);
        }
        else {
            big_.push_back(std::move(h));
        }
        ++n_;
    }

    std::size_t size() const noexcept { return n_; }

    const Held &operator[](std::size_t i) const noexcept
    {
        return i < small_.size() ? small_[i] : big_[i - small_.size()];
    }

private:
    std::array<Held, 4> small_{};
    std::vector<Held> big_;
    std::size_t n_ = 0;
};

// A node takes its members before its parent, so the object's tree is walked
// for a cycle once the node holds them, as adopting the node would. The walk
// can leave only an object that has a parent, or one its construction
// detached from a parent.
Status guard_node(PyObject *self, PyObject *node, PyObject *path)
{
    bool parented = false;
    {
        ObjectFields &f = SymObject::fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        parented = bool(f.node.parent);
    }
    return parented || adopt::FormerParent::of(self) != nullptr ? adopt::guard_no_cycle(self, node, path)
                                                                : Status::ok;
}

// Stores the held values in `dict`, a held container as a node of the host's
// class for it with the object as its parent.
Status store_held(PyObject *self, const HeldValues &held, const fn::FunnelCtx &ctx, bool allow_partial,
                  PyObject *dict)
{
    PyObject *dict_type = nullptr, *list_type = nullptr;
    for (std::size_t i = 0; i < held.size(); ++i) {
        const Held &h = held[i];
        const CompiledField &c = *h.field;
        Ref value = Ref::borrow(h.value.get());
        if (h.wrap) {
            // Installed: the fill declined where they were not.
            if (dict_type == nullptr) {
                (void)typing::bridge::symbolic_container_types(&dict_type, &list_type);
            }
            Ref path = keypath::child_key_path(c.key.get(), ctx.root_path);
            if (!path) {
                return error;
            }
            PyObject *spec = c.meta->value_spec.get();
            PyObject *w = h.value.get();
            value = PyDict_CheckExact(w)
                        ? SymDict::build_wrap_node(dict_type, w, spec, allow_partial, path.get(), self)
                        : SymList::build_wrap_node(list_type, w, spec, allow_partial, path.get(), self);
            if (!value || failed(guard_node(self, value.get(), path.get()))) {
                return error;
            }
        }
        if (PyDict_SetItem(dict, c.key.get(), value.get()) < 0) {
            return error;
        }
    }
    return Status::ok;
}

// One value of one field: true when stored, false when the fill declines.
Maybe<bool> fill_value(const CompiledField &c, Ref value, const fn::FunnelCtx &ctx, Filled &out,
                       HeldValues &held)
{
    const typing::FieldMeta &meta = *c.meta;
    Maybe<fn::Accept> verdict = fn::funnel_accept(value.get(), meta, c.key.get(), ctx);
    if (!verdict) {
        return error;
    }
    Ref stored;
    bool wrap = false;
    switch (verdict->kind) {
        case fn::AcceptKind::Verbatim:
        case fn::AcceptKind::Produced:
            stored = verdict->kind == fn::AcceptKind::Verbatim ? std::move(value) : std::move(verdict->value);
            if (!fn::is_scalar_value(stored.get())) {
                out.all_plain = out.all_scalar = false;
                out.adopt = true;
            }
            break;
        case fn::AcceptKind::Wrap: {
            stored = std::move(verdict->value);
            const bool tuple = PyTuple_CheckExact(stored.get());
            if (meta.scalar_fill && tuple) {
                break;
            }
            out.all_plain = false;
            out.all_scalar = out.all_scalar && meta.scalar_fill;
            if (tuple || !meta.enable_wrap) {
                out.adopt = out.adopt ||
                            !(tuple || PyList_CheckExact(stored.get()) || PyDict_CheckExact(stored.get()));
                break;
            }
            PyObject *dict_type = nullptr, *list_type = nullptr;
            if (!typing::bridge::symbolic_container_types(&dict_type, &list_type)) {
                return false;
            }
            if (!PyDict_CheckExact(stored.get()) && !PyList_Check(stored.get())) {
                return raise_not_instance(stored.get(), "list");
            }
            wrap = true;
            break;
        }
        case fn::AcceptKind::Deferred:
            return false;
    }
    if (wrap || held.any()) {
        held.add(c, std::move(stored), wrap);
        return true;
    }
    if (PyDict_SetItem(out.dict.get(), c.key.get(), stored.get()) < 0) {
        return error;
    }
    return true;
}

}  // namespace

Maybe<std::optional<Filled>> try_compiled_fill(PyObject *self, const CtorMeta &meta, PyObject *kwargs,
                                               PyObject *root_path, bool allow_partial)
{
    using Answer = std::optional<Filled>;
    // Sized once: the fill stores exactly one value per compiled field.
    Filled out{Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(meta.refs.compiled_fields->size())))};
    if (!out.dict) {
        return error;
    }
    Ref missing;
    const fn::FunnelCtx ctx{root_path, false, meta.has_attrs_builder};
    HeldValues held;
    for (const CompiledField &c : *meta.refs.compiled_fields) {
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(kwargs, c.key.get(), &found) < 0) {
            return error;
        }
        Ref value = Ref::steal(found);
        if (!value) {
            if (!c.default_value) {
                if (!missing) {
                    missing = Ref::steal(PyList_New(0));
                }
                Ref name = missing ? str_of(c.key.get()) : Ref();
                if (!name || PyList_Append(missing.get(), name.get()) < 0) {
                    return error;
                }
                continue;
            }
            if (c.default_is_container) {
                return Answer();
            }
            value = Ref::steal(PyObject_CallOneArg(bridge::get().copy_default, c.default_value.get()));
            if (!value) {
                return error;
            }
        }
        const Maybe<bool> stored = fill_value(c, std::move(value), ctx, out, held);
        if (!stored) {
            return error;
        }
        if (!*stored) {
            return Answer();
        }
    }
    if (missing) {
        return construct::missing_args_error(reinterpret_cast<PyObject *>(Py_TYPE(self)), missing.get());
    }
    if (held.any() && failed(store_held(self, held, ctx, allow_partial, out.dict.get()))) {
        return error;
    }
    return Answer(std::move(out));
}

}  // namespace norv::symbolic::object
