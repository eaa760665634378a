"""Host tree components that record the tree calls they receive."""

from norv_host import symbolic as hs


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
