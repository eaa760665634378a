"""Field: construction rules, apply, extend, equality, accessors, text and JSON forms, copies."""

import copy
import gc
import weakref

import pytest

from norv_core import _native as n
from norv_core import PanicException
import norv_host
import norv_host.typing as ht

norv_host.install()

Field = n.Field
SWITCHES = ["enable_repr", "enable_compare", "enable_hash", "enable_clone", "enable_validation", "enable_wrap"]


def field(**kw):
    kw.setdefault("key_spec", "x")
    kw.setdefault("value_spec", n.Int())
    return Field(**kw)


# ---- construction ---------------------------------------------------------------------


def test_defaults_and_str_key_conversion():
    ht.calls.clear()
    spec = n.Int()
    f = Field("x", spec)
    assert ("key_from_str", "x") in ht.calls
    assert f.key == n.ConstStrKey("x") and f.key is f._key
    assert f.value is spec and f._value is spec
    assert (f.description, f.origin, f.validator, f.alias) == (None, None, None, None)
    assert f.metadata == {} and f.enable_init is True
    assert all(getattr(f, s) is True and getattr(f, "_" + s) is None for s in SWITCHES)


def test_key_spec_instance_is_kept():
    key = n.ListKey(0, 3)
    assert Field(key, n.Int()).key is key


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(key_spec=5), AssertionError, "5"),
        (dict(metadata=[1]), ValueError, "metadata must be a dict."),
        (dict(metadata="x"), ValueError, "metadata must be a dict."),
        (dict(alias=""), TypeError, "`alias` must be a non-empty string. Encountered: ''."),
        (dict(alias=3), TypeError, "`alias` must be a non-empty string. Encountered: 3."),
        (dict(enable_repr=1), TypeError, "argument 'enable_repr': 'int' object is not an instance of 'bool'"),
        (dict(enable_init=None), TypeError, "argument 'enable_init': 'None' is not an instance of 'bool'"),
    ],
)
def test_construction_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        field(**kwargs)
    assert str(info.value) == message


def test_assertion_carries_the_key_object():
    key = ("a", "b")
    with pytest.raises(AssertionError) as info:
        Field(key, n.Int())
    assert info.value.args == (key,)


@pytest.mark.parametrize("metadata", [None, {}, 0, "", []])
def test_falsy_metadata_becomes_a_new_dict(metadata):
    f = field(metadata=metadata)
    assert f.metadata == {} and f.metadata is not metadata


def test_truthy_metadata_is_kept_by_reference():
    md = {"a": 1}
    assert field(metadata=md).metadata is md


# ---- apply --------------------------------------------------------------------------------


class Recorder:
    """A host value spec that records the keywords of each apply call."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def apply(self, value, **kwargs):
        self.calls.append((value, list(kwargs.items())))
        return value if self.result is None else self.result


def test_apply_passes_keywords_in_order():
    spec = Recorder()
    t = lambda p, f, v: v
    path = n.KeyPath("a")
    Field("x", spec).apply(1, allow_partial=True, transform_fn=t, root_path=path, inplace=False)
    assert spec.calls == [
        (1, [("allow_partial", True), ("child_transform", t), ("root_path", path), ("inplace", False)])
    ]


@pytest.mark.parametrize("root_path, seen", [(None, ""), (n.KeyPath(), ""), (n.KeyPath("b", n.KeyPath("a")), "a.b")])
def test_transform_receives_path_field_and_value(root_path, seen):
    got = []
    f = Field("x", n.Int())

    def t(path, fld, v):
        got.append((path, fld, v))
        return v + 1

    assert f.apply(1, transform_fn=t, root_path=root_path) == 2
    (path, fld, v), = got
    assert isinstance(path, n.KeyPath) and str(path) == seen and fld is f and v == 1


@pytest.mark.parametrize("root_path, suffix", [(None, "(path=)"), (n.KeyPath(1, n.KeyPath("a")), "(path=a[1])")])
def test_validator_error_is_rebuilt_with_the_path(root_path, suffix):
    class Custom(ValueError):
        pass

    def check(v):
        raise Custom(f"bad {v}")

    f = field().set_validator(check)
    with pytest.raises(Custom) as info:
        f.apply(3, root_path=root_path)
    assert str(info.value) == f"bad 3 {suffix}"


def test_validator_runs_after_transform_and_skips_missing():
    seen = []
    f = Field("x", n.Int()).set_validator(seen.append)
    assert f.apply(1, transform_fn=lambda p, fl, v: v * 10) == 10
    assert seen == [10]
    m = f.apply(ht.MISSING_VALUE, allow_partial=True)
    assert isinstance(m, ht.MissingValue) and seen == [10]


def test_apply_errors_of_the_spec_are_unchanged():
    with pytest.raises(TypeError) as info:
        field().apply("a", root_path=n.KeyPath("k"))
    assert str(info.value) == "Expect <class 'int'> but encountered <class 'str'>: a. (path=k)"


# ---- extend -------------------------------------------------------------------------------


class Extending(Recorder):
    def __init__(self, name, fail=False):
        super().__init__()
        self.name, self.fail = name, fail

    def extend(self, base):
        if self.fail:
            raise KeyError("no")
        return Extending(f"{self.name}+{base.name}")


def test_extend_merges_in_place():
    v = lambda x: None
    base = Field("x", Extending("b"), "base doc", {"a": 1, "b": 1}, enable_repr=False, enable_hash=True,
                 enable_init=False, alias="bx")
    base.set_validator(v)
    own = Field("x", Extending("o"), None, {"b": 2}, enable_compare=True)
    key = own.key
    assert own.extend(base) is own
    assert own.key is key and own.value.name == "o+b"
    assert own.description == "base doc"
    assert own.metadata == {"a": 1, "b": 2} and list(own.metadata) == ["a", "b"]
    assert (own._enable_repr, own._enable_compare, own._enable_hash, own.enable_init) == (False, True, None, False)
    assert own.validator is v and own.alias == "bx"


def test_extend_keeps_own_values():
    md = {"x": 1}
    v = lambda x: None
    own = Field("x", Extending("o"), "mine", md, alias="mine").set_validator(v)
    own.extend(Field("x", Extending("b"), "theirs", alias="theirs"))
    assert own.description == "mine" and own.metadata is md and own.alias == "mine" and own.validator is v


def test_extend_refuses_non_fields_and_incompatible_keys():
    with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'Field'$"):
        field().extend(1)
    with pytest.raises(TypeError, match=r"^'None' is not an instance of 'Field'$"):
        field().extend(None)
    with pytest.raises(KeyError):
        field().extend(Field("y", n.Int()))


def test_extend_failure_keeps_earlier_steps():
    own = Field("x", Extending("o"), None)
    own.description  # noqa: B018
    bad_base = Field("x", Extending("b"), "doc", {"a": 1})
    # A metadata whose copy fails after the value spec was replaced.
    bad_base._metadata = Uncopyable()
    with pytest.raises(RuntimeError, match="no copy"):
        own.extend(bad_base)
    assert own.value.name == "o+b" and own.description == "doc"


class Uncopyable(dict):
    def __bool__(self):
        return True

    def __copy__(self):
        raise RuntimeError("no copy")


# ---- equality ---------------------------------------------------------------------------


def test_equality_rules():
    spec = n.Int()
    a, b = Field("x", spec, "d"), Field("x", spec, "d")
    assert a == b and not (a != b)
    assert (a == 1) is False and (a != 1) is True
    a.set_origin(int)
    assert a == b  # the origin is not compared
    b._enable_repr = True
    assert a != b  # unset and True differ, raw
    with pytest.raises(TypeError):
        a < b  # noqa: B015
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)


@pytest.mark.parametrize(
    "change",
    [
        lambda f: setattr(f, "_description", "other"),
        lambda f: setattr(f, "_metadata", {"a": 1}),
        lambda f: setattr(f, "_enable_init", False),
        lambda f: setattr(f, "_enable_wrap", False),
        lambda f: f.set_validator(print),
        lambda f: f.set_alias("a"),
        lambda f: setattr(f, "_key", n.ConstStrKey("y")),
    ],
)
def test_each_compared_part_matters(change):
    spec = n.Int()
    a, b = Field("x", spec), Field("x", spec)
    change(b)
    assert a != b


# ---- accessors ------------------------------------------------------------------------------


def test_resolved_switches_follow_enable_init():
    f = field(enable_init=False)
    assert f.enable_repr is False and f._enable_repr is None
    f._enable_init = True
    assert f.enable_repr is True and f._enable_repr is None
    f._enable_hash = False
    assert f.enable_hash is False and f._enable_hash is False


@pytest.mark.parametrize("name", ["_enable_repr", "_enable_wrap", "_enable_init"])
def test_switch_setters_refuse_non_bools(name):
    f = field()
    with pytest.raises(TypeError, match=r"^argument 'v': 'int' object is not an instance of 'bool'$"):
        setattr(f, name, 1)
    assert getattr(f, name) in (None, True)


def test_enable_init_setter_refuses_none():
    with pytest.raises(TypeError, match=r"^argument 'v': 'None' is not an instance of 'bool'$"):
        field()._enable_init = None


def test_raw_setters_store_without_checks():
    f = field()
    f._key = "plain"
    f._alias = ""
    f._metadata = [1]
    f._validator = 5
    assert (f.key, f.alias, f.metadata, f.validator) == ("plain", "", [1], 5)


@pytest.mark.parametrize("name", ["key", "_key", "description", "_alias", "_enable_repr", "enable_init", "frozen"])
def test_delete_is_refused(name):
    with pytest.raises(AttributeError, match="^property has no deleter$|readonly|not writable"):
        delattr(field(), name)


def test_public_names_without_setter_are_read_only():
    with pytest.raises(AttributeError):
        field().description = "x"


def test_set_validator_and_alias():
    f = field()
    v = lambda x: None
    assert f.set_validator(v) is f and f.validator is v
    with pytest.raises(TypeError, match=r"^`validator` must be a single-arg callable. Encountered: 5.$"):
        f.set_validator(5)
    assert f.validator is v
    assert f.set_validator(None) is f and f.validator is None
    assert f.set_alias("a") is f and f.alias == "a"
    with pytest.raises(TypeError, match=r"^`alias` must be a non-empty string. Encountered: ''.$"):
        f.set_alias("")
    assert f.set_alias(None) is f and f.alias is None
    assert f.set_description("d") is None and f.description == "d"
    assert f.set_origin(int) is None and f.origin is int


def test_value_spec_passthroughs():
    spec = n.Int(default=3, frozen=True)
    f = Field("x", spec)
    assert f.frozen is True and f.default_value == 3 and f.annotation is int

    class Host:
        frozen = 1

    with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'bool'$"):
        Field("x", Host()).frozen


def test_from_annotation_delegates_to_the_host_factory():
    ht.calls.clear()
    f = Field.from_annotation("k", int, "doc")
    assert ("field_from_annotation", "k", int, "doc", None, True, None) in ht.calls
    assert isinstance(f, Field) and f.description == "doc"
    with pytest.raises(TypeError, match="argument 'auto_typing'"):
        Field.from_annotation("k", int, auto_typing=1)


def test_materialize_strict_swaps_in_a_strict_copy():
    spec = n.Int()
    f = Field("x", spec)
    assert f._materialize_strict() is None
    assert f.value is not spec and f.value.strict is True and spec._strict is None


# ---- text forms --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (dict(), "Field(key=x, value=Int())"),
        (dict(enable_init=False), "Field(key=x, value=Int(), enable_init=False)"),
        (dict(metadata={}), "Field(key=x, value=Int())"),
        (dict(enable_wrap=False, alias="y"), "Field(key=x, value=Int(), enable_wrap=False, alias='y')"),
        (dict(description="d", metadata={"a": 1}), "Field(key=x, value=Int(), description='d', metadata={'a': 1})"),
    ],
)
def test_repr(kwargs, text):
    assert repr(field(**kwargs)) == text


def test_str_differs_from_repr_only_in_compactness():
    f = field(description="d", metadata={"a": 1})
    assert str(f) == f.format(compact=False, verbose=True, root_indent=0, list_wrap_threshold=80)
    assert repr(f) == f.format(compact=True, list_wrap_threshold=80)
    assert f.format(compact=True, label="Other").startswith("Field(")
    assert n.format(f, compact=True) == repr(f)


# ---- JSON ----------------------------------------------------------------------------------


def test_to_json_minimal_and_full():
    assert list(field().to_json()) == ["_type", "key_spec", "value_spec"]
    f = field(description="d", metadata={"a": 1}, enable_hash=True, enable_init=False, enable_wrap=False,
              alias="y")
    f.set_validator(print)
    f.set_origin(int)
    js = f.to_json()
    assert list(js) == ["_type", "key_spec", "value_spec", "description", "metadata", "enable_hash",
                        "enable_init", "enable_wrap", "alias"]
    assert js["_type"] == "norv.typing.Field" and js["enable_init"] is False and js["alias"] == "y"


def test_json_round_trip():
    spec = n.Int()
    f = Field("x", spec, "d", {"a": 1}, enable_repr=False, enable_init=False, alias="y")
    js = f.to_json()
    js["value_spec"] = spec  # the stand-in leaves specs unencoded
    back = Field.from_json(js)
    assert back == f


@pytest.mark.parametrize(
    "js, exc, message",
    [
        ([], TypeError, "'list' object is not an instance of 'dict'"),
        ({"value_spec": 1}, ValueError, "Field json missing 'key_spec'."),
        ({"key_spec": "x"}, ValueError, "Field json missing 'value_spec'."),
        ({"key_spec": "x", "value_spec": 1, "enable_repr": None}, TypeError,
         "'None' is not an instance of 'bool'"),
        ({"key_spec": "x", "value_spec": 1, "enable_init": 1}, TypeError,
         "'int' object is not an instance of 'bool'"),
    ],
)
def test_from_json_errors(js, exc, message):
    with pytest.raises(exc) as info:
        Field.from_json(js)
    assert str(info.value) == message


def test_from_json_defaults():
    f = Field.from_json({"key_spec": "x", "value_spec": 1})
    assert f.enable_init is True and f._enable_repr is None and f.metadata == {} and f.alias is None


# ---- copies ---------------------------------------------------------------------------------


def test_copies():
    md = {"a": [1]}
    f = field(metadata=md, enable_clone=False, alias="y")
    c = copy.copy(f)
    assert c is not f and c.metadata is md and c.value is f.value and c._enable_clone is False
    d = copy.deepcopy(f)
    assert d.metadata == md and d.metadata is not md and d.metadata["a"] is not md["a"]
    assert d._enable_clone is False and d.alias == "y"


def test_deepcopy_keeps_identity_through_its_own_metadata():
    f = field(metadata={"k": 1})
    f.metadata["self"] = f
    d = copy.deepcopy(f)
    assert d is not f and d.metadata["self"] is d


# ---- access conflicts and collection ---------------------------------------------------------


def test_setter_inside_rendering_is_refused():
    class Sneaky:
        def __repr__(self):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                target._description = "x"
            return "S"

    target = Field("x", n.Int(), Sneaky())
    assert "S" in repr(target)


def test_set_validator_inside_rendering_is_a_fault():
    class Sneaky:
        def __repr__(self):
            with pytest.raises(PanicException, match="^Already borrowed"):
                target.set_validator(None)
            return "S"

    target = Field("x", n.Int(), Sneaky())
    repr(target)
    assert target.set_validator(print) is target  # usable afterwards


def test_cycles_through_a_field_are_collected():
    class Spec(Recorder):
        pass

    spec = Spec()
    f = Field("x", spec)
    spec.field = f
    ref = weakref.ref(spec)
    del spec, f
    gc.collect()
    assert ref() is None


def test_cleared_field_stays_safe():
    seen = []

    class Late:
        """Freed while the collector clears the field, its only holder."""

        def __init__(self, holder):
            self.holder = weakref.ref(holder)

        def __del__(self):
            f = self.holder().field
            seen.append(("late", repr(f), f.key, f.value, f.metadata))

    class Holder:
        # Held by a slot the clear reaches after the late object's, so the
        # late finalizer still finds the field.
        def __call__(self, value):
            pass

    class Probe:
        def __del__(self):
            # The collector runs finalizers before it clears anything.
            f = self.field
            seen.append(("probe", str(f.key), sorted(f.metadata)))
            f.set_description(Late(f.validator))

    p = Probe()
    f = Field("x", Recorder(), metadata={"p": p})
    f.set_validator(Holder())
    f.validator.field = f
    p.field = f
    f.metadata["f"] = f
    del p, f
    gc.collect()
    assert seen[0] == ("probe", "x", ["f", "p"])
    # the late finalizer met a field whose clear had begun, and could read it
    (kind, text, key, value, metadata) = seen[1]
    assert (kind, key, value) == ("late", None, None) and text.startswith("Field(") and not metadata
    assert len(seen) == 2


def test_before_the_bridges_are_installed(run_py):
    out = run_py(
        """
        from norv_core import _native as n, PanicException
        for make in (lambda: n.Field("x", 1), lambda: n.Field.from_json({"key_spec": "x", "value_spec": 1}),
                     lambda: n.List(int), lambda: n.Tuple([int])):
            try:
                make()
            except PanicException as e:
                print(e)
        n._install_typing_bridge(**__import__("norv_host.typing", fromlist=["HANDLES"]).HANDLES)
        try:
            n.Field.from_annotation("k", int)
        except PanicException as e:
            print(e)
        """
    )
    assert out.splitlines() == ["typing bridge not installed"] * 4 + ["field_from_annotation not installed"]


def test_extend_adopts_the_base_list_bound_in_place():
    own = Field(n.ListKey(0), Extending("o"))
    key = own.key
    own.extend(Field(n.ListKey(0, 3), Extending("b")))
    assert own.key is key and key.max_value == 3


def test_class_attributes():
    assert Field.__serialization_key__ == "norv.typing.Field"
    assert Field.__norv_formattable__ is True
    assert Field.__module__ == "norv_core._native"
    assert n.List.__serialization_key__ == "norv.typing.List"
    assert n.Tuple.__serialization_key__ == "norv.typing.Tuple"
    with pytest.raises(TypeError):
        type("Sub", (Field,), {})


def test_comparison_holds_both_fields():
    class Meddling:
        def __eq__(self, other):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                a._description = "changed"
            return True

        __hash__ = None

    a, b = Field("x", Meddling()), Field("x", Meddling())
    assert a == b and a.description is None
