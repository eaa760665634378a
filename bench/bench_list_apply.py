"""List application: `List(Int()).apply` over plain lists of ints.

Per element, against pydantic-core's validator for `list[int]` called
directly, `msgspec.convert(value, list[int])` and the plain-Python loop a
host would otherwise write. Every contender checks each element's type and
returns a list; the failing rows give each a list whose last element is a
str, so every element is checked before it raises. Ratios are native / peer
(below 1: native is faster).
"""

import os
import sys

import msgspec
from pydantic_core import SchemaValidator, ValidationError
from pydantic_core import core_schema as cs

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import sidebyside  # noqa: E402
from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402

norv_host.install()

SPEC = n.List(n.Int())
CORE = SchemaValidator(cs.list_schema(cs.int_schema())).validate_python


def msgspec_list_of_int(value):
    return msgspec.convert(value, list[int])


def py_list_of_int(value):
    if not isinstance(value, list):
        raise TypeError(f"Expect {list} but encountered {type(value)!r}: {value}.")
    for i, x in enumerate(value):
        if type(x) is not int and not isinstance(x, int):
            raise TypeError(f"Expect {int} but encountered {type(x)!r}: {x}. (path=[{i}])")
    return value


def passing(fn, data):
    return lambda: fn(data)


def failing(fn, data, exc):
    def run():
        try:
            fn(data)
        except exc:
            pass
        else:
            raise AssertionError("expected a failure")

    return run


def main():
    cases = []
    for size in (10**3, 10**5):
        good = list(range(size))
        bad = good[:-1] + ["x"]
        cases.append(
            (
                f"List(Int()).apply n={size}",
                passing(SPEC.apply, good),
                [
                    ("pydantic-core validator", passing(CORE, good)),
                    ("msgspec.convert", passing(msgspec_list_of_int, good)),
                    ("plain python", passing(py_list_of_int, good)),
                ],
                size,
            )
        )
        cases.append(
            (
                f"failing List(Int()).apply n={size}",
                failing(SPEC.apply, bad, TypeError),
                [
                    ("pydantic-core validator", failing(CORE, bad, ValidationError)),
                    ("msgspec.convert", failing(msgspec_list_of_int, bad, msgspec.ValidationError)),
                    ("plain python", failing(py_list_of_int, bad, TypeError)),
                ],
                size,
            )
        )
    sidebyside.run(cases, 1, unit="element")


if __name__ == "__main__":
    main()
