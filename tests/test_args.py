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


def format(value, compact=False, verbose=True, root_indent=0, list_wrap_threshold=80,
           strip_object_id=False, include_keys=None, exclude_keys=None, markdown=False,
           max_str_len=None, max_bytes_len=None, *, custom_format=None, memo=None, **kwargs):
    pass


def kvlist_str(kvlist, compact=True, verbose=False, root_indent=0, *, label=None,
               bracket_type=0, custom_format=None, memo=None, **kwargs):
    pass


def _install_formatting_bridge(str_format, repr_format, outer_markdown_active):
    pass


# Every row fails to bind in Python, so the installer never stores anything.
FORMATTING_CALLS = [
    ((), {}),
    ((), {"compact": 1}),
    ((1,) * 12, {}),
    ((1,) * 12, {"memo": None}),
    ((1,) * 12, {"memo": None, "custom_format": None}),
    ((1, 2), {"compact": 3}),
    ((1,), {"value": 2}),
    ((1,) * 5, {"kvlist": 1}),
    ((1, 2), {}),
    ((1, 2, 3), {"outer_markdown_activ": 4}),
    ((1, 2, 3), {"str_format": 4}),
    ((1, 2), {"outer_markdown_active": 3, "extra": 4}),
]


@pytest.mark.parametrize(
    "native, python",
    [
        (n.format, format),
        (n.kvlist_str, kvlist_str),
        (n._install_formatting_bridge, _install_formatting_bridge),
    ],
    ids=["format", "kvlist_str", "install"],
)
def test_formatting_binding_errors_match_python(native, python):
    for args, kwargs in FORMATTING_CALLS:
        expected = outcome(python, args, kwargs)
        if expected is not None:
            assert outcome(native, args, kwargs) == expected, (args, kwargs)
