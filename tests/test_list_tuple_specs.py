"""List and Tuple specs: construction rules, type arguments, getters, child application and fast paths."""

import pytest

from norv_core import _native as n
from norv_core import PanicException
import norv_host
import norv_host.typing as ht

from collector import TOUCH_ALL

norv_host.install()

List, Tuple, Int, Str, Any = n.List, n.Tuple, n.Int, n.Str, n.Any


def kp(*keys):
    path = None
    for k in keys:
        path = n.KeyPath(k, path) if path is not None else n.KeyPath(k)
    return path


# ---- List construction --------------------------------------------------------------------


def test_list_defaults_and_element_field():
    s = List(int)
    f = s.element
    assert (s.min_size, s.max_size) == (0, None)
    assert s.element is s._element
    assert isinstance(f, n.Field) and f.description == "Field of list element"
    assert f.key == n.ListKey(0, None) and isinstance(f.value, Int)
    assert s._nested_dict_bulk_check is None


def test_list_element_spec_is_shared_with_its_field():
    spec = Int()
    s = List(spec)
    assert s.element.value is spec


@pytest.mark.parametrize(
    "kwargs, bounds",
    [
        (dict(size=3), (3, 3)),
        (dict(size=0), (0, 0)),
        (dict(min_size=2, max_size=2), (2, 2)),
        (dict(min_size=None, min_length=2), (2, None)),
        (dict(max_length=4), (0, 4)),
        (dict(min_size=True), (1, None)),
    ],
)
def test_list_bounds(kwargs, bounds):
    s = List(int, **kwargs)
    assert (s.min_size, s.max_size) == bounds
    assert (s.element.key.min_value, s.element.key.max_value) == bounds


LIST_ERRORS = [
    (dict(size=-1), ValueError, '"min_size" of List must be no less than 0. Encountered: -1.'),
    (dict(min_size=-2), ValueError, '"min_size" of List must be no less than 0. Encountered: -2.'),
    (dict(size=2, min_length=1), ValueError,
     'Either "size" or "min_size"/"max_size" pair can be specified. Encountered: size=2, min_size=1, '
     "max_size=None."),
    (dict(size=2, max_size=3), ValueError,
     'Either "size" or "min_size"/"max_size" pair can be specified. Encountered: size=2, min_size=None, '
     "max_size=3."),
    (dict(min_size=2, min_length=2), ValueError,
     "List: `min_size` and `min_length` are mutually exclusive. Use one spelling."),
    (dict(max_size=2, max_length=2, min_size=1, min_length=1), ValueError,
     "List: `min_size` and `min_length` are mutually exclusive. Use one spelling."),
    (dict(max_size=2, max_length=3), ValueError,
     "List: `max_size` and `max_length` are mutually exclusive. Use one spelling."),
    (dict(max_size=-1), ValueError,
     '"max_size" of List must be no less than "min_size". Encountered: min_size=0, max_size=-1'),
    (dict(min_size=1.5), TypeError, "argument 'min_size': 'float' object cannot be interpreted as an integer"),
    (dict(min_length="1"), TypeError, "argument 'min_length': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("kwargs, exc, message", LIST_ERRORS)
def test_list_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        List(int, **kwargs)
    assert str(info.value) == message


def test_list_overflow_is_the_interpreters():
    with pytest.raises(OverflowError):
        List(int, min_size=2**70)


def test_list_alias_conflict_precedes_the_element_and_the_element_precedes_sizes():
    with pytest.raises(ValueError, match="mutually exclusive"):
        List(object(), min_size=1, min_length=1)
    with pytest.raises(TypeError, match="stand-in host: no value spec"):
        List(object(), size=-1)


def test_list_type_arguments():
    assert isinstance(List[int], List) and isinstance(List[(int,)].element.value, Int)
    for bad, shown in [((int, str), "(<class 'int'>, <class 'str'>)"), ((), "()")]:
        with pytest.raises(TypeError) as info:
            List[bad]
        assert info.value.args == ("`nv.typing.List` requires 1 type argument. ", f"Encountered: {shown}.")
        assert isinstance(List.with_type_args(int), List)


def test_list_from_json():
    s = List.from_json({"element_value": Int(), "min_length": 1, "max_size": 3})
    assert (s.min_size, s.max_size) == (1, 3)


# ---- Tuple construction -------------------------------------------------------------------


def test_fixed_tuple():
    s = Tuple([int, str])
    assert (s.fixed_length, s.min_size, s.max_size, len(s)) == (True, 2, 2, 2)
    e = s.elements
    assert e is s.elements and len(e) == 2
    assert e[0].key == n.TupleKey(0) and e[0].description == "Field of tuple element at 0"
    assert e[1].key == n.TupleKey(1) and isinstance(e[1].value, Str)


def test_variable_tuple_is_false_in_a_truth_test():
    s = Tuple(int)
    assert (s.fixed_length, s.min_size, s.max_size, len(s)) == (False, 0, None, 0)
    # Its length is 0, so `if spec:` skips a valid spec: kept as the host has it.
    assert not s
    (f,) = s.elements
    assert f.key == n.TupleKey(None) and f.description == "Field of variable-length tuple element"


@pytest.mark.parametrize("kwargs", [dict(size=3), dict(min_size=3, max_size=3), dict(min_length=3, max_size=3)])
def test_equal_bounds_give_the_fixed_form(kwargs):
    spec = Int()
    s = Tuple(spec, **kwargs)
    assert s.fixed_length and len(s) == 3
    assert [f.key.index for f in s.elements] == [0, 1, 2]
    assert all(f.value is spec for f in s.elements)


def test_size_zero_is_an_empty_fixed_tuple():
    s = Tuple(int, size=0)
    assert s.fixed_length and s.elements == [] and (s.min_size, s.max_size) == (0, 0)
    assert s.apply(()) == ()


def test_list_subclass_gives_the_fixed_form():
    class L(list):
        pass

    assert Tuple(L([int])).fixed_length


TUPLE_ERRORS = [
    (([],), dict(), "Argument 'element_values' must be a non-empty list."),
    (((),), dict(size=1), "Argument 'element_values' must be a non-empty list."),
    (([int],), dict(size=1),
     "\"size\", \"min_size\" and \"max_size\" are not applicable for fixed-length Tuple with elements: "
     "[<class 'int'>]"),
    (([int],), dict(min_length=1),
     "\"size\", \"min_size\" and \"max_size\" are not applicable for fixed-length Tuple with elements: "
     "[<class 'int'>]"),
    ((int,), dict(min_size=3, max_size=1),
     '"max_size" of List must be no less than "min_size". Encountered: min_size=3, max_size=1.'),
    ((int,), dict(size=-1), '"min_size" of List must be no less than 0. Encountered: -1.'),
    ((int,), dict(min_size=2, min_length=2),
     "Tuple: `min_size` and `min_length` are mutually exclusive. Use one spelling."),
    ((int,), dict(size=1, max_size=2),
     'Either "size" or "min_size"/"max_size" pair can be specified. Encountered: size=1, min_size=None, '
     "max_size=2."),
]


@pytest.mark.parametrize("args, kwargs, message", TUPLE_ERRORS)
def test_tuple_errors(args, kwargs, message):
    with pytest.raises(ValueError) as info:
        Tuple(*args, **kwargs)
    assert str(info.value) == message


def test_variable_tuple_bounds():
    s = Tuple(int, min_size=1, max_size=3)
    assert (s.fixed_length, s.min_size, s.max_size) == (False, 1, 3)


def test_tuple_type_arguments():
    assert not Tuple[int, ...].fixed_length
    assert Tuple[int].fixed_length and len(Tuple[int]) == 1
    assert len(Tuple[int, str]) == 2
    with pytest.raises(TypeError, match="no value spec for Ellipsis"):
        Tuple[..., int]  # Ellipsis elsewhere is an ordinary element
    with pytest.raises(ValueError, match="^Argument 'element_values' must be a non-empty list.$"):
        Tuple[()]


# ---- List child application -----------------------------------------------------------------


def test_element_error_names_the_element_path():
    with pytest.raises(ValueError) as info:
        List(Int(min_value=0)).apply([1, -1], root_path=kp("x"))
    assert str(info.value) == "Value -1 is out of range (min=0, max=None). (path=x[1])"


def test_element_error_without_root_path():
    with pytest.raises(TypeError) as info:
        List(Int()).apply([1, "a"])
    assert str(info.value) == "Expect <class 'int'> but encountered <class 'str'>: a. (path=[1])"


def test_valid_list_is_the_same_object_and_copied_without_inplace():
    # Int(min_value=0) offers no element rule: the full path runs and copies.
    spec = List(Int(min_value=0))
    v = [1, 2, 3]
    assert spec.apply(v) is v
    c = spec.apply(v, inplace=False)
    assert c == v and c is not v
    e = []
    assert spec.apply(e) is e and spec.apply(e, inplace=False) is not e


def test_fast_path_returns_the_list_itself_even_without_inplace():
    v = [1, 2, 3]
    assert List(Int()).apply(v, inplace=False) is v


def test_converted_elements_are_written_back():
    v = [1, 2.5]
    assert List(n.Float()).apply(v) is v and v == [1.0, 2.5] and type(v[0]) is float
    w = [1, 2.5]
    out = List(n.Float()).apply(w, inplace=False)
    assert out == [1.0, 2.5] and type(w[0]) is int


class HostSpec(ht.ValueSpecBase):
    """A host element spec: records calls and maps values."""

    _exact_leaf_type = None

    def __init__(self, fn=lambda v: v):
        self.fn = fn
        self.calls = []

    def apply(self, value, **kwargs):
        self.calls.append((value, kwargs))
        return self.fn(value)


def test_host_element_spec_gets_paths_and_keywords():
    h = HostSpec()
    spec = List(h)
    v = ["a", "b"]
    assert spec.apply(v, allow_partial=True, root_path=kp("r"), inplace=False) == v
    assert [c[0] for c in h.calls] == ["a", "b"]
    assert list(h.calls[1][1]) == ["allow_partial", "inplace", "root_path"]
    assert h.calls[1][1]["allow_partial"] is True and h.calls[1][1]["inplace"] is False
    assert str(h.calls[1][1]["root_path"]) == "r[1]"


def test_writes_only_on_change():
    class Watch(list):
        def __setitem__(self, i, v):
            writes.append(i)
            super().__setitem__(i, v)

    writes = []
    v = Watch(["a", "b", "c"])
    List(HostSpec(lambda x: x.upper() if x == "b" else x)).apply(v)
    assert writes == [1] and v == ["a", "B", "c"]


def test_child_transform_goes_through_the_element_field():
    seen = []

    def t(path, field, value):
        seen.append((str(path), field, value))
        return value * 2

    spec = List(Int())
    assert spec.apply([1, 2], child_transform=t, root_path=kp("p")) == [2, 4]
    assert seen == [("p[0]", spec.element, 1), ("p[1]", spec.element, 2)]


def test_scalar_identity_transform_keeps_shortcuts():
    def t(path, field, value):
        raise AssertionError("called")

    t._norv_scalar_identity = True
    v = [1, 2]
    assert List(Int()).apply(v, child_transform=t) is v


def test_any_elements_pass_without_calls():
    v = [1, {"a": [1]}, [2], None, object()]
    assert List(Any()).apply(v) is v

    def t(path, field, value):
        return "seen"

    t._norv_scalar_identity = True
    w = [1, {"a": 1}, [2]]
    assert List(Any()).apply(w, child_transform=t) == [1, "seen", "seen"]


class Plain:
    pass


class PlainList(list):
    pass


class MyInt(int):
    pass


# An element of a List(Any()) under a scalar-identity child transform: whether
# the transform is called for it. Exact `object` instances pass like the fast scalars.
@pytest.mark.parametrize(
    "elem, called",
    [
        (1, False),
        ("a", False),
        (None, False),
        (object(), False),
        (Plain(), True),
        ({"a": 1}, True),
        ([2], True),
        ((1,), False),
        (MyInt(1), True),
    ],
)
@pytest.mark.parametrize("container", [list, PlainList])
def test_any_elements_under_a_scalar_identity_transform(elem, called, container):
    seen = []

    def t(path, field, value):
        seen.append(value)
        return value

    t._norv_scalar_identity = True
    v = container([elem])
    assert List(Any()).apply(v, child_transform=t) is v
    assert seen == ([elem] if called else [])


class SymList(list):
    """A symbolic list: reads through sym_getattr, writes without permission checks."""

    def __init__(self, items):
        super().__init__(items)
        self.log = []

    def sym_getattr(self, i):
        self.log.append(("get", i))
        return list.__getitem__(self, i)

    def _set_item_without_permission_check(self, i, v):
        self.log.append(("set", i, v))
        list.__setitem__(self, i, v)

    def __setitem__(self, i, v):
        raise AssertionError("permission-checked write")


def test_symbolic_list_uses_its_accessors_and_is_not_copied():
    v = SymList(["a", "b"])
    out = List(HostSpec(str.upper)).apply(v, inplace=False)
    assert out is v and v == ["A", "B"]
    assert v.log == [("get", 0), ("set", 0, "A"), ("get", 1), ("set", 1, "B")]


def test_accessor_lookup_errors_count_as_absent_unless_grave(raised):
    class Odd(list):
        def __getattr__(self, name):
            raise raised.cls("no")

    raised.check(lambda: List(HostSpec(str.upper)).apply(Odd(["a"])), ["A"])


def test_child_that_shrinks_the_list_raises_index_error():
    v = ["a", "b", "c"]

    def shrink(x):
        v.clear()
        return x

    with pytest.raises(IndexError):
        List(HostSpec(shrink)).apply(v)


def test_list_size_errors_come_from_validation():
    with pytest.raises(ValueError) as info:
        List(int, min_size=2).apply([1], root_path=kp("a"))
    assert str(info.value) == "Length of list [1] is less than min size (2). (path=a)"


def test_child_mutating_the_parent_meets_the_borrow_fault():
    spec = List(HostSpec(lambda v: spec.set_default([v])))
    with pytest.raises(PanicException, match="^Already"):
        spec.apply(["a"])
    assert spec.apply([]) == []  # the parent stays usable


def test_deep_nesting_raises_recursion_error(run_py):
    out = run_py(
        """
        import norv_host
        from norv_core import _native as n
        norv_host.install()
        spec, value = n.Int(), 1
        for _ in range(100000):
            spec, value = n.List(spec), [value]
        try:
            spec.apply(value)
        except RecursionError:
            print("recursion")
        del spec, value
        print("released")
        """
    )
    assert out.split() == ["recursion", "released"]


# ---- Tuple child application ------------------------------------------------------------------


def test_tuple_length_mismatch():
    with pytest.raises(ValueError) as info:
        Tuple([Int(), Int()]).apply((1, 2, 3))
    assert str(info.value) == (
        "Length of input tuple (3) does not match the length of spec (2). Input: (1, 2, 3), "
        "Spec: Tuple([Int(), Int()]) (path=)"
    )


@pytest.mark.parametrize(
    "value, message",
    [
        ((1,), "Length of tuple (1,) is less than min size (2). (path=t)"),
        ((1, 2, 3, 4), "Length of tuple (1, 2, 3, 4) is greater than max size (3). (path=t)"),
    ],
)
def test_variable_tuple_size_errors(value, message):
    with pytest.raises(ValueError) as info:
        Tuple(int, min_size=2, max_size=3).apply(value, root_path=kp("t"))
    assert str(info.value) == message


def test_tuple_elements_get_their_paths():
    with pytest.raises(TypeError) as info:
        Tuple([Int(), Str()]).apply((1, 2), root_path=kp("t"))
    assert str(info.value).endswith("(path=t[1])")
    assert Tuple(n.Float()).apply((1, 2)) == (1.0, 2.0)


def test_tuple_result_is_new_unless_the_fast_path_takes_it():
    h = HostSpec()
    v = ("a", "b")
    out = Tuple(h).apply(v)
    assert out == v and out is not v and [c[0] for c in h.calls] == ["a", "b"]


def test_tuple_with_child_transform():
    spec = Tuple([Int(), Int()])
    got = spec.apply((1, 2), child_transform=lambda p, f, v: (str(p), v))
    assert got == (("[0]", 1), ("[1]", 2))


@pytest.mark.parametrize(
    "spec, value",
    [
        ("n.Tuple([n.Int(), n.Int(), n.Int()])", (1, 2, 3)),
        ("n.Tuple(n.Int())", (1, 2, 3)),
        ("n.List(n.Int())", [1, 2, 3]),
    ],
)
def test_host_code_walking_the_collector_meets_no_half_built_container(run_py, spec, value):
    out = run_py(
        TOUCH_ALL
        + f"""
import norv_host
from norv_core import _native as n
norv_host.install()

def t(path, field, value):
    touch_all()
    return value * 10

print(repr({spec}.apply({value!r}, child_transform=t)))
"""
    )
    assert out.strip() == repr(type(value)(v * 10 for v in value))


# ---- fast paths --------------------------------------------------------------------------------


@pytest.mark.parametrize("spec", [List(Int(), frozen=False), Tuple(Int()), Tuple([Int(), Int()])])
def test_fast_path_declines_without_element_rules(spec):
    # Until specs offer element rules the full path runs; results are unchanged.
    value = [1, 2] if isinstance(spec, List) else (1, 2)
    assert spec.apply(value) == value


def test_transformed_or_frozen_specs_run_their_own_rules():
    assert List(Int(), transform=lambda v: v + [3]).apply([1]) == [1, 3]
    assert List(Int(), default=[1], frozen=True).apply([1]) == [1]


def test_tuple_reads_host_fields_through_their_attributes():
    class HostField:
        def __init__(self, spec):
            self.value = spec

        def apply(self, value, **kwargs):
            return ("field", value)

    spec = Tuple([Int(), Int()])
    spec.elements[1] = HostField(HostSpec(str))
    assert spec.apply((1, 2)) == (1, "2")
    assert spec.apply((1, 2), child_transform=lambda p, f, v: v) == (1, ("field", 2))
