"""Dict: schema forms, the open str-keyed form, defaults supplied by the
schema, type arguments and the Dict branches of apply, equality, JSON and
extension."""

import copy
import inspect

import pytest

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

Dict, F = n.Dict, n.Field
MISSING = ht.MISSING_VALUE


def schema_ab():
    return n.Schema([F("a", n.Int(default=1)), F("b", n.Str())])


def test_schemaless_dict():
    d = Dict()
    assert d.schema is None and d.default is MISSING and d.value_type is dict
    value = {1: object()}
    assert d.apply(value) is value  # no schema: the value passes unchanged
    assert d.to_json() == {"_type": "norv.typing.Dict"}
    assert inspect.signature(Dict) == inspect.signature(
        lambda schema=None, default=..., default_factory=None, transform=None, is_noneable=False,
        frozen=False, strict=None: None
    )


def test_schema_is_kept_and_supplies_the_default():
    s = schema_ab()
    d = Dict(s)
    assert d.schema is s
    assert d.default == s.apply({}, allow_partial=True) == {"a": 1, "b": MISSING}
    assert "default" not in d.to_json()
    back = ht.from_json(d.to_json())
    assert back == d and back.default == d.default


@pytest.mark.parametrize("arg", [{"a": int}, [("a", int)]], ids=["dict", "list"])
def test_dict_and_list_build_a_schema(arg):
    ht.calls.clear()
    d = Dict(arg)
    assert ("create_schema", True) in ht.calls
    assert list(d.schema.keys()) == ["a"] and isinstance(d.schema["a"].value, n.Int)


def test_open_str_form():
    d = Dict(int)
    (key,) = d.schema.keys()
    assert isinstance(key, n.StrKey) and key.regex is None
    assert d.apply({"x": 1, "y": 2}) == {"x": 1, "y": 2}
    with pytest.raises(TypeError):
        d.apply({"x": "no"})


def test_factory_dropped_only_with_a_schema():
    f = dict
    with_schema = Dict(schema_ab(), default_factory=f)
    assert with_schema.default_factory is None and with_schema.default == {"a": 1, "b": MISSING}
    without = Dict(default_factory=f)
    assert without.default_factory is f and without.default is MISSING


def test_explicit_default_is_applied_and_serialized():
    d = Dict(schema_ab(), default={"b": "x"})
    assert d.default == {"b": "x", "a": 1}
    assert d.to_json()["default"] == {"b": "x", "a": 1}
    with pytest.raises(KeyError, match=r"Keys \['z'\] are not allowed"):
        Dict(schema_ab(), default={"b": "x", "z": 0})


def test_noneable_round_trip_restores_schema_default():
    d = Dict(schema_ab()).noneable()
    assert d.is_noneable and d.default is None
    d.noneable(False)
    assert d.default == {"a": 1, "b": MISSING}


def test_type_arguments():
    assert isinstance(Dict[str, int].schema, n.Schema)
    assert Dict[int, str].schema is None
    assert Dict[{"a": int}] == Dict({"a": int})


@pytest.mark.parametrize(
    "args, shown",
    [(int, "(<class 'int'>,)"), ((int, str, float), "(<class 'int'>, <class 'str'>, <class 'float'>)")],
)
def test_type_argument_errors(args, shown):
    message = (
        "`nv.typing.Dict` accepts 1 dict type argument as the schema, or 2 type arguments as the key "
        f"type and value type. Encountered: {shown}."
    )
    with pytest.raises(TypeError) as e:
        Dict[args]
    assert str(e.value) == message


def test_both_default_and_factory_refused():
    with pytest.raises(ValueError, match="Cannot specify both"):
        Dict(default={}, default_factory=dict)


def test_equality_copy_and_extension():
    a, b = Dict(schema_ab()), Dict(schema_ab())
    assert a == b and a != Dict() and a.is_compatible(b)
    deep = copy.deepcopy(a)
    assert deep == a and deep.schema is not a.schema
    assert copy.copy(a).schema is a.schema
    loose = Dict(n.Schema([F("a", n.Int())]))
    tight = Dict(n.Schema([F("a", n.Int(min_value=0))]))
    assert loose.is_compatible(tight) and not tight.is_compatible(loose)


def test_extension_merges_schemas_and_recomputes_default():
    base = Dict(n.Schema([F("a", n.Int(default=1))]))
    child = Dict(n.Schema([F("b", n.Str(default="x"))]))
    assert child.extend(base) is child
    assert list(child.schema.keys()) == ["a", "b"] and child.default == {"a": 1, "b": "x"}


def test_apply_runs_the_schema_and_fills_defaults():
    d = Dict(schema_ab())
    value = {"b": "x"}
    assert d.apply(value) is value and value == {"b": "x", "a": 1}
    with pytest.raises(ValueError, match=r"Required value is not specified. \(Path='b'"):
        d.apply({})


def test_dict_inside_list_is_validated():
    spec = n.List(Dict(schema_ab()))
    out = spec.apply([{"b": "x"}])
    assert out == [{"b": "x", "a": 1}]
