"""Schema's derived caches: constant-field tables, the bulk check, the open plan and their refresh."""

import pytest

from norv_core import _native as n
import norv_host
import norv_host.typing as ht

norv_host.install()

F = n.Field
S = n.Schema


class HostKey:
    """A host key spec: non-constant, regex-free, not the bridge's StrKey class."""

    is_const = False
    const_text = None
    regex = None

    def match(self, key):
        return True


class TextKey:
    """A constant host key spec whose text is whatever it is given."""

    is_const = True

    def __init__(self, text):
        self.const_text = text


class HostField:
    def __init__(self, key, value):
        self.key, self.value, self.validator, self.enable_init = key, value, None, True


def test_empty_schema_caches():
    s = S([])
    assert (s._const_apply_fields, s._const_bulk_check) == ((), ())
    assert (s._has_const_keys, s._has_nonconst_keys, s._open_plan_info()) == (False, False, None)
    assert s._field_meta_classes() == [] and s.resolve([])[0] == {}


def test_one_constant_key():
    spec = n.Int()
    f = F("x", spec)
    s = S([f])
    assert s._const_bulk_check == (("x", int),)
    assert s._const_apply_fields == (("x", f, spec),)
    assert (s._has_const_keys, s._has_nonconst_keys) == (True, False)


@pytest.mark.parametrize(
    "fields, bulk",
    [
        ([F("x", n.Int()).set_validator(print)], None),
        ([F("x", n.Int()), F("y", n.Int(min_value=0))], None),  # not eligible
        ([F("x", n.Str()), F("y", n.Bool()), F("z", n.Float())], (("x", str), ("y", bool), ("z", float))),
    ],
)
def test_bulk_check(fields, bulk):
    s = S(fields)
    assert s._const_bulk_check == bulk
    assert [t[1] for t in s._const_apply_fields] == fields


def test_open_plan_between_constant_keys():
    a, b = F("a", n.Int()), F("b", n.Str(), enable_init=False)
    s = S([a, F(n.StrKey(), n.Any(), enable_init=False), b], allow_nonconst_keys=True)
    assert s._open_plan_info() == {
        "const_keys": ["a", "b"],
        "const_init": [True, False],
        "wildcard_init": False,
        "wildcard_pos": 1,
    }
    assert (s._const_apply_fields, s._const_bulk_check) == (None, None)
    assert (s._has_const_keys, s._has_nonconst_keys) == (True, True)
    assert s._field_meta_classes() == []
    with pytest.raises(KeyError) as e:
        s._funnel_leaf("a", 1)
    assert e.value.args == ("No precomputed FieldMeta for key 'a'.",)


def test_wildcard_only_plan():
    s = S([F(n.StrKey(), n.Any())], allow_nonconst_keys=True)
    assert s._open_plan_info() == {"const_keys": [], "const_init": [], "wildcard_init": True, "wildcard_pos": 0}
    assert s._has_const_keys is False


@pytest.mark.parametrize(
    "keys",
    [
        [n.StrKey("a.*")],  # a regex
        [HostKey()],  # not the bridge's class
        [n.StrKey(), n.StrKey("b.*")],  # two non-constant keys
    ],
    ids=["regex", "host-key", "two"],
)
def test_no_plan(keys):
    fields = [HostField(k, n.Any()) for k in keys]
    assert S(fields, allow_nonconst_keys=True)._open_plan_info() is None


@pytest.mark.parametrize("text", [5, None, b"x"])
def test_constant_text_must_be_str(text):
    with pytest.raises(TypeError, match="is not an instance of 'str'"):
        S([HostField(TextKey(text), n.Int())])


def test_snapshots_follow_the_live_fields_only_after_recompute():
    old, new = n.Int(), n.Str()
    f = F("x", old)
    s = S([f])
    f._value = new
    assert s._const_apply_fields[0][2] is old and s._const_bulk_check == (("x", int),)
    f.set_validator(print)
    assert s._const_bulk_check == (("x", int),)  # a snapshot: the validator is not seen
    assert s._recompute_caches() is None
    assert s._const_apply_fields[0][2] is new and s._const_bulk_check is None


def test_recompute_drops_the_native_fields_records():
    spec = n.Int()
    s = S([F("x", spec)])
    assert s._funnel_leaf("x", 1)[0] == "verbatim"
    spec.set_transform(lambda v: v)  # a change of the spec object alone
    assert s._funnel_leaf("x", 1)[0] == "verbatim"
    s._recompute_caches()
    assert s._funnel_leaf("x", 1) == ("deferred", None)


def test_recompute_sees_edits_of_the_live_dict_and_keeps_caches_on_error():
    s = S([F("x", n.Int())])
    y = F("y", n.Str())
    s.fields[y.key] = y
    assert len(s._const_apply_fields) == 1
    s._recompute_caches()
    assert [t[0] for t in s._const_apply_fields] == ["x", "y"]
    s.fields[TextKey(3)] = HostField(TextKey(3), n.Int())
    before = s._const_apply_fields
    with pytest.raises(TypeError):
        s._recompute_caches()
    assert s._const_apply_fields is before


def test_handed_out_caches_cannot_be_edited():
    s = S([F("x", n.Int())])
    assert isinstance(s._const_apply_fields, tuple) and isinstance(s._const_bulk_check, tuple)
    resolved = s.resolve(["x"])[0]
    with pytest.raises(TypeError):
        resolved["x"] = []
    with pytest.raises(AttributeError):
        resolved["x"].append("y")


def test_large_schema():
    fields = [F(f"k{i}", n.Int()) for i in range(10_000)]
    s = S(fields)
    assert len(s._const_bulk_check) == 10_000 and s.get("k9999") is fields[-1]
    assert s._funnel_leaf("k9999", 3) == ("verbatim", 3)
