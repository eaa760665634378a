import inspect

import pytest

import norv_core
from norv_core import _native

# The host's fixed registration order: every name, in exactly this order.
FULL_ORDER = (
    "abi_version __abi__ KeyPath KeyPathSet MissingValue missing_value_singleton format "
    "kvlist_str _install_formatting_bridge ConstStrKey StrKey ListKey TupleKey "
    "_install_typing_bridge _install_json_schema_fn _install_field_from_annotation "
    "_install_symbolic_container_types SpecBase Bool Str Int Float Enum Any List Tuple Union "
    "Object Type Field Schema Dict Callable Functor SymDict _install_container_bridge "
    "_native_to_json_walk _set_default_object_sym_jsonify SymList _install_list_bridge "
    "SymObject ObjectCtorMeta SymFieldGetter _install_object_bridge _render_object_fast "
    "_native_object_inline_fields _native_object_clone_inline_shallow "
    "_native_object_clone_construct _native_object_set_item_no_check _slot_record_materialize "
    "_slot_record_init_node_state _slot_record_inline_fields _slot_record_is_materialized "
    "_slot_record_adopt_children _slot_record_repath_children _slot_record_node_read "
    "_topo_setparent _topo_setpath _topo_set_accessor_writable _topo_setorigin _topo_seal "
    "_container_candidate_fields _container_wrap_fields _native_inline_object_to_json "
    "_native_inline_object_to_json_open _native_from_json_all_plain _slot_record_construct "
    "_probe_object_is_inline _probe_node_get _probe_node_set _flag_scope_get _flag_scope_set "
    "_flag_scope_has _flag_scope_del _FLAG_SEALED _FLAG_ACCESSOR_WRITABLE _FLAG_ALLOW_PARTIAL "
    "_FLAG_ORIGIN_TRACKING _FLAG_CHANGE_NOTIFICATION _kernel_topology_reserved _slot_node_get "
    "_slot_node_set _slot_node_set_if_absent _kernel_probe_type_layout _kernel_roundtrip_tp_init "
    "_install_native_tp_init _install_native_record_tp_init _install_native_tp_getattro "
    "_install_native_tp_getattro_fast _install_native_record_tp_getattro "
    "_kernel_tp_getattro_is_native _kernel_tp_getattro_is_fast _kernel_make_record "
    "_kernel_make_record_subtype _kernel_set_record_sym_mode _kernel_set_record_field_kinds "
    "_kernel_record_layout _kernel_is_inferential _kernel_generic_getattr "
    "_kernel_probe_short_circuit _kernel_probe_traverse_visits"
).split()


def test_full_order_is_complete():
    assert len(FULL_ORDER) == len(set(FULL_ORDER)) == 101


def test_all_keeps_registration_order():
    names = list(_native.__all__)
    assert names == FULL_ORDER
    assert all(hasattr(_native, name) for name in names)


@pytest.mark.parametrize(
    "preset, outcome",
    [
        # an existing list is extended in place
        ("['pre']", "ok"),
        # anything else ends execution with the step's error
        ("('pre',)", "TypeError"),
    ],
)
def test_execution_appends_to_existing_all(run_py, preset, outcome):
    out = run_py(
        f"""
        import importlib.util
        import norv_core._native as first
        spec = importlib.util.find_spec('norv_core._native')
        second = importlib.util.module_from_spec(spec)
        second.__all__ = {preset}
        try:
            spec.loader.exec_module(second)
        except TypeError:
            print('TypeError', hasattr(second, 'abi_version'))
        else:
            print('ok', second.__all__ == ['pre'] + first.__all__)
        """
    )
    assert out.split() == [outcome, "True" if outcome == "ok" else "False"]


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


@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_subinterpreter_import_fails_and_main_keeps_working(run_py, kind):
    # A subinterpreter would fill the process-wide cells with objects that die
    # with it; the import must fail there and leave the main interpreter intact.
    out = run_py(
        f"""
        import _interpreters, _testcapi
        from norv_core import _native
        from norv_host import formatting, topology
        formatting.install()
        code = (
            "try:\\n"
            "    import norv_core._native\\n"
            "except ImportError:\\n"
            "    pass\\n"
            "else:\\n"
            "    raise RuntimeError('imported')\\n"
        )
        if {kind!r} == 'legacy':
            assert _testcapi.run_in_subinterp(code) == 0
        else:
            interp = _interpreters.create()
            assert _interpreters.run_string(interp, code) is None
            _interpreters.destroy(interp)
        print(repr(str(_native.KeyPathSet(['a.b', 'c']))))
        print(_native.format({{'x': [1, 2]}}, compact=True))
        """
    )
    assert out.splitlines() == [repr(str(_native.KeyPathSet(["a.b", "c"]))), "{'x': [1, 2]}"]
