"""The element rule of the list, tuple and dict fast paths. With
`inplace=False` the full application copies a plain list, so getting the very
list back shows the fast path accepted it."""

import pytest

from norv_core import _native as n
from norv_host import typing as ht

ht.install()

F = n.Field


def accepted_whole(spec, value, **kwargs):
    return spec.apply(value, inplace=False, **kwargs) is value


class C:
    pass


class SubC(C):
    pass


class Partial:
    __norv_maybe_partial__ = True

    def __init__(self, partial):
        self.sym_partial = partial


class Sub(dict):
    pass


def bulk_schema():
    return n.Schema([F("a", n.Int())])


@pytest.mark.parametrize(
    "spec, value, fast",
    [
        (n.List(int), [1, 2], True),
        (n.List(int), [], True),
        (n.List(int), [1, True], False),
        (n.List(n.Int(min_value=0)), [1, 2], False),
        (n.List(n.Int(min_value=0)), [], False),
        (n.List(n.Str(regex="a")), ["a"], False),
        (n.List(n.Any()), [1, "a", None, {"k": 1}, [2], (object(),), {1}, frozenset()], True),
        (n.List(n.Any(frozen=True)), [1], False),
        (n.List(n.Any(transform=lambda v: v)), [1], False),
        (n.List(n.Object(C)), [C(), C()], True),
        (n.List(n.Object(C)), [C(), SubC()], False),
        (n.List(n.Object(Partial)), [Partial(False)], True),
        (n.List(n.Object(Partial)), [Partial(True)], False),
        (n.List(n.Dict(bulk_schema())), [{"a": 1}], True),
        (n.List(n.Dict(bulk_schema())), [{"a": 1, "b": 2}], False),
        (n.List(n.Dict(bulk_schema())), [{"a": True}], False),
        (n.List(n.Dict(bulk_schema())), [Sub(a=1)], False),
        (n.List(n.Dict()), [{}], False),
    ],
)
def test_list_fast_path(spec, value, fast):
    try:
        got = accepted_whole(spec, value)
    except (TypeError, ValueError, KeyError):
        got = False
    assert got is fast


def test_dict_bulk_rule_needs_no_child_transform():
    spec = n.List(n.Dict(bulk_schema()))
    value = [{"a": 1}]

    def transform(key, v, parent):
        return v

    transform._norv_scalar_identity = True
    assert not accepted_whole(spec, value, child_transform=transform)
    assert accepted_whole(n.List(int), [1, 2], child_transform=transform)


@pytest.mark.parametrize("nested, fast", [([1, "a"], True), ([{"k": 1}], False), ([[2]], False), ([(1,), {1}], True)])
def test_any_with_scalar_identity_transform_keeps_containers_out(nested, fast):
    def transform(key, v, parent):
        return v

    transform._norv_scalar_identity = True
    assert accepted_whole(n.List(n.Any()), nested, child_transform=transform) is fast


def test_list_of_schema_dicts_keeps_list_and_dicts():
    value = [{"a": 1}]
    out = n.List(n.Dict(bulk_schema())).apply(value)
    assert out is value and out[0] is value[0]


@pytest.mark.parametrize(
    "spec, value, fast",
    [
        (n.Tuple(int), (1, 2), True),
        (n.Tuple(int), (1, "x"), False),
        (n.Tuple([int, str]), (1, "a"), True),
        (n.Tuple([int, str]), (1, 2), False),
        (n.Tuple([int, n.Int(min_value=0)]), (1, 2), False),
    ],
)
def test_tuple_fast_path(spec, value, fast):
    try:
        out = spec.apply(value)
    except (TypeError, ValueError):
        out = None
    assert (out is value) is fast


def test_open_dict_values():
    value = {"x": 1, "y": 2}
    assert n.Dict(int).apply(value) is value


def test_errors_while_testing_propagate():
    class Broken:
        __norv_maybe_partial__ = True

        @property
        def sym_partial(self):
            raise RuntimeError("broken partial")

    with pytest.raises(RuntimeError, match="broken partial"):
        n.List(n.Object(Broken)).apply([Broken()])


def test_schema_field_of_list_takes_the_fast_path():
    s = n.Schema([F("tags", n.List(int)), F("any", n.List(n.Any()))])
    tags, nested = [1, 2], [{"k": 1}]
    d = {"tags": tags, "any": nested}
    assert s.apply(d) is d and d["tags"] is tags and d["any"] is nested
