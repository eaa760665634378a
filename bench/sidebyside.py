"""Runs each case's native callable and its peers in one pyperf runner and
prints native time / peer time per case (below 1: native is faster)."""

import pyperf


def run(cases, loops):
    """`cases`: (label, native, [(peer label, peer)]), each callable running
    `loops` operations."""
    runner = pyperf.Runner()
    results = []
    for label, native, peers in cases:
        r_native = runner.bench_func(f"native {label} x{loops}", native)
        r_peers = [(p, runner.bench_func(f"{p}: {label} x{loops}", fn)) for p, fn in peers]
        results.append((label, r_native, r_peers))
    for label, r_native, r_peers in results:
        if r_native is None or any(r is None for _, r in r_peers):
            continue  # a pyperf worker process
        per_call = r_native.mean() / loops * 1e9
        ratios = "; ".join(f"native/{p} {r_native.mean() / r.mean():.2f}x" for p, r in r_peers)
        print(f"{label}: native {per_call:.0f} ns/op; {ratios}")
