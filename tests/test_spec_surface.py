"""The members every value spec shares for calling, noneability, freezing,
strictness and defaults, and which access each member takes of its spec."""

import pytest

import norv_core
from norv_core import _native as n
from norv_host import typing as ht

ht.install()

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
