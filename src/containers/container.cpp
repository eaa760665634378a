#include "containers/container.hpp"

#include <utility>

#include "core/names.hpp"
#include "scopes/flags.hpp"
#include "containers/adopt.hpp"
#include "nodes/container_bridge.hpp"

namespace norv::symbolic::container {

Ref path_arg(ContainerFields &f)
{
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return none_if_null(f.node.path);
}

Ref bound_spec(ContainerFields &f)
{
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return Ref::borrow(f.value_spec.get());
}

Maybe<PyObject *> seen_arg(PyObject *given)
{
    if (given == nullptr || given == Py_None) {
        return static_cast<PyObject *>(nullptr);
    }
    if (!PySet_Check(given)) {
        (void)raise_not_instance(given, "set");
        wrap_argument_error("seen");
        return error;
    }
    return given;
}

PyObject *one_arg(FastArgs a, const Signature &sig)
{
    if (a.nargs == 1 && a.kwnames == nullptr) {
        return a.args[0];
    }
    Bound b;
    if (failed(sig.bind(a, b))) {
        return nullptr;
    }
    return b[0];
}

bool accepts_partial(ContainerFields &f)
{
    SharedBorrow hold(f.borrow, OnConflict::Panic);
    return flags::resolve(flags::ALLOW_PARTIAL, f.node.allow_partial);
}

int traverse_fields(const ContainerFields &f, visitproc visit, void *arg)
{
    // An operation in progress owns the references it is replacing.
    if (f.borrow.is_exclusive()) {
        return 0;
    }
    if (const int rc = f.node.traverse(visit, arg)) {
        return rc;
    }
    Py_VISIT(f.value_spec.get());
    Py_VISIT(f.onchange_callback.get());
    return 0;
}

int clear_fields(ContainerFields &f)
{
    SymNode::Released released;
    {
        ExclusiveBorrow hold(f.borrow);
        if (hold.failed()) {
            return -1;
        }
        SymNode::clear_refs(f.node, released);
        released.add(std::move(f.value_spec));
        released.add(std::move(f.onchange_callback));
    }
    return 0;
}

void reset_for_construct(ContainerFields &f, Ref path, bool allow_partial, bool wrap)
{
    SymNode::Released released;
    ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
    SymNode::reset_for_construct(f.node, std::move(path), allow_partial, true, false, released);
    released.add(std::move(f.value_spec));
    released.add(std::move(f.onchange_callback));
    f.wrap = wrap;
}

Status record_default_origin(ContainerFields &f)
{
    Maybe<Ref> origin = bridge::default_origin();
    if (!origin) {
        return error;
    }
    if (*origin) {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(*origin, f.node.origin);
    }
    return Status::ok;
}

Status finish_construct(PyObject *self, ContainerFields &f, PyObject *onchange_callback,
                        bool accessor_writable, bool sealed, Ref (*seal)(PyObject *self, bool is_seal))
{
    Ref displaced = Ref::borrow(onchange_callback);
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(displaced, f.onchange_callback);
        if (!accessor_writable) {
            f.node.accessor_writable = false;
        }
    }
    if (sealed && !seal(self, true)) {
        return error;
    }
    return Status::ok;
}

Ref relocate(PyObject *self, ContainerFields &f, PyObject *parent, PyObject *key, PyObject *value,
             PyObject *seen, std::optional<PyObject *> replaced)
{
    bool enabled;
    Ref parent_path;
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        enabled = f.sym_mode;
        parent_path = none_if_null(f.node.path);
    }
    return adopt::relocate_if_symbolic(key, value, enabled, parent_path.get(), self, parent, seen, replaced);
}

Ref relocate_face(PyObject *self, FastArgs a, const Signature &sig,
                  Ref (*core)(PyObject *self, PyObject *key, PyObject *value, PyObject *seen))
{
    Bound b;
    if (failed(sig.bind(a, b))) {
        return error;
    }
    Maybe<PyObject *> seen = seen_arg(b[2]);
    if (!seen) {
        return error;
    }
    return core(self, b[0], b[1], *seen);
}

namespace {

// The type whose own `__new__` the call `cls.__new__(cls)` would reach,
// when that is a native constructor slot it can be handed to directly: the
// class's metaclass looks attributes up as `type` does and has no data
// descriptor of that name, and the class inherits a builtin `__new__`
// (whose bound type is the one returned) together with that type's slot.
PyTypeObject *slot_new_owner(PyObject *cls)
{
    if (!PyType_Check(cls)) {
        return nullptr;
    }
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(cls);
    PyTypeObject *meta = Py_TYPE(cls);
    PyObject *const name = interned<"__new__">();
    if (meta->tp_getattro != PyType_Type.tp_getattro) {
        return nullptr;
    }
    if (PyObject *meta_attr = _PyType_Lookup(meta, name); meta_attr && Py_TYPE(meta_attr)->tp_descr_set) {
        return nullptr;
    }
    static PyObject *const builtin_new = _PyType_Lookup(&PyBaseObject_Type, interned<"__new__">());
    PyObject *found = _PyType_Lookup(tp, name);
    if (found == nullptr || !PyCFunction_Check(found) || builtin_new == nullptr ||
        PyCFunction_GET_FUNCTION(found) != PyCFunction_GET_FUNCTION(builtin_new)) {
        return nullptr;
    }
    PyObject *owner = PyCFunction_GET_SELF(found);
    if (owner == nullptr || !PyType_Check(owner)) {
        return nullptr;
    }
    PyTypeObject *owner_type = reinterpret_cast<PyTypeObject *>(owner);
    return owner_type->tp_new == tp->tp_new ? owner_type : nullptr;
}

}  // namespace

Ref new_blank(PyObject *cls, bool (*check)(PyObject *) noexcept, const char *name)
{
    Ref made;
    if (PyTypeObject *owner = slot_new_owner(cls)) {
        // What the builtin `__new__` would do with no further arguments.
        Ref args = Ref::steal(PyTuple_New(0));
        made = args ? Ref::steal(owner->tp_new(reinterpret_cast<PyTypeObject *>(cls), args.get(), nullptr))
                    : Ref();
    }
    else {
        made = call_method(cls, interned<"__new__">(), cls);
    }
    if (made && !check(made.get())) {
        return raise_not_instance(made.get(), name);
    }
    return made;
}

void init_wrap_node(ContainerFields &f, PyObject *root_path, bool allow_partial, PyObject *value_spec,
                    Ref origin)
{
    Ref spec = Ref::borrow(null_if_none(value_spec));
    SymNode::Released released;
    ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
    SymNode::reset_for_construct(f.node, Ref::borrow(null_if_none(root_path)), allow_partial, true, false,
                                 released);
    released.add(std::exchange(f.node.origin, std::move(origin)));
    released.add(std::exchange(f.value_spec, std::move(spec)));
    f.wrap = true;
}

void init_clone(ContainerFields &dst, ContainerFields &src, Ref origin, bool keep_seal_and_callback)
{
    Ref spec, callback;
    bool allow_partial, accessor_writable, sealed, wrap;
    {
        SharedBorrow hold(src.borrow, OnConflict::Panic);
        spec = Ref::borrow(src.value_spec.get());
        if (keep_seal_and_callback) {
            callback = Ref::borrow(src.onchange_callback.get());
        }
        allow_partial = src.node.allow_partial;
        accessor_writable = src.node.accessor_writable;
        sealed = keep_seal_and_callback && src.node.sealed;
        wrap = src.wrap;
    }
    Ref path = Ref::borrow(bridge::get().empty_key_path);
    SymNode::Released released;
    ExclusiveBorrow hold(dst.borrow, OnConflict::Panic);
    SymNode::reset_for_construct(dst.node, std::move(path), allow_partial, accessor_writable, sealed,
                                 released);
    released.add(std::exchange(dst.node.origin, std::move(origin)));
    released.add(std::exchange(dst.value_spec, std::move(spec)));
    if (keep_seal_and_callback) {
        released.add(std::exchange(dst.onchange_callback, std::move(callback)));
    }
    dst.wrap = wrap;
}

}  // namespace norv::symbolic::container
