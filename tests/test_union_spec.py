"""Union: candidate conversion, the same-kind rule, the derived value type,
noneability and type map, candidate lookup, type arguments and application
through the type map and the candidate passes."""

import copy
import inspect
import re
import typing

import pytest

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

from collector import TOUCH_ALL

norv_host.install()

Union, Int, Str, Float, Enum, Object = n.Union, n.Int, n.Str, n.Float, n.Enum, n.Object
MISSING = ht.MISSING_VALUE


class HostSpec(ht.ValueSpecBase):
    """A host-defined value spec: answers through its Python attributes."""

    is_noneable = False
    forward_refs = frozenset()
    annotation = typing.Any

    def __init__(self, name, value_type=None, raises=None, compatible=()):
        self.name, self._value_type, self.raises, self.compatible = name, value_type, raises, compatible
        self.applied = []

    @property
    def value_type(self):
        return self._value_type

    def apply(self, value, allow_partial=False, child_transform=None, root_path=None, inplace=True):
        self.applied.append((value, allow_partial, child_transform, root_path, inplace))
        if self.raises is not None:
            raise self.raises
        return ("by", self.name, value)

    def is_compatible(self, other):
        return other in self.compatible

    def __repr__(self):
        return f"HostSpec({self.name})"


class Base:
    pass


class Partial(Base):
    __norv_maybe_partial__ = True
    sym_partial = True

    def __str__(self):
        return "Partial()"


def types_text(*names):
    """The value-type tuple's text in any order (it comes from a set)."""
    alternatives = ["|".join(re.escape(x) for x in names)] * len(names)
    return r"\(" + r", ".join(f"(?:{a})" for a in alternatives) + r"\)"


# ---- construction -----------------------------------------------------------------------------


def test_candidates_value_type_and_map():
    spec = Union([int, str])
    first, second = spec.candidates
    assert type(first) is Int and type(second) is Str
    assert set(spec.value_type) == {int, str} and len(spec.value_type) == 2
    assert spec._candidate_type_map == {int: first, str: second}
    assert spec._candidate_type_map[int] is first
    assert not spec.is_noneable and spec.default is MISSING
    assert spec.candidates is spec.candidates and spec._candidate_type_map is spec._candidate_type_map


def test_tuple_value_types_are_flattened():
    spec = Union((Int(), HostSpec("h", (float, bytes))))
    assert set(spec.value_type) == {int, float, bytes}
    assert set(spec._candidate_type_map) == {int, float, bytes}


@pytest.mark.parametrize(
    "candidates, message",
    [
        ([int], "Argument 'candidates' must be a list of at least 2 elements. Encountered [<class 'int'>]."),
        (int, "Argument 'candidates' must be a list of at least 2 elements. Encountered <class 'int'>."),
        ([], "Argument 'candidates' must be a list of at least 2 elements. Encountered []."),
        ("ab", "Argument 'candidates' must be a list of at least 2 elements. Encountered ab."),
        ({int, str}, None),
        ([Int(), Int(min_value=0)],
         "Found 2 value specs of the same type (<class 'norv_core._native.Int'>, <class 'int'>)."),
        ([Int(), Str(), Int(), Int(max_value=1)],
         "Found 3 value specs of the same type (<class 'norv_core._native.Int'>, <class 'int'>)."),
        ([Enum(["a", 1]), Enum([1.5, "b"])],
         "Found 2 value specs of the same type (<class 'norv_core._native.Enum'>, None)."),
    ],
)
def test_constructor_value_errors(candidates, message):
    with pytest.raises(ValueError) as info:
        Union(candidates)
    if message is None:
        assert str(info.value).startswith("Argument 'candidates' must be a list of at least 2 elements.")
    else:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: Union([int, object()]), TypeError, None),
        (lambda: Union([int, str], default=1, default_factory=list), ValueError,
         "Cannot specify both `default` and `default_factory`."),
        (lambda: Union([int, str], is_noneable=0), TypeError,
         "argument 'is_noneable': 'int' object is not an instance of 'bool'"),
        (lambda: Union([int, str], transform=len), TypeError,
         "Union.__new__() got an unexpected keyword argument 'transform'"),
        (lambda: Union[int], TypeError, "`nv.typing.Union` requires at least 2 type arguments. Encountered: <class 'int'>."),
        (lambda: Union[None, None], ValueError,
         "Argument 'candidates' must be a list of at least 2 elements. Encountered []."),
        (lambda: Union.from_json({"default": 1}), ValueError, "Union json missing 'candidates'."),
    ],
)
def test_constructor_errors(make, exc, message):
    with pytest.raises(exc) as info:
        make()
    if message is not None:
        assert str(info.value) == message


def test_no_map_when_a_type_is_claimed_twice_or_missing():
    assert Union([Int(), Enum([1, 2])])._candidate_type_map is None
    assert Union([Int(), HostSpec("h", (int, float))])._candidate_type_map is None
    one_twice = Union([Str(), HostSpec("h", (int, int))])
    assert set(one_twice._candidate_type_map) == {str, int}
    no_type = Union([Enum(["a", 1]), Int()])
    assert no_type.value_type is None and no_type._candidate_type_map is None
    alias = Union([Int(), HostSpec("h", list[int])])
    assert alias._candidate_type_map is None and set(alias.value_type) == {int, list[int]}


def test_noneability_comes_from_the_argument_or_a_candidate():
    assert Union([Int(is_noneable=True), Str()]).is_noneable
    assert Union([Int(), Str()], is_noneable=True).is_noneable
    assert not Union([Int(), Str()]).is_noneable


def test_default_goes_through_the_union():
    assert Union([Int(), Str()], default="x").default == "x"
    with pytest.raises(TypeError, match="^Expect " + types_text("<class 'int'>", "<class 'str'>")):
        Union([Int(), Str()], default=1.5)


# ---- type arguments ---------------------------------------------------------------------------


def test_type_arguments_fold_none_into_noneability():
    spec = Union[int, str]
    assert type(spec) is Union and [type(c) for c in spec.candidates] == [Int, Str]
    single = Union[int, None]
    assert type(single) is Int and single.is_noneable and single.default is None
    three = Union[int, str, None]
    assert type(three) is Union and three.is_noneable and three.default is None
    assert all(c.is_noneable and c.default is MISSING for c in three.candidates)
    assert type(Union.with_type_args((int, float))) is Union


def test_type_arguments_under_type_checking(monkeypatch):
    monkeypatch.setattr(typing, "TYPE_CHECKING", True)
    assert Union[int, str] == typing.Union[int, str]


# ---- candidate lookup -------------------------------------------------------------------------


def test_get_candidate_prefers_the_same_class_then_nested_unions():
    first, a, b = Int(), HostSpec("a", int), HostSpec("b", str)
    dest = HostSpec("dest", compatible=(first, b))
    spec = Union([first, b])
    assert spec.get_candidate(dest) is b
    assert Union([first, a]).get_candidate(HostSpec("d", compatible=(first,))) is first
    assert spec.get_candidate(HostSpec("none")) is None
    # the second pass asks a nested union first
    inner_int = Int()
    nested = Union([Union([inner_int, Float()]), Str()])

    class Asker(HostSpec):
        pass

    asker = Asker("asker", compatible=(inner_int,))
    assert nested.get_candidate(asker) is inner_int


def test_get_candidate_requires_a_bool():
    class Loose(HostSpec):
        def is_compatible(self, other):
            return 1

    with pytest.raises(TypeError, match="'int' object is not an instance of 'bool'"):
        Union([Loose("a", int), Loose("b", str)]).get_candidate(Loose("c"))


# ---- application ------------------------------------------------------------------------------


def test_type_map_takes_exact_leaf_values_without_a_call():
    spec = Union([Int(), Str()])
    ht.calls.clear()
    assert spec.apply(5) == 5 and spec.apply("s") == "s"
    assert ht.calls == []


@pytest.mark.parametrize(
    "spec, value, expected",
    [
        (Union([Int(), Str()]), True, True),
        (Union([Float(), Str()]), 1, 1.0),
        (Union([Float(), Str()]), True, 1.0),
        (Union([Enum(["a", 1]), Int()]), "a", "a"),
        (Union([Enum(["a", 1]), Int()]), 7, 7),
        (Union([Int(), Str()], is_noneable=True), None, None),
    ],
)
def test_apply_results(spec, value, expected):
    result = spec.apply(value)
    assert result == expected and type(result) is type(expected)


def test_mapped_candidate_errors_propagate():
    with pytest.raises(ValueError) as info:
        Union([Int(min_value=0), Str()]).apply(-1, root_path=n.KeyPath("a"))
    assert str(info.value) == "Value -1 is out of range (min=0, max=None). (path=a)"


def test_type_mismatch_after_every_candidate_declined():
    with pytest.raises(TypeError) as info:
        Union([Int(), Str()]).apply(1.5, root_path=n.KeyPath("b"))
    assert re.fullmatch(
        "Expect " + types_text("<class 'int'>", "<class 'str'>") + r" but encountered <class 'float'>: 1.5. \(path=b\)",
        str(info.value),
    )


def test_coercion_lets_other_errors_through():
    boom = HostSpec("boom", bytes, raises=RuntimeError("boom"))
    with pytest.raises(RuntimeError, match="boom"):
        Union([boom, Int()]).apply(1.5)


def test_candidate_passes():
    untyped = HostSpec("untyped", raises=TypeError("no"))
    spec = Union([untyped, Int()])
    with pytest.raises(TypeError) as info:
        spec.apply("x", root_path=n.KeyPath("c"))
    assert str(info.value) == "'x' does not match any candidate of Union([HostSpec(untyped), Int()])."
    assert untyped.applied == [("x", False, None, n.KeyPath("c"), True)]
    # a ValueError of a candidate ends the union
    with pytest.raises(ValueError, match=r"^Value 2.5 is not in candidate list \['a', 1\]. \(path=\)$"):
        Union([Enum(["a", 1]), Int()]).apply(2.5)
    # an untyped candidate that takes the value
    taker = HostSpec("taker")
    assert Union([taker, Int()]).apply("y", allow_partial=True) == ("by", "taker", "y")
    assert taker.applied == [("y", True, None, None, True)]


def test_host_code_walking_the_collector_meets_no_half_built_tuple(run_py):
    # A host candidate's value type is read while the others' are gathered.
    out = run_py(
        TOUCH_ALL
        + """
import typing
import norv_host
from norv_core import _native as n
from norv_host import typing as ht
norv_host.install()

class Touching(ht.ValueSpecBase):
    is_noneable = False
    forward_refs = frozenset()
    annotation = typing.Any
    _value_type = None

    @property
    def value_type(self):
        touch_all()
        return None

    def apply(self, value, allow_partial=False, child_transform=None, root_path=None, inplace=True):
        return ("by", value)

    def is_compatible(self, other):
        return False

print(n.Union([n.Int(), Touching(), n.Str()]).apply(1.5))
"""
    )
    assert out.strip() == "('by', 1.5)"


def test_object_candidate_from_the_map():
    spec = Union([Object(Base), Int()])
    base = Base()
    assert spec.apply(base) is base
    partial_spec = Union([Object(Partial), Int()])
    p = Partial()
    assert partial_spec.apply(p, allow_partial=True) is p
    with pytest.raises(ValueError) as info:
        partial_spec.apply(p)
    assert str(info.value) == "Object Partial() is not fully bound. (path=)"


def test_unresolved_forward_references_hold_back_dispatch(registry):
    spec = Union([Object("Later"), Int()])
    assert spec._candidate_type_map is None and spec.type_resolved is False
    assert spec.apply("anything") == "anything"

    class Later:
        pass

    ht.register(Later)
    assert spec.type_resolved is True
    assert set(spec.value_type) == {Later, int}
    later = Later()
    assert spec.apply(later) is later
    with pytest.raises(TypeError, match="^Expect"):
        spec.apply("anything")


# ---- frame, text, copies ----------------------------------------------------------------------


def test_frame_text_and_copies():
    assert str(inspect.signature(Union)) == (
        "(candidates, default=Ellipsis, default_factory=None, is_noneable=False, frozen=False, strict=None)"
    )
    assert Union.__serialization_key__ == "norv.typing.Union"
    with pytest.raises(TypeError):

        class Sub(Union):
            pass

    spec = Union([Int(), Str()])
    assert repr(spec) == "Union([Int(), Str()])"
    assert spec.annotation == typing.Union[int, str]
    assert Union([Int(), Str()], is_noneable=True).annotation == typing.Optional[typing.Union[int, str]]
    shallow = copy.copy(spec)
    assert shallow.candidates is spec.candidates and shallow._candidate_type_map is spec._candidate_type_map
    deep = copy.deepcopy(spec)
    assert deep.candidates is not spec.candidates
    assert deep._candidate_type_map == {int: deep.candidates[0], str: deep.candidates[1]}
    assert deep._candidate_type_map[int] is deep.candidates[0]
    with pytest.raises(TypeError, match=r"^Union\(\[Int\(\), Str\(\)\]\) cannot be instantiated.$"):
        spec()


def test_from_json():
    spec = Union.from_json({"candidates": [Int(), Str()], "is_noneable": True, "_type": "x"})
    assert type(spec) is Union and spec.is_noneable and [type(c) for c in spec.candidates] == [Int, Str]


@pytest.mark.parametrize(
    "read",
    [
        lambda u: u.forward_refs,
        lambda u: u.annotation,
        lambda u: u.type_resolved,
        lambda u: u.value_type,
        lambda u: repr(u),
        lambda u: u.apply(1.5),
        lambda u: u._apply(1.5, False, None, None),
        lambda u: u.get_candidate(HostSpec("d")),
        lambda u: copy.deepcopy(u),
    ],
)
def test_a_union_holding_itself_ends_in_recursion_error(read):
    spec = Union([HostSpec("h", bytes), Int()])
    spec.candidates.append(spec)
    with pytest.raises(RecursionError):
        read(spec)


def test_format_wraps_the_candidate_list_at_twenty_unless_told():
    spec = Union([Int(min_value=0), Str(regex="abc")])
    assert spec.format() != spec.format(list_wrap_threshold=80) == str(spec)
    assert spec.format(list_wrap_threshold=20) == spec.format()
