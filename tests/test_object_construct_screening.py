"""The keywords of an object construction: how they are classified (by the
class's init names, by its schema's open plan, or by its schema's
`resolve`), how unexpected ones are reported or dropped, keywords reserved
as aliases, and the wording of the argument errors."""

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho

from host_calls import clean_records, recorded  # noqa: F401  (fixture)

norv_host.install()
probe = n._testing
HostObject, F = ho.HostObject, n.Field


pytestmark = pytest.mark.usefixtures("clean_records")


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


def bind(cls, fields, init_names=False, **schema_kw):
    """`cls` bound to a schema of `fields`; with `init_names` its init fields
    are listed, otherwise its schema classifies the keywords."""
    cls.__schema__ = n.Schema(fields, **schema_kw)
    cls.sym_fields = n.Dict(cls.__schema__)
    cls._sym_init_fields = [(f.key.const_text, f) for f in fields if f.enable_init] if init_names else None
    cls._on_schema_update()
    return cls


def screened(cls, kwargs):
    """Constructs `cls.__new__(cls)` from `kwargs` itself (the dict is used,
    not copied) and answers the dict afterwards, or the error."""
    obj = cls.__new__(cls)
    src = cls.__new__(cls)
    try:
        n._native_object_clone_construct(obj, False, False, kwargs, src, False, None)
    except Exception as e:  # noqa: BLE001
        return type(e), str(e), kwargs
    return obj, kwargs


class C(HostObject):
    x: int = 0
    y: int = 0


# ---------------------------------------------------------------- by init names


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"z": 1}, "C.__init__() got unexpected keyword argument: 'z'"),
        ({"z": 1, "x": 1, "a": 2}, "C.__init__() got unexpected keyword arguments: 'z', 'a'"),
    ],
)
def test_unexpected_keywords_by_init_names(kwargs, message):
    assert raised(lambda: C(**kwargs)) == (TypeError, message)
    keys = [k for k in kwargs if k not in ("x", "y")]
    assert recorded("auto_plural") == [(len(keys), "argument")]
    assert recorded("comma_delimited_str") == [(keys,)]


def test_keys_that_are_no_str_or_a_str_subclass():
    class S(str):
        pass

    obj, left = screened(C, {S("x"): 3})
    assert obj.x == 3
    assert screened(C, {1: 2})[:2] == (TypeError, "C.__init__() got unexpected keyword argument: '1'")


def test_an_empty_init_name_list_makes_every_keyword_unexpected():
    class Nothing(HostObject):
        pass

    assert Nothing().field_dict() == {}
    assert raised(lambda: Nothing(a=1)) == (TypeError, "Nothing.__init__() got unexpected keyword argument: 'a'")


class Ignoring(HostObject):
    __varkw_ignore__ = True
    x: int = 0


def test_a_class_that_ignores_unexpected_keywords_drops_them():
    obj, left = screened(Ignoring, {"z": 1, "x": 2, 3: 4})
    assert obj.field_dict() == {"x": 2} and left == {"x": 2}
    assert recorded("auto_plural") == []


class Aliased(HostObject):
    __varkw_ignore__ = True
    _sym_alias_maps = ({"old": "new", "older": "new"},)
    new: int = 0


def test_an_alias_under_the_ignore_branch_refuses_before_anything_is_deleted():
    kwargs = {"z": 1, 5: 0, "older": 2}
    assert screened(Aliased, kwargs) == (
        TypeError,
        "Aliased.__init__() got keyword argument 'older', which is reserved as the alias of field 'new'.",
        {"z": 1, 5: 0, "older": 2},
    )


def test_an_alias_map_that_is_no_dict():
    class Listed(Aliased):
        _sym_alias_maps = (["old"],)

    assert raised(lambda: Listed(old=1)) == (TypeError, "'list' object is not an instance of 'dict'")


def test_an_unencodable_key_is_compared_with_its_lossy_text():
    class Lossy(Aliased):
        _sym_alias_maps = ({"a?b": "new"},)

    assert screened(Lossy, {"a\ud800b": 1})[:2] == (
        TypeError,
        "Lossy.__init__() got keyword argument 'a?b', which is reserved as the alias of field 'new'.",
    )


class NoIgnoreMeta(type(HostObject)):
    @property
    def __varkw_ignore__(cls):
        raise AttributeError("__varkw_ignore__")


def test_a_class_without_the_ignore_flag_raises_that_lookup_error():
    class Strict(HostObject, metaclass=NoIgnoreMeta):
        x: int = 0

    assert Strict(x=1).x == 1
    assert raised(lambda: Strict(z=1)) == (AttributeError, "__varkw_ignore__")


class BadName(type(HostObject)):
    @property
    def __name__(cls):
        return 5


def test_a_class_name_that_is_no_str_fails_the_message():
    class Odd(HostObject, metaclass=BadName):
        x: int

    assert raised(lambda: Odd(z=1)) == (TypeError, "'int' object is not an instance of 'str'")
    assert raised(lambda: Odd()) == (TypeError, "'int' object is not an instance of 'str'")


def test_the_alias_error_takes_any_name():
    class Odd(HostObject, metaclass=BadName):
        __varkw_ignore__ = True
        _sym_alias_maps = ({"old": 7},)

    assert raised(lambda: Odd(old=1)) == (
        TypeError,
        "5.__init__() got keyword argument 'old', which is reserved as the alias of field '7'.",
    )


def test_the_host_text_functions_must_answer_str(run_py):
    out = run_py(
        """
from norv_core import _native as n
import norv_host
from norv_host import objects as ho, symbolic as hs, typing as ht
ht.install(); hs.install()
n._install_object_bridge(**dict(ho.HANDLES, auto_plural=lambda count, word: count))
ho.HostObject._update_schema([])

class C(ho.HostObject):
    x: int

for call in (lambda: C(), lambda: C(x=1, z=2)):
    try:
        call()
    except TypeError as e:
        print(e)
"""
    )
    assert out.splitlines() == ["'int' object is not an instance of 'str'"] * 2


# ---------------------------------------------------------------- by the schema


def open_class(**wildcard_kw):
    class Open(HostObject):
        pass

    return bind(
        Open,
        [F("a", n.Int(default=0)), F("hidden", n.Int(default=0), enable_init=False), F(n.StrKey(), n.Int(), **wildcard_kw)],
        allow_nonconst_keys=True,
    )


def test_the_open_plan_takes_wildcard_keys_and_refuses_non_init_fields():
    Open = open_class()
    obj = Open(a=1, q=2, r=3)
    assert obj.field_dict() == {"a": 1, "hidden": 0, "q": 2, "r": 3}
    assert raised(lambda: Open(hidden=1, q=2)) == (
        TypeError,
        "Open.__init__() got unexpected keyword argument: 'hidden'",
    )


def test_a_wildcard_that_is_no_init_field_makes_every_other_key_unexpected():
    Open = open_class(enable_init=False)
    assert Open(a=1).field_dict() == {"a": 1, "hidden": 0}
    assert raised(lambda: Open(q=1, a=2, r=3)) == (
        TypeError,
        "Open.__init__() got unexpected keyword arguments: 'q', 'r'",
    )


def test_a_key_the_plan_cannot_read_leaves_the_decision_to_resolve():
    Open = open_class()
    # A key that is no str: the schema's resolve reports it.
    assert screened(Open, {1: 2, "a": 1})[:2] == (TypeError, "Open.__init__() got unexpected keyword argument: '1'")
    # Unencodable text: resolve's wildcard takes it.
    obj, _ = screened(Open, {"\ud800": 5})
    assert obj.field_dict()["\ud800"] == 5


def test_a_keyword_reserved_as_an_alias_is_refused_even_when_the_wildcard_takes_it():
    Open = open_class()
    Open._sym_alias_maps = ({"alt": "a"},)
    Open._on_schema_update()
    assert raised(lambda: Open(q=1, alt=2)) == (
        TypeError,
        "Open.__init__() got keyword argument 'alt', which is reserved as the alias of field 'a'.",
    )


class Resolving:
    """A host schema that is no native Schema: only its `resolve` is used
    before the fill, which then refuses it."""

    def __init__(self, unmatched):
        self.unmatched = unmatched
        self.calls = []

    def resolve(self, keys):
        self.calls.append(keys)
        return ("resolved", iter(self.unmatched))


def resolving_class(unmatched):
    class Hosted(HostObject):
        x: int = 0

    Hosted._sym_init_fields = None
    schema = Resolving(unmatched)
    Hosted.sym_fields = type("FieldsSpec", (), {"schema": schema})()
    Hosted._on_schema_update()
    return Hosted, schema


def test_the_resolve_route_reports_what_resolve_leaves():
    Hosted, schema = resolving_class(["b", "zz"])
    assert raised(lambda: Hosted(a=1, b=2, zz=3)) == (
        TypeError,
        "Hosted.__init__() got unexpected keyword arguments: 'b', 'zz'",
    )
    assert schema.calls == [["a", "b", "zz"]]
    # Nothing left unmatched: the schema fill then needs a native schema.
    Hosted, _ = resolving_class([])
    assert raised(lambda: Hosted(a=1)) == (TypeError, "'Resolving' object is not an instance of 'Schema'")


def test_errors_of_resolve_propagate():
    class Broken(Resolving):
        def resolve(self, keys):
            raise LookupError("resolve failed")

    Hosted, _ = resolving_class([])
    Hosted.sym_fields = type("FieldsSpec", (), {"schema": Broken([])})()
    Hosted._on_schema_update()
    assert raised(lambda: Hosted(a=1)) == (LookupError, "resolve failed")


def test_a_non_symbolic_field_keyword_is_unexpected_and_listed_last():
    class Cached(HostObject):
        __non_symbolic__ = {"cache": None}
        x: int = 0

    bind(Cached, [F("x", n.Int(default=0))])
    assert raised(lambda: Cached(cache=1, z=2, x=1)) == (
        TypeError,
        "Cached.__init__() got unexpected keyword arguments: 'z', 'cache'",
    )
    Cached.__varkw_ignore__ = True
    assert Cached(cache=1, x=1).field_dict() == {"x": 1}


def test_a_non_symbolic_name_the_open_wildcard_would_take_is_still_unexpected():
    Open = open_class()
    Open._non_symbolic_fields = (("cache", None),)
    Open._on_schema_update()
    assert raised(lambda: Open(cache=1, q=2)) == (TypeError, "Open.__init__() got unexpected keyword argument: 'cache'")


def test_init_names_decide_alone():
    class Listed(HostObject):
        __non_symbolic__ = {"cache": None}
        _sym_alias_maps = ({"alt": "x", "old": "x"},)
        x: int = 0
        alt: int = 0

    # A non-symbolic name is unexpected like any other name outside the init
    # names, in keyword order, and an alias that is an init name is taken.
    assert raised(lambda: Listed(cache=1, z=2)) == (
        TypeError,
        "Listed.__init__() got unexpected keyword arguments: 'cache', 'z'",
    )
    assert Listed(alt=1).field_dict() == {"x": 0, "alt": 1}
    assert raised(lambda: Listed(old=1)) == (TypeError, "Listed.__init__() got unexpected keyword argument: 'old'")
    # Classified by the schema instead, the alias is refused.
    bind(Listed, [F("x", n.Int(default=0)), F("alt", n.Int(default=0))])
    assert raised(lambda: Listed(alt=1)) == (
        TypeError,
        "Listed.__init__() got keyword argument 'alt', which is reserved as the alias of field 'x'.",
    )


# ---------------------------------------------------------------- missing arguments


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"b": 1}, "M.__init__() missing 1 required argument: 'a'."),
        ({}, "M.__init__() missing 2 required arguments: 'a', 'b'."),
    ],
)
def test_missing_arguments(kwargs, message):
    class M(HostObject):
        a: int
        b: int

    assert raised(lambda: M(**kwargs)) == (TypeError, message)
    bind(M, [F("a", n.Int()), F("b", n.Int())])
    assert raised(lambda: M(**kwargs)) == (TypeError, message)
