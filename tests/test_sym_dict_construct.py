"""SymDict construction: `__init__` and its argument forms, the three modes
of the construction core, spec binding with `use_value_spec`, the node
builder for validated plain dicts, and `sym_items()`."""

import gc
import weakref

import numpy as np
import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from host_calls import BLANK_DICT_NODE as BLANK_NODE
from host_calls import calls, fresh_host, leak_round, node_state  # noqa: F401 (a fixture)
from leakcheck import block_growth, swallow

norv_host.install()
probe = n._testing
HostDict, KeyPath, Field = hs.HostDict, n.KeyPath, n.Field
MISSING = hs.MISSING_VALUE
VALIDATE, PASS_THROUGH, VERBATIM = 0, 1, 2


pytestmark = pytest.mark.usefixtures("fresh_host")


def spec_ab():
    return n.Dict([("a", n.Int()), ("b", n.Float())])


SPEC = spec_ab()


class Recording(HostDict):
    """Records every spec its `custom_apply` is asked about."""

    def custom_apply(self, path, value_spec, allow_partial, child_transform=None):
        hs.calls.append(("custom_apply", path, value_spec, allow_partial, child_transform))
        return super().custom_apply(path, value_spec, allow_partial, child_transform)


# ---------------------------------------------------------------- __init__: members


def test_empty_construction():
    d = HostDict()
    assert dict(d) == {} and node_state(d) == BLANK_NODE
    assert d.sym_path is hs.EMPTY_KEY_PATH  # the shared path itself


class ItemsIgnored(dict):
    def items(self):
        raise AssertionError("a dict source is read from its storage")

    def __iter__(self):
        raise AssertionError("a dict source is read from its storage")


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (({"a": 1, "b": 2},), {}, [("a", 1), ("b", 2)]),
        (([("a", 1), ("b", 2)],), {}, [("a", 1), ("b", 2)]),
        ((iter((("b", 1), ["a", 2])),), {}, [("b", 1), ("a", 2)]),
        ((["ab", "cd"],), {}, [("a", "b"), ("c", "d")]),  # any element with items 0 and 1
        (([("a", 1, "extra")],), {}, [("a", 1)]),  # longer elements are accepted
        ((), {"x": 1, "y": 2}, [("x", 1), ("y", 2)]),
        (({"a": 1},), {"a": 2, "b": 3}, [("a", 2), ("b", 3)]),  # keywords override, new ones follow
        (({"b": 1, "a": 2},), {"c": 3}, [("b", 1), ("a", 2), ("c", 3)]),
        ((None,), {"x": 1}, [("x", 1)]),
        ((ItemsIgnored(a=1, b=2),), {}, [("a", 1), ("b", 2)]),
        (({},), {}, []),
        ((), {"source": {"a": 1}}, [("a", 1)]),  # source may be given by keyword
    ],
)
def test_member_sources(args, kwargs, expected):
    d = HostDict(*args, **kwargs)
    assert list(d.items()) == expected
    assert calls("_notify_field_updates") == []  # construction notifies nothing


def test_a_symbolic_source_is_read_through_sym_items():
    spec = n.Dict([("b", n.Int()), ("a", n.Int())])
    src = HostDict({"a": 1, "b": 2}, value_spec=spec)
    assert list(src.keys()) == ["a", "b"]  # storage order

    class Source(HostDict):
        def sym_items(self):
            hs.calls.append(("sym_items", self))
            return super().sym_items()

    s = Source({"a": 1, "b": 2}, value_spec=spec)
    hs.clear()
    d = HostDict(s, c=3)
    assert list(d.items()) == [("b", 2), ("a", 1), ("c", 3)] and calls("sym_items") == [(s,)]


@pytest.mark.parametrize(
    "source, exc, match",
    [
        ([("a",)], IndexError, "tuple index out of range"),
        ([1], TypeError, "not subscriptable"),
        (5, TypeError, "not iterable"),
    ],
)
def test_source_errors_propagate(source, exc, match):
    with pytest.raises(exc, match=match):
        HostDict(source)


# ---------------------------------------------------------------- __init__: options


def test_options_are_stored():
    cb, path = object(), KeyPath("r")
    d = HostDict(
        {"a": 1},
        allow_partial=True,
        wrap=False,
        onchange_callback=cb,
        root_path=path,
        as_object_attributes_container=True,
        under_sym_mode=False,
    )
    assert node_state(d) == dict(
        BLANK_NODE, allow_partial=True, wrap=False, callback=cb, path=path, attrs=True, sym_mode=False
    )


def test_none_means_left_out():
    d = HostDict(None, value_spec=None, onchange_callback=None, root_path=None)
    assert node_state(d) == BLANK_NODE


@pytest.mark.parametrize(
    "name",
    ["allow_partial", "sealed", "accessor_writable", "as_object_attributes_container", "wrap", "pass_through",
     "under_sym_mode"],
)
def test_boolean_options_take_only_bools(name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': 'int' object is not an instance of 'bool'$"):
        HostDict(**{name: 1})
    d = HostDict(**{name: np.True_})  # NumPy's boolean scalar converts
    assert dict(d) == {}


def test_unknown_keywords_are_members_and_argument_errors_are_pythons():
    assert HostDict(value=1, spec=2) == {"value": 1, "spec": 2}
    with pytest.raises(TypeError, match=r"^SymDict.__init__\(\) takes from 1 to 2 positional arguments but 3 were"):
        HostDict({}, {})
    with pytest.raises(TypeError, match="multiple values for argument 'source'"):
        HostDict({}, source={})


@pytest.mark.parametrize("spec", [1, n.List(n.Int()), n.Int()])
def test_value_spec_must_be_a_dict_spec(spec):
    d = HostDict({"a": 1})
    with pytest.raises(TypeError) as e:
        d.__init__({"b": 2}, value_spec=spec)
    assert str(e.value) == f"Argument 'value_spec' must be a `nv.typing.Dict` object. Encountered {spec}"
    assert dict(d) == {"a": 1}  # refused before anything changed


def test_sealed_and_not_writable_take_effect_after_the_members():
    child = HostDict()
    d = HostDict({"a": 1, "c": child}, sealed=True, accessor_writable=False)
    assert d == {"a": 1, "c": child} and d._sealed and not d._accessor_writable
    assert child._sealed  # sealing reaches the symbolic members


@pytest.mark.parametrize("scope, tracked", [(None, False), (False, False), (True, True)])
def test_origin_under_origin_tracking(scope, tracked):
    if scope is not None:
        n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, scope)
    d = HostDict()
    assert d._sym_origin == (hs.Origin(None, "__init__") if tracked else None)


def test_a_second_init_merges_and_resets_the_node():
    parent = HostDict()
    d = HostDict({"a": 1}, root_path=KeyPath("x"), sealed=True, onchange_callback=print)
    d._sym_parent = parent
    d._sym_origin = "kept"
    d.__init__({"b": 2})  # a way around the seal, as construction checks no permission
    assert d == {"a": 1, "b": 2}
    assert node_state(d) == dict(BLANK_NODE, origin="kept")


@pytest.mark.parametrize(
    "spec, given",
    [
        (n.Dict([("a", n.Int()), ("b", n.Str())]), {"a": 1, "b": "x"}),  # the fused route's shape
        (n.Dict([("a", n.Int()), ("b", n.Str(default="d"))]), {"a": 1}),  # the single pass's shape
        (n.Dict([("a", n.Int()), (n.StrKey("^b"), n.Str())]), {"a": 1}),  # a variable key
    ],
)
def test_a_second_init_with_a_spec_refuses_a_member_already_there_that_it_does_not_allow(spec, given):
    d = HostDict({"zz": [1]})
    with pytest.raises(KeyError) as e:
        d.__init__(given, value_spec=spec)
    assert e.value.args == ("Keys ['zz'] are not allowed in Schema. (parent='')",)
    assert d["zz"] == [1]


def test_a_second_init_with_a_spec_validates_the_members_already_there():
    d = HostDict({"a": 1})
    spec = n.Dict([("a", n.Float()), ("b", n.Str())])
    d.__init__({"b": "x"}, value_spec=spec)  # "a" is not given again: the dict holds it
    assert list(d.items()) == [("a", 1.0), ("b", "x")] and type(d["a"]) is float and d._value_spec is spec
    e = HostDict({"a": "x"})
    with pytest.raises(TypeError, match=r"^Expect <class 'float'> but encountered <class 'str'>: x\. \(path=a\)$"):
        e.__init__({"b": "x"}, value_spec=spec)


# ---------------------------------------------------------------- schemaless members


def test_schemaless_members():
    wrapped, child = [1], HostDict()
    d = HostDict({"s": "x", "n": None, "m": MISSING, "l": wrapped, "c": child}, root_path=KeyPath("r"))
    assert d == {"s": "x", "n": None, "l": wrapped, "c": child}  # the missing value is dropped
    # scalars skip the host's wrapping; every other value passes it, missing or not
    assert [c[0] for c in calls("wrap_value")] == [wrapped, child]
    assert calls("wrap_value")[0][1:] == (True, False, KeyPath("l", KeyPath("r")))
    assert child.sym_parent is d and child.sym_path == KeyPath("c", KeyPath("r"))


@pytest.mark.parametrize("mode", [VALIDATE, PASS_THROUGH, VERBATIM])
def test_without_a_spec_every_mode_formalises(mode):
    child = HostDict()
    d = HostDict.__new__(HostDict)
    probe.construct_into(d, {"m": MISSING, "c": child, 1: 2, True: 3}, None, mode=mode)
    assert d == {"c": child, 1: 3} and child.sym_parent is d
    with pytest.raises(KeyError) as e:
        probe.construct_into(d, {1.5: 1}, None, mode=mode)
    assert e.value.args == ("Key must be string or int type. Encountered 1.5. (path=)",)


@pytest.mark.parametrize("key", [1.5, None, (1,), b"k"])
def test_schemaless_keys_must_be_int_or_str(key):
    with pytest.raises(KeyError) as e:
        HostDict({"a": 1, key: 2}, root_path=KeyPath("r"))
    assert e.value.args == (f"Key must be string or int type. Encountered {key!r}. (path=r)",)


def test_a_failed_construction_leaves_the_reset_node_without_its_tail():
    d = HostDict.__new__(HostDict)
    d._sealed = True
    with pytest.raises(KeyError):
        d.__init__({"a": 1, 1.5: 2, "b": 3}, sealed=True, onchange_callback=print, accessor_writable=False)
    assert d == {"a": 1} and node_state(d) == BLANK_NODE


# ---------------------------------------------------------------- validating construction


def spec_ab_open():
    """A schema with a variable key: neither one-pass route takes it."""
    return n.Dict([("a", n.Int()), ("b", n.Float()), (n.StrKey(), n.Int())])


def test_the_general_route_formalises_then_applies_the_spec():
    spec = spec_ab_open()
    d = Recording({"a": 1, "b": 2}, value_spec=spec, root_path=KeyPath("r"))
    assert d == {"a": 1, "b": 2.0} and type(d["b"]) is float
    assert d._value_spec is spec
    [(path, bound, allow_partial, transform)] = calls("custom_apply")
    assert (path, bound, allow_partial) == (KeyPath("r"), spec, False) and transform._norv_scalar_identity
    assert calls("symbolic_transform_fn") == [(False,)]


@pytest.mark.parametrize(
    "spec, stored, bound",
    [
        # the general route keeps what it formalised, and `custom_apply` bound the spec first
        (spec_ab_open(), {"a": "x", "b": 1.0}, True),
        (spec_ab(), {}, False),  # the single pass fails on its first member, before binding
    ],
)
def test_validation_errors_propagate_and_skip_the_tail(spec, stored, bound):
    d = HostDict.__new__(HostDict)
    with pytest.raises(TypeError, match="Expect <class 'int'> but encountered <class 'str'>"):
        d.__init__({"a": "x", "b": 1.0}, value_spec=spec, sealed=True, onchange_callback=print)
    assert d == stored and not d._sealed and d._onchange_callback is None
    assert d._value_spec is (spec if bound else None)


def second_init(first, given, spec):
    d = HostDict(first)
    d.__init__(given, value_spec=spec)
    return d


@pytest.mark.parametrize("scope", [None, (n._FLAG_SEALED, True), (n._FLAG_ACCESSOR_WRITABLE, False)])
@pytest.mark.parametrize(
    "make, expected",
    [
        # the general route writes what the spec converted back into the dict
        (lambda: HostDict({"a": 1}, value_spec=n.Dict([(n.StrKey(), n.Float())])), {"a": 1.0}),
        (lambda: HostDict({"a": 1, "b": 2, "c": 3}, value_spec=spec_ab_open()), {"a": 1, "b": 2.0, "c": 3}),
        # an all-constant schema over members already there: converted, and a default filled in
        (lambda: second_init({"b": 2}, {"a": 1}, spec_ab()), {"b": 2.0, "a": 1}),
        (lambda: second_init({"a": 1}, {}, n.Dict([("a", n.Int()), ("b", n.Float(default=0.5))])), {"a": 1, "b": 0.5}),
    ],
)
def test_construction_writes_converted_members_back_unchecked_and_unreported(make, expected, scope):
    if scope is not None:
        n._flag_scope_set(*scope)
    d = make()
    assert list(d.items()) == list(expected.items()) and list(map(type, d.values())) == list(map(type, expected.values()))
    assert calls("_notify_field_updates") == []
    # once constructed, the dict's own writes pass the gates and notify again
    if scope is None:
        d["a"] = 2
        assert len(calls("_notify_field_updates")) == 1
    else:
        with pytest.raises(hs.WritePermissionError):
            d["a"] = 2


def test_a_failed_construction_leaves_the_write_path_gated():
    d = HostDict.__new__(HostDict)
    with pytest.raises(TypeError):
        d.__init__({"a": 1, "b": "x"}, value_spec=n.Dict([(n.StrKey(), n.Float())]))
    n._flag_scope_set(n._FLAG_SEALED, True)
    with pytest.raises(hs.WritePermissionError):
        d["a"] = 2.0


def test_validating_construction_fills_defaults():
    spec = n.Dict([("a", n.Int(default=5)), ("b", n.Str())])
    d = HostDict(b="x", value_spec=spec)
    assert d == {"b": "x", "a": 5}


def test_a_required_member_missing_under_allow_partial():
    d = HostDict(value_spec=spec_ab(), allow_partial=True)
    assert d._allow_partial and d == {"a": MISSING, "b": MISSING}


def test_pass_through_binds_without_applying_and_adopts():
    spec, child = spec_ab(), HostDict()
    d = Recording({"x": child, "a": "not an int"}, pass_through=True, value_spec=spec, root_path=KeyPath("r"))
    assert d._value_spec is spec and calls("custom_apply") == []
    assert d == {"x": child, "a": "not an int"} and calls("wrap_value") == []
    assert child.sym_parent is d and child.sym_path == KeyPath("x", KeyPath("r"))


def test_pass_through_clone_check_uses_the_given_owner():
    owner, d = HostDict(), HostDict.__new__(HostDict)
    child = HostDict()
    owner["k"] = child
    probe.construct_into(d, {"k": child}, spec_ab(), mode=PASS_THROUGH, owner=owner)
    assert d["k"] is child and child.sym_parent is d  # owned by the owner: re-adopted, not cloned
    probe.construct_into(d, {"k": child}, spec_ab(), mode=PASS_THROUGH, owner=HostDict())
    assert d["k"] is not child and calls("sym_clone") == [(child,)]  # owned by another: cloned


def test_verbatim_stores_members_as_they_are():
    spec, child = spec_ab(), HostDict()
    d = HostDict.__new__(HostDict)
    probe.construct_into(d, {"c": child, "m": MISSING, "a": "x"}, spec, mode=VERBATIM)
    assert d == {"c": child, "m": MISSING, "a": "x"} and d._value_spec is spec
    assert child.sym_parent is None and calls("wrap_value") == []


@pytest.mark.parametrize("mode, cloned", [(PASS_THROUGH, True), (VERBATIM, False)])
def test_an_attributes_container_adopts_a_value_met_twice_once(mode, cloned):
    child = HostDict()
    d = HostDict.__new__(HostDict)
    probe.construct_into(d, {"a": child, "b": child}, spec_ab(), mode=mode, as_object_attributes_container=True)
    assert d["a"] is child and (d["b"] is not child) == cloned
    assert child.sym_parent is None  # an unattached attributes container gives no parent


def test_without_the_seen_set_a_value_met_twice_is_cloned_by_its_path():
    child = HostDict()
    d = HostDict.__new__(HostDict)
    probe.construct_into(d, {"a": child, "b": child}, spec_ab(), mode=PASS_THROUGH)
    assert d["a"] is child and d["b"] is not child  # the second time its parent is the dict: cloned


@pytest.mark.parametrize(
    "build",
    [
        # no spec: the schemaless route, whatever the mode
        lambda m: HostDict(m, as_object_attributes_container=True),
        lambda m: HostDict(m, as_object_attributes_container=True, pass_through=True),
        # the general route, the single pass, and passing through
        lambda m: HostDict(m, value_spec=n.Dict([(n.StrKey(), n.Dict())]), as_object_attributes_container=True),
        lambda m: HostDict(m, value_spec=n.Dict([("x", n.Dict()), ("y", n.Dict())]), as_object_attributes_container=True),
        lambda m: HostDict(m, value_spec=spec_ab(), pass_through=True, as_object_attributes_container=True),
    ],
)
def test_an_attributes_container_clones_a_value_met_under_a_second_key(build):
    v = HostDict()
    d = build({"x": v, "y": v})
    assert d["x"] is v and d["y"] is not v and calls("sym_clone") == [(v,)]
    # unattached: the first holder gives its path and no parent; the clone is a root of its own
    assert v.sym_path == KeyPath("x") and v.sym_parent is None and d["y"].sym_path == KeyPath("y")


# ---------------------------------------------------------------- use_value_spec


def test_use_value_spec_binds_and_validates():
    d = Recording({"a": 1, "b": 2})
    spec = spec_ab()
    hs.clear()
    assert d.use_value_spec(spec) is d
    assert d._value_spec is spec and d["b"] == 2.0
    assert [c[:3] for c in calls("custom_apply")] == [(hs.EMPTY_KEY_PATH, spec, False)]
    # the conversion of b went through the write path: one update, notified
    [(target, [update])] = calls("_notify_field_updates")
    assert target is d and (update.path, update.old_value, update.new_value) == (KeyPath("b"), 2, 2.0)


def test_use_value_spec_twice_applies_twice():
    spec = spec_ab()
    d = Recording({"a": 1, "b": 2.0}, value_spec=spec)
    hs.clear()
    d.use_value_spec(spec)
    d.use_value_spec(spec_ab())  # an equal spec is no conflict
    assert len(calls("custom_apply")) == 2 and d._value_spec is spec


def test_use_value_spec_refuses_a_different_spec():
    spec = spec_ab()
    d = HostDict({"a": 1, "b": 2.0}, value_spec=spec, root_path=KeyPath("r"))
    other = n.Dict([("a", n.Int())])
    with pytest.raises(RuntimeError) as e:
        d.use_value_spec(other)
    assert str(e.value) == f"Dict is already bound with a different value spec: {spec}. New value spec: {other}. (path=r)"
    assert d._value_spec is spec


class Refusing(Recording):
    """Refuses every spec once the native `custom_apply` has taken it."""

    def custom_apply(self, path, value_spec, allow_partial, child_transform=None):
        super().custom_apply(path, value_spec, allow_partial, child_transform)
        raise LookupError("refused")


@pytest.mark.parametrize(
    "make, spec, allow_partial, exc",
    [
        # the members are refused after the spec bound itself
        (lambda: Recording({1: 2}), n.Dict([(n.StrKey(), n.Any())]), False, KeyError),
        (lambda: Recording({"a": "x", "b": 2.0}, allow_partial=True), spec_ab(), False, TypeError),
        # the host refuses after the spec was bound or the flag stored
        (lambda: Refusing({"a": 1, "b": 2.0}), spec_ab(), True, LookupError),
        (lambda: Refusing({"a": 1, "b": 2.0}, value_spec=SPEC), SPEC, True, LookupError),
    ],
)
def test_a_refused_use_value_spec_leaves_the_dict_as_it_was(make, spec, allow_partial, exc):
    d = make()
    before = (d._value_spec, d._allow_partial)
    hs.clear()
    with pytest.raises(exc):
        d.use_value_spec(spec, allow_partial=allow_partial)
    assert len(calls("custom_apply")) == 1
    assert (d._value_spec, d._allow_partial) == before


def test_a_corrected_spec_binds_after_a_refused_one():
    d = HostDict({1: 2})
    with pytest.raises(KeyError, match=r"Keys \[1\] are not allowed in Schema"):
        d.use_value_spec(n.Dict([(n.StrKey(), n.Any())]))
    del d[1]  # schemaless again: any key may go
    spec = n.Dict([(n.StrKey(), n.Any())])
    assert d.use_value_spec(spec) is d and d._value_spec is spec


@pytest.mark.parametrize("bad", [1, n.Int(), n.List(n.Int())])
def test_use_value_spec_refuses_what_is_not_a_dict_spec(bad):
    d = HostDict(root_path=KeyPath("r"))
    with pytest.raises(ValueError) as e:
        d.use_value_spec(bad)
    assert str(e.value) == f"Value spec for dict must be a `nv.typing.Dict` object. Encountered: {bad!r} (path=r)"


def test_use_value_spec_none_unbinds_and_restores_writability():
    d = HostDict({"a": 1, "b": 2.0}, value_spec=spec_ab(), accessor_writable=False, sealed=True)
    assert d.use_value_spec(None) is d
    assert d._value_spec is None and d._accessor_writable and d._sealed  # the seal stays


@pytest.mark.parametrize("wrap", [True, False])
@pytest.mark.parametrize("scope", [None, True])
def test_use_value_spec_arguments_of_apply(wrap, scope):
    d = Recording({"a": 1, "b": 2.0}, wrap=wrap, root_path=KeyPath("r"))
    hs.clear()
    if scope is not None:
        n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, scope)
    d.use_value_spec(spec_ab(), allow_partial=False)
    [(path, _, allow_partial, transform)] = calls("custom_apply")
    assert path == KeyPath("r") and allow_partial is (scope is True)
    # the transform is made from the node's flag just stored, never from the scope
    assert calls("symbolic_transform_fn") == ([(False,)] if wrap else [])
    assert (transform is not None) == wrap
    assert d._allow_partial is False


def test_use_value_spec_stores_allow_partial():
    d = HostDict()
    d.use_value_spec(spec_ab(), allow_partial=True)
    assert d._allow_partial and d == {"a": MISSING, "b": MISSING}
    with pytest.raises(TypeError, match="^argument 'allow_partial'"):
        d.use_value_spec(None, allow_partial=1)


def test_a_dict_spec_applied_to_a_host_dict_binds_itself():
    spec = spec_ab()
    d = HostDict({"a": 1, "b": 2})
    assert spec.apply(d) is d
    assert d._value_spec is spec and d == {"a": 1, "b": 2.0}


def test_a_plain_symdict_takes_no_part_in_custom_typing():
    d = n.SymDict({"a": 1, "b": 2.0})
    d.use_value_spec(spec_ab())  # the engine never asks it: nothing binds
    assert d._value_spec is None


# ---------------------------------------------------------------- build_wrap_node


def test_build_wrap_node():
    spec, path, parent = spec_ab(), KeyPath("w"), HostDict()
    child, plain = HostDict(), [1]
    node = probe.build_wrap_node(HostDict, {"a": 1, "c": child, "l": plain}, spec, True, path, parent)
    assert type(node) is HostDict and list(node.items()) == [("a", 1), ("c", child), ("l", plain)]
    assert node_state(node) == dict(BLANK_NODE, path=path, parent=parent, spec=spec, allow_partial=True)
    # children take the node as parent, the parent is set afterwards
    assert child.sym_parent is node and child.sym_path == KeyPath("c", path)
    assert calls("custom_apply") == [] and calls("wrap_value") == []


def test_build_wrap_node_clones_an_owned_child():
    owner, child = HostDict(), HostDict()
    owner["c"] = child
    node = probe.build_wrap_node(HostDict, {"c": child}, spec_ab(), False, KeyPath("w"))
    assert node["c"] is not child and node["c"].sym_parent is node and child.sym_parent is owner


def test_build_wrap_node_under_origin_tracking():
    n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, True)
    node = probe.build_wrap_node(HostDict, {}, spec_ab(), False, KeyPath())
    assert node._sym_origin == hs.Origin(None, "__init__")


def test_build_wrap_node_needs_new_to_give_a_symdict():
    class Odd(HostDict):
        def __new__(cls, *args):
            return [1]

    with pytest.raises(TypeError, match="^'list' object is not an instance of 'SymDict'$"):
        probe.build_wrap_node(Odd, {"a": 1}, spec_ab(), False, KeyPath())


# ---------------------------------------------------------------- accepts_partial, sym_items


@pytest.mark.parametrize(
    "own, scope, expected", [(False, None, False), (True, None, True), (False, True, True), (True, False, False)]
)
def test_accepts_partial(own, scope, expected):
    d = HostDict(allow_partial=own)
    if scope is not None:
        n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, scope)
    assert probe.accepts_partial(d) is expected


def test_sym_items_method():
    d = HostDict({"b": 1, "a": 2, "x": 3}, value_spec=n.Dict([("a", n.Int()), ("b", n.Int()), (n.StrKey(), n.Int())]))
    items = d.sym_items()
    d["a"] = 5
    assert list(items) == [("a", 2), ("b", 1), ("x", 3)]  # a snapshot in schema order
    with pytest.raises(TypeError):
        d.sym_items(1)


# ---------------------------------------------------------------- memory


def test_the_callback_cycle_is_collected():
    d = HostDict()
    d.__init__(onchange_callback=lambda: d)
    ref = weakref.ref(d)
    del d
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize(
    "make",
    [
        lambda: HostDict({"a": 1, "c": HostDict({"x": [1]})}, root_path=KeyPath("r"), sealed=True),
        lambda: HostDict({"a": 1, "b": 2}, value_spec=SPEC),
        swallow(lambda: HostDict({"a": "x"}, value_spec=SPEC)),
        swallow(lambda: HostDict({1.5: 1})),
        swallow(lambda: HostDict([("a",)])),
        lambda: probe.build_wrap_node(HostDict, {"a": 1, "c": HostDict()}, SPEC, False, KeyPath("w")),
        lambda: HostDict({"a": 1, "b": 2.0}, value_spec=SPEC).use_value_spec(SPEC),
        swallow(lambda: HostDict({"a": 1, "b": 2.0}, value_spec=SPEC).use_value_spec(n.Dict())),
    ],
)
def test_no_block_growth_over_constructions(make):
    assert block_growth(leak_round(make), 10_000) < 100  # a leak would grow by one block a round or more
