"""Schema and the funnel keep no reference or block behind, on success and on failure."""

import copy

import pytest
from leakcheck import block_growth, refcount_delta, swallow

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

F, S = n.Field, n.Schema


class Origin:
    pass


class Sub(Origin):
    pass


class Marker:
    """Counted through every road: as value spec, value, metadata and name."""

    fast_apply_info = ht.FastApplyInfo(True, int)
    _exact_leaf_type = int
    has_default = False
    frozen = False

    def is_compatible(self, other):
        return True


M = Marker()


class HostField:
    def __init__(self, key, value=M):
        self.key, self.value, self.validator, self.origin = n.ConstStrKey(key), value, None, None
        self.enable_validation = self.enable_wrap = self.enable_init = True

    def set_origin(self, origin):
        self.origin = origin

    def apply(self, value, **kw):
        return value


BAD_TEXT = type("K", (), {"is_const": True, "const_text": 3})()
BAD_FIELD = type("F", (), {"key": BAD_TEXT, "value": M})()

CASES = {
    "build": lambda: S([HostField("a"), HostField("b")], name=M, metadata={"m": M}),
    "build with base": lambda: S([HostField("a")], base_schema_list=[S([HostField("b")])], for_cls=Origin),
    "merge": lambda: S.merge([S([F("x", n.Int(), origin=Origin)]), S([F("x", n.Int(), origin=Sub)])]),
    "open plan": lambda: S([HostField("a"), F(n.StrKey(), n.Any())], allow_nonconst_keys=True)._open_plan_info(),
    "resolve mixed": lambda: S([HostField("a"), F(n.StrKey(), n.Any())], allow_nonconst_keys=True).resolve(
        ["a", "z", M]
    ),
    "funnel": lambda: S([HostField("a")])._funnel_validate_field("a", M),
    "funnel produced": lambda: S([F("a", n.Float(min_value=0))])._funnel_validate_field("a", 3),
    "classes": lambda: S([HostField("a")])._field_meta_classes(),
    "copies": lambda: copy.deepcopy(copy.copy(S([HostField("a")], metadata={"m": [M]}))),
    "json": lambda: S.from_json(S([F("a", n.Int())], name="n").to_json()),
    "text": lambda: repr(S([HostField("a")], name=M)),
    "compatible": lambda: S([HostField("a")]).is_compatible(S([HostField("a")])),
    "extend": lambda: S([HostField("a")]).extend(S([HostField("b")])),
    "recompute": lambda: S([HostField("a")])._recompute_caches(),
    "bad text": swallow(lambda: S([HostField("a"), BAD_FIELD])),
    "nonconst refused": swallow(lambda: S([F(n.StrKey(), M)], metadata={"m": M})),
    "funnel refusal": swallow(lambda: S([F("a", n.Int(min_value=0))])._funnel_validate_field("a", -1)),
    "probe miss": swallow(lambda: S([HostField("a")])._funnel_leaf(M, 1)),
}


@pytest.mark.usefixtures("no_call_log")
@pytest.mark.parametrize("name", CASES)
def test_no_reference_left(name):
    assert refcount_delta(M, CASES[name]) == 0


@pytest.mark.usefixtures("no_call_log")
@pytest.mark.parametrize("name", CASES)
def test_no_block_left(name):
    # a leak grows with the rounds; a few hundred blocks of allocator noise do not
    assert block_growth(CASES[name], 5000) < 500
