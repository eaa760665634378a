"""Child adoption: path and parent given to adopted children, clones of values
owned elsewhere, the cycle refusal, and the dict's relocation seam."""

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from traced import AwareOnly, Traced

norv_host.install()
probe = n._testing
HostDict, KeyPath = hs.HostDict, n.KeyPath
P = KeyPath.parse

CYCLE = (
    "Inserting 'HostDict' at path '{}' would create a cycle: the target container belongs to the "
    "inserted value's own symbolic tree."
)


def tree_calls():
    return [c for c in hs.calls if c[0] in ("sym_setpath", "sym_setparent", "sym_clone")]


@pytest.fixture(autouse=True)
def clean_calls():
    hs.clear()
    yield
    hs.clear()


def root(path="r", cls=HostDict):
    d = cls()
    d._sym_path = KeyPath(path) if path is not None else None
    return d


def child_of(parent, key, cls=HostDict):
    """A child stored under `key`, adopted by `parent`."""
    c = cls()
    dict.__setitem__(parent, key, parent._relocate_if_symbolic(key, c))
    return c


# ---------------------------------------------------------------- the four branches


def test_free_value_is_adopted_in_place():
    r, v = root(), Traced()
    out = r._relocate_if_symbolic("a", v)
    assert out is v and v.sym_parent is r and v.sym_path == KeyPath("a", KeyPath("r"))
    assert tree_calls() == [("sym_setpath", v, P("r.a")), ("sym_setparent", v, r)]


def test_value_owned_elsewhere_is_cloned_and_the_original_kept():
    first, second = root("x"), root("y")
    c = child_of(first, "a", Traced)
    dict.__setitem__(c, "k", 1)
    hs.clear()
    out = second._relocate_if_symbolic("b", c)
    assert out is not c and type(out) is Traced and dict(out) == {"k": 1}
    assert out.sym_parent is second and out.sym_path == P("y.b")
    assert c.sym_parent is first and c.sym_path == P("x.a")
    assert [call[0] for call in tree_calls()] == ["sym_clone", "sym_setpath", "sym_setparent"]


def test_same_owner_same_path_is_repathed_in_place():
    r = root()
    c = child_of(r, "a", Traced)
    hs.clear()
    assert r._relocate_if_symbolic("a", c) is c
    assert tree_calls() == [("sym_setpath", c, P("r.a")), ("sym_setparent", c, r)]


def test_same_owner_other_key_is_cloned():
    r = root()
    c = child_of(r, "a")
    out = r._relocate_if_symbolic("b", c)
    assert out is not c and out.sym_path == P("r.b") and c.sym_path == P("r.a")


class HostPath:
    """A host key path: compared with a native path by Python's `!=`."""

    def __init__(self, text):
        self.text = text

    def __ne__(self, other):
        hs.calls.append(("!=", self.text, str(other)))
        return self.text != str(other)


@pytest.mark.parametrize("text, same", [("r.a", True), ("r.b", False)])
def test_a_host_path_is_compared_with_python_inequality(text, same):
    r = root()
    c = child_of(r, "a")
    c._sym_path = HostPath(text)
    hs.clear()
    out = r._relocate_if_symbolic("a", c)
    assert ("!=", text, "r.a") in hs.calls
    assert (out is c) == same
    # In place, `sym_setpath` finds the equal host path and keeps it.
    assert out.sym_path is c.sym_path if same else out.sym_path == P("r.a")


# ---------------------------------------------------------------- cycles


@pytest.mark.parametrize("depth", [0, 1, 3])
def test_inserting_a_root_into_its_own_tree_is_refused(depth):
    top = root(None)
    node = top
    for i in range(depth):
        node = child_of(node, f"k{i}")
    node_path = node.sym_path
    with pytest.raises(ValueError) as info:
        node._relocate_if_symbolic("loop", top)
    assert str(info.value) == CYCLE.format(KeyPath("loop", node_path))
    assert top.sym_parent is None and top.sym_path is None  # nothing changed


def test_a_container_with_a_parent_is_cloned_without_a_cycle_check():
    top = root()
    mid = child_of(top, "m")
    leaf = child_of(mid, "l")
    out = leaf._relocate_if_symbolic("up", mid)
    assert out is not mid and out.sym_parent is leaf


def test_a_parent_loop_made_by_host_code_is_reported_not_walked_forever():
    a, b, c = HostDict(), HostDict(), HostDict()
    a._sym_parent, b._sym_parent = b, a  # a loop that does not pass through c
    with pytest.raises(RuntimeError, match="parent loop") as info:
        a._relocate_if_symbolic("x", c)
    assert "'HostDict'" in str(info.value) and c.sym_parent is None


@pytest.mark.parametrize("length", [1, 2, 5, 64, 1000])
def test_long_parent_loops_are_found(length):
    nodes = [HostDict() for _ in range(length)]
    for i, node in enumerate(nodes):
        node._sym_parent = nodes[(i + 1) % length]
    with pytest.raises(RuntimeError, match="parent loop"):
        probe.guard_no_cycle(nodes[0], HostDict(), KeyPath("x"))


def test_a_loop_above_a_chain_is_found():
    top, a, b = HostDict(), HostDict(), HostDict()
    a._sym_parent, b._sym_parent = b, a
    top._sym_parent = a
    with pytest.raises(RuntimeError, match="parent loop"):
        probe.guard_no_cycle(top, HostDict(), KeyPath("x"))


class HostNode:
    """A host tree component that is not native: its parent read by `sym_parent`."""

    def __init__(self, parent=None):
        self.sym_parent = parent


def test_cycle_walk_reads_host_parents_through_python():
    value = HostDict()
    chain = HostNode(HostNode(value))
    with pytest.raises(ValueError, match="would create a cycle"):
        probe.guard_no_cycle(chain, value, KeyPath("x"))
    probe.guard_no_cycle(HostNode(HostNode()), value, KeyPath("x"))


def test_cycle_walk_propagates_a_parent_read_error():
    class Broken:
        @property
        def sym_parent(self):
            raise LookupError("parent")

    with pytest.raises(LookupError):
        probe.guard_no_cycle(Broken(), HostDict(), KeyPath("x"))


# ---------------------------------------------------------------- seen sets


def test_a_value_met_twice_in_one_bulk_operation_is_cloned_the_second_time():
    r, v, seen = root(), HostDict(), set()
    first = r._relocate_if_symbolic("a", v, seen)
    second = r._relocate_if_symbolic("b", v, seen)
    assert first is v and second is not v
    assert seen == {v} and second.sym_path == P("r.b") and second.sym_parent is r


def test_a_set_subclass_is_accepted_and_other_seen_values_refused():
    class Seen(set):
        pass

    r, v = root(), HostDict()
    assert r._relocate_if_symbolic("a", v, Seen()) is v
    with pytest.raises(TypeError, match="^argument 'seen': 'list' object is not an instance of 'set'$"):
        r._relocate_if_symbolic("a", HostDict(), [])
    with pytest.raises(TypeError, match="^argument 'seen': 'frozenset' object"):
        r._relocate_if_symbolic("a", HostDict(), frozenset())


class Unhashable(HostDict):
    __hash__ = None


def test_an_unhashable_free_value_fails_when_added_to_seen():
    r, v = root(), Unhashable()
    with pytest.raises(TypeError, match="unhashable"):
        r._relocate_if_symbolic("a", v, set())
    assert v.sym_parent is None and v.sym_path is hs.EMPTY_KEY_PATH
    assert r._relocate_if_symbolic("a", v) is v  # without a set it is adopted


def test_a_membership_test_that_fails_gravely_is_not_discarded():
    class Grave(HostDict):
        def __hash__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        root()._relocate_if_symbolic("a", Grave(), set())


# ---------------------------------------------------------------- host values


class SymbolicOnly:
    def __init__(self, parent=None):
        self.sym_parent, self.sym_mode, self.clones = parent, True, 0

    def sym_clone(self):
        self.clones += 1
        return SymbolicOnly()


def test_a_topology_aware_value_is_never_cloned_and_always_parented():
    v = AwareOnly()
    assert probe.relocate_if_symbolic("a", v, True, KeyPath("r"), HostNode(), None) is v
    assert v.calls == [("sym_setpath", P("r.a")), ("sym_setparent", None)]


def test_a_symbolic_value_without_sym_setpath_gets_no_path_or_parent():
    owner = HostNode()
    free = SymbolicOnly()
    assert probe.relocate_if_symbolic("a", free, True, KeyPath("r"), owner, owner) is free
    owned = SymbolicOnly(parent=object())
    out = probe.relocate_if_symbolic("a", owned, True, KeyPath("r"), owner, owner)
    assert out is not owned and owned.clones == 1 and out.sym_parent is None


class HostSym(AwareOnly):
    """A host symbolic value: not native, so its state is read through Python."""

    sym_parent = sym_path = None

    def __init__(self, mode=True):
        super().__init__()
        self.sym_mode = mode

    def sym_clone(self):
        return HostSym(self.sym_mode)


@pytest.mark.parametrize(
    "mode, outcome",
    [(False, "unchanged"), (True, "adopted"), (1, TypeError), (None, TypeError)],
)
def test_own_sym_mode_must_be_a_bool(mode, outcome):
    v = HostSym(mode)
    if isinstance(outcome, type):
        with pytest.raises(outcome, match="is not an instance of 'bool'"):
            root()._relocate_if_symbolic("a", v)
        assert v.calls == []
    else:
        assert root()._relocate_if_symbolic("a", v) is v
        assert bool(v.calls) == (outcome == "adopted")


def test_a_native_child_state_is_read_in_place():
    class Lying(HostDict):
        sym_parent = property(lambda self: None)  # the native state says otherwise

    first, second = root("x"), root("y")
    c = child_of(first, "a", Lying)
    assert probe.native_child_state(c) == (first, True, P("x.a"))
    assert second._relocate_if_symbolic("b", c) is not c  # owned elsewhere: cloned
    assert probe.native_child_state(42) is None


def test_an_objects_parent_is_read_through_sym_parent():
    from norv_host import objects as ho

    class Plain(ho.HostObject):
        x: int = 0

    class Claiming(Plain):
        sym_parent = property(lambda self: CLAIMED)  # its node holds no parent

    CLAIMED = root("elsewhere")
    free, claiming = Plain(), Claiming()
    assert root()._relocate_if_symbolic("a", free) is free  # free: adopted
    out = root()._relocate_if_symbolic("a", claiming)
    assert out is not claiming and type(out) is Claiming  # owned elsewhere, as it says: cloned
    blank = Plain.__new__(Plain)
    with pytest.raises(ValueError) as info:
        root()._relocate_if_symbolic("a", blank)
    assert str(info.value) == "Plain.__init__ should call `super().__init__`."  # the getter's own refusal


def test_disabled_adoption_consults_nothing():
    class Loud(type):
        def __getattr__(cls, name):
            raise AssertionError("looked up " + name)

    class Value(metaclass=Loud):
        pass

    v = Value()
    assert probe.relocate_if_symbolic("a", v, False, KeyPath("r"), object(), object()) is v
    with pytest.raises(AssertionError, match="looked up sym_clone"):
        probe.relocate_if_symbolic("a", v, True, KeyPath("r"), HostNode(), None)


@pytest.mark.parametrize("value", [1, "s", None, [1], {"a": 1}, (1,)])
def test_plain_values_are_stored_unchanged(value):
    assert root()._relocate_if_symbolic("a", value) is value


def test_an_error_after_the_path_leaves_the_path_given():
    class Refusing(HostDict):
        def sym_setparent(self, parent):
            raise ValueError("no parent")

    r, v = root(), Refusing()
    with pytest.raises(ValueError, match="no parent"):
        r._relocate_if_symbolic("a", v)
    assert v.sym_path == P("r.a") and v.sym_parent is None


# ---------------------------------------------------------------- the dict's context


def test_an_unattached_attributes_container_gives_a_path_but_no_parent():
    holder = root()
    holder._as_object_attributes_container = True
    v = Traced()
    assert holder._relocate_if_symbolic("a", v) is v
    assert tree_calls() == [("sym_setpath", v, P("r.a"))] and v.sym_parent is None


def test_an_attached_attributes_container_gives_its_parent():
    obj, holder = HostNode(), root()
    holder._as_object_attributes_container = True
    holder._sym_parent = obj
    v = HostDict()
    assert holder._relocate_if_symbolic("a", v) is v and v.sym_parent is obj


def test_a_child_of_the_object_offered_to_its_attributes_dict_is_cloned():
    # The dict is the owner, the object the children's parent: a child whose
    # parent is the object is owned elsewhere as far as the dict can tell.
    obj, holder = HostDict(), root()
    holder._as_object_attributes_container = True
    holder._sym_parent = obj
    c = holder._relocate_if_symbolic("a", HostDict())
    assert c.sym_parent is obj
    out = holder._relocate_if_symbolic("a", c)
    assert out is not c and out.sym_parent is obj


def test_a_dict_without_a_path_builds_root_child_paths():
    r = root(None)
    v = r._relocate_if_symbolic(3, HostDict())
    assert v.sym_path == KeyPath(3)


def test_adopting_a_deep_subtree_ends_in_recursion_error(run_py):
    out = run_py(
        """
        import norv_host
        from norv_core import _native as n
        from norv_host import symbolic as hs
        norv_host.install()
        top = node = hs.HostDict()
        for _ in range(100_000):
            child = hs.HostDict()
            dict.__setitem__(node, "c", child)
            child._sym_parent, child._sym_path = node, n.KeyPath()
            node = child
        host = hs.HostDict()
        host._sym_path = n.KeyPath("h")
        try:
            host._relocate_if_symbolic("t", top)
        except RecursionError:
            print("RecursionError", top.sym_parent is host)
        """
    )
    assert out.split() == ["RecursionError", "False"]
