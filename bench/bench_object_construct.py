"""Symbolic objects: construction from keyword arguments.

`C(x=1, items=[1, 2])` (an int and a list of ints, the list built as the
host's symbolic list with the object as its parent) and a class of 10 int
fields, against a pydantic model with the same fields, a dataclass (no
validation) and a msgspec `Struct` (which checks no types when constructed:
its bad-value row validates through `msgspec.convert`). Each object class is
measured twice: through the host's Python `__init__`, which calls
`super().__init__(**kwargs)`, and with `SymObject.__init__` as the class's own
constructor slot (no Python frame), the road of the classes the host gives
the native constructor. Failing rows: a bad value and a missing field. Ratios
are native / peer (below 1: native is faster).
"""

import dataclasses
import os
import sys

import msgspec
import pydantic

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import sidebyside  # noqa: E402
from sidebyside import refused  # noqa: E402
from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402
from norv_host import objects as ho  # noqa: E402

norv_host.install()

NAMES = [f"f{i}" for i in range(10)]
WIDE = {name: int for name in NAMES}


class Host(ho.HostObject):
    x: int
    items: list[int]


class Slot(Host):
    __init__ = n.SymObject.__init__


Wide = type("Wide", (ho.HostObject,), {"__annotations__": WIDE})
WideSlot = type("WideSlot", (Wide,), {"__init__": n.SymObject.__init__})


class Model(pydantic.BaseModel):
    x: int
    items: list[int]


WideModel = pydantic.create_model("WideModel", **{name: (int, ...) for name in NAMES})


@dataclasses.dataclass
class Data:
    x: int
    items: list[int]


WideData = dataclasses.make_dataclass("WideData", list(WIDE.items()))


class Struct(msgspec.Struct):
    x: int
    items: list[int]


WideStruct = msgspec.defstruct("WideStruct", list(WIDE.items()))


def pair(cls):
    return lambda: cls(x=1, items=[1, 2])


def wide(cls):
    return lambda: cls(f0=0, f1=1, f2=2, f3=3, f4=4, f5=5, f6=6, f7=7, f8=8, f9=9)


def bad_pair(cls):
    return lambda: cls(x="one", items=[1, 2])


def missing_wide(cls):
    return lambda: cls(f0=0, f1=1, f2=2, f3=3, f4=4, f5=5, f6=6, f7=7, f8=8)


def struct_convert(cls, data):
    return lambda: msgspec.convert(data, cls)


PEERS_PAIR = [("pydantic", pair(Model)), ("dataclass", pair(Data)), ("msgspec", pair(Struct))]
PEERS_WIDE = [("pydantic", wide(WideModel)), ("dataclass", wide(WideData)), ("msgspec", wide(WideStruct))]
FAILED = (TypeError, ValueError, msgspec.ValidationError)

if __name__ == "__main__":
    sidebyside.run(
        [
            ("C(x=1, items=[1, 2]), host __init__", pair(Host), PEERS_PAIR, 1, "object"),
            ("C(x=1, items=[1, 2]), native slot", pair(Slot), PEERS_PAIR, 1, "object"),
            ("10 int fields, host __init__", wide(Wide), PEERS_WIDE, 1, "object"),
            ("10 int fields, native slot", wide(WideSlot), PEERS_WIDE, 1, "object"),
            (
                "bad value (x='one'), native slot",
                refused(bad_pair(Slot), FAILED),
                [
                    ("pydantic", refused(bad_pair(Model), FAILED)),
                    ("msgspec", refused(struct_convert(Struct, {"x": "one", "items": [1, 2]}), FAILED)),
                ],
                1,
                "object",
            ),
            (
                "missing field (9 of 10), native slot",
                refused(missing_wide(WideSlot), FAILED),
                [
                    ("pydantic", refused(missing_wide(WideModel), FAILED)),
                    ("dataclass", refused(missing_wide(WideData), FAILED)),
                    ("msgspec", refused(missing_wide(WideStruct), FAILED)),
                ],
                1,
                "object",
            ),
        ],
        loops=1,
    )
