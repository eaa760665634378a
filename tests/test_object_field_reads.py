"""Field reads of dict-layout objects: `_sym_field`, the declining read,
`SymFieldGetter` behind the host's field properties, Inferential values and
the symbolic-mode error of a `sym=False` class."""

import gc
import inspect
import weakref

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import symbolic as hs

from leakcheck import block_growth, refcount_delta
from small_stack import outcome_in_child

norv_host.install()
probe = n._testing
SymFieldGetter, Inferred = n.SymFieldGetter, hs.Inferred


class Sym(ho.HostObject):
    x: int
    y: int = 0


class Plain(ho.HostObject, sym=False):
    x: int
    y: int = 0


SYM_FALSE = (
    "contextual attribute `x` requires a symbolic tree, but Plain was declared with `sym=False`. "
    "Declare the class with `sym=True` to use it."
)


@pytest.fixture(autouse=True)
def clean():
    hs.clear()
    yield
    hs.clear()


def made(cls=Sym, **fields):
    """An object of `cls` constructed, whose live field dict is then made to
    hold exactly `fields`: values of any kind, set up for the reads."""
    obj = cls(x=0)
    stored = obj.field_dict()
    stored.clear()
    stored.update(fields)
    return obj


def break_metadata(cls):
    """Options the metadata build refuses, read at the next native use."""
    cls.__sym_options__ = ho.SymOptions(sym=1)
    cls._on_schema_update()


def reads(obj, name):
    """Every way to read one field, each as a callable."""
    return {
        "_sym_field": lambda: obj._sym_field(name),
        "getter": lambda: SymFieldGetter(name)(obj),
        "property": lambda: getattr(obj, name),
    }


def all_reads(obj, name):
    return [read() for read in reads(obj, name).values()]


# ---------------------------------------------------------------- the getter class


def test_getter_class_shape():
    assert SymFieldGetter.__module__ == "norv_core._native"
    assert SymFieldGetter.__text_signature__ == "(name)"
    with pytest.raises(TypeError):
        type("Sub", (SymFieldGetter,), {})
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'name'"):
        SymFieldGetter()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        SymFieldGetter("a", "b")
    assert SymFieldGetter(name="a").name == "a"


@pytest.mark.parametrize("name", ["x", 1, None, ("a", "b")])
def test_getter_keeps_its_name_untested(name):
    assert SymFieldGetter(name).name is name


def test_getter_name_is_read_only():
    g = SymFieldGetter("x")
    with pytest.raises(AttributeError):
        g.name = "y"
    with pytest.raises(AttributeError):
        g.other = 1


def test_getter_call_binding():
    obj, g = made(x=3), SymFieldGetter("x")
    assert g(obj) == 3 and g(obj=obj) == 3
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'obj'"):
        g()
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        g(obj, obj)
    with pytest.raises(TypeError, match="unexpected keyword argument 'other'"):
        g(obj, other=1)


@pytest.mark.parametrize("value", [5, None, {"x": 3}, Sym])
def test_getter_refuses_anything_not_a_symobject(value):
    with pytest.raises(TypeError, match=r"^'.*' (object )?is not an instance of 'SymObject'$"):
        SymFieldGetter("x")(value)


def test_a_cycle_through_the_getter_name_is_collected():
    class Name(str):
        pass

    name = Name("x")
    name.getter = SymFieldGetter(name)
    alive = weakref.ref(name)
    del name
    gc.collect()
    assert alive() is None


# ---------------------------------------------------------------- stored values


@pytest.mark.parametrize("value", [3, "text", None, [1, 2], {"k": 1}, (1,), object()])
def test_a_stored_value_is_returned_as_it_is(value):
    obj = made(x=value)
    assert all(got is value for got in all_reads(obj, "x"))
    assert probe.try_sym_field(obj, "x") == (True, value)


@pytest.mark.parametrize("how", ["_sym_field", "getter", "property"])
def test_a_name_never_stored_raises_key_error(how):
    obj = made(x=3)
    with pytest.raises(KeyError) as info:
        reads(obj, "y")[how]()
    assert info.value.args == ("y",)
    assert probe.try_sym_field(obj, "y") == (False, None)


def test_a_missing_field_through_a_property_is_a_key_error_even_for_hasattr():
    # Kept as the host does it: hasattr and getattr with a default see KeyError.
    obj = made(x=3)
    with pytest.raises(KeyError):
        hasattr(obj, "y")
    with pytest.raises(KeyError):
        getattr(obj, "y", None)


def test_a_tuple_name_stays_one_key_error_argument():
    obj = made(x=3)
    with pytest.raises(KeyError) as info:
        obj._sym_field(("a", "b"))
    assert info.value.args == (("a", "b"),)


@pytest.mark.parametrize("how", ["_sym_field", "getter", "property"])
def test_a_blank_object_raises_attribute_error(how):
    obj = Sym.__new__(Sym)
    with pytest.raises(AttributeError) as info:
        reads(obj, "x")[how]()
    assert info.value.args == ("_sym_attributes",)
    assert probe.try_sym_field(obj, "x") == (False, None)


def test_a_blank_object_whose_path_was_set_still_has_no_fields():
    obj = Sym.__new__(Sym)
    obj._sym_path = n.KeyPath("a")
    with pytest.raises(AttributeError, match="^_sym_attributes$"):
        obj._sym_field("x")


def test_the_lookup_is_a_plain_dict_lookup():
    obj = made(x=3)
    with pytest.raises(TypeError, match="unhashable"):
        obj._sym_field([])
    with pytest.raises(TypeError, match="unhashable"):
        probe.try_sym_field(obj, [])


def test_reads_see_later_writes_to_the_field_dict():
    obj = made(x=3)
    obj.field_dict()["x"] = 4
    assert all_reads(obj, "x") == [4, 4, 4]


# ---------------------------------------------------------------- Inferential values


def test_an_inferential_value_is_inferred_on_every_read_and_stays_stored():
    value = Inferred(7)
    obj = made(x=value)
    assert all_reads(obj, "x") == [7, 7, 7]
    assert probe.try_sym_field(obj, "x") == (True, 7)
    assert [c for c in hs.calls if c[0] == "infer"] == [("infer", value)] * 4
    assert obj.field_dict()["x"] is value


@pytest.mark.parametrize("how", ["_sym_field", "getter", "property"])
def test_an_inferential_value_in_a_sym_false_class_is_a_symbolic_mode_error(how):
    obj = made(Plain, x=Inferred(7))
    with pytest.raises(ho.SymbolicModeError) as info:
        reads(obj, "x")[how]()
    assert str(info.value) == SYM_FALSE
    with pytest.raises(ho.SymbolicModeError):
        probe.try_sym_field(obj, "x")
    assert not any(c[0] == "infer" for c in hs.calls)


# A class whose field `infer` holds the object itself: inferring the field
# reads it again, through the field's property or the fast attribute read.
INFERS_ITSELF = """
class Loop(ho.HostObject):
    infer: int = 0
if {fast}:
    n._install_native_tp_getattro_fast(Loop)
o = Loop()
o.field_dict()["infer"] = o
"""


@pytest.mark.parametrize("kib", [None, 256], ids=["main thread", "small stack"])
@pytest.mark.parametrize("fast", [False, True], ids=["property", "fast read"])
@pytest.mark.parametrize("call", ["o.infer", 'o._sym_field("infer")'])
def test_an_inference_that_reads_its_own_field_ends_in_recursion_error(run_py, call, fast, kib):
    assert outcome_in_child(run_py, INFERS_ITSELF.format(fast=fast), call, kib) == "RecursionError"


def test_plain_values_of_a_sym_false_class_read_normally():
    assert made(Plain, x=[1]).x == [1]


def test_a_value_subclass_with_infer_is_inferential_but_exact_scalars_never_are():
    class Guess(int):
        def infer(self):
            return "inferred"

    assert made(x=Guess(3)).x == "inferred"
    for scalar in (3, 1.5, "s", True, b"b", None):
        assert made(x=scalar).x is scalar


def test_errors_of_infer_propagate():
    class Failing:
        def infer(self):
            raise LookupError("cannot infer")

    obj = made(x=Failing())
    for read in reads(obj, "x").values():
        with pytest.raises(LookupError, match="cannot infer"):
            read()


def test_an_error_of_the_inferential_test_propagates():
    class Meta(type):
        def __getattr__(cls, name):
            raise RuntimeError(f"lookup of {name}")

    obj = made(x=Meta("Odd", (), {})())
    with pytest.raises(RuntimeError, match="lookup of infer"):
        obj.x


def test_a_metadata_error_propagates_only_for_inferential_values():
    class Broken(ho.HostObject):
        x: int

    plain, inferential = made(Broken, x=1), made(Broken, x=Inferred(1))
    break_metadata(Broken)
    assert plain.x == 1  # no metadata needed
    with pytest.raises(TypeError, match="is not an instance of 'bool'"):
        inferential.x


def test_the_sym_mode_comes_from_the_class_metadata():
    assert probe.sym_mode_of(Sym) is True and probe.sym_mode_of(Plain) is False
    assert "__native_ctor_meta__" in vars(Plain)


# ---------------------------------------------------------------- the symbolic-mode error


def test_sym_false_error_message_uses_str_of_the_name_and_the_class_name():
    exc = probe.record_inferential_sym_false_err(Plain, 12)
    assert type(exc) is ho.SymbolicModeError
    assert str(exc) == SYM_FALSE.replace("`x`", "`12`")


def test_sym_false_error_reports_a_class_name_that_is_no_str():
    class Odd:
        __name__ = 5

    exc = probe.record_inferential_sym_false_err(Odd(), "x")
    assert type(exc) is TypeError and str(exc) == "'int' object is not an instance of 'str'"


def test_sym_false_error_reports_an_unprintable_name():
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    exc = probe.record_inferential_sym_false_err(Plain, Unprintable())
    assert type(exc) is ValueError and str(exc) == "no text"


def test_what_the_host_error_factory_returns_is_raised(run_py):
    out = run_py(
        """
from norv_core import _native as n
import norv_host
from norv_host import objects as ho, symbolic as hs, typing as ht

class Given(Exception):
    pass

mode = []

def factory(message):
    kind = mode[-1]
    if kind == 'instance':
        return Given(message)
    if kind == 'class':
        return Given
    if kind == 'raises':
        raise LookupError('from the factory')
    return None

ht.install(); hs.install()
n._install_object_bridge(**dict(ho.HANDLES, symbolic_mode_error=factory))
ho.HostObject._update_schema([])

class Plain(ho.HostObject, sym=False):
    x: int

obj = Plain(x=0)
obj.field_dict()['x'] = hs.Inferred(1)
for kind in ('instance', 'class', 'raises', 'none'):
    mode.append(kind)
    try:
        obj.x
    except BaseException as e:
        print(kind, type(e).__name__, e.args[:1])
"""
    )
    assert out.splitlines() == [
        "instance Given ('contextual attribute `x` requires a symbolic tree, but Plain was declared with "
        "`sym=False`. Declare the class with `sym=True` to use it.',)",
        "class Given ()",
        "raises LookupError ('from the factory',)",
        "none TypeError ('exceptions must derive from BaseException',)",
    ]


# ---------------------------------------------------------------- leaks


class Quiet:
    def infer(self):
        return 4


def test_reads_leave_nothing_behind():
    obj = made(x=3, y=Quiet())
    getter = SymFieldGetter("x")

    def round():
        obj.x, obj.y, getter(obj), obj._sym_field("x")
        try:
            obj._sym_field("missing")
        except KeyError:
            pass

    assert refcount_delta(obj, round) == 0
    assert refcount_delta(getter, round) == 0
    assert block_growth(round, rounds=10_000) < 100


def test_signatures():
    assert str(inspect.signature(n.SymObject._sym_field)) == "(self, /, name)"
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'name'"):
        made(x=1)._sym_field()


# ---------------------------------------------------------------- the attribute view


def test_every_read_builds_a_new_view_of_the_fields():
    child = hs.HostDict()
    obj = made(x=3, c=child)
    obj._sym_path = n.KeyPath("a")
    view = obj._sym_attributes
    assert view is not obj._sym_attributes
    assert type(view) is hs.HostDict and view.sym_parent is obj
    assert dict(view) == {"x": 3, "c": child} and view["c"] is child
    assert view.sym_path == n.KeyPath("a")
    assert view._value_spec is Sym.sym_fields
    assert view._as_object_attributes_container and view._wrap and view.sym_mode
    assert (view._sealed, view._allow_partial, view._accessor_writable) == (False, False, True)
    # Taken in as it is (not re-pathed); the view hands its own parent on.
    assert child.sym_path == n.KeyPath() and child.sym_parent is obj


def test_the_view_follows_the_object_flags_and_the_class_mode():
    obj = made(Plain, x=3)
    obj._sealed, obj._allow_partial, obj._accessor_writable = True, True, False
    view = obj._sym_attributes
    assert (view._sealed, view._allow_partial, view._accessor_writable) == (True, True, True)
    assert view.sym_mode is False and view.sym_parent is obj


def test_a_view_of_an_object_without_path_has_the_empty_path():
    assert made(x=1)._sym_attributes.sym_path == n.KeyPath()


def test_the_view_is_a_snapshot_of_the_fields():
    obj = made(x=3)
    view = obj._sym_attributes
    obj.field_dict()["x"] = 4
    dict.__setitem__(view, "y", 5)
    assert view["x"] == 3 and obj.field_dict() == {"x": 4}


@pytest.mark.parametrize("with_path", [False, True])
def test_a_blank_object_has_no_view(with_path):
    obj = Sym.__new__(Sym)
    if with_path:
        obj._sym_path = n.KeyPath("a")
    with pytest.raises(AttributeError, match=r"^'Sym' object has no attribute '_sym_attributes'$"):
        obj._sym_attributes


def test_a_metadata_error_propagates():
    class Broken(ho.HostObject):
        x: int

    obj = made(Broken, x=1)
    break_metadata(Broken)
    with pytest.raises(TypeError, match="is not an instance of 'bool'"):
        obj._sym_attributes


def test_a_collected_metadata_gives_a_schemaless_view():
    # A finalizer run by the collection that cleared the class's metadata.
    from collector import tp_clear

    class Cleared(ho.HostObject):
        x: int

    obj = made(Cleared, x=1)
    obj._sym_attributes
    tp_clear(vars(Cleared)["__native_ctor_meta__"])
    view = obj._sym_attributes
    assert view._value_spec is None and dict(view) == {"x": 1} and view.sym_parent is obj
    obj.field_dict()[1.5] = 2  # a schemaless view checks its keys
    with pytest.raises(KeyError, match=r"Key must be string or int type\. Encountered 1\.5\."):
        obj._sym_attributes


def test_the_view_property_refuses_other_receivers():
    with pytest.raises(TypeError):
        n.SymObject._sym_attributes.__get__(5)


# ---------------------------------------------------------------- the attribute container builder


def test_verbatim_stores_members_as_they_are():
    child = hs.HostDict()
    child._sym_parent = elsewhere = hs.HostDict()
    view = probe.build_object_attrs({"c": child, "x": 1}, Sym.sym_fields, False, False, True, n.KeyPath("r"), True, None)
    assert view["c"] is child and child.sym_parent is elsewhere
    assert view._value_spec is Sym.sym_fields and view.sym_path == n.KeyPath("r") and view.sym_parent is None


def test_pass_through_adopts_with_the_owner_and_clones_what_is_not_its_own():
    owner = made(x=1)
    own, foreign, twice = hs.HostDict(), hs.HostDict(), hs.HostDict()
    own._sym_parent, own._sym_path = owner, n.KeyPath.parse("r.own")  # already in place
    foreign._sym_parent = hs.HostDict()
    hs.clear()
    view = probe.build_object_attrs(
        {"own": own, "foreign": foreign, "a": twice, "b": twice, "n": 1},
        Sym.sym_fields,  # without a spec every mode formalises schemalessly
        False,
        False,
        True,
        n.KeyPath("r"),
        False,
        owner,
    )
    assert view["own"] is own and own.sym_path == n.KeyPath.parse("r.own")
    assert view["foreign"] is not foreign and view["foreign"].sym_path == n.KeyPath.parse("r.foreign")
    assert view["a"] is twice and view["b"] is not twice  # met twice: the second is a clone
    assert view["n"] == 1 and [c[1] for c in hs.calls if c[0] == "sym_clone"] == [foreign, twice]


def test_the_sealed_option_seals_the_container_last():
    child = hs.HostDict()
    view = probe.build_object_attrs({"c": child}, None, True, True, False, None, True, None)
    assert view._sealed and child._sealed and view._allow_partial and view.sym_mode is False
    assert view.sym_path == n.KeyPath()
