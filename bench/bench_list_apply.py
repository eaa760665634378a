"""List application: `List(Int()).apply` over plain lists of ints.

Per element, against pydantic's `TypeAdapter(list[int]).validate_python` and
the plain-Python loop a host would otherwise write. Every contender checks
each element's type and returns the list. Ratios are contender / native
(above 1: native is faster).
"""

import os
import sys

import pyperf
from pydantic import TypeAdapter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

from norv_core import _native as n  # noqa: E402
from norv_host import typing as host_typing  # noqa: E402

host_typing.install()

SPEC = n.List(n.Int())
ADAPTER = TypeAdapter(list[int])


def py_list_of_int(value):
    if not isinstance(value, list):
        raise TypeError(f"Expect {list} but encountered {type(value)!r}: {value}.")
    for i, x in enumerate(value):
        if type(x) is not int and not isinstance(x, int):
            raise TypeError(f"Expect {int} but encountered {type(x)!r}: {x}. (path=[{i}])")
    return value


def main():
    runner = pyperf.Runner()
    results = []
    for size in (10**3, 10**5):
        data = list(range(size))
        contenders = [
            ("native List(Int()).apply", SPEC.apply),
            ("pydantic TypeAdapter", ADAPTER.validate_python),
            ("plain python", py_list_of_int),
        ]
        rs = [(label, runner.bench_func(f"{label} n={size}", fn, data)) for label, fn in contenders]
        results.append((size, rs))
    for size, rs in results:
        if any(r is None for _, r in rs):
            continue  # a pyperf worker process
        (_, native), *peers = rs
        per_elem = native.mean() / size * 1e9
        ratios = "; ".join(f"{p}/native {r.mean() / native.mean():.2f}x" for p, r in peers)
        print(f"n={size}: native {per_elem:.2f} ns/element; {ratios}")


if __name__ == "__main__":
    main()
