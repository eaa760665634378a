"""Field, List and Tuple keep no reference behind, on success and on every kind of failure."""

import copy

import pytest
from leakcheck import block_growth, refcount_delta, swallow

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()


class Marker(ht.ValueSpecBase):
    """A host spec that passes values through."""

    _exact_leaf_type = None

    def apply(self, value, **kwargs):
        return value

    def extend(self, base):
        return self


M = Marker()
BAD = Marker()


def failing_validator(v):
    raise ValueError("no")


FIELD = n.Field("x", M, M, {"m": M})
FIELD_BAD = n.Field("x", M).set_validator(failing_validator)
LIST = n.List(M)
TUPLE = n.Tuple([M, M])
VTUPLE = n.Tuple(M, max_size=3)

CASES = {
    "field": lambda: n.Field("x", M, M, {"m": M}, alias="a"),
    "field refused": swallow(lambda: n.Field("x", M, metadata=[M])),
    "field apply": lambda: FIELD.apply(M, transform_fn=lambda p, f, v: v),
    "field validator refused": swallow(lambda: FIELD_BAD.apply(M, root_path=n.KeyPath("a"))),
    "field extend": lambda: n.Field("x", M).extend(FIELD),
    "field text": lambda: repr(FIELD),
    "field json": lambda: n.Field.from_json(FIELD.to_json()),
    "field copies": lambda: (copy.copy(FIELD), copy.deepcopy(FIELD)),
    "field eq": lambda: FIELD == n.Field("x", M, M, {"m": M}),
    "list": lambda: n.List(M, size=2),
    "list refused": swallow(lambda: n.List(M, size=-1)),
    "list apply": lambda: LIST.apply([M, M], inplace=False),
    "list apply with transform": lambda: LIST.apply([M, M], child_transform=lambda p, f, v: v),
    "tuple": lambda: n.Tuple([M, M]),
    "tuple refused": swallow(lambda: n.Tuple([M], size=1)),
    "tuple apply": lambda: TUPLE.apply((M, M)),
    "tuple length refused": swallow(lambda: TUPLE.apply((M,))),
    "variable tuple refused": swallow(lambda: VTUPLE.apply((M, M, M, M))),
}


@pytest.mark.usefixtures("no_call_log")
@pytest.mark.parametrize("name", list(CASES))
def test_no_reference_is_left_behind(name):
    make = CASES[name]
    assert refcount_delta(M, make) == 0
    assert refcount_delta(Marker, make) == 0


@pytest.mark.usefixtures("no_call_log")
def test_cyclic_fields_are_freed():
    def make():
        f = n.Field("x", Marker(), metadata={})
        f.metadata["self"] = f

    block_growth(make, 1000)  # settles the allocator and the type caches
    assert block_growth(make, 1000) < 50
