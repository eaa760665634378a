import enum
import threading

import pytest

from norv_core import _native as n

FLAG_IDS = range(5)


@pytest.fixture(autouse=True)
def clean_scopes():
    for i in FLAG_IDS:
        n._flag_scope_del(i)
    yield
    for i in FLAG_IDS:
        n._flag_scope_del(i)


def test_constants():
    assert (
        n._FLAG_SEALED,
        n._FLAG_ACCESSOR_WRITABLE,
        n._FLAG_ALLOW_PARTIAL,
        n._FLAG_ORIGIN_TRACKING,
        n._FLAG_CHANGE_NOTIFICATION,
    ) == (0, 1, 2, 3, 4)


def test_fresh_thread_starts_with_every_scope_absent():
    seen = {}
    default = object()

    def probe():
        seen["has"] = [n._flag_scope_has(i) for i in FLAG_IDS]
        seen["get"] = [n._flag_scope_get(i, default) is default for i in FLAG_IDS]

    t = threading.Thread(target=probe)
    t.start()
    t.join()
    assert seen == {"has": [False] * 5, "get": [True] * 5}


@pytest.mark.parametrize("value", [None, True, False])
@pytest.mark.parametrize("flag_id", FLAG_IDS)
def test_set_get_has_del_round_trip(flag_id, value):
    n._flag_scope_set(flag_id, value)
    assert n._flag_scope_has(flag_id) is True
    assert n._flag_scope_get(flag_id, "d") is value
    n._flag_scope_del(flag_id)
    assert n._flag_scope_has(flag_id) is False
    assert n._flag_scope_get(flag_id, "d") == "d"


def test_keywords_and_bool_ids():
    n._flag_scope_set(flag_id=True, value=False)
    assert n._flag_scope_get(default=None, flag_id=1) is False
    assert n._flag_scope_has(False) is False


def test_numpy_bool_accepted_by_truth_value():
    np = pytest.importorskip("numpy")
    n._flag_scope_set(0, np.bool_(True))
    assert n._flag_scope_get(0, None) is True
    n._flag_scope_set(0, np.bool_(False))
    assert n._flag_scope_get(0, None) is False


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: n._flag_scope_get(5, None), ValueError, "Invalid native flag id: 5."),
        (lambda: n._flag_scope_has(255), ValueError, "Invalid native flag id: 255."),
        (lambda: n._flag_scope_get(256, None), OverflowError, "out of range integral type conversion attempted"),
        (lambda: n._flag_scope_del(-1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: n._flag_scope_set(7, "x"), TypeError, "'str' object is not an instance of 'bool'"),
        (lambda: n._flag_scope_set(7, None), ValueError, "Invalid native flag id: 7."),
        (lambda: n._flag_scope_set(1, 1), TypeError, "'int' object is not an instance of 'bool'"),
        (lambda: n._flag_scope_set(1, 0.0), TypeError, "'float' object is not an instance of 'bool'"),
        (lambda: n._flag_scope_get(0), TypeError, "_flag_scope_get() missing 1 required positional argument: 'default'"),
        (lambda: n._flag_scope_get(), TypeError,
         "_flag_scope_get() missing 2 required positional arguments: 'flag_id' and 'default'"),
        (lambda: n._flag_scope_has(0, 1), TypeError, "_flag_scope_has() takes 1 positional argument but 2 were given"),
        (lambda: n._flag_scope_del(0, flag_id=0), TypeError, "_flag_scope_del() got multiple values for argument 'flag_id'"),
        (lambda: n._flag_scope_del(key=0), TypeError, "_flag_scope_del() got an unexpected keyword argument 'key'"),
    ],
)
def test_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


def test_flag_id_conversion_error_is_wrapped():
    with pytest.raises(TypeError) as info:
        n._flag_scope_get("0", None)
    assert str(info.value) == "argument 'flag_id': 'str' object cannot be interpreted as an integer"
    assert type(info.value.__cause__) is TypeError


def test_id_beyond_64_bits_is_the_interpreters_overflow():
    with pytest.raises(OverflowError) as info:
        n._flag_scope_get(2**70, None)
    assert "out of range integral type conversion attempted" not in str(info.value)


def test_failed_set_leaves_scope_unchanged():
    n._flag_scope_set(3, True)
    with pytest.raises(TypeError):
        n._flag_scope_set(3, "yes")
    assert n._flag_scope_get(3, None) is True


def test_scopes_are_per_thread():
    n._flag_scope_set(0, True)
    seen = []
    barrier = threading.Barrier(2)

    def other():
        seen.append(n._flag_scope_has(0))
        n._flag_scope_set(0, False)
        barrier.wait()
        barrier.wait()

    t = threading.Thread(target=other)
    t.start()
    barrier.wait()
    assert n._flag_scope_get(0, None) is True
    barrier.wait()
    t.join()
    assert seen == [False]


class FlagId(enum.IntEnum):
    ACCESSOR_WRITABLE = 1


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("flag_id", [1, True, FlagId.ACCESSOR_WRITABLE, Index(1)])
@pytest.mark.parametrize("as_keywords", [False, True])
def test_every_id_form_addresses_the_same_scope(flag_id, as_keywords):
    def call(fn, *args):
        names = ("flag_id", "value" if fn is n._flag_scope_set else "default")
        return fn(**dict(zip(names, args))) if as_keywords else fn(*args)

    call(n._flag_scope_set, flag_id, False)
    assert n._flag_scope_get(1, "d") is False
    assert call(n._flag_scope_get, flag_id, "d") is False
    assert call(n._flag_scope_has, flag_id) is True
    call(n._flag_scope_del, flag_id)
    assert n._flag_scope_has(1) is False
    assert call(n._flag_scope_get, flag_id, "d") == "d"


@pytest.mark.parametrize(
    "call",
    [
        lambda i: n._flag_scope_get(i, None),
        lambda i: n._flag_scope_set(i, True),
        lambda i: n._flag_scope_set(i, None),
        n._flag_scope_has,
        n._flag_scope_del,
    ],
)
@pytest.mark.parametrize(
    "flag_id, exc, message",
    [
        (5, ValueError, "Invalid native flag id: 5."),
        (Index(5), ValueError, "Invalid native flag id: 5."),
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (2**40, OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_every_function_refuses_ids_out_of_range(call, flag_id, exc, message):
    with pytest.raises(exc) as info:
        call(flag_id)
    assert type(info.value) is exc and str(info.value) == message
    assert all(not n._flag_scope_has(i) for i in FLAG_IDS)
