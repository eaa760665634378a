"""Symbolic dicts: construction and validated writes.

Constructing the host's symbolic dict (on `SymDict`) from a 20-key dict,
schemaless and bound to a 20-field `Dict` spec, against a plain `dict` copy
and OmegaConf (`OmegaConf.create`, and a structured config for the schema);
then 10^4 item writes into the schemaful dict, each validated by its field
and reported to the host's `_notify_field_updates`, against plain dict writes
and writes into the OmegaConf structured config, and 10^4 writes that every
validating contender refuses. Ratios are native / peer (below 1: native is
faster).
"""

import dataclasses
import os
import sys

from omegaconf import OmegaConf
from omegaconf.errors import ValidationError

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import sidebyside  # noqa: E402
from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402
from norv_host import symbolic as hs  # noqa: E402

norv_host.install()

WRITES = 10**4
TYPES = [int, float, str, bool] * 5
SAMPLE = {int: 7, float: 2.5, str: "text", bool: True}
KEYS = [f"k{i}" for i in range(len(TYPES))]
SOURCE = {k: SAMPLE[t] for k, t in zip(KEYS, TYPES)}
SPEC = n.Dict([(k, {int: n.Int(), float: n.Float(), str: n.Str(), bool: n.Bool()}[t]) for k, t in zip(KEYS, TYPES)])
Config = dataclasses.make_dataclass("Config", [(k, t) for k, t in zip(KEYS, TYPES)])

# The writes: the fields in turn, each given a new value of its own type
# (never the object it holds, which would be no write at all).
FRESH = {int: lambda i: i, float: lambda i: i + 0.5, str: lambda i: f"s{i}", bool: lambda i: (i // 20) % 2 == 0}
PLAN = [(KEYS[i % len(KEYS)], FRESH[TYPES[i % len(KEYS)]](i)) for i in range(WRITES)]
INT_KEYS = [k for k, t in zip(KEYS, TYPES) if t is int]
BAD_PLAN = [(INT_KEYS[i % len(INT_KEYS)], f"not an int {i}") for i in range(WRITES)]


class Notified(hs.HostDict):
    """The host's dict whose change handler only counts (the stand-in's records every update)."""

    count = 0

    def _notify_field_updates(self, updates):
        Notified.count += len(updates)


def writes(target, plan):
    def run():
        for key, value in plan:
            target[key] = value

    return run


def refused(target, plan, exc):
    def run():
        for key, value in plan:
            try:
                target[key] = value
            except exc:
                pass

    return run


if __name__ == "__main__":
    native = Notified(SOURCE, value_spec=SPEC)
    structured = OmegaConf.structured(Config(**SOURCE))
    sidebyside.run(
        [
            (
                "construct from a 20-key dict, schemaless",
                lambda: Notified(SOURCE),
                [("dict", lambda: dict(SOURCE)), ("omegaconf", lambda: OmegaConf.create(SOURCE))],
                1,
                "dict",
            ),
            (
                "construct from a 20-key dict with a 20-field schema",
                lambda: Notified(SOURCE, value_spec=SPEC),
                [("dict", lambda: dict(SOURCE)), ("omegaconf", lambda: OmegaConf.structured(Config(**SOURCE)))],
                1,
                "dict",
            ),
            (
                "10^4 validated writes with notification",
                writes(native, PLAN),
                [("dict", writes(dict(SOURCE), PLAN)), ("omegaconf", writes(structured, PLAN))],
                WRITES,
                "write",
            ),
            (
                "10^4 refused writes (a str for an int field)",
                refused(native, BAD_PLAN, TypeError),
                [("omegaconf", refused(structured, BAD_PLAN, ValidationError))],
                WRITES,
                "write",
            ),
        ],
        loops=1,
    )
