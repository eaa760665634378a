// The compiled fill: each init field's keyword value (or a copy of its
// default) offered to the funnel's pure tiers, containers built straight into
// the host's symbolic classes with the object as parent. All or nothing: the
// first value the tiers leave makes the whole fill decline.
#include "core/names.hpp"
#include "containers/dict.hpp"
#include "containers/list.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/construct.hpp"
#include "objects/ctor_meta.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic::object {

namespace {

namespace fn = typing::funnel;

// A symbolic node around the container `w` the funnel proved, the object its
// parent; nothing when the host's container classes are not installed.
Maybe<Ref> wrap_node(PyObject *self, const CompiledField &c, PyObject *w, const fn::FunnelCtx &ctx,
                     bool allow_partial)
{
    PyObject *dict_type = nullptr, *list_type = nullptr;
    if (!typing::bridge::symbolic_container_types(&dict_type, &list_type)) {
        return Ref();
    }
    Ref path = keypath::child_key_path(c.key.get(), ctx.root_path);
    if (!path) {
        return error;
    }
    PyObject *spec = c.meta->value_spec.get();
    if (PyDict_CheckExact(w)) {
        return some(SymDict::build_wrap_node(dict_type, w, spec, allow_partial, path.get(), self));
    }
    if (PyList_Check(w)) {
        return some(SymList::build_wrap_node(list_type, w, spec, allow_partial, path.get(), self));
    }
    return raise_not_instance(w, "list");
}

// One value of one field: true when stored, false when the fill declines.
Maybe<bool> fill_value(PyObject *self, const CompiledField &c, Ref value, const fn::FunnelCtx &ctx,
                       bool allow_partial, Filled &out)
{
    const typing::FieldMeta &meta = *c.meta;
    Maybe<fn::Accept> verdict = fn::funnel_accept(value.get(), meta, c.key.get(), ctx);
    if (!verdict) {
        return error;
    }
    Ref stored;
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
            Maybe<Ref> node = wrap_node(self, c, stored.get(), ctx, allow_partial);
            if (!node) {
                return error;
            }
            if (!*node) {
                return false;
            }
            stored = std::move(*node);
            break;
        }
        case fn::AcceptKind::Deferred:
            return false;
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
        const Maybe<bool> stored = fill_value(self, c, std::move(value), ctx, allow_partial, out);
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
    return Answer(std::move(out));
}

}  // namespace norv::symbolic::object
