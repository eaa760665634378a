// Construction of SymList: `__init__`, its three plans (schemaless,
// pass-through, schemaful with the fused typed route first) and the spec
// binding that ends them.
#include "core/args.hpp"
#include "core/recursion.hpp"
#include "core/truth.hpp"
#include "containers/binding.hpp"
#include "nodes/container_bridge.hpp"
#include "containers/list.hpp"
#include "containers/list_faces.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic {

namespace {

using typing::funnel::is_scalar_value;

const Signature INIT_SIG{
    "SymList.__init__",
    {opt("items"), kwopt("value_spec"), kwopt("wrap"), kwopt("onchange_callback"), kwopt("allow_partial"),
     kwopt("accessor_writable"), kwopt("sealed"), kwopt("pass_through"), kwopt("root_path")},
    {.method = true}};

enum InitParam : std::size_t {
    ITEMS,
    VALUE_SPEC,
    WRAP,
    ONCHANGE_CALLBACK,
    ALLOW_PARTIAL,
    ACCESSOR_WRITABLE,
    SEALED,
    PASS_THROUGH,
    ROOT_PATH,
};

// The index the next element takes: the current length.
Ref next_index(PyObject *list)
{
    return Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(list)));
}

Status append(PyObject *list, const Ref &value)
{
    return value ? check(PyList_Append(list, value.get())) : Status::error;
}

// An `Insertion` goes through the core write at the end; its record is dropped.
Status write_at_end(PyObject *self, PyObject *element)
{
    const Py_ssize_t n = PyList_GET_SIZE(SymList::storage(self));
    return SymList::_set_item_without_permission_check(self, n, element) ? Status::ok : Status::error;
}

Status formalize_and_append(PyObject *self, PyObject *element)
{
    PyObject *list = SymList::storage(self);
    Ref idx = next_index(list);
    return append(list, idx ? SymList::_formalized_value(self, idx.get(), element, nullptr) : Ref());
}

// A list or tuple whose elements are all scalars, appended in one step: no
// element needs more, and no code runs while they are read. False when the
// source is another kind or holds something else.
Maybe<bool> append_scalars(PyObject *list, PyObject *source)
{
    if (!PyList_CheckExact(source) && !PyTuple_CheckExact(source)) {
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(source);
    PyObject **items = PySequence_Fast_ITEMS(source);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!is_scalar_value(items[i])) {
            return false;
        }
    }
    const Py_ssize_t end = PyList_GET_SIZE(list);
    if (PyList_SetSlice(list, end, end, source) < 0) {
        return error;
    }
    return true;
}

// Without a spec: scalars as they are, insertions written, missing values
// dropped, anything else formalised.
Status take_schemaless(PyObject *self, PyObject *source, PyObject *missing)
{
    PyObject *list = SymList::storage(self);
    return for_each_item(source, [&](PyObject *element) -> Status {
        if (is_scalar_value(element)) {
            return check(PyList_Append(list, element));
        }
        Maybe<bool> insertion = SymList::is_insertion(element);
        if (!insertion) {
            return error;
        }
        if (*insertion) {
            return write_at_end(self, element);
        }
        Maybe<bool> is_missing = eq_truth(missing, element);
        if (!is_missing) {
            return error;
        }
        return *is_missing ? Status::ok : formalize_and_append(self, element);
    });
}

// Passed through: only adopted.
Status take_adopted(PyObject *self, PyObject *source)
{
    PyObject *list = SymList::storage(self);
    return for_each_item(source, [&](PyObject *element) -> Status {
        if (is_scalar_value(element)) {
            return check(PyList_Append(list, element));
        }
        Ref idx = next_index(list);
        return append(list, idx ? SymList::_relocate_if_symbolic(self, idx.get(), element, nullptr) : Ref());
    });
}

// With a spec: the whole source first; the fused typed route binds the spec
// when it owns the elements, otherwise they are formalised without a field
// (the spec is applied to the whole list afterwards). Whether the fused
// route bound the spec.
Maybe<bool> take_validated(PyObject *self, PyObject *source, PyObject *value_spec)
{
    // A plain list is its own collection until host code may run.
    const bool plain = PyList_CheckExact(source);
    Ref elements = plain ? Ref::borrow(source) : Ref::steal(PySequence_List(source));
    if (!elements) {
        return error;
    }
    Maybe<bool> fused = SymList::try_fused_typed_construct(self, value_spec, elements.get());
    if (!fused || *fused) {
        return fused;
    }
    if (plain) {
        elements = Ref::steal(PyList_GetSlice(source, 0, PyList_GET_SIZE(source)));
        if (!elements) {
            return error;
        }
    }
    // The collected list is ours: nothing else changes it meanwhile.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
        PyObject *element = PyList_GET_ITEM(elements.get(), i);
        Maybe<bool> insertion = SymList::is_insertion(element);
        if (!insertion) {
            return error;
        }
        if (failed(*insertion ? write_at_end(self, element) : formalize_and_append(self, element))) {
            return error;
        }
    }
    return false;
}

// The elements of `items`: a symbolic list's raw snapshot, any other
// iterable as it iterates. Nothing for a false `items`.
Status take_items(PyObject *self, PyObject *items, PyObject *value_spec, bool pass_through, bool &bound)
{
    if (items == nullptr) {
        return Status::ok;
    }
    Maybe<bool> given = truth(items);
    if (!given) {
        return error;
    }
    if (!*given) {
        return Status::ok;
    }
    Ref source = SymList::check(items) ? SymList::snapshot(items) : Ref::borrow(items);
    if (!source) {
        return error;
    }
    // Read whatever the plan: the bridge must be there once there are items.
    PyObject *missing = bridge::get().missing_value;
    if (value_spec != nullptr && !pass_through) {
        Maybe<bool> fused = take_validated(self, source.get(), value_spec);
        if (!fused) {
            return error;
        }
        bound = *fused;
        return Status::ok;
    }
    Maybe<bool> appended = append_scalars(SymList::storage(self), source.get());
    if (!appended) {
        return error;
    }
    if (*appended) {
        return Status::ok;
    }
    return value_spec == nullptr ? take_schemaless(self, source.get(), missing)
                                 : take_adopted(self, source.get());
}

Status init_list(PyObject *self, PyObject *args, PyObject *kwargs)
{
    Bound b;
    if (failed(INIT_SIG.bind_tuple(args, kwargs, b))) {
        return error;
    }
    if (!SymList::check(self)) {
        return raise_not_instance(self, "SymList");
    }
    bool wrap = true, allow_partial = false, accessor_writable = true, sealed = false, pass_through = false;
    const struct {
        const char *name;
        std::size_t index;
        bool *out;
    } switches[] = {
        {"wrap", WRAP, &wrap},
        {"allow_partial", ALLOW_PARTIAL, &allow_partial},
        {"accessor_writable", ACCESSOR_WRITABLE, &accessor_writable},
        {"sealed", SEALED, &sealed},
        {"pass_through", PASS_THROUGH, &pass_through},
    };
    for (const auto &s : switches) {
        Maybe<bool> v = bool_arg(s.name, b[s.index], *s.out, ArgCause::Conversion);
        if (!v) {
            return error;
        }
        *s.out = *v;
    }
    PyObject *value_spec = b.null_if_none(VALUE_SPEC);
    if (value_spec != nullptr) {
        Maybe<bool> is_spec = binding::is_spec_of(SymList::KIND, value_spec);
        if (!is_spec) {
            return error;
        }
        if (!*is_spec) {
            return raise_format(PyExc_TypeError,
                                "Argument 'value_spec' must be a `nv.typing.List` object. Encountered %S.",
                                value_spec);
        }
    }
    PyObject *root_path = b.null_if_none(ROOT_PATH);
    ContainerFields &f = SymList::fields(self);
    container::reset_for_construct(
        f, Ref::borrow(root_path != nullptr ? root_path : bridge::get().empty_key_path), allow_partial, wrap);
    if (failed(container::record_default_origin(f))) {
        return error;
    }
    bool bound = false;
    if (failed(take_items(self, b.null_if_none(ITEMS), value_spec, pass_through, bound))) {
        return error;
    }
    if (value_spec != nullptr && !bound) {
        if (pass_through) {
            binding::store_spec(f, value_spec);
        }
        else if (!SymList::use_value_spec(self, value_spec, allow_partial)) {
            return error;
        }
    }
    return container::finish_construct(self, f, b.null_if_none(ONCHANGE_CALLBACK), accessor_writable, sealed,
                                       SymList::sym_seal);
}

}  // namespace

namespace list_faces {

int init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return guard_int([&] { return init_list(self, args, kwargs); });
}

}  // namespace list_faces

}  // namespace norv::symbolic
