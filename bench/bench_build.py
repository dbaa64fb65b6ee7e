"""Benchmark of PrefixSearch.from_internal_data_v2 on a large word index.

The index: every distinct lower-cased word of Debian's largest English word
list, laid out breadth-first (nodes ordered by depth, then text), every word a
terminal with 1 to 8 distinct videos drawn Zipf-like from 100,000 16-byte
identifiers, video_top_n 32 (--top-n to change it).

Prints the node count, the build time, the time array.array('I', lst) takes
over the same integer lists (the floor of merely reading the input), their
ratio (also against the same integers converted as one flat list, which
leaves out the per-list cost), and the resident memory the built index adds, in bytes per node,
measured in a fresh process, beside its encoded size (to_bytes, taken after the
resident figure) and the ratio of the two.

    PYTHONPATH=build/<dir> /usr/bin/python3 bench/bench_build.py [--repeat N] [--top-n K]
"""

import argparse
import array
import gc
import os
import random
import subprocess
import sys
import time

from _quillmesh import PrefixSearch

from memory import rss_bytes, trim

WORDS = "/usr/share/dict/american-english-insane"
VIDEOS = 100_000
TOP_N = 32


def load_words(path=WORDS):
    with open(path, encoding="utf-8") as f:
        return sorted({line.strip().lower() for line in f if line.strip()})


def make_input(words, seed=2024, top_n=TOP_N):
    """The six arguments, laid out breadth-first."""
    rng = random.Random(seed)
    prefixes = {""}
    for w in words:
        for i in range(1, len(w) + 1):
            prefixes.add(w[:i])
    # Depth first, then text: each parent's children are contiguous and in
    # the order of their parents, so the edge list is simply 1..N-1.
    nodes = sorted(prefixes, key=lambda s: (len(s), s))
    del prefixes
    index = {s: i for i, s in enumerate(nodes)}
    n = len(nodes)
    child_count = [0] * n
    for s in nodes[1:]:
        child_count[index[s[:-1]]] += 1
    node_shifts = []
    start = 0
    for c in child_count:
        node_shifts.append(start)
        start += c
    child_transitions = list(range(1, n))
    child_labels = [s[-1:] for s in nodes]

    weights = [1.0 / (r + 1) ** 1.1 for r in range(VIDEOS)]
    cum = []
    acc = 0.0
    for w in weights:
        acc += w
        cum.append(acc)
    ranks = list(range(VIDEOS))
    payloads = [None] * n
    for w in words:
        k = rng.randint(1, 8)
        videos = list(dict.fromkeys(rng.choices(ranks, cum_weights=cum, k=k)))
        counts = [rng.randint(1, 50) for _ in videos]
        payloads[index[w]] = (sum(counts), videos, counts)
    video_index = [rng.randbytes(16) for _ in range(VIDEOS)]
    return [node_shifts, child_labels, payloads, child_transitions, video_index, top_n]


def integer_lists(arguments):
    node_shifts, _, payloads, child_transitions, _, _ = arguments
    lists = [node_shifts, child_transitions]
    for p in payloads:
        if p is not None:
            lists.append(p[1])
            lists.append(p[2])
    return lists


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
        del result
    return best


def rss_child(top_n):
    arguments = make_input(load_words(), top_n=top_n)
    trim()
    before = rss_bytes()
    index = PrefixSearch.from_internal_data_v2(*arguments)
    trim()
    after = rss_bytes()
    print(len(arguments[1]), after - before, len(index.to_bytes()))
    del index


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--top-n", type=int, default=TOP_N, help="video_top_n of the index (default %(default)s)")
    parser.add_argument("--rss-child", action="store_true", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.rss_child:
        rss_child(opts.top_n)
        return

    t0 = time.perf_counter()
    arguments = make_input(load_words(), top_n=opts.top_n)
    n = len(arguments[1])
    print(f"input prepared in {time.perf_counter() - t0:.1f} s")
    lists = integer_lists(arguments)
    items = sum(len(x) for x in lists)
    build_s = best_of(opts.repeat, lambda: PrefixSearch.from_internal_data_v2(*arguments))
    floor_s = best_of(opts.repeat, lambda: [array.array("I", x) for x in lists])
    # The same integers in one list: the per-integer part of that floor alone.
    flat = [v for x in lists for v in x]
    flat_s = best_of(opts.repeat, lambda: array.array("I", flat))
    del flat

    out = subprocess.run([sys.executable, __file__, "--rss-child", "--top-n", str(opts.top_n)], check=True, capture_output=True,
                         text=True, env=os.environ).stdout.split()
    child_nodes, grown, encoded = int(out[0]), int(out[1]), int(out[2])
    assert child_nodes == n

    print(f"nodes                         {n}")
    print(f"integers in the input         {items}")
    print(f"build (best of {opts.repeat})            {build_s * 1000:.0f} ms")
    print(f"array.array('I', ...) floor   {floor_s * 1000:.0f} ms")
    print(f"ratio build / floor           {build_s / floor_s:.2f}")
    print(f"  same integers as one list   {flat_s * 1000:.0f} ms (ratio {build_s / flat_s:.2f})")
    print(f"resident memory of the index  {grown / n:.1f} bytes per node ({grown / 2**20:.0f} MiB)")
    print(f"encoded size (to_bytes)       {encoded / n:.1f} bytes per node ({encoded / 2**20:.0f} MiB)")
    print(f"ratio resident / encoded      {grown / encoded:.2f}")


if __name__ == "__main__":
    main()
