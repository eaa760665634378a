"""Setting the path and the parent of a dict-layout object: the unchanged
test, the native re-path of its children, the host hooks a class overrides,
and the symbolic-mode requirement of a `sym=False` class."""

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import records as hr
from norv_host import symbolic as hs

from traced import AwareOnly, Traced

from host_calls import clean_records  # noqa: F401  (fixture)

norv_host.install()
probe = n._testing
KeyPath, HostObject = n.KeyPath, ho.HostObject
P = KeyPath.parse


class Obj(HostObject):
    x: int = 0


class Plain(HostObject, sym=False):
    x: int = 0


class PathHooked(HostObject):
    def on_sym_path_change(self, old_path, new_path):
        children = [v.sym_path for v in self.field_dict().values()]
        ho.calls.append(("hooked path", self.sym_path, children, old_path, new_path))


class ChildrenHooked(HostObject):
    def _update_children_paths(self, old_path, new_path):
        ho.calls.append(("hooked children", old_path, new_path))

    def on_sym_path_change(self, old_path, new_path):
        ho.calls.append(("hooked path", old_path, new_path))


class ParentHooked(HostObject):
    def on_sym_parent_change(self, old_parent, new_parent):
        ho.calls.append(("hooked parent", self.sym_parent, old_parent, new_parent))


class Opaque(Traced):
    """Topology-aware, but out of the tree: its own symbolic mode is off."""

    @property
    def sym_mode(self):
        return False


def calls(kind=None):
    """The host calls recorded (the metadata build's host predicate left out)."""
    return [
        c
        for c in ho.calls + hs.calls
        if c[0] not in ("needs_cooperative_init", "copy_default") and (kind is None or c[0] == kind)
    ]


pytestmark = pytest.mark.usefixtures("clean_records")


def made(cls=Obj, path="a", **fields):
    """An object of `cls` constructed at `path` (None: then given no path at
    all), whose live field dict is then made to hold exactly `fields`: the
    children arrive as they are, not adopted."""
    obj = cls(root_path=P(path) if path is not None else None)
    if path is None:
        obj._sym_path = None
    stored = obj.field_dict()
    stored.clear()
    stored.update(fields)
    return obj


def sym_false_message(operation, name="Plain"):
    return (
        f"`{operation}` requires a symbolic tree, but {name} was declared with `sym=False`. "
        "Declare the class with `sym=True` to use it."
    )


# ---------------------------------------------------------------- sym_setpath


def test_an_equal_path_writes_nothing_and_calls_nothing():
    for cls in (Obj, PathHooked, ChildrenHooked):
        obj = made(cls)
        before = obj.sym_path
        assert obj.sym_setpath(KeyPath("a")) is None
        assert obj.sym_path is before
    assert calls() == []


def test_a_new_path_repaths_the_children_through_their_own_sym_setpath():
    child, aware, opaque = Traced(), AwareOnly(), Opaque()
    obj = made(x=1, c=child, w=aware, o=opaque, items=[1])
    obj.sym_setpath(P("b"))
    assert obj.sym_path == P("b")
    assert calls("sym_setpath") == [("sym_setpath", child, P("b.c"))]
    assert child.sym_path == P("b.c")
    assert aware.calls == [("sym_setpath", P("b.w"))]
    assert opaque.sym_path == KeyPath()  # out of the tree: left alone
    assert calls("_update_children_paths") == []  # the base class's walk is not called


def test_children_are_repathed_in_field_order_with_their_keys():
    a, b = Traced(), Traced()
    obj = made(path="r", second=b, first=a)
    obj.field_dict()[3] = c = Traced()
    obj.sym_setpath(P("s"))
    assert [c_[2] for c_ in calls("sym_setpath")] == [P("s.second"), P("s.first"), P("s[3]")]
    assert c.sym_path == P("s[3]")


def test_a_nested_object_is_repathed_natively_all_the_way_down():
    leaf = Traced()
    inner = made(path="a.mid", leaf=leaf)
    outer = made(path="a", mid=inner)
    outer.sym_setpath(P("z"))
    assert inner.sym_path == P("z.mid") and leaf.sym_path == P("z.mid.leaf")


def test_an_overridden_path_hook_sees_the_new_path_after_the_children():
    child = Traced()
    obj = made(PathHooked, c=child)
    obj.sym_setpath(P("b"))
    assert calls("hooked path") == [("hooked path", P("b"), [P("b.c")], P("a"), P("b"))]


def test_an_overridden_children_walk_is_all_that_runs():
    child = Traced()
    obj = made(ChildrenHooked, c=child)
    obj.sym_setpath(P("b"))
    assert calls() == [("hooked children", P("a"), P("b"))]
    assert child.sym_path == KeyPath() and obj.sym_path == P("b")


def test_the_base_class_path_hook_is_not_called():
    made(Obj).sym_setpath(P("b"))
    assert calls("on_sym_path_change") == []


def test_none_stores_no_path_then_fails_the_assertion():
    obj = made()
    with pytest.raises(AssertionError) as info:
        obj.sym_setpath(None)
    assert info.value.args == ()
    assert obj.sym_path is None


def test_a_path_that_is_not_a_keypath_is_stored_then_refused():
    obj = made(c=Traced())
    with pytest.raises(AssertionError):
        obj.sym_setpath("b.c")
    assert obj.sym_path == "b.c" and calls("sym_setpath") == []


def test_a_foreign_path_is_compared_with_python_equality():
    class Text(str):
        pass

    obj = made()
    obj._sym_path = Text("a")
    obj.sym_setpath("a")  # equal by `!=`: unchanged
    assert type(obj.sym_path) is Text


def test_a_blank_object_is_refused_before_anything_changes():
    obj = Obj.__new__(Obj)
    with pytest.raises(ValueError, match=r"^Obj\.__init__ should call `super\(\)\.__init__`\.$"):
        obj.sym_setpath(P("b"))
    assert obj.field_dict() is None and calls() == []


def test_an_object_with_a_path_but_no_fields_hands_its_children_to_the_host():
    obj = Obj.__new__(Obj)
    obj._sym_path = P("a")
    obj.sym_setpath(P("b"))
    assert calls("_update_children_paths") == [("_update_children_paths", obj, P("a"), P("b"))]


def test_a_child_error_propagates_after_earlier_children_moved():
    class Refusing(Traced):
        def sym_setpath(self, path):
            raise LookupError("refused")

    first, second = Traced(), Refusing()
    obj = made(first=first, second=second)
    with pytest.raises(LookupError, match="refused"):
        obj.sym_setpath(P("b"))
    assert obj.sym_path == P("b") and first.sym_path == P("b.first")


def test_a_field_dict_that_changes_size_meanwhile_is_an_internal_fault():
    class Growing(Traced):
        def sym_setpath(self, path):
            obj.field_dict()["new"] = 1

    obj = made(a=Growing(), b=Traced())
    with pytest.raises(norv_core.PanicException, match="^dictionary changed size during iteration$"):
        obj.sym_setpath(P("b"))


def test_a_deep_tree_ends_in_recursion_error_and_stays_usable():
    root = node = made(path="r")
    for _ in range(20_000):
        child = made(path=None)
        node.field_dict()["c"] = child
        node = child
    with pytest.raises(RecursionError):
        root.sym_setpath(P("s"))
    made().sym_setpath(P("b"))


def test_sym_false_refuses_a_path_even_an_equal_one():
    obj = made(Plain)
    for path in (P("b"), P("a")):
        with pytest.raises(ho.SymbolicModeError) as info:
            obj.sym_setpath(path)
        assert str(info.value) == sym_false_message("sym_setpath")
    assert obj.sym_path == P("a")


def test_a_metadata_error_comes_first():
    class Broken(HostObject):
        pass

    obj = made(Broken)
    Broken.__sym_options__ = ho.SymOptions(sym=1)
    Broken._on_schema_update()  # the next native use builds the metadata again
    with pytest.raises(TypeError, match="is not an instance of 'bool'"):
        obj.sym_setpath(P("b"))
    with pytest.raises(TypeError, match="is not an instance of 'bool'"):
        obj.sym_setparent(None)
    assert obj.sym_path == P("a") and obj.sym_parent is None


# ---------------------------------------------------------------- sym_setparent


def test_set_parent_stores_and_the_base_hook_is_not_called():
    obj, parent = made(), object()
    assert obj.sym_setparent(parent) is None
    assert obj.sym_parent is parent
    obj.sym_setparent(None)
    assert obj.sym_parent is None
    assert calls() == []


def test_an_overridden_parent_hook_runs_only_for_a_change():
    obj, q = made(ParentHooked), made()
    obj.sym_setparent(q)
    obj.sym_setparent(q)
    obj.sym_setparent(None)
    assert calls() == [("hooked parent", q, None, q), ("hooked parent", None, q, None)]


def test_set_parent_needs_no_construction():
    obj, parent = Obj.__new__(Obj), object()
    obj.sym_setparent(parent)
    obj._sym_path = P("a")  # readable now
    assert obj._sym_parent is parent


def test_set_parent_does_not_touch_the_children():
    child = Traced()
    made(c=child).sym_setparent(made())
    assert calls() == [] and child.sym_parent is None


def test_sym_false_refuses_a_parent():
    obj = made(Plain)
    with pytest.raises(ho.SymbolicModeError) as info:
        obj.sym_setparent(made())
    assert str(info.value) == sym_false_message("sym_setparent")
    assert obj.sym_parent is None


def test_set_parent_releases_the_old_parent_after_its_access():
    obj, seen = made(), []

    class Finalized:
        def __del__(self):
            seen.append(obj.sym_parent)

    obj.sym_setparent(Finalized())
    obj.sym_setparent("next")
    assert seen == ["next"]


def test_signatures_and_binding():
    obj = made()
    with pytest.raises(TypeError, match=r"sym_setpath\(\) missing 1 required positional argument: 'path'"):
        obj.sym_setpath()
    with pytest.raises(TypeError, match=r"sym_setparent\(\) takes 2 positional arguments but 3 were given"):
        obj.sym_setparent(1, 2)
    obj.sym_setpath(path=P("k"))
    obj.sym_setparent(parent=None)
    assert obj.sym_path == P("k")


# ---------------------------------------------------------------- facts


def test_topology_facts_come_from_the_class_metadata():
    assert probe.topo_facts_of(made()) == (True, False, False, False)
    assert probe.topo_facts_of(made(Plain)) == (False, False, False, False)
    assert probe.topo_facts_of(made(ParentHooked)) == (True, True, False, False)
    assert probe.topo_facts_of(made(ChildrenHooked)) == (True, False, True, True)
    assert probe.topo_facts_of(made(PathHooked)) == (True, False, False, True)
    assert probe.topo_facts_of(hs.HostDict()) is None


# ---------------------------------------------------------------- adoption's parent walk


def test_the_cycle_walk_reads_an_object_parent_in_place():
    # A blank object in the chain has no readable `sym_parent` through Python.
    top, blank = hs.HostDict(), Obj.__new__(Obj)
    blank._sym_parent = top
    owner = hs.HostDict()
    owner._sym_parent = blank
    with pytest.raises(ValueError, match="would create a cycle"):
        probe.guard_no_cycle(owner, top, P("x"))
    probe.guard_no_cycle(owner, hs.HostDict(), P("x"))


# ---------------------------------------------------------------- sym_setorigin

Origin = hs.Origin
ORIGIN_CLASH = "Cannot set the origin with a different source value. Origin source: {}, New source: {}."


def test_an_origin_is_recorded_one_frame_up():
    obj, source = made(), object()
    assert obj.sym_setorigin(source, "tag") is None
    assert obj._sym_origin == Origin(source, "tag", None, None, -2)
    obj.sym_setorigin(source, "again", "trace", 3, stacktop=5)
    assert obj._sym_origin == Origin(source, "again", "trace", 3, 4)
    obj.sym_setorigin(source, "t", None, None, 0)  # None is the same as omitted
    assert obj._sym_origin == Origin(source, "t", None, None, -1)


def test_another_source_is_refused_and_the_origin_kept():
    obj = made()
    obj.sym_setorigin("first", "t")
    before = obj._sym_origin
    with pytest.raises(ValueError) as info:
        obj.sym_setorigin("second", "t")
    assert str(info.value) == ORIGIN_CLASH.format("'first'", "'second'")
    assert obj._sym_origin is before


def test_an_origin_without_source_accepts_any():
    obj = made()
    obj.sym_setorigin(None, "t")
    obj.sym_setorigin("s", "u")
    assert obj._sym_origin == Origin("s", "u", None, None, -2)


def test_an_equal_but_distinct_source_is_another_source():
    obj = made()
    obj.sym_setorigin([1], "t")
    with pytest.raises(ValueError, match=r"Origin source: \[1\], New source: \[1\]\.$"):
        obj.sym_setorigin([1], "t")


def test_a_foreign_origin_is_asked_for_its_source():
    class Recorded:
        source = "kept"

    obj = made()
    obj._sym_origin = Recorded()
    with pytest.raises(ValueError, match="Origin source: 'kept'"):
        obj.sym_setorigin("other", "t")
    obj._sym_origin = object()  # no `source`
    with pytest.raises(AttributeError, match="source"):
        obj.sym_setorigin("other", "t")


@pytest.mark.parametrize("stacktop, recorded", [(-(2**63), 2**63 - 1), (2**63 - 1, 2**63 - 2), (-1, -2)])
def test_stacktop_wraps_around_in_64_bits(stacktop, recorded):
    obj = made()
    obj.sym_setorigin("s", "t", stacktop=stacktop)
    assert obj._sym_origin.stacktop == recorded


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (("s", "t"), {"stacktop": 2**63}, OverflowError, None),
        (("s", "t"), {"stacktop": "1"}, TypeError, r"^argument 'stacktop': "),
        (("s",), {}, TypeError, r"missing 1 required positional argument: 'tag'"),
        (("s", "t"), {"unknown": 1}, TypeError, "unexpected keyword argument 'unknown'"),
    ],
)
def test_origin_argument_errors_change_nothing(args, kwargs, error, message):
    obj = made()
    with pytest.raises(error, match=message):
        obj.sym_setorigin(*args, **kwargs)
    assert obj._sym_origin is None


def test_an_origin_needs_construction_but_not_symbolic_mode():
    obj = Obj.__new__(Obj)
    with pytest.raises(ValueError, match="should call `super"):
        obj.sym_setorigin("s", "t")
    plain = made(Plain)
    plain.sym_setorigin("s", "t")
    assert plain._sym_origin == Origin("s", "t", None, None, -2)


def test_an_origin_class_error_propagates_and_keeps_the_old_origin(monkeypatch):
    obj = made()
    obj.sym_setorigin("s", "t")
    before = obj._sym_origin

    def refuse(self, *args):
        raise LookupError(args)

    monkeypatch.setattr(Origin, "__init__", refuse)
    with pytest.raises(LookupError) as info:
        obj.sym_setorigin("s", "u", stacktop=10)
    assert info.value.args == (("s", "u", None, None, 9),)
    assert obj._sym_origin is before


def test_an_origin_needs_the_object_bridge(run_py):
    out = run_py(
        """
        import norv_host.objects as ho  # the classes, no bridge installed
        from norv_core import _native as n, PanicException

        obj = n.SymObject.__new__(n.SymObject)
        # plain assignment would ask the class's metadata; the property itself needs nothing
        object.__setattr__(obj, "_sym_path", "p")
        try:
            obj.sym_setorigin("s", "t")
        except PanicException as e:
            print(e)
        """
    )
    assert out.strip() == "object bridge not installed"


# ---------------------------------------------------------------- set_accessor_writable


def test_accessor_writability_is_set_and_answers_the_object():
    obj = made()
    assert obj.set_accessor_writable(False) is obj and obj._accessor_writable is False
    assert obj.set_accessor_writable() is obj and obj._accessor_writable is True
    obj.set_accessor_writable(writable=False)
    assert obj._accessor_writable is False


def test_accessor_writability_needs_neither_construction_nor_symbolic_mode():
    obj = Obj.__new__(Obj)
    obj.set_accessor_writable(False)
    assert n._probe_node_get(obj, 4) is False
    made(Plain).set_accessor_writable(False)


def test_accessor_writability_takes_only_a_bool():
    obj = made()
    with pytest.raises(TypeError, match=r"^argument 'writable': 'int' object is not an instance of 'bool'$"):
        obj.set_accessor_writable(0)
    assert obj._accessor_writable is True
    assert calls() == []


# ---------------------------------------------------------------- the module functions


def test_the_module_functions_run_the_same_operations_on_an_object():
    obj, parent = made(ParentHooked), made()
    assert n._topo_setparent(obj, parent) is None
    assert n._topo_setpath(obj, P("z")) is None
    assert n._topo_setorigin(obj, "s", "t", stacktop=3) is None
    assert n._topo_set_accessor_writable(obj, False) is None
    assert obj.sym_parent is parent and obj.sym_path == P("z") and obj._accessor_writable is False
    assert obj._sym_origin == Origin("s", "t", None, None, 2)
    assert calls("hooked parent") == [("hooked parent", parent, None, parent)]
    n._topo_setparent(obj)
    assert obj.sym_parent is None
    with pytest.raises(AssertionError):
        n._topo_setpath(obj)
    assert obj.sym_path is None


@pytest.mark.parametrize(
    "call",
    [
        lambda: n._topo_setorigin(5, "s", "t"),
        lambda: n._topo_set_accessor_writable(5),
        lambda: n._topo_set_accessor_writable("a", False),
    ],
)
def test_the_module_functions_refuse_what_has_no_node_state(call):
    with pytest.raises(TypeError, match=r"^node-state ABI: `inst` is neither a SymObject nor an inline-slot record$"):
        call()


@pytest.mark.parametrize("call", [lambda: n._topo_setpath(5, None), lambda: n._topo_setparent(5, None)])
def test_path_and_parent_ask_a_foreign_instance_for_its_symbolic_mode(call):
    with pytest.raises(AttributeError, match="_require_sym_mode"):
        call()


def test_module_function_signatures():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'inst'"):
        n._topo_seal()
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'source' and 'tag'"):
        n._topo_setorigin(made())
    with pytest.raises(TypeError, match=r"^argument 'writable': "):
        n._topo_set_accessor_writable(made(), 1)
    obj = made()
    n._topo_setpath(inst=obj, path=P("k"))
    assert obj.sym_path == P("k")


# ---------------------------------------------------------------- records


def record_hooked_parent(rec, old, new):
    ho.calls.append(("record parent hook", rec, old, new))


Rec = hr.record_class("Rec", {"x": int, "child": dict})
HookedRec = hr.record_class("HookedRec", {"x": int}, namespace={"on_sym_parent_change": record_hooked_parent})
PlainRec = hr.record_class("PlainRec", {"x": int}, sym=False)


def record(cls=Rec, path="r"):
    """A record whose first field is written (so it counts as constructed) at `path`."""
    rec = cls.__new__(cls)
    rec.x = 1
    n._slot_node_set(rec, 1, P(path))
    return rec


def test_a_record_path_is_stored_and_handed_to_its_own_children_walk():
    rec = record()
    rec.sym_setpath(P("s"))
    assert n._slot_node_get(rec, 1) == P("s")
    assert calls() == [
        ("record _update_children_paths", rec, P("r"), P("s")),
        ("on_sym_path_change", rec, P("r"), P("s")),
    ]


def test_an_unchanged_record_path_does_nothing():
    rec = record()
    before = n._slot_node_get(rec, 1)
    n._topo_setpath(rec, P("r"))
    assert n._slot_node_get(rec, 1) is before and calls() == []


def test_a_blank_record_path_is_refused():
    rec = Rec.__new__(Rec)
    with pytest.raises(ValueError, match=r"^Rec\.__init__ should call `super\(\)\.__init__`\.$"):
        n._topo_setpath(rec, P("s"))
    assert n._slot_node_get(rec, 1) is None


def test_a_record_parent_runs_only_an_overridden_hook_and_needs_no_construction():
    rec, hooked, q = Rec.__new__(Rec), HookedRec.__new__(HookedRec), object()
    rec.sym_setparent(q)
    assert n._slot_node_get(rec, 0) is q and calls() == []
    hooked.sym_setparent(q)
    hooked.sym_setparent(q)
    hooked.sym_setparent(None)
    assert calls() == [("record parent hook", hooked, None, q), ("record parent hook", hooked, q, None)]
    assert n._slot_node_get(hooked, 0) is None


def test_a_sym_false_record_refuses_path_and_parent_through_its_own_check():
    rec = record(PlainRec)
    for call in (lambda: rec.sym_setpath(P("s")), lambda: rec.sym_setparent(object())):
        with pytest.raises(ho.SymbolicModeError, match="requires a symbolic tree, but PlainRec"):
            call()
    assert n._slot_node_get(rec, 1) == P("r") and n._slot_node_get(rec, 0) is None


def test_a_record_origin_and_accessor_writability():
    rec = record(PlainRec)
    rec.sym_setorigin("s", "t")
    assert n._slot_node_get(rec, 5) == Origin("s", "t", None, None, -2)
    with pytest.raises(ValueError, match="different source"):
        rec.sym_setorigin("u", "t")
    assert n._topo_set_accessor_writable(rec, False) is None
    assert n._slot_node_get(rec, 4) is False
    assert rec.set_accessor_writable() is rec and n._slot_node_get(rec, 4) is True
    with pytest.raises(ValueError, match="should call `super"):
        n._topo_setorigin(PlainRec.__new__(PlainRec), "s", "t")
