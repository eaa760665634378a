"""KeyPath.query / get / exists over plain data, probed objects and
symbolic nodes."""

import pytest

from norv_core import _native as n
from norv_host.topology import SymNode

KeyPath = n.KeyPath
P = KeyPath.parse


def absent(path_text, key, value):
    return f'Path {path_text} does not exist: key {key!r} is absent from innermost value {value!r}.'


# --------------------------------------------------------------------------
# Probed shapes
# --------------------------------------------------------------------------


class NoLen:
    """Item access without __len__."""

    def __getitem__(self, key):
        return ('item', key)

    def __contains__(self, key):
        return True

    def __repr__(self):
        return 'NoLen()'


class NoContains:
    """Item access and length without __contains__."""

    def __getitem__(self, key):
        return ('item', key)

    def __len__(self):
        return 3

    def __repr__(self):
        return 'NoContains()'


class Opaque:
    def __repr__(self):
        return 'Opaque()'


class RecordingList(list):
    def __init__(self, *a):
        super().__init__(*a)
        self.calls = []

    def __getitem__(self, i):
        self.calls.append(('getitem', i))
        return super().__getitem__(i)

    def __len__(self):
        self.calls.append(('len',))
        return super().__len__()


class RecordingDict(dict):
    def __init__(self, *a, **k):
        super().__init__(*a, **k)
        self.calls = []

    def __getitem__(self, k):
        self.calls.append(('getitem', k))
        return super().__getitem__(k)

    def __contains__(self, k):
        self.calls.append(('contains', k))
        return super().__contains__(k)

    def __len__(self):
        self.calls.append(('len',))
        return super().__len__()


# --------------------------------------------------------------------------
# Successful walks
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    'path, src, expected',
    [
        (P('a.b'), {'a': {'b': 1}}, 1),
        (P('a[1].b'), {'a': [0, {'b': 'x'}]}, 'x'),
        (P('[1]'), (10, 20, 30), 20),
        (KeyPath(-1), [10, 20], 20),
        (KeyPath(-2), (10, 20), 10),
        (KeyPath(True), [10, 20], 20),
        (KeyPath(False), [10, 20], 10),
        (KeyPath(True), (10, 20), 20),
        (P('[0]'), {0: 'a'}, 'a'),  # integer key on a dict: index route
        (P('[1]'), {0: 'a', 1: 'b'}, 'b'),
        (KeyPath([('x', 1)]), {('x', 1): 5}, 5),
        (KeyPath([None]), {None: 'n'}, 'n'),
        (KeyPath([1.0]), {1: 'one'}, 'one'),
        (KeyPath(['a.b']), {'a.b': 3}, 3),
        (P('[]'), {'': 'empty'}, 'empty'),
        (KeyPath([2**70]), {2**70: 'big'}, 'big'),
        (P('\u00e9'), {'\u00e9': 1}, 1),
        (P('[0]'), 'xyz', 'x'),  # probed str: __getitem__ and __len__
    ],
)
def test_query(path, src, expected):
    assert path.query(src) == expected
    assert path.get(src) == expected
    assert path.get(src, 'default') == expected
    assert path.exists(src) is True


def test_empty_path_returns_source_itself():
    for src in [{'a': 1}, [1], 5, None, object()]:
        assert KeyPath().query(src) is src
        assert KeyPath().get(src, 'd') is src
        assert KeyPath().exists(src) is True


def test_query_returns_the_stored_object():
    inner = {'b': [1]}
    src = {'a': inner}
    assert P('a').query(src) is inner
    assert P('a.b').query(src) is inner['b']


# --------------------------------------------------------------------------
# Errors
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    'path, src, message',
    [
        (P('a.c'), {'a': {'b': 1}}, absent('a.c', 'c', {'b': 1})),
        (P('a.b.c'), {'a': {'x': 1}}, absent('a.b', 'b', {'x': 1})),
        (P('[2]'), [10, 20], absent('[2]', 2, [10, 20])),
        (P('a[2]'), {'a': (1, 2)}, absent('a[2]', 2, (1, 2))),
        (P('x'), [1], absent('x', 'x', [1])),
        (P('[5]'), {5: 'a'}, absent('[5]', 5, {5: 'a'})),
        (KeyPath([True]), {True: 'x'}, absent('[True]', True, {True: 'x'})),
        (KeyPath(['a.b']), {}, absent('[a.b]', 'a.b', {})),
        (KeyPath(['q', 'a.b', 0]), {'q': {}}, absent('q[a.b]', 'a.b', {})),
        (KeyPath([None]), {}, absent('[None]', None, {})),
        (
            P('a.b'),
            {'a': 1},
            "Cannot query sub-key 'b' of object (1): '__getitem__' does not exist. (path=a)",
        ),
        (P('a'), 5, "Cannot query sub-key 'a' of object (5): '__getitem__' does not exist. (path=)"),
        (
            P('x[a.b][0]'),
            {'x': {'a.b': Opaque()}},
            "Cannot query sub-key 0 of object (Opaque()): '__getitem__' does not exist. (path=x[a.b])",
        ),
        (P('[0]'), NoLen(), "Cannot query index (0) on object (NoLen()): '__len__' does not exist."),
        (KeyPath(True), NoLen(), "Cannot query index (1) on object (NoLen()): '__len__' does not exist."),
        (P('a'), NoContains(), "Cannot query key ('a') on object (NoContains()): '__contains__' does not exist."),
        (P('[3]'), NoContains(), absent('[3]', 3, NoContains())),
    ],
)
def test_query_key_errors(path, src, message):
    with pytest.raises(KeyError) as ei:
        path.query(src)
    assert type(ei.value) is KeyError
    assert ei.value.args == (message,)
    assert path.get(src) is None
    assert path.get(src, 0) == 0
    assert path.get(src, None) is None
    assert path.get(src, default_value='d') == 'd'
    assert path.exists(src) is False


@pytest.mark.parametrize('src', [[10, 20], (10, 20)])
def test_negative_index_below_length_raises_index_error_everywhere(src):
    p = KeyPath(-3)
    with pytest.raises(IndexError):
        p.query(src)
    with pytest.raises(IndexError):
        p.get(src, 'd')
    with pytest.raises(IndexError):
        p.exists(src)


def test_negative_index_reaches_probed_object_unchanged():
    src = RecordingList([1, 2, 3])
    assert KeyPath(-1).query(src) == 3
    assert src.calls == [('len',), ('getitem', -1)]


def test_unhashable_key_on_dict_passes_through():
    p = KeyPath([[1]])
    for call in (p.query, p.get, p.exists):
        with pytest.raises(TypeError, match='unhashable'):
            call({})


def test_repr_error_replaces_the_key_error():
    class BadRepr:
        def __repr__(self):
            raise RuntimeError('repr failed')

    with pytest.raises(RuntimeError, match='repr failed'):
        P('a').query(BadRepr())
    with pytest.raises(RuntimeError, match='repr failed'):
        P('a').get(BadRepr())


def test_render_error_of_message_path_replaces_the_key_error():
    class BadStr:
        def __str__(self):
            raise RuntimeError('str failed')

        def __hash__(self):
            return 1

        def __eq__(self, other):
            return False

    with pytest.raises(RuntimeError, match='str failed'):
        KeyPath([BadStr()]).query({})


# --------------------------------------------------------------------------
# get / exists drop the KeyError of a miss: whatever building it would run or
# raise must still happen exactly as it does for query
# --------------------------------------------------------------------------


class Counted:
    """Counts its str() and repr() calls; hashable, equal only to itself."""

    def __init__(self):
        self.calls = 0

    def __repr__(self):
        self.calls += 1
        return 'Counted()'

    __str__ = __repr__

    def __hash__(self):
        return 1


@pytest.mark.parametrize(
    'make',
    [
        lambda c: (P('a.x'), {'a': {'k': [1, c]}}),  # inside a plain innermost value
        lambda c: (P('[3]'), [(c,)]),  # index past the end of a list
        lambda c: (KeyPath([c]), {}),  # the key: rendered into the path and shown by repr
        lambda c: (KeyPath([c, 'x']), {c: {}}),  # a key of the path shown
        lambda c: (P('a.b'), {'a': c}),  # no __getitem__
        lambda c: (KeyPath([c]), NoContains()),  # no __contains__
    ],
)
def test_get_and_exists_run_the_message_code_of_query(make):
    counted = Counted()
    path, src = make(counted)
    with pytest.raises(KeyError):
        path.query(src)
    per_call = counted.calls
    assert per_call > 0
    assert path.get(src, 'd') == 'd'
    assert counted.calls == 2 * per_call
    assert path.exists(src) is False
    assert counted.calls == 3 * per_call


def nested_lists(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    'path, src, error',
    [
        (P('x'), {'y': 10**5000}, ValueError),  # too many digits for repr()
        (KeyPath(['\ud800', 'x']), {'\ud800': {}}, UnicodeEncodeError),  # path text cannot be encoded
        (P('x'), {'y': nested_lists(100_000)}, RecursionError),
        (P('[5]'), nested_lists(100_000), RecursionError),
    ],
)
def test_get_and_exists_raise_what_building_the_key_error_raises(path, src, error):
    for call in (path.query, path.get, path.exists):
        with pytest.raises(error):
            call(src)


def test_get_and_exists_agree_with_query_at_the_recursion_limit():
    # The walk descends one level per key; at the end, repr() of the innermost
    # value needs a few more. Find the shallowest walk whose message runs out.
    leaf = [[[['x']]]]

    def outcomes(depth):
        src = leaf
        for _ in range(depth):
            src = {'a': src}
        path = KeyPath(['a'] * depth + ['b'])
        results = []
        # Each called the same way, so each starts at the same depth.
        for call in (lambda s: path.query(s), lambda s: path.get(s, 'd'), lambda s: path.exists(s)):
            try:
                results.append(call(src))
            except (KeyError, RecursionError) as e:
                results.append(type(e))
        return results

    lo, hi = 0, 1 << 17
    while lo < hi:
        mid = (lo + hi) // 2
        if outcomes(mid)[0] is RecursionError:
            hi = mid
        else:
            lo = mid + 1
    for depth in range(lo - 6, lo + 6):
        query, get, exists = outcomes(depth)
        if query is KeyError:
            assert (get, exists) == ('d', False)
        else:
            assert (query, get, exists) == (RecursionError,) * 3


# --------------------------------------------------------------------------
# Probing protocol
# --------------------------------------------------------------------------


def test_list_subclass_is_probed():
    src = RecordingList([10, 20])
    assert P('[1]').query(src) == 20
    assert src.calls == [('len',), ('getitem', 1)]
    src.calls.clear()
    with pytest.raises(KeyError) as ei:
        P('[2]').query(src)
    assert ei.value.args == (absent('[2]', 2, [10, 20]),)
    assert src.calls[0] == ('len',)


def test_dict_subclass_is_probed():
    src = RecordingDict(a=1)
    assert P('a').query(src) == 1
    assert src.calls == [('contains', 'a'), ('getitem', 'a')]
    src.calls.clear()
    assert P('b').exists(src) is False
    assert src.calls == [('contains', 'b')]


def test_dict_subclass_with_integer_key_uses_length():
    src = RecordingDict({0: 'zero'})
    assert P('[0]').query(src) == 'zero'
    assert src.calls == [('len',), ('getitem', 0)]


def test_bool_key_indexes_probed_objects_with_an_int():
    src = RecordingList(['f', 't'])
    assert KeyPath(True).query(src) == 't'
    assert src.calls == [('len',), ('getitem', 1)]
    assert type(src.calls[1][1]) is int


def test_key_error_raised_by_called_code_is_absorbed_by_get():
    class Lookup:
        def __getitem__(self, k):
            raise KeyError('inner')

        def __contains__(self, k):
            return True

    class SubKeyError(KeyError):
        pass

    class Lookup2(Lookup):
        def __getitem__(self, k):
            raise SubKeyError('inner')

    for src in (Lookup(), Lookup2()):
        with pytest.raises(KeyError, match='inner'):
            P('a').query(src)
        assert P('a').get(src, 'd') == 'd'
        assert P('a').exists(src) is False


def test_other_errors_of_called_code_pass_through_get():
    class Lookup:
        def __getitem__(self, k):
            raise LookupError('not a KeyError')

        def __contains__(self, k):
            return True

    with pytest.raises(LookupError):
        P('a').get(Lookup(), 'd')
    with pytest.raises(LookupError):
        P('a').exists(Lookup())


class FetchFails:
    """Holds every key, but fetching one raises."""

    def __len__(self):
        return 9

    def __contains__(self, k):
        return True

    def __getitem__(self, k):
        raise ValueError('fetch')


class SymFetchFails:
    def sym_hasattr(self, k):
        return True

    def sym_getattr(self, k):
        raise ValueError('fetch')


@pytest.mark.parametrize(
    'key, src, error',
    [
        (-5, [1, 2], IndexError),
        (0, FetchFails(), ValueError),
        ('a', FetchFails(), ValueError),
        ('a', SymFetchFails(), ValueError),
    ],
    ids=['list', 'index', 'key', 'sym'],
)
def test_a_failed_fetch_is_no_miss(key, src, error):
    for call in (lambda: KeyPath(key).get(src, 'd'), lambda: KeyPath(key).exists(src)):
        with pytest.raises(error):
            call()


def test_attribute_lookup_error_passes_through():
    class Weird:
        def __getattr__(self, name):
            raise RuntimeError(f'lookup {name}')

    with pytest.raises(RuntimeError, match='lookup sym_hasattr'):
        P('a').get(Weird())


# --------------------------------------------------------------------------
# Symbolic nodes
# --------------------------------------------------------------------------


def test_sym_node_uses_sym_getattr():
    node = SymNode({'a': {'b': 1}})
    assert P('a.b').query(node) == 1
    assert node.calls == [('sym_hasattr', 'a'), ('sym_getattr', 'a')]


def test_sym_node_uses_sym_inferred_when_asked():
    node = SymNode({'a': 1}, inferred={'b': 2})
    assert P('b').query(node, use_inferred=True) == 2
    assert P('a').query(node, True) == 1
    assert P('b').get(node, None, True) == 2
    assert node.calls == [
        ('sym_hasattr', 'b'),
        ('sym_inferred', 'b'),
        ('sym_hasattr', 'a'),
        ('sym_inferred', 'a'),
        ('sym_hasattr', 'b'),
        ('sym_inferred', 'b'),
    ]


def test_exists_never_infers():
    node = SymNode({}, inferred={'b': 2})
    with pytest.raises(KeyError):
        # sym_hasattr says yes, but sym_getattr has nothing: the host's KeyError
        P('b').query(node)
    node.calls.clear()
    assert P('b').exists(node) is False
    assert ('sym_inferred', 'b') not in node.calls


def test_sym_node_integer_and_other_keys_are_passed_as_objects():
    o = ('t', 1)
    node = SymNode({0: 'zero', o: 'tuple', True: 'yes'})
    assert P('[0]').query(node) == 'zero'
    assert KeyPath([o]).query(node) == 'tuple'
    assert node.calls[0] == ('sym_hasattr', 0) and type(node.calls[0][1]) is int
    assert node.calls[3][1] is o


def test_sym_node_bool_key_passed_as_bool():
    node = SymNode({True: 'yes'})
    assert KeyPath(True).query(node) == 'yes'
    assert node.calls[0][1] is True


def test_sym_node_same_key_object_for_every_call_of_a_step():
    seen = []

    class Node:
        def sym_hasattr(self, k):
            seen.append(k)
            return True

        def sym_getattr(self, k):
            seen.append(k)
            return 1

    assert KeyPath(['name_' + 'x' * 20]).query(Node()) == 1
    assert seen[0] is seen[1]


def test_sym_hasattr_false_gives_absent_key_error():
    node = SymNode({'a': SymNode({}, name='Inner')}, name='Outer')
    with pytest.raises(KeyError) as ei:
        P('a.z').query(node)
    assert ei.value.args == ('Path a.z does not exist: key \'z\' is absent from innermost value Inner.',)
    assert P('a.z').get(node, 7) == 7


def test_sym_hasattr_result_is_taken_by_truth():
    class Node:
        def __init__(self, answer):
            self.answer = answer

        def sym_hasattr(self, k):
            return self.answer

        def sym_getattr(self, k):
            return 'v'

        def __repr__(self):
            return 'Node'

    assert P('a').query(Node(1)) == 'v'
    assert P('a').exists(Node([])) is False

    class BadBool:
        def __bool__(self):
            raise RuntimeError('truth')

    with pytest.raises(RuntimeError, match='truth'):
        P('a').exists(Node(BadBool()))


def test_key_error_inside_sym_getattr_yields_default():
    class Node:
        def sym_hasattr(self, k):
            return True

        def sym_getattr(self, k):
            raise KeyError(k)

    assert P('a').get(Node(), 'dflt') == 'dflt'
    assert P('a').exists(Node()) is False
    with pytest.raises(KeyError):
        P('a').query(Node())


def test_host_may_use_the_path_during_the_walk():
    p = P('a.b')

    class Node:
        def sym_hasattr(self, k):
            return True

        def sym_getattr(self, k):
            # re-entering the same path object from a callback is fine
            assert str(p) == 'a.b' and hash(p) == hash('a.b')
            return {'b': p.get({'a': {'b': 3}})}

    assert p.query(Node()) == 3


# --------------------------------------------------------------------------
# Arguments
# --------------------------------------------------------------------------


@pytest.mark.parametrize('flag', [1, None, 'yes', 0.0])
def test_use_inferred_accepts_only_bool(flag):
    node = SymNode({'a': 1})
    with pytest.raises(TypeError, match="argument 'use_inferred'"):
        P('a').query(node, use_inferred=flag)
    with pytest.raises(TypeError, match="argument 'use_inferred'"):
        P('a').get(node, None, flag)
    assert node.calls == []


def test_keyword_arguments():
    src = {'a': 1}
    assert P('a').query(src=src, use_inferred=False) == 1
    assert P('b').get(src=src, default_value=2, use_inferred=False) == 2
    assert P('a').exists(src=src) is True


@pytest.mark.parametrize(
    'call',
    [
        lambda p: p.query(),
        lambda p: p.query({}, False, 1),
        lambda p: p.exists({}, False),
        lambda p: p.exists({}, use_inferred=True),
        lambda p: p.get(),
        lambda p: p.query({}, foo=1),
    ],
)
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call(P('a'))


# --------------------------------------------------------------------------
# Depth
# --------------------------------------------------------------------------


def nested(depth, key='a'):
    leaf = 7
    for _ in range(depth):
        leaf = {key: leaf}
    return leaf


def test_moderately_deep_path():
    p = KeyPath(['a'] * 500)
    assert p.query(nested(500)) == 7
    assert p.exists(nested(499)) is False


def test_very_deep_path_on_deep_data_raises_recursion_error(run_py):
    out = run_py(
        """
from norv_core import _native as n
leaf = 'leaf'
for _ in range(100_000):
    leaf = {'a': leaf}
p = n.KeyPath(['a'] * 100_000)
for call in (p.query, p.get, p.exists):
    try:
        call(leaf)
    except RecursionError:
        print('recursion')
    else:
        print('no error')
"""
    )
    assert out.split() == ['recursion'] * 3


def test_very_deep_path_on_shallow_data_fails_fast():
    p = KeyPath(['a'] * 100_000)
    assert p.exists({'a': {}}) is False
    assert p.get([1], 'd') == 'd'
