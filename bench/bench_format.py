"""format() of a nested config-like value (about 10,000 leaves), compact and
verbose, against pprint.pformat of the same value."""

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


def main():
    runner = pyperf.Runner()
    runner.metadata["leaves"] = str(count_leaves(CONFIG))
    compact = runner.bench_func("format compact", n.format, CONFIG, True, False)
    verbose = runner.bench_func("format verbose", n.format, CONFIG, False, True)
    pformat = runner.bench_func("pprint.pformat", pprint.pformat, CONFIG)
    if None not in (compact, verbose, pformat):
        print(f"leaves: {count_leaves(CONFIG)}")
        print(f"ratio pformat/format compact: {pformat.mean() / compact.mean():.2f}x")
        print(f"ratio pformat/format verbose: {pformat.mean() / verbose.mean():.2f}x")


if __name__ == "__main__":
    main()
