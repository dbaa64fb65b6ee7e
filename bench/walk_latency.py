"""fuzzy_match at max_dist 1 and 2 and fuzzy_match_video (defaults) on the
full word list, the way a service sees them (distinct queries in sequence,
each timed once after a warm-up over other queries) beside the same query
repeated (best of 7 calls each). One round per run, printed as one JSON
line, so that two builds can be run in turn on a shared machine:

    for r in 1 2 3; do
        PYTHONPATH=<build A>:python python3 bench/walk_latency.py --seed $r --label A
        PYTHONPATH=<build B>:python python3 bench/walk_latency.py --seed $r --label B
    done
"""

import argparse
import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import quillmesh  # noqa: E402
from _quillmesh import PrefixSearch  # noqa: E402

from peers import WORDS, clock_cost_ns, load_words, make_queries, make_rows, timed_once, video_pool  # noqa: E402


def percentile(times, p):
    ordered = sorted(times)
    return ordered[min(len(ordered) - 1, int(p * len(ordered)))]


def repeated_best(call, queries, clock_ns):
    best_times = []
    for q in queries:
        best = None
        for _ in range(7):
            t0 = time.perf_counter_ns()
            call(q)
            t = time.perf_counter_ns() - t0 - clock_ns
            best = t if best is None else min(best, t)
        best_times.append(max(best, 0) / 1e9)
    return best_times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--label", default="")
    parser.add_argument("--distinct", type=int, default=4000)
    parser.add_argument("--warmup", type=int, default=500)
    parser.add_argument("--repeated", type=int, default=400)
    opts = parser.parse_args()

    words = load_words(WORDS)
    index = PrefixSearch.from_internal_data_v2(*quillmesh.layout(make_rows(words, video_pool(1), 2)), 100)
    clock_ns = clock_cost_ns()
    timed = [q for _, q in make_queries(words, opts.distinct, 100 + opts.seed)]
    warm = [q for _, q in make_queries(words, opts.warmup, 900 + opts.seed, exclude=timed)]
    out = {"label": opts.label, "seed": opts.seed}
    cases = [
        ("md1", index.fuzzy_match, (1,)),
        ("md2", index.fuzzy_match, (2,)),
        ("video", index.fuzzy_match_video, ()),
    ]
    for name, fn, args in cases:
        times, _ = timed_once(fn, timed, warm, clock_ns, *args)
        repeated = repeated_best(lambda q: fn(q, *args), timed[:opts.repeated], clock_ns)
        out[name] = {
            "distinct_median_us": round(statistics.median(times) * 1e6, 3),
            "distinct_p95_us": round(percentile(times, 0.95) * 1e6, 3),
            "repeated_median_us": round(statistics.median(repeated) * 1e6, 3),
        }
    print(json.dumps(out))


if __name__ == "__main__":
    main()
