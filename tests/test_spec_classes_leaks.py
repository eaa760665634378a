"""Enum, Type, Object, Union, Callable and Functor keep no reference behind,
on success and on every kind of failure."""

import pytest
from leakcheck import refcount_delta, swallow

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()


class Marker:
    pass


class Base:
    pass


M = Marker()


CASES = {
    "enum": lambda: n.Enum([M, 1], default=M),
    "enum default refused": swallow(lambda: n.Enum([1, 2], default=M)),
    "enum value refused": swallow(lambda: n.Enum([1, 2]).apply(M)),
    "type": lambda: n.Type(Marker).apply(Marker),
    "type refused": swallow(lambda: n.Type(M)),
    "type value refused": swallow(lambda: n.Type(Base).apply(Marker)),
    "object": lambda: n.Object(Marker).apply(M),
    "object value refused": swallow(lambda: n.Object(Base).apply(M)),
    "union": lambda: n.Union([Marker, int]).apply(M),
    "union value refused": swallow(lambda: n.Union([Base, int]).apply(M)),
    "union same kind": swallow(lambda: n.Union([n.Object(Marker), n.Object(Marker)])),
    "union of one and None": lambda: n.Union[Marker, None],
    "callable": lambda: n.Callable(args=[Marker], kw=[("x", Marker)], returns=Marker),
    "callable keyword refused": swallow(lambda: n.Callable(args=[Marker], kw=[("x", Marker), 1])),
    "callable value refused": swallow(lambda: n.Callable(args=[int]).apply(M)),
    "functor": lambda: n.Functor[[Marker], Marker],
}


@pytest.mark.usefixtures("no_call_log")
@pytest.mark.parametrize("name", list(CASES))
def test_no_reference_is_left_behind(name):
    make = CASES[name]
    assert refcount_delta(Marker, make) == 0
    assert refcount_delta(M, make) == 0
