#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field_meta.hpp"
#include "typing/value_specs/base.hpp"
#include "typing/value_specs/containers.hpp"

namespace norv::typing::funnel {

Maybe<Accept> funnel_leaf(PyObject *value, const FieldMeta &meta)
{
    if (meta.accept_any || meta.is_exact(Py_TYPE(value))) {
        return Accept{AcceptKind::Verbatim, Ref()};
    }
    if (meta.widen_to_float && Py_TYPE(value) == &PyLong_Type) {
        Ref f = Ref::steal(PyNumber_Float(value));
        if (!f) {
            return error;
        }
        return Accept{AcceptKind::Produced, std::move(f)};
    }
    return Accept{};
}

namespace {

// `spec._validate(path, value)`; the path is built only now.
Status validate_with(PyObject *spec, PyObject *value, PyObject *key, const FunnelCtx &ctx)
{
    Ref path = ctx.no_path ? none() : keypath::child_key_path(key, ctx.root_path);
    if (!path) {
        return error;
    }
    Ref name = new_str("_validate");
    if (!name) {
        return error;
    }
    PyObject *args[] = {spec, path.get(), value};
    Ref r =
        Ref::steal(PyObject_VectorcallMethod(name.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return r ? Status::ok : Status::error;
}

}  // namespace

Maybe<Ref> object_accept(PyObject *cls, PyObject *value, bool allow_partial)
{
    if (reinterpret_cast<PyObject *>(Py_TYPE(value)) != cls) {
        return Ref();
    }
    if (allow_partial) {
        return Ref::borrow(value);
    }
    const Maybe<bool> maybe = bridge::is_maybe_partial(cls);
    if (!maybe) {
        return error;
    }
    if (!*maybe) {
        return Ref::borrow(value);
    }
    const Maybe<bool> partial = bridge::read_sym_partial(value);
    if (!partial) {
        return error;
    }
    return *partial ? Ref() : Ref::borrow(value);
}

Maybe<Accept> funnel_accept(PyObject *value, const FieldMeta &meta, PyObject *key, const FunnelCtx &ctx)
{
    Maybe<Accept> leaf = funnel_leaf(value, meta);
    if (!leaf) {
        return error;
    }
    switch (leaf->kind) {
        case AcceptKind::Produced: {
            if (PyObject *spec = meta.checked_spec(Py_TYPE(leaf->value.get()))) {
                Ref hold = Ref::borrow(spec);
                if (failed(validate_with(spec, leaf->value.get(), key, ctx))) {
                    return error;
                }
            }
            return leaf;
        }
        case AcceptKind::Verbatim:
        case AcceptKind::Wrap:
            return leaf;
        case AcceptKind::Deferred:
            break;
    }
    if (PyObject *spec = meta.checked_spec(Py_TYPE(value))) {
        Ref hold = Ref::borrow(spec);
        if (failed(validate_with(spec, value, key, ctx))) {
            return error;
        }
        return Accept{AcceptKind::Verbatim, Ref()};
    }
    for (const Ref &cls : meta.subclass) {
        Maybe<Ref> got = object_accept(cls.get(), value, ctx.allow_partial);
        if (!got) {
            return error;
        }
        if (*got) {
            return Accept{AcceptKind::Verbatim, Ref()};
        }
    }
    // A container field: the engine's fast path, with no nested containers
    // taken as they are. The caller wraps what it proves.
    if (meta.wrap) {
        Ref spec = Ref::borrow(meta.value_spec.get());
        if (base::is_spec(spec.get())) {
            base::NativeRead read(spec.get());
            if (read.failed()) {
                return error;
            }
            const Tag tag = read.engine().tag();
            if (tag == Tag::List || tag == Tag::Tuple || tag == Tag::Dict) {
                Maybe<Ref> got = tag == Tag::Dict
                                     ? containers::dict_fast_path(read.engine(), value, nullptr, false)
                                     : containers::container_fast_path(read.engine(), value, nullptr, false);
                if (!got) {
                    return error;
                }
                if (*got) {
                    return Accept{AcceptKind::Wrap, std::move(*got)};
                }
            }
        }
    }
    return Accept{};
}

}  // namespace norv::typing::funnel
