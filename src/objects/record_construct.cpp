// Construction of records: the core that turns keywords into validated field
// cells, the native record `tp_init` that seeds the node, runs the core and
// adopts the children, and the tail both share with the clone construction.
// The class attributes are read through the records' class reads: a plain
// value is remembered while the class's version tag stays the same.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/args.hpp"
#include "core/boundary.hpp"
#include "core/dict_keys.hpp"
#include "core/names.hpp"
#include "core/truth.hpp"
#include "scopes/flags.hpp"
#include "kernel/layout.hpp"
#include "kernel/record_cells.hpp"
#include "nodes/object_bridge.hpp"
#include "objects/construct.hpp"
#include "objects/record_object.hpp"
#include "objects/sym_object.hpp"
#include "nodes/class_reads.hpp"
#include "containers/adopt.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_specs/services.hpp"
#include "typing/field/field_meta.hpp"

namespace norv::symbolic::object {

namespace {

namespace sc = typing::schema;
using ops::ClassReads;

// `cls.<name>`.
Ref class_read(PyObject *cls, ClassReads::Name name)
{
    return ops::record_class_reads().read_class(reinterpret_cast<PyTypeObject *>(cls), name);
}

Maybe<std::string_view> utf8_of(PyObject *text)
{
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        return error;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// Whether the str `key` names one of `names` (a list or tuple of str),
// compared by UTF-8 bytes; no key code runs. Text UTF-8 cannot encode is the
// encoder's error.
Maybe<bool> names_hold(PyObject *names, PyObject *key)
{
    // The interpreter's keyword names are interned, and so mostly are the
    // field names: the same object is the same text. Only over ASCII names,
    // whose encoding cannot fail, so no error the byte walk would meet first
    // is skipped.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names); ++i) {
        PyObject *name = PySequence_Fast_GET_ITEM(names, i);
        if (!PyUnicode_IS_ASCII(name)) {
            break;
        }
        if (name == key) {
            return true;
        }
    }
    const Maybe<std::string_view> text = utf8_of(key);
    if (!text) {
        return error;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names); ++i) {
        const Maybe<std::string_view> name = utf8_of(PySequence_Fast_GET_ITEM(names, i));
        if (!name) {
            return error;
        }
        if (*name == *text) {
            return true;
        }
    }
    return false;
}

// The keys of `kwargs`, in order, that name none of `names`.
Ref unexpected_keys(PyObject *kwargs, PyObject *names)
{
    Ref out = Ref::steal(PyList_New(0));
    if (!out || failed(construct::collect_keys_if(kwargs, out.get(), [&](PyObject *key) -> Maybe<bool> {
            const Maybe<bool> named = PyUnicode_Check(key) ? names_hold(names, key) : Maybe<bool>(false);
            return named ? Maybe<bool>(!*named) : named;
        }))) {
        return error;
    }
    return out;
}

// A class whose init fields are all plain forms no child or error paths.
Maybe<bool> no_symbolic_fields(PyObject *cls)
{
    Ref names = class_read(cls, ClassReads::SlotSymbolicFieldNames);
    Ref seq = names ? to_str_sequence(names.get()) : Ref();
    if (!seq) {
        return failed(discard_ordinary_error()) ? Maybe<bool>(error) : Maybe<bool>(false);
    }
    return PySequence_Fast_GET_SIZE(seq.get()) == 0;
}

// What lets the missing check be read off the validated values. Validation
// stores a value for every constant field it finds in the keywords or that
// has a default, and skips a required one it does not find; the check looks
// the required ones up again. The two lookups agree when neither runs code
// (exact str on both sides) and nothing changed between them: the keyword
// dict is the construction's own, and no field's record was replaced
// (records are only replaced by an invalidation, which bumps a generation
// that never decreases, so equal sums mean equal generations).
class MissingProof {
public:
    // Taken before validation, under the schema's shared borrow.
    MissingProof(const sc::SchemaMeta &m, PyObject *kwargs, bool kwargs_owned) noexcept
    {
        if (m.has_nonconst_keys || !kwargs_owned || !exact_str_keys(kwargs)) {
            return;
        }
        const std::optional<std::uint64_t> sum = generations(m);
        valid_ = sum.has_value();
        generations_ = sum.value_or(0);
    }

    // Whether validation, which stored `stored` values, left no required
    // field missing; false when that cannot be told without the check.
    bool nothing_missing(const sc::SchemaMeta &m, std::size_t stored) const noexcept
    {
        if (!valid_ || stored != m.const_fields.size()) {
            return false;
        }
        const std::optional<std::uint64_t> sum = generations(m);
        if (!sum || *sum != generations_) {
            return false;
        }
        for (const Ref &f : m.const_fields) {
            const typing::MetaPtr &meta = typing::field::meta_cell(f.get()).meta;
            if (!meta || !PyUnicode_CheckExact(meta->key.get())) {
                return false;
            }
        }
        return true;
    }

private:
    // The sum of the fields' record generations; nothing when a field is no native Field.
    static std::optional<std::uint64_t> generations(const sc::SchemaMeta &m) noexcept
    {
        std::uint64_t sum = 0;
        for (const Ref &f : m.const_fields) {
            if (!typing::field::is_field(f.get())) {
                return std::nullopt;
            }
            sum += typing::field::meta_cell(f.get()).generation;
        }
        return sum;
    }

    bool valid_ = false;
    std::uint64_t generations_ = 0;
};

// The validated values of an all-constant schema, in schema order, as the
// validation's dict would hold them.
class ValueRun final : public sc::FieldSink {
public:
    explicit ValueRun(std::size_t fields) { pairs_.reserve(fields); }

    Status put(PyObject *key, Ref value) override
    {
        pairs_.emplace_back(Ref::borrow(key), std::move(value));
        return Status::ok;
    }

    std::size_t size() const noexcept { return pairs_.size(); }

    Status screen(CellCycleScreen &cycles) const
    {
        for (const auto &[key, value] : pairs_) {
            if (failed(cycles.check(key.get(), value.get()))) {
                return error;
            }
        }
        return Status::ok;
    }

    // Writes the cells of `names` as `record_write_fields` would write the
    // dict: matched here by text when every name and key is an exact str (no
    // lookup could run code; the last of equal keys wins, as in the dict),
    // else through the dict itself.
    Status write(PyObject *inst, PyObject *names) const
    {
        if (!exact_str(names)) {
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) {
                return error;
            }
            for (const auto &[key, value] : pairs_) {
                if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
                    return error;
                }
            }
            return record_write_fields(inst, names, dict.get());
        }
        auto value_of = [](void *run, PyObject *name) noexcept -> PyObject * {
            const auto &pairs = static_cast<const ValueRun *>(run)->pairs_;
            for (auto it = pairs.rbegin(); it != pairs.rend(); ++it) {
                PyObject *key = it->first.get();
                if (key == name ||
                    (PyObject_Hash(key) == PyObject_Hash(name) && PyUnicode_Compare(key, name) == 0)) {
                    return it->second.get();
                }
            }
            return nullptr;
        };
        if (failed(
                kernel::record::write_record_slots_by(inst, names, value_of, const_cast<ValueRun *>(this)))) {
            return error;
        }
        return record_drop_kept_view(inst);
    }

private:
    bool exact_str(PyObject *names) const noexcept
    {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names); ++i) {
            if (!PyUnicode_CheckExact(PySequence_Fast_GET_ITEM(names, i))) {
                return false;
            }
        }
        for (const auto &pair : pairs_) {
            if (!PyUnicode_CheckExact(pair.first.get())) {
                return false;
            }
        }
        return true;
    }

    std::vector<std::pair<Ref, Ref>> pairs_;
};

Error refuse_foreign(PyObject *inst)
{
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(inst)));
    return name ? raise_format(PyExc_TypeError, "'%U' object is not an inline-slot Record", name.get())
                : error;
}

// `cls.<name>` as a list or tuple of str.
Ref name_sequence(PyObject *cls, ClassReads::Name name)
{
    Ref names = class_read(cls, name);
    return names ? to_str_sequence(names.get()) : Ref();
}

Error explicit_init_error(PyObject *cls)
{
    Ref name = class_name_text(cls);
    return name ? raise_format(PyExc_NotImplementedError,
                               "%U: `slots=True` does not yet support `explicit_init` (a cooperative "
                               "`super().__init__()` co-base under multiple inheritance).",
                               name.get())
                : error;
}

// ---- the module function --------------------------------------------------------------------

const Signature CONSTRUCT_SIG{"_slot_record_construct",
                              {arg("inst"), arg("field_names"), opt("kwargs"), opt("allow_partial"),
                               opt("child_transform"), opt("root_path")}};

Ref slot_record_construct(PyObject *, FastArgs a)
{
    Bound b;
    if (failed(CONSTRUCT_SIG.bind(a, b))) {
        return error;
    }
    Ref names = convert_arg("field_names", [&] { return to_str_list(b[1]); });
    if (!names) {
        return error;
    }
    PyObject *kwargs = b.null_if_none(2);
    if (kwargs != nullptr && !PyDict_Check(kwargs)) {
        return convert_arg("kwargs", [&] { return Ref(raise_not_instance(kwargs, "dict")); });
    }
    const Maybe<bool> allow_partial = bool_arg("allow_partial", b[3], false, ArgCause::Conversion);
    if (!allow_partial) {
        return error;
    }
    if (failed(record_construct(b[0], names.get(), kwargs, false, *allow_partial, b.null_if_none(4),
                                b.null_if_none(5)))) {
        return error;
    }
    return none();
}

}  // namespace

// Module functions; module_functions.cpp lists them in the host's order.
PyMethodDef RECORD_CONSTRUCT_DEF = method<slot_record_construct>(
    "_slot_record_construct",
    "_slot_record_construct($module, /, inst, field_names, kwargs=None, allow_partial=False, "
    "child_transform=None, root_path=None)\n--\n\n"
    "Fill a record's field cells from validated keyword arguments.");

Status record_construct(PyObject *inst, PyObject *names, PyObject *kwargs, bool kwargs_owned,
                        bool allow_partial, PyObject *child_transform, PyObject *root_path)
{
    // Every cell access below trusts the class's layout attributes only for a kernel type.
    if (kernel::kernel_type_of(Py_TYPE(inst)) == nullptr) {
        return refuse_foreign(inst);
    }
    PyObject *cls = type_of(inst);
    Ref kw = kwargs != nullptr ? Ref::borrow(kwargs) : Ref::steal(PyDict_New());
    Ref unexpected = kw ? unexpected_keys(kw.get(), names) : Ref();
    if (!unexpected) {
        return error;
    }
    // A class that ignores unexpected keywords has them removed from the
    // dict given, the caller's own included.
    if (PyList_GET_SIZE(unexpected.get()) > 0 &&
        failed(construct::screen_unexpected_kwargs(cls, kw.get(), unexpected.get()))) {
        return error;
    }
    Ref spec = class_read(cls, ClassReads::SymFields);
    Ref schema = spec ? attr<"schema">(spec.get()) : Ref();
    if (!schema || failed(construct::require_schema(schema.get()))) {
        return error;
    }
    const bool partial = flags::override_of(flags::ALLOW_PARTIAL).value_or(allow_partial);
    const Maybe<bool> no_path = no_symbolic_fields(cls);
    if (!no_path) {
        return error;
    }
    // An all-constant schema's values are kept in order, not in a dict.
    std::optional<ValueRun> run;
    bool nothing_missing = false;
    Maybe<sc::Valued> valued = [&]() -> Maybe<sc::Valued> {
        SharedBorrow hold(sc::state(schema.get()).borrow, OnConflict::Panic);
        const sc::SchemaMeta &m = sc::state(schema.get()).caches();
        if (m.has_nonconst_keys || !PyDict_Check(kw.get())) {
            return sc::validate_fields_native(schema.get(), kw.get(), partial, child_transform, root_path,
                                              false, *no_path);
        }
        const MissingProof proof(m, kw.get(), kwargs_owned);
        run.emplace(m.const_fields.size());
        const Maybe<bool> scalar = sc::validate_const_fields(schema.get(), kw.get(), partial, child_transform,
                                                             root_path, false, *no_path, *run);
        if (!scalar) {
            return error;
        }
        nothing_missing = proof.nothing_missing(m, run->size());
        return sc::Valued{Ref(), *scalar};
    }();
    if (!valued) {
        return error;
    }
    if (!partial && !nothing_missing && failed(construct::check_missing(cls, schema.get(), kw.get()))) {
        return error;
    }
    const Maybe<Ref> parent = record_parent_cell(inst);
    if (!parent) {
        return error;
    }
    CellCycleScreen cycles(inst, bool(*parent));
    if (run) {
        return failed(run->screen(cycles)) ? Status::error : run->write(inst, names);
    }
    if (!PyDict_Check(valued->value.get())) {
        return raise_not_instance(valued->value.get(), "dict");
    }
    return failed(cycles.check_dict(valued->value.get()))
               ? Status::error
               : record_write_fields(inst, names, valued->value.get());
}

Status record_finish(PyObject *inst, PyObject *cls, bool sealed, const CloneContext &clone)
{
    Ref fields = class_read(cls, ClassReads::NonSymbolicFields);
    const Maybe<bool> seeded = fields ? truth(fields.get()) : Maybe<bool>(error);
    if (!seeded || (*seeded && failed(construct::non_symbolic_fields(inst, fields.get(), clone)))) {
        return error;
    }
    Ref noop_flag = class_read(cls, ClassReads::PostInitIsNoop);
    const Maybe<bool> noop = noop_flag ? truth(noop_flag.get()) : Maybe<bool>(error);
    if (!noop || (!*noop && !call_method(inst, interned<"on_sym_post_init">()))) {
        return error;
    }
    return !sealed || call_method(inst, interned<"sym_seal">(), Py_True) ? Status::ok : Status::error;
}

Status record_tp_init_body(PyObject *obj, PyObject *args, PyObject *kwargs)
{
    if (failed(defer_positional_to_python_init(obj, args, kwargs, "native record tp_init"))) {
        return error;
    }
    bool allow_partial = false;
    std::optional<bool> sealed, explicit_init;
    Ref root_path;
    if (kwargs != nullptr && !PyDict_Check(kwargs)) {
        return raise_not_instance(kwargs, "dict");
    }
    // A call without options mostly shows it by its keys alone.
    if (kwargs != nullptr &&
        !lacks_interned_names(kwargs, {interned<"allow_partial">(), interned<"sealed">(),
                                       interned<"root_path">(), interned<"explicit_init">()})) {
        // Each taken out and converted in turn: a failed conversion leaves the later ones in place.
        auto take = [&](PyObject *name, bool none_is_unset, std::optional<bool> &out) -> Status {
            const Maybe<std::optional<bool>> converted =
                construct::pop_slot_option(kwargs, name, none_is_unset);
            if (!converted) {
                return error;
            }
            out = *converted;
            return Status::ok;
        };
        const Maybe<bool> partial = construct::pop_allow_partial(kwargs);
        if (!partial) {
            return error;
        }
        allow_partial = *partial;
        if (failed(take(interned<"sealed">(), true, sealed))) {
            return error;
        }
        Maybe<Ref> path = pop_kw(kwargs, interned<"root_path">());
        if (!path || failed(take(interned<"explicit_init">(), false, explicit_init))) {
            return error;
        }
        if (path->get() != Py_None) {
            root_path = std::move(*path);
        }
    }
    PyObject *cls = type_of(obj);
    if (explicit_init.value_or(false)) {
        return explicit_init_error(cls);
    }
    Ref options = class_read(cls, ClassReads::SymOptions);
    const Maybe<bool> seal = options ? sealed_or_frozen(options.get(), sealed) : Maybe<bool>(error);
    if (!seal) {
        return error;
    }
    Ref names = name_sequence(cls, ClassReads::SlotFieldNames);
    Ref symbolic_names = names ? name_sequence(cls, ClassReads::SlotSymbolicFieldNames) : Ref();
    if (!symbolic_names) {
        return error;
    }
    // The seeding detaches a record constructed again from a parent that still holds it.
    Maybe<Ref> former = record_parent_cell(obj);
    if (!former) {
        return error;
    }
    const adopt::FormerParent detached(obj, std::move(*former));
    if (failed(record_init_node_state(obj, allow_partial, *seal, root_path.get()))) {
        return error;
    }
    const bool has_children = PySequence_Fast_GET_SIZE(symbolic_names.get()) > 0;
    Ref transform;
    if (has_children) {
        PyObject *flag = py_bool(allow_partial);
        transform = Ref::steal(PyObject_Vectorcall(bridge::get().symbolic_transform_fn, &flag, 1, nullptr));
        if (!transform) {
            return error;
        }
    }
    if (failed(record_construct(obj, names.get(), kwargs, true, allow_partial, transform.get(),
                                root_path.get())) ||
        (has_children && failed(record_adopt_children(obj, symbolic_names.get())))) {
        return error;
    }
    return record_finish(obj, cls, *seal, CloneContext{});
}

}  // namespace norv::symbolic::object
