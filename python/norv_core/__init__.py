"""The compiled core of norv.

The host package drives ``norv_core._native``; this package only re-exports the
few names that must be reachable at the package level (pickled objects name
them, and ``PanicException`` marks internal faults).
"""

from norv_core._native import KeyPath, PanicException

__all__ = ["KeyPath", "PanicException"]
