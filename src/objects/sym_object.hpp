// SymObject: the native base of the host's dict-layout symbolic objects. An
// instance holds its field values in one plain dict (absent while the object
// is blank, before its construction ran) and its tree state in an embedded
// `SymNode`; everything else the host keeps lives in the instance dict its
// Python subclasses add.
#pragma once

#include <Python.h>

#include <optional>

#include "core/borrow.hpp"
#include "core/boundary.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"
#include "nodes/object_messages.hpp"
#include "nodes/sym_node.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic::object {

struct CloneContext;

// Exclusive access is taken only by native code that runs no Python code
// while it holds it, so shared readers never meet it in practice.
struct ObjectFields {
    Ref sym_dict;  // the field dict; absent: blank
    SymNode node;
    BorrowFlag borrow;
};

// The context of one field write, read from the object in one short shared
// access so that nothing holds the object while host code runs.
struct WriteCtx {
    Ref path;      // the node's path; empty when it has none
    Ref sym_dict;  // the live field dict
    Ref schema;    // what the funnel is tried against
    bool allow_partial;
    bool sym_mode;  // a symbolic value is adopted as a child
};

struct SymObjectObject {
    PyObject_HEAD
    ObjectFields fields;
};

struct SymObject {
    // The class (created on first use); NULL with the error set when
    // creating it failed.
    static PyTypeObject *type();

    // An instance of the class or of a subclass. False before the class exists.
    static bool check(PyObject *o) noexcept;

    static ObjectFields &fields(PyObject *self) noexcept
    {
        return reinterpret_cast<SymObjectObject *>(self)->fields;
    }

    // Passes when the object has a field dict or a path; otherwise ValueError
    // "{}.__init__ should call `super().__init__`." with the class's name.
    static Status node_read_guard(PyObject *obj, OnConflict mode = OnConflict::Panic);

    // The live field dict, or an empty Ref for a blank object. Inline: the
    // fast attribute read starts here.
    static Ref inline_storage(PyObject *obj)
    {
        ObjectFields &f = fields(obj);
        SharedBorrow hold(f.borrow, OnConflict::Panic);
        return Ref::borrow(f.sym_dict.get());
    }

    // ---- construction metadata (ctor_meta.cpp) --------------------------------------------------

    // The class's `ObjectCtorMeta`, read from its own namespace or built and
    // stored there on first use.
    static Ref ctor_meta(PyObject *cls);

    // ---- construction (construct.cpp) ---------------------------------------------------------

    // The initialiser's core: takes `allow_partial` (an exact bool) out of
    // `kwargs` (a dict the call owns, or nullptr) and constructs.
    static Status init(PyObject *obj, std::optional<bool> sealed, PyObject *root_path, bool explicit_init,
                       PyObject *kwargs);

    // Builds the object from keyword arguments: node reset, pre-init hooks,
    // keyword screening, the fill, adoption, the store, non-symbolic fields,
    // hooks and the seal, in that order. `sealed` unset: the class's
    // `frozen`; `root_path` nullptr: the host's empty path; `kwargs` (used
    // itself, never copied) nullptr: none.
    static Status construct_impl(PyObject *self, std::optional<bool> sealed, PyObject *root_path,
                                 bool explicit_init, PyObject *kwargs, bool allow_partial,
                                 const CloneContext &clone);

    // ---- field reads (field_read.cpp) -----------------------------------------------------------

    // The class's symbolic mode, from its construction metadata.
    static Maybe<bool> sym_mode_of(PyObject *cls);

    // The stored value of `name` (an Inferential value resolved). A blank
    // object raises AttributeError "_sym_attributes", an absent name KeyError.
    static Ref _sym_field(PyObject *obj, PyObject *name);

    // As `_sym_field`, but a blank object or an absent name declines (an
    // empty Ref). Inline, the scalar read without a call: it is the fast
    // attribute read.
    static Maybe<Ref> try_sym_field(PyObject *obj, PyObject *name)
    {
        PyObject *value = nullptr;
        {
            Ref dict = inline_storage(obj);
            if (!dict) {
                return Ref();
            }
            if (PyDict_GetItemRef(dict.get(), name, &value) < 0) {
                return error;
            }
        }
        if (value == nullptr || typing::funnel::is_scalar_value(value)) {
            return Ref::steal(value);
        }
        return some(resolve_stored(obj, name, Ref::steal(value)));
    }

    // What a read of the stored (non-scalar) `value` answers: the value, or
    // an Inferential one's `infer()` in a `sym=True` class.
    static Ref resolve_stored(PyObject *obj, PyObject *name, Ref value);

    // ---- field writes (field_write.cpp) -----------------------------------------------------------

    // The write of a symbolic field `name` of `self` (of class `cls`): the
    // sealed and accessor-writable gates, the write core and the
    // notification of its change.
    static Status store_symbolic_field(PyObject *self, PyObject *cls, PyObject *name, PyObject *value,
                                       PyObject *field, bool sym_mode, PyObject *schema);

    // The object's write context; nothing for an object without field dict.
    static std::optional<WriteCtx> write_ctx(PyObject *self, bool sym_mode, PyObject *schema);

    // Writes one field into the field dict (formalised, adopted, the old
    // child detached) with no gate and no notification: the change record,
    // or an empty Ref when nothing changed.
    static Maybe<Ref> inline_write_field(PyObject *self, PyObject *name, PyObject *value, PyObject *field,
                                         const WriteCtx &ctx);

    // A replaced child leaves the tree: no parent, an empty path.
    static Status detach_old_child(PyObject *old);

    // `message` decorated by the host with the object's path.
    static Ref error_message(PyObject *self, PyObject *message);
};

// The class's `tp_setattro`: a symbolic field is written natively, any
// other name set, and every name deleted, by the host.
int setattro_slot(PyObject *self, PyObject *name, PyObject *value);

// The class's `tp_init`: `SymObject.__init__(self, *, sealed=None,
// root_path=None, explicit_init=False, **kwargs)`.
int construct_slot(PyObject *self, PyObject *args, PyObject *kwargs);

// The Python faces defined outside sym_object.cpp, gathered into the class there.
namespace faces {

Ref _sym_field(PyObject *self, FastArgs a);
Ref _sym_attributes(PyObject *self);
Ref sym_setpath(PyObject *self, FastArgs a);
Ref sym_setparent(PyObject *self, FastArgs a);
Ref sym_setorigin(PyObject *self, FastArgs a);
Ref set_accessor_writable(PyObject *self, FastArgs a);
Ref sym_seal(PyObject *self, FastArgs a);
Ref store_symbolic_field(PyObject *self, FastArgs a);

}  // namespace faces

}  // namespace norv::symbolic::object
