"""Topology and sealing of SymDict: parents, paths (re-pathing children in
schema order), seals, origins and accessor-writability."""

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from traced import AwareOnly, Opaque, Traced, Unreadable, clean_host  # noqa: F401
from traced import recorded as calls

norv_host.install()
HostDict, KeyPath, Field = hs.HostDict, n.KeyPath, n.Field
P = KeyPath.parse

pytestmark = pytest.mark.usefixtures("clean_host")


def tree(path="r", **children):
    """A dict holding `children` (stored with dict.__setitem__), each adopted."""
    d = HostDict()
    d._sym_path = P(path) if path else None
    for key, child in children.items():
        dict.__setitem__(d, key, d._relocate_if_symbolic(key, child))
    hs.clear()
    return d


# ---------------------------------------------------------------- sym_setparent


def test_a_plain_dict_keeps_its_parent_to_itself():
    c = Traced()
    d, parent = tree(c=c), HostDict()
    assert d.sym_setparent(parent) is None
    assert d.sym_parent is parent and c.sym_parent is d and calls("sym_setparent") == []


def test_an_attributes_container_passes_its_parent_to_children_in_the_tree():
    in_tree, opaque, unreadable, aware = Traced(), Opaque(), Unreadable(), AwareOnly()
    d = tree(a=in_tree, o=opaque, u=unreadable)
    dict.__setitem__(d, "h", aware)
    dict.__setitem__(d, "s", 1)
    d._as_object_attributes_container = True
    obj = HostDict()
    d.sym_setparent(obj)
    assert calls("sym_setparent") == [(in_tree, obj), (unreadable, obj)]
    assert aware.calls == [("sym_setparent", obj)]
    hs.clear()
    d.sym_setparent(None)
    assert calls("sym_setparent") == [(in_tree, None), (unreadable, None)] and d.sym_parent is None


def test_sym_setparent_signature_errors():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'parent'"):
        HostDict().sym_setparent()


# ---------------------------------------------------------------- sym_setpath


def test_an_equal_path_changes_nothing():
    c = Traced()
    d = tree(c=c)
    d.sym_setpath(P("r"))
    assert calls("sym_setpath") == [] and d.sym_path == P("r")
    blank = HostDict.__new__(HostDict)
    blank.sym_setpath(None)
    assert blank.sym_path is None


def test_a_new_path_repaths_every_descendant():
    grandchild = Traced()
    child = Traced()
    d = tree(c=child)
    dict.__setitem__(child, "g", child._relocate_if_symbolic("g", grandchild))
    hs.clear()
    d.sym_setpath(P("x.y"))
    assert calls("sym_setpath") == [(child, P("x.y.c")), (grandchild, P("x.y.c.g"))]
    assert (d.sym_path, child.sym_path, grandchild.sym_path) == (P("x.y"), P("x.y.c"), P("x.y.c.g"))


def schema_b_a():
    return n.Schema([Field("b", n.Any()), Field("a", n.Any()), Field(n.StrKey(), n.Any())], allow_nonconst_keys=True)


@pytest.mark.parametrize("bound, order", [(False, ["a", "x", "b"]), (True, ["b", "a", "x"])])
def test_children_are_repathed_in_schema_order(bound, order):
    kids = {k: Traced() for k in ("a", "x", "b")}
    d = tree(**kids)
    if bound:
        d._value_spec = n.Dict(schema_b_a())
    d.sym_setpath(P("q"))
    assert [(c, p) for c, p in calls("sym_setpath")] == [(kids[k], P(f"q.{k}")) for k in order]


def test_children_out_of_the_tree_are_left_alone():
    opaque, unreadable, aware = Opaque(), Unreadable(), AwareOnly()
    d = tree(o=opaque, u=unreadable)
    dict.__setitem__(d, "h", aware)
    dict.__setitem__(d, "s", "scalar")
    d.sym_setpath(P("z"))
    assert calls("sym_setpath") == [(unreadable, P("z.u"))]
    assert aware.calls == [("sym_setpath", P("z.h"))]
    assert opaque.sym_path == P("r.o")


def test_none_stores_no_path_then_fails_the_assertion():
    c = Traced()
    d = tree(c=c)
    with pytest.raises(AssertionError) as info:
        d.sym_setpath(None)
    assert info.value.args == () and d.sym_path is None and calls("sym_setpath") == []


def test_a_path_that_is_not_a_keypath_is_stored_then_refused():
    d = tree(c=Traced())
    with pytest.raises(AssertionError):
        d.sym_setpath("x.y")
    assert d.sym_path == "x.y" and calls("sym_setpath") == []


def test_sym_setpath_bypasses_a_host_override_of_the_children_walk():
    class Overriding(HostDict):
        def _update_children_paths(self, old, new):
            raise AssertionError("not consulted")

    c = Traced()
    d = Overriding()
    dict.__setitem__(d, "c", d._relocate_if_symbolic("c", c))
    d.sym_setpath(P("n"))
    assert c.sym_path == P("n.c")


def test_update_children_paths_checks_the_path_even_outside_symbolic_mode():
    d = tree(c=Traced())
    assert d._update_children_paths(None, P("w")) is None
    assert calls("sym_setpath")[0][1] == P("w.c") and d.sym_path == P("r")  # its own path is not set
    with pytest.raises(AssertionError):
        d._update_children_paths(None, "w")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'new_path'"):
        d._update_children_paths(P("a"))


def test_a_child_path_error_propagates_after_earlier_children_moved():
    class Refusing(Traced):
        def sym_setpath(self, path):
            raise ValueError("refused")

    first, second = Traced(), Refusing()
    d = tree(a=first)
    dict.__setitem__(d, "b", second)
    with pytest.raises(ValueError, match="refused"):
        d.sym_setpath(P("m"))
    assert d.sym_path == P("m") and first.sym_path == P("m.a")


def test_a_deep_tree_ends_in_recursion_error_and_stays_usable():
    top = node = HostDict()
    top._sym_path = KeyPath()
    for _ in range(100_000):
        child = HostDict()
        dict.__setitem__(node, "c", child)
        child._sym_parent, child._sym_path = node, KeyPath()
        node = child
    with pytest.raises(RecursionError):
        top.sym_setpath(P("deep"))
    top.sym_setpath(P("deep"))  # the path is already stored: nothing to do
    assert top.sym_path == P("deep")


# ---------------------------------------------------------------- sym_seal


def test_children_are_sealed_first_and_a_second_seal_does_nothing():
    a, b = Traced(), Traced()
    d = tree(a=a, b=b)
    dict.__setitem__(d, "s", 1)
    assert d.sym_seal() is d
    # Each child saw the dict still unsealed.
    assert calls("sym_seal") == [(a, True, False), (b, True, False)]
    assert d._sealed and a._sealed and b._sealed
    hs.clear()
    assert d.sym_seal(True) is d and calls("sym_seal") == []


def test_already_sealed_children_are_sealed_again_and_unsealing_mirrors_sealing():
    a = Traced()
    d = tree(a=a)
    a._sealed = True
    d.sym_seal()
    assert calls("sym_seal") == [(a, True, False)]
    hs.clear()
    assert d.sym_seal(False) is d
    assert calls("sym_seal") == [(a, False, True)] and not d._sealed and not a._sealed


def test_only_symbolic_children_are_sealed():
    aware, opaque = AwareOnly(), Opaque()
    d = tree(o=opaque)
    dict.__setitem__(d, "h", aware)
    dict.__setitem__(d, "n", n.SymDict())  # not symbolic: no sym_clone
    d.sym_seal()
    assert aware.calls == [] and calls("sym_seal") == [(opaque, True, False)]


def test_a_later_child_stays_unsealed():
    d = tree()
    d.sym_seal()
    late = HostDict()
    dict.__setitem__(d, "late", late)
    d.sym_seal()
    assert not late._sealed


def test_a_failed_child_seal_leaves_the_dict_unsealed():
    class Refusing(HostDict):
        def sym_seal(self, is_seal=True):
            raise ValueError("no seal")

    d = tree(a=Refusing())
    with pytest.raises(ValueError, match="no seal"):
        d.sym_seal()
    assert not d._sealed


@pytest.mark.parametrize("bad", [1, None, "yes"])
def test_seal_takes_only_a_bool(bad):
    with pytest.raises(TypeError, match="^argument 'is_seal': "):
        HostDict().sym_seal(bad)


# ---------------------------------------------------------------- origins


def test_origin_records_stacktop_less_one():
    d, src = HostDict(), object()
    assert d.sym_setorigin(src, "tag") is None
    assert d._sym_origin == hs.Origin(src, "tag", None, None, -2)
    d.sym_setorigin(src, "again", "trace", 3, stacktop=5)
    assert d._sym_origin == hs.Origin(src, "again", "trace", 3, 4)
    d.sym_setorigin(src, "t", stacktrace=None, stacklimit=None)
    assert d._sym_origin == hs.Origin(src, "t", None, None, -2)


@pytest.mark.parametrize(
    "stacktop, recorded",
    [(-(2**63), 2**63 - 1), (2**63 - 1, 2**63 - 2), (0, -1), (True, 0)],
)
def test_stacktop_wraps_around_at_the_bottom_of_the_range(stacktop, recorded):
    d = HostDict()
    d.sym_setorigin("s", "t", stacktop=stacktop)
    assert d._sym_origin.stacktop == recorded


@pytest.mark.parametrize(
    "stacktop, exc, text",
    [
        (None, TypeError, "^argument 'stacktop': "),
        (1.5, TypeError, "^argument 'stacktop': "),
        (2**63, OverflowError, "too big"),
    ],
)
def test_stacktop_conversion_errors_record_nothing(stacktop, exc, text):
    d = HostDict()
    with pytest.raises(exc, match=text):
        d.sym_setorigin("s", "t", stacktop=stacktop)
    assert d._sym_origin is None


def test_a_different_source_is_refused_and_changes_nothing():
    d, first = HostDict(), ["first"]
    d.sym_setorigin(first, "tag")
    recorded = d._sym_origin
    with pytest.raises(ValueError) as info:
        d.sym_setorigin(["first"], "tag")  # equal, but another object
    assert str(info.value) == (
        "Cannot set the origin with a different source value. Origin source: ['first'], New source: ['first']."
    )
    assert d._sym_origin is recorded
    d.sym_setorigin(first, "other")  # the same object replaces it
    assert d._sym_origin.tag == "other"


def test_a_recorded_source_of_none_accepts_any_source():
    d = HostDict()
    d._sym_origin = hs.Origin(None, "__init__")
    d.sym_setorigin("anything", "tag")
    assert d._sym_origin.source == "anything"


def test_an_origin_without_source_fails_the_call():
    d = HostDict()
    d._sym_origin = object()
    with pytest.raises(AttributeError, match="source"):
        d.sym_setorigin("s", "t")


# ---------------------------------------------------------------- the rest


def test_set_accessor_writable():
    c = Traced()
    d = tree(c=c)
    d._sealed = True
    assert d.set_accessor_writable(False) is d and d._accessor_writable is False
    assert d._sealed is True and c._accessor_writable is True
    assert d.set_accessor_writable() is d and d._accessor_writable is True
    with pytest.raises(TypeError, match="^argument 'writable': 'int' object is not an instance of 'bool'$"):
        d.set_accessor_writable(1)


def test_parent_for_children():
    d = HostDict()
    assert d._sym_parent_for_children() is d
    d._as_object_attributes_container = True
    assert d._sym_parent_for_children() is None
    obj = HostDict()
    d._sym_parent = obj
    assert d._sym_parent_for_children() is obj is d.sym_parent


def test_a_sealed_dict_accepts_every_topology_operation_whatever_the_scopes():
    n._flag_scope_set(n._FLAG_SEALED, True)
    n._flag_scope_set(n._FLAG_ACCESSOR_WRITABLE, False)
    d = HostDict()
    d.sym_seal()
    d.set_accessor_writable(False)
    parent = HostDict()
    d.sym_setparent(parent)
    d.sym_setpath(P("s"))
    d.sym_setorigin("src", "tag")
    d.set_accessor_writable(True)
    assert (d.sym_parent, d.sym_path, d._accessor_writable) == (parent, P("s"), True)
    assert d.sym_seal(False) is d and not d._sealed


def test_native_operations_fault_on_a_held_child():
    child = HostDict()
    d = tree(c=child)
    with pytest.raises(norv_core.PanicException, match="^Already"):
        n._testing.holding(child, True, lambda: d.sym_setpath(P("x")))
