"""SymList's spec binding and seams: use_value_spec, custom_apply, the fused
typed construct, the wrap node, the one-pass clone, adoption, the raw
snapshot of the elements and the facts of the bound spec."""

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from traced import Traced, blank, clean_host  # noqa: F401
from traced import recorded as calls

norv_host.install()
probe = n._testing
HostList, HostDict, KeyPath = hs.HostList, hs.HostDict, n.KeyPath
P = KeyPath.parse
NONE = ...  # what the element probe answers for "no element field"


class Spy(HostList):
    """Records the engine's calls of `custom_apply` before answering them."""

    def custom_apply(self, path, value_spec, allow_partial, child_transform=None):
        hs.calls.append(("custom_apply", self, path, value_spec, allow_partial, child_transform))
        return super().custom_apply(path, value_spec, allow_partial, child_transform)

pytestmark = pytest.mark.usefixtures("clean_host")


def make(*elements, cls=HostList, path="r"):
    lst = blank(cls)
    lst._sym_path = P(path) if path is not None else None
    list.extend(lst, elements)
    return lst


# ---------------------------------------------------------------- use_value_spec


def test_binding_applies_the_spec_which_binds_through_custom_apply():
    lst, spec = make(1, 2, cls=Spy), n.List(n.Int())
    assert lst.use_value_spec(spec) is lst
    assert lst.value_spec is spec and lst._value_spec is spec
    ((target, path, offered, allow_partial, transform),) = calls("custom_apply")
    assert (target, path, offered, allow_partial) == (lst, P("r"), spec, False)
    assert transform._norv_allow_partial is False  # the stand-in's symbolic transform
    assert calls("symbolic_transform_fn") == [(False,)]


def test_binding_validates_the_elements_and_a_refusal_leaves_the_list_unbound():
    lst = make(1, "a")
    with pytest.raises(TypeError, match=r"^Expect <class 'int'> but encountered <class 'str'>: a\. \(path=r\[1\]\)$"):
        lst.use_value_spec(n.List(n.Int()))
    assert lst.value_spec is None and list(lst) == [1, "a"]
    # so a corrected spec binds
    spec = n.List(n.Str())
    list.__setitem__(lst, 0, "b")
    assert lst.use_value_spec(spec) is lst and lst.value_spec is spec


class Refusing(Spy):
    """Refuses every spec once the native `custom_apply` has taken it."""

    def custom_apply(self, path, value_spec, allow_partial, child_transform=None):
        super().custom_apply(path, value_spec, allow_partial, child_transform)
        raise LookupError("refused")


@pytest.mark.parametrize(
    "cls, bound, partial_before, spec, allow_partial, exc",
    [
        (HostList, None, True, n.List(n.Int()), False, TypeError),  # an element refused
        (HostList, None, False, n.List(n.Any(), max_size=1), True, ValueError),  # the size refused
        (Refusing, None, False, n.List(n.Str()), True, LookupError),
        (Refusing, n.List(n.Str()), False, n.List(n.Str()), True, LookupError),  # only the flag had changed
    ],
)
def test_a_refused_binding_leaves_the_list_as_it_was(cls, bound, partial_before, spec, allow_partial, exc):
    lst = make("a", 2, cls=cls)
    lst._value_spec, lst._allow_partial = bound, partial_before
    with pytest.raises(exc):
        lst.use_value_spec(spec, allow_partial=allow_partial)
    assert lst._value_spec is bound and lst._allow_partial is partial_before and list(lst) == ["a", 2]


def test_binding_reports_the_size_the_spec_refuses():
    with pytest.raises(ValueError, match="Length of list"):
        make(1, 2, 3).use_value_spec(n.List(n.Int(), max_size=2))


def test_binding_none_unbinds_and_makes_the_list_writable_again():
    lst = make(1)
    lst.use_value_spec(n.List(n.Int()))
    lst._accessor_writable, lst._sealed = False, True
    hs.clear()
    assert lst.use_value_spec(None) is lst
    assert lst.value_spec is None and lst._accessor_writable is True and lst._sealed is True
    assert hs.calls == []  # no bridge read, nothing applied


def test_binding_the_same_or_an_equal_spec_again_reapplies_it():
    lst, spec = make(1, cls=Spy), n.List(n.Int())
    lst.use_value_spec(spec)
    lst.use_value_spec(spec)
    lst.use_value_spec(n.List(n.Int()))
    assert len(calls("custom_apply")) == 3 and lst.value_spec is spec


def test_binding_a_different_spec_is_refused_with_the_path_message():
    lst, spec = make(1), n.List(n.Int())
    lst.use_value_spec(spec)
    other = n.List(n.Float())
    hs.clear()
    with pytest.raises(RuntimeError) as info:
        lst.use_value_spec(other)
    text = f"List is already bound with a different value spec: {spec}. New value spec: {other}."
    assert str(info.value) == f"{text} (path=r)"
    assert calls("message_on_path") == [(text, P("r"))] and lst.value_spec is spec


@pytest.mark.parametrize("value", [n.Dict(), n.Int(), 42, "List"])
def test_binding_a_spec_of_another_class_is_refused(value):
    lst = make(1, path=None)
    with pytest.raises(ValueError) as info:
        lst.use_value_spec(value)
    text = f"Value spec for list must be a `nv.typing.List` object. Encountered: {value!r}"
    assert str(info.value) == f"{text} (path=None)"
    assert calls("message_on_path") == [(text, None)] and lst.value_spec is None


def test_binding_stores_allow_partial_on_the_node_and_tells_apply_the_effective_one():
    lst = make(1, cls=Spy)
    lst._allow_partial = True
    lst.use_value_spec(n.List(n.Int()))
    assert lst._allow_partial is False  # the default, not what the node had
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, True)
    lst.use_value_spec(n.List(n.Int()), allow_partial=False)
    # The transform follows the node's own flag, apply the effective one.
    assert calls("symbolic_transform_fn")[-1] == (False,)
    assert calls("custom_apply")[-1][3] is True


def test_binding_without_wrap_passes_no_transform():
    lst = make(1, cls=Spy)
    lst._wrap = False
    lst.use_value_spec(n.List(n.Int()), allow_partial=True)
    assert calls("symbolic_transform_fn") == [] and calls("custom_apply")[0][3:] == (True, None)


def test_binding_argument_errors():
    lst = make(1)
    with pytest.raises(TypeError, match="^argument 'allow_partial': 'int' object is not an instance of 'bool'$"):
        lst.use_value_spec(n.List(n.Int()), 1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'value_spec'"):
        lst.use_value_spec()
    assert lst.value_spec is None


def test_a_decorator_result_is_used_as_the_host_returned_it(run_py):
    out = run_py(
        """
from norv_core import _native as n
from norv_host import symbolic as hs, typing as ht
ht.install()
n._install_container_bridge(**dict(hs.HANDLES, message_on_path=lambda m, p: (m, p)))
lst = hs.HostList.__new__(hs.HostList)
try:
    lst.use_value_spec(n.Dict())        # the raised text must be a str
except TypeError as e:
    print(e)
lst._value_spec = n.List(n.Int())
try:
    lst.custom_apply('q', n.List(n.Str()), False)   # any object is the argument
except ValueError as e:
    print(len(e.args), e.args[0][1])
"""
    )
    assert out.splitlines() == ["'tuple' object is not an instance of 'str'", "1 q"]


# ---------------------------------------------------------------- custom_apply


def test_custom_apply_binds_a_list_spec_without_touching_the_elements():
    lst, spec = make("a"), n.List(n.Int())
    assert lst.custom_apply(P("q"), spec, False) == (True, lst)
    assert lst.value_spec is spec and list(lst) == ["a"]


@pytest.mark.parametrize("spec", [n.Int(), n.Dict(), None, "x"])
def test_custom_apply_binds_no_other_spec(spec):
    lst = make(1)
    proceed, same = lst.custom_apply(P("q"), spec, True)
    assert proceed is True and same is lst and lst.value_spec is None
    assert lst._allow_partial is False  # unbound: the flag is not taken over


@pytest.mark.parametrize(
    "node_flag, requested, proceed",
    [(False, False, False), (True, True, False), (False, True, True), (True, False, True)],
)
def test_custom_apply_on_a_bound_list_takes_over_allow_partial(node_flag, requested, proceed):
    lst, spec = make(1), n.List(n.Int())
    lst._value_spec, lst._allow_partial = spec, node_flag
    for offered in (None, spec):
        lst._allow_partial = node_flag
        assert lst.custom_apply(P("q"), offered, requested) == (proceed, lst)
        assert lst._allow_partial is requested and lst.value_spec is spec


def test_custom_apply_refuses_an_incompatible_spec_with_the_given_path():
    lst, bound, offered = make(1), n.List(n.Int()), n.List(n.Str())
    lst._value_spec = bound
    with pytest.raises(ValueError) as info:
        lst.custom_apply(P("elsewhere"), offered, True)
    text = f"List (spec={bound!r}) cannot be assigned to an incompatible field (spec={offered!r})."
    assert info.value.args == (f"{text} (path=elsewhere)",)
    assert calls("message_on_path") == [(text, P("elsewhere"))]
    assert lst._allow_partial is False and lst.value_spec is bound


class Odd:
    def __init__(self, answer):
        self.answer = answer

    def is_compatible(self, other):
        hs.calls.append(("is_compatible", other))
        return self.answer


def test_custom_apply_requires_a_bool_from_is_compatible():
    lst, bound = make(1), n.List(n.Int())
    lst._value_spec = bound
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'bool'$"):
        lst.custom_apply(P("q"), Odd(1), True)
    assert calls("is_compatible") == [(bound,)]
    assert lst.custom_apply(P("q"), Odd(True), True) == (True, lst)


def test_custom_apply_argument_errors():
    lst = make(1)
    with pytest.raises(TypeError, match="^argument 'allow_partial': "):
        lst.custom_apply(P("q"), None, None)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'allow_partial'"):
        lst.custom_apply(P("q"), None)


def test_the_engine_hands_a_host_list_to_custom_apply():
    lst, spec = make(1, 2, cls=Spy), n.List(n.Int())
    assert spec.apply(lst) is lst
    assert lst.value_spec is spec and len(calls("custom_apply")) == 1
    other = make(1)
    other._value_spec = n.List(n.Str())
    with pytest.raises(ValueError, match=r"cannot be assigned to an incompatible field"):
        spec.apply(other)


# ---------------------------------------------------------------- the fused typed construct


@pytest.mark.parametrize(
    "spec, elements, fused",
    [
        (n.List(n.Int()), [1, 2, 3], True),
        (n.List(n.Int()), [], True),
        (n.List(n.Str()), ["a", "b"], True),
        (n.List(n.Float()), [1.0, 2.5], True),
        (n.List(n.Bool()), [True, False], True),
        (n.List(n.Int(), min_size=3, max_size=3), [1, 2, 3], True),
        (n.List(n.Int()), [1, 2.0], False),
        (n.List(n.Int()), [True], False),  # a bool is not exactly an int
        (n.List(n.Float()), [1], False),
        (n.List(n.Int()), [1, None], False),
        (n.List(n.Int(), min_size=4), [1, 2, 3], False),
        (n.List(n.Int(), max_size=2), [1, 2, 3], False),
        (n.List(n.Int(min_value=0)), [1], False),  # no exact leaf type
        (n.List(n.Str(regex="a")), ["a"], False),
        (n.List(n.Any()), [1], False),
        (n.List(n.Int(), transform=lambda v: v), [1], False),
        (n.List(n.Int(), default=[1], frozen=True), [1], False),
        (n.Tuple(n.Int()), [1], False),
        (n.Int(), [1], False),
        (None, [1], False),
    ],
)
def test_fused_construct_owns_only_exact_leaf_scalars_within_bounds(spec, elements, fused):
    lst = make(cls=Spy)
    assert probe.fused_typed_construct(lst, spec, elements) is fused
    if fused:
        assert list(lst) == elements and lst.value_spec is spec
        assert all(a is b for a, b in zip(lst, elements))
    else:
        assert list(lst) == [] and lst.value_spec is None
    assert calls("custom_apply") == []


def test_fused_construct_declines_on_a_list_already_holding_elements():
    # The elements there would be bound unchecked and the bounds would count
    # only the new ones.
    lst = make("not an int")
    assert probe.fused_typed_construct(lst, n.List(n.Int(), max_size=1), [1]) is False
    assert list(lst) == ["not an int"] and lst.value_spec is None


def test_fused_construct_replaces_a_spec_bound_by_hand():
    lst, spec = make(), n.List(n.Int())
    lst._value_spec = "old"
    assert probe.fused_typed_construct(lst, spec, [1]) is True and lst.value_spec is spec


# ---------------------------------------------------------------- the wrap node


def test_wrap_node_holds_the_elements_bound_and_unparented():
    spec, child, scalar = n.List(n.Any()), blank(HostDict), 1
    node = probe.build_wrap_node(HostList, [scalar, child, "s"], spec, True, P("w"))
    assert type(node) is HostList and list(node) == [1, child, "s"]
    assert node.value_spec is spec and node.sym_path == P("w") and node.sym_parent is None
    assert (node._allow_partial, node._accessor_writable, node._sealed, node._wrap) == (True, True, False, True)
    assert node._onchange_callback is None and node._sym_origin is None
    assert child.sym_path == P("w[1]") and child.sym_parent is node


def test_wrap_node_stores_the_spec_unchecked_and_sets_the_parent_last():
    parent = blank(HostDict)
    child = Traced()
    node = probe.build_wrap_node(HostList, [child], 42, False, P("w"), parent)
    assert node.value_spec == 42 and node.sym_parent is parent
    # Adopted while the node had no parent yet.
    assert calls("sym_setparent") == [(child, node)]


def test_wrap_node_stores_the_clone_of_an_element_owned_elsewhere():
    owner = blank(HostDict)
    owner._sym_path = P("o")
    child = blank(HostList)
    list.append(child, 1)
    dict.__setitem__(owner, "c", owner._relocate_if_symbolic("c", child))
    node = probe.build_wrap_node(HostList, [child], None, False, P("w"))
    clone = node[0]
    assert clone is not child and clone == [1] and clone.sym_parent is node and clone.sym_path == P("w[0]")
    assert child.sym_parent is owner


def test_wrap_node_copies_a_list_subclass_by_its_storage():
    class Loud(list):
        def __iter__(self):
            raise AssertionError("not iterated")

    node = probe.build_wrap_node(HostList, Loud([1, 2]), None, False, P("w"))
    assert list(node) == [1, 2]


@pytest.mark.parametrize("scope, origin", [(True, hs.Origin(None, "__init__")), (None, None), (False, None)])
def test_wrap_node_origin_follows_the_tracking_scope(scope, origin):
    class Stamped(HostList):
        def __new__(cls, *args):
            made = super().__new__(cls)
            made._sym_origin = "from __new__"
            return made

    n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, scope)
    assert probe.build_wrap_node(Stamped, [], None, False, P("w"))._sym_origin == origin


def test_wrap_node_refuses_a_class_that_makes_no_symlist():
    class Fake(HostList):
        def __new__(cls, *args):
            return [1]

    with pytest.raises(TypeError, match="^'list' object is not an instance of 'SymList'$"):
        probe.build_wrap_node(Fake, [1], None, False, P("w"))


# ---------------------------------------------------------------- _clone_if_primitive


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "elements, clones",
    [
        ([], True),
        ([1, 2.0, "a", None, True, b"x"], True),
        ([1, [2]], False),
        ([(1,)], False),
        ([{1}], False),
        ([StrSub("a")], False),
        ([blank(HostDict)], False),
    ],
)
def test_clone_if_primitive_takes_only_scalars(elements, clones):
    lst = make(*elements)
    clone = lst._clone_if_primitive()
    if not clones:
        assert clone is None
        return
    assert type(clone) is HostList and clone is not lst and list(clone) == elements
    assert all(a is b for a, b in zip(clone, elements))


def test_a_clone_is_a_fresh_unsealed_root_sharing_the_spec():
    spec = n.List(n.Any())
    lst = make(1, 2)
    lst._value_spec, lst._onchange_callback, lst._sym_parent = spec, print, blank(HostDict)
    lst._sealed, lst._allow_partial, lst._accessor_writable, lst._wrap = True, True, False, False
    lst._sym_origin = hs.Origin("src", "tag")
    clone = lst._clone_if_primitive()
    assert clone.sym_path is hs.EMPTY_KEY_PATH and clone.sym_parent is None and clone.value_spec is spec
    assert (clone._sealed, clone._allow_partial, clone._accessor_writable, clone._wrap) == (False, True, False, False)
    assert clone._onchange_callback is None and clone._sym_origin is None
    assert lst._sealed and lst.sym_path == P("r") and list(lst) == [1, 2]


@pytest.mark.parametrize("scope, origin", [(True, hs.Origin(None, "__init__")), (None, None)])
def test_a_clone_origin_follows_the_tracking_scope(scope, origin):
    n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, scope)
    assert make(1)._clone_if_primitive()._sym_origin == origin


def test_clone_refuses_a_class_that_makes_no_symlist():
    class Fake(HostList):
        def __new__(cls, *args):
            return blank(HostDict)

    lst = HostList.__new__(Fake)
    list.append(lst, 1)
    with pytest.raises(TypeError, match="^'HostDict' object is not an instance of 'SymList'$"):
        lst._clone_if_primitive()
    assert list(lst) == [1]


# ---------------------------------------------------------------- adoption


def test_relocate_adopts_a_free_child_under_the_index():
    lst, child = make(), blank(HostDict)
    assert lst._relocate_if_symbolic(3, child) is child
    assert child.sym_path == P("r[3]") and child.sym_parent is lst
    assert lst._relocate_if_symbolic(idx=0, value=5) == 5


def test_relocate_clones_a_child_owned_elsewhere():
    lst, other = make(), make(path="o")
    child = make(1, 2, path=None)
    list.append(other, other._relocate_if_symbolic(0, child))
    clone = lst._relocate_if_symbolic(0, child)
    assert clone is not child and clone == [1, 2] and clone.sym_parent is lst and clone.sym_path == P("r[0]")
    assert child.sym_parent is other


def test_relocate_takes_a_set_or_none_as_seen():
    lst, child = make(), blank(HostDict)
    seen = set()
    lst._relocate_if_symbolic(0, child, seen)
    assert child in seen
    assert lst._relocate_if_symbolic(1, child, seen) is not child  # met again: cloned
    with pytest.raises(TypeError, match="^argument 'seen': 'list' object is not an instance of 'set'$"):
        lst._relocate_if_symbolic(0, blank(HostDict), [])


def test_a_list_cannot_adopt_itself():
    lst = make()
    with pytest.raises(ValueError, match="would create a cycle"):
        lst._relocate_if_symbolic(0, lst)


def test_native_child_state_reads_a_list_in_place():
    lst, parent = make(), blank(HostDict)
    lst._sym_parent = parent
    assert probe.native_child_state(lst) == (parent, True, P("r"))


# ---------------------------------------------------------------- reads and spec facts


def test_sym_values_is_a_raw_snapshot():
    inferred = hs.Inferred(5)
    lst = make(1, inferred)
    values = lst.sym_values()
    list.append(lst, 3)
    assert list(values) == [1, inferred] and calls("infer") == []
    with pytest.raises(TypeError):
        lst.sym_values(1)


def test_spec_facts_of_a_schemaless_list():
    lst = make(1)
    assert (probe.element_of(lst), probe.min_size_val(lst), probe.max_size_val(lst)) == (NONE, None, None)


@pytest.mark.parametrize(
    "spec, low, high",
    [(n.List(n.Int()), 0, None), (n.List(n.Int(), min_size=1, max_size=3), 1, 3), (n.List(n.Int(), size=2), 2, 2)],
)
def test_spec_facts_of_a_bound_list(spec, low, high):
    lst = make()
    lst._value_spec = spec
    assert probe.element_of(lst) is spec.element
    assert (probe.min_size_val(lst), probe.max_size_val(lst)) == (low, high)


class Facts:
    """A spec object bound by hand, whose facts are read through Python."""

    def __init__(self, min_size=0, element=None):
        self.min_size = min_size
        self.element = element


class Element:
    def __init__(self, max_value):
        self.key = Key(max_value)


class Key:
    def __init__(self, max_value):
        self.max_value = max_value


@pytest.mark.parametrize(
    "spec, error",
    [
        (Facts(min_size="3"), TypeError),
        (Facts(min_size=2**63), OverflowError),
        (object(), AttributeError),
    ],
)
def test_min_size_errors_propagate(spec, error):
    lst = make()
    lst._value_spec = spec
    with pytest.raises(error):
        probe.min_size_val(lst)


@pytest.mark.parametrize(
    "element, answer",
    [(Element(7), 7), (Element(None), None), (Element(True), 1), (None, AttributeError), (Element("x"), TypeError)],
)
def test_max_size_reads_the_element_key(element, answer):
    lst = make()
    lst._value_spec = Facts(element=element)
    if isinstance(answer, type):
        with pytest.raises(answer):
            probe.max_size_val(lst)
    else:
        assert probe.max_size_val(lst) == answer


@pytest.mark.parametrize(
    "scope, node, answer",
    [(None, True, True), (None, False, False), (True, False, True), (False, True, False)],
)
def test_accepts_partial(scope, node, answer):
    lst = make()
    lst._allow_partial = node
    if scope is not None:
        n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, scope)
    assert probe.accepts_partial(lst) is answer
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, None)
    assert probe.accepts_partial(lst) is node


def test_native_faults_surface_as_panics():
    lst = make()
    with pytest.raises(norv_core.PanicException, match="^Already"):
        probe.holding(lst, True, lambda: probe.element_of(lst))
