"""The host's symbolic objects, as far as the native object layer reads them.

The host's object classes derive from the native `SymObject`. `HostObject` is
the stand-in's base: each subclass declares its fields by annotation (a class
attribute gives the default; a native `Field` as class attribute declares a
field whole) and its options as class keywords (`sym`, `attr_read`,
`attr_write`, `frozen`), and gets the class metadata the native layer reads:
`__sym_options__`, `__schema__`, `sym_fields`, `_sym_init_fields`,
`_non_symbolic_fields` (declared as `__non_symbolic__ = {name: default}`),
`_sym_alias_maps`, `_sym_attrs_builder`, the `_sym_..._overridden` flags, and
a field property `property(SymFieldGetter(name))` per field. Its objects
receive their change records in `_notify_field_updates` and answer the
inferred-attribute questions of the native attribute read (`sym_hasattr`,
`sym_inferred`) from their stored fields.

After import the host hands the native core the object bridge's handles
(`install()` does that for the stand-in): its dict class, `SymbolicModeError`,
the key-path and origin classes, text helpers, the non-symbolic field
helpers, the default copy, and the base class's own hooks, by which the
native layer tells whether a class overrides one. It also installs its
default `sym_jsonify`, by which the native to-JSON walk tells a class that
customises its JSON form. `to_json` serialises as the host does with default
options (the native walk, or the Python path where it declines);
`child_fields` is the fast renderer's callback.

`calls` records the calls of the handles and hooks that tests need to
observe; `clear()` empties it.
"""

from __future__ import annotations

import copy

from norv_core import _native
from norv_host import symbolic as hs
from norv_host import typing as ht

MISSING_VALUE = ht.MISSING_VALUE

calls: list[tuple] = []


def clear():
    calls.clear()


class SymbolicModeError(Exception):
    """A symbolic operation on an object of a class declared `sym=False`."""


class SymOptions:
    """A class's declared options."""

    def __init__(self, sym=True, attr_read=False, attr_write=True, frozen=False):
        self.sym = sym
        self.attr_read = attr_read
        self.attr_write = attr_write
        self.frozen = frozen

    def __repr__(self):
        return f"SymOptions({vars(self)})"


def _defined(cls, name):
    """The class attribute `name` as its defining class holds it (a
    classmethod as the classmethod object, not a new bound method)."""
    for klass in cls.__mro__:
        if name in vars(klass):
            return vars(klass)[name]
    raise AttributeError(name)


def _field_of(name, annotation, default):
    spec = ht.ValueSpecBase.from_annotation(annotation)
    if default is not MISSING_VALUE:
        spec = spec.set_default(default)
    return _native.Field(name, spec)


class Symbolic:
    """The host's own pure-Python symbolic base, composed after `SymObject`:
    where both define a method, the native one wins."""

    def sym_clone(self, deep=False, memo=None, override=None):
        """A new object of the class constructed from the same field values:
        its construction clones the symbolic ones (they belong to self)."""
        calls.append(("sym_clone", self))
        return type(self)(**(self.field_dict() or {}))

    @property
    def sym_mode(self):
        return type(self).__sym_options__.sym

    @property
    def sym_partial(self):
        calls.append(("sym_partial", self))
        return bool(self.sym_missing())

    def sym_jsonify(self, **kwargs):
        """The default JSON form: "_type" and the stored fields (the stand-in's
        Python path, taken where the native walk declines, keeps storage order
        and leaves only missing values out). A class that overrides it
        serialises itself."""
        calls.append(("sym_jsonify", self))
        out = {"_type": type(self).__serialization_key__}
        for key, value in _stored_fields(self).items():
            if type(value) is not type(MISSING_VALUE):
                out[key] = _python_to_json(value)
        return out


    def _notify_field_updates(self, updates):
        """Records the updates of one write."""
        calls.append(("_notify_field_updates", self, updates))

    def sym_hasattr(self, name):
        """Whether `name` is stored among the fields: a key a wildcard field
        took has no property to read it by."""
        calls.append(("sym_hasattr", name))
        return name in (self.field_dict() or {})

    def sym_inferred(self, name):
        """The stored value of `name`, an Inferential one inferred."""
        calls.append(("sym_inferred", name))
        return self._sym_field(name)


def _stored_fields(obj):
    """An object's field dict, or a record's field cells by name."""
    if isinstance(obj, _native.SymObject):
        return obj.field_dict() or {}
    return {name: getattr(obj, name) for name in type(obj).__slot_field_names__}


def _python_to_json(value):
    if value is None or type(value) in (int, float, str, bool):
        return value
    if hasattr(type(value), "sym_jsonify"):
        return value.sym_jsonify()
    if isinstance(value, dict):
        return {k: _python_to_json(v) for k, v in value.items() if type(v) is not type(MISSING_VALUE)}
    if isinstance(value, tuple):
        return ["__tuple__", *map(_python_to_json, value)]
    if isinstance(value, list):
        return [_python_to_json(v) for v in value]
    return repr(value)


def to_json(value):
    """The host's serialisation with the default options: the native walk,
    or the Python path where the walk declines."""
    calls.append(("to_json", value))
    result = _native._native_to_json_walk(value)
    if result is None and value is not None:
        return _python_to_json(value)
    return result


def child_fields(value):
    """The fast renderer's callback: the field dict of a nested object, else
    None (the host renders that value itself)."""
    calls.append(("child_fields", value))
    return value.field_dict() if isinstance(value, HostObject) else None


class HostObject(_native.SymObject, Symbolic):
    """The host's symbolic object base. Subclass instances carry an instance
    dict and weak references; they construct through `super().__init__` as
    the host's classes do."""

    # `__schema__` and `sym_fields` come with `install()`: specs need the
    # typing bridge.
    __sym_options__ = SymOptions()
    _sym_init_fields: list = []
    _non_symbolic_fields: tuple = ()
    _sym_alias_maps = None
    _sym_attrs_builder = None
    __varkw_ignore__ = False
    _sym_post_init_overridden = False
    _sym_bound_overridden = False
    _sym_ready_is_noop = True
    _sym_preinit_overridden = False
    _sym_validate_overridden = False

    # Symbolic values are looked up in `seen` sets by identity.
    __hash__ = object.__hash__

    def __init__(self, **kwargs):
        super().__init__(**kwargs)

    def __init_subclass__(cls, *, sym=True, attr_read=False, attr_write=True, frozen=False, **kwargs):
        super().__init_subclass__(**kwargs)
        cls.__sym_options__ = SymOptions(sym, attr_read, attr_write, frozen)
        cls.__serialization_key__ = f"{cls.__module__}.{cls.__qualname__}"
        fields = {f.key.const_text: f for _, f in cls.__mro__[1]._sym_init_fields}
        own = vars(cls)
        for name, annotation in own.get("__annotations__", {}).items():
            fields[name] = _field_of(name, annotation, own.get(name, MISSING_VALUE))
        for name, value in own.items():
            if isinstance(value, _native.Field):
                fields[name] = value
        if "__non_symbolic__" in own:
            cls._non_symbolic_fields = tuple(own["__non_symbolic__"].items())
        def overrides(name):
            return _defined(cls, name) is not vars(HostObject)[name]

        cls._sym_post_init_overridden = overrides("on_sym_post_init")
        cls._sym_bound_overridden = overrides("on_sym_bound")
        cls._sym_ready_is_noop = not overrides("on_sym_ready")
        cls._sym_preinit_overridden = overrides("on_sym_preinit")
        cls._sym_validate_overridden = overrides("on_sym_validate")
        cls._update_schema(list(fields.values()))

    @classmethod
    def _update_schema(cls, fields):
        """Bind the class to a schema of `fields`: its field properties and
        init fields follow, and its native metadata is dropped."""
        cls.__schema__ = _native.Schema(fields)
        cls.sym_fields = _native.Dict(cls.__schema__)
        cls._sym_init_fields = [(f.key.const_text, f) for f in fields if f.enable_init]
        for f in fields:
            setattr(cls, f.key.const_text, property(_native.SymFieldGetter(f.key.const_text)))
        cls._on_schema_update()

    @classmethod
    def _on_schema_update(cls):
        if "__native_ctor_meta__" in vars(cls):
            del cls.__native_ctor_meta__

    # ---- hooks whose identity tells the native layer "not overridden" ----

    def on_sym_parent_change(self, old_parent, new_parent):
        calls.append(("on_sym_parent_change", self, old_parent, new_parent))

    def _update_children_paths(self, old_path, new_path):
        calls.append(("_update_children_paths", self, old_path, new_path))
        for key, value in (self.field_dict() or {}).items():
            if hasattr(type(value), "sym_setpath") and getattr(value, "sym_mode", True) is not False:
                value.sym_setpath(hs.KeyPath(key, new_path))

    def on_sym_path_change(self, old_path, new_path):
        calls.append(("on_sym_path_change", self, old_path, new_path))

    def sym_missing(self):
        fields = self.field_dict() or {}
        return {k: v for k, v in fields.items() if type(v) is type(MISSING_VALUE)}

    @property
    def sym_puresymbolic(self):
        return False

    def sym_values(self):
        return list((self.field_dict() or {}).values())

    @classmethod
    def on_sym_preinit(cls, kwargs):
        return kwargs

    def on_sym_validate(self):
        pass

    def on_sym_post_init(self):
        pass

    def on_sym_bound(self):
        pass

    def on_sym_ready(self):
        pass


def auto_plural(count, word):
    """The word in the number `count` asks for."""
    calls.append(("auto_plural", count, word))
    return word if count == 1 else f"{word}s"


def comma_delimited_str(items):
    calls.append(("comma_delimited_str", items))
    return ", ".join(f"'{x}'" for x in items)


# Non-init fields live in the instance dict of an object and in the cells of
# a record: `object.__setattr__` reaches either without the host's checks.
def seed_non_symbolic_fields(obj, non_symbolic_fields):
    calls.append(("seed_non_symbolic_fields", obj, non_symbolic_fields))
    for name, default in non_symbolic_fields:
        object.__setattr__(obj, name, copy.deepcopy(default))


def clone_non_symbolic_fields(obj, src, deep, memo):
    calls.append(("clone_non_symbolic_fields", obj, src, deep))
    for name, _ in type(src)._non_symbolic_fields:
        value = object.__getattribute__(src, name)
        object.__setattr__(obj, name, copy.deepcopy(value, memo) if deep else value)


def copy_default(default):
    calls.append(("copy_default", default))
    return default if default is MISSING_VALUE else copy.deepcopy(default)


def cooperative_init(obj, flag):
    """Records the call with what the object is at that moment: its path,
    its field dict and its allow-partial and accessor-writable flags."""
    calls.append(("cooperative_init", obj, flag, obj.sym_path, obj.field_dict(), obj._allow_partial,
                  obj._accessor_writable))


def needs_cooperative_init(cls):
    calls.append(("needs_cooperative_init", cls))
    return getattr(cls, "_needs_cooperative_init", False)


# Every attribute the native slot does not write itself comes here: the
# record keeps the name only, so that it holds neither object nor value.
def object_setattr(obj, name, value):
    calls.append(("object_setattr", name))
    object.__setattr__(obj, name, value)


def object_delattr(obj, name):
    calls.append(("object_delattr", name))
    object.__delattr__(obj, name)


# What the host makes of a construction error; a test may replace it.
prepare_construct_error_with = None


def prepare_construct_error(exc):
    calls.append(("prepare_construct_error", exc))
    if prepare_construct_error_with is not None:
        return prepare_construct_error_with(exc)
    return exc


def is_pure_symbolic(value):
    calls.append(("is_pure_symbolic", value))
    return bool(getattr(type(value), "__norv_pure_symbolic__", False))


HANDLES = dict(
    dict_cls=hs.HostDict,
    symbolic_mode_error=SymbolicModeError,
    keypath_cls=hs.KeyPath,
    empty_key_path=hs.EMPTY_KEY_PATH,
    origin_cls=hs.Origin,
    auto_plural=auto_plural,
    comma_delimited_str=comma_delimited_str,
    seed_non_symbolic_fields=seed_non_symbolic_fields,
    clone_non_symbolic_fields=clone_non_symbolic_fields,
    symbolic_transform_fn=hs.symbolic_transform_fn,
    missing_value=MISSING_VALUE,
    copy_default=copy_default,
    cooperative_init=cooperative_init,
    needs_cooperative_init=needs_cooperative_init,
    message_on_path=hs.message_on_path,
    write_permission_error=hs.WritePermissionError,
    object_setattr=object_setattr,
    object_delattr=object_delattr,
    prepare_construct_error=prepare_construct_error,
    default_on_sym_parent_change=HostObject.on_sym_parent_change,
    default_update_children_paths=HostObject._update_children_paths,
    default_on_sym_path_change=HostObject.on_sym_path_change,
    default_sym_missing_code=HostObject.sym_missing.__code__,
    default_sym_puresymbolic_prop=vars(HostObject)["sym_puresymbolic"],
    default_sym_values=HostObject.sym_values,
    is_pure_symbolic=is_pure_symbolic,
)


def install():
    """Install the object bridge and the default `sym_jsonify` (first
    install wins) and give the base class its empty schema."""
    _native._install_object_bridge(**HANDLES)
    _native._set_default_object_sym_jsonify(Symbolic.sym_jsonify)
    if "__schema__" not in vars(HostObject):
        HostObject._update_schema([])
