"""Reference-count checks shared by the leak tests."""

import sys


def refcount_delta(obj, fn, rounds=200):
    """How many references to `obj` `rounds` further calls of `fn` leave behind.

    One warm-up call first, so caches filled on first use do not count.
    """
    fn()
    before = sys.getrefcount(obj)
    for _ in range(rounds):
        fn()
    return sys.getrefcount(obj) - before
