"""The read cores of SymDict that topology walks: the bound schema, schema
order and the raw item snapshot."""

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

norv_host.install()
probe = n._testing
HostDict, Field = hs.HostDict, n.Field


def stored(*keys, **spec):
    d = HostDict()
    for k in keys:
        dict.__setitem__(d, k, f"v{k}")
    if "spec" in spec:
        d._value_spec = spec["spec"]
    return d


def schema(*fields, nonconst=False):
    return n.Schema(list(fields), allow_nonconst_keys=nonconst)


B_A_WILD = [Field("b", n.Any()), Field("a", n.Any()), Field(n.StrKey(), n.Any())]


def test_schema_of():
    s = schema(Field("a", n.Int()))
    assert probe.schema_of(stored()) is None
    assert probe.schema_of(stored(spec=n.Dict())) is None
    assert probe.schema_of(stored(spec=n.Dict(s))) is s


@pytest.mark.parametrize(
    "spec, exc",
    [(42, AttributeError), (type("Spec", (), {"schema": property(lambda s: 1 / 0)})(), ZeroDivisionError)],
)
def test_schema_of_propagates_the_read_error(spec, exc):
    with pytest.raises(exc):
        probe.schema_of(stored(spec=spec))


@pytest.mark.parametrize(
    "fields, keys, expected",
    [
        (B_A_WILD, ["a", "x", "b"], ["b", "a", "x"]),
        ([Field("b", n.Any()), Field("a", n.Any())], ["a"], ["a"]),  # a constant key not stored is not listed
        (B_A_WILD, ["x", "y"], ["x", "y"]),  # keys only a StrKey matches keep storage order
        ([Field("c", n.Any()), Field("a", n.Any())], ["a", "c"], ["c", "a"]),
        ([], [], []),
    ],
)
def test_schema_order(fields, keys, expected):
    s = schema(*fields, nonconst=any(not isinstance(f.key, n.ConstStrKey) for f in fields))
    d = stored(*keys, spec=n.Dict(s))
    assert probe.schema_ordered_keys(d, s) == expected
    assert probe.sym_items(d) == [(k, f"v{k}") for k in expected]


@pytest.mark.parametrize("spec", [None, n.Dict()])
def test_schemaless_items_keep_storage_order(spec):
    d = stored("a", "x", "b")
    d._value_spec = spec
    assert probe.sym_items(d) == [("a", "va"), ("x", "vx"), ("b", "vb")]


def test_items_are_raw_and_a_snapshot():
    member = hs.Inferred(5)
    d = stored("a")
    dict.__setitem__(d, "i", member)
    items = probe.sym_items(d)
    dict.__setitem__(d, "later", 1)
    assert items == [("a", "va"), ("i", member)] and ("infer", member) not in hs.calls


class HostSchema:
    """A schema reached only through `keys()`."""

    def __init__(self, keys):
        self._keys = keys

    def keys(self):
        return self._keys() if callable(self._keys) else self._keys


def test_a_host_schema_is_read_through_its_keys():
    d = stored("a", "b")
    assert probe.schema_ordered_keys(d, HostSchema([n.ConstStrKey("b"), "a", 3])) == ["b", "a"]
    with pytest.raises(TypeError):
        probe.schema_ordered_keys(d, HostSchema(5))

    def failing():
        yield n.ConstStrKey("a")
        raise LookupError("keys")

    with pytest.raises(LookupError):
        probe.schema_ordered_keys(d, HostSchema(failing))


def test_a_listed_key_that_host_code_removed_is_an_internal_fault():
    d = stored("a", "b")

    def removing():
        yield n.ConstStrKey("a")
        dict.__delitem__(d, "a")

    d._value_spec = type("Spec", (), {"schema": HostSchema(removing)})()
    with pytest.raises(norv_core.PanicException, match="^schema key present$"):
        probe.sym_items(d)


def test_path_arg():
    d = HostDict.__new__(HostDict)
    assert probe.path_arg(d) is None
    d._sym_path = n.KeyPath("p")
    assert probe.path_arg(d) is d._sym_path
