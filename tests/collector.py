"""The garbage collector's steps, run by hand on one object."""

import ctypes

_PY_TP_CLEAR = 51


def tp_clear(obj):
    """Runs the clear slot of `obj`'s class on it, as the collector does for
    one member of a cycle."""
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    address = get_slot(type(obj), _PY_TP_CLEAR)
    assert address, f"{type(obj).__name__} has no clear slot"
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(address)
    assert clear(obj) == 0
