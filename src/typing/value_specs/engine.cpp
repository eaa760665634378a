#include "typing/value_specs/engine.hpp"

#include "core/args.hpp"
#include "core/names.hpp"
#include "core/once.hpp"
#include "core/recursion.hpp"
#include "topology/keypath.hpp"
#include "typing/bridge/typing_bridge.hpp"
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
                return UnionKind{share(k.candidates), share(k.type_map), share(k.members)};
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

LeafShortcut SpecEngine::leaf_shortcut() const noexcept
{
    if (!value_type || transform || frozen) {
        return LeafShortcut::None;
    }
    switch (tag()) {
        case Tag::Bool:
        case Tag::Any:
            return LeafShortcut::Exact;
        case Tag::Str:
            if (!kind.get<StrKind>()->regex) {
                return LeafShortcut::Exact;
            }
            break;
        case Tag::Number: {
            const NumberKind *n = kind.get<NumberKind>();
            if (!n->min && !n->max) {
                return LeafShortcut::Exact;
            }
            break;
        }
        case Tag::Enum:
            break;
        default:
            return LeafShortcut::None;
    }
    // Validation alone suffices only for the builtin scalar value types.
    return bridge::is_primitive_value_type(value_type.get()) ? LeafShortcut::Checked : LeafShortcut::None;
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

// Borrowed; NULL with the error set.
PyObject *deepcopy_fn()
{
    static ObjectCell DEEPCOPY;
    return DEEPCOPY.get_or_init([]() -> Ref {
        Ref copy = Ref::steal(PyImport_ImportModule("copy"));
        if (!copy) {
            return error;
        }
        return getattr(copy.get(), "deepcopy");
    });
}

// Each call gets a fresh memo: objects shared between the default and the
// payload are copied twice, as the host's own copy does.
Ref deepcopy(PyObject *o)
{
    PyObject *fn = deepcopy_fn();
    if (fn == nullptr) {
        return error;
    }
    return Ref::steal(PyObject_CallOneArg(fn, o));
}

}  // namespace

Maybe<std::unique_ptr<SpecEngine>> SpecEngine::deep_clone() const
{
    // The payload is copied through `copy.deepcopy`, which copies child specs
    // through here again.
    RecursionGuard depth(" while copying a value spec");
    if (depth.failed()) {
        return error;
    }
    // A copied missing default would be another missing instance; the engine
    // keeps the bridge's own sentinel for "no default".
    const Maybe<bool> no_default = bridge::is_missing(default_value.get());
    if (!no_default) {
        return error;
    }
    Ref new_default = *no_default ? Ref::borrow(bridge::get().missing_value) : deepcopy(default_value.get());
    if (!new_default) {
        return error;
    }
    Maybe<SpecKind> new_kind = std::visit(
        [&](const auto &k) -> Maybe<SpecKind> {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, EnumKind>) {
                Ref values = deepcopy(k.values.get());
                if (!values) {
                    return error;
                }
                if (!PyList_Check(values.get())) {
                    return raise_not_instance(values.get(), "list");
                }
                return SpecKind(EnumKind{std::move(values)});
            }
            else if constexpr (std::is_same_v<K, AnyKind>) {
                Ref annotation = deepcopy(k.annotation.get());
                if (!annotation) {
                    return error;
                }
                return SpecKind(AnyKind{std::move(annotation)});
            }
            else if constexpr (std::is_same_v<K, ListKind>) {
                Ref field = deepcopy(k.element_field.get());
                if (!field) {
                    return error;
                }
                Ref spec = attr<"value">(field.get());
                if (!spec) {
                    return error;
                }
                return SpecKind(ListKind{k.min_size, std::move(spec), std::move(field), k.max_size});
            }
            else if constexpr (std::is_same_v<K, TupleKind>) {
                Ref elements = deepcopy(k.elements.get());
                if (!elements) {
                    return error;
                }
                return SpecKind(TupleKind{k.fixed_length, k.min_size, std::move(elements), k.max_size});
            }
            else if constexpr (std::is_same_v<K, UnionKind>) {
                Ref candidates = deepcopy(k.candidates.get());
                if (!candidates) {
                    return error;
                }
                Maybe<Ref> type_map = util::build_candidate_type_map(candidates.get(), !value_type);
                if (!type_map) {
                    return error;
                }
                // The value type is shared, and so are its members.
                return SpecKind(UnionKind{std::move(candidates), std::move(*type_map), share(k.members)});
            }
            else if constexpr (std::is_same_v<K, DictKind>) {
                Ref schema = k.schema.get() == Py_None ? none() : deepcopy(k.schema.get());
                if (!schema) {
                    return error;
                }
                Maybe<Ref> open = util::compute_open_str_value_spec(schema.get());
                if (!open) {
                    return error;
                }
                return SpecKind(DictKind{k.default_from_schema, std::move(*open), std::move(schema)});
            }
            else if constexpr (std::is_same_v<K, CallableKind>) {
                Ref args = deepcopy(k.args.get());
                if (!args) {
                    return error;
                }
                Ref kw = deepcopy(k.kw.get());
                if (!kw) {
                    return error;
                }
                Ref returns;
                if (k.returns) {
                    returns = deepcopy(k.returns.get());
                    if (!returns) {
                        return error;
                    }
                }
                return SpecKind(
                    CallableKind{k.is_functor, std::move(returns), std::move(args), std::move(kw)});
            }
            else {
                // Bool, Str, Number, Object, Type share their payload objects.
                return kind.clone_ref();
            }
        },
        kind.payload());
    if (!new_kind) {
        return error;
    }
    auto e = std::make_unique<SpecEngine>(std::move(*new_kind));
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

Status SpecEngine::set_default(PyObject *value, bool use_default_apply, PyObject *root_path)
{
    invalidate_repr();
    const Maybe<bool> value_missing = bridge::is_missing(value);
    if (!value_missing) {
        return error;
    }
    if (DictKind *d = kind.get<DictKind>()) {
        if (*value_missing && d->schema && d->schema.get() != Py_None) {
            Ref empty = Ref::steal(PyDict_New());
            if (!empty) {
                return error;
            }
            PyObject *args[] = {d->schema.get(), empty.get(), Py_True};
            Ref result = Ref::steal(PyObject_VectorcallMethod(
                interned<"apply">(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames<"allow_partial">()));
            if (!result) {
                return error;
            }
            d->default_from_schema = true;
            default_value = std::move(result);
            default_factory.reset();
            return Status::ok;
        }
        d->default_from_schema = false;
    }
    Ref stored;
    if (*value_missing) {
        stored = Ref::borrow(bridge::get().missing_value);
    }
    else if (use_default_apply) {
        stored = engine::apply(*this, nullptr, value, true, nullptr, root_path, true, true);
        if (!stored) {
            return error;
        }
    }
    else {
        stored = Ref::borrow(value);
    }
    const Maybe<bool> missing = bridge::is_missing(stored.get());
    if (!missing) {
        return error;
    }
    default_value = std::move(stored);
    if (!*missing) {
        default_factory.reset();
    }
    return Status::ok;
}

Status SpecEngine::set_default_factory(PyObject *factory)
{
    invalidate_repr();
    if (factory != nullptr && !PyCallable_Check(factory)) {
        return raise_format(PyExc_TypeError,
                            "`default_factory` must be a zero-arg callable. Encountered: %R.", factory);
    }
    default_factory = Ref::borrow(factory);
    if (factory != nullptr) {
        default_value = Ref::borrow(bridge::get().missing_value);
    }
    return Status::ok;
}

namespace engine {

Maybe<std::unique_ptr<SpecEngine>> build_base(PyObject *value_type, SpecKind kind, PyObject *default_value,
                                              PyObject *default_factory, PyObject *transform,
                                              bool is_noneable, bool frozen, std::uint8_t strict)
{
    const bridge::TypingBridge &br = bridge::get();
    auto e = std::make_unique<SpecEngine>(std::move(kind));
    e->value_type = Ref::borrow(value_type);
    e->transform = Ref::borrow(transform);
    e->strict = strict;
    e->is_noneable = is_noneable;
    e->default_value = Ref::borrow(br.missing_value);
    if (default_factory != nullptr) {
        const Maybe<bool> no_default = bridge::is_missing(default_value);
        if (!no_default) {
            return error;
        }
        if (!*no_default) {
            return raise(PyExc_ValueError, "Cannot specify both `default` and `default_factory`.");
        }
        if (failed(e->set_default_factory(default_factory))) {
            return error;
        }
    }
    else if (failed(e->set_default(default_value, true, nullptr))) {
        return error;
    }
    e->frozen = frozen;
    return e;
}

Ref ensure_keypath(PyObject *root_path)
{
    if (root_path != nullptr) {
        return Ref::borrow(root_path);
    }
    // Paths are immutable: one empty root serves every call.
    static ObjectCell EMPTY_ROOT;
    PyObject *root = EMPTY_ROOT.get_or_init([] {
        PyTypeObject *cls = keypath::type();
        return cls ? Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(cls))) : Ref();
    });
    return root ? Ref::borrow(root) : Ref();
}

PyObject *PathText::get()
{
    if (!text_) {
        text_ = root_path_ ? str_of(root_path_) : Ref::steal(PyUnicode_New(0, 0));
    }
    return text_.get();
}

bool PathText::discarded(PyObject *type) const noexcept
{
    const bool discards = type == PyExc_TypeError ? discards_ != Discards::None
                                                  : discards_ == Discards::TypeValueKeyError &&
                                                        (type == PyExc_ValueError || type == PyExc_KeyError);
    return discards && (root_path_ == nullptr ||
                        (keypath::is_keypath(root_path_) && keypath::renders_natively(root_path_)));
}

}  // namespace engine

}  // namespace norv::typing
