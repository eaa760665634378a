"""Symbolic dicts: construction, validated writes and member reads.

Constructing the host's symbolic dict (on `SymDict`) from a 20-key dict,
schemaless and bound to a 20-field `Dict` spec, against a plain `dict` copy,
OmegaConf (`OmegaConf.create`, and a structured config for the schema) and,
for the schema, pydantic (`TypeAdapter` of the equivalent TypedDict, and the
equivalent model built from the keywords): all-scalar members (the fused
route), one member a list (the single pass), and one member of the wrong
type, which every validating contender refuses. Then 10^4 item writes into
the schemaful dict, each validated by its field and reported to the host's
`_notify_field_updates`, against plain dict writes and writes into the
OmegaConf structured config, and 10^4 writes that every validating contender
refuses; then 10^4 member reads (subscript, attribute, `get`) and the member
listing, against a plain dict and OmegaConf. Ratios are native / peer (below
1: native is faster).
"""

import dataclasses
import os
import sys
from typing import TypedDict

import pydantic
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
NATIVE = {int: n.Int(), float: n.Float(), str: n.Str(), bool: n.Bool(), list[int]: n.List(n.Int())}
SPEC = n.Dict([(k, NATIVE[t]) for k, t in zip(KEYS, TYPES)])
Config = dataclasses.make_dataclass("Config", [(k, t) for k, t in zip(KEYS, TYPES)])
Typed = TypedDict("Typed", dict(zip(KEYS, TYPES)))
Model = pydantic.create_model("Model", **{k: (t, ...) for k, t in zip(KEYS, TYPES)})
TYPED = pydantic.TypeAdapter(Typed)

# The same schema with its last field a list of ints, and an input to match.
LIST_TYPES = TYPES[:-1] + [list[int]]
LIST_SOURCE = {**SOURCE, KEYS[-1]: [1, 2, 3]}
LIST_SPEC = n.Dict([(k, NATIVE[t]) for k, t in zip(KEYS, LIST_TYPES)])
ListConfig = dataclasses.make_dataclass("ListConfig", [(k, t) for k, t in zip(KEYS, LIST_TYPES)])
LIST_TYPED = pydantic.TypeAdapter(TypedDict("ListTyped", dict(zip(KEYS, LIST_TYPES))))
ListModel = pydantic.create_model("ListModel", **{k: (t, ...) for k, t in zip(KEYS, LIST_TYPES)})

# A str where the first int goes: every validating contender refuses it.
BAD_SOURCE = {**SOURCE, KEYS[0]: "not an int"}

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


def unrecorded(fn):
    """`fn`, then the stand-in host's call record emptied (its handles record
    every call, a growing list the collector would walk)."""

    def run():
        fn()
        hs.calls.clear()

    return run


def refusing(build, exc):
    def run():
        try:
            build()
        except exc:
            pass

    return run


READ_PLAN = [KEYS[i % len(KEYS)] for i in range(WRITES)]


def item_reads(target):
    def run():
        for key in READ_PLAN:
            target[key]

    return run


def attribute_reads(target):
    def run():
        for key in READ_PLAN:
            getattr(target, key)

    return run


def get_reads(target):
    def run():
        for key in READ_PLAN:
            target.get(key)

    return run


if __name__ == "__main__":
    native = Notified(SOURCE, value_spec=SPEC)
    structured = OmegaConf.structured(Config(**SOURCE))
    plain = dict(SOURCE)
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
                "construct from a 20-key dict with a 20-field all-scalar schema",
                lambda: Notified(SOURCE, value_spec=SPEC),
                [
                    ("dict", lambda: dict(SOURCE)),
                    ("pydantic TypeAdapter", lambda: TYPED.validate_python(SOURCE)),
                    ("pydantic model", lambda: Model(**SOURCE)),
                    ("omegaconf", lambda: OmegaConf.structured(Config(**SOURCE))),
                ],
                1,
                "dict",
            ),
            (
                "the same, the native class itself (no host __init__ in Python)",
                lambda: n.SymDict(SOURCE, value_spec=SPEC),
                [
                    ("dict", lambda: dict(SOURCE)),
                    ("pydantic TypeAdapter", lambda: TYPED.validate_python(SOURCE)),
                    ("pydantic model", lambda: Model(**SOURCE)),
                ],
                1,
                "dict",
            ),
            (
                "construct with a 20-field schema, one member a list of 3 ints",
                unrecorded(lambda: Notified(LIST_SOURCE, value_spec=LIST_SPEC)),
                [
                    ("pydantic TypeAdapter", lambda: LIST_TYPED.validate_python(LIST_SOURCE)),
                    ("pydantic model", lambda: ListModel(**LIST_SOURCE)),
                    ("omegaconf", lambda: OmegaConf.structured(ListConfig(**LIST_SOURCE))),
                ],
                1,
                "dict",
            ),
            (
                "refused construction (a str for an int field)",
                unrecorded(refusing(lambda: Notified(BAD_SOURCE, value_spec=SPEC), TypeError)),
                [
                    ("pydantic TypeAdapter", refusing(lambda: TYPED.validate_python(BAD_SOURCE), pydantic.ValidationError)),
                    ("pydantic model", refusing(lambda: Model(**BAD_SOURCE), pydantic.ValidationError)),
                    ("omegaconf", refusing(lambda: OmegaConf.structured(Config(**BAD_SOURCE)), ValidationError)),
                ],
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
            (
                "10^4 item reads",
                item_reads(native),
                [("dict", item_reads(plain)), ("omegaconf", item_reads(structured))],
                WRITES,
                "read",
            ),
            (
                "10^4 attribute reads",
                attribute_reads(native),
                [("omegaconf", attribute_reads(structured))],
                WRITES,
                "read",
            ),
            (
                "10^4 get reads",
                get_reads(native),
                [("dict", get_reads(plain)), ("omegaconf", get_reads(structured))],
                WRITES,
                "read",
            ),
            (
                "member listing in schema order",
                lambda: list(native.sym_values()),
                [("dict", lambda: list(plain.values())), ("omegaconf", lambda: list(structured.values()))],
                1,
                "listing",
            ),
        ],
        loops=1,
    )
