"""Extension of value specs: the order of the checks and their messages, what
the child inherits from its base, the per-kind merging rules, and that a
refused extension leaves the child as it was."""

import re

import pytest

from norv_core import _native as n
from norv_host import typing as ht

ht.install()

Bool, Str, Int, Float, Any, Enum = n.Bool, n.Str, n.Int, n.Float, n.Any, n.Enum
Union, Object, Type, Callable, Functor = n.Union, n.Object, n.Type, n.Callable, n.Functor


class A:
    pass


class B(A):
    pass


class WithCall:
    def __call__(self, x):
        return x


def f(x):
    return x


def g(x):
    return x


# child, base, the child's repr afterwards
EXTENDED = [
    (lambda: Int(), lambda: Int(min_value=1, max_value=9), "Int(min=1, max=9)"),
    (lambda: Int(min_value=3), lambda: Int(min_value=1, max_value=9), "Int(min=3, max=9)"),
    (lambda: Int(max_value=3), lambda: Int(min_value=1), "Int(min=1, max=3)"),
    (lambda: Float(), lambda: Float(min_value=0.5), "Float(min=0.5)"),
    (lambda: Int(), lambda: Int().noneable(), "Int()"),
    (lambda: Int(default=1, frozen=True), lambda: Int(default=1, frozen=True), "Int(default=1, frozen=True)"),
    (lambda: Str(), lambda: Str(regex="a+"), "Str(regex='a+')"),
    (lambda: Str(regex="b"), lambda: Str(regex="a+"), "Str(regex='b')"),
    (lambda: Bool(), lambda: Bool(), "Bool()"),
    (lambda: Int(), lambda: Union([Int(min_value=1), Str()]), "Int(min=1)"),
    (lambda: Enum(["a", "b"]), lambda: Str(), "Enum(values=['a', 'b'])"),
    (lambda: Enum(["a", "b"]), lambda: Enum(["a", "b", "c"]), "Enum(values=['a', 'b'])"),
    (
        lambda: Union([Int(), Str()]),
        lambda: Union([Int(min_value=0), Str(regex="x"), Bool()]),
        "Union([Int(min=0), Str(regex='x')])",
    ),
    (lambda: Union([Int(), Str()]), lambda: Any(), "Union([Int(), Str()])"),
    (lambda: Object(B), lambda: Object(A), "Object(B)"),
    (lambda: Type(B), lambda: Type(A), "Type(<class 'test_spec_extend.B'>)"),
    (lambda: Object(WithCall), lambda: Callable([Int()]), "Object(WithCall)"),
]


@pytest.mark.parametrize("make_child, make_base, expected", EXTENDED)
def test_extend(make_child, make_base, expected):
    child, base = make_child(), make_base()
    base_before = repr(base)
    assert child.extend(base) is child
    assert repr(child) == expected
    assert repr(base) == base_before


def r(spec):
    return repr(spec)


# child, base, message given the reprs of the two
REFUSED = [
    (lambda: Int(min_value=0), lambda: Int(min_value=5), "{} cannot extend {}: min_value is smaller."),
    (lambda: Int(max_value=9), lambda: Int(max_value=5), "{} cannot extend {}: max_value is larger."),
    (
        lambda: Int(min_value=10),
        lambda: Int(max_value=5),
        "{} cannot extend {}: min_value (10) is greater than max_value (5) after extension.",
    ),
    (lambda: Int(), lambda: Int(default=1).freeze(1), "{} cannot extend a frozen value spec: {}"),
    (lambda: Int(default=2, frozen=True), lambda: Int(default=1, frozen=True), "{} cannot extend a frozen value spec: {}"),
    (lambda: Str(), lambda: Int(default=1).freeze(1), "{} cannot extend a frozen value spec: {}"),
    (lambda: Int(), lambda: Str(), "{} cannot extend {}: incompatible type."),
    (lambda: Int(), lambda: Float(), "{} cannot extend {}: incompatible type."),
    (lambda: Int().noneable(), lambda: Int(), "{} cannot extend {}: None is not allowed in base spec."),
    (lambda: Float(), lambda: Union([Int(), Str()]), "{} cannot extend {}: no compatible type found in Union."),
    (lambda: Enum([1, "b"]), lambda: Str(), "{} cannot extend {}: 1 is not an acceptable value."),
    (lambda: Enum(["a", "z"]), lambda: Enum(["a", "b"]), "{} cannot extend {}: 'z' is not an acceptable value."),
    (
        lambda: Union([Int(), Float()]),
        lambda: Union([Int(min_value=0), Str()]),
        "{} cannot extend {}: incompatible value spec Float().",
    ),
    (lambda: Object(A), lambda: Object(B), "{} cannot extend {}: incompatible class."),
    (lambda: Type(A), lambda: Type(B), "{} cannot extend {}: incompatible type."),
    (lambda: Object(A), lambda: Callable([Int()]), "{} cannot extend {}: incompatible type."),
]


@pytest.mark.parametrize("make_child, make_base, message", REFUSED)
def test_refused_extension(make_child, make_base, message):
    child, base = make_child(), make_base()
    before = repr(child)
    with pytest.raises(TypeError, match=f"^{re.escape(message.format(r(child), r(base)))}$"):
        child.extend(base)
    assert repr(child) == before


def test_a_frozen_child_of_an_enum_becomes_a_frozen_enum():
    child, base = Str(default="a").freeze("a"), Enum(["a", "b"])
    made = child.extend(base)
    assert made is not child and type(made) is Enum
    assert made.frozen and made.default == "a" and made.values == ["a", "b"]
    assert repr(child) == "Str(default='a', frozen=True)"


def test_a_frozen_child_with_another_value_is_refused_with_a_trailing_space():
    child, base = Str(default="c").freeze("c"), Enum(["a", "b"])
    with pytest.raises(TypeError) as info:
        child.extend(base)
    assert str(info.value) == f"{child!r} cannot extend {base!r} with incompatible frozen value: 'c' "


def test_transform_is_inherited_only_when_unset():
    assert Int().extend(Any().set_transform(f)).transform is f
    assert Int().set_transform(g).extend(Int().set_transform(f)).transform is g
    child = Int().extend(Any().set_transform(f))
    assert child == Int().set_transform(f)


@pytest.mark.parametrize(
    "child_strict, base_strict, expected",
    [(None, True, True), (None, False, False), (False, True, False), (True, False, True), (None, None, None)],
)
def test_strict_is_inherited_only_when_unset(child_strict, base_strict, expected):
    child = Int(strict=child_strict).extend(Int(strict=base_strict))
    assert child._strict is expected


def test_a_refused_extension_inherits_nothing():
    child = Int(min_value=0)
    base = Int(min_value=5, strict=True)
    base.set_transform(f)
    with pytest.raises(TypeError):
        child.extend(base)
    assert child.transform is None and child._strict is None and child.min_value == 0


def test_a_union_touches_no_candidate_when_one_has_no_base():
    first = Int()
    child = Union([first, Float()])
    with pytest.raises(TypeError, match="incompatible value spec Float()"):
        child.extend(Union([Int(min_value=3), Str()]))
    assert first.min_value is None


def test_union_candidates_extend_in_place():
    first = Int()
    child = Union([first, Str()])
    child.extend(Union([Int(min_value=3), Str()]))
    assert first.min_value == 3


def test_object_candidates_need_a_subclass():
    child = Union([Object(A), Int()])
    with pytest.raises(TypeError, match=f"incompatible value spec {re.escape(str(Object(A)))}"):
        child.extend(Union([Object(B), Int()]))
    Union([Object(B), Int()]).extend(Union([Object(A), Int()]))


def test_callable_inherits_an_empty_signature():
    base = Callable([Int(), Str()], kw=[("k", Bool())], returns=Int())
    child = Callable().extend(base)
    assert child.args == base.args and child.args is not base.args
    assert child.kw == base.kw and child.return_value is base.return_value
    own = Callable([Str()]).extend(base)
    assert own.args == [Str()] and own.kw == base.kw


def test_functor_extends_a_functor():
    assert Functor().extend(Functor([Int()])).args == [Int()]


def test_object_extending_a_callable_that_accepts_it_is_returned_before_other_checks():
    child = Object(WithCall).noneable()
    base = Callable([Int()])
    assert child.extend(base) is child
    with pytest.raises(TypeError, match="None is not allowed in base spec"):
        Object(WithCall).noneable().extend(Object(WithCall))


def test_any_base_returns_the_child_after_inheritance():
    child = Str(regex="a")
    base = Any(strict=True)
    assert child.extend(base) is child
    assert child._strict is True and repr(child) == "Str(regex='a', strict=True)"


def test_properties_must_be_bools():
    class Loose(Callable):
        @property
        def frozen(self):
            return 0

    with pytest.raises(TypeError):
        Loose().extend(Callable())
    with pytest.raises(TypeError):
        Callable().extend(Loose())


def test_extending_a_spec_while_it_is_being_read_is_an_internal_fault():
    from norv_core import PanicException

    spec = Any()

    class Default:
        def to_json(self, **kwargs):
            spec.extend(Any(strict=True))

    spec.set_default(Default(), use_default_apply=False)
    with pytest.raises(PanicException, match="^Already borrowed"):
        spec.to_json()
    assert spec._strict is None


def test_extend_binding():
    assert Int().extend(base=Int()) == Int()
    with pytest.raises(TypeError):
        Int().extend()


@pytest.mark.parametrize(
    "child, expected",
    [(lambda: Str(), "Str()"), (lambda: Int(), "Int(max=5)"), (lambda: Int(min_value=1), "Int(min=1, max=5)")],
)
def test_the_kind_merger_takes_a_raising_bound_read_for_absent_unless_grave(raised, child, expected):
    # No real spec's bound read can raise: the probe hands the merger any base.
    class Base:
        regex = min_value = raised.attribute()
        max_value = 5

    spec = child()
    raised.check(lambda: repr(n._testing.extend_kind(spec, Base())), expected)


def test_the_enum_rule_lets_other_errors_through():
    class Boom(Exception):
        pass

    class Loud(Callable):
        def apply(self, *args, **kwargs):
            raise Boom

    with pytest.raises(Boom):
        Enum(["a"]).extend(Loud())
