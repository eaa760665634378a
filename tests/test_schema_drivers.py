"""The keyword-dict driver of object construction and its per-field steps,
reached through the test build's `_native._testing` entry points: the
all-constant walk, the open-plan validation, the required-key report and the
wrapping of containers the funnel proved."""

import pytest
from leakcheck import block_growth, refcount_delta, swallow

from norv_core import _native as n
import norv_host
from norv_host import symbolic as hs, typing as ht

norv_host.install()

probes = getattr(n, "_testing", None)
pytestmark = pytest.mark.skipif(probes is None, reason="built without NORV_TEST_PROBES")

F = n.Field
MISSING = ht.MISSING_VALUE


def validate(schema, kwargs, **kw):
    return probes.validate_fields(schema, kwargs, **kw)


def recording_field(key, spec, log, **kw):
    """A field whose validator logs each value: its values always reach `apply`."""
    return F(key, spec, **kw).set_validator(log.append)


def a_b_schema():
    return n.Schema([F("a", n.Int()), F("b", n.Int(default=5))])


def open_schema(log=None):
    # a, then the wildcard, then b: the wildcard sits at position 1
    log = [] if log is None else log
    return n.Schema(
        [
            recording_field("a", n.Int(), log),
            recording_field(n.StrKey(), n.Int(), log),
            recording_field("b", n.Int(default=0), log),
        ],
        allow_nonconst_keys=True,
    )


# ---- all-constant schemas --------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, allow_partial, expected, scalar, missing",
    [
        ({"a": 1}, False, [("a", 1), ("b", 5)], True, []),
        ({"b": 2, "a": 1}, False, [("a", 1), ("b", 2)], True, []),
        ({"b": 2}, False, [("b", 2)], True, ["a"]),
        ({}, True, [("a", MISSING), ("b", 5)], False, ["a"]),
    ],
)
def test_all_constant_walk(kwargs, allow_partial, expected, scalar, missing):
    s = a_b_schema()
    before = dict(kwargs)
    out, flag = validate(s, kwargs, allow_partial=allow_partial)
    assert list(out.items()) == expected and flag is scalar
    assert out is not kwargs and kwargs == before
    assert probes.missing_required_keys(s, kwargs) == missing


def test_absent_default_is_stored_without_apply():
    # The default goes in as materialize_default returns it: no conversion.
    s = n.Schema([F("x", n.Float(default=1.5)), F("y", n.List(n.Int(), default=[1]))])
    out, flag = validate(s, {})
    assert out == {"x": 1.5, "y": [1]} and flag is False


def test_extra_keys_are_reported_after_every_field_validated():
    s = a_b_schema()
    with pytest.raises(KeyError, match=r"^\"Keys \['c', 'z'\] are not allowed in Schema. \(parent='None'\)\"$"):
        validate(s, {"a": 1, "z": 0, "c": 2})
    with pytest.raises(TypeError, match=r"\(path=a\)"):
        validate(s, {"a": "bad", "z": 0})
    with pytest.raises(KeyError, match=r"parent='r.s'"):
        validate(s, {"a": 1, "z": 0}, root_path=n.KeyPath.parse("r.s"))


def test_skip_validation_takes_values_unchanged_only_on_an_all_constant_schema():
    out, flag = validate(a_b_schema(), {"a": "not an int"}, skip_validation=True)
    assert out == {"a": "not an int", "b": 5} and flag is True
    mixed = n.Schema([F("a", n.Int()), F(n.StrKey(regex="x.*"), n.Int())], allow_nonconst_keys=True)
    with pytest.raises(TypeError):
        validate(mixed, {"a": "not an int"}, skip_validation=True)


@pytest.mark.parametrize(
    "no_path, message",
    [(False, "Expect <class 'int'> but encountered <class 'str'>: x. (path=r.a)"),
     (True, "Expect <class 'int'> but encountered <class 'str'>: x. (path=)")],
)
def test_no_path_hands_apply_no_child_path(no_path, message):
    with pytest.raises(TypeError) as info:
        validate(a_b_schema(), {"a": "x"}, root_path=n.KeyPath.parse("r"), no_path=no_path)
    assert str(info.value) == message


def test_dict_subclass_is_read_without_its_lookup_hooks():
    class Loud(dict):
        def __getitem__(self, key):
            raise AssertionError("hook used")

        def get(self, key, default=None):
            raise AssertionError("hook used")

    out, _ = validate(a_b_schema(), Loud(a=1))
    assert out == {"a": 1, "b": 5}


@pytest.mark.parametrize("probe", ["validate_fields", "missing_required_keys"])
@pytest.mark.parametrize("kwargs, type_name", [([("a", 1)], "list"), (None, None)])
def test_kwargs_must_be_a_dict(probe, kwargs, type_name):
    text = "'None' is not an instance of 'dict'" if type_name is None else f"'{type_name}' object is not an instance of 'dict'"
    with pytest.raises(TypeError, match=f"^{text}$"):
        getattr(probes, probe)(a_b_schema(), kwargs)


@pytest.mark.parametrize(
    "spec, value, scalar",
    [
        (n.Int(), 3, True),
        (n.Float(), 3, True),  # widened to 3.0
        (n.Str(), "s", True),
        (n.List(n.Int()), [1, 2], True),  # proven to hold scalars only
        (n.List(n.Any()), [1, 2], False),
        (n.Any(), [1], False),
        (n.Int(), True, True),  # the field's apply
    ],
)
def test_scalar_flag(spec, value, scalar):
    out, flag = validate(n.Schema([F("v", spec)]), {"v": value})
    assert flag is scalar
    assert out["v"] == value


def test_partial_missing_value_gets_the_transform_only_with_enable_wrap():
    calls = []

    def transform(path, field, value):
        calls.append(str(path))
        return value

    s = n.Schema([F("a", n.Int()), F("b", n.Int(), enable_wrap=False)])
    out, flag = validate(s, {}, allow_partial=True, transform=transform, root_path=n.KeyPath.parse("r"))
    assert out == {"a": MISSING, "b": MISSING} and flag is False
    assert calls == ["r.a"]


# ---- the open plan ---------------------------------------------------------------------------


def test_open_plan_validates_in_schema_order_and_orders_the_result():
    log = []
    s = open_schema(log)
    kwargs = {"x": 1, "b": 2, "y": 3, "a": 4}
    out, flag = validate(s, kwargs)
    assert log == [4, 1, 3, 2]  # a, then x and y, then b
    assert list(out) == ["a", "b", "x", "y"] and out == kwargs and flag is True


def test_open_plan_fills_absent_constant_fields_through_apply():
    s = open_schema()
    assert validate(s, {"a": 1})[0] == {"a": 1, "b": 0}
    with pytest.raises(ValueError, match="Required value is not specified"):
        validate(s, {"b": 1})
    assert validate(s, {"b": 1}, allow_partial=True)[0] == {"a": MISSING, "b": 1}
    assert probes.missing_required_keys(s, {"b": 1}) == ["a"]


def test_constant_key_never_reaches_the_wildcard():
    s = n.Schema([F("a", n.Int()), F(n.StrKey(), n.Any())], allow_nonconst_keys=True)
    with pytest.raises(TypeError, match=r"\(path=a\)"):
        validate(s, {"a": "text"})


def test_non_str_key_falls_back_to_schema_apply():
    s = open_schema()
    assert probes.open_plan(s, {"a": 1}) is True
    assert probes.open_plan(s, {"a": 1, 2: 3}) is False
    with pytest.raises(KeyError, match=r"Keys \[2\] are not allowed"):
        validate(s, {"a": 1, 2: 3})
    out, flag = validate(s, {"a": 1, "q": 2})
    assert out == {"a": 1, "b": 0, "q": 2} and flag is True


class S(str):
    pass


@pytest.mark.parametrize(
    "fields, key, expected",
    [
        (["a"], "a", True),
        (["a"], "", False),
        (["a", ""], "", True),
        (["a"], S("a"), True),
        (["a"], S("zz"), False),
        (["a"], "\ud800", False),
        (["a"], 1, False),
    ],
)
def test_key_in_plan_consts(fields, key, expected):
    s = n.Schema([F(k, n.Int()) for k in fields] + [F(n.StrKey(), n.Int())], allow_nonconst_keys=True)
    assert probes.open_plan(s, {}, key) is expected


class ScalarIdentity:
    _norv_scalar_identity = True

    def __init__(self):
        self.calls = []

    def __call__(self, path, field, value):
        self.calls.append((str(path), value))
        return value


def test_scalar_identity_transform_on_the_open_plan():
    t = ScalarIdentity()
    s = n.Schema([F(n.StrKey(), n.Any())], allow_nonconst_keys=True)
    out, flag = validate(s, {"x": 1, "y": [2]}, transform=t)
    assert out == {"x": 1, "y": [2]} and flag is False
    assert t.calls == [("y", [2])]


def test_changing_the_dict_during_the_open_walk_is_a_fault():
    kwargs = {"x": 1, "y": 2}
    s = n.Schema([F(n.StrKey(), n.Int()).set_validator(lambda v: kwargs.pop("y", None))], allow_nonconst_keys=True)
    with pytest.raises(n.PanicException, match="dictionary changed size during iteration"):
        validate(s, kwargs)


def test_a_key_that_changes_the_dict_while_extra_keys_are_sought_is_a_fault():
    kwargs = {"a": 1, "b": 2}

    class Colliding:
        """Shares the hash of "a"; once armed, a comparison grows the dict."""

        armed = False

        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            if Colliding.armed:
                kwargs["c"] = 3
            return False

    kwargs[Colliding()] = 0
    Colliding.armed = True
    with pytest.raises(n.PanicException, match="dictionary changed size during iteration"):
        validate(a_b_schema(), kwargs)


def test_missing_required_keys_of_a_schema_without_a_plan():
    s = n.Schema(
        [F("a", n.Int()), F(n.StrKey(regex="x.*"), n.Int()), F("b", n.Int(default=1)), F("c", n.Str())],
        allow_nonconst_keys=True,
    )
    assert probes.open_plan(s, {}) is False
    assert probes.missing_required_keys(s, {"c": "x"}) == ["a"]
    assert probes.missing_required_keys(s, {}) == ["a", "c"]


# ---- wrapping proven containers --------------------------------------------------------------


class NoIdentity:
    def __init__(self):
        self.calls = []

    def __call__(self, path, field, value):
        self.calls.append(str(path))
        return ("wrapped", value)


def record_spec():
    return n.Dict(n.Schema([F("a", n.Int())]))


# The flag is True where the element spec is a proven scalar leaf (list of int,
# dict of int); a record's fields may hold anything.
@pytest.mark.parametrize(
    "spec, value, transform_cls, enable_wrap, expected, flag, calls",
    [
        (n.List(n.Int()), [1], NoIdentity, True, ("wrapped", [1]), True, ["r.v"]),
        (n.List(n.Int()), [1], NoIdentity, False, [1], True, []),
        (n.Tuple(n.Int()), (1,), ScalarIdentity, True, (1,), True, []),
        (n.List(n.Int()), [1], ScalarIdentity, True, [1], True, [("r.v", [1])]),
        (record_spec(), {"a": 1}, NoIdentity, True, ("wrapped", {"a": 1}), False, ["r.v"]),
        (record_spec(), {"a": 1}, ScalarIdentity, True, {"a": 1}, False, [("r.v", {"a": 1})]),
        (n.Dict(n.Int()), {"x": 1}, NoIdentity, True, ("wrapped", {"x": 1}), True, ["r.v"]),
        (n.Dict(n.Int()), {"x": 1}, NoIdentity, False, {"x": 1}, True, []),
        # Not proven: the field's own application runs, children first.
        (record_spec(), {"a": True}, NoIdentity, True, ("wrapped", {"a": ("wrapped", True)}), False, ["r.v.a", "r.v"]),
    ],
)
def test_wrap_verdict(spec, value, transform_cls, enable_wrap, expected, flag, calls):
    t = transform_cls()
    s = n.Schema([F("v", spec, enable_wrap=enable_wrap)])
    got, scalar = probes.funnel_field_value(s, "v", value, transform=t, root_path=n.KeyPath.parse("r"))
    assert got == expected and scalar is flag
    assert t.calls == calls


def test_wrap_reads_allow_partial_marker_and_propagates_its_errors():
    class Broken(ScalarIdentity):
        @property
        def _norv_allow_partial(self):
            raise RuntimeError("marker read failed")

    s = n.Schema([F("v", n.List(n.Int()))])
    with pytest.raises(RuntimeError, match="marker read failed"):
        probes.funnel_field_value(s, "v", [1], transform=Broken())

    class Marked(ScalarIdentity):
        _norv_allow_partial = True

    # The host's container types are installed: the hook builds the list node,
    # at the field's path and without a parent; the transform is not called.
    t = Marked()
    got, scalar = probes.funnel_field_value(s, "v", [1], transform=t, root_path=n.KeyPath.parse("r"))
    assert type(got) is hs.HostList and got == [1] and scalar is True
    assert (got.sym_path, got.sym_parent, got.value_spec, got._allow_partial) == (
        n.KeyPath.parse("r.v"),
        None,
        s.get_field("v").value,
        True,
    )
    assert t.calls == []


def test_wrap_falls_back_to_the_transform_without_container_types(run_py):
    out = run_py(
        """
from norv_core import _native as n
from norv_host import symbolic as hs, typing as ht
ht.install()
n._install_container_bridge(**hs.HANDLES)
calls = []
def transform(path, field, value):
    calls.append((str(path), value))
    return ("built", value)
transform._norv_scalar_identity = True
transform._norv_allow_partial = False
s = n.Schema([n.Field("v", n.List(n.Int()))])
print(n._testing.funnel_field_value(s, "v", [1], transform=transform), calls)
"""
    )
    assert out.strip() == "(('built', [1]), True) [('v', [1])]"


def test_skip_validation_and_disabled_validation_take_the_value():
    s = n.Schema([F("v", n.Int()), F("w", n.Int(), enable_validation=False)])
    assert probes.funnel_field_value(s, "v", "x", skip_validation=True) == ("x", True)
    assert probes.funnel_field_value(s, "w", [1]) == ([1], False)


# ---- references --------------------------------------------------------------------------------


def test_driver_keeps_no_reference_behind():
    s = a_b_schema()
    o = n.Schema([F("a", n.Int()), F(n.StrKey(), n.Int()), F("b", n.Int(default=0))], allow_nonconst_keys=True)
    good = {"a": 1}
    bad = {"a": "x", "z": 1}
    assert refcount_delta(good, lambda: validate(s, good)) == 0
    assert refcount_delta(bad, swallow(lambda: validate(s, bad))) == 0
    assert refcount_delta(s, swallow(lambda: validate(s, {"a": 1, "z": 1}))) == 0
    assert block_growth(lambda: validate(o, {"x": 1, "a": 2}), 5000) < 500
    assert block_growth(swallow(lambda: validate(o, {"a": "x"})), 5000) < 500
