"""Callable and Functor: argument, keyword and return specs, type arguments,
the functor flag across copies and transforms, JSON, and validation through
the host's callable_validate."""

import copy
import inspect
import typing

import pytest

from norv_core import _native as n
import norv_host
from norv_host import typing as ht

norv_host.install()

Callable, Functor = n.Callable, n.Functor
Int, Str, Float, Bool, Object = n.Int, n.Str, n.Float, n.Bool, n.Object
MISSING = ht.MISSING_VALUE


class MyCallable(Callable):
    pass


class MyFunctor(ht.Functor):
    def __call__(self, x):
        return x


def kinds(specs):
    return [type(s) for s in specs]


# ---- construction -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: Callable(),
        lambda: Callable(args=[], kw=[]),
        lambda: Callable(args=(), kw=()),
        lambda: Callable(args=0, kw=""),
        lambda: Callable(None, None, None),
    ],
)
def test_empty_callable(make):
    spec = make()
    assert spec.args == [] and spec.kw == [] and spec.return_value is None
    assert spec.value_type is None and spec.default is MISSING


def test_arguments_are_converted_in_order():
    spec = Callable(args=[int, Str()], kw=[("k", float)], returns=bool)
    assert kinds(spec.args) == [Int, Str]
    ((name, kw_spec),) = spec.kw
    assert name == "k" and type(kw_spec) is Float and type(spec.kw[0]) is tuple
    assert type(spec.return_value) is Bool
    assert spec.args is spec.args and spec.kw is spec.kw
    spec.args.append(Int())
    assert len(spec.args) == 3


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: Callable(args=(int,)), "'args' should be a list of ValueSpec objects. Encountered: (<class 'int'>,)."),
        (lambda: Callable(args=int), "'args' should be a list of ValueSpec objects. Encountered: <class 'int'>."),
        (lambda: Callable(kw=[("x", int), ["y", str]]),
         "'kw' should be a list of (name, value_spec) tuples. Encountered: [('x', <class 'int'>), ['y', <class 'str'>]]."),
        (lambda: Callable(kw=[(1, int)]), "'kw' should be a list of (name, value_spec) tuples. Encountered: [(1, <class 'int'>)]."),
        (lambda: Callable(kw=[("x", int, 1)]),
         "'kw' should be a list of (name, value_spec) tuples. Encountered: [('x', <class 'int'>, 1)]."),
        (lambda: Callable(kw=("x", int)), "'kw' should be a list of (name, value_spec) tuples. Encountered: ('x', <class 'int'>)."),
        # the argument rule is looked at before the keyword rule
        (lambda: Callable(args=(1,), kw=5), "'args' should be a list of ValueSpec objects. Encountered: (1,)."),
        (lambda: Functor(callable_type=int), "Functor.__new__() got an unexpected keyword argument 'callable_type'"),
        (lambda: Callable(is_noneable=None), "argument 'is_noneable': 'None' is not an instance of 'bool'"),
        (lambda: Callable[int], "`nv.typing.Callable` requires 2 type arguments. Encountered: (<class 'int'>,)"),
        (lambda: Functor[int], "`nv.typing.Functor` requires 2 type arguments. Encountered: (<class 'int'>,)"),
        (lambda: MyCallable[int, str, bool],
         "`nv.typing.MyCallable` requires 2 type arguments. Encountered: (<class 'int'>, <class 'str'>, <class 'bool'>)"),
        (lambda: Callable[(int,), str], "'args' should be a list of ValueSpec objects. Encountered: (<class 'int'>,)."),
        (lambda: Callable(args=[object]), "stand-in host: no value spec for <class 'object'>"),
    ],
)
def test_constructor_errors(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


def test_keyword_shapes_are_checked_before_any_conversion():
    ht.calls.clear()
    with pytest.raises(TypeError):
        Callable(kw=[("x", int), ["y", str]])
    assert [c for c in ht.calls if c[0] == "from_annotation"] == []


@pytest.mark.parametrize(
    "make, args, returns",
    [
        (lambda: Callable[..., int], [], Int),
        (lambda: Callable[[int, str], None], [Int, Str], Object),
        (lambda: Callable[int, str], [Int], Str),
        (lambda: Callable[(), int], [], Int),
        (lambda: Callable.with_type_args(([float], bool)), [Float], Bool),
    ],
)
def test_type_arguments(make, args, returns):
    spec = make()
    assert type(spec) is Callable and kinds(spec.args) == args and type(spec.return_value) is returns
    assert spec.kw == [] and spec.default is MISSING and spec.value_type is None


def test_none_return_is_the_type_of_none():
    assert Callable[[int], None].return_value.cls is type(None)


def test_subclass_and_functor_type_arguments():
    assert type(MyCallable[[int], str]) is Callable
    spec = Functor[[int], str]
    assert type(spec) is Functor and spec.value_type is ht.Functor and kinds(spec.args) == [Int]


def test_type_arguments_under_type_checking(monkeypatch):
    monkeypatch.setattr(typing, "TYPE_CHECKING", True)
    assert Callable[[int], str] == typing.Callable[[int], str]
    assert Functor[[int], str] is ht.Functor


# ---- classes and the functor flag -------------------------------------------------------------


def test_class_tree_and_signatures():
    assert issubclass(Functor, Callable) and isinstance(Functor(), Callable)
    assert type(MyCallable()) is MyCallable and MyCallable.__serialization_key__ == "norv.typing.Callable"
    mine = MyCallable([int], returns=str)
    assert type(mine) is MyCallable and kinds(mine.args) == [Int] and repr(mine) == "Callable(args=[Int()], returns=Str())"
    assert Functor.__serialization_key__ == "norv.typing.Functor"
    with pytest.raises(TypeError):

        class Sub(Functor):
            pass

    assert str(inspect.signature(Callable)) == (
        "(args=None, kw=None, returns=None, default=Ellipsis, default_factory=None, transform=None, "
        "callable_type=None, is_noneable=False, frozen=False, strict=None)"
    )
    assert str(inspect.signature(Functor)) == (
        "(args=None, kw=None, returns=None, default=Ellipsis, default_factory=None, transform=None, "
        "is_noneable=False, frozen=False, strict=None)"
    )
    assert Callable.args.__doc__ == "Value specs for positional arguments."
    assert Callable.kw.__doc__ == "Names and value specs for keyword arguments."
    assert Callable.return_value.__doc__ == "Value spec for the return value, or `None`."


def test_copies_are_of_the_defining_class():
    spec = MyCallable(args=[int])
    shallow = copy.copy(spec)
    assert type(shallow) is Callable and shallow.args is spec.args
    deep = copy.deepcopy(spec)
    assert type(deep) is Callable and deep.args is not spec.args and kinds(deep.args) == [Int]
    assert type(copy.copy(Functor())) is Functor and type(copy.deepcopy(Functor())) is Functor
    assert spec.skip_user_transform is spec


def test_transformed_functor_skips_to_a_plain_callable_that_stays_a_functor():
    f = Functor(transform=lambda x: x)
    skipped = f.skip_user_transform
    assert type(skipped) is Callable and skipped.transform is None
    assert skipped.value_type is ht.Functor and repr(skipped) == "Functor()"
    assert Functor().skip_user_transform is not None
    plain = Functor()
    assert plain.skip_user_transform is plain
    mine = MyCallable(transform=len)
    assert type(mine.skip_user_transform) is Callable


def test_from_json():
    spec = Callable.from_json({"args": [int], "kw": [("x", str)], "returns": int, "callable_type": MyFunctor})
    assert type(spec) is Callable and kinds(spec.args) == [Int] and spec.kw[0][0] == "x"
    assert spec.value_type is MyFunctor
    assert type(MyCallable.from_json({})) is Callable
    functor = Functor.from_json({"callable_type": int, "is_noneable": True})
    assert type(functor) is Functor and functor.value_type is ht.Functor and functor.is_noneable


# ---- text, annotation, forward references -----------------------------------------------------


def test_text_forms():
    assert repr(Callable()) == "Callable()"
    assert repr(Callable(args=[int], returns=str)) == "Callable(args=[Int()], returns=Str())"
    assert repr(Callable(kw=[("x", int)])) == "Callable(kw=[('x', Int())])"
    assert repr(Functor(args=[int])) == "Functor(args=[Int()])"


def test_annotations():
    assert Callable().annotation == typing.Callable[[], None]
    assert Callable(args=[int], returns=str).annotation == typing.Callable[[int], str]
    assert Callable(args=[int], kw=[("x", int)], returns=str).annotation == typing.Callable[..., str]
    assert Callable(returns=int, is_noneable=True).annotation == typing.Optional[typing.Callable[[], int]]
    assert Functor().annotation is ht.Functor


def test_forward_references_of_children():
    spec = Callable(args=[Object("Nowhere")], kw=[("k", Object("Elsewhere"))], returns=Object("Later"))
    assert {r.name for r in spec.forward_refs} == {"Nowhere", "Elsewhere", "Later"}
    assert spec.type_resolved is False


# ---- application ------------------------------------------------------------------------------


def test_apply_hands_the_signature_to_the_host():
    spec = Callable(args=[int], kw=[("k", str)])
    f = lambda x, k=None: x  # noqa: E731
    ht.calls.clear()
    assert spec.apply(f, root_path=n.KeyPath("p")) is f
    ((name, args, kw, returns, text, path, value),) = [c for c in ht.calls if c[0] == "callable_validate"]
    assert args is spec.args and kw is spec.kw and returns is None
    assert text == "Callable(args=[Int()], kw=[('k', Str())])" and path == "p" and value is f


@pytest.mark.parametrize(
    "spec, value, message",
    [
        (Callable(), 1, "Value is not callable: 1. (path=)"),
        (Callable(args=[int, int]), lambda x: x, "requires 2 positional arguments"),
        (Callable(kw=[("k", int)]), lambda x: x, "Keyword argument 'k' does not exist"),
        (Callable(callable_type=MyFunctor), lambda x: x, "Expect <class 'test_callable_specs.MyFunctor'> but encountered <class 'function'>"),
        (Functor(), lambda x: x, "Expect <class 'norv_host.typing.Functor'> but encountered <class 'function'>"),
    ],
)
def test_apply_errors(spec, value, message):
    with pytest.raises(TypeError) as info:
        spec.apply(value)
    assert message in str(info.value)


def test_functor_values():
    functor = MyFunctor()
    assert Functor(args=[int]).apply(functor) is functor
    assert Callable(callable_type=MyFunctor).apply(functor) is functor


def test_callable_specs_cannot_be_instantiated():
    with pytest.raises(TypeError, match=r"^Callable\(\) cannot be instantiated.$"):
        Callable()()
    with pytest.raises(TypeError, match=r"^Functor\(\) cannot be instantiated.$"):
        Functor()()


@pytest.mark.parametrize("read", [lambda c: c.forward_refs, lambda c: c.annotation, lambda c: c.type_resolved, repr])
def test_a_callable_holding_itself_ends_in_recursion_error(read):
    spec = Callable()
    spec.args.append(spec)
    with pytest.raises(RecursionError):
        read(spec)
