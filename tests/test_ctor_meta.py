"""Construction metadata: its lookup on the class, what it gathers and in
which order, the compiled init fields, the container field probes, and its
place in the garbage collector."""

import gc
import sys
import weakref

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import symbolic as hs

from collector import tp_clear

norv_host.install()
probe = n._testing
HostObject, Field = ho.HostObject, n.Field
view = probe.ctor_meta_view
KEY = "__native_ctor_meta__"


@pytest.fixture(autouse=True)
def clean():
    ho.clear()
    hs.clear()
    yield
    ho.clear()


def make(name="C", bases=(HostObject,), **namespace):
    options = {k: namespace.pop(k) for k in ("sym", "attr_write", "frozen", "attr_read") if k in namespace}
    return type(bases[0])(name, bases, namespace, **options)


class Point(HostObject):
    x: int
    y: float = 1.5
    _hidden: str = "h"


class HostField:
    """A field object that is not a native Field: only its attributes are read."""

    def __init__(self, name, spec, enable_wrap=False, reads=None):
        self._key = n.ConstStrKey(name)
        self._spec = spec
        self._enable_wrap = enable_wrap
        self.reads = reads if reads is not None else []
        self.enable_validation = True
        self.enable_init = True
        self.validator = None

    def _read(self, name, value):
        self.reads.append(name)
        return value

    key = property(lambda self: self._read("key", self._key))
    value = property(lambda self: self._read("value", self._spec))
    enable_wrap = property(lambda self: self._read("enable_wrap", self._enable_wrap))
    default_value = property(lambda self: self._read("default_value", self._spec.default))


def with_validator(field):
    field.set_validator(lambda v: None)
    return field


# ---------------------------------------------------------------- the class


def test_class_shape():
    cls = n.ObjectCtorMeta
    assert cls.__module__ == "norv_core._native" and cls.__name__ == "ObjectCtorMeta"
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert [a for a in dir(cls) if not a.startswith("__")] == []


# ---------------------------------------------------------------- lookup


def test_first_use_builds_and_stores_later_uses_read_it():
    cls = make(x=Field("x", n.Int()))
    assert KEY not in vars(cls)
    view(cls)
    meta = vars(cls)[KEY]
    assert type(meta) is n.ObjectCtorMeta
    view(cls)
    assert vars(cls)[KEY] is meta
    assert [c for c in ho.calls if c[0] == "needs_cooperative_init"] == [("needs_cooperative_init", cls)]


def test_a_subclass_builds_its_own_and_leaves_the_base_alone():
    base = make("Base", x=Field("x", n.Int()))
    view(base)
    base_meta = vars(base)[KEY]
    sub = make("Sub", (base,), y=Field("y", n.Str()))
    assert KEY not in vars(sub)  # inherited attribute is not consulted
    assert view(sub)["init_names"] == {"x", "y"}
    assert vars(sub)[KEY] is not base_meta and vars(base)[KEY] is base_meta


@pytest.mark.parametrize("foreign", [None, 1, "meta", object()])
def test_a_foreign_value_is_replaced(foreign):
    cls = make(x=Field("x", n.Int()))
    setattr(cls, KEY, foreign)
    view(cls)
    assert type(vars(cls)[KEY]) is n.ObjectCtorMeta


def test_deleting_it_rebuilds_from_the_current_attributes():
    cls = make(x=Field("x", n.Int()))
    assert view(cls)["sym"] is True
    cls.__sym_options__ = ho.SymOptions(sym=False)
    assert view(cls)["sym"] is True  # a snapshot
    cls._update_schema([Field("x", n.Int()), Field("z", n.Int())])
    assert KEY not in vars(cls)
    v = view(cls)
    assert v["sym"] is False and v["init_names"] == {"x", "z"}


def test_the_store_runs_the_metaclass_setattr():
    stored = []

    class Meta(type):
        def __setattr__(cls, name, value):
            stored.append(name)
            super().__setattr__(name, value)

    base = Meta("Base", (HostObject,), {})
    stored.clear()
    view(base)
    assert stored == [KEY]


def test_a_failed_build_stores_nothing_and_the_next_use_tries_again():
    cls = make(x=Field("x", n.Int()))
    cls.__sym_options__ = ho.SymOptions(sym=1)
    with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'bool'$"):
        view(cls)
    assert KEY not in vars(cls)
    cls.__sym_options__ = ho.SymOptions()
    assert view(cls)["sym"] is True


# ---------------------------------------------------------------- the read order


class Recording(type(HostObject)):
    """Logs the class attributes read while `log` is a list."""

    log = None

    def __getattribute__(cls, name):
        log = Recording.log
        if log is not None and (not name.startswith("__") or name in ("__sym_options__", "__schema__", "__dict__")):
            log.append(name)
        return super().__getattribute__(name)


BUILD_READS = [
    "__sym_options__",
    "_non_symbolic_fields",
    "_needs_cooperative_init",  # by the host's needs_cooperative_init(cls)
    "sym_missing",
    "sym_setpath",
    "sym_setparent",
    "sym_puresymbolic",
    "sym_values",
    "on_sym_parent_change",
    "_update_children_paths",
    "on_sym_path_change",
    "_sym_init_fields",
    "_sym_attrs_builder",
    "sym_fields",
    "__schema__",
    "_sym_post_init_overridden",
    "_sym_bound_overridden",
    "_sym_ready_is_noop",
    "_sym_preinit_overridden",
    "_sym_validate_overridden",
    "_sym_alias_maps",
]


def test_the_build_reads_the_class_in_its_fixed_order():
    cls = Recording("R", (HostObject,), {"x": Field("x", n.Int())})
    Recording.log = log = []
    try:
        view(cls)
    finally:
        Recording.log = None
    # The lookup reads the namespace through the metaclass (which may
    # override it), then the build reads the class.
    assert log[0] == "__dict__"
    assert log[1:] == BUILD_READS


def test_a_fresh_build_reads_only_the_class_attributes():
    cls = Recording("R", (HostObject,), {"x": Field("x", n.Int())})
    Recording.log = log = []
    try:
        probe.ctor_meta_build(cls)
    finally:
        Recording.log = None
    assert log == BUILD_READS and KEY not in vars(cls)


def test_an_overridden_sym_setpath_skips_reading_sym_setparent():
    cls = Recording("R", (HostObject,), {"sym_setpath": lambda self, path: None})
    Recording.log = log = []
    try:
        v = probe.ctor_meta_view(probe.ctor_meta_build(cls))
    finally:
        Recording.log = None
    assert "sym_setparent" not in log and v["topology_methods_native"] is False


def test_an_overridden_sym_puresymbolic_skips_reading_sym_values():
    cls = Recording("R", (HostObject,), {"sym_puresymbolic": property(lambda self: True)})
    Recording.log = log = []
    try:
        v = probe.ctor_meta_view(probe.ctor_meta_build(cls))
    finally:
        Recording.log = None
    assert "sym_values" not in log and v["puresymbolic_default"] is False


# ---------------------------------------------------------------- facts


def _hook(self, *args):
    pass


FACTS = [
    # (class namespace, fact, value it takes; the base class gives the opposite)
    ({"on_sym_parent_change": _hook}, "parent_change_overridden", True),
    ({"_update_children_paths": _hook}, "update_children_paths_overridden", True),
    ({"on_sym_path_change": _hook}, "path_change_overridden", True),
    ({"sym_setparent": _hook}, "topology_methods_native", False),
    ({"sym_setpath": _hook}, "topology_methods_native", False),
    ({"sym_missing": _hook}, "sym_missing_default", False),
    ({"sym_puresymbolic": property(_hook)}, "puresymbolic_default", False),
    ({"sym_values": _hook}, "puresymbolic_default", False),
    ({"on_sym_post_init": _hook}, "post_init_overridden", True),
    ({"on_sym_bound": _hook}, "bound_overridden", True),
    ({"on_sym_ready": _hook}, "ready_not_noop", True),
    ({"on_sym_preinit": _hook}, "preinit_overridden", True),
    ({"on_sym_validate": _hook}, "validate_overridden", True),
    ({"_sym_attrs_builder": _hook}, "has_attrs_builder", True),
    ({"__non_symbolic__": {"cache": None}}, "has_non_symbolic_fields", True),
    ({"_needs_cooperative_init": [1]}, "needs_cooperative_init", True),
    ({"sym": False}, "sym", False),
    ({"sym": False}, "topo_sym", False),
    ({"attr_write": False}, "attr_write", False),
    ({"frozen": True}, "frozen", True),
]


@pytest.mark.parametrize("namespace, fact, value", FACTS, ids=[f"{f}-{next(iter(ns))}" for ns, f, _ in FACTS])
def test_each_fact_follows_its_class_attribute(namespace, fact, value):
    assert view(make("Base"))[fact] is (not value)
    assert view(make(**namespace))[fact] is value


def test_a_sym_missing_with_the_default_code_counts_as_default():
    class Copied(HostObject):
        pass

    Copied.sym_missing = lambda self: None
    Copied.sym_missing.__code__ = HostObject.sym_missing.__code__
    assert view(Copied)["sym_missing_default"] is True


@pytest.mark.parametrize("option", ["sym", "attr_write", "frozen"])
@pytest.mark.parametrize("bad", [1, None, "yes"])
def test_options_must_be_bools(option, bad):
    cls = make()
    cls.__sym_options__ = ho.SymOptions(**{option: bad})
    with pytest.raises(TypeError, match=r"is not an instance of 'bool'$"):
        view(cls)


def test_a_numpy_bool_option_is_accepted():
    np = pytest.importorskip("numpy")
    cls = make()
    cls.__sym_options__ = ho.SymOptions(frozen=np.bool_(False))
    assert view(cls)["frozen"] is False


@pytest.mark.parametrize(
    "attribute, raised",
    [
        ("__sym_options__", AttributeError),
        ("_non_symbolic_fields", AttributeError),
        ("sym_missing", AttributeError),
        ("sym_fields", AttributeError),
        ("__schema__", AttributeError),
        ("_sym_alias_maps", AttributeError),
    ],
)
def test_a_missing_class_attribute_fails_the_build(attribute, raised):
    cls = make()
    # Shadowed by a descriptor whose read raises.
    setattr(cls, attribute, unreadable(raised))
    with pytest.raises(raised, match="unreadable"):
        view(cls)
    assert KEY not in vars(cls)


def unreadable(cls):
    class Unreadable:
        def __get__(self, obj, owner):
            raise cls("unreadable")

    return Unreadable()


def test_errors_of_host_calls_propagate():
    cls = make()
    cls._needs_cooperative_init = type("Bad", (), {"__bool__": lambda self: 1 / 0})()
    with pytest.raises(ZeroDivisionError):
        view(cls)


# ---------------------------------------------------------------- names


def test_name_tables():
    cls = make(
        x=Field("x", n.Int()),
        _private=Field("_private", n.Int()),
        __non_symbolic__={"cache": None, "log": []},
    )
    cls._sym_alias_maps = ({"ex": "x", "why": "y"}, {"x": "ex"})
    v = view(cls)
    assert v["init_names"] == {"x", "_private"}
    assert v["non_symbolic_names"] == {"cache", "log"}
    assert v["alias_names"] == {"ex", "why"}
    assert v["write_meta"] == {"x": cls.__schema__.get_field("x")}


def test_without_init_fields_or_alias_maps_those_tables_are_absent():
    cls = make(x=Field("x", n.Int()))
    cls._sym_init_fields = None
    v = view(cls)
    assert v["compiled_fields"] is None and v["init_names"] is None and v["write_meta"] is None
    assert v["alias_names"] is None and v["non_symbolic_names"] == frozenset()


def test_the_empty_name_is_writable_and_a_later_entry_wins():
    cls = make()
    first, second, third = Field("a", n.Int()), Field("b", n.Int()), Field("c", n.Int())
    cls._sym_init_fields = [("", first), ("a", second), ("a", third)]
    v = view(cls)
    assert v["write_meta"] == {"": first, "a": third}
    assert v["init_names"] == {"", "a"}


def test_names_are_kept_as_exact_str():
    class Name(str):
        pass

    cls = make()
    cls._sym_init_fields = [(Name("a"), Field("a", n.Int()))]
    cls._non_symbolic_fields = ((Name("cache"), None),)
    v = view(cls)
    assert all(type(x) is str for x in v["init_names"] | v["non_symbolic_names"] | set(v["write_meta"]))
    assert type(v["compiled_fields"][0][0]) is Name  # the compiled key stays unconverted


@pytest.mark.parametrize(
    "setup",
    [
        lambda cls: setattr(cls, "_sym_init_fields", [(1, Field("a", n.Int()))]),
        lambda cls: setattr(cls, "_non_symbolic_fields", ((b"cache", None),)),
        lambda cls: setattr(cls, "_sym_alias_maps", ({None: "x"},)),
    ],
    ids=["init field", "non-symbolic field", "alias"],
)
def test_a_name_that_is_not_a_str_fails_the_build(setup):
    cls = make()
    setup(cls)
    with pytest.raises(TypeError, match=r"^'(int|bytes|None)'.* is not an instance of 'str'$"):
        view(cls)


def test_a_name_that_cannot_be_utf8_fails_the_build():
    cls = make()
    cls._non_symbolic_fields = (("\ud800", None),)
    with pytest.raises(UnicodeEncodeError):
        view(cls)


def test_entries_are_read_by_subscription_and_any_iterable_serves():
    class Entry:
        def __init__(self, name, field):
            self.items = {0: name, 1: field}

        def __getitem__(self, i):
            return self.items[i]

    field = Field("a", n.Int())
    cls = make()
    cls._sym_init_fields = iter_again([Entry("a", field)])
    cls._non_symbolic_fields = iter_again([Entry("cache", None)])
    v = view(cls)
    assert v["init_names"] == {"a"} and v["non_symbolic_names"] == {"cache"} and v["write_meta"] == {"a": field}


class iter_again:
    """An iterable (not a sequence) that can be iterated many times and has a length."""

    def __init__(self, items):
        self._items = items

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


# ---------------------------------------------------------------- compiled fields


def compiled(cls):
    return view(cls)["compiled_fields"]


def test_compiled_fields_follow_the_init_fields():
    got = compiled(Point)
    assert [(key, default, has) for key, default, has, _, _ in got] == [
        ("x", None, False),
        ("y", 1.5, True),
        ("_hidden", "h", True),
    ]


def test_an_empty_init_field_list_compiles_to_an_empty_list():
    assert compiled(make()) == []


def test_a_native_field_shares_its_cached_record():
    got = compiled(Point)
    for (key, *_, address), (_, field) in zip(got, Point._sym_init_fields):
        assert address == probe.field_meta_address(field)


def test_a_host_field_gets_a_fresh_record_built_from_what_was_read():
    reads = []
    cls = make()
    cls._sym_init_fields = [("a", HostField("a", n.Int(), reads=reads))]
    (entry,) = compiled(cls)
    assert entry[:3] == ("a", None, False)
    assert reads[:2] == ["value", "key"]  # the field's value first, then its key


@pytest.mark.parametrize(
    "spec, is_container",
    [
        (n.List(n.Int(), default=[1]), True),
        (n.Dict([("k", n.Int())], default={"k": 1}), True),
        (n.Tuple([n.Int()], default=(1,)), False),
        (n.Int(default=1), False),
    ],
)
def test_default_is_container_marks_list_and_dict_defaults(spec, is_container):
    cls = make(a=Field("a", spec))
    ((_, default, has_default, container, _),) = compiled(cls)
    assert has_default and default == spec.default and container is is_container


@pytest.mark.parametrize(
    "field, compilable",
    [
        (Field("a", n.Int(default_factory=lambda: 1)), False),
        (with_validator(Field("a", n.Int())), False),
        (Field("a", n.Callable()), False),
        (Field("a", n.Object(n.KeyPath)), True),
        (Field("a", n.Any()), True),
        (Field("a", n.Int(), enable_validation=False), True),
    ],
    ids=["default factory", "validator", "custom apply", "object class", "any", "no validation"],
)
def test_a_field_the_fill_cannot_take_leaves_no_compiled_list(field, compilable):
    cls = make(b=Field("b", n.Int()))
    cls._sym_init_fields = [("b", cls.__schema__.get_field("b")), ("a", field)]
    got = compiled(cls)
    assert (got is not None) is compilable
    assert view(cls)["init_names"] == {"a", "b"}  # the class keeps its tables


def test_compiling_stops_at_the_first_field_it_cannot_take():
    class Unreadable(HostField):
        value = property(lambda self: 1 / 0)

    cls = make()
    cls._sym_init_fields = [
        ("a", with_validator(Field("a", n.Int()))),
        ("b", Unreadable("b", n.Int())),
    ]
    assert compiled(cls) is None  # b's value never read


def test_a_compile_error_fails_the_build():
    class Unreadable(HostField):
        value = property(lambda self: 1 / 0)

    cls = make()
    cls._sym_init_fields = [("a", Field("a", n.Int())), ("b", Unreadable("b", n.Int()))]
    with pytest.raises(ZeroDivisionError):
        view(cls)
    assert KEY not in vars(cls)


# ---------------------------------------------------------------- container probes


def containers(cls):
    return n._container_candidate_fields(cls), n._container_wrap_fields(cls)


def test_probes_list_container_fields_by_their_wrap_setting():
    cls = make(
        plain=Field("plain", n.List(n.Int()), enable_wrap=False),
        wrapped=Field("wrapped", n.List(n.Int()), enable_wrap=True),
        pair=Field("pair", n.Tuple([n.Int(), n.Int()]), enable_wrap=True),
        mapping=Field("mapping", n.Dict([("k", n.Int())])),
        count=Field("count", n.Int()),
    )
    # `enable_wrap` None falls back to enable_init, which is True.
    assert containers(cls) == (["plain"], ["wrapped", "pair", "mapping"])


@pytest.mark.parametrize(
    "spec",
    [
        n.List(n.Int()).freeze([1]),
        n.List(n.Int(), transform=lambda v: v),
        n.Int(),
        n.Object(n.KeyPath),
    ],
    ids=["frozen", "transformed", "scalar", "object"],
)
def test_probes_skip_specs_that_are_no_container_candidates(spec):
    cls = make(a=Field("a", spec, enable_wrap=True))
    assert containers(cls) == ([], [])


def test_probes_skip_host_specs():
    class HostSpec:
        """Not a native spec; the compiler never reaches it (the first field stops it)."""

    cls = make()
    cls._sym_init_fields = [
        ("first", with_validator(Field("first", n.Int()))),
        ("a", HostField("a", HostSpec(), enable_wrap=True)),
        ("b", HostField("b", n.List(n.Int()), enable_wrap=True)),
    ]
    assert containers(cls) == ([], ["b"])


def test_probes_read_enable_wrap_from_the_field_at_call_time():
    field = HostField("a", n.List(n.Int()), enable_wrap=False)
    cls = make()
    cls._sym_init_fields = [("a", field)]
    assert containers(cls) == (["a"], [])
    field._enable_wrap = True
    assert containers(cls) == ([], ["a"])


def test_probes_report_containers_of_a_class_without_compiled_list():
    cls = make(
        items=Field("items", n.List(n.Int()), enable_wrap=True),
        other=Field("other", n.Int(default_factory=lambda: 1)),
    )
    assert compiled(cls) is None
    assert containers(cls) == ([], ["items"])


def test_probes_neither_read_nor_store_the_class_metadata():
    cls = make(items=Field("items", n.List(n.Int())))
    containers(cls)
    assert KEY not in vars(cls)
    view(cls)
    meta = vars(cls)[KEY]
    ho.clear()
    containers(cls)
    assert vars(cls)[KEY] is meta
    # each probe builds afresh, host predicate included
    assert ho.calls == [("needs_cooperative_init", cls)] * 2


def test_probes_without_init_fields_answer_empty_lists():
    cls = make(items=Field("items", n.List(n.Int())))
    cls._sym_init_fields = None
    assert containers(cls) == ([], [])


def test_probe_arguments_and_errors():
    cls = make(items=Field("items", n.List(n.Int())))
    assert n._container_wrap_fields(cls=cls) == ["items"]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'cls'"):
        n._container_wrap_fields()
    with pytest.raises(AttributeError):
        n._container_candidate_fields(5)
    cls.__sym_options__ = ho.SymOptions(sym=1)
    with pytest.raises(TypeError, match="is not an instance of 'bool'"):
        n._container_candidate_fields(cls)


def test_probe_names_must_be_str():
    class Name(str):
        pass

    cls = make(items=Field("items", n.List(n.Int())))
    cls._sym_init_fields = [(Name("items"), cls.__schema__.get_field("items"))]
    (name,) = n._container_wrap_fields(cls)
    assert type(name) is str and name == "items"
    cls._sym_init_fields = [(b"items", cls.__schema__.get_field("items"))]
    with pytest.raises(TypeError, match="^'bytes' object is not an instance of 'str'$"):
        n._container_wrap_fields(cls)


# ---------------------------------------------------------------- the collector


def schema_cycle(cls):
    """class -> metadata -> schema -> field -> Object(cls) -> class."""
    cls._update_schema([Field("x", n.Int()), Field("next", n.Object(cls))])
    view(cls)


def host_field_cycle(cls):
    """A host field's record names the class (an exact object class) and is
    held by the compiled field alone."""
    cls._sym_init_fields = [("next", HostField("next", n.Object(cls)))]
    view(cls)


def replaced_record_cycle(cls):
    """The field's cell has dropped the record the compiled field holds."""
    field = Field("next", n.Object(cls))
    cls._update_schema([field])
    view(cls)
    assert probe.field_meta_address(field) is not None
    field.set_validator(None)  # drops the field's cached record
    assert probe.field_meta_address(field) is None


@pytest.mark.usefixtures("no_call_log")
@pytest.mark.parametrize("setup", [schema_cycle, host_field_cycle, replaced_record_cycle])
def test_a_cycle_through_the_metadata_is_collected(setup):
    def build():
        cls = make("Node")
        setup(cls)
        return weakref.ref(cls)

    alive = build()
    ho.clear()
    gc.collect()
    assert alive() is None


def test_records_shared_with_fields_stay_intact_through_collections():
    base = make("Base", a=Field("a", n.Object(n.KeyPath)), b=Field("b", n.List(n.Int())))
    sub = make("Sub", (base,))
    field = base.__schema__.get_field("a")
    view(base), view(sub)
    address = probe.field_meta_address(field)
    assert [c[4] for c in compiled(sub)][0] == address
    for _ in range(3):
        gc.collect()
    assert field.apply(n.KeyPath("x")) == n.KeyPath("x")
    assert compiled(base)[0][4] == address


def test_a_cleared_metadata_keeps_its_facts_and_readers_cope():
    cls = make(x=Field("x", n.Int()), sym=True)
    obj = cls(x=1, root_path=n.KeyPath("a"))
    meta = vars(cls)[KEY]
    tp_clear(meta)
    v = view(meta)
    assert v["compiled_fields"] is None and v["sym_fields"] is None and v["write_meta"] is None
    assert v["sym"] is True and v["topology_methods_native"] is True
    assert view(cls) == v  # still the class's stored metadata
    obj.field_dict()["x"] = hs.Inferred(3)
    assert obj.x == 3
    obj.sym_setpath(n.KeyPath("b"))
    assert obj.sym_path == n.KeyPath("b")


def test_traverse_visits_the_type_and_references():
    cls = make(x=Field("x", n.Int()))
    view(cls)
    seen = gc.get_referents(vars(cls)[KEY])
    assert n.ObjectCtorMeta in seen and cls.__schema__ in seen and cls.sym_fields in seen
    assert cls._sym_init_fields in seen


def test_metadata_keeps_no_extra_reference_to_its_class_or_type():
    probe.ctor_meta_build(Point)
    before = sys.getrefcount(n.ObjectCtorMeta)
    for _ in range(1000):
        probe.ctor_meta_build(Point)
    after = sys.getrefcount(n.ObjectCtorMeta)
    assert after == before
