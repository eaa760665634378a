"""What the stand-in host records of the symbolic layer's calls, for the
tests of the symbolic containers."""

import pytest

from norv_core import _native as n
from norv_host import symbolic as hs


@pytest.fixture
def fresh_host():
    """An empty call record to start with, and every flag scope absent afterwards."""
    hs.clear()
    yield
    for flag in range(5):
        n._flag_scope_del(flag)


def calls(name):
    """The arguments of each recorded call of `name`."""
    return [c[1:] for c in hs.calls if c[0] == name]


def leak_round(fn):
    """`fn` as one leak-check round that leaves the call record empty."""

    def run():
        fn()
        hs.clear()

    return run
