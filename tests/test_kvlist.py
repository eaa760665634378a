import inspect
import sys

import pytest

from norv_core import _native as n

kv = n.kvlist_str


def lines(*parts):
    return "\n".join(parts)


class Recorder:
    __norv_formattable__ = True

    def __init__(self):
        self.calls = []

    def format(self, **kwargs):
        self.calls.append(kwargs)
        return "F"


def test_signature():
    sig = inspect.signature(kv)
    P = inspect.Parameter
    assert [(p.name, p.kind) for p in sig.parameters.values()] == [
        ("kvlist", P.POSITIONAL_OR_KEYWORD),
        ("compact", P.POSITIONAL_OR_KEYWORD),
        ("verbose", P.POSITIONAL_OR_KEYWORD),
        ("root_indent", P.POSITIONAL_OR_KEYWORD),
        ("label", P.KEYWORD_ONLY),
        ("bracket_type", P.KEYWORD_ONLY),
        ("custom_format", P.KEYWORD_ONLY),
        ("memo", P.KEYWORD_ONLY),
        ("kwargs", P.VAR_KEYWORD),
    ]
    for name in ("label", "custom_format", "memo"):
        assert sig.parameters[name].default is None


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        # layouts and labels
        (([("a", 1, None), ("b", 2, 2)],), {"label": "X"}, "X(a=1)"),
        (([("a", 1, None), ("b", "x", None)],), {"label": "X", "compact": False},
         lines("X(", "  a=1,", "  b='x'", ")")),
        (([("", 1, None)],), {}, "1"),
        (([("a", 1, None), ("b", 2, None)],), {}, "a=1, b=2"),
        (([("a", 1, None), ("b", 2, None)],), {"compact": None}, "a=1,\nb=2"),
        (([("a", 1, None), ("b", 2, None)],), {"compact": False, "root_indent": 1},
         "  a=1,\n  b=2"),
        (([("a", 1, None)],), {"label": "", "compact": False}, lines("(", "a=1", ")")),
        (([("a", 1, None)],), {"label": ""}, "(a=1)"),
        (([("d", {"a": 1}, None)],), {"label": "X", "compact": False},
         lines("X(", "  d={", "    'a': 1", "  }", ")")),
        (([("d", {"a": 1}, None)],), {"label": "X"}, "X(d={'a': 1})"),
        (([("a", 1, None)],), {"label": "X", "compact": False, "root_indent": 2},
         lines("X(", "      a=1", "    )")),
        (([("a", 1, None)],), {"label": 5}, "5(a=1)"),
        (([],), {}, ""),
        (([],), {"label": "X"}, "X()"),
        (([],), {"label": "X", "compact": False}, "X()"),
        (([("a", 1, 1)],), {"label": "X", "compact": False, "root_indent": 3}, "X()"),
        # keys
        (([(1, "v", None), (0, "w", None)],), {}, "1='v', 'w'"),
        (([(None, "v", None)],), {}, "'v'"),
        (([("k", "v", None)],), {"label": "X", "compact": False, "root_indent": -1},
         lines("X(", "k='v'", ")")),
        # positional options
        (([("a", [1, 2], None)], False, True, 0), {"list_wrap_threshold": 3},
         lines("a=[", "  1,", "  2", "]")),
        (([("a", {"k": 1}, None)], True, False, 4), {}, "a={'k': 1}"),
        # iterables of items
        ((iter([["a", 1, None]]),), {}, "a=1"),
        ((((("a", 1, None),),)), {"label": "T"}, "T(a=1)"),
        # memo and extra options reach format
        (([("s", "abcdef", None)],), {"max_str_len": 2}, "s='ab...'"),
    ],
)
def test_rendering(args, kwargs, expected):
    assert kv(*args, **kwargs) == expected


nan = float("nan")


@pytest.mark.parametrize(
    "item, kept",
    [
        (("n", None, (None, 0)), False),
        (("n", 0, (None, 0)), False),
        (("n", 1, (None, 0)), True),
        (("n", None, [None, 0]), True),
        (("n", [None, 0], [None, 0]), False),
        (("n", [], []), False),
        (("n", (), ()), True),  # tuple default: "any of" its (zero) elements
        (("n", (1,), ((1,),)), False),
        (("n", 1, 1.0), False),
        (("n", nan, nan), True),  # equality, not identity
        (("n", nan, (nan,)), True),
        (("n", "x", None), True),
        (("n", None, None), False),
    ],
)
def test_default_omission(item, kept):
    assert kv([item], label="X") == ("X(n=" + n.format(item[1], compact=True) + ")"
                                     if kept else "X()")


def test_tuple_subclass_default_is_any_of():
    class T(tuple):
        pass

    assert kv([("n", 2, T((1, 2)))]) == ""


def test_omission_comparison_order_and_short_circuit():
    seen = []

    class V:
        def __init__(self, name, equal):
            self.name, self.equal = name, equal

        def __eq__(self, other):
            seen.append((self.name, other))
            return self.equal

        __hash__ = object.__hash__

    # tuple default: element on the left, stop at the first match
    a, b, c = V("a", False), V("b", True), V("c", True)
    assert kv([("k", "val", (a, b, c))]) == ""
    assert seen == [("a", "val"), ("b", "val")]

    # other default: value on the left
    seen.clear()
    value = V("value", False)
    kv([("k", value, 5)], custom_format=lambda v, i: "rendered")
    assert seen == [("value", 5)]


class Cmp:
    def __eq__(self, other):
        raise ZeroDivisionError

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "kvlist, kwargs, exc",
    [
        ([("a", 1)], {}, IndexError),
        ([("a",)], {"label": "X"}, IndexError),
        ([1], {}, TypeError),
        (5, {}, TypeError),
        ([("a", Cmp(), None)], {}, ZeroDivisionError),
        ([("a", 1, (Cmp(),))], {}, ZeroDivisionError),
        # an entry error wins over a bad bracket type
        ([("a", Cmp(), None)], {"label": "X", "bracket_type": 5}, ZeroDivisionError),
    ],
)
def test_item_errors(kvlist, kwargs, exc):
    with pytest.raises(exc):
        kv(kvlist, **kwargs)


class Bt:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IntOnly:
    def __int__(self):
        return 2


@pytest.mark.parametrize(
    "bracket_type, expected",
    [
        (0, "X(a=1)"),
        (1, "X[a=1]"),
        (2, "X{a=1}"),
        (-1, "X{a=1}"),
        (-2, "X[a=1]"),
        (-3, "X(a=1)"),
        (True, "X[a=1]"),
        (1.7, "X[a=1]"),
        ("1", "X[a=1]"),
        (Bt(2), "X{a=1}"),
        (IntOnly(), "X{a=1}"),
    ],
)
def test_bracket_type(bracket_type, expected):
    assert kv([("a", 1, None)], label="X", bracket_type=bracket_type) == expected


@pytest.mark.parametrize("option, given", [("bracket_type", 2), ("bracket_type", 1), ("root_indent", 1)])
def test_an_unconvertible_number_falls_back_to_python_operators_unless_grave(raised, option, given):
    items = [("a", [1], None), ("b", {"c": 2}, None)]
    expected = kv(items, label="X", compact=False, **{option: given})
    raised.check(lambda: kv(items, label="X", compact=False, **{option: raised.number(given)}), expected)


@pytest.mark.parametrize(
    "bracket_type, exc, message",
    [
        (3, IndexError, "list index out of range"),
        (-4, IndexError, "list index out of range"),
        (2**40, IndexError, "list index out of range"),
        (2.0**70, OverflowError, None),
        (2**70, OverflowError, None),
        ("x", ValueError, None),
        ([], TypeError, None),
        (None, TypeError, None),
    ],
)
def test_bracket_type_errors(bracket_type, exc, message):
    with pytest.raises(exc) as ei:
        kv([("a", 1, None)], label="X", bracket_type=bracket_type)
    if message:
        assert str(ei.value) == message
    # also with no kept entry, and in the line-per-entry layout
    with pytest.raises(exc):
        kv([], label="X", compact=False, bracket_type=bracket_type)


@pytest.mark.parametrize("bracket_type", [3, "x", None, object()])
def test_bracket_type_unread_without_label(bracket_type):
    assert kv([("a", 1, None)], bracket_type=bracket_type) == "a=1"


def test_label_and_key_errors_propagate():
    class BadStr:
        def __str__(self):
            raise KeyError("str")

        def __bool__(self):
            return True

    class BadBool:
        def __bool__(self):
            raise ArithmeticError

    with pytest.raises(KeyError):
        kv([("a", 1, None)], label=BadStr())
    with pytest.raises(KeyError):
        kv([(BadStr(), 1, None)])
    with pytest.raises(ArithmeticError):
        kv([(BadBool(), 1, None)])
    with pytest.raises(ArithmeticError):
        kv([("a", 1, None)], label=BadBool())


def test_value_rendering_keywords():
    r = Recorder()
    memo = set()
    assert kv([("r", r, None)], label="X", memo=memo, list_wrap_threshold=9) == "X(r=F)"
    (kw,) = r.calls
    # what format hands the formattable, built from kvlist_str's own keywords
    assert kw["compact"] is True and kw["verbose"] is False
    assert kw["root_indent"] == 1
    assert kw["list_wrap_threshold"] == 9
    assert kw["memo"] is memo and memo == set()
    assert kw["custom_format"] is None


def test_value_rendering_forwards_given_objects():
    r = Recorder()
    sentinel = object()
    kv([("r", r, None)], compact=None, verbose=sentinel, root_indent=2)
    (kw,) = r.calls
    assert kw["compact"] is None and kw["verbose"] is sentinel
    assert kw["root_indent"] == 2  # no label: entries stay at root_indent


def test_label_falsy_keeps_child_indent():
    r = Recorder()
    kv([("r", r, None)], label="", root_indent=2)
    assert r.calls[0]["root_indent"] == 2
    r.calls.clear()
    kv([("r", r, None)], label="L", root_indent=2)
    assert r.calls[0]["root_indent"] == 3


def test_custom_format_reaches_values_twice():
    calls = []

    def hook(value, indent):
        calls.append((value, indent))
        return None

    assert kv([("a", 1, None)], custom_format=hook) == "a=1"
    assert calls == [(1, 0), ("1", 0)]
    calls.clear()
    assert kv([("a", 1, None)], custom_format=hook, label="X") == "X(a=1)"
    assert calls == [(1, 1), ("1", 1)]


def test_custom_format_result_applied_to_rendered_text():
    def hook(value, indent):
        if isinstance(value, str):
            return f"<{value}>"
        if isinstance(value, int):
            return 42
        return None

    assert kv([("a", 1, None), ("b", None, 0)], custom_format=hook) == "a=<42>, b=<None>"
    assert kv([("a", 1, None)], custom_format=lambda v, i: 7 if v == "1" else None) == "a=7"


def test_memo_reaches_values():
    x = [1]
    assert kv([("a", x, None)], memo={id(x)}) == f"a=<recursive list at {hex(id(x))}>"
    with pytest.raises(TypeError, match="'list' object is not an instance of 'set'"):
        kv([("a", x, None)], memo=[])


def test_no_reference_leaks():
    class V:
        def __str__(self):
            return "v"

    value = V()
    key = "key-" + str(id(value))
    items = [(key, value, None), ("d", {key: value}, (1, 2)), ("z", value, value)]

    def run():
        kv(items, label="L", compact=False)
        kv(items, label="L", custom_format=lambda v, i: None)
        try:
            kv(items, label="L", bracket_type=9)
        except IndexError:
            pass

    run()
    before = sys.getrefcount(value), sys.getrefcount(key)
    for _ in range(200):
        run()
    assert (sys.getrefcount(value), sys.getrefcount(key)) == before
