// Process-wide state of the formatting subsystem: the cached function objects
// and the host's markdown-isolation callbacks, plus suppression built on them.
#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/truth.hpp"
#include "formatting/detail.hpp"
#include "formatting/format.hpp"

namespace norv::formatting {

namespace {

ObjectCell FORMAT_FN, KVLIST_FN;

// The three host callables; owned by the cell for the life of the process.
struct Bridge {
    PyObject *str_format;
    PyObject *repr_format;
    PyObject *outer_markdown_active;
};
OnceCell<Bridge> BRIDGE;

// factory(markdown=False).__enter__(); the context object is what we keep.
// A context whose __enter__ failed is dropped without being left.
Ref open_context(PyObject *factory)
{
    PyObject *args[2] = {nullptr, Py_False};
    Ref ctx = Ref::steal(
        PyObject_Vectorcall(factory, args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames<"markdown">()));
    if (!ctx) {
        return error;
    }
    Ref entered = Ref::steal(PyObject_CallMethod(ctx.get(), "__enter__", nullptr));
    if (!entered) {
        return error;
    }
    return ctx;
}

// ctx.__exit__(None, None, None); its result is dropped.
Status close_context(Ref &ctx)
{
    if (!ctx) {
        return Status::ok;
    }
    Ref r = Ref::steal(PyObject_CallMethod(ctx.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    ctx.reset();
    return r ? Status::ok : Status::error;
}

const Signature INSTALL_SIG{"_install_formatting_bridge",
                            {arg("str_format"), arg("repr_format"), arg("outer_markdown_active")}};

Ref install_formatting_bridge(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(INSTALL_SIG.bind(a, b))) {
        return error;
    }
    if (!BRIDGE.is_set()) {
        Bridge made{Py_NewRef(b[0]), Py_NewRef(b[1]), Py_NewRef(b[2])};
        if (!BRIDGE.set(made)) {
            Py_DECREF(made.str_format);
            Py_DECREF(made.repr_format);
            Py_DECREF(made.outer_markdown_active);
        }
    }
    return none();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef INSTALL_BRIDGE_DEF = method<install_formatting_bridge>(
    "_install_formatting_bridge",
    "_install_formatting_bridge(str_format, repr_format, outer_markdown_active)\n--\n\n"
    "Install the host's markdown-isolation callbacks (first install wins).");

Status init_format_fn(PyObject *module)
{
    Ref format = getattr(module, "format");
    if (!format) {
        return error;
    }
    FORMAT_FN.set(std::move(format));
    Ref kvlist = getattr(module, "kvlist_str");
    if (!kvlist) {
        return error;
    }
    KVLIST_FN.set(std::move(kvlist));
    return Status::ok;
}

PyObject *format_fn()
{
    PyObject *fn = FORMAT_FN.get();
    if (fn == nullptr) {
        panic("format fn not initialized");
    }
    return fn;
}

Ref call_kvlist_str(PyObject *items, PyObject *kwargs)
{
    PyObject *fn = KVLIST_FN.get();
    if (fn == nullptr) {
        panic("kvlist_str fn not initialized");
    }
    Ref args = Ref::steal(PyTuple_Pack(1, items));
    if (!args) {
        return error;
    }
    return detail::require_str(Ref::steal(PyObject_Call(fn, args.get(), kwargs)));
}

namespace detail {

Status Suppression::enter()
{
    const Bridge *b = BRIDGE.get();
    if (b == nullptr) {
        return Status::ok;
    }
    Ref active = Ref::steal(PyObject_CallNoArgs(b->outer_markdown_active));
    if (!active) {
        return error;
    }
    const Maybe<bool> is_active = truth(active.get());
    if (!is_active) {
        return error;
    }
    if (!*is_active) {
        return Status::ok;
    }
    str_ctx_ = open_context(b->str_format);
    if (!str_ctx_) {
        return error;
    }
    // Should the repr context fail to open, the destructor still leaves the
    // str context before the error propagates.
    repr_ctx_ = open_context(b->repr_format);
    if (!repr_ctx_) {
        return error;
    }
    return Status::ok;
}

Ref Suppression::leave(Ref result)
{
    // The str context is left even when leaving the repr context raised.
    const Status repr_left = cleanup_keeping_error([&] { return close_context(repr_ctx_); });
    const Status str_left = cleanup_keeping_error([&] { return close_context(str_ctx_); });
    if (failed(repr_left) || failed(str_left)) {
        return error;
    }
    return result;
}

Suppression::~Suppression()
{
    if (str_ctx_ || repr_ctx_) {
        (void)leave(Ref());
    }
}

}  // namespace detail

}  // namespace norv::formatting
