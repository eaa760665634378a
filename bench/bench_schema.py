"""Schema construction and lookup: a schema of 10^4 constant fields builds in
time linear in its size (compare the 10^3 and 10^4 rows), and a lookup does
not grow with it. Peers: msgspec building a Struct type of the same fields,
and the plain dict lookup the schema's own lookup wraps. Ratios are
native / peer (below 1: native is faster)."""

import os
import sys

import msgspec
from pydantic import TypeAdapter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

from norv_core import _native as n  # noqa: E402
import sidebyside  # noqa: E402
import norv_host  # noqa: E402

norv_host.install()

LOOPS = 1000


def fields(count):
    return [n.Field(f"k{i}", n.Int()) for i in range(count)]


def build(count, loops):
    fs = fields(count)
    return lambda: [n.Schema(fs) for _ in range(loops)]


def struct(count, loops):
    names = [(f"k{i}", int) for i in range(count)]
    return lambda: [msgspec.defstruct("S", names) for _ in range(loops)]


def lookup(count):
    s = n.Schema(fields(count))
    d = dict(s.fields)
    key = f"k{count - 1}"
    return (lambda: [s.get(key) for _ in range(LOOPS)]), (lambda: [d.get(key) for _ in range(LOOPS)])


CASES = []
for count, loops in ((1_000, 10), (10_000, 1)):
    # scaled so every row covers 10^4 fields
    # ns/op below is then the time per 10 fields
    CASES.append((f"{loops} Schema(s) of {count} fields", build(count, loops),
                  [("msgspec defstruct", struct(count, loops))]))
for count in (10, 10_000):
    native, peer = lookup(count)
    CASES.append((f"Schema.get on {count} fields", native, [("dict.get", peer)]))

# One field value through the funnel (an exact int, an int widened to float)
# against the peers' scalar validators.
FUNNEL = n.Schema([n.Field("i", n.Int()), n.Field("f", n.Float())])
INT_CORE = TypeAdapter(int).validator
FLOAT_CORE = TypeAdapter(float).validator
for key, value, core, label in (("i", 5, INT_CORE, "int"), ("f", 3, FLOAT_CORE, "float")):
    CASES.append((
        f"funnel {label} field <- {value!r}",
        (lambda k=key, v=value: [FUNNEL._funnel_validate_field(k, v) for _ in range(LOOPS)]),
        [
            ("pydantic-core validator", (lambda c=core, v=value: [c.validate_python(v) for _ in range(LOOPS)])),
            ("msgspec convert", (lambda t=type(value) if label == "int" else float, v=value:
                                 [msgspec.convert(v, t) for _ in range(LOOPS)])),
        ],
    ))


def main():
    sidebyside.run(CASES, LOOPS)


if __name__ == "__main__":
    main()
