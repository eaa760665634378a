import enum
import inspect
import sys
from collections import OrderedDict, namedtuple

import pytest

from norv_core import _native as n

fmt = n.format


def lines(*parts):
    return "\n".join(parts)


class Plain:
    def __str__(self):
        return "S"

    def __repr__(self):
        return "R"


class Thing:
    pass


class MyInt(int):
    def __str__(self):
        return "str-int"

    def __repr__(self):
        return "repr-int"


class MyStr(str):
    pass


class Color(enum.IntEnum):
    RED = 1


class Recorder:
    """A formattable object that records the keyword arguments it receives."""

    __norv_formattable__ = True

    def __init__(self, text="F"):
        self.text = text
        self.calls = []

    def format(self, *args, **kwargs):
        assert not args
        self.calls.append(kwargs)
        return self.text


P = namedtuple("P", "x y")


def marker(v):
    return f"<recursive {type(v).__name__} at {hex(id(v))}>"


def is_panic(exc):
    return type(exc) is n.PanicException and not isinstance(exc, Exception)


# ---------------------------------------------------------------- surface


def test_registered_in_order():
    names = n.__all__
    i = names.index("missing_value_singleton")
    assert names[i : i + 4] == [
        "missing_value_singleton",
        "format",
        "kvlist_str",
        "_install_formatting_bridge",
    ]


def test_signature():
    sig = inspect.signature(fmt)
    P_ = inspect.Parameter
    assert [(p.name, p.kind) for p in sig.parameters.values()] == [
        ("value", P_.POSITIONAL_OR_KEYWORD),
        ("compact", P_.POSITIONAL_OR_KEYWORD),
        ("verbose", P_.POSITIONAL_OR_KEYWORD),
        ("root_indent", P_.POSITIONAL_OR_KEYWORD),
        ("list_wrap_threshold", P_.POSITIONAL_OR_KEYWORD),
        ("strip_object_id", P_.POSITIONAL_OR_KEYWORD),
        ("include_keys", P_.POSITIONAL_OR_KEYWORD),
        ("exclude_keys", P_.POSITIONAL_OR_KEYWORD),
        ("markdown", P_.POSITIONAL_OR_KEYWORD),
        ("max_str_len", P_.POSITIONAL_OR_KEYWORD),
        ("max_bytes_len", P_.POSITIONAL_OR_KEYWORD),
        ("custom_format", P_.KEYWORD_ONLY),
        ("memo", P_.KEYWORD_ONLY),
        ("kwargs", P_.VAR_KEYWORD),
    ]
    for name in ("include_keys", "exclude_keys", "max_str_len", "max_bytes_len",
                 "custom_format", "memo"):
        assert sig.parameters[name].default is None


@pytest.mark.parametrize(
    "call",
    [
        lambda: fmt(),
        lambda: fmt(1, *range(11)),
        lambda: fmt(1, True, compact=True),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_positional_options():
    # value, compact, verbose, root_indent, list_wrap_threshold, strip_object_id,
    # include_keys, exclude_keys, markdown
    assert fmt({"a": 1, "b": 2}, False, True, 0, 80, False, ["a"], None, True) == (
        "```\n{\n  'a': 1\n}\n```"
    )


# ---------------------------------------------------------------- scalars


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        (True, {}, "True"),
        (False, {}, "False"),
        (1.5, {}, "1.5"),
        (None, {}, "None"),
        (-7, {}, "-7"),
        (10**30, {}, str(10**30)),
        (float("inf"), {}, "inf"),
        ("abc", {}, "'abc'"),
        ("it's", {}, '"it\'s"'),
        ("é\u4e2d\U0001f600", {}, "'é\u4e2d\U0001f600'"),
        (b"ab", {}, "b'ab'"),
        # subclasses are not fast-path values
        (MyInt(1), {}, "str-int"),
        (MyInt(1), {"compact": True}, "repr-int"),
        (Color.RED, {}, str(Color.RED)),
        (Color.RED, {"compact": True}, repr(Color.RED)),
        (MyStr("ab"), {}, "ab"),
        (MyStr("ab"), {"compact": True}, "'ab'"),
        (MyStr("abcdef"), {"max_str_len": 2}, "abcdef"),
    ],
)
def test_scalars(value, kwargs, expected):
    assert fmt(value, **kwargs) == expected


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        # the suffix joins the cut value before repr: the dots sit inside the quotes
        ("abcdef", {"max_str_len": 3}, "'abc...'"),
        ("abcdef", {"max_str_len": 6}, "'abcdef'"),
        ("abcdef", {"max_str_len": 5}, "'abcde...'"),
        ("abcdef", {"max_str_len": 0}, "'...'"),
        ("abcdef", {"max_str_len": -2}, "'abcd...'"),
        ("abcdef", {"max_str_len": -10}, "'...'"),
        ("abcdef", {"max_str_len": -(2**70)}, "'...'"),
        ("", {"max_str_len": -1}, "'...'"),
        ("abcdef", {"max_str_len": None}, "'abcdef'"),
        ("abcdef", {"max_str_len": Idx(2)}, "'ab...'"),
        ("abcdef", {"max_str_len": True}, "'a...'"),
        ("abcdef", {"max_str_len": 2**70}, "'abcdef'"),
        ("abcdef", {"max_bytes_len": 1}, "'abcdef'"),
        ("it's here", {"max_str_len": 4}, '"it\'s..."'),
        ("ab\ncd", {"max_str_len": 3}, "'ab\\n...'"),
        ("\u4e2d\u6587\u5b57", {"max_str_len": 2}, "'\u4e2d\u6587...'"),
        (b"abcdef", {"max_bytes_len": 3}, "b'abc...'"),
        (b"abcdef", {"max_bytes_len": -1}, "b'abcde...'"),
        (b"abcdef", {"max_bytes_len": 0}, "b'...'"),
        (b"abcdef", {"max_bytes_len": -(2**70)}, "b'...'"),
        (b"abcdef", {"max_bytes_len": 6}, "b'abcdef'"),
        (b"abcdef", {"max_str_len": 1}, "b'abcdef'"),
        (b"it's\xff", {"max_bytes_len": 4}, 'b"it\'s..."'),
        (["abcdef", b"xyz"], {"max_str_len": 2, "max_bytes_len": 1},
         "['ab...', b'x...']"),
    ],
)
def test_truncation(value, kwargs, expected):
    assert fmt(value, **kwargs) == expected


def test_truncation_non_integer_limit():
    # the comparison decides, then slicing with a float bound fails
    with pytest.raises(TypeError):
        fmt("abcdef", max_str_len=3.0)
    assert fmt("ab", max_str_len=3.0) == "'ab'"
    with pytest.raises(TypeError):
        fmt("abcdef", max_str_len="x")


# ---------------------------------------------------------------- containers


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        ({"a": 1, "b": [1, 2]}, {}, lines("{", "  'a': 1,", "  'b': [1, 2]", "}")),
        ({"a": 1, "b": [1, 2]}, {"compact": True}, "{'a': 1, 'b': [1, 2]}"),
        ({"x": {"y": 1}}, {}, lines("{", "  'x': {", "    'y': 1", "  }", "}")),
        (list(range(30)), {},
         lines("[", *[f"  {i}," for i in range(29)], "  29", "]")),
        (list(range(30)), {"compact": True}, str(list(range(30)))),
        ((1,), {}, "(1)"),
        ((), {}, "()"),
        ((1, "a"), {}, "(1, 'a')"),
        ([], {}, "[]"),
        ({}, {}, "{}"),
        ({1: "x", None: 2.5}, {}, lines("{", "  1: 'x',", "  None: 2.5", "}")),
        ({1, 2}, {}, "{1, 2}"),
        (frozenset([1]), {}, "frozenset({1})"),
        (P(1, 2), {}, "(1, 2)"),
        (OrderedDict(a=1), {}, lines("{", "  'a': 1", "}")),
        ([[1], (2,), {}], {}, "[[1], (2), {}]"),
        ([{"a": 1}], {}, lines("[{", "    'a': 1", "  }]")),
        ([{"a": 1}], {"compact": True}, "[{'a': 1}]"),
        ({"a": list(range(30))}, {},
         lines("{", "  'a': [", *[f"    {i}," for i in range(29)], "    29", "  ]", "}")),
        ({"a": 1}, {"root_indent": 2}, lines("{", "      'a': 1", "    }")),
        ({"a": 1}, {"root_indent": -1}, lines("{", "'a': 1", "}")),
        ({"a": 1}, {"root_indent": -5}, lines("{", "'a': 1", "}")),
        ({"a": 1}, {"root_indent": True}, lines("{", "    'a': 1", "  }")),
        ({"a": 1}, {"root_indent": Idx(1)}, lines("{", "    'a': 1", "  }")),
        ([1, 2], {"list_wrap_threshold": -1, "root_indent": 1},
         lines("[", "    1,", "    2", "  ]")),
        ([Plain(), Thing], {}, "[S, " + str(Thing) + "]"),
        ([Plain()], {"compact": True}, "[R]"),
    ],
)
def test_layout(value, kwargs, expected):
    assert fmt(value, **kwargs) == expected


def test_nested_wrapped_lists():
    value = [list(range(30))]
    expected = lines(
        "[", "  [", *[f"    {i}," for i in range(29)], "    29", "  ]", "]"
    )
    assert fmt(value) == expected


@pytest.mark.parametrize(
    "value, threshold, expected",
    [
        ([], 1, "[\n\n]"),
        ([], -1, "[\n\n]"),
        ([], 2, "[]"),
        ([1], -1, "[\n  1\n]"),
        ([1, 2], 6, "[1, 2]"),
        ([1, 2], 5, "[\n  1,\n  2\n]"),
        ((1, 2), 5, "(\n  1,\n  2\n)"),
        (["\u4e2d"], 5, "['\u4e2d']"),  # code points, not bytes
        ([1, 2], 6.0, "[1, 2]"),
        ([1, 2], 5.5, "[\n  1,\n  2\n]"),
        ([1, 2], 2**80, "[1, 2]"),
        ([1, 2], -(2**80), "[\n  1,\n  2\n]"),
        ([1, 2], Idx(5), "[\n  1,\n  2\n]"),
    ],
)
def test_list_wrap_threshold(value, threshold, expected):
    assert fmt(value, list_wrap_threshold=threshold) == expected


@pytest.mark.parametrize(
    "value, option, given",
    [
        ([1, 2], "root_indent", 1),
        ({"a": [1]}, "root_indent", 2),
        # within the limit: a cut would slice by the number, whose __index__ raises
        ("abc", "max_str_len", 9),
        (b"abc", "max_bytes_len", 3),
        ([1, 2], "list_wrap_threshold", 3),
        ([1, 2], "list_wrap_threshold", 30),
    ],
)
def test_an_unconvertible_number_falls_back_to_python_operators_unless_grave(raised, value, option, given):
    expected = fmt(value, **{option: given})
    raised.check(lambda: fmt(value, **{option: raised.number(given)}), expected)


def test_list_wrap_threshold_not_comparable():
    with pytest.raises(TypeError):
        fmt([1], list_wrap_threshold="x")
    # compact never reads the threshold
    assert fmt([1], compact=True, list_wrap_threshold="x") == "[1]"


def test_compact_truthiness_is_read():
    assert fmt({"a": 1}, compact=1) == "{'a': 1}"
    assert fmt({"a": 1}, compact=None) == "{\n  'a': 1\n}"
    assert fmt({"a": 1}, compact="") == "{\n  'a': 1\n}"

    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    # read even when nothing is left to lay out
    for value in ({"a": 1}, {}, [], {"a": 1, "b": 2}):
        with pytest.raises(ZeroDivisionError):
            fmt(value, compact=Bad(), exclude_keys={"a", "b"})


class Level:
    """A root_indent that is not an int but supports `+ 1` and `'  ' * n`."""

    def __init__(self, n):
        self.n = n

    def __add__(self, other):
        return Level(self.n + other)

    def __rmul__(self, s):
        return s * self.n


def test_root_indent_non_integer():
    assert fmt({"a": 1}, root_indent=Level(1)) == lines("{", "    'a': 1", "  }")
    with pytest.raises(TypeError):
        fmt({"a": 1}, root_indent="x")
    # an integer level too deep to indent fails as `'  ' * n` does
    with pytest.raises(OverflowError, match="repeated string is too long"):
        fmt({"a": 1}, root_indent=2**62)
    # scalars never read it
    assert fmt(1, root_indent="x") == "1"


def test_dict_storage_order_not_items_override():
    class D(dict):
        def items(self):
            return [("z", 0)]

        def __iter__(self):
            return iter(["z"])

    assert fmt(D(a=1, b=2)) == lines("{", "  'a': 1,", "  'b': 2", "}")


def test_list_subclass_iterates_with_iter():
    class L(list):
        def __iter__(self):
            return iter(["x"])

    assert fmt(L([1, 2])) == "['x']"


def test_list_growing_while_formatted():
    items = []

    class Grow:
        __norv_formattable__ = True

        def format(self, **kw):
            if len(items) < 4:
                items.append(Grow())
            return "g"

    items.append(Grow())
    assert fmt(items, compact=True) == "[g, g, g, g]"


class Shout(str):
    def __repr__(self):
        return "SHOUT"


def int_hook(value, root_indent):
    return f"<{value}@{root_indent}>" if isinstance(value, int) else None


ELEMENTS = [True, None, 1.5, -7, 10**30, "it's", "\u00e9\u4e2d\U0001f600", b"ab", "abcdef", b"abcdef",
            MyInt(1), Color.RED, MyStr("abcdef"), Shout("x"), Plain(), Thing(), Recorder(),
            [1, "ab"], {"k": b"xyz"}, (2,)]
ELEMENT_OPTIONS = [{}, {"compact": True}, {"max_str_len": 2, "max_bytes_len": 1}, {"compact": True, "max_str_len": 0},
                   {"custom_format": int_hook}, {"strip_object_id": True, "compact": True}]


@pytest.mark.parametrize("kwargs", ELEMENT_OPTIONS)
@pytest.mark.parametrize("value", ELEMENTS)
def test_elements_render_as_nested_calls(value, kwargs):
    # An element's text is exactly what a nested call with the child keywords returns.
    child = fmt(value, root_indent=1, **kwargs)
    if kwargs.get("compact"):
        assert fmt([value, value], **kwargs) == f"[{child}, {child}]"
        assert fmt((value,), **kwargs) == f"({child})"
        assert fmt({"k": value}, **kwargs) == f"{{'k': {child}}}"
    else:
        assert fmt({"k": value, "j": value}, **kwargs) == f"{{\n  'k': {child},\n  'j': {child}\n}}"


@pytest.mark.parametrize("key", [1, -2.5, None, False, b"k", "k", "it's", MyInt(1), Color.RED, MyStr("s"),
                                 Shout("x"), (1, "a")])
def test_keys_render_as_repr(key):
    assert fmt({key: 0}, compact=True) == f"{{{repr(key)}: 0}}"
    assert fmt({key: 0}) == f"{{\n  {repr(key)}: 0\n}}"


# ---------------------------------------------------------------- key filters


D = {"a": 1, "b": 2, "c": {"a": 3, "b": 4}}


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"include_keys": ["a"]}, lines("{", "  'a': 1", "}")),
        ({"include_keys": {"a", "b"}}, lines("{", "  'a': 1,", "  'b': 2", "}")),
        ({"exclude_keys": {"a", "b"}},
         lines("{", "  'c': {", "    'a': 3,", "    'b': 4", "  }", "}")),
        ({"include_keys": [], "exclude_keys": ["a", "c"]}, lines("{", "  'b': 2", "}")),
        ({"include_keys": ["a"], "exclude_keys": ["a"]}, lines("{", "  'a': 1", "}")),
        ({"include_keys": ["zz"]}, "{}"),
        ({"exclude_keys": ["a", "b", "c"]}, "{}"),
        ({"include_keys": ["c"]},
         lines("{", "  'c': {", "    'a': 3,", "    'b': 4", "  }", "}")),
        ({"include_keys": ["a", "b"], "compact": True}, "{'a': 1, 'b': 2}"),
        ({"include_keys": None, "exclude_keys": None},
         lines("{", "  'a': 1,", "  'b': 2,", "  'c': {", "    'a': 3,", "    'b': 4",
               "  }", "}")),
    ],
)
def test_key_filters(kwargs, expected):
    assert fmt(D, **kwargs) == expected


def test_key_filters_not_applied_to_lists_and_membership_errors_propagate():
    assert fmt([1], include_keys=["x"]) == "[1]"

    class BadSet:
        def __contains__(self, key):
            raise LookupError(key)

        def __bool__(self):
            return True

    with pytest.raises(LookupError):
        fmt({"a": 1}, include_keys=BadSet())
    with pytest.raises(LookupError):
        fmt({"a": 1}, exclude_keys=BadSet())
    # not consulted when include_keys is truthy
    assert fmt({"a": 1}, include_keys=["a"], exclude_keys=BadSet()) == "{\n  'a': 1\n}"


# ---------------------------------------------------------------- other values


def test_strip_object_id():
    t = Thing()
    assert fmt(t, strip_object_id=True) == "Thing(...)"
    assert fmt(t, strip_object_id=True, compact=True) == "Thing(...)"
    assert fmt(t) == str(t)
    assert fmt(Plain(), strip_object_id=True) == "S"
    assert fmt([t], strip_object_id=True) == "[Thing(...)]"


def test_other_value_errors_propagate():
    class Boom:
        def __str__(self):
            raise KeyError("str")

        def __repr__(self):
            raise ValueError("repr")

    with pytest.raises(KeyError):
        fmt(Boom())
    with pytest.raises(ValueError):
        fmt([Boom()], compact=True)


# ---------------------------------------------------------------- formattable


def test_formattable_receives_child_keywords():
    r = Recorder()
    memo = set()
    assert fmt(r, memo=memo, extra="x") == "F"
    (kw,) = r.calls
    assert list(kw) == [
        "compact", "verbose", "root_indent", "list_wrap_threshold",
        "strip_object_id", "max_str_len", "max_bytes_len", "custom_format",
        "memo", "extra", "include_keys", "exclude_keys",
    ]
    assert kw["compact"] is False and kw["verbose"] is True
    assert kw["root_indent"] == 0 and kw["list_wrap_threshold"] == 80
    assert kw["strip_object_id"] is False
    assert kw["max_str_len"] is None and kw["max_bytes_len"] is None
    assert kw["custom_format"] is None
    assert kw["memo"] is memo
    assert kw["include_keys"] is None
    assert kw["exclude_keys"] == set() and type(kw["exclude_keys"]) is set
    assert memo == set()


def test_formattable_receives_given_options_unchanged():
    r = Recorder()
    inc, exc, hook = ["a"], ["b"], lambda v, i: None
    sentinel = object()
    fmt(r, compact=None, verbose=sentinel, root_indent=3, list_wrap_threshold=7,
        strip_object_id=1, include_keys=inc, exclude_keys=exc, markdown=False,
        max_str_len=4, max_bytes_len=5, custom_format=hook)
    (kw,) = r.calls
    assert kw["compact"] is None and kw["verbose"] is sentinel
    assert kw["root_indent"] == 3  # not increased
    assert kw["list_wrap_threshold"] == 7 and kw["strip_object_id"] == 1
    assert kw["max_str_len"] == 4 and kw["max_bytes_len"] == 5
    assert kw["custom_format"] is hook
    assert kw["include_keys"] is inc and kw["exclude_keys"] is exc
    assert "markdown" not in kw


def test_formattable_in_containers_gets_child_level_and_no_filters():
    r = Recorder()
    assert fmt({"k": [r]}, include_keys=["k"], compact=None, foo=1) == (
        "{\n  'k': [F]\n}"
    )
    (kw,) = r.calls
    assert kw["root_indent"] == 2
    assert kw["compact"] is None
    assert kw["include_keys"] is None and kw["exclude_keys"] == set()
    assert kw["foo"] == 1


def test_formattable_memo_holds_value_during_call():
    seen = []

    class F:
        __norv_formattable__ = True

        def format(self, memo, **kw):
            seen.append(set(memo))
            return "f"

    f = F()
    outer = [f]
    fmt(outer)
    assert seen == [{id(outer), id(f)}]


@pytest.mark.parametrize(
    "attr, expected",
    [(True, "F"), (1, "F"), (False, "S"), (0, "S"), (None, "S")],
)
def test_formattable_marker_truthiness(attr, expected):
    class F:
        __norv_formattable__ = attr

        def format(self, **kw):
            return "F"

        def __str__(self):
            return "S"

    assert fmt(F()) == expected


def test_formattable_marker_looked_up_on_type():
    class F:
        def format(self, **kw):
            return "F"

        def __str__(self):
            return "S"

    f = F()
    f.__norv_formattable__ = True
    assert fmt(f) == "S"


def test_formattable_marker_lookup_error_propagates():
    class Meta(type):
        def __getattr__(cls, name):
            if name == "__norv_formattable__":
                raise ZeroDivisionError
            raise AttributeError(name)

    class F(metaclass=Meta):
        def __str__(self):
            return "S"

    with pytest.raises(ZeroDivisionError):
        fmt(F())


def test_formattable_result_must_be_str():
    class F:
        __norv_formattable__ = True

        def format(self, **kw):
            return 5

    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        fmt(F())
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        fmt([F()])


def test_missing_value_formats():
    mv = n.MissingValue()
    assert fmt(mv) == "MISSING_VALUE"
    assert fmt([mv, n.missing_value_singleton()]) == "[MISSING_VALUE, MISSING_VALUE]"
    assert fmt({"a": mv}, markdown=True) == "```\n{\n  'a': MISSING_VALUE\n}\n```"


# ---------------------------------------------------------------- custom_format


def test_custom_format_takes_over():
    def hook(v, indent):
        return f"<{v}@{indent}>" if isinstance(v, int) else None

    assert fmt([1, [2]], custom_format=hook) == "[<1@1>, [<2@2>]]"
    assert fmt(1, custom_format=hook, root_indent=5) == "<1@5>"
    assert fmt({"a": 1}, custom_format=hook) == "{\n  'a': <1@1>\n}"


def test_custom_format_result_is_stringified_and_quoted():
    assert fmt([1], custom_format=lambda v, i: 7) == "7"
    assert fmt("x", custom_format=lambda v, i: "a\nb", markdown=True) == "```\na\nb\n```"


def test_custom_format_runs_before_memo():
    value = [1]
    assert fmt(value, memo={id(value)}, custom_format=lambda v, i: "hook") == "hook"


def test_custom_format_declining_reaches_plain_object_twice():
    calls = []

    def hook(v, indent):
        calls.append((v, indent))

    p = Plain()
    assert fmt(p, custom_format=hook) == "S"
    assert calls == [(p, 0), (p, 0)]
    calls.clear()
    assert fmt([p], custom_format=hook) == "[S]"
    assert [c[1] for c in calls] == [0, 1, 1]


def test_custom_format_receives_given_root_indent_object():
    seen = []
    lvl = Level(0)
    fmt(Plain(), root_indent=lvl, custom_format=lambda v, i: seen.append(i))
    assert seen == [lvl, lvl]


def test_custom_format_second_call_result_used():
    calls = []

    def hook(v, indent):
        calls.append(v)
        return None if len(calls) == 1 else "second"

    assert fmt(Plain(), custom_format=hook) == "second"


def test_custom_format_errors_propagate():
    def hook(v, indent):
        raise OSError("hook")

    with pytest.raises(OSError):
        fmt(1, custom_format=hook)


# ---------------------------------------------------------------- memo


def test_self_containing_list():
    x = [1]
    x.append(x)
    assert fmt(x) == f"[1, {marker(x)}]"


def test_self_containing_dict():
    d = {}
    d["self"] = d
    assert fmt(d) == f"{{\n  'self': {marker(d)}\n}}"
    assert fmt(d, compact=True) == f"{{'self': {marker(d)}}}"


def test_mutual_recursion():
    a, b = [], {}
    a.append(b)
    b["a"] = a
    assert fmt(a, compact=True) == f"[{{'a': {marker(a)}}}]"


def test_shared_value_rendered_in_full_each_time():
    shared = [1]
    assert fmt([shared, shared]) == "[[1], [1]]"


@pytest.mark.parametrize(
    "value", [[1], {"a": 1}, (1,), Plain(), Recorder(), {1}, MyInt(3)],
    ids=lambda v: type(v).__name__,
)
def test_given_memo_with_value_returns_marker(value):
    memo = {id(value)}
    assert fmt(value, memo=memo) == marker(value)
    assert fmt(value, memo=memo, markdown=True) == marker(value)
    assert memo == {id(value)}


@pytest.mark.parametrize("value", [1, "a", None, 1.5, b"x", True])
def test_given_memo_ignored_for_fast_path_scalars(value):
    assert fmt(value, memo={id(value)}) == repr(value)


def test_memo_restored_after_call():
    memo = {12345}
    inner = {"a": [1, (2,)]}
    fmt([inner, Plain()], memo=memo)
    assert memo == {12345}


def test_a_failed_memo_removal_is_dropped_unless_grave(raised):
    value = [1]

    class Collider:
        """Shares the hash of the memo's entry for `value`; raises when the removal compares."""

        compared = 0

        def __hash__(self):
            return hash(id(value))

        def __eq__(self, other):
            Collider.compared += 1
            if Collider.compared == 2:
                raise raised.cls("cannot compare")
            return False

    memo = {Collider()}
    raised.check(lambda: fmt(value, memo=memo), "[1]")
    assert Collider.compared == 2


def test_memo_restored_after_error():
    class Boom:
        def __str__(self):
            raise RuntimeError("boom")

    memo = set()
    with pytest.raises(RuntimeError):
        fmt({"a": [Boom()]}, memo=memo)
    assert memo == set()


def test_memo_set_subclass_accepted():
    class MySet(set):
        pass

    memo = MySet()
    assert fmt([1], memo=memo) == "[1]"
    assert memo == set()


@pytest.mark.parametrize(
    "memo, name", [([], "list"), (frozenset(), "frozenset"), ({}, "dict")]
)
def test_memo_must_be_set(memo, name):
    with pytest.raises(TypeError, match=f"'{name}' object is not an instance of 'set'"):
        fmt([1], memo=memo)


def test_memo_none_is_absent():
    assert fmt([1], memo=None) == "[1]"


def test_marker_uses_class_name_attribute():
    class Odd(list):
        pass

    x = Odd()
    x.append(x)
    assert fmt(x) == f"[<recursive Odd at {hex(id(x))}>]"


# ---------------------------------------------------------------- markdown


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        ("abc", {"markdown": True}, "`'abc'`"),
        ({"a": 1}, {"markdown": True}, "```\n{\n  'a': 1\n}\n```"),
        ({"a": 1}, {"markdown": True, "compact": True}, "`{'a': 1}`"),
        (["a", ["b"]], {"markdown": True}, "`['a', ['b']]`"),
        ("abc", {"markdown": 0}, "'abc'"),
        ("abc", {"markdown": "yes"}, "`'abc'`"),
        (Plain(), {"markdown": True}, "`S`"),
        (Recorder("x\ny"), {"markdown": True}, "```\nx\ny\n```"),
        ([], {"markdown": True, "list_wrap_threshold": 0}, "```\n[\n\n]\n```"),
    ],
)
def test_markdown_quoting(value, kwargs, expected):
    assert fmt(value, **kwargs) == expected


def test_markdown_truthiness_read_first():
    class Bad:
        def __bool__(self):
            raise ArithmeticError

    calls = []
    with pytest.raises(ArithmeticError):
        fmt(1, markdown=Bad(), custom_format=lambda v, i: calls.append(v))
    assert calls == []


# ---------------------------------------------------------------- faults


class Mutator:
    __norv_formattable__ = True

    def __init__(self, action):
        self.action = action

    def format(self, **kw):
        self.action()
        return "m"


def test_dict_changed_size_is_panic_and_formatter_recovers():
    d = {}
    d["a"] = Mutator(lambda: d.__setitem__("new", 1))
    d["b"] = 2
    memo = set()
    with pytest.raises(BaseException) as ei:
        fmt(d, memo=memo)
    assert is_panic(ei.value)
    assert str(ei.value) == "dictionary changed size during iteration"
    assert memo == set()
    assert fmt({"a": [1]}, compact=True) == "{'a': [1]}"


def test_dict_keys_changed_is_panic():
    d = {}

    def swap():
        del d["a"]
        d["c"] = 3

    d["a"] = Mutator(swap)
    d["b"] = 2
    with pytest.raises(BaseException) as ei:
        fmt(d)
    assert is_panic(ei.value)
    assert str(ei.value) == "dictionary keys changed during iteration"


def test_dict_value_replaced_in_place_is_fine():
    d = {}
    d["a"] = Mutator(lambda: d.__setitem__("b", 5))
    d["b"] = 2
    assert fmt(d, compact=True) == "{'a': m, 'b': 5}"


def test_deep_nesting_raises_recursion_error(run_py):
    out = run_py(
        """
from norv_core import _native as n
class Node:
    __norv_formattable__ = True
    def __init__(self, child):
        self.child = child
    def format(self, **kw):
        return n.format(self.child, **kw)
for make in (lambda x: [x], lambda x: {'k': x}, lambda x: (x,), Node):
    v = 0
    for _ in range(200000):
        v = make(v)
    memo = set()
    try:
        n.format(v, memo=memo)
    except RecursionError:
        print('RecursionError', len(memo))
    else:
        print('no error')
print(n.format([[1]], compact=True))
"""
    )
    assert out.split("\n")[:5] == ["RecursionError 0"] * 4 + ["[[1]]"]


def test_deep_nesting_on_a_small_thread_stack(run_py):
    out = run_py(
        """
import threading
from norv_core import _native as n
v = 0
for _ in range(200000):
    v = [v]
result = []
def work():
    try:
        n.format(v)
    except RecursionError:
        result.append('RecursionError')
threading.stack_size(1 << 20)
t = threading.Thread(target=work)
t.start()
t.join()
print(result)
"""
    )
    assert out.strip() == "['RecursionError']"


# ---------------------------------------------------------------- cached function object


def test_nested_rendering_uses_cached_function(run_py):
    out = run_py(
        """
from norv_core import _native as n
orig_fmt, orig_kv = n.format, n.kvlist_str
n.format = lambda *a, **k: 'replaced'
n.kvlist_str = lambda *a, **k: 'replaced'
print(orig_fmt([1, {'a': 2}], compact=True))
print(orig_kv([('a', [1], None)], label='X'))
"""
    )
    assert out.split("\n")[:2] == ["[1, {'a': 2}]", "X(a=[1])"]


# ---------------------------------------------------------------- references


class Obj:
    def __str__(self):
        return "o"


def test_no_reference_leaks():
    leaf = Obj()
    key = "key-" + str(id(leaf))
    hook_value = Obj()
    memo = set()
    value = {key: [leaf, (leaf, {key: leaf})], "r": Recorder()}

    def run():
        fmt(value)
        fmt(value, compact=True, markdown=True, memo=memo)
        fmt([hook_value], custom_format=lambda v, i: None)
        fmt(value, include_keys=[key])
        try:
            fmt([leaf], memo=[])
        except TypeError:
            pass

    run()
    before = (sys.getrefcount(leaf), sys.getrefcount(key), sys.getrefcount(hook_value))
    for _ in range(200):
        run()
    after = (sys.getrefcount(leaf), sys.getrefcount(key), sys.getrefcount(hook_value))
    assert before == after
