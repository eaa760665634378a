"""Schema construction and lookup.

Construction: a schema of 10^4 constant fields builds in time linear in its
size (compare the 10^3 and 10^4 rows), from fields made beforehand, against
msgspec building a Struct type of the same fields; and end to end (the value
specs, the fields and the schema, from names and types) against the same
msgspec build. Lookup: `Schema.get` by a field name, present and absent,
against `dict.get` on a dict keyed by the same names as str; it does not grow
with the schema. Funnel: one field value through the funnel against the
peers' scalar validators. Ratios are native / peer (below 1: native is
faster)."""

import os
import sys

import msgspec
from pydantic_core import SchemaValidator, core_schema

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

from norv_core import _native as n  # noqa: E402
import sidebyside  # noqa: E402
import norv_host  # noqa: E402

norv_host.install()

LOOPS = 1000


def names(count):
    return [f"k{i}" for i in range(count)]


def fields(count):
    return [n.Field(name, n.Int()) for name in names(count)]


def build(count, loops):
    fs = fields(count)
    return lambda: [n.Schema(fs) for _ in range(loops)]


def build_end_to_end(count, loops):
    ks = names(count)
    return lambda: [n.Schema([n.Field(k, n.Int()) for k in ks]) for _ in range(loops)]


def struct(count, loops):
    pairs = [(k, int) for k in names(count)]
    return lambda: [msgspec.defstruct("S", pairs) for _ in range(loops)]


def lookup(count, key):
    s = n.Schema(fields(count))
    d = {k: s[k] for k in names(count)}
    return (lambda: [s.get(key) for _ in range(LOOPS)]), (lambda: [d.get(key) for _ in range(LOOPS)])


CASES = []
for count, loops in ((1_000, 10), (10_000, 1)):
    # scaled so every row covers 10^4 fields
    # ns/op below is then the time per 10 fields
    CASES.append((f"{loops} Schema(s) of {count} fields", build(count, loops),
                  [("msgspec defstruct", struct(count, loops))]))
    CASES.append((f"{loops} Schema(s) of {count} fields, specs and fields included",
                  build_end_to_end(count, loops), [("msgspec defstruct", struct(count, loops))]))
for count in (10, 10_000):
    for label, key in (("present", f"k{count - 1}"), ("absent", "missing")):
        native, peer = lookup(count, key)
        CASES.append((f"Schema.get on {count} fields, {label}", native, [("dict.get, str keys", peer)]))

# One field value through the funnel (an exact int, an int widened to float)
# against the peers' scalar validators.
FUNNEL = n.Schema([n.Field("i", n.Int()), n.Field("f", n.Float())])
INT_CORE = SchemaValidator(core_schema.int_schema())
FLOAT_CORE = SchemaValidator(core_schema.float_schema())
for key, value, core, label in (("i", 5, INT_CORE, "int"), ("f", 3, FLOAT_CORE, "float")):
    CASES.append((
        f"funnel {label} field <- {value!r}",
        (lambda k=key, v=value: [FUNNEL._funnel_validate_field(k, v) for _ in range(LOOPS)]),
        [
            ("pydantic-core SchemaValidator", (lambda c=core, v=value: [c.validate_python(v) for _ in range(LOOPS)])),
            ("msgspec convert", (lambda t=type(value) if label == "int" else float, v=value:
                                 [msgspec.convert(v, t) for _ in range(LOOPS)])),
        ],
    ))


def main():
    sidebyside.run(CASES, LOOPS)


if __name__ == "__main__":
    main()
