"""The children of a construction: object children of classes that keep the
native tree methods are re-pathed and re-parented natively, anything else
goes through the containers' shared adoption; a child that belongs
elsewhere, or that an earlier field already took, is cloned."""

import typing

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import symbolic as hs

from traced import Traced

from host_calls import clean_records, recorded  # noqa: F401  (fixture)

norv_host.install()
HostObject, KeyPath = ho.HostObject, n.KeyPath
P = KeyPath.parse


pytestmark = pytest.mark.usefixtures("clean_records")


class Leaf(HostObject):
    v: int = 0
    items: list[int] = []


class Pair(HostObject):
    a: Leaf
    b: Leaf


class Loose(HostObject):
    """Fields the funnel takes whatever they hold."""

    p: typing.Any = None
    q: typing.Any = None


def test_a_free_child_is_taken_and_the_same_child_for_a_second_field_is_cloned():
    leaf = Leaf(v=1, items=[1])
    ho.clear()
    obj = Pair(a=leaf, b=leaf, root_path=P("r"))
    assert obj.a is leaf and obj.b is not leaf and type(obj.b) is Leaf
    assert [c for c in recorded("sym_clone") if isinstance(c[0], Leaf)] == [(leaf,)]
    assert leaf.sym_parent is obj and leaf.sym_path == P("r.a")
    assert obj.b.sym_parent is obj and obj.b.sym_path == P("r.b")
    # the children's own children follow
    assert leaf.items.sym_path == P("r.a.items") and obj.b.items.sym_path == P("r.b.items")


def test_a_child_of_another_parent_is_cloned_and_stays_where_it_was():
    leaf = Leaf(v=2)
    other = Pair(a=leaf, b=Leaf())
    ho.clear()
    obj = Pair(a=leaf, b=Leaf())
    assert obj.a is not leaf and obj.a.v == 2
    assert [c for c in recorded("sym_clone") if isinstance(c[0], Leaf)] == [(leaf,)]
    assert leaf.sym_parent is other and leaf.sym_path == P("a")


def test_a_child_already_in_place_is_kept():
    obj = Pair(a=Leaf(), b=Leaf())
    a = obj.a
    ho.clear()
    n.SymObject.__init__(obj, a=a, b=Leaf())
    assert obj.a is a and recorded("sym_clone") == [] and a.sym_parent is obj


def test_a_child_of_this_object_at_another_path_is_cloned():
    obj = Pair(a=Leaf(), b=Leaf())
    a = obj.a
    n.SymObject.__init__(obj, a=Leaf(), b=a)
    assert obj.b is not a and a.sym_path == P("a") and a.sym_parent is obj


def test_a_child_of_a_sym_false_class_is_held_by_reference():
    class Plain(HostObject, sym=False):
        v: int = 0

    class Holder(HostObject):
        p: Plain
        q: Plain

    plain = Plain()
    obj = Holder(p=plain, q=plain)
    assert obj.p is plain and obj.q is plain
    assert plain.sym_parent is None and plain.sym_path is hs.EMPTY_KEY_PATH


class Recording(Leaf):
    """Overrides the tree methods: adopted through their Python faces."""

    def sym_setpath(self, path):
        ho.calls.append(("setpath", self, path))
        return super().sym_setpath(path)

    def sym_setparent(self, parent):
        ho.calls.append(("setparent", self, parent))
        return super().sym_setparent(parent)


def test_a_child_whose_class_overrides_the_tree_methods_is_adopted_through_them():
    class Holder(HostObject):
        r: Recording

    child = Recording()
    ho.clear()
    obj = Holder(r=child)
    assert recorded("setpath") == [(child, P("r"))] and recorded("setparent") == [(child, obj)]
    assert child.sym_parent is obj


def test_the_native_route_calls_only_an_overridden_hook():
    class Hooked(Leaf):
        def on_sym_parent_change(self, old, new):
            ho.calls.append(("parent change", self, old, new))

        def on_sym_path_change(self, old, new):
            ho.calls.append(("path change", self, old, new))

    class Holder(HostObject):
        h: Hooked

    child = Hooked()
    ho.clear()
    obj = Holder(h=child)
    assert recorded("parent change") == [(child, None, obj)]
    assert recorded("path change") == [(child, hs.EMPTY_KEY_PATH, P("h"))]


def test_symbolic_containers_go_through_the_shared_adoption():
    # The same container for two fields: the second field gets a clone, as
    # an object child would (a container already parented to the object is
    # left alone only where it already sits).
    d = hs.HostDict({"k": 1})
    obj = Loose(p=d, q=d)
    assert obj.p is d and obj.q is not d and type(obj.q) is hs.HostDict
    assert d.sym_parent is obj and d.sym_path == P("p")
    assert obj.q.sym_parent is obj and obj.q.sym_path == P("q")


def test_a_container_this_object_already_parents_is_left_untouched_where_it_sits():
    obj = Loose(p=Traced({"k": 1}))
    d = obj.p
    hs.clear()
    n.SymObject.__init__(obj, p=d)
    assert obj.p is d and recorded("sym_setpath") == [] and recorded("sym_clone") == []
    # Under a new root it no longer sits at its place: it is cloned there.
    n.SymObject.__init__(obj, p=d, root_path=P("moved"))
    assert obj.p is not d and obj.p.sym_path == P("moved.p") and d.sym_path == P("p")


def test_plain_values_are_stored_as_they_are():
    value = [1, {"a": 2}]
    obj = Loose(p=value, q=5)
    assert obj.p is value and obj.q == 5


def test_a_sym_false_class_adopts_object_children_natively_but_no_containers():
    class Plain(HostObject, sym=False):
        leaf: Leaf
        p: hs.HostDict  # taken by the funnel as it is: the compiled fill stands

    leaf, d = Leaf(), hs.HostDict({"k": 1})
    obj = Plain(leaf=leaf, p=d, root_path=P("s"))
    assert obj.leaf is leaf and leaf.sym_parent is obj and leaf.sym_path == P("s.leaf")
    assert obj.p is d and d.sym_parent is None and d.sym_path is hs.EMPTY_KEY_PATH
    # Through the schema fill, a sym=False class adopts nothing.
    other = Leaf()
    obj = Plain(leaf=other, p=hs.HostDict({"k": 1}), sealed=False, allow_partial=True)
    assert other.sym_parent is None


def test_a_failed_adoption_leaves_earlier_children_with_their_new_parent():
    class Refusing(Leaf):
        def sym_clone(self, deep=False, memo=None, override=None):
            raise LookupError("no clone")

    class Holder(HostObject):
        a: Leaf
        r: Refusing

    owned = Refusing()
    Holder(a=Leaf(), r=owned)
    leaf = Leaf()
    obj = Holder.__new__(Holder)
    with pytest.raises(LookupError, match="no clone"):
        n.SymObject.__init__(obj, a=leaf, r=owned)
    assert obj.field_dict() is None and leaf.sym_parent is obj and leaf.sym_path == P("a")


def test_a_blank_child_is_refused_by_the_path_guard():
    leaf = Leaf.__new__(Leaf)
    with pytest.raises(ValueError, match=r"^Leaf\.__init__ should call `super\(\)\.__init__`\.$"):
        Pair(a=leaf, b=Leaf())


# ---- a construction never stores the object under itself -------------------------------------

CYCLE = "^Inserting '{}' at path '{}' would create a cycle: the target container belongs to the inserted value's own symbolic tree\\.$"


class Node(HostObject):
    a: typing.Any = None


class Nest(HostObject):
    x: int = 0


# Its own class as the element: the compiled fill takes an exact class only.
Nest._update_schema([n.Field("kids", n.List(n.Object(Nest), default=[])), n.Field("x", n.Int(default=0))])


def itself():
    q = Node()
    return q, dict(a=q), "Node", "a"


def parent():
    r, q = Node(), Node()
    r.a = q
    return q, dict(a=r), "Node", "a"


def root_above_parent():
    s, r, q = Node(), Node(), Node()
    s.a = r
    r.a = q
    return q, dict(a=s), "Node", "a"


def dict_parent():
    d, q = hs.HostDict({"k": None}), Node()
    d["k"] = q
    return q, dict(a=d), "HostDict", "a"


def itself_in_a_list():
    q = Nest()
    return q, dict(kids=[q]), "HostList", "kids"


def parent_in_a_list():
    q = Nest()
    r = Nest(kids=[q])
    return q, dict(kids=[r]), "HostList", "kids"


def parent_in_a_list_schema_fill():
    q, kwargs, kind, _ = parent_in_a_list()
    return q, dict(kwargs, x=True), kind, ".*kids"  # x: the compiled fill declines


def itself_in_a_list_schema_fill():
    q, kwargs, kind, _ = itself_in_a_list()
    return q, dict(kwargs, x=True), kind, ".*kids"


@pytest.mark.parametrize(
    "make",
    [itself, parent, root_above_parent, dict_parent, itself_in_a_list, parent_in_a_list,
     parent_in_a_list_schema_fill, itself_in_a_list_schema_fill],
)
def test_an_object_constructed_again_refuses_itself_and_its_ancestors(make):
    q, kwargs, kind, path = make()
    with pytest.raises(ValueError, match=CYCLE.format(kind, path)):
        n.SymObject.__init__(q, **kwargs)
    assert q.field_dict() is None


def test_an_owned_ancestor_is_cloned_as_a_write_would_clone_it():
    s, r, q = Node(), Node(), Node()
    s.a = r
    r.a = q
    n.SymObject.__init__(q, a=r)  # r has a parent: the field takes a clone, no cycle
    assert q.a is not r and type(q.a) is Node and r.sym_parent is s and q.a.sym_parent is q
