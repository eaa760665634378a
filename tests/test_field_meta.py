"""FieldMeta and the validation funnel, observed through the schema probes."""

import pytest

from norv_core import _native as n
import norv_host
import norv_host.typing as ht

norv_host.install()

F = n.Field


def one(spec, **field_kw):
    return n.Schema([F("x", spec, **field_kw)])


class Partial:
    __norv_maybe_partial__ = True

    def __init__(self, partial):
        self.sym_partial = partial


class Plain:
    pass


class PlainChild(Plain):
    pass


def meta(schema):
    (m,) = schema._field_meta_classes()
    return m


# ---- leaf tier -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "spec, value, verdict",
    [
        (n.Int(), 5, ("verbatim", 5)),
        (n.Int(), True, ("deferred", None)),
        (n.Int(), 5.0, ("deferred", None)),
        (n.Float(), 3, ("produced", 3.0)),
        (n.Float(), 2.5, ("verbatim", 2.5)),
        (n.Float(), True, ("deferred", None)),
        (n.Float(strict=True), 3, ("deferred", None)),
        (n.Float(strict=False), 3, ("produced", 3.0)),
        (n.Union([n.Int(), n.Float()]), 3, ("verbatim", 3)),
        (n.Int(is_noneable=True), None, ("verbatim", None)),
        (n.Int(is_noneable=True, frozen=True), None, ("deferred", None)),
        (n.Any(), [1], ("deferred", None)),
        (n.Any(), b"x", ("verbatim", b"x")),
        (n.Str(regex="a.*"), "abc", ("deferred", None)),
        (n.List(n.Int()), [1, 2], ("deferred", None)),
    ],
    ids=repr,
)
def test_leaf_verdicts(spec, value, verdict):
    got = one(spec)._funnel_leaf("x", value)
    assert got == verdict
    assert type(got[1]) is type(verdict[1])


def test_widening_overflow_propagates():
    with pytest.raises(OverflowError):
        one(n.Float())._funnel_leaf("x", 10**400)


@pytest.mark.parametrize(
    "field_kw, value",
    [({"enable_validation": False}, object()), ({"enable_validation": False}, "text")],
)
def test_validation_off_accepts_everything(field_kw, value):
    s = one(n.Int(), **field_kw)
    assert s._funnel_leaf("x", value) == ("verbatim", value)
    assert meta(s)["accept_any"] is True


def test_validator_defers_every_value():
    s = n.Schema([F("x", n.Int()).set_validator(print)])
    assert s._funnel_leaf("x", 5) == ("deferred", None)
    m = meta(s)
    assert m["custom_apply"] is True and m["exact"] == set() and m["checked"] == set()


# ---- accept tiers --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "spec, value, expected",
    [
        (n.Float(min_value=0), 3, 3.0),  # produced, then checked
        (n.Float(min_value=0), 0.5, 0.5),  # checked in place
        (n.Int(min_value=0), 4, 4),
        (n.Enum([1, 2], default=1), 2, 2),
        (n.Int(), True, True),  # deferred to the field's apply
    ],
    ids=repr,
)
def test_validate_field_results(spec, value, expected):
    got = one(spec)._funnel_validate_field("x", value)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(
    "spec, value, message",
    [
        (n.Float(min_value=0), -1, "Value -1.0 is out of range (min=0, max=None). (path=x)"),
        (n.Float(min_value=0), -0.5, "Value -0.5 is out of range (min=0, max=None). (path=x)"),
        (n.Int(min_value=0), -4, "Value -4 is out of range (min=0, max=None). (path=x)"),
    ],
)
def test_checked_rejections_carry_the_field_path(spec, value, message):
    with pytest.raises(ValueError) as e:
        one(spec)._funnel_validate_field("x", value)
    assert str(e.value) == message


def test_checked_path_sits_under_the_root_path():
    with pytest.raises(ValueError, match=r"\(path=a\.b\.x\)"):
        one(n.Int(min_value=0))._funnel_validate_field("x", -1, root_path=n.KeyPath.parse("a.b"))


def test_object_candidate_partial_rules():
    s = one(n.Object(Partial))
    assert meta(s)["subclass"] == (Partial,)
    whole, partial = Partial(False), Partial(True)
    assert s._funnel_validate_field("x", whole) is whole
    assert s._funnel_validate_field("x", partial, allow_partial=True) is partial


def test_object_subclass_instance_is_deferred():
    s = one(n.Object(Plain))
    child = PlainChild()
    assert s._funnel_leaf("x", child) == ("deferred", None)
    assert s._funnel_validate_field("x", child) is child  # through the field's apply


# ---- classification ------------------------------------------------------------------------

FAST = {int, str, float, bool, type(None), bytes, tuple, set, frozenset}


@pytest.mark.parametrize(
    "spec, exact, checked, widen",
    [
        (n.Int(), {int}, set(), False),
        (n.Float(), {float}, set(), True),
        (n.Float(min_value=0), set(), {float}, True),
        (n.Any(), FAST | {object}, set(), False),
        (n.Union([n.Str(regex="a"), n.Any()]), (FAST - {str}) | {object}, {str}, False),
        (n.Union([n.Int(min_value=0), n.Any()]), (FAST - {int, bool}) | {object}, {int}, False),
        (n.Union([n.Tuple([n.Int()]), n.Any()]), (FAST - {tuple}) | {object}, set(), False),
        # an int some candidate checks keeps its type
        (n.Union([n.Float(), n.Int(min_value=0)]), {float}, {int}, False),
        (n.Union([n.Float(), n.Enum([1, 2], default=1)]), {float}, {int}, False),
    ],
    ids=repr,
)
def test_classification(spec, exact, checked, widen):
    m = meta(one(spec))
    assert (m["exact"], m["checked"], m["widen_to_float"]) == (exact, checked, widen)


def test_union_of_float_and_checked_int_keeps_ints():
    s = one(n.Union([n.Float(), n.Int(min_value=0)]))
    assert s._funnel_validate_field("x", 3) == 3 and type(s._funnel_validate_field("x", 3)) is int
    assert s._funnel_validate_field("x", 2.5) == 2.5


def test_transformed_union_decides_by_itself():
    u = n.Union([n.Int(), n.Str()])
    u.set_transform(lambda v: v * 2)
    s = one(u)
    m = meta(s)
    assert m["exact"] == set() and m["custom_apply"] is True
    assert s._funnel_leaf("x", 2) == ("deferred", None)
    assert s._funnel_validate_field("x", 2) == 4


@pytest.mark.parametrize(
    "spec, field_kw, flags",
    [
        (n.Int(), {}, {"has_default": False, "enable_wrap": True}),
        (n.Int(default=1), {"enable_wrap": False}, {"has_default": True, "enable_wrap": False}),
    ],
)
def test_carried_flags(spec, field_kw, flags):
    m = meta(one(spec, **field_kw))
    assert {k: m[k] for k in flags} == flags


def test_container_candidate_sets_wrap():
    m = meta(one(n.List(n.Int())))
    assert m["wrap"] is True and m["custom_apply"] is False


class BareHostSpec:
    """A host spec answering only what the funnel asks."""

    has_default = False
    frozen = False

    def __init__(self, **attrs):
        self.__dict__.update(attrs)
        self.validated = []

    def _validate(self, path, value):
        self.validated.append((str(path), value))
        if value < 0:
            raise ValueError("negative")


class HostSpec(BareHostSpec):
    fast_apply_info = ht.FastApplyInfo()


class HostField:
    def __init__(self, key, value):
        self.key = n.ConstStrKey(key)
        self.value = value
        self.validator = None
        self.enable_validation = True
        self.enable_wrap = True

    def apply(self, value, **kw):
        return ("applied", value)


def test_host_spec_exact_leaf_type_needs_no_call():
    spec = HostSpec(_exact_leaf_type=int)
    s = n.Schema([HostField("x", spec)])
    assert s._funnel_validate_field("x", 7) == 7 and spec.validated == []
    assert meta(s)["exact"] == {int}


def test_host_spec_checked_leaf_type_validates_with_path():
    spec = HostSpec(_exact_leaf_type=None, _checked_leaf_type=int)
    s = n.Schema([HostField("x", spec)])
    assert s._funnel_validate_field("x", 7) == 7
    assert spec.validated == [("x", 7)]
    with pytest.raises(ValueError, match="negative"):
        s._funnel_validate_field("x", -1)


def test_host_spec_fast_apply_info_and_its_absence():
    eligible = HostSpec(fast_apply_info=ht.FastApplyInfo(True, str))
    assert meta(n.Schema([HostField("x", eligible)]))["exact"] == {str}
    not_eligible = HostSpec(fast_apply_info=ht.FastApplyInfo())
    m = meta(n.Schema([HostField("x", not_eligible)]))
    assert m["exact"] == set() and m["custom_apply"] is True
    # the first field's validator keeps the schema's own caches from asking
    guarded = HostField("a", n.Int())
    guarded.validator = print
    s = n.Schema([guarded, HostField("x", BareHostSpec())])
    with pytest.raises(AttributeError, match="fast_apply_info"):
        s._field_meta_classes()


def test_host_field_record_is_built_on_every_call():
    spec = HostSpec(_exact_leaf_type=int)
    s = n.Schema([HostField("x", spec)])
    assert s._funnel_leaf("x", 1)[0] == "verbatim"
    spec._exact_leaf_type = str
    assert s._funnel_leaf("x", 1) == ("deferred", None)
    assert s._funnel_validate_field("x", 1) == ("applied", 1)


# ---- the per-field cache -------------------------------------------------------------------


def test_record_is_cached_and_invalidated_by_the_fields_own_changes():
    spec = n.Int()
    f = F("x", spec)
    s = n.Schema([f])
    assert s._funnel_leaf("x", 5)[0] == "verbatim"
    # a change of the spec object alone is not seen: the record is kept
    spec.set_transform(lambda v: v)
    assert s._funnel_leaf("x", 5)[0] == "verbatim"
    f.set_description("unrelated")
    assert s._funnel_leaf("x", 5)[0] == "verbatim"
    f.set_validator(print)
    assert s._funnel_leaf("x", 5) == ("deferred", None)
    assert meta(s)["custom_apply"] is True


@pytest.mark.parametrize(
    "swap",
    [
        lambda f: setattr(f, "_value", n.Str()),
        lambda f: setattr(f, "_enable_validation", False),
    ],
)
def test_raw_setters_invalidate(swap):
    f = F("x", n.Int())
    s = n.Schema([f])
    assert s._funnel_leaf("x", "t") == ("deferred", None)
    swap(f)
    assert s._funnel_leaf("x", "t") == ("verbatim", "t")


def test_invalidation_during_a_build_is_not_overwritten():
    f = F("x", n.Int())
    fired = []

    class Spec(HostSpec):
        @property
        def _exact_leaf_type(self):
            if not fired:
                fired.append(True)
                f._enable_wrap = False  # lands after the build read enable_wrap
            return int

    f._value = Spec()
    s = n.Schema([f])
    assert meta(s)["enable_wrap"] is True  # the record built across the change
    # it was not stored: the next build sees the change
    assert meta(s)["enable_wrap"] is False
