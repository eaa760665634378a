"""Records: construction through the native record `tp_init` and field reads
through the native record `tp_getattro`.

A record class of five fields (an int, a float, a str, a bool and a list of
ints, the list validated and adopted as a child), against a msgspec `Struct`
(which checks no types when constructed: its bad-value row validates through
`msgspec.convert`), a `dataclass(slots=True)` (no validation) and a pydantic
model with the same fields, and the same without the list (a class with no
symbolic field builds no child transform and adopts nothing). Reads: an int field of a record (a thousand
reads a call) against a `__slots__` attribute and the same dataclass and model. Failing rows: a bad
value and a missing field. Ratios are native / peer (below 1: native is
faster).
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
import norv_host  # noqa: E402
from norv_host import records as hr  # noqa: E402

norv_host.install()

Record = hr.record_class("Record", {"a": int, "b": float, "c": str, "d": bool, "e": list})
Scalars = hr.record_class("Scalars", {"a": int, "b": float, "c": str, "d": bool})


class Model(pydantic.BaseModel):
    a: int
    b: float
    c: str
    d: bool
    e: list[int]


@dataclasses.dataclass(slots=True)
class Data:
    a: int
    b: float
    c: str
    d: bool
    e: list[int]


class Struct(msgspec.Struct):
    a: int
    b: float
    c: str
    d: bool
    e: list[int]


class Model4(pydantic.BaseModel):
    a: int
    b: float
    c: str
    d: bool


@dataclasses.dataclass(slots=True)
class Data4:
    a: int
    b: float
    c: str
    d: bool


class Struct4(msgspec.Struct):
    a: int
    b: float
    c: str
    d: bool


class Slots:
    __slots__ = ("a",)

    def __init__(self, a):
        self.a = a


def five(cls):
    return lambda: cls(a=1, b=2.0, c="c", d=True, e=[1, 2])


def four(cls):
    return lambda: cls(a=1, b=2.0, c="c", d=True)


def bad(cls):
    return lambda: cls(a="one", b=2.0, c="c", d=True, e=[1, 2])


def missing(cls):
    return lambda: cls(a=1, b=2.0, c="c", d=True)


# Ten reads a round over a prebuilt list, so that the call of the timed
# callable does not hide the reads.
READS = 1000
ROUNDS = [None] * (READS // 10)


def read(obj):
    def run():
        for _ in ROUNDS:
            obj.a, obj.a, obj.a, obj.a, obj.a, obj.a, obj.a, obj.a, obj.a, obj.a

    return run


FAILED = (TypeError, ValueError, msgspec.ValidationError)
BAD = {"a": "one", "b": 2.0, "c": "c", "d": True, "e": [1, 2]}

if __name__ == "__main__":
    sidebyside.run(
        [
            (
                "R(5 fields), native tp_init",
                five(Record),
                [("msgspec", five(Struct)), ("dataclass(slots)", five(Data)), ("pydantic", five(Model))],
                1,
                "record",
            ),
            (
                "R(4 scalar fields: no child transform, no adoption), native tp_init",
                four(Scalars),
                [("msgspec", four(Struct4)), ("dataclass(slots)", four(Data4)), ("pydantic", four(Model4))],
                1,
                "record",
            ),
            (
                "field read, native tp_getattro",
                read(five(Record)()),
                [
                    ("__slots__", read(Slots(1))),
                    ("dataclass(slots)", read(five(Data)())),
                    ("msgspec", read(five(Struct)())),
                    ("pydantic", read(five(Model)())),
                ],
                READS,
                "read",
            ),
            (
                "bad value (a='one')",
                refused(bad(Record), FAILED),
                [
                    ("msgspec", refused(lambda: msgspec.convert(BAD, Struct), FAILED)),
                    ("pydantic", refused(bad(Model), FAILED)),
                ],
                1,
                "record",
            ),
            (
                "missing field (4 of 5)",
                refused(missing(Record), FAILED),
                [
                    ("msgspec", refused(missing(Struct), FAILED)),
                    ("dataclass(slots)", refused(missing(Data), FAILED)),
                    ("pydantic", refused(missing(Model), FAILED)),
                ],
                1,
                "record",
            ),
        ],
        loops=1,
    )
