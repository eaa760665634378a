"""KeyPath arithmetic (+, -) and the prefix relation (is_relative_to)."""

import pytest

from norv_core import _native as n

KeyPath = n.KeyPath
KeyPathSet = n.KeyPathSet
P = KeyPath.parse


class S(str):
    pass


class Loud:
    """An "other" key whose equality raises."""

    def __eq__(self, other):
        raise ArithmeticError("no equality")

    __hash__ = object.__hash__

    def __repr__(self):
        return "Loud()"


# --------------------------------------------------------------------------
# Addition
# --------------------------------------------------------------------------

LIST_KEY = ["x", "y"]


@pytest.mark.parametrize(
    "left, right, keys, text",
    [
        ("a", "b.c", ["a", "b", "c"], "a.b.c"),
        ("a", "", ["a"], "a"),
        ("a", "b", ["a", "b"], "a.b"),
        ("a", "[0]", ["a", 0], "a[0]"),
        ("a", S("b.c"), ["a", "b", "c"], "a.b.c"),
        ("a", 1, ["a", 1], "a[1]"),
        ("a", -3, ["a", -3], "a[-3]"),
        ("a", True, ["a", True], "a[True]"),
        ("a", 1.5, ["a", 1.5], "a[1.5]"),
        ("a", 2**64, ["a", 2**64], f"a[{2**64}]"),
        ("a", LIST_KEY, ["a", LIST_KEY], "a[['x', 'y']]"),
        ("a", ("t", 1), ["a", ("t", 1)], "a[('t', 1)]"),
        ("a", P("b[0]"), ["a", "b", 0], "a.b[0]"),
        ("a", KeyPath(), ["a"], "a"),
        ("", "b.c", ["b", "c"], "b.c"),
        ("", KeyPath(), [], ""),
        ("x[1]", KeyPath(["y.z"]), ["x", 1, "y.z"], "x[1][y.z]"),
    ],
)
def test_addition(left, right, keys, text):
    lp = P(left)
    r = lp + right
    assert type(r) is KeyPath
    assert r is not lp
    assert r.keys == keys
    assert str(r) == text
    assert str(lp) == left


def test_addition_keeps_other_keys_by_identity():
    r = P("a") + LIST_KEY
    assert r.keys[1] is LIST_KEY
    assert len(r) == 2


def test_addition_with_none_returns_the_path_itself():
    p = P("a.b")
    assert p + None is p
    with pytest.raises(TypeError):
        None + p


@pytest.mark.parametrize("left", ["a", 1, [1], None, 1.5])
def test_addition_has_no_reflected_form(left):
    with pytest.raises(TypeError):
        left + P("b")
    assert KeyPath.__add__(P("b"), "c") == "b.c"


@pytest.mark.parametrize(
    "right, error, match",
    [
        ("b[", ValueError, r"^KeyPath parse failed: unmatched open bracket at position 1: 'b\['$"),
        ("b]", ValueError, r"^KeyPath parse failed: unmatched close bracket at position 1:'b\]'$"),
        ("\ud800", UnicodeEncodeError, "surrogate"),
    ],
)
def test_addition_errors(right, error, match):
    with pytest.raises(error, match=match):
        P("a") + right


# --------------------------------------------------------------------------
# Path plus set
# --------------------------------------------------------------------------


def test_path_plus_set_rebases_a_copy():
    s = KeyPathSet(["x", "y.z"])
    root = s._trie
    r = P("a") + s
    assert type(r) is KeyPathSet
    assert [str(p) for p in r] == ["a.x", "a.y.z"]
    assert r._trie == {"a": {"x": {"$": True}, "y": {"z": {"$": True}}}}
    assert [str(p) for p in s] == ["x", "y.z"]
    assert s._trie is root
    assert r._trie["a"] is not root
    r.add("a.q")
    assert "q" not in s


def test_root_plus_set_is_an_equal_new_set():
    s = KeyPathSet(["x", "y.z", ""])
    r = KeyPath() + s
    assert r == s and r is not s and r._trie is not s._trie


def test_path_plus_empty_set_is_an_empty_branch():
    r = P("a.b") + KeyPathSet()
    assert r._trie == {"a": {"b": {}}}
    assert r and list(r) == []


def test_path_plus_set_with_integer_and_other_keys():
    k = ("t", 1)
    r = KeyPath([0, k]) + KeyPathSet(["m"])
    assert r._trie == {0: {k: {"m": {"$": True}}}}
    assert next(iter(r._trie[0])) is k


def test_path_plus_set_deep_copy_error_propagates():
    class NoCopy:
        def __deepcopy__(self, memo):
            raise LookupError("no copy")

    s = KeyPathSet([KeyPath([NoCopy()])])
    with pytest.raises(LookupError, match="no copy"):
        P("a") + s


def test_set_plus_path_is_unsupported():
    with pytest.raises(TypeError):
        KeyPathSet(["a"]) + P("b")


# --------------------------------------------------------------------------
# Subtraction
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "left, right, keys",
    [
        ("a.b.c", "a", ["b", "c"]),
        ("a.b.c", "a.b", ["c"]),
        ("a.b", "a.b", []),
        ("a.b", "", ["a", "b"]),
        ("", "", []),
        ("", KeyPath(), []),
        ("[0].a", 0, ["a"]),
        ("[1].a", True, ["a"]),  # a bool is an int: one key, equal to 1
        ("a.b", P("a"), ["b"]),
        ("a.b", S("a"), ["b"]),
        ("a[0].b", "a[0]", ["b"]),
        ("a.b", "a..", ["b"]),
    ],
)
def test_subtraction(left, right, keys):
    lp = P(left)
    r = lp - right
    assert type(r) is KeyPath
    assert r is not lp
    assert r.keys == keys
    assert str(lp) == left


def test_subtraction_of_none_returns_the_path_itself():
    p = P("a.b")
    assert p - None is p


def test_subtraction_with_other_key_on_the_right():
    k = ("t", 1)
    assert (KeyPath([k, "x"]) - KeyPath([("t", 1)])).keys == ["x"]


@pytest.mark.parametrize(
    "left, right, message",
    [
        ("a", "a.b", "KeyPath subtraction failed: left path a is an ancestor of right path a.b."),
        ("", "a", "KeyPath subtraction failed: left path  is an ancestor of right path a."),
        ("a", "a..b", "KeyPath subtraction failed: left path a is an ancestor of right path a.b."),
        ("a.b", "a.c", "KeyPath subtraction failed: left path a.b and right path a.c are in different subtree."),
        ("x.y", "a.b.c", "KeyPath subtraction failed: left path x.y and right path a.b.c are in different subtree."),
        ("a.0", 0, "KeyPath subtraction failed: left path a.0 and right path [0] are in different subtree."),
        ("[0]", "[a.b]", "KeyPath subtraction failed: left path [0] and right path [a.b] are in different subtree."),
    ],
)
def test_subtraction_value_errors(left, right, message):
    with pytest.raises(ValueError) as info:
        P(left) - right
    assert str(info.value) == message


@pytest.mark.parametrize(
    "right, shown",
    [
        (1.5, "1.5"),
        (["a"], "['a']"),
        (("a",), "('a',)"),
        (KeyPathSet(), "KeyPathSet()"),
        (b"a", "b'a'"),
    ],
)
def test_subtraction_type_errors(right, shown):
    with pytest.raises(TypeError) as info:
        P("a.b") - right
    assert str(info.value) == f"Cannot subtract KeyPath(a.b) by {shown}."


def test_subtraction_errors_propagate():
    with pytest.raises(ValueError, match="unmatched open bracket"):
        P("a") - "a["
    with pytest.raises(ArithmeticError, match="no equality"):
        KeyPath([Loud()]) - KeyPath([Loud()])
    with pytest.raises(TypeError):
        1 - P("a")
    with pytest.raises(TypeError):
        "a" - P("a")

    class BadRepr:
        def __repr__(self):
            raise LookupError("no repr")

    with pytest.raises(LookupError, match="no repr"):
        P("a") - BadRepr()


# --------------------------------------------------------------------------
# is_relative_to
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "path, other, result",
    [
        ("a.b", "a", True),
        ("a.b", "a.b", True),
        ("a.b", "", True),
        ("a.b", KeyPath(), True),
        ("a.b", "a.b.c", False),
        ("a.b", "b", False),
        ("a.b", P("a"), True),
        ("a.b", S("a"), True),
        ("", "", True),
        ("", "a", False),
        ("[0].a", 0, True),
        ("[0].a", 1, False),
        ("[1].a", True, True),
        ("a.0", 0, False),  # text key "0" against integer key 0
        ("a.0", "a.0", True),
    ],
)
def test_is_relative_to(path, other, result):
    assert P(path).is_relative_to(other) is result


def test_is_relative_to_scans_text_with_path_syntax():
    p = KeyPath(["a.b"])
    assert p.is_relative_to("a.b") is False
    assert p.is_relative_to("[a.b]") is True
    assert p.is_relative_to(other=KeyPath(["a.b"])) is True


@pytest.mark.parametrize(
    "other, message",
    [
        (None, "None is not a valid KeyPath equivalence."),
        (1.5, "1.5 is not a valid KeyPath equivalence."),
        (["a"], "['a'] is not a valid KeyPath equivalence."),
        ("a]", "KeyPath parse failed: unmatched close bracket at position 1:'a]'"),
    ],
)
def test_is_relative_to_errors(other, message):
    with pytest.raises(ValueError) as info:
        P("a.b").is_relative_to(other)
    assert str(info.value) == message


def test_is_relative_to_arguments_and_comparison_errors():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'other'"):
        P("a").is_relative_to()
    with pytest.raises(TypeError):
        P("a").is_relative_to("a", "b")
    with pytest.raises(ArithmeticError, match="no equality"):
        KeyPath([Loud()]).is_relative_to(KeyPath([Loud()]))


# --------------------------------------------------------------------------
# Long paths
# --------------------------------------------------------------------------


def test_very_long_paths():
    depth = 100_000
    p = KeyPath(["k"] * depth)
    assert len(p + p) == 2 * depth
    assert (p - p).keys == []
    assert len(p - KeyPath(["k"] * (depth - 1))) == 1
    assert p.is_relative_to(p)
    assert not p.is_relative_to(p + "x")
    with pytest.raises(ValueError, match="is an ancestor of"):
        p - (p + "x")
    with pytest.raises(RecursionError):
        p + KeyPathSet([p])
