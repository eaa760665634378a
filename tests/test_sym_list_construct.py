"""SymList construction: `__init__` and its arguments, the schemaless,
pass-through and schemaful plans (the fused typed route first), the spec
binding and the permission flags that end it, and the wrap-node hook that
builds symbolic containers for the schema drivers."""

import gc
import weakref

import numpy as np
import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from host_calls import BLANK_LIST_NODE as BLANK_NODE
from host_calls import calls, fresh_host, leak_round, node_state  # noqa: F401 (a fixture)
from leakcheck import block_growth, swallow
from traced import Traced, TracedList

norv_host.install()
probe = n._testing
HostList, HostDict, KeyPath = hs.HostList, hs.HostDict, n.KeyPath
P = KeyPath.parse
MISSING = hs.MISSING_VALUE

pytestmark = pytest.mark.usefixtures("fresh_host")


class Spy(HostList):
    """Records the engine's calls of `custom_apply` before answering them."""

    def custom_apply(self, path, value_spec, allow_partial, child_transform=None):
        hs.calls.append(("custom_apply", self, path, value_spec, allow_partial))
        return super().custom_apply(path, value_spec, allow_partial, child_transform)


class Unwanted:
    """Falsy, and never to be iterated."""

    def __bool__(self):
        return False

    def __iter__(self):
        raise AssertionError("a false source is not iterated")


# ---------------------------------------------------------------- arguments


def test_empty_construction():
    lst = HostList()
    assert lst == [] and node_state(lst) == BLANK_NODE
    assert lst.sym_path is hs.EMPTY_KEY_PATH  # the shared path itself


@pytest.mark.parametrize(
    "items, expected",
    [
        (None, []),
        (0, []),
        ("", []),
        ((), []),
        (Unwanted(), []),
        ("ab", ["a", "b"]),
        ((1, 2.5, None), [1, 2.5, None]),
        (range(3), [0, 1, 2]),
        (iter([b"x", True]), [b"x", True]),
        ({"k": 1}, ["k"]),
        ([1, MISSING, 2], [1, 2]),
        ([MISSING], []),
    ],
)
def test_items(items, expected):
    lst = HostList(items)
    assert lst == expected and type(lst) is HostList
    assert calls("_notify_field_updates") == []  # construction notifies nothing


def test_items_by_keyword_and_argument_errors_are_pythons():
    assert HostList(items=[1]) == [1]
    with pytest.raises(TypeError, match=r"^SymList.__init__\(\) takes from 1 to 2 positional arguments but 3 were"):
        HostList([1], n.List(n.Int()))
    with pytest.raises(TypeError, match="unexpected keyword argument 'spec'"):
        HostList([1], spec=n.List(n.Int()))
    with pytest.raises(TypeError, match="multiple values for argument 'items'"):
        HostList([1], items=[2])


@pytest.mark.parametrize(
    "items, exc",
    [(5, "not iterable"), (np.array([1, 2]), "ambiguous")],
)
def test_truth_and_iteration_errors_propagate(items, exc):
    with pytest.raises((TypeError, ValueError), match=exc):
        HostList(items)


@pytest.mark.parametrize("name", ["wrap", "allow_partial", "accessor_writable", "sealed", "pass_through"])
def test_flags_take_only_bools(name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': 'int' object is not an instance of 'bool'$"):
        HostList(**{name: 1})
    assert HostList([1], **{name: np.False_}) == [1]  # NumPy's boolean scalar converts


def test_flags_are_converted_in_order():
    with pytest.raises(TypeError, match="^argument 'wrap'"):
        HostList(pass_through=1, sealed=1, accessor_writable=1, allow_partial=1, wrap=1)
    with pytest.raises(TypeError, match="^argument 'accessor_writable'"):
        HostList(pass_through=1, sealed=1, accessor_writable=1)


@pytest.mark.parametrize("spec", [1, n.Dict(), n.Int(), n.Tuple(n.Int())])
def test_value_spec_must_be_a_list_spec(spec):
    lst = HostList([1], root_path=P("r"))
    with pytest.raises(TypeError) as e:
        lst.__init__([2], value_spec=spec, sealed=True)
    assert str(e.value) == f"Argument 'value_spec' must be a `nv.typing.List` object. Encountered {spec}."
    assert lst == [1] and node_state(lst) == dict(BLANK_NODE, path=P("r"))  # refused before any change
    assert calls("message_on_path") == []


def test_options_are_stored():
    callback, path = object(), "any object"
    lst = HostList([1], allow_partial=True, wrap=False, onchange_callback=callback, root_path=path)
    assert node_state(lst) == dict(BLANK_NODE, allow_partial=True, wrap=False, callback=callback, path=path)


def test_none_means_left_out():
    assert node_state(HostList(None, value_spec=None, onchange_callback=None, root_path=None)) == BLANK_NODE


@pytest.mark.parametrize("scope, tracked", [(None, False), (False, False), (True, True)])
def test_origin_under_origin_tracking(scope, tracked):
    n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, scope)
    assert HostList()._sym_origin == (hs.Origin(None, "__init__") if tracked else None)


def test_a_second_init_appends_and_resets_the_node():
    lst = HostList([1, 2], root_path=P("x"), sealed=True, accessor_writable=False, onchange_callback=print)
    lst._sym_parent, lst._sym_origin, lst._value_spec = HostDict(), "kept", n.List(n.Int())
    child = HostDict()
    lst.__init__([child])  # a way around the seal, as construction checks no permission
    assert lst == [1, 2, child] and child.sym_path == P("[2]")  # indexes go on from the length
    assert node_state(lst) == dict(BLANK_NODE, origin="kept")


def test_sealed_and_not_writable_take_effect_after_the_elements():
    child, inner = HostDict(), HostList([1])
    lst = HostList([child, inner], sealed=True, accessor_writable=False)
    assert lst == [child, inner] and lst._sealed and not lst._accessor_writable
    assert child._sealed and inner._sealed  # the seal reaches the symbolic elements
    assert child._accessor_writable and inner._accessor_writable  # writability does not


# ---------------------------------------------------------------- the schemaless plan


def test_schemaless_elements():
    plain, child = [1], HostDict()
    lst = HostList([7, plain, MISSING, child, "s"], root_path=P("r"))
    assert lst == [7, plain, child, "s"]
    # scalars skip the host's wrapping; the missing value is dropped before it
    assert [c[0] for c in calls("wrap_value")] == [plain, child]
    assert calls("wrap_value")[0][1:] == (True, False, P("r[1]"))
    # the missing value closed up: the child takes index 2
    assert child.sym_parent is lst and child.sym_path == P("r[2]")


def test_an_insertion_stores_its_value_at_the_end():
    child = HostDict()
    lst = HostList([1, hs.Insertion(child), hs.Insertion(MISSING), 2], root_path=P("r"))
    assert lst == [1, child, MISSING, 2]
    assert child.sym_parent is lst and child.sym_path == P("r[1]")


def test_a_symbolic_source_is_read_raw_and_its_children_are_cloned():
    inferred, child = hs.Inferred(5), HostDict(a=1)

    class Source(HostList):
        def __iter__(self):
            raise AssertionError("a symbolic source is read from its storage")

    source = Source([1, inferred, child])
    lst = HostList(source)
    assert list.__getitem__(lst, slice(2)) == [1, inferred] and calls("infer") == []
    assert lst[2] == child and lst[2] is not child and lst[2].sym_parent is lst
    assert child.sym_parent is source


def test_a_value_met_twice_is_cloned_the_second_time():
    child = HostDict()
    lst = HostList([child, child])
    assert lst[0] is child and lst[1] is not child and lst[1].sym_parent is lst


def test_a_failed_construction_keeps_the_elements_stored_and_skips_the_tail():
    lst = HostList.__new__(HostList)
    lst._sealed = True
    with pytest.raises(ValueError, match="would create a cycle"):
        lst.__init__([1, lst, 2], sealed=True, onchange_callback=print, accessor_writable=False)
    assert lst == [1] and node_state(lst) == BLANK_NODE


# ---------------------------------------------------------------- the pass-through plan


def test_pass_through_binds_without_applying_and_only_adopts():
    spec, child, plain = n.List(n.Int()), HostDict(), [1]
    lst = Spy([child, "not an int", plain], pass_through=True, value_spec=spec, root_path=P("r"))
    assert lst == [child, "not an int", plain] and lst[2] is plain and lst.value_spec is spec
    assert calls("custom_apply") == [] and calls("wrap_value") == []
    assert child.sym_parent is lst and child.sym_path == P("r[0]")


def test_pass_through_keeps_the_missing_value_and_binds_without_items():
    spec = n.List(n.Int())
    assert HostList([MISSING], pass_through=True, value_spec=spec) == [MISSING]
    assert HostList(pass_through=True, value_spec=spec).value_spec is spec


def test_pass_through_without_a_spec_is_schemaless():
    assert HostList([1, MISSING], pass_through=True) == [1]


# ---------------------------------------------------------------- the schemaful plan


@pytest.mark.parametrize(
    "spec, items",
    [
        (n.List(n.Int()), [1, 2, 3]),
        (n.List(n.Str(), min_size=2, max_size=2), ["a", "b"]),
        (n.List(n.Float()), [1.5]),
    ],
)
def test_the_fused_route_binds_without_the_engine(spec, items):
    lst = Spy(items, value_spec=spec)
    assert lst == items and all(a is b for a, b in zip(lst, items))
    assert lst.value_spec is spec and calls("custom_apply") == [] and calls("symbolic_transform_fn") == []


@pytest.mark.parametrize(
    "spec, items, expected",
    [
        (n.List(n.Int()), [True], [True]),  # a bool is not exactly an int
        (n.List(n.Float()), [1, 2.5], [1.0, 2.5]),
        (n.List(n.Any()), [[1], {"a": 1}], [[1], {"a": 1}]),
        (n.List(n.Int(min_value=0)), [1], [1]),  # no exact leaf type
        (n.List(n.Int()), [], []),  # no items: the spec is still applied
    ],
)
def test_otherwise_the_spec_is_applied_through_custom_apply(spec, items, expected):
    lst = Spy(items, value_spec=spec, root_path=P("r"))
    assert lst == expected and lst.value_spec is spec
    [(target, path, offered, allow_partial)] = calls("custom_apply")
    assert (target, path, offered, allow_partial) == (lst, P("r"), spec, False)


@pytest.mark.parametrize(
    "spec, items, exc, message",
    [
        (n.List(n.Int()), [1, 2.0], TypeError, "Expect <class 'int'> but encountered <class 'float'>: 2.0. (path=r[1])"),
        (n.List(n.Int(), min_size=2), [1], ValueError, "Length of list [1] is less than min size (2). (path=r)"),
        (n.List(n.Int(), max_size=1), [1, 2], ValueError, "Length of list [1, 2] is greater than max size (1). (path=r)"),
        # the schemaful plan keeps the missing value for the spec to refuse
        (n.List(n.Int()), [1, MISSING], ValueError, "Required value is not specified. (Path='r[1]', ValueSpec=Int())"),
    ],
)
def test_a_refusal_keeps_the_elements_and_skips_the_tail(spec, items, exc, message):
    lst = HostList.__new__(HostList)
    with pytest.raises(exc) as e:
        lst.__init__(items, value_spec=spec, root_path=P("r"), sealed=True, onchange_callback=print)
    assert str(e.value) == message
    assert lst == items and not lst._sealed and lst._onchange_callback is None
    assert lst._value_spec is spec  # bound by the spec's apply before it refused: construction keeps it


def test_a_missing_value_stays_under_allow_partial():
    lst = HostList([1, MISSING], value_spec=n.List(n.Int()), allow_partial=True)
    assert lst == [1, MISSING] and lst._allow_partial


def test_schemaful_elements_are_formalised_without_a_field_first():
    child = HostDict()
    lst = HostList([child, hs.Insertion(2), 3], value_spec=n.List(n.Any()), root_path=P("r"))
    assert lst == [child, 2, 3] and child.sym_path == P("r[0]") and child.sym_parent is lst
    # formalised without a field first (wrapped at its index), then the spec's
    # apply ran with the symbolic child transform
    assert calls("wrap_value")[0] == (child, True, False, P("r[0]"))
    assert calls("symbolic_transform_fn") == [(False,)]


def test_the_fused_route_declines_on_a_list_already_holding_elements():
    lst = Spy(["old"])
    with pytest.raises(TypeError, match="Expect <class 'int'>"):
        lst.__init__([1], value_spec=n.List(n.Int(), max_size=1))
    assert lst == ["old", 1] and len(calls("custom_apply")) == 1


class Growing(HostDict):
    """Appends to `source` when it is adopted."""

    source = None

    def sym_setparent(self, parent):
        Growing.source.append("late")
        return super().sym_setparent(parent)


@pytest.mark.parametrize("spec, sees_late", [(None, True), (n.List(n.Any()), False)])
def test_the_schemaful_plan_collects_the_source_before_host_code_runs(spec, sees_late):
    # Without a spec the source is iterated live, as Python iterates a list;
    # with one it is collected first.
    source = [1, Growing()]
    Growing.source = source
    lst = HostList(source, value_spec=spec)
    assert len(lst) == (3 if sees_late else 2) and len(source) == 3


@pytest.mark.parametrize("items", [(1, "a", None, True, b"x", 2.5), [1, "a", None, True, b"x", 2.5]])
def test_scalars_are_stored_as_the_very_objects(items):
    lst = HostList(items)
    assert all(a is b for a, b in zip(lst, items)) and len(lst) == len(items)
    assert calls("wrap_value") == []


def test_the_binding_tail_follows_the_spec():
    spec = n.List(n.Int())
    lst = HostList([1, 2], value_spec=spec, sealed=True, accessor_writable=False, onchange_callback=print)
    assert (lst.value_spec, lst._sealed, lst._accessor_writable, lst._onchange_callback) == (spec, True, False, print)


# ---------------------------------------------------------------- what construction needs of the host


PRELUDE = """
import norv_core
from norv_core import _native as n
from norv_host import symbolic as hs, typing as ht
ht.install()

def attempt(make):
    try:
        return make()
    except norv_core.PanicException as e:
        return str(e)
"""


def test_the_bridges_are_read_only_when_a_step_needs_them(run_py):
    out = run_py(
        PRELUDE
        + """
p = n.KeyPath("r")
print(attempt(lambda: hs.HostList(root_path=p)))
print(attempt(lambda: hs.HostList([1], root_path=p)))
print(attempt(lambda: hs.HostList(0)))
n._install_container_bridge(**hs.HANDLES)
print(attempt(lambda: hs.HostList([1, 2.5])))
print(attempt(lambda: hs.HostList([1], value_spec=n.List(n.Int()))))
print(attempt(lambda: hs.HostList([[1]])))
print(attempt(lambda: hs.HostList([True], value_spec=n.List(n.Int()))))
"""
    )
    assert out.splitlines() == [
        "[]",
        "container bridge not installed",
        "container bridge not installed",
        "[1, 2.5]",
        "[1]",
        "list bridge not installed",
        "list bridge not installed",
    ]


# ---------------------------------------------------------------- the wrap-node hook


@pytest.mark.parametrize(
    "cls, value, kind",
    [
        (HostList, [1, 2], HostList),
        (HostList, type("Sub", (list,), {})([1]), HostList),
        (HostDict, {"a": 1}, HostDict),
        (HostDict, type("Sub", (dict,), {})(a=1), HostDict),
    ],
)
def test_the_hook_builds_by_the_value_kind(cls, value, kind):
    spec = n.List(n.Int()) if kind is HostList else n.Dict([("a", n.Int())])
    node = probe.wrap_node_hook(cls, value, spec, True, P("w"))
    assert type(node) is kind and node == value and node is not value
    assert (node.sym_path, node.sym_parent, node._value_spec, node._allow_partial) == (P("w"), None, spec, True)


@pytest.mark.parametrize("value, name", [((1,), "tuple"), ("ab", "str"), (None, "None")])
def test_the_hook_refuses_what_is_neither_dict_nor_list(value, name):
    expected = "'None' is not an instance of 'list'" if value is None else f"'{name}' object is not an instance of 'list'"
    with pytest.raises(TypeError) as e:
        probe.wrap_node_hook(HostList, value, None, False, P("w"))
    assert str(e.value) == expected


def test_a_wrapped_node_is_the_parent_of_its_own_members():
    inner, plain = HostDict(), {"a": [1]}
    node = probe.wrap_node_hook(HostList, [inner, 1], None, False, P("w"))
    assert inner.sym_parent is node and inner.sym_path == P("w[0]")
    node = probe.wrap_node_hook(HostDict, {"k": inner, "p": plain}, None, False, P("w"))
    assert node["k"] is not inner and node["k"].sym_parent is node  # owned by the list: cloned
    assert node["p"] is plain


# ---------------------------------------------------------------- collection and leaks


def test_list_and_dict_list_cycles_are_collected():
    inner = HostList([1])
    outer = HostList([inner])  # inner names outer as its parent
    d = HostDict(l=HostList([HostDict()]))
    alive = [weakref.ref(x) for x in (inner, outer, d, d["l"], d["l"][0])]
    assert inner.sym_parent is outer and d["l"].sym_parent is d
    del inner, outer, d
    hs.clear()  # the host's record holds what it wrapped
    gc.collect()
    assert all(r() is None for r in alive)


# Made once: the stand-in host's typing layer records the specs it converts.
INTS, ANYS = n.List(n.Int()), n.List(n.Any())


@pytest.mark.parametrize(
    "make",
    [
        lambda: HostList([1, "a", None]),
        lambda: HostList([1, HostDict(), [2], hs.Insertion(3), MISSING], root_path=KeyPath("r")),
        lambda: HostList([HostDict(), 1], pass_through=True, value_spec=ANYS),
        lambda: HostList([1, 2, 3], value_spec=INTS),
        lambda: HostList([True, 2], value_spec=INTS, sealed=True),
        swallow(lambda: HostList([1, "x"], value_spec=INTS)),
        lambda: probe.wrap_node_hook(HostList, [1, HostDict()], ANYS, False, KeyPath("w")),
    ],
    ids=["scalars", "schemaless", "pass-through", "fused", "engine", "refused", "hook"],
)
def test_no_growth_over_constructions(make):
    assert block_growth(leak_round(make), rounds=10_000) < 200


def test_traced_children_are_adopted_once():
    child, inner = Traced(), TracedList()
    lst = HostList([child, inner], root_path=P("r"))
    assert calls("sym_setpath") == [(child, P("r[0]")), (inner, P("r[1]"))]
    assert calls("sym_setparent") == [(child, lst), (inner, lst)]


def test_native_faults_surface_as_panics():
    lst = HostList.__new__(HostList)
    with pytest.raises(norv_core.PanicException, match="^Already"):
        probe.holding(lst, False, lambda: lst.__init__([1]))
