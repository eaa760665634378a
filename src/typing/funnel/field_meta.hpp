// FieldMeta: the funnel's classification of one field, and the funnel tiers
// that accept common values without a full spec application.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/ref.hpp"
#include "typing/services.hpp"

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

using MetaPtr = std::shared_ptr<const FieldMeta>;

namespace field {

Maybe<MetaPtr> build_field_meta(PyObject *key, PyObject *field, PyObject *spec);
Maybe<Ref> candidate_specs(PyObject *spec);  // a list
Maybe<bool> field_has_validator(PyObject *field);

// The cached record of a native Field, built on first use.
Maybe<MetaPtr> field_meta(PyObject *field);

// Cell access for `field_meta` (defined with the field's state). `load`
// gives the record (possibly empty) and the cell's generation; `store`
// keeps `meta` only when no invalidation happened since that load.
MetaPtr meta_load(PyObject *field, std::uint64_t *generation) noexcept;
void meta_store(PyObject *field, MetaPtr meta, std::uint64_t generation) noexcept;

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
// Shape code 0 (fixed tuple), 1 (list / dict) or 2 (other), and whether every
// element spec is a proven scalar leaf.
Maybe<std::pair<int, bool>> container_fill_info(PyObject *spec);
bool is_scalar_value(PyObject *value) noexcept;

Maybe<Accept> funnel_leaf(PyObject *value, const FieldMeta &meta);
Maybe<Accept> funnel_accept(PyObject *value, const FieldMeta &meta, PyObject *key, const FunnelCtx &ctx);
// The value when accepted, an empty Ref when not.
Maybe<Ref> object_accept(PyObject *cls, PyObject *value, bool allow_partial);

}  // namespace funnel

}  // namespace norv::typing
