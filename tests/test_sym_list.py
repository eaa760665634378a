"""SymList as a class: the list bridge and what is its own beside what it
shares with SymDict (test_sym_containers.py): its storage and fields in type
data, its native operations under a held receiver, its leaks and its
signatures."""

import inspect

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from leakcheck import block_growth
from traced import blank

norv_host.install()
probe = n._testing
SymList, HostList, HostDict, KeyPath = n.SymList, hs.HostList, hs.HostDict, n.KeyPath

# ---------------------------------------------------------------- the list bridge

PRELUDE = """
import norv_core
from norv_core import _native as n
from norv_host import symbolic as hs
"""


def test_list_bridge_installer_signature():
    assert str(inspect.signature(n._install_list_bridge)) == "(insertion_cls)"
    assert n._install_list_bridge.__doc__.startswith("Inject the oracle's Insertion class")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'insertion_cls'"):
        n._install_list_bridge()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        n._install_list_bridge(1, 2)


def test_registered_after_the_container_bridge():
    names = n.__all__
    assert names.index("SymDict") < names.index("_install_container_bridge") < names.index("SymList")
    assert names.index("SymList") + 1 == names.index("_install_list_bridge")


def test_list_bridge_first_install_wins_and_is_independent(run_py):
    out = run_py(
        PRELUDE
        + """
class Other:
    pass
print(n._install_list_bridge(insertion_cls=hs.Insertion))
print(n._install_list_bridge(Other))
print(n._testing.insertion_cls() is hs.Insertion)
# The container bridge is a cell of its own: still empty.
try:
    n.SymList.__new__(n.SymList).sym_setorigin('s', 't')
except norv_core.PanicException as e:
    print(e)
"""
    )
    assert out.splitlines() == ["None", "None", "True", "container bridge not installed"]


def test_before_install_reading_the_list_bridge_is_an_internal_fault(run_py):
    out = run_py(
        PRELUDE
        + """
n._install_container_bridge(**hs.HANDLES)
try:
    n._testing.insertion_cls()
except norv_core.PanicException as e:
    print(type(e).__name__, e)
lst = hs.HostList.__new__(hs.HostList)
print(lst.sym_seal() is lst, lst._sealed)  # reads no bridge
"""
    )
    assert out.splitlines() == ["PanicException list bridge not installed", "True True"]


# ---------------------------------------------------------------- the class


def test_elements_live_in_the_list_itself():
    lst = blank(HostList)
    list.extend(lst, [1, 2])
    assert lst == [1, 2] and isinstance(lst, list) and len(lst) == 2
    assert probe.list_storage_is_self(lst)


class Slotted(HostList):
    __slots__ = ("a", "b")


def test_fields_follow_whatever_a_subclass_adds():
    # The fields sit in the type's own data region: a subclass's slots, dict
    # and weak references do not overlap them.
    lst = Slotted()
    lst.a, lst.b = "a", "b"
    lst._sym_path, lst._sealed = KeyPath("p"), True
    list.append(lst, 1)
    assert (lst.a, lst.b, lst._sym_path, lst._sealed, list(lst)) == ("a", "b", KeyPath("p"), True, [1])
    plain = blank(HostList)
    plain.extra = 1
    plain._sym_origin = "o"
    assert plain.extra == 1 and plain._sym_origin == "o"


def test_list_has_no_attributes_container_flag():
    assert not hasattr(SymList, "_as_object_attributes_container")


# ---------------------------------------------------------------- the access flag


@pytest.mark.parametrize(
    "call",
    [
        lambda lst: lst.sym_seal(),
        lambda lst: lst.sym_setparent(None),
        lambda lst: lst.sym_setpath(KeyPath("x")),
        lambda lst: lst.set_accessor_writable(False),
        lambda lst: lst._relocate_if_symbolic(0, 1),
        lambda lst: lst.use_value_spec(None),
        lambda lst: lst.custom_apply(KeyPath(), n.List(n.Int()), False),
        lambda lst: lst._clone_if_primitive(),
    ],
)
def test_native_operations_meet_a_held_receiver_as_an_internal_fault(call):
    lst = blank(HostList)
    lst._sym_path = KeyPath()
    with pytest.raises(norv_core.PanicException, match="^Already"):
        probe.holding(lst, True, lambda: call(lst))
    call(lst)  # usable afterwards


def test_no_growth_over_create_adopt_repath_seal_and_clone():
    spec = n.List(n.Int())

    def round():
        root = blank(HostList)
        root._sym_path = KeyPath()
        child, grandchild = blank(HostList), blank(HostDict)
        list.append(child, child._relocate_if_symbolic(0, grandchild))
        list.append(root, root._relocate_if_symbolic(0, child))
        root.sym_setpath(KeyPath("r"))
        root.sym_seal()
        root.sym_setorigin("src", "tag")
        flat = blank(HostList)
        flat._sym_path = KeyPath()
        list.extend(flat, [1, 2])
        flat.use_value_spec(spec)
        flat._clone_if_primitive()
        flat.use_value_spec(None)
        hs.clear()  # the stand-in host records its transform factory's calls

    assert block_growth(round, rounds=10_000) < 200
    hs.clear()


def test_signatures():
    expected = {
        "_relocate_if_symbolic": "(self, /, idx, value, seen=None)",
        "sym_values": "(self, /)",
        "sym_setparent": "(self, /, parent)",
        "sym_setpath": "(self, /, path)",
        "_update_children_paths": "(self, /, _old_path, new_path)",
        "sym_seal": "(self, /, is_seal=True)",
        "sym_setorigin": "(self, /, source, tag, stacktrace=None, stacklimit=None, stacktop=Ellipsis)",
        "set_accessor_writable": "(self, /, writable=True)",
        "use_value_spec": "(self, /, value_spec, allow_partial=False)",
        "custom_apply": "(self, /, path, value_spec, allow_partial, child_transform=None)",
        "_clone_if_primitive": "(self, /)",
    }
    assert {name: str(inspect.signature(getattr(SymList, name))) for name in expected} == expected
    assert not hasattr(SymList, "_sym_parent_for_children")
