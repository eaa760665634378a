"""The kernel's cell accessors: the node-state seams by role, the field cells
by name, and what every kernel function does with objects that are not the
Records it expects (no read or write outside the object, ever)."""

import sys
import weakref

import pytest

import norv_host
from norv_core import PanicException
from norv_core import _native as n
from norv_host import objects as ho

from leakcheck import refcount_delta

norv_host.install()
probe = n._testing

ROLE_8 = (
    "slot record: node-state role 8 out of range (0..8; the reserved region's trailing cell is the "
    "CPython-owned __weakref__ list head, #452)"
)
NOT_IN_LAYOUT = "slot record: field {} is not in the Record's inline-slot layout"


def make(reserved=9, fields=("x", "y"), name="P"):
    return n._kernel_make_record(name, list(fields), reserved)


P = make()


# ---- node-state seams -------------------------------------------------------------------------


def test_a_new_record_has_every_role_empty():
    p = P()
    assert [n._slot_node_get(p, role) for role in range(8)] == [None] * 8


def test_set_read_and_empty_a_role():
    p = P()
    n._slot_node_set(p, 3, True)
    assert n._slot_node_get(p, 3) is True
    n._slot_node_set(p, 3)
    assert n._slot_node_get(p, 3) is None
    n._slot_node_set(p, 3, 1)
    n._slot_node_set(p, 3, None)  # None empties too
    assert n._slot_node_get(p, 3) is None
    value = object()
    n._slot_node_set(p, 0, value)
    assert n._slot_node_get(p, 0) is value
    assert probe.record_read_slots(p, ["x", "y"]) == {"x": None, "y": None}  # roles are no fields


def test_set_if_absent_keeps_the_first_value():
    p = P()
    a, b, c = object(), object(), object()
    assert n._slot_node_set_if_absent(p, 7, a) is a
    assert n._slot_node_set_if_absent(p, 7, b) is a
    assert n._slot_node_set_if_absent(p, 5, None) is None
    assert n._slot_node_set_if_absent(p, 5, c) is None


@pytest.mark.parametrize("role", [8, 9, 100, 2**63])
def test_roles_past_the_node_state_region_are_refused(role):
    p = P()
    r = weakref.ref(p)
    calls = [
        lambda: n._slot_node_get(p, role),
        lambda: n._slot_node_set(p, role, 1),
        lambda: n._slot_node_set(p, role),
        lambda: n._slot_node_set_if_absent(p, role, 1),
    ]
    for call in calls:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == ROLE_8.replace("role 8", f"role {role}")
    assert p.__weakref__ is r and r() is p


@pytest.mark.parametrize(
    "role, error, message",
    [
        (-1, OverflowError, "can't convert negative value to size_t"),
        (2**64, OverflowError, "too large to convert to C size_t"),
        ("0", TypeError, "argument 'role': 'str' object cannot be interpreted as an integer"),
        (1.0, TypeError, "argument 'role': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_role_conversion(role, error, message):
    with pytest.raises(error, match=message):
        n._slot_node_get(P(), role)


def test_bool_roles_are_ints():
    p = P()
    n._slot_node_set(p, True, "path")
    assert n._slot_node_get(p, 1) == "path"


@pytest.mark.parametrize("reserved, allowed", [(0, 0), (1, 1), (3, 3), (7, 7), (8, 8), (12, 8)])
def test_roles_stay_inside_the_root_region(reserved, allowed):
    R = make(reserved, name="R")
    r = R()
    r.x = "field"
    for role in range(8):
        if role < allowed:
            n._slot_node_set(r, role, role)
            assert n._slot_node_get(r, role) == role
        else:
            with pytest.raises(RuntimeError) as info:
                n._slot_node_get(r, role)
            assert str(info.value) == (
                f"slot record: node-state role {role} is not a reserved cell of 'R' (its root region reserves "
                f"{reserved})"
            )
            with pytest.raises(RuntimeError, match="is not a reserved cell"):
                n._slot_node_set(r, role, "x")
    assert r.x == "field"


def test_roles_address_the_root_region_of_a_subtype():
    Q = n._kernel_make_record_subtype(P, "Q", ["z"], 2)
    q = Q()
    n._slot_node_set(q, 7, "caches")
    assert n._slot_node_get(q, 7) == "caches"
    Sub = n._kernel_make_record_subtype(make(0, name="R0"), "Sub", ["z"], 9)
    with pytest.raises(RuntimeError, match="role 0 is not a reserved cell of 'Sub'"):
        n._slot_node_get(Sub(), 0)


def test_the_seams_release_what_they_replace():
    p = P()
    value = object()

    def cycle():
        n._slot_node_set(p, 0, value)
        n._slot_node_set(p, 0)
        n._slot_node_set_if_absent(p, 7, value)
        n._slot_node_get(p, 7)
        n._slot_node_set(p, 7)

    assert refcount_delta(value, cycle) == 0


# ---- field cells ------------------------------------------------------------------------------


def test_blank_records_read_as_none_and_unwritten():
    p = P()
    assert probe.record_read_slots(p, ["x", "y"]) == {"x": None, "y": None}
    assert probe.record_read_slots(p, ["y", "x"]) == {"y": None, "x": None}
    assert not probe.record_field_written(p, "x") and not probe.record_field_written(p, "y")


def test_write_leaves_the_names_it_has_no_value_for():
    p = P()
    p.y = "kept"
    probe.record_write_slots(p, ["x", "y"], {"x": 1})
    assert (p.x, p.y) == (1, "kept")
    probe.record_write_slots(p, ["x"], {"x": None, "y": "ignored"})
    assert p.x is None and p.y == "kept"
    assert probe.record_field_written(p, "x")  # a stored None is a value


def test_writes_stop_at_the_first_error_without_rollback():
    p = P()
    with pytest.raises(RuntimeError, match=r'field "nope" is not'):
        probe.record_write_slots(p, ["x", "nope", "y"], {"x": 1, "y": 2})
    assert p.x == 1 and not probe.record_field_written(p, "y")


@pytest.mark.parametrize(
    "name, quoted",
    [
        ("nope", '"nope"'),
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("\n\r\t\0", '"\\n\\r\\t\\0"'),
        ("\x1b\x7f", '"\\u{1b}\\u{7f}"'),
        ("é ü", '"é ü"'),
        ("\ud800", '"\\u{d800}"'),
    ],
)
def test_names_outside_the_layout_are_quoted(name, quoted):
    assert probe.quoted(name) == quoted
    p = P()
    message = NOT_IN_LAYOUT.format(quoted)
    for call in (
        lambda: probe.record_read_slots(p, [name]),
        lambda: probe.record_write_slots(p, [name], {}),
        lambda: probe.record_field_written(p, name),
        lambda: probe.record_field_slot_offset(P.__slot_field_offsets__, name),
    ):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message


def test_offsets_must_be_a_dict():
    R = make(name="R")
    assert probe.record_field_offsets(R) == {"x": 88, "y": 96}
    R.__slot_field_offsets__ = [("x", 88)]
    for call in (lambda: probe.record_field_offsets(R), lambda: probe.record_read_slots(R(), ["x"])):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "slot record: `__slot_field_offsets__` is not a dict — not an inline-slot Record"
    with pytest.raises(AttributeError):
        probe.record_field_offsets(int)


@pytest.mark.parametrize(
    "offset, error, message",
    [
        ("88", TypeError, "'str' object cannot be interpreted as an integer"),
        (-8, OverflowError, "can't convert negative value to size_t"),
        (88.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ],
)
def test_offsets_convert_to_unsigned_integers(offset, error, message):
    with pytest.raises(error, match=message):
        probe.record_field_slot_offset({"x": offset}, "x")


# ---- tampered layouts and foreign objects -----------------------------------------------------


@pytest.mark.parametrize(
    "offset",
    [0, 8, 12, 16, 48, 64, 80, 87, 89, 104, 112, 10**6, 2**63, 2**64 - 8],
    ids=lambda o: f"offset-{o}",
)
def test_a_tampered_offset_outside_the_field_cells_is_refused(offset):
    R = make(name="R")
    r = R()
    weak = weakref.ref(r)
    n._slot_node_set(r, 0, "parent")
    R.__slot_field_offsets__ = {"x": offset, "y": 96}
    refs = sys.getrefcount(r)
    message = f'slot record: field "x" is at offset {offset}, which is not a field cell of \'R\''
    for call in (
        lambda: probe.record_read_slots(r, ["x"]),
        lambda: probe.record_write_slots(r, ["x"], {"x": "value"}),
        lambda: probe.record_field_written(r, "x"),
    ):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message
    assert sys.getrefcount(r) == refs and type(r) is R
    assert r.__weakref__ is weak and n._slot_node_get(r, 0) == "parent"


def test_a_tampered_offset_to_another_field_cell_stays_inside():
    R = make(name="R")
    r = R()
    R.__slot_field_offsets__ = {"x": 96}
    probe.record_write_slots(r, ["x"], {"x": "into y"})
    assert r.y == "into y"


def test_subtype_offsets_reach_every_region_but_no_member_slot():
    Q = n._kernel_make_record_subtype(P, "Q", ["z"], 1)

    class Members(Q):
        __slots__ = ("extra",)

    m = Members()
    probe.record_write_slots(m, ["x", "z"], {"x": 1, "z": 2})
    assert (m.x, m.z) == (1, 2)
    Members.__slot_field_offsets__ = {"extra": Members.__basicsize__ - 8, "reserved": Q.__slot_field_offsets__["z"] - 8}
    for name in ("extra", "reserved"):
        with pytest.raises(RuntimeError, match="which is not a field cell of 'Members'"):
            probe.record_write_slots(m, [name], {name: 0})
    with pytest.raises(AttributeError):
        m.extra


class Plain:
    pass


class Pretender:
    """Carries a Record's class attributes without being one."""

    __slot_field_offsets__ = {"x": 16}
    __slot_reserved__ = 9


def _foreign():
    blank_object = ho.HostObject.__new__(ho.HostObject)
    return {
        "int": 5,
        "str": "a",
        "object": object(),
        "plain": Plain(),
        "pretender": Pretender(),
        "list": [1, 2],
        "type": P,
        "sym-object": blank_object,
    }


FOREIGN = _foreign()


@pytest.mark.parametrize("key", list(FOREIGN))
def test_node_seams_refuse_objects_that_are_no_record(key):
    obj = FOREIGN[key]
    name = type(obj).__name__
    message = f"slot record: '{name}' object is not an inline-slot Record"
    before = repr(obj)
    for call in (
        lambda: n._slot_node_get(obj, 0),
        lambda: n._slot_node_set(obj, 1, "x"),
        lambda: n._slot_node_set(obj, 1),
        lambda: n._slot_node_set_if_absent(obj, 7, "x"),
    ):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(RuntimeError, match="role 8 out of range"):
        n._slot_node_get(obj, 8)  # the role is checked first
    assert repr(obj) == before


@pytest.mark.parametrize("key", list(FOREIGN))
def test_field_accessors_refuse_objects_that_are_no_record(key):
    obj = FOREIGN[key]
    offsets = getattr(type(obj), "__slot_field_offsets__", None)
    if offsets is None:
        expected = AttributeError, "__slot_field_offsets__"
    else:
        expected = RuntimeError, f"'{type(obj).__name__}' object is not an inline-slot Record"
    for call in (
        lambda: probe.record_read_slots(obj, ["x"]),
        lambda: probe.record_write_slots(obj, ["x"], {"x": 1}),
        lambda: probe.record_field_written(obj, "x"),
    ):
        with pytest.raises(expected[0], match=expected[1]):
            call()
    if offsets is not None:
        assert probe.record_read_slots(obj, []) == {}  # no cell addressed, nothing to refuse


def test_instances_of_other_records_use_their_own_layout():
    Other = make(0, ["y", "x", "w"], name="Other")
    o = Other()
    probe.record_write_slots(o, ["x"], {"x": 1})
    assert o.x == 1 and o.y is None
    with pytest.raises(RuntimeError, match="not a reserved cell of 'Other'"):
        n._slot_node_set(o, 0, "parent")


# What each collected object's own traverse visits: an instance of a Python
# class its type (no attribute set), a list its items, a type its dict, mro,
# bases and base.
OWN_VISITS = {"plain": 1, "pretender": 1, "list": 2, "type": 4, "sym-object": 1}


@pytest.mark.parametrize("key", list(FOREIGN))
def test_every_other_kernel_function_answers_foreign_objects(key):
    obj = FOREIGN[key]
    cls = type(obj)
    assert n._kernel_is_inferential(obj) is False
    assert n._kernel_generic_getattr(obj, "__class__") is cls
    assert n._kernel_probe_type_layout(cls)[:2] == (cls.__basicsize__, cls.__dictoffset__)
    n._kernel_set_record_sym_mode(cls, False)
    n._kernel_set_record_field_kinds(cls, ["x"])
    if cls.__flags__ & (1 << 14):  # Py_TPFLAGS_HAVE_GC: the object's own traverse runs
        assert n._kernel_probe_short_circuit(obj) == 1  # stopped at the first visit
        assert n._kernel_probe_traverse_visits(obj) == OWN_VISITS[key]
    else:
        with pytest.raises(PanicException):
            n._kernel_probe_traverse_visits(obj)
    with pytest.raises(TypeError, match="is not an inline-slot Record type"):
        n._kernel_make_record_subtype(cls, "Q", ["z"], 0)


def test_blank_records_answer_every_seam():
    p = P()
    assert n._slot_node_get(p, 6) is None
    assert n._kernel_probe_traverse_visits(p) == 1
    assert probe.record_read_slots(p, ["x"]) == {"x": None}
    bare = make(0, name="Bare")()
    assert bare.x is None and n._kernel_probe_traverse_visits(bare) == 1
    with pytest.raises(RuntimeError, match="role 0 is not a reserved cell of 'Bare'"):
        n._slot_node_get(bare, 0)
