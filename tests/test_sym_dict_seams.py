"""The seams of SymDict toward the host's Python paths: its side of custom
typing (`custom_apply`) and the one-pass clone of an all-primitive dict."""

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from host_calls import calls, fresh_host, leak_round  # noqa: F401 (a fixture)
from leakcheck import block_growth, swallow

norv_host.install()
probe = n._testing
HostDict, KeyPath = hs.HostDict, n.KeyPath


pytestmark = pytest.mark.usefixtures("fresh_host")


def spec_ab():
    return n.Dict([("a", n.Int()), ("b", n.Float())])


class Offered:
    """A spec offered to a bound dict, answering `is_compatible` as told."""

    def __init__(self, answer):
        self.answer = answer
        self.asked = []

    def is_compatible(self, other):
        self.asked.append(other)
        return self.answer

    def __repr__(self):
        return "Offered()"


# ---------------------------------------------------------------- custom_apply


@pytest.mark.parametrize(
    "own, given, proceed",
    [(False, False, False), (True, True, False), (False, True, True), (True, False, True)],
)
def test_custom_apply_on_a_bound_dict_takes_the_flag(own, given, proceed):
    spec = spec_ab()
    d = HostDict({"a": 1, "b": 2.0}, value_spec=spec, allow_partial=own)
    offered = Offered(True)
    result = d.custom_apply(KeyPath("p"), offered, given)
    assert result == (proceed, d) and result[1] is d and type(result) is tuple
    assert d._allow_partial is given and d._value_spec is spec and offered.asked == [spec]


def test_custom_apply_skips_the_compatibility_test_for_no_spec():
    d = HostDict(value_spec=spec_ab(), allow_partial=True)
    assert d.custom_apply(KeyPath(), None, False) == (True, d) and not d._allow_partial


def test_custom_apply_refuses_an_incompatible_spec():
    spec = spec_ab()
    d = HostDict({"a": 1, "b": 2.0}, value_spec=spec)
    with pytest.raises(ValueError) as e:
        d.custom_apply(KeyPath("p"), Offered(False), True)
    assert e.value.args == (f"Dict (spec={spec!r}) cannot be assigned to an incompatible field (spec=Offered()). (path=p)",)
    assert not d._allow_partial  # unchanged
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'bool'$"):
        d.custom_apply(KeyPath("p"), Offered(1), True)


def test_the_refusal_carries_whatever_the_host_decoration_returns(run_py):
    out = run_py(
        """
        import norv_host
        from norv_host import symbolic as hs
        from norv_core import _native as n
        n._install_container_bridge(**dict(hs.HANDLES, message_on_path=lambda text, path: (text, path)))
        norv_host.install()
        d = hs.HostDict(value_spec=n.Dict())
        class Offered:
            def is_compatible(self, other):
                return False
        try:
            d.custom_apply('p', Offered(), False)
        except ValueError as e:
            print(e.args[0][1], len(e.args))
        """
    )
    assert out.split() == ["p", "1"]


@pytest.mark.parametrize(
    "spec, bound",
    [(n.Dict(), True), (n.Dict([("a", n.Int())]), True), (n.Int(), False), (n.List(n.Int()), False), (None, False)],
)
def test_custom_apply_on_an_unbound_dict(spec, bound):
    d = HostDict({"a": "not validated"})
    assert d.custom_apply(KeyPath(), spec, True) == (True, d)
    assert d._value_spec is (spec if bound else None)
    assert d == {"a": "not validated"} and not d._allow_partial  # the flag is taken only when bound


def test_custom_apply_arguments():
    d = HostDict()
    assert d.custom_apply(path=KeyPath(), value_spec=None, allow_partial=False, child_transform=print) == (True, d)
    with pytest.raises(TypeError, match="^argument 'allow_partial': 'int' object is not an instance of 'bool'$"):
        d.custom_apply(KeyPath(), None, 1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'allow_partial'"):
        d.custom_apply(KeyPath(), None)


def test_a_spec_applied_to_a_bound_dict():
    spec = spec_ab()
    d = HostDict({"a": 1, "b": 2.0}, value_spec=spec)
    assert spec.apply(d) is d  # same flag: the engine stops after custom_apply
    with pytest.raises(ValueError, match="cannot be assigned to an incompatible field"):
        n.Dict([("z", n.Str())]).apply(d)


def test_a_field_whose_spec_applies_to_a_host_dict_binds_it():
    inner = n.Dict([("x", n.Int())])
    outer = n.Dict([("c", inner)])
    child = HostDict(x=1)
    d = HostDict({"c": child}, value_spec=outer)
    assert d["c"] is child and child._value_spec is inner and child.sym_parent is d


# ---------------------------------------------------------------- _clone_if_primitive


@pytest.mark.parametrize(
    "members, spec",
    [
        ({}, None),
        ({"n": None, "i": 1, "f": 1.5, "s": "x", "b": True, "y": b"y", 3: 4}, None),
        ({"a": 1}, n.Dict()),  # a bound spec without schema
    ],
)
def test_an_all_primitive_dict_clones_in_one_pass(members, spec):
    cb = object()
    d = HostDict(members, onchange_callback=cb, root_path=KeyPath("r"), allow_partial=True, wrap=False,
                 sealed=True, accessor_writable=False)
    d._value_spec = spec
    d._sym_parent = HostDict()
    clone = d._clone_if_primitive()
    assert type(clone) is HostDict and clone is not d and list(clone.items()) == list(d.items())
    state = lambda x: (x._value_spec, x._onchange_callback, x._allow_partial, x._accessor_writable, x._sealed,
                       x._wrap)
    assert state(clone) == state(d) and clone._value_spec is spec and clone._onchange_callback is cb
    assert clone.sym_parent is None and clone.sym_path is hs.EMPTY_KEY_PATH and clone._sym_origin is None
    assert clone.sym_mode and not clone._as_object_attributes_container  # what __new__ gave
    assert d.sym_path == KeyPath("r") and d.sym_parent is not None  # the source is untouched


@pytest.mark.parametrize(
    "members, spec",
    [
        ({"a": [1]}, None),
        ({"a": {1}}, None),
        ({"a": (1,)}, None),
        ({"a": type("S", (str,), {})("x")}, None),
        ({"a": 1, "b": 2.0}, n.Dict([("a", n.Int()), ("b", n.Float())])),  # a schema keeps its own order
    ],
)
def test_clone_declines(members, spec):
    d = HostDict(members)
    d._value_spec = spec
    assert d._clone_if_primitive() is None


def test_clone_under_origin_tracking():
    n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, True)
    clone = HostDict(a=1)._clone_if_primitive()
    assert clone._sym_origin == hs.Origin(None, "__init__")


def test_clone_needs_new_to_give_a_symdict():
    class Odd(HostDict):
        def __new__(cls, *args):
            return {"not": "symbolic"}

    d = HostDict.__new__(Odd)
    dict.__setitem__(d, "a", 1)
    with pytest.raises(TypeError, match="^'dict' object is not an instance of 'SymDict'$"):
        d._clone_if_primitive()


def test_clone_propagates_the_schema_read_error():
    d = HostDict(a=1)
    d._value_spec = type("Spec", (), {"schema": property(lambda s: 1 / 0)})()
    with pytest.raises(ZeroDivisionError):
        d._clone_if_primitive()


# ---------------------------------------------------------------- memory


@pytest.mark.parametrize(
    "make",
    [
        lambda: HostDict(a=1, b="x")._clone_if_primitive(),
        lambda: HostDict(a=[1])._clone_if_primitive(),
        lambda: HostDict(value_spec=SPEC, allow_partial=True).custom_apply(KeyPath(), SPEC, False),
        swallow(lambda: HostDict(value_spec=SPEC).custom_apply(KeyPath(), n.Dict([("z", n.Str())]), False)),
    ],
)
def test_no_block_growth(make):
    assert block_growth(leak_round(make), 10_000) < 100


SPEC = spec_ab()
