"""The SymDict write path: item assignment and deletion with their gates,
the core write and its change record, member formalisation, detaching a
replaced child, and change notification."""

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from host_calls import calls, fresh_host, leak_round  # noqa: F401 (a fixture)
from leakcheck import block_growth, swallow
from traced import Traced

norv_host.install()
probe = n._testing
HostDict, KeyPath, Field = hs.HostDict, n.KeyPath, n.Field
MISSING = hs.MISSING_VALUE
KEEP = object()


pytestmark = pytest.mark.usefixtures("fresh_host")


def notified(d):
    """The updates sent to `d`, one list per notification."""
    return [updates for target, updates in calls("_notify_field_updates") if target is d]


def fields_of(update):
    return (update.path, update.target, update.field, update.old_value, update.new_value)


# ---------------------------------------------------------------- host schemas


class HostField:
    """A duck-typed field that records what the write path asks of it."""

    def __init__(self, key="a", value=None, *, validation=True, wrap=None, default=MISSING, validator=None,
                 result=KEEP):
        self.key = key
        self.value = value if value is not None else n.Any()
        self.enable_validation = validation
        self._enable_wrap = wrap
        self.default_value = default
        self.validator = validator
        self.result = result

    def apply(self, value, **kwargs):
        hs.calls.append(("field.apply", self, value, kwargs))
        return value if self.result is KEEP else self.result(value)

    def __repr__(self):
        return f"HostField({self.key!r})"


class HostSchema:
    def __init__(self, *fields):
        self.fields = {f.key: f for f in fields}

    def get_field(self, key):
        return self.fields.get(key)

    def keys(self):
        return []


class HostSpec:
    def __init__(self, *fields):
        self.schema = HostSchema(*fields)


def with_fields(*fields, cls=HostDict, **kwargs):
    d = cls(**kwargs)
    d._value_spec = HostSpec(*fields)
    return d


def spec_ab():
    return n.Dict([("a", n.Int()), ("b", n.Float())])


# ---------------------------------------------------------------- one write, one update


def test_one_write_sends_one_update():
    d = HostDict()
    d["a"] = 1
    [[update]] = notified(d)
    assert type(update) is hs.FieldUpdate and fields_of(update) == (KeyPath("a"), d, None, MISSING, 1)
    d["a"] = 2
    assert fields_of(notified(d)[1][0]) == (KeyPath("a"), d, None, 1, 2)


def test_writing_the_stored_object_again_does_nothing():
    value = [1]
    d = HostDict(a=value)
    hs.clear()
    d["a"] = value
    d["a"] = d["a"]
    assert hs.calls == []


def test_the_update_path_extends_the_dict_path():
    d = HostDict(root_path=KeyPath("r"))
    d[3] = "x"
    assert notified(d)[0][0].path == KeyPath(3, KeyPath("r"))


def test_a_schemaful_write_names_its_field_and_validates():
    spec = n.Dict([("a", n.Int()), ("b", n.Float())])
    d = HostDict({"a": 1, "b": 2.0}, value_spec=spec)
    hs.clear()
    d["b"] = 3
    [[update]] = notified(d)
    assert update.field is spec.schema.get_field("b") and update.new_value == 3.0 and type(d["b"]) is float
    with pytest.raises(TypeError, match="Expect <class 'float'>"):
        d["b"] = "x"
    assert d["b"] == 3.0 and len(notified(d)) == 1  # a refused value changes nothing


@pytest.mark.parametrize("key", [1.5, None, (1,), b"k", object()])
def test_keys_must_be_int_or_str(key):
    d = HostDict(root_path=KeyPath("r"))
    with pytest.raises(KeyError) as e:
        d[key] = 1
    assert e.value.args == (f"Key must be string or int type. Encountered {key!r}. (path=r)",)
    assert dict(d) == {}


def test_a_bool_key_is_an_int_key():
    d = HostDict()
    d[True] = "x"
    assert d == {1: "x"} and notified(d)[0][0].path == KeyPath(True)


def test_a_key_the_schema_does_not_allow():
    d = HostDict({"a": 1, "b": 2.0}, value_spec=spec_ab(), root_path=KeyPath("r"))
    with pytest.raises(KeyError) as e:
        d["c"] = 1
    assert e.value.args == (f"Key 'c' is not allowed for {HostDict}. (path=r)",)


# ---------------------------------------------------------------- gates

SEALED_SET = "Cannot modify field of a sealed Dict. (path=r)"
WRITABLE_SET = (
    "Cannot modify Dict field by attribute or key while accessor_writable is set to False. "
    "Use 'sym_rebind' method instead. (path=r)"
)
SEALED_DEL = "Cannot del item from a sealed Dict."
WRITABLE_DEL = (
    "Cannot del Dict field by attribute or key while accessor_writable is set to False. "
    "Use 'sym_rebind' method instead. (path=r)"
)


def setter(d):
    d["a"] = 2


def deleter(d):
    del d["a"]


@pytest.mark.parametrize(
    "options, scopes, write, message",
    [
        ({"sealed": True}, {}, setter, SEALED_SET),
        ({"sealed": True}, {}, deleter, SEALED_DEL),  # the one text the host gets bare
        ({"accessor_writable": False}, {}, setter, WRITABLE_SET),
        ({"accessor_writable": False}, {}, deleter, WRITABLE_DEL),
        ({"sealed": True, "accessor_writable": False}, {}, setter, SEALED_SET),  # sealed is checked first
        ({}, {n._FLAG_SEALED: True}, setter, SEALED_SET),
        ({}, {n._FLAG_ACCESSOR_WRITABLE: False}, deleter, WRITABLE_DEL),
    ],
)
def test_gates_refuse(options, scopes, write, message):
    d = HostDict({"a": 1}, root_path=KeyPath("r"), **options)
    hs.clear()
    for flag, value in scopes.items():
        n._flag_scope_set(flag, value)
    with pytest.raises(hs.WritePermissionError) as e:
        write(d)
    assert str(e.value) == message and dict(d) == {"a": 1} and notified(d) == []


@pytest.mark.parametrize(
    "options, scopes",
    [
        ({"sealed": True}, {n._FLAG_SEALED: False}),
        ({"accessor_writable": False}, {n._FLAG_ACCESSOR_WRITABLE: True}),
        ({}, {n._FLAG_SEALED: None, n._FLAG_ACCESSOR_WRITABLE: None}),
    ],
)
def test_scopes_open_the_gates(options, scopes):
    d = HostDict({"a": 1}, **options)
    for flag, value in scopes.items():
        n._flag_scope_set(flag, value)
    d["a"] = 2
    del d["a"]
    assert dict(d) == {} and len(notified(d)) == 2


def test_deleting_an_absent_key():
    d = HostDict(root_path=KeyPath("r"))
    with pytest.raises(KeyError) as e:
        del d["x"]
    assert e.value.args == ("Key does not exist in Dict: 'x'. (path=r)",)
    sealed = HostDict(sealed=True)
    with pytest.raises(hs.WritePermissionError):  # after both gates
        del sealed["x"]


@pytest.mark.parametrize(
    "factory, expected",
    [
        ("lambda text: 'not an exception'", "TypeError exceptions must derive from BaseException"),
        ("lambda text: 1 / 0", "ZeroDivisionError division by zero"),
        ("lambda text: KeyError(text)", "KeyError 'Cannot del item from a sealed Dict.'"),
    ],
)
def test_what_the_permission_error_class_returns_is_raised(run_py, factory, expected):
    out = run_py(
        f"""
        import norv_host
        from norv_host import symbolic as hs
        from norv_core import _native as n
        n._install_container_bridge(**dict(hs.HANDLES, write_permission_error={factory}))
        norv_host.install()
        d = hs.HostDict(a=1, sealed=True)
        try:
            del d['a']
        except BaseException as e:
            print(type(e).__name__, e)
        """
    )
    assert out.strip() == expected


def test_the_write_core_checks_no_permission_and_notifies_nothing():
    d = HostDict({"a": 1}, sealed=True, accessor_writable=False)
    hs.clear()
    update = d._set_item_without_permission_check("a", 2)
    assert fields_of(update) == (KeyPath("a"), d, None, 1, 2) and d["a"] == 2
    assert d._set_item_without_permission_check(key="a", value=d["a"]) is None
    assert calls("_notify_field_updates") == []


# ---------------------------------------------------------------- deletion and the missing value


def test_deleting_a_schemaless_member():
    child = Traced()
    d = HostDict(a=child, root_path=KeyPath("r"))
    hs.clear()
    del d["a"]
    assert dict(d) == {} and fields_of(notified(d)[0][0]) == (KeyPath("a", KeyPath("r")), d, None, child, MISSING)
    assert child.sym_parent is None and child.sym_path == KeyPath()


def test_writing_the_missing_value():
    d = HostDict(a=1)
    assert d._set_item_without_permission_check("x", MISSING) is None  # identity: the stored "old" value
    equal = type(MISSING)()
    assert equal is not MISSING and equal == MISSING
    assert d._set_item_without_permission_check("x", equal) is None  # equal: a deletion of an absent key
    d["a"] = equal
    assert dict(d) == {} and fields_of(notified(d)[0][0])[3:] == (1, MISSING)


def test_missing_under_a_schema():
    spec = n.Dict([("c", n.Int(default=7)), ("r", n.Int()), (n.StrKey(), n.Int())])
    d = HostDict({"c": 1, "r": 2, "x": 3}, value_spec=spec)
    hs.clear()
    d["x"] = MISSING  # a variable key deletes
    del d["c"]  # a constant key takes the field's default
    assert d == {"c": 7, "r": 2}
    assert [fields_of(u)[3:] for [u] in notified(d)] == [(3, MISSING), (1, 7)]
    with pytest.raises(ValueError, match="Required value is not specified"):
        del d["r"]  # a required field without default refuses even a deletion
    assert d["r"] == 2


# ---------------------------------------------------------------- notification


class Validating(HostDict):
    _sym_validate_overridden = True


class Unreadable(HostDict):
    @property
    def _sym_validate_overridden(self):
        raise LookupError("unreadable")


class Failing(HostDict):
    def _notify_field_updates(self, updates):
        raise ZeroDivisionError("notified")


@pytest.mark.parametrize(
    "cls, scope, sent",
    [
        (HostDict, None, True),
        (HostDict, True, True),
        (HostDict, "none", True),
        (HostDict, False, False),
        (Validating, False, True),  # a target that validates is told anyway
        (Unreadable, False, False),  # an unreadable flag counts as false
    ],
)
def test_notification_scope(cls, scope, sent):
    d = cls()
    if scope is not None:
        n._flag_scope_set(n._FLAG_CHANGE_NOTIFICATION, None if scope == "none" else scope)
    d["a"] = 1
    del d["a"]
    assert len(notified(d)) == (2 if sent else 0) and dict(d) == {}


def test_a_notification_error_arrives_after_the_write():
    d = Failing()
    with pytest.raises(ZeroDivisionError):
        d["a"] = 1
    assert d == {"a": 1}


def test_the_owner_of_an_attribute_store_is_told():
    class Owner(HostDict):
        pass

    owner, store = Owner(), HostDict()
    store._sym_parent = owner  # both at the empty path: the store holds the owner's attributes
    store["a"] = 1
    [[update]] = notified(store)
    assert update.target is owner and probe.owner(store) is owner
    store._value_spec = HostSpec()
    with pytest.raises(KeyError, match=f"is not allowed for {Owner}"):
        store["b"] = 1
    store._sym_path = KeyPath("elsewhere")
    assert probe.owner(store) is store


# ---------------------------------------------------------------- scalar formalisation


@pytest.mark.parametrize(
    "field, value, applied",
    [
        (None, 5, False),
        (HostField(value=n.Int(), validation=False), 5, False),
        (HostField(value=n.Int()), 5, False),  # exactly the field's leaf type, no validator
        (HostField(value=n.Int(), validator=print), 5, True),
        (HostField(value=n.Int()), True, True),  # a bool is no int here
        (HostField(value=n.Int(min_value=0)), 5, True),  # a checked leaf has no exact type
        (HostField(value=n.Str()), 5, True),
        (HostField(value=n.Any()), b"x", True),  # Any's exact type is object
        (HostField(value=n.Bool()), False, False),
        (HostField(value=n.Float()), None, True),
    ],
)
def test_scalar_formalisation(field, value, applied):
    d = with_fields(field, root_path=KeyPath("r")) if field else HostDict(root_path=KeyPath("r"))
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, True)
    d["a"] = value
    assert calls("wrap_value") == []  # a scalar never passes the host's wrapping
    if applied:
        [(f, v, kwargs)] = calls("field.apply")
        assert f is field and v is value
        assert kwargs == dict(allow_partial=True, transform_fn=None, root_path=KeyPath("a", KeyPath("r")))
    else:
        assert calls("field.apply") == []
    assert d["a"] is value


def test_a_scalar_result_of_apply_is_stored_unadopted():
    made = HostDict()
    d = with_fields(HostField(value=n.Str(), result=lambda v: made))
    d["a"] = 5
    assert d["a"] is made and made.sym_parent is None  # as the host does: no adoption on this path


def test_native_fields_apply_natively():
    seen = []
    field = Field("a", n.Int())
    field.set_validator(seen.append)
    d = HostDict({"a": 1}, value_spec=n.Dict([field]))
    seen.clear()
    d["a"] = 2
    assert seen == [2] and d["a"] == 2


# ---------------------------------------------------------------- non-scalar formalisation


@pytest.mark.parametrize(
    "dict_wrap, field_wrap, wrap",
    [(True, None, True), (False, None, False), (True, False, False), (False, True, True)],
)
def test_wrapping_follows_the_field_then_the_dict(dict_wrap, field_wrap, wrap):
    field = HostField(wrap=field_wrap)
    d = with_fields(field, wrap=dict_wrap, allow_partial=True, root_path=KeyPath("r"))
    value = [1]
    d["a"] = value
    child = KeyPath("a", KeyPath("r"))
    assert calls("wrap_value") == [(value, wrap, True, child)]
    [(_, v, kwargs)] = calls("field.apply")
    assert v is value and kwargs["root_path"] == child and kwargs["allow_partial"] is True
    assert (kwargs["transform_fn"] is not None) == wrap
    assert calls("symbolic_transform_fn") == ([(True,)] if wrap else [])


def test_the_child_transform_takes_the_node_flag_not_the_scope():
    d = with_fields(HostField())
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, True)
    d["a"] = [1]
    assert calls("symbolic_transform_fn") == [(False,)]
    assert calls("wrap_value")[0][2] is True and calls("field.apply")[0][2]["allow_partial"] is True


def test_a_host_field_is_applied_with_three_keywords():
    d = with_fields(HostField())
    d["a"] = {"x": 1}
    [(_, _, kwargs)] = calls("field.apply")
    assert list(kwargs) == ["allow_partial", "transform_fn", "root_path"]


def test_validation_off_still_wraps():
    d = with_fields(HostField(validation=False))
    d["a"] = [1]
    assert len(calls("wrap_value")) == 1 and calls("field.apply") == []


def test_missing_takes_the_field_default():
    default = [0]
    d = with_fields(HostField(default=default))
    dict.__setitem__(d, "a", 1)
    d["a"] = MISSING  # the stored sentinel itself would be a no-op
    assert calls("wrap_value") == [] and calls("field.apply")[0][1] is default and d["a"] is default


def test_a_context_without_default_substitution_wraps_the_missing_value():
    field = HostField(default=[0])
    owner = HostDict()
    kwargs = dict(owner=owner, root_path=None, parent=owner, sym_mode=True, allow_partial=False,
                  node_allow_partial=False, wrap=True, missing_takes_default=False)
    assert probe.formalize_field(0, field, MISSING, **kwargs) is MISSING
    assert calls("wrap_value") == [(MISSING, True, False, KeyPath(0))]


@pytest.mark.parametrize(
    "field, match",
    [
        (HostField(validation=1), "'int' object is not an instance of 'bool'"),
        (HostField(wrap=0), "'int' object is not an instance of 'bool'"),
    ],
)
def test_field_switches_must_be_bools(field, match):
    d = with_fields(field)
    with pytest.raises(TypeError, match=match):
        d["a"] = [1]
    assert dict(d) == {}


def test_the_formal_value_is_adopted():
    child = HostDict()
    d = with_fields(HostField(), root_path=KeyPath("r"))
    d["a"] = child
    assert d["a"] is child and child.sym_parent is d and child.sym_path == KeyPath("a", KeyPath("r"))


# ---------------------------------------------------------------- replaced children


def test_a_replaced_child_is_detached():
    old, new = Traced(), HostDict()
    d = HostDict(a=old, root_path=KeyPath("r"))
    hs.clear()
    d["a"] = new
    assert [c[0] for c in hs.calls if c[0].startswith("sym_set")] == ["sym_setparent", "sym_setpath"]
    assert old.sym_parent is None and old.sym_path == KeyPath() and new.sym_parent is d
    assert fields_of(notified(d)[0][0])[3:] == (old, new)


def test_a_child_out_of_symbolic_mode_is_not_detached():
    old = Traced(under_sym_mode=False)
    d = HostDict(a=old)
    old._sym_parent = d
    hs.clear()
    d["a"] = 1
    assert [c for c in hs.calls if c[0].startswith("sym_set")] == [] and old.sym_parent is d


def test_the_same_child_under_another_key_is_cloned():
    child = HostDict()
    d = HostDict(a=child)
    d["b"] = child
    assert d["b"] is not child and d["b"].sym_parent is d and child.sym_path == KeyPath("a")


def test_a_field_that_gives_back_the_stored_child_keeps_it_attached():
    child = HostDict()
    d = HostDict(c=child)
    d._value_spec = HostSpec(HostField("c", result=lambda v: child))
    hs.clear()
    d["c"] = [1]
    # stored again as itself: still the dict's child at its path, not detached
    assert d["c"] is child and child.sym_parent is d and child.sym_path == KeyPath("c")
    assert fields_of(notified(d)[0][0])[3:] == (child, child)


def test_a_failed_detach_leaves_the_storage_untouched():
    class Stuck(HostDict):
        def sym_setparent(self, parent):
            if parent is None:
                raise RuntimeError("stuck")
            return super().sym_setparent(parent)

    old = Stuck()
    d = HostDict(a=old)
    with pytest.raises(RuntimeError, match="stuck"):
        d["a"] = 1
    assert d["a"] is old and notified(d) == []


# ---------------------------------------------------------------- re-entrancy


def test_host_code_may_write_the_dict_during_a_write():
    d = HostDict()

    def write_side(value):
        d["side"] = value
        return value

    d._value_spec = HostSpec(HostField("a", result=write_side), HostField("side"))
    d["a"] = "x"
    assert d == {"side": "x", "a": "x"}
    # the inner write is notified first, each in its own call
    assert [u.path for [u] in notified(d)] == [KeyPath("side"), KeyPath("a")]
    d["a"] = "y"
    assert d == {"side": "y", "a": "y"}


def test_a_native_hold_during_a_write_is_an_internal_fault():
    d = HostDict()
    with pytest.raises(norv_core.PanicException, match="^Already mutably borrowed$"):
        probe.holding(d, True, lambda: d.__setitem__("a", 1))
    d["a"] = 1
    assert d == {"a": 1}


# ---------------------------------------------------------------- _formalized_value


def test_formalized_value_method():
    d = HostDict(root_path=KeyPath("r"))
    assert d._formalized_value("a", None, 1) == 1
    assert d._formalized_value("a", Field("a", n.Float()), 1) == 1.0
    child, seen = HostDict(), set()
    assert d._formalized_value("a", None, child, seen) is child and seen == {child}
    assert d._formalized_value("b", None, child, seen=seen) is not child  # met twice: cloned
    assert dict(d) == {}  # nothing is stored
    with pytest.raises(TypeError, match="^argument 'seen': 'list' object is not an instance of 'set'$"):
        d._formalized_value("a", None, 1, [])


# ---------------------------------------------------------------- memory


def write_round():
    d = HostDict({"a": 1, "b": 2.0}, value_spec=SPEC, root_path=KeyPath("r"))
    d["a"] = 3
    d["b"] = 4
    d["a"] = MISSING


def schemaless_round():
    d = HostDict(c=HostDict())
    d["c"] = HostDict(x=1)
    d["x"] = [1]
    del d["c"]


SPEC = n.Dict([("a", n.Int(default=0)), ("b", n.Float())])


@pytest.mark.parametrize(
    "make",
    [
        write_round,
        schemaless_round,
        swallow(lambda: HostDict({"a": 1, "b": 2.0}, value_spec=SPEC).__setitem__("a", "x")),
        swallow(lambda: HostDict({"a": 1, "b": 2.0}, value_spec=SPEC).__delitem__("b")),
        swallow(lambda: HostDict(sealed=True).__setitem__("a", 1)),
        swallow(lambda: HostDict(sealed=True).__delitem__("a")),
        swallow(lambda: HostDict().__delitem__("a")),
        swallow(lambda: HostDict().__setitem__(1.5, 1)),
        swallow(lambda: HostDict({"a": 1, "b": 2.0}, value_spec=SPEC).__setitem__("c", 1)),
        swallow(lambda: Failing().__setitem__("a", [1])),
    ],
)
def test_no_block_growth_over_writes(make):
    assert block_growth(leak_round(make), 10_000) < 100  # a leak would grow by one block a round or more
