"""Schema: construction, merge, extend, lookup, resolution, text and JSON forms, copies, equality."""

import copy
import gc
import weakref

import pytest
from collector import tp_clear

from norv_core import _native as n
from norv_core import PanicException
import norv_host
import norv_host.typing as ht

norv_host.install()

F = n.Field
S = n.Schema


class Base:
    pass


class Child(Base):
    pass


class Other:
    pass


class InheritSpec:
    _is_inherit_marker = True
    fast_apply_info = ht.FastApplyInfo()


class HostField:
    def __init__(self, key, value, origin=None):
        self.key = n.ConstStrKey(key) if isinstance(key, str) else key
        self.value = value
        self.origin = origin
        self.validator = None

    def set_origin(self, origin):
        self.origin = origin


# ---- construction -----------------------------------------------------------------------------


def test_empty_schema():
    s = S([])
    assert (s.fields, s.dynamic_field, s.metadata, s.allow_nonconst_keys) == ({}, None, {}, False)
    assert (s.name, s.description) == (None, None)


def test_duplicate_key_keeps_first_position_and_last_field():
    a1, b, a2 = F("a", n.Int()), F("b", n.Int()), F("a", n.Str())
    s = S([a1, b, a2])
    assert list(s.keys()) == ["a", "b"] and s["a"] is a2


@pytest.mark.parametrize("given, same", [({}, False), ({"k": 1}, True), (None, False)])
def test_metadata_kept_only_when_truthy(given, same):
    s = S([], metadata=given)
    assert s.metadata == (given or {}) and (s.metadata is given) == same


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((("x",),), {}, TypeError, "Argument 'fields' must be a list. Encountered: ('x',)."),
        (([F(n.StrKey(), n.Any())],), {}, ValueError, "NonConstKey is not allowed in schema. Encountered 'StrKey()'."),
        (([HostField("q", InheritSpec())],), {}, TypeError,
         "Field q: `nv.typing.Inherit` requires a parent field with the same key, but none was found in the "
         "base schema(s)."),
        (([],), {"allow_nonconst_keys": 1}, TypeError, "argument 'allow_nonconst_keys': "),
    ],
)
def test_construction_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        S(*args, **kwargs)
    assert str(e.value).startswith(message)


def test_a_raising_inherit_marker_read_is_no_marker_unless_grave(raised):
    class Spec:
        _is_inherit_marker = raised.attribute()
        fast_apply_info = ht.FastApplyInfo()

    raised.check(lambda: list(S([HostField("q", Spec())]).keys()), ["q"])


def test_list_subclass_is_accepted_and_subclassing_refused():
    class L(list):
        pass

    assert list(S(L([F("a", n.Int())])).keys()) == ["a"]
    with pytest.raises(TypeError):
        type("Sub", (S,), {})


def test_dynamic_field_with_nonconst_keys_allowed():
    w = F(n.StrKey(), n.Any())
    s = S([F("a", n.Int()), w], allow_nonconst_keys=True)
    assert s.dynamic_field is w and s.allow_nonconst_keys is True


def test_for_cls_stamps_missing_origins_and_registers():
    ht.calls.clear()
    fresh, owned = HostField("a", n.Int()), HostField("b", n.Int(), origin=Other)
    displaced = HostField("a", n.Str())
    fields = [displaced, fresh, owned]
    S(fields, for_cls=Base)
    assert (displaced.origin, fresh.origin, owned.origin) == (Base, Base, Other)
    reg = [c for c in ht.calls if c[0] == "register_forward_ref_target"]
    assert len(reg) == 1 and reg[0][1] is fields and reg[0][2] is Base


def test_empty_base_list_merges_nothing():
    ht.calls.clear()
    S([F("a", n.Int())], base_schema_list=[])
    assert not [c for c in ht.calls if c[0] in ("topology_merge", "make_field_merge_fn")]


def test_base_schema_merge_and_inherit_resolution():
    base = S([F("a", n.Int()), F("q", n.Str())], name="B", metadata={"m": 1})
    ht.calls.clear()
    s = S([F("b", n.Int()), HostField("q", InheritSpec())], base_schema_list=[base], metadata={"n": 2})
    assert list(s.keys()) == ["a", "q", "b"] and s["q"] is base["q"]
    # the bases are merged into one schema first, which starts with empty metadata
    assert s.metadata == {"n": 2}
    assert ("make_field_merge_fn", False, None) in ht.calls  # the merged base has no name


def test_merged_schema_fields_must_be_a_dict():
    base = S([F("a", n.Int())])

    class Fake:
        name, fields, metadata = "F", [], {}

    with pytest.raises(TypeError, match="'list' object is not an instance of 'dict'"):
        S.merge([base, Fake()])


# ---- merge --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "origin1, origin2, winner",
    [(None, Child, 0), (Base, None, 0), (Base, Child, 1), (Base, Base, 1), (Child, Base, 0), (Base, Other, 0)],
)
def test_merge_replacement_by_origin(origin1, origin2, winner):
    x1, x2 = F("x", n.Int(), origin=origin1), F("x", n.Str(), origin=origin2)
    s1, s2 = S([x1, F("y", n.Int())]), S([x2])
    m = S.merge([s1, s2], name="M", description="d")
    assert list(m.keys()) == ["x", "y"] and m["x"] is (x1, x2)[winner]
    assert (m.name, m.description, m.allow_nonconst_keys, m.metadata) == ("M", "d", True, {})


def test_merge_keeps_first_nonconst_field_last():
    w1, w2 = F(n.StrKey(), n.Any()), F(n.StrKey("z.*"), n.Int())
    s1 = S([w1, F("a", n.Int())], allow_nonconst_keys=True)
    s2 = S([F("b", n.Int()), w2], allow_nonconst_keys=True)
    m = S.merge(iter([s1, s2]))
    assert list(m.values()) == [s1["a"], s2["b"], w1] and m.dynamic_field is w1


def test_merge_issubclass_error_propagates():
    x1, x2 = F("x", n.Int(), origin=Base), F("x", n.Int(), origin=1)
    with pytest.raises(TypeError, match="issubclass"):
        S.merge([S([x1]), S([x2])])


# ---- extend -------------------------------------------------------------------------------


def test_extend_keeps_identity_and_skips_construction_checks():
    w = F(n.StrKey(), n.Any())
    s = S([F("a", n.Int())], name="N", description="D")
    base = S([w], allow_nonconst_keys=True)
    assert s.extend(base) is s
    assert (s.name, s.description, s.allow_nonconst_keys) == ("N", "D", False)
    assert s.dynamic_field is w and list(s.keys()) == [n.StrKey(), "a"]
    assert s._has_nonconst_keys is True


def test_extend_keeps_existing_dynamic_field_and_refreshes_caches():
    w = F(n.StrKey(), n.Any())
    s = S([w], allow_nonconst_keys=True)
    s.extend(S([F(n.StrKey("x"), n.Int())], allow_nonconst_keys=True))
    assert s.dynamic_field is w


def test_extend_failure_changes_nothing():
    s = S([F("a", n.Int())])
    before = (s.fields, s._const_apply_fields)

    class Bad:
        name, metadata = "B", {}

        @property
        def fields(self):
            raise LookupError("no fields")

    with pytest.raises(LookupError):
        s.extend(Bad())
    assert (s.fields, s._const_apply_fields) == before and s.fields is before[0]


# ---- lookup -------------------------------------------------------------------------------


def test_plain_lookup():
    x = F("x", n.Int())
    s = S([x])
    assert s.get("x") is x and s["x"] is x and "x" in s
    assert s.get("y") is None and s.get("y", 5) == 5 and "y" not in s
    with pytest.raises(KeyError) as e:
        s["y"]
    assert e.value.args == ("'y'",)
    with pytest.raises(TypeError):
        s.get([])


class StrSub(str):
    __hash__ = str.__hash__


def lookups(s, key):
    return (s.get(key), s.get(key, "dflt"), s.get(key, default="dflt"), key in s, s.get_field(key))


def edit_add(s, f):
    s.fields[n.ConstStrKey("y")] = f


def edit_replace(s, f):
    s.fields[next(iter(s.fields))] = f


def edit_drop(s, f):
    s.fields.clear()


@pytest.mark.parametrize(
    "edit, key, expected",
    [
        (None, "x", "x"),
        (None, StrSub("x"), "x"),
        (None, n.ConstStrKey("x"), "x"),
        (None, "".join(["", "x"]), "x"),
        (None, "y", None),
        (None, 1, None),
        (edit_add, "y", "new"),
        (edit_replace, "x", "new"),
        (edit_drop, "x", None),
    ],
)
def test_lookup_follows_the_live_fields(edit, key, expected):
    # a str is answered from the caches while `fields` is unchanged
    x, new = F("x", n.Int()), F("y", n.Str())
    s = S([x, F("z", n.Int())])
    if edit is not None:
        edit(s, new)
    field = {"x": x, "new": new, None: None}[expected]
    assert lookups(s, key) == (field, field or "dflt", field or "dflt", field is not None, field)
    if field is None:
        with pytest.raises(KeyError):
            s[key]
    else:
        assert s[key] is field


def test_views_are_live():
    s = S([F("x", n.Int())])
    keys, values, items = s.keys(), s.values(), s.items()
    s.fields["y"] = "field"
    assert list(keys) == ["x", "y"] and len(values) == 2 and len(items) == 2


def test_get_field_tries_key_specs_in_order():
    w1, w2 = F(n.StrKey("a.*"), n.Int()), F(n.StrKey(), n.Any())
    s = S([F("x", n.Int()), w1, w2], allow_nonconst_keys=True)
    assert s.get("abc") is None
    assert s.get_field("abc") is w1 and s.get_field("zzz") is w2 and s.get_field("x") is s["x"]
    assert s.get_field(3) is None


def test_get_field_without_nonconst_flag_only_probes():
    s = S([F("x", n.Int())])
    s.fields[n.StrKey()] = F(n.StrKey(), n.Any())
    assert s.get_field("anything") is None


def test_get_field_match_error_propagates():
    class Key:
        is_const = False
        const_text = None

        def match(self, key):
            raise ArithmeticError("match")

    f = HostField(Key(), n.Any())
    s = S([f], allow_nonconst_keys=True)
    with pytest.raises(ArithmeticError):
        s.get_field("k")


# ---- resolve ------------------------------------------------------------------------------


def test_resolve_on_constant_keys_is_one_cached_readonly_mapping():
    s = S([F("a", n.Int()), F("b", n.Int())])
    resolved, unmatched = s.resolve(["a", "z"])
    assert dict(resolved) == {"a": ("a",), "b": ("b",)} and unmatched == ["z"]
    again, _ = s.resolve(iter([]))
    assert again is resolved
    with pytest.raises(TypeError):
        resolved["a"] = ["corrupted"]
    assert list(resolved.keys()) == ["a", "b"]


def test_resolve_on_mixed_schema():
    w = F(n.StrKey(), n.Any())
    s = S([F("a", n.Int()), F("b", n.Int()), w], allow_nonconst_keys=True)
    resolved, unmatched = s.resolve(["a", "z"])
    assert resolved == {"a": ["a"], "b": [], n.StrKey(): ["z"]} and unmatched == []
    assert list(resolved) == ["a", "b", n.StrKey()]


def test_resolve_unmatched_by_regex():
    s = S([F(n.StrKey("a.*"), n.Any())], allow_nonconst_keys=True)
    assert s.resolve(["ab", "zz", 3]) == ({n.StrKey("a.*"): ["ab"]}, ["zz", 3])


# ---- text and JSON --------------------------------------------------------------------------


def test_text_forms():
    s = S([F("a", n.Int())], name="N")
    assert repr(s) == "Schema(name='N', fields=[Field(key=a, value=Int())], allow_nonconst_keys=False)"
    assert str(s) == s.format(list_wrap_threshold=80)
    assert s.format(compact=True, cls_name="X").startswith("X(")
    assert s.format(fields_only=True) == s.format()
    with pytest.raises(TypeError, match="argument 'fields_only'"):
        s.format(fields_only=1)
    assert "allow_nonconst_keys" not in repr(S([], allow_nonconst_keys=True))


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"compact": 1}, TypeError, "argument 'compact': 'int' object is not an instance of 'bool'"),
        ({"root_indent": "x"}, TypeError, "argument 'root_indent': 'str' object cannot be interpreted as an integer"),
        ({"root_indent": 2**70}, OverflowError, None),
        ({"bogus": 1, "label": "L"}, None, None),  # extra options pass through; the label is replaced
    ],
)
def test_format_arguments(kwargs, exc, message):
    s = S([F("a", n.Int())])
    if exc is None:
        assert s.format(**kwargs).startswith("Schema(")
        return
    with pytest.raises(exc) as e:
        s.format(**kwargs)
    if message:
        assert str(e.value) == message and e.value.__cause__ is None


def test_to_json_and_back():
    s = S([F("a", n.Int())], name="N", description="D", metadata={"k": 1}, allow_nonconst_keys=True)
    j = s.to_json()
    assert list(j) == ["_type", "fields", "name", "description", "allow_nonconst_keys", "metadata"]
    assert j["_type"] == "norv.typing.Schema"
    back = S.from_json(j)
    assert back == s and back.name == "N" and back.allow_nonconst_keys is True


def test_to_json_of_empty_schema_needs_no_bridge(run_py):
    out = run_py(
        """
        from norv_core import _native as n
        s = n.Schema([])
        print(s.to_json(), n.Schema.from_json({}).metadata)
        """
    )
    assert out.split("\n")[0] == "{'_type': 'norv.typing.Schema'} {}"


@pytest.mark.parametrize(
    "value, message",
    [(None, "'None' is not an instance of 'dict'"), ([], "'list' object is not an instance of 'dict'")],
)
def test_from_json_refuses_non_dicts(value, message):
    with pytest.raises(TypeError, match=message):
        S.from_json(value)


def test_from_json_flag_must_be_bool():
    with pytest.raises(TypeError):
        S.from_json({"allow_nonconst_keys": 1})
    assert S.from_json({}).allow_nonconst_keys is False


# ---- copies, equality, compatibility -------------------------------------------------------


def test_copies():
    md = {"k": [1]}
    s = S([F("a", n.Int())], name=["n"], description=["d"], metadata=md)
    c = copy.copy(s)
    assert c is not s and c["a"] is s["a"] and c.metadata is md and c.name is s.name
    d = copy.deepcopy(s)
    assert d["a"] is not s["a"] and d["a"].key == "a" and d.metadata == md and d.metadata is not md
    assert d.name is s.name and d.description is s.description


def test_equality():
    a, b = F("a", n.Int()), F("b", n.Str())
    s1 = S([a, b], name="x")
    # value specs compare by identity for now: the fields share theirs
    s2 = S([F("b", b.value), F("a", a.value)], name="y", metadata={"m": 1})
    assert s1 == s2 and not (s1 != s2)
    assert s1 != S([a]) and (s1 == 1) is False and (s1 != 1) is True
    with pytest.raises(TypeError):
        s1 < s2
    with pytest.raises(TypeError):
        hash(s1)


class CompatSpec:
    fast_apply_info = ht.FastApplyInfo()

    def __init__(self, answer, log):
        self.answer, self.log = answer, log

    def is_compatible(self, other):
        self.log.append(other)
        return self.answer


@pytest.mark.parametrize(
    "mine, theirs, answer, asked",
    [
        (["a"], ["a"], True, 1),
        (["a"], ["a", "b"], False, 0),  # one key more
        (["b", "a"], ["a"], False, 0),  # one key less, met first
        (["a", "b"], ["a"], False, 1),  # the walk asks until it meets the missing key
        (["a"], [], False, 0),
    ],
)
def test_is_compatible(mine, theirs, answer, asked):
    log = []
    s = S([HostField(k, CompatSpec(True, log)) for k in mine])
    other = S([HostField(k, CompatSpec(True, log)) for k in theirs])
    assert s.is_compatible(other) is answer and len(log) == asked


def test_is_compatible_follows_the_value_specs():
    log = []
    s = S([HostField("a", CompatSpec(0, log))])
    other_spec = CompatSpec(True, [])
    assert s.is_compatible(S([HostField("a", other_spec)])) is False and log == [other_spec]


def test_is_compatible_refuses_non_schemas():
    with pytest.raises(TypeError) as e:
        S([]).is_compatible(1)
    assert str(e.value) == "Argument 'other' should be a Schema object. Encountered 1."


# ---- properties, setters, access ------------------------------------------------------------


def test_setters_and_getters():
    s = S([F("a", n.Int())])
    assert s.set_name(5) is None and s.name == 5
    assert s.set_description(None) is None and s.description is None
    assert s.fields is s._fields and s._allow_nonconst_keys is False
    assert (S.__serialization_key__, S.__norv_formattable__) == ("norv.typing.Schema", True)


def reentering_schema(during, reenter):
    """The call on a new schema during which its one key calls `reenter(schema)`:
    "read" asks a non-constant key to match under a shared borrow, "recompute"
    reads a constant key's `is_const` under the exclusive one."""
    held = []

    if during == "read":

        class Key:
            is_const = False
            const_text = None

            def match(self, key):
                reenter(held[0])

        s = S([HostField(Key(), n.Any())], allow_nonconst_keys=True)
        held.append(s)
        return lambda: s.get_field("k")

    class Key:
        @property
        def is_const(self):
            if held:  # construction reads it too
                reenter(held[0])
            return True

        const_text = "x"

        def __hash__(self):
            return hash("x")

    s = S([HostField(Key(), n.Int())])
    held.append(s)
    return s._recompute_caches


@pytest.mark.parametrize(
    "during, reenter, exc, message",
    [
        pytest.param("read", lambda s: s.set_name("x"), RuntimeError, "Already borrowed", id="setter while read"),
        pytest.param(
            "recompute", lambda s: s.get("x"), RuntimeError, "Already mutably borrowed", id="read while recomputing"
        ),
        # equality and extend take the schema's state from native code: a conflict there is a fault
        pytest.param(
            "recompute",
            lambda s: s == S([]),
            PanicException,
            "Already mutably borrowed",
            id="equality while recomputing",
        ),
        pytest.param("read", lambda s: s.extend(S([])), PanicException, "Already borrowed", id="extend while read"),
    ],
)
def test_reentry_is_refused(during, reenter, exc, message):
    outer = reentering_schema(during, reenter)
    with pytest.raises(exc, match=message):
        outer()


# ---- garbage collection ---------------------------------------------------------------------


def test_cycle_through_metadata_is_collected():
    class Marker:
        pass

    m = Marker()
    m.schema = S([F("a", n.Int())], metadata={"m": m})
    ref = weakref.ref(m)
    del m
    gc.collect()
    assert ref() is None


def test_cycle_through_the_caches_is_collected():
    class Spec:
        fast_apply_info = ht.FastApplyInfo()

    spec = Spec()
    spec.schema = S([HostField("a", spec)])
    ref = weakref.ref(spec)
    del spec
    gc.collect()
    assert ref() is None


def test_cleared_schema_stays_usable():
    s = S([F("a", n.Int()), F(n.StrKey(), n.Any())], name="N", allow_nonconst_keys=True)
    tp_clear(s)
    tp_clear(s)
    assert (s.fields, s.name, s.metadata, s.dynamic_field) == ({}, None, None, None)
    assert s.resolve(["a"]) == ({}, ["a"]) and s._field_meta_classes() == []
    assert (s._const_apply_fields, s._const_bulk_check, s._open_plan_info()) == (None, None, None)
    assert s.get("a") is None and repr(s) == "Schema(metadata=None)"
    assert s._recompute_caches() is None and s._const_bulk_check == ()
    copy.deepcopy(s)
