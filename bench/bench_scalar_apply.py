"""Scalar spec application per call: the native specs against pydantic's
TypeAdapter validating the same constrained values, and against the plain
Python check a host would otherwise write (isinstance plus bound tests)."""

import os
import re
import sys
from typing import Annotated

import pyperf
from pydantic import Field, StringConstraints, TypeAdapter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

from norv_core import _native as n  # noqa: E402
from norv_host import typing as host_typing  # noqa: E402

host_typing.install()

LOOPS = 1000
PATTERN = "^[a-z]+$"
_RE = re.compile(PATTERN)

INT_SPEC = n.Int(min_value=0)
STR_SPEC = n.Str(regex=PATTERN)
FLOAT_SPEC = n.Float()

INT_ADAPTER = TypeAdapter(Annotated[int, Field(ge=0)])
STR_ADAPTER = TypeAdapter(Annotated[str, StringConstraints(pattern=PATTERN)])
FLOAT_ADAPTER = TypeAdapter(float)


def py_int_min0(value):
    if not isinstance(value, int):
        raise TypeError(f"Expect {int} but encountered {type(value)!r}: {value}.")
    if value < 0:
        raise ValueError(f"Value {value} is out of range (min=0, max=None).")
    return value


def py_str_regex(value):
    if not isinstance(value, str):
        raise TypeError(f"Expect {str} but encountered {type(value)!r}: {value}.")
    if _RE.match(value) is None:
        raise ValueError(f"String {value!r} does not match regular expression {PATTERN!r}.")
    return value


def py_float(value):
    if isinstance(value, float):
        return value
    if isinstance(value, int):
        return float(value)
    raise TypeError(f"Expect {float} but encountered {type(value)!r}: {value}.")


def loop(fn, value):
    def run():
        for _ in range(LOOPS):
            fn(value)

    return run


CASES = [
    ("Int(min_value=0).apply(5)", INT_SPEC.apply, INT_ADAPTER.validate_python, py_int_min0, 5),
    ("Str(regex).apply('abc')", STR_SPEC.apply, STR_ADAPTER.validate_python, py_str_regex, "abc"),
    ("Float().apply(1)", FLOAT_SPEC.apply, FLOAT_ADAPTER.validate_python, py_float, 1),
]


def main():
    for label, native, adapter, plain, value in CASES:
        expected = plain(value)
        assert native(value) == expected == adapter(value) and type(native(value)) is type(expected), label
    runner = pyperf.Runner()
    results = []
    for label, native, adapter, plain, value in CASES:
        r_native = runner.bench_func(f"native   {label} x{LOOPS}", loop(native, value))
        r_adapter = runner.bench_func(f"pydantic {label} x{LOOPS}", loop(adapter, value))
        r_plain = runner.bench_func(f"python   {label} x{LOOPS}", loop(plain, value))
        results.append((label, r_native, r_adapter, r_plain))
    for label, r_native, r_adapter, r_plain in results:
        if None in (r_native, r_adapter, r_plain):
            continue  # a pyperf worker process
        per_call = r_native.mean() / LOOPS * 1e9
        print(
            f"{label}: native {per_call:.0f} ns/call; "
            f"pydantic/native {r_adapter.mean() / r_native.mean():.2f}x; "
            f"python/native {r_plain.mean() / r_native.mean():.2f}x"
        )


if __name__ == "__main__":
    main()
