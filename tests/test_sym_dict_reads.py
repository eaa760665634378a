"""The reads of SymDict: the resolving item and attribute reads and `get`,
the raw member reads and tests, the snapshot listings in schema order, and
the cores that topology walks (the bound schema, schema order)."""

import inspect

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from collector import TOUCH_ALL
from host_calls import calls, fresh_host, leak_round  # noqa: F401 (a fixture)
from leakcheck import block_growth, swallow

norv_host.install()
pytestmark = pytest.mark.usefixtures("fresh_host")
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


@pytest.mark.parametrize(
    "read", [probe.sym_items, lambda d: d.sym_items(), lambda d: d.sym_values()], ids=["core", "items", "values"]
)
def test_a_listed_key_that_host_code_removed_is_an_internal_fault(read):
    d = stored("a", "b")

    def removing():
        yield n.ConstStrKey("a")
        dict.__delitem__(d, "a")

    d._value_spec = type("Spec", (), {"schema": HostSchema(removing)})()
    with pytest.raises(norv_core.PanicException, match="^schema key present$"):
        read(d)
    # keys alone read no value: the listing is what schema order made of the dict as it changed
    dict.__setitem__(d, "a", 1)
    assert list(d.sym_keys()) == ["a"]


def test_path_arg():
    d = HostDict.__new__(HostDict)
    assert probe.path_arg(d) is None
    d._sym_path = n.KeyPath("p")
    assert probe.path_arg(d) is d._sym_path


# ---------------------------------------------------------------- resolving and raw reads


class Failing:
    """An inferential member whose `infer()` raises."""

    def __init__(self, exc):
        self.exc = exc

    def infer(self):
        hs.calls.append(("infer", self))
        raise type(self.exc)(*self.exc.args)  # a fresh one: a raise extends the traceback it carries


class Inferable:
    """Not inferential: `infer` lives on the instance, and the test asks the type."""

    def __init__(self):
        self.infer = lambda: 1 / 0


def with_members(**members):
    d = HostDict()
    for k, v in members.items():
        dict.__setitem__(d, k, v)
    return d


INFERRED = hs.Inferred(5)
PLAIN = [1, 2]
INSTANCE_INFER = Inferable()

# (member, what a resolving read returns)
RESOLVED = [
    (1, 1),
    (None, None),
    (PLAIN, PLAIN),
    (INFERRED, 5),
    (INSTANCE_INFER, INSTANCE_INFER),
    (hs.MISSING_VALUE, hs.MISSING_VALUE),
]


@pytest.mark.parametrize("member, expected", RESOLVED)
@pytest.mark.parametrize(
    "read",
    [lambda d: d["m"], lambda d: d.m, lambda d: d.get("m"), lambda d: d.get("m", 0), lambda d: n.SymDict.__getitem__(d, "m")],
)
def test_resolving_reads(member, expected, read):
    d = with_members(m=member)
    assert read(d) is expected
    assert dict.__getitem__(d, "m") is member  # the stored member stays
    assert calls("infer") == ([(member,)] if member is INFERRED else [])


@pytest.mark.parametrize("member, _", RESOLVED)
@pytest.mark.parametrize(
    "read",
    [
        lambda d: d._sym_getattr("m"),
        lambda d: d._sym_getattr(key="m"),
        lambda d: list(d.sym_values())[0],
        lambda d: list(d.sym_items())[0][1],
        lambda d: list(dict.values(d))[0],
        lambda d: list(d.values())[0],
        lambda d: dict.__getitem__(d, "m"),
        lambda d: next(iter(d.items()))[1],
    ],
)
def test_raw_reads(member, _, read):
    d = with_members(m=member)
    assert read(d) is member and calls("infer") == []


class SubAttributeError(AttributeError):
    pass


ITEM, ATTRIBUTE, GET = (lambda d: d["m"]), (lambda d: d.m), (lambda d: d.get("m", "default"))


@pytest.mark.parametrize(
    "exc, read, expected",
    [
        # the item read turns an AttributeError of infer() into KeyError(key); get gives the default
        (AttributeError("gone"), ITEM, (KeyError, "'m'")),
        (AttributeError("gone"), ATTRIBUTE, (AttributeError, "gone")),
        (AttributeError("gone"), GET, "default"),
        (SubAttributeError("sub"), ITEM, (KeyError, "'m'")),
        (SubAttributeError("sub"), ATTRIBUTE, (SubAttributeError, "sub")),
        (SubAttributeError("sub"), GET, "default"),
        (ValueError("bad"), ITEM, (ValueError, "bad")),
        (ValueError("bad"), ATTRIBUTE, (ValueError, "bad")),
        (ValueError("bad"), GET, (ValueError, "bad")),
        (KeyboardInterrupt("stop"), ITEM, (KeyboardInterrupt, "stop")),
        (KeyboardInterrupt("stop"), GET, (KeyboardInterrupt, "stop")),
    ],
)
def test_what_an_error_of_infer_becomes(exc, read, expected):
    d = with_members(m=Failing(exc))
    try:
        got = read(d)
    except BaseException as e:  # noqa: BLE001 (KeyboardInterrupt is a case)
        got = (type(e), str(e))
    assert got == expected
    assert len(calls("infer")) == 1


def test_the_key_error_of_an_item_read_carries_the_key_itself():
    d = with_members(m=Failing(AttributeError("x")))
    with pytest.raises(KeyError) as e:
        d["m"]
    assert e.value.args == ("m",) and e.value.__context__ is None
    for key in [(1, 2), (), 7]:
        with pytest.raises(KeyError) as e:
            d[key]
        assert e.value.args == (key,)


@pytest.mark.parametrize(
    "read, exc",
    [
        (lambda d: d[[1]], TypeError),
        (lambda d: d.get([1]), TypeError),
        (lambda d: d.get({}, 1), TypeError),
        (lambda d: d._sym_getattr([1]), TypeError),
        (lambda d: d.sym_hasattr([1]), TypeError),
        (lambda d: d[Hostile()], LookupError),
        (lambda d: d.get(Hostile()), LookupError),
    ],
)
def test_a_lookup_error_propagates(read, exc):
    d = with_members(m=1)
    dict.__setitem__(d, Hostile.twin, 2)
    with pytest.raises(exc):
        read(d)


class Hostile:
    """A key whose comparison with its stored twin raises."""

    def __hash__(self):
        return 99

    def __eq__(self, other):
        raise LookupError("eq")


class _Twin:
    def __hash__(self):
        return 99


Hostile.twin = _Twin()


@pytest.mark.parametrize(
    "read, expected",
    [
        (lambda d: d.get("absent"), None),
        (lambda d: d.get("absent", None), None),
        (lambda d: d.get("absent", 3), 3),
        (lambda d: d.get(key="absent", default=INFERRED), INFERRED),  # a default is never resolved
        (lambda d: d.get("m", default=0), 1),
        (lambda d: d.sym_hasattr("m"), True),
        (lambda d: d.sym_hasattr(key="absent"), False),
        (lambda d: d.sym_hasattr(1), False),
    ],
)
def test_get_and_sym_hasattr(read, expected):
    d = with_members(m=1)
    assert read(d) is expected and calls("infer") == []


@pytest.mark.parametrize("key", ["absent", (1,), 0])
def test_sym_getattr_of_an_absent_key(key):
    with pytest.raises(KeyError) as e:
        with_members(m=1)._sym_getattr(key)
    assert e.value.args == (key,)


@pytest.mark.parametrize(
    "call, match",
    [
        (lambda d: d.get(), r"get\(\) missing 1 required positional argument: 'key'"),
        (lambda d: d.get(1, 2, 3), r"get\(\) takes from 2 to 3 positional arguments but 4 were given"),
        (lambda d: d.get(1, dflt=2), r"get\(\) got an unexpected keyword argument 'dflt'"),
        (lambda d: d._sym_getattr(), r"_sym_getattr\(\) missing 1 required positional argument: 'key'"),
        (lambda d: d.sym_hasattr(1, 2), r"sym_hasattr\(\) takes 2 positional arguments but 3 were given"),
        (lambda d: d.sym_keys(1), r"takes no arguments \(1 given\)"),
        (lambda d: d.sym_values(x=1), r"takes no keyword arguments"),
    ],
)
def test_argument_errors(call, match):
    with pytest.raises(TypeError, match=match):
        call(HostDict())


# ---------------------------------------------------------------- the attribute read


class WithProperties(HostDict):
    @property
    def gone(self):
        raise AttributeError("from the getter")

    @property
    def broken(self):
        raise ValueError("from the getter")

    @property
    def fine(self):
        return "property"


def test_type_attributes_win_over_stored_keys():
    d = with_members(items="member", get="member", _sealed="member")
    assert d.items == d.items and callable(d.items) and d["items"] == "member"
    assert callable(d.get) and d._sealed is False


def test_the_instance_dict_wins_over_stored_keys():
    d = with_members(a="member")
    d.__dict__["a"] = "instance"
    assert d.a == "instance" and d["a"] == "member"


@pytest.mark.parametrize(
    "name, expected",
    [("gone", "member gone"), ("fine", "property"), ("other", "member other")],
)
def test_a_property_whose_getter_raises_attribute_error_falls_through(name, expected):
    d = WithProperties()
    for k in ("gone", "fine", "other", "broken"):
        dict.__setitem__(d, k, f"member {k}")
    assert getattr(d, name) == expected


def test_other_errors_of_the_generic_lookup_propagate():
    d = WithProperties()
    dict.__setitem__(d, "broken", "member")
    with pytest.raises(ValueError, match="from the getter"):
        d.broken
    with pytest.raises(AttributeError, match="^Attribute 'gone' does not exist in"):
        WithProperties().gone  # not stored either: the getter's error was discarded
    with pytest.raises(TypeError, match="attribute name must be string"):
        getattr(d, 1)


@pytest.mark.parametrize("cls", [HostDict, WithProperties, n.SymDict])
def test_an_attribute_neither_type_nor_member(cls):
    d = cls()
    with pytest.raises(AttributeError) as e:
        d.zz
    assert str(e.value) == f"Attribute 'zz' does not exist in {cls!r}."
    assert not hasattr(d, "zz") and getattr(d, "zz", 7) == 7


def test_the_message_takes_the_repr_of_the_type():
    class Meta(type):
        def __repr__(cls):
            return "<a host dict class>"

    class Odd(HostDict, metaclass=Meta):
        pass

    with pytest.raises(AttributeError, match="^Attribute 'zz' does not exist in <a host dict class>.$"):
        Odd().zz

    class Failing(type):
        def __repr__(cls):
            raise LookupError("repr")

    class Worse(HostDict, metaclass=Failing):
        pass

    with pytest.raises(LookupError, match="repr"):
        Worse().zz


def test_a_subclass_getattr_hook_still_reaches_the_members():
    class Hooked(HostDict):
        def __getattr__(self, name):
            return f"hook {name}"

    d = Hooked()
    dict.__setitem__(d, "a", INFERRED)
    assert d.a == 5  # SymDict's own attribute read answers first
    assert d.zz == "hook zz"


# ---------------------------------------------------------------- listings


B_A = [Field("b", n.Any()), Field("a", n.Any())]


@pytest.mark.parametrize(
    "spec, keys, expected",
    [
        (n.Dict(schema(*B_A)), ["a", "x", "b"], ["b", "a", "x"]),
        (None, ["a", "x", "b"], ["a", "x", "b"]),
        (n.Dict(), ["a", "x", "b"], ["a", "x", "b"]),  # a spec without schema lists in storage order
        (n.Dict(schema(*B_A)), ["a"], ["a"]),  # a constant key not stored is not listed
        (n.Dict(schema(*B_A_WILD, nonconst=True)), ["y", "a", "x", "b"], ["b", "a", "y", "x"]),
        (n.Dict(schema(*B_A)), [], []),
        (None, [], []),
    ],
)
def test_listings(spec, keys, expected):
    d = stored(*keys)
    d._value_spec = spec
    assert list(d.sym_keys()) == expected
    assert list(d.sym_values()) == [f"v{k}" for k in expected]
    assert list(d.sym_items()) == [(k, f"v{k}") for k in expected]


def test_host_code_walking_the_collector_meets_no_half_built_listing(run_py):
    # A stored key's own hash runs host code while the listing is filled.
    out = run_py(
        TOUCH_ALL
        + """
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs
norv_host.install()

class Key(str):
    def __hash__(self):
        touch_all()
        return str.__hash__(self)

    __eq__ = str.__eq__

fields = [n.Field("b", n.Any()), n.Field("a", n.Any()), n.Field(n.StrKey(), n.Any())]
d = hs.HostDict()
for k in ("y", "a", "b", "x"):
    dict.__setitem__(d, Key(k), "v" + k)
d._value_spec = n.Dict(n.Schema(fields, allow_nonconst_keys=True))
print(list(d.sym_values()))
print(list(d.sym_items()))
"""
    )
    assert out.splitlines() == [
        "['vb', 'va', 'vy', 'vx']",
        "[('b', 'vb'), ('a', 'va'), ('y', 'vy'), ('x', 'vx')]",
    ]


def test_schema_order_follows_fields_edited_in_place():
    s = schema(*B_A)
    d = stored("a", "x", "c", "b", spec=n.Dict(s))
    assert list(d.sym_keys()) == ["b", "a", "x", "c"]
    s.fields[n.ConstStrKey("c")] = Field("c", n.Any())  # the live dict, caches not recomputed
    assert list(d.sym_keys()) == ["b", "a", "c", "x"]
    del s.fields[n.ConstStrKey("a")]
    assert list(d.sym_items()) == [("b", "vb"), ("c", "vc"), ("a", "va"), ("x", "vx")]


@pytest.mark.parametrize("listing", ["sym_keys", "sym_values", "sym_items"])
@pytest.mark.parametrize("spec", [None, n.Dict(schema(*B_A))])
def test_listings_are_snapshots(listing, spec):
    d = stored("a", "b")
    d._value_spec = spec
    it = getattr(d, listing)()
    assert type(it).__name__ == "list_iterator"
    dict.__setitem__(d, "later", 1)
    dict.__delitem__(d, "a")
    assert len(list(it)) == 2  # as the dict was when the listing was taken, no size-change error


@pytest.mark.parametrize(
    "read, reads_the_spec",
    [
        (lambda d: d.sym_keys(), True),
        (lambda d: d.sym_values(), True),
        (lambda d: d.sym_items(), True),
        (lambda d: d["a"], False),
        (lambda d: d.a, False),
        (lambda d: d.get("a"), False),
        (lambda d: d._sym_getattr("a"), False),
        (lambda d: d.sym_hasattr("a"), False),
    ],
)
def test_reads_under_a_native_hold(read, reads_the_spec):
    d = stored("a", spec=n.Dict(schema(*B_A)))
    probe.holding(d, False, lambda: read(d))  # a shared hold is no conflict
    if reads_the_spec:
        with pytest.raises(norv_core.PanicException, match="^Already mutably borrowed"):
            probe.holding(d, True, lambda: read(d))
    else:  # the members are read from the storage alone
        probe.holding(d, True, lambda: read(d))


def test_signatures():
    expected = {
        "get": "(self, /, key, default=None)",
        "_sym_getattr": "(self, /, key)",
        "sym_hasattr": "(self, /, key)",
        "sym_keys": "(self, /)",
        "sym_values": "(self, /)",
        "sym_items": "(self, /)",
    }
    assert {name: str(inspect.signature(getattr(n.SymDict, name))) for name in expected} == expected
    assert n.SymDict.__getitem__.__objclass__ is n.SymDict
    assert n.SymDict.__getattribute__.__objclass__ is n.SymDict


# ---------------------------------------------------------------- no growth


def test_reads_leave_no_growth():
    d = stored("a", "x", "b", spec=n.Dict(schema(*B_A)))
    dict.__setitem__(d, "i", hs.Inferred(5))
    dict.__setitem__(d, "f", Failing(AttributeError("x")))
    rounds = [
        lambda: d["a"],
        lambda: d["i"],
        lambda: d.a,
        lambda: d.i,
        lambda: d.get("i"),
        lambda: d.get("f", 1),
        lambda: d.get("absent"),
        lambda: d._sym_getattr("i"),
        lambda: d.sym_hasattr("a"),
        lambda: list(d.sym_keys()),
        lambda: list(d.sym_values()),
        lambda: list(d.sym_items()),
        swallow(lambda: d["f"], KeyError),
        swallow(lambda: d["absent"], KeyError),
        swallow(lambda: d.absent, AttributeError),
        swallow(lambda: d._sym_getattr("absent"), KeyError),
    ]
    growth = [block_growth(leak_round(read), rounds=10_000) for read in rounds]
    assert all(g < 100 for g in growth), growth
