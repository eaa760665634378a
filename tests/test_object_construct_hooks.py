"""The hooks that end a construction and the tests behind them: whether the
object is abstract (partial, or pure-symbolic by the native scan or the
host's word), the cache of that answer in the instance dict, and the native
partial test the typing layer asks."""

import typing

import pytest

import norv_host
from norv_host import objects as ho
from norv_host import symbolic as hs

from host_calls import clean_records, recorded  # noqa: F401  (fixture)

norv_host.install()
HostObject, MISSING = ho.HostObject, ho.MISSING_VALUE
HOOKS = ("on_sym_validate", "on_sym_post_init", "on_sym_bound", "on_sym_ready")


pytestmark = pytest.mark.usefixtures("clean_records")


def hook_class(*hooks, **fields):
    """A class overriding `hooks` (each records its call), with `fields`
    given as annotations (an `Any` field defaults to None)."""

    def make(name):
        def hook(self):
            ho.calls.append(("hook", name))

        return hook

    namespace = {name: make(name) for name in hooks}
    namespace["__annotations__"] = {k: v for k, v in fields.items()}
    for k, annotation in fields.items():
        if annotation is typing.Any:
            namespace[k] = None
    return type("Hooked", (HostObject,), namespace)


def hooks_run():
    return [c[0] for c in recorded("hook")]


class Marked:
    """A value whose class marks it pure-symbolic."""

    __norv_pure_symbolic__ = True


def cached(obj):
    return vars(obj).get("_sym_puresymbolic", "absent")


# ---------------------------------------------------------------- dispatch


def test_a_class_overriding_no_hook_runs_none_and_computes_nothing():
    cls = hook_class(v=typing.Any)
    obj = cls(v=Marked())
    assert hooks_run() == [] and cached(obj) == "absent"


def test_post_init_ends_the_dispatch():
    cls = hook_class(*HOOKS, v=int)
    cls(v=1)
    assert hooks_run() == ["on_sym_validate", "on_sym_post_init"]


def test_bound_then_ready():
    cls = hook_class("on_sym_validate", "on_sym_bound", "on_sym_ready", v=int)
    cls(v=1)
    assert hooks_run() == ["on_sym_validate", "on_sym_bound", "on_sym_ready"]


def test_a_hook_error_stops_the_later_hooks():
    class Failing(HostObject):
        def on_sym_bound(self):
            raise LookupError("bound failed")

        def on_sym_ready(self):
            ho.calls.append(("hook", "on_sym_ready"))

    with pytest.raises(LookupError, match="bound failed"):
        Failing()
    assert hooks_run() == []


# ---------------------------------------------------------------- the abstract test


def test_an_all_scalar_fill_caches_false_without_a_scan():
    cls = hook_class("on_sym_validate", "on_sym_ready", v=int)
    obj = cls(v=1)
    assert cached(obj) is False and hooks_run() == ["on_sym_validate", "on_sym_ready"]
    assert recorded("is_pure_symbolic") == []


def test_a_pure_symbolic_value_makes_the_object_abstract_and_is_cached():
    cls = hook_class("on_sym_validate", "on_sym_bound", "on_sym_ready", v=typing.Any)
    obj = cls(v=Marked())
    assert cached(obj) is True and hooks_run() == ["on_sym_bound"]


def test_ready_alone_computes_the_test_once():
    cls = hook_class("on_sym_ready", v=typing.Any)
    assert cached(cls(v=Marked())) is True and hooks_run() == []
    assert cached(cls(v=[1])) is False and hooks_run() == ["on_sym_ready"]


def test_a_partial_object_skips_validate_and_ready_and_caches_nothing():
    class Partial(HostObject):
        v: int
        w: typing.Any = None

        def on_sym_validate(self):
            ho.calls.append(("hook", "on_sym_validate"))

        def on_sym_bound(self):
            ho.calls.append(("hook", "on_sym_bound"))

        def on_sym_ready(self):
            ho.calls.append(("hook", "on_sym_ready"))

    obj = Partial(allow_partial=True, w=[1])
    assert hooks_run() == ["on_sym_bound"] and cached(obj) == "absent"
    # answered natively: the host's property is not read
    assert recorded("sym_partial") == []
    ho.clear()
    obj = Partial(v=1, w=[1], allow_partial=True)
    assert hooks_run() == ["on_sym_validate", "on_sym_bound", "on_sym_ready"] and cached(obj) is False


def test_an_undecided_scan_asks_the_object_and_caches_nothing():
    class Custom(HostObject):
        v: typing.Any = None

        @property
        def sym_puresymbolic(self):
            ho.calls.append(("puresymbolic", self))
            return True

        def on_sym_validate(self):
            ho.calls.append(("hook", "on_sym_validate"))

    obj = Custom(v=[1])
    assert recorded("puresymbolic") == [(obj,)] and hooks_run() == [] and cached(obj) == "absent"


# ---------------------------------------------------------------- the scan


class Child(HostObject):
    v: typing.Any = None


class Overriding(Child):
    @property
    def sym_puresymbolic(self):
        return False


def validating(**fields):
    return hook_class("on_sym_validate", **fields)


def test_a_child_object_is_scanned_natively():
    cls = validating(c=Child)
    assert cached(cls(c=Child(v=Marked()))) is True
    child = Child(v=[1])
    ho.clear()
    assert cached(cls(c=child)) is False
    # a plain list is no tree the scan walks: the host decides for it
    assert recorded("is_pure_symbolic") == [([1],)]


def test_a_child_whose_class_overrides_the_rules_is_asked_of_the_host():
    cls = validating(c=Overriding)
    child = Overriding(v=Marked())
    ho.clear()
    assert cached(cls(c=child)) is False
    assert recorded("is_pure_symbolic") == [(child,)]


def test_a_child_cache_answers_for_it():
    cls = validating(c=Child)
    child = Child(v=[1])
    vars(child)["_sym_puresymbolic"] = True
    assert cached(cls(c=child)) is True
    vars(child)["_sym_puresymbolic"] = None  # None: not cached
    assert cached(cls(c=child)) is False


def test_symbolic_containers_of_the_host_classes_are_walked():
    cls = validating(d=typing.Any, l=typing.Any)
    obj = cls(d=hs.HostDict({"a": 1, "b": Marked()}), l=hs.HostList([1]))
    assert cached(obj) is True and recorded("is_pure_symbolic") == []
    obj = cls(d=hs.HostDict({"a": 1}), l=hs.HostList([[2], Marked()]))
    assert cached(obj) is True


def test_a_subclass_of_the_host_dict_class_is_left_to_the_host():
    class Sub(hs.HostDict):
        pass

    cls = validating(d=typing.Any)
    d = Sub({"a": Marked()})
    obj = cls(d=d)
    assert cached(obj) is False and [c for c in recorded("is_pure_symbolic") if c[0] is obj.d] == [(obj.d,)]


def test_a_structure_that_holds_itself_ends_in_recursion_error():
    class Plain(HostObject, sym=False):
        v: typing.Any = None

    loop = Plain(v=[1])
    loop.field_dict()["v"] = loop  # only host code that bypasses adoption makes this
    cls = validating(c=Plain)
    with pytest.raises(RecursionError):
        cls(c=loop)


# ---------------------------------------------------------------- the partial test


class Leaf(HostObject):
    v: int


class Branch(HostObject):
    leaf: Leaf


def partial_root(**fields):
    """A class whose validate hook runs only when the object is not partial."""
    return hook_class("on_sym_validate", **fields)


def test_a_missing_value_two_levels_down_makes_the_object_partial():
    cls = partial_root(b=Branch)
    obj = cls(b=Branch(leaf=Leaf(allow_partial=True), allow_partial=True), allow_partial=True)
    assert hooks_run() == [] and recorded("sym_partial") == []
    assert obj.b.leaf.v == MISSING


def test_complete_children_and_plain_values_are_not_partial():
    cls = partial_root(b=Branch, p=typing.Any)
    cls(b=Branch(leaf=Leaf(v=1)), p=[MISSING], allow_partial=True)
    assert hooks_run() == ["on_sym_validate"] and recorded("sym_partial") == []


def test_a_symbolic_dict_answers_through_its_own_property():
    cls = partial_root(d=typing.Any)
    d = hs.HostDict()
    dict.__setitem__(d, "a", MISSING)
    obj = cls(d=d, allow_partial=True)
    assert hooks_run() == [] and recorded("sym_partial") == [(obj.d,)]


def test_a_class_that_overrides_sym_missing_answers_through_its_property():
    class Own(Leaf):
        def sym_missing(self):
            return {}

    cls = partial_root(o=Own)
    obj = cls(o=Own(allow_partial=True), allow_partial=True)
    assert recorded("sym_partial") == [(obj.o,)] and hooks_run() == ["on_sym_validate"]


def test_the_typing_layer_asks_the_native_test():
    class Maybe(Leaf):
        __norv_maybe_partial__ = True

    holder = type("Holder", (HostObject,), {"__annotations__": {"m": Maybe}})
    complete = Maybe(v=1)
    holder(m=complete)
    assert recorded("sym_partial") == []
    with pytest.raises(ValueError, match="is not fully bound"):
        holder(m=Maybe(allow_partial=True))


def test_a_partial_walk_over_a_structure_that_holds_itself_ends_in_recursion_error():
    class Plain(HostObject, sym=False):
        v: typing.Any = None

    loop = Plain(v=[1])
    loop.field_dict()["v"] = loop
    cls = partial_root(c=Plain)
    with pytest.raises(RecursionError):
        cls(c=loop, allow_partial=True)
