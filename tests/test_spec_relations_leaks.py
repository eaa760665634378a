"""Equality, compatibility, the wire form and extension keep no reference
behind, on success and on every kind of refusal."""

import pytest
from leakcheck import refcount_delta, swallow

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()


class Marker:
    pass


class Sub(Marker):
    pass


M = Marker()


CASES = {
    "equal": lambda: n.Any(default=M) == n.Any(default=M),
    "unequal": lambda: n.Union([Marker, int]) == n.Union([int, Sub]),
    "callable equality": lambda: n.Callable([Marker], kw=[("k", Marker)], returns=Marker)
    == n.Callable([Marker], kw=[("k", Marker)], returns=Marker),
    "compatible": lambda: n.Union([Marker, int]).is_compatible(n.Union([Sub, int])),
    "callable compatible": lambda: n.Callable([Marker], kw=[("k", Marker)]).is_compatible(
        n.Callable([Sub, int], kw=[("j", int), ("k", Sub)])
    ),
    "enum compatible": swallow(lambda: n.Enum([M, 1]).is_compatible(M)),
    "to_json": lambda: n.Callable([Marker], kw=[("k", Marker)], returns=Marker).to_json(),
    "round trip": lambda: n.Union.from_json(n.Union([Marker, int], default=M).to_json()),
    "extend": lambda: n.Object(Sub).extend(n.Object(Marker).set_transform(Marker)),
    "extend refused": swallow(lambda: n.Object(Marker).extend(n.Object(Sub))),
    "extend union": lambda: n.Union([Sub, int]).extend(n.Union([Marker, int])),
    "extend union refused": swallow(lambda: n.Union([Marker, str]).extend(n.Union([Sub, int]))),
    "extend frozen enum": lambda: n.Any(default=M).freeze(M).extend(n.Enum([M, 1])),
    "extend callable": lambda: n.Callable().extend(n.Callable([Marker], kw=[("k", Marker)], returns=Marker)),
}


@pytest.mark.usefixtures("no_call_log")
@pytest.mark.parametrize("name", list(CASES))
def test_no_reference_is_left_behind(name):
    make = CASES[name]
    assert refcount_delta(Marker, make) == 0
    assert refcount_delta(M, make) == 0
