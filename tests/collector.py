"""The garbage collector's steps, run by hand on one object, and host code
that walks the collector's objects."""

import ctypes

_PY_TP_CLEAR = 51


def clear_slot(cls):
    """The clear slot of `cls` as a callable; an error it sets is raised."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    address = get_slot(cls, _PY_TP_CLEAR)
    assert address, f"{cls.__name__} has no clear slot"
    return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(address)


def tp_clear(obj):
    """Runs the clear slot of `obj`'s class on it, as the collector does for
    one member of a cycle."""
    assert clear_slot(type(obj))(obj) == 0


# Source that defines `touch_all()` in a child interpreter: host code that
# finds every list and tuple through the collector and reads each of its
# slots, as a debugger or a memory profiler may at any time. A container
# that is still being filled with an empty slot in sight crashes it.
TOUCH_ALL = """
import gc

def touch_all():
    for o in gc.get_objects():
        if type(o) in (list, tuple):
            [type(x) for x in o]
            repr(o)
"""
