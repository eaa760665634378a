"""SymDict as a class: the blank instance, the node-state properties, the
native fields' access flag and the garbage collector's slots."""

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
SymDict, HostDict, KeyPath = n.SymDict, hs.HostDict, n.KeyPath

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
    "_onchange_callback": None,
    "_wrap": True,
    "_as_object_attributes_container": False,
    "sym_mode": True,
}
REF_PROPS = ["_sym_parent", "_sym_path", "_sym_origin", "_value_spec", "_onchange_callback"]
BOOL_PROPS = ["_sealed", "_allow_partial", "_accessor_writable", "_wrap", "_as_object_attributes_container"]
READ_ONLY = {"sym_parent": "_sym_parent", "sym_path": "_sym_path", "sym_mode": None}


def state(d):
    return {name: getattr(d, name) for name in BLANK}


# ---------------------------------------------------------------- the class


def test_class_shape():
    assert SymDict.__module__ == "norv_core._native" and SymDict.__name__ == "SymDict"
    assert SymDict.__bases__ == (dict,)
    assert SymDict.__text_signature__ == "(*_args, **_kwargs)"
    assert "__weakref__" not in dir(SymDict) and "__dict__" not in dir(SymDict)
    with pytest.raises(TypeError):
        SymDict.attribute = 1  # the native class itself is immutable


@pytest.mark.parametrize("cls", [SymDict, HostDict])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3}), (({"a": 1},), {})])
def test_new_ignores_its_arguments(cls, args, kwargs):
    d = cls.__new__(cls, *args, **kwargs)
    assert type(d) is cls and dict(d) == {} and state(d) == BLANK
    assert gc.is_tracked(d)


def test_new_refuses_a_class_outside_the_hierarchy():
    with pytest.raises(TypeError):
        SymDict.__new__(dict)
    with pytest.raises(TypeError):
        dict.__new__(HostDict)  # would skip the native fields


def test_members_live_in_the_dict_itself():
    d = HostDict()
    dict.__setitem__(d, "a", 1)
    assert d == {"a": 1} and isinstance(d, dict) and len(d) == 1


# ---------------------------------------------------------------- properties


@pytest.mark.parametrize("name", REF_PROPS)
def test_reference_properties_store_any_object_and_none_as_absent(name):
    d, value = HostDict(), object()
    setattr(d, name, value)
    assert getattr(d, name) is value
    setattr(d, name, "a.b")  # no key-path test, no spec test
    assert getattr(d, name) == "a.b"
    setattr(d, name, None)
    assert getattr(d, name) is None


@pytest.mark.parametrize("alias, name", [(a, n_) for a, n_ in READ_ONLY.items() if n_])
def test_public_aliases_read_the_same_field(alias, name):
    d, value = HostDict(), object()
    setattr(d, name, value)
    assert getattr(d, alias) is value


@pytest.mark.parametrize("name", list(READ_ONLY))
def test_read_only_properties_refuse_assignment_and_deletion(name):
    d = HostDict()
    with pytest.raises(AttributeError, match="not writable"):
        setattr(d, name, True)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(d, name)


@pytest.mark.parametrize("name", BOOL_PROPS)
def test_bool_properties_take_only_bools(name):
    d = HostDict()
    for value in (True, False):
        setattr(d, name, value)
        assert getattr(d, name) is value
    before = getattr(d, name)
    for bad in (1, 0, None, "yes"):
        with pytest.raises(TypeError, match=r"^argument 'v': .* is not an instance of 'bool'$"):
            setattr(d, name, bad)
        assert getattr(d, name) is before


@pytest.mark.parametrize("name", REF_PROPS + BOOL_PROPS)
def test_settable_properties_have_no_deleter(name):
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(HostDict(), name)


def test_value_spec_is_not_a_dict_property():
    assert not hasattr(SymDict, "value_spec")


def test_bool_getters_ignore_the_flag_scopes():
    d = HostDict()
    for flag in (n._FLAG_SEALED, n._FLAG_ACCESSOR_WRITABLE, n._FLAG_ALLOW_PARTIAL):
        n._flag_scope_set(flag, True if flag != n._FLAG_ACCESSOR_WRITABLE else False)
    try:
        assert (d._sealed, d._accessor_writable, d._allow_partial) == (False, True, False)
    finally:
        for flag in range(5):
            n._flag_scope_del(flag)


def test_setting_sealed_touches_no_child():
    d, child = HostDict(), HostDict()
    dict.__setitem__(d, "c", child)
    d._sealed = True
    assert d._sealed and not child._sealed


def test_setter_releases_the_old_value_after_its_access():
    # The displaced value's finalizer reads the dict: it must find it free.
    d, seen = HostDict(), []

    class Finalized:
        def __del__(self):
            seen.append((d._sym_origin, d._sealed))

    d._sym_origin = Finalized()
    d._sym_origin = "next"
    assert seen == [("next", False)]


# ---------------------------------------------------------------- the access flag


def test_properties_refuse_a_conflicting_native_hold():
    d = HostDict.__new__(HostDict)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        probe.holding(d, True, lambda: d._sealed)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        probe.holding(d, True, lambda: d._sym_path)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.holding(d, False, lambda: setattr(d, "_sealed", True))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.holding(d, False, lambda: setattr(d, "_sym_path", KeyPath("x")))
    assert probe.holding(d, False, lambda: (d._sealed, d._sym_path)) == (False, None)  # readers share
    assert d._sealed is False and d._sym_path is None  # refused writes changed nothing


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.sym_seal(),
        lambda d: d.sym_setparent(None),
        lambda d: d.set_accessor_writable(False),
        lambda d: d._sym_parent_for_children(),
        lambda d: d._relocate_if_symbolic("k", 1),
    ],
)
def test_native_operations_meet_a_held_receiver_as_an_internal_fault(call):
    d = HostDict()
    with pytest.raises(norv_core.PanicException, match="^Already"):
        probe.holding(d, True, lambda: call(d))
    call(d)  # usable afterwards


# ---------------------------------------------------------------- the collector


def test_traverse_visits_type_members_and_references():
    d, member = HostDict(), object()
    dict.__setitem__(d, "k", member)
    refs = [object() for _ in REF_PROPS]
    for name, value in zip(REF_PROPS, refs):
        setattr(d, name, value)
    seen = gc.get_referents(d)
    assert HostDict in seen and member in seen
    assert all(any(r is s for s in seen) for r in refs)
    # While a native operation holds the fields, only the members are shown.
    seen = probe.holding(d, True, lambda: gc.get_referents(d))
    assert HostDict in seen and member in seen
    assert not any(r is s for r in refs for s in seen)


def test_plain_symdict_traverse_visits_its_type():
    assert SymDict in gc.get_referents(SymDict())


def test_clear_empties_the_dict_drops_references_and_keeps_flags():
    d = HostDict()
    dict.__setitem__(d, "a", 1)
    for name in REF_PROPS:
        setattr(d, name, object())
    d._sealed, d._allow_partial, d._accessor_writable, d._wrap = True, True, False, False
    d._as_object_attributes_container = True
    tp_clear(d)
    assert dict(d) == {}
    assert all(getattr(d, name) is None for name in REF_PROPS)
    assert (d._sealed, d._allow_partial, d._accessor_writable, d._wrap) == (True, True, False, False)
    assert d._as_object_attributes_container and d.sym_mode


def test_clear_refuses_while_the_fields_are_held():
    d = HostDict()
    dict.__setitem__(d, "a", 1)
    d._sym_parent = parent = HostDict()
    clear = clear_slot(HostDict)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.holding(d, False, lambda: clear(d))
    assert dict(d) == {} and d._sym_parent is parent  # members gone, references kept


def test_parent_cycle_between_two_host_dicts_is_collected():
    a, b = HostDict(), HostDict()
    dict.__setitem__(a, "b", b)
    b._sym_parent = a
    a._sym_parent = b
    a._sym_origin = hs.Origin(b, "tag")
    alive = weakref.ref(a), weakref.ref(b)
    del a, b
    gc.collect()
    assert alive[0]() is None and alive[1]() is None


def test_cycle_through_value_spec_and_callback_is_collected():
    d = HostDict()

    class Holder:
        pass

    h = Holder()
    h.d = d
    d._value_spec = h
    d._onchange_callback = lambda: d
    alive = weakref.ref(d)
    del d, h
    gc.collect()
    assert alive() is None


def test_symdict_has_no_weak_references_but_the_host_class_does():
    with pytest.raises(TypeError):
        weakref.ref(SymDict())
    alive = weakref.ref(HostDict())
    assert alive() is None


@pytest.mark.parametrize("cls", [SymDict, HostDict])
def test_long_chain_is_released_without_deep_recursion(cls):
    head = cls()
    node = head
    for _ in range(100_000):
        child = cls()
        dict.__setitem__(node, "c", child)
        child._sym_parent = node
        node = child
    alive = weakref.ref(node) if cls is HostDict else None
    del node, child, head
    gc.collect()
    assert alive is None or alive() is None


def test_finalizers_reaching_a_cleared_dict_find_it_usable():
    seen = []
    a, b = HostDict(), HostDict()
    dict.__setitem__(a, "b", b)
    b._sym_parent = a
    a._sym_path = KeyPath("a")

    def touch(_):
        seen.append(1)

    # The collector clears the members of the cycle in some order; a weak
    # reference callback then reads what is left.
    refs = [weakref.ref(a, touch), weakref.ref(b, touch)]
    del a, b
    gc.collect()
    assert seen == [1, 1] and all(r() is None for r in refs)


def test_no_growth_over_create_adopt_repath_and_seal():
    def round():
        root = HostDict()
        root._sym_path = KeyPath()
        child, grandchild = HostDict(), HostDict()
        dict.__setitem__(child, "g", child._relocate_if_symbolic("g", grandchild))
        dict.__setitem__(root, "c", root._relocate_if_symbolic("c", child))
        root.sym_setpath(KeyPath("r"))
        root.sym_seal()
        root.sym_setorigin("src", "tag")

    hs.clear()
    assert block_growth(round, rounds=10_000) < 200
    hs.clear()


def test_signatures():
    expected = {
        "_relocate_if_symbolic": "(self, /, key, value, seen=None)",
        "sym_setparent": "(self, /, parent)",
        "sym_setpath": "(self, /, path)",
        "_update_children_paths": "(self, /, _old_path, new_path)",
        "_sym_parent_for_children": "(self, /)",
        "sym_seal": "(self, /, is_seal=True)",
        "sym_setorigin": "(self, /, source, tag, stacktrace=None, stacklimit=None, stacktop=Ellipsis)",
        "set_accessor_writable": "(self, /, writable=True)",
    }
    assert {name: str(inspect.signature(getattr(SymDict, name))) for name in expected} == expected
