"""Extension of value specs: the order of the checks and their messages, what
the child inherits from its base, the per-kind merging rules, and that a
refused extension leaves the child as it was."""

import re

import pytest

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

Bool, Str, Int, Float, Any, Enum = n.Bool, n.Str, n.Int, n.Float, n.Any, n.Enum
Union, Object, Type, Callable, Functor = n.Union, n.Object, n.Type, n.Callable, n.Functor
Tuple = n.Tuple


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


def schema(**specs):
    return n.Schema([n.Field(k, v) for k, v in specs.items()])


def keys(s):
    return [str(k) for k in s.keys()]


def union_with_a_refusing_candidate():
    child = Union([Int(), Float(min_value=0)])
    base = Union([Int(min_value=3), Float(min_value=5)], strict=True)
    return child, base, lambda: (child.candidates[0].min_value, child._strict)


def fixed_tuple():
    child = Tuple([Int(), Str()])
    return child, Tuple([Int(min_value=1), Int()]), lambda: child.elements[0].value.min_value


def fixed_tuple_of_a_variable_one():
    child = Tuple([Int(), Int(min_value=0)])
    return child, Tuple(Int(min_value=1)), lambda: child.elements[0].value.min_value


def variable_tuple():
    child = Tuple(Int(min_value=0))
    return child, Tuple(Int(min_value=5), min_size=2), lambda: (child.min_size, child.elements[0].value.min_value)


def tuple_with_a_nested_refusal():
    child = Tuple([Int(), n.List(Int(min_value=0))])
    base = Tuple([Int(min_value=1), n.List(Int(min_value=5), max_size=3)])
    inner = child.elements[1].value
    return child, base, lambda: (child.elements[0].value.min_value, inner.max_size, inner.element.key.max_value)


def list_with_a_refusing_element():
    child = n.List(Int(min_value=0))
    base = n.List(Int(min_value=5), max_size=3).set_transform(f)
    return child, base, lambda: (child.max_size, child.element.key.max_value, child.transform)


def list_with_a_refusing_key():
    child = n.List(Int(), max_size=5)
    return child, n.List(Int(min_value=1), max_size=3), lambda: child.element.value.min_value


def dict_refused_by_its_own_check():
    own = schema(a=Int(default=1))
    child = n.Dict(own).noneable()
    return child, n.Dict(schema(b=Int(default=2))), lambda: (child.schema is own, keys(own), child.default)


def dict_element_after_a_refusing_one():
    own = schema(a=Int(default=1))
    child = Tuple([Int(min_value=0), n.Dict(own)])
    base = Tuple([Int(min_value=5), n.Dict(schema(b=Int(default=2)))])
    return child, base, lambda: (keys(own), child.elements[1].value.default)


# What a refusal leaves untouched: the child's own state and every child spec
# it holds, whether the refusal is its own or one of its children's.
# make() -> (child, base, state); the message names the child and base reprs as {} {}.
REFUSED_WITH_CHILDREN = [
    (union_with_a_refusing_candidate, "Float(min=0) cannot extend Float(min=5): min_value is smaller."),
    (fixed_tuple, "Str() cannot extend Int(): incompatible type."),
    (fixed_tuple_of_a_variable_one, "Int(min=0) cannot extend Int(min=1): min_value is smaller."),
    (variable_tuple, "Int(min=0) cannot extend Int(min=5): min_value is smaller."),
    (tuple_with_a_nested_refusal, "Int(min=0) cannot extend Int(min=5): min_value is smaller."),
    (list_with_a_refusing_element, "Int(min=0) cannot extend Int(min=5): min_value is smaller."),
    (
        list_with_a_refusing_key,
        "ListKey(min_value=0, max_value=5) cannot extend ListKey(min_value=0, max_value=3): max_value is greater.",
    ),
    (dict_refused_by_its_own_check, "{} cannot extend {}: None is not allowed in base spec."),
    (dict_element_after_a_refusing_one, "Int(min=0) cannot extend Int(min=5): min_value is smaller."),
]


@pytest.mark.parametrize("make, message", REFUSED_WITH_CHILDREN)
def test_a_refusal_leaves_the_child_and_its_children_unchanged(make, message):
    child, base, state = make()
    before, text = state(), repr(child)
    with pytest.raises(TypeError) as info:
        child.extend(base)
    assert str(info.value) == message.format(r(child), r(base))
    assert state() == before and repr(child) == text


def test_a_refusal_past_a_schema_keeps_what_the_children_changed():
    own = schema(a=Int(default=1))
    child = Tuple([Int(), n.Dict(own), Int(min_value=0)])
    base = Tuple([Int(min_value=1), n.Dict(schema(b=Int(default=2))), Int(min_value=5)])
    with pytest.raises(TypeError, match=r"^Int\(min=0\) cannot extend Int\(min=5\): min_value is smaller\.$"):
        child.extend(base)
    assert child.elements[0].value.min_value == 1 and keys(own) == ["b", "a"]


def test_a_dict_whose_new_default_fails_keeps_its_extended_schema():
    calls = []

    def once(x):
        calls.append(x)
        if len(calls) > 1:
            raise ValueError("late")
        return x

    base = n.Dict(schema(b=Int(default=2).set_transform(once)))
    own = schema(a=Int(default=1))
    child = n.Dict(own)
    with pytest.raises(ValueError, match="late"):
        child.extend(base)
    assert child.schema is own and keys(own) == ["b", "a"] and child.default == {"a": 1}


def shared_child():
    shared = Int()
    return Tuple([shared, shared, Int(min_value=0)]), Tuple([Int(min_value=5), Int(max_value=3), Int(min_value=9)])


def child_shared_with_the_base():
    shared = Int()
    return Tuple([shared, Int(min_value=0), Int(min_value=0)]), Tuple([Int(min_value=5), shared, Int(min_value=9)])


# An object the extension changes and then meets again: the error is the one
# extending in order meets, not a later one.
@pytest.mark.parametrize(
    "make, message",
    [
        (shared_child, "Int(min=5) cannot extend Int(max=3): min_value (5) is greater than max_value (3) after extension."),
        (child_shared_with_the_base, "Int(min=0) cannot extend Int(min=5): min_value is smaller."),
    ],
)
def test_a_shared_object_gives_the_error_of_extending_in_order(make, message):
    child, base = make()
    with pytest.raises(TypeError) as info:
        child.extend(base)
    assert str(info.value) == message


def test_a_dict_extends_its_own_schema_in_place():
    own = schema(a=Int(default=1))
    child, holder = n.Dict(own), n.Dict(own)
    assert child.extend(n.Dict(schema(b=Int(default=2)))) is child
    assert child.schema is own and holder.schema is own and keys(own) == ["b", "a"]
    assert child.default == {"b": 2, "a": 1}


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
