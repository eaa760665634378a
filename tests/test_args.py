"""Argument binding speaks Python's own words: each native callable is checked
against a `def` with the same parameters."""

import pytest

from norv_core import _native as n


def _flag_scope_get(flag_id, default):
    pass


class MissingValue:
    def to_json(self, **_kwargs):
        pass

    def __deepcopy__(self, _memo):
        pass

    @classmethod
    def from_json(cls, _json_value, **_kwargs):
        pass


CALLS = [
    ((), {}),
    ((0,), {}),
    ((0, 1, 2), {}),
    ((0, 1, 2, 3), {}),
    ((0,), {"flag_id": 1}),
    ((), {"default": 1}),
    ((0, 1), {"flag": 1}),
    ((0, 1), {"flagid": 1}),
    ((0, 1), {"Default": 1}),
    ((0, 1), {"defaults": 1}),
    ((0, 1), {"x": 1, "flag_id": 2}),
    ((0, 1), {"_memo": 1}),
    ((), {"_memo": 1, "memo": 2}),
    ((), {"_json": 1}),
    ((), {"json_value": 1}),
]


def outcome(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


@pytest.mark.parametrize("args, kwargs", CALLS)
@pytest.mark.parametrize(
    "native, python",
    [
        (n._flag_scope_get, _flag_scope_get),
        (n.MissingValue().to_json, MissingValue().to_json),
        (n.MissingValue().__deepcopy__, MissingValue().__deepcopy__),
        (n.MissingValue.from_json, MissingValue.from_json),
    ],
    ids=["function", "method-kwargs", "method", "classmethod"],
)
def test_binding_errors_match_python(native, python, args, kwargs):
    expected = outcome(python, args, kwargs)
    got = outcome(native, args, kwargs)
    if expected is None:
        assert got is None or "flag id" in got or "not an instance" in got or "interpreted" in got
    else:
        assert got == expected
