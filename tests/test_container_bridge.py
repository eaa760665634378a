"""The container bridge: its set-once installer, the type markers, the
default origin, the update-target rule and the node state's whole-node steps."""

import inspect

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

norv_host.install()
probe = n._testing

PRELUDE = """
import norv_core
from norv_core import _native as n
from norv_host import symbolic as hs
"""

ORDER = [
    "keypath_cls",
    "empty_key_path",
    "missing_value",
    "field_update_cls",
    "write_permission_error",
    "wrap_value",
    "symbolic_transform_fn",
    "origin_cls",
    "message_on_path",
    "nonconst_key_cls",
]


@pytest.fixture(autouse=True)
def clean_scopes():
    for i in range(5):
        n._flag_scope_del(i)
    hs.clear()
    yield
    for i in range(5):
        n._flag_scope_del(i)


# ---------------------------------------------------------------- installer


def test_installer_takes_ten_keyword_only_handles_in_order():
    sig = inspect.signature(n._install_container_bridge)
    assert list(sig.parameters) == ORDER == list(hs.HANDLES)
    assert all(p.kind is p.KEYWORD_ONLY and p.default is p.empty for p in sig.parameters.values())
    assert n._install_container_bridge.__doc__.startswith("Inject the oracle handles")


def test_installer_binding_follows_python_rules():
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 positional argument"):
        n._install_container_bridge(1, **hs.HANDLES)
    with pytest.raises(TypeError, match="unexpected keyword argument 'extra'"):
        n._install_container_bridge(extra=1, **hs.HANDLES)


def test_before_install_the_first_handle_read_is_an_internal_fault(run_py):
    out = run_py(
        PRELUDE
        + """
d = n.SymDict.__new__(n.SymDict)
print(d.sym_seal() is d, d._sealed)          # reads no handle
try:
    d.sym_setpath(n.KeyPath('a'))
except norv_core.PanicException as e:
    print(type(e).__name__, e, d.sym_path)
try:
    d.sym_setorigin('src', 'tag')
except norv_core.PanicException as e:
    print(e, d._sym_origin)
"""
    )
    assert out.splitlines() == [
        "True True",
        "PanicException container bridge not installed a",
        "container bridge not installed None",
    ]


def test_before_install_writes_and_constructions_stop_at_the_first_handle(run_py):
    out = run_py(
        PRELUDE
        + """
d = n.SymDict(root_path=n.KeyPath('r'))  # a given path and no member need no handle
print(d.sym_path, dict(d))
for step in (lambda: n.SymDict(), lambda: d.__setitem__('a', 1), lambda: n.SymDict(root_path=d.sym_path, a=[1])):
    try:
        step()
    except norv_core.PanicException as e:
        print(e, dict(d))
"""
    )
    assert out.splitlines() == ["r {}"] + ["container bridge not installed {}"] * 3


def test_missing_keyword_installs_nothing_and_a_later_call_installs(run_py):
    out = run_py(
        PRELUDE
        + """
partial = dict(hs.HANDLES)
del partial['nonconst_key_cls']
try:
    n._install_container_bridge(**partial)
except TypeError as e:
    print(e)
try:
    n.SymDict().sym_setorigin('s', 't')
except norv_core.PanicException as e:
    print(e)
print(n._install_container_bridge(**hs.HANDLES))
d = n.SymDict()
d.sym_setorigin('s', 't')
print(d._sym_origin)
"""
    )
    assert out.splitlines() == [
        "_install_container_bridge() missing 1 required keyword-only argument: 'nonconst_key_cls'",
        "container bridge not installed",
        "None",
        "Origin('s', 't', None, None, -2)",
    ]


def test_first_install_wins(run_py):
    out = run_py(
        PRELUDE
        + """
class Other:
    def __init__(self, *args):
        self.args = args
print(n._install_container_bridge(**hs.HANDLES))
print(n._install_container_bridge(**dict(hs.HANDLES, origin_cls=Other, keypath_cls=int)))
d = n.SymDict()
d.sym_setorigin('s', 't')
d.sym_setpath(n.KeyPath('p'))
print(type(d._sym_origin).__name__, d.sym_path)
"""
    )
    assert out.splitlines() == ["None", "None", "Origin p"]


# ---------------------------------------------------------------- markers


class Plain:
    pass


class Symbolic:
    def sym_clone(self):
        return Symbolic()


class Aware:
    def sym_setpath(self, path):
        pass


class Inferential:
    def infer(self):
        return 1


class Meta(type):
    def sym_clone(cls):
        return cls

    def sym_setpath(cls, path):
        pass

    def infer(cls):
        return cls


class ByMeta(metaclass=Meta):
    pass


class GetattrMeta(type):
    def __getattr__(cls, name):
        if name == "sym_clone":
            return True
        if name == "infer":
            raise KeyError(name)
        raise AttributeError(name)


class Dynamic(metaclass=GetattrMeta):
    pass


class PropertyMeta(type):
    @property
    def sym_setpath(cls):
        raise ValueError("unreadable")


class Unreadable(metaclass=PropertyMeta):
    pass


def on_instance():
    v = Plain()
    v.sym_clone = v.sym_setpath = v.infer = lambda *a: None
    return v


@pytest.mark.parametrize(
    "make, symbolic, aware, inferential",
    [
        (Plain, False, False, False),
        (Symbolic, True, False, False),
        (Aware, False, True, False),
        (Inferential, False, False, True),
        (ByMeta, True, True, True),  # a metaclass attribute counts: the type's lookup finds it
        (lambda: ByMeta, True, True, True),  # the class is a value of type Meta, which has them
        (on_instance, False, False, False),  # instance attributes never count
        (lambda: hs.HostDict(), True, True, False),
        (lambda: n.SymDict(), False, True, False),
        (lambda: [1], False, False, False),
        (lambda: {"a": 1}, False, False, False),
        (lambda: 3, False, False, False),
        (lambda: None, False, False, False),
    ],
)
def test_markers_look_at_the_type(make, symbolic, aware, inferential):
    v = make()
    assert probe.is_symbolic(v) is symbolic
    assert probe.is_topology_aware(v) is aware
    assert probe.is_inferential(v) is inferential


def test_only_attribute_error_means_absent():
    v = Dynamic()
    assert probe.is_symbolic(v) is True  # found by the metaclass's __getattr__
    assert probe.is_topology_aware(v) is False  # AttributeError: absent
    with pytest.raises(KeyError):
        probe.is_inferential(v)
    with pytest.raises(ValueError, match="unreadable"):
        probe.is_topology_aware(Unreadable())


@pytest.mark.parametrize("value", [1, 1.5, "s", b"b", True, None])
def test_scalars_are_never_inferential_and_never_looked_up(value):
    assert probe.is_inferential(value) is False


class Mode:
    def __init__(self, mode):
        self._mode = mode

    @property
    def sym_mode(self):
        if isinstance(self._mode, BaseException):
            raise self._mode
        return self._mode


@pytest.mark.parametrize(
    "value, expected",
    [
        (Plain(), True),
        (Mode(True), True),
        (Mode(False), False),
        (Mode(0), True),
        (Mode(None), True),
        (Mode(ValueError("boom")), True),
        (Mode(AttributeError("gone")), True),
    ],
)
def test_child_sym_mode(value, expected):
    assert probe.child_sym_mode(value) is expected


@pytest.mark.parametrize("grave", [KeyboardInterrupt(), SystemExit(3)])
def test_child_sym_mode_discards_ordinary_errors_only(grave):
    with pytest.raises(type(grave)):
        probe.child_sym_mode(Mode(grave))


def test_child_sym_mode_of_native_containers():
    assert probe.child_sym_mode(n.SymDict()) is True


# ---------------------------------------------------------------- default origin


@pytest.mark.parametrize("scope, expected", [("absent", None), (None, None), (False, None), (True, "origin")])
def test_default_origin_follows_the_origin_tracking_scope(scope, expected):
    if scope != "absent":
        n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, scope)
    origin = probe.default_origin()
    if expected is None:
        assert origin is None
    else:
        assert origin == hs.Origin(None, "__init__")


def test_default_origin_without_tracking_needs_no_bridge(run_py):
    out = run_py(
        PRELUDE
        + """
from norv_core import _native as n
print(n._testing.default_origin())
n._flag_scope_set(n._FLAG_ORIGIN_TRACKING, True)
try:
    n._testing.default_origin()
except norv_core.PanicException as e:
    print(e)
"""
    )
    assert out.splitlines() == ["None", "container bridge not installed"]


# ---------------------------------------------------------------- update target


class Target:
    def __init__(self, flag):
        self._flag = flag

    @property
    def _sym_validate_overridden(self):
        if isinstance(self._flag, BaseException):
            raise self._flag
        return self._flag


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class NoTarget:
    @property
    def target(self):
        raise LookupError("no target")


def update(target):
    return hs.FieldUpdate(n.KeyPath("a"), target, None, 1, 2)


@pytest.mark.parametrize(
    "target, expected",
    [
        (Plain(), False),
        (Target(True), True),
        (Target(False), False),
        (Target(1), True),
        (Target([]), False),
        (Target(ValueError("x")), False),
        (Target(AttributeError("x")), False),
    ],
)
def test_update_target_validates(target, expected):
    assert probe.update_target_validates(update(target)) is expected


@pytest.mark.parametrize(
    "make, exc",
    [
        (lambda: NoTarget(), LookupError),  # reading `target` propagates
        (lambda: update(Target(Falsy())), ZeroDivisionError),  # the truth test propagates
        (lambda: update(Target(KeyboardInterrupt())), KeyboardInterrupt),  # never discarded
    ],
)
def test_update_target_validates_errors(make, exc):
    with pytest.raises(exc):
        probe.update_target_validates(make())


# ---------------------------------------------------------------- node steps


def test_reset_for_construct_keeps_the_origin_and_sets_flags_in_order():
    d = hs.HostDict()
    origin, parent = hs.Origin("s", "t"), hs.HostDict()
    d._sym_origin, d._sym_parent, d._sym_path = origin, parent, n.KeyPath("old")
    probe.node_reset(d, n.KeyPath("new"), True, False, True)
    assert d._sym_parent is None and d._sym_path == n.KeyPath("new") and d._sym_origin is origin
    assert (d._allow_partial, d._accessor_writable, d._sealed) == (True, False, True)


def test_clear_refs_keeps_the_flags():
    d = hs.HostDict()
    d._sym_parent, d._sym_path, d._sym_origin = hs.HostDict(), n.KeyPath("p"), hs.Origin(1, 2)
    d._sealed, d._allow_partial, d._accessor_writable = True, True, False
    probe.node_clear_refs(d)
    assert (d._sym_parent, d._sym_path, d._sym_origin) == (None, None, None)
    assert (d._sealed, d._allow_partial, d._accessor_writable) == (True, True, False)


def test_panic_is_not_an_ordinary_exception():
    assert not issubclass(norv_core.PanicException, Exception)
