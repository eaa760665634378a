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
