"""The keyword-dict driver of object construction and its per-field steps,
driven by constructions that take the schema path (a class whose keywords
its schema classifies, or whose compiled fill declines): the all-constant
walk, the open-plan validation, the required-key report, the scalar flag
the construction's abstract test reads, and the wrapping of containers the
funnel proved. The extra-key check and the plan's refusal of non-str keys
are shared with `Schema.apply` and tested there."""

import pytest
from leakcheck import block_growth, swallow

from norv_core import _native as n
import norv_host
from norv_host import objects as ho, symbolic as hs

from host_calls import clean_records, leak_round, recorded  # noqa: F401  (fixture)

norv_host.install()

probes = getattr(n, "_testing", None)
F = n.Field
P = n.KeyPath.parse
MISSING = ho.MISSING_VALUE


pytestmark = pytest.mark.usefixtures("clean_records")


def schema_class(fields, *, builder=False, **schema_kw):
    """A class bound to a schema of `fields`, its keywords classified by the
    schema (no init names, so no compiled fill): every construction goes
    through the driver. Its validate hook lets the abstract test run."""

    class Driven(ho.HostObject):
        def on_sym_validate(self):
            pass

    Driven.__schema__ = n.Schema(fields, **schema_kw)
    Driven.sym_fields = n.Dict(Driven.__schema__)
    Driven._sym_init_fields = None
    for f in fields:
        if f.key.is_const:
            setattr(Driven, f.key.const_text, property(n.SymFieldGetter(f.key.const_text)))
    if builder:
        Driven._sym_attrs_builder = object()
    Driven._on_schema_update()
    return Driven


def scalar_flag(obj):
    """The driver's flag as the abstract test saw it: all scalar caches False
    without asking the host about any value."""
    return vars(obj).get("_sym_puresymbolic") is False and recorded("is_pure_symbolic") == []


def recording_field(key, spec, log, **kw):
    """A field whose validator logs each value: its values always reach `apply`."""
    return F(key, spec, **kw).set_validator(log.append)


def a_b():
    return schema_class([F("a", n.Int()), F("b", n.Int(default=5))])


def open_class(log=None):
    # a, then the wildcard, then b: the wildcard sits at position 1
    log = [] if log is None else log
    cls = schema_class(
        [
            recording_field("a", n.Int(), log),
            recording_field(n.StrKey(), n.Int(), log),
            recording_field("b", n.Int(default=0), log),
        ],
        allow_nonconst_keys=True,
    )
    log.clear()  # the schema checked b's default when it was made
    return cls


# ---------------------------------------------------------------- all-constant schemas


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"a": 1}, [("a", 1), ("b", 5)]),
        ({"b": 2, "a": 1}, [("a", 1), ("b", 2)]),
    ],
)
def test_all_constant_walk(kwargs, expected):
    obj = a_b()(**kwargs)
    assert list(obj.field_dict().items()) == expected and scalar_flag(obj)


def test_a_missing_field_is_reported_before_anything_is_validated():
    with pytest.raises(TypeError, match=r"^Driven\.__init__\(\) missing 1 required argument: 'a'\.$"):
        a_b()(b="not validated")


def test_allow_partial_leaves_required_fields_missing():
    obj = a_b()(allow_partial=True)
    assert obj.field_dict() == {"a": MISSING, "b": 5}
    # not all scalar: the abstract test finds the object partial
    assert "_sym_puresymbolic" not in vars(obj)


def test_absent_default_is_stored_without_apply():
    # The default goes in as materialize_default returns it: no conversion.
    cls = schema_class([F("x", n.Float(default=1.5)), F("y", n.List(n.Int(), default=[1]))])
    obj = cls()
    assert obj.field_dict() == {"x": 1.5, "y": [1]} and type(obj.y) is list


def test_skip_validation_takes_values_unchanged_only_on_an_all_constant_schema():
    cls = a_b()
    obj, src = cls.__new__(cls), cls(a=1)
    n._native_object_clone_construct(obj, False, False, {"a": "not an int"}, src, False, None)
    assert obj.field_dict() == {"a": "not an int", "b": 5}
    mixed = schema_class([F("a", n.Int()), F(n.StrKey(regex="x.*"), n.Int())], allow_nonconst_keys=True)
    obj, src = mixed.__new__(mixed), mixed(a=1)
    with pytest.raises(TypeError):
        n._native_object_clone_construct(obj, False, False, {"a": "not an int"}, src, False, None)


@pytest.mark.parametrize(
    "builder, message",
    [(False, "Expect <class 'int'> but encountered <class 'str'>: x. (path=r.a)"),
     (True, "Expect <class 'int'> but encountered <class 'str'>: x. (path=)")],
)
def test_a_class_with_an_attribute_builder_gets_no_child_paths(builder, message):
    cls = schema_class([F("a", n.Int()), F("b", n.Int(default=5))], builder=builder)
    with pytest.raises(TypeError) as info:
        cls(a="x", root_path=P("r"))
    assert str(info.value) == message


class Loud(dict):
    def __getitem__(self, key):
        raise AssertionError("hook used")

    def get(self, key, default=None):
        raise AssertionError("hook used")


def test_dict_subclass_is_read_without_its_lookup_hooks():
    cls = a_b()
    cls.on_sym_preinit = classmethod(lambda c, kwargs: Loud(kwargs))
    cls._sym_preinit_overridden = True
    cls._on_schema_update()
    assert cls(a=1).field_dict() == {"a": 1, "b": 5}


@pytest.mark.parametrize(
    "spec, value, scalar",
    [
        (n.Int(), 3, True),
        (n.Float(), 3, True),  # widened to 3.0
        (n.Str(), "s", True),
        (n.List(n.Int()), [1, 2], True),  # proven to hold scalars only
        (n.Any(), [1, 2], False),
        (n.Int(), True, True),  # the field's apply
    ],
)
def test_scalar_flag(spec, value, scalar):
    obj = schema_class([F("v", spec)])(v=value)
    assert scalar_flag(obj) is scalar
    assert obj.v == value


def test_partial_missing_value_gets_the_transform_only_with_enable_wrap():
    cls = schema_class([F("a", n.Int()), F("b", n.Int(), enable_wrap=False)])
    obj = cls(allow_partial=True, root_path=P("r"))
    assert obj.field_dict() == {"a": MISSING, "b": MISSING}
    assert [(c[0], c[3]) for c in recorded("wrap_value")] == [(MISSING, P("r.a"))]
    assert recorded("symbolic_transform_fn") == [(True,)]


# ---------------------------------------------------------------- the open plan


def test_open_plan_validates_in_schema_order_and_orders_the_result():
    log = []
    obj = open_class(log)(x=1, b=2, y=3, a=4)
    assert log == [4, 1, 3, 2]  # a, then x and y, then b
    assert list(obj.field_dict().items()) == [("a", 4), ("b", 2), ("x", 1), ("y", 3)]
    assert scalar_flag(obj)


def test_open_plan_fills_absent_constant_fields_through_apply():
    cls = open_class()
    assert cls(a=1).field_dict() == {"a": 1, "b": 0}
    with pytest.raises(TypeError, match=r"missing 1 required argument: 'a'\.$"):
        cls(b=1)
    assert cls(b=1, allow_partial=True).field_dict() == {"a": MISSING, "b": 1}


def test_constant_key_never_reaches_the_wildcard():
    cls = schema_class([F("a", n.Int()), F(n.StrKey(), n.Any())], allow_nonconst_keys=True)
    with pytest.raises(TypeError, match=r"\(path=a\)"):
        cls(a="text")


@pytest.mark.skipif(probes is None, reason="built without NORV_TEST_PROBES")
@pytest.mark.parametrize(
    "fields, key, expected",
    [
        (["a"], "a", True),
        (["a"], "", False),
        (["a", ""], "", True),
        (["a"], type("S", (str,), {})("a"), True),
        (["a"], type("S", (str,), {})("zz"), False),
        (["a"], "\ud800", False),
        (["a"], 1, False),
    ],
)
def test_key_in_plan_consts(fields, key, expected):
    s = n.Schema([F(k, n.Int()) for k in fields] + [F(n.StrKey(), n.Int())], allow_nonconst_keys=True)
    assert probes.key_in_plan_consts(s, key) is expected


def test_the_host_transform_wraps_what_is_not_a_scalar_on_the_open_plan():
    cls = schema_class([F(n.StrKey(), n.Any())], allow_nonconst_keys=True)
    obj = cls(x=1, y=[2], root_path=P("r"))
    assert obj.field_dict() == {"x": 1, "y": [2]}
    assert [(c[0], c[3]) for c in recorded("wrap_value")] == [([2], P("r.y"))]
    assert recorded("is_pure_symbolic") == [([2],)]


def test_changing_the_dict_during_the_open_walk_is_a_fault():
    kwargs = {"x": 1, "y": 2}
    cls = schema_class([F(n.StrKey(), n.Int()).set_validator(lambda v: kwargs.pop("y", None))], allow_nonconst_keys=True)
    cls.on_sym_preinit = classmethod(lambda c, given: kwargs)
    cls._sym_preinit_overridden = True
    cls._on_schema_update()
    with pytest.raises(n.PanicException, match="dictionary changed size during iteration"):
        cls(x=1, y=2)


def test_missing_required_keys_of_a_schema_without_a_plan():
    cls = schema_class(
        [F("a", n.Int()), F(n.StrKey(regex="x.*"), n.Int()), F("b", n.Int(default=1)), F("c", n.Str())],
        allow_nonconst_keys=True,
    )
    with pytest.raises(TypeError, match=r"missing 1 required argument: 'a'\.$"):
        cls(c="x")
    with pytest.raises(TypeError, match=r"missing 2 required arguments: 'a', 'c'\.$"):
        cls()
    assert cls(a=1, c="x", x1=2).field_dict() == {"a": 1, "b": 1, "c": "x", "x1": 2}


# ---------------------------------------------------------------- wrapping proven containers

WRAP_PRELUDE = """
import typing
from norv_core import _native as n
import norv_host
from norv_host import objects as ho, symbolic as hs, typing as ht
ht.install(); hs.install()
F = n.Field
P = n.KeyPath.parse

class NoIdentity:
    def __init__(self):
        self.calls = []

    def __call__(self, path, field, value):
        self.calls.append(str(path))
        return ("wrapped", value)

class ScalarIdentity:
    _norv_scalar_identity = True

    def __init__(self):
        self.calls = []

    def __call__(self, path, field, value):
        self.calls.append((str(path), value))
        return value

made = []
def transform_fn(allow_partial):
    made.append(TRANSFORM())
    return made[-1]

n._install_object_bridge(**dict(ho.HANDLES, symbolic_transform_fn=transform_fn))
ho.HostObject._update_schema([])

def run(spec, value, enable_wrap=True):
    class Driven(ho.HostObject):
        def on_sym_validate(self):
            pass

    Driven.__schema__ = n.Schema([F("v", spec, enable_wrap=enable_wrap)])
    Driven.sym_fields = n.Dict(Driven.__schema__)
    Driven._sym_init_fields = None
    Driven._on_schema_update()
    ho.clear()
    obj = Driven(v=value, root_path=P("r"))
    asked = [c for c in ho.calls if c[0] == "is_pure_symbolic"]
    print(repr(obj.field_dict()["v"]), not asked, made[-1].calls)

record = n.Dict(n.Schema([F("a", n.Int())]))
"""


# The flag is True where the element spec is a proven scalar leaf (list of
# int, dict of int); a record's fields may hold anything.
@pytest.mark.parametrize(
    "transform, spec, value, enable_wrap, expected",
    [
        ("NoIdentity", "n.List(n.Int())", "[1]", True, "('wrapped', [1]) True ['r.v']"),
        ("NoIdentity", "n.List(n.Int())", "[1]", False, "[1] True []"),
        ("ScalarIdentity", "n.Tuple(n.Int())", "(1,)", True, "(1,) True []"),
        ("ScalarIdentity", "n.List(n.Int())", "[1]", True, "[1] True [('r.v', [1])]"),
        ("NoIdentity", "record", "{'a': 1}", True, "('wrapped', {'a': 1}) False ['r.v']"),
        ("ScalarIdentity", "record", "{'a': 1}", True, "{'a': 1} False [('r.v', {'a': 1})]"),
        ("NoIdentity", "n.Dict(n.Int())", "{'x': 1}", True, "('wrapped', {'x': 1}) True ['r.v']"),
        ("NoIdentity", "n.Dict(n.Int())", "{'x': 1}", False, "{'x': 1} True []"),
        # Not proven: the field's own application runs, children first.
        ("NoIdentity", "record", "{'a': True}", True, "('wrapped', {'a': ('wrapped', True)}) False ['r.v.a', 'r.v']"),
    ],
)
def test_wrap_verdict(run_py, transform, spec, value, enable_wrap, expected):
    out = run_py(WRAP_PRELUDE.replace("TRANSFORM", transform) + f"run({spec}, {value}, {enable_wrap})\n")
    assert out.strip() == expected


def test_wrap_reads_the_allow_partial_marker_and_propagates_its_errors(run_py):
    prelude = WRAP_PRELUDE.replace("TRANSFORM", "Broken")
    broken = """
class Broken(ScalarIdentity):
    @property
    def _norv_allow_partial(self):
        raise RuntimeError("marker read failed")
"""
    # The transform class must exist before the bridge makes one.
    code = prelude.replace("made = []", broken + "\nmade = []") + """
try:
    run(n.List(n.Int()), [1])
except RuntimeError as e:
    print(e)
"""
    assert run_py(code).strip() == "marker read failed"


def test_wrap_builds_the_host_container_through_the_hook(run_py):
    # The host's container types are installed: the hook builds the list node
    # at the field's path, bound to the field's spec; the transform is not
    # called, and the object adopts the node as its child.
    marked = """
class Marked(ScalarIdentity):
    _norv_allow_partial = True
"""
    code = WRAP_PRELUDE.replace("TRANSFORM", "Marked").replace("made = []", marked + "\nmade = []") + """
class Driven(ho.HostObject):
    def on_sym_validate(self):
        pass

spec = n.List(n.Int())
Driven.__schema__ = n.Schema([F("v", spec)])
Driven.sym_fields = n.Dict(Driven.__schema__)
Driven._sym_init_fields = None
Driven._on_schema_update()
obj = Driven(v=[1], root_path=P("r"))
v = obj.field_dict()["v"]
print(type(v) is hs.HostList, v == [1], str(v.sym_path), v.sym_parent is obj, v.value_spec is spec, v._allow_partial, made[-1].calls)
"""
    assert run_py(code).strip() == "True True r.v True True True []"


def test_wrap_falls_back_to_the_transform_without_container_types(run_py):
    code = """
from norv_core import _native as n
from norv_host import objects as ho, symbolic as hs, typing as ht
ht.install()
n._install_container_bridge(**hs.HANDLES)
n._install_list_bridge(hs.Insertion)
calls = []
def transform(path, field, value):
    calls.append((str(path), value))
    return ("built", value)
transform._norv_scalar_identity = True
transform._norv_allow_partial = True
n._install_object_bridge(**dict(ho.HANDLES, symbolic_transform_fn=lambda allow_partial: transform))
ho.HostObject._update_schema([])

class Driven(ho.HostObject):
    def on_sym_validate(self):
        pass

Driven.__schema__ = n.Schema([n.Field("v", n.List(n.Int()))])
Driven.sym_fields = n.Dict(Driven.__schema__)
Driven._sym_init_fields = None
Driven._on_schema_update()
obj = Driven(v=[1], root_path=n.KeyPath.parse("r"))
print(obj.field_dict()["v"], calls)
"""
    assert run_py(code).strip() == "('built', [1]) [('r.v', [1])]"


def test_wrap_verdicts_of_the_driver_build_host_containers_the_object_adopts():
    list_spec, dict_spec = n.List(n.Int()), n.Dict([("x", n.Int())])
    cls = schema_class([F("v", list_spec), F("d", dict_spec), F("t", n.Tuple(n.Int()))])
    obj = cls(v=[1, 2], d={"x": 1}, t=(1,), root_path=n.KeyPath.parse("o"))
    out = obj.field_dict()
    v, d, t = out["v"], out["d"], out["t"]
    assert (type(v), v, v.sym_path, v.sym_parent, v.value_spec) == (
        hs.HostList, [1, 2], n.KeyPath.parse("o.v"), obj, list_spec,
    )
    assert (type(d), d, d.sym_path, d.sym_parent, d._value_spec) == (
        hs.HostDict, {"x": 1}, n.KeyPath.parse("o.d"), obj, dict_spec,
    )
    assert t == (1,) and type(t) is tuple


def test_disabled_validation_takes_the_value():
    cls = schema_class([F("v", n.Int(), enable_validation=False)])
    assert cls(v=[1]).v == [1]


# ---------------------------------------------------------------- references


def test_the_driver_keeps_nothing_behind():
    plain = a_b()
    opened = schema_class([F("a", n.Int()), F(n.StrKey(), n.Int()), F("b", n.Int(default=0))], allow_nonconst_keys=True)

    for make in (
        lambda: plain(a=1),
        lambda: plain(a="x"),
        lambda: opened(x=1, a=2),
        lambda: opened(a="x"),
    ):
        assert block_growth(leak_round(swallow(make, TypeError)), 3000) < 100
