"""The one-pass schemaful constructions of SymDict: the fused route over the
schema's own caches and the single pass through member formalisation, tried
by a validating construction before the general route, and their Python
faces."""

import pytest

import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs
from norv_host import typing as ht

from host_calls import calls, fresh_host, leak_round  # noqa: F401 (a fixture)
from leakcheck import block_growth, swallow
from test_field_meta import HostField

norv_host.install()
HostDict, KeyPath, Field = hs.HostDict, n.KeyPath, n.Field
MISSING = hs.MISSING_VALUE

pytestmark = pytest.mark.usefixtures("fresh_host")


class Recording(HostDict):
    """Records every spec its `custom_apply` is asked about."""

    def custom_apply(self, path, value_spec, allow_partial, child_transform=None):
        hs.calls.append(("custom_apply", value_spec))
        return super().custom_apply(path, value_spec, allow_partial, child_transform)


def spec_of(*pairs):
    return n.Dict(list(pairs))


def with_validator(key, spec):
    f = Field(key, spec)
    f.set_validator(lambda v: None)
    return f


class Key(str):
    """A str key with an equality and hash of its own: two of one text are distinct."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return id(self)


AB = spec_of(("a", n.Int()), ("b", n.Str()))
HOST_SPEC = type("HostSpec", (), {"schema": AB.schema})()


def blank(**kwargs):
    d = Recording(**kwargs)
    hs.clear()
    return d


def untouched(d):
    return dict(d) == {} and d._value_spec is None


# ---------------------------------------------------------------- the fused route


@pytest.mark.parametrize(
    "spec, given, expected",
    [
        (AB, {"b": "x", "a": 1}, [("b", "x"), ("a", 1)]),  # input order
        (spec_of(("a", n.Float())), {"a": 1}, [("a", 1.0)]),  # an int widened to float
        (spec_of(("a", n.Int(min_value=0))), {"a": 3}, [("a", 3)]),  # a checked field that passes
        (spec_of(("a", n.Any()), ("b", n.Bool())), {"a": b"x", "b": True}, [("a", b"x"), ("b", True)]),
        (spec_of(("a", n.Int().noneable())), {"a": None}, [("a", None)]),
        (spec_of(("a", n.Str())), {Key("a"): "x"}, [("a", "x")]),  # a str subclass key
        (spec_of(("key", n.Int())), {"".join(["ke", "y"]): 1}, [("key", 1)]),  # an equal text, not the schema's
        (spec_of(), {}, []),  # an empty schema takes an empty input
    ],
)
def test_the_fused_route_takes(spec, given, expected):
    d = blank()
    assert d.try_fused_schemaful_construct(spec, given) is True
    assert [(str(k), v, type(v)) for k, v in d.items()] == [(k, v, type(v)) for k, v in expected]
    assert list(d) == list(given)  # the given key objects
    assert d._value_spec is spec
    # no apply, no custom_apply, no wrapping, no notification
    assert hs.calls == []


@pytest.mark.parametrize(
    "spec, given",
    [
        (spec_of(("a", n.List(n.Int()))), {"a": [1]}),  # not a scalar
        (AB, {"a": 1}),  # a field left out
        (AB, {"a": 1, "b": "x", "c": 3}),  # an extra key
        (AB, {"a": 1, "c": 3}),  # as many keys, one unknown
        (spec_of(("a", n.Int())), {1: 1}),  # not a str
        (spec_of(("a", n.Int())), {"\ud800": 1}),  # not encodable
        (spec_of(("a", n.Int())), {"a": "x"}),  # the funnel defers it
        (n.Dict([with_validator("a", n.Int())]), {"a": 1}),  # a validator: deferred
        (spec_of(("a", n.Int()), (n.StrKey(), n.Int())), {"a": 1}),  # a variable key
        (spec_of(("a", n.Int()), (n.StrKey(), n.Int())), {}),
        (n.Dict(), {}),  # no schema
        (n.Dict(), {"a": 1}),
        (HOST_SPEC, {"a": 1, "b": "x"}),  # not a native spec
        (n.Int(), {}),  # not a Dict
        (None, {}),
        # two keys of one text cover one field twice and leave the other out
        (AB, {Key("a"): 1, Key("a"): 2}),
    ],
)
def test_the_fused_route_declines(spec, given):
    d = blank()
    assert d.try_fused_schemaful_construct(spec, given) is False
    assert untouched(d) and hs.calls == []


def test_a_checked_field_that_refuses_raises_with_nothing_stored():
    d = blank(root_path=KeyPath("r"))
    spec = spec_of(("b", n.Str()), ("a", n.Int(min_value=0)))
    with pytest.raises(ValueError) as e:
        d.try_fused_schemaful_construct(spec, {"b": "x", "a": -1})
    assert str(e.value) == "Value -1 is out of range (min=0, max=None). (path=r.a)"
    assert untouched(d)


class CheckedSpec:
    """A host spec the funnel checks through its `_validate`."""

    has_default = False
    frozen = False
    fast_apply_info = ht.FastApplyInfo()
    _exact_leaf_type = None
    _checked_leaf_type = int

    def __init__(self, on_validate=None):
        self.validated = []
        self.on_validate = on_validate

    def materialize_default(self, allow_partial=False):
        return MISSING

    def apply(self, value, **kwargs):
        return value

    def _validate(self, path, value):
        self.validated.append((path, value))
        if self.on_validate:
            self.on_validate()


def test_the_funnel_validates_with_the_child_path():
    spec = CheckedSpec()
    d = blank(root_path=KeyPath("r"))
    assert d.try_fused_schemaful_construct(n.Dict(n.Schema([HostField("a", spec)])), {"a": 7}) is True
    assert spec.validated == [(KeyPath("a", KeyPath("r")), 7)] and d == {"a": 7}


def test_the_schema_stays_held_across_the_funnel_calls():
    schema = None
    spec = CheckedSpec(lambda: schema._recompute_caches())
    schema = n.Schema([HostField("a", spec)])
    d = blank()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        d.try_fused_schemaful_construct(n.Dict(schema), {"a": 7})
    assert untouched(d)
    schema._recompute_caches()  # released afterwards
    spec.on_validate = None
    assert d.try_fused_schemaful_construct(n.Dict(schema), {"a": 7}) is True


def test_what_the_funnel_accepted_is_stored_even_if_host_code_changed_the_input():
    given = {"a": 7, "b": "x"}
    spec = CheckedSpec(lambda: given.update(b="changed", a=-1))
    d = blank()
    assert d.try_fused_schemaful_construct(n.Dict(n.Schema([HostField("a", spec), Field("b", n.Str())])), given)
    assert list(d.items()) == [("a", 7), ("b", "x")]


def test_an_error_building_a_field_record_propagates():
    broken = HostField("a", CheckedSpec())
    del broken.enable_validation
    d = blank()
    with pytest.raises(AttributeError, match="enable_validation"):
        d.try_fused_schemaful_construct(n.Dict(n.Schema([broken])), {"a": 1})
    assert untouched(d)


class SchemaRead:
    """A spec whose `schema` read is recorded."""

    @property
    def schema(self):
        hs.calls.append(("schema",))
        return AB.schema


@pytest.mark.parametrize(
    "route",
    [
        lambda d: d.try_fused_schemaful_construct(AB, {"a": 1, "b": "x"}),
        lambda d: d.try_single_pass_schemaful_construct(AB, {"a": 1, "b": "x"}, None),
        lambda d: d.try_single_pass_schemaful_construct(SchemaRead(), {"a": 1, "b": "x"}, None),
    ],
)
def test_both_routes_decline_on_a_dict_already_holding_members(route):
    # Binding the spec over them would leave them unchecked.
    d = blank()
    dict.__setitem__(d, "z", 0)
    assert route(d) is False
    assert list(d.items()) == [("z", 0)] and d._value_spec is None and hs.calls == []  # nothing read


# ---------------------------------------------------------------- the single pass


def test_the_single_pass_formalises_given_members_then_defaults():
    child = HostDict({"x": 1})
    spec = spec_of(("c", n.Int(default=5)), ("a", n.Dict()), ("b", n.Float()))
    d = blank(root_path=KeyPath("r"))
    assert d.try_single_pass_schemaful_construct(spec, {"b": 1, "a": child}, None) is True
    assert list(d.items()) == [("b", 1.0), ("a", child), ("c", 5)]
    assert child.sym_parent is d and child.sym_path == KeyPath("a", KeyPath("r"))
    assert d._value_spec is spec and calls("custom_apply") == []  # bound, never applied
    assert {id(c[0]) for c in calls("wrap_value")} == {id(child)}  # only the non-scalar was wrapped


@pytest.mark.parametrize(
    "spec, given, expected",
    [
        (spec_of(("a", n.Int())), {"a": "x"}, TypeError),
        (AB, {"a": 1}, ValueError),
        (AB, {"a": 1, "b": "x", "c": 3}, KeyError),
        (AB, {"c": 3}, KeyError),  # the extra key before the missing fields
    ],
)
def test_single_pass_errors(spec, given, expected):
    d = blank()
    with pytest.raises(expected):
        d.try_single_pass_schemaful_construct(spec, given, None)
    assert d._value_spec is None


def test_the_single_pass_reads_fields_edited_in_place():
    spec = spec_of(("a", n.Int()), ("b", n.Int(default=2)))
    spec.schema.fields[n.ConstStrKey("c")] = Field("c", n.Int(default=3))  # the caches not recomputed
    d = HostDict({"a": 1}, value_spec=spec)
    assert list(d.items()) == [("a", 1), ("b", 2), ("c", 3)]


@pytest.mark.parametrize(
    "spec",
    [
        n.Dict(),  # no schema
        spec_of(("a", n.Int()), (n.StrKey(), n.Int())),  # a variable key
        type("HostSpec", (), {"schema": type("HostSchema", (), {"_has_nonconst_keys": False})()})(),
    ],
)
def test_the_single_pass_declines(spec):
    d = blank()
    assert d.try_single_pass_schemaful_construct(spec, {"a": 1}, None) is False
    assert untouched(d)


def test_the_single_pass_reads_the_spec_and_the_membership_through_python():
    d = blank()
    with pytest.raises(AttributeError, match="schema"):
        d.try_single_pass_schemaful_construct(1, {}, None)

    class Refusing(dict):
        def __contains__(self, key):
            raise LookupError("contains")

    with pytest.raises(LookupError, match="contains"):
        d.try_single_pass_schemaful_construct(AB, Refusing(a=1), None)
    assert d == {"a": 1}  # the given member was stored before the missing one was looked for


def test_the_seen_set_clones_a_value_met_twice():
    child = HostDict()
    spec = spec_of(("a", n.Dict()), ("b", n.Dict()))
    d = blank(as_object_attributes_container=True)
    assert d.try_single_pass_schemaful_construct(spec, {"a": child, "b": child}, set()) is True
    assert d["a"] is child and d["b"] is not child and calls("sym_clone") == [(child,)]


# ---------------------------------------------------------------- the Python faces


@pytest.mark.parametrize(
    "call, match",
    [
        (lambda d: d.try_fused_schemaful_construct(AB, [("a", 1)]),
         r"^argument 'normalized': 'list' object is not an instance of 'dict'$"),
        (lambda d: d.try_fused_schemaful_construct(AB), r"missing 1 required positional argument: 'normalized'"),
        (lambda d: d.try_single_pass_schemaful_construct(AB, {}, []),
         r"^argument 'seen': 'list' object is not an instance of 'set'$"),
        (lambda d: d.try_single_pass_schemaful_construct(AB, {}, frozenset()),
         r"^argument 'seen': 'frozenset' object is not an instance of 'set'$"),
        (lambda d: d.try_single_pass_schemaful_construct(AB, None, None),
         r"^argument 'normalized': 'None' is not an instance of 'dict'$"),
        (lambda d: d.try_single_pass_schemaful_construct(AB, {}), r"missing 1 required positional argument: 'seen'"),
    ],
)
def test_argument_errors(call, match):
    d = blank()
    with pytest.raises(TypeError, match=match):
        call(d)
    assert untouched(d)


def test_subclasses_of_dict_and_set_are_accepted():
    class Members(dict):
        pass

    class Seen(set):
        pass

    d = blank()
    assert d.try_fused_schemaful_construct(value_spec=AB, normalized=Members(a=1, b="x")) is True
    e = blank()
    assert e.try_single_pass_schemaful_construct(AB, Members(a=1, b="x"), Seen()) is True
    assert d == e == {"a": 1, "b": "x"}


def test_signatures():
    import inspect

    assert str(inspect.signature(n.SymDict.try_fused_schemaful_construct)) == "(self, /, value_spec, normalized)"
    assert (
        str(inspect.signature(n.SymDict.try_single_pass_schemaful_construct))
        == "(self, /, value_spec, normalized, seen)"
    )


# ---------------------------------------------------------------- in construction


def test_construction_takes_the_fused_route():
    spec = AB
    d = Recording({"b": "x", "a": 1}, value_spec=spec, sealed=True, accessor_writable=False)
    assert list(d.items()) == [("b", "x"), ("a", 1)] and d._value_spec is spec
    assert calls("custom_apply") == [] and calls("symbolic_transform_fn") == []
    assert d._sealed and not d._accessor_writable  # the tail still runs


def test_construction_takes_the_single_pass_when_the_fused_route_declines():
    d = Recording({"b": "x"}, value_spec=spec_of(("a", n.Int(default=5)), ("b", n.Str())))
    assert list(d.items()) == [("b", "x"), ("a", 5)] and calls("custom_apply") == []


def test_a_variable_key_leaves_construction_to_the_general_route():
    spec = spec_of(("a", n.Int()), (n.StrKey(), n.Int()))
    d = Recording({"a": 1, "x": 2}, value_spec=spec)
    assert d == {"a": 1, "x": 2} and calls("custom_apply") == [(spec,)]


def test_an_extra_key_is_reported_before_a_missing_required_field():
    d = HostDict.__new__(HostDict)
    with pytest.raises(KeyError) as e:
        d.__init__({"a": 1, "c": 3}, value_spec=AB, root_path=KeyPath("r"))
    assert e.value.args == ("Keys ['c'] are not allowed in Schema. (parent='r')",)
    assert dict(d) == {} and d._value_spec is None


def test_a_missing_required_field_keeps_the_members_stored_before_it():
    d = HostDict.__new__(HostDict)
    with pytest.raises(ValueError, match=r"^Required value is not specified. \(Path='r.b', ValueSpec=Str\(\)\)$"):
        d.__init__({"a": 1}, value_spec=AB, root_path=KeyPath("r"), sealed=True)
    assert dict(d) == {"a": 1} and d._value_spec is None and not d._sealed


def test_allow_partial_reaches_both_routes():
    d = HostDict({"a": 1}, value_spec=AB, allow_partial=True)
    assert list(d.items()) == [("a", 1), ("b", MISSING)]
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, True)
    e = HostDict({"a": 1}, value_spec=AB)
    assert list(e.items()) == [("a", 1), ("b", MISSING)]


def test_a_value_met_twice_in_an_attributes_container_is_cloned():
    child = HostDict()
    spec = spec_of(("a", n.Dict()), ("b", n.Dict()))
    d = HostDict({"a": child, "b": child}, value_spec=spec, as_object_attributes_container=True)
    assert d["a"] is child and d["b"] is not child


# The routes give what the general route gives: the members in input order,
# then the defaulted fields in schema order, each converted as its field says.
SAME = [
    (AB, {"b": "x", "a": 1}),
    (spec_of(("a", n.Float()), ("b", n.Int(min_value=0))), {"b": 2, "a": 1}),
    (spec_of(("a", n.Float(default=0.5)), ("b", n.Bool())), {"b": True}),
    (spec_of(("a", n.List(n.Int())), ("b", n.Str(default="d"))), {"a": [1, 2]}),
    (spec_of(("a", n.Int().noneable()), ("b", n.Any())), {"b": (1,), "a": None}),
    (n.Dict([with_validator("a", n.Int()), Field("b", n.Int())]), {"b": 2, "a": 1}),
]


@pytest.mark.parametrize("spec, given", SAME)
def test_the_routes_store_what_the_general_route_stores(spec, given):
    routed = HostDict(given, value_spec=spec)
    general = HostDict(given)
    general.use_value_spec(spec)
    assert list(routed.items()) == list(general.items())
    assert [type(v) for v in routed.values()] == [type(v) for v in general.values()]


# ---------------------------------------------------------------- no growth


def test_one_pass_constructions_leave_no_growth():
    spec = spec_of(("a", n.Int()), ("b", n.Float()), ("c", n.Int(min_value=0)))
    single = spec_of(("a", n.List(n.Int())), ("b", n.Str(default="d")))
    rounds = [
        lambda: HostDict({"a": 1, "b": 2, "c": 3}, value_spec=spec),
        lambda: HostDict({"a": [1]}, value_spec=single),
        lambda: HostDict().try_fused_schemaful_construct(spec, {"a": 1, "b": [2], "c": 3}),
        lambda: HostDict().try_single_pass_schemaful_construct(single, {"a": [1]}, set()),
        swallow(lambda: HostDict({"a": 1, "b": 2, "c": -3}, value_spec=spec), ValueError),
        swallow(lambda: HostDict({"a": 1, "x": 2}, value_spec=spec), KeyError),
        swallow(lambda: HostDict({"b": "x"}, value_spec=single), ValueError),
        swallow(lambda: HostDict().try_single_pass_schemaful_construct(single, {}, []), TypeError),
    ]
    growth = [block_growth(leak_round(r), rounds=10_000) for r in rounds]
    assert all(g < 100 for g in growth), growth
