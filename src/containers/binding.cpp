#include "containers/binding.hpp"

#include <utility>

#include "core/none.hpp"
#include "core/args.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/write.hpp"
#include "typing/value_specs/base.hpp"

namespace norv::symbolic::binding {

namespace {

const Signature USE_VALUE_SPEC_SIG{
    "use_value_spec", {arg("value_spec"), opt("allow_partial")}, {.method = true}};
const Signature CUSTOM_APPLY_SIG{
    "custom_apply",
    {arg("path"), arg("value_spec"), arg("allow_partial"), opt("child_transform")},
    {.method = true}};

// ValueError whose one argument is what the host's decorator returned,
// whatever its type.
Error raise_incompatible(const Kind &kind, PyObject *bound, PyObject *offered, PyObject *path)
{
    Ref text = Ref::steal(PyUnicode_FromFormat(
        "%s (spec=%R) cannot be assigned to an incompatible field (spec=%R).", kind.title, bound, offered));
    Ref message = text ? write::decorate(text.get(), path) : Ref();
    Ref exc = message ? Ref::steal(PyObject_CallOneArg(PyExc_ValueError, message.get())) : Ref();
    if (!exc) {
        return error;
    }
    PyErr_SetRaisedException(exc.release());
    return error;
}

}  // namespace

void store_spec(ContainerFields &f, PyObject *spec)
{
    Ref displaced = Ref::borrow(null_if_none(spec));
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(displaced, f.value_spec);
    }
}

Maybe<bool> is_spec_of(const Kind &kind, PyObject *spec)
{
    PyTypeObject *cls = kind.spec_class();
    if (cls == nullptr) {
        return error;
    }
    return PyObject_TypeCheck(spec, cls) != 0;
}

Ref use_value_spec(PyObject *self, ContainerFields &f, PyObject *value_spec, bool allow_partial,
                   const Kind &kind)
{
    if (value_spec == Py_None) {
        Ref displaced;
        {
            ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
            displaced = std::move(f.value_spec);
            f.node.accessor_writable = true;
        }
        return Ref::borrow(self);
    }
    Maybe<bool> own = is_spec_of(kind, value_spec);
    if (!own) {
        return error;
    }
    if (!*own) {
        return write::raise_decorated(
            f, PyExc_ValueError,
            Ref::steal(
                PyUnicode_FromFormat("Value spec for %s must be a `nv.typing.%s` object. Encountered: %R",
                                     kind.lower, kind.title, value_spec)));
    }
    if (Ref bound = container::bound_spec(f)) {
        Maybe<bool> differ = compare_truth(bound.get(), value_spec, Py_NE);
        if (!differ) {
            return error;
        }
        if (*differ) {
            return write::raise_decorated(
                f, PyExc_RuntimeError,
                Ref::steal(
                    PyUnicode_FromFormat("%s is already bound with a different value spec: %S. New value "
                                         "spec: %S.",
                                         kind.title, bound.get(), value_spec)));
        }
    }
    bool wrap;
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        f.node.allow_partial = allow_partial;
        wrap = f.wrap;
    }
    // The transform follows the node's own flag; `apply` is told the
    // effective one.
    Ref transform = none();
    if (wrap) {
        PyObject *arg = py_bool(allow_partial);
        transform = Ref::steal(PyObject_Vectorcall(bridge::get().symbolic_transform_fn, &arg, 1, nullptr));
        if (!transform) {
            return error;
        }
    }
    const bool accepts = container::accepts_partial(f);
    Ref path = container::path_arg(f);
    Ref applied;
    if (typing::base::is_final_native(value_spec)) {
        // Its Python `apply` is this very call.
        applied = typing::base::apply_native(value_spec, self, accepts, null_if_none(transform.get()),
                                             null_if_none(path.get()), true);
    }
    else {
        PyObject *args[] = {value_spec, self, py_bool(accepts), transform.get(), path.get()};
        applied = Ref::steal(
            PyObject_VectorcallMethod(interned<"apply">(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      kwnames<"allow_partial", "child_transform", "root_path">()));
    }
    if (!applied) {
        return error;
    }
    return Ref::borrow(self);
}

Ref use_value_spec_face(PyObject *self, ContainerFields &f, FastArgs a, const Kind &kind)
{
    Bound b;
    if (failed(USE_VALUE_SPEC_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> allow_partial = bool_arg("allow_partial", b[1], false, ArgCause::Conversion);
    if (!allow_partial) {
        return error;
    }
    // The spec binds itself and the flag is stored before the members are
    // checked: a refusal puts both back (members already converted stay).
    Ref spec_before;
    bool partial_before;
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        spec_before = Ref::borrow(f.value_spec.get());
        partial_before = f.node.allow_partial;
    }
    Ref bound = use_value_spec(self, f, b[0], *allow_partial, kind);
    if (!bound) {
        (void)cleanup_keeping_error([&] {
            {
                ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
                std::swap(spec_before, f.value_spec);
                f.node.allow_partial = partial_before;
            }
            // The spec bound meanwhile goes once the access has ended.
            spec_before.reset();
            return Status::ok;
        });
    }
    return bound;
}

Ref custom_apply_face(PyObject *self, ContainerFields &f, FastArgs a, const Kind &kind)
{
    Bound b;
    if (failed(CUSTOM_APPLY_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> allow_partial = bool_arg("allow_partial", b[2], false, ArgCause::Conversion);
    if (!allow_partial) {
        return error;
    }
    PyObject *path = b[0], *value_spec = b[1];
    bool proceed = true;
    if (Ref bound = container::bound_spec(f)) {
        if (value_spec != Py_None) {
            Ref ok = call_method(value_spec, interned<"is_compatible">(), bound.get());
            if (!ok) {
                return error;
            }
            if (!PyBool_Check(ok.get())) {
                return raise_not_instance(ok.get(), "bool");
            }
            if (ok.get() == Py_False) {
                return raise_incompatible(kind, bound.get(), value_spec, path);
            }
        }
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        proceed = f.node.allow_partial != *allow_partial;
        f.node.allow_partial = *allow_partial;
    }
    else {
        Maybe<bool> own = is_spec_of(kind, value_spec);
        if (!own) {
            return error;
        }
        if (*own) {
            store_spec(f, value_spec);
        }
    }
    return Ref::steal(PyTuple_Pack(2, py_bool(proceed), self));
}

}  // namespace norv::symbolic::binding
