"""format() of a nested config-like value (about 10,000 leaves) against the
standard library rendering the same value: compact against repr() (the very
same text), verbose against json.dumps(indent=2) (one entry per line, nested
indentation), and both against pprint.pformat.

Ratios are native / peer (below 1: native is faster).
"""

import json
import pprint

import pyperf

from norv_core import _native as n


def make_config(services=100):
    config = {}
    for i in range(services):
        config[f"service_{i}"] = {
            "name": f"svc-{i}",
            "enabled": i % 2 == 0,
            "replicas": i,
            "ratio": i / 7,
            "tags": [f"t{j}" for j in range(10)],
            "ports": [8000 + j for j in range(20)],
            "env": {f"VAR_{j}": f"value-{i}-{j}" for j in range(30)},
            "limits": {"cpu": 1.5, "memory": "512Mi", "burst": None,
                       "nested": {"a": [1, 2, 3], "b": (4, 5)}},
            "stages": [
                {"name": f"s{j}", "timeout": j * 10, "retries": 3, "cmd": ["run", str(j)]}
                for j in range(6)
            ],
        }
    return config


def count_leaves(value):
    if isinstance(value, dict):
        return sum(count_leaves(v) for v in value.values())
    if isinstance(value, (list, tuple)):
        return sum(count_leaves(v) for v in value)
    return 1


CONFIG = make_config()
# The compact form is repr()'s text, so that comparison is like for like.
assert n.format(CONFIG, compact=True) == repr(CONFIG)


def format_compact():
    return n.format(CONFIG, True, False)


def format_verbose():
    return n.format(CONFIG, False, True)


def json_indent():
    return json.dumps(CONFIG, indent=2)


def main():
    runner = pyperf.Runner()
    runner.metadata["leaves"] = str(count_leaves(CONFIG))
    results = {
        "format compact": runner.bench_func("format compact", format_compact),
        "repr": runner.bench_func("repr", repr, CONFIG),
        "format verbose": runner.bench_func("format verbose", format_verbose),
        "json.dumps indent=2": runner.bench_func("json.dumps indent=2", json_indent),
        "pprint.pformat": runner.bench_func("pprint.pformat", pprint.pformat, CONFIG),
    }
    if None in results.values():
        return  # a worker process
    mean = {name: bench.mean() for name, bench in results.items()}
    print(f"leaves: {count_leaves(CONFIG)}")
    for ours, peer in [
        ("format compact", "repr"),
        ("format verbose", "json.dumps indent=2"),
        ("format compact", "pprint.pformat"),
        ("format verbose", "pprint.pformat"),
    ]:
        print(f"{ours} / {peer}: {mean[ours] / mean[peer]:.2f}x")


if __name__ == "__main__":
    main()
