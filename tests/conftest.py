import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "host")
if HOST not in sys.path:
    sys.path.insert(0, HOST)


def run_py(code, *, check=True, env=None):
    """Run `code` in a fresh interpreter (set-once cells start empty there).

    The stand-in host is importable; `env` adds to the inherited environment.
    Returns stdout; with `check`, a non-zero exit fails the test and shows
    stderr.
    """
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join(filter(None, [HOST, os.environ.get("PYTHONPATH")])), **(env or {})
    )
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    if check and proc.returncode != 0:
        pytest.fail(f"subprocess failed ({proc.returncode}):\n{proc.stderr}")
    return proc.stdout if check else proc


@pytest.fixture(name="run_py")
def run_py_fixture():
    return run_py


class Raised:
    """An exception class a hook raises where an error is discarded.

    Only ordinary exceptions (`Exception` subclasses) are discarded; an
    interrupt, an exit request or an internal fault goes through.
    """

    def __init__(self, cls):
        self.cls = cls
        self.discarded = issubclass(cls, Exception)

    def __repr__(self):
        return self.cls.__name__

    def check(self, call, expected):
        """`call()` gives `expected` when the error is discarded, and raises it otherwise."""
        if self.discarded:
            assert call() == expected
        else:
            with pytest.raises(self.cls):
                call()

    def number(self, value):
        """Acts as the int `value` in Python arithmetic and comparisons, but its `__index__` raises."""
        return _Unindexable(self.cls, value)

    def attribute(self):
        """A class attribute whose every read raises."""
        return _Unreadable(self.cls)


class _Unreadable:
    def __init__(self, cls):
        self._cls = cls

    def __get__(self, obj, owner):
        raise self._cls("unreadable")


class _Unindexable:
    def __init__(self, cls, value):
        self._cls, self._value = cls, value

    def __index__(self):
        raise self._cls("no index")

    def __int__(self):
        return self._value

    def __add__(self, other):
        return self._value + other

    def __rmul__(self, other):
        return other * self._value

    def __lt__(self, other):
        return self._value < other

    def __le__(self, other):
        return self._value <= other

    def __gt__(self, other):
        return self._value > other

    def __ge__(self, other):
        return self._value >= other


def _raised_classes():
    from norv_core import PanicException

    return [RuntimeError, AttributeError, KeyboardInterrupt, SystemExit, PanicException]


@pytest.fixture(params=_raised_classes(), ids=lambda c: c.__name__)
def raised(request):
    return Raised(request.param)


@pytest.fixture(scope="session")
def n():
    from norv_core import _native

    return _native


@pytest.fixture
def registry():
    """The stand-in host's forward-reference registry, restored after the test."""
    from norv_host import typing as ht

    saved = dict(ht.REGISTRY)
    yield ht.REGISTRY
    ht.REGISTRY.clear()
    ht.REGISTRY.update(saved)


class _CallSink(list):
    def append(self, item):
        pass


@pytest.fixture
def no_call_log(monkeypatch):
    """The stand-in host records no calls: its record would hold the objects a leak check counts."""
    from norv_host import typing as ht

    monkeypatch.setattr(ht, "calls", _CallSink())
