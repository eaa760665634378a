"""A stand-in for the host package `norv`.

The real host drives `norv_core._native` from its own modules: it hands the
module its bridges, builds its public classes on the native ones and routes its
hot paths through them. Tests, the tour and the benchmarks use this package in
its place, so each area of the host appears here as a small module written
from what the native core expects of it.
"""

from norv_host import topology

__all__ = ["topology"]
