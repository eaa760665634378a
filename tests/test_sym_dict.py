"""SymDict as a class: what is its own beside what it shares with SymList
(test_sym_containers.py): its storage, its native operations under a held
receiver, its leaks and its signatures."""

import inspect

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from leakcheck import block_growth

norv_host.install()
probe = n._testing
SymDict, HostDict, KeyPath = n.SymDict, hs.HostDict, n.KeyPath


# ---------------------------------------------------------------- the class


def test_members_live_in_the_dict_itself():
    d = HostDict()
    dict.__setitem__(d, "a", 1)
    assert d == {"a": 1} and isinstance(d, dict) and len(d) == 1


def test_value_spec_is_not_a_dict_property():
    assert not hasattr(SymDict, "value_spec")


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.sym_seal(),
        lambda d: d.sym_setparent(None),
        lambda d: d.set_accessor_writable(False),
        lambda d: d._sym_parent_for_children(),
        lambda d: d._relocate_if_symbolic("k", 1),
    ],
)
def test_native_operations_meet_a_held_receiver_as_an_internal_fault(call):
    d = HostDict()
    with pytest.raises(norv_core.PanicException, match="^Already"):
        probe.holding(d, True, lambda: call(d))
    call(d)  # usable afterwards


def test_no_growth_over_create_adopt_repath_and_seal():
    def round():
        root = HostDict()
        root._sym_path = KeyPath()
        child, grandchild = HostDict(), HostDict()
        dict.__setitem__(child, "g", child._relocate_if_symbolic("g", grandchild))
        dict.__setitem__(root, "c", root._relocate_if_symbolic("c", child))
        root.sym_setpath(KeyPath("r"))
        root.sym_seal()
        root.sym_setorigin("src", "tag")

    hs.clear()
    assert block_growth(round, rounds=10_000) < 200
    hs.clear()


def test_signatures():
    expected = {
        "_relocate_if_symbolic": "(self, /, key, value, seen=None)",
        "sym_setparent": "(self, /, parent)",
        "sym_setpath": "(self, /, path)",
        "_update_children_paths": "(self, /, _old_path, new_path)",
        "_sym_parent_for_children": "(self, /)",
        "sym_seal": "(self, /, is_seal=True)",
        "sym_setorigin": "(self, /, source, tag, stacktrace=None, stacklimit=None, stacktop=Ellipsis)",
        "set_accessor_writable": "(self, /, writable=True)",
    }
    assert {name: str(inspect.signature(getattr(SymDict, name))) for name in expected} == expected
