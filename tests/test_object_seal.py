"""Sealing objects and Records: the symbolic children first, through their
own `sym_seal`, then the node's own flag; which children each storage has,
and what a failure leaves behind."""

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import records as hr
from norv_host import symbolic as hs

from traced import AwareOnly, Traced

from host_calls import clean_records, leak_round, recorded  # noqa: F401  (fixture)
from leakcheck import block_growth, swallow

norv_host.install()
KeyPath, HostObject = n.KeyPath, ho.HostObject
P = KeyPath.parse

pytestmark = pytest.mark.usefixtures("clean_records")

BLANK = r"^{}\.__init__ should call `super\(\)\.__init__`\.$"


class Obj(HostObject):
    x: int = 0


class Plain(HostObject, sym=False):
    x: int = 0


def made(cls=Obj, **fields):
    """An object at path `a` whose field dict holds exactly `fields`, each
    symbolic one parented to it (not adopted: no path of its own)."""
    obj = cls(root_path=P("a"))
    stored = obj.field_dict()
    stored.clear()
    stored.update(fields)
    for value in fields.values():
        if isinstance(value, hs.HostDict):
            value._sym_parent = obj
    return obj


def seals():
    """Each recorded child seal as (child, is_seal, the parent's own flag then)."""
    return recorded("sym_seal")


# ---------------------------------------------------------------- objects


@pytest.mark.parametrize("is_seal", [True, False])
def test_children_first_then_the_object(is_seal):
    child = Traced()
    obj = made(x=1, c=child, s="text")
    obj._sealed = not is_seal
    child._sealed = not is_seal
    assert obj.sym_seal(is_seal) is obj
    assert seals() == [(child, is_seal, not is_seal)]
    assert obj._sealed is is_seal and child._sealed is is_seal


def test_children_are_sealed_in_field_order_and_only_symbolic_ones():
    a, b, aware = Traced(), Traced(), AwareOnly()
    obj = made(b=b, n=None, w=aware, a=a, items=[1])
    obj.sym_seal()
    assert [s[0] for s in seals()] == [b, a]
    assert aware.calls == []  # topology-aware, not symbolic


def test_a_sealed_object_walks_its_children_again():
    child = Traced()
    obj = made(c=child)
    obj.sym_seal()
    obj.sym_seal()
    assert len(seals()) == 2


def test_a_failing_child_leaves_earlier_children_sealed_and_the_object_as_it_was():
    class Refusing(Traced):
        def sym_seal(self, is_seal=True):
            raise LookupError("refused")

    first, second, third = Traced(), Refusing(), Traced()
    obj = made(first=first, second=second, third=third)
    with pytest.raises(LookupError, match="refused"):
        obj.sym_seal()
    assert first._sealed is True and third._sealed is False and obj._sealed is False


def test_the_seal_changes_no_other_node_state():
    obj, parent = made(c=Traced()), object()
    obj.sym_setparent(parent)
    obj.sym_setorigin("s", "t")
    obj.set_accessor_writable(False)
    before = [n._probe_node_get(obj, role) for role in (0, 1, 3, 4, 5)]
    obj.sym_seal()
    assert [n._probe_node_get(obj, role) for role in (0, 1, 3, 4, 5)] == before


def test_a_sym_false_object_seals_too():
    child = Traced()
    obj = made(Plain, c=child)
    assert obj.sym_seal() is obj and obj._sealed is True and child._sealed is True


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, r"^argument 'is_seal': 'int' object is not an instance of 'bool'$"),
        ((None,), {}, r"^argument 'is_seal': 'None' is not an instance of 'bool'$"),
        ((True, 2), {}, r"takes from 1 to 2 positional arguments but 3 were given"),
        ((), {"seal": True}, "unexpected keyword argument 'seal'"),
    ],
)
def test_seal_argument_errors_seal_nothing(args, kwargs, message):
    child = Traced()
    obj = made(c=child)
    with pytest.raises(TypeError, match=message):
        obj.sym_seal(*args, **kwargs)
    assert seals() == [] and obj._sealed is False


def test_keyword_and_module_function_forms():
    child = Traced()
    obj = made(c=child)
    assert obj.sym_seal(is_seal=True) is obj
    assert n._topo_seal(obj, False) is None and obj._sealed is False
    assert n._topo_seal(inst=obj) is None and obj._sealed is True
    assert [s[1] for s in seals()] == [True, False, True]


def test_a_blank_object_is_refused_and_nothing_sealed():
    obj = Obj.__new__(Obj)
    with pytest.raises(ValueError, match=BLANK.format("Obj")):
        obj.sym_seal()
    assert n._probe_node_get(obj, 2) is False


def test_an_object_with_a_path_and_no_fields_seals_its_attribute_view():
    obj = Obj.__new__(Obj)
    obj._sym_path = P("a")
    with pytest.raises(AttributeError, match=r"^'Obj' object has no attribute '_sym_attributes'$"):
        obj.sym_seal()
    assert obj._sealed is False

    view = Traced()

    class Viewed(HostObject):
        @property
        def _sym_attributes(self):
            return view

    obj = Viewed.__new__(Viewed)
    obj._sym_path = P("a")
    obj.sym_seal()
    assert seals() == [(view, True, None)] and obj._sealed is True


def test_a_child_may_read_and_write_its_parent_while_it_seals():
    class Meddling(Traced):
        def sym_seal(self, is_seal=True):
            parent = self.sym_parent
            parent.set_accessor_writable(False)
            parent._sym_origin = "seen"
            return super().sym_seal(is_seal)

    child = Meddling()
    obj = made(c=child)
    obj.sym_seal()
    assert obj._sealed is True and obj._accessor_writable is False and obj._sym_origin == "seen"


def test_a_field_dict_that_changes_size_meanwhile_is_an_internal_fault():
    class Growing(Traced):
        def sym_seal(self, is_seal=True):
            obj.field_dict()["new"] = 1

    obj = made(a=Growing(), b=Traced())
    with pytest.raises(norv_core.PanicException, match="^dictionary changed size during iteration$"):
        obj.sym_seal()
    assert obj._sealed is False


def test_a_deep_tree_ends_in_recursion_error_and_stays_usable():
    root = node = made()
    for _ in range(20_000):
        child = made()
        node.field_dict()["c"] = child
        node = child
    with pytest.raises(RecursionError):
        root.sym_seal()
    made(c=Traced()).sym_seal()


def test_an_object_that_holds_itself_ends_in_recursion_error():
    obj = made()
    obj.field_dict()["me"] = obj
    with pytest.raises(RecursionError):
        obj.sym_seal()


def test_construction_seals_nested_objects_natively():
    class Leaf(HostObject):
        d: dict[str, int] = {}

    class Tree(HostObject):
        leaf: Leaf

    tree = Tree(leaf=Leaf(d={"a": 1}), sealed=True)
    assert tree._sealed and tree.leaf._sealed and tree.leaf.d._sealed


# ---------------------------------------------------------------- records


Rec = hr.record_class("Rec", {"x": int, "child": dict, "other": list})


def record(cls=Rec, **fields):
    """A record with its first field written (constructed, as far as the
    guard tells) and the given fields in their cells."""
    rec = cls.__new__(cls)
    rec.x = 1
    for name, value in fields.items():
        setattr(rec, name, value)
    return rec


def test_a_record_seals_its_symbolic_fields_cells_then_its_own_cell():
    child = Traced()
    rec = record(child=child)  # `other` left empty
    assert n._topo_seal(rec) is None
    assert seals() == [(child, True, None)]
    assert n._slot_node_get(rec, 2) is True
    assert rec.sym_seal(False) is rec
    assert n._slot_node_get(rec, 2) is False and child._sealed is False


def test_a_record_skips_plain_values_in_symbolic_fields():
    rec = record(child={"plain": 1}, other=[1])
    n._topo_seal(rec)
    assert n._slot_node_get(rec, 2) is True


def test_a_materialised_record_seals_its_view_instead():
    view, cell_child = Traced(), Traced()
    Viewed = hr.record_class("Viewed", {"x": int, "child": dict}, namespace={"_sym_attributes": property(lambda self: view)})
    rec = record(Viewed, child=cell_child)
    n._slot_node_set(rec, 6, view)
    n._topo_seal(rec)
    assert seals() == [(view, True, None)]
    assert n._slot_node_get(rec, 2) is True and cell_child._sealed is False


def test_a_record_without_a_full_region_walks_its_cells_even_with_a_view():
    child = Traced()
    Small = hr.record_class("Small", {"x": int, "child": dict}, reserved=8)
    rec = record(Small, child=child)
    n._slot_node_set(rec, 6, "not a view")
    n._topo_seal(rec)
    assert seals() == [(child, True, None)]


def test_a_blank_record_is_refused():
    rec = Rec.__new__(Rec)
    with pytest.raises(ValueError, match=BLANK.format("Rec")):
        n._topo_seal(rec)
    assert n._slot_node_get(rec, 2) is None


def test_a_record_child_error_leaves_the_record_unsealed():
    class Refusing(Traced):
        def sym_seal(self, is_seal=True):
            raise LookupError("refused")

    rec = record(child=Refusing())
    with pytest.raises(LookupError):
        n._topo_seal(rec)
    assert n._slot_node_get(rec, 2) is None


@pytest.mark.parametrize(
    "names, error, message",
    [
        (("child", 3), TypeError, r"^'int' object is not an instance of 'str'$"),
        (("zz",), RuntimeError, r"^slot record: field \"zz\" is not in the Record's inline-slot layout$"),
    ],
)
def test_a_broken_symbolic_name_list_is_an_error(names, error, message):
    Odd = hr.record_class("Odd", {"x": int, "child": dict})
    Odd.__slot_symbolic_field_names__ = names
    with pytest.raises(error, match=message):
        n._topo_seal(record(Odd, child=Traced()))


def test_anything_else_lacks_the_symbolic_field_names():
    with pytest.raises(AttributeError, match="__slot_symbolic_field_names__"):
        n._topo_seal(5)
    with pytest.raises(TypeError, match=r"^argument 'is_seal': "):
        n._topo_seal(5, 1)


# ---------------------------------------------------------------- references


def test_tree_operations_leave_nothing_behind():
    obj, rec, child = made(c=Traced(), n=1), record(child=Traced()), Traced()
    obj.sym_setorigin("s", "t")

    def good():
        obj.sym_seal()
        obj.sym_seal(False)
        n._topo_seal(rec)
        obj.sym_setpath(P("b"))
        obj.sym_setpath(P("a"))
        obj.sym_setparent(child)
        obj.sym_setorigin("s", "u")
        rec.sym_setparent(child)
        rec.sym_setorigin("s", "u")
        n._probe_node_set(rec, 3, [1])
        n._probe_node_get(obj, 0)

    assert block_growth(leak_round(good), rounds=2000) < 100
    for bad in [
        lambda: obj.sym_seal(1),
        lambda: obj.sym_setorigin("other", "t"),
        lambda: n._topo_seal(5),
        lambda: n._probe_node_get(5, 0),
        lambda: n._probe_node_get(rec, 8),
        lambda: Obj.__new__(Obj).sym_seal(),
        lambda: obj.sym_setpath(None),
    ]:
        assert block_growth(leak_round(swallow(bad)), rounds=2000) < 100
