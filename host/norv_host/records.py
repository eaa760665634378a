"""The host's record classes: symbolic objects declared with inline slots.

A record class keeps its node state and fields in the cells of a Record type
the native kernel builds at run time, not in an instance dict. `record_class`
does what the host does for a class declared `slots=True`: it has the kernel
build the Record type (a root type with the production reserved region, or a
subtype of the base class's), makes the host class over it and `HostRecord`,
bakes the class's `sym` option and its non-symbolic fields into the type,
and gives the class the attributes the native record layer reads:
`__slot_field_names__` (the init fields, in inline-slot order),
`__slot_symbolic_field_names__` (the init fields whose values may be
symbolic), the marker `__slot_storage__`, `__sym_options__`, `__schema__`,
`sym_fields`, `_non_symbolic_fields`, `_sym_post_init_is_noop` and
`__serialization_key__`. Its tree methods go to the native `_topo_`
functions; `HostRecord` serialises through the objects' default
`sym_jsonify`, and its `_sym_attributes` materialises the attribute view.
Instances construct through the native record `tp_init` the class gets (or
the Python driver `HostRecord.__init__`). Specs need the typing bridge:
build record classes after `norv_host.install()`.
"""

from __future__ import annotations

from norv_core import _native
from norv_host import objects
from norv_host import symbolic as hs
from norv_host import typing as ht

MISSING_VALUE = ht.MISSING_VALUE

# The types whose values are never symbolic children.
_PLAIN = (int, float, str, bool, bytes, type(None))


class HostRecord:
    """The host's record base, mixed into every record class after its
    Record type. It adds no instance storage: the instance's state is the
    Record's cells."""

    __slots__ = ()
    __slot_storage__ = True
    __slot_field_names__: tuple = ()
    __slot_symbolic_field_names__: tuple = ()
    __sym_options__ = objects.SymOptions()
    _non_symbolic_fields: tuple = ()
    _sym_post_init_is_noop = True
    __varkw_ignore__ = False
    _sym_alias_maps = None

    @property
    def sym_mode(self):
        return type(self).__sym_options__.sym

    @property
    def sym_path(self):
        return _native._slot_node_get(self, 1)

    @property
    def sym_parent(self):
        return _native._slot_record_node_read(self, 0)

    sym_jsonify = objects.Symbolic.sym_jsonify

    def _require_sym_mode(self, operation):
        if not self.sym_mode:
            raise objects.SymbolicModeError(
                f"`{operation}` requires a symbolic tree, but {type(self).__name__} was declared with `sym=False`."
            )

    # ---- the tree operations, routed to the native ones that take the record first ----

    def sym_setparent(self, parent):
        _native._topo_setparent(self, parent)

    def sym_setpath(self, path):
        _native._topo_setpath(self, path)

    def sym_setorigin(self, source, tag, stacktrace=None, stacklimit=None, stacktop=-1):
        _native._topo_setorigin(self, source, tag, stacktrace, stacklimit, stacktop)

    def set_accessor_writable(self, writable=True):
        _native._topo_set_accessor_writable(self, writable)
        return self

    def sym_seal(self, is_seal=True):
        _native._topo_seal(self, is_seal)
        return self

    # The host's symbolic base's own hooks, the very objects the object base
    # has: the native layer tells an override by identity.
    on_sym_parent_change = objects.HostObject.on_sym_parent_change
    on_sym_path_change = objects.HostObject.on_sym_path_change

    def _update_children_paths(self, old_path, new_path):
        """The record classes' own override: the children's re-path, then the
        path hook, which the native layer leaves to it."""
        objects.calls.append(("record _update_children_paths", self, old_path, new_path))
        _native._slot_record_repath_children(self, new_path)
        self.on_sym_path_change(old_path, new_path)

    def __init__(self, *, allow_partial=False, sealed=None, root_path=None, **kwargs):
        """The host's Python construction driver, for a record class without
        the native `tp_init`: the same steps through the module functions."""
        cls = type(self)
        if sealed is None:
            sealed = bool(cls.__sym_options__.frozen)
        _native._slot_record_init_node_state(self, allow_partial, sealed, root_path)
        symbolic = cls.__slot_symbolic_field_names__
        transform = hs.symbolic_transform_fn(allow_partial) if symbolic else None
        _native._slot_record_construct(self, cls.__slot_field_names__, kwargs, allow_partial, transform, root_path)
        if symbolic:
            _native._slot_record_adopt_children(self, symbolic)
        if cls._non_symbolic_fields:
            objects.seed_non_symbolic_fields(self, cls._non_symbolic_fields)
        if not cls._sym_post_init_is_noop:
            self.on_sym_post_init()
        if sealed:
            self.sym_seal(True)

    @property
    def _sym_attributes(self):
        """The record's attribute view, built on first need and kept."""
        return _native._slot_record_materialize(self, type(self).__slot_field_names__)

    def on_sym_post_init(self):
        pass


def _field(name, declared):
    annotation, default = declared if isinstance(declared, tuple) else (declared, MISSING_VALUE)
    spec = ht.ValueSpecBase.from_annotation(annotation)
    if default is not MISSING_VALUE:
        spec = spec.set_default(default)
    return _native.Field(name, spec), annotation


def record_class(
    name,
    fields,
    *,
    base=None,
    non_symbolic=None,
    sym=True,
    attr_read=False,
    attr_write=True,
    frozen=False,
    reserved=None,
    namespace=None,
    module=__name__,
    native=True,
):
    """A record class named `name` with the init fields `fields` ({name:
    annotation, or (annotation, default)}) and the non-init fields
    `non_symbolic` ({name: default}), extending the record class `base` when
    given. `reserved` defaults to the production count for a root and to 0
    for a subtype; `namespace` adds methods. With `native` (as the host does
    for the classes it generates) the native record `tp_init` and
    `tp_getattro` are installed; without, instances construct through
    `HostRecord.__init__`."""
    non_symbolic = dict(non_symbolic or {})
    own = list(fields) + list(non_symbolic)
    if base is None:
        cells = _native._kernel_make_record(
            f"{module}.{name}Cells", own, _native._kernel_topology_reserved() if reserved is None else reserved, sym
        )
        init_fields, symbolic_names = [], []
    else:
        cells = _native._kernel_make_record_subtype(base, f"{module}.{name}Cells", own, reserved or 0, sym)
        init_fields = list(base.__schema__.values())
        symbolic_names = list(base.__slot_symbolic_field_names__)
    _native._kernel_set_record_sym_mode(cells, sym)
    _native._kernel_set_record_field_kinds(cells, list(non_symbolic))
    for field_name, declared in fields.items():
        field, annotation = _field(field_name, declared)
        init_fields.append(field)
        if annotation not in _PLAIN:
            symbolic_names.append(field_name)

    ns = dict(namespace or {})
    ns.update(__slots__=(), __module__=module, __qualname__=name)
    bases = (cells, HostRecord) if base is None else (cells,)
    cls = type(name, bases, ns)
    cls.__sym_options__ = objects.SymOptions(sym, attr_read, attr_write, frozen)
    cls.__schema__ = _native.Schema(init_fields)
    cls.sym_fields = _native.Dict(cls.__schema__)
    cls.__slot_field_names__ = tuple(f.key.const_text for f in init_fields)
    cls.__slot_symbolic_field_names__ = tuple(symbolic_names)
    cls._non_symbolic_fields = tuple(getattr(base, "_non_symbolic_fields", ())) + tuple(non_symbolic.items())
    cls._sym_post_init_is_noop = cls.on_sym_post_init is HostRecord.on_sym_post_init
    cls.__serialization_key__ = f"{module}.{name}"
    if native:
        _native._install_native_record_tp_init(cls)
        _native._install_native_record_tp_getattro(cls)
    return cls
