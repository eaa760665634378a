import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "host")
if HOST not in sys.path:
    sys.path.insert(0, HOST)


def run_py(code, *, check=True):
    """Run `code` in a fresh interpreter (set-once cells start empty there).

    The stand-in host is importable. Returns stdout; with `check`, a non-zero
    exit fails the test and shows stderr.
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [HOST, os.environ.get("PYTHONPATH")])))
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
