"""The wire form of value specs: key order, the keys of each kind, the
flags, keyword arguments passed to nested conversions, and the way back
through each class's from_json."""

import re

import pytest

from norv_core import PanicException
from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

Bool, Str, Int, Float, Any, Enum = n.Bool, n.Str, n.Int, n.Float, n.Any, n.Enum
Union, Object, Type, Callable, Functor = n.Union, n.Object, n.Type, n.Callable, n.Functor


class A:
    pass


def items(spec, **kwargs):
    return list(spec.to_json(**kwargs).items())


FORMS = [
    (lambda: Int(), [("_type", "norv.typing.Int")]),
    (lambda: Int(min_value=0), [("_type", "norv.typing.Int"), ("min_value", 0)]),
    (
        lambda: Int(default=1, is_noneable=True, strict=False, frozen=True),
        [("_type", "norv.typing.Int"), ("default", 1), ("is_noneable", True), ("strict", False), ("frozen", True)],
    ),
    (lambda: Int(is_noneable=False, frozen=False), [("_type", "norv.typing.Int")]),
    (lambda: Int(strict=True), [("_type", "norv.typing.Int"), ("strict", True)]),
    (
        lambda: Float(min_value=0.5, max_value=2.0),
        [("_type", "norv.typing.Float"), ("min_value", 0.5), ("max_value", 2.0)],
    ),
    (lambda: Int(ge=1, lt=5), [("_type", "norv.typing.Int"), ("min_value", 1), ("max_value", 4)]),
    (lambda: Bool(default=True), [("_type", "norv.typing.Bool"), ("default", True)]),
    (
        lambda: Str(regex="a+", default="aa", strict=True),
        [("_type", "norv.typing.Str"), ("default", "aa"), ("regex", "a+"), ("strict", True)],
    ),
    (
        lambda: Enum(["a", None], default="a", strict=True),
        [("_type", "norv.typing.Enum"), ("default", "a"), ("values", ["a", None]), ("strict", True)],
    ),
    (lambda: Enum(["a"], default="a").freeze("a"), [("_type", "norv.typing.Enum"), ("default", "a"), ("values", ["a"]), ("frozen", True)]),
    (lambda: Any(), [("_type", "norv.typing.Any")]),
    (lambda: Any(annotation=int, strict=False), [("_type", "norv.typing.Any"), ("annotation", int), ("strict", False)]),
    (
        lambda: Union([Int(), Str()], default=1),
        [
            ("_type", "norv.typing.Union"),
            ("default", 1),
            ("candidates", [{"_type": "norv.typing.Int"}, {"_type": "norv.typing.Str"}]),
        ],
    ),
    (lambda: Object(A).noneable(), [("_type", "norv.typing.Object"), ("default", None), ("t", A), ("is_noneable", True)]),
    (lambda: Type(A), [("_type", "norv.typing.Type"), ("t", A)]),
    (lambda: Callable(), [("_type", "norv.typing.Callable")]),
    (
        lambda: Callable([Int()], kw=[("k", Str())], returns=Bool()),
        [
            ("_type", "norv.typing.Callable"),
            ("args", [{"_type": "norv.typing.Int"}]),
            ("kw", [["__tuple__", "k", {"_type": "norv.typing.Str"}]]),
            ("returns", {"_type": "norv.typing.Bool"}),
        ],
    ),
    (lambda: Functor([Int()]), [("_type", "norv.typing.Functor"), ("args", [{"_type": "norv.typing.Int"}])]),
]


@pytest.mark.parametrize("make, expected", FORMS)
def test_wire_form_and_key_order(make, expected):
    assert items(make()) == expected


def test_transform_follows_the_kind_keys():
    def t(x):
        return x

    assert items(Object(A).set_transform(t)) == [("_type", "norv.typing.Object"), ("t", A), ("transform", t)]
    assert items(Any(annotation=int).set_transform(t).freeze(1)) == [
        ("_type", "norv.typing.Any"),
        ("default", 1),
        ("annotation", int),
        ("transform", t),
        ("frozen", True),
    ]


def test_callable_type_is_written_for_a_callable_only():
    class Subclass(Callable):
        __serialization_key__ = "elsewhere.Callable"

    assert items(Subclass()) == [("_type", "norv.typing.Callable")]
    spec = Callable[[int], str]
    assert "callable_type" not in Functor().to_json()
    assert Callable.from_json(spec.to_json()) == spec


def test_keyword_arguments_reach_every_nested_conversion():
    seen = []

    class Default:
        def to_json(self, **kwargs):
            seen.append(kwargs)
            return "D"

    assert items(Any(default=Default()), flavour=1) == [("_type", "norv.typing.Any"), ("default", "D")]
    Union([Int(), Str()]).to_json(flavour=2)
    assert seen == [{"flavour": 1}]


def test_a_conversion_that_changes_the_spec_meets_the_borrow_fault():
    spec = Any()

    class Default:
        def to_json(self, **kwargs):
            spec.set_transform(None)

    spec.set_default(Default(), use_default_apply=False)
    with pytest.raises(PanicException, match="^Already borrowed"):
        spec.to_json()


def test_errors_of_a_nested_conversion_propagate():
    class Default:
        def to_json(self, **kwargs):
            raise KeyError("nested")

    with pytest.raises(KeyError, match="nested"):
        Any(default=Default()).to_json()


ROUND_TRIP = [
    lambda: Bool(default=False, strict=True),
    lambda: Bool().noneable(),
    lambda: Str(regex="a+", default="aa"),
    lambda: Int(min_value=0, max_value=9, default=3, frozen=True),
    lambda: Int(is_noneable=True, strict=False),
    lambda: Float(min_value=-1.5),
    lambda: Enum(["x", "y", None], default="y"),
    lambda: Any(annotation=int, default=[1, 2]),
    lambda: Union([Int(min_value=1), Str(), Object(A)], default="s", is_noneable=True),
    lambda: Object(A, is_noneable=True),
    lambda: Type(A, strict=True),
    lambda: Callable([Int(), Str()], kw=[("a", Bool())], returns=Int()),
    lambda: Callable[[int], str],
    lambda: Functor([Int()], returns=Str()),
    lambda: Any(annotation=int).set_transform(str),
    lambda: Object(A).set_transform(str),
    lambda: Callable([Int()]).set_transform(str),
    lambda: Enum(["a", "b"], default="a").freeze("a"),
    lambda: n.List(Int(min_value=0), max_size=3, default=[1]),
    lambda: n.Tuple([Int(), Str()], is_noneable=True),
    lambda: n.Tuple(Int(), min_size=1, max_size=4),
]


@pytest.mark.parametrize("make", ROUND_TRIP)
def test_round_trip(make):
    spec = make()
    back = type(spec).from_json(spec.to_json())
    assert type(back) is type(spec)
    assert back == spec
    assert repr(back) == repr(spec)


FROM_JSON_ERRORS = [
    (lambda: Enum.from_json({"default": 1}), ValueError, "Enum json missing 'values'."),
    (lambda: Union.from_json({}), ValueError, "Union json missing 'candidates'."),
    (lambda: Object.from_json({}), ValueError, "Object json missing 't'."),
    (lambda: Type.from_json({}), ValueError, "Type json missing 't'."),
    (lambda: n.List.from_json({}), ValueError, "List json missing 'element_value'."),
    (lambda: n.List.from_json({"min_size": "x"}), ValueError, "List json missing 'element_value'."),
    (lambda: n.List.from_json({"element_value": Int(), "min_size": "x"}), TypeError, None),
    (lambda: n.List.from_json({"strict": None}), TypeError, None),
    (lambda: n.Tuple.from_json({}), ValueError, "Tuple json missing 'element_values'."),
    (lambda: n.Tuple.from_json({"element_value": Int()}), ValueError, "Tuple json missing 'element_values'."),
    (lambda: Int.from_json([]), TypeError, "'list' object is not an instance of 'dict'"),
]


@pytest.mark.parametrize("call, exc, message", FROM_JSON_ERRORS)
def test_from_json_errors(call, exc, message):
    with pytest.raises(exc, match=None if message is None else f"^{re.escape(message)}$"):
        call()


@pytest.mark.parametrize("json", [{"strict": None}, {"frozen": 1}, {"is_noneable": "yes"}])
def test_from_json_flags_must_be_bools(json):
    with pytest.raises(TypeError):
        Int.from_json(json)


def test_from_json_ignores_the_type_entry():
    spec = Int.from_json({"_type": "norv.typing.Str", "min_value": 1})
    assert type(spec) is Int and spec.min_value == 1


def test_to_json_schema_goes_through_the_installed_function():
    spec = Int()
    assert spec.to_json_schema() == {"spec": repr(spec)}
    assert spec.to_json_schema(a=1) == {"spec": repr(spec), "a": 1}


def test_an_object_by_name_writes_the_class_its_reference_answers_now(registry):
    spec = Object("Later")
    assert spec.to_json() == {"_type": "norv.typing.Object", "t": None}

    class Later:
        pass

    ht.register(Later)
    assert spec.to_json() == {"_type": "norv.typing.Object", "t": Later}
    assert Object.from_json(spec.to_json()) == Object(Later)
