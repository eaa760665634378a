"""Schema application: `Dict(schema).apply` over record-shaped dicts.

10^4 dicts of five fields (int, str, float, bool, list of int), each applied
in place, against pydantic's `TypeAdapter` of the equivalent TypedDict. Ratios
are contender / native (above 1: native is faster).
"""

import os
import sys
from typing import TypedDict

import pyperf
from pydantic import TypeAdapter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

from norv_core import _native as n  # noqa: E402
from norv_host import typing as host_typing  # noqa: E402

host_typing.install()

SPEC = n.Dict({"id": int, "name": str, "score": float, "active": bool, "tags": list[int]})


class Record(TypedDict):
    id: int
    name: str
    score: float
    active: bool
    tags: list[int]


ADAPTER = TypeAdapter(Record)
RECORDS = [
    {"id": i, "name": f"n{i}", "score": i * 0.5, "active": i % 2 == 0, "tags": [i, i + 1, i + 2]}
    for i in range(10**4)
]


def native_all(records):
    apply = SPEC.apply
    for r in records:
        apply(r)


def pydantic_all(records):
    validate = ADAPTER.validate_python
    for r in records:
        validate(r)


def main():
    runner = pyperf.Runner()
    native = runner.bench_func("native Dict(schema).apply x10^4", native_all, RECORDS)
    peer = runner.bench_func("pydantic TypeAdapter(TypedDict) x10^4", pydantic_all, RECORDS)
    if native is None or peer is None:
        return  # a pyperf worker process
    per = native.mean() / len(RECORDS) * 1e9
    print(f"native {per:.0f} ns/record; pydantic/native {peer.mean() / native.mean():.2f}x")


if __name__ == "__main__":
    main()
