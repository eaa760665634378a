"""Schema application: `Dict(schema).apply` over record-shaped dicts.

10^4 dicts of five fields (int, str, float, bool, list of int), against
pydantic-core's typed-dict validator called directly (its `SchemaValidator`,
built from the core schema pydantic makes for the equivalent TypedDict) and
`msgspec.convert` to that TypedDict. Rows: applied in place; the same without
the list field (a record of exact scalar types, which the schema's bulk check
can take whole); records whose list holds a str, which every contender
rejects; and `inplace=False`, where native builds a new dict as both peers
always do. The peers ignore unknown keys, which the schema also checks for:
they do less work. Ratios are native / peer (below 1: native is faster).
"""

import os
import sys
from typing import TypedDict

import msgspec
from pydantic import TypeAdapter
from pydantic_core import SchemaValidator, ValidationError

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


CORE = SchemaValidator(TypeAdapter(Record).core_schema)
FLAT_CORE = SchemaValidator(TypeAdapter(Flat).core_schema)


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


def each_copy(fn, records):
    def run():
        for r in records:
            fn(r, inplace=False)

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


def convert_to(cls):
    return lambda r: msgspec.convert(r, cls)


def peers(validator, cls, records):
    return [
        ("pydantic-core SchemaValidator", each(validator.validate_python, records)),
        ("msgspec convert", each(convert_to(cls), records)),
    ]


CASES = [
    ("Dict(schema).apply", each(SPEC.apply, RECORDS), peers(CORE, Record, RECORDS)),
    ("Dict(schema).apply, scalar fields only", each(FLAT_SPEC.apply, FLAT), peers(FLAT_CORE, Flat, FLAT)),
    (
        "failing Dict(schema).apply",
        each_failing(SPEC.apply, BAD, TypeError),
        [
            ("pydantic-core SchemaValidator", each_failing(CORE.validate_python, BAD, ValidationError)),
            ("msgspec convert", each_failing(convert_to(Record), BAD, msgspec.ValidationError)),
        ],
    ),
    ("Dict(schema).apply(inplace=False)", each_copy(SPEC.apply, RECORDS), peers(CORE, Record, RECORDS)),
]


if __name__ == "__main__":
    sidebyside.run(CASES, COUNT, unit="record")
