"""Failing paths: what a rejected value or a bad argument costs.

Each case raises and catches the same kind of failure in every contender:
the native spec or key path, pydantic's TypeAdapter, the pydantic-core
validator called directly, msgspec, and the plain-Python check a host would
otherwise write. Ratios are native / peer (below 1: native is faster).
"""

import os
import sys
from typing import Annotated

import msgspec
from pydantic import Field, TypeAdapter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

from norv_core import _native as n  # noqa: E402
import sidebyside  # noqa: E402
import norv_host  # noqa: E402

norv_host.install()

LOOPS = 1000

INT_SPEC = n.Int(min_value=0)
INT_ADAPTER = TypeAdapter(Annotated[int, Field(ge=0)])
INT_CORE = INT_ADAPTER.validator
INT_MSGSPEC = Annotated[int, msgspec.Meta(ge=0)]

PATH = n.KeyPath.parse("a.b.c")
DATA = {"a": {"b": {}}}


def py_int_min0(value):
    if not isinstance(value, int):
        raise TypeError(f"Expect {int} but encountered {type(value)!r}: {value}.")
    if value < 0:
        raise ValueError(f"Value {value} is out of range (min=0, max=None).")
    return value


def py_get(data, keys, default):
    for k in keys:
        try:
            data = data[k]
        except (KeyError, IndexError, TypeError):
            return default
    return data


def failing(fn, *args, exc=Exception):
    def run():
        for _ in range(LOOPS):
            try:
                fn(*args)
            except exc:
                pass

    return run


def returning(fn, *args):
    def run():
        for _ in range(LOOPS):
            fn(*args)

    return run


# (label, native, [(peer label, peer)])
CASES = [
    (
        "Int(min_value=0).apply(-1)",
        failing(INT_SPEC.apply, -1),
        [
            ("pydantic TypeAdapter", failing(INT_ADAPTER.validate_python, -1)),
            ("pydantic-core validator", failing(INT_CORE.validate_python, -1)),
            ("msgspec convert", failing(msgspec.convert, -1, INT_MSGSPEC)),
            ("plain python", failing(py_int_min0, -1)),
        ],
    ),
    (
        "Int().apply('x') (type error)",
        failing(n.Int().apply, "x"),
        [
            ("pydantic-core validator", failing(TypeAdapter(int).validator.validate_python, "x")),
            ("msgspec convert", failing(msgspec.convert, "x", int)),
            ("plain python", failing(py_int_min0, "x")),
        ],
    ),
    (
        "KeyPath.parse(5)",
        failing(n.KeyPath.parse, 5),
        [("int('x')", failing(int, "x"))],
    ),
    (
        "KeyPath.get miss with default",
        returning(PATH.get, DATA, None),
        [("plain python walk", returning(py_get, DATA, ("a", "b", "c"), None))],
    ),
    (
        "KeyPath.query miss (KeyError)",
        failing(PATH.query, DATA),
        [("dict[k] KeyError", failing(DATA["a"]["b"].__getitem__, "c"))],
    ),
]


def main():
    sidebyside.run(CASES, LOOPS)


if __name__ == "__main__":
    main()
