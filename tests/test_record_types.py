"""Record types built at run time: the builders, the instance layout, the
layout probes, and the collector's slots of every Record type."""

import gc
import inspect
import itertools
import os
import sys
import weakref

import pytest

import norv_host
from norv_core import PanicException
from norv_core import _native as n
from norv_host import objects as ho

from collector import tp_clear
from leakcheck import block_growth, refcount_delta, swallow

norv_host.install()
START, CELL = n._kernel_record_layout()

KERNEL_NAMES = [
    "_kernel_topology_reserved",
    "_slot_node_get",
    "_slot_node_set",
    "_slot_node_set_if_absent",
    "_kernel_probe_type_layout",
    "_kernel_roundtrip_tp_init",
    "_install_native_tp_init",
    "_install_native_record_tp_init",
    "_install_native_tp_getattro",
    "_install_native_tp_getattro_fast",
    "_install_native_record_tp_getattro",
    "_kernel_tp_getattro_is_native",
    "_kernel_tp_getattro_is_fast",
    "_kernel_make_record",
    "_kernel_make_record_subtype",
    "_kernel_set_record_sym_mode",
    "_kernel_set_record_field_kinds",
    "_kernel_record_layout",
    "_kernel_is_inferential",
    "_kernel_generic_getattr",
    "_kernel_probe_short_circuit",
    "_kernel_probe_traverse_visits",
]


def make(name="P", fields=("x", "y"), reserved=9, **kw):
    return n._kernel_make_record(name, list(fields), reserved, **kw)


def sub(base, name="Q", fields=("z",), reserved=0, **kw):
    return n._kernel_make_record_subtype(base, name, list(fields), reserved, **kw)


# ---- registration and constants -------------------------------------------------------------


def test_kernel_names_come_last_in_their_order():
    names = list(n.__all__)
    assert names[names.index("_FLAG_CHANGE_NOTIFICATION") + 1 :] == KERNEL_NAMES


def test_layout_constants():
    assert n._kernel_record_layout() == (object.__basicsize__, 8)
    assert n._kernel_topology_reserved() == 9


@pytest.mark.parametrize(
    "fn, sig",
    [
        (n._kernel_make_record, "(name, field_names, reserved_count, sym_mode=True)"),
        (n._kernel_make_record_subtype, "(base, name, field_names, reserved_count, sym_mode=True)"),
        (n._kernel_probe_type_layout, "(cls)"),
        (n._kernel_generic_getattr, "(obj, name)"),
        (n._slot_node_set, "(inst, role, value=None)"),
        (n._kernel_record_layout, "()"),
    ],
)
def test_signatures(fn, sig):
    assert str(inspect.signature(fn)) == sig


# ---- layout -----------------------------------------------------------------------------------


def test_worked_example():
    P = make()
    assert (P.__module__, P.__name__, P.__qualname__) == ("norv_core._native", "P", "P")
    assert (P.__basicsize__, P.__weakrefoffset__, P.__dictoffset__) == (104, 80, 0)
    assert P.__slot_reserved__ == 9
    assert P.__slot_field_offsets__ == {"x": 88, "y": 96}
    assert n._kernel_probe_type_layout(P) == (104, 0, "norv_core._native.P")
    Q = sub(P)
    assert (Q.__basicsize__, Q.__weakrefoffset__, Q.__slot_reserved__) == (112, 80, 9)
    assert Q.__slot_field_offsets__ == {"x": 88, "y": 96, "z": 104}
    assert Q.__mro__ == (Q, P, object)
    q = Q()
    q.x, q.z = 1, 2
    assert (q.x, q.z) == (1, 2)
    assert weakref.ref(q)() is q


@pytest.mark.parametrize("reserved", [0, 1, 3, 8, 9, 12])
@pytest.mark.parametrize("fields", [(), ("a",), ("a", "b", "c")])
def test_basic_size_and_offsets(reserved, fields):
    R = make("R", fields, reserved)
    assert R.__basicsize__ == START + CELL * (reserved + len(fields))
    assert R.__slot_field_offsets__ == {f: START + CELL * (reserved + i) for i, f in enumerate(fields)}
    assert R.__slot_reserved__ == reserved
    assert n._kernel_probe_type_layout(R)[:2] == (R.__basicsize__, R.__dictoffset__)


@pytest.mark.parametrize("reserved", [0, 3, 8])
def test_small_roots_take_no_weak_references(reserved):
    R = make("R", ["a"], reserved)
    r = R()
    assert R.__weakrefoffset__ == 0
    assert not hasattr(r, "__weakref__")
    with pytest.raises(TypeError, match="cannot create weak reference to 'norv_core._native.R' object"):
        weakref.ref(r)


def test_production_roots_keep_their_weak_reference_head():
    P = make()
    p = P()
    assert p.__weakref__ is None
    r = weakref.ref(p)
    assert p.__weakref__ is r
    with pytest.raises(AttributeError, match="__weakref__"):
        p.__weakref__ = None
    with pytest.raises(AttributeError):
        del p.__weakref__


@pytest.mark.parametrize(
    "name, module, short",
    [
        ("P", "norv_core._native", "P"),
        ("pkg.mod.R", "pkg.mod", "R"),
        ("mod.R", "mod", "R"),
        ("pkg.é.R", "pkg.é", "R"),
    ],
)
def test_name_and_module(name, module, short):
    R = make(name)
    assert (R.__module__, R.__name__, R.__qualname__) == (module, short, short)


def test_subtype_offsets_are_a_new_dict():
    P = make()
    Q = sub(P)
    Q.__slot_field_offsets__["w"] = 1
    assert P.__slot_field_offsets__ == {"x": 88, "y": 96}
    assert type(Q.__slot_field_offsets__) is dict


def test_subtype_of_a_subtype_adds_its_reserved_cells():
    P = make()
    Q = sub(P, reserved=2)
    R = sub(Q, "R", ["w"], 1)
    assert Q.__slot_reserved__ == 11 and R.__slot_reserved__ == 12
    assert R.__slot_field_offsets__ == {"x": 88, "y": 96, "z": 120, "w": 136}
    assert R.__basicsize__ == 144
    r = R()
    r.x, r.z, r.w = 1, 2, 3
    assert (r.x, r.z, r.w) == (1, 2, 3)


def test_python_subclasses_are_bases_when_they_add_no_storage():
    P = make()

    class Slotless(P):
        __slots__ = ()

        def total(self):
            return self.x + self.z

    Q = sub(Slotless)
    assert Q.__slot_field_offsets__ == {"x": 88, "y": 96, "z": 104}
    q = Q()
    q.x, q.z = 1, 2
    assert q.total() == 3


def test_base_counts_and_offsets_read_leniently():
    P = make()

    class Odd(P):
        __slots__ = ()
        __slot_reserved__ = "nine"  # unreadable as a count: 0 inherited

    Q = sub(Odd)
    assert Q.__slot_reserved__ == 0
    del P.__slot_field_offsets__
    R = sub(P, "R", ["x2"])  # no offsets to inherit: an empty dict
    assert R.__slot_field_offsets__ == {"x2": 104}


def test_base_offsets_that_are_no_dict_are_refused():
    P = make()
    P.__slot_field_offsets__ = [("x", 88)]
    with pytest.raises(TypeError, match="^'list' object is not an instance of 'dict'$"):
        sub(P)


def test_base_offsets_of_a_dict_subclass_are_copied_plain():
    class Offsets(dict):
        pass

    P = make()
    P.__slot_field_offsets__ = Offsets(P.__slot_field_offsets__)
    assert type(sub(P).__slot_field_offsets__) is dict


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt])
def test_base_reads_discard_only_ordinary_errors(error):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__slot_reserved__":
                raise error("no count")
            return super().__getattribute__(name)

    P = make()

    class Loud(P, metaclass=Meta):
        __slots__ = ()

    if issubclass(error, Exception):
        assert vars(sub(Loud))["__slot_reserved__"] == 0
    else:
        with pytest.raises(error):
            sub(Loud)


# ---- the builders' errors ---------------------------------------------------------------------

DUPLICATE = (
    "slot record field {} collides with an inherited or earlier field; a Record's own fields must be "
    "strictly new (no duplicate inline slot)"
)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: make(fields=["__dict__"]), ValueError,
         'field name "__dict__" collides with a reserved instance-layout descriptor'),
        (lambda: make(fields=["ok", "__weakref__"]), ValueError,
         'field name "__weakref__" collides with a reserved instance-layout descriptor'),
        (lambda: make(fields=["a\0b"]), ValueError, "name and field names must not contain interior nul bytes"),
        (lambda: make(name="P\0"), ValueError, "name and field names must not contain interior nul bytes"),
        (lambda: make(fields=["x", "y", "x"]), ValueError, DUPLICATE.format('"x"')),
        (lambda: make(fields=['a"b', 'a"b']), ValueError, DUPLICATE.format('"a\\"b"')),
        (lambda: sub(make(), fields=["z", "y"]), ValueError, DUPLICATE.format('"y"')),
        (lambda: make(fields=["\ud800"]), UnicodeEncodeError, "surrogates not allowed"),
        (lambda: make(reserved=2**40), OverflowError, "the layout's cells do not fit"),
        (lambda: make(1), TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
        (lambda: n._kernel_make_record("P", "xy", 9), TypeError, "argument 'field_names': 'str' object is not an instance of 'list'"),
        (lambda: n._kernel_make_record("P", 5, 9), TypeError, "argument 'field_names': 'int' object is not an instance of 'list'"),
        (lambda: n._kernel_make_record("P", ["x", 1], 9), TypeError,
         "argument 'field_names': 'int' object is not an instance of 'str'"),
        (lambda: make(reserved=-1), OverflowError, "negative"),
        (lambda: make(reserved="9"), TypeError, "argument 'reserved_count': 'str' object cannot be interpreted"),
        (lambda: make(sym_mode=1), TypeError, "argument 'sym_mode': 'int' object is not an instance of 'bool'"),
        (lambda: sub(5), TypeError, "argument 'base': 'int' object is not an instance of 'type'"),
        (lambda: n._kernel_probe_type_layout(5), TypeError, "argument 'cls': 'int' object is not an instance of 'type'"),
        (lambda: n._kernel_make_record("P", ["x"]), TypeError, "missing 1 required positional argument"),
    ],
)
def test_builder_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


def test_duplicates_release_the_type_they_made():
    def failing():
        with pytest.raises(ValueError):
            make(fields=["x", "x"])

    assert block_growth(failing, 50) <= 0


# Builds that fail once their type exists, over fifty fields whose interned
# names are the build's own. The bases are built once: a built type keeps
# its tables.
FIELDS = [f"failed_build_field_{i}" for i in range(50)]
NAME_TAGS = itertools.count()  # names never used before, in every test
BASE = make("FailedBuildBase")
NO_DICT_BASE = make("NoDictBase")
NO_DICT_BASE.__slot_field_offsets__ = [("x", 88)]


def _inherited_duplicate(names):
    BASE.__slot_field_offsets__ = {"x": 88, names[-1]: 96}
    return sub(BASE, fields=names)


FAILING_AFTER_THE_TYPE = {
    "own duplicate": lambda names: make(fields=names + names[:1]),
    "inherited duplicate": _inherited_duplicate,
    "base offsets no dict": lambda names: sub(NO_DICT_BASE, fields=names),
}


@pytest.mark.parametrize("build", FAILING_AFTER_THE_TYPE.values(), ids=FAILING_AFTER_THE_TYPE.keys())
def test_a_failed_build_releases_its_field_names(build):
    probe = sys.intern(FIELDS[1])
    assert refcount_delta(probe, swallow(lambda: build(FIELDS)), rounds=100) == 0


@pytest.mark.parametrize("build", FAILING_AFTER_THE_TYPE.values(), ids=FAILING_AFTER_THE_TYPE.keys())
def test_failed_builds_of_new_names_leave_no_memory_behind(build):
    def fresh_names():
        tag = next(NAME_TAGS)
        return [f"{name}_{tag}" for name in FIELDS]

    assert block_growth(swallow(lambda: build(fresh_names())), 200) <= 0


def _resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="resident size read from /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer holds freed memory back")
def test_failed_builds_do_not_grow_the_resident_size():
    # Each of these builds once kept about 5 KiB of tables: some 20 MiB here.
    failing = swallow(lambda: make(fields=FIELDS + FIELDS[:1]))
    failing()
    gc.collect()
    before = _resident_bytes()
    for _ in range(4000):
        failing()
    gc.collect()
    assert _resident_bytes() - before < 4 * 2**20


def test_a_failed_type_that_host_code_took_stays_usable():
    P = make()
    taken = []

    class Key(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            taken.extend(t for t in P.__subclasses__() if t.__name__ == "Q")
            return str.__eq__(self, other)

    P.__slot_field_offsets__ = {Key("x"): 88, Key("y"): 96}
    with pytest.raises(ValueError) as info:
        sub(P, fields=["z", "y"])
    assert str(info.value) == DUPLICATE.format('"y"')
    gc.collect()
    (Q,) = set(taken)
    taken.clear()
    q = Q()
    q.z, q.y = 1, 2
    assert (q.z, q.y) == (1, 2) and vars(Q)["z"].__name__ == "z"
    assert sub(Q, "S", ["w"]).__slot_field_offsets__["w"] == Q.__basicsize__ == START + CELL * 13


def test_field_names_may_be_any_sequence_but_text():
    assert make(fields=("a", "b")).__slot_field_offsets__ == {"a": 88, "b": 96}


def _python_class():
    class Plain:
        pass

    return Plain


def _managed_dict_subclass():
    class WithDict(make()):
        pass

    return WithDict


def _member_subclass():
    class WithMember(make()):
        __slots__ = ("extra",)

    return WithMember


def _small_root_weakref_subclass():
    class WithWeakref(make("R", ["a"], 3)):
        pass

    return WithWeakref


@pytest.mark.parametrize(
    "base",
    [
        lambda: int,
        lambda: dict,
        lambda: object,
        lambda: n.SymObject,
        lambda: ho.HostObject,
        _python_class,
        _managed_dict_subclass,
        _member_subclass,
        _small_root_weakref_subclass,
    ],
    ids=["int", "dict", "object", "SymObject", "HostObject", "plain", "dict-subclass", "member-subclass",
         "weakref-subclass"],
)
def test_subtypes_refuse_bases_that_are_not_records(base):
    base = base()
    with pytest.raises(TypeError, match="is not an inline-slot Record type"):
        sub(base)


# ---- probes -----------------------------------------------------------------------------------


@pytest.mark.parametrize("cls", [int, dict, object, type, n.SymObject])
def test_type_layout_probe_reads_any_type(cls):
    basicsize, dictoffset, name = n._kernel_probe_type_layout(cls)
    assert (basicsize, dictoffset) == (cls.__basicsize__, cls.__dictoffset__)
    assert name.rsplit(".", 1)[-1] == cls.__name__


def test_generic_getattr_is_object_getattribute():
    P = make()
    p = P()
    p.x = 7
    assert n._kernel_generic_getattr(p, "x") == 7
    assert n._kernel_generic_getattr(p, "__class__") is P
    assert n._kernel_generic_getattr(5, "real") == 5
    with pytest.raises(AttributeError, match="'norv_core._native.P' object has no attribute 'nope'"):
        n._kernel_generic_getattr(p, "nope")
    with pytest.raises(TypeError, match="attribute name must be string"):
        n._kernel_generic_getattr(p, 5)


class Infers:
    def infer(self):
        return 1


class InfersInt(int):
    def infer(self):
        return 2


class InfersLater(Infers):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [(Infers(), True), (InfersLater(), True), (InfersInt(3), True), (3, False), ("x", False), (None, False),
     (Infers, False), (object(), False)],
)
def test_is_inferential_looks_at_the_type(value, expected):
    assert n._kernel_is_inferential(value) is expected


# ---- collector slots --------------------------------------------------------------------------


def test_traverse_visits_the_type_then_each_filled_cell():
    P = make()
    p = P()
    assert n._kernel_probe_traverse_visits(p) == 1
    assert n._kernel_probe_short_circuit(p) == 1
    p.x, p.y = [], {}
    n._slot_node_set(p, 1, n.KeyPath("a"))
    assert n._kernel_probe_traverse_visits(p) == 4
    assert gc.get_referents(p)[0] is P


def test_weak_references_are_neither_visited_nor_cleared():
    P = make()
    p = P()
    p.x = []
    r = weakref.ref(p)
    assert n._kernel_probe_traverse_visits(p) == 2
    tp_clear(p)
    assert r() is p and p.__weakref__ is r
    assert n._kernel_probe_traverse_visits(p) == 1
    with pytest.raises(ValueError, match="should call"):
        p.x  # a cleared record reads as a blank one


def test_a_weak_reference_callback_fires_on_dealloc():
    P = make()
    p = P()
    p.x = p.y = "kept"
    fired = []
    r = weakref.ref(p, fired.append)
    del p
    assert fired == [r] and r() is None


def test_subtype_instances_are_swept_across_every_region():
    P = make()
    Q = sub(P, reserved=2)
    q = Q()
    q.x, q.z = [], []
    n._slot_node_set(q, 0, [])
    assert n._kernel_probe_traverse_visits(q) == 4


def test_member_slots_of_a_python_subclass_are_visited_once():
    P = make()

    class Members(P):
        __slots__ = ("extra",)

    m = Members()
    shared = []
    m.extra = shared
    m.x = shared
    assert gc.get_referents(m).count(shared) == 2
    assert gc.get_referents(m).count(Members) == 1
    m.extra = None
    assert gc.get_referents(m).count(shared) == 1


@pytest.mark.parametrize("subclass", ["kernel", "slots", "dict"])
def test_the_cycle_through_a_field_is_collected(subclass):
    P = make()
    cls = {"kernel": P, "slots": type("S", (P,), {"__slots__": ("extra",)}), "dict": type("D", (P,), {})}[subclass]
    p = cls()
    p.x = p
    if subclass == "slots":
        p.extra = p
    if subclass == "dict":
        p.attr = p
    r = weakref.ref(p)
    del p
    gc.collect()
    assert r() is None


def test_the_cycle_through_a_node_state_cell_is_collected():
    P = make()
    parent, child = P(), P()
    parent.x = child
    n._slot_node_set(child, 0, parent)
    r = weakref.ref(parent), weakref.ref(child)
    del parent, child
    gc.collect()
    assert r[0]() is None and r[1]() is None


def test_a_bare_record_cycle_is_collected_too():
    B = make("B", ["a"], 0)
    b = B()
    b.a = [b]
    holder = {"b": b}
    b.a.append(holder)
    r = weakref.ref(B)
    del b, holder, B
    gc.collect()
    assert r() is None  # the type went with its last instance


def test_a_deep_chain_is_released_without_deep_recursion():
    P = make()
    head = None
    for _ in range(200_000):
        p = P()
        p.x = head
        head = p
    del p
    del head  # one C frame per link would overflow the stack


def test_instances_and_their_types_are_released():
    def one():
        P = make()
        p = P()
        p.x = [p]
        n._slot_node_set(p, 1, "path")

    assert block_growth(one, 50) <= 0
    value = object()

    def store():
        p = make()()
        p.x = value
        n._slot_node_set(p, 2, value)

    assert refcount_delta(value, store) == 0


@pytest.mark.parametrize(
    "obj, visits, stops",
    [([], 0, 0), ([1, "a"], 2, 1), ((1, 2, 3), 3, 1)],
)
def test_probes_run_any_objects_own_traverse(obj, visits, stops):
    assert n._kernel_probe_traverse_visits(obj) == visits
    assert n._kernel_probe_short_circuit(obj) == stops


@pytest.mark.parametrize("obj", [5, "text", 1.5, None])
def test_probes_refuse_types_without_traverse(obj):
    for probe in (n._kernel_probe_traverse_visits, n._kernel_probe_short_circuit):
        with pytest.raises(PanicException, match="Record types set tp_traverse"):
            probe(obj)


STATIC_TYPE_REFUSAL = "PanicException Record instances are garbage-collected objects"


# A static type object carries its metatype's traverse slot, which the
# interpreter aborts on; a heap type (every class of the module) is swept.
@pytest.mark.parametrize(
    "expr, expected",
    [
        ("object", STATIC_TYPE_REFUSAL),
        ("type", STATIC_TYPE_REFUSAL),
        ("int", STATIC_TYPE_REFUSAL),
        ("dict", STATIC_TYPE_REFUSAL),
        ("PanicException.__base__", STATIC_TYPE_REFUSAL),
        ("type(len)", STATIC_TYPE_REFUSAL),
        ("n.SymDict", "ran"),
        ("n.Field", "ran"),
        ("n._kernel_make_record('P', ['x'], 9)", "ran"),
    ],
)
def test_probes_answer_type_objects_without_aborting(run_py, expr, expected):
    out = run_py(
        f"""
        from norv_core import PanicException, _native as n
        obj = {expr}
        for probe in (n._kernel_probe_traverse_visits, n._kernel_probe_short_circuit):
            try:
                r = probe(obj)
            except BaseException as e:
                print(type(e).__name__, e)
            else:
                print("ran" if type(r) is int and r >= 0 else r)
        """,
        check=False,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [expected, expected]


def test_probes_leave_no_references_behind():
    P = make()
    p = P()
    p.x = value = object()
    assert refcount_delta(value, lambda: n._kernel_probe_traverse_visits(p)) == 0
    assert sys.getrefcount(p) == 2


def test_failed_builds_leave_nothing_behind():
    assert block_growth(swallow(lambda: make(fields=["__dict__"])), 50) <= 0
    assert block_growth(swallow(lambda: sub(int)), 50) <= 0
