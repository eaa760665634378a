"""The cheap roads of rejected values give the answers of the general ones:
messages written without the interpreter's formatting, class texts kept per
class, a Union's candidates applied natively with their discarded messages
never built, the in-place first pass, and the member test of a Union of
classes."""

import copy

import pytest

from norv_core import _native as n
from norv_host import typing as ht

ht.install()

Union, Int, Str, Float, Bool, Enum, Object = n.Union, n.Int, n.Str, n.Float, n.Bool, n.Enum, n.Object


def mismatch(value_type, value, path=""):
    return f"Expect {value_type} but encountered {type(value)!r}: {value}. (path={path})"


def not_in(values, value, path=""):
    return f"Value {value!r} is not in candidate list {values}. (path={path})"


def raised(call, exc=Exception):
    with pytest.raises(exc) as info:
        call()
    return info.value


class Meta(type):
    def __repr__(cls):
        return f"<meta {cls.__name__}>"


class Plain:
    pass


class Other:
    pass


class Metered(metaclass=Meta):
    pass


class OddKey:
    """A key of a class dict that is not a str: its comparison may run."""

    def __hash__(self):
        return hash("__module__")

    def __eq__(self, other):
        return NotImplemented


CLASS_READS = []


class Counting:
    """Counts the reads of `__class__`."""

    @property
    def __class__(self):
        CLASS_READS.append(self)
        return type(self)


class Fetching:
    """Counts the reads of `__class__` through its own lookup."""

    def __getattribute__(self, name):
        if name == "__class__":
            CLASS_READS.append(self)
        return object.__getattribute__(self, name)


class LoudStr:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc

    def __repr__(self):
        raise self.exc


class LoudKey:
    calls = 0

    def __str__(self):
        type(self).calls += 1
        raise RuntimeError("key text")


class QuietKey:
    calls = 0

    def __str__(self):
        type(self).calls += 1
        return "q"


class HostSpec(ht.ValueSpecBase):
    """A host spec taking no value: records what it was given."""

    is_noneable = False
    forward_refs = frozenset()

    def __init__(self, value_type=bytes):
        self._value_type = value_type
        self.applied = []

    @property
    def value_type(self):
        return self._value_type

    def apply(self, value, allow_partial=False, child_transform=None, root_path=None, inplace=True):
        self.applied.append(value)
        raise TypeError("host declines")


# ---- type mismatch ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "spec, value_type, value",
    [
        (Int(), int, "x"),
        (Int(), int, "é"),
        (Int(), int, "a\u20ac"),
        (Int(), int, "\U0001f600"),
        (Int(), int, 1.5),
        (Int(), int, 1e16),
        (Int(), int, 1e-7),
        (Int(), int, -0.0),
        (Int(), int, 0.1 + 0.2),
        (Int(), int, float("nan")),
        (Int(), int, float("-inf")),
        (Int(), int, b"x"),
        (Int(), int, (1, "a")),
        (Int(), int, [1]),
        (Str(), str, 10**30),
        (Str(), str, -5),
        (Float(), float, "x"),
        (Bool(), bool, 0),
        (Bool(), bool, None.__class__),
        (Object(Plain), Plain, 1),
        (Object(Plain), Plain, Other()),
        (Object(Plain), Plain, Metered()),
        (Object(Metered), Metered, 2),
    ],
)
@pytest.mark.parametrize("path", [None, "a.b[0]"])
def test_mismatch_texts(spec, value_type, value, path):
    root = None if path is None else n.KeyPath.parse(path)
    error = raised(lambda: spec.apply(value, root_path=root), TypeError)
    assert type(error) is TypeError and error.args == (mismatch(value_type, value, path or ""),)


def test_class_text_follows_the_class():
    cls = type("Renamed", (), {})
    spec = Object(cls)
    for change in [
        lambda: None,
        lambda: setattr(cls, "__qualname__", "Outer.Inner"),
        lambda: setattr(cls, "__module__", "elsewhere"),
        lambda: setattr(cls, "__name__", "Shown"),
        lambda: setattr(cls, "__module__", "builtins"),
        lambda: setattr(cls, "__module__", 5),
    ]:
        change()
        assert str(raised(lambda: spec.apply(1), TypeError)) == mismatch(cls, 1)
        value = cls()
        assert str(raised(lambda: Int().apply(value), TypeError)) == mismatch(int, value)


def test_value_type_text_follows_its_classes():
    first, second = type("First", (), {}), type("Second", (), {})
    spec = Union([Object(first), Object(second)])
    assert str(raised(lambda: spec.apply(1), TypeError)) == mismatch(spec.value_type, 1)
    second.__qualname__ = "Later"
    assert str(raised(lambda: spec.apply(1), TypeError)) == mismatch(spec.value_type, 1)
    many = Union([Object(type(f"M{i}", (), {})) for i in range(17)])
    assert str(raised(lambda: many.apply(1), TypeError)) == mismatch(many.value_type, 1)


def test_class_with_a_key_other_than_str():
    with pytest.warns(RuntimeWarning, match="non-string key"):
        cls = type("Odd", (), {OddKey(): 1})
    assert str(raised(lambda: Object(cls).apply(1), TypeError)) == mismatch(cls, 1)
    assert str(raised(lambda: Union([Object(cls), Int()]).apply("x"), TypeError)).startswith("Expect ")


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: Int().apply("x"), TypeError),
        (lambda: Enum(["a"]).apply("b"), ValueError),
        (lambda: Union([Int(), Str()]).apply(1.5), TypeError),
    ],
)
def test_a_failure_keeps_the_error_being_handled_as_context(call, exc):
    error = raised(call, exc)
    assert error.__context__ is None and error.__traceback__ is not None
    try:
        raise KeyError("handled")
    except KeyError as handled:
        error = raised(call, exc)
        assert error.__context__ is handled and error.__cause__ is None


# ---- Enum ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "values, value",
    [
        (["a", "b", "c"], "z"),
        (["it's", 'a"b', "back\\slash", "tab\t", "é", "\U0001f600", ""], "q"),
        ([1, -2, 10**20, True, False], 7),
        ([0.5, 2.5], 1.5),
        (["x'y"], "x"),
        ([f"v{i}" for i in range(33)], "w"),
        ([f"v{i}" for i in range(32)], "w"),
        (["a", 1], "b"),
    ],
)
@pytest.mark.parametrize("path", [None, "p[3]"])
def test_enum_texts(values, value, path):
    root = None if path is None else n.KeyPath.parse(path)
    error = raised(lambda: Enum(values).apply(value, root_path=root), ValueError)
    assert error.args == (not_in(values, value, path or ""),)


def test_enum_text_shows_the_list_as_it_is_now():
    values = ["a", "b"]
    spec = Enum(values)
    values.append("c")
    assert str(raised(lambda: spec.apply("z"), ValueError)) == not_in(values, "z")
    values.append(LoudStr(RuntimeError("shown")))
    assert str(raised(lambda: spec.apply("z"), RuntimeError)) == "shown"


# ---- leaf specs given builtin scalars of another class --------------------------------------


@pytest.mark.parametrize(
    "spec, value, expected",
    [
        (Float(), True, 1.0),
        (Float(min_value=0), 2, 2.0),
        (Int(), True, True),
        (Int(min_value=0), True, True),
        (Str(regex="^a"), "abc", "abc"),
    ],
)
def test_leaf_results(spec, value, expected):
    result = spec.apply(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "spec, value, exc, message",
    [
        (Int(strict=True), True, TypeError, mismatch(int, True)),
        (Float(strict=True), 1, TypeError, mismatch(float, 1)),
        (Int(max_value=0), True, ValueError, "Value True is out of range (min=None, max=0). (path=)"),
        (Float(min_value=0), -1, ValueError, "Value -1.0 is out of range (min=0, max=None). (path=)"),
        (Float(min_value=0.5), False, ValueError, "Value 0.0 is out of range (min=0.5, max=None). (path=)"),
        (Str(regex="^a"), 3, TypeError, mismatch(str, 3)),
        (Bool(), "x", TypeError, mismatch(bool, "x")),
        (Int(), None, ValueError, "Value cannot be None. (Path='', ValueSpec=Int())"),
    ],
)
def test_leaf_failures(spec, value, exc, message):
    error = raised(lambda: spec.apply(value), exc)
    assert type(error) is exc and str(error) == message


# ---- Union: candidates applied natively -------------------------------------------------------


@pytest.mark.parametrize(
    "spec, value",
    [
        (Union([Int(), Str()]), 1.5),
        (Union([Int(), Str()]), b"x"),
        (Union([Float(min_value=0), Str()]), -1),
        (Union([Int(min_value=0), Str(regex="^a")]), 2.5),
        (Union([Object(Plain), Int()]), "x"),
        (Union([Object(Plain), Object(Metered)]), 1),
    ],
)
@pytest.mark.parametrize("path", [None, "u.v"])
def test_union_mismatch_after_native_candidates(spec, value, path):
    root = None if path is None else n.KeyPath.parse(path)
    error = raised(lambda: spec.apply(value, root_path=root), TypeError)
    assert error.args == (mismatch(spec.value_type, value, path or ""),)


def test_a_value_whose_text_raises_stops_the_union_at_the_first_candidate():
    host = HostSpec()
    with pytest.raises(RuntimeError, match="no text"):
        Union([Int(), host]).apply(LoudStr(RuntimeError("no text")))
    assert host.applied == []


def test_a_value_whose_text_raises_a_type_error_goes_on_to_the_next_candidate():
    host = HostSpec()
    value = LoudStr(TypeError("no text"))
    with pytest.raises(TypeError, match="no text"):
        Union([Int(), host]).apply(value)
    assert host.applied == [value]


def test_a_path_whose_text_raises_stops_the_union():
    LoudKey.calls = 0
    host = HostSpec()
    with pytest.raises(RuntimeError, match="key text"):
        Union([Int(), host]).apply(1.5, root_path=n.KeyPath(LoudKey()))
    assert LoudKey.calls == 1 and host.applied == []


def test_a_path_text_is_rendered_once_for_every_candidate():
    QuietKey.calls = 0
    spec = Union([Int(), Str(), Object(Plain)])
    error = raised(lambda: spec.apply(1.5, root_path=n.KeyPath(QuietKey())), TypeError)
    assert str(error) == mismatch(spec.value_type, 1.5, "[q]") and QuietKey.calls == 1


def test_linear_passes_with_native_candidates():
    # The candidates changed after construction: a bool passes the type test of
    # the value type made from the old ones, no candidate takes it in the first
    # pass, and the last pass tries them all.
    classes = [type(f"C{i}", (), {}) for i in range(17)]
    for count in (3, 17):
        spec = Union([Int(), Str()])
        spec.candidates[:] = [Object(c) for c in classes[:count]]
        error = raised(lambda spec=spec: spec.apply(True), TypeError)
        assert str(error) == f"True does not match any candidate of {spec!r}."
        LoudKey.calls = 0
        with pytest.raises(RuntimeError, match="key text"):
            spec.apply(True, root_path=n.KeyPath(LoudKey()))
        assert LoudKey.calls == 1


def test_first_pass_in_place_and_with_a_changed_list():
    spec = Union([int, str])
    assert spec.apply(True) is True
    host = HostSpec(value_type=bool)
    spec.candidates.insert(0, host)
    with pytest.raises(TypeError, match="host declines"):
        spec.apply(True)
    assert host.applied == [True]
    spec.candidates[0] = Float()
    assert spec.apply(True) == 1.0


def test_an_unresolved_candidate_added_later_holds_back_dispatch(registry):
    spec = Union([Int(), Str()])
    spec.candidates.append(Object("Later"))
    assert spec.type_resolved is False
    assert spec.apply(True) is True and spec.apply(2.5) == 2.5


# ---- Union of classes ---------------------------------------------------------------------------


def test_union_of_classes_takes_an_exact_instance_of_any():
    classes = [type(f"K{i}", (), {}) for i in range(32)]
    spec = Union([Object(c) for c in classes])
    for c in classes:
        v = c()
        assert spec.apply(v) is v


@pytest.mark.parametrize("reader", [Counting, Fetching])
def test_class_reads_of_the_type_test_stay(reader):
    first, second = type("First", (reader,), {}), type("Second", (reader,), {})
    spec = Union([Object(first), Object(second)])
    for cls in (first, second):
        v = cls()
        CLASS_READS.clear()
        isinstance(v, ht.MissingValue)
        isinstance(v, spec.value_type)
        expected = len(CLASS_READS)
        CLASS_READS.clear()
        assert spec.apply(v) is v
        assert len(CLASS_READS) == expected


def test_deep_copy_of_a_union_whose_candidates_changed():
    spec = Union([Object(Plain), Object(Metered)])
    spec.candidates.append(Object(Other))
    twin = copy.deepcopy(spec)
    other = Other()
    assert twin.apply(other) is other
    assert str(raised(lambda: twin.apply(1), TypeError)) == mismatch(twin.value_type, 1)


def test_kept_texts_hold_no_class():
    import gc
    import weakref

    def fail_with_fresh_classes():
        first, second = type("Gone1", (), {}), type("Gone2", (), {})
        for spec in (Object(first), Union([Object(first), Object(second)])):
            raised(lambda spec=spec: spec.apply(1), TypeError)
        raised(lambda: Int().apply(first()), TypeError)
        return weakref.ref(first), weakref.ref(second)

    refs = fail_with_fresh_classes()
    ht.calls.clear()  # the stand-in host records the specs it made
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_union_of_classes_given_an_instance_of_a_class_with_its_own_metaclass():
    hashed = []

    class Hashing(type):
        def __hash__(cls):
            hashed.append(cls)
            return type.__hash__(cls)

    class Odd(metaclass=Hashing):
        def __str__(self):
            return "odd"

    spec = Union([Object(Plain), Object(Other)])
    error = raised(lambda: spec.apply(Odd()), TypeError)
    assert str(error) == mismatch(spec.value_type, Odd())
    # the type map's lookup hashes the class once; the type test none
    assert hashed == [Odd]
