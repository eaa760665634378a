import copy
import inspect
import pickle

import pytest

from norv_core import _native as n

MissingValue = n.MissingValue


@pytest.fixture(scope="module", autouse=True)
def host_modules():
    import norv_host

    norv_host.install()


def test_text_forms():
    m = MissingValue()
    assert str(m) == repr(m) == "MISSING_VALUE"
    assert m.format(compact=True, verbose=False) == "MISSING_VALUE"
    assert m.format(1, 2, anything=3) == "MISSING_VALUE"


@pytest.mark.parametrize(
    "other, equal",
    [(MissingValue(), True), (None, False), ("MISSING_VALUE", False), (0, False), (MissingValue, False)],
)
def test_equality_is_exact_type_identity(other, equal):
    m = MissingValue()
    assert (m == other) is equal
    assert (m != other) is (not equal)
    assert (other == m) is equal


def test_lookalike_is_not_equal():
    class Lookalike:
        def __repr__(self):
            return "MISSING_VALUE"

    assert MissingValue() != Lookalike()


def test_ordering_is_unsupported():
    with pytest.raises(TypeError):
        MissingValue() < MissingValue()
    assert MissingValue().__lt__(MissingValue()) is NotImplemented


def test_hash_is_that_of_the_qualified_text():
    assert hash(MissingValue()) == hash(MissingValue()) == hash("norv.topology._missingMissingValue")
    assert {MissingValue(): 1}[MissingValue()] == 1


def test_singleton_and_copies():
    s = n.missing_value_singleton()
    assert s is n.missing_value_singleton()
    assert MissingValue() is not MissingValue()
    for clone in (copy.copy(s), copy.deepcopy(s), pickle.loads(pickle.dumps(s)), s.__deepcopy__(_memo={})):
        assert type(clone) is MissingValue
        assert clone is not s
        assert clone == s


def test_reduce():
    assert MissingValue().__reduce__() == (MissingValue, ())


def test_json():
    assert MissingValue().to_json() == {"_type": "norv.topology._missing.MissingValue"}
    assert MissingValue().to_json(indent=2) == {"_type": "norv.topology._missing.MissingValue"}
    assert MissingValue.__serialization_key__ == "norv.topology._missing.MissingValue"
    for wire in ({"_type": "anything"}, None, 42):
        assert type(MissingValue.from_json(wire)) is MissingValue
    assert type(MissingValue.from_json(_json_value=None, extra=1)) is MissingValue


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: MissingValue(1), "MissingValue() takes 0 positional arguments but 1 was given"),
        (lambda: MissingValue(x=1), "MissingValue() got an unexpected keyword argument 'x'"),
        (lambda: MissingValue.from_json(), "MissingValue.from_json() missing 1 required positional argument: '_json_value'"),
        (lambda: MissingValue().to_json(1), "MissingValue.to_json() takes 1 positional argument but 2 were given"),
        (lambda: MissingValue().__deepcopy__(), "MissingValue.__deepcopy__() missing 1 required positional argument: '_memo'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_foreign_self_is_refused():
    # The method descriptors refuse a foreign `self` before any native code runs.
    with pytest.raises(TypeError):
        MissingValue.__copy__(1)


def test_not_subclassable_and_immutable():
    with pytest.raises(TypeError):
        type("Sub", (MissingValue,), {})
    with pytest.raises(TypeError):
        MissingValue.x = 1


def test_class_surface():
    assert MissingValue.__module__ == "norv.topology._missing"
    assert MissingValue.__qualname__ == "MissingValue"
    assert MissingValue.__norv_formattable__ is True
    assert str(inspect.signature(MissingValue)) == "()"
    assert str(inspect.signature(MissingValue.from_json)) == "(_json_value, **_kwargs)"
