"""The fast object renderer: compact and indented layouts, nested objects
through the host's `child_fields`, its declines, its depth bound and its
indentation arithmetic."""

import pytest

import norv_host
from norv_core import PanicException
from norv_core import _native as n
from norv_host import objects as ho

from host_calls import clean_records, recorded  # noqa: F401 (a fixture)
from leakcheck import block_growth

norv_host.install()
pytestmark = pytest.mark.usefixtures("clean_records")
render = n._render_object_fast
child_fields = ho.child_fields


class C(ho.HostObject):
    x: int
    s: str = "a"


class Empty(ho.HostObject):
    pass


class Holder(ho.HostObject):
    inner: C
    n: int = 2


def fields_of(**kw):
    """A `child_fields` giving the dict `kw[type name]` for values of that type."""
    return lambda v: kw.get(type(v).__name__)


# ---- layouts -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "compact, root_indent, expected",
    [
        (True, 0, "C(x=1, s='a')"),
        (False, 0, "C(\n  x = 1,\n  s = 'a'\n)"),
        (False, 1, "C(\n    x = 1,\n    s = 'a'\n  )"),
        (False, 2, "C(\n      x = 1,\n      s = 'a'\n    )"),
        (False, -1, "C(\nx = 1,\ns = 'a'\n)"),
        (False, True, "C(\n    x = 1,\n    s = 'a'\n  )"),  # True renders as 1
        (True, 7, "C(x=1, s='a')"),
    ],
)
def test_layouts(compact, root_indent, expected):
    assert render(C(x=1), "C", compact, root_indent, child_fields) == expected


@pytest.mark.parametrize("compact", [True, False])
def test_an_object_without_fields(compact):
    assert render(Empty(), "Empty", compact, 0, child_fields) == "Empty()"


def test_nested_objects():
    h = Holder(inner=C(x=1, s="b"))
    assert render(h, "H", True, 0, child_fields) == "H(inner=C(x=1, s='b'), n=2)"
    assert render(h, "H", False, 0, child_fields) == "H(\n  inner = C(\n    x = 1,\n    s = 'b'\n  ),\n  n = 2\n)"
    assert render(h, "H", False, 1, child_fields) == (
        "H(\n    inner = C(\n      x = 1,\n      s = 'b'\n    ),\n    n = 2\n  )"
    )
    assert [c[0] for c in recorded("child_fields")] == [h.inner] * 3


def test_leaves_are_reprs_and_the_label_is_the_name_given():
    obj = C(x=1)
    obj.field_dict().update(f=1.5, b=True, none=None, big=2**70, t="q'\"\n")
    out = render(obj, "Label ü", True, 0, child_fields)
    assert out == f"Label ü(x=1, s='a', f=1.5, b=True, none=None, big={2**70}, t={'q' + chr(39) + chr(34) + chr(10)!r})"


def test_keys():
    class Key(str):
        def __str__(self):
            raise AssertionError("a str key is printed as stored")

    fields = {Key("k"): 1, 7: 2, (1, 2): 3}
    assert render(object(), "O", True, 0, lambda v: fields) == "O(k=1, 7=2, (1, 2)=3)"


def test_a_value_that_is_no_leaf_goes_to_child_fields():
    class S(str):
        pass

    value = S("s")
    out = render(object(), "O", True, 0, fields_of(object={"v": value}, S={"inner": 1}))
    assert out == "O(v=S(inner=1))"


@pytest.mark.parametrize("value", [[1, 2], (1,), {"a": 1}, b"x", object()], ids=repr)
def test_a_value_child_fields_refuses_declines_the_whole_rendering(value):
    obj = C(x=1)
    obj.field_dict()["v"] = value
    assert render(obj, "C", True, 0, child_fields) is None
    assert recorded("child_fields") == [(value,)]


def test_a_top_object_that_is_no_symobject_asks_child_fields():
    assert render(5, "Five", True, 0, fields_of(int={"v": 5})) == "Five(v=5)"
    assert render(5, "Five", True, 0, fields_of()) is None
    sub = type("D", (dict,), {})(a=1)
    assert render(5, "Five", True, 0, lambda v: sub) == "Five(a=1)"


# ---- declines and argument errors --------------------------------------------------------------


@pytest.mark.parametrize(
    "compact, root_indent",
    [(1, 0), (None, 0), ("", 0), (True, 2.5), (False, "1"), (True, 2**63), (False, -(2**63) - 1)],
)
def test_arguments_of_unexpected_types_decline(compact, root_indent):
    assert render(C(x=1), "C", compact, root_indent, child_fields) is None


def test_root_indent_takes_any_integer_index():
    class Index:
        def __index__(self):
            return 1

    assert render(C(x=1), "C", False, Index(), child_fields) == "C(\n    x = 1,\n    s = 'a'\n  )"

    class Failing:
        def __index__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        render(C(x=1), "C", False, Failing(), child_fields)


def test_a_blank_object_declines():
    assert render(C.__new__(C), "C", True, 0, child_fields) is None


@pytest.mark.parametrize("name", [5, None, b"C"])
def test_a_name_that_is_no_str_raises(name):
    with pytest.raises(TypeError, match=r"argument 'name': .* is not an instance of 'str'"):
        render(C(x=1), name, True, 0, child_fields)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: render(5, "F", True, 0, lambda v: [("a", 1)]), (TypeError, "'list' object is not an instance of 'dict'")),
        (lambda: render(5, "F", True, 0, lambda v: 1 / 0), (ZeroDivisionError, "division")),
        (lambda: render(5, "F", True, 0, lambda v: {BadStr(): 1}), (LookupError, "str")),
        (lambda: render(5, "F", True, 0, lambda v: {"a": 10**5000}), (ValueError, "Exceeds the limit")),
        (lambda: render(5, "F", True, 0, lambda v: {"\ud800": 1}), (UnicodeEncodeError, "surrogates")),
        (lambda: render(5, "\ud800", True, 0, lambda v: {}), (UnicodeEncodeError, "surrogates")),
        (lambda: render(5, "F", True, 0, named_value), (TypeError, "'int' object is not an instance of 'str'")),
    ],
)
def test_errors_propagate(call, error):
    with pytest.raises(error[0], match=error[1]):
        call()


class BadStr:
    def __str__(self):
        raise LookupError("str")


class NamelessMeta(type):
    __name__ = property(lambda cls: 5)


def named_value(v):
    """`child_fields` of a top object holding a value whose class's `__name__` is no str."""
    return {"v": NamelessMeta("Nameless", (), {})()} if v == 5 else {}


def test_a_fields_dict_changed_while_rendered_is_an_internal_fault():
    fields = {"a": object(), "b": 1}

    def growing(value):
        fields["c"] = 3
        return {}

    with pytest.raises(PanicException, match="dictionary changed size during iteration"):
        render(5, "F", True, 0, lambda v: fields if v == 5 else growing(v))


# ---- depth and indentation ---------------------------------------------------------------------


class Node:
    def __init__(self, inner):
        self.inner = inner


def node_chain(levels):
    node = None
    for _ in range(levels):
        node = Node(node)
    return node


def node_fields(value):
    return {"inner": value.inner} if value.inner is not None else {"leaf": 0}


def test_a_chain_of_101_levels_renders_and_one_of_102_declines():
    out = render(node_chain(101), "Node", True, 0, node_fields)
    assert out == "Node(inner=" * 100 + "Node(leaf=0" + ")" * 101
    assert render(node_chain(102), "Node", True, 0, node_fields) is None
    assert render(node_chain(102), "Node", False, 0, node_fields) is None


@pytest.mark.parametrize("root_indent", [2**62, 2**63 - 1])
def test_an_indentation_no_text_can_hold_declines(root_indent):
    assert render(C(x=1), "C", False, root_indent, child_fields) is None


def test_indentation_saturates_instead_of_overflowing():
    h = Holder(inner=C(x=1))
    assert render(h, "H", True, 2**63 - 1, child_fields) == "H(inner=C(x=1, s='a'), n=2)"
    low = -(2**63)
    assert render(h, "H", False, low, child_fields) == "H(\ninner = C(\nx = 1,\ns = 'a'\n),\nn = 2\n)"
    assert render(Empty(), "E", False, 2**63 - 1, child_fields) == "E()"


def test_renders_leave_no_blocks_behind():
    def quiet(value):  # child_fields without the stand-in's call record
        return value.field_dict() if isinstance(value, ho.HostObject) else None

    h = Holder(inner=C(x=1))
    assert block_growth(lambda: render(h, "H", False, 0, quiet), 200) <= 0
    declined = C(x=1)
    declined.field_dict()["v"] = [1]
    assert block_growth(lambda: render(declined, "C", True, 0, quiet), 200) <= 0
    assert block_growth(lambda: render(node_chain(102), "Node", True, 0, node_fields), 20) <= 0
