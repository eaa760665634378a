"""The reads of SymList: the resolving item read and iteration, the raw
element reads and tests, the snapshot listings, and the facts of the bound
spec (`max_size`, `sym_attr_field`)."""

import inspect

import pytest

import norv_core
import norv_host
from norv_core import _native as n
from norv_host import symbolic as hs

from host_calls import calls, fresh_host, leak_round  # noqa: F401 (a fixture)
from leakcheck import block_growth, swallow
from traced import blank

norv_host.install()
pytestmark = pytest.mark.usefixtures("fresh_host")
probe = n._testing
HostList, HostDict, KeyPath = hs.HostList, hs.HostDict, n.KeyPath


def holding(*elements):
    """A schemaless list at path r whose storage holds `elements` as given."""
    lst = HostList(root_path=KeyPath("r"))
    list.extend(lst, elements)
    return lst


class Failing:
    """An inferential element whose `infer()` raises."""

    def __init__(self, exc):
        self.exc = exc

    def infer(self):
        hs.calls.append(("infer", self))
        raise type(self.exc)(*self.exc.args)


class Index:
    """Not an int, but converts to one."""

    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i


class IntSub(int):
    pass


# ---------------------------------------------------------------- the item read

A, B, C = hs.Inferred("a"), hs.Inferred("b"), hs.Inferred("c")


@pytest.mark.parametrize(
    "index, expected, inferred",
    [
        (0, 1, []),
        (1, "a", [A]),
        (-1, "c", [C]),
        (-4, 1, []),
        (True, "a", [A]),
        (False, 1, []),
        (IntSub(2), 2, []),
        (slice(None), [1, "a", 2, "c"], [A, C]),
        (slice(1, 3), ["a", 2], [A]),
        (slice(None, None, -1), ["c", 2, "a", 1], [C, A]),
        (slice(-1, 0, -2), ["c", "a"], [C, A]),
        (slice(5, 9), [], []),
        (slice(-99, 99, 3), [1, "c"], [C]),
    ],
)
def test_the_item_read_resolves(index, expected, inferred):
    lst = holding(1, A, 2, C)
    got = lst[index]
    assert got == expected and type(got) is type(expected)
    assert calls("infer") == [(e,) for e in inferred]  # in the order of the selected positions
    assert list.__getitem__(lst, slice(None)) == [1, A, 2, C]  # the stored elements stay


@pytest.mark.parametrize(
    "index",
    [slice(None), slice(1, None, 2), slice(-2, None), slice(3, 0, -1), slice(None, None, -3), slice(2, 2)],
)
def test_slices_select_what_a_plain_list_selects(index):
    plain = [0, 1, 2, 3, 4]
    got = holding(*plain)[index]
    assert got == plain[index] and type(got) is list and not isinstance(got, n.SymList)


@pytest.mark.parametrize(
    "index, exc, message",
    [
        (4, IndexError, "list index out of range"),
        (-5, IndexError, "list index out of range"),
        ("a", TypeError, "list index must be an integer. Encountered 'a'."),
        (1.0, TypeError, "list index must be an integer. Encountered 1.0."),
        (None, TypeError, "list index must be an integer. Encountered None."),
        (Index(1), TypeError, None),  # converting to an int is not enough
        (2**64, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
        (slice(None, None, 0), ValueError, "slice step cannot be zero"),
        (slice("a", 2), TypeError, "slice indices must be integers or None or have an __index__ method"),
    ],
)
def test_item_read_errors(index, exc, message):
    with pytest.raises(exc) as e:
        holding(1, A, 2, C)[index]
    if message is not None:
        assert str(e.value) == message
    if exc is TypeError and message is None:
        assert str(e.value).startswith("list index must be an integer. Encountered <")
    assert calls("infer") == []


def test_an_error_of_the_index_repr_propagates():
    class Odd:
        def __repr__(self):
            raise LookupError("repr of the index")

    with pytest.raises(LookupError, match="repr of the index"):
        holding(1)[Odd()]


@pytest.mark.parametrize("exc", [AttributeError("gone"), ValueError("bad"), KeyboardInterrupt("stop")])
def test_an_error_of_infer_passes_unchanged(exc):
    lst = holding(1, Failing(exc))
    for read in (lambda: lst[1], lambda: lst[-1], lambda: lst[0:2], lambda: iter(lst)):
        with pytest.raises(type(exc), match=str(exc)):
            read()


def test_element_reads_after_infer_shrank_the_list_are_index_errors():
    lst = holding()

    class Shrinking:
        def infer(self):
            list.clear(lst)
            return "inferred"

    list.extend(lst, [Shrinking(), 2, 3])
    with pytest.raises(IndexError, match="^list index out of range$"):
        lst[0:3]
    list.extend(lst, [Shrinking(), 2, 3])
    with pytest.raises(IndexError, match="^list index out of range$"):
        iter(lst)
    list.extend(lst, [Shrinking(), 2])
    assert lst[0] == "inferred"


def test_class_level_reads_are_the_native_ones():
    lst = holding(A)
    assert n.SymList.__getitem__(lst, 0) == "a" and list.__getitem__(lst, 0) is A
    assert HostList.__getitem__.__objclass__ is n.SymList
    assert HostList.__iter__.__objclass__ is n.SymList


# ---------------------------------------------------------------- iteration


def test_iteration_is_a_resolved_snapshot():
    lst = holding(1, A, B)
    it = iter(lst)
    assert type(it).__name__ == "list_iterator"
    assert calls("infer") == [(A,), (B,)]  # every infer() ran before the first item
    list.append(lst, 4)
    list.__delitem__(lst, 0)
    assert list(it) == [1, "a", "b"]
    assert list(lst) == ["a", "b", 4] and [x for x in lst] == ["a", "b", 4]
    assert list(holding()) == []


def test_iteration_raises_when_an_infer_raises_after_the_earlier_ones_ran():
    first, second = hs.Inferred(1), hs.Inferred(2)
    third = Failing(ValueError("third"))
    lst = holding(first, second, third)
    with pytest.raises(ValueError, match="third"):
        iter(lst)
    assert calls("infer") == [(first,), (second,), (third,)]


def test_inherited_readers_stay_raw():
    lst = holding(1, A)
    assert A in lst and lst.index(A) == 1 and lst.count(A) == 1 and list(reversed(lst)) == [A, 1]
    assert lst == [1, A] and len(lst) == 2
    assert calls("infer") == []


# ---------------------------------------------------------------- raw reads


@pytest.mark.parametrize(
    "key, expected",
    [(0, 1), (1, A), (-1, A), (-2, 1), (True, A), (Index(1), A), (IntSub(0), 1)],
)
def test_sym_getattr_is_raw(key, expected):
    lst = holding(1, A)
    assert lst._sym_getattr(key) is expected and lst._sym_getattr(key=key) is expected
    assert calls("infer") == []


@pytest.mark.parametrize(
    "key, exc, message",
    [
        (2, IndexError, "list index out of range"),
        (-3, IndexError, "list index out of range"),
        ("a", TypeError, "'str' object cannot be interpreted as an integer"),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
        (2**63, OverflowError, "Python int too large to convert to C long"),
        (-(2**70), OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_sym_getattr_errors(key, exc, message):
    with pytest.raises(exc) as e:
        holding(1, A)._sym_getattr(key)
    if message is not None:
        assert str(e.value) == message


@pytest.mark.parametrize(
    "key, expected",
    [
        (0, True),
        (2, True),
        (3, False),
        (-3, True),
        (-4, False),
        (True, True),
        (IntSub(1), True),
        ("a", False),
        (1.0, False),
        (Index(0), False),  # only an int counts
        (None, False),
    ],
)
def test_sym_hasattr(key, expected):
    lst = holding(1, A, 2)
    assert lst.sym_hasattr(key) is expected and lst.sym_hasattr(key=key) is expected


def test_sym_hasattr_of_an_int_beyond_64_bits_overflows():
    with pytest.raises(OverflowError):
        holding(1).sym_hasattr(2**64)


def test_listings_are_raw_snapshots():
    lst = holding(1, A, "x")
    keys, values, items = lst.sym_keys(), lst.sym_values(), lst.sym_items()
    assert all(type(it).__name__ == "list_iterator" for it in (keys, values, items))
    list.append(lst, "later")
    list.__delitem__(lst, 0)
    assert list(keys) == [0, 1, 2]
    assert list(values) == [1, A, "x"]
    assert list(items) == [(0, 1), (1, A), (2, "x")]
    assert calls("infer") == []
    assert [list(f()) for f in (holding().sym_keys, holding().sym_values, holding().sym_items)] == [[], [], []]


def test_a_listing_taken_before_an_append_yields_the_elements_then():
    lst = HostList([1, 2], root_path=KeyPath("r"))
    values = lst.sym_values()
    lst.append(3)
    assert list(values) == [1, 2] and list(lst.sym_values()) == [1, 2, 3]


# ---------------------------------------------------------------- facts of the bound spec


class Recorded:
    """A bound spec read through Python; `element` records its reads."""

    def __init__(self, element):
        self._element = element

    @property
    def element(self):
        hs.calls.append(("element",))
        if isinstance(self._element, BaseException):
            raise self._element
        return self._element


class KeyOf:
    def __init__(self, key):
        self.key = key


class MaxOf:
    def __init__(self, max_value):
        self.max_value = max_value


@pytest.mark.parametrize(
    "spec, expected",
    [
        (None, None),
        (n.List(n.Int()), None),
        (n.List(n.Int(), max_size=3), 3),
        (n.List(n.Int(), min_size=1, max_size=5), 5),
        (Recorded(KeyOf(MaxOf("as it is"))), "as it is"),
        (Recorded(KeyOf(MaxOf(None))), None),
    ],
)
def test_max_size(spec, expected):
    lst = holding(1)
    lst._value_spec = spec
    assert lst.max_size == expected


@pytest.mark.parametrize(
    "element, exc",
    [(LookupError("element"), LookupError), (object(), AttributeError), (KeyOf(object()), AttributeError)],
)
def test_max_size_propagates_the_read_errors(element, exc):
    lst = holding(1)
    lst._value_spec = Recorded(element)
    with pytest.raises(exc):
        lst.max_size


def test_max_size_is_read_only():
    lst = holding()
    with pytest.raises(AttributeError):
        lst.max_size = 3


@pytest.mark.parametrize("key", [0, 5, -1, "a", None, object()])
def test_sym_attr_field_is_the_one_element_field(key):
    spec = n.List(n.Int())
    lst = holding(1)
    assert lst.sym_attr_field(key) is None
    lst._value_spec = spec
    assert lst.sym_attr_field(key) is spec.element and lst.sym_attr_field(key=key) is spec.element


def test_sym_attr_field_propagates_the_read_error():
    lst = holding()
    lst._value_spec = Recorded(LookupError("element"))
    with pytest.raises(LookupError):
        lst.sym_attr_field(0)


# ---------------------------------------------------------------- holds, arguments, signatures


@pytest.mark.parametrize(
    "read, reads_the_spec",
    [
        (lambda lst: lst[0], False),
        (lambda lst: lst[0:1], False),
        (lambda lst: iter(lst), False),
        (lambda lst: lst._sym_getattr(0), False),
        (lambda lst: lst.sym_hasattr(0), False),
        (lambda lst: lst.sym_keys(), False),
        (lambda lst: lst.sym_items(), False),
        (lambda lst: lst.max_size, True),
        (lambda lst: lst.sym_attr_field(0), True),
    ],
)
def test_reads_under_a_native_hold(read, reads_the_spec):
    lst = HostList([1], value_spec=n.List(n.Int(), max_size=3))
    probe.holding(lst, False, lambda: read(lst))  # a shared hold is no conflict
    if reads_the_spec:
        with pytest.raises(norv_core.PanicException, match="^Already mutably borrowed"):
            probe.holding(lst, True, lambda: read(lst))
    else:  # the elements are read from the storage alone
        probe.holding(lst, True, lambda: read(lst))


@pytest.mark.parametrize(
    "call, match",
    [
        (lambda lst: lst._sym_getattr(), r"_sym_getattr\(\) missing 1 required positional argument: 'key'"),
        (lambda lst: lst.sym_hasattr(1, 2), r"sym_hasattr\(\) takes 2 positional arguments but 3 were given"),
        (lambda lst: lst.sym_attr_field(k=1), r"sym_attr_field\(\) got an unexpected keyword argument 'k'"),
        (lambda lst: lst.sym_keys(1), r"takes no arguments \(1 given\)"),
        (lambda lst: lst.sym_items(x=1), r"takes no keyword arguments"),
    ],
)
def test_argument_errors(call, match):
    with pytest.raises(TypeError, match=match):
        call(holding(1))


def test_signatures():
    expected = {
        "_sym_getattr": "(self, /, key)",
        "sym_hasattr": "(self, /, key)",
        "sym_keys": "(self, /)",
        "sym_values": "(self, /)",
        "sym_items": "(self, /)",
        "sym_attr_field": "(self, /, key)",
    }
    assert {name: str(inspect.signature(getattr(n.SymList, name))) for name in expected} == expected
    assert isinstance(inspect.getattr_static(n.SymList, "max_size"), type(n.SymList.sym_path))


# ---------------------------------------------------------------- no growth


def test_reads_leave_no_growth():
    lst = HostList([1, hs.Inferred(5), "x", HostDict()], value_spec=n.List(n.Any(), max_size=9))
    list.append(lst, Failing(ValueError("x")))
    rounds = [
        lambda: lst[0],
        lambda: lst[1],
        lambda: lst[-2],
        lambda: lst[0:4],
        lambda: lst[-2::-2],
        lambda: list(iter(lst[:4])),
        lambda: list(holding(1, hs.Inferred(2))),
        lambda: lst._sym_getattr(1),
        lambda: lst.sym_hasattr(-1),
        lambda: list(lst.sym_keys()),
        lambda: list(lst.sym_values()),
        lambda: list(lst.sym_items()),
        lambda: lst.max_size,
        lambda: lst.sym_attr_field(0),
        swallow(lambda: lst[4], ValueError),
        swallow(lambda: iter(lst), ValueError),
        swallow(lambda: lst[9], IndexError),
        swallow(lambda: lst["a"], TypeError),
        swallow(lambda: lst[::0], ValueError),
        swallow(lambda: lst._sym_getattr(9), IndexError),
        swallow(lambda: lst._sym_getattr("a"), TypeError),
    ]
    growth = [block_growth(leak_round(read), rounds=10_000) for read in rounds]
    assert all(g < 100 for g in growth), growth


def test_blank_lists_read_as_empty():
    lst = blank(HostList)
    assert list(lst) == [] and lst[:] == [] and lst.max_size is None and lst.sym_attr_field(0) is None
