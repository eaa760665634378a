"""Inline object serde: the JSON dict of a `sym=False` object in the order of
the host's field plan, the same for an open-schema class in its schema's
order, and the test whether a JSON dict constructs by a plain keyword call."""

import pytest

import norv_host
from norv_core import PanicException
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import records as hr
from norv_host import symbolic as hs

from host_calls import clean_records  # noqa: F401 (a fixture)
from leakcheck import block_growth, refcount_delta
from small_stack import in_small_thread

norv_host.install()
pytestmark = pytest.mark.usefixtures("clean_records")
to_json = n._native_inline_object_to_json
to_json_open = n._native_inline_object_to_json_open
all_plain = n._native_from_json_all_plain
MISSING = ho.MISSING_VALUE


class Plain(ho.HostObject, sym=False):
    x: int
    items: list


def plain(**fields):
    """A Plain object holding exactly `fields`, stored as given."""
    obj = Plain(x=0, items=[])
    obj.field_dict().clear()
    obj.field_dict().update(fields)
    return obj


KEY = Plain.__serialization_key__


# ---- the plan emitter --------------------------------------------------------------------------


def test_fields_in_plan_order_with_containers_copied():
    items = [1, 2]
    obj = plain(x=1, items=items)
    out = to_json(obj, ("x", "items"))
    assert list(out.items()) == [("_type", KEY), ("x", 1), ("items", [1, 2])]
    assert out["items"] is not items
    assert list(to_json(obj, ["items", "x"])) == ["_type", "items", "x"]
    assert to_json(obj, iter(["x"])) == {"_type": KEY, "x": 1}  # fields the plan does not name are left out


def test_nested_plain_values_are_copied_through():
    value = {"a": [1, {"b": None}], "c": {"d": 1.5}}
    out = to_json(plain(v=value), ["v"])
    assert out["v"] == value
    assert out["v"] is not value and out["v"]["a"] is not value["a"] and out["v"]["a"][1] is not value["a"][1]
    keys = [10**30, "k"]
    out = to_json(plain(v={keys[0]: 1, keys[1]: [2]}), ["v"])
    assert all(a is b for a, b in zip(out["v"], keys))  # keys are copied as they are


def test_a_plan_naming_a_field_not_stored_gives_none():
    assert to_json(plain(x=1), ["x", "items"]) is None


@pytest.mark.parametrize(
    "fields",
    [
        {"a": (1, 2)},
        {"a": Plain(x=1, items=[])},
        {"a": MISSING},
        {"a": type("L", (list,), {})([1])},
        {"a": type("D", (dict,), {})(a=1)},
        {"a": [1, (2,)]},
        {"a": {"b": b"bytes"}},
        {"a": hs.HostList()},
        {"a": n.KeyPath("a")},
    ],
    ids=repr,
)
def test_a_value_that_cannot_be_copied_plainly_gives_none(fields):
    assert to_json(plain(**fields), list(fields)) is None


def test_a_list_or_dict_met_twice_gives_none():
    shared = [1, 2]
    assert to_json(plain(a=shared, b=shared), ["a", "b"]) is None
    inner = {"k": 1}
    assert to_json(plain(a=[inner, inner]), ["a"]) is None
    looped = [1]
    looped.append(looped)
    assert to_json(plain(a=looped), ["a"]) is None
    text = "the same primitive object"
    assert to_json(plain(a=text, b=text), ["a", "b"]) == {"_type": KEY, "a": text, "b": text}


@pytest.mark.parametrize(
    "obj",
    [
        Plain.__new__(Plain),  # blank
        (lambda R: R.__new__(R))(hr.record_class("R", {"x": int})),
        5,
        hs.HostDict(),
    ],
    ids=["blank", "record", "int", "dict"],
)
def test_what_is_no_initialised_symobject_gives_none(obj):
    assert to_json(obj, ["x"]) is None


class Raising:
    def __get__(self, obj, owner):
        raise LookupError("unreadable")


def test_errors_propagate():
    obj = plain(x=1)
    with pytest.raises(TypeError, match="not iterable"):
        to_json(obj, 5)
    with pytest.raises(TypeError, match="unhashable"):
        to_json(obj, [[]])

    class Keyless(ho.HostObject, sym=False):
        x: int = 0

    Keyless.__serialization_key__ = Raising()
    with pytest.raises(LookupError):
        to_json(Keyless(), ["x"])


def test_a_deep_value_gives_none_without_raising():
    deep = [1]
    for _ in range(100_000):
        deep = [deep]
    assert to_json(plain(a=deep), ["a"]) is None
    nested = [0]
    for _ in range(999):
        nested = [nested]
    assert to_json(plain(a=nested), ["a"])["a"] == nested


# ---- the open-schema emitter -------------------------------------------------------------------


def open_class(*layout):
    """A `sym=False` class whose schema holds the constant fields and the
    wildcard ("*") of `layout`, in that order."""

    class Open(ho.HostObject, sym=False):
        pass

    Open.__schema__ = n.Schema(
        [n.Field(n.StrKey() if k == "*" else k, n.Any()) for k in layout], allow_nonconst_keys=True
    )
    return Open


def open_object(cls, fields=()):
    obj = cls()
    obj.field_dict().update(fields)
    return obj


def test_the_open_order_is_consts_residue_consts():
    Open = open_class("a", "*", "z")
    obj = open_object(Open, {"z": 1, "x": [2], "a": 3, "y": 4})
    out = to_json_open(obj)
    assert list(out.items()) == [("_type", Open.__serialization_key__), ("a", 3), ("x", [2]), ("y", 4), ("z", 1)]
    assert out["x"] is not obj.field_dict()["x"]


@pytest.mark.parametrize(
    "fields",
    [
        {"a": 1, 3: 4},  # a key that is no str
        {"z": 1},  # a constant field not stored
        {"a": 1, "z": 2, "x": (1,)},  # a value that is not plain
    ],
    ids=repr,
)
def test_the_open_emitter_gives_none(fields):
    assert to_json_open(open_object(open_class("a", "*", "z"), fields)) is None


def test_classes_the_open_emitter_does_not_own():
    # no open plan (a constant schema; a regex wildcard)
    assert to_json_open(plain(x=1, items=[])) is None
    Regex = open_class("a")
    Regex.__schema__ = n.Schema(
        [n.Field("a", n.Any()), n.Field(n.StrKey(regex="x"), n.Any())], allow_nonconst_keys=True
    )
    assert to_json_open(open_object(Regex, {"a": 1})) is None

    class HostSchema(ho.HostObject, sym=False):
        pass

    HostSchema.__schema__ = object()
    assert to_json_open(open_object(HostSchema)) is None
    Open = open_class("a", "*")
    assert to_json_open(Open.__new__(Open)) is None  # blank
    R = hr.record_class("R", {"x": int})
    assert to_json_open(R.__new__(R)) is None


def test_the_schema_is_read_before_the_object_is_looked_at():
    with pytest.raises(AttributeError, match="__schema__"):
        to_json_open(5)

    class NoSchema:
        pass

    with pytest.raises(AttributeError, match="__schema__"):
        to_json_open(NoSchema())


def test_the_open_emitter_holds_the_schema_for_reading():
    Open = open_class("a", "*")
    armed = []

    class Key(str):
        def __hash__(self):
            if armed:
                Open.__schema__._recompute_caches()
            return str.__hash__(self)

        __eq__ = str.__eq__

    obj = open_object(Open, {"a": 1})
    obj.field_dict()[Key("x")] = 2
    assert list(to_json_open(obj)) == ["_type", "a", "x"]
    armed.append(True)
    with pytest.raises(RuntimeError, match="Already borrowed"):
        to_json_open(obj)


# ---- the plain check ---------------------------------------------------------------------------


def test_the_plain_check():
    value = {"a": 1, "b": [1, {"c": b"bytes"}]}
    assert all_plain(value, {"a", "b"}) is True
    assert all_plain(value, {"a"}) is False
    assert all_plain({}, set()) is True
    assert all_plain(json_value=value, raw_safe=["a", "b"]) is True


@pytest.mark.parametrize(
    "child, plain",
    [
        (None, True),
        (b"bytes", True),
        ([], True),
        (["__tuple__", 1], False),
        ([1, "__tuple__"], True),
        ({"_type": "x"}, False),
        ({"__ref__": 1}, False),
        ({"__symbolic__": 1}, False),
        ({"k": {"_type": 1}}, False),
        ([[["__tuple__"]]], False),
        ((1,), False),
        (bytearray(b"x"), False),
        (type("L", (list,), {})(), False),
        (type("D", (dict,), {})(), False),
        (type("S", (str,), {})("s"), False),
        (MISSING, False),
        ({"k": [1, 2.5, True, None, "s"]}, True),
    ],
    ids=repr,
)
def test_plain_children(child, plain):
    assert all_plain({"a": child}, {"a"}) is plain


def test_a_dict_subclass_is_not_plain():
    assert all_plain(type("D", (dict,), {})(a=1), {"a"}) is False
    assert all_plain([("a", 1)], {"a"}) is False


def test_a_cyclic_child_is_not_plain():
    looped = [1]
    looped.append(looped)
    assert all_plain({"a": looped}, {"a"}) is False
    d = {}
    d["self"] = [d]
    assert all_plain({"a": d}, {"a"}) is False
    shared = [1]
    assert all_plain({"a": [shared, shared], "b": shared}, {"a", "b"}) is True  # shared, not cyclic


def test_a_very_deep_child_is_not_plain():
    deep = 1
    for _ in range(100_000):
        deep = [deep]
    assert all_plain({"a": deep}, {"a"}) is False


@pytest.mark.parametrize(
    "call",
    [
        lambda value: all_plain({"a": value}, {"a"}),
        lambda value: to_json(plain(a=value), ["a"]),
    ],
    ids=["plain check", "plain copy"],
)
def test_running_short_of_stack_raises_instead_of_crashing(call):
    value = [1]
    for _ in range(999):
        value = [value]
    assert isinstance(in_small_thread(lambda: call(value)), RecursionError)
    assert call(value) not in (None, False)


def test_errors_of_the_plain_check_propagate():
    class Odd:
        def __eq__(self, other):
            raise LookupError("eq")

        __hash__ = object.__hash__

    with pytest.raises(LookupError, match="eq"):
        all_plain({"a": [Odd()]}, {"a"})
    with pytest.raises(TypeError, match="not iterable|argument of type"):
        all_plain({"a": 1}, 5)

    class BadKey:
        def __hash__(self):
            return hash("_type")

        def __eq__(self, other):
            raise LookupError("key eq")

    with pytest.raises(LookupError, match="key eq"):
        all_plain({"a": {BadKey(): 1}}, {"a"})


def test_a_dict_changed_by_the_membership_test_is_an_internal_fault():
    value = {"a": 1, "b": 2}

    class Growing:
        def __contains__(self, key):
            value["c"] = 3
            return True

    with pytest.raises(PanicException, match="dictionary changed size during iteration"):
        all_plain(value, Growing())


# ---- references --------------------------------------------------------------------------------


def test_no_references_or_blocks_are_left_behind():
    items = [1, {"k": [2, 3]}]
    obj = plain(x=1, items=items)
    assert refcount_delta(items, lambda: to_json(obj, ["x", "items"])) == 0
    assert block_growth(lambda: to_json(obj, ["x", "items"]), 200) <= 0
    bail = plain(a=items, b=items)
    assert block_growth(lambda: to_json(bail, ["a", "b"]), 200) <= 0
    Open = open_class("a", "*")
    opened = open_object(Open, {"a": [1], "x": {"y": [2]}})
    assert block_growth(lambda: to_json_open(opened), 200) <= 0
    value = {"a": [1, {"b": b"x"}]}
    assert block_growth(lambda: all_plain(value, {"a"}), 200) <= 0
