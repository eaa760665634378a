"""A stand-in for the host package `norv`.

The real host drives `norv_core._native` from its own modules: it hands the
module its bridges, builds its public classes on the native ones and routes its
hot paths through them. Tests, the tour and the benchmarks use this package in
its place, so each area of the host appears here as a small module written
from what the native core expects of it.

`install()` is what the host does once after importing the native core: it
makes the host modules that pickles name importable and installs every bridge
(each installer is set-once, so a second call changes nothing).
"""

from norv_host import formatting, objects, records, symbolic, topology, typing

__all__ = ["formatting", "install", "objects", "records", "symbolic", "topology", "typing"]


def install():
    topology.install_modules()
    formatting.install()
    typing.install()
    symbolic.install()
    objects.install()
