"""fuzzy_match at max_dist 2 and 3 on the full word list, the way a service
sees it (distinct queries in sequence, each timed once after a warm-up over
other queries) beside the same query repeated; and what the index costs:
build, from_bytes, resident memory against the encoded size. Rounds are
repeated to show the spread on a shared machine.

    PYTHONPATH=<build dir>:python python3 bench/scheme_latency.py [--rounds 3]
"""

import argparse
import os
import pickle
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import quillmesh  # noqa: E402
from _quillmesh import PrefixSearch  # noqa: E402

from peers import (WORDS, clock_cost_ns, load_words, make_queries, make_rows, measure_rss,  # noqa: E402
                   timed_once, video_pool)


def percentile(times, p):
    ordered = sorted(times)
    return ordered[min(len(ordered) - 1, int(p * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--distinct", type=int, default=4000)
    parser.add_argument("--warmup", type=int, default=500)
    parser.add_argument("--repeated", type=int, default=300)
    opts = parser.parse_args()

    words = load_words(WORDS)
    layout = quillmesh.layout(make_rows(words, video_pool(1), 2))
    arguments = (*layout, 100)
    builds = []
    for _ in range(opts.rounds):
        t0 = time.perf_counter()
        index = PrefixSearch.from_internal_data_v2(*arguments)
        builds.append(time.perf_counter() - t0)
    encoded = index.to_bytes()
    loads = []
    for _ in range(opts.rounds * 2):
        t0 = time.perf_counter()
        restored = PrefixSearch.from_bytes(encoded)
        loads.append(time.perf_counter() - t0)
        del restored
    with tempfile.TemporaryDirectory() as tmp:
        args_path = os.path.join(tmp, "args.pickle")
        bytes_path = os.path.join(tmp, "index.bin")
        with open(args_path, "wb") as f:
            pickle.dump(arguments, f)
        with open(bytes_path, "wb") as f:
            f.write(encoded)
        grown_build = measure_rss("build", args_path)
        grown_bytes = measure_rss("bytes", bytes_path)
    size = len(encoded)
    print(f"{len(words):,} words, encoded {size / 1e6:.1f} MB")
    print("from_internal_data_v2 ms: " + ", ".join(f"{b * 1e3:.0f}" for b in sorted(builds)))
    print("from_bytes ms: " + ", ".join(f"{b * 1e3:.0f}" for b in sorted(loads)) +
          f" (best {size / min(loads) / 1e6:.0f} MB/s)")
    print(f"resident growth: built {grown_build / 1e6:.1f} MB ({grown_build / size:.2f}x), "
          f"from_bytes {grown_bytes / 1e6:.1f} MB ({grown_bytes / size:.2f}x)")

    clock_ns = clock_cost_ns()
    fn = index.fuzzy_match
    for max_dist in (2, 3):
        for r in range(opts.rounds):
            timed = [q for _, q in make_queries(words, opts.distinct, 100 + r)]
            warm = [q for _, q in make_queries(words, opts.warmup, 900 + r, exclude=timed)]
            times, _ = timed_once(fn, timed, warm, clock_ns, max_dist)
            repeated = []
            for q in timed[:opts.repeated]:
                best = None
                for _ in range(7):
                    t0 = time.perf_counter_ns()
                    fn(q, max_dist)
                    t = time.perf_counter_ns() - t0 - clock_ns
                    best = t if best is None else min(best, t)
                repeated.append(best / 1e9)
            print(f"max_dist {max_dist} round {r + 1}: distinct median {statistics.median(times) * 1e6:.1f} us, "
                  f"p95 {percentile(times, 0.95) * 1e6:.1f} us; repeated median "
                  f"{statistics.median(repeated) * 1e6:.1f} us")


if __name__ == "__main__":
    main()
