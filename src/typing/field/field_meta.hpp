// FieldMeta: the funnel's classification of one field, and the funnel tiers
// that accept common values without a full spec application.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstddef>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "typing/value_specs/services.hpp"

namespace norv::typing {

// Immutable once built; shared by the field's cell and every running caller.
// Its references are released with the interpreter lock held (records are
// dropped only by native code running under it).
struct FieldMeta {
    std::vector<Ref> exact;                    // exact types accepted unchanged
    std::vector<std::pair<Ref, Ref>> checked;  // (exact type, spec whose _validate decides)
    std::vector<Ref> subclass;                 // object classes
    Ref key;                                   // the key spec's const_text
    Ref value_spec;
    bool enable_validation = false;
    bool accept_any = false;
    bool widen_to_float = false;
    bool wrap = false;
    bool custom_apply = false;
    bool enable_wrap = false;
    bool has_default = false;
    bool frozen = false;
    bool scalar_fill = false;

    bool is_exact(PyTypeObject *t) const noexcept
    {
        for (const Ref &e : exact) {
            if (e.get() == reinterpret_cast<PyObject *>(t)) {
                return true;
            }
        }
        return false;
    }
    PyObject *checked_spec(PyTypeObject *t) const noexcept
    {
        for (const auto &[type, spec] : checked) {
            if (type.get() == reinterpret_cast<PyObject *>(t)) {
                return spec.get();
            }
        }
        return nullptr;
    }
    int traverse(visitproc visit, void *arg) const;
};

// An owning handle on a FieldMeta. The count is a plain integer: the module
// runs only under the interpreter lock (free-threaded builds are refused), and
// every copy and release happens in native code that holds it, so a count
// change needs no atomic instruction.
class MetaPtr {
public:
    MetaPtr() noexcept = default;
    static MetaPtr make(FieldMeta &&meta) { return MetaPtr(new Node{1, std::move(meta)}); }

    MetaPtr(const MetaPtr &o) noexcept : n_(o.n_)
    {
        if (n_ != nullptr) {
            ++n_->refs;
        }
    }
    MetaPtr(MetaPtr &&o) noexcept : n_(std::exchange(o.n_, nullptr)) {}
    MetaPtr &operator=(MetaPtr o) noexcept
    {
        swap(o);
        return *this;
    }
    ~MetaPtr()
    {
        if (n_ != nullptr && --n_->refs == 0) {
            delete n_;
        }
    }
    void swap(MetaPtr &o) noexcept { std::swap(n_, o.n_); }

    const FieldMeta *get() const noexcept { return n_ != nullptr ? &n_->meta : nullptr; }
    const FieldMeta &operator*() const noexcept { return n_->meta; }
    const FieldMeta *operator->() const noexcept { return &n_->meta; }
    explicit operator bool() const noexcept { return n_ != nullptr; }
    // How many holders share the record (0 for an empty pointer).
    std::size_t use_count() const noexcept { return n_ != nullptr ? n_->refs : 0; }

private:
    struct Node {
        std::size_t refs;
        const FieldMeta meta;
    };
    explicit MetaPtr(Node *n) noexcept : n_(n) {}
    Node *n_ = nullptr;
};

namespace field {

Maybe<MetaPtr> build_field_meta(PyObject *key, PyObject *field, PyObject *spec);
Maybe<Ref> candidate_specs(PyObject *spec);  // a list
Maybe<bool> field_has_validator(PyObject *field);

// A native Field's record cell. Read and replaced without a lock: only
// native code holding the interpreter lock touches it, and none of it runs
// Python code halfway.
struct MetaCell {
    MetaPtr meta;  // empty until the first use, and after an invalidation
    // Bumped by every invalidation, so a record built across one is not stored.
    std::uint64_t generation = 0;
};

// How every native Field begins (its state follows), so that the cell is
// read in place.
struct FieldHead {
    PyObject_HEAD
    MetaCell cell;
};

// `field` must be a native Field.
inline MetaCell &meta_cell(PyObject *field) noexcept
{
    return reinterpret_cast<FieldHead *>(field)->cell;
}

Maybe<MetaPtr> build_and_cache_meta(PyObject *field);

// The cached record of a native Field, built on first use.
inline Maybe<MetaPtr> field_meta(PyObject *field)
{
    if (const MetaPtr &cached = meta_cell(field).meta) {
        return cached;
    }
    return build_and_cache_meta(field);
}

}  // namespace field

namespace funnel {

enum class AcceptKind : std::uint8_t { Verbatim = 0, Produced = 1, Wrap = 2, Deferred = 3 };

struct Accept {
    AcceptKind kind = AcceptKind::Deferred;
    Ref value;  // Produced and Wrap only
};

struct FunnelCtx {
    PyObject *root_path = nullptr;  // optional
    bool allow_partial = false;
    bool no_path = false;
};

Maybe<Ref> checked_leaf_type(PyObject *spec);
// The value type of a spec's `fast_apply_info` when that is eligible, else
// an empty Ref (read through the attribute, whatever the spec).
Maybe<Ref> fast_apply_value_type(PyObject *spec);
// A native List, Tuple or Dict spec that is neither frozen nor transformed.
Maybe<bool> is_container_candidate(PyObject *spec);
Maybe<bool> proven_scalar_leaf(PyObject *spec);
// The container a spec fills.
enum class FillShape { FixedTuple, ListOrDict, Other };
// The spec's shape, and whether every element spec is a proven scalar leaf.
Maybe<std::pair<FillShape, bool>> container_fill_info(PyObject *spec);
// None, or exactly an int, float, str, bool or bytes.
inline bool is_scalar_value(PyObject *value) noexcept
{
    PyTypeObject *t = Py_TYPE(value);
    return value == Py_None || t == &PyLong_Type || t == &PyFloat_Type || t == &PyUnicode_Type ||
           t == &PyBool_Type || t == &PyBytes_Type;
}

Maybe<Accept> funnel_leaf(PyObject *value, const FieldMeta &meta);
Maybe<Accept> funnel_accept(PyObject *value, const FieldMeta &meta, PyObject *key, const FunnelCtx &ctx);
// The value when accepted, an empty Ref when not.
Maybe<Ref> object_accept(PyObject *cls, PyObject *value, bool allow_partial);

}  // namespace funnel

}  // namespace norv::typing
