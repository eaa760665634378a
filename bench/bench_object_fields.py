"""Symbolic objects: field reads and writes.

Reads: 1000 reads (ten a round) of an int field of an object whose class has the native
fast `tp_getattro` (the field dict read first, no descriptor), against a
plain instance attribute and a `__slots__` attribute; the same field read
through the host's field property (`SymFieldGetter`) without the native slot
is shown against the same peers.

Writes: 1000 assignments of an int to an int field (each a new value), each
validated natively and reported to the host's `_notify_field_updates`,
against a pydantic model with `validate_assignment` and a plain instance
attribute; then 1000 assignments of a str to that field, which both
validating contenders refuse. Ratios are native / peer (below 1: native is
faster).
"""

import os
import sys

import pydantic

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import sidebyside  # noqa: E402
from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402
from norv_host import objects as ho  # noqa: E402
from norv_host import symbolic as hs  # noqa: E402

norv_host.install()

COUNT = 1000
VALUES = [1000 + i for i in range(COUNT)]
BAD = [f"not an int {i}" for i in range(COUNT)]


NOTIFIED = [0]


class Counted(ho.HostObject):
    """The host's object whose change handler only counts (the stand-in's
    records every update); the count is kept outside the class, whose
    attributes a write would change."""

    x: int
    y: int = 0

    def _notify_field_updates(self, updates):
        NOTIFIED[0] += len(updates)


class Fast(Counted):
    pass


n._install_native_tp_init(Fast)
n._install_native_tp_getattro_fast(Fast)


class Plain:
    def __init__(self, x):
        self.x = x


class Slotted:
    __slots__ = ("x",)

    def __init__(self, x):
        self.x = x


class Model(pydantic.BaseModel, validate_assignment=True):
    x: int
    y: int = 0


# Ten reads a round over a prebuilt list: the loop allocates nothing and
# costs little beside the reads.
ROUNDS = [None] * (COUNT // 10)


def reads(obj):
    def run():
        for _ in ROUNDS:
            obj.x, obj.x, obj.x, obj.x, obj.x, obj.x, obj.x, obj.x, obj.x, obj.x

    return run


def writes(obj):
    def run():
        for v in VALUES:
            obj.x = v

    return run


def refused(obj, exc):
    def run():
        for v in BAD:
            try:
                obj.x = v
            except exc:
                pass
        # the stand-in host records every wrapping it is asked for
        hs.calls.clear()

    return run


READ_PEERS = [("instance attribute", reads(Plain(1))), ("__slots__ attribute", reads(Slotted(1)))]

if __name__ == "__main__":
    sidebyside.run(
        [
            ("field read, native fast tp_getattro", reads(Fast(x=1)), READ_PEERS, COUNT, "read"),
            ("field read, host property (SymFieldGetter)", reads(Counted(x=1)), READ_PEERS, COUNT, "read"),
            (
                "validated field write with notification",
                writes(Fast(x=1)),
                [("pydantic validate_assignment", writes(Model(x=1))), ("instance attribute", writes(Plain(1)))],
                COUNT,
                "write",
            ),
            (
                "refused field write (a str for an int field)",
                refused(Fast(x=1), TypeError),
                [("pydantic validate_assignment", refused(Model(x=1), pydantic.ValidationError))],
                COUNT,
                "write",
            ),
        ],
        loops=COUNT,
    )
