import inspect

import pytest

import norv_core
from norv_core import _native

REGISTERED_SO_FAR = [
    "abi_version",
    "__abi__",
    "MissingValue",
    "missing_value_singleton",
    "_flag_scope_get",
    "_flag_scope_set",
    "_flag_scope_has",
    "_flag_scope_del",
    "_FLAG_SEALED",
    "_FLAG_ACCESSOR_WRITABLE",
    "_FLAG_ALLOW_PARTIAL",
    "_FLAG_ORIGIN_TRACKING",
    "_FLAG_CHANGE_NOTIFICATION",
]


def test_all_keeps_registration_order():
    names = list(_native.__all__)
    assert names[:2] == ["abi_version", "__abi__"]
    # Later areas slot their names in between; what is here keeps its order.
    positions = [names.index(name) for name in REGISTERED_SO_FAR]
    assert positions == sorted(positions)
    assert len(names) == len(set(names))
    assert all(hasattr(_native, name) for name in names)


def test_module_doc_is_empty():
    assert _native.__doc__ == ""


def test_abi_version_is_a_new_tuple_each_call():
    first, second = _native.abi_version(), _native.abi_version()
    assert first == second == _native.__abi__ == (0, 0)
    assert type(first) is tuple
    assert first is not second


@pytest.mark.parametrize("call", [lambda: _native.abi_version(1), lambda: _native.abi_version(x=1)])
def test_abi_version_takes_no_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_text_signatures():
    assert str(inspect.signature(_native.abi_version)) == "()"
    assert _native.abi_version.__doc__ == "Return the native core ABI version `(major, minor)`."
    assert str(inspect.signature(_native._flag_scope_get)) == "(flag_id, default)"


def test_panic_exception_is_outside_all():
    panic = norv_core.PanicException
    assert panic is _native.PanicException
    assert issubclass(panic, BaseException)
    assert not issubclass(panic, Exception)
    assert panic.__module__ == "norv_core"
    assert "PanicException" not in _native.__all__


def test_second_module_object_shares_types(run_py):
    out = run_py(
        """
        import importlib.util, sys
        import norv_core._native as first
        spec = importlib.util.find_spec('norv_core._native')
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(second)
        print(second.MissingValue is first.MissingValue, second.__all__ == first.__all__,
              second.PanicException is first.PanicException)
        """
    )
    assert out.split() == ["True", "True", "True"]


def test_classes_report_their_modules():
    assert _native.MissingValue.__module__ == "norv.topology._missing"
    for name in _native.__all__:
        obj = getattr(_native, name)
        if isinstance(obj, type) and obj is not _native.MissingValue:
            assert obj.__module__ == "norv_core._native", name
