"""Host tree components that record the tree calls they receive, and the
record's helpers."""

import pytest

from norv_core import _native as n
from norv_host import symbolic as hs


def recorded(kind):
    """The arguments of the calls of `kind` the host recorded, in order."""
    return [c[1:] for c in hs.calls if c[0] == kind]


def blank(cls):
    """An instance made by `__new__` alone: no path, nothing run by `__init__`."""
    return cls.__new__(cls)


@pytest.fixture
def clean_host():
    """Empties the host's record around a test and drops the flag scopes it set."""
    hs.clear()
    yield
    hs.clear()
    for i in range(5):
        n._flag_scope_del(i)


class _Recording:
    """Records `sym_setpath`, `sym_setparent` and `sym_seal` in `hs.calls`
    (a seal with the parent's own seal at that moment), then runs them."""

    def sym_setpath(self, path):
        hs.calls.append(("sym_setpath", self, path))
        return super().sym_setpath(path)

    def sym_setparent(self, parent):
        hs.calls.append(("sym_setparent", self, parent))
        return super().sym_setparent(parent)

    def sym_seal(self, is_seal=True):
        parent = self.sym_parent
        hs.calls.append(("sym_seal", self, is_seal, parent._sealed if parent is not None else None))
        return super().sym_seal(is_seal)


class Traced(_Recording, hs.HostDict):
    """A recording dict."""


class TracedList(_Recording, hs.HostList):
    """A recording list."""


class Opaque(Traced):
    """In the tree's storage but out of it: its own symbolic mode is off."""

    @property
    def sym_mode(self):
        return False


class Unreadable(Traced):
    """Its symbolic mode cannot be read: counted as in the tree."""

    @property
    def sym_mode(self):
        raise ValueError("unreadable")


class AwareOnly:
    """Topology-aware (it has `sym_setpath`) but not symbolic (no
    `sym_clone`); records its calls in `self.calls`."""

    def __init__(self):
        self.calls = []

    def sym_setpath(self, path):
        self.calls.append(("sym_setpath", path))

    def sym_setparent(self, parent):
        self.calls.append(("sym_setparent", parent))

    def sym_seal(self, is_seal=True):
        self.calls.append(("sym_seal", is_seal))
