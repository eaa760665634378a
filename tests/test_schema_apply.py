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


def drop_a_bring_z(v):
    # Runs during the field walk and writes nothing the walk would: the dict
    # keeps its size, one schema key traded for an unknown one.
    RECORD.pop("a", None)
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
        ([F("a", n.Int()), F("b", n.Int().set_transform(drop_a_bring_z))], "record", "z"),
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


class Meddler:
    """A key whose hash is that of 'c', so looking 'c' up compares with it;
    the comparison drops 'a' from the dict it sits in (already read)."""

    def __init__(self):
        self.target = None

    def __hash__(self):
        return hash("c")

    def __eq__(self, other):
        if self.target is not None and "a" in self.target:
            del self.target["a"]
        return False

    def __repr__(self):
        return "Meddler()"


def test_a_key_comparison_that_edits_the_dict_still_meets_the_key_check():
    s = n.Schema([F("a", n.Int()), F("b", n.Int()), F("c", n.Int())])
    key = Meddler()
    d = {"a": 1, "b": 2, key: 0}
    d["c"] = 3  # after the meddler: its slot comes first when 'c' is looked up
    key.target = d
    with pytest.raises(KeyError, match=r"Keys \[Meddler\(\)\] are not allowed"):
        s.apply(d)
    assert list(d) == ["b", key, "c"]


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


def reorder_fields(s):
    # An edit of the live fields dict that the caches do not see.
    fields = s.fields
    first = next(iter(fields))
    fields[first] = fields.pop(first)


def rekey_with_an_equal_text(s):
    # The field's key text becomes another str object of the same text.
    f = s.get_field("name")
    f.key = n.ConstStrKey("".join(["na", "me"]))


@pytest.mark.parametrize(
    "edit, value, expected",
    [
        (None, {"size": 2.5, "name": "x"}, [("name", "x"), ("size", 2.5)]),
        (None, {"name": "x"}, [("name", "x"), ("size", 1.0)]),
        (None, {"size": 2, "name": "x"}, [("name", "x"), ("size", 2.0)]),
        (None, {"".join(["na", "me"]): "x", "size": 2.5}, [("name", "x"), ("size", 2.5)]),
        (reorder_fields, {"name": "x", "size": 2.5}, [("size", 2.5), ("name", "x")]),
        (rekey_with_an_equal_text, {"size": 2.5, "name": "x"}, [("name", "x"), ("size", 2.5)]),
    ],
)
def test_copy_of_a_plain_dict_is_in_schema_order(edit, value, expected):
    s = n.Schema([F("name", n.Str()), F("size", n.Float(default=1.0))])
    if edit is not None:
        edit(s)
    before = dict(value)
    out = s.apply(value, inplace=False)
    assert list(out.items()) == expected and [type(v) for _, v in out.items()] == [type(v) for _, v in expected]
    assert value == before and list(value) == list(before)
    # the keys are the schema's own text objects
    assert all(k is spec.const_text for k, spec in zip(out, s.fields, strict=True))
    assert n.Dict(s).apply(value, inplace=False) == out


def test_copy_refuses_extra_keys_and_leaves_the_input_alone():
    value = {"a": 1, "b": 2, "z": 3}
    with pytest.raises(KeyError, match=EXTRA_Z):
        const_schema().apply(value, inplace=False)
    assert value == {"a": 1, "b": 2, "z": 3}


def test_copy_of_a_plain_dict_is_the_dicts_own(monkeypatch):
    # Deliberate: only a dict subclass or another mapping goes through
    # copy.copy; a plain dict's shallow copy is the same either way.
    import copy

    calls = []
    real = copy.copy
    monkeypatch.setattr(copy, "copy", lambda x: calls.append(type(x)) or real(x))

    class Sub(dict):
        pass

    assert open_schema().apply({"a": 1}, inplace=False) == {"a": 1, "c": 0}
    assert calls == []
    assert open_schema().apply(Sub(a=1), inplace=False) == {"a": 1, "c": 0}
    assert calls == [Sub]


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


def test_a_field_change_shows_in_the_next_apply():
    f = F("a", n.Int())
    s = n.Schema([f])
    assert s.apply({"a": 1}) == {"a": 1}
    f._value = n.Str()
    with pytest.raises(TypeError, match=r"Expect <class 'str'> but encountered <class 'int'>"):
        s.apply({"a": 1})


def drop_records_of(f, other):
    # Runs while the field's record is in use: every way the record can lose
    # its place in the field's cell.
    def step(v):
        f._value = n.Any(transform=step)
        f.set_validator(None)
        other._recompute_caches()
        return [v]

    return step


@pytest.mark.parametrize("inplace", [True, False])
def test_a_record_dropped_while_in_use_stays_valid(inplace):
    f = F("a", n.Any())
    other = n.Schema([f])
    f._value = n.Any(transform=drop_records_of(f, other))
    s = n.Schema([f, F("b", n.Int(default=2))])
    for _ in range(3):
        assert s.apply({"a": 1}, inplace=inplace) == {"a": [1], "b": 2}


def test_extend_during_apply_is_refused():
    s = n.Schema([F("a", n.Any(transform=lambda v: s.extend(n.Schema([])) or v))])
    with pytest.raises(n.PanicException, match="Already borrowed"):
        s.apply({"a": 1})


@pytest.mark.parametrize(
    "entry",
    [
        lambda s, v: s.apply(v),
        lambda s, v: n.Dict(s).apply(v),
        lambda s, v: n.Dict(s)._apply(v, False, None, None),
    ],
)
def test_deep_nesting_raises_recursion_error(entry):
    s = n.Schema([F("a", n.Int(default=0))])
    s.extend(n.Schema([F("b", n.Dict(s))]))
    value = cur = {}
    for _ in range(100000):
        cur["b"] = cur = {}
    with pytest.raises(RecursionError):
        entry(s, value)


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
