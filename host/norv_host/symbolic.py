"""The host's symbolic layer, as far as the native containers call it.

After import the host hands the native core the objects its containers call
back (`install()` does that for the stand-in): its key-path class (the native
`KeyPath`) and one shared empty path, the missing-value sentinel, the change
record `FieldUpdate`, the write-permission error, value wrapping, the factory
of the symbolic child transform, `Origin`, the message decorator and the
class of variable keys; and, through the list bridge, its `Insertion` class.
Its dict class `HostDict` and list class `HostList` derive from the native
`SymDict` and `SymList` and add what the native code calls back on them.

`calls` records the calls of the handles and host methods that tests need to
observe; `clear()` empties it.
"""

from __future__ import annotations

import abc

from norv_core import _native
from norv_host import typing as host_typing

KeyPath = _native.KeyPath
EMPTY_KEY_PATH = KeyPath()
MISSING_VALUE = host_typing.MISSING_VALUE

calls: list[tuple] = []

_RAISE = object()  # no default: a missing key raises


def clear():
    calls.clear()


class FieldUpdate:
    """The change record of one write."""

    def __init__(self, path, target, field, old_value, new_value):
        self.path = path
        self.target = target
        self.field = field
        self.old_value = old_value
        self.new_value = new_value

    def __repr__(self):
        return (
            f"FieldUpdate(path={self.path!r}, target={type(self.target).__name__}, field={self.field!r}, "
            f"old_value={self.old_value!r}, new_value={self.new_value!r})"
        )


class WritePermissionError(Exception):
    """Raised for writes into a sealed or not accessor-writable node."""


class Origin:
    """Where a node came from."""

    def __init__(self, source, tag, stacktrace=None, stacklimit=None, stacktop=-1):
        self.source = source
        self.tag = tag
        self.stacktrace = stacktrace
        self.stacklimit = stacklimit
        self.stacktop = stacktop

    def __eq__(self, other):
        return isinstance(other, Origin) and vars(self) == vars(other)

    __hash__ = None

    def __repr__(self):
        return f"Origin({self.source!r}, {self.tag!r}, {self.stacktrace!r}, {self.stacklimit!r}, {self.stacktop!r})"


class NonConstKey(abc.ABC):
    """Key specs that stand for more than one key."""


for _key_cls in (_native.StrKey, _native.ListKey, _native.TupleKey):
    NonConstKey.register(_key_cls)


def message_on_path(message, path):
    """The host's decoration of a container message with the node's path."""
    calls.append(("message_on_path", message, path))
    return f"{message} (path={path})"


def wrap_value(value, wrap=True, allow_partial=False, root_path=None):
    """The host's value wrapping. The stand-in keeps every value as it is."""
    calls.append(("wrap_value", value, wrap, allow_partial, root_path))
    return value


def symbolic_transform_fn(allow_partial):
    """The child transform that leaves scalars alone and wraps containers."""
    calls.append(("symbolic_transform_fn", allow_partial))

    def transform(path, field, value):
        if value is None or type(value) in (int, float, str, bool, bytes):
            return value
        return wrap_value(value, wrap=True, allow_partial=allow_partial, root_path=path)

    transform._norv_scalar_identity = True
    transform._norv_allow_partial = allow_partial
    return transform


def _fresh_root(node):
    """A blank container of the node's class at the empty path, sharing its
    spec and flags: what a clone starts from."""
    clone = type(node).__new__(type(node))
    clone._sym_path = EMPTY_KEY_PATH
    clone._value_spec = node._value_spec
    clone._allow_partial = node._allow_partial
    clone._accessor_writable = node._accessor_writable
    clone._wrap = node._wrap
    return clone


def _partial(values):
    """Whether a missing value sits among `values` or in a symbolic child."""
    return any(type(v) is type(MISSING_VALUE) or (hasattr(type(v), "sym_clone") and v.sym_partial) for v in values)


class HostDict(_native.SymDict):
    """The host's symbolic dict: the native base plus what the native code
    calls back on the host's dicts. Subclass instances carry an instance
    dict and weak references.

    It takes part in custom typing: a value spec applied to it asks its
    `custom_apply` first, which binds the spec."""

    __norv_custom_typing__ = True

    _sym_validate_overridden = False

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)

    # Symbolic values are looked up in `seen` sets by identity.
    __hash__ = object.__hash__

    def sym_clone(self, deep=False, memo=None, override=None):
        """A fresh root holding the same members; a symbolic member is
        adopted by the clone, which clones it in turn (it belongs to self)."""
        calls.append(("sym_clone", self))
        clone = _fresh_root(self)
        for key, value in dict.items(self):
            dict.__setitem__(clone, key, clone._relocate_if_symbolic(key, value))
        return clone

    def sym_getattr(self, key, default=_RAISE):
        if default is _RAISE:
            return dict.__getitem__(self, key)
        return dict.get(self, key, default)

    @property
    def sym_partial(self):
        calls.append(("sym_partial", self))
        return _partial(dict.values(self))

    def _notify_field_updates(self, updates):
        """Records the updates of one operation."""
        calls.append(("_notify_field_updates", self, updates))


class Insertion:
    """A value written into a list at an index that is inserted before the
    element there instead of replacing it."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Insertion({self.value!r})"


class HostList(_native.SymList):
    """The host's symbolic list: the native base plus what the native code
    calls back on the host's lists. The value-spec engine hands it to its
    `custom_apply`, reads its elements through `sym_getattr` and writes them
    through the inherited native `_set_item_without_permission_check`.
    Construction and item writes are the native ones."""

    __norv_custom_typing__ = True

    # Symbolic values are looked up in `seen` sets by identity.
    __hash__ = object.__hash__

    def sym_clone(self, deep=False, memo=None, override=None):
        """The one-pass clone when every element is a scalar; otherwise a
        fresh root that adopts the elements, so symbolic ones are cloned in
        turn (they belong to self)."""
        calls.append(("sym_clone", self))
        clone = self._clone_if_primitive()
        if clone is not None:
            return clone
        clone = _fresh_root(self)
        for index, value in enumerate(self.sym_values()):
            list.append(clone, clone._relocate_if_symbolic(index, value))
        return clone

    def sym_getattr(self, key, default=_RAISE):
        if default is _RAISE:
            return list.__getitem__(self, key)
        try:
            return list.__getitem__(self, key)
        except IndexError:
            return default

    @property
    def sym_partial(self):
        calls.append(("sym_partial", self))
        return _partial(list.__iter__(self))

    def _notify_field_updates(self, updates):
        """Records the updates of one operation."""
        calls.append(("_notify_field_updates", self, updates))


class Inferred:
    """A member whose value is inferred when read."""

    def __init__(self, value):
        self.value = value

    def infer(self):
        calls.append(("infer", self))
        return self.value

    def __repr__(self):
        return f"Inferred({self.value!r})"


HANDLES = dict(
    keypath_cls=KeyPath,
    empty_key_path=EMPTY_KEY_PATH,
    missing_value=MISSING_VALUE,
    field_update_cls=FieldUpdate,
    write_permission_error=WritePermissionError,
    wrap_value=wrap_value,
    symbolic_transform_fn=symbolic_transform_fn,
    origin_cls=Origin,
    message_on_path=message_on_path,
    nonconst_key_cls=NonConstKey,
)


def install():
    """Install the container and list bridges, and the symbolic container types
    the schema drivers build validated dicts and lists as (first install wins)."""
    _native._install_container_bridge(**HANDLES)
    _native._install_list_bridge(Insertion)
    _native._install_symbolic_container_types(HostDict, HostList)
