"""A record's node state and children in its cells: seeding, the guarded
node read, the attribute view (materialisation), adoption, re-pathing and the
plain read of the field cells."""

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import records as hr
from norv_host import symbolic as hs

from host_calls import clean_records, leak_round, recorded  # noqa: F401  (fixture)
from leakcheck import block_growth, swallow

norv_host.install()
KeyPath = n.KeyPath
P = KeyPath.parse

pytestmark = pytest.mark.usefixtures("clean_records")

BLANK = r"^{}\.__init__ should call `super\(\)\.__init__`\.$"
REGION = (
    "slot record: materialize requires the full production reserved region (9 slots \u2014 the node-state "
    "roles plus the __weakref__ cell); {} carries {} \u2014 a kernel probe Record has no view slot (#461)"
)

Rec = hr.record_class("Rec", {"x": int, "child": (dict, {}), "other": (dict, {})})
Bare = hr.record_class("Bare", {})
Frozen = hr.record_class("Frozen", {"x": int}, frozen=True, attr_write=False)
PlainRec = hr.record_class("PlainRec", {"x": int, "child": (dict, {})}, sym=False)
NAMES = ["x", "child", "other"]


def blank(cls=Rec):
    return cls.__new__(cls)


class Pretender:
    """Carries a Record's class attributes without being one."""

    __slot_field_offsets__ = {"x": 16}
    __slot_reserved__ = 9
    __slot_field_names__ = ()
    __sym_options__ = ho.SymOptions()


class Nameless:
    __slot_reserved__ = 9
    __sym_options__ = ho.SymOptions()


# ---- seeding and the guarded read -------------------------------------------------------------


@pytest.mark.parametrize("role", [0, 1, 5, 7, 8, 100])
def test_a_blank_record_refuses_every_role(role):
    with pytest.raises(ValueError, match=BLANK.format("Rec")):
        n._slot_record_node_read(blank(), role)


def test_seeding_with_the_defaults():
    r = blank()
    n._slot_node_set(r, 6, "view")
    n._slot_node_set(r, 7, "caches")
    n._slot_node_set(r, 0, "parent")
    assert n._slot_record_init_node_state(r) is None
    assert [n._slot_node_get(r, role) for role in range(8)] == [
        None, hs.EMPTY_KEY_PATH, False, False, True, None, "view", "caches"
    ]
    f = blank(Frozen)
    n._slot_record_init_node_state(f, True, None, P("a.b"))
    assert [n._slot_node_get(f, role) for role in range(6)] == [None, P("a.b"), True, True, False, None]
    n._slot_record_init_node_state(f, sealed=False)
    assert n._slot_node_get(f, 2) is False


@pytest.mark.parametrize("scope, origin", [(True, True), (None, False), (False, False)])
def test_seeding_records_an_origin_only_under_origin_tracking(scope, origin):
    r = blank()
    n._slot_node_set(r, 5, "old origin")
    if scope is not None:
        n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, scope)
    n._slot_record_init_node_state(r)
    got = n._slot_node_get(r, 5)
    assert (got == hs.Origin(None, "__init__")) if origin else got is None


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"allow_partial": None}, "argument 'allow_partial': 'None' is not an instance of 'bool'"),
        ({"sealed": 1}, "argument 'sealed': 'int' object is not an instance of 'bool'"),
    ],
)
def test_seeding_binds_its_arguments(kwargs, message):
    with pytest.raises(TypeError) as info:
        n._slot_record_init_node_state(blank(), **kwargs)
    assert str(info.value) == message


def test_a_record_without_init_fields_is_initialised_by_seeding():
    b = blank(Bare)
    with pytest.raises(ValueError, match=BLANK.format("Bare")):
        n._slot_record_node_read(b, 1)
    n._slot_record_init_node_state(b)
    assert n._slot_record_node_read(b, 1) is hs.EMPTY_KEY_PATH
    with pytest.raises(RuntimeError, match="role 8 out of range"):
        n._slot_record_node_read(b, 8)


def test_the_node_read_answers_a_constructed_record():
    parent = object()
    r = Rec(x=1)
    n._slot_node_set(r, 0, parent)
    assert n._slot_record_node_read(r, 0) is parent and n._slot_record_node_read(r, 5) is None
    assert r.sym_parent is parent


@pytest.mark.parametrize("obj", [Pretender(), Nameless(), object(), ho.HostObject.__new__(ho.HostObject)],
                         ids=["pretender", "nameless", "object", "sym-object"])
def test_foreign_instances_are_refused_before_anything_is_read(obj):
    with pytest.raises(RuntimeError) as info:
        n._slot_record_node_read(obj, 0)
    assert str(info.value) == f"slot record: '{type(obj).__name__}' object is not an inline-slot Record"
    assert n._slot_record_is_materialized(obj) is False
    # Seeding reads the class's options first, then the kernel refuses the first store.
    expected = AttributeError if type(obj) is object else RuntimeError
    with pytest.raises(expected, match="__sym_options__|is not an inline-slot Record"):
        n._slot_record_init_node_state(obj)


# ---- materialisation --------------------------------------------------------------------------


def test_the_view_holds_the_fields_and_the_very_children():
    d = hs.HostDict(a=1)
    r = Rec(x=1, child=d, root_path=P("r"), allow_partial=True, sealed=True)
    assert n._slot_record_is_materialized(r) is False
    view = n._slot_record_materialize(r, NAMES)
    assert type(view) is hs.HostDict and dict(view) == {"x": 1, "child": d, "other": {}}
    assert view["child"] is d and d.sym_parent is r and view.sym_parent is r
    assert view.sym_path == P("r") and view._sealed is True and view._allow_partial is True
    assert n._slot_record_is_materialized(r) is True and n._slot_node_get(r, 6) is view
    assert n._slot_record_materialize(r, []) is view and r._sym_attributes is view


@pytest.mark.parametrize("reserved", [0, 1, 8])
def test_a_short_reserved_region_has_no_view(reserved):
    Small = hr.record_class("Small", {"x": int}, reserved=reserved)
    s = Small.__new__(Small)
    s.x = 1
    with pytest.raises(RuntimeError) as info:
        n._slot_record_materialize(s, ["x"])
    assert str(info.value) == REGION.format("Small", reserved)
    assert n._slot_record_is_materialized(s) is False


def test_a_blank_record_has_no_attribute_view():
    for inst, names in ((blank(), NAMES), (blank(Bare), [])):
        with pytest.raises(AttributeError) as info:
            n._slot_record_materialize(inst, names)
        assert str(info.value) == f"'{type(inst).__name__}' object has no attribute '_sym_attributes'"
        assert n._slot_record_is_materialized(inst) is False


def test_a_class_claiming_more_cells_than_it_has_is_not_materialised():
    Small = hr.record_class("Liar", {"x": int}, reserved=6)
    s = Small(x=1)
    Small.__slot_reserved__ = 9
    assert n._slot_record_is_materialized(s) is False
    with pytest.raises(RuntimeError, match="role 6 is not a reserved cell of 'Liar'"):
        n._slot_record_materialize(s, ["x"])


class Touchy(hs.HostDict):
    armed = False

    def sym_setpath(self, path):
        if Touchy.armed:
            raise KeyError("no path")
        return super().sym_setpath(path)


def test_a_failed_build_installs_nothing():
    t = Touchy(a=1)
    r = Rec(x=1, child=t)
    Touchy.armed = True
    try:
        with pytest.raises(KeyError, match="no path"):
            n._slot_record_materialize(r, NAMES)
    finally:
        Touchy.armed = False
    assert n._slot_record_is_materialized(r) is False and n._slot_node_get(r, 6) is None
    assert n._slot_record_materialize(r, NAMES)["child"] is t


def test_a_write_through_the_view_is_what_every_read_sees():
    r = Rec(x=1)
    view = r._sym_attributes
    view["x"] = 2
    assert n._slot_record_inline_fields(r, NAMES)["x"] == 2
    assert r.x == 2


def test_materialisation_leaks_nothing():
    def build():
        r = Rec(x=1, child=hs.HostDict(a=[1]))
        n._slot_record_materialize(r, NAMES)
        n._slot_record_materialize(r, NAMES)

    rounds = [build, swallow(lambda: n._slot_record_materialize(blank(), NAMES))]
    for fn in rounds:
        # a leak grows by one block a round or more
        assert block_growth(leak_round(fn), 2000) < 100


# ---- adoption ---------------------------------------------------------------------------------


def seeded(cls=Rec, **cells):
    r = blank(cls)
    n._slot_record_init_node_state(r, root_path=P("r"))
    for name, value in cells.items():
        setattr(r, name, value)
    return r


def test_adoption_places_free_children_and_fills_empty_cells():
    d = hs.HostDict(a=1)
    r = seeded(x=1, child=d)
    n._slot_record_adopt_children(r, NAMES)
    assert d.sym_parent is r and d.sym_path == P("r.child")
    assert n._slot_record_inline_fields(r, NAMES) == {"x": 1, "child": d, "other": None}
    assert n._testing.record_field_written(r, "other")  # the empty cell now holds None


def test_adoption_clones_a_value_that_belongs_elsewhere_and_a_value_given_twice():
    owner = hs.HostDict()
    owned = hs.HostDict(a=1)
    owner["k"] = owned
    shared = hs.HostDict(b=2)
    r = seeded(x=1, child=owned, other=shared)
    n._slot_record_adopt_children(r, ["child", "other"])
    assert r.child is not owned and r.child == owned and owned.sym_parent is owner
    assert r.child.sym_parent is r and r.child.sym_path == P("r.child")
    r2 = seeded(x=1, child=hs.HostDict(c=3))
    r2.other = r2.child
    n._slot_record_adopt_children(r2, ["child", "other"])
    assert r2.other is not r2.child and r2.other == r2.child and r2.other.sym_path == P("r.other")


def test_adoption_does_nothing_for_a_record_outside_symbolic_mode():
    d = hs.HostDict(a=1)
    p = seeded(PlainRec, x=1, child=d)
    n._slot_record_adopt_children(p, ["x", "child"])
    assert p.child is d and d.sym_parent is None
    assert n._slot_record_inline_fields(p, ["x", "child"]) == {"x": 1, "child": d}


def test_a_cell_written_while_adopting_keeps_that_write():
    r = seeded(x=1)

    class Writing(hs.HostDict):
        def sym_setparent(self, parent):
            r.other = "written meanwhile"
            return super().sym_setparent(parent)

    w = Writing(a=1)
    r.child = w
    n._slot_record_adopt_children(r, NAMES)
    assert r.other == "written meanwhile" and r.child is w and w.sym_parent is r


def test_adoption_errors_leave_the_cells():
    class Failing(hs.HostDict):
        def sym_setpath(self, path):
            raise KeyError("no path")

    f, d = Failing(a=1), hs.HostDict(b=1)
    r = seeded(x=1, child=d, other=f)
    with pytest.raises(KeyError, match="no path"):
        n._slot_record_adopt_children(r, ["child", "other"])
    assert r.child is d and r.other is f and d.sym_parent is r  # handled children stay placed
    with pytest.raises(RuntimeError, match='field "nope" is not in'):
        n._slot_record_adopt_children(r, ["nope"])


# ---- re-pathing -------------------------------------------------------------------------------


@pytest.mark.parametrize("path", [None, "r.s", ("r",)])
def test_re_pathing_needs_a_key_path(path):
    r = Rec(x=1)
    with pytest.raises(AssertionError) as info:
        n._slot_record_repath_children(r, path)
    assert info.value.args == ()
    with pytest.raises(AssertionError):
        n._slot_record_repath_children(r)


class Quiet(hs.HostDict):
    """A child outside symbolic mode."""

    sym_mode = False

    def sym_setpath(self, path):
        ho.calls.append(("quiet sym_setpath", path))


def test_re_pathing_moves_the_children_in_the_cells():
    d, q = hs.HostDict(a=1), Quiet()
    r = Rec(x=1, child=d, root_path=P("r"))
    r.other = q
    n._slot_record_repath_children(r, P("s"))
    assert d.sym_path == P("s.child") and recorded("quiet sym_setpath") == []
    r.sym_setpath(P("t"))  # the host's own override carries it
    assert d.sym_path == P("t.child") and n._slot_node_get(r, 1) == P("t")


class Interrupting(hs.HostDict):
    """A child whose mode cannot be read."""

    @property
    def sym_mode(self):
        raise KeyboardInterrupt


def test_re_pathing_lets_an_interrupt_reading_a_childs_mode_through():
    r = Rec(x=1, root_path=P("r"))
    r.other = Interrupting()
    with pytest.raises(KeyboardInterrupt):
        n._slot_record_repath_children(r, P("s"))


def test_re_pathing_a_materialised_record_goes_through_its_view():
    d = hs.HostDict(a=1)
    r = Rec(x=1, child=d, root_path=P("r"))
    view = r._sym_attributes
    n._slot_record_repath_children(r, P("s"))
    assert view.sym_path == P("s") and d.sym_path == P("s.child")


def test_re_pathing_does_nothing_outside_symbolic_mode():
    d = hs.HostDict(a=1)
    p = PlainRec(x=1, child=d)
    n._slot_record_repath_children(p, P("s"))
    assert d.sym_path != P("s.child")


# ---- the plain read ---------------------------------------------------------------------------


class Guess:
    def infer(self):
        raise AssertionError("never inferred")


def test_the_plain_read():
    assert n._slot_record_inline_fields(blank(), NAMES) is None
    assert n._slot_record_inline_fields(blank(Bare), []) is None
    g = Guess()
    r = Rec(x=1, other=hs.HostDict())
    r.child = g
    assert n._slot_record_inline_fields(r, ["child", "x"]) == {"child": g, "x": 1}
    with pytest.raises(TypeError, match="argument 'field_names'"):
        n._slot_record_inline_fields(r, "x")

