"""Runs each case's native callable and its peers in one pyperf runner and
prints native time / peer time per case (below 1: native is faster)."""

import pyperf


def run(cases, loops, unit="op"):
    """`cases`: (label, native, [(peer label, peer)]) or, to count a case's
    operations apart from `loops`, (label, native, peers, loops); each
    callable runs that many operations (elements, records, calls)."""
    runner = pyperf.Runner()
    results = []
    for label, native, peers, *own in cases:
        count = own[0] if own else loops
        r_native = runner.bench_func(f"native {label}", native)
        r_peers = [(p, runner.bench_func(f"{p}: {label}", fn)) for p, fn in peers]
        results.append((label, count, r_native, r_peers))
    for label, count, r_native, r_peers in results:
        if r_native is None or any(r is None for _, r in r_peers):
            continue  # a pyperf worker process
        per_op = r_native.mean() / count * 1e9
        ratios = "; ".join(f"native/{p} {r_native.mean() / r.mean():.2f}x" for p, r in r_peers)
        print(f"{label}: native {per_op:.2f} ns/{unit}; {ratios}")
