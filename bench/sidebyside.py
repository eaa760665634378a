"""Runs each case's native callable and its peers side by side and prints
native time / peer time per case (below 1: native is faster).

The machine is shared, and the drift between two runs of the same callable a
few seconds apart is larger than the differences measured; so the contenders
of a case are not timed one after the other but interleaved: every round
times each contender once (the order reversed every other round), and a
contender's time is its minimum over the rounds. Each case runs in a fresh
worker process of its own (the script re-executed), so one case's data or
process-wide caches do not decide what another measures.

The command line is pyperf's: `--fast` and `--rigorous` scale the rounds
(processes x values), `--min-time` the length of one timed sample.
"""

import json
import os
import subprocess
import sys
import tempfile
import time

import pyperf

_WORKER = "SIDEBYSIDE_CASE"
_OUTPUT = "SIDEBYSIDE_OUTPUT"


def _calibrate(fn, target):
    """Calls per timed sample so that one sample lasts at least `target` s."""
    clock = time.perf_counter
    calls = 1
    while True:
        start = clock()
        for _ in range(calls):
            fn()
        elapsed = clock() - start
        if elapsed >= target or calls >= 1 << 30:
            return calls
        # aim a little past the target so one more step suffices
        calls = max(calls * 2, int(calls * target * 1.2 / elapsed) if elapsed > 0 else calls * 10)


def _sample(fn, calls):
    clock = time.perf_counter
    start = clock()
    for _ in range(calls):
        fn()
    return (clock() - start) / calls


def _measure(contenders, rounds, target):
    """Seconds per call of each contender: its minimum over interleaved rounds."""
    for fn in contenders:
        fn()  # warm-up; lazily made data is made here
    calls = [_calibrate(fn, target) for fn in contenders]
    best = [float("inf")] * len(contenders)
    order = list(range(len(contenders)))
    for r in range(rounds):
        for i in order if r % 2 == 0 else reversed(order):
            best[i] = min(best[i], _sample(contenders[i], calls[i]))
    return best


def _case_in_worker(index, label, args):
    env = dict(os.environ)
    with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
        env[_WORKER] = str(index)
        env[_OUTPUT] = out.name
        cmd = [sys.executable, sys.argv[0], *sys.argv[1:]]
        done = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL)
        if done.returncode != 0:
            raise SystemExit(f"sidebyside: the worker of {label!r} failed (exit {done.returncode})")
        return json.load(out)


def refused(call, exc):
    """A contender for a failing path: calls `call`, which must raise `exc`."""

    def run():
        try:
            call()
        except exc:
            pass

    return run


def run(cases, loops, unit="op"):
    """`cases`: (label, native, [(peer label, peer)]) or, to count a case's
    operations apart from `loops`, (label, native, peers, loops), optionally
    naming the case's own unit, (label, native, peers, loops, unit); each
    callable runs that many operations (elements, records, calls)."""
    runner = pyperf.Runner()
    args = runner.parse_args()
    rounds = max(args.processes * args.values, 2)
    target = args.min_time / 5
    worker = os.environ.get(_WORKER)
    if worker is not None:
        _, native, peers, *_ = cases[int(worker)]
        best = _measure([native, *(fn for _, fn in peers)], rounds, target)
        with open(os.environ[_OUTPUT], "w") as out:
            json.dump(best, out)
        sys.exit(0)
    for index, (label, native, peers, *own) in enumerate(cases):
        count = own[0] if own else loops
        case_unit = own[1] if len(own) > 1 else unit
        best = _case_in_worker(index, label, args)
        per_op = best[0] / count * 1e9
        ratios = "; ".join(f"native/{p} {best[0] / t:.2f}x" for (p, _), t in zip(peers, best[1:]))
        print(f"{label}: native {per_op:.2f} ns/{case_unit}; {ratios}", flush=True)
