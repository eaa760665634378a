"""The typing installers, their set-once cells and the bridge's faults."""

import inspect

import pytest

from norv_core import _native as n

INSTALL = """
from norv_host import typing as ht
from norv_core import _native as n
"""


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


