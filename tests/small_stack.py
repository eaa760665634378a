"""Running a call on a thread whose C stack is small, for the tests of native
recursions that must end in RecursionError, not a crash, where the stack runs
short before any depth bound is met."""

import threading


def in_small_thread(fn, kib=64):
    """`fn()` run on a thread with a `kib` KiB stack: its result, or the
    exception it raised."""
    out = []

    def run():
        try:
            out.append(fn())
        except BaseException as exc:  # noqa: BLE001 (handed back to the caller)
            out.append(exc)

    size = threading.stack_size(kib * 1024)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(size)
    return out[0]


def outcome_in_child(run_py, setup, call, kib=None):
    """The outcome of `call` (an expression) in a fresh interpreter after
    `setup`, run on the main thread or, with `kib`, on a thread with a `kib`
    KiB stack: "returned", or the name of the exception it raised. For
    recursions that used to crash the process."""
    out = run_py(
        f"""
import copy, threading
import norv_host
from norv_core import _native as n
from norv_host import objects as ho, records as hr, symbolic as hs, typing as ht
norv_host.install()
{setup}
outcome = []
def run():
    try:
        {call}
    except BaseException as e:
        outcome.append(type(e).__name__)
    else:
        outcome.append("returned")
if {kib!r} is None:
    run()
else:
    threading.stack_size({kib!r} * 1024)
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
print(*outcome)
"""
    )
    return out.strip()
