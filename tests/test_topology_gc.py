"""Key paths and key-path sets in the cyclic garbage collector: cycles through
them are freed, plain paths stay untracked, a cleared set stays usable, and a
path's hash always belongs to its text."""

import contextlib
import copy
import gc
import sys
import weakref

import pytest
from collector import tp_clear

from norv_core import _native as n

KeyPath = n.KeyPath
KeyPathSet = n.KeyPathSet


class Holder:
    """A user object that closes a cycle; the weak reference to it tells
    whether the cycle was freed."""


@contextlib.contextmanager
def collector_paused():
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


# Each builder makes one cycle through one slot and returns the Holder in it.


def set_through_trie():
    s = KeyPathSet(['a'])
    h = Holder()
    h.s = s
    s._trie['x'] = {'$': True, 'h': {h: {}}}
    return h


def set_through_subtree_node():
    s = KeyPathSet(['a.b'])
    h = Holder()
    h.s = s
    s.subtree('a')._trie[h] = {'$': True}
    return h


def set_as_its_own_key():
    s = KeyPathSet()
    h = Holder()
    h.s = s
    s._trie[h] = {}
    return h


def path_with_list_key():
    h = Holder()
    box = [h]
    p = KeyPath([box])
    box.append(p)
    return h


def path_with_instance_key():
    h = Holder()
    h.p = KeyPath(['a', h, 0])
    return h


def path_nested_in_path():
    h = Holder()
    inner = KeyPath([h])
    h.outer = KeyPath([inner, 'x'], KeyPath('root'))
    return h


def path_in_set_holding_the_set():
    s = KeyPathSet()
    h = Holder()
    h.s = s
    s.add(KeyPath(['k', h]))
    return h


CYCLES = [
    set_through_trie,
    set_through_subtree_node,
    set_as_its_own_key,
    path_with_list_key,
    path_with_instance_key,
    path_nested_in_path,
    path_in_set_holding_the_set,
]


@pytest.mark.parametrize('build', CYCLES)
def test_cycle_is_freed_by_the_collector(build):
    with collector_paused():
        alive = weakref.ref(build())
        # Reference counting alone cannot free it: it really is a cycle.
        assert alive() is not None
        gc.collect()
        assert alive() is None


@pytest.mark.parametrize('build', CYCLES)
def test_cycle_with_finalizer_is_freed(build):
    # A finalizer in the cycle runs once and does not keep the cycle alive.
    ran = []

    class Final(Holder):
        def __del__(self):
            ran.append(True)

    with collector_paused():
        h = build()
        h.__class__ = Final
        del h
        gc.collect()
    assert ran == [True]
    assert gc.garbage == []


def test_building_and_dropping_cycles_does_not_grow_memory():
    def rounds(count):
        for _ in range(count):
            for build in CYCLES:
                build()

    rounds(100)
    gc.collect()
    before = sys.getallocatedblocks()
    rounds(10_000)
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


# --------------------------------------------------------------------------
# Which objects the collector tracks
# --------------------------------------------------------------------------

UNTRACKED_PATHS = {
    'text and int keys': lambda: KeyPath('a.b[0]'),
    'parsed': lambda: KeyPath.parse('a.b[0].c'),
    'heap text key': lambda: KeyPath(['a', 1, -5, 'long text key beyond the inline size']),
    'root': lambda: KeyPath(),
    'atomic object keys': lambda: KeyPath([1.5, None, True, 2**70, b'bytes']),
    'untracked path as key': lambda: KeyPath([KeyPath('a.b'), 'x']),
    'child of untracked parent': lambda: KeyPath('c', KeyPath('a.b')),
    'sum': lambda: KeyPath.parse('a.b') + 'c',
}

TRACKED_PATHS = {
    'list key': lambda: KeyPath([[]]),
    'instance key': lambda: KeyPath([Holder()]),
    'tracked path as key': lambda: KeyPath([KeyPath([[]])]),
    'child of tracked parent': lambda: KeyPath('c', KeyPath([{}])),
    'parsed under tracked parent': lambda: KeyPath.parse('x[1]', KeyPath([{}])),
    'sum with tracked path': lambda: KeyPath('a') + KeyPath([{}]),
    'parent of tracked path': lambda: KeyPath([{}, 'x']).parent,
    'copy': lambda: copy.copy(KeyPath([Holder()])),
    'deep copy': lambda: copy.deepcopy(KeyPath([Holder()])),
}


@pytest.mark.parametrize('make', UNTRACKED_PATHS.values(), ids=UNTRACKED_PATHS.keys())
def test_paths_that_cannot_form_a_cycle_stay_untracked(make):
    p = make()
    assert not gc.is_tracked(p)
    assert gc.get_referents(p) == []


@pytest.mark.parametrize('make', TRACKED_PATHS.values(), ids=TRACKED_PATHS.keys())
def test_paths_holding_a_collectable_key_object_are_tracked(make):
    p = make()
    assert gc.is_tracked(p)
    assert p == KeyPath(p.keys) and hash(p) == hash(str(p))


def test_the_collector_sees_what_paths_and_sets_hold():
    h, box = Holder(), []
    p = KeyPath(['a', h, 3, box])
    referents = gc.get_referents(p)
    assert type(p) in referents
    assert any(r is h for r in referents) and any(r is box for r in referents)
    assert len(referents) == 3

    s = KeyPathSet(['a'])
    assert gc.is_tracked(s)
    referents = gc.get_referents(s)
    assert type(s) in referents and any(r is s._trie for r in referents)


def test_collection_while_nested_paths_are_released():
    # Releasing nested paths queues the inner ones. A queued path has no
    # references left and is not the collector's to take: a collection run
    # meanwhile (here by a key's finalizer) finds nothing.
    found = []

    class Collects:
        def __del__(self):
            found.append(gc.collect())

    with collector_paused():
        p = KeyPath([Holder()])
        for i in range(20_000):
            p = KeyPath(['x', p, Collects() if i % 2_000 == 0 else i])
        assert gc.is_tracked(p)
        del p
    assert found == [0] * 10


# --------------------------------------------------------------------------
# A cleared set
# --------------------------------------------------------------------------


@pytest.fixture
def cleared():
    s = KeyPathSet(['a.b', 'c'])
    tp_clear(s)
    return s


CLEARED_SET_OPS = {
    'iter': (lambda s: list(s), []),
    'str': (lambda s: str(s), 'KeyPathSet()'),
    'bool': (lambda s: bool(s), False),
    'in': (lambda s: 'a.b' in s, False),
    '_trie': (lambda s: s._trie, {}),
    'has_prefix': (lambda s: s.has_prefix('a'), False),
    'remove': (lambda s: s.remove('c'), False),
    'subtree': (lambda s: s.subtree('a'), None),
    'copy': (lambda s: s.copy() == KeyPathSet(), True),
    '==': (lambda s: s == KeyPathSet(), True),
    'union': (lambda s: s.union(KeyPathSet(['z'])) == KeyPathSet(['z']), True),
    '+': (lambda s: list(s + KeyPathSet(['z'])), [KeyPath('z')]),
    'difference': (lambda s: s.difference(KeyPathSet(['z'])) == KeyPathSet(), True),
    'intersection': (lambda s: s.intersection(KeyPathSet(['z'])) == KeyPathSet(), True),
    'as the other set': (lambda s: KeyPathSet(['z']).union(s) == KeyPathSet(['z']), True),
    'path + set': (lambda s: list(KeyPath('p') + s), []),
    'add, rebase': (lambda s: (s.add('x.y'), s.rebase('r'), list(s))[-1], [KeyPath.parse('r.x.y')]),
    'update': (lambda s: (s.update(KeyPathSet(['q'])), 'q' in s)[-1], True),
    'in-place removals': (
        lambda s: (s.clear(), s.difference_update(s), s.intersection_update(s), list(s))[-1],
        [],
    ),
}


@pytest.mark.parametrize('op, expected', CLEARED_SET_OPS.values(), ids=CLEARED_SET_OPS.keys())
def test_cleared_set_acts_as_an_empty_set(cleared, op, expected):
    assert op(cleared) == expected


def test_clearing_a_set_leaves_shared_nodes_alone():
    s = KeyPathSet(['a.b', 'c'])
    view = s.subtree('a')
    root = s._trie
    tp_clear(s)
    assert root == {'a': {'b': {'$': True}}, 'c': {'$': True}}
    assert list(view) == [KeyPath('b')]
    tp_clear(s)  # twice is harmless
    assert list(s) == []


def test_finalizers_touching_a_set_during_its_collection():
    # Weak references made by a finalizer outlive the collector's first step,
    # so their callbacks run while it clears the cycle: the set they reach may
    # be intact or already cleared, never broken.
    seen = []
    refs = []

    class Final:
        def __del__(self):
            for h in self.holders:
                refs.append(weakref.ref(h, touch))

    def touch(_):
        for r in refs:
            h = r()
            if not seen and h is not None and 's' in vars(h):
                s = h.s
                before = [str(p) for p in s]
                s.add('q')
                s.rebase('z')
                seen.append((before, 'z.q' in s, [str(p) for p in s]))

    with collector_paused():
        s = KeyPathSet(['a'])
        f = Final()
        f.holders = [Holder() for _ in range(8)]
        for h in f.holders:
            h.s, h.f = s, f
        s._trie[f] = {}
        del s, f, h
        gc.collect()
    assert len(seen) == 1
    before, has_q, after = seen[0]
    assert before in ([], ['a']) and has_q
    assert sorted(after) == sorted('z.' + t for t in before + ['q'])


# --------------------------------------------------------------------------
# The hash follows the text
# --------------------------------------------------------------------------


class RendersTwice:
    """A key whose first rendering hashes the path that holds it: the nested
    rendering sees a different text ("B") than the outer one ("A")."""

    def __init__(self):
        self.depth = 0
        self.path = None

    def __str__(self):
        self.depth += 1
        try:
            if self.depth == 1:
                hash(self.path)
                return 'A'
            return 'B'
        finally:
            self.depth -= 1


FIRST_USES = {
    'str': str,
    'hash': hash,
    '== text': lambda p: p == '[A]',
    '< text': lambda p: p < '[B]',
    'to_json': lambda p: p.to_json(),
    'dict key': lambda p: {p: 1},
}


@pytest.mark.parametrize('first_use', FIRST_USES.values(), ids=FIRST_USES.keys())
def test_hash_belongs_to_the_text_kept(first_use):
    k = RendersTwice()
    p = KeyPath([k])
    k.path = p
    first_use(p)
    assert str(p) == '[A]'
    assert hash(p) == hash(str(p)) == hash('[A]')
    assert {'[A]': 1}.get(p) == 1
    assert p in {'[A]'}
