"""The to-JSON walk of a whole symbolic tree.

A tree of 10^4 objects (each an int, a str and a symbolic list of its
children, ten per node, breadth first) walked by `_native_to_json_walk`
into nested dicts led by "_type", against msgspec's `to_builtins` of the same
tree of tagged `Struct`s (whose tag field is "_type") and pydantic's
`model_dump` of the same tree of models. Also: a tree of 10^4 symbolic dicts
and lists against `to_builtins` of the plain dicts and lists, and the failing
path, a tree whose last node holds a plain list (the walk declines after
visiting everything else) against the peers' full conversion. Ratios are
native / peer (below 1: native is faster), times per node.

The walk reads each object's `sym_mode` through the attribute protocol, and
the stand-in host answers it with a Python property: that call, and the
collections of the cyclic GC that running Python code lets start in the
middle of the walk (promoting the half-built output), are most of the
difference between the first case and the same tree of a class whose
`sym_mode` is a plain class attribute.
"""

import os
import sys

import msgspec
import pydantic

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import sidebyside  # noqa: E402
from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402
from norv_host import objects as ho  # noqa: E402
from norv_host import symbolic as hs  # noqa: E402

norv_host.install()

NODES = 10_000
FANOUT = 10


class Node(ho.HostObject):
    value: int
    name: str
    children: list


class NodeStruct(msgspec.Struct, tag=Node.__serialization_key__, tag_field="_type"):
    value: int
    name: str
    children: list["NodeStruct"]


class NodeModel(pydantic.BaseModel):
    value: int
    name: str
    children: list["NodeModel"]


def tree(make, children_of):
    """`NODES` nodes made by `make(i)`, each parent taking `FANOUT` children."""
    root = make(0)
    frontier, made = [root], 1
    while made < NODES:
        following = []
        for parent in frontier:
            for _ in range(min(FANOUT, NODES - made)):
                child = make(made)
                children_of(parent).append(child)
                following.append(child)
                made += 1
        frontier = following
    return root


def sym_node(i):
    node = Node(value=i, name=f"n{i}", children=[])
    # the children as the host's symbolic list, filled in place
    node.field_dict()["children"] = hs.HostList()
    return node


class ModeNode(Node):
    sym_mode = True  # a class attribute: no Python call per object


def mode_node(i):
    node = ModeNode(value=i, name=f"n{i}", children=[])
    node.field_dict()["children"] = hs.HostList()
    return node


def sym_children(node):
    return Appending(node.field_dict()["children"])


class Appending:
    def __init__(self, lst):
        self.lst = lst

    def append(self, v):
        list.append(self.lst, v)


def sym_dict_node(i):
    d = hs.HostDict()
    for k, v in (("value", i), ("name", f"n{i}"), ("children", hs.HostList())):
        dict.__setitem__(d, k, v)
    return d


def plain_dict_node(i):
    return {"value": i, "name": f"n{i}", "children": []}


OBJECTS = tree(sym_node, sym_children)
MODE_OBJECTS = tree(mode_node, sym_children)
STRUCTS = tree(lambda i: NodeStruct(i, f"n{i}", []), lambda s: s.children)
MODELS = tree(lambda i: NodeModel(value=i, name=f"n{i}", children=[]), lambda m: m.children)
SYM_DICTS = tree(sym_dict_node, lambda d: Appending(dict.__getitem__(d, "children")))
PLAIN_DICTS = tree(plain_dict_node, lambda d: d["children"])

DECLINING = tree(sym_node, sym_children)
_last = DECLINING
while _last.field_dict()["children"]:
    _last = _last.field_dict()["children"][-1]
_last.field_dict()["children"] = []  # a plain list: not the walk's own

assert n._native_to_json_walk(OBJECTS) == msgspec.to_builtins(STRUCTS)
assert repr(n._native_to_json_walk(MODE_OBJECTS)) == repr(msgspec.to_builtins(STRUCTS)).replace(
    Node.__serialization_key__, ModeNode.__serialization_key__
)
assert n._native_to_json_walk(SYM_DICTS) == msgspec.to_builtins(PLAIN_DICTS)
assert n._native_to_json_walk(DECLINING) is None

PEERS = [
    ("msgspec", lambda: msgspec.to_builtins(STRUCTS)),
    ("pydantic", lambda: MODELS.model_dump()),
]

if __name__ == "__main__":
    sidebyside.run(
        [
            ("object tree", lambda: n._native_to_json_walk(OBJECTS), PEERS),
            ("object tree, sym_mode a class attribute", lambda: n._native_to_json_walk(MODE_OBJECTS), PEERS),
            (
                "symbolic dict and list tree",
                lambda: n._native_to_json_walk(SYM_DICTS),
                [("msgspec", lambda: msgspec.to_builtins(PLAIN_DICTS))],
            ),
            ("declining object tree (a plain list in the last node)", lambda: n._native_to_json_walk(DECLINING), PEERS),
        ],
        loops=NODES,
        unit="node",
    )
