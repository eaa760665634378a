// ObjectCtorMeta: what native construction, attribute writes and the tree
// operations need of a host object class, gathered once from the class's
// attributes and the object bridge and kept on the class under
// `__native_ctor_meta__` until the host deletes it (when the class's schema
// changes). A snapshot: later changes to the class are not seen.
//
// The instance has no Python surface. Readers hold it (a strong reference
// and a shared access) for as long as they read it; nothing takes it
// exclusively but the collector's clear. It takes part in cyclic garbage
// collection: a class holds its metadata, which holds the class's schema,
// whose fields can name the class again. A collected metadata has lost its
// references (they read as None, and no compiled list) but keeps its facts.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <vector>

#include "core/borrow.hpp"
#include "core/error.hpp"
#include "core/ref.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic::object {

// The class facts the tree operations read as one unit.
struct TopoFacts {
    bool topo_sym = false;
    bool parent_change_overridden = false;
    bool update_children_paths_overridden = false;
    bool path_change_overridden = false;
};

// One init field, compiled for the fill that construction tries first.
struct CompiledField {
    Ref key;               // the init-field entry's name, unconverted
    typing::MetaPtr meta;  // a native field's own cached record, shared
    Ref default_value;     // absent: a required field
    bool default_is_container = false;
};

using CompiledFields = std::vector<CompiledField>;

struct CtorMeta {
    // Every reference the metadata holds; the collector's clear drops them
    // together.
    struct Refs {
        // Absent when the class has no init fields or cannot be filled natively.
        std::optional<CompiledFields> compiled_fields;
        Ref class_schema;         // cls.__schema__
        Ref sym_fields;           // cls.sym_fields
        Ref fields_schema;        // cls.sym_fields.schema
        Ref init_fields;          // cls._sym_init_fields
        Ref non_symbolic_fields;  // cls._non_symbolic_fields
        // Sets of exact str: the names of the non-symbolic fields (always
        // made), of the keyword aliases and of the init fields (absent
        // without `_sym_alias_maps` / `_sym_init_fields`).
        Ref non_symbolic_names;
        Ref alias_names;
        Ref init_names;
        // {init field name: field}, names starting with "_" left out; absent
        // without init fields.
        Ref write_meta;
    } refs;

    TopoFacts topo;
    bool sym = false;
    bool attr_write = false;
    bool frozen = false;
    bool post_init_overridden = false;
    bool bound_overridden = false;
    bool ready_not_noop = false;
    bool preinit_overridden = false;
    bool validate_overridden = false;
    bool has_attrs_builder = false;
    bool has_non_symbolic_fields = false;
    bool needs_cooperative_init = false;
    bool topology_methods_native = false;
    bool sym_missing_default = false;
    bool puresymbolic_default = false;
};

struct ObjectCtorMeta {
    // The class (created on first use); NULL with the error set when
    // creating it failed.
    static PyTypeObject *type();

    // An instance of the class. False before the class exists.
    static bool check(PyObject *o) noexcept;

    // Gathers a fresh metadata for `cls`, stored nowhere. Needs the object
    // bridge (an internal fault without it).
    static Maybe<std::unique_ptr<CtorMeta>> build(PyObject *cls);

    // The compiled init fields; an empty optional when some field cannot be
    // filled natively.
    static Maybe<std::optional<CompiledFields>> compile_fields(PyObject *init_fields);

    // A new instance holding `meta`.
    static Ref wrap(std::unique_ptr<CtorMeta> meta);
};

// A read of a metadata instance: keeps it alive and held shared.
class [[nodiscard]] MetaRead {
public:
    explicit MetaRead(Ref meta);
    MetaRead(const MetaRead &) = delete;
    MetaRead &operator=(const MetaRead &) = delete;

    const CtorMeta &operator*() const noexcept { return *meta_; }
    const CtorMeta *operator->() const noexcept { return meta_; }

private:
    Ref obj_;
    SharedBorrow hold_;
    const CtorMeta *meta_;
};

}  // namespace norv::symbolic::object
