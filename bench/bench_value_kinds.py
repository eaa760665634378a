"""Application of Enum, Union, Type and Object specs per call: the native
specs against pydantic's TypeAdapter validating the same values (Literal,
int | str, type[Base], InstanceOf[Base]), and against the plain Python check
a host would otherwise write."""

import os
import sys
from typing import Literal

import pyperf
from pydantic import InstanceOf, TypeAdapter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402

norv_host.install()

LOOPS = 1000


class Base:
    pass


class Derived(Base):
    pass


VALUES = ["a", "b", "c"]
OBJ = Base()


def py_enum(value):
    if not isinstance(value, str):
        raise TypeError(f"Expect {str} but encountered {type(value)!r}: {value}.")
    if value not in VALUES:
        raise ValueError(f"Value {value!r} is not in candidate list {VALUES}.")
    return value


def py_union(value):
    if isinstance(value, (int, str)):
        return value
    raise TypeError(f"Expect {(int, str)} but encountered {type(value)!r}: {value}.")


def py_type(value):
    if not isinstance(value, type):
        raise TypeError(f"Expect {type} but encountered {type(value)!r}: {value}.")
    if not issubclass(value, Base):
        raise ValueError(f"{value!r} is not a subclass of {Base!r}")
    return value


def py_object(value):
    if not isinstance(value, Base):
        raise TypeError(f"Expect {Base} but encountered {type(value)!r}: {value}.")
    return value


CASES = [
    ("Enum(['a','b','c']).apply('b')", n.Enum(VALUES).apply, TypeAdapter(Literal["a", "b", "c"]), py_enum, "b"),
    ("Union([int, str]).apply(5)", n.Union([int, str]).apply, TypeAdapter(int | str), py_union, 5),
    ("Union([int, str]).apply(True)", n.Union([int, str]).apply, TypeAdapter(int | str), py_union, True),
    ("Type(Base).apply(Derived)", n.Type(Base).apply, TypeAdapter(type[Base]), py_type, Derived),
    ("Object(Base).apply(obj)", n.Object(Base).apply, TypeAdapter(InstanceOf[Base]), py_object, OBJ),
]


def loop(fn, value):
    def run():
        for _ in range(LOOPS):
            fn(value)

    return run


def main():
    for label, native, adapter, plain, value in CASES:
        assert native(value) == plain(value) == adapter.validate_python(value), label
    runner = pyperf.Runner()
    results = []
    for label, native, adapter, plain, value in CASES:
        r_native = runner.bench_func(f"native   {label} x{LOOPS}", loop(native, value))
        r_adapter = runner.bench_func(f"pydantic {label} x{LOOPS}", loop(adapter.validate_python, value))
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
