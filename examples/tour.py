"""A short tour of norv_core._native, driven the way the host package drives it."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import norv_core  # noqa: E402
from norv_core import _native as n  # noqa: E402
from norv_host import topology  # noqa: E402


def section(title):
    print(f"\n== {title}")


section("Module")
print("ABI version:", n.abi_version())
print(f"{len(n.__all__)} registered names, first: {n.__all__[:4]}")
print("internal faults raise", norv_core.PanicException.__name__, "(a BaseException)")

section("Flag scopes (per thread)")
print("sealed scope present?", n._flag_scope_has(n._FLAG_SEALED))
n._flag_scope_set(n._FLAG_SEALED, True)
print("after set(True):", n._flag_scope_get(n._FLAG_SEALED, "absent"))
n._flag_scope_del(n._FLAG_SEALED)
print("after del:", n._flag_scope_get(n._FLAG_SEALED, "absent"))

section("MissingValue")
m = topology.MISSING_VALUE
print(repr(m), "| equal to a fresh one:", m == n.MissingValue(), "| JSON:", m.to_json())

section("KeyPath")
p = n.KeyPath.parse("a.b[0].c")
print(repr(p), "| keys:", p.keys, "| equal to its text:", p == "a.b[0].c", "| hash as text:", hash(p) == hash("a.b[0].c"))
print("child:", n.KeyPath("d", p), "| complex key:", n.KeyPath(["x", "a.b"]), "| parent:", p.parent)
print("query:", p.query({"a": {"b": [{"c": 42}]}}), "| get absent:", n.KeyPath.parse("a.z").get({"a": {}}, "default"))
print("JSON:", p.to_json(), "| sorted:", sorted([n.KeyPath([10]), n.KeyPath([9]), n.KeyPath(["1", "a"])]))
