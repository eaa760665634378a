"""The SymList write path: item and slice assignment and item deletion with
their gates, the core write and its change record, member formalisation,
detaching a replaced child, and one notification per operation."""

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from host_calls import calls, fresh_host, leak_round  # noqa: F401 (a fixture)
from leakcheck import block_growth, swallow
from list_calls import fields_of, made, notified, rebuilt
from traced import Traced, TracedList

norv_host.install()
probe = n._testing
HostList, HostDict, KeyPath = hs.HostList, hs.HostDict, n.KeyPath
P = KeyPath.parse
MISSING = hs.MISSING_VALUE
INTS = n.List(n.Int())

pytestmark = pytest.mark.usefixtures("fresh_host")


class Recorded:
    """A bound spec object whose facts are read through Python, recording
    each read of its element field."""

    def __init__(self, element=None):
        self._element = element

    @property
    def element(self):
        hs.calls.append(("element",))
        return self._element


# ---------------------------------------------------------------- the gates

SEALED_SET = "Cannot set item for a sealed List."
READ_ONLY_SET = (
    "Cannot modify List item by __setitem__ while accessor_writable is set to False. Use 'sym_rebind' method instead."
)
SEALED_DEL = "Cannot delete item from a sealed List."
READ_ONLY_DEL = "Cannot delete List item while accessor_writable is set to False. Use 'sym_rebind' method instead."


def assign(key, value=9):
    def run(lst):
        lst[key] = value

    return run


def delete(key):
    def run(lst):
        del lst[key]

    return run


@pytest.mark.parametrize(
    "op, flags, text, decorated",
    [
        (assign(0), dict(sealed=True), SEALED_SET, True),
        (assign(slice(0, 1), [9]), dict(sealed=True), SEALED_SET, True),
        (assign(0), dict(sealed=True, accessor_writable=False), SEALED_SET, True),  # sealed first
        (assign(0), dict(accessor_writable=False), READ_ONLY_SET, True),
        (assign(slice(0, 1), [9]), dict(accessor_writable=False), READ_ONLY_SET, True),
        (delete(0), dict(sealed=True), SEALED_DEL, False),
        (delete(0), dict(sealed=True, accessor_writable=False), SEALED_DEL, False),
        (delete(0), dict(accessor_writable=False), READ_ONLY_DEL, True),
        # the gates come before the key is looked at
        (assign("key"), dict(sealed=True), SEALED_SET, True),
        (delete(slice(0, 1)), dict(accessor_writable=False), READ_ONLY_DEL, True),
        (delete(99), dict(sealed=True), SEALED_DEL, False),
    ],
)
def test_gates(op, flags, text, decorated):
    lst = made(1, 2, **flags)
    with pytest.raises(hs.WritePermissionError) as e:
        op(lst)
    assert str(e.value) == (f"{text} (path=r)" if decorated else text)
    assert calls("message_on_path") == ([(text, P("r"))] if decorated else [])
    assert lst == [1, 2] and notified(lst) == []


@pytest.mark.parametrize(
    "scope, node_sealed, refused",
    [(False, True, False), (True, False, True), (None, True, True), (None, False, False)],
)
def test_the_sealed_scope_overrides_the_node(scope, node_sealed, refused):
    lst = made(1, 2, sealed=node_sealed)
    n._flag_scope_set(n._FLAG_SEALED, scope)
    for op in (assign(0), delete(0)):
        if refused:
            with pytest.raises(hs.WritePermissionError):
                op(lst)
        else:
            op(lst)
    assert lst == ([1, 2] if refused else [2])


def test_the_accessor_scope_overrides_the_node():
    lst = made(1, 2, accessor_writable=False)
    n._flag_scope_set(n._FLAG_ACCESSOR_WRITABLE, True)
    lst[0] = 5
    del lst[1]
    assert lst == [5]
    n._flag_scope_set(n._FLAG_ACCESSOR_WRITABLE, False)
    with pytest.raises(hs.WritePermissionError, match="accessor_writable"):
        HostList([1])[0] = 2


def test_a_permission_error_the_host_fails_to_build_propagates(run_py):
    out = run_py(
        """
from norv_core import _native as n
from norv_host import symbolic as hs, typing as ht
ht.install()
def refuse(text):
    raise LookupError(text)
n._install_container_bridge(**dict(hs.HANDLES, write_permission_error=refuse))
n._install_list_bridge(hs.Insertion)
lst = hs.HostList([1], sealed=True)
try:
    del lst[0]
except LookupError as e:
    print(e)
"""
    )
    assert out.strip() == "Cannot delete item from a sealed List."


# ---------------------------------------------------------------- item assignment


def test_assignment_replaces_and_notifies_once():
    lst = made(1, 2, 3)
    lst[1] = 5
    assert lst == [1, 5, 3] and notified(lst) == [[("r[1]", lst, None, 2, 5)]]
    assert calls("wrap_value") == []  # a scalar skips formalisation without a spec


@pytest.mark.parametrize(
    "key, position, path",
    [(-1, 2, "r[-1]"), (-3, 0, "r[-3]"), (True, 1, "r[1]"), (False, 0, "r[0]"), (2, 2, "r[2]")],
)
def test_the_key_stays_as_given_in_the_path(key, position, path):
    lst, child = made(1, 2, 3), HostDict()
    lst[key] = child
    assert lst[position] is child and child.sym_path == P(path) and child.sym_parent is lst
    assert notified(lst)[0][0][0] == path


@pytest.mark.parametrize(
    "key, exc, message",
    [
        (3, IndexError, "list assignment index out of range. Length=3, index=3"),
        (-4, IndexError, "list assignment index out of range. Length=3, index=-4"),
        (2**63, OverflowError, None),
        ("a", TypeError, "list assignment index must be an integer. Encountered 'a'."),
        (1.0, TypeError, "list assignment index must be an integer. Encountered 1.0."),
        (None, TypeError, "list assignment index must be an integer. Encountered None."),
    ],
)
def test_assignment_key_errors(key, exc, message):
    lst = made(1, 2, 3)
    with pytest.raises(exc) as e:
        lst[key] = 9
    if message is not None:
        assert str(e.value) == message
    assert lst == [1, 2, 3] and notified(lst) == []


def test_assigning_the_stored_object_changes_nothing():
    child = HostDict()
    lst = made(1, child)
    lst[1] = child
    assert lst[1] is child and notified(lst) == [] and calls("wrap_value") == []


def test_an_insertion_inserts_before_the_index():
    lst, child = made(1, 2), HostDict()
    lst[0] = hs.Insertion(child)
    assert lst == [child, 1, 2] and child.sym_path == P("r[0]")
    assert notified(lst) == [[("r[0]", lst, None, MISSING, child)]]


def test_the_missing_value_inside_the_list_is_stored():
    lst = made(1, 2)
    lst[0] = MISSING
    assert lst == [MISSING, 2] and notified(lst) == [[("r[0]", lst, None, 1, MISSING)]]
    assert [c[0] for c in calls("wrap_value")] == [MISSING]  # formalised like any value


def test_a_replaced_child_loses_its_parent_and_keeps_its_path():
    old, new = Traced(), Traced()
    lst = made(old, 2)
    hs.clear()
    lst[0] = new
    assert old.sym_parent is None and old.sym_path == P("r[0]")
    assert calls("sym_setparent") == [(new, lst), (old, None)]
    assert [c for c in calls("sym_setpath") if c[0] is old] == []


class OutOfTree(HostDict):
    sym_mode = False


def test_a_replaced_element_out_of_the_tree_is_left_alone():
    outside, parent = OutOfTree(), HostDict()
    outside._sym_parent = parent
    lst = made(outside)
    lst[0] = 5
    assert outside.sym_parent is parent


def test_a_wrapper_handing_back_the_stored_child_keeps_it_attached(run_py):
    out = run_py(
        """
from norv_core import _native as n
from norv_host import symbolic as hs, typing as ht
ht.install()
stored = []
def wrap_value(value, **kwargs):
    return stored[0] if stored else value
n._install_container_bridge(**dict(hs.HANDLES, wrap_value=wrap_value))
n._install_list_bridge(hs.Insertion)
lst = hs.HostList([hs.HostDict()])
stored.append(lst[0])
lst[0] = hs.HostDict(a=1)
print(lst[0] is stored[0], lst[0].sym_parent is lst)
"""
    )
    assert out.strip() == "True True"


def test_schemaful_writes_are_validated_by_the_element_field():
    lst = made(1, 2, value_spec=INTS)
    lst[0] = 7
    assert notified(lst) == [[("r[0]", lst, INTS.element, 1, 7)]]
    with pytest.raises(TypeError, match=r"Expect <class 'int'> but encountered <class 'str'>: x\. \(path=r\[1\]\)"):
        lst[1] = "x"
    with pytest.raises(ValueError, match="Required value is not specified"):
        lst[1] = MISSING  # the list never fills a default
    assert lst == [7, 2]


def test_schemaful_containers_are_wrapped_with_the_symbolic_transform():
    lst = made([1], value_spec=n.List(n.List(n.Int())))
    lst[0] = [2, 3]
    assert lst == [[2, 3]] and calls("symbolic_transform_fn") == [(False,)]


def test_notification_off_writes_but_sends_nothing():
    lst = made(1, 2)
    lst._sym_validate_overridden = True  # a list never asks
    n._flag_scope_set(n._FLAG_CHANGE_NOTIFICATION, False)
    lst[0] = 5
    lst[0:1] = [6, 7]
    del lst[0]
    assert lst == [7, 2] and calls("_notify_field_updates") == []


@pytest.mark.parametrize("scope", [None, True])
def test_notification_on_unless_explicitly_off(scope):
    lst = made(1)
    n._flag_scope_set(n._FLAG_CHANGE_NOTIFICATION, scope)
    lst[0] = 2
    assert len(notified(lst)) == 1


def test_a_handler_error_reaches_the_caller_after_the_write():
    class Failing(HostList):
        def _notify_field_updates(self, updates):
            raise RuntimeError("handler")

    lst = Failing([1, 2])
    with pytest.raises(RuntimeError, match="handler"):
        lst[0] = 5
    with pytest.raises(RuntimeError, match="handler"):
        del lst[0]
    assert lst == [2]


# ---------------------------------------------------------------- the core write


def test_core_write_at_or_past_the_end():
    lst = made(1, 2)
    assert lst._set_item_without_permission_check(2, MISSING) is None
    assert lst._set_item_without_permission_check(9, MISSING) is None
    assert lst == [1, 2]
    update = lst._set_item_without_permission_check(7, "v")
    assert lst == [1, 2, "v"] and fields_of(update) == ("r[2]", lst, None, MISSING, "v")
    update = lst._set_item_without_permission_check(3, hs.Insertion(MISSING))  # tested wrapped
    assert lst == [1, 2, "v", MISSING] and fields_of(update) == ("r[3]", lst, None, MISSING, MISSING)
    assert notified(lst) == []  # the core write notifies nothing


def test_core_write_checks_no_permission():
    lst = made(1, sealed=True, accessor_writable=False)
    update = lst._set_item_without_permission_check(0, 2)
    assert lst == [2] and fields_of(update) == ("r[0]", lst, None, 1, 2)


@pytest.mark.parametrize(
    "index, expected",
    [(0, ["x", 1, 2]), (1, [1, "x", 2]), (-1, [1, "x", 2]), (-2, ["x", 1, 2]), (-5, ["x", 1, 2])],
)
def test_core_write_insertions(index, expected):
    lst = made(1, 2)
    update = lst._set_item_without_permission_check(index, hs.Insertion("x"))
    assert lst == expected and str(update.path) == f"r[{index}]" and update.old_value is MISSING


def test_core_write_below_the_start_without_insertion_is_an_index_error():
    lst = made(1, 2)
    with pytest.raises(IndexError, match="^list index out of range$"):
        lst._set_item_without_permission_check(-3, "x")


def test_core_write_arguments():
    lst = made(1)
    with pytest.raises(TypeError, match="^argument 'key': 'str' object cannot be interpreted as an integer$"):
        lst._set_item_without_permission_check("0", 1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'value'"):
        lst._set_item_without_permission_check(0)


def test_formalized_value():
    lst, child = made(), HostDict()
    assert lst._formalized_value(0, 5) == 5 and calls("wrap_value") == []
    assert lst._formalized_value(3, child) is child and child.sym_path == P("r[3]") and child.sym_parent is lst
    seen = set()
    other = HostDict()
    assert lst._formalized_value(idx=1, value=other, seen=seen) is other and other in seen
    assert lst._formalized_value(2, other, seen) is not other  # met again: cloned
    with pytest.raises(TypeError, match="^argument 'seen'"):
        lst._formalized_value(0, child, [])


def test_formalized_value_validates_against_a_bound_spec():
    lst = made(value_spec=n.List(n.Float()))
    assert lst._formalized_value(0, 1) == 1.0 and type(lst._formalized_value(0, 1)) is float
    with pytest.raises(TypeError, match=r"\(path=r\[4\]\)"):
        lst._formalized_value(4, "x")


# ---------------------------------------------------------------- deletion


def test_deletion_removes_and_notifies_once():
    lst = made(1, 2, 3, value_spec=INTS)
    del lst[-1]
    assert lst == [1, 2] and notified(lst) == [[("r[-1]", lst, INTS.element, 3, MISSING)]]


def test_a_deleted_child_keeps_its_parent_and_path():
    child = HostDict()
    lst = made(1, child)
    del lst[1]
    assert child.sym_parent is lst and child.sym_path == P("r[1]")


@pytest.mark.parametrize(
    "key, exc, message",
    [
        (2, IndexError, "list index out of range. Length=2, index=2"),
        (-3, IndexError, "list index out of range. Length=2, index=-3"),
        (slice(1, 2), TypeError, "list index must be an integer. Encountered slice(1, 2, None)."),
        ("a", TypeError, "list index must be an integer. Encountered 'a'."),
        (2**64, OverflowError, None),
    ],
)
def test_deletion_key_errors(key, exc, message):
    lst = made(1, 2)
    with pytest.raises(exc) as e:
        del lst[key]
    if message is not None:
        assert str(e.value) == message
    assert lst == [1, 2] and notified(lst) == []


def test_delete_and_notify_skips_the_checks_and_builds_nothing_when_off():
    lst = made(1, 2, sealed=True)
    lst.delete_and_notify(0)
    assert lst == [2] and len(notified(lst)) == 1
    lst._value_spec = Recorded()
    hs.clear()
    n._flag_scope_set(n._FLAG_CHANGE_NOTIFICATION, False)
    lst.delete_and_notify(-1)
    assert lst == [] and hs.calls == []  # no update built: the element field is not even read
    with pytest.raises(IndexError, match="^list index out of range$"):
        lst.delete_and_notify(0)


def test_deletion_uses_the_base_list_deletion():
    class Guarded(HostList):
        def __delitem__(self, key):
            raise AssertionError("not re-entered")

    lst = Guarded([1, 2, 3])
    lst.delete_and_notify(0)
    lst.remove(3)  # the full item deletion, through the same tail
    assert lst == [2]


# ---------------------------------------------------------------- slice assignment

A, B, C = "a", "b", "c"


@pytest.mark.parametrize(
    "key, values, expected, updates",
    [
        (slice(1, 2), [A, B, C], [0, A, B, C, 2, 3], [("r[1]", 1, A), ("r[2]", MISSING, B), ("r[3]", MISSING, C)]),
        (slice(3, 1), [A, B], [0, 1, 2, A, B, 3], [("r[3]", MISSING, A), ("r[4]", MISSING, B)]),
        (slice(0, 3), [A], [A, MISSING, MISSING, 3], [("r[0]", 0, A), ("r[1]", 1, MISSING), ("r[2]", 2, MISSING)]),
        (slice(None), [A, B, C, A], [A, B, C, A], [("r[0]", 0, A), ("r[1]", 1, B), ("r[2]", 2, C), ("r[3]", 3, A)]),
        (slice(-2, None), [A], [0, 1, A, MISSING], [("r[2]", 2, A), ("r[3]", 3, MISSING)]),
        (slice(-9, 1), [A], [A, 1, 2, 3], [("r[0]", 0, A)]),
        (slice(4, 9), [A, B], [0, 1, 2, 3, A, B], [("r[4]", MISSING, A), ("r[5]", MISSING, B)]),
        (slice(None, None, 2), [A, B], [A, 1, B, 3], [("r[0]", 0, A), ("r[2]", 2, B)]),
        (slice(1, None, 2), (A, B), [0, A, 2, B], [("r[1]", 1, A), ("r[3]", 3, B)]),
        (slice(5, 1, 2), [], [0, 1, 2, 3], []),
        (slice(1, 1), [], [0, 1, 2, 3], []),
        # negative steps take Python's own positions
        (slice(None, None, -1), "abcd", ["d", "c", "b", "a"], [("r[3]", 3, "a"), ("r[2]", 2, "b"), ("r[1]", 1, "c"), ("r[0]", 0, "d")]),
        (slice(3, 0, -2), [A, B], [0, B, 2, A], [("r[3]", 3, A), ("r[1]", 1, B)]),
        (slice(-1, -9, -3), [A, B], [B, 1, 2, A], [("r[3]", 3, A), ("r[0]", 0, B)]),
        (slice(0, 3, -1), [], [0, 1, 2, 3], []),
    ],
)
def test_slice_assignment(key, values, expected, updates):
    lst = made(0, 1, 2, 3)
    lst[key] = values
    assert lst == expected
    assert notified(lst) == ([[(path, lst, None, old, new) for path, old, new in updates]] if updates else [])


@pytest.mark.parametrize(
    "key, exc, message",
    [
        (slice(None, None, 2), ValueError, "attempt to assign sequence of size 1 to extended slice of size 2"),
        (slice(None, None, -1), ValueError, "attempt to assign sequence of size 1 to extended slice of size 4"),
        (slice(None, None, 0), ValueError, "slice step cannot be zero"),
        (slice(1.5, 2), TypeError, "'float' object cannot be interpreted as an integer"),
        (slice(0, "2"), TypeError, "'str' object cannot be interpreted as an integer"),
        (slice(0, 1, 2**63), OverflowError, None),
    ],
)
def test_slice_assignment_errors_change_and_adopt_nothing(key, exc, message):
    child = HostDict()
    lst = made(0, 1, 2, 3)
    with pytest.raises(exc) as e:
        lst[key] = [child]
    if message is not None:
        assert str(e.value) == message
    assert lst == [0, 1, 2, 3] and notified(lst) == [] and calls("wrap_value") == []
    assert child.sym_parent is None and child.sym_path is hs.EMPTY_KEY_PATH


def test_a_non_iterable_slice_value_is_the_interpreters_type_error():
    lst = made(0, 1)
    with pytest.raises(TypeError, match="^'int' object is not iterable$"):
        lst[0:1] = 5
    with pytest.raises(hs.WritePermissionError):
        made(0, sealed=True)[0:1] = 5  # after the gates
    assert lst == [0, 1]


def test_extended_slice_size_error_text():
    lst = made(0, 1, 2, 3)
    with pytest.raises(ValueError) as e:
        lst[::2] = [A]
    assert str(e.value) == "attempt to assign sequence of size 1 to extended slice of size 2"


def test_a_slice_value_is_adopted_once_under_the_index_it_ends_at():
    d = Traced()
    lst = made(0, 1, 2)
    hs.clear()
    lst[1:2] = [d]
    assert lst[1] is d and d.sym_parent is lst and d.sym_path == P("r[1]")
    assert calls("sym_setpath") == [(d, P("r[1]"))] and calls("sym_clone") == []
    assert [c[0] for c in calls("wrap_value")] == [d]


def test_surplus_slice_values_are_adopted_at_their_insertion_index():
    a, b = HostDict(), HostDict()
    lst = made(0, 1, 2)
    lst[1:2] = [a, b]
    assert lst == [0, a, b, 2] and (a.sym_path, b.sym_path) == (P("r[1]"), P("r[2]"))


def test_a_value_given_twice_in_a_slice_is_cloned_the_second_time():
    d = HostDict(x=1)
    lst = made(0, 1)
    lst[:] = [d, d]
    assert lst[0] is d and lst[1] is not d and lst[1] == d and lst[1].sym_path == P("r[1]")


def test_surplus_slice_values_go_in_wrapped_by_the_hosts_insertion_class(monkeypatch):
    wrapped = []
    init = hs.Insertion.__init__

    def recording(self, value):
        wrapped.append(value)
        init(self, value)

    monkeypatch.setattr(hs.Insertion, "__init__", recording)
    a, b, c = HostDict(), HostDict(), HostDict()
    lst = made(0, 1, 2)
    lst[1:2] = [a, b, c]
    assert wrapped == [b, c]  # the values past the slot, once each, after formalisation
    assert lst == [0, a, b, c, 2] and [x.sym_path for x in (a, b, c)] == [P("r[1]"), P("r[2]"), P("r[3]")]
    assert all(x.sym_parent is lst for x in (a, b, c)) and calls("sym_clone") == []


def test_a_refusing_insertion_class_stops_the_slice_with_what_it_wrote_kept(monkeypatch):
    def refuse(self, value):
        raise RuntimeError("no insertions today")

    monkeypatch.setattr(hs.Insertion, "__init__", refuse)
    lst = made(0, 1, 2)
    with pytest.raises(RuntimeError, match="no insertions today"):
        lst[0:1] = [7, 8]
    assert lst == [7, 1, 2] and notified(lst) == []


def test_every_slice_value_is_validated_before_anything_is_stored():
    lst = made(0, 1, 2, value_spec=INTS)
    with pytest.raises(TypeError, match=r"encountered <class 'str'>: x\. \(path=r\[1\]\)"):
        lst[0:2] = [5, "x"]
    assert lst == [0, 1, 2] and notified(lst) == []


def test_a_schemaful_slice_refuses_the_missing_fill():
    lst = made(0, 1, 2, value_spec=INTS)
    with pytest.raises(ValueError, match="Required value is not specified"):
        lst[0:2] = [5]
    assert lst == [5, 1, 2] and notified(lst) == []  # what was written stays, nothing was sent


def test_slice_assignment_replacing_a_child_detaches_it():
    old = HostDict()
    lst = made(old, 1)
    lst[0:1] = [2]
    assert old.sym_parent is None and old.sym_path == P("r[0]")


def test_slice_insertion_leaves_the_paths_behind_it_stale():
    child = HostDict()
    lst = made(child)
    lst[0:0] = [5]
    assert lst == [5, child] and child.sym_path == P("r[0]")


# ---------------------------------------------------------------- one child, one index

# Insertions and deletions leave the paths behind them stale, so a child's
# path alone does not tell where the list holds it: every route stores a
# clone of a child the list holds at another index.


def children(*tags):
    return made(*[HostDict(t=t) for t in tags])


def element(lst, i):
    return list.__getitem__(lst, i)


def raw(lst):
    return list.__getitem__(lst, slice(None))


def reinit(lst, items, **kwargs):
    lst.__init__(items, root_path=P("r"), **kwargs)


@pytest.mark.parametrize(
    "op, expected",
    [
        (lambda lst: lst.insert(0, element(lst, 0)), "aabc"),
        (lambda lst: lst.insert(1, element(lst, 1)), "abbc"),
        (lambda lst: lst.__setitem__(0, hs.Insertion(element(lst, 0))), "aabc"),
        (lambda lst: lst._set_item_without_permission_check(2, hs.Insertion(element(lst, 2))), "abcc"),
        (lambda lst: lst.__setitem__(slice(0, 0), [element(lst, 0)]), "aabc"),
        (lambda lst: lst.__setitem__(slice(1, 2), [HostDict(t="x"), element(lst, 2)]), "axcc"),
        # a path made stale by an insertion or a deletion
        (lambda lst: (lst.insert(0, 5), lst.__setitem__(0, element(lst, 1))), "aabc"),
        (lambda lst: (lst.insert(0, 5), lst.__setitem__(slice(0, 1), [element(lst, 1)])), "aabc"),
        (lambda lst: (lst.pop(0), lst.append(element(lst, 1))), "bcc"),
        (lambda lst: (lst.pop(0), lst.extend([element(lst, 1)])), "bcc"),
        (lambda lst: (lst.pop(0), lst._set_item_without_permission_check(9, element(lst, 1))), "bcc"),
        # a second construction appends after the elements already there
        (lambda lst: (lst.pop(0), reinit(lst, [element(lst, 1)])), "bcc"),
        (lambda lst: (lst.pop(0), reinit(lst, [element(lst, 1)], value_spec=n.List(n.Any()))), "bcc"),
        (lambda lst: (lst.pop(0), reinit(lst, [element(lst, 1)], value_spec=n.List(n.Any()), pass_through=True)), "bcc"),
    ],
    ids=["insert-front", "insert-middle", "insertion-item", "core-insertion", "slice-insert", "slice-surplus",
         "stale-item", "stale-slice", "append", "extend", "core-append", "construct", "construct-spec",
         "construct-pass-through"],
)
def test_a_list_never_holds_one_child_at_two_indices(op, expected):
    lst = children("a", "b", "c")
    op(lst)
    stored = [e for e in raw(lst) if isinstance(e, HostDict)]
    assert "".join(e["t"] for e in stored) == expected
    assert len({id(e) for e in stored}) == len(stored)
    assert all(e.sym_parent is lst for e in stored)


def test_an_inserted_copy_is_cloned_and_the_others_keep_their_paths():
    lst = children("a", "b")
    first = element(lst, 0)
    lst.insert(0, first)
    clone = element(lst, 0)
    assert clone is not first and clone == first and clone.sym_path == P("r[0]") and clone.sym_parent is lst
    # The shifted children are not re-pathed.
    assert element(lst, 1) is first and first.sym_path == P("r[0]") and element(lst, 2).sym_path == P("r[1]")


def test_public_calls_cannot_make_a_list_contain_itself():
    lst = children("a")
    lst.insert(0, lst[0])
    lst[0] = 5  # detaches only what index 0 held
    assert element(lst, 1).sym_parent is lst
    with pytest.raises(ValueError, match=r"^Inserting 'HostList' at path 'r\[0\]\.loop' would create a cycle"):
        lst[1]["loop"] = lst
    assert "loop" not in element(lst, 1)


@pytest.mark.parametrize(
    "op",
    [
        lambda lst: lst.__setitem__(slice(0, 2), [element(lst, 0), element(lst, 1)]),
        lambda lst: lst.__setitem__(slice(None), raw(lst)),
        lambda lst: lst.__setitem__(slice(1, 2), [element(lst, 1)]),
    ],
    ids=["head", "whole", "one"],
)
def test_a_child_written_back_at_its_own_index_stays_in_place(op):
    lst = children("a", "b")
    before = raw(lst)
    op(lst)
    assert all(x is y for x, y in zip(raw(lst), before)) and notified(lst) == [] and calls("sym_clone") == []


@pytest.mark.parametrize(
    "shift, index, same",
    [(False, 0, True), (True, 0, False), (True, 1, False), (False, 2**70, False), (False, "0", False)],
)
def test_the_seams_keep_a_child_in_place_only_at_its_own_index(shift, index, same):
    lst = children("a", "b")
    first = element(lst, 0)
    if shift:
        lst.insert(0, 5)  # `first` moves to index 1 and keeps the path r[0]
    for seam in (lst._relocate_if_symbolic, lst._formalized_value):
        hs.clear()
        out = seam(index, first)
        assert (out is first) == same and (calls("sym_clone") == []) == same
        assert first.sym_parent is lst and element(lst, int(shift)) is first


# ---------------------------------------------------------------- leaks

LEAK_SPEC = n.List(n.Any())


@pytest.mark.parametrize(
    "op, spec, raises",
    [
        (lambda lst: lst.__setitem__(0, HostDict()), None, ()),
        (lambda lst: lst.__setitem__(-1, [1]), LEAK_SPEC, ()),
        (lambda lst: lst.__setitem__(0, hs.Insertion("x")), None, ()),
        (lambda lst: lst.__setitem__(slice(1, 2), [HostDict(), "b", "c"]), LEAK_SPEC, ()),
        (lambda lst: lst.__setitem__(slice(0, 3), ["a"]), None, ()),
        (lambda lst: lst.__setitem__(slice(None, None, -2), ["a", "b"]), None, ()),
        (lambda lst: lst.__delitem__(1), LEAK_SPEC, ()),
        (lambda lst: lst._set_item_without_permission_check(9, "z"), None, ()),
        (lambda lst: lst.__setitem__(slice(None, None, 2), ["a"]), None, ValueError),
        (lambda lst: lst.__setitem__(slice(0, 3), ["a"]), LEAK_SPEC, ValueError),
        (lambda lst: lst.__setitem__(9, 1), None, IndexError),
        (lambda lst: lst.__delitem__(slice(0, 1)), None, TypeError),
    ],
    ids=["child", "negative", "insertion", "grow", "fill", "reverse", "delete", "core", "size", "refused-fill",
         "index", "del-slice"],
)
def test_no_growth_over_writes(op, spec, raises):
    assert block_growth(leak_round(rebuilt(op, spec, raises)), rounds=10_000) < 200


def test_no_growth_over_refused_writes():
    lst = HostList([1], sealed=True)
    assert block_growth(leak_round(swallow(lambda: lst.__setitem__(0, 2))), rounds=10_000) < 200
    assert block_growth(leak_round(swallow(lambda: lst.__delitem__(0))), rounds=10_000) < 200


# ---------------------------------------------------------------- faults


def test_native_faults_surface_as_panics():
    lst = made(1)
    with pytest.raises(norv_core.PanicException, match="^Already"):
        probe.holding(lst, True, lambda: lst.__setitem__(0, 2))
    assert lst == [1]


def test_signatures():
    import inspect

    expected = {
        "_set_item_without_permission_check": "(self, /, key, value)",
        "delete_and_notify": "(self, /, i)",
        "_formalized_value": "(self, /, idx, value, seen=None)",
    }
    assert {name: str(inspect.signature(getattr(n.SymList, name))) for name in expected} == expected


def test_traced_list_children():
    inner = TracedList()
    lst = made(1)
    lst[0] = inner
    assert inner.sym_parent is lst and calls("sym_setparent") == [(inner, lst)]
