"""Key specs: the surface all four share, and the string key specs."""

import copy
import gc
import pickle
import re

import pytest

from norv_core import _native as n
from leakcheck import refcount_delta, swallow

ConstStrKey, StrKey, ListKey, TupleKey = n.ConstStrKey, n.StrKey, n.ListKey, n.TupleKey
CLASSES = [ConstStrKey, StrKey, ListKey, TupleKey]


def ident(value):
    try:
        return repr(value)
    except Exception:
        return type(value).__name__


def samples():
    return [
        ConstStrKey("x"),
        ConstStrKey(""),
        ConstStrKey("é"),
        StrKey(),
        StrKey("a+"),
        ListKey(),
        ListKey(1, 3),
        ListKey(-2, 0),
        TupleKey(),
        TupleKey(0),
        TupleKey(-1),
    ]


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


class AlwaysEq:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


class SameHashAsX(str):
    """A str that lands in the slot of 'x' whatever its text."""

    def __hash__(self):
        return hash("x")


class EqAll(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


# ---------------------------------------------------------------------------
# Shared surface


def test_registered_in_order_after_the_formatting_functions():
    names = n.__all__
    i = names.index("ConstStrKey")
    assert names[i - 1] == "_install_formatting_bridge"
    assert names[i : i + 4] == ["ConstStrKey", "StrKey", "ListKey", "TupleKey"]
    for cls in CLASSES:
        assert getattr(n, cls.__name__) is cls
        assert cls.__module__ == "norv_core._native"


@pytest.mark.parametrize(
    "cls, key, str_key",
    [
        (ConstStrKey, "norv.typing.ConstStrKey", True),
        (StrKey, "norv.typing.StrKey", None),
        (ListKey, "norv.typing.ListKey", None),
        (TupleKey, "norv.typing.TupleKey", None),
    ],
)
def test_class_attributes(cls, key, str_key):
    assert cls.__serialization_key__ == key
    assert cls.__norv_formattable__ is True
    assert getattr(cls, "__norv_str_key__", None) is str_key
    assert cls.__mro__ == (cls, object)


@pytest.mark.parametrize("cls", CLASSES)
def test_final_plain_classes(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    k = [s for s in samples() if type(s) is cls][0]
    assert not gc.is_tracked(k)
    assert not hasattr(k, "__dict__")
    with pytest.raises(AttributeError):
        k.anything = 1


@pytest.mark.parametrize("k", samples(), ids=ident)
def test_text_forms_agree_and_ignore_format_options(k):
    text = str(k)
    assert repr(k) == text
    assert k.format() == text
    assert k.format(1, 2, compact=False, verbose=True, root_indent=3, markdown=True) == text


@pytest.mark.parametrize("k", samples(), ids=ident)
def test_json_round_trip(k):
    wire = k.to_json()
    assert next(iter(wire)) == "_type"
    assert wire["_type"] == type(k).__serialization_key__
    assert k.to_json(indent=2, anything=None) == wire
    assert k.to_json() is not wire
    back = type(k).from_json(wire)
    assert type(back) is type(k)
    assert back == k
    assert type(k).from_json(json_value=wire, extra=1) == k


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "wire, message",
    [
        ([], "'list' object is not an instance of 'dict'"),
        ((("text", "x"),), "'tuple' object is not an instance of 'dict'"),
        (None, "'None' is not an instance of 'dict'"),
    ],
)
def test_from_json_needs_a_dict(cls, wire, message):
    with pytest.raises(TypeError) as e:
        cls.from_json(wire)
    assert str(e.value) == message


@pytest.mark.parametrize("cls", CLASSES)
def test_to_json_takes_no_positional_arguments(cls):
    k = [s for s in samples() if type(s) is cls][0]
    with pytest.raises(TypeError):
        k.to_json(1)


def test_from_json_reads_dict_storage_not_overridden_lookups():
    class Weird(dict):
        def __getitem__(self, key):
            raise AssertionError("overridden lookup called")

        def get(self, *args):
            raise AssertionError("overridden get called")

        def __missing__(self, key):
            return "fallback"

    assert ConstStrKey.from_json(Weird(text="k")) == ConstStrKey("k")
    assert ListKey.from_json(Weird(min_value=1, max_value=4)) == ListKey(1, 4)
    assert TupleKey.from_json(Weird(index=2)) == TupleKey(2)
    assert StrKey.from_json(Weird(regex="a")) == StrKey("a")
    with pytest.raises(KeyError):
        ConstStrKey.from_json(Weird())


@pytest.mark.parametrize("k", samples(), ids=ident)
def test_copies_are_new_equal_instances(k):
    clones = (copy.copy(k), copy.deepcopy(k), k.__copy__(), k.__deepcopy__({}), k.__deepcopy__(_memo=None))
    for clone in clones:
        assert type(clone) is type(k)
        assert clone is not k
        assert clone == k
    with pytest.raises(TypeError):
        k.__deepcopy__()


@pytest.mark.parametrize("k", samples(), ids=ident)
def test_ordering_is_unsupported(k):
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(k, op)(k) is NotImplemented
    with pytest.raises(TypeError):
        k < k
    with pytest.raises(TypeError):
        k >= k


@pytest.mark.parametrize("k", samples(), ids=ident)
def test_foreign_operands_are_unequal(k):
    for other in (None, 0, 1.5, [], object()):
        assert (k == other) is False
        assert (k != other) is True
    # False, not NotImplemented: the other operand is never asked.
    assert (k == AlwaysEq()) is False


@pytest.mark.parametrize("k", samples(), ids=ident)
def test_not_picklable(k):
    with pytest.raises(TypeError):
        pickle.dumps(k)


@pytest.mark.parametrize("k", samples(), ids=ident)
def test_properties_are_read_only(k):
    for name in ("is_const", "const_text"):
        with pytest.raises(AttributeError):
            setattr(k, name, None)


@pytest.mark.parametrize(
    "k, is_const, const_text",
    [
        (ConstStrKey("x"), True, "x"),
        (StrKey("a"), False, None),
        (ListKey(), False, None),
        (TupleKey(1), False, None),
    ],
    ids=ident,
)
def test_is_const_and_const_text(k, is_const, const_text):
    assert k.is_const is is_const
    assert k.const_text == const_text


def test_module_format_renders_key_specs_through_their_format():
    assert n.format(ConstStrKey("x")) == "x"
    assert n.format(StrKey("a"), compact=False, root_indent=2) == "StrKey(regex='a')"
    assert n.format({"k": ListKey(1)}, compact=True) == "{'k': ListKey(min_value=1, max_value=None)}"
    assert n.kvlist_str([("key", TupleKey(2), None)], label="Field") == "Field(key=TupleKey(index=2))"


def test_key_paths_join_const_str_keys_like_names():
    assert str(n.KeyPath(["a", ConstStrKey("b"), 0])) == "a.b[0]"
    assert str(n.KeyPath(["a", TupleKey(1)])) == "a[TupleKey(index=1)]"
    assert str(n.KeyPath(["a", StrKey()])) == "a[StrKey()]"


# ---------------------------------------------------------------------------
# ConstStrKey


@pytest.mark.parametrize("text", ["x", "", "é", "日本", "a b", "_private"])
def test_const_str_key_is_its_text(text):
    k = ConstStrKey(text)
    assert k.text == k.const_text == str(k) == repr(k) == text
    assert type(k.text) is str
    assert k == text and text == k and not (k != text) and not (text != k)
    assert k == ConstStrKey(text)
    assert hash(k) == hash(text)
    assert {text: 1}[k] == 1
    assert {k: 1}[text] == 1
    assert k in {text} and text in {k}
    assert k.to_json() == {"_type": "norv.typing.ConstStrKey", "text": text}


def test_const_str_key_inequalities():
    k = ConstStrKey("x")
    assert k != "y" and k != ConstStrKey("y") and k != "x "
    assert (k == 1) is False
    assert (k == b"x") is False
    with pytest.raises(TypeError):
        k < "y"


def test_const_str_key_accepts_str_subclasses_by_their_text():
    class S(str):
        pass

    k = ConstStrKey(S("ab"))
    assert type(k.text) is str
    assert k == "ab" and k == S("ab")


def test_const_str_key_equality_ignores_a_subclass_eq_but_match_does_not():
    k = ConstStrKey("x")
    assert (k == EqAll("y")) is False
    assert k.match(EqAll("y")) is True


# A str without a UTF-8 form is unequal rather than raising: a dict probe with
# an unrelated key must not blow up, also when it lands in the key's slot.
@pytest.mark.parametrize(
    "compare, expected",
    [
        (lambda k: k == "\ud800", False),
        (lambda k: "\ud800" == k, False),
        (lambda k: k != "a\udfffb", True),
        (lambda k: k.match("\ud800"), False),
        (lambda k: SameHashAsX("\ud800") in {k: 1}, False),
        (lambda k: k in {SameHashAsX("\ud800"): 1}, False),
    ],
)
def test_const_str_key_equality_with_unencodable_str_is_false(compare, expected):
    assert compare(ConstStrKey("x")) is expected


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {}, TypeError, "ConstStrKey() missing 1 required positional argument: 'text'"),
        (("a", "b"), {}, TypeError, "ConstStrKey() takes 1 positional argument but 2 were given"),
        (
            (),
            {"text": "a", "other": 1},
            TypeError,
            "ConstStrKey() got an unexpected keyword argument 'other'",
        ),
        ((1,), {}, TypeError, "argument 'text': 'int' object is not an instance of 'str'"),
        ((None,), {}, TypeError, "argument 'text': 'None' is not an instance of 'str'"),
        ((b"x",), {}, TypeError, "argument 'text': 'bytes' object is not an instance of 'str'"),
    ],
)
def test_const_str_key_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as e:
        ConstStrKey(*args, **kwargs)
    assert str(e.value) == message


def test_const_str_key_conversion_error_keeps_its_cause():
    with pytest.raises(TypeError) as e:
        ConstStrKey(text=3)
    assert type(e.value.__cause__) is TypeError
    assert str(e.value.__cause__) == "'int' object is not an instance of 'str'"


@pytest.mark.parametrize("text", ["a.b", ".", "a.", ".a", "x.y.z"])
def test_const_str_key_refuses_dots(text):
    for make in (lambda: ConstStrKey(text), lambda: ConstStrKey.from_json({"text": text})):
        with pytest.raises(KeyError) as e:
            make()
        assert e.value.args == (f"'.' cannot be used in key. Encountered: {text!r}.",)


def test_const_str_key_dot_message_example():
    with pytest.raises(KeyError) as e:
        ConstStrKey("a.b")
    assert e.value.args[0] == "'.' cannot be used in key. Encountered: 'a.b'."


@pytest.mark.parametrize("text", ["\ud800", "a\udfffb", "a.\ud800"])
def test_const_str_key_refuses_unencodable_text(text):
    with pytest.raises(UnicodeEncodeError):
        ConstStrKey(text)
    with pytest.raises(UnicodeEncodeError):
        ConstStrKey.from_json({"text": text})


def test_const_str_key_empty_text_matches_only_empty():
    k = ConstStrKey("")
    assert k.match("") is True
    assert k.match(" ") is False
    assert k.match(None) is False


@pytest.mark.parametrize(
    "key, expected",
    [
        ("x", True),
        ("y", False),
        ("X", False),
        (1, False),
        (None, False),
        (ConstStrKey("x"), True),
        (ConstStrKey("y"), False),
    ],
    ids=ident,
)
def test_const_str_key_match(key, expected):
    assert ConstStrKey("x").match(key) is expected
    assert ConstStrKey("x").match(key=key) is expected


def test_const_str_key_match_propagates_comparison_errors():
    class Boom:
        def __eq__(self, other):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="boom"):
        ConstStrKey("x").match(Boom())


@pytest.mark.parametrize("base", ["x", ConstStrKey("x")], ids=ident)
def test_const_str_key_extend_accepts_equal_bases(base):
    k = ConstStrKey("x")
    assert k.extend(base) is k
    assert k.extend(base=base) is k


@pytest.mark.parametrize(
    "base, message",
    [
        (StrKey(), "x cannot extend StrKey() for keys are different."),
        ("y", "x cannot extend y for keys are different."),
        (ConstStrKey("y"), "x cannot extend y for keys are different."),
        (ListKey(), "x cannot extend ListKey(min_value=0, max_value=None) for keys are different."),
        (AlwaysEq(), None),
    ],
    ids=ident,
)
def test_const_str_key_extend_refusals(base, message):
    with pytest.raises(KeyError) as e:
        ConstStrKey("x").extend(base)
    if message is None:
        assert e.value.args[0].startswith("x cannot extend <")
    else:
        assert e.value.args == (message,)


def test_extend_refusal_text_errors_replace_the_refusal():
    with pytest.raises(RuntimeError, match="no text"):
        ConstStrKey("x").extend(BadStr())
    with pytest.raises(RuntimeError, match="no text"):
        StrKey().extend(BadStr())


def test_const_str_key_from_json():
    assert ConstStrKey.from_json({"_type": "anything", "text": "k"}) == ConstStrKey("k")
    assert ConstStrKey.from_json({"text": ""}) == ConstStrKey("")
    with pytest.raises(KeyError) as e:
        ConstStrKey.from_json({})
    assert str(e.value) == "'text'"
    assert e.value.args == ("text",)


@pytest.mark.parametrize(
    "text, message",
    [
        (1, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (b"k", "'bytes' object is not an instance of 'str'"),
    ],
)
def test_const_str_key_from_json_needs_str_text(text, message):
    with pytest.raises(TypeError) as e:
        ConstStrKey.from_json({"text": text})
    assert str(e.value) == message


def test_const_str_key_copies_keep_text():
    k = ConstStrKey("abc")
    assert copy.copy(k).text == "abc"
    assert copy.deepcopy({"k": k})["k"] == "abc"


def test_const_str_key_call_surface_argument_errors():
    k = ConstStrKey("x")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'key'"):
        k.match()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'base'"):
        k.extend()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'json_value'"):
        ConstStrKey.from_json()


# ---------------------------------------------------------------------------
# StrKey


@pytest.mark.parametrize(
    "make",
    [
        lambda: StrKey(),
        lambda: StrKey(None),
        lambda: StrKey(""),
        lambda: StrKey(regex=None),
        lambda: StrKey(0),
    ],
)
def test_str_key_without_regex(make):
    k = make()
    assert k.regex is None
    assert k == StrKey() and StrKey() == k
    assert hash(k) == hash(".*")
    assert str(k) == "StrKey()"
    assert k.to_json() == {"_type": "norv.typing.StrKey"}
    for key in ("", "a", "a.b", "日本"):
        assert k.match(key) is True


@pytest.mark.parametrize("key", [5, None, b"a", ["a"], ConstStrKey("a")], ids=ident)
def test_str_key_match_needs_a_str(key):
    assert StrKey().match(key) is False
    assert StrKey("a").match(key) is False


def test_str_key_match_accepts_str_subclasses():
    class S(str):
        pass

    assert StrKey().match(S("q")) is True
    assert StrKey("q").match(S("qq")) is True


@pytest.mark.parametrize(
    "pattern, key, expected",
    [
        ("a", "abc", True),
        ("a", "ba", False),
        ("a", "a", True),
        ("a", "", False),
        ("a$", "ab", False),
        ("[0-9]+", "12x", True),
        ("x?", "anything", True),
    ],
)
def test_str_key_match_is_anchored_at_the_start_only(pattern, key, expected):
    assert StrKey(pattern).match(key) is expected


def test_str_key_compiles_through_re_and_keeps_the_pattern_object():
    p = re.compile("a+", re.IGNORECASE)
    k = StrKey(p)
    assert k.regex is p
    assert k.match("AAA") is True
    assert StrKey("a+").regex is re.compile("a+")  # the re module's own cache
    assert isinstance(StrKey("a").regex, re.Pattern)


def test_str_key_constructor_errors_propagate_unchanged():
    with pytest.raises(re.error):
        StrKey("a[")
    with pytest.raises(re.error):
        StrKey.from_json({"regex": "a["})
    with pytest.raises(TypeError) as e:
        StrKey(5)
    assert not str(e.value).startswith("argument")

    class Falsy:
        def __bool__(self):
            raise ValueError("no truth")

    with pytest.raises(ValueError, match="no truth"):
        StrKey(Falsy())
    with pytest.raises(TypeError, match="unexpected keyword argument 'pattern'"):
        StrKey(pattern="a")
    with pytest.raises(TypeError, match="takes from 0 to 1 positional arguments but 2 were given"):
        StrKey("a", "b")


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (StrKey("a"), StrKey("a"), True),
        (StrKey("a"), StrKey("b"), False),
        (StrKey(), StrKey(".*"), False),
        (StrKey(".*"), StrKey(), False),
        (StrKey(re.compile("a", re.I)), StrKey("a"), False),
        (StrKey(re.compile("a", re.I)), StrKey(re.compile("a", re.I)), True),
        (StrKey(b"a"), StrKey(b"a"), True),
        (StrKey("a"), ConstStrKey("a"), False),
        (StrKey("a"), "a", False),
    ],
    ids=ident,
)
def test_str_key_equality(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is (not equal)


def test_str_key_hash_is_that_of_the_pattern_text():
    assert hash(StrKey("a+")) == hash("a+")
    assert hash(StrKey(".*")) == hash(StrKey())
    assert {StrKey("a"): 1}[StrKey("a")] == 1


def test_str_key_text_form():
    assert str(StrKey("a")) == "StrKey(regex='a')"
    assert repr(StrKey("[0-9]+")) == "StrKey(regex='[0-9]+')"
    assert StrKey("a").format(compact=False, verbose=True, root_indent=4) == "StrKey(regex='a')"
    assert StrKey().format(compact=False) == "StrKey()"


def test_str_key_text_form_uses_the_cached_kvlist_str(monkeypatch):
    def broken(*args, **kwargs):
        raise AssertionError("module attribute consulted")

    monkeypatch.setattr(n, "kvlist_str", broken)
    assert str(StrKey("a")) == "StrKey(regex='a')"


def test_str_key_bytes_pattern():
    k = StrKey(b"a")
    assert k.regex.pattern == b"a"
    with pytest.raises(TypeError):
        k.match("a")  # the pattern's own error
    assert k.match(b"a") is False  # not a str: never reaches the pattern
    for fn in (str, repr, hash, lambda k: k.format(), lambda k: k.to_json()):
        with pytest.raises(TypeError) as e:
            fn(k)
        assert str(e.value) == "'bytes' object is not an instance of 'str'"


def test_str_key_json():
    assert StrKey("a+").to_json() == {"_type": "norv.typing.StrKey", "regex": "a+"}
    assert StrKey.from_json({}).regex is None
    assert StrKey.from_json({"regex": None}).regex is None
    assert StrKey.from_json({"regex": ""}).regex is None
    assert StrKey.from_json({"_type": "x", "regex": "b"}) == StrKey("b")


def test_str_key_json_drops_pattern_flags():
    k = StrKey(re.compile("a", re.IGNORECASE))
    wire = k.to_json()
    assert wire == {"_type": "norv.typing.StrKey", "regex": "a"}
    back = StrKey.from_json(wire)
    assert back.regex.flags == re.compile("a").flags
    assert back != k


def test_str_key_copies_share_the_pattern_object():
    k = StrKey("a+")
    for clone in (copy.copy(k), copy.deepcopy(k)):
        assert clone is not k
        assert clone.regex is k.regex
    assert copy.copy(StrKey()).regex is None


@pytest.mark.parametrize(
    "k, base, message",
    [
        (
            StrKey("a"),
            StrKey("b"),
            "StrKey(regex='a') cannot extend StrKey(regex='b') for keys are different.",
        ),
        (StrKey(), StrKey(".*"), "StrKey() cannot extend StrKey(regex='.*') for keys are different."),
        (StrKey(), ConstStrKey("x"), "StrKey() cannot extend x for keys are different."),
        (StrKey(), "x", "StrKey() cannot extend x for keys are different."),
    ],
    ids=ident,
)
def test_str_key_extend_refusals(k, base, message):
    with pytest.raises(KeyError) as e:
        k.extend(base)
    assert e.value.args == (message,)


def test_str_key_extend_accepts_equal_keys():
    k = StrKey("a")
    assert k.extend(StrKey("a")) is k
    k = StrKey()
    assert k.extend(StrKey("")) is k


def test_str_key_equality_asks_the_pattern_objects_without_an_identity_shortcut(monkeypatch):
    class NeverEqual:
        pattern = "p"

        def __eq__(self, other):
            return False

        __hash__ = None

    monkeypatch.setattr(re, "compile", lambda pattern: NeverEqual())
    k = StrKey("p")
    monkeypatch.undo()
    for other in (k, copy.copy(k)):
        assert other.regex is k.regex
        assert (k == other) is False
    with pytest.raises(KeyError, match="cannot extend"):
        k.extend(k)


class NoTruth:
    def __bool__(self):
        raise ValueError("truth fault")


class FaultyPattern:
    """A compiled pattern whose comparison, the truth of that comparison, or text raises."""

    def __init__(self, fault):
        self.fault = fault

    def __eq__(self, other):
        if self.fault == "eq":
            raise ValueError("eq fault")
        return NoTruth() if self.fault == "truth" else True

    __hash__ = None

    @property
    def pattern(self):
        if self.fault == "pattern":
            raise ValueError("pattern fault")
        return "p"


@pytest.mark.parametrize(
    "fault, operation",
    [
        ("eq", lambda k: k == copy.copy(k)),
        ("eq", lambda k: k != copy.copy(k)),
        ("eq", lambda k: k.extend(k)),
        ("truth", lambda k: k == k),
        ("truth", lambda k: k.extend(copy.copy(k))),
        ("pattern", hash),
        ("pattern", str),
        ("pattern", lambda k: k.format()),
        ("pattern", lambda k: k.to_json()),
    ],
)
def test_str_key_pattern_errors_propagate(monkeypatch, fault, operation):
    monkeypatch.setattr(re, "compile", FaultyPattern)
    k = StrKey(fault)
    monkeypatch.undo()
    with pytest.raises(ValueError, match=f"{fault} fault"):
        operation(k)


def test_str_key_regex_is_read_only():
    with pytest.raises(AttributeError):
        StrKey().regex = re.compile("a")


# ---------------------------------------------------------------------------
# Reference counts


def test_no_reference_leaks_in_string_key_specs():
    text = "".join(["lea", "ky"])  # not interned
    pattern = re.compile("le+ak")
    wire = {"text": text}
    assert refcount_delta(text, lambda: ConstStrKey(text)) == 0
    assert refcount_delta(text, lambda: ConstStrKey(text) == text) == 0
    assert refcount_delta(text, lambda: ConstStrKey("x").match(text)) == 0
    assert refcount_delta(text, swallow(lambda: ConstStrKey("x").extend(text), KeyError)) == 0
    assert refcount_delta(wire, lambda: ConstStrKey.from_json(wire)) == 0
    assert refcount_delta(pattern, lambda: StrKey(pattern)) == 0
    assert refcount_delta(pattern, lambda: copy.deepcopy(StrKey(pattern))) == 0
    assert refcount_delta(pattern, lambda: (StrKey(pattern).to_json(), str(StrKey(pattern)))) == 0
    assert refcount_delta(pattern, lambda: hash(StrKey(pattern))) == 0
    assert refcount_delta(text, lambda: StrKey(pattern).match(text)) == 0
    bad = BadStr()
    assert refcount_delta(bad, swallow(lambda: StrKey().extend(bad), RuntimeError)) == 0
