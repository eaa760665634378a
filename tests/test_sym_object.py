"""SymObject as a class: the blank instance, the blank-object guard, the
node-state properties, the field-dict seams, the access flag and the garbage
collector's slots."""

import gc
import inspect
import sys
import weakref

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import symbolic as hs

from collector import clear_slot, tp_clear
from leakcheck import block_growth

norv_host.install()
probe = n._testing
SymObject, HostObject, KeyPath = n.SymObject, ho.HostObject, n.KeyPath


class C(HostObject):
    x: int
    y: int = 0


BLANK_ERROR = r"^C\.__init__ should call `super\(\)\.__init__`\.$"
REF_PROPS = ["_sym_parent", "_sym_path", "_sym_origin"]
BOOL_PROPS = ["_sealed", "_allow_partial", "_accessor_writable"]
READ_ONLY = {"sym_parent": "_sym_parent", "sym_path": "_sym_path"}
DEFAULTS = {
    "_sym_parent": None,
    "sym_parent": None,
    "_sym_origin": None,
    "_sealed": False,
    "_allow_partial": False,
    "_accessor_writable": True,
}


def blank():
    return C.__new__(C)


def initialised(**kwargs):
    return C(x=1, **kwargs)


# ---------------------------------------------------------------- the class


def test_class_shape():
    assert SymObject.__module__ == "norv_core._native" and SymObject.__name__ == "SymObject"
    assert SymObject.__bases__ == (object,)
    assert SymObject.__text_signature__ == "(*_args, **_kwargs)"
    assert "__weakref__" not in dir(SymObject) and "__dict__" not in dir(SymObject)
    with pytest.raises(TypeError):
        SymObject.attribute = 1  # the native class itself is immutable
    with pytest.raises(TypeError):
        weakref.ref(SymObject.__new__(SymObject))
    with pytest.raises(AttributeError):
        SymObject().anything = 1  # no instance dict of its own


def test_host_subclasses_bring_an_instance_dict_and_weak_references():
    obj = blank()
    vars(obj)["cache"] = 1
    assert obj.cache == 1
    alive = weakref.ref(obj)
    del obj
    assert alive() is None


@pytest.mark.parametrize("cls", [SymObject, C])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})])
def test_new_ignores_its_arguments_and_makes_a_blank_object(cls, args, kwargs):
    obj = cls.__new__(cls, *args, **kwargs)
    assert type(obj) is cls and gc.is_tracked(obj)
    assert obj.field_dict() is None
    assert n._probe_object_is_inline(obj) is False
    assert n._native_object_inline_fields(obj) is None


@pytest.mark.parametrize("name", [*REF_PROPS, *BOOL_PROPS, *READ_ONLY])
def test_node_state_getters_refuse_a_blank_object(name):
    with pytest.raises(ValueError, match=BLANK_ERROR):
        getattr(blank(), name)


def test_node_read_guard_refuses_a_blank_object_only():
    with pytest.raises(ValueError, match=BLANK_ERROR):
        blank().node_read_guard()
    assert initialised().node_read_guard() is None


def test_blank_error_names_the_class_as_the_type_reports_it():
    class Other(SymObject):
        pass

    Other.__qualname__ = "Outer.Other"
    with pytest.raises(ValueError, match=r"^Other\.__init__ should call"):
        Other.__new__(Other)._sealed


def test_a_path_set_on_a_blank_object_passes_the_guard():
    obj, path = blank(), KeyPath("p")
    obj._sym_path = path
    assert obj._sym_path is path and obj.sym_path is path
    assert {name: getattr(obj, name) for name in DEFAULTS} == DEFAULTS
    assert obj.field_dict() is None and n._native_object_inline_fields(obj) is None


def test_an_initialised_object_reads_its_defaults():
    obj = initialised()
    assert {name: getattr(obj, name) for name in DEFAULTS} == DEFAULTS
    assert obj._sym_path is hs.EMPTY_KEY_PATH


# ---------------------------------------------------------------- properties


@pytest.mark.parametrize("name", REF_PROPS)
def test_reference_properties_store_any_object_and_none_as_absent(name):
    obj, value = initialised(), object()
    setattr(obj, name, value)
    assert getattr(obj, name) is value
    object.__setattr__(obj, name, 5)  # no type test
    assert getattr(obj, name) == 5
    setattr(obj, name, None)
    assert getattr(obj, name) is None


@pytest.mark.parametrize("alias, name", list(READ_ONLY.items()))
def test_public_aliases_read_the_same_field(alias, name):
    obj, value = initialised(), object()
    setattr(obj, name, value)
    assert getattr(obj, alias) is value


@pytest.mark.parametrize("name", list(READ_ONLY))
def test_read_only_properties_refuse_assignment_and_deletion(name):
    obj = initialised()
    with pytest.raises(AttributeError, match="not writable"):
        setattr(obj, name, None)
    with pytest.raises(AttributeError, match="not writable"):
        delattr(obj, name)


@pytest.mark.parametrize("name", BOOL_PROPS)
def test_bool_properties_take_only_bools(name):
    obj = initialised()
    for value in (True, False):
        object.__setattr__(obj, name, value)
        assert getattr(obj, name) is value
    for bad in (1, 0, None, "yes"):
        with pytest.raises(TypeError, match=r"^argument 'v': .* is not an instance of 'bool'$"):
            object.__setattr__(obj, name, bad)
        assert getattr(obj, name) is False


@pytest.mark.parametrize("name", REF_PROPS + BOOL_PROPS)
def test_settable_properties_have_no_deleter(name):
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        object.__delattr__(initialised(), name)


def test_setters_run_no_blank_guard():
    obj = blank()
    obj._sealed = True
    obj._sym_parent = parent = object()
    obj._sym_path = KeyPath()
    assert obj._sealed is True and obj._sym_parent is parent


def test_instance_dict_entries_do_not_shadow_the_node_state():
    obj = initialised()
    obj._sym_origin = origin = object()
    vars(obj)["_sym_origin"] = "shadow"
    vars(obj)["_sealed"] = "shadow"
    assert obj._sym_origin is origin and obj._sealed is False


def test_setter_releases_the_old_value_after_its_access():
    # The displaced value's finalizer reads the object: it must find it free.
    obj, seen = initialised(), []

    class Finalized:
        def __del__(self):
            seen.append((obj._sym_origin, obj._sealed))

    obj._sym_origin = Finalized()
    obj._sym_origin = "next"
    assert seen == [("next", False)]


# ---------------------------------------------------------------- field-dict seams


def test_field_dict_is_the_live_dict():
    obj = initialised()
    fields = obj.field_dict()
    assert fields == {"x": 1, "y": 0}
    assert obj.field_dict() is fields and n._native_object_inline_fields(obj) is fields
    fields["y"] = 2
    assert obj.field_dict() == {"x": 1, "y": 2}
    assert n._probe_object_is_inline(obj) is True


@pytest.mark.parametrize("value", [42, None, {"x": 1}, ho.HostObject])
def test_inline_fields_declines_anything_not_a_symobject(value):
    assert n._native_object_inline_fields(value) is None


@pytest.mark.parametrize("value", [42, None, {"x": 1}])
def test_probe_is_inline_refuses_anything_not_a_symobject(value):
    with pytest.raises(TypeError, match=r"^argument 'obj': .* is not an instance of 'SymObject'$"):
        n._probe_object_is_inline(value)


def test_seam_signatures():
    assert str(inspect.signature(n._probe_object_is_inline)) == "(obj)"
    assert str(inspect.signature(n._native_object_inline_fields)) == "(obj)"
    assert n._native_object_inline_fields(obj=initialised()) == {"x": 1, "y": 0}
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'obj'"):
        n._probe_object_is_inline()
    for name, signature in {
        "node_read_guard": "(self, /)",
        "field_dict": "(self, /)",
        "_sym_field": "(self, /, name)",
        "sym_setpath": "(self, /, path)",
        "sym_setparent": "(self, /, parent)",
    }.items():
        assert str(inspect.signature(getattr(SymObject, name))) == signature


# ---------------------------------------------------------------- the access flag


def test_properties_refuse_a_conflicting_native_hold():
    obj = initialised()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        probe.object_holding(obj, True, lambda: obj._sealed)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        probe.object_holding(obj, True, lambda: obj.field_dict())
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        probe.object_holding(obj, True, lambda: obj.node_read_guard())
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.object_holding(obj, False, lambda: setattr(obj, "_sealed", True))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.object_holding(obj, False, lambda: setattr(obj, "_sym_path", KeyPath("x")))
    empty = hs.EMPTY_KEY_PATH
    assert probe.object_holding(obj, False, lambda: (obj._sealed, obj._sym_path)) == (False, empty)
    assert obj._sealed is False and obj._sym_path is empty  # refused writes changed nothing


# ---------------------------------------------------------------- the collector


def test_traverse_visits_type_field_dict_and_references():
    obj = initialised()
    refs = [object() for _ in REF_PROPS]
    for name, value in zip(REF_PROPS, refs):
        setattr(obj, name, value)
    seen = gc.get_referents(obj)
    assert C in seen and obj.field_dict() in seen
    assert all(any(r is s for s in seen) for r in refs)
    # While a native operation holds the fields exclusively, only the type.
    fields = obj.field_dict()
    seen = probe.object_holding(obj, True, lambda: gc.get_referents(obj))
    assert C in seen and not any(x is fields or x in refs for x in seen)


def test_a_plain_symobject_reports_its_type():
    assert SymObject in gc.get_referents(SymObject.__new__(SymObject))


def test_clear_drops_field_dict_and_references_and_keeps_flags():
    obj = initialised()
    for name in REF_PROPS:
        setattr(obj, name, object())
    obj._sealed, obj._allow_partial, obj._accessor_writable = True, True, False
    clear_slot(SymObject)(obj)
    assert obj.field_dict() is None
    with pytest.raises(ValueError, match=BLANK_ERROR):
        obj._sealed  # blank again
    obj._sym_path = KeyPath()
    assert (obj._sym_parent, obj._sym_origin) == (None, None)
    assert (obj._sealed, obj._allow_partial, obj._accessor_writable) == (True, True, False)


def test_clear_through_a_host_subclass_reaches_the_native_state():
    obj = initialised()
    vars(obj)["cache"] = 1
    tp_clear(obj)
    assert obj.field_dict() is None and "cache" not in vars(obj)


def test_clear_refuses_while_the_fields_are_held():
    obj = initialised()
    obj._sym_parent = parent = object()
    clear = clear_slot(SymObject)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        probe.object_holding(obj, False, lambda: clear(obj))
    assert obj.field_dict() == {"x": 1, "y": 0} and obj._sym_parent is parent


def test_self_cycle_through_sym_parent_is_collected():
    fired = []
    obj = initialised()
    obj._sym_parent = obj
    alive = weakref.ref(obj, fired.append)
    del obj
    gc.collect()
    assert alive() is None and len(fired) == 1


@pytest.mark.parametrize("name", ["_sym_path", "_sym_origin"])
def test_cycle_through_path_or_origin_is_collected(name):
    obj = initialised()
    setattr(obj, name, [obj])
    alive = weakref.ref(obj)
    del obj
    gc.collect()
    assert alive() is None


def test_cycle_through_the_field_dict_is_collected():
    obj = initialised()
    obj.field_dict()["x"] = obj
    alive = weakref.ref(obj)
    del obj
    gc.collect()
    assert alive() is None


def test_finalizers_reaching_a_cleared_object_find_it_usable():
    seen = []
    a, b = initialised(), initialised()
    a.field_dict()["b"] = b
    b._sym_parent = a

    def touch(_):
        seen.append(1)

    refs = [weakref.ref(a, touch), weakref.ref(b, touch)]
    del a, b
    gc.collect()
    assert seen == [1, 1] and all(r() is None for r in refs)


def test_long_chain_is_released_without_deep_recursion():
    head = initialised()
    node = head
    for _ in range(100_000):
        child = initialised()
        node.field_dict()["c"] = child
        child._sym_parent = node
        node = child
    alive = weakref.ref(node)
    del node, child, head
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("cls", [C, SymObject])
def test_instances_keep_no_reference_to_their_class(cls):
    def make():
        if cls is C:
            C(x=1)
        else:
            cls.__new__(cls)

    make()
    before = sys.getrefcount(cls)
    for _ in range(10_000):
        make()
    after = sys.getrefcount(cls)
    assert after == before


def test_no_growth_over_construct_and_set():
    def round():
        obj = initialised(root_path=KeyPath("a"))
        obj.field_dict()["z"] = [2]
        obj._sym_parent = obj
        obj._sym_origin = ho.SymbolicModeError("x")
        obj._sealed = True
        ho.clear()

    assert block_growth(round, rounds=10_000) < 200
