"""Value specs and the cyclic garbage collector: specs are tracked, cycles
through any slot of a spec are collected, and a spec the collector has
cleared stays safe to touch."""

import copy
import gc
import re
import types
import weakref

import pytest

import norv_core
from norv_core import _native as n
import norv_host
from norv_host import typing as ht

from collector import tp_clear
from leakcheck import block_growth

norv_host.install()

Bool, Str, Int, Float, Any = n.Bool, n.Str, n.Int, n.Float, n.Any
CLASSES = [Bool, Str, Int, Float, Any]


class Node:
    """The far end of a cycle: it holds the spec once the spec holds it."""

    spec = None

    def __call__(self, *args):
        return args[0] if args else True

    def method(self, value):
        return value


# Values of the spec's own types that can carry the node back to the spec.
class TextWith(str):
    def __new__(cls, text, node):
        self = super().__new__(cls, text)
        self.node = node
        return self


class IntWith(int):
    def __new__(cls, value, node):
        self = super().__new__(cls, value)
        self.node = node
        return self


class FloatWith(float):
    def __new__(cls, value, node):
        self = super().__new__(cls, value)
        self.node = node
        return self


def str_regex(node):
    # re's cache would keep the pattern (and the node) alive on its own, or
    # hand back one compiled for an earlier node.
    re.purge()
    spec = Str(regex=TextWith("a+", node))
    re.purge()
    return spec


# One row per slot: each makes a spec that holds the node through that slot.
CYCLES = {
    "Bool default_factory": lambda node: Bool(default_factory=node),
    "Bool set_default_factory": lambda node: Bool().set_default_factory(node),
    "Bool set_transform": lambda node: Bool().set_transform(node.method),
    "Str default": lambda node: Str(default=TextWith("x", node)),
    "Str set_default": lambda node: Str().set_default(TextWith("x", node)),
    "Str default_factory": lambda node: Str(default_factory=node),
    "Str regex": str_regex,
    "Str set_transform": lambda node: Str().set_transform(node),
    "Int default": lambda node: Int(default=IntWith(5, node)),
    "Int min_value": lambda node: Int(min_value=IntWith(0, node)),
    "Int max_value": lambda node: Int(max_value=IntWith(9, node)),
    "Int ge": lambda node: Int(ge=IntWith(0, node)),
    "Int le": lambda node: Int(le=IntWith(9, node)),
    "Int default_factory": lambda node: Int(default_factory=node),
    "Int set_transform": lambda node: Int().set_transform(node.method),
    "Float default": lambda node: Float(default=FloatWith(1.5, node)),
    "Float min_value": lambda node: Float(min_value=FloatWith(0.0, node)),
    "Float max_value": lambda node: Float(max_value=FloatWith(9.0, node)),
    "Float set_default_factory": lambda node: Float().set_default_factory(node),
    "Any default": lambda node: Any(default=node),
    "Any set_default": lambda node: Any().set_default(node),
    "Any default_factory": lambda node: Any(default_factory=node),
    "Any annotation": lambda node: Any(annotation=node),
    "Any annotate": lambda node: Any().annotate(node),
    "Any transform": lambda node: Any(transform=node.method),
    "Any set_transform": lambda node: Any().set_transform(node),
    "Any copy": lambda node: copy.copy(Any(default=node, annotation=node)),
    "Any skip_user_transform": lambda node: Any(default=node, transform=lambda v: v).skip_user_transform,
}


def build_cycle(make):
    node = Node()
    node.spec = make(node)
    return weakref.ref(node)


@pytest.mark.parametrize("make", CYCLES.values(), ids=CYCLES.keys())
def test_a_cycle_through_any_slot_is_collected(make):
    ref = build_cycle(make)
    assert ref() is not None  # only the collector can free it
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize(
    "make",
    [
        *CLASSES,
        lambda: Int(default=1, min_value=0, max_value=10),
        lambda: Str["a+"],
        lambda: Float[0.0, 1.0],
        lambda: Int.from_json({"default": 3}),
        lambda: copy.copy(Any(annotation=int)),
        lambda: copy.deepcopy(Str(default="x")),
        lambda: Any(transform=abs).skip_user_transform,
    ],
)
def test_specs_are_tracked_and_report_their_class(make):
    spec = make()
    assert gc.is_tracked(spec)
    assert type(spec) in gc.get_referents(spec)


def test_collected_cycles_leave_no_blocks():
    makers = list(CYCLES.values())
    makers.remove(str_regex)  # purging re's cache allocates on its own

    def round():
        for make in makers:
            build_cycle(make)

    assert block_growth(round, rounds=10_000) < 200


def test_a_long_chain_of_specs_is_released_without_deep_recursion(run_py):
    out = run_py(
        """
        import norv_host
        from norv_core import _native as n
        norv_host.install()
        spec = None
        for _ in range(1_000_000):
            spec = n.Any(default=spec)
        del spec
        print("released")
        """
    )
    assert out == "released\n"


# ---- a cleared spec ----------------------------------------------------------------------------------


def getters(cls):
    return [
        name
        for klass in (cls, n.SpecBase)
        for name, attr in vars(klass).items()
        if isinstance(attr, types.GetSetDescriptorType) and not name.startswith("__")
    ]


OPERATIONS = {
    "apply": lambda s: s.apply(1),
    "apply with arguments": lambda s: s.apply(1, allow_partial=True),
    "_apply": lambda s: s._apply(1, False, None, None),
    "_validate": lambda s: s._validate(None, 1),
    "set_default": lambda s: s.set_default(1),
    "set_default_factory": lambda s: s.set_default_factory(None),
    "set_transform": lambda s: s.set_transform(None),
    "set_strict": lambda s: s.set_strict(True),
    "_materialize_strict": lambda s: s._materialize_strict(),
    "noneable": lambda s: s.noneable(),
    "freeze": lambda s: s.freeze(1),
    "materialize_default": lambda s: s.materialize_default(),
    "format": lambda s: s.format(compact=True),
    "to_json_schema": lambda s: s.to_json_schema(),
    "to_json": lambda s: s.to_json(),
    "extend": lambda s: s.extend(type(s)()),
    "==": lambda s: s == type(s)(),
    "is_compatible": lambda s: s.is_compatible(type(s)()),
    "repr": repr,
    "str": str,
    "call": lambda s: s(),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}

CLEARED_CASES = [
    *[(cls, name, op) for cls in CLASSES for name, op in OPERATIONS.items()],
    *[(cls, name, lambda s, name=name: getattr(s, name)) for cls in CLASSES for name in getters(cls)],
    (Any, "annotate", lambda s: s.annotate(int)),
]


@pytest.mark.parametrize(
    "cls, name, op", CLEARED_CASES, ids=[f"{cls.__name__}-{name}" for cls, name, _ in CLEARED_CASES]
)
def test_every_entry_point_refuses_a_cleared_spec(cls, name, op):
    spec = cls()
    tp_clear(spec)
    with pytest.raises(ReferenceError, match=f"^{cls.__name__} spec was cleared by the garbage collector$"):
        op(spec)


class Target:
    pass


# The other spec classes: each built once, then every own entry point and the
# shared ones are touched after the collector's clear.
OTHER_SPECS = {
    "Enum": lambda: n.Enum(["a", "b"]),
    "Type": lambda: n.Type(int),
    "Object": lambda: n.Object(Target),
    "Union": lambda: n.Union([int, str]),
    "Callable": lambda: n.Callable([int]),
    "Functor": lambda: n.Functor(),
    "List": lambda: n.List(n.Int()),
    "Tuple": lambda: n.Tuple([n.Int()]),
    "Dict": lambda: n.Dict([("a", n.Int())]),
}

# Answers that do not read the spec at all.
CONSTANT_GETTERS = {"_nested_dict_bulk_check"}

OTHER_OPERATIONS = {
    "apply": lambda s: s.apply(1),
    "repr": repr,
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "skip_user_transform": lambda s: s.skip_user_transform,
    "to_json": lambda s: s.to_json(),
    "extend": lambda s: s.extend(OTHER_SPECS[type(s).__name__]()),
    "==": lambda s: s == OTHER_SPECS[type(s).__name__](),
    "is_compatible": lambda s: s.is_compatible(OTHER_SPECS[type(s).__name__]()),
    "get_candidate": lambda s: s.get_candidate(Int()) if isinstance(s, n.Union) else s.value_type,
}

OTHER_CLEARED_CASES = [
    *[(name, op_name, op) for name in OTHER_SPECS for op_name, op in OTHER_OPERATIONS.items()],
    *[
        (name, getter, lambda s, getter=getter: getattr(s, getter))
        for name, make in OTHER_SPECS.items()
        for getter in getters(type(make()))
        if getter not in CONSTANT_GETTERS
    ],
]


@pytest.mark.parametrize(
    "name, op_name, op", OTHER_CLEARED_CASES, ids=[f"{name}-{op_name}" for name, op_name, _ in OTHER_CLEARED_CASES]
)
def test_the_other_classes_refuse_a_cleared_spec(name, op_name, op):
    spec = OTHER_SPECS[name]()
    tp_clear(spec)
    with pytest.raises(ReferenceError, match=f"^{type(spec).__name__} spec was cleared by the garbage collector$"):
        op(spec)


@pytest.mark.parametrize("name", OTHER_SPECS)
def test_the_other_classes_are_tracked(name):
    assert gc.is_tracked(OTHER_SPECS[name]())


def test_a_cleared_spec_is_still_an_object():
    spec = Any(default=Node())
    tp_clear(spec)
    tp_clear(spec)
    assert spec == spec and spec != 0
    with pytest.raises(ReferenceError):
        spec == Any()  # noqa: B015
    with pytest.raises(ReferenceError):
        Any() == spec  # noqa: B015
    with pytest.raises(TypeError, match="unhashable"):
        hash(spec)
    assert gc.is_tracked(spec) and gc.get_referents(spec) == [Any]
    del spec
    gc.collect()


class Outcomes:
    """Touches a spec and records what each operation gave."""

    def __init__(self):
        self.seen = []

    def touch(self, spec):
        for name, op in OPERATIONS.items():
            try:
                op(spec)
            except Exception as e:  # a PanicException is a BaseException and escapes
                self.seen.append((name, type(e)))
            else:
                self.seen.append((name, None))


@pytest.mark.parametrize("cls", CLASSES)
def test_a_finalizer_in_the_cycle_can_use_the_spec(cls):
    outcomes = Outcomes()

    class Finalized(Node):
        def __del__(self):
            outcomes.touch(self.spec)

    node = Finalized()
    node.spec = cls(default_factory=node)
    del node
    gc.collect()
    # The collector runs finalizers before it clears anything: the spec works.
    assert [name for name, _ in outcomes.seen] == list(OPERATIONS)
    assert dict(outcomes.seen)["repr"] is None


@pytest.mark.parametrize("cls", CLASSES)
def test_code_run_while_a_cycle_is_cleared_meets_a_working_or_a_cleared_spec(cls):
    """A finalizer leaves an object that only the garbage holds and that can
    find the spec through a weak reference; it dies while the collector breaks
    the cycle, possibly after the spec was cleared."""
    outcomes = Outcomes()

    class Late:
        def __init__(self, ref):
            self.ref = ref

        def __del__(self):
            node = self.ref()
            spec = getattr(node, "spec", None)  # the node may be cleared already
            if spec is not None:
                outcomes.touch(spec)

    class Planter:
        def __del__(self):
            self.node.spec.set_default(Late(weakref.ref(self.node)), use_default_apply=False)

    def build():
        spec = cls()
        node = Node()
        spec.set_transform(node.method)
        node.spec = spec
        node.planter = Planter()
        node.planter.node = node

    build()
    gc.collect()
    # Every operation reported back: none escaped as a PanicException.
    assert [name for name, _ in outcomes.seen] == list(OPERATIONS)
    assert {error for _, error in outcomes.seen} <= {None, ReferenceError, TypeError, ValueError}
    if dict(outcomes.seen)["repr"] is ReferenceError:
        assert all(error is ReferenceError for _, error in outcomes.seen)



# ---- a parent whose child the collector cleared ----------------------------------------------------


class ListOf(list):
    """Declines the container fast path, so the child step reads the element spec."""


class DictOf(dict):
    """Declines the dict fast path, so the child step reads the open value spec."""


def transformed(parent):
    parent.set_transform(lambda v: v)
    return parent


# (parent over the child, a value that makes the parent read the child, the
# class the child's ReferenceError names)
CLEARED_CHILDREN = {
    "Union type map": (lambda c: n.Union([c, Str()]), 1, "Int"),
    "Union type map, child step": (lambda c: transformed(n.Union([c, Str()])), 1, "Int"),
    "Union Object candidate": (lambda c: transformed(n.Union([c, Str()])), Target(), "Object"),
    "Union no map entry": (lambda c: n.Union([c, Str()]), 1.5, "Int"),
    "List element": (lambda c: n.List(c), ListOf([1]), "Int"),
    "Dict open value": (lambda c: n.Dict([(n.StrKey(), c)]), DictOf(a=1), "Int"),
}


@pytest.mark.parametrize("make, value, child", CLEARED_CHILDREN.values(), ids=CLEARED_CHILDREN.keys())
def test_a_parent_applied_after_its_child_was_cleared_raises_reference_error(make, value, child):
    """The child is in a cycle through its transform; the parent is garbage too
    and is applied again by a finalizer that dies when the child's clear
    releases it: the native read of the child meets a cleared spec."""
    seen = []

    class Holder:
        __slots__ = ("parent", "__weakref__")  # the collector's clear leaves slots alone

    class Late:
        def __init__(self, holder):
            self.holder = weakref.ref(holder)

        def __del__(self):
            try:
                self.holder().parent.apply(value)
            except ReferenceError as e:
                seen.append(str(e))
            else:
                seen.append("applied")

    class Planter:
        def __del__(self):
            # Weak references made before the collection are gone by now.
            self.node.spec.set_default(Late(self.holder), use_default_apply=False)

    def build():
        # Made first, so the collector clears it before what leads to the parent.
        spec = n.Object(Target) if child == "Object" else Int()
        node = Node()
        node.spec = spec
        spec.set_transform(node.method)
        node.holder = Holder()
        node.holder.parent = make(node.spec)
        node.planter = Planter()
        node.planter.node, node.planter.holder = node, node.holder

    build()
    ht.calls.clear()  # the host's log holds specs it was handed
    gc.collect()
    assert seen == [f"{child} spec was cleared by the garbage collector"]
