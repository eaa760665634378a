"""The host's typing layer, as far as the native value-spec engine calls it.

After import the host hands the native core the objects its typing layer
calls back (`install()` does that for the stand-in): the missing-value
sentinel and its class, a frozen placeholder, the `FastApplyInfo` record, the
type tests, forward references, the raw-text marker of spec text forms and the
union-building class, and the schema drivers' default of a field whose
validation is off.

`calls` records the calls of the handles that tests need to observe.
"""

from __future__ import annotations

import abc
import collections.abc
import copy
import dataclasses
import inspect
import typing

from norv_core import _native

MISSING_VALUE = _native.missing_value_singleton()
MissingValue = _native.MissingValue

calls: list[tuple] = []


class _FrozenPlaceholder:
    def __repr__(self):
        return "FROZEN_PLACEHOLDER"


FROZEN_PLACEHOLDER = _FrozenPlaceholder()


@dataclasses.dataclass
class FastApplyInfo:
    is_eligible: bool = False
    value_type: typing.Any = None


class RawText:
    """Stands for already rendered text inside a spec's text form."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text

    __str__ = __repr__

    def __eq__(self, other):
        return isinstance(other, RawText) and other.text == self.text

    __hash__ = None


# Classes that forward references resolve to, by name.
REGISTRY: dict[str, type] = {}


def register(cls, name=None):
    """Make `cls` the target of forward references to `name` (default: its __name__)."""
    REGISTRY[name or cls.__name__] = cls
    return cls


class ForwardRef:
    """A class named by text, resolved later: through `resolve` or the registry."""

    def __init__(self, name):
        self.name = name
        self._cls = None

    @property
    def cls(self):
        """The resolved class, looked up anew on each read; None while unresolved."""
        return self._cls if self._cls is not None else REGISTRY.get(self.name)

    @property
    def resolved(self):
        return self.cls is not None

    def resolve(self, cls):
        self._cls = cls
        return self

    def as_annotation(self):
        cls = self.cls
        return cls if cls is not None else typing.ForwardRef(self.name)

    def __repr__(self):
        return f"ForwardRef({self.name!r})"

    def __eq__(self, other):
        return isinstance(other, ForwardRef) and (self.name, self.cls) == (other.name, other.cls)

    def __hash__(self):
        return hash(self.name)


def make_forward_ref(name):
    calls.append(("make_forward_ref", name))
    return ForwardRef(name)


class _UnionSpecMeta(type):
    def __instancecheck__(cls, obj):
        return isinstance(obj, _native.Union)


class UnionSpec(metaclass=_UnionSpecMeta):
    """The host's union class: subscription builds the native union of the
    operands, and native unions are its instances."""

    def __class_getitem__(cls, pair):
        calls.append(("union_cls", pair))
        return _native.Union[pair]


def _origin(t):
    return typing.get_origin(t) or t


def is_instance(value, t):
    """isinstance that also understands typing constructs."""
    calls.append(("is_instance", value, t))
    if t is typing.Any:
        return True
    if isinstance(t, tuple):
        return any(is_instance(value, x) for x in t)
    if typing.get_origin(t) is typing.Union:
        return any(is_instance(value, x) for x in typing.get_args(t))
    return isinstance(value, _origin(t))


def is_subclass(a, b):
    calls.append(("is_subclass", a, b))
    if b is typing.Any:
        return True
    return isinstance(a, type) and issubclass(a, _origin(b))


def is_generic(t):
    return typing.get_origin(t) is not None


def callable_eq(a, b):
    return a is b or bool(a == b)


def to_json(value, **kwargs):
    """The host's general conversion: specs by their own `to_json`, containers
    element by element, tuples marked so they come back as tuples; anything
    else as it is."""
    if hasattr(value, "to_json") and not isinstance(value, type):
        return value.to_json(**kwargs)
    if isinstance(value, list):
        return [to_json(v, **kwargs) for v in value]
    if isinstance(value, tuple):
        return ["__tuple__", *(to_json(v, **kwargs) for v in value)]
    if isinstance(value, dict):
        return {k: to_json(v, **kwargs) for k, v in value.items()}
    return value


def _serializable_classes():
    return {
        cls.__serialization_key__: cls
        for cls in vars(_native).values()
        if isinstance(cls, type) and isinstance(getattr(cls, "__serialization_key__", None), str)
    }


def from_json(value, **kwargs):
    """The inverse of `to_json`: a dict led by a known "_type" goes to its class."""
    if isinstance(value, dict):
        cls = _serializable_classes().get(value.get("_type"))
        if cls is not None:
            return cls.from_json(value, **kwargs)
        return {k: from_json(v, **kwargs) for k, v in value.items()}
    if isinstance(value, list):
        if value[:1] == ["__tuple__"]:
            return tuple(from_json(v, **kwargs) for v in value[1:])
        return [from_json(v, **kwargs) for v in value]
    return value


class ValueSpecBase:
    """The host's value-spec base: turns annotations into native specs.

    Host-defined specs derive from it and pass through unchanged."""

    @classmethod
    def from_annotation(cls, annotation, auto_typing=True):
        calls.append(("from_annotation", annotation))
        if isinstance(annotation, (_native.SpecBase, ValueSpecBase)):
            return annotation
        simple = {int: _native.Int, float: _native.Float, str: _native.Str, bool: _native.Bool}
        if annotation in simple:
            return simple[annotation]()
        if annotation is typing.Any:
            return _native.Any(annotation=annotation)
        if annotation is None or annotation is type(None):
            return _native.Object(type(None))
        if isinstance(annotation, (str, ForwardRef)):
            return _native.Object(annotation)
        origin = typing.get_origin(annotation)
        if annotation is list or origin is list:
            args = typing.get_args(annotation)
            return _native.List(args[0] if args else typing.Any)
        if annotation is dict or origin is dict:
            args = typing.get_args(annotation)
            return _native.Dict(args[1]) if args else _native.Dict()
        if origin is tuple:
            args = typing.get_args(annotation)
            if len(args) == 2 and args[1] is Ellipsis:
                return _native.Tuple(args[0])
            return _native.Tuple(list(args))
        if origin is typing.Union:
            return _native.Union[typing.get_args(annotation)]
        if origin is type:
            return _native.Type(typing.get_args(annotation)[0])
        if origin is collections.abc.Callable:
            return _native.Callable[typing.get_args(annotation)]
        if isinstance(annotation, type) and annotation is not object:
            return _native.Object(annotation)
        raise TypeError(f"stand-in host: no value spec for {annotation!r}")


class Functor:
    """The host's functor base class."""


class KeySpec(abc.ABC):
    """The host's key-spec base: the native key specs count as its instances,
    and a plain string key becomes a constant key."""

    @classmethod
    def from_str(cls, text):
        calls.append(("key_from_str", text))
        return _native.ConstStrKey(text)


for _key_cls in (_native.ConstStrKey, _native.StrKey, _native.ListKey, _native.TupleKey):
    KeySpec.register(_key_cls)


def callable_validate(args, kw, returns, spec_text, path, value):
    """Checks a callable against the argument specs of a Callable spec."""
    calls.append(("callable_validate", args, kw, returns, spec_text, path, value))
    if not callable(value):
        raise TypeError(f"Value is not callable: {value!r}. (path={path})")
    try:
        params = list(inspect.signature(value).parameters.values())
    except (TypeError, ValueError):
        return
    kinds = {p.kind for p in params}
    positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    if len(args) > len(positional) and inspect.Parameter.VAR_POSITIONAL not in kinds:
        raise TypeError(
            f"{spec_text} requires {len(args)} positional arguments, "
            f"while {value!r} takes only {len(positional)}. (path={path})"
        )
    names = {p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    for name, _ in kw:
        if name not in names and inspect.Parameter.VAR_KEYWORD not in kinds:
            raise TypeError(f"Keyword argument {name!r} does not exist in {value!r}. (path={path})")


def topology_merge(items, merge_fn=None):
    """Merges dicts left to right: a later key keeps the earlier position;
    `merge_fn(key, old, new)` combines the two values when given."""
    calls.append(("topology_merge", len(items), merge_fn is not None))
    out = {}
    for d in items:
        for k, v in d.items():
            out[k] = merge_fn(k, out[k], v) if (k in out and merge_fn is not None) else v
    return out


def make_field_merge_fn(allow_nonconst_keys, base_name):
    """The child's field wins; an Inherit marker takes the base's field."""
    calls.append(("make_field_merge_fn", allow_nonconst_keys, base_name))

    def merge(key, base_field, field):
        return base_field if getattr(field.value, "_is_inherit_marker", False) else field

    return merge


def register_forward_ref_target(fields, cls):
    calls.append(("register_forward_ref_target", fields, cls))


def create_schema(maybe_schema, allow_nonconst_keys=False):
    """A schema from a dict or a list of (key, annotation) pairs or fields."""
    calls.append(("create_schema", allow_nonconst_keys))
    items = maybe_schema.items() if isinstance(maybe_schema, dict) else maybe_schema
    fields = []
    for item in items:
        if isinstance(item, _native.Field):
            fields.append(item)
            continue
        key, annotation = item
        fields.append(_native.Field(key, ValueSpecBase.from_annotation(annotation)))
    return _native.Schema(fields, allow_nonconst_keys=allow_nonconst_keys)


def default_without_apply(value_spec, allow_partial):
    """The value of a missing field whose validation is off: a copy of the
    spec's default, unapplied (the missing value when it has none)."""
    calls.append(("default_without_apply", value_spec, allow_partial))
    default = value_spec.default
    return default if default is MISSING_VALUE else copy.deepcopy(default)


HANDLES = dict(
    missing_value=MISSING_VALUE,
    missing_type=MissingValue,
    frozen_placeholder=FROZEN_PLACEHOLDER,
    fast_apply_info_cls=FastApplyInfo,
    union_cls=UnionSpec,
    to_json=to_json,
    from_json=from_json,
    callable_eq=callable_eq,
    value_spec_cls=ValueSpecBase,
    field_cls=_native.Field,
    key_spec_cls=KeySpec,
    object_cls=_native.Object,
    is_subclass=is_subclass,
    is_instance=is_instance,
    is_generic=is_generic,
    make_forward_ref=make_forward_ref,
    raw_text_cls=RawText,
    forward_ref_cls=ForwardRef,
    topology_merge=topology_merge,
    make_field_merge_fn=make_field_merge_fn,
    register_forward_ref_target=register_forward_ref_target,
    default_without_apply=default_without_apply,
    create_schema=create_schema,
    str_key_cls=_native.StrKey,
    functor_cls=Functor,
    callable_validate=callable_validate,
)


def value_spec_to_json_schema(spec, **kwargs):
    return {"spec": repr(spec), **kwargs}


def field_from_annotation(key, annotation, description, metadata, auto_typing, parent_module):
    calls.append(("field_from_annotation", key, annotation, description, metadata, auto_typing, parent_module))
    spec = ValueSpecBase.from_annotation(annotation, auto_typing=auto_typing)
    return _native.Field(key, spec, description, metadata)


def install():
    """Install the typing bridge and the other typing installers (first install
    wins); the symbolic container types come with the symbolic module."""
    _native._install_typing_bridge(**HANDLES)
    _native._install_json_schema_fn(value_spec_to_json_schema)
    _native._install_field_from_annotation(field_from_annotation)
