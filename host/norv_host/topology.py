"""The host's topology modules, as far as the native core relies on them.

Pickles of native topology values name the host's modules (the missing-value
class pickles as `norv.topology._missing.MissingValue`), so the host must make
those modules importable. `install_modules()` does that for the stand-in.
"""

import sys
import types

from norv_core import _native

MISSING_VALUE = _native.missing_value_singleton()


def install_modules():
    """Make `norv.topology._missing` importable, exposing the native class."""
    if "norv.topology._missing" in sys.modules:
        return
    norv = sys.modules.setdefault("norv", types.ModuleType("norv"))
    topology = sys.modules.setdefault("norv.topology", types.ModuleType("norv.topology"))
    missing = types.ModuleType("norv.topology._missing")
    missing.MissingValue = _native.MissingValue
    missing.MISSING_VALUE = MISSING_VALUE
    norv.topology = topology
    topology._missing = missing
    sys.modules["norv.topology._missing"] = missing


# Key-path navigation and rendering -----------------------------------------
class SymNode:
    """A symbolic node that resolves keys through the sym_* protocol only."""

    def __init__(self, values, inferred=None, name='SymNode'):
        self._values = dict(values)
        self._inferred = dict(inferred or {})
        self._name = name
        self.calls = []

    def sym_hasattr(self, key):
        self.calls.append(('sym_hasattr', key))
        return key in self._values or key in self._inferred

    def sym_getattr(self, key):
        self.calls.append(('sym_getattr', key))
        return self._values[key]

    def sym_inferred(self, key):
        self.calls.append(('sym_inferred', key))
        if key in self._inferred:
            return self._inferred[key]
        return self._values[key]

    def __getitem__(self, key):
        raise AssertionError('symbolic nodes must not be indexed directly')

    def __contains__(self, key):
        raise AssertionError('symbolic nodes must not be probed by `in`')

    def __len__(self):
        raise AssertionError('symbolic nodes must not be measured')

    def __repr__(self):
        return self._name


class StrKey:
    """A key object that renders as a plain dotted name (no brackets)."""

    __norv_str_key__ = True

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text

    def __eq__(self, other):
        return isinstance(other, StrKey) and other.text == self.text

    def __hash__(self):
        return hash(self.text)
