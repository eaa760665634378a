"""Flag-scope get/set: the native per-thread store against the pure-Python one a
host would otherwise keep (a threading.local holding the tri-state)."""

import threading

import pyperf

from norv_core import _native as n

_ABSENT = object()


class PyScopes(threading.local):
    def __init__(self):
        self.values = {}

    def get(self, key, default):
        return self.values.get(key, default)

    def set(self, key, value):
        if value is not None and not isinstance(value, bool):
            raise TypeError(value)
        self.values[key] = value


PY = PyScopes()
LOOPS = 1000


def get_set_loop(get, put):
    def loop():
        for _ in range(LOOPS):
            put(0, True)
            get(0, _ABSENT)
            put(0, None)
            get(4, _ABSENT)

    return loop


def main():
    runner = pyperf.Runner()
    native = runner.bench_func("flags native get/set x1000", get_set_loop(n._flag_scope_get, n._flag_scope_set))
    python = runner.bench_func("flags threading.local get/set x1000", get_set_loop(PY.get, PY.set))
    if native is not None and python is not None:
        print(f"ratio python/native: {python.mean() / native.mean():.2f}x")


if __name__ == "__main__":
    main()
