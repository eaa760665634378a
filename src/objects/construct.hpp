// Construction of dict-layout objects from keyword arguments: the core every
// entry runs (`SymObject::construct_impl`), the keyword screening and the
// argument errors it shares with records, the compiled fill, the adoption of
// the filled children, the construction hooks and the partial and
// pure-symbolic tests they consult.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <optional>

#include "core/error.hpp"
#include "core/hooks.hpp"
#include "core/ref.hpp"

namespace norv::symbolic::object {

struct CtorMeta;

// The source of a clone construction; inactive for every other caller.
struct CloneContext {
    bool active = false;
    bool deep = false;
    PyObject *src = nullptr;
    PyObject *memo = nullptr;
};

// What a fill made: the field dict; whether every value is a scalar (or a
// tuple of scalars) and needs no adopting (`all_plain`); whether none can be
// partial or pure-symbolic (`all_scalar`); and whether some value may still
// need adopting (`adopt`): a container node the compiled fill built already
// has the object as its parent, and an exact builtin container is never
// adopted, so only the values it does not know are.
struct Filled {
    Ref dict;
    bool all_plain = true;
    bool all_scalar = true;
    bool adopt = false;
};

namespace construct {

// Appends to the list `out` each key of `kwargs`, in order, for which
// `pred(key)` answers true. `pred` must run no code that changes `kwargs`.
template <class Pred>
Status collect_keys_if(PyObject *kwargs, PyObject *out, Pred &&pred)
{
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        const Maybe<bool> take = pred(key);
        if (!take || (*take && PyList_Append(out, key) < 0)) {
            return error;
        }
    }
    return Status::ok;
}

// Deletes `keys` (a non-empty list) from `kwargs` when the class ignores
// unexpected keywords (after refusing any that is a reserved alias), else
// fails with the unexpected-keyword TypeError.
Status screen_unexpected_kwargs(PyObject *cls, PyObject *kwargs, PyObject *keys);

// A str's text with the characters UTF-8 cannot encode replaced, as an
// exact str.
Ref lossy_text(PyObject *key);

// TypeError: `key` (a str) is reserved as the alias of `field`.
Error reserved_alias_error(PyObject *cls, PyObject *key, PyObject *field);

// TypeError naming the missing required arguments `names` (a non-empty list).
Error missing_args_error(PyObject *cls, PyObject *names);

// `schema` as the schema drivers need it: a native Schema (else the cast
// TypeError).
Status require_schema(PyObject *schema);

// The missing required fields of `schema` (a native Schema) that `kwargs`
// lacks refuse the construction with `missing_args_error`.
Status check_missing(PyObject *cls, PyObject *schema, PyObject *kwargs);

// The non-init fields handed to the host: copied from the clone's source,
// else seeded from the class's `fields`.
Status non_symbolic_fields(PyObject *self, PyObject *fields, const CloneContext &clone);

// An option of a native `tp_init` converted strictly, its failure the bare
// conversion error; nothing when absent (or None, when `none_is_unset`).
Maybe<std::optional<bool>> slot_option(PyObject *value, bool none_is_unset);

// The option under `name` taken out of `kwargs` (a dict) and converted so.
Maybe<std::optional<bool>> pop_slot_option(PyObject *kwargs, PyObject *name, bool none_is_unset);

// `allow_partial` taken out of `kwargs` (nullptr: none): an exact `bool`,
// False when absent.
Maybe<bool> pop_allow_partial(PyObject *kwargs);

// Whether `value` and everything below it is pure-symbolic; nothing when the
// native scan cannot tell.
Maybe<std::optional<bool>> puresymbolic_scan(PyObject *value);

// Whether a dict-layout object is partial, for the typing layer's reader:
// undecided for anything this walk does not own.
hooks::Partial sym_partial_native(PyObject *obj);

}  // namespace construct

// `dict[key]` taken out of `dict`: the value, or an empty Ref when absent.
Maybe<Ref> pop_kw(PyObject *dict, PyObject *key);

// Whether no key of `dict` is any of `names` (interned str), told without a
// lookup: every key an interned exact str, so equal text would be the same
// object. False when that cannot be told so.
bool lacks_interned_names(PyObject *dict, std::initializer_list<PyObject *> names) noexcept;

// Hands positional arguments to the class's Python `__init__`, whose
// keyword-only signature refuses them with Python's own error; should it
// return instead, a RuntimeError naming `label`. Without positional
// arguments nothing happens.
Status defer_positional_to_python_init(PyObject *obj, PyObject *args, PyObject *kwargs, const char *label);

// The body of the native `tp_init` the host writes into its generated
// classes: as `SymObject.__init__`, except that positional arguments go to
// the class's Python `__init__`, a bad `sealed` or `explicit_init` raises
// the bare conversion error, and a construction error goes through the
// host's `prepare_construct_error`.
Status object_tp_init_body(PyObject *obj, PyObject *args, PyObject *kwargs);

// The compiled fill (`SymObject::try_compiled_fill`): the filled dict, or
// nothing when some value falls outside the funnel's pure tiers (nothing of
// the fill survives). Missing required fields are its error.
Maybe<std::optional<Filled>> try_compiled_fill(PyObject *self, const CtorMeta &meta, PyObject *kwargs,
                                               PyObject *root_path, bool allow_partial);

// Makes every value of `dict` (the filled fields, not yet stored) a child of
// `self`: re-pathed and re-parented, cloned when it belongs elsewhere or an
// earlier field took it.
Status adopt_children_inline(PyObject *self, PyObject *dict, bool sym);

// `on_sym_validate`, then `on_sym_post_init` or else `on_sym_bound` and
// `on_sym_ready`, as the class overrides them; validate and ready not for an
// abstract object.
Status run_construct_hooks(PyObject *self, bool post_init_overridden, bool bound_overridden,
                           bool ready_not_noop, bool validate, bool all_scalar);

}  // namespace norv::symbolic::object
