"""The object seams: the field write without checks or notification, the
clone construction of objects and records, and the shallow copy of a
dict-layout object; what each owns and what it leaves to the host."""

import gc
import weakref

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import records as hr
from norv_host import symbolic as hs

from host_calls import clean_records, leak_round, recorded  # noqa: F401  (fixture)
from leakcheck import block_growth, swallow

norv_host.install()
KeyPath = n.KeyPath
P = KeyPath.parse
HostObject = ho.HostObject

pytestmark = pytest.mark.usefixtures("clean_records")


class C(HostObject):
    x: int = 0
    items: list = []
    __non_symbolic__ = {"cache": [0]}


class Scalars(HostObject):
    x: int = 0
    y: str = "a"


class Plain(HostObject, sym=False):
    x: int = 0
    items: list = []


class View:
    """An attribute view that records the writes handed to it."""

    def _set_item_without_permission_check(self, key, value):
        ho.calls.append(("view write", key, value))
        return ("update", key, value)


class Viewed(HostObject):
    x: int = 0

    @property
    def _sym_attributes(self):
        return View()


Rec = hr.record_class("Rec", {"x": int, "child": (dict, {})}, non_symbolic={"cache": [0]})
Bare = hr.record_class("Bare", {"x": int}, reserved=0)


# ---- the write without checks -----------------------------------------------------------------


def test_a_sealed_object_is_written_without_notification():
    obj = C(x=1, sealed=True)
    ho.clear()
    update = n._native_object_set_item_no_check(obj, "x", 2)
    assert obj.x == 2 and update.old_value == 1 and update.new_value == 2 and update.target is obj
    assert update.path == P("x")
    assert recorded("_notify_field_updates") == []
    assert n._native_object_set_item_no_check(obj, "x", 2) is None  # nothing changed


def test_a_written_child_is_adopted_and_validated():
    obj = C(x=1, root_path=P("r"))
    child = hs.HostList([1, 2])
    n._native_object_set_item_no_check(obj, "items", child)
    assert obj.items == [1, 2] and obj.items.sym_parent is obj and obj.items.sym_path == P("r.items")
    with pytest.raises(TypeError, match="Expect <class 'int'>"):
        n._native_object_set_item_no_check(obj, "x", "a")


@pytest.mark.parametrize("key", ["nope", "_x", 3])
def test_a_key_without_a_public_init_field_goes_to_the_view(key):
    obj = Viewed(x=1)
    assert n._native_object_set_item_no_check(obj, key, 5) == ("update", key, 5)
    assert recorded("view write") == [(key, 5)] and obj.x == 1


def test_an_object_without_field_dict_or_any_other_object_goes_to_the_view():
    blank = Viewed.__new__(Viewed)
    assert n._native_object_set_item_no_check(blank, "x", 5) == ("update", "x", 5)

    class Foreign:
        _sym_attributes = View()

    assert n._native_object_set_item_no_check(Foreign(), "x", 6) == ("update", "x", 6)
    with pytest.raises(AttributeError, match="_sym_attributes"):
        n._native_object_set_item_no_check(object(), "x", 1)


class Private(HostObject):
    x: int = 0
    _p: int = 0
    hidden = n.Field("hidden", n.Int(default=3), enable_init=False)


# A non-init field validates only when it asks to; this one does not.
@pytest.mark.parametrize(
    "key, old, validated", [("_p", 0, True), ("hidden", ho.MISSING_VALUE, False)], ids=["private", "non-init"]
)
def test_a_private_or_non_init_field_is_written_into_the_field_dict(key, old, validated):
    obj = Private(x=1, sealed=True)
    ho.clear()
    update = n._native_object_set_item_no_check(obj, key, 7)
    assert obj.field_dict()[key] == 7 and getattr(obj, key) == 7 and obj._sym_attributes[key] == 7
    assert update.old_value is old and update.new_value == 7 and update.target is obj and update.path == P(key)
    assert recorded("_notify_field_updates") == []
    assert n._native_object_set_item_no_check(obj, key, 7) is None  # nothing changed
    if validated:
        with pytest.raises(TypeError, match="Expect <class 'int'>"):
            n._native_object_set_item_no_check(obj, key, "a")
        assert getattr(obj, key) == 7
    else:
        assert n._native_object_set_item_no_check(obj, key, "a").new_value == "a" and getattr(obj, key) == "a"


def test_a_private_field_of_a_record_is_written_through_its_kept_view():
    PRec = hr.record_class("PRec", {"x": int, "_p": (int, 0)})
    rec = PRec(x=1, sealed=True)
    update = n._native_object_set_item_no_check(rec, "_p", 7)
    assert rec._p == 7 and (update.old_value, update.new_value) == (0, 7)
    assert recorded("_notify_field_updates") == []


# ---- the clone construction -------------------------------------------------------------------


def test_an_object_clone_construction():
    src = C(x=1, root_path=P("elsewhere"))
    src.cache = [5]
    obj = C.__new__(C)
    memo = {}
    ho.clear()
    assert n._native_object_clone_construct(obj, True, True, {"x": 2}, src, True, memo) is True
    assert obj.x == 2 and obj.sym_path == KeyPath() and obj._sealed is True and obj._allow_partial is True
    assert recorded("clone_non_symbolic_fields") == [(obj, src, True)]
    assert obj.cache == [5] and obj.cache is not src.cache


def test_a_record_clone_construction_writes_the_given_values_and_seals_last():
    src = Rec(x=1)
    src.cache = [5]
    d = hs.HostDict(a=1)
    r = Rec.__new__(Rec)
    ho.clear()
    assert n._native_object_clone_construct(r, False, True, {"x": 2, "child": d}, src, False, None) is True
    assert r.x == 2 and r.child is d and d.sym_parent is r and d.sym_path == P("child")
    assert n._slot_node_get(r, 2) is True and d._sealed is True
    assert recorded("clone_non_symbolic_fields") == [(r, src, False)] and r.cache is src.cache
    # trusted values: nothing validates them
    r2 = Rec.__new__(Rec)
    n._native_object_clone_construct(r2, False, False, {"x": "not an int"}, src, False, None)
    assert r2.x == "not an int" and n._slot_node_get(r2, 2) is False


def test_a_record_frozen_by_its_class_is_seeded_unsealed():
    Frozen = hr.record_class("Frozen", {"x": int}, frozen=True)
    f = Frozen.__new__(Frozen)
    n._native_object_clone_construct(f, False, False, {"x": 1}, Frozen(x=1), False, None)
    assert n._slot_node_get(f, 2) is False


def test_a_record_clone_over_a_materialised_record_drops_its_stale_view():
    r = Rec(x=1)
    view = r._sym_attributes
    n._native_object_clone_construct(r, False, False, {"x": 3}, r, False, None)
    assert r.x == 3 and r._sym_attributes is not view and r._sym_attributes["x"] == 3


class Pretender:
    __slot_field_offsets__ = {"x": 16}
    __slot_reserved__ = 9
    __slot_field_names__ = ("x",)


@pytest.mark.parametrize("make", [object, lambda: Bare.__new__(Bare), Pretender, lambda: {"x": 1}],
                         ids=["object", "zero-reserved", "pretender", "dict"])
def test_the_clone_construction_declines_what_it_does_not_own(make):
    obj = make()
    before = repr(obj)
    assert n._native_object_clone_construct(obj, False, False, {"x": 1}, None, False, None) is False
    assert repr(obj) == before


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, False, {}, False), "argument 'allow_partial': 'int' object is not an instance of 'bool'"),
        ((False, None, {}, False), "argument 'sealed': 'None' is not an instance of 'bool'"),
        ((False, False, [], False), "argument 'kwargs': 'list' object is not an instance of 'dict'"),
        ((False, False, {}, "yes"), "argument 'deep': 'str' object is not an instance of 'bool'"),
    ],
)
def test_the_clone_construction_converts_its_arguments(args, message):
    allow_partial, sealed, kwargs, deep = args
    with pytest.raises(TypeError) as info:
        n._native_object_clone_construct(object(), allow_partial, sealed, kwargs, None, deep, None)
    assert str(info.value) == message


# ---- the shallow copy -------------------------------------------------------------------------


def test_a_shallow_copy_of_scalars_is_a_free_root():
    parent = object()
    src = Scalars(x=1, root_path=P("r"), allow_partial=True)
    src._sym_parent = parent
    src._accessor_writable = False
    copy = n._native_object_clone_inline_shallow(src)
    assert type(copy) is Scalars and copy.field_dict() == src.field_dict()
    assert copy.field_dict() is not src.field_dict()
    assert copy.sym_parent is None and n._probe_node_get(copy, 5) is None and copy.sym_path is hs.EMPTY_KEY_PATH
    assert (copy._allow_partial, copy._accessor_writable, copy._sealed) == (True, False, False)


def test_a_symbolic_object_holding_a_child_is_declined():
    assert n._native_object_clone_inline_shallow(C(x=1, items=[1])) is None


def test_a_non_symbolic_class_shares_objects_and_records_and_clones_the_rest():
    inner, rec, d = C(x=2), Rec(x=1), hs.HostDict(a=1)
    src = Plain.__new__(Plain)
    n._native_object_clone_construct(src, False, False, {"x": 1, "items": d}, None, False, None)
    src.field_dict()["inner"] = inner
    src.field_dict()["rec"] = rec
    ho.clear()
    hs.clear()
    copy = n._native_object_clone_inline_shallow(src)
    fields = copy.field_dict()
    assert fields["inner"] is inner and fields["rec"] is rec and fields["x"] == 1
    assert fields["items"] is not d and fields["items"] == d


@pytest.mark.parametrize("make", [object, lambda: C.__new__(C), lambda: Rec(x=1)], ids=["object", "blank", "record"])
def test_the_shallow_copy_declines_what_it_does_not_own(make):
    assert n._native_object_clone_inline_shallow(make()) is None


def test_the_shallow_copy_needs_an_object_from_new():
    class Odd(HostObject):
        x: int = 0

    o = Odd(x=1)
    Odd.__new__ = staticmethod(lambda cls: 5)
    with pytest.raises(TypeError, match="'int' object is not an instance of 'SymObject'"):
        n._native_object_clone_inline_shallow(o)


# ---- lifetimes --------------------------------------------------------------------------------


def test_a_shallow_copy_takes_part_in_collection():
    copy = n._native_object_clone_inline_shallow(Scalars(x=1))
    copy.field_dict()["self"] = copy
    ref = weakref.ref(copy)
    del copy
    gc.collect()
    assert ref() is None


def test_the_seams_leak_nothing():
    src, rec_src = C(x=1), Rec(x=1)

    def clone_object():
        n._native_object_clone_construct(C.__new__(C), False, False, {"x": 2, "items": [1]}, src, True, {})

    def clone_record():
        n._native_object_clone_construct(Rec.__new__(Rec), False, True, {"x": 2, "child": {}}, rec_src, False, None)

    obj = C(x=1)
    rounds = [
        clone_object,
        clone_record,
        lambda: n._native_object_clone_inline_shallow(src),
        lambda: n._native_object_set_item_no_check(obj, "items", [1]),
        swallow(lambda: n._native_object_set_item_no_check(obj, "x", "a")),
    ]
    for fn in rounds:
        # a leak grows by one block a round or more
        assert block_growth(leak_round(fn), 2000) < 100
