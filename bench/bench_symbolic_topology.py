"""Symbolic-dict topology: adopting a free child, re-pathing a two-level tree
and sealing it, natively (the host's dict class on `SymDict`) against the same
tree operations written in pure Python over a `dict` subclass, as a host
without the native core keeps them (same markers, same per-child method calls,
the native `KeyPath` for paths in both). Ratios are native / peer (below 1:
native is faster).
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402
from norv_host import symbolic as hs  # noqa: E402
import sidebyside  # noqa: E402

norv_host.install()
KeyPath = n.KeyPath
WIDTH = 10  # children per node, two levels: 110 nodes


class PyDict(dict):
    """The peer: the same tree state and operations in Python."""

    def __init__(self):
        super().__init__()
        self._sym_parent = None
        self._sym_path = KeyPath()
        self._sealed = False
        self.sym_mode = True

    @property
    def sym_parent(self):
        return self._sym_parent

    @property
    def sym_path(self):
        return self._sym_path

    def sym_clone(self):
        raise AssertionError("not cloned in these cases")

    def sym_setparent(self, parent):
        self._sym_parent = parent

    def sym_setpath(self, path):
        if self._sym_path != path:
            self._sym_path = path
            self._update_children_paths(None, path)

    def _update_children_paths(self, old_path, new_path):
        assert isinstance(new_path, KeyPath)
        for key, value in list(self.items()):
            if hasattr(type(value), "sym_setpath") and getattr(value, "sym_mode", True) is not False:
                value.sym_setpath(KeyPath(key, new_path))

    def sym_seal(self, is_seal=True):
        if self._sealed != is_seal:
            for value in list(self.values()):
                if hasattr(type(value), "sym_clone"):
                    value.sym_seal(is_seal)
            self._sealed = is_seal
        return self

    def _relocate_if_symbolic(self, key, value):
        if not hasattr(type(value), "sym_clone") or value.sym_mode is not True:
            return value
        path = KeyPath(key, self._sym_path)
        if value.sym_parent is None:
            node = self
            while node is not None:
                if node is value:
                    raise ValueError("cycle")
                node = node.sym_parent
            value.sym_setpath(path)
            value.sym_setparent(self)
        return value


def build(cls):
    root = cls()
    for i in range(WIDTH):
        child = cls()
        for j in range(WIDTH):
            dict.__setitem__(child, f"g{j}", child._relocate_if_symbolic(f"g{j}", cls()))
        dict.__setitem__(root, f"c{i}", root._relocate_if_symbolic(f"c{i}", child))
    return root


def adopt_case(cls):
    owner = build(cls)

    def run():
        for i in range(WIDTH * WIDTH):
            owner._relocate_if_symbolic(i, cls())

    return run


def repath_case(cls):
    root = build(cls)
    paths = [KeyPath("a"), KeyPath("b")]

    def run():
        root.sym_setpath(paths[0])
        root.sym_setpath(paths[1])

    return run


def seal_case(cls):
    root = build(cls)

    def run():
        root.sym_seal(True)
        root.sym_seal(False)

    return run


if __name__ == "__main__":
    nodes = WIDTH + WIDTH * WIDTH
    sidebyside.run(
        [
            ("adopt a free child", adopt_case(hs.HostDict), [("python", adopt_case(PyDict))], WIDTH * WIDTH),
            ("re-path a 110-node tree twice", repath_case(hs.HostDict), [("python", repath_case(PyDict))], 2 * nodes),
            ("seal and unseal a 110-node tree", seal_case(hs.HostDict), [("python", seal_case(PyDict))], 2 * nodes),
        ],
        loops=1,
        unit="node",
    )
