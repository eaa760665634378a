"""Key specs of sequence elements: ListKey and TupleKey."""

import copy
import enum

import pytest

from norv_core import _native as n
from leakcheck import refcount_delta

ListKey, TupleKey = n.ListKey, n.TupleKey
I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Color(enum.IntEnum):
    RED = 1


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize(
    "args, kwargs, min_value, max_value",
    [
        ((), {}, 0, None),
        ((1,), {}, 1, None),
        ((1, 3), {}, 1, 3),
        ((0, None), {}, 0, None),
        ((), {"max_value": 0}, 0, 0),
        ((), {"min_value": -5, "max_value": 2}, -5, 2),
        ((5, 3), {}, 5, 3),
        ((True, False), {}, 1, 0),
        ((Idx(2), Idx(4)), {}, 2, 4),
        ((I64_MIN, I64_MAX), {}, I64_MIN, I64_MAX),
    ],
)
def test_list_key_construction(args, kwargs, min_value, max_value):
    k = ListKey(*args, **kwargs)
    assert k.min_value == min_value and type(k.min_value) is int
    assert k.max_value == max_value
    assert max_value is None or type(k.max_value) is int
    assert k.is_const is False and k.const_text is None


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (
            (),
            {"min_value": None},
            "argument 'min_value': 'NoneType' object cannot be interpreted as an integer",
        ),
        ((1.5,), {}, "argument 'min_value': 'float' object cannot be interpreted as an integer"),
        ((0, "3"), {}, "argument 'max_value': 'str' object cannot be interpreted as an integer"),
        ((0, 3.0), {}, "argument 'max_value': 'float' object cannot be interpreted as an integer"),
        ((1, 2, 3), {}, "ListKey() takes from 0 to 2 positional arguments but 3 were given"),
        ((), {"size": 1}, "ListKey() got an unexpected keyword argument 'size'"),
        ((1,), {"min_value": 1}, "ListKey() got multiple values for argument 'min_value'"),
    ],
)
def test_list_key_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        ListKey(*args, **kwargs)
    assert str(e.value) == message


def test_list_key_conversion_error_keeps_its_cause():
    with pytest.raises(TypeError) as e:
        ListKey(min_value=None)
    assert type(e.value.__cause__) is TypeError
    assert str(e.value.__cause__) == "'NoneType' object cannot be interpreted as an integer"


@pytest.mark.parametrize(
    "make",
    [
        lambda: ListKey(2**63),
        lambda: ListKey(0, -(2**63) - 1),
        lambda: ListKey(2**70),
        lambda: TupleKey(2**63),
    ],
)
def test_out_of_range_bounds_raise_overflow_unwrapped(make):
    with pytest.raises(OverflowError) as e:
        make()
    assert not str(e.value).startswith("argument")


@pytest.mark.parametrize(
    "args, kwargs, index",
    [
        ((), {}, None),
        ((None,), {}, None),
        ((3,), {}, 3),
        ((), {"index": -1}, -1),
        ((True,), {}, 1),
        ((Idx(7),), {}, 7),
    ],
)
def test_tuple_key_construction(args, kwargs, index):
    k = TupleKey(*args, **kwargs)
    assert k.index == index
    assert index is None or type(k.index) is int
    assert k.is_const is False and k.const_text is None


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("1",), {}, "argument 'index': 'str' object cannot be interpreted as an integer"),
        ((1.0,), {}, "argument 'index': 'float' object cannot be interpreted as an integer"),
        ((1, 2), {}, "TupleKey() takes from 0 to 1 positional arguments but 2 were given"),
        ((), {"position": 1}, "TupleKey() got an unexpected keyword argument 'position'"),
    ],
)
def test_tuple_key_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        TupleKey(*args, **kwargs)
    assert str(e.value) == message


def test_bounds_are_read_only():
    k = ListKey(1, 2)
    for name in ("min_value", "max_value"):
        with pytest.raises(AttributeError):
            setattr(k, name, 5)
    with pytest.raises(AttributeError):
        TupleKey(1).index = 2


# ---------------------------------------------------------------------------
# match


@pytest.mark.parametrize(
    "k, key, expected",
    [
        (ListKey(), 0, True),
        (ListKey(), 1, True),
        (ListKey(), I64_MAX, True),
        (ListKey(), -1, False),
        (ListKey(), "a", False),
        (ListKey(), 1.0, False),
        (ListKey(), None, False),
        (ListKey(), True, True),
        (ListKey(), False, True),
        (ListKey(), Color.RED, True),
        (ListKey(), Idx(1), False),
        (ListKey(1, 3), 0, False),
        (ListKey(1, 3), 1, True),
        (ListKey(1, 3), 2, True),
        (ListKey(1, 3), 3, False),
        (ListKey(max_value=0), 0, True),
        (ListKey(max_value=0), 10**9, True),
        (ListKey(max_value=0), -1, False),
        (ListKey(5, 3), 3, False),
        (ListKey(5, 3), 4, False),
        (ListKey(5, 3), 5, False),
        (ListKey(5, 0), 4, False),
        (ListKey(5, 0), 5, True),
        (ListKey(5, 0), 500, True),
        (ListKey(-3, -1), -3, True),
        (ListKey(-3, -1), -2, True),
        (ListKey(-3, -1), -1, False),
        (ListKey(I64_MIN), I64_MIN, True),
        (TupleKey(), 0, True),
        (TupleKey(), -5, True),
        (TupleKey(), 2**70, True),
        (TupleKey(), -(2**70), True),
        (TupleKey(), "0", False),
        (TupleKey(), 0.0, False),
        (TupleKey(), Idx(0), False),
        (TupleKey(1), 1, True),
        (TupleKey(1), True, True),
        (TupleKey(1), Color.RED, True),
        (TupleKey(1), 0, False),
        (TupleKey(1), 2, False),
        (TupleKey(1), "1", False),
        (TupleKey(-1), -1, True),
    ],
    ids=repr,
)
def test_match(k, key, expected):
    assert k.match(key) is expected
    assert k.match(key=key) is expected


@pytest.mark.parametrize(
    "k",
    [ListKey(), ListKey(max_value=5), ListKey(-10, 0), TupleKey(1), TupleKey(-1)],
    ids=repr,
)
@pytest.mark.parametrize("key", [2**63, 2**70, -(2**63) - 1])
def test_match_of_out_of_range_ints_overflows(k, key):
    with pytest.raises(OverflowError):
        k.match(key)


def test_list_key_match_example():
    with pytest.raises(OverflowError):
        ListKey().match(2**70)
    assert TupleKey().match(2**70) is True
    with pytest.raises(OverflowError):
        TupleKey(1).match(2**70)


# ---------------------------------------------------------------------------
# extend


def test_list_key_extend_adopts_the_base_maximum_in_place():
    a = ListKey(2)
    assert a.extend(ListKey(0, 5)) is a
    assert str(a) == "ListKey(min_value=2, max_value=5)"
    assert a.max_value == 5
    assert a.match(4) and not a.match(5)


def test_adoption_is_seen_by_every_holder():
    shared = ListKey(1)
    holders = {"field": shared, "schema": [shared]}
    shared.extend(ListKey(0, 4))
    assert holders["schema"][0].max_value == 4
    t = TupleKey()
    held = (t,)
    t.extend(TupleKey(3))
    assert held[0].index == 3


@pytest.mark.parametrize(
    "k, base, after",
    [
        (ListKey(), ListKey(), (0, None)),
        (ListKey(1, 3), ListKey(0), (1, 3)),
        (ListKey(1, 3), ListKey(0, 3), (1, 3)),
        (ListKey(1, 3), ListKey(1, 4), (1, 3)),
        (ListKey(0, 0), ListKey(0, 5), (0, 0)),
        (ListKey(3), ListKey(1, 2), (3, 2)),
        (ListKey(0), ListKey(0, 0), (0, 0)),
        (ListKey(-1, -5), ListKey(-2, -4), (-1, -5)),
    ],
    ids=repr,
)
def test_list_key_extend_accepts(k, base, after):
    before_base = (base.min_value, base.max_value)
    assert k.extend(base) is k
    assert (k.min_value, k.max_value) == after
    assert (base.min_value, base.max_value) == before_base


def test_adopted_zero_maximum_means_no_bound_in_match():
    k = ListKey(0)
    k.extend(ListKey(0, 0))
    assert k.max_value == 0
    assert k.match(1000) is True


@pytest.mark.parametrize(
    "k, base, message",
    [
        (
            ListKey(0),
            ListKey(1),
            "ListKey(min_value=0, max_value=None) cannot extend "
            "ListKey(min_value=1, max_value=None): min_value is smaller.",
        ),
        (
            ListKey(0, 10),
            ListKey(0, 5),
            "ListKey(min_value=0, max_value=10) cannot extend "
            "ListKey(min_value=0, max_value=5): max_value is greater.",
        ),
        (
            ListKey(0, 5),
            ListKey(0, 0),
            "ListKey(min_value=0, max_value=5) cannot extend "
            "ListKey(min_value=0, max_value=0): max_value is greater.",
        ),
        (
            ListKey(0, 5),
            ListKey(1, 3),
            "ListKey(min_value=0, max_value=5) cannot extend "
            "ListKey(min_value=1, max_value=3): min_value is smaller.",
        ),
        (
            ListKey(),
            TupleKey(),
            "ListKey(min_value=0, max_value=None) cannot extend TupleKey(index=None): incompatible type.",
        ),
        (ListKey(), 5, "ListKey(min_value=0, max_value=None) cannot extend 5: incompatible type."),
        (
            ListKey(),
            "ListKey()",
            "ListKey(min_value=0, max_value=None) cannot extend ListKey(): incompatible type.",
        ),
    ],
    ids=repr,
)
def test_list_key_extend_refusals(k, base, message):
    before = str(k)
    with pytest.raises(TypeError) as e:
        k.extend(base)
    assert e.value.args == (message,)
    assert str(k) == before


@pytest.mark.parametrize(
    "k, base, after",
    [
        (TupleKey(), TupleKey(3), 3),
        (TupleKey(), TupleKey(), None),
        (TupleKey(3), TupleKey(), 3),
        (TupleKey(3), TupleKey(3), 3),
        (TupleKey(-1), TupleKey(-1), -1),
    ],
    ids=repr,
)
def test_tuple_key_extend_accepts(k, base, after):
    assert k.extend(base) is k
    assert k.index == after


@pytest.mark.parametrize(
    "k, base, exc, message",
    [
        (
            TupleKey(3),
            TupleKey(4),
            KeyError,
            "TupleKey(index=3) cannot extend TupleKey(index=4): unmatched index.",
        ),
        (
            TupleKey(),
            ListKey(),
            TypeError,
            "TupleKey(index=None) cannot extend ListKey(min_value=0, max_value=None): incompatible type.",
        ),
        (TupleKey(1), 1, TypeError, "TupleKey(index=1) cannot extend 1: incompatible type."),
    ],
    ids=repr,
)
def test_tuple_key_extend_refusals(k, base, exc, message):
    before = k.index
    with pytest.raises(exc) as e:
        k.extend(base)
    assert e.value.args == (message,)
    assert k.index == before


def test_refusal_text_errors_replace_the_refusal():
    with pytest.raises(RuntimeError, match="no text"):
        ListKey().extend(BadStr())
    with pytest.raises(RuntimeError, match="no text"):
        TupleKey().extend(BadStr())


def test_extend_argument_errors():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'base'"):
        ListKey().extend()
    assert TupleKey().extend(base=TupleKey(2)).index == 2


# ---------------------------------------------------------------------------
# Text forms, equality, hashing


@pytest.mark.parametrize(
    "k, text",
    [
        (ListKey(), "ListKey(min_value=0, max_value=None)"),
        (ListKey(1, 3), "ListKey(min_value=1, max_value=3)"),
        (ListKey(-2, 0), "ListKey(min_value=-2, max_value=0)"),
        (ListKey(I64_MIN, I64_MAX), f"ListKey(min_value={I64_MIN}, max_value={I64_MAX})"),
        (TupleKey(), "TupleKey(index=None)"),
        (TupleKey(3), "TupleKey(index=3)"),
        (TupleKey(-7), "TupleKey(index=-7)"),
    ],
    ids=repr,
)
def test_text_forms(k, text):
    assert str(k) == repr(k) == text
    assert k.format() == k.format(compact=True) == k.format(compact=False, root_indent=2) == text


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (ListKey(1, 3), ListKey(1, 3), True),
        (ListKey(1), ListKey(1, 3), False),
        (ListKey(1, 3), ListKey(1), False),
        (ListKey(), ListKey(0, None), True),
        (ListKey(0), ListKey(0, 0), False),
        (ListKey(2), ListKey(1), False),
        (ListKey(), 0, False),
        (ListKey(), TupleKey(), False),
        (TupleKey(), TupleKey(None), True),
        (TupleKey(1), TupleKey(1), True),
        (TupleKey(1), TupleKey(), False),
        (TupleKey(), TupleKey(0), False),
        (TupleKey(1), 1, False),
        (TupleKey(), ListKey(), False),
    ],
    ids=repr,
)
def test_equality(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is (not equal)
    assert (b == a) is equal


@pytest.mark.parametrize("k", [ListKey(), ListKey(1, 3), TupleKey(), TupleKey(1)], ids=repr)
def test_unhashable(k):
    assert type(k).__hash__ is None
    with pytest.raises(TypeError, match="unhashable type"):
        hash(k)
    with pytest.raises(TypeError):
        {k: 1}


# ---------------------------------------------------------------------------
# JSON and copies


@pytest.mark.parametrize(
    "k, wire",
    [
        (ListKey(), {"_type": "norv.typing.ListKey", "min_value": 0}),
        (ListKey(1), {"_type": "norv.typing.ListKey", "min_value": 1}),
        (ListKey(1, 3), {"_type": "norv.typing.ListKey", "min_value": 1, "max_value": 3}),
        (ListKey(0, 0), {"_type": "norv.typing.ListKey", "min_value": 0, "max_value": 0}),
        (TupleKey(), {"_type": "norv.typing.TupleKey"}),
        (TupleKey(0), {"_type": "norv.typing.TupleKey", "index": 0}),
        (TupleKey(-2), {"_type": "norv.typing.TupleKey", "index": -2}),
    ],
    ids=repr,
)
def test_to_json(k, wire):
    out = k.to_json()
    assert out == wire
    assert list(out) == list(wire)
    assert type(k).from_json(out) == k


@pytest.mark.parametrize(
    "cls, wire, expected",
    [
        (ListKey, {}, ListKey()),
        (ListKey, {"_type": "whatever"}, ListKey()),
        (ListKey, {"max_value": 4}, ListKey(0, 4)),
        (ListKey, {"min_value": True}, ListKey(1)),
        (ListKey, {"min_value": Idx(2), "max_value": Idx(3)}, ListKey(2, 3)),
        (TupleKey, {}, TupleKey()),
        (TupleKey, {"index": 5}, TupleKey(5)),
    ],
    ids=repr,
)
def test_from_json(cls, wire, expected):
    assert cls.from_json(wire) == expected


@pytest.mark.parametrize(
    "cls, wire, exc, message",
    [
        (ListKey, {"min_value": None}, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (ListKey, {"max_value": None}, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (ListKey, {"max_value": "3"}, TypeError, "'str' object cannot be interpreted as an integer"),
        (ListKey, {"min_value": 2**64}, OverflowError, None),
        (TupleKey, {"index": None}, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (TupleKey, {"index": 1.0}, TypeError, "'float' object cannot be interpreted as an integer"),
        (TupleKey, {"index": -(2**64)}, OverflowError, None),
    ],
    ids=repr,
)
def test_from_json_errors_are_unwrapped(cls, wire, exc, message):
    with pytest.raises(exc) as e:
        cls.from_json(wire)
    if message is not None:
        assert str(e.value) == message


def test_copies_are_independent():
    k = ListKey(1)
    c = copy.copy(k)
    c.extend(ListKey(0, 9))
    assert k.max_value is None and c.max_value == 9
    t = TupleKey()
    d = copy.deepcopy(t)
    d.extend(TupleKey(4))
    assert t.index is None and d.index == 4
    assert copy.deepcopy(ListKey(2, 3)) == ListKey(2, 3)
    assert copy.copy(TupleKey(6)).index == 6


# ---------------------------------------------------------------------------
# Reference counts


def test_no_reference_leaks_in_index_key_specs():
    wire = {"min_value": 1, "max_value": 5}
    bad = {"index": None}
    base = ListKey(0, 9)
    other = object()

    def refuse():
        try:
            ListKey(0).extend(other)
        except TypeError:
            pass

    def refuse_index():
        try:
            TupleKey.from_json(bad)
        except TypeError:
            pass

    assert refcount_delta(wire, lambda: ListKey.from_json(wire).to_json()) == 0
    assert refcount_delta(bad, refuse_index) == 0
    assert refcount_delta(base, lambda: ListKey(1).extend(base)) == 0
    assert refcount_delta(other, refuse) == 0
    assert refcount_delta(base, lambda: base == ListKey(0, 9)) == 0
