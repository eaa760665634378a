"""Schema application: `Dict(schema).apply` over record-shaped dicts.

10^4 dicts of five fields (int, str, float, bool, list of int), each applied
in place, against pydantic's `TypeAdapter` of the equivalent TypedDict; the
same without the list field (a record of exact scalar types, which the
schema's bulk check can take whole); and records whose list holds a str,
which every contender rejects.
"""

import os
import sys
from typing import TypedDict

from pydantic import TypeAdapter, ValidationError

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import sidebyside  # noqa: E402
from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402

norv_host.install()

COUNT = 10**4
SCALARS = {"id": int, "name": str, "score": float, "active": bool}
SPEC = n.Dict({**SCALARS, "tags": list[int]})
FLAT_SPEC = n.Dict(SCALARS)


class Flat(TypedDict):
    id: int
    name: str
    score: float
    active: bool


class Record(Flat):
    tags: list[int]


ADAPTER = TypeAdapter(Record)
FLAT_ADAPTER = TypeAdapter(Flat)


def flat(i):
    return {"id": i, "name": f"n{i}", "score": i * 0.5, "active": i % 2 == 0}


RECORDS = [{**flat(i), "tags": [i, i + 1, i + 2]} for i in range(COUNT)]
FLAT = [flat(i) for i in range(COUNT)]
BAD = [{**flat(i), "tags": [i, "x"]} for i in range(COUNT)]


def each(fn, records):
    def run():
        for r in records:
            fn(r)

    return run


def each_failing(fn, records, exc):
    def run():
        for r in records:
            try:
                fn(r)
            except exc:
                pass
            else:
                raise AssertionError("expected a failure")

    return run


CASES = [
    ("Dict(schema).apply", each(SPEC.apply, RECORDS),
     [("pydantic TypeAdapter(TypedDict)", each(ADAPTER.validate_python, RECORDS))]),
    ("Dict(schema).apply, scalar fields only", each(FLAT_SPEC.apply, FLAT),
     [("pydantic TypeAdapter(TypedDict)", each(FLAT_ADAPTER.validate_python, FLAT))]),
    ("failing Dict(schema).apply", each_failing(SPEC.apply, BAD, TypeError),
     [("pydantic TypeAdapter(TypedDict)", each_failing(ADAPTER.validate_python, BAD, ValidationError))]),
]


if __name__ == "__main__":
    sidebyside.run(CASES, COUNT, unit="record")
