"""Symbolic lists: construction and validated item writes.

Constructing the host's symbolic list (on `SymList`) from a list of 10^5
ints, schemaless and bound to `List(Int())` (the fused typed route: every
element is exactly an int), against a plain `list` copy, pydantic's
`TypeAdapter(list[int])` and pydantic-core's `list[int]` validator called
directly; a construction that the spec refuses (the last element a str);
then 10^4 item writes into the schemaful list, each validated by the element
field and reported to the host's `_notify_field_updates`, against plain list
writes and writes that first pass pydantic-core's `int` validator, and 10^4
writes that every validating contender refuses; then 10^4 reads by index
(each resolving an inferential element, of which there is none) and 10^4
appends, and an extend by 10^4 ints, into a list bound to `List(Int())`
(each element validated and reported, the extend in one notification),
against a plain list. Ratios are native / peer (below 1: native is faster).
"""

import os
import sys

from pydantic import TypeAdapter
from pydantic_core import SchemaValidator, ValidationError
from pydantic_core import core_schema as cs

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import sidebyside  # noqa: E402
from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402
from norv_host import symbolic as hs  # noqa: E402

norv_host.install()

SIZE = 10**5
WRITES = 10**4
SOURCE = list(range(SIZE))
BAD_SOURCE = SOURCE[:-1] + ["x"]
SPEC = n.List(n.Int())
ADAPTER = TypeAdapter(list[int])
CORE = SchemaValidator(cs.list_schema(cs.int_schema()))
CORE_INT = SchemaValidator(cs.int_schema())

READS = [(i * 7919) % SIZE for i in range(WRITES)]
APPENDED = list(range(SIZE, SIZE + WRITES))

# The writes: the first 100 positions in turn, each given a new int (never the
# object it holds, which would be no write at all, also when the plan runs again).
PLAN = [(i % 100, SIZE + i) for i in range(WRITES)]
BAD_PLAN = [(i % 100, f"not an int {i}") for i in range(WRITES)]


class Notified(hs.HostList):
    """The host's list whose change handler only counts (the stand-in's records every update)."""

    count = 0

    def _notify_field_updates(self, updates):
        Notified.count += len(updates)


def writes(target, plan):
    def run():
        for i, value in plan:
            target[i] = value

    return run


def reads(target, indices):
    def run():
        for i in indices:
            target[i]

    return run


def appends(make, values):
    def run():
        target = make()
        append = target.append
        for v in values:
            append(v)

    return run


def extends(make, values):
    def run():
        make().extend(values)

    return run


def validated_writes(target, plan):
    validate = CORE_INT.validate_python

    def run():
        for i, value in plan:
            target[i] = validate(value)

    return run


def refused(write, plan, exc):
    def run():
        for i, value in plan:
            try:
                write(i, value)
            except exc:
                pass

    return run


def failing(make, exc):
    def run():
        try:
            make()
        except exc:
            pass
        else:
            raise AssertionError("expected a failure")

    return run


if __name__ == "__main__":
    native = Notified(SOURCE, value_spec=SPEC)
    plain = list(SOURCE)

    def native_set(i, value):
        native[i] = value

    def core_set(i, value):
        plain[i] = CORE_INT.validate_python(value)

    sidebyside.run(
        [
            (
                "construct from 10^5 ints, schemaless",
                lambda: Notified(SOURCE),
                [("list", lambda: list(SOURCE))],
                SIZE,
                "element",
            ),
            (
                "construct from 10^5 ints with List(Int())",
                lambda: Notified(SOURCE, value_spec=SPEC),
                [
                    ("list", lambda: list(SOURCE)),
                    ("pydantic TypeAdapter", lambda: ADAPTER.validate_python(SOURCE)),
                    ("pydantic-core validator", lambda: CORE.validate_python(SOURCE)),
                ],
                SIZE,
                "element",
            ),
            (
                "refused construction of 10^5 elements (the last a str)",
                failing(lambda: Notified(BAD_SOURCE, value_spec=SPEC), TypeError),
                [
                    ("pydantic TypeAdapter", failing(lambda: ADAPTER.validate_python(BAD_SOURCE), ValidationError)),
                    ("pydantic-core validator", failing(lambda: CORE.validate_python(BAD_SOURCE), ValidationError)),
                ],
                SIZE,
                "element",
            ),
            (
                "10^4 validated item writes with notification",
                writes(native, PLAN),
                [("list", writes(list(SOURCE), PLAN)), ("pydantic-core int + store", validated_writes(plain, PLAN))],
                WRITES,
                "write",
            ),
            (
                "10^4 refused item writes (a str for an int element)",
                refused(native_set, BAD_PLAN, TypeError),
                [("pydantic-core int + store", refused(core_set, BAD_PLAN, ValidationError))],
                WRITES,
                "write",
            ),
            (
                "10^4 reads by index",
                reads(native, READS),
                [("list", reads(plain, READS))],
                WRITES,
                "read",
            ),
            (
                "10^4 validated appends with notification",
                appends(lambda: Notified(value_spec=SPEC), APPENDED),
                [("list", appends(list, APPENDED))],
                WRITES,
                "element",
            ),
            (
                "extend by 10^4 ints, validated, one notification",
                extends(lambda: Notified(value_spec=SPEC), APPENDED),
                [("list", extends(list, APPENDED))],
                WRITES,
                "element",
            ),
        ],
        loops=1,
    )
