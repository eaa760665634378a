"""Field writes of dict-layout objects: the attribute slot (symbolic fields
written natively, every other name and every deletion through the host),
`store_symbolic_field` with its permission gates and the change
notification, and the write core: the funnel against the class's native
schema, the general path through the host's wrapping and the field's
`apply`, missing values, adoption and the detach of a replaced child."""

import gc
import inspect
import typing
import weakref

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import symbolic as hs

from leakcheck import block_growth, swallow

from host_calls import clean_records, leak_round, recorded  # noqa: F401  (fixture)

norv_host.install()
HostObject, KeyPath, F = ho.HostObject, n.KeyPath, n.Field
P = KeyPath.parse
MISSING = ho.MISSING_VALUE
SEALED, WRITABLE, PARTIAL, NOTIFY = n._FLAG_SEALED, n._FLAG_ACCESSOR_WRITABLE, n._FLAG_ALLOW_PARTIAL, n._FLAG_CHANGE_NOTIFICATION

pytestmark = pytest.mark.usefixtures("clean_records")


class C(HostObject):
    x: int
    f: float = 0.0
    items: list[int] = []


class ReadOnly(HostObject, attr_write=False):
    x: int


class Frozen(HostObject, frozen=True):
    x: int


def notified():
    """The updates of each `_notify_field_updates` call, as (path, target, field, old, new)."""
    return [
        [(u.path, u.target, u.field, u.old_value, u.new_value) for u in updates]
        for _, updates in recorded("_notify_field_updates")
    ]


def field_of(cls, name):
    return cls.__schema__.get_field(name)


def open_class(*fields, **options):
    """A class whose schema (given whole: an open one, say) names no init fields,
    so that every write finds its field through `get_field`."""

    class Open(HostObject, **options):
        pass

    Open.__schema__ = n.Schema(list(fields), allow_nonconst_keys=True)
    Open.sym_fields = n.Dict(Open.__schema__)
    Open._sym_init_fields = None
    Open._on_schema_update()
    return Open


def written(obj, name, value):
    """`obj.<name> = value`, then the call records emptied."""
    setattr(obj, name, value)
    ho.clear()
    hs.clear()


# ---------------------------------------------------------------- the road


def test_a_field_write_is_stored_and_notified_once():
    obj = C(x=1)
    ho.clear()
    hs.clear()
    obj.x = 2
    assert obj.field_dict()["x"] == 2 and obj.x == 2
    assert notified() == [[(P("x"), obj, field_of(C, "x"), 1, 2)]]
    # the funnel took the int: neither wrapping nor a transform was asked for
    assert recorded("wrap_value") == [] and recorded("symbolic_transform_fn") == []


def test_the_update_path_extends_the_objects_path():
    obj = C(x=1, root_path=P("a.b"))
    ho.clear()
    obj.x = 5
    assert notified()[0][0][0] == P("a.b.x")


def test_the_same_object_again_changes_nothing():
    obj = C(x=1, items=hs.HostList([1]))
    ho.clear()
    hs.clear()
    obj.items = obj.items
    # formalised (the general path ran) but neither stored again nor notified
    assert len(recorded("wrap_value")) == 2 and notified() == []


def test_a_rejected_value_is_neither_stored_nor_notified():
    obj = C(x=1)
    ho.clear()
    with pytest.raises(TypeError) as info:
        obj.x = "one"
    assert str(info.value) == "Expect <class 'int'> but encountered <class 'str'>: one. (path=x)"
    assert obj.field_dict()["x"] == 1 and notified() == []


def test_a_checked_value_is_validated_with_its_path():
    class Bounded(HostObject):
        count = F("count", n.Int(min_value=0))

    obj = Bounded(count=1, root_path=P("r"))
    with pytest.raises(ValueError, match=r"\(path=r\.count\)$"):
        obj.count = -1
    assert obj.count == 1


def test_an_int_is_widened_for_a_float_field_by_the_funnel():
    obj = C(x=1)
    hs.clear()
    obj.f = 3
    assert type(obj.f) is float and obj.f == 3.0 and recorded("wrap_value") == []


def test_a_container_takes_the_general_path_and_stores_what_apply_answers():
    obj = C(x=1)
    hs.clear()
    value = [1, 2]
    obj.items = value
    # the funnel's Wrap verdict is not stored: the host's wrapping and the field's apply decide
    assert recorded("wrap_value")[0] == (value, True, False, P("items"))
    assert recorded("symbolic_transform_fn") == [(False,)]
    assert obj.items == [1, 2]


# ---------------------------------------------------------------- permission gates


@pytest.mark.parametrize(
    "cls, setup, message",
    [
        (C, {"sealed": True}, "Cannot set attribute 'x': object is sealed."),
        (Frozen, {}, "Cannot set attribute 'x': object is sealed."),
        (
            ReadOnly,
            {},
            "Cannot set attribute of <class ReadOnly> while `ReadOnly` has `attr_write=False` or under "
            "`nv.as_sealed` context.",
        ),
        # the sealed gate comes first
        (ReadOnly, {"sealed": True}, "Cannot set attribute 'x': object is sealed."),
    ],
)
def test_the_gates_refuse_with_the_hosts_error_on_the_path(cls, setup, message):
    obj = cls(x=1, root_path=P("p.q"), **setup)
    ho.clear()
    hs.clear()
    with pytest.raises(hs.WritePermissionError) as info:
        obj.x = 2
    assert str(info.value) == f"{message} (path=p.q)"
    assert recorded("message_on_path") == [(message, P("p.q"))]
    assert obj.field_dict()["x"] == 1 and notified() == []


@pytest.mark.parametrize(
    "sealed, writable, scopes, allowed",
    [
        (True, True, {SEALED: False}, True),
        (True, True, {SEALED: None}, False),
        (False, True, {SEALED: True}, False),
        (False, False, {WRITABLE: True}, True),
        (False, True, {WRITABLE: False}, False),
        (False, False, {WRITABLE: None}, False),
        (True, False, {SEALED: False, WRITABLE: True}, True),
    ],
)
def test_a_forced_scope_overrides_the_nodes_flag(sealed, writable, scopes, allowed):
    obj = C(x=1, sealed=sealed)
    obj._accessor_writable = writable
    for flag, value in scopes.items():
        n._flag_scope_set(flag, value)
    if allowed:
        obj.x = 2
        assert obj.x == 2
    else:
        with pytest.raises(hs.WritePermissionError):
            obj.x = 2
        assert obj.x == 1


def test_a_frozen_class_is_refused_through_its_node_only():
    obj = Frozen(x=1)
    n._flag_scope_set(SEALED, False)
    obj.x = 2
    assert obj.x == 2


def test_the_field_is_looked_up_before_any_gate():
    class Broken(HostObject):
        x: int

    obj = Broken(x=1, sealed=True)
    ho.clear()
    Broken.__sym_options__ = ho.SymOptions(sym=1)
    Broken._on_schema_update()
    with pytest.raises(TypeError):
        obj.x = 2
    # a name that is no symbolic field is never refused here, not even sealed
    Broken.__sym_options__ = ho.SymOptions()
    Broken._on_schema_update()
    obj.note = "kept"
    assert vars(obj)["note"] == "kept" and recorded("object_setattr") == [("note",)]


def test_a_sealed_blank_object_reports_the_seal():
    obj = C.__new__(C)
    object.__setattr__(obj, "_sealed", True)
    with pytest.raises(hs.WritePermissionError, match=r"^Cannot set attribute 'x': object is sealed\. \(path=None\)$"):
        obj.x = 1


# ---------------------------------------------------------------- notification


@pytest.mark.parametrize("scope", [None, True])
def test_notification_unless_its_scope_is_false(scope):
    obj = C(x=1)
    n._flag_scope_set(NOTIFY, scope)
    ho.clear()
    obj.x = 2
    assert len(notified()) == 1


def test_notification_off_still_reaches_a_target_that_validates():
    class Validating(HostObject):
        x: int

        def on_sym_validate(self):
            pass

    plain, validating = C(x=1), Validating(x=1)
    n._flag_scope_set(NOTIFY, False)
    ho.clear()
    plain.x = 2
    validating.x = 2
    assert [[u[1] for u in call] for call in notified()] == [[validating]]
    assert plain.x == 2


def test_a_notification_error_leaves_the_write_done():
    class Failing(HostObject):
        x: int

        def _notify_field_updates(self, updates):
            raise KeyError("handler")

    obj = Failing(x=1)
    with pytest.raises(KeyError, match="handler"):
        obj.x = 2
    assert obj.x == 2


# ---------------------------------------------------------------- names that are not symbolic fields


def test_an_undeclared_name_goes_to_the_host_setter_unchanged():
    obj = C(x=1, sealed=True)
    ho.clear()
    value = object()
    obj.extra = value
    assert vars(obj)["extra"] is value and recorded("object_setattr") == [("extra",)]
    assert notified() == []


def test_node_state_names_reach_their_properties_through_the_host_setter():
    obj = C(x=1)
    obj._sealed = True
    obj._sym_parent = parent = C(x=2)
    assert obj._sealed is True and obj.sym_parent is parent
    with pytest.raises(TypeError, match=r"^argument 'v': 'int' object is not an instance of 'bool'$"):
        obj._allow_partial = 1
    assert recorded("object_setattr") == [("_sealed",), ("_sym_parent",), ("_allow_partial",)]


@pytest.mark.parametrize(
    "field, value, stored",
    [
        # a private name never takes the symbolic path, even as an init field
        (F("_p", n.Int(default=0)), "not validated", "not validated"),
        # a non-init field validates through its apply when validation is on
        (F("_p", n.Float(), enable_init=False, enable_validation=True), 1, 1.0),
        (F("q", n.Float(), enable_init=False, enable_validation=True), 1, 1.0),
        # and stores the value unchanged when it is off (its default for a non-init field)
        (F("q", n.Float(), enable_init=False), 1, 1),
    ],
)
def test_private_and_non_init_fields_go_to_the_host_setter(field, value, stored):
    class Fields(HostObject):
        x: int

    Fields._update_schema([F("x", n.Int()), field])
    name = field.key.const_text
    obj = Fields(x=1)
    before = dict(obj.field_dict())
    delattr(Fields, name)  # the host puts no property on such a field
    ho.clear()
    setattr(obj, name, value)
    assert vars(obj)[name] == stored and type(vars(obj)[name]) is type(stored)
    assert recorded("object_setattr") == [(name,)] and notified() == []
    assert obj.field_dict() == before


def test_a_non_init_field_refuses_what_its_apply_refuses():
    class Fields(HostObject):
        x: int

    Fields._update_schema([F("x", n.Int()), F("q", n.Int(), enable_init=False, enable_validation=True)])
    delattr(Fields, "q")
    obj = Fields(x=1)
    with pytest.raises(TypeError, match=r"^Expect <class 'int'> but encountered <class 'str'>: a\. \(path=\)$"):
        obj.q = "a"
    assert "q" not in vars(obj) and recorded("object_setattr") == []


def test_without_init_names_a_field_is_found_through_get_field():
    Open = open_class(F("a", n.Int()), F(n.StrKey(), n.Int()))
    obj = Open(a=1, k=2)
    ho.clear()
    obj.a = 3
    obj.k = 4
    obj.new = 5
    assert obj.field_dict() == {"a": 3, "k": 4, "new": 5}
    assert [call[0][0] for call in notified()] == [P("a"), P("k"), P("new")]
    assert recorded("object_setattr") == []


@pytest.mark.parametrize("sealed", [False, True])
def test_deletion_goes_to_the_host_unchecked(sealed):
    obj = C(x=1, sealed=sealed)
    obj.extra = 1
    ho.clear()
    del obj.extra
    assert "extra" not in vars(obj) and recorded("object_delattr") == [("extra",)]
    # a field's property has no deleter: the host's deletion says so
    with pytest.raises(AttributeError, match="has no deleter"):
        del obj.x
    assert obj.field_dict()["x"] == 1 and recorded("object_delattr") == [("extra",), ("x",)]


def test_a_name_without_utf8_text_is_refused():
    obj = C(x=1)
    with pytest.raises(UnicodeEncodeError):
        setattr(obj, "\ud800", 1)
    assert recorded("object_setattr") == []


def test_a_str_subclass_name_is_looked_up_by_its_text():
    class Name(str):
        pass

    obj = C(x=1)
    ho.clear()
    setattr(obj, Name("x"), 2)
    assert obj.x == 2 and notified()[0][0][0] == P("x")


# ---------------------------------------------------------------- missing values


def test_the_missing_value_into_a_variable_key_field_removes_it():
    Open = open_class(F("a", n.Int(default=5)), F(n.StrKey(), n.Int()))
    obj = Open(a=1, k=2)
    wildcard = Open.__schema__.get_field("k")
    ho.clear()
    obj.k = MISSING
    assert obj.field_dict() == {"a": 1}
    assert notified() == [[(P("k"), obj, wildcard, 2, MISSING)]]
    # absent: nothing changes
    ho.clear()
    obj.k = MISSING
    obj.other = n.MissingValue()
    assert obj.field_dict() == {"a": 1} and notified() == []


def test_the_missing_value_into_a_constant_key_field_stores_its_default():
    Open = open_class(F("a", n.Int(default=5)), F(n.StrKey(), n.Int()))
    obj = Open(a=1)
    hs.clear()
    obj.a = MISSING
    assert obj.field_dict() == {"a": 5}
    # the default is formalised, never wrapped
    assert recorded("wrap_value") == []


def test_the_missing_value_itself_into_an_absent_constant_field_changes_nothing():
    obj = C(x=1)
    del obj.field_dict()["f"]
    ho.clear()
    obj.f = MISSING
    assert "f" not in obj.field_dict() and notified() == []
    # another missing value is compared by identity: the default is stored
    obj.f = n.MissingValue()
    assert obj.field_dict()["f"] == 0.0 and len(notified()) == 1


# ---------------------------------------------------------------- the funnel and the general path


def test_a_frozen_field_never_takes_the_funnel():
    class Fixed(HostObject):
        x: int
        fixed = F("fixed", n.Int(default=1).freeze(1))

    obj = Fixed(x=1)
    hs.clear()
    with pytest.raises(ValueError, match="Frozen field is not assignable"):
        obj.fixed = 2
    assert len(recorded("wrap_value")) == 1


def test_without_a_native_schema_every_write_takes_the_general_path():
    obj = C(x=1)
    hs.clear()
    ho.clear()
    assert obj.store_symbolic_field(C, "x", 2, field_of(C, "x"), True, None) is None
    assert obj.x == 2 and len(recorded("wrap_value")) == 1 and len(notified()) == 1


def test_store_symbolic_field_as_a_method():
    method = n.SymObject.store_symbolic_field
    assert str(inspect.signature(method)) == "(self, /, cls, name, value, field, sym_mode, schema)"
    obj = C(x=1)
    with pytest.raises(TypeError) as info:
        obj.store_symbolic_field(C, "x", 2, field_of(C, "x"), 1, C.__schema__)
    assert str(info.value) == "argument 'sym_mode': 'int' object is not an instance of 'bool'"
    obj.store_symbolic_field(cls=C, name="x", value=3, field=field_of(C, "x"), sym_mode=True, schema=C.__schema__)
    assert obj.x == 3
    # the gates and the notification come with it
    obj._sealed = True
    with pytest.raises(hs.WritePermissionError):
        obj.store_symbolic_field(C, "x", 4, field_of(C, "x"), True, C.__schema__)


def test_a_name_the_schema_has_no_constant_key_for_takes_the_general_path():
    obj = C(x=1)
    hs.clear()
    obj.store_symbolic_field(C, "x", 2, field_of(C, "x"), True, n.Schema([F("other", n.Int())]))
    assert len(recorded("wrap_value")) == 1 and obj.x == 2


class HostField:
    """A field object of the host's own, answering what the write core reads."""

    def __init__(self, key, apply):
        self.key, self._apply = key, apply
        self.default_value = 0
        self.enable_wrap = True

    def apply(self, value, allow_partial=False, transform_fn=None, root_path=None):
        ho.calls.append(("host field apply", value, allow_partial, transform_fn is not None, root_path))
        return self._apply(value)


def test_a_host_field_is_read_and_called_through_its_attributes():
    obj = C(x=1)
    field = HostField(n.ConstStrKey("x"), lambda v: v * 10)
    obj.store_symbolic_field(C, "x", 2, field, True, None)
    assert obj.x == 20
    assert recorded("host field apply") == [(2, False, True, P("x"))]
    field.enable_wrap = False
    obj.store_symbolic_field(C, "x", 3, field, True, None)
    assert recorded("host field apply")[-1] == (3, False, False, P("x"))


class WrapReadingField:
    """A host field whose `enable_wrap` answers from a script and records
    each read among the symbolic layer's calls, so their order shows."""

    def __init__(self, answers):
        self.key, self.default_value = n.ConstStrKey("x"), 5
        self._answers = iter(answers)

    @property
    def enable_wrap(self):
        hs.calls.append(("enable_wrap",))
        return next(self._answers)

    def apply(self, value, allow_partial=False, transform_fn=None, root_path=None):
        hs.calls.append(("apply", value, transform_fn is not None))
        return value


@pytest.mark.parametrize(
    "value, answers, expected",
    [
        (2, [True, True], ["enable_wrap", ("wrap_value", True), "symbolic_transform_fn", "enable_wrap", ("apply", True)]),
        (2, [True, False], ["enable_wrap", ("wrap_value", True), "symbolic_transform_fn", "enable_wrap", ("apply", False)]),
        (2, [False, True], ["enable_wrap", ("wrap_value", False), "symbolic_transform_fn", "enable_wrap", ("apply", True)]),
        # a missing value takes the default unwrapped: one read, for `apply`
        (MISSING, [False], ["symbolic_transform_fn", "enable_wrap", ("apply", False)]),
    ],
)
def test_enable_wrap_is_read_for_the_wrapping_and_again_for_apply(value, answers, expected):
    obj = C(x=1)
    hs.clear()
    obj.store_symbolic_field(C, "x", value, WrapReadingField(answers), True, None)
    seen = []
    for call in hs.calls:
        if call[0] == "wrap_value":
            seen.append(("wrap_value", call[2]))
        elif call[0] == "apply":
            seen.append(("apply", call[2]))
        elif call[0] in ("enable_wrap", "symbolic_transform_fn"):
            seen.append(call[0])
    assert seen == expected
    assert obj.x == (5 if value is MISSING else value)


def test_allow_partial_comes_from_its_scope_when_forced():
    obj = C(x=1)
    field = HostField(n.ConstStrKey("x"), lambda v: v)
    n._flag_scope_set(PARTIAL, True)
    obj.store_symbolic_field(C, "x", 2, field, True, None)
    assert recorded("host field apply")[-1][2] is True
    assert recorded("wrap_value")[-1][2] is True and recorded("symbolic_transform_fn")[-1] == (True,)


# ---------------------------------------------------------------- adoption and detachment


def test_a_symbolic_value_is_adopted_and_the_replaced_child_detached():
    obj = C(x=1, items=hs.HostList([1]), root_path=P("r"))
    old = obj.items
    new = hs.HostList([2])
    obj.items = new
    assert obj.items is new and new.sym_parent is obj and new.sym_path == P("r.items")
    assert old.sym_parent is None and old.sym_path == KeyPath()


def test_a_value_owned_elsewhere_is_cloned():
    other = C(x=1, items=hs.HostList([1]))
    obj = C(x=1)
    obj.items = other.items
    assert obj.items is not other.items and list(obj.items) == [1]
    assert obj.items.sym_parent is obj and other.items.sym_parent is other


def test_an_ancestor_is_refused_and_nothing_changes():
    class Node(HostObject):
        child: typing.Any = None

    root = Node()
    child = Node()
    root.child = child
    ho.clear()
    with pytest.raises(ValueError):
        child.child = root
    assert child.field_dict()["child"] is None and notified() == []


def test_without_sym_mode_a_value_is_stored_as_it_is_but_the_old_child_detached():
    obj = C(x=1, items=hs.HostList([1]))
    old = obj.items
    new = hs.HostList([2])
    obj.store_symbolic_field(C, "items", new, field_of(C, "items"), False, C.__schema__)
    assert obj.items is new and new.sym_parent is None
    assert old.sym_parent is None and old.sym_path == KeyPath()


def test_a_field_handing_back_the_stored_child_keeps_it_attached():
    # Detaching the child and storing it again would leave a member outside its tree.
    obj = C(x=1, items=hs.HostList([1]))
    child = obj.items
    field = HostField(n.ConstStrKey("items"), lambda v: child)
    hs.clear()
    ho.clear()
    obj.store_symbolic_field(C, "items", [9], field, True, None)
    assert obj.items is child and child.sym_parent is obj and child.sym_path == P("items")
    assert notified() == [[(P("items"), obj, field, child, child)]]


def test_a_child_written_then_replaced_is_collected():
    obj = C(x=1)
    child = hs.HostList([1])
    obj.items = child
    alive = weakref.ref(child)
    obj.items = hs.HostList([2])
    ho.clear()
    hs.clear()
    del child
    gc.collect()
    assert alive() is None


# ---------------------------------------------------------------- an object without field dict


def test_a_blank_object_raises_what_its_attribute_view_raises():
    obj = C.__new__(C)
    with pytest.raises(AttributeError, match=r"^'C' object has no attribute '_sym_attributes'$"):
        obj.x = 1
    assert obj.field_dict() is None


def test_a_blank_object_whose_host_answers_the_view_is_refused_not_passed():
    class Answering(HostObject):
        x: int

        def __getattr__(self, name):
            return "answered"

    obj = Answering.__new__(Answering)
    with pytest.raises(ValueError, match=r"^Answering\.__init__ should call `super\(\)\.__init__`\.$"):
        obj.x = 1
    assert obj.field_dict() is None and notified() == []


# ---------------------------------------------------------------- leaks


def test_writes_leak_nothing():
    obj = C(x=1)
    values = iter(range(10**6))
    assert block_growth(leak_round(lambda: setattr(obj, "x", next(values))), 2000) < 100
    assert block_growth(leak_round(lambda: setattr(obj, "items", hs.HostList([1]))), 2000) < 100
    assert block_growth(leak_round(swallow(lambda: setattr(obj, "x", "one"))), 2000) < 100
    assert block_growth(leak_round(lambda: setattr(obj, "extra", 1)), 2000) < 100
    sealed = C(x=1, sealed=True)
    assert block_growth(leak_round(swallow(lambda: setattr(sealed, "x", 2))), 2000) < 100
