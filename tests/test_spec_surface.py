"""The members every value spec shares for calling, noneability, freezing,
strictness and defaults, and which access each member takes of its spec."""

import pytest

import norv_core
from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

Bool, Str, Int, Float, Any, Enum = n.Bool, n.Str, n.Int, n.Float, n.Any, n.Enum
MISSING = ht.MISSING_VALUE
Panic = norv_core.PanicException

# ---- re-entrant access ---------------------------------------------------------------------------
#
# Each member is called on a spec from Python code that the spec itself runs:
# a default factory during `freeze` (the spec held exclusively) and a
# transform during `apply` (the spec held shared). Members whose receiver is
# the spec refuse with RuntimeError; apply, __call__ and the mutators take the
# spec as native code and fault.

RUNTIME_MUT = ("RuntimeError", "Already mutably borrowed")
PANIC_MUT = ("Panic", "Already mutably borrowed")
PANIC_BORROWED = ("Panic", "Already borrowed")
OK = ("ok", "")

MEMBERS = {
    # name: (call, while held exclusively, while held shared)
    "value_type": (lambda s: s.value_type, RUNTIME_MUT, OK),
    "default": (lambda s: s.default, RUNTIME_MUT, OK),
    "has_default": (lambda s: s.has_default, RUNTIME_MUT, OK),
    "strict": (lambda s: s.strict, RUNTIME_MUT, OK),
    "_strict": (lambda s: s._strict, RUNTIME_MUT, OK),
    "fast_apply_info": (lambda s: s.fast_apply_info, RUNTIME_MUT, OK),
    "_exact_leaf_type": (lambda s: s._exact_leaf_type, RUNTIME_MUT, OK),
    "_checked_leaf_type": (lambda s: s._checked_leaf_type, RUNTIME_MUT, OK),
    "annotation": (lambda s: s.annotation, RUNTIME_MUT, OK),
    "_apply": (lambda s: s._apply(1, False, None, None), RUNTIME_MUT, OK),
    "_validate": (lambda s: s._validate(None, 1), RUNTIME_MUT, OK),
    "materialize_default": (lambda s: s.materialize_default(), RUNTIME_MUT, OK),
    "format": (lambda s: s.format(), RUNTIME_MUT, OK),
    "repr": (repr, RUNTIME_MUT, OK),
    "str": (str, RUNTIME_MUT, OK),
    "to_json": (lambda s: s.to_json(), RUNTIME_MUT, OK),
    "==": (lambda s: s == Int(max_value=10), PANIC_MUT, OK),
    "is_compatible": (lambda s: s.is_compatible(Int(max_value=5)), PANIC_MUT, OK),
    # extend reads the child through its properties and writes it once at the end.
    "extend": (lambda s: s.extend(Int(strict=True)), RUNTIME_MUT, PANIC_BORROWED),
    "apply": (lambda s: s.apply(1), PANIC_MUT, OK),
    "apply with arguments": (lambda s: s.apply(1, allow_partial=True), PANIC_MUT, OK),
    "__call__": (lambda s: s(1), PANIC_MUT, OK),
    "set_default": (lambda s: s.set_default(1), PANIC_BORROWED, PANIC_BORROWED),
    "set_default_factory": (lambda s: s.set_default_factory(None), PANIC_BORROWED, PANIC_BORROWED),
    "set_transform": (lambda s: s.set_transform(None), PANIC_BORROWED, PANIC_BORROWED),
    "set_strict": (lambda s: s.set_strict(True), PANIC_BORROWED, PANIC_BORROWED),
    "_materialize_strict": (lambda s: s._materialize_strict(), PANIC_BORROWED, PANIC_BORROWED),
    "noneable": (lambda s: s.noneable(), PANIC_BORROWED, PANIC_BORROWED),
    "freeze": (lambda s: s.freeze(1), PANIC_BORROWED, PANIC_BORROWED),
}


def outcome(call, spec):
    try:
        call(spec)
    except Panic as e:
        return ("Panic", str(e))
    except RuntimeError as e:
        return ("RuntimeError", str(e))
    return OK


def state(spec):
    return (spec.default, spec.default_factory, spec.transform, spec._strict, spec.is_noneable, spec.frozen)


def matches(seen, expected):
    # A fault's text may go on after its first words (a transform's error gains the path).
    return seen[0] == expected[0] and seen[1].startswith(expected[1])


@pytest.mark.parametrize("name", MEMBERS)
def test_member_called_while_the_spec_is_held_exclusively(name):
    call, expected, _ = MEMBERS[name]
    spec = Int(max_value=10)
    seen = []

    def factory():
        seen.append(outcome(call, spec))
        return 3

    spec.set_default_factory(factory)
    # The factory swallows the refusal, so the freeze completes; the refused
    # member changed nothing of its own.
    assert spec.freeze() is spec
    assert len(seen) == 1 and matches(seen[0], expected), seen
    assert state(spec) == (3, None, None, None, False, True)
    assert spec.apply(3) == 3 and spec.set_strict(True)._strict is True


@pytest.mark.parametrize("name", MEMBERS)
def test_member_called_while_the_spec_is_applied(name):
    call, _, expected = MEMBERS[name]
    spec = Int(max_value=10)
    seen, entered = [], []

    def transform(v):
        if not entered:  # apply and __call__ reach this transform again
            entered.append(True)
            seen.append(outcome(call, spec))
        return v

    spec.set_transform(transform)
    before = state(spec)
    assert spec.apply(2) == 2
    assert len(seen) == 1 and matches(seen[0], expected), seen
    assert state(spec) == before
    assert spec.set_transform(None).apply(4) == 4


def test_set_strict_inside_apply_faults_and_leaves_the_spec_working():
    spec = Int()
    spec.set_transform(lambda v: spec.set_strict(True))
    with pytest.raises(Panic) as info:
        spec.apply(1)
    assert str(info.value).startswith("Already borrowed")
    assert spec._strict is None
    assert spec.set_transform(None).set_strict(True).apply(2) == 2 and spec._strict is True


def test_reading_the_default_inside_freeze_is_a_runtime_error():
    spec = Int()

    def factory():
        return spec.default

    spec.set_default_factory(factory)
    with pytest.raises(RuntimeError) as info:
        spec.freeze()
    assert str(info.value) == "Already mutably borrowed"
    assert not spec.frozen and spec.default_factory is factory and spec.default is MISSING
    spec.set_default_factory(lambda: 4)
    assert spec.freeze().default == 4 and spec.frozen


def test_union_candidates_are_made_noneable_after_the_union_is_released():
    # A candidate's noneable runs with the union free, so it may read the union.
    seen = []

    class Watching(n.Callable):
        def noneable(self, is_noneable=True, use_none_as_default=True):
            seen.append((is_noneable, use_none_as_default, union.is_noneable, union.default))
            return super().noneable(is_noneable, use_none_as_default)

    union = n.Union([Int(), Watching()])
    assert union.noneable() is union
    assert seen == [(True, False, True, None)]


# ---- calling a spec ----------------------------------------------------------------------------------


class Point:
    def __init__(self, x=0, y=0):
        self.x, self.y = x, y

    def __eq__(self, other):
        return type(other) is Point and (other.x, other.y) == (self.x, self.y)

    __hash__ = None


class Named:
    pass


ht.register(Named, "NamedForCall")


@pytest.mark.parametrize(
    "make, args, kwargs, expected",
    [
        (lambda: Int(), (), {}, 0),
        (lambda: Str(), (), {}, ""),
        (lambda: Bool(), (), {}, False),
        (lambda: Float(), (2,), {}, 2.0),
        (lambda: Str(), (12,), {}, "12"),
        (lambda: Int(default=3), (), {}, 3),
        (lambda: Int(default=3), (5,), {}, 5),
        (lambda: Int(), ("10",), {"base": 2}, 10),  # keywords are not passed on
        (lambda: Str(default="a", frozen=True), ("b",), {}, "a"),
        (lambda: Int().freeze(5), (7,), {}, 5),
        (lambda: Enum(["a", "b"]), ("a",), {"ignored": 1}, "a"),
        (lambda: Enum(["a", "b"], default="b"), (), {}, "b"),
        (lambda: n.Type(int), (1,), {"x": 2}, int),
        (lambda: n.Type("NamedForCall"), (), {}, Named),
        (lambda: n.Object(Point), (1,), {"y": 2}, Point(1, 2)),
        (lambda: n.Object(int), ("5",), {}, 5),
    ],
)
def test_call_makes_a_value(make, args, kwargs, expected):
    got = make()(*args, **kwargs)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(
    "make, args, error, message",
    [
        (lambda: Any(), (), TypeError, "Any() cannot be instantiated."),
        (lambda: Any(default=1), (1,), TypeError, "Any(default=1) cannot be instantiated."),
        (lambda: n.Union([Int(), Str()]), (1,), TypeError, "Union([Int(), Str()]) cannot be instantiated."),
        (lambda: n.Callable([Int()]), (), TypeError, "Callable(args=[Int()]) cannot be instantiated."),
        (lambda: n.Functor(), (), TypeError, "Functor() cannot be instantiated."),
        (lambda: Int(min_value=0), (-1,), ValueError, "Value -1 is out of range (min=0, max=None). (path=)"),
        (
            lambda: Enum(["a", "b"]),
            ("c",),
            ValueError,
            "Value 'c' is not in candidate list ['a', 'b']. (path=)",
        ),
        # An Enum call is its own apply: no value means no argument.
        (lambda: Enum(["a", "b"]), (), TypeError, "apply() missing 1 required positional argument: 'value'"),
        (lambda: Int(), ("x",), ValueError, "invalid literal for int() with base 10: 'x'"),
    ],
)
def test_call_errors(make, args, error, message):
    with pytest.raises(error) as info:
        make()(*args)
    assert str(info.value) == message


def test_call_of_an_object_spec_applies_what_the_class_made():
    spec = n.Object(Point).set_transform(lambda p: Point(p.x + 1, p.y))
    assert spec(1) == Point(2, 0)


# ---- union operator ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make_pair",
    [
        lambda: (Int(), Str()),
        lambda: (float, Str()),
        lambda: (Str(), float),
        lambda: (None, Int()),
        lambda: (Int(), None),
    ],
)
def test_union_operator_passes_the_operands_in_written_order(make_pair):
    a, b = make_pair()
    ht.calls.clear()
    a | b  # noqa: B018
    assert [c for c in ht.calls if c[0] == "union_cls"] == [("union_cls", (a, b))]


def test_union_operator_lets_the_host_error_through():
    spec = Int()
    ht.calls.clear()
    with pytest.raises(ValueError, match="^Found 2 value specs of the same type"):
        int | spec  # noqa: B018
    assert ("union_cls", (int, spec)) in ht.calls


# ---- noneable ----------------------------------------------------------------------------------------


def factory():
    return 1


@pytest.mark.parametrize(
    "make, default, is_noneable, text",
    [
        (lambda: Int().noneable(), None, True, "Int(default=None, noneable=True)"),
        (lambda: Int(default=1).noneable(), 1, True, "Int(default=1, noneable=True)"),
        (lambda: Int(default_factory=factory).noneable(), MISSING, True, None),
        (lambda: Int().noneable().noneable(False), MISSING, False, "Int()"),
        (lambda: Int(default=1).noneable().noneable(False), 1, False, "Int(default=1)"),
        (lambda: Int().noneable(use_none_as_default=False), MISSING, True, "Int(noneable=True)"),
        (lambda: Int().noneable(is_noneable=False), MISSING, False, "Int()"),
        (lambda: Int().noneable(__import__("numpy").bool_(False)), MISSING, False, "Int()"),
        (lambda: n.Object(int).noneable(), None, True, "Object(int, default=None, noneable=True)"),
        (lambda: n.Callable().noneable(), None, True, "Callable(default=None, noneable=True)"),
        (lambda: Enum(["a", "b"]).noneable(), MISSING, True, "Enum(values=['a', 'b', None])"),
        (lambda: Enum(["a", None], default=None).noneable(False), MISSING, False, "Enum(values=['a'])"),
    ],
)
def test_noneable(make, default, is_noneable, text):
    spec = make()
    assert spec.default is default or spec.default == default
    assert spec.is_noneable is is_noneable
    if text is not None:
        assert repr(spec) == text


def test_noneable_on_an_enum_edits_its_values_list():
    values = ["a", "b"]
    spec = Enum(values)
    assert spec.noneable().values is values and values == ["a", "b", None]
    spec.noneable()
    assert values == ["a", "b", None]
    spec.noneable(False)
    assert values == ["a", "b"] and spec.default is MISSING


def test_noneable_on_a_union_reaches_every_candidate_without_none_default():
    a, b = Int(), Str(default="x")
    union = n.Union([a, b])
    assert union.noneable() is union and union.default is None and union.is_noneable
    assert (a.is_noneable, a.default, b.is_noneable, b.default) == (True, MISSING, True, "x")
    union.noneable(False)
    assert (union.default, a.is_noneable, b.is_noneable) == (MISSING, False, False)


def test_a_failing_candidate_keeps_what_was_already_changed():
    class Refusing(n.Callable):
        def noneable(self, is_noneable=True, use_none_as_default=True):
            raise KeyError("refused")

    first = Int()
    union = n.Union([first, Refusing(), Str()])
    with pytest.raises(KeyError, match="refused"):
        union.noneable()
    assert union.is_noneable and union.default is None and first.is_noneable
    assert not union.candidates[2].is_noneable


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.noneable(1), "argument 'is_noneable': 'int' object is not an instance of 'bool'"),
        (
            lambda s: s.noneable(True, None),
            "argument 'use_none_as_default': 'None' is not an instance of 'bool'",
        ),
        (
            lambda s: s.noneable(True, True, True),
            "noneable() takes from 1 to 3 positional arguments but 4 were given",
        ),
    ],
)
def test_noneable_arguments(call, message):
    spec = Int()
    with pytest.raises(TypeError) as info:
        call(spec)
    assert str(info.value) == message
    assert not spec.is_noneable


# ---- freeze ------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, default",
    [
        (lambda: Int().freeze(5), 5),
        (lambda: Int().freeze(permanent_value=5), 5),
        (lambda: Float().freeze(5), 5.0),
        (lambda: Float().freeze(5, apply_before_use=False), 5),
        (lambda: Float(default_factory=lambda: 1).freeze(), 1.0),
        (lambda: Float(default_factory=lambda: 1).freeze(apply_before_use=False), 1),
        (lambda: Int(default=1).freeze(), 1),
        (lambda: Int(default=1).freeze(2), 2),
        (lambda: Int(is_noneable=True).freeze(None), None),
    ],
)
def test_freeze(make, default):
    spec = make()
    assert spec.frozen and spec.default == default and type(spec.default) is type(default)
    assert spec.default_factory is None


def test_freeze_calls_the_factory_once():
    calls = []

    def make():
        calls.append(1)
        return 2

    spec = Int(default_factory=make)
    assert spec.freeze() is spec and calls == [1] and spec.default == 2


@pytest.mark.parametrize(
    "make, freeze, error, message",
    [
        (lambda: Int(), lambda s: s.freeze(), ValueError, "Cannot freeze Int() without a default value."),
        (
            lambda: Int(),
            lambda s: s.freeze(MISSING),
            ValueError,
            "Cannot freeze Int() without a default value.",
        ),
        (
            lambda: Enum(["a", None]),
            lambda s: s.freeze(),
            ValueError,
            "Cannot freeze Enum(values=['a', None]) without a default value.",
        ),
        (
            lambda: Int(max_value=3),
            lambda s: s.freeze(5),
            ValueError,
            "Value 5 is out of range (min=None, max=3). (path=)",
        ),
        (
            lambda: Int(),
            lambda s: s.freeze(1, 1),
            TypeError,
            "argument 'apply_before_use': 'int' object is not an instance of 'bool'",
        ),
    ],
)
def test_freeze_refusals_leave_the_spec_unfrozen(make, freeze, error, message):
    spec = make()
    with pytest.raises(error) as info:
        freeze(spec)
    assert str(info.value) == message
    assert not spec.frozen and spec.default is MISSING


def test_a_frozen_spec_refuses_another_value():
    spec = Int().freeze(5)
    assert spec.apply(5) == 5
    with pytest.raises(ValueError) as info:
        spec.apply(6)
    assert str(info.value) == (
        "Frozen field is not assignable. (Path='', ValueSpec=Int(default=5, frozen=True), AssignedValue=6)"
    )


# ---- strictness --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, strict, raw",
    [
        (None, False, None),
        (False, False, False),
        (True, True, True),
        (__import__("numpy").bool_(True), True, True),
    ],
)
def test_set_strict(value, strict, raw):
    spec = Int(strict=not strict)
    assert spec.set_strict(value) is spec
    assert (spec.strict, spec._strict) == (strict, raw)


@pytest.mark.parametrize("value", [1, 0, "yes"])
def test_set_strict_takes_only_bools(value):
    spec = Int(strict=True)
    with pytest.raises(TypeError, match="^argument 'strict': "):
        spec.set_strict(value)
    assert spec._strict is True


def test_set_strict_changes_the_text_form():
    spec = Int()
    repr(spec)
    assert repr(spec.set_strict(True)) == "Int(strict=True)"


@pytest.mark.parametrize(
    "make, children",
    [
        (lambda: n.Union([Int(), Str(strict=False)]), lambda s: s.candidates),
        (lambda: n.Object(Point), lambda s: []),
        (lambda: n.Callable([Int()], returns=Int()), lambda s: []),
    ],
)
def test_materialize_strict_walks_the_children_of_the_kind(make, children):
    spec = make()
    before = [c._strict for c in children(spec)]
    assert spec._materialize_strict() is None
    assert spec._strict is True and repr(spec).endswith("strict=True)")
    assert [c._strict for c in children(spec)] == [True if b is None else b for b in before]


def test_materialize_strict_skips_callable_arguments_and_keeps_explicit_false():
    arg = Int()
    spec = n.Callable([arg])
    spec._materialize_strict()
    assert arg._strict is None
    explicit = Int(strict=False)
    explicit._materialize_strict()
    explicit._materialize_strict()
    assert explicit._strict is False


def test_materialize_strict_keeps_what_it_did_when_a_child_fails():
    class Refusing(n.Callable):
        def _materialize_strict(self):
            raise AttributeError("no strictness")

    first = Int()
    union = n.Union([first, Refusing(), Str()])
    with pytest.raises(AttributeError, match="no strictness"):
        union._materialize_strict()
    assert union._strict is True and first._strict is True and union.candidates[2]._strict is None


def test_materialize_strict_calls_children_with_the_spec_free():
    seen = []

    class Reading(n.Callable):
        def _materialize_strict(self):
            seen.append(union._strict)

    union = n.Union([Int(), Reading()])
    union._materialize_strict()
    assert seen == [True]


@pytest.mark.parametrize(
    "call, done",
    [
        (lambda s: s._materialize_strict(), lambda s: s._strict is True),
        (lambda s: s.noneable(), lambda s: s.is_noneable),
    ],
)
def test_a_union_among_its_own_candidates_ends_in_recursion_error(call, done):
    union = n.Union([Int(), Str()])
    union.candidates.append(union)  # the candidates list is held by reference
    with pytest.raises(RecursionError):
        call(union)
    assert done(union) and union.apply(1) == 1
    union.candidates.pop()
    assert call(union) in (None, union)


# ---- transform and defaults --------------------------------------------------------------------------


class BadRepr:
    def __repr__(self):
        raise LookupError("no repr")


@pytest.mark.parametrize(
    "value, error, message",
    [
        (5, TypeError, "`transform` must be a single-arg callable. Encountered: 5."),
        ("f", TypeError, "`transform` must be a single-arg callable. Encountered: 'f'."),
        (BadRepr(), LookupError, "no repr"),
    ],
)
def test_set_transform_refuses_a_non_callable(value, error, message):
    spec = Int().set_transform(abs)
    with pytest.raises(error) as info:
        spec.set_transform(value)
    assert str(info.value) == message
    assert spec.transform is abs


def test_set_transform_chains_and_clears():
    spec = Int()
    assert spec.set_strict(True).set_transform(abs) is spec and spec.apply(-2) == 2
    assert spec.set_transform(None).transform is None and spec.apply(-2) == -2
    assert spec._exact_leaf_type is int


@pytest.mark.parametrize(
    "value, message",
    [
        (5, "`default_factory` must be a zero-arg callable. Encountered: 5."),
        ("f", "`default_factory` must be a zero-arg callable. Encountered: 'f'."),
    ],
)
def test_set_default_factory_refuses_a_non_callable(value, message):
    spec = Int(default=1)
    with pytest.raises(TypeError) as info:
        spec.set_default_factory(value)
    assert str(info.value) == message
    assert spec.default == 1 and spec.default_factory is None


def test_set_default_and_factory_replace_each_other():
    spec = Int(default=1)
    assert spec.set_default_factory(factory) is spec and spec.default is MISSING and spec.has_default
    assert spec.set_default(2) is spec and spec.default_factory is None and spec.default == 2
    assert spec.set_default(MISSING).default is MISSING and not spec.has_default
    spec.set_default_factory(factory).set_default(MISSING)
    assert spec.default_factory is factory  # a missing default keeps the factory
    spec.set_default(3)
    expected = r"^Expect <class 'int'> but encountered <class 'str'>: x\. \(path=a\)$"
    with pytest.raises(TypeError, match=expected):
        spec.set_default("x", root_path=n.KeyPath.parse("a"))
    with pytest.raises(TypeError, match="argument 'use_default_apply'"):
        spec.set_default(4, use_default_apply=None)
    assert spec.default == 3
    assert spec.set_default("x", False, None).default == "x"
    converted = Float().set_default(3).default
    assert converted == 3.0 and type(converted) is float


def test_materialize_default_with_a_factory():
    spec = Float().set_default_factory(list)
    with pytest.raises(TypeError):
        spec.materialize_default()  # the factory's value is applied
    made = []

    def fresh():
        made.append([])
        return made[-1]

    spec = Any().set_default_factory(fresh)
    first, second = spec.materialize_default(), spec.materialize_default()
    assert first == [] and first is not second and len(made) == 2
    partial = spec.materialize_default(allow_partial=True)
    assert type(partial) is n.MissingValue and len(made) == 2
    assert Float(default_factory=lambda: 1).materialize_default() == 1.0


def test_materialize_default_copies_the_stored_default():
    stored = [[1]]
    spec = Any(default=stored)
    got = spec.materialize_default()
    assert got == stored and got is not stored and got[0] is not stored[0]
    assert type(Int().materialize_default()) is n.MissingValue
    with pytest.raises(TypeError, match="argument 'allow_partial'"):
        spec.materialize_default(allow_partial=None)


# ---- fast-apply info and leaf predicates ---------------------------------------------------------------


@pytest.mark.parametrize(
    "make, exact, checked",
    [
        (lambda: Int(), int, None),
        (lambda: Float(), float, None),
        (lambda: Bool(), bool, None),
        (lambda: Str(), str, None),
        (lambda: Any(), object, None),
        (lambda: Int(min_value=0), None, int),
        (lambda: Float(max_value=1.0), None, float),
        (lambda: Str(regex="a"), None, str),
        (lambda: Enum(["a", "b"]), None, str),
        (lambda: Enum([1, 2]), None, int),
        (lambda: Enum(["a", 1]), None, None),
        (lambda: Int().set_transform(abs), None, None),
        (lambda: Int(min_value=0).set_transform(abs), None, None),
        (lambda: Any(transform=abs), None, None),
        (lambda: Int(default=1).freeze(), None, None),
        (lambda: Str(regex="a", default="a").freeze(), None, None),
        (lambda: n.Type(int), None, None),
        (lambda: n.Object(Point), None, None),
        (lambda: n.Callable(), None, None),
        (lambda: n.Union([Int(), Str()]), None, None),
    ],
)
def test_leaf_types_and_fast_apply_info(make, exact, checked):
    spec = make()
    assert spec._exact_leaf_type is exact
    assert spec._checked_leaf_type is checked
    expected = ht.FastApplyInfo(is_eligible=True, value_type=exact) if exact else ht.FastApplyInfo()
    info = spec.fast_apply_info
    assert type(info) is ht.FastApplyInfo and info == expected


def test_fast_apply_info_passes_keywords_in_order(run_py):
    out = run_py(
        """
from norv_host import typing as ht
from norv_core import _native as n

def info(*args, **kwargs):
    return (args, list(kwargs.items()))

n._install_typing_bridge(**dict(ht.HANDLES, fast_apply_info_cls=info))
print(n.Int().fast_apply_info)
print(n.Int(min_value=1).fast_apply_info)
"""
    )
    assert out.splitlines() == ["((), [('is_eligible', True), ('value_type', <class 'int'>)])", "((), [])"]
