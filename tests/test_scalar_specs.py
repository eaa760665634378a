"""Bool, Str, Int, Float and Any: construction rules, type arguments, the
class frame and their application end to end."""

import copy
import gc
import inspect
import re
import sys

import pytest

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

# Spec tables below are built at import time, so the bridge goes in first.
norv_host.install()

Bool, Str, Int, Float, Any = n.Bool, n.Str, n.Int, n.Float, n.Any


@pytest.fixture
def bridge():
    return ht


@pytest.fixture
def MISSING(bridge):
    return bridge.MISSING_VALUE


# ---- construction ---------------------------------------------------------------------------

EM = "\u2014"


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: Int(gt=5, lt=5), ValueError,
         '"max_value" must be equal or greater than "min_value". Encountered: min_value=6, max_value=4.'),
        (lambda: Int(min_value=3, max_value=2), ValueError,
         '"max_value" must be equal or greater than "min_value". Encountered: min_value=3, max_value=2.'),
        (lambda: Float(min_value=2.0, max_value=1.0), ValueError,
         '"max_value" must be equal or greater than "min_value". Encountered: min_value=2.0, max_value=1.0.'),
        (lambda: Float(gt=0.0), ValueError,
         f"Float: `gt` (an EXCLUSIVE bound) is not representable on Float {EM} use `ge` (inclusive)."),
        (lambda: Float(lt=1), ValueError,
         f"Float: `lt` (an EXCLUSIVE bound) is not representable on Float {EM} use `le` (inclusive)."),
        (lambda: Int(gt=True), ValueError,
         "Int: `gt` must be an int (the exclusive-bound rewrite is exact for ints only). Encountered: True."),
        (lambda: Int(lt=1.5), ValueError,
         "Int: `lt` must be an int (the exclusive-bound rewrite is exact for ints only). Encountered: 1.5."),
        (lambda: Int(min_value=0, ge=0), ValueError,
         "Int: `min_value` and its aliases (`ge`/`gt`) are mutually exclusive. Use one spelling."),
        (lambda: Float(min_value=0, gt=0), ValueError,
         "Float: `min_value` and its aliases (`ge`/`gt`) are mutually exclusive. Use one spelling."),
        (lambda: Float(ge=0, gt=0), ValueError, "Float: `ge` and `gt` are mutually exclusive."),
        (lambda: Int(max_value=1, le=1), ValueError,
         "Int: `max_value` and its aliases (`le`/`lt`) are mutually exclusive. Use one spelling."),
        (lambda: Int(le=1, lt=1), ValueError, "Int: `le` and `lt` are mutually exclusive."),
        # The lower side is reported even when the upper side is faulty too.
        (lambda: Int(gt=1.5, le=1, lt=1), ValueError,
         "Int: `gt` must be an int (the exclusive-bound rewrite is exact for ints only). Encountered: 1.5."),
        (lambda: Int(min_value="a", max_value=1), TypeError, "'>' not supported between instances of 'str' and 'int'"),
        (lambda: Int(default=1, default_factory=list), ValueError, "Cannot specify both `default` and `default_factory`."),
        (lambda: Int(default_factory=5), TypeError, "`default_factory` must be a zero-arg callable. Encountered: 5."),
        (lambda: Int(default=11, max_value=10), ValueError, "Value 11 is out of range (min=None, max=10). (path=)"),
        (lambda: Int(default=None), ValueError, "Value cannot be None. (Path='', ValueSpec=Int())"),
        (lambda: Str(regex="^a", default="b"), ValueError,
         "String 'b' does not match regular expression '^a'. (path=)"),
        (lambda: Bool(default=1), TypeError, "Expect <class 'bool'> but encountered <class 'int'>: 1. (path=)"),
        (lambda: Int(is_noneable=1), TypeError, "argument 'is_noneable': 'int' object is not an instance of 'bool'"),
        (lambda: Str(frozen=None), TypeError, "argument 'frozen': 'None' is not an instance of 'bool'"),
        (lambda: Any(strict="yes"), TypeError, "argument 'strict': 'str' object is not an instance of 'bool'"),
        (lambda: Any(is_noneable=True), TypeError, "Any.__new__() got an unexpected keyword argument 'is_noneable'"),
        (lambda: Bool(transform=len), TypeError, "Bool.__new__() got an unexpected keyword argument 'transform'"),
        (lambda: Str(1, 2, 3, 4, 5, 6, 7), TypeError,
         "Str.__new__() takes from 0 to 6 positional arguments but 7 were given"),
        (lambda: Int(1, default=1), TypeError, "Int.__new__() got multiple values for argument 'default'"),
    ],
)
def test_constructor_errors(make, exc, message):
    with pytest.raises(exc) as info:
        make()
    assert str(info.value) == message


def test_invalid_regex_is_the_re_modules_error():
    with pytest.raises(re.error):
        Str(regex="[")
    # A tuple is one argument to re.compile, never its argument list.
    with pytest.raises(TypeError, match="first argument must be string or compiled pattern"):
        Str(regex=("a+",))


@pytest.mark.parametrize(
    "spec, min_value, max_value",
    [
        (Int(gt=0), 1, None),
        (Int(lt=10), None, 9),
        (Int(gt=0, lt=10), 1, 9),
        (Int(ge=-1, le=1), -1, 1),
        (Int(min_value=3, max_value=3), 3, 3),
        (Float(ge=0, le=1), 0, 1),
        (Int(min_value=1.5), 1.5, None),
        (Int(gt=2**70), 2**70 + 1, None),
    ],
)
def test_bounds_after_alias_folding(spec, min_value, max_value):
    assert (spec.min_value, spec.max_value) == (min_value, max_value)
    assert (spec._min_value, spec._max_value) == (min_value, max_value)
    assert type(spec.min_value) is type(min_value)


def test_bounds_are_kept_as_given():
    # A bad bound is only discovered when a value is compared with it.
    spec = Int(min_value="a")
    with pytest.raises(TypeError, match="'<' not supported"):
        spec.apply(1)


def test_numpy_bool_is_a_boolean_parameter():
    np = pytest.importorskip("numpy")
    spec = Int(is_noneable=np.bool_(True), frozen=np.False_, strict=np.True_)
    assert spec.is_noneable is True and spec.frozen is False and spec._strict is True


# ---- type arguments -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: Int[0, 10], "Int(min=0, max=10)"),
        (lambda: Int[None, 10], "Int(max=10)"),
        (lambda: Int[None, None], "Int()"),
        (lambda: Float[0.5, None], "Float(min=0.5)"),
        (lambda: Int.with_type_args((1, 2)), "Int(min=1, max=2)"),
        (lambda: Str["^a+$"], "Str(regex='^a+$')"),
        (lambda: Str[None], "Str()"),
        (lambda: Str[""], "Str()"),
    ],
)
def test_type_arguments(make, expected):
    assert repr(make()) == expected


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: Int[5], "`nv.typing.Int` requires 2 arguments as the min value and the max value for the field. "
                         "Encountered: 5"),
        (lambda: Int[1, 2, 3], "`nv.typing.Int` requires 2 arguments as the min value and the max value for the "
                               "field. Encountered: (1, 2, 3)"),
        (lambda: Float[()], "`nv.typing.Float` requires 2 arguments as the min value and the max value for the "
                            "field. Encountered: ()"),
        (lambda: Str["a", "b"], "`nv.typing.Str` requires 1 argument as the regular expression for matching the str "
                                "value. Encountered: ('a', 'b')."),
        (lambda: Str[()], "`nv.typing.Str` requires 1 argument as the regular expression for matching the str "
                          "value. Encountered: ()."),
        (lambda: Bool[int], "type 'norv_core._native.Bool' is not subscriptable"),
        (lambda: Any[int], "type 'norv_core._native.Any' is not subscriptable"),
    ],
)
def test_type_argument_errors(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


def test_type_arguments_check_bounds():
    with pytest.raises(ValueError, match="must be equal or greater than"):
        Int[10, 0]


def test_type_arguments_ignore_type_checking(monkeypatch):
    import typing

    monkeypatch.setattr(typing, "TYPE_CHECKING", True)
    assert isinstance(Int[0, 10], Int) and isinstance(Str["a"], Str)


# ---- the class frame ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, text",
    [
        (Bool, "(default=Ellipsis, default_factory=None, is_noneable=False, frozen=False, strict=None)"),
        (Str, "(default=Ellipsis, default_factory=None, regex=None, is_noneable=False, frozen=False, strict=None)"),
        (Int, "(default=Ellipsis, default_factory=None, min_value=None, max_value=None, is_noneable=False, "
              "frozen=False, strict=None, gt=None, ge=None, lt=None, le=None)"),
        (Float, "(default=Ellipsis, default_factory=None, min_value=None, max_value=None, is_noneable=False, "
                "frozen=False, strict=None, gt=None, ge=None, lt=None, le=None)"),
        (Any, "(default=Ellipsis, default_factory=None, annotation=Ellipsis, transform=None, frozen=False, "
              "strict=None)"),
    ],
)
def test_signatures(cls, text):
    assert str(inspect.signature(cls)) == text


@pytest.mark.parametrize("cls", [Bool, Str, Int, Float, Any])
def test_class_frame(cls):
    assert cls.__serialization_key__ == "norv.typing." + cls.__name__
    assert cls().__serialization_key__ == cls.__serialization_key__
    assert issubclass(cls, n.SpecBase) and cls.__module__ == "norv_core._native"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    spec = cls()
    with pytest.raises(AttributeError):
        spec.x = 1
    assert not hasattr(spec, "__dict__")
    assert spec.skip_user_transform is spec


@pytest.mark.parametrize("cls, value", [(Bool, True), (Str, "s"), (Int, 1), (Float, 1.5), (Any, object)])
def test_apply_is_each_classs_own_method(cls, value):
    # The interpreter's specialised method call needs the descriptor on the
    # receiver's exact class; an inherited one leaves every call on the slow path.
    assert "apply" in vars(cls)
    assert inspect.signature(cls.apply) == inspect.signature(n.SpecBase.apply)
    assert cls.apply.__doc__ == n.SpecBase.apply.__doc__
    assert cls().apply(value) is value and n.SpecBase.apply(cls(), value) is value


@pytest.mark.parametrize(
    "make, value",
    [
        (lambda: n.Enum(["a", "b"]), "a"),
        (lambda: n.Type(int), bool),
        (lambda: n.Union([int, str]), 1),
        (lambda: n.Callable([]), len),
        (lambda: n.Object(ValueError), ValueError()),
        (lambda: n.List(n.Int()), [1]),
        (lambda: n.Tuple([n.Int()]), (1,)),
        (lambda: n.Dict([("a", n.Int())]), {"a": 1}),
    ],
    ids=["Enum", "Type", "Union", "Callable", "Object", "List", "Tuple", "Dict"],
)
def test_the_other_classes_have_their_own_apply(make, value):
    spec = make()
    assert "apply" in vars(type(spec))
    # A tuple spec always hands back a new tuple.
    assert spec.apply(value) == value == n.SpecBase.apply(spec, value)


def test_spec_base_is_not_instantiable():
    with pytest.raises(TypeError):
        n.SpecBase()


def test_bool_defaults(MISSING):
    spec = Bool()
    assert spec.default is MISSING and spec.default_factory is None and spec.transform is None
    assert (spec.is_noneable, spec.frozen, spec._strict) == (False, False, None)


def test_copy_shares_payload_and_deepcopy_copies_it():
    pattern = re.compile("^a")
    default = "abc"
    spec = Str(regex=pattern, default=default)
    assert spec.regex is pattern
    shallow = copy.copy(spec)
    assert type(shallow) is Str and shallow is not spec
    assert shallow.regex is pattern and shallow.default is default
    deep = copy.deepcopy(spec)
    assert deep.regex is pattern  # compiled patterns are shared
    annotation = [int]
    any_spec = Any(annotation=annotation)
    assert copy.copy(any_spec)._annotation is annotation
    deep_any = any_spec.__deepcopy__(None)
    assert deep_any._annotation == annotation and deep_any._annotation is not annotation
    with pytest.raises(TypeError, match="_memo"):
        spec.__deepcopy__()


def test_skip_user_transform_drops_only_the_transform():
    def f(x):
        return x

    spec = Any(transform=f, default=1)
    stripped = spec.skip_user_transform
    assert type(stripped) is Any and stripped is not spec
    assert stripped.transform is None and spec.transform is f and stripped.default == 1
    assert Int().set_transform(f).skip_user_transform.transform is None


@pytest.mark.parametrize(
    "cls, json, expected",
    [
        (Int, {"_type": "norv.typing.Str", "min_value": 1, "max_value": 5}, "Int(min=1, max=5)"),
        (Int, {"gt": 0, "lt": 10, "is_noneable": True}, "Int(min=1, max=9, noneable=True)"),
        (Float, {"default": 0.5, "strict": False}, "Float(default=0.5, strict=False)"),
        (Str, {"regex": "^a", "frozen": True, "default": "ab"}, "Str(default='ab', regex='^a', frozen=True)"),
        (Bool, {}, "Bool()"),
        (Any, {"annotation": "x"}, "Any(annotation='x')"),
    ],
)
def test_from_json(cls, json, expected):
    spec = cls.from_json(json)
    assert type(spec) is cls and repr(spec) == expected


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: Int.from_json([]), TypeError, "'list' object is not an instance of 'dict'"),
        (lambda: Int.from_json({"gt": 1.5}), ValueError,
         "Int: `gt` must be an int (the exclusive-bound rewrite is exact for ints only). Encountered: 1.5."),
        (lambda: Bool.from_json({"frozen": 1}), TypeError, "'int' object is not an instance of 'bool'"),
    ],
)
def test_from_json_errors(make, exc, message):
    with pytest.raises(exc) as info:
        make()
    assert str(info.value) == message


def test_any_annotation(MISSING):
    spec = Any()
    assert spec.is_noneable and spec._annotation is MISSING and spec.annotation is MISSING
    assert Any(annotation=None)._annotation is None
    before = copy.copy(spec)
    assert repr(spec) == "Any()"
    assert spec.annotate(int) is spec
    assert spec._annotation is int and spec.annotation is int
    assert repr(spec) == "Any(annotation=<class 'int'>)"
    assert before._annotation is MISSING


def test_str_regex_getters():
    assert Str().regex is None and Str(regex="")._regex is None and Str(regex=None).regex is None
    assert Str(regex="a+").regex.pattern == "a+"


# ---- application ------------------------------------------------------------------------------------


def kp(text):
    return n.KeyPath.parse(text)


@pytest.mark.parametrize(
    "spec, value, expected",
    [
        (Int(), 5, 5),
        (Int(), True, True),
        (Int(min_value=0, max_value=10), 0, 0),
        (Int(min_value=0, max_value=10), 10, 10),
        (Int(min_value=-5, max_value=-1), -5, -5),
        (Int(min_value=-(2**62), max_value=2**62), -(2**62), -(2**62)),
        (Int(min_value=2**64, max_value=2**70), 2**70, 2**70),
        (Int(max_value=2**64), -(2**64), -(2**64)),
        (Int(min_value=0), True, True),
        (Float(), 1, 1.0),
        (Float(), True, 1.0),
        (Float(min_value=0.5), 1, 1.0),
        (Float(), 2.5, 2.5),
        (Float(), 2**60, float(2**60)),
        (Float(default=2.0, frozen=True), 2, 2.0),
        (Float().set_transform(lambda v: v + 1), 1, 2.0),
        (Float(is_noneable=True), 0, 0.0),
        (Str(), "x", "x"),
        (Str(regex="a"), "abc", "abc"),
        (Bool(), False, False),
        (Any(), [1], [1]),
        (Any(strict=True), True, True),
        (Int(is_noneable=True), None, None),
        (Any(), None, None),
    ],
)
def test_apply_results(spec, value, expected):
    result = spec.apply(value)
    assert result == expected and type(result) is type(expected)


def test_exact_values_come_back_unchanged():
    big = 10**30
    s = "x" * 50
    assert Int().apply(big) is big
    assert Int(min_value=0).apply(big) is big
    assert Str(regex="x").apply(s) is s


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "spec, value, exc, message",
    [
        (Int(min_value=0, max_value=10), 11, ValueError, "Value 11 is out of range (min=0, max=10). (path={})"),
        (Int(min_value=0), -1, ValueError, "Value -1 is out of range (min=0, max=None). (path={})"),
        (Int(max_value=-1), 0, ValueError, "Value 0 is out of range (min=None, max=-1). (path={})"),
        (Int(min_value=2**64), 2**64 - 1, ValueError,
         "Value 18446744073709551615 is out of range (min=18446744073709551616, max=None). (path={})"),
        (Int(min_value=0), -(2**64), ValueError,
         "Value -18446744073709551616 is out of range (min=0, max=None). (path={})"),
        (Int(min_value=2), True, ValueError, "Value True is out of range (min=2, max=None). (path={})"),
        # Either side of the one-word int.
        (Int(max_value=2**30 - 1), 2**30, ValueError,
         "Value 1073741824 is out of range (min=None, max=1073741823). (path={})"),
        (Int(min_value=1 - 2**30), -(2**30), ValueError,
         "Value -1073741824 is out of range (min=-1073741823, max=None). (path={})"),
        (Int(min_value=0.5), 0, ValueError, "Value 0 is out of range (min=0.5, max=None). (path={})"),
        (Float(max_value=1.0), 1.5, ValueError, "Value 1.5 is out of range (min=None, max=1.0). (path={})"),
        (Int(), None, ValueError, "Value cannot be None. (Path='{}', ValueSpec=Int())"),
        (Int(min_value=0), None, ValueError, "Value cannot be None. (Path='{}', ValueSpec=Int(min=0))"),
        (Int(strict=True), True, TypeError, "Expect <class 'int'> but encountered <class 'bool'>: True. (path={})"),
        (Float(strict=True), 1, TypeError, "Expect <class 'float'> but encountered <class 'int'>: 1. (path={})"),
        (Int(), "1", TypeError, "Expect <class 'int'> but encountered <class 'str'>: 1. (path={})"),
        (Int(min_value=0), 1.5, TypeError, "Expect <class 'int'> but encountered <class 'float'>: 1.5. (path={})"),
        (Str(), 1, TypeError, "Expect <class 'str'> but encountered <class 'int'>: 1. (path={})"),
        (Bool(), 0, TypeError, "Expect <class 'bool'> but encountered <class 'int'>: 0. (path={})"),
        (Str(regex="b"), "abc", ValueError, "String 'abc' does not match regular expression 'b'. (path={})"),
        (Str(regex="b"), MyStr("abc"), ValueError, "String 'abc' does not match regular expression 'b'. (path={})"),
        (Str(regex="\xe9"), "abc", ValueError, "String 'abc' does not match regular expression '\xe9'. (path={})"),
        (Str(regex="\U0001f600"), "\u0436", ValueError,
         "String '\u0436' does not match regular expression '\U0001f600'. (path={})"),
        (Str(regex="^a$", is_noneable=True), "ab", ValueError,
         "String 'ab' does not match regular expression '^a$'. (path={})"),
    ],
)
@pytest.mark.parametrize("path", ["", "a.b", "x[0].y", "\xe9", "\u0436.x", "\U0001f600[0]"])
def test_apply_errors_carry_the_path(spec, value, exc, message, path):
    kwargs = {"root_path": kp(path)} if path else {}
    with pytest.raises(exc) as info:
        spec.apply(value, **kwargs)
    assert str(info.value) == message.format(path)
    assert info.value.__cause__ is None


def test_float_overflow_is_the_interpreters():
    with pytest.raises(OverflowError):
        Float().apply(10**400)


def test_missing_and_partial(MISSING, bridge):
    with pytest.raises(ValueError) as info:
        Int().apply(MISSING, root_path=kp("a"))
    assert str(info.value) == "Required value is not specified. (Path='a', ValueSpec=Int())"
    got = Int(default=3).apply(MISSING, allow_partial=True)
    assert isinstance(got, bridge.MissingValue) and got is not MISSING


def test_apply_reference_counts_are_stable():
    spec = Int(min_value=0)
    value = 10**40
    for _ in range(3):
        spec.apply(value)
    gc.collect()
    before = sys.getrefcount(value)
    for _ in range(1000):
        spec.apply(value)
        Float().apply(value)
        with pytest.raises(ValueError):
            spec.apply(-value)
    gc.collect()
    assert sys.getrefcount(value) == before


def test_constructor_conversion_errors_have_no_cause():
    with pytest.raises(TypeError) as info:
        Int(frozen=1)
    assert str(info.value) == "argument 'frozen': 'int' object is not an instance of 'bool'"
    assert info.value.__cause__ is None


def test_python_subclass_of_spec_base_cannot_reach_a_missing_engine():
    class Host(n.SpecBase):
        def __new__(cls):
            return object.__new__(cls)

    with pytest.raises(TypeError, match="is not safe"):
        Host()


def test_deepcopy_keeps_the_missing_sentinel_and_copies_defaults(MISSING):
    assert copy.deepcopy(Int()).default is MISSING
    default = [1]
    spec = Any(default=default)
    copied = copy.deepcopy(spec)
    assert copied.default == default and copied.default is not default
