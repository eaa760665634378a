"""Scalar spec application per call, passing and failing values.

The native spec is called the way callers write it, `spec.apply(value)`, with
the attribute looked up on every call. Each peer does the same work in its
fastest form, a bound method fetched once: pydantic-core's validator called
directly, pydantic's TypeAdapter, the bare compiled `re` pattern for the regex
case (the floor: the spec calls that very `match`), and the plain Python check
a host would otherwise write. A failing value is caught in the loop by every
contender. Ratios are native / peer (below 1: native is faster).
"""

import os
import re
import sys
from typing import Annotated

from pydantic import Field, StringConstraints, TypeAdapter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

from norv_core import _native as n  # noqa: E402
import norv_host  # noqa: E402
import sidebyside  # noqa: E402

norv_host.install()

LOOPS = 1000
PATTERN = "^[a-z]+$"
_RE = re.compile(PATTERN)
RE_MATCH = _RE.match

PLAIN_INT_SPEC = n.Int()
INT_SPEC = n.Int(min_value=0)
STR_SPEC = n.Str(regex=PATTERN)
FLOAT_SPEC = n.Float()
BOOL_SPEC = n.Bool()

PLAIN_INT_ADAPTER = TypeAdapter(int)
INT_ADAPTER = TypeAdapter(Annotated[int, Field(ge=0)])
STR_ADAPTER = TypeAdapter(Annotated[str, StringConstraints(pattern=PATTERN)])
FLOAT_ADAPTER = TypeAdapter(float)
BOOL_ADAPTER = TypeAdapter(bool)


def py_int_min0(value):
    if not isinstance(value, int):
        raise TypeError(f"Expect {int} but encountered {type(value)!r}: {value}.")
    if value < 0:
        raise ValueError(f"Value {value} is out of range (min=0, max=None).")
    return value


def py_int(value):
    if not isinstance(value, int):
        raise TypeError(f"Expect {int} but encountered {type(value)!r}: {value}.")
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


def py_bool(value):
    if not isinstance(value, bool):
        raise TypeError(f"Expect {bool} but encountered {type(value)!r}: {value}.")
    return value


def applying(spec, value):
    def run():
        for _ in range(LOOPS):
            spec.apply(value)

    return run


def applying_failing(spec, value):
    def run():
        for _ in range(LOOPS):
            try:
                spec.apply(value)
            except (TypeError, ValueError):
                pass

    return run


def calling(fn, value):
    def run():
        for _ in range(LOOPS):
            fn(value)

    return run


def calling_failing(fn, value):
    def run():
        for _ in range(LOOPS):
            try:
                fn(value)
            except (TypeError, ValueError):
                pass

    return run


def peers(adapter, plain):
    return [
        ("pydantic-core validator", adapter.validator.validate_python),
        ("pydantic TypeAdapter", adapter.validate_python),
        ("plain python", plain),
    ]


INT_PEERS = peers(INT_ADAPTER, py_int_min0)
STR_PEERS = peers(STR_ADAPTER, py_str_regex)

# (label, spec, value, fails, [(peer label, bound peer)])
CASES = [
    ("Int(min_value=0).apply(5)", INT_SPEC, 5, False, INT_PEERS),
    ("Str(regex).apply('abc')", STR_SPEC, "abc", False, [("bare pattern.match", RE_MATCH), *STR_PEERS]),
    ("Float().apply(1)", FLOAT_SPEC, 1, False, peers(FLOAT_ADAPTER, py_float)),
    ("Bool().apply(True)", BOOL_SPEC, True, False, peers(BOOL_ADAPTER, py_bool)),
    ("Int(min_value=0).apply(-1)", INT_SPEC, -1, True, INT_PEERS),
    ("Str(regex).apply('ABC')", STR_SPEC, "ABC", True, STR_PEERS),
    ("Int(min_value=0).apply('x')", INT_SPEC, "x", True, INT_PEERS),
    ("Int().apply('x')", PLAIN_INT_SPEC, "x", True, peers(PLAIN_INT_ADAPTER, py_int)),
]


def raises(fn, value):
    try:
        fn(value)
    except (TypeError, ValueError):
        return True
    return False


def check_cases():
    """Every contender accepts, or refuses, what the native spec does."""
    for label, spec, value, fails, case_peers in CASES:
        if fails:
            assert raises(spec.apply, value), label
            assert all(raises(fn, value) for _, fn in case_peers), label
            continue
        expected = spec.apply(value)
        assert expected == value, label
        for peer, fn in case_peers:
            got = fn(value)
            if fn is RE_MATCH:
                assert got is not None, label
            else:
                assert got == expected and type(got) is type(expected), (label, peer)


def main():
    check_cases()
    cases = []
    for label, spec, value, fails, case_peers in CASES:
        native = (applying_failing if fails else applying)(spec, value)
        call = calling_failing if fails else calling
        cases.append((label, native, [(p, call(fn, value)) for p, fn in case_peers]))
    sidebyside.run(cases, LOOPS)


if __name__ == "__main__":
    main()
