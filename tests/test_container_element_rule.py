"""The element rule of the list, tuple and dict fast paths. With
`inplace=False` the full application copies a plain list, so getting the very
list back shows the fast path accepted it."""

import pytest
from leakcheck import block_growth, refcount_delta, swallow

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

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


def identity_transform(key, v, parent):
    return v


identity_transform._norv_scalar_identity = True


@pytest.mark.parametrize(
    "spec, value, kwargs, fast",
    [
        (n.Dict(bulk_schema()), {"a": 1}, {}, True),
        (n.Dict(bulk_schema()), {"a": True}, {}, False),
        (n.Dict(bulk_schema()), {"a": 1, "b": 2}, {}, False),
        (n.Dict(bulk_schema()), {}, {}, False),
        (n.Dict(bulk_schema()), Sub(a=1), {}, False),
        (n.Dict(bulk_schema()), {"a": 1}, {"child_transform": identity_transform}, True),
        (n.Dict(bulk_schema()), {"a": 1}, {"child_transform": lambda k, v, p: v}, False),
        (n.Dict(n.Schema([F("a", n.Int(), enable_wrap=False)])), {"a": 1}, {}, True),
        (n.Dict(n.Schema([F("a", n.Int(min_value=0))])), {"a": 1}, {}, False),
        (n.Dict(n.Schema([F("a", n.Int())]), frozen=True), {"a": 1}, {}, False),
        (n.Dict(n.Schema([F("a", n.Int())]), transform=lambda v: v), {"a": 1}, {}, False),
        (n.Dict(int), {"x": 1, "y": 2}, {}, True),
        (n.Dict(int), {}, {}, True),
        (n.Dict(int), {"x": 1, "y": True}, {}, False),
        (n.Dict(n.Int(min_value=0)), {"x": 1}, {}, False),
        (n.Dict(n.Object(C)), {"x": C()}, {}, True),
        (n.Dict(n.Object(C)), {"x": SubC()}, {}, False),
        (n.Dict(n.Any()), {"x": [1], "y": {"k": 1}}, {}, True),
        (n.Dict(n.Any()), {"x": 1}, {"child_transform": identity_transform}, True),
        (n.Dict(n.Any()), {"x": [1]}, {"child_transform": identity_transform}, False),
        (n.Dict(n.Dict(int)), {"x": {"y": 1}}, {}, False),
        (n.Dict(n.Dict(bulk_schema())), {"x": {"a": 1}}, {}, True),
        (n.Dict(n.Dict(bulk_schema())), {"x": {"a": 1}}, {"child_transform": identity_transform}, False),
    ],
)
def test_dict_fast_path(spec, value, kwargs, fast):
    try:
        got = accepted_whole(spec, value, **kwargs)
    except (TypeError, ValueError, KeyError):
        got = False
    assert got is fast


def test_open_dict_rejects_non_str_keys_without_fast_path():
    value = {1: 1}
    with pytest.raises((KeyError, TypeError)):
        n.Dict(int).apply(value, inplace=False)
    assert value == {1: 1}


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
    value = {"x": Broken()}
    with pytest.raises(RuntimeError, match="broken partial"):
        n.Dict(n.Object(Broken)).apply(value)
    assert list(value) == ["x"]


def test_schema_field_of_list_takes_the_fast_path():
    s = n.Schema([F("tags", n.List(int)), F("any", n.List(n.Any()))])
    tags, nested = [1, 2], [{"k": 1}]
    d = {"tags": tags, "any": nested}
    assert s.apply(d) is d and d["tags"] is tags and d["any"] is nested


@pytest.mark.parametrize(
    "spec, value",
    [
        (n.Dict(bulk_schema()), {"a": 1}),
        (n.Dict(bulk_schema()), {"a": True}),
        (n.Dict(int), {"x": 1, "y": 2}),
        (n.Dict(int), {"x": 1, "y": "no"}),
    ],
)
def test_dict_fast_path_keeps_nothing_behind(spec, value):
    apply = swallow(lambda: spec.apply(value, inplace=False))
    assert refcount_delta(value, apply) == 0
    assert block_growth(apply, 500) < 20
