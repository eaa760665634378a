"""What the stand-in host records of the symbolic and object layers' calls,
for the tests of the symbolic containers and objects."""

import pytest

from norv_core import _native as n
from norv_host import objects as ho
from norv_host import symbolic as hs


@pytest.fixture
def fresh_host():
    """An empty call record to start with, and every flag scope absent afterwards."""
    hs.clear()
    yield
    for flag in range(5):
        n._flag_scope_del(flag)


def calls(name):
    """The arguments of each recorded call of `name`."""
    return [c[1:] for c in hs.calls if c[0] == name]


def leak_round(fn):
    """`fn` as one leak-check round that leaves the call records empty."""

    def run():
        fn()
        hs.clear()
        ho.clear()

    return run


@pytest.fixture
def clean_records():
    """The object and symbolic layers' call records empty around a test, and
    every flag scope absent afterwards."""
    ho.clear()
    hs.clear()
    yield
    ho.clear()
    hs.clear()
    for flag in range(5):
        n._flag_scope_del(flag)


def recorded(kind):
    """The arguments of each call of `kind` either layer recorded, in order."""
    return [c[1:] for c in ho.calls + hs.calls if c[0] == kind]


def node_state(node):
    """A symbolic container's node state as its properties show it; a dict's
    also tells whether it holds an object's attributes."""
    state = dict(
        parent=node.sym_parent,
        path=node.sym_path,
        origin=node._sym_origin,
        sealed=node._sealed,
        allow_partial=node._allow_partial,
        accessor_writable=node._accessor_writable,
        spec=node._value_spec,
        callback=node._onchange_callback,
        wrap=node._wrap,
        sym_mode=node.sym_mode,
    )
    if isinstance(node, dict):
        state["attrs"] = node._as_object_attributes_container
    return state


# The node state of a freshly constructed list, and of a dict.
BLANK_LIST_NODE = dict(
    parent=None,
    path=hs.EMPTY_KEY_PATH,
    origin=None,
    sealed=False,
    allow_partial=False,
    accessor_writable=True,
    spec=None,
    callback=None,
    wrap=True,
    sym_mode=True,
)
BLANK_DICT_NODE = dict(BLANK_LIST_NODE, attrs=False)


# The start of a script for a fresh interpreter: every bridge but the
# object bridge installed, and an object class `C` with an int field `x`.
WITHOUT_OBJECT_BRIDGE = """
import norv_core
from norv_core import _native as n
from norv_host import objects as ho, symbolic as hs, typing as ht
ht.install()
hs.install()
ho.HostObject._update_schema([])

class C(ho.HostObject):
    x: int
"""
