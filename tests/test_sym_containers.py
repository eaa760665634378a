"""What SymDict and SymList share as classes: the blank instance, the
node-state properties, the native fields' access flag and the garbage
collector's slots. Each test runs for both containers."""

import gc
import weakref
from dataclasses import dataclass, field

import pytest

import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from collector import clear_slot, tp_clear
from traced import blank

norv_host.install()
probe = n._testing
KeyPath = n.KeyPath

COMMON_BLANK = {
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
    "sym_mode": True,
}
REF_PROPS = ["_sym_parent", "_sym_path", "_sym_origin", "_value_spec", "_onchange_callback"]
COMMON_BOOLS = ["_sealed", "_allow_partial", "_accessor_writable", "_wrap"]


@dataclass
class Kind:
    native: type
    host: type
    base: type
    extra_blank: dict
    extra_bools: list
    extra_read_only: dict = field(default_factory=dict)

    def new(self):
        """A blank instance of the host class: made by `__new__` alone."""
        return self.host.__new__(self.host)

    def put(self, container, value):
        """Stores `value` with the base class's own write (no adoption)."""
        if self.base is dict:
            dict.__setitem__(container, f"k{len(container)}", value)
        else:
            list.append(container, value)

    @property
    def blank(self):
        return {**COMMON_BLANK, **self.extra_blank}

    @property
    def bools(self):
        return COMMON_BOOLS + self.extra_bools

    @property
    def read_only(self):
        return {"sym_parent": "_sym_parent", "sym_path": "_sym_path", "sym_mode": None, **self.extra_read_only}


DICT = Kind(
    n.SymDict,
    hs.HostDict,
    dict,
    {"_as_object_attributes_container": False},
    ["_as_object_attributes_container"],
)
LIST = Kind(n.SymList, hs.HostList, list, {"value_spec": None}, [], {"value_spec": "_value_spec"})


KINDS = {"dict": DICT, "list": LIST}


@pytest.fixture(params=list(KINDS.values()), ids=list(KINDS))
def kind(request):
    return request.param


def per_kind(names_of):
    """Parameters (kind, name) for every name `names_of(kind)` gives."""
    return pytest.mark.parametrize(
        "kind, name",
        [pytest.param(k, name, id=f"{label}-{name}") for label, k in KINDS.items() for name in names_of(k)],
    )


def state(obj, kind):
    return {name: getattr(obj, name) for name in kind.blank}


# ---------------------------------------------------------------- the class


def test_class_shape(kind):
    assert kind.native.__module__ == "norv_core._native"
    assert kind.native.__bases__ == (kind.base,)
    assert kind.native.__text_signature__ == "(*_args, **_kwargs)"
    assert "__weakref__" not in dir(kind.native) and "__dict__" not in dir(kind.native)
    with pytest.raises(TypeError):
        kind.native.attribute = 1  # the native class itself is immutable


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3}), (({"a": 1},), {})])
@pytest.mark.parametrize("host", [False, True])
def test_new_ignores_its_arguments(kind, host, args, kwargs):
    cls = kind.host if host else kind.native
    obj = cls.__new__(cls, *args, **kwargs)
    assert type(obj) is cls and len(obj) == 0 and state(obj, kind) == kind.blank
    assert gc.is_tracked(obj)


def test_new_refuses_a_class_outside_the_hierarchy(kind):
    with pytest.raises(TypeError):
        kind.native.__new__(kind.base)
    with pytest.raises(TypeError):
        kind.base.__new__(kind.host)  # would skip the native fields


# ---------------------------------------------------------------- properties


@per_kind(lambda k: REF_PROPS)
def test_reference_properties_store_any_object_and_none_as_absent(kind, name):
    obj, value = kind.new(), object()
    setattr(obj, name, value)
    assert getattr(obj, name) is value
    setattr(obj, name, "a.b")  # no key-path test, no spec test
    assert getattr(obj, name) == "a.b"
    setattr(obj, name, None)
    assert getattr(obj, name) is None


@per_kind(lambda k: [alias for alias, name in k.read_only.items() if name])
def test_public_aliases_read_the_same_field(kind, name):
    obj, value = kind.new(), object()
    setattr(obj, kind.read_only[name], value)
    assert getattr(obj, name) is value


@per_kind(lambda k: list(k.read_only))
def test_read_only_properties_refuse_assignment_and_deletion(kind, name):
    obj = kind.new()
    with pytest.raises(AttributeError, match="not writable"):
        setattr(obj, name, True)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(obj, name)


@per_kind(lambda k: k.bools)
def test_bool_properties_take_only_bools(kind, name):
    obj = kind.new()
    for value in (True, False):
        setattr(obj, name, value)
        assert getattr(obj, name) is value
    before = getattr(obj, name)
    for bad in (1, 0, None, "yes"):
        with pytest.raises(TypeError, match=r"^argument 'v': .* is not an instance of 'bool'$"):
            setattr(obj, name, bad)
        assert getattr(obj, name) is before


@per_kind(lambda k: REF_PROPS + k.bools)
def test_settable_properties_have_no_deleter(kind, name):
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(kind.new(), name)


def test_bool_getters_ignore_the_flag_scopes(kind):
    obj = kind.new()
    n._flag_scope_set(n._FLAG_SEALED, True)
    n._flag_scope_set(n._FLAG_ACCESSOR_WRITABLE, False)
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, True)
    try:
        assert (obj._sealed, obj._accessor_writable, obj._allow_partial) == (False, True, False)
    finally:
        for flag in range(5):
            n._flag_scope_del(flag)


def test_setting_sealed_touches_no_child(kind):
    obj, child = kind.new(), kind.new()
    kind.put(obj, child)
    obj._sealed = True
    assert obj._sealed and not child._sealed


def test_setter_releases_the_old_value_after_its_access(kind):
    # The displaced value's finalizer reads the container: it must find it free.
    obj, seen = kind.new(), []

    class Finalized:
        def __del__(self):
            seen.append((obj._sym_origin, obj._sealed))

    obj._sym_origin = Finalized()
    obj._sym_origin = "next"
    assert seen == [("next", False)]


# ---------------------------------------------------------------- the access flag


def test_properties_refuse_a_conflicting_native_hold(kind):
    obj = kind.new()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        probe.holding(obj, True, lambda: obj._sealed)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        probe.holding(obj, True, lambda: obj._sym_path)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.holding(obj, False, lambda: setattr(obj, "_sealed", True))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.holding(obj, False, lambda: setattr(obj, "_sym_path", KeyPath("x")))
    assert probe.holding(obj, False, lambda: (obj._sealed, obj._sym_path)) == (False, None)  # readers share
    assert obj._sealed is False and obj._sym_path is None  # refused writes changed nothing


# ---------------------------------------------------------------- the collector


def test_traverse_visits_type_members_and_references(kind):
    obj, member = kind.new(), object()
    kind.put(obj, member)
    refs = [object() for _ in REF_PROPS]
    for name, value in zip(REF_PROPS, refs):
        setattr(obj, name, value)
    seen = gc.get_referents(obj)
    assert kind.host in seen and member in seen
    assert all(any(r is s for s in seen) for r in refs)
    # While a native operation holds the fields, only the members are shown.
    seen = probe.holding(obj, True, lambda: gc.get_referents(obj))
    assert kind.host in seen and member in seen
    assert not any(r is s for r in refs for s in seen)


def test_plain_native_traverse_visits_its_type(kind):
    assert kind.native in gc.get_referents(kind.native())


def test_clear_empties_the_container_drops_references_and_keeps_flags(kind):
    obj = kind.new()
    kind.put(obj, 1)
    for name in REF_PROPS:
        setattr(obj, name, object())
    flags = {name: not kind.blank[name] for name in kind.bools}
    for name, value in flags.items():
        setattr(obj, name, value)
    tp_clear(obj)
    assert len(obj) == 0
    assert all(getattr(obj, name) is None for name in REF_PROPS)
    assert {name: getattr(obj, name) for name in kind.bools} == flags and obj.sym_mode


def test_clear_refuses_while_the_fields_are_held(kind):
    obj = kind.new()
    kind.put(obj, 1)
    obj._sym_parent = parent = kind.new()
    clear = clear_slot(kind.host)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.holding(obj, False, lambda: clear(obj))
    assert len(obj) == 0 and obj._sym_parent is parent  # members gone, references kept


@pytest.mark.parametrize("first, second", [(DICT, DICT), (LIST, LIST), (DICT, LIST)], ids=["dd", "ll", "dl"])
def test_parent_cycles_are_collected(first, second):
    a, b = first.new(), second.new()
    first.put(a, b)
    second.put(b, a)
    b._sym_parent, a._sym_parent = a, b
    a._sym_origin = hs.Origin(b, "tag")
    alive = weakref.ref(a), weakref.ref(b)
    del a, b
    gc.collect()
    assert alive[0]() is None and alive[1]() is None


def test_a_container_holding_itself_is_collected(kind):
    obj = kind.new()
    kind.put(obj, obj)
    obj._sym_parent = obj
    alive = weakref.ref(obj)
    del obj
    gc.collect()
    assert alive() is None


def test_cycle_through_value_spec_and_callback_is_collected(kind):
    obj = kind.new()

    class Holder:
        pass

    h = Holder()
    h.obj = obj
    obj._value_spec = h
    obj._onchange_callback = lambda: obj
    alive = weakref.ref(obj)
    del obj, h
    gc.collect()
    assert alive() is None


def test_native_class_has_no_weak_references_but_the_host_class_does(kind):
    with pytest.raises(TypeError):
        weakref.ref(kind.native())
    alive = weakref.ref(kind.new())
    assert alive() is None


@pytest.mark.parametrize("host", [False, True])
def test_long_chain_is_released_without_deep_recursion(kind, host):
    cls = kind.host if host else kind.native
    head = blank(cls)
    node = head
    for _ in range(100_000):
        child = blank(cls)
        kind.put(node, child)
        child._sym_parent = node
        node = child
    alive = weakref.ref(node) if host else None
    del node, child, head
    gc.collect()
    assert alive is None or alive() is None


def test_finalizers_reaching_a_cleared_container_find_it_usable(kind):
    seen = []
    a, b = kind.new(), kind.new()
    kind.put(a, b)
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
