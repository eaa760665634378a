"""Constructing dict-layout objects from keywords: the initialiser and its
options, the node reset, the origin, the cooperative init, the pre-init hook,
the compiled fill and the schema fill with their error order, the store, the
non-symbolic fields, the seal, and what a failed construction leaves."""

import gc
import weakref

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import symbolic as hs

from leakcheck import block_growth, swallow

from host_calls import WITHOUT_OBJECT_BRIDGE, clean_records, leak_round, recorded  # noqa: F401  (fixture)

norv_host.install()
probe = n._testing
HostObject, KeyPath, F = ho.HostObject, n.KeyPath, n.Field
P = KeyPath.parse
MISSING = ho.MISSING_VALUE


class C(HostObject):
    x: int
    items: list[int]


class Opt(HostObject):
    a: int
    b: int = 5


pytestmark = pytest.mark.usefixtures("clean_records")


def without_init_names(cls):
    """The class as the host leaves one whose init fields it does not list:
    keywords are classified by its schema."""
    cls._sym_init_fields = None
    cls._on_schema_update()
    return cls


def with_schema(cls, fields, **schema_kw):
    """`cls` bound to a schema of `fields` given whole (an open schema, say),
    without init names."""
    cls.__schema__ = n.Schema(fields, **schema_kw)
    cls.sym_fields = n.Dict(cls.__schema__)
    return without_init_names(cls)


# ---------------------------------------------------------------- the road


def test_keywords_become_the_field_dict_in_field_order_with_list_children():
    obj = C(items=[1, 2], x=1)
    fields = obj.field_dict()
    assert list(fields) == ["x", "items"] and fields["x"] == 1
    items = fields["items"]
    assert type(items) is hs.HostList and list(items) == [1, 2]
    assert items.sym_parent is obj and items.sym_path == P("items")
    assert obj.items is items and obj.x == 1
    assert obj.sym_path is hs.EMPTY_KEY_PATH and obj.sym_parent is None and obj._sym_origin is None
    assert (obj._sealed, obj._allow_partial, obj._accessor_writable) == (False, False, True)


def test_a_root_path_paths_the_object_and_its_children():
    obj = C(x=1, items=[1], root_path=P("r.s"))
    assert obj.sym_path == P("r.s") and obj.items.sym_path == P("r.s.items")


def test_a_dict_field_becomes_the_host_dict_class():
    class D(HostObject):
        d: dict[str, int]

    obj = D(d={"k": 1})
    assert type(obj.d) is hs.HostDict and dict(obj.d) == {"k": 1}
    assert obj.d.sym_parent is obj and obj.d.sym_path == P("d")


# ---------------------------------------------------------------- the initialiser


def test_positional_arguments_are_refused_by_the_initialiser():
    obj = C.__new__(C)
    with pytest.raises(TypeError, match=r"^SymObject\.__init__\(\) takes 1 positional argument but 2 were given$"):
        n.SymObject.__init__(obj, 1)
    assert obj.field_dict() is None


@pytest.mark.parametrize(
    "kw, message",
    [
        ({"sealed": 1}, "argument 'sealed': 'int' object is not an instance of 'bool'"),
        ({"explicit_init": None}, "argument 'explicit_init': 'None' is not an instance of 'bool'"),
        ({"explicit_init": "yes"}, "argument 'explicit_init': 'str' object is not an instance of 'bool'"),
    ],
)
def test_option_conversions_raise_argument_errors(kw, message):
    with pytest.raises(TypeError) as info:
        C(x=1, items=[], **kw)
    assert str(info.value) == message


def test_none_options_are_options_not_given():
    obj = C(x=1, items=[], sealed=None, root_path=None)
    assert obj.sym_path is hs.EMPTY_KEY_PATH and obj._sealed is False


@pytest.mark.parametrize("value", [1, None, "yes", 0.0])
def test_allow_partial_must_be_an_exact_bool(value):
    with pytest.raises(TypeError) as info:
        C(x=1, items=[], allow_partial=value)
    assert str(info.value) == (
        f"Expect bool type for argument 'allow_partial' in symbolic.Object.__init__ but encountered {value}."
    )


def test_allow_partial_is_taken_out_of_the_keywords():
    obj = C(allow_partial=True)
    assert obj.field_dict() == {"x": MISSING, "items": MISSING} and obj._allow_partial is True


def test_the_initialiser_raises_construction_errors_unchanged():
    with pytest.raises(TypeError, match=r"^C\.__init__\(\) missing 1 required argument: 'items'\.$"):
        C(x=1)
    assert recorded("prepare_construct_error") == []


def test_no_keywords_at_all():
    class Empty(HostObject):
        pass

    assert Empty().field_dict() == {}
    assert Opt(a=1).field_dict() == {"a": 1, "b": 5}
    with pytest.raises(TypeError, match=r"^Opt\.__init__\(\) missing 1 required argument: 'a'\.$"):
        Opt()


def test_the_initialiser_signature():
    assert n.SymObject.__text_signature__ == "(*_args, **_kwargs)"
    # The class's own __init__ is the slot wrapper of the constructor.
    assert type(n.SymObject.__dict__["__init__"]).__name__ == "wrapper_descriptor"


def test_before_the_bridge_is_installed(run_py):
    out = run_py(
        WITHOUT_OBJECT_BRIDGE
        + """
obj = C.__new__(C)
try:
    n.SymObject.__init__(obj, x=1)
except norv_core.PanicException as e:
    print(type(e).__name__, e)
try:
    C(x=1)
except norv_core.PanicException as e:
    print(type(e).__name__, e)
print(obj.field_dict())
try:
    obj._sym_path
except ValueError as e:
    print(e)
"""
    )
    assert out.splitlines() == [
        "PanicException object bridge not installed",
        "PanicException object bridge not installed",
        "None",
        "C.__init__ should call `super().__init__`.",
    ]


# ---------------------------------------------------------------- node state, origin, cooperative init


def test_a_repeated_construction_resets_the_node_first():
    parent = C(x=0, items=[])
    obj = C(x=1, items=[2], sealed=True)
    obj._sym_parent = parent
    obj._sym_origin = "old origin"
    obj._accessor_writable = True
    old_items = obj.items
    n.SymObject.__init__(obj, x=3, items=[4], root_path=P("q"))
    assert obj.field_dict() == {"x": 3, "items": [4]} and obj.items is not old_items
    assert obj.sym_parent is None and obj._sym_origin is None and obj.sym_path == P("q")
    assert obj._sealed is False


def test_the_node_is_reset_before_any_hook_runs():
    class Watch(HostObject):
        _needs_cooperative_init = True
        x: int = 0

    obj = Watch(root_path=P("w"), allow_partial=True)
    # The stand-in records the object's state when it is called.
    assert recorded("cooperative_init") == [(obj, True, P("w"), None, True, True)]


@pytest.mark.parametrize("scope", [None, False, True, "unset"])
def test_origin_only_under_an_explicitly_true_tracking_scope(scope):
    obj = C(x=0, items=[])
    obj._sym_origin = "earlier"
    if scope != "unset":
        n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, scope)
    n.SymObject.__init__(obj, x=1, items=[])
    if scope is True:
        assert obj._sym_origin == hs.Origin(None, "__init__")
    else:
        assert obj._sym_origin is None


class Cooperative(HostObject):
    _needs_cooperative_init = True
    x: int = 0


@pytest.mark.parametrize("explicit, called", [(False, True), (True, False)])
def test_cooperative_init_unless_explicit(explicit, called):
    obj = Cooperative(explicit_init=explicit)
    assert [c[:2] for c in recorded("cooperative_init")] == ([(obj, True)] if called else [])


def test_a_class_that_needs_no_cooperative_init_skips_it():
    C(x=1, items=[])
    assert recorded("cooperative_init") == []


# ---------------------------------------------------------------- pre-init hook


class Preinit(HostObject):
    x: int = 0
    answer = None

    @classmethod
    def on_sym_preinit(cls, kwargs):
        ho.calls.append(("preinit", cls, dict(kwargs)))
        return kwargs if cls.answer is None else cls.answer


class Sub(dict):
    pass


def test_the_pre_init_hook_is_called_on_the_class_with_the_keywords():
    Preinit.answer = None
    obj = Preinit(x=3)
    assert recorded("preinit") == [(Preinit, {"x": 3})] and obj.x == 3


def test_a_dict_subclass_the_hook_returns_is_what_is_validated():
    Preinit.answer = Sub(x=7)
    try:
        assert Preinit(x=3).x == 7
    finally:
        Preinit.answer = None


@pytest.mark.parametrize("answer, shown", [([1], "[1]"), (None, "None"), ((("x", 1),), "(('x', 1),)")])
def test_the_pre_init_hook_must_return_a_dict(answer, shown):
    class Returns(HostObject):
        x: int = 0

        @classmethod
        def on_sym_preinit(cls, kwargs):
            return answer

    with pytest.raises(TypeError) as info:
        Returns(x=1)
    assert str(info.value) == f"`on_sym_preinit` must return a dict of init kwargs. Encountered: {shown}."


def test_the_repr_error_of_a_bad_pre_init_answer_wins():
    class Unprintable:
        def __repr__(self):
            raise LookupError("no repr")

    class Returns(HostObject):
        @classmethod
        def on_sym_preinit(cls, kwargs):
            return Unprintable()

    with pytest.raises(LookupError, match="no repr"):
        Returns()


def test_the_pre_init_hook_is_skipped_for_a_clone_construction():
    Preinit.answer = None
    src = Preinit(x=1)
    ho.clear()
    obj = Preinit.__new__(Preinit)
    assert n._native_object_clone_construct(obj, False, False, {"x": 2}, src, False, None) is True
    assert recorded("preinit") == [] and obj.x == 2


# ---------------------------------------------------------------- the fill


def test_the_compiled_fill_declines_as_a_whole_and_the_schema_path_validates_again():
    class Mixed(HostObject):
        a: int
        b: list[int] = [7]  # a container default: the fill declines when it is omitted

    obj = Mixed(a=1)
    # The schema path stores an omitted default as the spec materialises it.
    assert obj.field_dict() == {"a": 1, "b": [7]} and type(obj.b) is list
    # copy_default was never reached: the fill declined before it
    assert recorded("copy_default") == []
    assert recorded("symbolic_transform_fn") == [(False,)]


class Kid(HostObject):
    v: int = 0


class KidList(HostObject):
    kids: list[Kid]
    x: int


class KidDict(HostObject):
    kids: dict[str, Kid]
    x: int


# A fill that ends without its dict leaves the given child as it was: the
# container nodes are built only once every field is accepted.
@pytest.mark.parametrize(
    "cls, wrap, member, path",
    [(KidList, lambda kid: [kid], lambda kids: kids[0], "kids[0]"),
     (KidDict, lambda kid: {"k": kid}, lambda kids: kids["k"], "kids.k")],
    ids=["list", "dict"],
)
def test_a_fill_that_declines_after_a_container_leaves_its_children_as_they_were(cls, wrap, member, path):
    kid = Kid(v=1)
    ho.clear()
    obj = cls(kids=wrap(kid), x=True)  # x: the funnel leaves a bool for an int, so the fill declines
    assert member(obj.kids) is kid and recorded("sym_clone") == []
    assert kid.sym_parent is obj.kids and kid.sym_path == P(path) and obj.kids.sym_parent is obj
    # exactly as a construction the fill takes whole
    same = Kid(v=1)
    plain = cls(kids=wrap(same), x=1)
    assert member(plain.kids) is same and same.sym_parent is plain.kids and same.sym_path == P(path)
    assert list(plain.field_dict()) == list(obj.field_dict()) == ["kids", "x"]


@pytest.mark.parametrize("cls, wrap", [(KidList, lambda kid: [kid]), (KidDict, lambda kid: {"k": kid})],
                         ids=["list", "dict"])
def test_a_fill_missing_an_argument_after_a_container_leaves_its_children_free(cls, wrap):
    kid = Kid(v=1)
    with pytest.raises(TypeError, match="missing 1 required argument: 'x'"):
        cls(kids=wrap(kid))
    assert kid.sym_parent is None and kid.sym_path is hs.EMPTY_KEY_PATH


def test_the_values_after_a_container_keep_field_order():
    class Wide(HostObject):
        kids: list[Kid]
        a: int = 1
        b: int = 2
        c: int = 3
        d: int = 4
        e: list[int] = [5]  # provided below: a second container after four scalars

    kid = Kid()
    obj = Wide(kids=[kid], e=[50], a=10)
    assert list(obj.field_dict()) == ["kids", "a", "b", "c", "d", "e"]
    assert (obj.a, obj.d, list(obj.e)) == (10, 4, [50]) and obj.kids[0] is kid
    assert obj.e.sym_parent is obj and obj.e.sym_path == P("e") and kid.sym_path == P("kids[0]")


def test_a_value_the_funnel_leaves_is_validated_by_the_field():
    class Coerce(HostObject):
        x: int
        y: float

    ho.clear()
    obj = Coerce(x=True, y=2)
    assert obj.field_dict() == {"x": True, "y": 2.0} and type(obj.y) is float
    assert recorded("symbolic_transform_fn") == [(False,)]


def test_a_compiled_fill_stores_a_copied_default():
    class Tup(HostObject):
        t: tuple[int, int] = (1, 2)

    obj = Tup()
    assert obj.t == (1, 2) and recorded("copy_default") == [((1, 2),)]
    assert recorded("symbolic_transform_fn") == []


def test_missing_names_of_the_compiled_fill_in_field_order():
    with pytest.raises(TypeError) as info:
        C()
    assert str(info.value) == "C.__init__() missing 2 required arguments: 'x', 'items'."
    assert recorded("auto_plural") == [(2, "argument")]
    assert recorded("comma_delimited_str") == [(["x", "items"],)]


def test_with_init_names_a_bad_value_wins_over_a_missing_one():
    class Two(HostObject):
        x: int
        y: int
        z: list = []

    # `z` omitted with a container default: the fill declines, the schema path decides.
    with pytest.raises(TypeError, match=r"Expect <class 'int'> but encountered <class 'str'>: bad\. \(path=x\)"):
        Two(x="bad")


def test_without_init_names_a_missing_one_wins_over_a_bad_value():
    class Two(HostObject):
        x: int
        y: int

    without_init_names(Two)
    with pytest.raises(TypeError, match=r"^Two\.__init__\(\) missing 1 required argument: 'y'\.$"):
        Two(x="bad")
    with pytest.raises(TypeError, match=r"encountered <class 'str'>: bad\. \(path=x\)"):
        Two(x="bad", y=1)
    assert Two(x=1, y=2).field_dict() == {"x": 1, "y": 2}


@pytest.mark.parametrize(
    "argument, scope, reported, stored",
    [
        (True, False, True, True),
        (False, True, False, False),
        (True, None, False, True),
        (False, None, True, False),
    ],
)
def test_the_allow_partial_scope_overrides_the_argument_for_the_fill_only(argument, scope, reported, stored):
    if scope is not None:
        n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, scope)
    if reported:
        with pytest.raises(TypeError, match="missing 1 required argument: 'x'"):
            C(items=[], allow_partial=argument)
        return
    obj = C(items=[], allow_partial=argument)
    assert obj.x == MISSING and obj._allow_partial is stored


def test_the_transform_is_built_with_the_argument_not_the_scope():
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, True)
    C(items=[1])
    assert recorded("symbolic_transform_fn") == [(False,)]


def test_a_list_built_under_a_forced_scope_keeps_the_argument():
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, False)
    obj = C(x=1, items=[1], allow_partial=True)
    assert obj.items._allow_partial is True and obj._allow_partial is True


def test_the_schema_fill_needs_a_native_schema():
    class Foreign(HostObject):
        x: int = 0

    without_init_names(Foreign)

    class Resolver:
        def resolve(self, keys):
            return [], []

    Foreign.sym_fields = type("FieldsSpec", (), {"schema": Resolver()})()
    Foreign._on_schema_update()
    with pytest.raises(TypeError, match=r"\.Resolver' object is not an instance of 'Schema'$"):
        Foreign(x=1)


def test_the_missing_first_check_needs_a_native_class_schema():
    class Foreign(HostObject):
        x: int = 0

    without_init_names(Foreign)
    Foreign.__schema__ = object()
    Foreign._on_schema_update()
    with pytest.raises(TypeError, match=r"^'object' object is not an instance of 'Schema'$"):
        Foreign(x=1)
    # Not needed when partial values are allowed.
    assert Foreign(x=1, allow_partial=True).x == 1


def test_a_sym_false_class_stores_symbolic_children_of_the_schema_fill_unadopted():
    class Holder(HostObject, sym=False):
        d: dict

    without_init_names(Holder)
    d = hs.HostDict({"k": 1})
    obj = Holder(d=d)
    assert obj.d is d and d.sym_parent is None and d.sym_path is hs.EMPTY_KEY_PATH


def test_the_schema_fill_adopts_symbolic_children_of_a_symbolic_class():
    class Holder(HostObject):
        d: dict

    without_init_names(Holder)
    d = hs.HostDict({"k": 1})
    obj = Holder(d=d, root_path=P("h"))
    assert obj.d is d and d.sym_parent is obj and d.sym_path == P("h.d")


# ---------------------------------------------------------------- non-symbolic fields, hooks, seal


class Cached(HostObject):
    __non_symbolic__ = {"cache": [0]}
    x: int = 0


def test_non_symbolic_fields_are_seeded_after_the_store():
    obj = Cached(x=1)
    assert recorded("seed_non_symbolic_fields") == [(obj, (("cache", [0]),))]
    assert vars(obj)["cache"] == [0]


def test_a_clone_construction_copies_the_non_symbolic_fields_of_its_source():
    src = Cached(x=1)
    vars(src)["cache"] = [5]
    ho.clear()
    memo = {}
    obj = Cached.__new__(Cached)
    assert n._native_object_clone_construct(obj, False, False, {"x": 1}, src, True, memo) is True
    assert recorded("clone_non_symbolic_fields") == [(obj, src, True)]
    assert recorded("seed_non_symbolic_fields") == []
    assert vars(obj)["cache"] == [5] and vars(obj)["cache"] is not vars(src)["cache"]


class Frozen(HostObject, frozen=True):
    x: int = 0
    items: list[int] = []

    def sym_seal(self, is_seal=True):
        ho.calls.append(("sym_seal", self, is_seal))
        return super().sym_seal(is_seal)


@pytest.mark.parametrize("sealed, expected", [(None, True), (False, False), (True, True)])
def test_the_seal_defaults_to_the_class_frozen_option(sealed, expected):
    obj = Frozen(x=1, items=[1], sealed=sealed)
    assert obj._sealed is expected and obj.items._sealed is expected
    assert recorded("sym_seal") == ([(obj, True)] if expected else [])


def test_an_unfrozen_class_seals_when_asked():
    obj = C(x=1, items=[1], sealed=True)
    assert obj._sealed is True and obj.items._sealed is True


class FailingPostInit(HostObject):
    x: int = 0

    def on_sym_post_init(self):
        raise LookupError("post init failed")


def test_a_failing_hook_leaves_the_fields_stored_and_the_object_unsealed():
    obj = FailingPostInit.__new__(FailingPostInit)
    with pytest.raises(LookupError, match="post init failed"):
        n.SymObject.__init__(obj, x=3, sealed=True)
    assert obj.field_dict() == {"x": 3} and obj._sealed is False


def test_a_failed_validation_leaves_the_node_reset_and_no_fields():
    obj = C(x=1, items=[1], sealed=True)
    with pytest.raises(TypeError):
        n.SymObject.__init__(obj, x="bad", items=[], root_path=P("p"))
    assert obj.field_dict() is None and obj.sym_path == P("p") and obj._sealed is False
    with pytest.raises(AttributeError):
        obj.x


def test_a_failing_seal_leaves_the_fields_stored():
    class BadSeal(HostObject):
        x: int = 0

        def sym_seal(self, is_seal=True):
            raise LookupError("no seal")

    obj = BadSeal.__new__(BadSeal)
    with pytest.raises(LookupError, match="no seal"):
        n.SymObject.__init__(obj, x=1, sealed=True)
    assert obj.field_dict() == {"x": 1}


# ---------------------------------------------------------------- references and the collector


def test_an_object_and_its_list_child_form_a_cycle_the_collector_frees():
    obj = C(x=1, items=[1])
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


def test_constructions_leave_nothing_behind():
    class Child(HostObject):
        v: int = 0

    class Tree(HostObject):
        c: Child
        d: dict[str, int]
        items: list[int]

    good = leak_round(lambda: Tree(c=Child(v=1), d={"a": 1}, items=[1, 2], root_path=P("t")))
    assert block_growth(good, rounds=2000) < 100
    for bad in [
        lambda: Tree(c=Child(), d={"a": "x"}, items=[]),
        lambda: Tree(c=Child()),
        lambda: Tree(c=Child(), d={}, items=[], z=1),
    ]:
        assert block_growth(leak_round(swallow(bad)), rounds=2000) < 100
