"""Host-side formatting layer for the native core.

The host renders text inside `str_format(...)` / `repr_format(...)` context
managers; a context opened with ``markdown=True`` asks host objects to quote
their own text. The native `format` turns that off around host `str()`,
`repr()` and `.format()` calls while `outer_markdown_active()` is true, by
entering ``str_format(markdown=False)`` and ``repr_format(markdown=False)``.

`trace` records every factory call, entry and exit in order, so tests can see
exactly what the native side did; `fail_enter` / `fail_exit` make the named
context kinds ("str", "repr") raise on entry or exit.
"""

from __future__ import annotations

import contextlib
import threading

trace: list[tuple] = []
fail_enter: set[str] = set()
fail_exit: set[str] = set()

_tls = threading.local()


class ContextFailure(RuntimeError):
    """Raised by a context whose kind is listed in `fail_enter`/`fail_exit`."""


# The class a failing exit raises.
exit_error: type[BaseException] = ContextFailure


def _stack(kind: str) -> list[bool]:
    stacks = getattr(_tls, "stacks", None)
    if stacks is None:
        stacks = _tls.stacks = {"str": [], "repr": []}
    return stacks[kind]


class FormatContext:
    def __init__(self, kind: str, markdown: bool):
        self.kind = kind
        self.markdown = markdown

    def __enter__(self):
        if self.kind in fail_enter:
            trace.append(("enter-failed", self.kind, self.markdown))
            raise ContextFailure(f"cannot enter {self.kind}")
        _stack(self.kind).append(self.markdown)
        trace.append(("enter", self.kind, self.markdown))
        return self

    def __exit__(self, exc_type, exc, tb):
        _stack(self.kind).pop()
        trace.append(("exit", self.kind, self.markdown, exc_type, exc, tb))
        if self.kind in fail_exit:
            raise exit_error(f"cannot exit {self.kind}")
        return False


def str_format(markdown: bool = False) -> FormatContext:
    trace.append(("str_format", markdown))
    return FormatContext("str", markdown)


def repr_format(markdown: bool = False) -> FormatContext:
    trace.append(("repr_format", markdown))
    return FormatContext("repr", markdown)


def outer_markdown_active() -> bool:
    """True when the innermost str or repr context asks for markdown."""
    return any(s and s[-1] for s in (_stack("str"), _stack("repr")))


def depth() -> tuple[int, int]:
    """Open (str, repr) contexts of this thread: tests check they balance."""
    return len(_stack("str")), len(_stack("repr"))


@contextlib.contextmanager
def markdown():
    """The host's outer markdown context (not traced)."""
    _stack("str").append(True)
    _stack("repr").append(True)
    try:
        yield
    finally:
        _stack("repr").pop()
        _stack("str").pop()


def reset() -> None:
    global exit_error
    trace.clear()
    fail_enter.clear()
    fail_exit.clear()
    exit_error = ContextFailure


def install(native=None):
    """What the host does when it selects the native core."""
    if native is None:
        from norv_core import _native as native
    return native._install_formatting_bridge(
        str_format, repr_format, outer_markdown_active
    )
