"""The typing installers, their set-once cells and the bridge's faults."""

import inspect

import pytest

from norv_core import _native as n

INSTALL = """
from norv_host import typing as ht
from norv_core import _native as n
"""


@pytest.fixture(scope="module", autouse=True)
def bridge():
    import norv_host

    norv_host.install()
    return norv_host.typing


def test_before_install_every_spec_operation_is_an_internal_fault(run_py):
    out = run_py(
        INSTALL
        + """
import norv_core
for make in (n.Int, n.Bool, n.Str, n.Any, n.Float, lambda: n.Int[0, 1]):
    try:
        make()
    except Exception:
        print("caught as Exception")
    except norv_core.PanicException as e:
        print(type(e).__name__, e)
"""
    )
    assert out.splitlines() == ["PanicException typing bridge not installed"] * 6


def test_argument_rules_found_before_the_bridge_come_first(run_py):
    # With `default` given, the builder's own argument check runs before it
    # first reads the bridge.
    out = run_py(
        INSTALL
        + """
try:
    n.Int(default=1, gt=1.5)
except ValueError as e:
    print(e)
"""
    )
    assert out.strip() == "Int: `gt` must be an int (the exclusive-bound rewrite is exact for ints only). Encountered: 1.5."


def test_first_install_wins_and_later_calls_return_none(run_py):
    out = run_py(
        INSTALL
        + """
first = dict(ht.HANDLES)
second = dict(ht.HANDLES, missing_value="other", raw_text_cls=None)
print(n._install_typing_bridge(**first), n._install_typing_bridge(**second))
print(n.Int().default is ht.MISSING_VALUE)
"""
    )
    assert out.split() == ["None", "None", "True"]


def test_bad_missing_type_stores_nothing(run_py):
    out = run_py(
        INSTALL
        + """
try:
    n._install_typing_bridge(**dict(ht.HANDLES, missing_type=42))
except TypeError as e:
    print(e)
n._install_typing_bridge(**ht.HANDLES)
print(repr(n.Int(min_value=1)))
"""
    )
    assert out.splitlines() == ["argument 'missing_type': 'int' object is not an instance of 'type'", "Int(min=1)"]


def test_other_installers_fault_until_installed(run_py):
    out = run_py(
        INSTALL
        + """
import norv_core
n._install_typing_bridge(**ht.HANDLES)
try:
    n.Int().to_json_schema()
except norv_core.PanicException as e:
    print(e)
print(n._install_json_schema_fn(lambda spec, **kw: ("first", repr(spec), kw)))
print(n._install_json_schema_fn(lambda spec, **kw: "second"))
print(n.Int().to_json_schema(), n.Int().to_json_schema(a=1))
print(n._install_field_from_annotation(len), n._install_symbolic_container_types(dict, list))
"""
    )
    assert out.splitlines() == [
        "json-schema fn not installed",
        "None",
        "None",
        "('first', 'Int()', {}) ('first', 'Int()', {'a': 1})",
        "None None",
    ]


def test_installer_binding_follows_python_rules():
    handles = dict(__import__("norv_host.typing").typing.HANDLES)
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 positional argument"):
        n._install_typing_bridge(1, **handles)
    del handles["callable_validate"]
    with pytest.raises(TypeError, match=r"missing 1 required keyword-only argument: 'callable_validate'"):
        n._install_typing_bridge(**handles)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'extra'"):
        n._install_typing_bridge(extra=1, **handles)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'list_type'"):
        n._install_symbolic_container_types(dict)


def test_installer_signatures_and_docs():
    sig = inspect.signature(n._install_typing_bridge)
    names = list(sig.parameters)
    assert len(names) == 26
    assert names[:2] == ["missing_value", "missing_type"] and names[-1] == "callable_validate"
    assert names.index("topology_merge") == names.index("forward_ref_cls") + 1
    assert all(p.kind is p.KEYWORD_ONLY for p in sig.parameters.values())
    assert n._install_typing_bridge.__doc__ == "Inject the oracle handles the native value-spec pipeline depends on."
    assert list(inspect.signature(n._install_symbolic_container_types).parameters) == ["dict_type", "list_type"]
    assert "native `to_json_schema`" in n._install_json_schema_fn.__doc__


def test_registration_order():
    names = n.__all__
    installers = [
        "_install_typing_bridge",
        "_install_json_schema_fn",
        "_install_field_from_annotation",
        "_install_symbolic_container_types",
    ]
    start = names.index(installers[0])
    assert names[start : start + 4] == installers
    assert start > names.index("_install_formatting_bridge")
    assert start > names.index("TupleKey")
    classes = [c for c in names if c in {"SpecBase", "Bool", "Str", "Int", "Float", "Any"}]
    assert classes == ["SpecBase", "Bool", "Str", "Int", "Float", "Any"]
    assert names.index("SpecBase") > start
    for c in classes:
        assert getattr(n, c).__module__ == "norv_core._native"


def test_handles_are_called_as_given(bridge):
    # The bool-returning handles are read strictly; the union class is
    # subscripted with the operands in written order.
    bridge.calls.clear()
    a, b = n.Int(), n.Str()
    assert (a | b).candidates == [a, b]
    assert (b | a).candidates == [b, a]
    assert [c for c in bridge.calls if c[0] == "union_cls"] == [("union_cls", (a, b)), ("union_cls", (b, a))]


def test_any_fast_types_pass_any_spec_without_host_calls(bridge):
    spec = n.Any()
    bridge.calls.clear()
    values = [1, "s", 1.5, True, None, b"b", (1,), {1}, frozenset(), {"a": [1]}, [{}], object()]
    for v in values:
        assert spec.apply(v) is v
    assert bridge.calls == []
