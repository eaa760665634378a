"""KeyPath: keys, construction, path grammar, rendering, comparison, hashing,
conversions and the Python surface."""

import copy
import gc
import pickle
import sys

import pytest

from norv_core import _native as n
from norv_host.topology import StrKey

KeyPath = n.KeyPath


def int_and_text_order_ok(path):
    """True when the single key of `path` orders against a text key by text.

    Text and integer keys order against each other by their text; an
    "other" key (bool, huge int, surrogate text ...) goes through Python's
    own `<`, which refuses to order an int against a str.  This tells the
    key variants apart.
    """
    try:
        path < KeyPath(['zzz'])
        path < KeyPath([5])
    except TypeError:
        return False
    return True


# --------------------------------------------------------------------------
# Keys
# --------------------------------------------------------------------------


class MyStr(str):
    pass


class MyInt(int):
    def __str__(self):
        return 'MYINT'

    __repr__ = __str__


@pytest.mark.parametrize(
    'obj, native_variant',
    [
        ('a', True),
        (7, True),
        (-7, True),
        (-(2**63), True),
        (2**63 - 1, True),
        (True, False),
        (False, False),
        (2**63, False),
        (-(2**63) - 1, False),
        (None, False),
        (1.5, False),
        ('\ud800', False),  # lone surrogate: no UTF-8 text, kept as object
    ],
)
def test_key_variant_from_object(obj, native_variant):
    p = KeyPath([obj])
    assert int_and_text_order_ok(p) is native_variant
    assert p.key == obj
    assert type(p.key) is type(obj)


def test_str_subclass_key_becomes_plain_text():
    p = KeyPath([MyStr('a')])
    assert type(p.key) is str and p.key == 'a'
    assert type(p.keys[0]) is str


def test_int_subclass_key_becomes_plain_integer():
    p = KeyPath(['a', MyInt(3)])
    assert type(p.key) is int and p.key == 3
    # rendered from the value, not the subclass's __str__
    assert str(p) == 'a[3]'


def test_other_key_keeps_identity():
    o = object()
    p = KeyPath(['a', o])
    assert p.key is o
    assert p.keys[1] is o


# --------------------------------------------------------------------------
# Constructor
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    'args, kwargs, keys, text',
    [
        ((), {}, [], ''),
        ((None,), {}, [], ''),
        (('a.b',), {}, ['a.b'], '[a.b]'),
        ((['a', 0, True],), {}, ['a', 0, True], 'a[0][True]'),
        ((('a', 1),), {}, ['a', 1], 'a[1]'),
        (([],), {}, [], ''),
        ((0,), {}, [0], '[0]'),
        (('c', KeyPath(['a', 'b'])), {}, ['a', 'b', 'c'], 'a.b.c'),
        ((['c', 'd'],), {'parent': KeyPath('a')}, ['a', 'c', 'd'], 'a.c.d'),
        ((None, KeyPath(['a', 1])), {}, ['a', 1], 'a[1]'),
        ((), {'key_or_key_list': 'x', 'parent': None}, ['x'], 'x'),
        (([[1, 2]],), {}, [[1, 2]], '[[1, 2]]'),
        # text past the inline size, shared between copies
        ((['long_field_name_' * 4, 'x'],), {}, ['long_field_name_' * 4, 'x'], 'long_field_name_' * 4 + '.x'),
        (('y', KeyPath(['long.name.with.dots' * 3])), {}, ['long.name.with.dots' * 3, 'y'],
         '[' + 'long.name.with.dots' * 3 + '].y'),
    ],
)
def test_constructor(args, kwargs, keys, text):
    p = KeyPath(*args, **kwargs)
    assert type(p) is KeyPath
    assert p.keys == keys
    assert str(p) == text
    assert len(p) == len(keys)


def test_constructor_spreads_list_and_tuple_subclasses():
    class L(list):
        pass

    class T(tuple):
        pass

    assert KeyPath(L(['a', 1])).keys == ['a', 1]
    assert KeyPath(T(('a', 1))).keys == ['a', 1]


def test_constructor_copies_parent_and_leaves_it_unchanged():
    parent = KeyPath(['a', 'b'])
    child = KeyPath('c', parent)
    assert parent.keys == ['a', 'b'] and str(parent) == 'a.b'
    assert child.parent == parent and child.parent is not parent


@pytest.mark.parametrize('parent', ['a', 1, ['a'], object()])
def test_constructor_rejects_non_keypath_parent(parent):
    with pytest.raises(TypeError, match="argument 'parent'") as ei:
        KeyPath('x', parent=parent)
    assert (
        f"'{type(parent).__qualname__}' object is not an instance of 'KeyPath'"
        in str(ei.value)
    )


@pytest.mark.parametrize(
    'args, kwargs',
    [(('a', None, 1), {}), ((), {'foo': 1}), (('a',), {'key_or_key_list': 'b'})],
)
def test_constructor_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        KeyPath(*args, **kwargs)


def test_new_and_call_agree():
    parent = KeyPath('a')
    for args, kwargs in [(('b', parent), {}), ((), {'key_or_key_list': ['b', 1], 'parent': parent}), ((), {})]:
        assert KeyPath.__new__(KeyPath, *args, **kwargs) == KeyPath(*args, **kwargs)
    with pytest.raises(TypeError, match="argument 'parent'"):
        KeyPath.__new__(KeyPath, 'b', 'a')


def test_registered_before_missing_value():
    names = list(n.__all__)
    assert names[2] == 'KeyPath'
    assert names.index('KeyPath') < names.index('MissingValue')
    assert n.KeyPath is KeyPath


def test_class_shape():
    assert KeyPath.__module__ == 'norv_core._native'
    assert KeyPath.__name__ == 'KeyPath'
    assert KeyPath.__qualname__ == 'KeyPath'
    assert KeyPath.__serialization_key__ == 'norv.topology.KeyPath'
    assert KeyPath.__norv_formattable__ is True
    with pytest.raises(TypeError):

        class Sub(KeyPath):  # noqa: F841
            pass

    p = KeyPath('a')
    with pytest.raises(AttributeError):
        p.foo = 1
    assert not hasattr(p, '__dict__')
    assert not gc.is_tracked(p)


# --------------------------------------------------------------------------
# Path grammar
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    'text, keys',
    [
        ('', []),
        ('a', ['a']),
        ('a.b[0].c', ['a', 'b', 0, 'c']),
        ('a[0][1]', ['a', 0, 1]),
        ('a[0]b', ['a', 0, 'b']),
        ('[a.b]', ['a.b']),
        ('x[a[b]c]', ['x', 'a[b]c']),
        ('[[a]]', ['[a]']),
        ('a..b', ['a', 'b']),
        ('.a', ['a']),
        ('a.', ['a']),
        ('[]', ['']),
        ('a[]', ['a', '']),
        ('a.0', ['a', '0']),
        ('[-]', ['-']),
        ('[--]', ['--']),
        ('[1.5]', ['1.5']),
        ('[+1]', ['+1']),
        ('[1a]', ['1a']),
        ('[ 1]', [' 1']),
        ('[-1a]', ['-1a']),
        ('[007]', [7]),
        ('[-3]', [-3]),
        ('[-0]', [0]),
        ('[9223372036854775807]', [2**63 - 1]),
        ('[-9223372036854775808]', [-(2**63)]),
        ('[' + '9' * 20 + ']', [int('9' * 20)]),
        ('[\u0663]', [3]),  # ARABIC-INDIC DIGIT THREE
        ('a.\u00e9[1]', ['a', '\u00e9', 1]),
        ('a[b.c[0]]', ['a', 'b.c[0]']),
    ],
)
def test_parse_grammar(text, keys):
    p = KeyPath.parse(text)
    assert type(p) is KeyPath
    assert p.keys == keys
    assert [type(k) for k in p.keys] == [type(k) for k in keys]


@pytest.mark.parametrize(
    'text, native_variant',
    [
        ('[7]', True),
        ('[-9223372036854775808]', True),
        ('[9223372036854775808]', False),  # outside 64 bits: kept as a Python int
        ('[-9223372036854775809]', False),
        ('[\u0663]', True),
    ],
)
def test_parse_integer_key_variants(text, native_variant):
    assert int_and_text_order_ok(KeyPath.parse(text)) is native_variant


@pytest.mark.parametrize(
    'text, message',
    [
        ('a[', "KeyPath parse failed: unmatched open bracket at position 1: 'a['"),
        (']', "KeyPath parse failed: unmatched close bracket at position 0:']'"),
        ('a]b', "KeyPath parse failed: unmatched close bracket at position 1:'a]b'"),
        ('a[b[c', "KeyPath parse failed: unmatched open bracket at position 1: 'a[b[c'"),
        ('[a]b]', "KeyPath parse failed: unmatched close bracket at position 4:'[a]b]'"),
        ('x.y[', "KeyPath parse failed: unmatched open bracket at position 3: 'x.y['"),
        # positions count code points, not bytes
        ('\u00e9]', "KeyPath parse failed: unmatched close bracket at position 1:'\u00e9]'"),
        ('\u00e9\u20ac[a', "KeyPath parse failed: unmatched open bracket at position 2: '\u00e9\u20ac[a'"),
        ('\U0001f600.a]', "KeyPath parse failed: unmatched close bracket at position 3:'\U0001f600.a]'"),
    ],
)
def test_parse_bracket_errors(text, message):
    with pytest.raises(ValueError) as ei:
        KeyPath.parse(text)
    assert ei.value.args == (message,)


def test_parse_error_uses_repr_of_given_object():
    class S(str):
        def __repr__(self):
            return '<S>'

    with pytest.raises(ValueError) as ei:
        KeyPath.parse(S('a['))
    assert ei.value.args == ('KeyPath parse failed: unmatched open bracket at position 1: <S>',)


@pytest.mark.parametrize(
    'text, error, message',
    [
        ('[--1]', ValueError, "invalid literal for int() with base 10: '--1'"),
        ('[\u00b2]', ValueError, "invalid literal for int() with base 10: '\u00b2'"),
    ],
)
def test_parse_numeric_segment_errors_come_from_int(text, error, message):
    with pytest.raises(error) as ei:
        KeyPath.parse(text)
    assert str(ei.value) == message


@pytest.mark.parametrize('value', [1, None, b'a.b', ['a'], KeyPath('a')])
def test_parse_rejects_non_text(value):
    with pytest.raises(ValueError) as ei:
        KeyPath.parse(value)
    assert ei.value.args == (f"'path_str' must be a string type. Encountered: {value!r}",)


def test_parse_with_parent():
    assert str(KeyPath.parse('b', KeyPath.parse('a'))) == 'a.b'
    assert str(KeyPath.parse('b[0]', parent=KeyPath(['x', 1]))) == 'x[1].b[0]'
    assert KeyPath.parse('b', None) == 'b'
    with pytest.raises(TypeError, match="argument 'parent'"):
        KeyPath.parse('b', 'a')


def test_parse_lone_surrogate_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        KeyPath.parse('a.\ud800')


# --------------------------------------------------------------------------
# Rendering
# --------------------------------------------------------------------------


class Meta(type):
    pass


@pytest.mark.parametrize(
    'keys, preserved, plain',
    [
        ([], '', ''),
        (['a', 'b'], 'a.b', 'a.b'),
        (['a', 0, 'c'], 'a[0].c', 'a[0].c'),
        ([0, 'a'], '[0].a', '[0].a'),
        (['x', 'a.b'], 'x[a.b]', 'x.a.b'),
        (['x', 'a[1]'], 'x[a[1]]', 'x.a[1]'),
        (['', 'a'], '.a', '.a'),
        (['a', ''], 'a.', 'a.'),
        (['a', 1.5], 'a[1.5]', 'a[1.5]'),
        (['a', None], 'a[None]', 'a[None]'),
        (['a', True], 'a[True]', 'a[True]'),
        (['a', -5], 'a[-5]', 'a[-5]'),
        (['a', (1, 2)], 'a[(1, 2)]', 'a[(1, 2)]'),
        (['a', StrKey('k.j')], 'a.k.j', 'a.k.j'),
        ([StrKey('k'), 'a'], 'k.a', 'k.a'),
        (['a]b'], '[a]b]', 'a]b'),
        (['\u00e9', 2], '\u00e9[2]', '\u00e9[2]'),
    ],
)
def test_render(keys, preserved, plain):
    p = KeyPath(keys)
    assert str(p) == preserved
    assert repr(p) == preserved
    assert p.path == preserved
    assert p.path_str() == preserved
    assert p.path_str(True) == preserved
    assert p.path_str(preserve_complex_keys=False) == plain
    assert p.format() == preserved


@pytest.mark.parametrize('text', ['a.b[0].c', 'a[0][1]', 'x[a.b].c', '[0].a', 'a[b[c]d]', ''])
def test_render_round_trip(text):
    p = KeyPath.parse(text)
    assert str(p) == text
    assert KeyPath.parse(str(p)) == p


# Plain text (names and unsigned indexes) that reads back as itself (rendering
# its keys gives the same text) is kept as the path's text; any other text is
# rendered from the keys.
@pytest.mark.parametrize(
    'text, kept',
    [
        ('', True),
        ('a', True),
        ('a.b[0].c', True),
        ('a[0][1]', True),
        ('[0].a', True),
        ('[10]', True),
        ('a.\u00e9[1]', True),
        ('[' + '9' * 18 + ']', True),
        ('a[0]b', False),
        ('a[0]b..c', False),  # as long as its rendering, not the same
        ('a..b', False),
        ('.a', False),
        ('a.', False),
        ('.', False),
        ('a.[0]', False),
        ('[007]', False),
        ('[00]', False),
        # reads back, but only the full scanner reads it
        ('[-3]', False),
        ('x[a.b].c', False),
        ('[[a]]', False),
        ('[' + '9' * 19 + ']', False),
        # does not read back
        ('[a]', False),
        ('[]', False),
        ('a[]', False),
        ('[-]', False),
        ('[ 1]', False),
        ('[+1]', False),
        ('[-0]', False),
        ('[' + '9' * 20 + ']', False),
        ('[\u0663]', False),
    ],
)
@pytest.mark.parametrize('make', [KeyPath.parse, KeyPath.from_value])
def test_parsed_text_kept_only_when_it_reads_back(text, kept, make):
    p = make(text)
    fresh = KeyPath(p.keys)
    assert str(p) == str(fresh) and hash(p) == hash(fresh) == hash(str(p))
    assert p.path == fresh.path and p.format() == fresh.format()
    assert (str(p) is text) is kept


@pytest.mark.parametrize('text', ['a', 'a.b[0]'])
def test_parsed_text_of_a_str_subclass_is_not_kept(text):
    class S(str):
        pass

    for p in (KeyPath.parse(S(text)), KeyPath.from_value(S(text))):
        assert type(str(p)) is str and str(p) == text
        assert hash(p) == hash(text)


def test_parsed_text_with_parent_is_rendered():
    p = KeyPath.parse('b[0]', KeyPath('a'))
    assert str(p) == 'a.b[0]' and hash(p) == hash('a.b[0]')


def test_text_key_with_bracket_does_not_scan_back():
    p = KeyPath(['a]b'])
    assert str(p) == '[a]b]'
    with pytest.raises(ValueError, match='position 4'):
        KeyPath.parse(str(p))


def test_str_key_marker_is_looked_up_on_the_type():
    class Plain:
        def __str__(self):
            return 'p'

    o = Plain()
    o.__norv_str_key__ = True  # on the instance only: ignored
    assert str(KeyPath(['a', o])) == 'a[p]'


def test_str_key_marker_lookup_error_propagates():
    class Raising(type):
        @property
        def __norv_str_key__(cls):
            raise RuntimeError('marker lookup')

    class Missing(type):
        @property
        def __norv_str_key__(cls):
            raise AttributeError('absent')

    K1 = Raising('K1', (), {'__str__': lambda self: 'k1'})
    K2 = Missing('K2', (), {'__str__': lambda self: 'k2'})
    with pytest.raises(RuntimeError, match='marker lookup'):
        str(KeyPath(['a', K1()]))
    assert str(KeyPath(['a', K2()])) == 'a[k2]'


class Flaky:
    """An other key whose text can fail and can change."""

    def __init__(self):
        self.fail = True
        self.text = 'one'
        self.calls = 0

    def __str__(self):
        self.calls += 1
        if self.fail:
            raise RuntimeError('no text')
        return self.text


def test_render_error_is_not_cached():
    k = Flaky()
    p = KeyPath(['a', k])
    with pytest.raises(RuntimeError, match='no text'):
        str(p)
    with pytest.raises(RuntimeError, match='no text'):
        hash(p)
    with pytest.raises(RuntimeError, match='no text'):
        p == 'a[one]'  # noqa: B015
    k.fail = False
    assert str(p) == 'a[one]'


def test_cached_text_rendered_once():
    k = Flaky()
    k.fail = False
    p = KeyPath(['a', k])
    assert str(p) == 'a[one]'
    k.text = 'two'
    assert str(p) == 'a[one]'
    assert p.path == 'a[one]'
    assert hash(p) == hash('a[one]')
    assert k.calls == 1
    # path_str renders afresh every time
    assert p.path_str() == 'a[two]'


def test_render_non_utf8_text_raises():
    with pytest.raises(UnicodeEncodeError):
        str(KeyPath(['\ud800']))


# --------------------------------------------------------------------------
# Equality, ordering and hashing
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    'left, right, equal',
    [
        (KeyPath.parse('a.b'), 'a.b', True),
        (KeyPath.parse('a.b'), KeyPath(['a', 'b']), True),
        (KeyPath(['a.b']), 'a.b', False),
        (KeyPath(['a.b']), '[a.b]', True),
        (KeyPath.parse('a.b'), 1, False),
        (KeyPath.parse('a.b'), None, False),
        (KeyPath.parse('a.b'), ['a', 'b'], False),
        (KeyPath(), '', True),
        (KeyPath(), KeyPath(), True),
        (KeyPath(['a', 0]), 'a[0]', True),
        (KeyPath(['a', 0]), MyStr('a[0]'), True),
        (KeyPath([0]), KeyPath(['0']), False),
        (KeyPath([1]), KeyPath([True]), True),
        (KeyPath([1]), KeyPath([1.0]), True),
        (KeyPath(['a']), KeyPath(['a', 'b']), False),
        (KeyPath([[1, 2]]), KeyPath([[1, 2]]), True),
        (KeyPath([2**63]), KeyPath.parse('[9223372036854775808]'), True),
        (KeyPath(['a', 'b']), KeyPath(['a', 'c']), False),
    ],
)
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    # reflected: str and list defer to KeyPath
    assert (right == left) is equal


def test_equality_propagates_key_comparison_errors():
    class Bad:
        def __eq__(self, other):
            raise RuntimeError('eq')

        __hash__ = object.__hash__

    with pytest.raises(RuntimeError, match='eq'):
        KeyPath([Bad()]) == KeyPath([Bad()])  # noqa: B015


def test_equality_stops_at_first_unequal_pair():
    class Bad:
        def __eq__(self, other):
            raise RuntimeError('eq')

        __hash__ = object.__hash__

    assert (KeyPath(['a', Bad()]) == KeyPath(['b', Bad()])) is False


def test_equality_with_unencodable_text_raises():
    with pytest.raises(UnicodeEncodeError):
        KeyPath() == '\ud800'  # noqa: B015


def test_dict_lookup_by_text():
    assert {'a[0]': 1}[KeyPath(['a', 0])] == 1
    assert {KeyPath.parse('a.b'): 2}['a.b'] == 2
    assert KeyPath.parse('x[1]') in {'x[1]'}


@pytest.mark.parametrize(
    'path, text',
    [
        (KeyPath(), ''),
        (KeyPath(['a', 0]), 'a[0]'),
        (KeyPath([1]), '[1]'),
        (KeyPath([True]), '[True]'),
        (KeyPath(['x', 'a.b']), 'x[a.b]'),
        (KeyPath(['\u00e9', '\u20ac']), '\u00e9.\u20ac'),
        (KeyPath(['\U0001f600']), '\U0001f600'),
        (KeyPath.parse('a.b[0].c[12].d'), 'a.b[0].c[12].d'),
    ],
)
def test_hash_is_hash_of_text(path, text):
    assert hash(path) == hash(text)
    assert hash(path) == hash(path)


@pytest.mark.parametrize(
    'left, right, lt',
    [
        (KeyPath(['a']), KeyPath(['a', 'b']), True),
        (KeyPath(['a', 'b']), KeyPath(['a']), False),
        (KeyPath([10]), KeyPath(['9']), True),  # mixed: by text
        (KeyPath([10]), KeyPath([9]), False),  # both integers: numeric
        (KeyPath([9]), KeyPath([10]), True),
        (KeyPath([1, 'a']), KeyPath(['1', 'b']), True),  # first pair ties by text
        (KeyPath(['b']), KeyPath(['ab']), False),
        (KeyPath(['']), KeyPath(['a']), True),
        (KeyPath([-1]), KeyPath([0]), True),
        (KeyPath([1.5]), KeyPath([2.5]), True),  # other keys: Python `<`
        (KeyPath([None, 'a']), KeyPath([None, 'b']), True),
        (KeyPath(), KeyPath(), False),
    ],
)
def test_ordering_between_paths(left, right, lt):
    assert (left < right) is lt
    assert (right > left) is lt
    eq_by_order = not lt and not (right < left)
    assert (left <= right) is (lt or eq_by_order)
    assert (right >= left) is (lt or eq_by_order)


def test_ordering_ties_text_and_integer_keys():
    a, b = KeyPath([1]), KeyPath(['1'])
    assert a != b
    assert a <= b and a >= b and not a < b and not a > b


@pytest.mark.parametrize(
    'path, text, op, result',
    [
        (KeyPath.parse('b'), 'a.z', '>', True),
        (KeyPath.parse('a'), 'b', '<', True),
        (KeyPath.parse('a'), 'a', '<=', True),
        (KeyPath.parse('a'), 'a', '<', False),
        (KeyPath(), 'a', '<', True),
        (KeyPath([10]), '9', '>', True),  # '[10]' against '9' byte-wise
        (KeyPath.parse('a.b'), 'a', '>=', True),
    ],
)
def test_ordering_against_text(path, text, op, result):
    ops = {
        '<': lambda a, b: a < b,
        '<=': lambda a, b: a <= b,
        '>': lambda a, b: a > b,
        '>=': lambda a, b: a >= b,
    }
    assert ops[op](path, text) is result


@pytest.mark.parametrize(
    'expr',
    [
        lambda p: p < 1,
        lambda p: p <= 1,
        lambda p: p > 1,
        lambda p: p >= 1,
        lambda p: 1 > p,
        lambda p: 1 < p,
        lambda p: 1 <= p,
    ],
)
def test_ordering_against_foreign_value_raises(expr):
    with pytest.raises(TypeError) as ei:
        expr(KeyPath())
    assert ei.value.args == ("Comparison is not supported between instances of 'KeyPath' and 'int'.",)


@pytest.mark.parametrize('value, name', [(None, 'NoneType'), ([1], 'list'), (1.5, 'float')])
def test_ordering_message_names_the_type(value, name):
    with pytest.raises(TypeError) as ei:
        KeyPath('a') < value  # noqa: B015
    assert ei.value.args == (f"Comparison is not supported between instances of 'KeyPath' and '{name}'.",)


def test_ordering_of_other_keys_propagates_python_error():
    with pytest.raises(TypeError, match="'<' not supported"):
        KeyPath([None]) < KeyPath([1])  # noqa: B015
    with pytest.raises(TypeError):
        KeyPath([True]) < KeyPath(['a'])  # noqa: B015


def test_sorting_mixed_paths():
    paths = [KeyPath.parse(t) for t in ['b', 'a[10]', 'a[9]', 'a', 'a.x']]
    assert [str(p) for p in sorted(paths)] == ['a', 'a[9]', 'a[10]', 'a.x', 'b']


# --------------------------------------------------------------------------
# Accessors and text forms
# --------------------------------------------------------------------------


def test_root_accessors():
    root = KeyPath()
    assert len(root) == 0 and root.depth == 0 and root.is_root is True
    assert root.keys == [] and root.path == '' and str(root) == ''
    with pytest.raises(KeyError) as ei:
        root.key
    assert ei.value.args == ('Key of root KeyPath does not exist.',)
    with pytest.raises(KeyError) as ei:
        root.parent
    assert ei.value.args == ('Parent of a root KeyPath does not exist.',)


def test_accessors():
    p = KeyPath.parse('a.b[3]')
    assert len(p) == 3 and p.depth == 3 and p.is_root is False
    assert p.key == 3
    assert type(p.parent) is KeyPath and p.parent == 'a.b'
    assert p.parent.parent.parent.is_root
    k1, k2 = p.keys, p.keys
    assert k1 == ['a', 'b', 3] and k1 is not k2
    k1.append('x')
    assert p.keys == ['a', 'b', 3]


@pytest.mark.parametrize('flag', [1, None, 'yes'])
def test_path_str_accepts_only_bool(flag):
    with pytest.raises(TypeError, match="argument 'preserve_complex_keys'"):
        KeyPath('a').path_str(flag)


@pytest.mark.parametrize(
    'args, kwargs', [((), {}), ((1, 2), {}), ((), {'compact': True, 'verbose': False})]
)
def test_format_ignores_arguments(args, kwargs):
    assert KeyPath(['a', 'b.c', 0]).format(*args, **kwargs) == 'a[b.c][0]'


@pytest.mark.parametrize(
    'name, signature, doc',
    [
        ('from_value', '($cls, value)', '`KeyPath.from_value(value)` \u2014 accepts a KeyPath (returned as-is), a str\n(parsed if it has path syntax, else a single key), or an int.'),
        ('parse', '($cls, path_str, parent=None)', '`KeyPath.parse(path_str, parent=None)` \u2014 JSONPath-like string scanner.'),
        ('__nv_accept__', '($cls, value)', '`__nv_accept__(value)` \u2014 target-owned coercion: a `str` is parsed into a\n`KeyPath`; anything else is declined with `NotImplemented`.'),
        ('to_json', '($self, **_kwargs)', "Serialize to the oracle's wire form: `{'_type': <key>, 'value': <path>}`."),
        ('from_json', '($cls, json_value, **_kwargs)', 'Rebuild from the serialized JSONPath string (`cls.parse(value)`).'),
        ('path_str', '($self, preserve_complex_keys=True)', 'JSONPath string; `preserve_complex_keys=False` dot-joins complex string\nkeys instead of bracketing them.'),
        ('__copy__', '($self)', '`copy.copy` \u2014 a fresh KeyPath sharing the keys (the `Other` arm by ref).'),
        ('__deepcopy__', '($self, memo)', '`copy.deepcopy` \u2014 deep-copy each `Other` key (str/int are value types).'),
        ('__reduce__', '($self)', 'Pickle as `KeyPath(<keys-list>)` so a round-trip reconstructs an equal path.'),
        ('query', '($self, src, use_inferred=False)', 'Query the value at this path from `src`.'),
        ('get', '($self, src, default_value=None, use_inferred=False)', 'Query with a default on `KeyError`.'),
        ('exists', '($self, src)', 'Whether this path exists in `src`.'),
        ('format', '($self, *args, **kwargs)', None),
    ],
)
def test_method_docs(name, signature, doc):
    member = KeyPath.__dict__[name]
    fn = getattr(KeyPath, name)
    assert fn.__text_signature__ == signature, member
    assert fn.__doc__ == doc


def test_class_and_getter_docs():
    assert KeyPath.__text_signature__ == '(key_or_key_list=None, parent=None)'
    assert KeyPath.__doc__ == (
        'A path of keys from a tree root to a node. Its `__module__` is\n'
        '`norv_core._native` so signature / `sys.modules` introspection of the type\n'
        'resolves wherever the native `KeyPath` is in use.'
    )
    assert KeyPath.keys.__doc__ == 'A copy of the keys in this path.'
    assert KeyPath.key.__doc__ == 'The rightmost key (`KeyError` at the root).'
    assert KeyPath.parent.__doc__ == 'The parent path (`KeyError` at the root).'
    assert KeyPath.is_root.__doc__ is None
    assert KeyPath.depth.__doc__ is None
    assert KeyPath.path.__doc__ is None


# --------------------------------------------------------------------------
# Conversions
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    'value, keys',
    [
        ('a.b', ['a', 'b']),
        ('[0]', [0]),
        ('', []),
        ('abc', ['abc']),
        ('0', ['0']),
        ('a b', ['a b']),
        (MyStr('x.y'), ['x', 'y']),
        (3, [3]),
        (True, [True]),
        (2**64, [2**64]),
        (MyInt(4), [4]),
    ],
)
def test_from_value(value, keys):
    p = KeyPath.from_value(value)
    assert type(p) is KeyPath
    assert p.keys == keys
    assert [type(k) for k in p.keys] == [type(k) for k in keys]


def test_from_value_single_int_key_variants():
    assert int_and_text_order_ok(KeyPath.from_value(3))
    assert not int_and_text_order_ok(KeyPath.from_value(True))
    assert not int_and_text_order_ok(KeyPath.from_value(2**64))
    # a plain name is one text key, never scanned as an integer
    assert KeyPath.from_value('0') == KeyPath(['0'])
    assert KeyPath.from_value('0') != KeyPath([0])


def test_from_value_returns_path_itself():
    p = KeyPath(['a'])
    assert KeyPath.from_value(p) is p
    assert KeyPath.from_value(value=p) is p


@pytest.mark.parametrize('value', [None, 1.5, ['a'], ('a',), b'a', object])
def test_from_value_rejects(value):
    with pytest.raises(ValueError) as ei:
        KeyPath.from_value(value)
    assert ei.value.args == (f'{value!r} is not a valid KeyPath equivalence.',)


def test_from_value_parse_errors():
    with pytest.raises(ValueError, match='unmatched open bracket at position 1'):
        KeyPath.from_value('a[')
    with pytest.raises(UnicodeEncodeError):
        KeyPath.from_value('\ud800')


@pytest.mark.parametrize(
    'value, expected',
    [
        ('a.b', ['a', 'b']),
        ('x', ['x']),
        ('', []),
        ('[0]', [0]),
        (MyStr('p[1]'), ['p', 1]),
    ],
)
def test_nv_accept_parses_text(value, expected):
    p = KeyPath.__nv_accept__(value)
    assert type(p) is KeyPath and p.keys == expected


@pytest.mark.parametrize('value', [1, None, KeyPath('a'), ['a'], 1.5])
def test_nv_accept_declines(value):
    assert KeyPath.__nv_accept__(value) is NotImplemented


def test_nv_accept_parse_error_propagates():
    with pytest.raises(ValueError, match='unmatched close bracket'):
        KeyPath.__nv_accept__('a]')


# --------------------------------------------------------------------------
# JSON, copy, pickle
# --------------------------------------------------------------------------


def test_to_json():
    j = KeyPath.parse('a[0]').to_json()
    assert j == {'_type': 'norv.topology.KeyPath', 'value': 'a[0]'}
    assert list(j) == ['_type', 'value']
    assert KeyPath().to_json(anything=1) == {'_type': 'norv.topology.KeyPath', 'value': ''}
    with pytest.raises(TypeError):
        KeyPath().to_json(1)


@pytest.mark.parametrize('text', ['a[0]', 'a.b[0].c', '', 'x[a.b]', '[-4].q'])
def test_json_round_trip(text):
    p = KeyPath.parse(text)
    q = KeyPath.from_json(p.to_json())
    assert q == p and type(q) is KeyPath


def test_from_json_reads_only_value():
    assert KeyPath.from_json({'value': 'a.b', '_type': 'anything'}) == KeyPath(['a', 'b'])
    assert KeyPath.from_json({'value': 'a'}, allow_partial=True) == 'a'
    assert KeyPath.from_json(json_value={'value': 'a'}) == 'a'


def test_from_json_uses_direct_dict_lookup():
    class D(dict):
        def __getitem__(self, key):
            raise AssertionError('must not be called')

    assert KeyPath.from_json(D(value='a.b')) == 'a.b'


@pytest.mark.parametrize(
    'value, error, args',
    [
        ({}, KeyError, ("'value'",)),
        ({'value': 3}, ValueError, ("'path_str' must be a string type. Encountered: 3",)),
        ({'value': 'a]'}, ValueError, ("KeyPath parse failed: unmatched close bracket at position 1:'a]'",)),
    ],
)
def test_from_json_errors(value, error, args):
    with pytest.raises(error) as ei:
        KeyPath.from_json(value)
    assert ei.value.args == args


@pytest.mark.parametrize('value', ['a.b', ['value', 'a'], None])
def test_from_json_requires_dict(value):
    with pytest.raises(TypeError):
        KeyPath.from_json(value)


@pytest.mark.parametrize(
    'keys, read_back',
    [
        ([1.5], ['1.5']),
        ([True], ['True']),
        (['a', None], ['a', 'None']),
    ],
)
def test_json_is_lossy_for_other_keys(keys, read_back):
    q = KeyPath.from_json(KeyPath(keys).to_json())
    assert q.keys == read_back


@pytest.mark.parametrize(
    'keys',
    [
        [],
        ['a', 'b'],
        ['a', 0, -3, 2**63 - 1],
        ['a', 1.5, True, None, (1, 2), 2**70],
        ['x.y', 'a]b', ''],
        ['\u00e9', '\U0001f600'],
        ['a' * 15, '\u00e9' * 40, -(2**63)],
    ],
)
def test_pickle_round_trip(keys):
    p = KeyPath(keys)
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        q = pickle.loads(pickle.dumps(p, proto))
        assert type(q) is KeyPath
        assert q == p
        assert q.keys == keys
        assert [type(k) for k in q.keys] == [type(k) for k in keys]


def test_reduce_names_package_class():
    import norv_core

    assert norv_core.KeyPath is KeyPath
    o = (1, 2)
    fn, args = KeyPath(['a', 0, o]).__reduce__()
    assert fn is norv_core.KeyPath
    assert args == (['a', 0, o],)
    assert args[0][2] is o


@pytest.mark.parametrize('keys', [[], ['a', 0], ['a', [1, 2]], [1.5, None]])
def test_copy(keys):
    p = KeyPath(keys)
    for q in (copy.copy(p), p.__copy__()):
        assert q == p and q is not p and type(q) is KeyPath
        for a, b in zip(q.keys, p.keys):
            if not isinstance(b, (str, int)):
                assert a is b


def test_deepcopy_copies_other_keys():
    lst = [1, [2]]
    p = KeyPath(['a', lst, 0])
    q = copy.deepcopy(p)
    assert q == p and q is not p and type(q) is KeyPath
    assert q.keys[1] == lst and q.keys[1] is not lst
    assert q.keys[1][1] is not lst[1]
    assert p.keys[1] is lst


def test_deepcopy_shares_memo():
    lst = [1]
    q = copy.deepcopy(KeyPath([lst, lst]))
    assert q.keys[0] is q.keys[1] and q.keys[0] is not lst


def test_deepcopy_result_reconverted_to_key():
    class BecomesText:
        def __deepcopy__(self, memo):
            return 'zz'

        def __lt__(self, other):
            raise AssertionError('the copy must be a text key')

    q = copy.deepcopy(KeyPath([BecomesText()]))
    assert q == KeyPath(['zz'])
    assert q > KeyPath([1])  # text key: ordered by text, no Python `<`


def test_deepcopy_error_propagates():
    class NoCopy:
        def __deepcopy__(self, memo):
            raise RuntimeError('nope')

    with pytest.raises(RuntimeError, match='nope'):
        copy.deepcopy(KeyPath(['a', NoCopy()]))


# --------------------------------------------------------------------------
# Arithmetic plumbing this area must support (operands and results are keys)
# --------------------------------------------------------------------------


def test_len_matches_keys():
    for t in ['', 'a', 'a.b[0]', 'x[a.b][1][2]']:
        p = KeyPath.parse(t)
        assert len(p) == p.depth == len(p.keys)


# --------------------------------------------------------------------------
# References and leaks
# --------------------------------------------------------------------------


def test_other_key_references_are_released():
    class Obj:
        pass

    o = Obj()
    before = sys.getrefcount(o)
    for _ in range(100):
        p = KeyPath(['a', o, 1])
        q = KeyPath('x', p)
        copy.copy(q)
        copy.deepcopy(q, {id(o): o})
        q.keys
        q.key
        q.parent
        q == p
        q.__reduce__()
        del p, q
    assert sys.getrefcount(o) == before


def test_no_leak_on_repeated_text_operations():
    p = KeyPath.parse('a.b[0].c[12].d')
    for _ in range(200):
        str(p), hash(p), p == 'a.b[0].c[12].d', p < 'b', KeyPath.parse('a.b[0]')
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        str(p), hash(p), p == 'a.b[0].c[12].d', p < 'b', KeyPath.parse('a.b[0]'), KeyPath('c', p)
    gc.collect()
    assert sys.getallocatedblocks() - before < 50


def test_path_of_many_keys_renders_and_compares():
    p = KeyPath(['a'] * 100_000)
    text = str(p)
    assert text == '.'.join(['a'] * 100_000)
    assert KeyPath.parse(text) == p
    assert hash(p) == hash(text)


def test_releasing_deeply_nested_paths_does_not_overflow_the_stack(run_py):
    # A path held as the key of a path, a million deep, with a branch at every
    # level: each key must still be released exactly once.
    out = run_py(
        """
        import weakref
        from norv_core._native import KeyPath

        class Tail:
            pass

        tail = Tail()
        alive = weakref.ref(tail)
        p = KeyPath([tail])
        for _ in range(1_000_000):
            p = KeyPath(['x', p, KeyPath([1])])
        del tail, p
        print(alive() is None)
        """
    )
    assert out == "True\n"


@pytest.fixture(scope='module')
def nested_paths():
    p, q = KeyPath(), KeyPath()
    for _ in range(100_000):
        p, q = KeyPath([p]), KeyPath([q])
    return p, q


@pytest.mark.parametrize(
    'op',
    [
        lambda p, q: str(p),
        lambda p, q: hash(p),
        lambda p, q: p.path_str(preserve_complex_keys=False),
        lambda p, q: p == q,
        lambda p, q: p < q,
        lambda p, q: KeyPath([q]).is_relative_to(p),
        lambda p, q: KeyPath(['x', p]).query({'x': {}}),
    ],
)
def test_paths_nested_as_keys_end_in_recursion_error(nested_paths, op):
    with pytest.raises(RecursionError):
        op(*nested_paths)
