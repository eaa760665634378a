// SpecBase: the Python object that carries one SpecEngine, and the surface
// every value spec shares. The concrete classes (primitives, containers ...)
// share its layout and add only their constructor, copies, from_json, type
// arguments and kind getters.
#pragma once

#include <Python.h>

#include <memory>

#include "core/boundary.hpp"
#include "core/borrow.hpp"
#include "core/ref.hpp"
#include "typing/value_specs/engine.hpp"

namespace norv::typing {

struct SpecObject {
    PyObject_HEAD BorrowFlag borrow;
    SpecEngine *engine;  // owned; never null once the object is published
};

namespace base {

PyTypeObject *type();

// 1 for a SpecBase instance, 0 for anything else, -1 with the error set: the
// first call creates the class, which can fail.
[[nodiscard]] inline int is_spec(PyObject *o)
{
    PyTypeObject *t = type();
    if (t == nullptr) {
        return -1;
    }
    return Py_TYPE(o) == t || PyType_IsSubtype(Py_TYPE(o), t);
}

inline SpecObject *as_spec(PyObject *o) noexcept
{
    return reinterpret_cast<SpecObject *>(o);
}

// Allocates an instance of `cls` (a SpecBase subclass) holding `engine`. A
// null `engine` (its build failed, error set) fails, so a builder's result can
// be passed straight in.
Ref wrap(PyTypeObject *cls, std::unique_ptr<SpecEngine> engine);

// The tp_dealloc every spec class shares.
void dealloc(PyObject *self);

// `apply`, listed again in every concrete class's own method table: the
// interpreter's specialised call of a method descriptor takes its fast path
// only when the receiver is exactly the descriptor's class, and a descriptor
// inherited from SpecBase never is.
Ref spec_apply(PyObject *self, FastArgs a);
inline constexpr const char APPLY_DOC[] =
    "apply($self, value, allow_partial=False, child_transform=None, root_path=None, inplace=True)\n--\n\n"
    "Apply the spec to a value and return the accepted value.";
#define NORV_SPEC_APPLY_METHOD \
    method<::norv::typing::base::spec_apply>("apply", ::norv::typing::base::APPLY_DOC)

// Shared access to another spec's engine from native code: a conflict is an
// internal fault, not a RuntimeError, so the access itself never fails.
class NativeRead {
public:
    explicit NativeRead(PyObject *spec) : spec_(as_spec(spec)), borrow_(spec_->borrow, OnConflict::Panic) {}
    SpecEngine &engine() const noexcept { return *spec_->engine; }

private:
    SpecObject *spec_;
    SharedBorrow borrow_;
};

// Three-answer native probes: true, false, or no answer (not a SpecBase).
enum class Probe : std::int8_t { NotNative = -1, No = 0, Yes = 1 };
template <class Pred>
Maybe<Probe> with_native_base(PyObject *o, Pred &&pred)
{
    const int native = is_spec(o);
    if (native < 0) {
        return error;
    }
    if (!native) {
        return Probe::NotNative;
    }
    NativeRead read(o);
    return pred(read.engine()) ? Probe::Yes : Probe::No;
}

}  // namespace base

}  // namespace norv::typing
