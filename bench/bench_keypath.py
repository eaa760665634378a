"""KeyPath parse + render + hash, failing parses, and child-path building: the
native class against what a host would otherwise keep in pure Python, a small
class holding a tuple of keys with a cached path string, whose parser splits
the text at dots and brackets with `str.split` (the fastest pure-Python
reading of this grammar; it handles the texts below, not every corner of the
native scanner). Ratios are native / peer (below 1: native is faster).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sidebyside  # noqa: E402
from norv_core import _native as n  # noqa: E402

LOOPS = 1000


class PyKeyPath:
    __slots__ = ("keys", "_text")

    def __init__(self, keys, parent=None):
        self.keys = parent.keys + keys if parent is not None else keys
        self._text = None

    @classmethod
    def parse(cls, text):
        keys = []
        for part in text.split("."):
            if "[" in part:
                head, *rest = part.split("[")
                if head:
                    keys.append(head)
                for r in rest:
                    index, closed, tail = r.partition("]")
                    if not closed or tail:
                        raise ValueError(f"KeyPath parse failed: unmatched open bracket: {text!r}")
                    keys.append(int(index) if index.isdigit() else index)
            elif "]" in part:
                raise ValueError(f"KeyPath parse failed: unmatched close bracket: {text!r}")
            elif part:
                keys.append(part)
        return cls(tuple(keys))

    def __str__(self):
        text = self._text
        if text is None:
            text = self._text = "".join([f"[{k}]" if type(k) is int else f".{k}" for k in self.keys]).lstrip(".")
        return text

    def __hash__(self):
        return hash(str(self))


def parse_render_hash(cls, text):
    def run():
        parse = cls.parse
        for _ in range(LOOPS):
            p = parse(text)
            str(p)
            hash(p)

    return run


def failing_parse(cls, text):
    def run():
        parse = cls.parse
        for _ in range(LOOPS):
            try:
                parse(text)
            except ValueError:
                pass
            else:
                raise AssertionError("expected a failure")

    return run


NATIVE_PARENT = n.KeyPath.parse("root.items[3].spec")
PY_PARENT = PyKeyPath.parse("root.items[3].spec")


def native_child_paths():
    cls, parent = n.KeyPath, NATIVE_PARENT
    for _ in range(LOOPS):
        cls("field", parent)
        cls(7, parent)


def python_child_paths():
    cls, parent = PyKeyPath, PY_PARENT
    for _ in range(LOOPS):
        cls(("field",), parent)
        cls((7,), parent)


def check():
    for text in ("a.b[0].c", "a.b[0].c[12].d"):
        ours, peer = n.KeyPath.parse(text), PyKeyPath.parse(text)
        assert ours.keys == list(peer.keys) and str(ours) == str(peer) == text, text
        assert hash(ours) == hash(peer) == hash(text), text
    for text in ("a.b[0", "a]b"):
        for parse in (n.KeyPath.parse, PyKeyPath.parse):
            try:
                parse(text)
            except ValueError:
                continue
            raise AssertionError(text)


CASES = [
    ("KeyPath.parse('a.b[0].c') + str + hash",
     parse_render_hash(n.KeyPath, "a.b[0].c"),
     [("split-based python class", parse_render_hash(PyKeyPath, "a.b[0].c"))]),
    ("KeyPath.parse('a.b[0].c[12].d') + str + hash",
     parse_render_hash(n.KeyPath, "a.b[0].c[12].d"),
     [("split-based python class", parse_render_hash(PyKeyPath, "a.b[0].c[12].d"))]),
    ("failing KeyPath.parse('a.b[0')",
     failing_parse(n.KeyPath, "a.b[0"),
     [("split-based python class", failing_parse(PyKeyPath, "a.b[0"))]),
    ("two child paths", native_child_paths, [("split-based python class", python_child_paths)]),
]


if __name__ == "__main__":
    check()
    sidebyside.run(CASES, LOOPS)
