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
