"""Topology and sealing of SymList: parents (kept to itself), paths
(re-pathing elements by index), seals, origins and accessor-writability."""

import pytest

import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from traced import AwareOnly, Opaque, Traced, TracedList, Unreadable, blank, clean_host  # noqa: F401
from traced import recorded as calls

norv_host.install()
HostList, HostDict, KeyPath = hs.HostList, hs.HostDict, n.KeyPath
P = KeyPath.parse

pytestmark = pytest.mark.usefixtures("clean_host")


def tree(*elements, path="r", cls=HostList):
    """A list holding `elements` (stored with list.append), each adopted."""
    lst = blank(cls)
    lst._sym_path = P(path) if path is not None else None
    for element in elements:
        list.append(lst, lst._relocate_if_symbolic(len(lst), element))
    hs.clear()
    return lst


# ---------------------------------------------------------------- sym_setparent


def test_a_list_keeps_its_parent_to_itself():
    c = Traced()
    lst, parent = tree(c), blank(HostDict)
    assert lst.sym_setparent(parent) is None
    assert lst.sym_parent is parent and c.sym_parent is lst and calls("sym_setparent") == []
    lst.sym_setparent(None)
    assert lst.sym_parent is None and lst._sym_parent is None


# ---------------------------------------------------------------- sym_setpath


def test_an_equal_path_changes_nothing():
    c = Traced()
    lst = tree(c)
    lst.sym_setpath(P("r"))
    assert calls("sym_setpath") == [] and lst.sym_path == P("r")
    pathless = blank(HostList)
    pathless.sym_setpath(None)
    assert pathless.sym_path is None


def test_a_new_path_repaths_every_element_in_the_tree_by_index():
    a, b, aware, opaque, unreadable = Traced(), Traced(), AwareOnly(), Opaque(), Unreadable()
    lst = tree(a, 1, opaque, b, unreadable)
    list.append(lst, aware)
    list.append(lst, "s")
    lst.sym_setpath(P("x.y"))
    assert calls("sym_setpath") == [(a, P("x.y[0]")), (b, P("x.y[3]")), (unreadable, P("x.y[4]"))]
    assert aware.calls == [("sym_setpath", P("x.y[5]"))]
    assert opaque.sym_path == P("r[2]")
    # The key is the element's int index.
    assert a.sym_path.keys == ["x", "y", 0] and type(a.sym_path.key) is int


def test_a_dict_holding_a_list_repaths_through_it():
    inner = Traced()
    lst = tree(inner, cls=TracedList)
    d = blank(HostDict)
    d._sym_path = P("d")
    dict.__setitem__(d, "x", d._relocate_if_symbolic("x", lst))
    hs.clear()
    d.sym_setpath(P("p"))
    assert calls("sym_setpath") == [(lst, P("p.x")), (inner, P("p.x[0]"))]
    assert inner.sym_parent is lst


def test_none_stores_no_path_then_fails_the_assertion():
    c = Traced()
    lst = tree(c)
    with pytest.raises(AssertionError) as info:
        lst.sym_setpath(None)
    assert info.value.args == () and lst.sym_path is None and calls("sym_setpath") == []


def test_sym_setpath_bypasses_a_host_override_of_the_children_walk():
    class Overriding(HostList):
        def _update_children_paths(self, old, new):
            raise AssertionError("not consulted")

    c = Traced()
    lst = tree(c, cls=Overriding)
    lst.sym_setpath(P("n"))
    assert c.sym_path == P("n[0]")


def test_update_children_paths_checks_the_path_and_not_its_own():
    c = Traced()
    lst = tree(c)
    assert lst._update_children_paths(None, P("w")) is None
    assert calls("sym_setpath") == [(c, P("w[0]"))] and lst.sym_path == P("r")
    with pytest.raises(AssertionError):
        lst._update_children_paths(None, "w")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'new_path'"):
        lst._update_children_paths(P("a"))


def test_an_element_removed_during_the_walk_raises_index_error():
    holder = []

    class Shrinking(Traced):
        def sym_setpath(self, path):
            super().sym_setpath(path)
            if holder:  # not while the element is being adopted
                list.clear(holder[0])

    first = Shrinking()
    owner = tree(first, Traced())
    holder.append(owner)
    with pytest.raises(IndexError, match="list index out of range"):
        owner.sym_setpath(P("q"))
    assert owner.sym_path == P("q") and first.sym_path == P("q[0]")


def test_a_child_path_error_propagates_after_earlier_elements_moved():
    class Refusing(Traced):
        def sym_setpath(self, path):
            raise ValueError("refused")

    first = Traced()
    lst = tree(first)
    list.append(lst, Refusing())
    with pytest.raises(ValueError, match="refused"):
        lst.sym_setpath(P("m"))
    assert lst.sym_path == P("m") and first.sym_path == P("m[0]")


def test_a_deep_tree_ends_in_recursion_error_and_stays_usable():
    top = node = blank(HostList)
    top._sym_path = KeyPath()
    for _ in range(100_000):
        child = blank(HostList)
        list.append(node, child)
        child._sym_parent, child._sym_path = node, KeyPath()
        node = child
    with pytest.raises(RecursionError):
        top.sym_setpath(P("deep"))
    assert top.sym_path == P("deep")


# ---------------------------------------------------------------- sym_seal


def test_elements_are_sealed_first_and_a_second_seal_does_nothing():
    a, b = Traced(), TracedList()
    lst = tree(a, b)
    list.append(lst, 1)
    assert lst.sym_seal() is lst
    assert calls("sym_seal") == [(a, True, False), (b, True, False)]
    assert lst._sealed and a._sealed and b._sealed
    hs.clear()
    assert lst.sym_seal(True) is lst and calls("sym_seal") == []


def test_unsealing_mirrors_sealing_and_reaches_already_unsealed_elements():
    a, b = Traced(), Traced()
    lst = tree(a, b)
    lst._sealed = True
    a._sealed = True
    assert lst.sym_seal(False) is lst
    assert calls("sym_seal") == [(a, False, True), (b, False, True)]
    assert not lst._sealed and not a._sealed


def test_only_symbolic_elements_are_sealed():
    aware, opaque = AwareOnly(), Opaque()
    lst = tree(opaque)
    list.append(lst, aware)
    list.append(lst, blank(n.SymList))  # not symbolic: no sym_clone
    lst.sym_seal()
    assert aware.calls == [] and calls("sym_seal") == [(opaque, True, False)]


def test_a_failed_element_seal_leaves_the_list_unsealed():
    class Refusing(HostList):
        def sym_seal(self, is_seal=True):
            raise ValueError("no seal")

    lst = tree(Traced(), Refusing())
    with pytest.raises(ValueError, match="no seal"):
        lst.sym_seal()
    assert not lst._sealed and lst[0]._sealed


def test_an_element_removed_during_the_seal_raises_index_error():
    class Shrinking(Traced):
        def sym_seal(self, is_seal=True):
            list.clear(owner)
            return super().sym_seal(is_seal)

    owner = tree(Shrinking(), Traced())
    with pytest.raises(IndexError, match="list index out of range"):
        owner.sym_seal()
    assert not owner._sealed


@pytest.mark.parametrize("bad", [1, None, "yes"])
def test_seal_takes_only_a_bool(bad):
    with pytest.raises(TypeError, match="^argument 'is_seal': "):
        blank(HostList).sym_seal(bad)


# ---------------------------------------------------------------- origins and the rest


def test_origin_records_stacktop_less_one_and_refuses_another_source():
    lst, src = blank(HostList), object()
    assert lst.sym_setorigin(src, "tag") is None
    assert lst._sym_origin == hs.Origin(src, "tag", None, None, -2)
    lst.sym_setorigin(src, "again", stacktop=5)
    assert lst._sym_origin == hs.Origin(src, "again", None, None, 4)
    with pytest.raises(ValueError, match="^Cannot set the origin with a different source value"):
        lst.sym_setorigin(object(), "x")
    with pytest.raises(TypeError, match="^argument 'stacktop': "):
        lst.sym_setorigin(src, "x", stacktop=None)
    assert lst._sym_origin.tag == "again"


def test_set_accessor_writable():
    c = Traced()
    lst = tree(c)
    assert lst.set_accessor_writable(False) is lst and lst._accessor_writable is False
    assert c._accessor_writable is True and not lst._sealed
    assert lst.set_accessor_writable() is lst and lst._accessor_writable is True
    with pytest.raises(TypeError, match="^argument 'writable': 'int' object is not an instance of 'bool'$"):
        lst.set_accessor_writable(1)


def test_a_sealed_list_accepts_every_topology_operation_whatever_the_scopes():
    n._flag_scope_set(n._FLAG_SEALED, True)
    n._flag_scope_set(n._FLAG_ACCESSOR_WRITABLE, False)
    lst = blank(HostList)
    lst.sym_seal()
    lst.set_accessor_writable(False)
    parent = blank(HostDict)
    lst.sym_setparent(parent)
    lst.sym_setpath(P("s"))
    lst.sym_setorigin("src", "tag")
    lst.set_accessor_writable(True)
    assert (lst.sym_parent, lst.sym_path, lst._accessor_writable) == (parent, P("s"), True)
    assert lst.sym_seal(False) is lst and not lst._sealed
