// The hooks that end a construction, the abstract test that decides whether
// the validate and ready hooks run, and the two native tree walks behind it:
// the pure-symbolic scan and the partial test the typing layer reads.
#include "core/borrow.hpp"
#include "core/names.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "nodes/markers.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/construct.hpp"
#include "objects/ctor_meta.hpp"
#include "objects/sym_object.hpp"
#include "typing/bridge/typing_bridge.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic::object {

namespace {

using Answer = std::optional<bool>;

Status call_hook(PyObject *self, PyObject *name)
{
    return call_method(self, name) ? Status::ok : Status::error;
}

// The class's metadata, read for one fact.
template <class Fact>
Maybe<bool> class_fact(PyObject *obj, Fact fact)
{
    Ref meta = SymObject::ctor_meta(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    if (!meta) {
        return error;
    }
    MetaRead m(std::move(meta));
    return fact(*m);
}

// A snapshot of the values of an object's field dict; nothing when blank.
Maybe<Ref> field_values(PyObject *obj)
{
    Ref dict = SymObject::inline_storage(obj);
    if (!dict) {
        return Ref();
    }
    return some(Ref::steal(PyDict_Values(dict.get())));
}

// The per-child test: the scan, with the host deciding what it cannot.
Maybe<bool> child_is_pure_symbolic(PyObject *child)
{
    Maybe<Answer> scanned = construct::puresymbolic_scan(child);
    if (!scanned) {
        return error;
    }
    if (*scanned) {
        return **scanned;
    }
    Ref answer = Ref::steal(PyObject_CallOneArg(bridge::get().is_pure_symbolic, child));
    return answer ? truth(answer.get()) : Maybe<bool>(error);
}

// True at the first child the test finds pure-symbolic.
Maybe<Answer> any_list_item(PyObject *list, Py_ssize_t length)
{
    for (Py_ssize_t i = 0; i < length; ++i) {
        Ref item = Ref::steal(PyList_GetItemRef(list, i));
        const Maybe<bool> pure = item ? child_is_pure_symbolic(item.get()) : Maybe<bool>(error);
        if (!pure) {
            return error;
        }
        if (*pure) {
            return Answer(true);
        }
    }
    return Answer(false);
}

Maybe<Answer> scan_object(PyObject *obj)
{
    const Maybe<bool> default_rules =
        class_fact(obj, [](const CtorMeta &m) { return m.puresymbolic_default; });
    if (!default_rules) {
        return error;
    }
    if (!*default_rules) {
        return Answer();
    }
    Ref inst_dict = attr<"__dict__">(obj);
    if (!inst_dict) {
        return error;
    }
    if (PyDict_Check(inst_dict.get())) {
        PyObject *cached = nullptr;
        if (PyDict_GetItemRef(inst_dict.get(), interned<"_sym_puresymbolic">(), &cached) < 0) {
            return error;
        }
        Ref held = Ref::steal(cached);
        if (held && held.get() != Py_None) {
            const Maybe<bool> t = truth(held.get());
            return t ? Maybe<Answer>(Answer(*t)) : Maybe<Answer>(error);
        }
    }
    Maybe<Ref> values = field_values(obj);
    if (!values) {
        return error;
    }
    if (!*values) {
        return Answer();
    }
    return any_list_item(values->get(), PyList_GET_SIZE(values->get()));
}

// `_sym_puresymbolic` in the object's instance dict.
Status cache_puresymbolic(PyObject *self, bool pure)
{
    Ref inst_dict = attr<"__dict__">(self);
    return inst_dict
               ? check(PyObject_SetItem(inst_dict.get(), interned<"_sym_puresymbolic">(), py_bool(pure)))
               : Status::error;
}

// Whether the constructed object is abstract: partial (when it allows that)
// or pure-symbolic.
Maybe<bool> construct_is_abstract(PyObject *self, bool all_scalar)
{
    if (all_scalar) {
        return failed(cache_puresymbolic(self, false)) ? Maybe<bool>(error) : Maybe<bool>(false);
    }
    bool allow_partial;
    {
        ObjectFields &f = SymObject::fields(self);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        allow_partial = f.node.allow_partial;
    }
    if (allow_partial) {
        const Maybe<bool> partial = typing::bridge::read_sym_partial(self);
        if (!partial || *partial) {
            return partial;
        }
    }
    Maybe<Answer> scanned = construct::puresymbolic_scan(self);
    if (!scanned) {
        return error;
    }
    if (!*scanned) {
        return truth_attr<"sym_puresymbolic">(self);
    }
    return failed(cache_puresymbolic(self, **scanned)) ? Maybe<bool>(error) : Maybe<bool>(**scanned);
}

}  // namespace

Status run_construct_hooks(PyObject *self, bool post_init_overridden, bool bound_overridden,
                           bool ready_not_noop, bool validate, bool all_scalar)
{
    // Computed at most once, and only when a hook needs it.
    std::optional<bool> abstract;
    if (validate) {
        const Maybe<bool> a = construct_is_abstract(self, all_scalar);
        if (!a) {
            return error;
        }
        abstract = *a;
        if (!*abstract && failed(call_hook(self, interned<"on_sym_validate">()))) {
            return error;
        }
    }
    if (post_init_overridden) {
        return call_hook(self, interned<"on_sym_post_init">());
    }
    if (bound_overridden && failed(call_hook(self, interned<"on_sym_bound">()))) {
        return error;
    }
    if (!ready_not_noop || (abstract && *abstract)) {
        return Status::ok;
    }
    if (!abstract) {
        const Maybe<bool> a = construct_is_abstract(self, all_scalar);
        if (!a) {
            return error;
        }
        if (*a) {
            return Status::ok;
        }
    }
    return call_hook(self, interned<"on_sym_ready">());
}

namespace construct {

Maybe<std::optional<bool>> puresymbolic_scan(PyObject *value)
{
    if (typing::funnel::is_scalar_value(value)) {
        return Answer(false);
    }
    // A tree can be made to hold itself only by host code that bypasses
    // adoption: guarded so that it ends in RecursionError.
    RecursionGuard depth(" while testing whether an object is pure symbolic");
    if (depth.failed()) {
        return error;
    }
    const Maybe<bool> marked =
        has_attr<"__norv_pure_symbolic__">(reinterpret_cast<PyObject *>(Py_TYPE(value)));
    if (!marked) {
        return error;
    }
    if (*marked) {
        return Answer(true);
    }
    if (SymObject::check(value)) {
        return scan_object(value);
    }
    PyObject *dict_type = nullptr, *list_type = nullptr;
    if (!typing::bridge::symbolic_container_types(&dict_type, &list_type)) {
        return Answer();
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(value));
    if (type == dict_type) {
        // Stops at the first pure-symbolic child.
        const Maybe<bool> none_pure = dict_while(value, [](PyObject *, PyObject *child) -> Maybe<bool> {
            const Maybe<bool> p = child_is_pure_symbolic(child);
            return p ? Maybe<bool>(!*p) : p;
        });
        return none_pure ? Maybe<Answer>(Answer(!*none_pure)) : Maybe<Answer>(error);
    }
    if (type == list_type) {
        return any_list_item(value, PyList_GET_SIZE(value));
    }
    return Answer();
}

hooks::Partial sym_partial_native(PyObject *obj)
{
    using hooks::Partial;
    if (!SymObject::check(obj)) {
        return Partial::Undecided;
    }
    const Maybe<bool> default_rules =
        class_fact(obj, [](const CtorMeta &m) { return m.sym_missing_default; });
    if (!default_rules) {
        return Partial::Error;
    }
    if (!*default_rules) {
        return Partial::Undecided;
    }
    Maybe<Ref> snapshot = field_values(obj);
    if (!snapshot) {
        return Partial::Error;
    }
    if (!*snapshot) {
        return Partial::Undecided;
    }
    const Ref &values = *snapshot;
    PyTypeObject *missing = Py_TYPE(bridge::get().missing_value);
    RecursionGuard depth(" while testing whether an object is partial");
    if (depth.failed()) {
        return Partial::Error;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        PyObject *value = PyList_GET_ITEM(values.get(), i);
        if (Py_IS_TYPE(value, missing)) {
            return Partial::Yes;
        }
        if (typing::funnel::is_scalar_value(value)) {
            continue;
        }
        const Maybe<bool> symbolic = markers::is_symbolic(value);
        if (!symbolic) {
            return Partial::Error;
        }
        if (!*symbolic) {
            continue;
        }
        switch (sym_partial_native(value)) {
            case Partial::Error:
                return Partial::Error;
            case Partial::Yes:
                return Partial::Yes;
            case Partial::No:
                continue;
            case Partial::Undecided:
                break;
        }
        const Maybe<bool> partial = truth_attr<"sym_partial">(value);
        if (!partial) {
            return Partial::Error;
        }
        if (*partial) {
            return Partial::Yes;
        }
    }
    return Partial::No;
}

}  // namespace construct

}  // namespace norv::symbolic::object
