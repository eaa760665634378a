"""Equality and compatibility of value specs: the flag and payload rules of
each kind, the refusal of ordering and hashing, and the asymmetric
compatibility rules (bounds, subsets, sizes, prefixes, unions)."""

import re

import pytest

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

Bool, Str, Int, Float, Any, Enum = n.Bool, n.Str, n.Int, n.Float, n.Any, n.Enum
Union, Object, Type, Callable, Functor = n.Union, n.Object, n.Type, n.Callable, n.Functor


class A:
    pass


class B(A):
    pass


def f(x):
    return x


def g(x):
    return x


# ---- equality ------------------------------------------------------------------------

EQUAL = [
    (lambda: Bool(), lambda: Bool()),
    (lambda: Int(default=1), lambda: Int(default=1)),
    (lambda: Int(strict=False), lambda: Int()),
    (lambda: Int(min_value=0, max_value=5), lambda: Int(min_value=0, max_value=5)),
    (lambda: Float(min_value=0.5), lambda: Float(min_value=0.5)),
    (lambda: Str(regex="a+"), lambda: Str(regex="a+")),
    (lambda: Str().set_transform(f), lambda: Str().set_transform(f)),
    (lambda: Int(default_factory=f), lambda: Int(default_factory=f)),
    (lambda: Enum(["a", "b"], default="a"), lambda: Enum(["a", "b"], default="a")),
    (lambda: Any(annotation=int), lambda: Any(annotation=int)),
    (lambda: Union([Int(), Str()]), lambda: Union([Str(), Int()])),
    (lambda: Object(A), lambda: Object(A)),
    (lambda: Object("Later"), lambda: Object("Later")),
    (lambda: Type("Later"), lambda: Type("Later")),
    (lambda: Type(A), lambda: Type(A)),
    (lambda: Callable([Int()], returns=Str()), lambda: Callable([Int()], returns=Str())),
    (lambda: Int(frozen=True, default=3), lambda: Int(frozen=True, default=3)),
    (lambda: n.List(Int(), max_size=3), lambda: n.List(Int(), max_size=3)),
    (lambda: n.Tuple([Int(), Str()]), lambda: n.Tuple([Int(), Str()])),
    (lambda: n.Tuple(Int()), lambda: n.Tuple(Int())),
    (lambda: n.Tuple(Int(), min_size=1, max_size=4), lambda: n.Tuple(Int(), min_size=1, max_size=4)),
]

UNEQUAL = [
    (lambda: n.List(Int()), lambda: n.List(Str())),
    (lambda: n.List(Int(), max_size=3), lambda: n.List(Int())),
    (lambda: n.Tuple([Int(), Str()]), lambda: n.Tuple([Str(), Int()])),
    (lambda: n.Tuple(Int(), max_size=4), lambda: n.Tuple(Int())),
    (lambda: n.Tuple(Int(), min_size=1), lambda: n.Tuple(Int())),
    (lambda: Int(strict=True), lambda: Int()),
    (lambda: Int(min_value=0), lambda: Int()),
    (lambda: Int(max_value=0), lambda: Int(max_value=1)),
    (lambda: Int(min_value=0).noneable(), lambda: Int(min_value=0)),
    (lambda: Int(default=1), lambda: Int(default=2)),
    (lambda: Int(default_factory=f), lambda: Int(default_factory=g)),
    (lambda: Int().set_transform(f), lambda: Int()),
    (lambda: Str(regex="a+"), lambda: Str()),
    (lambda: Str(regex="a+"), lambda: Str(regex="b+")),
    (lambda: Enum(["a", "b"]), lambda: Enum(["b", "a"])),
    (lambda: Any(annotation=int), lambda: Any()),
    (lambda: Union([Int(), Str()]), lambda: Union([Int(), Str(), Bool()])),
    (lambda: Union([Int(), Str()]), lambda: Union([Int(min_value=1), Str()])),
    (lambda: Object(A), lambda: Object(B)),
    (lambda: Object("Later"), lambda: Object("Sooner")),
    (lambda: Object("Later"), lambda: Object(A)),
    (lambda: Type(A), lambda: Type(B)),
    (lambda: Callable([Int()]), lambda: Callable([Str()])),
    (lambda: Callable(kw=[("a", Int())]), lambda: Callable()),
    (lambda: Callable(returns=Int()), lambda: Callable()),
    (lambda: Callable(), lambda: Functor()),
    (lambda: Int(), lambda: Float()),
    (lambda: Int(), lambda: 5),
    (lambda: Int(), lambda: None),
]


@pytest.mark.parametrize("make_a, make_b", EQUAL)
def test_equal_specs(make_a, make_b):
    a, b = make_a(), make_b()
    assert a == b and b == a
    assert not (a != b)


@pytest.mark.parametrize("make_a, make_b", UNEQUAL)
def test_unequal_specs(make_a, make_b):
    a, b = make_a(), make_b()
    assert a != b and b != a
    assert not (a == b)


def test_a_spec_equals_itself_without_reading_anything():
    spec = Int()
    assert spec == spec


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_ordering_is_refused(op):
    assert getattr(Int(), op)(Int()) is NotImplemented
    with pytest.raises(TypeError):
        Int() < Int()  # noqa: B015


@pytest.mark.parametrize("spec", [Int(), Str(), Enum([1]), Union([Int(), Str()]), Callable(), Object(A)])
def test_specs_are_unhashable(spec):
    with pytest.raises(TypeError, match="unhashable"):
        hash(spec)


def test_callable_equals_a_functor_only_when_asked_directly():
    assert Callable() != Functor() and Functor() != Callable()
    assert Callable().__eq__(Functor()) is True


def test_regexes_compare_by_text_and_flags():
    assert Str(regex=re.compile("a", re.I)) != Str(regex=re.compile("a"))


def test_errors_of_a_comparison_propagate():
    class Bad:
        def __eq__(self, other):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        Any(default=Bad()) == Any(default=Bad())  # noqa: B015


class LooseNoneable(Callable):
    @property
    def is_noneable(self):
        return 1


def test_a_flag_of_the_other_side_must_be_a_bool():
    with pytest.raises(TypeError):
        Callable().__eq__(LooseNoneable())
    with pytest.raises(TypeError):
        Callable().is_compatible(LooseNoneable())


def test_deep_nesting_raises_recursion_error():
    spec = Int()
    other = Int()
    for _ in range(5000):
        spec = Callable([spec])
        other = Callable([other])
    with pytest.raises(RecursionError):
        spec == other  # noqa: B015
    with pytest.raises(RecursionError):
        spec.is_compatible(other)


# ---- compatibility -------------------------------------------------------------------

COMPATIBLE = [
    (lambda: Any(), lambda: 3, True),
    (lambda: Any(), lambda: Int(), True),
    (lambda: Int(), lambda: 3, False),
    (lambda: Int(), lambda: Int(), True),
    (lambda: Int(), lambda: Str(), False),
    (lambda: Int(), lambda: Int().noneable(), False),
    (lambda: Int().noneable(), lambda: Int(), True),
    (lambda: Int(min_value=0), lambda: Int(), False),
    (lambda: Int(min_value=0, max_value=10), lambda: Int(min_value=1, max_value=9), True),
    (lambda: Int(min_value=1, max_value=9), lambda: Int(min_value=0, max_value=10), False),
    (lambda: Int(max_value=10), lambda: Int(max_value=11), False),
    (lambda: Float(min_value=0.0), lambda: Float(min_value=0.0), True),
    (lambda: Str(regex="a"), lambda: Str(regex="b"), True),
    (lambda: Bool(), lambda: Bool(), True),
    (lambda: Enum(["a", "b", "c"]), lambda: Enum(["a", "b"]), True),
    (lambda: Enum(["a", "b"]), lambda: Enum(["a", "b", "c"]), False),
    (lambda: Enum(["a", "b"]), lambda: Str(default="a").freeze("a"), True),
    (lambda: Enum(["a", "b"]), lambda: Str(default="c").freeze("c"), False),
    (lambda: Enum(["a", "b"]), lambda: Str(default="a"), False),
    (lambda: Union([Int(), Str()]), lambda: Int(), True),
    (lambda: Union([Int(), Str()]), lambda: Float(), False),
    (lambda: Union([Int(), Str()]), lambda: 3, False),
    (lambda: Union([Int(), Str(), Bool()]), lambda: Union([Int(), Str()]), True),
    (lambda: Union([Int(), Str()]), lambda: Union([Int(), Str(), Bool()]), False),
    (lambda: Object(A), lambda: Object(B), True),
    (lambda: Object(B), lambda: Object(A), False),
    (lambda: Object("Unknown"), lambda: Object(A), True),
    (lambda: Object(A), lambda: Object("Unknown"), True),
    (lambda: Type(A), lambda: Type(B), True),
    (lambda: Type(B), lambda: Type(A), False),
    (lambda: Callable([Int()]), lambda: Callable([Int(), Str()]), True),
    (lambda: Callable([Int(), Str()]), lambda: Callable([Int()]), False),
    (lambda: Callable([Int(min_value=0)]), lambda: Callable([Int()]), False),
    (lambda: Callable(kw=[("a", Int())]), lambda: Callable(kw=[("b", Int()), ("a", Int())]), True),
    (lambda: Callable(kw=[("a", Int())]), lambda: Callable(kw=[("b", Int())]), False),
    (lambda: Callable(returns=Int()), lambda: Callable(), True),
    (lambda: Callable(returns=Int()), lambda: Callable(returns=Str()), False),
    (lambda: n.List(Int()), lambda: n.List(Int(min_value=0)), True),
    (lambda: n.List(Int(min_value=0)), lambda: n.List(Int()), False),
    (lambda: n.Tuple([Int(), Str()]), lambda: n.Tuple([Int(), Str()]), True),
    (lambda: n.Tuple([Int(), Str()]), lambda: n.Tuple([Int()]), False),
    (lambda: n.Tuple(Int()), lambda: n.Tuple([Int(), Int()]), True),
    (lambda: n.Tuple(Int(), max_size=1), lambda: n.Tuple([Int(), Int()]), False),
    (lambda: n.Tuple(Int(), min_size=1), lambda: n.Tuple(Int()), False),
]


@pytest.mark.parametrize("make_a, make_b, expected", COMPATIBLE)
def test_is_compatible(make_a, make_b, expected):
    assert make_a().is_compatible(make_b()) is expected


@pytest.mark.parametrize("spec", [Int(), Str(), Bool(), Callable(), Object(A), Type(A)])
def test_a_non_spec_is_never_compatible(spec):
    assert spec.is_compatible("x") is False


def test_enum_is_compatible_with_a_non_spec_raises_attribute_error():
    with pytest.raises(AttributeError):
        Enum(["a"]).is_compatible(3)


def test_is_compatible_keyword_and_binding():
    assert Int().is_compatible(other=Int()) is True
    with pytest.raises(TypeError):
        Int().is_compatible()


class WithCall:
    def __call__(self, x):
        return x


class BuiltinCall:
    pass


@pytest.mark.parametrize(
    "cls, expected", [(WithCall, True), (BuiltinCall, False), (type, False)], ids=["function", "inherited", "type"]
)
def test_callable_accepts_an_object_spec_whose_call_it_accepts(cls, expected):
    assert Callable().is_compatible(Object(cls)) is expected


def test_callable_rejects_an_object_whose_call_it_refuses():
    assert Callable([Int(), Int(), Int()]).is_compatible(Object(WithCall)) is False


def test_a_refusal_of_the_call_is_a_no_unless_grave(raised):
    class Refusing(Callable):
        def apply(self, *args, **kwargs):
            raise raised.cls("refused")

    raised.check(lambda: Refusing().is_compatible(Object(WithCall)), False)


class Answers(ht.ValueSpecBase):
    """A host spec whose compatibility answer is given."""

    def __init__(self, answer):
        self.answer = answer

    def is_compatible(self, other):
        return self.answer


def test_a_child_answer_must_be_a_bool():
    assert Callable([Answers(True)]).is_compatible(Callable([Int()])) is True
    assert Callable([Answers(False)]).is_compatible(Callable([Int()])) is False
    with pytest.raises(TypeError):
        Callable([Answers(1)]).is_compatible(Callable([Int()]))
