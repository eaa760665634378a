"""The to-JSON walk: wire primitives, objects, records, symbolic dicts and
lists in schema or storage order, and the decline of any tree holding a node
the walk does not own."""

import enum
import textwrap

import pytest

import norv_host
from norv_core import PanicException
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import records as hr
from norv_host import symbolic as hs

from collector import TOUCH_ALL
from host_calls import clean_records  # noqa: F401 (a fixture)
from leakcheck import block_growth, refcount_delta, swallow
from small_stack import in_small_thread

norv_host.install()
pytestmark = pytest.mark.usefixtures("clean_records")
walk = n._native_to_json_walk
HostDict, HostList, Field = hs.HostDict, hs.HostList, n.Field
MISSING = ho.MISSING_VALUE
VIEW = 6


def sym_dict(items=(), spec=None):
    """A HostDict holding `items` as stored (no validation), bound to `spec`."""
    d = HostDict()
    for k, v in dict(items).items():
        dict.__setitem__(d, k, v)
    if spec is not None:
        d._value_spec = spec
    return d


def sym_list(*items):
    lst = HostList()
    for v in items:
        list.append(lst, v)
    return lst


class C(ho.HostObject):
    x: int
    s: str = "a"


class Custom(ho.HostObject):
    x: int = 0

    def sym_jsonify(self, **kwargs):
        return "custom"


class Flag(enum.IntEnum):
    ONE = 1


# ---- primitives and plain values ---------------------------------------------------------------


@pytest.mark.parametrize("value", [1, 2**100, "text", "", True, False, 1.5, float("nan")])
def test_a_wire_primitive_is_the_same_object(value):
    assert walk(value) is value


def test_none_walks_to_none():
    assert walk(None) is None
    assert walk(value=None) is None


@pytest.mark.parametrize(
    "value",
    [[], [1], {}, {"a": 1}, (), (1,), b"x", Flag.ONE, n.KeyPath("a"), MISSING, hs.Inferred(1), object(), 1j],
    ids=repr,
)
def test_a_node_the_walk_does_not_own_declines(value):
    assert walk(value) is None


@pytest.mark.parametrize(
    "where",
    [
        lambda v: sym_list(1, v),
        lambda v: sym_dict({"a": v}),
        lambda v: sym_dict({"a": sym_list(sym_dict({"b": v}))}),
    ],
)
@pytest.mark.parametrize("inner", [[1], {"a": 1}, (1,), b"x", MISSING, hs.Inferred(1)], ids=repr)
def test_a_foreign_node_anywhere_inside_declines(where, inner):
    assert walk(where(inner)) is None


@pytest.mark.parametrize("inner", [[1], {"a": 1}, (1,), hs.Inferred(1)], ids=repr)
def test_a_foreign_node_in_an_object_field_declines(inner):
    c = C(x=1)
    c.field_dict()["s"] = inner
    assert walk(c) is None
    assert walk(sym_list(1, sym_dict({"c": c}))) is None


# ---- symbolic lists and dicts ------------------------------------------------------------------


def test_a_list_gives_a_new_plain_list_of_the_same_objects():
    items = (1, "text", None)
    lst = sym_list(*items)
    out = walk(lst)
    assert type(out) is list and out is not lst
    assert out == list(items) and all(a is b for a, b in zip(out, items))
    assert walk(sym_list()) == [] and type(walk(sym_list())) is list


def test_a_schemaless_dict_keeps_its_key_objects_in_storage_order():
    key = 10**20
    d = sym_dict({"z": 1, key: "i", "a": None})
    out = walk(d)
    assert type(out) is dict and out is not d
    assert list(out) == ["z", key, "a"] and next(k for k in out if k == key) is key
    assert out == {"z": 1, key: "i", "a": None}


def test_a_schemaless_dict_holding_the_missing_value_declines():
    assert walk(sym_dict({"a": MISSING})) is None
    assert walk(sym_dict({"a": 1}, spec=n.Dict())) == {"a": 1}


def test_nested_containers():
    tree = sym_dict({"a": sym_list(1, sym_dict({"b": sym_list()}), sym_list(2.5)), "c": "x"})
    assert walk(tree) == {"a": [1, {"b": []}, [2.5]], "c": "x"}


def test_the_walk_changes_nothing():
    inner = sym_list(1, 2)
    tree = sym_dict({"a": inner, "b": C(x=1)})
    before = (dict(tree), list(inner), dict(tree["b"].field_dict()))
    walk(tree)
    assert (dict(tree), list(inner), dict(tree["b"].field_dict())) == before


# ---- objects -----------------------------------------------------------------------------------


def test_an_object_is_type_then_its_fields():
    out = walk(C(x=1, s="s"))
    assert out == {"_type": C.__serialization_key__, "x": 1, "s": "s"}
    assert list(out) == ["_type", "x", "s"]


def test_the_type_value_is_the_class_serialization_key_itself():
    key = ("not", "a", "str")

    class Keyed(ho.HostObject):
        x: int

    Keyed.__serialization_key__ = key
    out = walk(Keyed(x=1))
    assert next(iter(out)) == "_type" and out["_type"] is key


def test_objects_nest_in_every_container():
    tree = sym_list(C(x=1), sym_dict({"c": C(x=2, s="b")}))
    key = C.__serialization_key__
    assert walk(tree) == [
        {"_type": key, "x": 1, "s": "a"},
        {"c": {"_type": key, "x": 2, "s": "b"}},
    ]


def test_a_customised_class_declines_and_so_does_every_tree_holding_it():
    assert walk(Custom()) is None
    assert walk(sym_list(C(x=1), Custom())) is None


@pytest.mark.parametrize("mode, outcome", [(False, None), (True, "walked")])
def test_sym_mode_decides(mode, outcome):
    class Modal(ho.HostObject):
        x: int = 0
        sym_mode = mode

    out = walk(Modal())
    assert (out is None) == (outcome is None)


@pytest.mark.parametrize("mode", [1, 0, None, "yes"])
def test_a_sym_mode_that_is_no_bool_raises(mode):
    class Odd(ho.HostObject):
        x: int = 0
        sym_mode = mode

    with pytest.raises(TypeError, match="is not an instance of 'bool'"):
        walk(sym_list(Odd()))


def test_a_blank_object_raises_what_its_attribute_view_raises():
    blank = C.__new__(C)
    with pytest.raises(AttributeError, match="'C' object has no attribute '_sym_attributes'"):
        walk(blank)


def test_an_object_without_field_dict_serialises_its_attribute_view():
    class Viewed(ho.HostObject):
        x: int = 0

        @property
        def _sym_attributes(self):
            return sym_dict({"y": 1, "x": 2}, spec=n.Dict(n.Schema([Field("x", n.Int()), Field("y", n.Int())])))

    out = walk(Viewed.__new__(Viewed))
    assert list(out.items()) == [("_type", Viewed.__serialization_key__), ("x", 2), ("y", 1)]


@pytest.mark.parametrize("view", [{"x": 1}, 5, None])
def test_an_attribute_view_that_is_no_symdict_is_a_type_error(view):
    class Viewed(ho.HostObject):
        x: int = 0
        _sym_attributes = view

    with pytest.raises(TypeError, match=r"is not an instance of 'SymDict'"):
        walk(Viewed.__new__(Viewed))


class Raising:
    def __get__(self, obj, owner):
        raise LookupError("unreadable")


@pytest.mark.parametrize("name", ["sym_mode", "sym_jsonify", "__serialization_key__", "__schema__"])
def test_errors_of_the_class_reads_propagate(name):
    class Failing(ho.HostObject):
        x: int = 0

    obj = Failing()
    setattr(Failing, name, Raising())
    with pytest.raises(LookupError, match="unreadable"):
        walk(sym_dict({"a": obj}))


def test_an_object_without_schema_is_emitted_in_storage_order():
    class Loose(ho.HostObject):
        b: int = 1
        a: int = 2

    obj = Loose()
    Loose.__schema__ = None
    assert list(walk(obj)) == ["_type", "b", "a"]


def test_a_field_named_type_replaces_the_first_entry_in_place():
    rec = blank(record({"x": int}))
    rec.x = 1
    n._slot_node_set(rec, VIEW, sym_dict({"x": 1, "_type": "field"}))
    assert list(walk(rec).items()) == [("_type", "field"), ("x", 1)]


def test_an_object_cycle_through_a_field_declines():
    obj = C(x=1)
    obj.field_dict()["s"] = obj
    assert walk(obj) is None


# ---- class reads ------------------------------------------------------------------------------


def test_a_class_changed_during_the_walk_is_read_anew():
    calls = []

    class Changing(ho.HostObject):
        x: int = 0

        @property
        def sym_mode(self):
            calls.append(self)
            if len(calls) == 2:
                Changing.__serialization_key__ = "new"
                Changing.__schema__ = schema(*fields("x"))
            return True

    Changing.__serialization_key__ = "old"
    out = walk(sym_list(Changing(), Changing(), Changing()))
    assert [o["_type"] for o in out] == ["old", "new", "new"]


def test_descriptors_and_metaclass_attributes_are_read_for_every_object():
    reads = []

    class Meta(type):
        @property
        def __serialization_key__(cls):
            reads.append("key")
            return f"key{len(reads)}"

        @__serialization_key__.setter
        def __serialization_key__(cls, value):
            pass  # a data descriptor of the metaclass wins over the class's own

    class Counted:
        def __get__(self, obj, owner):
            reads.append("schema")
            return None

    class Described(ho.HostObject, metaclass=Meta):
        x: int = 0

    Described.__schema__ = Counted()
    tree = sym_list(Described(), Described())
    reads.clear()
    out = walk(tree)
    assert [o["_type"] for o in out] == ["key1", "key3"]
    assert reads == ["key", "schema", "key", "schema"]


def test_a_class_given_infer_later_in_the_walk_declines():
    class Late(ho.HostObject):
        x: int = 0

        @property
        def sym_mode(self):
            Late.infer = lambda self: 1
            return True

    assert walk(sym_list(Late(), Late())) is None


# ---- the schema-ordered fill -------------------------------------------------------------------


def schema(*fields, nonconst=False):
    return n.Schema(list(fields), allow_nonconst_keys=nonconst)


def fields(*names, frozen=(), wildcard=None, spec=n.Any):
    out = []
    for name in names:
        if name == "*":
            f = Field(n.StrKey(), (n.Any().freeze(0) if wildcard == "frozen" else n.Any()))
        else:
            f = Field(name, spec().freeze(0) if name in frozen else spec())
        out.append(f)
    return out


def ordered(fill_schema, stored):
    out = walk(sym_dict(stored, spec=n.Dict(fill_schema)))
    return None if out is None else list(out.items())


@pytest.mark.parametrize(
    "declared, stored, expected",
    [
        # all constant keys: declaration order; stored keys that are no field are dropped
        (["b", "a"], {"a": 1, "b": 2}, [("b", 2), ("a", 1)]),
        (["b", "a"], {"a": 1, "x": 3}, [("a", 1)]),
        (["b", "a"], {"a": MISSING, "b": 2}, [("b", 2)]),
        ([], {"x": 1}, []),
        # constant and wildcard keys: the other keys take the wildcard's place
        (["a", "*", "z"], {"z": 1, "x": 2, "a": 3, "y": 4}, [("a", 3), ("x", 2), ("y", 4), ("z", 1)]),
        (["*", "a"], {"x": 1, "a": 2}, [("x", 1), ("a", 2)]),
        (["a", "*"], {"x": 1, "a": 2, "y": MISSING}, [("a", 2), ("x", 1)]),
        (["a", "*", "z"], {"a": MISSING, "q": 1}, [("q", 1)]),
        # a wildcard only: storage order, missing values left out
        (["*"], {"z": 1, "a": MISSING, "b": 2}, [("z", 1), ("b", 2)]),
    ],
)
def test_schema_order(declared, stored, expected):
    nonconst = "*" in declared
    assert ordered(schema(*fields(*declared), nonconst=nonconst), stored) == expected


def test_frozen_fields_are_left_out():
    s = schema(*fields("a", "b", "c", frozen={"b"}))
    assert ordered(s, {"c": 3, "b": 2, "a": 1}) == [("a", 1), ("c", 3)]
    s = schema(*fields("a", "*", "z", frozen={"z"}), nonconst=True)
    assert ordered(s, {"z": 1, "x": 2, "a": 3}) == [("a", 3), ("x", 2)]


def test_a_frozen_wildcard_leaves_the_residue_out_or_declines_alone():
    mixed = schema(*fields("a", "*", wildcard="frozen"), nonconst=True)
    assert ordered(mixed, {"x": 1, "a": 2}) == [("a", 2)]
    alone = schema(*fields("*", wildcard="frozen"), nonconst=True)
    assert ordered(alone, {"x": 1}) is None


def test_frozen_native_specs_are_read_from_their_state():
    spec = n.Int()
    s = schema(Field("a", spec), Field("b", n.Int()))
    d = sym_dict({"a": 1, "b": 2}, spec=n.Dict(s))
    assert list(walk(d)) == ["a", "b"]
    spec.freeze(0)
    assert list(walk(d)) == ["b"]


@pytest.mark.parametrize(
    "make_schema, stored",
    [
        # two wildcards and no constant key
        (lambda: schema(Field(n.StrKey(), n.Any()), Field(n.StrKey(regex="x.*"), n.Any()), nonconst=True), {"x": 1}),
        # a mixed schema whose wildcard has a regex: no open plan
        (lambda: schema(Field("a", n.Any()), Field(n.StrKey(regex="x.*"), n.Any()), nonconst=True), {"x": 1}),
        # a mixed schema storing a key that is no str
        (lambda: schema(*fields("a", "*"), nonconst=True), {"a": 1, 3: 4}),
    ],
)
def test_shapes_the_fill_cannot_order_decline(make_schema, stored):
    assert ordered(make_schema(), stored) is None


class HostSchema:
    """A schema of the host's own: read through its attributes only."""

    def __init__(self, caf, nonconst=False):
        self._const_apply_fields = caf
        self._has_nonconst_keys = nonconst


def walk_with(host_schema, stored):
    d = sym_dict(stored)
    d._value_spec = type("Spec", (), {"schema": host_schema})()
    return walk(d)


def test_a_host_schema_of_constant_keys_orders_by_its_entries():
    frozen = n.Int().freeze(0)
    caf = [("b", None, n.Int()), ("a", None, n.Int()), ("f", None, frozen)]
    assert list(walk_with(HostSchema(caf), {"a": 1, "f": 0, "b": 2, "x": 3}).items()) == [("b", 2), ("a", 1)]
    # any iterable of tuples, tuple subclasses included
    entries = iter([type("T", (tuple,), {})(("a", None, n.Int()))])
    assert walk_with(HostSchema(entries), {"a": 1}) == {"a": 1}


@pytest.mark.parametrize(
    "host_schema, error",
    [
        (HostSchema(None), None),  # no entries and no wildcard: declines
        (HostSchema([("a", None, n.Int())], nonconst=True), None),  # wildcards need the native plan
        (HostSchema([("a", None, n.Int())], nonconst=1), (TypeError, "is not an instance of 'bool'")),
        (HostSchema([["a", None, n.Int()]]), (TypeError, "'list' object is not an instance of 'tuple'")),
        (HostSchema([("a", None)]), (IndexError, "tuple index out of range")),
        (HostSchema(5), (TypeError, "not iterable")),
        (HostSchema([({}, None, n.Int())]), (TypeError, "unhashable")),
        (HostSchema([("a", None, type("S", (), {"frozen": Raising()})())]), (LookupError, "unreadable")),
    ],
)
def test_host_schema_declines_and_errors(host_schema, error):
    if error is None:
        assert walk_with(host_schema, {"a": 1}) is None
    else:
        with pytest.raises(error[0], match=error[1]):
            walk_with(host_schema, {"a": 1})


def test_a_schema_without_readable_caches_raises():
    class Broken:
        _const_apply_fields = Raising()

    with pytest.raises(LookupError):
        walk_with(Broken(), {})


def test_an_object_is_emitted_in_its_class_schema_order():
    class Rev(ho.HostObject):
        a: int = 1
        b: int = 2

    obj = Rev()
    Rev.__schema__ = schema(*fields("b", "a"))
    assert list(walk(obj)) == ["_type", "b", "a"]


def test_the_open_branch_holds_the_schema_for_reading():
    s = schema(*fields("a", "*"), nonconst=True)

    class Extending(ho.HostObject):
        x: int = 0

        @property
        def sym_mode(self):
            s._recompute_caches()
            return True

    with pytest.raises(RuntimeError, match="Already borrowed"):
        walk(sym_dict({"a": Extending()}, spec=n.Dict(s)))
    assert walk(sym_dict({"a": Extending()}, spec=n.Dict(schema(*fields("a"))))) is not None


# ---- records -----------------------------------------------------------------------------------


def record(declared, **kw):
    return hr.record_class("R", declared, **kw)


def blank(cls):
    """An allocated record whose construction never ran."""
    return cls.__new__(cls)


def test_a_raw_record_serialises_its_cells_with_its_class_schema():
    R = record({"x": int, "s": str})
    rec = R.__new__(R)
    rec.x = 1
    assert list(walk(rec).items()) == [("_type", R.__serialization_key__), ("x", 1), ("s", None)]
    rec.s = "a"
    assert walk(rec) == {"_type": R.__serialization_key__, "x": 1, "s": "a"}


def test_a_materialised_record_serialises_its_view_with_the_view_schema():
    R = record({"x": int, "s": str})
    rec = R.__new__(R)
    rec.x = 1
    view = sym_dict({"s": "view", "x": 2, "extra": 3}, spec=n.Dict(schema(*fields("s", "x"))))
    n._slot_node_set(rec, VIEW, view)
    assert list(walk(rec).items()) == [("_type", R.__serialization_key__), ("s", "view"), ("x", 2)]
    n._slot_node_set(rec, VIEW)
    assert walk(rec) == {"_type": R.__serialization_key__, "x": 1, "s": None}


def test_the_view_is_read_only_with_the_full_reserved_region():
    R = record({"x": int}, reserved=8)
    rec = R.__new__(R)
    rec.x = 1
    n._slot_node_set(rec, VIEW, sym_dict({"x": 2}))
    assert walk(rec)["x"] == 1
    R.__slot_reserved__ = 9  # the class's word counts, read within the cells the type has
    assert walk(rec)["x"] == 2


@pytest.mark.parametrize("view", [{"x": 2}, 5])
def test_a_view_that_is_no_symdict_is_a_type_error(view):
    rec = blank(record({"x": int}))
    rec.x = 1
    n._slot_node_set(rec, VIEW, view)
    with pytest.raises(TypeError, match="is not an instance of 'SymDict'"):
        walk(rec)


def test_a_blank_record_declines():
    rec = blank(record({"x": int, "s": str}))
    assert walk(rec) is None
    rec.s = "only the second field"
    assert walk(rec) is None


@pytest.mark.parametrize(
    "reserved, allow_partial, outcome",
    [
        (9, None, None),  # never seeded: blank
        (9, False, {}),
        (4, True, {}),
        (0, None, {}),  # no reserved cells: nothing to test
        (2, None, None),  # its root region is too short for the role: counts as blank
    ],
)
def test_the_blank_test_of_a_record_without_fields(reserved, allow_partial, outcome):
    R = record({}, reserved=reserved)
    rec = R.__new__(R)
    if allow_partial is not None:
        n._slot_node_set(rec, 3, allow_partial)
    out = walk(rec)
    assert out == (None if outcome is None else {"_type": R.__serialization_key__, **outcome})


@pytest.mark.parametrize(
    "names, error",
    [
        ("x", (TypeError, "'str' object is not an instance of 'list'")),
        (("x", 1), (TypeError, "'int' object is not an instance of 'str'")),
        (("nope",), (RuntimeError, 'slot record: field "nope" is not in the Record')),
    ],
)
def test_errors_of_the_field_names(names, error):
    R = record({"x": int})
    rec = R.__new__(R)
    rec.x = 1
    R.__slot_field_names__ = names
    with pytest.raises(error[0], match=error[1]):
        walk(rec)


def test_record_class_reads_and_their_errors():
    R = record({"x": int})
    rec = R.__new__(R)
    rec.x = 1
    R.__schema__ = None
    assert walk(rec) == {"_type": R.__serialization_key__, "x": 1}
    R.__sym_options__.sym = False
    assert walk(rec) is None
    R.__sym_options__.sym = True
    R.sym_jsonify = lambda self: None
    assert walk(rec) is None
    del R.sym_jsonify
    R.__serialization_key__ = Raising()
    with pytest.raises(LookupError):
        walk(rec)


@pytest.mark.parametrize("marker, walked", [(True, True), (1, True), (False, False), (0, False), ("", False)])
def test_the_record_marker_is_taken_by_its_truth(marker, walked):
    R = record({"x": int})
    rec = R.__new__(R)
    rec.x = 1
    R.__slot_storage__ = marker
    assert (walk(rec) is not None) == walked


def test_a_marker_whose_truth_raises_propagates():
    class Bad:
        def __bool__(self):
            raise LookupError("no truth")

    R = record({"x": int})
    rec = R.__new__(R)
    rec.x = 1
    R.__slot_storage__ = Bad()
    with pytest.raises(LookupError, match="no truth"):
        walk(rec)


def test_a_foreign_class_carrying_the_record_marker_declines():
    class Foreign:
        __slot_storage__ = True
        __slot_field_names__ = ("x",)
        __slot_reserved__ = 9
        __serialization_key__ = "foreign"
        __schema__ = None
        sym_mode = True
        sym_jsonify = ho.Symbolic.sym_jsonify
        x = 1

    assert walk(Foreign()) is None


# ---- the default sym_jsonify -------------------------------------------------------------------


def test_before_the_default_is_installed_only_objects_decline(run_py):
    out = run_py(
        """
        import norv_host
        from norv_core import _native as n
        from norv_host import objects as ho, symbolic as hs
        norv_host.topology.install_modules(); norv_host.formatting.install()
        norv_host.typing.install(); norv_host.symbolic.install()
        n._install_object_bridge(**ho.HANDLES)
        ho.HostObject._update_schema([])
        class C(ho.HostObject):
            x: int = 1
        d = hs.HostDict(); dict.__setitem__(d, "a", 1)
        print(n._native_to_json_walk(C()), n._native_to_json_walk(d))
        first = ho.Symbolic.sym_jsonify
        print(n._set_default_object_sym_jsonify(first))
        print(n._set_default_object_sym_jsonify(func=lambda self: None))
        print(n._native_to_json_walk(C()))
        """
    )
    assert out.split("\n")[:4] == ["None {'a': 1}", "None", "None", "{'_type': '__main__.C', 'x': 1}"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: walk(), r"_native_to_json_walk\(\) missing 1 required positional argument: 'value'"),
        (lambda: walk(1, 2), "takes 1 positional argument but 2 were given"),
        (lambda: walk(1, x=2), "got an unexpected keyword argument 'x'"),
        (lambda: n._set_default_object_sym_jsonify(), "missing 1 required positional argument: 'func'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


# ---- depth, cycles and changes under the walk --------------------------------------------------


def chain(depth, make=sym_list):
    """`depth` nested symbolic lists, the innermost holding 0."""
    node = make(0)
    for _ in range(depth - 1):
        node = make(node)
    return node


def test_a_chain_within_the_bound_walks_and_one_past_it_declines():
    out = walk(chain(1000))
    for _ in range(999):
        out = out[0]
    assert out == [0]
    assert walk(chain(1001)) is None


@pytest.mark.parametrize("depth", [5000, 100_000])
def test_a_very_deep_tree_declines_without_raising(depth):
    assert walk(chain(depth)) is None
    assert walk(chain(depth, make=lambda v: sym_dict({"a": v}))) is None


def test_a_walk_that_runs_short_of_stack_raises_instead_of_crashing():
    tree = chain(1000)
    result = in_small_thread(lambda: walk(tree))
    assert isinstance(result, RecursionError) and "while walking to JSON" in str(result)
    assert walk(tree) is not None  # the same tree on the main thread's stack


@pytest.mark.parametrize("make", [lambda: sym_list(1), lambda: sym_dict({"a": 1})])
def test_a_cyclic_tree_declines(make):
    node = make()
    if isinstance(node, list):
        list.append(node, node)
    else:
        dict.__setitem__(node, "self", node)
    assert walk(node) is None


def test_a_list_that_shrinks_under_the_walk_is_walked_to_its_new_length():
    lst = sym_list()

    class Shrinking(ho.HostObject):
        x: int = 0

        @property
        def sym_mode(self):
            list.__delitem__(lst, slice(1, None))
            return True

    for v in (Shrinking(), C(x=1), C(x=2)):
        list.append(lst, v)
    assert walk(lst) == [{"_type": Shrinking.__serialization_key__, "x": 0}]


def test_a_list_that_grows_under_the_walk_is_walked_to_its_first_length():
    lst = sym_list()

    class Growing(ho.HostObject):
        x: int = 0

        @property
        def sym_mode(self):
            list.append(lst, 5)
            return True

    list.append(lst, Growing())
    list.append(lst, 1)
    assert walk(lst) == [{"_type": Growing.__serialization_key__, "x": 0}, 1]


def test_a_dict_that_changes_under_the_walk_is_an_internal_fault():
    d = sym_dict()

    class Adding(ho.HostObject):
        x: int = 0

        @property
        def sym_mode(self):
            dict.__setitem__(d, "added", 1)
            return True

    dict.__setitem__(d, "a", Adding())
    dict.__setitem__(d, "b", 2)
    with pytest.raises(PanicException, match="dictionary changed size during iteration"):
        walk(d)


# Each hook runs host code between the elements of the lists being built; a
# hook that also shrinks the outer list cuts its output short.
TOUCHING_HOOKS = {
    "sym_mode": """
        class Node(ho.HostObject):
            x: int = 0
            @property
            def sym_mode(self):
                touch_all()
                return True
        """,
    "__serialization_key__": """
        class Meta(type):
            @property
            def __serialization_key__(cls):
                touch_all()
                return "node"
            @__serialization_key__.setter
            def __serialization_key__(cls, value):
                pass
        class Node(ho.HostObject, metaclass=Meta):
            x: int = 0
        """,
    "__schema__": """
        class Touching:
            def __get__(self, obj, owner):
                touch_all()
                return None
        class Node(ho.HostObject):
            x: int = 0
        Node.__schema__ = Touching()
        """,
    "sym_mode, shrinking": """
        class Node(ho.HostObject):
            x: int = 0
            @property
            def sym_mode(self):
                touch_all()
                if self.x == 2:
                    list.__delitem__(tree, slice(3, None))
                return True
        """,
}


@pytest.mark.parametrize("hook", list(TOUCHING_HOOKS))
def test_host_code_walking_the_collector_meets_no_half_built_list(run_py, hook):
    out = run_py(
        TOUCH_ALL
        + """
import norv_host
from norv_core import _native as n
from norv_host import objects as ho, symbolic as hs
norv_host.install()
"""
        + textwrap.dedent(TOUCHING_HOOKS[hook])
        + """
def sym_list(*items):
    lst = hs.HostList()
    for v in items:
        list.append(lst, v)
    return lst

tree = sym_list(Node(x=1), sym_list(Node(x=2), 5, sym_list(Node(x=3))), "s", Node(x=4), None)
out = n._native_to_json_walk(tree)
key = type(tree[0]).__serialization_key__
print(repr(out).replace(repr(key), "K"))
"""
    )
    inner = "[{'_type': K, 'x': 2}, 5, [{'_type': K, 'x': 3}]]"
    tail = "" if hook.endswith("shrinking") else ", {'_type': K, 'x': 4}, None"
    assert out.strip() == f"[{{'_type': K, 'x': 1}}, {inner}, 's'{tail}]"


# ---- references --------------------------------------------------------------------------------


def sample_tree():
    R = record({"x": int})
    rec = R.__new__(R)
    rec.x = sym_list(1, "a")
    return sym_dict(
        {"c": C(x=1), "l": sym_list(C(x=2), sym_dict({"k": 1.5})), "r": rec},
        spec=n.Dict(schema(*fields("r", "*", "c"), nonconst=True)),
    )


def test_walks_leave_no_references_or_blocks_behind():
    tree = sample_tree()
    assert walk(tree) is not None
    assert refcount_delta(tree, lambda: walk(tree)) == 0
    assert block_growth(lambda: walk(tree), 200) <= 0
    declining = sym_list(C(x=1), [1])
    assert block_growth(lambda: walk(declining), 200) <= 0
    failing = sym_list(C(x=1), C.__new__(C))
    assert block_growth(swallow(lambda: walk(failing)), 200) <= 0


def test_the_walk_functions_are_registered_between_the_container_bridge_and_symlist():
    names = list(n.__all__)
    at = names.index("_install_container_bridge")
    assert names[at + 1 : at + 4] == ["_native_to_json_walk", "_set_default_object_sym_jsonify", "SymList"]
