// SpecEngine and SpecKind: the whole state of a native value spec.
//
// Every spec object (SpecBase and its concrete classes) owns exactly one
// engine until the garbage collector clears the spec, which drops it. The
// engine is read in place by the apply pipeline, validation, the text form and
// (later) the container fast paths, fields and symbolic containers; only the
// mutators of the spec classes change it, and each of them drops the cached
// text form.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/error.hpp"
#include "core/lock.hpp"
#include "core/ref.hpp"

namespace norv::typing {

// ---- SpecKind ------------------------------------------------------------------
//
// A closed tagged union. The alternative index is the kind tag shared by every
// subsystem that reads it (0 Bool ... 11 Callable); `tag()` names it.

enum class Tag : std::uint8_t {
    Bool = 0,
    Str = 1,
    Number = 2,
    Enum = 3,
    Any = 4,
    List = 5,
    Tuple = 6,
    Union = 7,
    Object = 8,
    Type = 9,
    Dict = 10,
    Callable = 11,
};

// Reports each present reference to the collector, as Py_VISIT does.
inline int visit_refs(visitproc visit, void *arg, std::initializer_list<PyObject *> refs)
{
    for (PyObject *o : refs) {
        if (o != nullptr) {
            if (const int rc = visit(o, arg)) {
                return rc;
            }
        }
    }
    return 0;
}

// Each payload reports its own references to the collector (`traverse`, the
// one list to extend with a new Ref member). The collector's clear drops the
// whole engine, so releasing them is the destructors' job.

struct BoolKind {
    int traverse(visitproc, void *) const noexcept { return 0; }
};
struct StrKind {
    Ref regex;  // compiled pattern, or empty: any str

    int traverse(visitproc visit, void *arg) const { return visit_refs(visit, arg, {regex.get()}); }
};
struct NumberKind {
    bool is_float = false;
    Ref min;  // inclusive bounds; empty: unbounded
    Ref max;

    int traverse(visitproc visit, void *arg) const { return visit_refs(visit, arg, {min.get(), max.get()}); }
};
struct EnumKind {
    Ref values;  // list, held by reference

    int traverse(visitproc visit, void *arg) const { return visit_refs(visit, arg, {values.get()}); }
};
struct AnyKind {
    Ref annotation;  // the bridge's missing value when none was given

    int traverse(visitproc visit, void *arg) const { return visit_refs(visit, arg, {annotation.get()}); }
};
struct ListKind {
    std::int64_t min_size = 0;
    Ref element_spec;
    Ref element_field;
    std::optional<std::int64_t> max_size;

    int traverse(visitproc visit, void *arg) const
    {
        return visit_refs(visit, arg, {element_spec.get(), element_field.get()});
    }
};
struct TupleKind {
    bool fixed_length = false;
    std::int64_t min_size = 0;
    Ref elements;  // list of Fields
    std::optional<std::int64_t> max_size;

    int traverse(visitproc visit, void *arg) const { return visit_refs(visit, arg, {elements.get()}); }
};
struct UnionKind {
    Ref candidates;  // list of value specs
    Ref type_map;    // dict exact type -> candidate, or empty
    Ref members;     // frozenset of the value type's classes when all are plain, or empty

    int traverse(visitproc visit, void *arg) const
    {
        return visit_refs(visit, arg, {candidates.get(), type_map.get(), members.get()});
    }
};
struct ObjectKind {
    Ref forward_ref;  // present when the class was given by name

    int traverse(visitproc visit, void *arg) const { return visit_refs(visit, arg, {forward_ref.get()}); }
};
struct TypeKind {
    Ref t;
    Ref forward_ref;

    int traverse(visitproc visit, void *arg) const
    {
        return visit_refs(visit, arg, {t.get(), forward_ref.get()});
    }
};
struct DictKind {
    bool default_from_schema = false;
    Ref open_str_value_spec;
    Ref schema;  // schema object or None

    int traverse(visitproc visit, void *arg) const
    {
        return visit_refs(visit, arg, {open_str_value_spec.get(), schema.get()});
    }
};
struct CallableKind {
    bool is_functor = false;
    Ref returns;  // optional value spec
    Ref args;     // list of value specs
    Ref kw;       // list of (name, value spec)

    int traverse(visitproc visit, void *arg) const
    {
        return visit_refs(visit, arg, {returns.get(), args.get(), kw.get()});
    }
};

class SpecKind {
public:
    using Payload = std::variant<BoolKind, StrKind, NumberKind, EnumKind, AnyKind, ListKind, TupleKind,
                                 UnionKind, ObjectKind, TypeKind, DictKind, CallableKind>;

    template <class K>
        requires std::is_constructible_v<Payload, K &&>
    SpecKind(K &&k) noexcept : p_(std::forward<K>(k))
    {
    }

    Tag tag() const noexcept { return static_cast<Tag>(p_.index()); }

    template <class K>
    K *get() noexcept
    {
        return std::get_if<K>(&p_);
    }
    template <class K>
    const K *get() const noexcept
    {
        return std::get_if<K>(&p_);
    }

    const Payload &payload() const noexcept { return p_; }

    // Same tag and payload, one more reference to each payload object.
    SpecKind clone_ref() const;

    int traverse(visitproc visit, void *arg) const
    {
        return std::visit([&](const auto &k) { return k.traverse(visit, arg); }, p_);
    }

private:
    Payload p_;
};

// Scalar kinds: the ones whose values have no children.
inline bool is_leaf_kind(Tag t) noexcept
{
    return t == Tag::Bool || t == Tag::Str || t == Tag::Number || t == Tag::Enum || t == Tag::Any;
}

// ---- SpecEngine ----------------------------------------------------------------

enum Strict : std::uint8_t { STRICT_FALSE = 0, STRICT_TRUE = 1, STRICT_UNSET = 2 };

// What a value of exactly the spec's value type needs: nothing (it passes
// unchanged), validation alone, or the whole pipeline.
enum class LeafShortcut : std::uint8_t { None, Exact, Checked };

struct SpecEngine {
    explicit SpecEngine(SpecKind k) noexcept : kind(std::move(k)) {}
    SpecEngine(const SpecEngine &) = delete;
    SpecEngine &operator=(const SpecEngine &) = delete;

    Ref value_type;       // optional
    Ref default_value;    // the bridge's missing value when unset
    Ref default_factory;  // optional
    Ref transform;        // optional
    SpecKind kind;
    std::uint8_t strict = STRICT_UNSET;
    bool is_noneable = false;
    bool frozen = false;

    // The compact text form. Plain UTF-8 bytes under a plain mutex: the lock is
    // only ever held to copy or drop the bytes, never while Python runs, so a
    // rendering that re-enters this very spec cannot deadlock.
    Lock text_mutex;
    std::optional<std::string> text_cache;

    Tag tag() const noexcept { return kind.tag(); }

    // Every object the engine owns, for the spec's tp_traverse. The text cache
    // is plain bytes and holds none.
    int traverse(visitproc visit, void *arg) const
    {
        if (const int rc =
                visit_refs(visit, arg,
                           {value_type.get(), default_value.get(), default_factory.get(), transform.get()})) {
            return rc;
        }
        return kind.traverse(visit, arg);
    }

    void invalidate_repr() noexcept
    {
        std::lock_guard<Lock> lock(text_mutex);
        text_cache.reset();
    }

    LeafShortcut leaf_shortcut() const noexcept;
    // Exactly the spec's value type passes unchanged.
    bool exact_eligible() const noexcept { return leaf_shortcut() == LeafShortcut::Exact; }
    // Exactly the spec's (primitive) value type passes after validation alone.
    bool checked_leaf() const noexcept { return leaf_shortcut() == LeafShortcut::Checked; }

    // Copies behind __copy__ / __deepcopy__. Only the deep copy runs Python
    // code (copy.deepcopy of the payload), so only it can fail.
    std::unique_ptr<SpecEngine> shallow_clone(bool keep_transform) const;
    Maybe<std::unique_ptr<SpecEngine>> deep_clone() const;

    Status set_default(PyObject *default_value, bool use_default_apply, PyObject *root_path);
    Status set_default_factory(PyObject *factory);  // nullptr: none
};

namespace engine {

// The one constructor. `default_value` is the bridge's missing value when the
// caller had none; optional objects are nullptr when absent.
Maybe<std::unique_ptr<SpecEngine>> build_base(PyObject *value_type, SpecKind kind, PyObject *default_value,
                                              PyObject *default_factory, PyObject *transform,
                                              bool is_noneable, bool frozen, std::uint8_t strict);

// root_path itself, or a new empty KeyPath; a null Ref with the error set on failure.
Ref ensure_keypath(PyObject *root_path);

// The rejections a caller throws away unread: a Union trying its candidates
// discards TypeError in its linear passes, and TypeError, ValueError and
// KeyError when it coerces.
enum class Discards : std::uint8_t { None, TypeError, TypeValueKeyError };

// The path text of messages: str(root_path), or "" without a root path.
// Computed on first need, so values that pass never pay for it.
class PathText {
public:
    explicit PathText(PyObject *root_path, Discards discards = Discards::None) noexcept
        : root_path_(root_path), discards_(discards)
    {
    }
    PyObject *root_path() const noexcept { return root_path_; }
    Discards discards() const noexcept { return discards_; }
    // Borrowed str, or NULL with the error set when str(root_path) raised.
    [[nodiscard]] PyObject *get();
    // Whether a rejection raising `type` (an exact class) is thrown away by
    // the caller and the path text renders without running Python code: then
    // a message whose other parts run none either need not be built at all.
    bool discarded(PyObject *type) const noexcept;

private:
    PyObject *root_path_;  // borrowed, may be nullptr
    Discards discards_;
    Ref text_;
};

// ---- results of applying a spec ----------------------------------------------
//
// A failure has its Python exception set either way. A caller that tries
// alternatives (a Union over its candidates) has to tell a value the spec
// rejects from Python code that raised, so the results keep the two apart.
// Every rejection goes through one funnel in apply.cpp, which builds the
// message; a caller that is going to discard it (`PathText::discarded`) is
// spared that work there alone: the result is `Discarded`, with no exception
// set. Only the caller that asked for it ever sees such a result.

// The outcome of a check on a value.
class [[nodiscard]] Verdict {
public:
    enum Kind : signed char { Raised = -1, Ok = 0, Invalid = 1, Discarded = 2 };

    constexpr Verdict(Kind kind) noexcept : kind_(kind) {}
    constexpr Verdict(Error) noexcept : kind_(Raised) {}

    constexpr Kind kind() const noexcept { return kind_; }
    constexpr bool ok() const noexcept { return kind_ == Ok; }
    // The spec rejected the value (as opposed to Python code raising).
    constexpr bool invalid() const noexcept { return kind_ == Invalid || kind_ == Discarded; }
    // Rejected, and nothing was built: no exception is set.
    constexpr bool discarded() const noexcept { return kind_ == Discarded; }
    // For callers that need no reason.
    constexpr operator Status() const noexcept { return kind_ == Ok ? Status::ok : Status::error; }

private:
    Kind kind_;
};

constexpr bool failed(Verdict v) noexcept
{
    return !v.ok();
}

// The applied value, or a failure that tells whether the value was rejected.
class [[nodiscard]] Applied {
public:
    Applied(Ref value) noexcept : value_(std::move(value)) {}  // null: Python raised
    Applied(Error) noexcept {}
    Applied(Verdict failure) noexcept : failure_(failure.kind()) {}  // a failed one only

    explicit operator bool() const noexcept { return bool(value_); }
    bool invalid() const noexcept { return Verdict(failure_).invalid(); }
    bool discarded() const noexcept { return failure_ == Verdict::Discarded; }
    PyObject *get() const noexcept { return value_.get(); }
    // The value (null on failure), for callers that need no reason.
    operator Ref() && noexcept { return std::move(value_); }

private:
    Ref value_;
    Verdict::Kind failure_ = Verdict::Raised;
};

inline bool failed(const Applied &a) noexcept
{
    return !a;
}

// ---- apply pipeline and validation -------------------------------------------

// Optional objects are nullptr when absent (None already mapped to nullptr).
// `discards`: what the caller throws away (`PathText`).
Applied apply(SpecEngine &e, PyObject *spec_object, PyObject *value, bool allow_partial,
              PyObject *child_transform, PyObject *root_path, bool use_transform, bool inplace,
              Discards discards = Discards::None);
// The same with every option at its default: `spec.apply(value)`.
Applied apply(SpecEngine &e, PyObject *spec_object, PyObject *value);
Applied apply_after_value(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                          PathText &path, bool inplace);
Applied coerce_or_raise(SpecEngine &e, PyObject *value, PyObject *value_type, PathText &path);
Applied apply_kind(SpecEngine &e, PyObject *value, bool allow_partial, PyObject *child_transform,
                   PathText &path, bool inplace);
Verdict validate(SpecEngine &e, PyObject *value, PathText &path);

// Replaces the exception in flight (from a user transform) by a new one of the
// same class whose message carries the path; returns the failure.
Error wrap_transform_error(PathText &path);

// ---- text form -------------------------------------------------------------------

Ref format(SpecEngine &e, bool compact, bool verbose, std::int64_t root_indent,
           std::optional<std::int64_t> list_wrap_threshold);
// The compact form (a new str), cached for Bool, Str, Number and Enum.
Ref repr(SpecEngine &e);
// regex.pattern as str, or empty for no regex.
Maybe<Ref> regex_pattern_str(PyObject *regex);

// ---- views over the kind (annotations, forward references, value type) ---------

Maybe<Ref> value_type_obj(SpecEngine &e);  // may hold an empty Ref
Ref forward_refs(SpecEngine &e);
Maybe<bool> type_resolved(SpecEngine &e);
Ref annotation(SpecEngine &e);

}  // namespace engine

}  // namespace norv::typing
