"""The field descriptors of Record types: blank reads, the materialised view,
Inferential values and the symbolic-mode error, raw writes and deletion, the
two bakes, and the slot boundary that turns an internal fault into an
ordinary RuntimeError."""

import gc
import weakref

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import records as hr
from norv_host import symbolic as hs

from leakcheck import refcount_delta
from small_stack import outcome_in_child

norv_host.install()
probe = n._testing
Inferred = hs.Inferred

SYM_FALSE = (
    "contextual attribute `x` requires a symbolic tree, but P was declared with `sym=False`. "
    "Declare the class with `sym=True` to use it."
)
BLANK = "P.__init__ should call `super().__init__`."
VIEW = 6


@pytest.fixture(autouse=True)
def clean():
    hs.clear()
    yield
    hs.clear()


def make(reserved=9, fields=("x", "y"), name="P", **kw):
    return n._kernel_make_record(name, list(fields), reserved, **kw)


def infers():
    return [c for c in hs.calls if c[0] == "infer"]


# ---- blank reads ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "reserved, kind, outcome",
    [
        (9, "symbolic", (ValueError, BLANK)),
        (3, "symbolic", (ValueError, BLANK)),
        (1, "symbolic", (ValueError, BLANK)),
        (0, "symbolic", None),
        (9, "non-symbolic", (AttributeError, "'P' object has no attribute 'x'")),
        (0, "non-symbolic", (AttributeError, "'P' object has no attribute 'x'")),
    ],
)
def test_blank_reads(reserved, kind, outcome):
    P = make(reserved)
    if kind == "non-symbolic":
        n._kernel_set_record_field_kinds(P, ["x"])
    p = P()
    if outcome is None:
        assert p.x is None
    else:
        error, message = outcome
        with pytest.raises(error) as info:
            p.x
        assert str(info.value) == message


def test_the_blank_message_names_the_instances_class():
    P = make()

    class Child(P):
        __slots__ = ()

    with pytest.raises(ValueError, match=r"^Child\.__init__ should call"):
        Child().x


def test_written_values_read_back_as_themselves():
    P = make()
    p = P()
    value = object()
    p.x = value
    assert p.x is value
    p.x = None
    assert p.x is None
    p.y = 0
    assert p.y == 0


# ---- the materialised view --------------------------------------------------------------------


class Dict(dict):
    def __getitem__(self, key):
        raise AssertionError("a plain lookup runs no override")


def test_a_full_field_reads_the_view_first():
    P = make()
    p = P()
    p.x = "cell"
    n._slot_node_set(p, VIEW, {"x": "view"})
    assert p.x == "view"
    assert probe.record_read_slots(p, ["x"]) == {"x": "cell"}
    n._slot_node_set(p, VIEW, {"y": 1})
    assert p.x == "cell"  # the view lacks the key: the cell
    n._slot_node_set(p, VIEW, Dict(x="subclass"))
    assert p.x == "subclass"


@pytest.mark.parametrize("view", [5, ["x"], "x", (("x", 1),)])
def test_a_view_cell_holding_no_dict_is_not_read(view):
    P = make()
    p = P()
    p.x = "cell"
    n._slot_node_set(p, VIEW, view)
    assert p.x == "cell"


def test_a_view_supplies_a_blank_field():
    P = make()
    p = P()
    n._slot_node_set(p, VIEW, {"x": 1})
    assert p.x == 1
    with pytest.raises(ValueError, match="should call"):
        p.y


class Clash(str):
    """Equal to no field name, but with the hash of "x"."""

    def __init__(self, raised):
        self.raised = raised

    def __hash__(self):
        return hash("x")

    def __eq__(self, other):
        raise self.raised("compared")


def test_a_failed_view_lookup_counts_as_absent(raised):
    P = make()
    p = P()
    p.x = "cell"
    n._slot_node_set(p, VIEW, {Clash(raised.cls): 1})
    raised.check(lambda: p.x, "cell")


@pytest.mark.parametrize(
    "root, subtype, reads",
    [
        (9, 0, ("view", "view")),
        # a field's mode is its own type's: the root's field stays Partial
        (8, 1, ("cell", "view")),
        (7, 2, ("cell", "view")),
        # Full by the subtype only, where role 6 is no node-state cell
        (0, 9, ("cell", "cell")),
        (8, 0, ("cell", "cell")),
    ],
)
def test_which_fields_consult_the_view(root, subtype, reads):
    R = make(root, ["x"], name="R")
    S = n._kernel_make_record_subtype(R, "S", ["z"], subtype)
    s = S()
    s.x, s.z = "cell", "cell"
    if root > VIEW:
        n._slot_node_set(s, VIEW, {"x": "view", "z": "view"})
    assert (s.x, s.z) == reads


# ---- Inferential values -----------------------------------------------------------------------


def test_inferential_values_are_inferred_on_every_read():
    P = make()
    p = P()
    stored = Inferred(5)
    p.x = stored
    assert p.x == 5 and p.x == 5
    assert infers() == [("infer", stored)] * 2
    assert probe.record_read_slots(p, ["x"])["x"] is stored


def test_the_attribute_view_can_replace_the_inferred_value():
    replacement = Inferred("from view")

    class Viewed(make()):
        __slots__ = ()

        @property
        def _sym_attributes(self):
            return {"x": replacement}

    v = Viewed()
    v.x = Inferred("stored")
    assert v.x == "from view"
    assert infers() == [("infer", replacement)]


@pytest.mark.parametrize(
    "attrs, outcome",
    [
        (lambda self: {"y": 1}, "stored"),
        (lambda self: 5, (TypeError, "'int' object is not an instance of 'dict'")),
        (lambda self: (_ for _ in ()).throw(AttributeError("absent")), "stored"),
        (lambda self: (_ for _ in ()).throw(KeyError("boom")), (KeyError, "'boom'")),
    ],
    ids=["lacks-key", "not-a-dict", "absent", "raises"],
)
def test_the_attribute_view_read(attrs, outcome):
    Viewed = type("Viewed", (make(),), {"__slots__": (), "_sym_attributes": property(attrs)})
    v = Viewed()
    v.x = Inferred("stored")
    if isinstance(outcome, str):
        assert v.x == outcome
    else:
        with pytest.raises(outcome[0]) as info:
            v.x
        assert str(info.value) == outcome[1]


def test_a_scalar_whose_class_infers_is_inferential_here():
    class Number(int):
        def infer(self):
            return "inferred"

    P = make()
    p = P()
    p.x = Number(3)
    assert p.x == "inferred"


@pytest.mark.parametrize("how", ["built", "baked"])
def test_a_sym_false_class_refuses_inferential_values(how):
    P = make(sym_mode=False) if how == "built" else make()
    if how == "baked":
        n._kernel_set_record_sym_mode(P, False)
    p = P()
    p.x = Inferred(1)
    with pytest.raises(ho.SymbolicModeError) as info:
        p.x
    assert str(info.value) == SYM_FALSE
    p.y = 3
    assert p.y == 3  # other values read as they are
    n._kernel_set_record_field_kinds(P, ["x"])
    assert isinstance(p.x, Inferred)  # a non-symbolic field returns it unchanged
    assert infers() == []


def test_infer_errors_propagate():
    class Failing:
        def infer(self):
            raise LookupError("no tree")

    P = make()
    p = P()
    p.x = Failing()
    with pytest.raises(LookupError, match="no tree"):
        p.x


# A field read whose inference reads the same field again: the field holds
# the record itself and is named `infer`, or the view's name is a field.
READS_ITSELF = {
    "infer field": """
R = n._kernel_make_record("R", ["infer"], 9)
r = R()
r.infer = r
""",
    "view field": """
R = n._kernel_make_record("R", ["_sym_attributes"], 9)
r = R()
r._sym_attributes = hs.Inferred(1)
""",
    "record slot": """
R = hr.record_class("R", {"infer": int})
r = R(infer=1)
R.__mro__[1].__dict__["infer"].__set__(r, r)
""",
}


@pytest.mark.parametrize("kib", [None, 256], ids=["main thread", "small stack"])
@pytest.mark.parametrize("setup", READS_ITSELF.values(), ids=READS_ITSELF.keys())
def test_an_inference_that_reads_its_own_field_ends_in_recursion_error(run_py, setup, kib):
    field = "infer" if "infer" in setup else "_sym_attributes"
    assert outcome_in_child(run_py, setup, f"r.{field}", kib) == "RecursionError"


# ---- writes and deletion ----------------------------------------------------------------------


def test_deleting_a_non_symbolic_field_empties_it_once():
    P = make()
    n._kernel_set_record_field_kinds(P, ["x"])
    p = P()
    p.x = value = object()
    del p.x
    assert not probe.record_field_written(p, "x")
    with pytest.raises(AttributeError, match="^'P' object has no attribute 'x'$"):
        del p.x
    assert refcount_delta(value, lambda: None) == 0


@pytest.mark.parametrize("filled", [False, True])
def test_symbolic_fields_have_no_deleter(filled):
    P = make()
    p = P()
    if filled:
        p.x = 1
    with pytest.raises(AttributeError) as info:
        del p.x
    assert str(info.value) == "property 'x' of 'P' object has no deleter"
    assert probe.record_field_written(p, "x") is filled


def test_writes_release_what_they_replace():
    P = make()
    p = P()
    old, new = object(), object()

    def swap():
        p.x = old
        p.x = new

    assert refcount_delta(old, swap) == 0
    assert refcount_delta(new, swap) == 0


def test_a_replaced_value_is_released_after_the_store():
    P = make()
    p = P()
    seen = []

    class Watch:
        def __del__(self):
            seen.append(probe.record_read_slots(p, ["x"])["x"])

    p.x = Watch()
    p.x = "new"
    assert seen == ["new"]


def test_descriptors_refuse_foreign_instances():
    P = make()
    with pytest.raises(TypeError, match="descriptor 'x' for 'norv_core._native.P' objects doesn't apply to a 'int' object"):
        P.__dict__["x"].__get__(5)
    other = make(name="Other")()
    with pytest.raises(TypeError, match="doesn't apply to a 'norv_core._native.Other' object"):
        P.__dict__["x"].__set__(other, 1)


def test_the_native_read_refuses_a_field_copied_from_another_record():
    P = make(reserved=0, fields=("x",))
    wide = make(reserved=0, fields=[f"f{i}" for i in range(40)], name="Wide")

    class C(P):
        __slots__ = ()

    n._install_native_record_tp_getattro(C)
    C.f39 = wide.__dict__["f39"]
    with pytest.raises(TypeError, match="descriptor 'f39' for 'norv_core._native.Wide' objects doesn't apply to a 'C' object"):
        C().f39


# ---- the bakes --------------------------------------------------------------------------------


def test_baking_a_subtype_leaves_the_base_alone():
    P = make()
    Q = n._kernel_make_record_subtype(P, "Q", ["z"], 0)
    n._kernel_set_record_sym_mode(Q, False)
    n._kernel_set_record_field_kinds(Q, ["x", "z"])
    q = Q()
    q.x = q.z = Inferred(1)
    assert q.x == 1  # inherited: the base's symbolic, sym=True field
    assert isinstance(q.z, Inferred)  # own: baked non-symbolic
    with pytest.raises(ValueError, match="should call"):
        Q().x


def test_kinds_never_revert():
    P = make()
    n._kernel_set_record_field_kinds(P, [])
    with pytest.raises(ValueError, match=r"^P\.__init__ should call `super\(\)\.__init__`\.$"):
        P().x
    n._kernel_set_record_field_kinds(P, ["x", "nope"])
    n._kernel_set_record_field_kinds(P, ["y"])
    p = P()
    for name in ("x", "y"):
        with pytest.raises(AttributeError, match=f"no attribute '{name}'"):
            getattr(p, name)


def test_kinds_match_names_by_text():
    class Name(str):
        pass

    P = make()
    n._kernel_set_record_field_kinds(P, (Name("x"),))
    with pytest.raises(AttributeError):
        P().x


@pytest.mark.parametrize("cls", [int, dict, ho.HostObject, type("Plain", (), {})])
def test_bakes_change_nothing_on_other_types(cls):
    n._kernel_set_record_sym_mode(cls, False)
    n._kernel_set_record_field_kinds(cls, ["real", "x"])
    assert (5).real == 5


def test_bakes_on_a_python_subclass_leave_the_record_alone():
    P = make()
    Sub = type("Sub", (P,), {"__slots__": ()})
    n._kernel_set_record_field_kinds(Sub, ["x"])
    with pytest.raises(ValueError, match=r"^Sub\.__init__ should call `super\(\)\.__init__`\.$"):
        Sub().x


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda P: n._kernel_set_record_sym_mode(5, True), "argument 'record_type': 'int' object is not an instance of 'type'"),
        (lambda P: n._kernel_set_record_sym_mode(P, 1), "argument 'sym_mode': 'int' object is not an instance of 'bool'"),
        (lambda P: n._kernel_set_record_field_kinds(P, "x"), "argument 'non_symbolic_names': 'str' object is not an instance of 'list'"),
        (lambda P: n._kernel_set_record_field_kinds(P, [1]), "argument 'non_symbolic_names': 'int' object is not an instance of 'str'"),
        (lambda P: n._kernel_set_record_field_kinds(None, []), "argument 'record_type': 'None' is not an instance of 'type'"),
    ],
)
def test_bake_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(make())
    assert str(info.value) == message


# ---- the slot boundary ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "how, error, message",
    [
        ("panic", RuntimeError, "panic in native slot"),
        ("stray", RuntimeError, "panic in native slot"),
        ("unset", RuntimeError, "panic in native slot"),
        ("memory", MemoryError, ""),
        ("raise", KeyError, "'raised'"),
    ],
)
def test_internal_faults_in_slots_are_runtime_errors(how, error, message):
    for fault in (probe.slot_fault, probe.slot_fault_int):
        with pytest.raises(error) as info:
            fault(how)
        assert str(info.value) == message
    assert probe.slot_fault("fine") is None and probe.slot_fault_int("fine") == 0


def test_a_fault_inside_the_getter_is_a_runtime_error(run_py):
    out = run_py(
        """
        from norv_core import _native as n
        from norv_host import symbolic as hs
        P = n._kernel_make_record("P", ["x"], 9, False)
        p = P()
        p.x = hs.Inferred(1)
        try:
            p.x  # the symbolic-mode error needs the object bridge
        except RuntimeError as e:
            print(type(e).__name__, e)
        """
    )
    assert out.strip() == "RuntimeError panic in native slot"


# ---- the host's record classes ----------------------------------------------------------------


def test_host_record_classes_bake_their_options():
    Point = hr.record_class("Point", {"x": int, "items": list}, non_symbolic={"cache": None}, sym=False)
    assert Point.__slot_field_names__ == ("x", "items")
    assert Point.__slot_symbolic_field_names__ == ("items",)
    assert Point._non_symbolic_fields == (("cache", None),)
    assert Point.__serialization_key__ == "norv_host.records.Point"
    assert Point._sym_post_init_is_noop is True
    p = Point.__new__(Point)
    assert p.sym_mode is False and p.sym_path is None
    with pytest.raises(AttributeError, match="'Point' object has no attribute 'cache'"):
        p.cache
    p.items = Inferred(1)
    with pytest.raises(ho.SymbolicModeError):
        p.items
    with pytest.raises(ho.SymbolicModeError, match="`sym_clone` requires a symbolic tree"):
        p._require_sym_mode("sym_clone")
    with pytest.raises(AttributeError, match="no __dict__"):
        p.other = 1


def test_host_record_subclasses_extend_the_layout():
    Base = hr.record_class("Base", {"x": int})
    Derived = hr.record_class(
        "Derived", {"child": dict}, base=Base, namespace={"on_sym_post_init": lambda self: None}
    )
    assert Derived.__slot_field_names__ == ("x", "child")
    assert Derived.__slot_symbolic_field_names__ == ("child",)
    assert Derived.__slot_field_offsets__ == {"x": 88, "child": 96}
    assert Derived._sym_post_init_is_noop is False
    d = Derived.__new__(Derived)
    d.x, d.child = 1, {}
    r = weakref.ref(d)
    d.child["self"] = d
    del d
    gc.collect()
    assert r() is None


class Infers:
    """Inferential, and keeps no record of its calls."""

    def infer(self):
        return 1


def test_reads_leave_no_references_behind():
    P = make()
    p = P()
    stored, viewed = Infers(), object()
    p.x, p.y = stored, viewed
    n._slot_node_set(p, VIEW, {"y": viewed})
    assert refcount_delta(stored, lambda: p.x) == 0
    assert refcount_delta(viewed, lambda: p.y) == 0
    n._kernel_set_record_sym_mode(P, False)

    def refused():
        with pytest.raises(ho.SymbolicModeError):
            p.x

    assert refcount_delta(stored, refused) == 0
