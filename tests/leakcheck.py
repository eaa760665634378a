"""Leak checks shared by the tests: reference counts and allocated blocks."""

import gc
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


def block_growth(fn, rounds, tries=5):
    """How many memory blocks `rounds` further calls of `fn` leave allocated
    once the collector has run: the least over up to `tries` measurements,
    stopping at the first that shows no growth.

    One warm-up call first, so caches filled on first use do not count. The
    interpreter's own caches grow now and then (a resize, a specialization),
    and so may what the rest of the process does meanwhile; a leak grows in
    every measurement.
    """
    fn()
    least = None
    # Bound once beforehand, so a measurement's own int replaces one and
    # does not count as growth.
    before = sys.getallocatedblocks()
    for _ in range(tries):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            fn()
        gc.collect()
        growth = sys.getallocatedblocks() - before
        least = growth if least is None else min(least, growth)
        if least <= 0:
            break
    return least


def swallow(make, exc=Exception):
    """`make` as a call whose exception of type `exc` (default: any ordinary
    one) is dropped, for leak checks of failing paths."""

    def run():
        try:
            make()
        except exc:
            pass

    return run
