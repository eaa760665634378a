"""The object bridge: its set-once installer, what works before it is
installed, and the object layer's names on the module."""

import inspect

import pytest

import norv_host
from norv_core import _native as n
from norv_host import objects as ho

from host_calls import WITHOUT_OBJECT_BRIDGE as PRELUDE

norv_host.install()

ORDER = [
    "dict_cls",
    "symbolic_mode_error",
    "keypath_cls",
    "empty_key_path",
    "origin_cls",
    "auto_plural",
    "comma_delimited_str",
    "seed_non_symbolic_fields",
    "clone_non_symbolic_fields",
    "symbolic_transform_fn",
    "missing_value",
    "copy_default",
    "cooperative_init",
    "needs_cooperative_init",
    "message_on_path",
    "write_permission_error",
    "object_setattr",
    "object_delattr",
    "prepare_construct_error",
    "default_on_sym_parent_change",
    "default_update_children_paths",
    "default_on_sym_path_change",
    "default_sym_missing_code",
    "default_sym_puresymbolic_prop",
    "default_sym_values",
    "is_pure_symbolic",
]

# The object layer's names, in registration order, as far as they are built.
OBJECT_NAMES = [
    "SymObject",
    "ObjectCtorMeta",
    "SymFieldGetter",
    "_install_object_bridge",
    "_render_object_fast",
    "_native_object_inline_fields",
    "_native_object_clone_inline_shallow",
    "_native_object_clone_construct",
    "_native_object_set_item_no_check",
    "_slot_record_materialize",
    "_slot_record_init_node_state",
    "_slot_record_inline_fields",
    "_slot_record_is_materialized",
    "_slot_record_adopt_children",
    "_slot_record_repath_children",
    "_slot_record_node_read",
    "_topo_setparent",
    "_topo_setpath",
    "_topo_set_accessor_writable",
    "_topo_setorigin",
    "_topo_seal",
    "_container_candidate_fields",
    "_container_wrap_fields",
    "_native_inline_object_to_json",
    "_native_inline_object_to_json_open",
    "_native_from_json_all_plain",
    "_slot_record_construct",
    "_probe_object_is_inline",
    "_probe_node_get",
    "_probe_node_set",
]


def test_installer_takes_twenty_six_keyword_only_handles_in_order():
    sig = inspect.signature(n._install_object_bridge)
    assert list(sig.parameters) == ORDER == list(ho.HANDLES)
    assert all(p.kind is p.KEYWORD_ONLY and p.default is p.empty for p in sig.parameters.values())
    assert n._install_object_bridge.__doc__.startswith("Inject the oracle handles")


def test_installer_binding_follows_python_rules():
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 positional argument"):
        n._install_object_bridge(1, **ho.HANDLES)
    with pytest.raises(TypeError, match="unexpected keyword argument 'extra'"):
        n._install_object_bridge(extra=1, **ho.HANDLES)
    partial = dict(ho.HANDLES)
    del partial["is_pure_symbolic"]
    with pytest.raises(
        TypeError,
        match=r"^_install_object_bridge\(\) missing 1 required keyword-only argument: 'is_pure_symbolic'$",
    ):
        n._install_object_bridge(**partial)


def test_a_later_install_returns_none():
    assert n._install_object_bridge(**ho.HANDLES) is None


def test_the_hook_defaults_are_the_base_class_own_objects():
    base = ho.HostObject
    assert ho.HANDLES["default_on_sym_parent_change"] is base.on_sym_parent_change
    assert ho.HANDLES["default_update_children_paths"] is base._update_children_paths
    assert ho.HANDLES["default_on_sym_path_change"] is base.on_sym_path_change
    assert ho.HANDLES["default_sym_missing_code"] is base.sym_missing.__code__
    assert ho.HANDLES["default_sym_puresymbolic_prop"] is vars(base)["sym_puresymbolic"]
    assert ho.HANDLES["default_sym_values"] is base.sym_values


def test_every_bridge_gets_the_same_missing_value():
    from norv_host import symbolic as hs
    from norv_host import typing as ht

    assert ho.HANDLES["missing_value"] is hs.HANDLES["missing_value"] is ht.HANDLES["missing_value"]


def test_names_are_registered_after_the_list_bridge_in_order():
    names = list(n.__all__)
    at = names.index("SymObject")
    assert names[at : at + len(OBJECT_NAMES)] == OBJECT_NAMES
    before = "_install_list_bridge" if "_install_list_bridge" in names else "_install_container_bridge"
    assert names[at - 1] == before
    assert names[at + len(OBJECT_NAMES)] == "_flag_scope_get"


def test_before_install_what_needs_no_handle_works(run_py):
    out = run_py(
        PRELUDE
        + """
obj = C.__new__(C)
print(n._native_object_inline_fields(obj), n._probe_object_is_inline(obj), obj.field_dict())
try:
    obj._sealed
except ValueError as e:
    print(e)
# plain assignment asks the class's metadata first, which needs the bridge
try:
    obj._sym_path = n.KeyPath('a')
except norv_core.PanicException as e:
    print(e)
object.__setattr__(obj, '_sym_path', n.KeyPath('a'))
print(obj._sealed, obj._sym_path)
for probe in (n._container_wrap_fields, n._container_candidate_fields):
    try:
        probe(C)
    except norv_core.PanicException as e:
        print(type(e).__name__, e)
print('__native_ctor_meta__' in vars(C))
try:
    obj.sym_setpath(n.KeyPath('b'))
except norv_core.PanicException as e:
    print(e, obj._sym_path)
g = n.SymFieldGetter('x')
try:
    g(obj)
except AttributeError as e:
    print(repr(e))
try:
    C(x=1)
except norv_core.PanicException as e:
    print(e)
"""
    )
    assert out.splitlines() == [
        "None False None",
        "C.__init__ should call `super().__init__`.",
        "object bridge not installed",
        "False a",
        "PanicException object bridge not installed",
        "PanicException object bridge not installed",
        "False",
        "object bridge not installed a",
        "AttributeError('_sym_attributes')",
        "object bridge not installed",
    ]


def test_a_missing_keyword_installs_nothing_and_a_later_call_installs(run_py):
    out = run_py(
        PRELUDE
        + """
partial = dict(ho.HANDLES)
del partial['is_pure_symbolic']
try:
    n._install_object_bridge(**partial)
except TypeError as e:
    print(e)
try:
    n._container_wrap_fields(C)
except norv_core.PanicException as e:
    print(e)
print(n._install_object_bridge(**ho.HANDLES))
print(n._container_wrap_fields(C))
"""
    )
    assert out.splitlines() == [
        "_install_object_bridge() missing 1 required keyword-only argument: 'is_pure_symbolic'",
        "object bridge not installed",
        "None",
        "[]",
    ]


def test_first_install_wins(run_py):
    out = run_py(
        PRELUDE
        + """
class FirstError(Exception):
    pass

class SecondError(Exception):
    pass

class FirstDict(hs.HostDict):
    pass

print(n._install_object_bridge(**dict(ho.HANDLES, symbolic_mode_error=FirstError, dict_cls=FirstDict)))
print(n._install_object_bridge(**dict(ho.HANDLES, symbolic_mode_error=SecondError)))

class Plain(ho.HostObject, sym=False):
    x: int

obj = Plain(x=0)
obj.field_dict()['x'] = hs.Inferred(1)
try:
    obj.x
except Exception as e:
    print(type(e).__name__)
print(type(obj._sym_attributes).__name__)
"""
    )
    assert out.splitlines() == ["None", "None", "FirstError", "FirstDict"]


@pytest.mark.parametrize(
    "dict_cls, outcome",
    [
        ("Odd", "TypeError 'dict' object is not an instance of 'SymDict'"),
        ("Refusing", "LookupError no parent"),
    ],
)
def test_view_errors_of_the_host_dict_class_propagate(run_py, dict_cls, outcome):
    out = run_py(
        PRELUDE
        + f"""
class Odd(hs.HostDict):
    def __new__(cls, *args):
        return {{}}

class Refusing(hs.HostDict):
    def sym_setparent(self, parent):
        raise LookupError('no parent')

n._install_object_bridge(**dict(ho.HANDLES, dict_cls={dict_cls}))
obj = C(x=1)
try:
    obj._sym_attributes
except Exception as e:
    print(type(e).__name__, e)
"""
    )
    assert out.splitlines() == [outcome]
