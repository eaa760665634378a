"""KeyPathSet membership and building against a Python set of tuples of keys
doing the same job.

The set holds 10,000 paths of four keys (`section3.items[7].field12`: text,
text, integer, text). Probes are separate objects from what the sets hold, as
in real use: KeyPaths parsed from text on our side, tuples built from fresh
strs on the peer's side.

- hit: 1,000 member paths.
- hit, many names: the same over a set of 10,000 paths of two keys with
  20,000 distinct names (`name123.other4567`), ten times what the
  process-wide table of shared key strs holds: the case it helps least.
- miss: 1,000 non-members, a third each differing in the first, the integer
  and the last key (a trie walks further the later a path differs; a hashed
  set does the same work for all three).
- str probe: `text in s` with 1,000 member texts. The peer must turn the text
  into a key too; it gets the cheapest way that is right for these texts,
  `tuple(text.split("."))`, so this case uses dotted text keys only
  (`section3.group7.field12`); our side parses the full path grammar.
- build: `KeyPathSet(paths)` from the 10,000 KeyPaths against `set(tuples)`,
  and from the 10,000 texts against `set(tuple(t.split(".")) for t in texts)`.

Each timed call runs 1,000 probes (or one build); ratios are ours / peer, so
lower is better and 1.0x means as fast as the peer. Each case runs in a
worker process of its own (the side-by-side runner's), and makes its data there.
"""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import sidebyside  # noqa: E402
from norv_core import _native as n  # noqa: E402

KeyPath, KeyPathSet = n.KeyPath, n.KeyPathSet
PROBES = 1000


def shape(a, b, c):
    return f"section{a}", "items", b, f"field{c}"


def text_of(keys):
    return f"{keys[0]}.{keys[1]}[{keys[2]}].{keys[3]}"


def dotted(a, b, c):
    return f"section{a}.group{b}.field{c}"


MEMBERS = [(a, b, c) for a in range(20) for b in range(25) for c in range(20)]
rng = random.Random(7)
HIT = rng.sample(MEMBERS, PROBES)
MISS = [
    (a + 20, b, c) if i % 3 == 0 else (a, b + 25, c) if i % 3 == 1 else (a, b, c + 20)
    for i, (a, b, c) in enumerate(rng.sample(MEMBERS, PROBES))
]


def probe(container, probes):
    for p in probes:
        p in container


def peer_str_probe(container, texts):
    for t in texts:
        tuple(t.split(".")) in container


def peer_build_text(texts):
    return {tuple(t.split(".")) for t in texts}


# Each case makes its data when it first runs, in its own worker process: a
# set shares its text keys' strs through a process-wide table, so data made
# for one case must not decide what another measures.
# What each side holds is built from its own objects, not shared with probes.


def case_hit():
    ks = KeyPathSet([KeyPath.parse(text_of(shape(*m))) for m in MEMBERS])
    ts = {shape(*m) for m in MEMBERS}
    ours, peer = [KeyPath.parse(text_of(shape(*m))) for m in HIT], [shape(*m) for m in HIT]
    assert all(p in ks for p in ours) and all(t in ts for t in peer)
    return (probe, ks, ours), (probe, ts, peer)


def case_miss():
    ks = KeyPathSet([KeyPath.parse(text_of(shape(*m))) for m in MEMBERS])
    ts = {shape(*m) for m in MEMBERS}
    ours, peer = [KeyPath.parse(text_of(shape(*m))) for m in MISS], [shape(*m) for m in MISS]
    assert not any(p in ks for p in ours) and not any(t in ts for t in peer)
    return (probe, ks, ours), (probe, ts, peer)


def case_many_names():
    names = [(f"name{i}", f"other{i * 7919 % 10000}") for i in range(10000)]
    ks = KeyPathSet([KeyPath(list(k)) for k in names])
    ts = set(names)
    sample = random.Random(11).sample(names, PROBES)
    ours, peer = [KeyPath([f"{a}", f"{b}"]) for a, b in sample], [(f"{a}", f"{b}") for a, b in sample]
    assert all(p in ks for p in ours) and all(t in ts for t in peer)
    return (probe, ks, ours), (probe, ts, peer)


def case_str_probe():
    ks = KeyPathSet([dotted(*m) for m in MEMBERS])
    ts = {tuple(dotted(*m).split(".")) for m in MEMBERS}
    texts = [dotted(*m) for m in HIT]
    assert all(t in ks for t in texts) and all(tuple(t.split(".")) in ts for t in texts)
    return (probe, ks, texts), (peer_str_probe, ts, texts)


def case_build_paths():
    paths = [KeyPath.parse(text_of(shape(*m))) for m in MEMBERS]
    tuples = [shape(*m) for m in MEMBERS]
    assert list(KeyPathSet(paths)) == paths
    return (KeyPathSet, paths), (set, tuples)


def case_build_texts():
    texts = [dotted(*m) for m in MEMBERS]
    assert [str(p) for p in KeyPathSet(texts)] == texts
    return (KeyPathSet, texts), (peer_build_text, texts)


CASES = [
    # label, operations per call and their unit, the case's data: ours and the peer's (fn, *args)
    ("KeyPathSet hit", PROBES, "probe", case_hit),
    ("KeyPathSet hit, many names", PROBES, "probe", case_many_names),
    ("KeyPathSet miss", PROBES, "probe", case_miss),
    ("KeyPathSet str probe", PROBES, "probe", case_str_probe),
    ("KeyPathSet build 10^4 paths", len(MEMBERS), "path", case_build_paths),
    ("KeyPathSet build 10^4 texts", len(MEMBERS), "path", case_build_texts),
]


class Lazy:
    """Side `side` (0 ours, 1 peer) of a case, its data made on the first call."""

    made = {}

    def __init__(self, case, side):
        self.case, self.side = case, side

    def __call__(self):
        if self.case not in Lazy.made:
            Lazy.made[self.case] = self.case()
        fn, *args = Lazy.made[self.case][self.side]
        return fn(*args)


def main():
    sidebyside.run(
        [
            (label, Lazy(case, 0), [("set of tuples", Lazy(case, 1))], ops, unit)
            for label, ops, unit, case in CASES
        ],
        PROBES,
    )


if __name__ == "__main__":
    main()
