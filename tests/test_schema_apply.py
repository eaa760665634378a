"""Schema.apply and Schema.validate: the three routes, the order in which
errors win, in-place and copying results, child transforms."""

import pytest
from leakcheck import block_growth, refcount_delta

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

F = n.Field
MISSING = ht.MISSING_VALUE


def const_schema():
    return n.Schema([F("a", n.Int()), F("b", n.Int())])


def open_schema():
    return n.Schema(
        [F("a", n.Int()), F(n.StrKey(), n.Int()), F("c", n.Int(default=0))], allow_nonconst_keys=True
    )


def identity(key, value, parent):
    return value


REQUIRED_B = r"Required value is not specified. \(Path='b', ValueSpec=Int\(\)\)"
EXTRA_Z = r"Keys \['z'\] are not allowed in Schema. \(parent='None'\)"


@pytest.mark.parametrize(
    "value, kwargs, exc, message",
    [
        # all-constant route: fields first, extra keys after (sorted)
        ({"a": 1, "z": 2}, {}, ValueError, REQUIRED_B),
        ({"a": 1, "b": 2, "z": 3}, {}, KeyError, EXTRA_Z),
        ({"y": 0, "a": 1, "b": 2, "x": 3}, {}, KeyError, r"Keys \['x', 'y'\]"),
        # a child transform takes the general route: unaccepted keys first, in input order
        ({"a": 1, "z": 2}, {"child_transform": identity}, KeyError, EXTRA_Z),
        ({"y": 0, "x": 3}, {"child_transform": identity}, KeyError, r"Keys \['y', 'x'\]"),
        ({"a": "no", "b": 1}, {}, TypeError, r"\(path=a\)"),
    ],
)
def test_error_precedence(value, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        const_schema().apply(value, **kwargs)


class Key(str):
    """A str key that is not exactly str."""

    __hash__ = str.__hash__


def swap_keys(v):
    # Runs during the field walk: one schema key leaves, an unknown one comes.
    RECORD.pop("b", None)
    RECORD["z"] = 0
    return v


RECORD = {}


@pytest.mark.parametrize(
    "fields, value, extra",
    [
        ([F("a", n.Int()), F("b", n.Int(default=1))], {"a": 1, "z": 2}, "z"),
        ([F("a", n.Int()), F("b", n.Int(default=1))], {"a": 1, "b": 2}, None),
        ([F("a", n.Int()), F("b", n.Int(default=1))], {Key("a"): 1, "b": 2}, None),
        ([F("a", n.Int().set_transform(swap_keys)), F("b", n.Int(default=1))], "record", "z"),
        ([], {}, None),
        ([], {"z": 1}, "z"),
    ],
)
def test_extra_keys_of_an_all_constant_schema(fields, value, extra):
    if value == "record":
        RECORD.clear()
        RECORD.update(a=1, b=2)
        value = RECORD
    s = n.Schema(fields)
    if extra is None:
        assert s.apply(value) is value
    else:
        with pytest.raises(KeyError, match=rf"Keys \['{extra}'\] are not allowed"):
            s.apply(value)


def test_root_path_shows_in_messages():
    with pytest.raises(KeyError, match=r"\(parent='x.y'\)"):
        const_schema().apply({"a": 1, "b": 2, "z": 3}, root_path=n.KeyPath.parse("x.y"))
    with pytest.raises(ValueError, match=r"Path='x.b'"):
        const_schema().apply({"a": 1}, root_path=n.KeyPath.parse("x"))


def test_inplace_returns_the_same_dict_and_fills_defaults():
    s = n.Schema([F("a", n.Int()), F("b", n.Int(default=5))])
    d = {"a": 1}
    assert s.apply(d) is d and d == {"a": 1, "b": 5}
    partial = {}
    assert s.apply(partial, allow_partial=True) == {"a": MISSING, "b": 5}


def test_copy_puts_constant_keys_first_and_leaves_input_alone():
    s = open_schema()
    d = {"x": 1, "c": 7, "a": 2}
    out = s.apply(d, inplace=False)
    assert out is not d and d == {"x": 1, "c": 7, "a": 2}
    assert list(out.items()) == [("a", 2), ("c", 7), ("x", 1)]


def test_copy_of_a_dict_subclass_keeps_its_order():
    class Sub(dict):
        pass

    d = Sub(x=1, a=2)
    out = open_schema().apply(d, inplace=False)
    assert type(out) is Sub and out is not d and list(out) == ["x", "a", "c"]


def test_open_plan_validates_in_schema_order():
    seen = []

    def spec_of(name):
        return n.Any(transform=lambda v: seen.append(name) or v)

    s = n.Schema(
        [F("a", spec_of("a")), F(n.StrKey(), spec_of("*")), F("b", spec_of("b"))], allow_nonconst_keys=True
    )
    d = {"x": 1, "b": 2, "y": 3, "a": 4}
    assert s.apply(d) is d
    assert seen == ["a", "*", "*", "b"]


def test_non_str_key_leaves_the_open_plan():
    with pytest.raises(KeyError, match=r"Keys \[1\] are not allowed"):
        open_schema().apply({1: 1, "a": 1})


def test_general_route_for_dict_subclasses_and_mappings():
    class Sub(dict):
        pass

    d = Sub(a="1", b=2)
    with pytest.raises(TypeError):
        const_schema().apply(d)
    with pytest.raises(AttributeError):
        const_schema().apply([("a", 1)])


def test_a_raising_sym_getattr_read_falls_back_to_get_unless_grave(raised):
    class Sub(dict):
        sym_getattr = raised.attribute()

    d = Sub(a=1, b=2)
    raised.check(lambda: const_schema().apply(d) is d and dict(d), {"a": 1, "b": 2})


def test_child_transform_reaches_each_field():
    calls = []

    def transform(key, value, parent):
        calls.append(str(key))
        return value

    d = {"a": 1, "b": 2}
    assert const_schema().apply(d, child_transform=transform) is d
    assert calls == ["a", "b"]


def test_validate_never_writes_the_input():
    s = n.Schema([F("a", n.List(n.Int())), F("b", n.Int(default=3))])
    nested = [1]
    d = {"a": nested}
    assert s.validate(d) is None and d == {"a": [1]} and d["a"] is nested
    bad = {"a": ["x"]}
    with pytest.raises(TypeError):
        s.validate(bad)
    assert bad == {"a": ["x"]}


@pytest.mark.parametrize("name", ["allow_partial", "respect_enable_wrap", "inplace"])
def test_flags_must_be_bool(name):
    with pytest.raises(TypeError):
        const_schema().apply({"a": 1, "b": 2}, **{name: 1})


def test_extend_during_apply_is_refused():
    s = n.Schema([F("a", n.Any(transform=lambda v: s.extend(n.Schema([])) or v))])
    with pytest.raises(n.PanicException, match="Already borrowed"):
        s.apply({"a": 1})


def test_deep_nesting_raises_recursion_error():
    s = n.Schema([F("a", n.Int(default=0))])
    s.extend(n.Schema([F("b", n.Dict(s))]))
    value = cur = {}
    for _ in range(100000):
        cur["b"] = cur = {}
    with pytest.raises(RecursionError):
        s.apply(value)


@pytest.mark.parametrize("respect, expected", [(True, ["a"]), (False, ["a", "b"])])
def test_respect_enable_wrap(respect, expected):
    calls = []

    def transform(key, value, parent):
        calls.append(str(key))
        return value

    s = n.Schema([F("a", n.Int()), F("b", n.Int(), enable_wrap=False)])
    s.apply({"a": 1, "b": 2}, child_transform=transform, respect_enable_wrap=respect)
    assert calls == expected


def test_disabled_validation_keeps_the_value_and_skips_the_transform():
    calls = []
    s = n.Schema([F("a", n.Int(), enable_validation=False)])
    marker = object()
    for kwargs in ({}, {"child_transform": lambda k, v, p: calls.append(k) or v}):
        d = {"a": marker}
        assert s.apply(d, **kwargs)["a"] is marker
    assert calls == []


VALUE = object()
LEAK_SCHEMA = n.Schema(
    [F("a", n.Int()), F(n.StrKey(), n.Any()), F("c", n.List(n.Any()))], allow_nonconst_keys=True
)
CONST_SCHEMA = n.Schema([F("a", n.Any()), F("b", n.Int(default=1))])
LIST_OF_DICTS = n.List(n.Dict(n.Schema([F("a", n.Int())])))
LEAK_CASES = {
    "all constant": lambda: CONST_SCHEMA.apply({"a": VALUE}),
    "all constant extra key": lambda: CONST_SCHEMA.apply({"a": VALUE, VALUE: 1}),
    "all constant copy": lambda: CONST_SCHEMA.apply({"a": VALUE}, inplace=False),
    "open plan": lambda: LEAK_SCHEMA.apply({"x": VALUE, "a": 1, "c": [VALUE]}),
    "open plan copy": lambda: LEAK_SCHEMA.apply({"x": VALUE, "a": 1, "c": [VALUE]}, inplace=False),
    "general": lambda: LEAK_SCHEMA.apply({"x": VALUE, "a": 1, "c": []}, child_transform=identity),
    "general refusal": lambda: LEAK_SCHEMA.apply({VALUE: 1, "a": 1, "c": []}),
    "field refusal": lambda: LEAK_SCHEMA.apply({"x": VALUE, "a": "no", "c": []}),
    "validate": lambda: CONST_SCHEMA.validate({"a": 1}),
    "dict spec": lambda: n.Dict(CONST_SCHEMA).apply({"a": VALUE}),
    "list of dicts": lambda: LIST_OF_DICTS.apply([{"a": 1}, {"a": VALUE}]),
}


@pytest.mark.parametrize("case", list(LEAK_CASES), ids=list(LEAK_CASES))
def test_apply_keeps_nothing_behind(case):
    def run():
        try:
            LEAK_CASES[case]()
        except (KeyError, TypeError, ValueError):
            pass

    assert refcount_delta(VALUE, run) == 0
    block_growth(run, 1000)  # settles the allocator and the type caches
    assert block_growth(run, 2000) < 100
