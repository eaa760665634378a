#include "containers/container_topology.hpp"

#include <cstdint>

#include "core/none.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "nodes/container_bridge.hpp"
#include "nodes/markers.hpp"
#include "core/names.hpp"

namespace norv::symbolic::topology {

namespace {

const Signature UPDATE_CHILDREN_PATHS_SIG{
    "_update_children_paths", {arg("_old_path"), arg("new_path")}, {.method = true}};

}  // namespace

const Signature SETORIGIN_SIG{
    "sym_setorigin",
    {arg("source"), arg("tag"), opt("stacktrace"), opt("stacklimit"), opt("stacktop")},
    {.method = true}};
const Signature SET_ACCESSOR_WRITABLE_SIG{"set_accessor_writable", {opt("writable")}, {.method = true}};
const Signature SEAL_SIG{"sym_seal", {opt("is_seal")}, {.method = true}};
const Signature SETPARENT_SIG{"sym_setparent", {arg("parent")}, {.method = true}};
const Signature SETPATH_SIG{"sym_setpath", {arg("path")}, {.method = true}};

Status call_children(PyObject *children, Maybe<bool> (*test)(PyObject *), PyObject *method, PyObject *arg)
{
    const Py_ssize_t n = PyList_GET_SIZE(children);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref child = Ref::steal(PyList_GetItemRef(children, i));
        if (!child) {
            return error;
        }
        Maybe<bool> accepted = test(child.get());
        if (!accepted) {
            return error;
        }
        if (*accepted && !call_method(child.get(), method, arg)) {
            return error;
        }
    }
    return Status::ok;
}

void store_parent(ContainerFields &f, PyObject *parent)
{
    Ref displaced = Ref::borrow(null_if_none(parent));
    ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
    std::swap(displaced, f.node.parent);
}

Maybe<bool> store_path_if_changed(ContainerFields &f, PyObject *path)
{
    Ref old;
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        old = none_if_null(f.node.path);
    }
    Maybe<bool> changed = compare_truth(old.get(), path, Py_NE);
    if (!changed || !*changed) {
        return changed;
    }
    Ref displaced = Ref::borrow(null_if_none(path));
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(displaced, f.node.path);
    }
    return true;
}

Status require_keypath(PyObject *new_path)
{
    Maybe<bool> is_path = predicate(PyObject_IsInstance(new_path, bridge::get().keypath_cls));
    if (!is_path) {
        return error;
    }
    if (!*is_path) {
        PyErr_SetNone(PyExc_AssertionError);
        return error;
    }
    return Status::ok;
}

Status update_children(PyObject *self, ContainerFields &f, PyObject *new_path,
                       Status (*walk)(PyObject *self, PyObject *new_path))
{
    if (failed(require_keypath(new_path))) {
        return error;
    }
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        if (!f.sym_mode) {
            return Status::ok;
        }
    }
    RecursionGuard depth(" while re-pathing a symbolic tree");
    if (depth.failed()) {
        return error;
    }
    return walk(self, new_path);
}

Status repath_child(PyObject *child, PyObject *key, PyObject *new_path)
{
    PyObject *args[] = {key, new_path};
    Ref child_path = Ref::steal(PyObject_Vectorcall(bridge::get().keypath_cls, args, 2, nullptr));
    if (!child_path) {
        return error;
    }
    return call_method(child, interned<"sym_setpath">(), child_path.get()) ? Status::ok : Status::error;
}

Ref seal(PyObject *self, ContainerFields &f, bool is_seal, Ref (*children)(PyObject *self))
{
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        if (f.node.sealed == is_seal) {
            return Ref::borrow(self);
        }
    }
    RecursionGuard depth(" while sealing a symbolic tree");
    if (depth.failed()) {
        return error;
    }
    Ref list = children(self);
    if (!list ||
        failed(call_children(list.get(), markers::is_symbolic, interned<"sym_seal">(), py_bool(is_seal)))) {
        return error;
    }
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        f.node.sealed = is_seal;
    }
    return Ref::borrow(self);
}

PyObject *set_parent(ContainerFields &f, FastArgs a)
{
    Bound b;
    if (failed(SETPARENT_SIG.bind(a, b))) {
        return nullptr;
    }
    store_parent(f, b[0]);
    return b[0];
}

Maybe<OriginArgs> origin_args(const Bound &b, std::size_t first)
{
    std::int64_t stacktop = -1;
    if (b.has(first + 4)) {
        Maybe<std::int64_t> top = i64_arg("stacktop", b[first + 4]);
        if (!top) {
            return error;
        }
        stacktop = *top;
    }
    return OriginArgs{b[first], b[first + 1], none_if_null(b[first + 2]), none_if_null(b[first + 3]),
                      stacktop};
}

Status check_origin_source(PyObject *recorded, PyObject *source)
{
    if (recorded == nullptr) {
        return Status::ok;
    }
    Ref recorded_source = attr<"source">(recorded);
    if (!recorded_source) {
        return error;
    }
    if (recorded_source.get() != Py_None && recorded_source.get() != source) {
        return raise_format(PyExc_ValueError,
                            "Cannot set the origin with a different source value. Origin source: %R, "
                            "New source: %R.",
                            recorded_source.get(), source);
    }
    return Status::ok;
}

Ref build_origin(PyObject *origin_cls, const OriginArgs &a)
{
    // The recorded frame is one above the caller's; wrap-around, as the
    // host's own 64-bit arithmetic does at the bottom of the range.
    Ref top = new_int(static_cast<std::int64_t>(static_cast<std::uint64_t>(a.stacktop) - 1u));
    if (!top) {
        return error;
    }
    PyObject *args[] = {a.source, a.tag, a.stacktrace, a.stacklimit, top.get()};
    return Ref::steal(PyObject_Vectorcall(origin_cls, args, 5, nullptr));
}

Ref sym_setorigin(PyObject *, ContainerFields &f, FastArgs a)
{
    Bound b;
    if (failed(SETORIGIN_SIG.bind(a, b))) {
        return error;
    }
    const Maybe<OriginArgs> args = origin_args(b, 0);
    if (!args) {
        return error;
    }
    Ref recorded;
    {
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        recorded = Ref::borrow(f.node.origin.get());
    }
    if (failed(check_origin_source(recorded.get(), args->source))) {
        return error;
    }
    Ref origin = build_origin(bridge::get().origin_cls, *args);
    if (!origin) {
        return error;
    }
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        std::swap(origin, f.node.origin);
    }
    return none();
}

Ref set_accessor_writable(PyObject *self, ContainerFields &f, FastArgs a)
{
    Bound b;
    if (failed(SET_ACCESSOR_WRITABLE_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> writable = bool_arg("writable", b[0], true, ArgCause::Conversion);
    if (!writable) {
        return error;
    }
    {
        ExclusiveBorrow hold(f.borrow, OnConflict::Panic);
        f.node.accessor_writable = *writable;
    }
    return Ref::borrow(self);
}

Ref sym_seal(PyObject *self, FastArgs a, Ref (*core)(PyObject *, bool))
{
    Bound b;
    if (failed(SEAL_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> is_seal = bool_arg("is_seal", b[0], true, ArgCause::Conversion);
    if (!is_seal) {
        return error;
    }
    return core(self, *is_seal);
}

Ref sym_setpath(PyObject *self, ContainerFields &f, FastArgs a,
                Status (*update_children)(PyObject *, PyObject *))
{
    Bound b;
    if (failed(SETPATH_SIG.bind(a, b))) {
        return error;
    }
    Maybe<bool> changed = store_path_if_changed(f, b[0]);
    if (!changed) {
        return error;
    }
    if (*changed && failed(update_children(self, b[0]))) {
        return error;
    }
    return none();
}

Ref update_children_paths(PyObject *self, FastArgs a, Status (*update_children)(PyObject *, PyObject *))
{
    Bound b;
    if (failed(UPDATE_CHILDREN_PATHS_SIG.bind(a, b))) {
        return error;
    }
    if (failed(update_children(self, b[1]))) {
        return error;
    }
    return none();
}

}  // namespace norv::symbolic::topology
