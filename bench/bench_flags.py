"""Flag-scope get and set: the native per-thread store against what a host
would otherwise keep per thread or per context in Python: a ContextVar
(`var.get(default)`, the same read-with-default, and `var.get()`;
`var.set(value)`) and a threading.local attribute.

Every contender does the same number of operations, unrolled ten to a loop
turn so that the loop itself weighs little. Ratios are native / peer (below 1:
native is faster).
"""

import contextvars
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sidebyside  # noqa: E402
from norv_core import _native as n  # noqa: E402

TURNS = 100  # ten operations per turn
ABSENT = object()

FLAG = n._FLAG_SEALED
VAR = contextvars.ContextVar("sealed")
LOCAL = threading.local()


def flag_get(get=n._flag_scope_get, flag=FLAG, d=ABSENT):
    for _ in range(TURNS):
        get(flag, d); get(flag, d); get(flag, d); get(flag, d); get(flag, d)  # noqa: E702
        get(flag, d); get(flag, d); get(flag, d); get(flag, d); get(flag, d)  # noqa: E702


def var_get_default(var=VAR, d=ABSENT):
    get = var.get
    for _ in range(TURNS):
        get(d); get(d); get(d); get(d); get(d); get(d); get(d); get(d); get(d); get(d)  # noqa: E702


def var_get(var=VAR):
    get = var.get
    for _ in range(TURNS):
        get(); get(); get(); get(); get(); get(); get(); get(); get(); get()  # noqa: E702


def local_get(local=LOCAL):
    for _ in range(TURNS):
        local.sealed; local.sealed; local.sealed; local.sealed; local.sealed  # noqa: E702, B018
        local.sealed; local.sealed; local.sealed; local.sealed; local.sealed  # noqa: E702, B018


def flag_set(put=n._flag_scope_set, flag=FLAG, v=True):
    for _ in range(TURNS):
        put(flag, v); put(flag, v); put(flag, v); put(flag, v); put(flag, v)  # noqa: E702
        put(flag, v); put(flag, v); put(flag, v); put(flag, v); put(flag, v)  # noqa: E702


def var_set(var=VAR, v=True):
    put = var.set
    for _ in range(TURNS):
        put(v); put(v); put(v); put(v); put(v); put(v); put(v); put(v); put(v); put(v)  # noqa: E702


def local_set(local=LOCAL, v=True):
    for _ in range(TURNS):
        local.sealed = v; local.sealed = v; local.sealed = v; local.sealed = v; local.sealed = v  # noqa: E702
        local.sealed = v; local.sealed = v; local.sealed = v; local.sealed = v; local.sealed = v  # noqa: E702


def main():
    # Every store holds a value, so every get reads one.
    n._flag_scope_set(FLAG, True)
    VAR.set(True)
    LOCAL.sealed = True
    assert n._flag_scope_get(FLAG, ABSENT) is VAR.get(ABSENT) is VAR.get() is LOCAL.sealed is True
    sidebyside.run(
        [
            ("flag get", flag_get, [
                ("ContextVar.get(default)", var_get_default),
                ("ContextVar.get()", var_get),
                ("threading.local get", local_get),
            ]),
            ("flag set", flag_set, [("ContextVar.set", var_set), ("threading.local set", local_set)]),
        ],
        TURNS * 10,
    )


if __name__ == "__main__":
    main()
