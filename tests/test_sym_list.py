"""SymList as a class: the list bridge, the blank instance, the fields in type
data, the node-state properties, the native fields' access flag and the
garbage collector's slots."""

import gc
import inspect
import weakref

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from collector import clear_slot, tp_clear
from leakcheck import block_growth

norv_host.install()
probe = n._testing
SymList, HostList, HostDict, KeyPath = n.SymList, hs.HostList, hs.HostDict, n.KeyPath

BLANK = {
    "_sym_parent": None,
    "sym_parent": None,
    "_sym_path": None,
    "sym_path": None,
    "_sym_origin": None,
    "_sealed": False,
    "_allow_partial": False,
    "_accessor_writable": True,
    "_value_spec": None,
    "value_spec": None,
    "_onchange_callback": None,
    "_wrap": True,
    "sym_mode": True,
}
REF_PROPS = ["_sym_parent", "_sym_path", "_sym_origin", "_value_spec", "_onchange_callback"]
BOOL_PROPS = ["_sealed", "_allow_partial", "_accessor_writable", "_wrap"]
READ_ONLY = {"sym_parent": "_sym_parent", "sym_path": "_sym_path", "value_spec": "_value_spec", "sym_mode": None}


def state(lst):
    return {name: getattr(lst, name) for name in BLANK}


# ---------------------------------------------------------------- the list bridge

PRELUDE = """
import norv_core
from norv_core import _native as n
from norv_host import symbolic as hs
"""


def test_list_bridge_installer_signature():
    assert str(inspect.signature(n._install_list_bridge)) == "(insertion_cls)"
    assert n._install_list_bridge.__doc__.startswith("Inject the oracle's Insertion class")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'insertion_cls'"):
        n._install_list_bridge()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        n._install_list_bridge(1, 2)


def test_registered_after_the_container_bridge():
    names = n.__all__
    assert names.index("SymDict") < names.index("_install_container_bridge") < names.index("SymList")
    assert names.index("SymList") + 1 == names.index("_install_list_bridge")


def test_list_bridge_first_install_wins_and_is_independent(run_py):
    out = run_py(
        PRELUDE
        + """
class Other:
    pass
print(n._install_list_bridge(insertion_cls=hs.Insertion))
print(n._install_list_bridge(Other))
print(n._testing.insertion_cls() is hs.Insertion)
# The container bridge is a cell of its own: still empty.
try:
    n.SymList().sym_setorigin('s', 't')
except norv_core.PanicException as e:
    print(e)
"""
    )
    assert out.splitlines() == ["None", "None", "True", "container bridge not installed"]


def test_before_install_reading_the_list_bridge_is_an_internal_fault(run_py):
    out = run_py(
        PRELUDE
        + """
n._install_container_bridge(**hs.HANDLES)
try:
    n._testing.insertion_cls()
except norv_core.PanicException as e:
    print(type(e).__name__, e)
lst = hs.HostList()
print(lst.sym_seal() is lst, lst._sealed)  # reads no bridge
"""
    )
    assert out.splitlines() == ["PanicException list bridge not installed", "True True"]


# ---------------------------------------------------------------- the class


def test_class_shape():
    assert SymList.__module__ == "norv_core._native" and SymList.__name__ == "SymList"
    assert SymList.__bases__ == (list,)
    assert SymList.__text_signature__ == "(*_args, **_kwargs)"
    assert "__weakref__" not in dir(SymList) and "__dict__" not in dir(SymList)
    with pytest.raises(TypeError):
        SymList.attribute = 1  # the native class itself is immutable


@pytest.mark.parametrize("cls", [SymList, HostList])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3}), (([1, 2],), {})])
def test_new_ignores_its_arguments(cls, args, kwargs):
    lst = cls.__new__(cls, *args, **kwargs)
    assert type(lst) is cls and list(lst) == [] and state(lst) == BLANK
    assert gc.is_tracked(lst)


def test_new_refuses_a_class_outside_the_hierarchy():
    with pytest.raises(TypeError):
        SymList.__new__(list)
    with pytest.raises(TypeError):
        list.__new__(HostList)  # would skip the native fields


def test_elements_live_in_the_list_itself():
    lst = HostList()
    list.extend(lst, [1, 2])
    assert lst == [1, 2] and isinstance(lst, list) and len(lst) == 2
    assert probe.list_storage_is_self(lst)


class Slotted(HostList):
    __slots__ = ("a", "b")


def test_fields_follow_whatever_a_subclass_adds():
    # The fields sit in the type's own data region: a subclass's slots, dict
    # and weak references do not overlap them.
    lst = Slotted()
    lst.a, lst.b = "a", "b"
    lst._sym_path, lst._sealed = KeyPath("p"), True
    list.append(lst, 1)
    assert (lst.a, lst.b, lst._sym_path, lst._sealed, list(lst)) == ("a", "b", KeyPath("p"), True, [1])
    plain = HostList()
    plain.extra = 1
    plain._sym_origin = "o"
    assert plain.extra == 1 and plain._sym_origin == "o"


# ---------------------------------------------------------------- properties


@pytest.mark.parametrize("name", REF_PROPS)
def test_reference_properties_store_any_object_and_none_as_absent(name):
    lst, value = HostList(), object()
    setattr(lst, name, value)
    assert getattr(lst, name) is value
    setattr(lst, name, "a.b")  # no key-path test, no spec test
    assert getattr(lst, name) == "a.b"
    setattr(lst, name, None)
    assert getattr(lst, name) is None


@pytest.mark.parametrize("alias, name", [(a, n_) for a, n_ in READ_ONLY.items() if n_])
def test_public_aliases_read_the_same_field(alias, name):
    lst, value = HostList(), object()
    setattr(lst, name, value)
    assert getattr(lst, alias) is value


@pytest.mark.parametrize("name", list(READ_ONLY))
def test_read_only_properties_refuse_assignment_and_deletion(name):
    lst = HostList()
    with pytest.raises(AttributeError, match="not writable"):
        setattr(lst, name, True)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(lst, name)


@pytest.mark.parametrize("name", BOOL_PROPS)
def test_bool_properties_take_only_bools(name):
    lst = HostList()
    for value in (True, False):
        setattr(lst, name, value)
        assert getattr(lst, name) is value
    before = getattr(lst, name)
    for bad in (1, 0, None, "yes"):
        with pytest.raises(TypeError, match=r"^argument 'v': .* is not an instance of 'bool'$"):
            setattr(lst, name, bad)
        assert getattr(lst, name) is before


@pytest.mark.parametrize("name", REF_PROPS + BOOL_PROPS)
def test_settable_properties_have_no_deleter(name):
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(HostList(), name)


def test_list_has_no_attributes_container_flag():
    assert not hasattr(SymList, "_as_object_attributes_container")


def test_bool_getters_ignore_the_flag_scopes():
    lst = HostList()
    n._flag_scope_set(n._FLAG_SEALED, True)
    n._flag_scope_set(n._FLAG_ACCESSOR_WRITABLE, False)
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, True)
    try:
        assert (lst._sealed, lst._accessor_writable, lst._allow_partial) == (False, True, False)
    finally:
        for flag in range(5):
            n._flag_scope_del(flag)


def test_setting_sealed_touches_no_element():
    lst, child = HostList(), HostList()
    list.append(lst, child)
    lst._sealed = True
    assert lst._sealed and not child._sealed


# ---------------------------------------------------------------- the access flag


def test_properties_refuse_a_conflicting_native_hold():
    lst = HostList()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        probe.holding(lst, True, lambda: lst.value_spec)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.holding(lst, False, lambda: setattr(lst, "_wrap", False))
    assert probe.holding(lst, False, lambda: (lst._sealed, lst.sym_path)) == (False, None)
    assert lst._wrap is True


@pytest.mark.parametrize(
    "call",
    [
        lambda lst: lst.sym_seal(),
        lambda lst: lst.sym_setparent(None),
        lambda lst: lst.sym_setpath(KeyPath("x")),
        lambda lst: lst.set_accessor_writable(False),
        lambda lst: lst._relocate_if_symbolic(0, 1),
        lambda lst: lst.use_value_spec(None),
        lambda lst: lst.custom_apply(KeyPath(), n.List(n.Int()), False),
        lambda lst: lst._clone_if_primitive(),
    ],
)
def test_native_operations_meet_a_held_receiver_as_an_internal_fault(call):
    lst = HostList()
    lst._sym_path = KeyPath()
    with pytest.raises(norv_core.PanicException, match="^Already"):
        probe.holding(lst, True, lambda: call(lst))
    call(lst)  # usable afterwards


# ---------------------------------------------------------------- the collector


def test_traverse_visits_type_elements_and_references():
    lst, member = HostList(), object()
    list.append(lst, member)
    refs = [object() for _ in REF_PROPS]
    for name, value in zip(REF_PROPS, refs):
        setattr(lst, name, value)
    seen = gc.get_referents(lst)
    assert HostList in seen and member in seen
    assert all(any(r is s for s in seen) for r in refs)
    # While a native operation holds the fields, only the elements are shown.
    seen = probe.holding(lst, True, lambda: gc.get_referents(lst))
    assert HostList in seen and member in seen
    assert not any(r is s for r in refs for s in seen)


def test_plain_symlist_traverse_visits_its_type():
    assert SymList in gc.get_referents(SymList())


def test_clear_empties_the_list_drops_references_and_keeps_flags():
    lst = HostList()
    list.extend(lst, [1, 2])
    for name in REF_PROPS:
        setattr(lst, name, object())
    lst._sealed, lst._allow_partial, lst._accessor_writable, lst._wrap = True, True, False, False
    tp_clear(lst)
    assert list(lst) == []
    assert all(getattr(lst, name) is None for name in REF_PROPS)
    assert (lst._sealed, lst._allow_partial, lst._accessor_writable, lst._wrap, lst.sym_mode) == (
        True,
        True,
        False,
        False,
        True,
    )


def test_clear_refuses_while_the_fields_are_held():
    lst = HostList()
    list.append(lst, 1)
    lst._sym_parent = parent = HostList()
    clear = clear_slot(HostList)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.holding(lst, False, lambda: clear(lst))
    assert list(lst) == [] and lst._sym_parent is parent  # elements gone, references kept


def collected(*objs):
    refs = [weakref.ref(o) for o in objs]
    del objs
    gc.collect()
    return [r() is None for r in refs]


def test_list_cycle_is_collected():
    lst = HostList()
    child = HostList()
    list.append(lst, child)
    child._sym_parent = lst
    list.append(lst, lst)  # a list holding itself
    lst._sym_origin = hs.Origin(child, "tag")
    alive = weakref.ref(lst), weakref.ref(child)
    del lst, child
    gc.collect()
    assert alive[0]() is None and alive[1]() is None


def test_dict_list_cycle_is_collected():
    d, lst = HostDict(), HostList()
    dict.__setitem__(d, "x", lst)
    list.append(lst, d)
    d._sym_parent, lst._sym_parent = lst, d
    alive = weakref.ref(d), weakref.ref(lst)
    del d, lst
    gc.collect()
    assert alive[0]() is None and alive[1]() is None


def test_cycle_through_value_spec_and_callback_is_collected():
    lst = HostList()

    class Holder:
        pass

    h = Holder()
    h.lst = lst
    lst._value_spec = h
    lst._onchange_callback = lambda: lst
    alive = weakref.ref(lst)
    del lst, h
    gc.collect()
    assert alive() is None


def test_symlist_has_no_weak_references_but_the_host_class_does():
    with pytest.raises(TypeError):
        weakref.ref(SymList())
    alive = weakref.ref(HostList())
    assert alive() is None


@pytest.mark.parametrize("cls", [SymList, HostList])
def test_long_chain_is_released_without_deep_recursion(cls):
    head = cls()
    node = head
    for _ in range(100_000):
        child = cls()
        list.append(node, child)
        child._sym_parent = node
        node = child
    alive = weakref.ref(node) if cls is HostList else None
    del node, child, head
    gc.collect()
    assert alive is None or alive() is None


def test_finalizers_reaching_a_cleared_list_find_it_usable():
    seen = []
    a, b = HostList(), HostList()
    list.append(a, b)
    b._sym_parent = a
    a._sym_path = KeyPath("a")

    def touch(_):
        seen.append(1)

    refs = [weakref.ref(a, touch), weakref.ref(b, touch)]
    del a, b
    gc.collect()
    assert seen == [1, 1] and all(r() is None for r in refs)


def test_no_growth_over_create_adopt_repath_seal_and_clone():
    spec = n.List(n.Int())

    def round():
        root = HostList()
        root._sym_path = KeyPath()
        child, grandchild = HostList(), HostDict()
        list.append(child, child._relocate_if_symbolic(0, grandchild))
        list.append(root, root._relocate_if_symbolic(0, child))
        root.sym_setpath(KeyPath("r"))
        root.sym_seal()
        root.sym_setorigin("src", "tag")
        flat = HostList()
        flat._sym_path = KeyPath()
        list.extend(flat, [1, 2])
        flat.use_value_spec(spec)
        flat._clone_if_primitive()
        flat.use_value_spec(None)
        hs.clear()  # the stand-in host records its transform factory's calls

    assert block_growth(round, rounds=10_000) < 200
    hs.clear()


def test_signatures():
    expected = {
        "_relocate_if_symbolic": "(self, /, idx, value, seen=None)",
        "sym_values": "(self, /)",
        "sym_setparent": "(self, /, parent)",
        "sym_setpath": "(self, /, path)",
        "_update_children_paths": "(self, /, _old_path, new_path)",
        "sym_seal": "(self, /, is_seal=True)",
        "sym_setorigin": "(self, /, source, tag, stacktrace=None, stacklimit=None, stacktop=Ellipsis)",
        "set_accessor_writable": "(self, /, writable=True)",
        "use_value_spec": "(self, /, value_spec, allow_partial=False)",
        "custom_apply": "(self, /, path, value_spec, allow_partial, child_transform=None)",
        "_clone_if_primitive": "(self, /)",
    }
    assert {name: str(inspect.signature(getattr(SymList, name))) for name in expected} == expected
    assert not hasattr(SymList, "_sym_parent_for_children")
