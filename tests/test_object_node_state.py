"""Node state by role on both storages, a SymObject's node and a Record's
node-state cells, through one access: what each role reads and stores, the
refusals of other instances and roles, the class facts and the blank guard
the tree operations run first."""

import weakref

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import records as hr

from host_calls import clean_records  # noqa: F401  (fixture)

norv_host.install()
probe = n._testing
KeyPath = n.KeyPath

NOT_A_NODE = "node-state ABI: `inst` is neither a SymObject nor an inline-slot record"
ROLE_8 = (
    "slot record: node-state role 8 out of range (0..8; the reserved region's trailing cell is the "
    "CPython-owned __weakref__ list head, #452)"
)

pytestmark = pytest.mark.usefixtures("clean_records")


class Obj(ho.HostObject):
    x: int = 0


Rec = hr.record_class("Rec", {"x": int, "child": dict})
Bare = hr.record_class("Bare", {})


def blank_object():
    return Obj.__new__(Obj)


def blank_record(cls=Rec):
    return cls.__new__(cls)


class Raising:
    def __bool__(self):
        raise ValueError("no truth")


class Stop(BaseException):
    pass


class Interrupting:
    def __bool__(self):
        raise Stop()


# ---------------------------------------------------------------- reads


def test_a_blank_object_reads_its_defaults():
    obj = blank_object()
    assert [n._probe_node_get(obj, role) for role in range(6)] == [None, None, False, False, True, None]
    assert [n._probe_node_get(obj, role) for role in (6, 7, 100, 2**64 - 1)] == [None] * 4


def test_a_blank_record_reads_none_for_every_role():
    rec = blank_record()
    assert [n._probe_node_get(rec, role) for role in range(8)] == [None] * 8


def test_a_constructed_object_reads_its_node():
    parent = object()
    obj = Obj(x=1, root_path=KeyPath("a"))
    obj._sym_parent = parent
    assert n._probe_node_get(obj, 0) is parent
    assert n._probe_node_get(obj, 1) == KeyPath("a")


# ---------------------------------------------------------------- writes


def test_an_object_ignores_roles_it_does_not_store():
    obj = blank_object()
    for role in (6, 7, 100):
        assert n._probe_node_set(obj, role, "x") is None
    assert n._probe_node_get(obj, 6) is None


ON, OFF = True, False


@pytest.mark.parametrize(
    "value, flag",
    [([1], ON), (1, ON), ("s", ON), (True, ON), (None, OFF), (0, OFF), ([], OFF), (False, OFF), (Raising(), OFF)],
)
@pytest.mark.parametrize("make", [blank_object, blank_record], ids=["object", "record"])
@pytest.mark.parametrize("role", [2, 3, 4])
def test_a_flag_takes_the_truth_of_its_value(make, role, value, flag):
    inst = make()
    n._probe_node_set(inst, role, not flag)
    n._probe_node_set(inst, role, value)
    assert n._probe_node_get(inst, role) is flag


@pytest.mark.parametrize("make", [blank_object, blank_record], ids=["object", "record"])
def test_an_omitted_value_clears_a_flag(make):
    inst = make()
    n._probe_node_set(inst, 2, True)
    n._probe_node_set(inst, 2)
    assert n._probe_node_get(inst, 2) is False


@pytest.mark.parametrize("make", [blank_object, blank_record], ids=["object", "record"])
def test_an_interrupting_truth_test_propagates_and_writes_nothing(make):
    inst = make()
    n._probe_node_set(inst, 2, True)
    with pytest.raises(Stop):
        n._probe_node_set(inst, 2, Interrupting())
    assert n._probe_node_get(inst, 2) is True


def test_a_record_stores_its_flags_as_the_bool_objects():
    rec = blank_record()
    n._probe_node_set(rec, 3, 1)
    assert n._slot_node_get(rec, 3) is True
    n._probe_node_set(rec, 4, [])
    assert n._slot_node_get(rec, 4) is False


@pytest.mark.parametrize("role", [0, 1, 5, 6, 7])
def test_a_record_stores_a_reference_role_as_given(role):
    rec, value = blank_record(), object()
    n._probe_node_set(rec, role, value)
    assert n._probe_node_get(rec, role) is value and n._slot_node_get(rec, role) is value
    n._probe_node_set(rec, role, None)
    assert n._slot_node_get(rec, role) is None


def test_both_storages_answer_alike_for_roles_0_to_5():
    parent, path, origin = object(), KeyPath("p"), object()
    # Every flag written first: a blank record's cells hold no flag at all.
    writes = [(2, 1), (3, "yes"), (4, 0), (0, parent), (1, path), (5, origin), (4, [1]), (0, None), (2, None)]
    answers = []
    for inst in (blank_object(), blank_record()):
        got = []
        for role, value in writes:
            n._probe_node_set(inst, role, value)
            got.append([n._probe_node_get(inst, r) for r in range(6)])
        answers.append(got)
    obj_answers, rec_answers = answers
    for o, r in zip(obj_answers[3:], rec_answers[3:]):
        assert [o[i] is r[i] for i in (0, 1, 5)] == [True] * 3
        assert [bool(o[i]) for i in (2, 3, 4)] == [bool(r[i]) for i in (2, 3, 4)]


def test_a_truth_test_may_read_the_node_it_writes():
    obj = blank_object()

    class Reading:
        def __bool__(self):
            return n._probe_node_get(obj, 2) is False

    n._probe_node_set(obj, 2, Reading())
    assert n._probe_node_get(obj, 2) is True


@pytest.mark.parametrize("make", [blank_object, blank_record], ids=["object", "record"])
def test_a_replaced_reference_is_released_after_the_store(make):
    inst, seen = make(), []

    class Finalized:
        def __del__(self):
            seen.append(n._probe_node_get(inst, 0))

    n._probe_node_set(inst, 0, Finalized())
    n._probe_node_set(inst, 0, "next")
    assert seen == ["next"]


# ---------------------------------------------------------------- refusals


@pytest.mark.parametrize(
    "call",
    [
        lambda: n._probe_node_get(5, 0),
        lambda: n._probe_node_set("a", 1, None),
        lambda: n._probe_node_set(object(), 0),
        lambda: n._probe_node_get({}, 2),
    ],
)
def test_other_instances_are_refused(call):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == NOT_A_NODE


def test_a_class_that_only_carries_the_record_attribute_is_refused():
    class Pretender:
        __slot_field_offsets__ = {"x": 16}
        __slot_reserved__ = 9

    for call in (lambda: n._probe_node_get(Pretender(), 0), lambda: n._probe_node_set(Pretender(), 1, "p")):
        with pytest.raises(TypeError, match="neither a SymObject nor an inline-slot record"):
            call()


@pytest.mark.parametrize("call", [lambda r: n._probe_node_get(r, 8), lambda r: n._probe_node_set(r, 8, "x")])
def test_a_record_refuses_role_8_and_keeps_its_weak_references(call):
    rec = blank_record()
    ref = weakref.ref(rec)
    with pytest.raises(RuntimeError) as info:
        call(rec)
    assert str(info.value) == ROLE_8
    assert rec.__weakref__ is ref and ref() is rec


def test_a_record_with_fewer_reserved_cells_refuses_the_missing_roles():
    Small = n._kernel_make_record("Small", ["x"], 3)
    small = Small()
    n._probe_node_set(small, 2, True)
    assert n._probe_node_get(small, 2) is True
    for call in (lambda: n._probe_node_get(small, 3), lambda: n._probe_node_set(small, 5, "x")):
        with pytest.raises(RuntimeError, match="is not a reserved cell of 'Small'"):
            call()
    assert probe.record_read_slots(small, ["x"]) == {"x": None}


def test_an_error_of_the_record_test_propagates():
    class Meta(type):
        def __getattr__(cls, name):
            raise LookupError(name)

    inst = Meta("Odd", (), {})()
    with pytest.raises(LookupError, match="__slot_field_offsets__"):
        n._probe_node_get(inst, 0)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((blank_object(), -1), OverflowError, None),
        ((blank_object(), "0"), TypeError, r"^argument 'role': "),
        ((blank_object(), 2**64), OverflowError, None),
    ],
)
def test_role_conversion(args, error, message):
    for fn in (n._probe_node_get, n._probe_node_set):
        with pytest.raises(error, match=message):
            fn(*args)


def test_signatures():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'role'"):
        n._probe_node_get(blank_object())
    with pytest.raises(TypeError, match=r"takes at most 3 arguments \(4 given\)|3 positional arguments"):
        n._probe_node_set(blank_object(), 0, 1, 2)
    obj = blank_object()
    n._probe_node_set(inst=obj, role=2, value=True)
    assert n._probe_node_get(inst=obj, role=2) is True


# ---------------------------------------------------------------- class facts


def test_facts_are_absent_for_a_record_and_built_for_an_object_class():
    class Fresh(ho.HostObject):
        x: int = 0

    assert probe.topo_facts_of(blank_record()) is None
    assert "__native_ctor_meta__" not in vars(Fresh)
    assert probe.topo_facts_of(Fresh.__new__(Fresh)) == (True, False, False, False)
    assert "__native_ctor_meta__" in vars(Fresh)


# ---------------------------------------------------------------- the blank guard

BLANK = r"^{}\.__init__ should call `super\(\)\.__init__`\.$"


def test_the_blank_guard_of_an_object():
    obj = blank_object()
    with pytest.raises(ValueError, match=BLANK.format("Obj")):
        probe.blank_node_guard(obj)
    obj._sym_path = KeyPath("a")
    assert probe.blank_node_guard(obj) is None
    assert probe.blank_node_guard(Obj(x=1)) is None


@pytest.mark.parametrize("inst", [5, "s", None, {}])
def test_the_blank_guard_passes_anything_else(inst):
    assert probe.blank_node_guard(inst) is None


def test_a_record_is_initialised_once_its_first_init_field_is_written():
    rec = blank_record()
    n._probe_node_set(rec, 3, True)  # seeding alone does not count
    with pytest.raises(ValueError, match=BLANK.format("Rec")):
        probe.blank_node_guard(rec)
    rec.child = {}  # not the first field
    with pytest.raises(ValueError, match=BLANK.format("Rec")):
        probe.blank_node_guard(rec)
    rec.x = 1
    assert probe.blank_node_guard(rec) is None


def test_a_record_without_init_fields_is_initialised_by_its_allow_partial_cell():
    bare = blank_record(Bare)
    with pytest.raises(ValueError, match=BLANK.format("Bare")):
        probe.blank_node_guard(bare)
    n._probe_node_set(bare, 3, False)  # filled, even with False
    assert probe.blank_node_guard(bare) is None


def test_a_record_type_without_reserved_cells_or_field_names_passes():
    Plain = n._kernel_make_record("Plain", ["x"], 0)
    assert probe.blank_node_guard(Plain()) is None  # no `__slot_field_names__`
    Plain.__slot_field_names__ = ()
    assert probe.blank_node_guard(Plain()) is None  # no init fields, nothing reserved


@pytest.mark.parametrize(
    "names, error, message",
    [
        ((1,), TypeError, r"^'int' object is not an instance of 'str'$"),
        (("zz",), RuntimeError, r"^slot record: field \"zz\" is not in the Record's inline-slot layout$"),
        (5, TypeError, "not iterable"),
    ],
)
def test_a_broken_field_name_list_is_an_error(names, error, message):
    Odd = hr.record_class("Odd", {"x": int})
    Odd.__slot_field_names__ = names
    with pytest.raises(error, match=message):
        probe.blank_node_guard(blank_record(Odd))


# ---------------------------------------------------------------- record helpers


@pytest.mark.parametrize("reserved, count", [(9, 9), (0, 0), ("9", 0), (-1, 0), (None, 0), (2.0, 0)])
def test_the_reserved_count_reads_the_class_attribute(reserved, count):
    Odd = hr.record_class("Odd", {"x": int})
    Odd.__slot_reserved__ = reserved
    assert probe.record_reserved_count(Odd) == count


def test_the_reserved_count_of_a_class_without_it_is_zero():
    assert probe.record_reserved_count(int) == 0
    assert probe.record_reserved_count(Rec) == 9


def test_the_symbolic_children_are_the_symbolic_fields_cells():
    rec, child = blank_record(), {"a": 1}
    assert probe.record_symbolic_children(rec) == [("child", None)]
    rec.child = child
    [(name, value)] = probe.record_symbolic_children(rec)
    assert name == "child" and value is child
    with pytest.raises(AttributeError, match="__slot_symbolic_field_names__"):
        probe.record_symbolic_children(5)
