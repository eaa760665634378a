"""Enum: the candidate list, the value type and noneability derived from it,
type arguments, JSON and application."""

import copy
import enum
import inspect
import typing

import pytest

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

Enum = n.Enum
MISSING = ht.MISSING_VALUE


class Color(str, enum.Enum):
    RED = "r"
    BLUE = "b"


class Level(enum.Enum):
    LOW = 1
    HIGH = 2


@pytest.mark.parametrize(
    "values, value_type, noneable",
    [
        (["a", "b"], str, False),
        ([None, "a", "b"], str, True),
        ([None], None, True),
        (["a", 1], None, False),
        ([1, True], int, False),
        ([True, 1], int, False),
        ([1, 1.5], None, False),
        ([Color.RED, Color.BLUE], str, False),
        ([Level.LOW, Level.HIGH], Level, False),
        ([1, None, 1], int, True),
    ],
)
def test_value_type_and_noneability_follow_the_values(values, value_type, noneable):
    spec = Enum(values)
    assert spec.value_type is value_type and spec._value_type is value_type
    assert spec.is_noneable is noneable
    assert spec.values is values and spec._values is values
    assert spec.default is MISSING


class MyList(list):
    pass


def test_list_subclass_is_held_as_given():
    values = MyList(["x", "y"])
    assert Enum(values).values is values


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: Enum(("a", "b")), ValueError, "Values for Enum should be a non-empty list. Found ('a', 'b')."),
        (lambda: Enum([]), ValueError, "Values for Enum should be a non-empty list. Found []."),
        (lambda: Enum("ab"), ValueError, "Values for Enum should be a non-empty list. Found 'ab'."),
        (lambda: Enum(["a", "b"], default="c"), ValueError,
         "Enum default value 'c' is not in candidate list ['a', 'b']."),
        (lambda: Enum(["a", "b"], default="a", default_factory=list), ValueError,
         "Cannot specify both `default` and `default_factory`."),
        (lambda: Enum(["a", "b"], default_factory=3), TypeError,
         "`default_factory` must be a zero-arg callable. Encountered: 3."),
        (lambda: Enum(["a", "b"], frozen=1), TypeError, "argument 'frozen': 'int' object is not an instance of 'bool'"),
        (lambda: Enum(["a", "b"], strict="x"), TypeError,
         "argument 'strict': 'str' object is not an instance of 'bool'"),
        (lambda: Enum(["a"], is_noneable=True), TypeError,
         "Enum.__new__() got an unexpected keyword argument 'is_noneable'"),
        (lambda: Enum(), TypeError, "Enum.__new__() missing 1 required positional argument: 'values'"),
        # the default must also pass the spec's own application
        (lambda: Enum([1, 2], default=True, strict=True), TypeError,
         "Expect <class 'int'> but encountered <class 'bool'>: True. (path=)"),
        (lambda: Enum["a"], TypeError,
         "`nv.typing.Enum` requires at least 2 arguments as the candidate values for the enum Encountered: 'a'"),
        (lambda: Enum[("a",)], TypeError,
         "`nv.typing.Enum` requires at least 2 arguments as the candidate values for the enum Encountered: ('a',)"),
    ],
)
def test_constructor_errors(make, exc, message):
    with pytest.raises(exc) as info:
        make()
    assert str(info.value) == message


def test_default_membership_uses_equality():
    assert Enum([1, 2], default=True).default is True
    assert Enum(["a", "b"], default="b").default == "b"


def test_type_arguments():
    spec = Enum["a", "b"]
    assert type(spec) is Enum and spec.values == ["a", "b"] and spec.value_type is str
    assert spec.default is MISSING and not spec.frozen and spec._strict is None
    none_first = Enum[None, 1]
    assert none_first.is_noneable and none_first.value_type is int
    assert Enum.with_type_args(("x", "y")).values == ["x", "y"]


def test_type_arguments_ignore_type_checking(monkeypatch):
    monkeypatch.setattr(typing, "TYPE_CHECKING", True)
    assert type(Enum["a", "b"]) is Enum


def test_signature_and_frame():
    assert str(inspect.signature(Enum)) == "(values, default=Ellipsis, default_factory=None, frozen=False, strict=None)"
    assert Enum.__serialization_key__ == "norv.typing.Enum"
    assert Enum.__module__ == "norv_core._native" and issubclass(Enum, n.SpecBase)
    with pytest.raises(TypeError):

        class Sub(Enum):
            pass


def test_copies():
    values = ["a", "b"]
    spec = Enum(values, default="a")
    shallow = copy.copy(spec)
    assert type(shallow) is Enum and shallow.values is values
    deep = copy.deepcopy(spec)
    assert deep.values == values and deep.values is not values
    values.append("c")
    assert deep.values == ["a", "b"] and spec.values == ["a", "b", "c"]
    assert spec.skip_user_transform is spec


def test_from_json():
    spec = Enum.from_json({"_type": "ignored", "values": ["a", "b"], "default": "b", "frozen": True})
    assert type(spec) is Enum and spec.values == ["a", "b"] and spec.default == "b" and spec.frozen
    with pytest.raises(ValueError, match="^Enum json missing 'values'.$"):
        Enum.from_json({"default": "a"})
    with pytest.raises(ValueError, match=r"^Values for Enum should be a non-empty list. Found \(1, 2\).$"):
        Enum.from_json({"values": (1, 2)})


@pytest.mark.parametrize(
    "spec, value, expected",
    [
        (Enum(["a", "b"]), "a", "a"),
        (Enum([1, 2]), True, True),
        (Enum([None, "a"]), None, None),
        (Enum(["a", 1]), 1, 1),
        (Enum([Level.LOW, Level.HIGH]), Level.HIGH, Level.HIGH),
    ],
)
def test_apply_accepts_members(spec, value, expected):
    assert spec.apply(value) is expected


@pytest.mark.parametrize(
    "spec, value, exc, message",
    [
        (Enum(["a", "b"]), "c", ValueError, "Value 'c' is not in candidate list ['a', 'b']. (path=x)"),
        (Enum([1, 2]), 3, ValueError, "Value 3 is not in candidate list [1, 2]. (path=x)"),
        (Enum(["a", 1]), 2.5, ValueError, "Value 2.5 is not in candidate list ['a', 1]. (path=x)"),
        (Enum(["a", "b"]), 1, TypeError, "Expect <class 'str'> but encountered <class 'int'>: 1. (path=x)"),
        (Enum(["a", "b"]), None, ValueError,
         "Value cannot be None. (Path='x', ValueSpec=Enum(values=['a', 'b']))"),
    ],
)
def test_apply_errors(spec, value, exc, message):
    with pytest.raises(exc) as info:
        spec.apply(value, root_path=n.KeyPath("x"))
    assert str(info.value) == message


def test_later_changes_to_the_list_change_the_candidates():
    values = ["a", "b"]
    spec = Enum(values)
    values.append("c")
    assert spec.apply("c") == "c"


def test_noneable_edits_the_callers_list():
    values = ["a", "b"]
    spec = Enum(values, default="a")
    assert spec.noneable() is spec and values == ["a", "b", None] and spec.is_noneable
    assert spec.apply(None) is None
    spec.noneable(False)
    assert values == ["a", "b"] and not spec.is_noneable


def test_text_and_annotation():
    assert repr(Enum(values=["a", "b"], default="a")) == "Enum(default='a', values=['a', 'b'])"
    assert repr(Enum([None, "a"])) == "Enum(values=[None, 'a'])"
    assert Enum(["a", "b"]).annotation is str
    assert Enum(["a", 1]).annotation is typing.Any
    assert Enum([None, "a"]).annotation == typing.Optional[str]
    assert Enum(["a"]).forward_refs is Enum(["b"]).forward_refs
    assert Enum(["a"]).type_resolved is True


def test_text_cache_follows_noneable():
    spec = Enum([None, "a", "b"])
    assert repr(spec) == "Enum(values=[None, 'a', 'b'])"
    with pytest.raises(ValueError, match=r"^Cannot freeze Enum\(values=\[None, 'a', 'b'\]\) without"):
        spec.freeze()
    spec.noneable(False)
    with pytest.raises(ValueError, match=r"ValueSpec=Enum\(values=\['a', 'b'\]\)\)$"):
        spec.apply(None)


def test_calling_the_spec_applies_its_argument():
    assert Enum(["a", "b"])("a") == "a"
    assert Enum(["a", "b"], default="b")() == "b"
