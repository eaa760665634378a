"""The list methods of SymList: their seal and size checks, what they write
through the core write or the deletion tail, their one notification per
call, the storage-only `clear`, `sort` and `reverse`, and the new lists of
`copy`, `+` and `*`."""

import copy
import inspect
import os
import pickle

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from host_calls import calls, fresh_host, leak_round  # noqa: F401 (a fixture)
from leakcheck import block_growth, swallow
from list_calls import made, notified, rebuilt
from traced import blank

norv_host.install()
pytestmark = pytest.mark.usefixtures("fresh_host")
probe = n._testing
HostList, HostDict, KeyPath = hs.HostList, hs.HostDict, n.KeyPath
P = KeyPath.parse
MISSING = hs.MISSING_VALUE
INTS = n.List(n.Int())


def raw(lst):
    return list.__getitem__(lst, slice(None))


# ---------------------------------------------------------------- the seal

SEALED = {
    "append": "Cannot append element on a sealed List.",
    "insert": "Cannot insert element into a sealed List.",
    "extend": "Cannot extend a sealed List.",
    "pop": "Cannot delete item from a sealed List.",
    "remove": "Cannot delete item from a sealed List.",
    "clear": "Cannot clear a sealed List.",
    "sort": "Cannot sort a sealed List.",
    "reverse": "Cannot reverse a sealed List.",
}

CALLS = {
    "append": lambda lst: lst.append(9),
    "insert": lambda lst: lst.insert(0, 9),
    "extend": lambda lst: lst.extend([9]),
    "pop": lambda lst: lst.pop(),
    "remove": lambda lst: lst.remove(2),
    "clear": lambda lst: lst.clear(),
    "sort": lambda lst: lst.sort(),
    "reverse": lambda lst: lst.reverse(),
}


@pytest.mark.parametrize("name", list(SEALED))
def test_a_sealed_list_refuses_with_the_bare_text(name):
    lst = made(2, 1, sealed=True)
    with pytest.raises(hs.WritePermissionError) as e:
        CALLS[name](lst)
    assert str(e.value) == SEALED[name]
    assert calls("message_on_path") == [] and raw(lst) == [2, 1] and notified(lst) == []


@pytest.mark.parametrize("name", list(SEALED))
def test_the_sealed_scope_overrides_the_node(name):
    lst = made(2, 1, sealed=True)
    n._flag_scope_set(n._FLAG_SEALED, False)
    CALLS[name](lst)
    n._flag_scope_set(n._FLAG_SEALED, True)
    with pytest.raises(hs.WritePermissionError, match=SEALED[name]):
        CALLS[name](made(2, 1))


@pytest.mark.parametrize("name", [name for name in SEALED if name != "remove"])
def test_only_remove_consults_accessor_writability(name):
    lst = made(2, 1, accessor_writable=False)
    CALLS[name](lst)
    with pytest.raises(hs.WritePermissionError) as e:
        made(2, 1, accessor_writable=False).remove(2)
    assert str(e.value) == (
        "Cannot delete List item while accessor_writable is set to False. Use 'sym_rebind' method instead. (path=r)"
    )


# ---------------------------------------------------------------- append, insert, extend


def test_append_writes_at_the_end_and_notifies_once():
    lst, child = made(1), HostDict()
    lst.append(child)
    assert raw(lst) == [1, child] and child.sym_parent is lst and child.sym_path == P("r[1]")
    assert notified(lst) == [[("r[1]", lst, None, MISSING, child)]]


def test_appending_the_missing_value_changes_nothing():
    lst = made(1)
    assert lst.append(MISSING) is None
    assert raw(lst) == [1] and notified(lst) == []


@pytest.mark.parametrize(
    "index, expected, path",
    [(0, ["x", 1, 2], "r[0]"), (1, [1, "x", 2], "r[1]"), (-1, [1, "x", 2], "r[-1]"), (2, [1, 2, "x"], "r[2]"),
     (9, [1, 2, "x"], "r[2]"), (-9, ["x", 1, 2], "r[-9]")],
)
def test_insert_goes_before_the_index(index, expected, path):
    lst = made(1, 2)
    lst.insert(index, "x")
    assert raw(lst) == expected and notified(lst) == [[(path, lst, None, MISSING, "x")]]


def test_insert_wraps_the_value_in_the_bridges_insertion_class(run_py):
    out = run_py(
        """
from norv_core import _native as n
from norv_host import symbolic as hs, typing as ht
ht.install()
class Recording(hs.Insertion):
    def __init__(self, value):
        print("wrapped", value)
        super().__init__(value)
n._install_container_bridge(**hs.HANDLES)
n._install_list_bridge(Recording)
lst = hs.HostList([1, 2])
lst.insert(1, "x")
print(list.__getitem__(lst, slice(None)))
"""
    )
    assert out.splitlines() == ["wrapped x", "[1, 'x', 2]"]


def test_extend_sends_one_notification_for_all_its_updates():
    lst = made(0, 1)
    lst.extend([1, 2, 3])
    assert raw(lst) == [0, 1, 1, 2, 3]
    assert notified(lst) == [[("r[2]", lst, None, MISSING, 1), ("r[3]", lst, None, MISSING, 2),
                              ("r[4]", lst, None, MISSING, 3)]]


@pytest.mark.parametrize(
    "other, expected",
    [((1, 2), [1, 2]), (iter([3]), [3]), ("ab", ["a", "b"]), ({"k": 1}, ["k"]), ([], []),
     ([MISSING, 1, MISSING], [1])],
)
def test_extend_takes_any_iterable(other, expected):
    lst = made()
    lst.extend(other)
    assert raw(lst) == expected
    assert notified(lst) == ([[(f"r[{i}]", lst, None, MISSING, v) for i, v in enumerate(expected)]]
                             if expected else [])


def test_extend_takes_a_symbolic_lists_elements_as_stored():
    inferred = hs.Inferred(5)

    class Source(HostList):
        def __iter__(self):
            raise AssertionError("a symbolic source is read from its storage")

    source = Source()
    list.extend(source, [1, inferred])
    lst = made()
    lst.extend(source)
    assert raw(lst) == [1, inferred] and calls("infer") == []
    lst.extend(lst)
    assert raw(lst) == [1, inferred, 1, inferred]


def test_extend_gathers_every_value_before_writing_any():
    def values():
        yield 1
        raise LookupError("during iteration")

    lst = made(0)
    with pytest.raises(LookupError):
        lst.extend(values())
    with pytest.raises(TypeError, match="^'int' object is not iterable$"):
        lst.extend(5)
    assert raw(lst) == [0] and notified(lst) == []


def test_a_failing_write_keeps_the_earlier_ones_and_sends_nothing():
    lst = made(0, value_spec=INTS)
    with pytest.raises(TypeError, match=r"encountered <class 'str'>: x\. \(path=r\[2\]\)"):
        lst.extend([1, "x", 2])
    assert raw(lst) == [0, 1] and notified(lst) == []


def test_writes_validate_against_the_element_field():
    lst = made(value_spec=n.List(n.Float()))
    lst.append(1)
    lst.insert(0, 2)
    lst.extend([3])
    assert raw(lst) == [2.0, 1.0, 3.0] and all(type(v) is float for v in raw(lst))
    assert [u[0][2] for u in notified(lst)] == [lst.value_spec.element] * 3


# ---------------------------------------------------------------- the size limits


def test_append_and_insert_stop_at_the_max_size():
    lst = made(1, 2, value_spec=n.List(n.Int(), max_size=3))
    lst.append(3)
    for call in (lambda: lst.append(4), lambda: lst.insert(0, 4)):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == "List reached its max size 3."
    assert raw(lst) == [1, 2, 3] and len(notified(lst)) == 1


def test_extend_beyond_the_max_size_is_refused_before_anything_is_written():
    lst = made(1, 2, value_spec=n.List(n.Int(), max_size=3))
    with pytest.raises(ValueError) as e:
        lst.extend([3, 4])
    assert str(e.value) == "Cannot extend List: the number of elements (4) exceeds max size (3)."
    assert raw(lst) == [1, 2] and notified(lst) == []
    lst.extend([3])
    lst.extend([])
    assert raw(lst) == [1, 2, 3]


def test_the_checks_come_in_order():
    full = made(1, value_spec=n.List(n.Int(), max_size=1), sealed=True)
    with pytest.raises(hs.WritePermissionError):
        full.append(2)  # the seal before the size
    with pytest.raises(hs.WritePermissionError):
        full.extend(5)  # the seal before the gathering
    with pytest.raises(TypeError, match="^argument 'index'"):
        full.insert("0", 1)  # the arguments first


@pytest.mark.parametrize(
    "spec, exc",
    [
        (type("Spec", (), {"element": property(lambda s: 1 / 0)})(), ZeroDivisionError),
        (type("Spec", (), {"element": None})(), AttributeError),
    ],
)
def test_a_failing_size_read_propagates(spec, exc):
    lst = made(1)
    lst._value_spec = spec
    for call in (lambda: lst.append(2), lambda: lst.extend([2])):
        with pytest.raises(exc):
            call()
    assert raw(lst) == [1]


# ---------------------------------------------------------------- pop and remove


@pytest.mark.parametrize("index, position, value", [((), 2, 3), ((0,), 0, 1), ((-2,), 1, 2), ((True,), 1, 2)])
def test_pop_removes_and_reports_the_position(index, position, value):
    lst = made(1, 2, 3, value_spec=INTS)
    assert lst.pop(*index) == value
    assert notified(lst) == [[(f"r[{position}]", lst, INTS.element, value, MISSING)]]


def test_pop_returns_the_resolved_element_and_reports_it_raw():
    inferred = hs.Inferred(5)
    lst = made(1, inferred)
    assert lst.pop(index=-1) == 5 and raw(lst) == [1]
    assert notified(lst) == [[("r[1]", lst, None, inferred, MISSING)]]


@pytest.mark.parametrize("items, index", [((), -1), ((), 0), ((1, 2), 2), ((1, 2), -3)])
@pytest.mark.parametrize("sealed", [False, True])
def test_pop_outside_the_list_is_an_index_error_before_the_seal(items, index, sealed):
    lst = made(*items, sealed=sealed)
    with pytest.raises(IndexError) as e:
        lst.pop(index)
    assert str(e.value) == "pop index out of range"


def test_pop_has_no_min_size_and_keeps_the_childs_parent():
    child = HostDict()
    lst = made(child, value_spec=n.List(n.Any(), min_size=1))
    assert lst.pop() is child and child.sym_parent is lst and child.sym_path == P("r[0]")


def test_remove_takes_the_first_equal_element():
    lst = made(1, 2, 1, value_spec=INTS)
    lst.remove(1)
    assert raw(lst) == [2, 1] and notified(lst) == [[("r[0]", lst, INTS.element, 1, MISSING)]]


class Eq:
    """Records which side its `==` was asked from."""

    def __init__(self, name, equal=False):
        self.name, self.equal = name, equal

    def __eq__(self, other):
        hs.calls.append(("eq", self.name, getattr(other, "name", other)))
        return self.equal

    __hash__ = None


def test_remove_compares_stored_on_the_left_and_stops_at_the_first_match():
    lst = made(Eq("a"), Eq("b", equal=True), Eq("c", equal=True))
    lst.remove("x")
    assert calls("eq") == [("a", "x"), ("b", "x")] and [e.name for e in raw(lst)] == ["a", "c"]


@pytest.mark.parametrize("sealed", [False, True])
def test_removing_an_absent_value(sealed):
    lst = made(1, 2, sealed=sealed)
    with pytest.raises(ValueError) as e:
        lst.remove("x")
    assert str(e.value) == "'x' not in list."


def test_remove_at_the_min_size_comes_before_the_permission_error():
    lst = made(1, 2, value_spec=n.List(n.Int(), min_size=2), sealed=True)
    with pytest.raises(ValueError) as e:
        lst.remove(1)
    assert str(e.value) == "Cannot remove item: min size (2) is reached."
    above = made(1, 2, 3, value_spec=n.List(n.Int(), min_size=2))
    above.remove(3)
    assert raw(above) == [1, 2]


def test_an_error_of_equality_propagates():
    class Bad:
        def __eq__(self, other):
            raise LookupError("eq")

    lst = made(Bad())
    with pytest.raises(LookupError):
        lst.remove(1)


# ---------------------------------------------------------------- clear, sort, reverse


def test_clear_sort_and_reverse_report_nothing_and_leave_the_paths():
    a, b = HostDict(k=2), HostDict(k=1)
    lst = made(a, b)
    lst.reverse()
    assert raw(lst) == [b, a] and (a.sym_path, b.sym_path) == (P("r[0]"), P("r[1]"))
    lst.sort(key=lambda d: d["k"], reverse=True)
    assert raw(lst) == [a, b]
    lst.clear()
    assert raw(lst) == [] and a.sym_parent is lst and b.sym_parent is lst
    assert calls("_notify_field_updates") == []


@pytest.mark.parametrize(
    "kwargs, expected",
    [({}, [1, 2, 3]), ({"reverse": True}, [3, 2, 1]), ({"key": lambda v: -v}, [3, 2, 1]),
     ({"key": None, "reverse": False}, [1, 2, 3])],
)
def test_sort_takes_the_base_lists_keywords(kwargs, expected):
    lst = made(2, 3, 1)
    lst.sort(**kwargs)
    assert raw(lst) == expected


def test_sort_is_the_base_lists_even_when_a_subclass_overrides_it():
    class Own(HostList):
        def sort(self, *, key=None, reverse=False):
            raise AssertionError("not re-entered")

    lst = Own([2, 1])
    n.SymList.sort(lst)
    assert raw(lst) == [1, 2]


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda lst: lst.sort(1), TypeError, r"sort\(\) takes 1 positional argument but 2 were given"),
        (lambda lst: lst.sort(reverse=1), TypeError, r"^argument 'reverse'"),
        (lambda lst: lst.sort(cmp=1), TypeError, r"unexpected keyword argument 'cmp'"),
        (lambda lst: lst.sort(key=1), TypeError, r"'int' object is not callable"),
        (lambda lst: lst.sort(key=lambda v: 1 / 0), ZeroDivisionError, "division by zero"),
    ],
)
def test_sort_errors(call, exc, match):
    lst = made(2, 1)
    with pytest.raises(exc, match=match):
        call(lst)


def test_clear_refuses_a_positive_min_size():
    lst = made()
    lst._value_spec = n.List(n.Int(), min_size=1)
    with pytest.raises(ValueError) as e:
        lst.clear()
    assert str(e.value) == "List cannot be cleared: min size is 1."
    made(1, value_spec=n.List(n.Int(), min_size=0)).clear()


def test_notification_off_writes_and_sends_nothing():
    lst = made(3, 1, 2)
    n._flag_scope_set(n._FLAG_CHANGE_NOTIFICATION, False)
    lst.append(4)
    lst.insert(0, 0)
    lst.extend([5])
    lst.pop()
    lst.remove(0)
    assert raw(lst) == [3, 1, 2, 4] and calls("_notify_field_updates") == []


def test_a_handler_error_reaches_the_caller_after_the_write():
    class Failing(HostList):
        def _notify_field_updates(self, updates):
            raise RuntimeError("handler")

    lst = Failing([1])
    for call in (lambda: lst.append(2), lambda: lst.extend([3, 4]), lambda: lst.pop(0)):
        with pytest.raises(RuntimeError, match="handler"):
            call()
    assert raw(lst) == [2, 3, 4]


# ---------------------------------------------------------------- a blank list, pickling


def test_extend_on_a_list_with_no_path_does_its_work():
    lst = blank(HostList)
    lst.extend([1, HostDict()])
    assert raw(lst)[0] == 1 and raw(lst)[1].sym_parent is lst and len(notified(lst)) == 1
    with pytest.raises(TypeError, match="not iterable"):
        blank(HostList).extend(5)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_keeps_the_elements(protocol):
    lst = HostList([1, "a", None, [2, 3]], root_path=P("r"))
    back = pickle.loads(pickle.dumps(lst, protocol=protocol))
    assert type(back) is HostList and raw(back) == [1, "a", None, [2, 3]]


# ---------------------------------------------------------------- copy, + and *


def test_copy_is_a_new_list_of_the_class_with_the_spec():
    class Sub(HostList):
        pass

    child = HostDict(a=1)
    lst = Sub([1, child], value_spec=n.List(n.Any()), root_path=P("r"))
    hs.clear()
    copied = lst.copy()
    assert type(copied) is Sub and copied.value_spec is lst.value_spec and copied == lst
    assert raw(copied)[1] is not child and raw(copied)[1].sym_parent is copied and child.sym_parent is lst
    assert copied.sym_path == hs.EMPTY_KEY_PATH and notified(lst) == []
    assert made(1).copy().value_spec is None


def test_copy_calls_the_class_with_value_spec():
    class Recording(HostList):
        def __init__(self, *args, **kwargs):
            hs.calls.append(("init", args, kwargs))
            super().__init__(*args, **kwargs)

    lst = Recording([1, 2], value_spec=INTS)
    hs.clear()
    lst.copy()
    assert calls("init") == [(([1, 2],), {"value_spec": INTS})]


def test_add_copies_then_extends_through_the_python_method():
    class Recording(HostList):
        def extend(self, other):
            hs.calls.append(("extend", list(other)))
            super().extend(other)

    lst = Recording([1], value_spec=INTS)
    total = lst + (2, 3)
    assert type(total) is Recording and raw(total) == [1, 2, 3] and total.value_spec is INTS
    assert calls("extend") == [([2, 3],)] and raw(lst) == [1]


def test_add_with_a_plain_list_on_the_left_is_the_base_lists():
    lst = made(1)
    total = [0] + lst
    assert type(total) is list and total == [0, 1]


@pytest.mark.parametrize("right, exc", [(5, TypeError), (None, TypeError)])
def test_add_of_a_non_iterable(right, exc):
    with pytest.raises(exc):
        made(1) + right


def test_add_keeps_the_max_size():
    with pytest.raises(ValueError, match=r"the number of elements \(3\) exceeds max size \(2\)"):
        HostList([1], value_spec=n.List(n.Int(), max_size=2)) + [2, 3]


class Recorded(HostList):
    """Records its Python `extend` and `use_value_spec` calls."""

    def extend(self, other):
        hs.calls.append(("extend", self, raw(other)))
        super().extend(other)

    def use_value_spec(self, value_spec, allow_partial=False):
        hs.calls.append(("use_value_spec", raw(self), value_spec))
        return super().use_value_spec(value_spec, allow_partial)


@pytest.mark.parametrize("times", [0, 1, 3, -2, True])
def test_multiply_extends_then_binds(times):
    lst = Recorded([1, 2], value_spec=INTS)
    hs.clear()
    for result in (lst * times, times * lst):
        assert type(result) is Recorded and raw(result) == [1, 2] * times and result.value_spec is INTS
    count = max(int(times), 0)
    assert [c[1] for c in calls("extend")] == [[1, 2]] * count * 2
    assert calls("use_value_spec") == [([1, 2] * times, INTS)] * 2


def test_multiply_of_a_schemaless_list_binds_nothing():
    lst = made(1)
    assert lst * 2 == [1, 1] and 2 * lst == [1, 1] and calls("use_value_spec") == []


class Made(Recorded):
    """Records its constructions too."""

    def __init__(self, *args, **kwargs):
        hs.calls.append(("init",))
        super().__init__(*args, **kwargs)


HUGE = [2**62, 2**63 - 1]


@pytest.mark.parametrize("count", HUGE)
@pytest.mark.parametrize("spec", [None, INTS])
def test_an_empty_list_times_a_huge_count_answers_at_once(count, spec):
    lst = Recorded(value_spec=spec)
    hs.clear()
    for result in (lst * count, count * lst):
        assert type(result) is Recorded and raw(result) == [] and result.value_spec is spec
    assert calls("extend") == [] and calls("use_value_spec") == ([([], INTS)] * 2 if spec else [])


@pytest.mark.parametrize("count", [-1, -(2**63)])
def test_a_count_at_or_below_zero_answers_at_once(count):
    lst = Recorded([1, HostDict()], value_spec=n.List(n.Any()))
    hs.clear()
    assert raw(lst * count) == [] and raw(count * lst) == [] and calls("extend") == []


@pytest.mark.parametrize(
    "items, count",
    [([1], 2**62), ([1], 2**63 - 1), ([1, 2], 2**62), ([1, 2, 3, 4], 2**61), ([HostDict()], 2**62)],
)
def test_a_result_whose_length_overflows_is_refused_before_anything_is_made(items, count):
    lst = Made(items, value_spec=n.List(n.Any()))
    hs.clear()
    for op in (lambda: lst * count, lambda: count * lst):
        with pytest.raises(MemoryError):
            op()
    assert [c[0] for c in hs.calls] == []  # no construction, extension, binding or clone
    with pytest.raises(MemoryError):
        list(items) * count  # as the base list refuses it


def test_in_place_repetition_by_a_huge_count_is_refused_and_changes_nothing():
    lst = made(1)
    alias = lst
    with pytest.raises(MemoryError):
        lst *= 2**62
    assert lst is alias and raw(lst) == [1] and notified(lst) == []
    empty = made()
    empty *= 2**62
    assert type(empty) is HostList and raw(empty) == []


@pytest.mark.parametrize("count", [2**59, 10**17])
def test_a_result_the_allocator_cannot_give_is_refused(run_py, count):
    # Storage of 4 EiB or more: no machine's address space holds it.
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "allocator_may_return_null=1"]))
    out = run_py(
        f"""
import norv_host
from norv_host import symbolic as hs
norv_host.install()
for make in (lambda: [1], lambda: hs.HostList([1]), lambda: hs.HostList([hs.HostDict()])):
    try:
        make() * {count}
    except MemoryError:
        print("MemoryError", end=" ")
print(hs.calls.count(("sym_clone",)))
""",
        env={"ASAN_OPTIONS": asan},
    )
    assert out.split() == ["MemoryError"] * 3 + ["0"]


class Count:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize("operand", [2.0, Count(LookupError("index")), 2**70, None, {}])
@pytest.mark.parametrize("reflected", [False, True])
def test_multiply_by_what_does_not_convert_is_not_the_lists(operand, reflected):
    lst = made(1)
    # A host class that defines `*` has no sequence repeat to fall back on.
    with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for \*: "):
        operand * lst if reflected else lst * operand
    assert calls("_notify_field_updates") == []


def test_the_native_class_falls_back_on_the_base_lists_repeat():
    with pytest.raises(TypeError, match="^can't multiply sequence by non-int of type 'float'$"):
        n.SymList() * 2.0


def test_multiply_by_an_index_object():
    assert made(1) * Count(2) == [1, 1] and Count(2) * made(1) == [1, 1]


def test_an_interrupt_of_the_count_conversion_passes():
    with pytest.raises(KeyboardInterrupt):
        made(1) * Count(KeyboardInterrupt("stop"))


def test_two_lists_do_not_multiply():
    with pytest.raises(TypeError):
        made(1) * made(2)


def test_multiply_elements_are_cloned_when_symbolic():
    child = HostDict()
    lst = made(child)
    twice = lst * 2
    assert all(e is not child and e.sym_parent is twice for e in raw(twice))
    assert [str(e.sym_path) for e in raw(twice)] == ["[0]", "[1]"]


# ---------------------------------------------------------------- copies of padded slots


def padded():
    """[9, MISSING, MISSING, child]: a slice assignment pads the slots it empties."""
    lst = made(1, 2, 3, HostDict(t=4))
    lst[0:3] = [9]
    hs.clear()
    return lst


def multiplied_in_place(lst):
    lst *= 1
    return lst


def extended(lst):
    out = HostList()
    out.extend(lst)
    return out


COPIES = {
    "copy": lambda lst: lst.copy(),
    "copy.copy": copy.copy,
    "copy.deepcopy": copy.deepcopy,
    **{f"pickle-{p}": lambda lst, p=p: pickle.loads(pickle.dumps(lst, protocol=p)) for p in range(2, pickle.HIGHEST_PROTOCOL + 1)},
    "add": lambda lst: lst + [],
    "add-right": lambda lst: made() + lst,
    "multiply": lambda lst: lst * 1,
    "multiply-reflected": lambda lst: 1 * lst,
    "multiply-in-place": multiplied_in_place,
    "extend": extended,
    "sym_clone": lambda lst: lst.sym_clone(),
}


@pytest.mark.parametrize("route", list(COPIES))
def test_a_copy_keeps_the_missing_elements(route):
    lst = padded()
    child = raw(lst)[3]
    out = COPIES[route](lst)
    assert type(out) is HostList and out is not lst and len(out) == 4
    assert raw(out)[:3] == [9, MISSING, MISSING] and all(type(e) is type(MISSING) for e in raw(out)[1:3])
    assert raw(out)[3] == child and raw(out)[3] is not child and raw(out)[3].sym_parent is out
    assert str(raw(out)[3].sym_path) == "[3]"
    assert raw(lst) == [9, MISSING, MISSING, child] and child.sym_parent is lst


def test_twice_a_padded_list_repeats_its_slots():
    for twice in (padded() * 2, 2 * padded()):
        assert len(twice) == 8 and raw(twice)[:3] == raw(twice)[4:7] == [9, MISSING, MISSING]
        assert [str(e.sym_path) for e in raw(twice) if isinstance(e, HostDict)] == ["[3]", "[7]"]


def test_a_copy_offers_a_padded_slot_to_the_class_as_the_insertion_of_the_missing_value():
    class Recording(HostList):
        def __init__(self, *args, **kwargs):
            hs.calls.append(("init", [(type(e).__name__, getattr(e, "value", e)) for e in args[0]] if args else None))
            super().__init__(*args, **kwargs)

    lst = Recording([1, 2])
    lst[0:2] = [5]
    hs.clear()
    out = lst.copy()
    assert calls("init") == [([("int", 5), ("Insertion", MISSING)],)] and raw(out) == [5, MISSING]


def test_a_copy_with_a_bound_spec_validates_the_missing_elements():
    lst = made(1, 2, value_spec=INTS, allow_partial=True)
    lst[0:2] = [5]
    with pytest.raises(ValueError, match="Required value is not specified"):
        lst.copy()
    n._flag_scope_set(n._FLAG_ALLOW_PARTIAL, True)
    out = lst.copy()
    assert raw(out) == [5, MISSING] and out.value_spec is INTS


@pytest.mark.parametrize(
    "op, expected",
    [
        (lambda lst: lst.extend([MISSING, 2]), [1, 2]),
        (lambda lst: lst.extend((e for e in [2, MISSING])), [1, 2]),
        (lambda lst: lst.append(MISSING), [1]),
        (lambda lst: lst.__init__([1, MISSING, 2]), [1, 1, 2]),
    ],
    ids=["extend-list", "extend-iterable", "append", "construct"],
)
def test_a_missing_value_given_by_the_caller_is_still_skipped(op, expected):
    lst = made(1)
    op(lst)
    assert raw(lst) == expected


def test_a_blank_list_takes_every_element_it_is_rebuilt_from():
    lst = blank(HostList)
    lst.append(MISSING)
    lst.extend([1, MISSING])
    assert raw(lst) == [MISSING, 1, MISSING]


# ---------------------------------------------------------------- the inherited C-level writers


def test_in_place_add_on_a_host_class_is_the_base_lists():
    # Left as `list` has it: the host class overrides it.
    lst = made(1, sealed=True)
    alias = lst
    lst += [2]
    assert lst is alias and raw(lst) == [1, 2] and notified(lst) == []


# ---------------------------------------------------------------- holds, arguments, signatures


@pytest.mark.parametrize("name", list(CALLS))
def test_a_held_list_is_an_internal_fault(name):
    lst = made(2, 1)
    with pytest.raises(norv_core.PanicException, match="^Already"):
        probe.holding(lst, True, lambda: CALLS[name](lst))


@pytest.mark.parametrize(
    "call, match",
    [
        (lambda lst: lst.append(), r"append\(\) missing 1 required positional argument: 'value'"),
        (lambda lst: lst.insert(0), r"insert\(\) missing 1 required positional argument: 'value'"),
        (lambda lst: lst.insert(1.0, 2), r"^argument 'index': 'float' object cannot be interpreted as an integer$"),
        (lambda lst: lst.extend(other=[1], x=2), r"extend\(\) got an unexpected keyword argument 'x'"),
        (lambda lst: lst.pop("0"), r"^argument 'index': 'str' object cannot be interpreted as an integer$"),
        (lambda lst: lst.pop(0, 1), r"pop\(\) takes from 1 to 2 positional arguments but 3 were given"),
        (lambda lst: lst.remove(), r"remove\(\) missing 1 required positional argument: 'value'"),
        (lambda lst: lst.clear(1), r"takes no arguments \(1 given\)"),
        (lambda lst: lst.reverse(x=1), r"takes no keyword arguments"),
        (lambda lst: lst.copy(1), r"takes no arguments \(1 given\)"),
    ],
)
def test_argument_errors(call, match):
    lst = made(1, 2)
    with pytest.raises(TypeError, match=match):
        call(lst)
    assert raw(lst) == [1, 2]


def test_keyword_arguments():
    lst = made(1, 2)
    lst.append(value=3)
    lst.insert(index=0, value=0)
    lst.extend(other=[4])
    assert lst.pop(index=0) == 0
    lst.remove(value=4)
    assert raw(lst) == [1, 2, 3]


def test_signatures():
    expected = {
        "append": "(self, /, value)",
        "insert": "(self, /, index, value)",
        "extend": "(self, /, other)",
        "pop": "(self, /, index=-1)",
        "remove": "(self, /, value)",
        "clear": "(self, /)",
        "sort": "(self, /, *, key=None, reverse=False)",
        "reverse": "(self, /)",
        "copy": "(self, /)",
    }
    assert {name: str(inspect.signature(getattr(n.SymList, name))) for name in expected} == expected
    for name in expected:
        assert getattr(HostList, name).__objclass__ is n.SymList
    assert HostList.__add__.__objclass__ is n.SymList and HostList.__rmul__.__objclass__ is n.SymList


# ---------------------------------------------------------------- no growth

SPEC = n.List(n.Any(), min_size=0, max_size=99)


def emptied(lst):
    """`lst` with its first slot padded with the missing value."""
    lst[0:1] = []
    assert raw(lst)[0] is MISSING
    return lst


@pytest.mark.parametrize(
    "op, spec, raises, kwargs",
    [
        (lambda lst: lst.append(HostDict()), SPEC, (), {}),
        (lambda lst: lst.append(MISSING), None, (), {}),
        (lambda lst: lst.insert(1, [1]), SPEC, (), {}),
        (lambda lst: lst.extend([1, HostDict(), "x"]), SPEC, (), {}),
        (lambda lst: lst.extend(HostList([1, hs.Inferred(2)])), None, (), {}),
        (lambda lst: lst.pop(), SPEC, (), {}),
        (lambda lst: lst.pop(1), None, (), {}),
        (lambda lst: lst.remove(1), SPEC, (), {}),
        (lambda lst: lst.clear(), SPEC, (), {}),
        (lambda lst: lst.sort(key=str, reverse=True), None, (), {}),
        (lambda lst: lst.reverse(), SPEC, (), {}),
        (lambda lst: lst.copy(), SPEC, (), {}),
        (lambda lst: lst + [4], SPEC, (), {}),
        (lambda lst: 2 * lst, SPEC, (), {}),
        (lambda lst: lst * 0, None, (), {}),
        (lambda lst: lst.append(1), SPEC, hs.WritePermissionError, {"sealed": True}),
        (lambda lst: lst.extend([1] * 99), SPEC, ValueError, {}),
        (lambda lst: lst.extend([1, "x"]), INTS, TypeError, {"elements": lambda: [3, 1]}),
        (lambda lst: lst.pop(9), SPEC, IndexError, {}),
        (lambda lst: lst.remove("absent"), SPEC, ValueError, {}),
        (lambda lst: lst.remove(1), SPEC, hs.WritePermissionError, {"accessor_writable": False}),
        (lambda lst: lst.clear(), n.List(n.Any(), min_size=1), ValueError, {}),
        (lambda lst: lst * 2.0, None, TypeError, {}),
        (lambda lst: lst * 2**62, None, MemoryError, {}),
        (lambda lst: emptied(lst).copy(), None, (), {}),
        (lambda lst: emptied(lst) * 2, None, (), {}),
        (lambda lst: HostList().extend(emptied(lst)), None, (), {}),
        (lambda lst: lst.insert(0, raw(lst)[1]), None, (), {}),
    ],
)
def test_no_growth_over_mutators(op, spec, raises, kwargs):
    kwargs.setdefault("elements", lambda: [3, HostDict(), 1])
    assert block_growth(leak_round(rebuilt(op, spec, raises, **kwargs)), rounds=10_000) < 200


@pytest.mark.parametrize("padded", [False, True])
def test_no_growth_over_pickling(padded):
    lst = HostList([1, HostDict(), [2]])
    if padded:
        emptied(lst)
    assert block_growth(leak_round(lambda: pickle.loads(pickle.dumps(lst, protocol=5))), rounds=10_000) < 200
