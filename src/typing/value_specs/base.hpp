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
#include "core/registry.hpp"
#include "typing/value_specs/engine.hpp"

namespace norv::typing {

struct SpecObject {
    PyObject_HEAD
    BorrowFlag borrow;
    SpecEngine *engine;  // owned; null once the collector has cleared the spec
};

namespace base {

PyTypeObject *type();

// Whether `o` is a SpecBase instance. Before the class is made nothing is.
bool is_spec(PyObject *o) noexcept;

inline SpecObject *as_spec(PyObject *o) noexcept
{
    return reinterpret_cast<SpecObject *>(o);
}

// Allocates an instance of `cls` (a SpecBase subclass) holding `engine`. A
// failed build fails, so a builder's result can be passed straight in.
Ref wrap(PyTypeObject *cls, Maybe<std::unique_ptr<SpecEngine>> engine);

// The tp_dealloc, tp_traverse and tp_clear every spec class shares. A long
// chain of specs (each the default of the next) is released iteratively.
void drop_engine(PyObject *self) noexcept;
inline constexpr destructor dealloc = gc_dealloc<drop_engine>;
int traverse(PyObject *self, visitproc visit, void *arg);
int clear(PyObject *self);

// `apply`, listed again in every concrete class's own method table: the
// interpreter's specialised call of a method descriptor takes its fast path
// only when the receiver is exactly the descriptor's class, and a descriptor
// inherited from SpecBase never is.
Ref spec_apply(PyObject *self, FastArgs a);
inline constexpr const char APPLY_DOC[] =
    "apply($self, value, allow_partial=False, child_transform=None, root_path=None, inplace=True)\n--\n\n"
    "Apply the spec to a value and return the accepted value.";
// An instance of a final native spec class: its `apply` is `spec_apply`, so
// native callers may skip the method call and the argument binding.
bool is_final_native(PyObject *o) noexcept;
// `spec.apply(value, allow_partial=, child_transform=, root_path=, inplace=)`
// for such a spec; optional objects are nullptr when absent. A caller trying
// alternatives passes what it throws away (`engine::PathText`), and may get a
// rejection with nothing built and no exception set (`discarded()`).
engine::Applied apply_native(PyObject *spec, PyObject *value, bool allow_partial, PyObject *child_transform,
                             PyObject *root_path, bool inplace,
                             engine::Discards discards = engine::Discards::None);

// The engine of a final native spec that can be read now (live, not held
// exclusively) and holds no forward reference by construction: a scalar kind,
// or an Object or Type given a class. Its value type is then its effective
// one, read without a Python call. nullptr for anything else.
const SpecEngine *plain_native_engine(PyObject *o) noexcept;

#define NORV_SPEC_APPLY_METHOD \
    method<::norv::typing::base::spec_apply>("apply", ::norv::typing::base::APPLY_DOC)

// The collector's tp_clear drops a spec's engine, and Python code that runs
// while a cycle is being broken (the finalizer of an object a clear releases)
// can still reach such a spec. Every entry point checks this before it takes
// the engine: a cleared spec raises ReferenceError.
Error raise_cleared(PyObject *spec);
[[nodiscard]] inline Status check_live(PyObject *spec)
{
    if (as_spec(spec)->engine == nullptr) [[unlikely]] {
        return raise_cleared(spec);
    }
    return Status::ok;
}

// A Python-visible method's shared access to its own spec: a cleared spec
// raises ReferenceError, a conflicting access RuntimeError (`failed()`).
class SelfRead {
public:
    explicit SelfRead(PyObject *self) : spec_(as_spec(self))
    {
        if (norv::failed(check_live(self))) {
            return;
        }
        held_ = spec_->borrow.try_shared();
        if (!held_) {
            (void)borrow_conflict("Already mutably borrowed", OnConflict::Raise);
        }
    }
    ~SelfRead()
    {
        if (held_) {
            spec_->borrow.release_shared();
        }
    }
    SelfRead(const SelfRead &) = delete;
    SelfRead &operator=(const SelfRead &) = delete;

    bool failed() const noexcept { return !held_; }
    SpecEngine &engine() const noexcept { return *spec_->engine; }

private:
    SpecObject *spec_;
    bool held_ = false;
};

// Shared access to another spec's engine from native code: a conflict is an
// internal fault, not a RuntimeError; only a cleared spec fails (`failed()`,
// ReferenceError set). Check `failed()` before `engine()`: reading a cleared
// spec's engine is a fault of ours, refused rather than dereferenced.
class NativeRead {
public:
    explicit NativeRead(PyObject *spec)
        : spec_(as_spec(spec)),
          live_(!norv::failed(check_live(spec))),
          borrow_(spec_->borrow, OnConflict::Panic)
    {
    }
    bool failed() const noexcept { return !live_; }
    SpecEngine &engine() const
    {
        if (!live_) [[unlikely]] {
            panic("engine of a cleared value spec read without a check");
        }
        return *spec_->engine;
    }

private:
    SpecObject *spec_;
    bool live_;
    SharedBorrow borrow_;
};

// Three-answer native probes: true, false, or no answer (not a SpecBase).
enum class Probe : std::int8_t { NotNative = -1, No = 0, Yes = 1 };
template <class Pred>
Maybe<Probe> with_native_base(PyObject *o, Pred &&pred)
{
    if (!is_spec(o)) {
        return Probe::NotNative;
    }
    NativeRead read(o);
    if (read.failed()) {
        return error;
    }
    return pred(read.engine()) ? Probe::Yes : Probe::No;
}

// What field classification asks of a spec without a Python call. A host spec
// (NotNative) is asked through Python instead.
inline Maybe<Probe> probe_unconstrained_any(PyObject *o)
{
    return with_native_base(
        o, [](const SpecEngine &e) { return e.tag() == Tag::Any && !e.frozen && !e.transform; });
}
inline Maybe<Probe> probe_tuple(PyObject *o)
{
    return with_native_base(o, [](const SpecEngine &e) { return e.tag() == Tag::Tuple; });
}
inline Maybe<Probe> probe_strict(PyObject *o)
{
    return with_native_base(o, [](const SpecEngine &e) { return e.strict == STRICT_TRUE; });
}
inline Maybe<Probe> probe_noneable(PyObject *o)
{
    return with_native_base(o,
                            [](const SpecEngine &e) { return e.is_noneable && !e.frozen && !e.transform; });
}

}  // namespace base

}  // namespace norv::typing
