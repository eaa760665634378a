"""Application of Enum, Union, Type and Object specs per call, passing and
failing values.

The native spec is called as callers write it, `spec.apply(value)`. The peer
is pydantic-core's validator for the same schema called directly (literal,
int | str, a union of is-instance schemas, is-subclass, is-instance), and the
plain Python check a host would otherwise write. Unions of k classes are
given an instance of the last one. A failing value is caught in the loop by
every contender. Ratios are native / peer (below 1: native is faster).
"""

import os
import sys

from pydantic_core import SchemaValidator, ValidationError
from pydantic_core import core_schema as cs

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "host"))

import sidebyside  # noqa: E402
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
CLASSES = [type(f"K{i}", (), {}) for i in range(32)]


def validator(schema):
    return SchemaValidator(schema).validate_python


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


def py_instance_of(classes):
    def check(value):
        if not isinstance(value, classes):
            raise TypeError(f"Expect {classes} but encountered {type(value)!r}: {value}.")
        return value

    return check


ENUM = (n.Enum(VALUES), validator(cs.literal_schema(VALUES)), py_enum)
INT_STR = validator(cs.union_schema([cs.int_schema(), cs.str_schema()]))
TYPE = (n.Type(Base), validator(cs.is_subclass_schema(Base)), py_type)
OBJECT = (n.Object(Base), validator(cs.is_instance_schema(Base)), py_instance_of(Base))


def classes_union(k):
    classes = CLASSES[:k]
    return (
        n.Union([n.Object(c) for c in classes]),
        validator(cs.union_schema([cs.is_instance_schema(c) for c in classes])),
        py_instance_of(tuple(classes)),
    )


# (label, (spec, pydantic-core validator, plain check), value, fails)
CASES = [
    ("Enum(['a','b','c']).apply('b')", ENUM, "b", False),
    ("Union([int, str]).apply(5)", (n.Union([int, str]), INT_STR, py_union), 5, False),
    ("Union([int, str]).apply(True)", (n.Union([int, str]), INT_STR, py_union), True, False),
    *[(f"Union of {k} Object specs, last", classes_union(k), CLASSES[k - 1](), False) for k in (2, 8, 32)],
    ("Type(Base).apply(Derived)", TYPE, Derived, False),
    ("Object(Base).apply(obj)", OBJECT, OBJ, False),
    ("Enum(['a','b','c']).apply('z')", ENUM, "z", True),
    ("Union([Int(), Str()]).apply(1.5)", (n.Union([n.Int(), n.Str()]), INT_STR, py_union), 1.5, True),
    ("Type(Base).apply(int)", TYPE, int, True),
    ("Object(Base).apply(1)", OBJECT, 1, True),
]

ERRORS = (TypeError, ValueError, ValidationError)


def raises(fn, value):
    try:
        fn(value)
    except ERRORS:
        return True
    return False


def check_cases():
    """Every contender accepts, or refuses, what the native spec does."""
    for label, (spec, core, plain), value, fails in CASES:
        if fails:
            assert raises(spec.apply, value) and raises(core, value) and raises(plain, value), label
        else:
            assert spec.apply(value) == core(value) == plain(value), label


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
            except ERRORS:
                pass

    return run


def applying(spec, value, fails):
    if fails:

        def run():
            for _ in range(LOOPS):
                try:
                    spec.apply(value)
                except ERRORS:
                    pass

    else:

        def run():
            for _ in range(LOOPS):
                spec.apply(value)

    return run


def main():
    check_cases()
    cases = []
    for label, (spec, core, plain), value, fails in CASES:
        call = calling_failing if fails else calling
        peers = [("pydantic-core validator", call(core, value)), ("plain python", call(plain, value))]
        cases.append((("failing " if fails else "") + label, applying(spec, value, fails), peers))
    sidebyside.run(cases, LOOPS, unit="call")


if __name__ == "__main__":
    main()
