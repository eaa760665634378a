"""The native type slots the host writes into its object classes: the
installers and probes, the native `tp_init` (positional deferral, options,
the host's `prepare_construct_error`), the generic and fast `tp_getattro`
(the inferred-attribute fallback, the field-dict read), and faults inside a
slot surfacing as RuntimeError "panic in native slot"."""

import inspect

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import objects as ho
from norv_host import symbolic as hs

from leakcheck import block_growth, swallow
from small_stack import outcome_in_child

from host_calls import WITHOUT_OBJECT_BRIDGE, clean_records, leak_round, recorded  # noqa: F401  (fixture)

norv_host.install()
probe = n._testing
HostObject, KeyPath = ho.HostObject, n.KeyPath
P = KeyPath.parse
MISSING = ho.MISSING_VALUE

pytestmark = pytest.mark.usefixtures("clean_records")

INSTALLERS = [n._install_native_tp_init, n._install_native_tp_getattro, n._install_native_tp_getattro_fast]
GETATTRO = {"generic": n._install_native_tp_getattro, "fast": n._install_native_tp_getattro_fast}
PROBES = [n._kernel_roundtrip_tp_init, n._kernel_tp_getattro_is_native, n._kernel_tp_getattro_is_fast]
POSITIONAL_RETURNED = (
    "native tp_init: positional `__init__` returned without raising \u2014 the keyword-only construct "
    "invariant was violated"
)


def fresh(getattro=None, init=False, base=HostObject, **options):
    """A new object class of an int `x` and a defaulted `y`, its Python
    `__init__` recording its calls, with the native slots asked for."""

    class C(base, **options):
        x: int
        y: int = 0

        def __init__(self, *args, **kwargs):
            ho.calls.append(("python __init__", args, dict(kwargs)))
            super().__init__(*args, **kwargs)

    if init:
        n._install_native_tp_init(C)
    if getattro is not None:
        GETATTRO[getattro](C)
    return C


@pytest.fixture
def prepared():
    """`ho.prepare_construct_error` answering through a function the test sets."""
    yield
    ho.prepare_construct_error_with = None


# ---------------------------------------------------------------- installers and probes


@pytest.mark.parametrize("fn", INSTALLERS + PROBES, ids=lambda f: f.__name__)
def test_every_installer_and_probe_takes_one_class(fn):
    assert str(inspect.signature(fn)) == "(cls)"
    with pytest.raises(TypeError) as info:
        fn(5)
    assert str(info.value) == "argument 'cls': 'int' object is not an instance of 'type'"
    assert isinstance(info.value.__cause__, TypeError)


def test_a_new_class_has_the_interpreter_slots():
    C = fresh()
    assert n._kernel_roundtrip_tp_init(C) is True
    assert n._kernel_tp_getattro_is_native(C) is False and n._kernel_tp_getattro_is_fast(C) is False


@pytest.mark.parametrize("cls", [object, int, type("Plain", (), {}), n.SymObject])
def test_roundtrip_is_true_for_any_ordinary_class(cls):
    assert n._kernel_roundtrip_tp_init(cls) is True


@pytest.mark.parametrize(
    "install, native, fast",
    [("generic", True, False), ("fast", True, True)],
)
def test_probes_tell_the_installed_getattro(install, native, fast):
    C = fresh(getattro=install)
    assert n._kernel_tp_getattro_is_native(C) is native and n._kernel_tp_getattro_is_fast(C) is fast
    assert n._install_native_tp_getattro(C) is None
    assert n._kernel_tp_getattro_is_fast(C) is False and n._kernel_tp_getattro_is_native(C) is True


def test_the_last_install_wins_and_only_the_class_given_changes():
    Before = fresh()
    Sub = type("Sub", (Before,), {})
    n._install_native_tp_getattro(Before)
    n._install_native_tp_getattro_fast(Before)
    assert n._kernel_tp_getattro_is_fast(Before)
    # subclasses, made before or after, get their slots from the interpreter's type creation
    After = type("After", (Before,), {})
    assert not n._kernel_tp_getattro_is_native(Sub) and not n._kernel_tp_getattro_is_native(After)
    assert not n._kernel_tp_getattro_is_native(HostObject)


def test_installing_tp_init_keeps_the_class_init():
    C = fresh()
    init = C.__dict__["__init__"]
    assert n._install_native_tp_init(C) is None
    assert C.__init__ is init and C.__dict__["__init__"] is init
    assert str(inspect.signature(C)) == "(*args, **kwargs)"


@pytest.mark.parametrize("installer", INSTALLERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("cls", [object, int, n.SymObject, n.KeyPath], ids=lambda c: c.__name__)
def test_immutable_classes_are_refused(installer, cls):
    # Writing into a class every user shares (and every class made later
    # inherits from) would change the whole interpreter.
    with pytest.raises(TypeError, match=rf"^cannot install a native slot into immutable type '.*{cls.__name__}'$"):
        installer(cls)
    assert not n._kernel_tp_getattro_is_native(cls)


def test_the_fast_read_is_refused_for_a_class_without_a_field_dict():
    Plain = type("Plain", (), {})
    with pytest.raises(
        TypeError,
        match=r"^cannot install the native field read into 'Plain', which is not a subclass of 'SymObject'$",
    ):
        n._install_native_tp_getattro_fast(Plain)
    assert not n._kernel_tp_getattro_is_native(Plain)


# ---------------------------------------------------------------- the native tp_init


def test_calling_the_class_constructs_natively():
    C = fresh(init=True)
    obj = C(x=1)
    assert obj.field_dict() == {"x": 1, "y": 0} and obj.sym_path is hs.EMPTY_KEY_PATH
    assert recorded("python __init__") == []
    # the Python __init__ still runs when called explicitly
    C.__init__(obj, x=2)
    assert recorded("python __init__") == [((), {"x": 2})] and obj.x == 2


def test_positional_arguments_go_to_the_python_init_before_any_keyword():
    C = fresh(init=True)
    with pytest.raises(TypeError, match=r"HostObject\.__init__\(\) takes 1 positional argument but 3 were given"):
        C(1, 2, x=3, sealed="not examined")
    # the Python __init__ got the keywords before any option was taken out
    assert recorded("python __init__") == [((1, 2), {"x": 3, "sealed": "not examined"})]
    assert recorded("prepare_construct_error") == []


def test_a_python_init_that_returns_is_a_runtime_error():
    class C(HostObject):
        x: int

        def __init__(self, *args, **kwargs):
            ho.calls.append(("python __init__", args, kwargs))

    n._install_native_tp_init(C)
    with pytest.raises(RuntimeError) as info:
        C(1, x=2)
    assert str(info.value) == POSITIONAL_RETURNED
    assert recorded("python __init__") == [((1,), {"x": 2})]


@pytest.mark.parametrize(
    "kw, expected",
    [
        ({}, {"path": hs.EMPTY_KEY_PATH, "sealed": False}),
        ({"sealed": None, "root_path": None}, {"path": hs.EMPTY_KEY_PATH, "sealed": False}),
        ({"sealed": True, "root_path": P("a.b")}, {"path": P("a.b"), "sealed": True}),
        ({"sealed": False, "explicit_init": True}, {"path": hs.EMPTY_KEY_PATH, "sealed": False}),
    ],
)
def test_options_are_taken_out_of_the_keywords(kw, expected):
    C = fresh(init=True)
    obj = C(x=1, **kw)
    assert obj.field_dict() == {"x": 1, "y": 0}
    assert obj.sym_path == expected["path"] and obj._sealed is expected["sealed"]


def test_the_callers_mapping_is_not_changed():
    C = fresh(init=True)
    kw = {"x": 1, "sealed": True, "root_path": P("r"), "allow_partial": False}
    C(**kw)
    assert kw == {"x": 1, "sealed": True, "root_path": P("r"), "allow_partial": False}


def test_no_keywords_at_all():
    class Defaults(HostObject):
        a: int = 1

    n._install_native_tp_init(Defaults)
    assert Defaults().field_dict() == {"a": 1}
    C = fresh(init=True)
    with pytest.raises(TypeError, match=r"^C\.__init__\(\) missing 1 required argument: 'x'\.$"):
        C()
    assert len(recorded("prepare_construct_error")) == 1


def test_allow_partial_is_taken_out_and_given_to_the_construction():
    C = fresh(init=True)
    obj = C(allow_partial=True)
    assert obj.field_dict() == {"x": MISSING, "y": 0} and obj._allow_partial is True


@pytest.mark.parametrize(
    "kw, message",
    [
        ({"sealed": 1}, "'int' object is not an instance of 'bool'"),
        ({"explicit_init": None}, "'None' is not an instance of 'bool'"),
        ({"explicit_init": "yes"}, "'str' object is not an instance of 'bool'"),
        ({"sealed": "no", "explicit_init": None}, "'str' object is not an instance of 'bool'"),
    ],
)
def test_option_conversions_raise_the_bare_conversion_error(kw, message):
    C = fresh(init=True)
    with pytest.raises(TypeError) as info:
        C(x=1, **kw)
    assert str(info.value) == message and info.value.__cause__ is None
    assert recorded("prepare_construct_error") == []


def test_a_construction_error_goes_through_prepare_construct_error():
    C = fresh(init=True)
    with pytest.raises(TypeError) as info:
        C(x=1, allow_partial=1)
    assert str(info.value) == (
        "Expect bool type for argument 'allow_partial' in symbolic.Object.__init__ but encountered 1."
    )
    assert recorded("prepare_construct_error") == [(info.value,)]


class Prepared(Exception):
    pass


@pytest.mark.parametrize(
    "answer, raised, message",
    [
        (lambda e: Prepared(f"prepared: {e}"), Prepared, "prepared: "),
        (lambda e: Prepared, Prepared, ""),
        (lambda e: None, TypeError, "exceptions must derive from BaseException"),
        (lambda e: (_ for _ in ()).throw(KeyError("from the host")), KeyError, "'from the host'"),
    ],
    ids=["instance", "class", "none", "raises"],
)
def test_what_prepare_construct_error_answers_is_raised(prepared, answer, raised, message):
    ho.prepare_construct_error_with = answer
    C = fresh(init=True)
    with pytest.raises(raised) as info:
        C(x="one")
    assert str(info.value).startswith(message)
    (given,) = recorded("prepare_construct_error")
    assert type(given[0]) is TypeError


def test_a_validation_error_reaches_the_host_as_its_instance():
    C = fresh(init=True)
    with pytest.raises(TypeError) as info:
        C(x="one")
    assert str(info.value) == "Expect <class 'int'> but encountered <class 'str'>: one. (path=x)"
    assert recorded("prepare_construct_error") == [(info.value,)]


def test_a_non_symobject_instance_is_refused_by_the_body():
    # The slot can be written into any class; its body constructs SymObjects only.
    Plain = type("Plain", (), {})
    n._install_native_tp_init(Plain)
    with pytest.raises(TypeError, match=r"^'Plain' object is not an instance of 'SymObject'$"):
        Plain()


def test_constructions_leak_nothing():
    C = fresh(init=True)
    assert block_growth(leak_round(lambda: C(x=1, sealed=True, root_path=P("a"))), 2000) < 100
    assert block_growth(leak_round(swallow(lambda: C(x="one"))), 2000) < 100
    assert block_growth(leak_round(swallow(lambda: C(1, x=1))), 2000) < 100


# ---------------------------------------------------------------- the generic tp_getattro


def test_the_generic_read_finds_what_the_interpreter_finds():
    C = fresh(getattro="generic")
    obj = C(x=1)
    vars(obj)["extra"] = "in the instance dict"
    assert obj.x == 1 and obj.extra == "in the instance dict"
    assert obj.field_dict() == {"x": 1, "y": 0} and obj.sym_path is hs.EMPTY_KEY_PATH
    assert getattr(obj, "missing", "default") == "default" and not hasattr(obj, "missing")


@pytest.mark.parametrize("getattro", ["generic", "fast"])
def test_attr_read_off_raises_without_asking_the_object(getattro):
    C = fresh(getattro=getattro)
    obj = C(x=1)
    with pytest.raises(AttributeError, match=r"^'C' object has no attribute 'nope'$"):
        obj.nope
    assert recorded("sym_hasattr") == []


@pytest.mark.parametrize("getattro", ["generic", "fast"])
def test_attr_read_on_returns_the_inferred_attribute_when_the_object_has_it(getattro):
    class Contextual(HostObject, attr_read=True):
        x: int

        def sym_hasattr(self, name):
            ho.calls.append(("sym_hasattr", name))
            return 1 if name == "ctx" else ""

        def sym_inferred(self, name):
            ho.calls.append(("sym_inferred", name))
            return f"inferred {name}"

    GETATTRO[getattro](Contextual)
    obj = Contextual(x=1)
    assert obj.ctx == "inferred ctx" and obj.x == 1
    assert recorded("sym_hasattr") == [("ctx",)] and recorded("sym_inferred") == [("ctx",)]
    with pytest.raises(AttributeError, match=r"^'Contextual' object has no attribute 'nope'$") as info:
        obj.nope
    assert info.value.name == "nope" and info.value.obj is obj
    assert recorded("sym_hasattr")[-1] == ("nope",) and len(recorded("sym_inferred")) == 1


def test_a_stored_key_without_property_is_read_through_attr_read():
    # The stand-in's object has an attribute it stores, as a wildcard field stores a key.
    C = fresh(getattro="generic", attr_read=True)
    obj = C(x=1)
    obj.field_dict()["extra"] = hs.Inferred(5)
    assert obj.extra == 5
    assert recorded("sym_hasattr") == [("extra",)] and recorded("sym_inferred") == [("extra",)]
    # the fast read finds it in the field dict without asking
    n._install_native_tp_getattro_fast(C)
    assert obj.extra == 5 and len(recorded("sym_hasattr")) == 1


def test_a_class_without_options_raises_the_error_of_their_lookup():
    Plain = type("Plain", (), {})
    n._install_native_tp_getattro(Plain)
    obj = Plain()
    obj.a = 1
    assert obj.a == 1
    with pytest.raises(AttributeError, match=r"^type object 'Plain' has no attribute '__sym_options__'$"):
        obj.nope


class Boom(Exception):
    pass


def raising(*_):
    raise Boom("asked")


@pytest.mark.parametrize(
    "patch",
    [
        lambda C: setattr(C, "__sym_options__", type("Options", (), {"attr_read": property(raising)})()),
        lambda C: setattr(C.__sym_options__, "attr_read", type("T", (), {"__bool__": raising})()),
        lambda C: setattr(C, "sym_hasattr", raising),
        lambda C: setattr(C, "sym_hasattr", lambda self, name: type("T", (), {"__bool__": raising})()),
        lambda C: setattr(C, "sym_inferred", raising),
    ],
    ids=["attr_read", "attr_read truth", "sym_hasattr", "sym_hasattr truth", "sym_inferred"],
)
def test_an_error_while_asking_replaces_the_attribute_error(patch):
    C = fresh(getattro="generic", attr_read=True)
    C.__sym_options__ = ho.SymOptions(attr_read=True)
    obj = C(x=1)
    obj.field_dict()["extra"] = 1
    patch(C)
    with pytest.raises(Boom):
        obj.extra


def test_an_error_other_than_attribute_error_is_not_a_miss():
    C = fresh(getattro="generic", attr_read=True)
    C.broken = property(raising)
    obj = C(x=1)
    with pytest.raises(Boom):
        obj.broken
    assert recorded("sym_hasattr") == []


# An instance of a class that reads attributes symbolically but has no
# `sym_hasattr`: asking for it misses again, through the same slot.
WITHOUT_SYM_HASATTR = {
    "generic": """
Plain = type("Plain", (), {"__sym_options__": ho.SymOptions(attr_read=True)})
n._install_native_tp_getattro(Plain)
obj = Plain()
""",
    "fast": """
class Bare(n.SymObject):
    __sym_options__ = ho.SymOptions(attr_read=True)
n._install_native_tp_getattro_fast(Bare)
obj = Bare.__new__(Bare)
""",
    "record": """
R = hr.record_class("R", {"x": int}, attr_read=True)
obj = R(x=1)
""",
}


@pytest.mark.parametrize("kib", [None, 256], ids=["main thread", "small stack"])
@pytest.mark.parametrize("setup", WITHOUT_SYM_HASATTR.values(), ids=WITHOUT_SYM_HASATTR.keys())
def test_an_inferred_attribute_question_that_asks_itself_ends_in_recursion_error(run_py, setup, kib):
    assert outcome_in_child(run_py, setup, 'hasattr(obj, "missing")', kib) == "RecursionError"


# ---------------------------------------------------------------- the fast tp_getattro


def test_the_fast_read_takes_a_stored_field_from_the_field_dict():
    C = fresh(getattro="fast")
    obj = C(x=1)
    # the class's property for x is not consulted
    C.x = property(raising)
    assert obj.x == 1
    stored = obj.field_dict()
    stored["x"] = value = object()
    assert obj.x is value


def test_the_field_dict_wins_over_a_class_attribute_of_the_same_name():
    C = fresh(getattro="fast")
    obj = C(x=1)
    obj.field_dict()["field_dict"] = "stored"
    assert obj.field_dict == "stored"


def test_other_names_are_the_generic_reads():
    C = fresh(getattro="fast")
    obj = C(x=1)
    vars(obj)["extra"] = 3
    assert obj.extra == 3 and obj.field_dict() == {"x": 1, "y": 0}
    assert obj.sym_path is hs.EMPTY_KEY_PATH and obj._sealed is False
    assert obj.sym_setparent.__self__ is obj


def test_the_fast_read_of_a_blank_object_is_the_generic_read():
    C = fresh(getattro="fast")
    obj = C.__new__(C)
    with pytest.raises(AttributeError) as info:
        obj.x
    assert info.value.args == ("_sym_attributes",)


@pytest.mark.parametrize("sym", [True, False])
def test_an_inferential_field_is_inferred_or_refused(sym):
    C = fresh(getattro="fast", sym=sym)
    obj = C(x=1)
    obj.field_dict()["x"] = value = hs.Inferred(7)
    if sym:
        assert obj.x == 7 and obj.field_dict()["x"] is value
    else:
        with pytest.raises(ho.SymbolicModeError, match="^contextual attribute `x` requires a symbolic tree"):
            obj.x


def test_reads_leak_nothing():
    C = fresh(getattro="fast", attr_read=True)
    obj = C(x=1)
    obj.field_dict()["extra"] = hs.Inferred(2)

    def reads():
        obj.x, obj.extra, obj.field_dict, getattr(obj, "nope", None)

    assert block_growth(leak_round(reads), 2000) < 100


# ---------------------------------------------------------------- faults inside a slot


def test_a_fault_inside_a_getattro_is_a_runtime_error():
    C = fresh(getattro="fast")
    obj = C(x=1)
    with pytest.raises(RuntimeError) as info:
        probe.object_holding(obj, True, lambda: obj.x)
    assert str(info.value) == "panic in native slot" and type(info.value) is RuntimeError


def test_before_the_bridge_a_native_slot_raises_runtime_error(run_py):
    out = run_py(
        WITHOUT_OBJECT_BRIDGE
        + """
n._install_native_tp_init(C)
n._install_native_tp_getattro(C)
try:
    C(x=1)
except RuntimeError as e:
    print(type(e).__name__, e, isinstance(e, norv_core.PanicException))
obj = C.__new__(C)
try:
    n.SymObject.__init__(obj, x=1)
except norv_core.PanicException as e:
    print(type(e).__name__, e)
print(obj.field_dict(), n._kernel_tp_getattro_is_native(C))
"""
    )
    assert out.splitlines() == [
        "RuntimeError panic in native slot False",
        "PanicException object bridge not installed",
        "None True",
    ]
