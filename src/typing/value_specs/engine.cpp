#include "typing/value_specs/engine.hpp"

#include "core/args.hpp"
#include "core/once.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/bridge.hpp"
#include "typing/value_specs/util.hpp"

namespace norv::typing {

namespace {

Ref share(const Ref &r)
{
    return Ref::borrow(r.get());
}

}  // namespace

// ---- SpecKind ------------------------------------------------------------------

SpecKind SpecKind::clone_ref() const
{
    return std::visit(
        [](const auto &k) -> SpecKind {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, BoolKind>) {
                return BoolKind{};
            }
            else if constexpr (std::is_same_v<K, StrKind>) {
                return StrKind{share(k.regex)};
            }
            else if constexpr (std::is_same_v<K, NumberKind>) {
                return NumberKind{k.is_float, share(k.min), share(k.max)};
            }
            else if constexpr (std::is_same_v<K, EnumKind>) {
                return EnumKind{share(k.values)};
            }
            else if constexpr (std::is_same_v<K, AnyKind>) {
                return AnyKind{share(k.annotation)};
            }
            else if constexpr (std::is_same_v<K, ListKind>) {
                return ListKind{k.min_size, share(k.element_spec), share(k.element_field), k.max_size};
            }
            else if constexpr (std::is_same_v<K, TupleKind>) {
                return TupleKind{k.fixed_length, k.min_size, share(k.elements), k.max_size};
            }
            else if constexpr (std::is_same_v<K, UnionKind>) {
                return UnionKind{share(k.candidates), share(k.type_map)};
            }
            else if constexpr (std::is_same_v<K, ObjectKind>) {
                return ObjectKind{share(k.forward_ref)};
            }
            else if constexpr (std::is_same_v<K, TypeKind>) {
                return TypeKind{share(k.t), share(k.forward_ref)};
            }
            else if constexpr (std::is_same_v<K, DictKind>) {
                return DictKind{k.default_from_schema, share(k.open_str_value_spec), share(k.schema)};
            }
            else {
                static_assert(std::is_same_v<K, CallableKind>);
                return CallableKind{k.is_functor, share(k.returns), share(k.args), share(k.kw)};
            }
        },
        p_);
}

// ---- predicates ------------------------------------------------------------------

bool SpecEngine::exact_eligible() const noexcept
{
    if (!value_type || transform || frozen) {
        return false;
    }
    switch (tag()) {
        case Tag::Bool:
        case Tag::Any:
            return true;
        case Tag::Str:
            return !kind.get<StrKind>()->regex;
        case Tag::Number: {
            const NumberKind *n = kind.get<NumberKind>();
            return !n->min && !n->max;
        }
        default:
            return false;
    }
}

bool SpecEngine::checked_leaf() const noexcept
{
    if (!value_type || transform || frozen || !bridge::is_primitive_value_type(value_type.get())) {
        return false;
    }
    switch (tag()) {
        case Tag::Str:
            return bool(kind.get<StrKind>()->regex);
        case Tag::Number: {
            const NumberKind *n = kind.get<NumberKind>();
            return n->min || n->max;
        }
        case Tag::Enum:
            return true;
        default:
            return false;
    }
}

// ---- copies ------------------------------------------------------------------------

std::unique_ptr<SpecEngine> SpecEngine::shallow_clone(bool keep_transform) const
{
    auto e = std::make_unique<SpecEngine>(kind.clone_ref());
    e->value_type = share(value_type);
    e->default_value = share(default_value);
    e->default_factory = share(default_factory);
    if (keep_transform) {
        e->transform = share(transform);
    }
    e->strict = strict;
    e->is_noneable = is_noneable;
    e->frozen = frozen;
    return e;
}

namespace {

PyObject *deepcopy_fn()
{
    static ObjectCell DEEPCOPY;
    return DEEPCOPY.get_or_init([] {
        Ref copy = legacy::checked(PyImport_ImportModule("copy"));
        return legacy::getattr(copy.get(), "deepcopy");
    });
}

// Each call gets a fresh memo: objects shared between the default and the
// payload are copied twice, as the host's own copy does.
Ref deepcopy(PyObject *o)
{
    return legacy::checked(PyObject_CallOneArg(deepcopy_fn(), o));
}

Ref deepcopy_opt(const Ref &o)
{
    return o ? deepcopy(o.get()) : Ref();
}

}  // namespace

std::unique_ptr<SpecEngine> SpecEngine::deep_clone() const
{
    // A copied missing default would be another missing instance; the engine
    // keeps the bridge's own sentinel for "no default".
    Ref new_default = bridge::is_missing(default_value.get()) ? Ref::borrow(bridge::get().missing_value)
                                                              : deepcopy(default_value.get());
    SpecKind new_kind = std::visit(
        [&](const auto &k) -> SpecKind {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, EnumKind>) {
                Ref values = deepcopy(k.values.get());
                if (!PyList_Check(values.get())) {
                    legacy::raise_not_instance(values.get(), "list");
                }
                return EnumKind{std::move(values)};
            }
            else if constexpr (std::is_same_v<K, AnyKind>) {
                return AnyKind{deepcopy(k.annotation.get())};
            }
            else if constexpr (std::is_same_v<K, ListKind>) {
                Ref field = deepcopy(k.element_field.get());
                Ref spec = legacy::getattr(field.get(), bridge::names().value);
                return ListKind{k.min_size, std::move(spec), std::move(field), k.max_size};
            }
            else if constexpr (std::is_same_v<K, TupleKind>) {
                return TupleKind{k.fixed_length, k.min_size, deepcopy(k.elements.get()), k.max_size};
            }
            else if constexpr (std::is_same_v<K, UnionKind>) {
                Ref candidates = deepcopy(k.candidates.get());
                Ref type_map = util::build_candidate_type_map(candidates.get(), !value_type);
                return UnionKind{std::move(candidates), std::move(type_map)};
            }
            else if constexpr (std::is_same_v<K, DictKind>) {
                Ref schema = k.schema.get() == Py_None ? none() : deepcopy(k.schema.get());
                Ref open = util::compute_open_str_value_spec(schema.get());
                return DictKind{k.default_from_schema, std::move(open), std::move(schema)};
            }
            else if constexpr (std::is_same_v<K, CallableKind>) {
                Ref args = deepcopy(k.args.get());
                Ref kw = deepcopy(k.kw.get());
                Ref returns = deepcopy_opt(k.returns);
                return CallableKind{k.is_functor, std::move(returns), std::move(args), std::move(kw)};
            }
            else {
                // Bool, Str, Number, Object, Type share their payload objects.
                return kind.clone_ref();
            }
        },
        kind.payload());
    auto e = std::make_unique<SpecEngine>(std::move(new_kind));
    e->value_type = share(value_type);
    e->default_value = std::move(new_default);
    e->default_factory = share(default_factory);
    e->transform = share(transform);
    e->strict = strict;
    e->is_noneable = is_noneable;
    e->frozen = frozen;
    return e;
}

// ---- defaults ----------------------------------------------------------------------

void SpecEngine::set_default(PyObject *value, bool use_default_apply, PyObject *root_path)
{
    invalidate_repr();
    if (DictKind *d = kind.get<DictKind>()) {
        if (bridge::is_missing(value) && d->schema && d->schema.get() != Py_None) {
            Ref empty = legacy::checked(PyDict_New());
            PyObject *args[] = {d->schema.get(), empty.get(), Py_True};
            Ref kwnames = legacy::checked(PyTuple_Pack(1, bridge::names().allow_partial));
            Ref result = legacy::checked(PyObject_VectorcallMethod(
                bridge::names().apply, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
            d->default_from_schema = true;
            default_value = std::move(result);
            default_factory.reset();
            return;
        }
        d->default_from_schema = false;
    }
    Ref stored;
    if (bridge::is_missing(value)) {
        stored = Ref::borrow(bridge::get().missing_value);
    }
    else if (use_default_apply) {
        stored = engine::apply(*this, nullptr, value, true, nullptr, root_path, true, true);
    }
    else {
        stored = Ref::borrow(value);
    }
    const bool missing = bridge::is_missing(stored.get());
    default_value = std::move(stored);
    if (!missing) {
        default_factory.reset();
    }
}

void SpecEngine::set_default_factory(PyObject *factory)
{
    invalidate_repr();
    if (factory != nullptr && !PyCallable_Check(factory)) {
        legacy::raise_format(PyExc_TypeError, "`default_factory` must be a zero-arg callable. Encountered: %R.",
                     factory);
    }
    default_factory = Ref::borrow(factory);
    if (factory != nullptr) {
        default_value = Ref::borrow(bridge::get().missing_value);
    }
}

namespace engine {

std::unique_ptr<SpecEngine> build_base(PyObject *value_type, SpecKind kind, PyObject *default_value,
                                       PyObject *default_factory, PyObject *transform, bool is_noneable,
                                       bool frozen, std::uint8_t strict)
{
    const bridge::TypingBridge &br = bridge::get();
    auto e = std::make_unique<SpecEngine>(std::move(kind));
    e->value_type = Ref::borrow(value_type);
    e->transform = Ref::borrow(transform);
    e->strict = strict;
    e->is_noneable = is_noneable;
    e->default_value = Ref::borrow(br.missing_value);
    if (default_factory != nullptr) {
        if (!bridge::is_missing(default_value)) {
            legacy::raise(PyExc_ValueError, "Cannot specify both `default` and `default_factory`.");
        }
        e->set_default_factory(default_factory);
    }
    else {
        e->set_default(default_value, true, nullptr);
    }
    e->frozen = frozen;
    return e;
}

namespace {

PyObject *keypath_class()
{
    return reinterpret_cast<PyObject *>(legacy::require(keypath::type()));
}

}  // namespace

Ref child_path(std::int64_t index, PyObject *parent)
{
    Ref i = legacy::new_int(index);
    PyObject *args[] = {i.get(), parent};
    return legacy::checked(PyObject_Vectorcall(keypath_class(), args, parent ? 2 : 1, nullptr));
}

Ref ensure_keypath(PyObject *root_path)
{
    if (root_path != nullptr) {
        return Ref::borrow(root_path);
    }
    return legacy::checked(PyObject_CallNoArgs(keypath_class()));
}

Ref py_set()
{
    Ref builtins = legacy::checked(PyImport_ImportModule("builtins"));
    Ref set = legacy::getattr(builtins.get(), "set");
    return legacy::checked(PyObject_CallNoArgs(set.get()));
}

Ref opt_str(PyObject *obj)
{
    return obj ? legacy::str_of(obj) : legacy::new_str("None");
}

PyObject *PathText::get()
{
    if (!text_) {
        text_ = root_path_ ? legacy::str_of(root_path_) : legacy::checked(PyUnicode_New(0, 0));
    }
    return text_.get();
}

}  // namespace engine

}  // namespace norv::typing
