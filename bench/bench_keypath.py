"""KeyPath parse + render + hash, and child-path building: the native class
against what a host would otherwise keep in pure Python (a small class holding a
tuple of keys with a cached path string and the same scanner)."""

import pyperf

from norv_core import _native as n

TEXT = "a.b[0].c[12].d"
LOOPS = 1000


class PyKeyPath:
    __slots__ = ("keys", "_text")

    def __init__(self, keys=(), parent=None):
        keys = tuple(keys)
        self.keys = parent.keys + keys if parent is not None else keys
        self._text = None

    @classmethod
    def parse(cls, text):
        keys = []
        depth = 0
        start = 0
        for i, c in enumerate(text):
            if c == "." and depth == 0:
                if i > start:
                    keys.append(text[start:i])
                start = i + 1
            elif c == "[":
                if depth == 0:
                    if i > start:
                        keys.append(text[start:i])
                    start = i + 1
                depth += 1
            elif c == "]":
                depth -= 1
                if depth == 0:
                    seg = text[start:i]
                    stripped = seg.lstrip("-")
                    keys.append(int(seg) if stripped and stripped.isdigit() else seg)
                    start = i + 1
                elif depth < 0:
                    raise ValueError(f"KeyPath parse failed: unmatched close bracket at position {i}:{text!r}")
        if depth > 0:
            raise ValueError(f"KeyPath parse failed: unmatched open bracket at position {start - 1}: {text!r}")
        if start < len(text):
            keys.append(text[start:])
        return cls(keys)

    def __str__(self):
        text = self._text
        if text is None:
            parts = []
            for i, k in enumerate(self.keys):
                if isinstance(k, int):
                    parts.append(f"[{k}]")
                elif "." in k or "[" in k or "]" in k:
                    parts.append(f"[{k}]")
                else:
                    parts.append(f".{k}" if i else k)
            text = self._text = "".join(parts)
        return text

    def __hash__(self):
        return hash(str(self))


NATIVE_PARENT = n.KeyPath.parse("root.items[3].spec")
PY_PARENT = PyKeyPath.parse("root.items[3].spec")


def native_parse_render_hash():
    parse = n.KeyPath.parse
    for _ in range(LOOPS):
        p = parse(TEXT)
        str(p)
        hash(p)


def python_parse_render_hash():
    parse = PyKeyPath.parse
    for _ in range(LOOPS):
        p = parse(TEXT)
        str(p)
        hash(p)


def native_child_paths():
    cls, parent = n.KeyPath, NATIVE_PARENT
    for _ in range(LOOPS):
        cls("field", parent)
        cls(7, parent)


def python_child_paths():
    cls, parent = PyKeyPath, PY_PARENT
    for _ in range(LOOPS):
        cls(("field",), parent)
        cls((7,), parent)


def main():
    runner = pyperf.Runner()
    pairs = [
        ("parse+str+hash", native_parse_render_hash, python_parse_render_hash),
        ("child paths", native_child_paths, python_child_paths),
    ]
    results = []
    for label, native_fn, python_fn in pairs:
        native = runner.bench_func(f"keypath native {label} x{LOOPS}", native_fn)
        python = runner.bench_func(f"keypath python {label} x{LOOPS}", python_fn)
        results.append((label, native, python))
    for label, native, python in results:
        if native is not None and python is not None:
            print(f"{label}: ratio python/native {python.mean() / native.mean():.2f}x")


if __name__ == "__main__":
    main()
