"""The module against the peers a user would otherwise pick, in one run.

Vocabularies: every distinct lower-cased word of Debian's largest English word
list, and seeded samples of it (10,000 and 100,000 words by default). Each word
is a term with 1 to 8 distinct videos drawn Zipf-like from 100,000 16-byte
ids, laid out breadth-first by quillmesh.layout, video_top_n 100.

Per vocabulary:
  * query latency (median and 95th percentile over seeded queries: a quarter
    exact words, a quarter one random edit, a quarter two, a quarter absent
    words) of fuzzy_match (max_dist 1 and 2) and fuzzy_match_video (default
    arguments, and include_prefix_nodes=True);
  * the same term queries answered by RapidFuzz brute force (process.extract
    with the Levenshtein distance and a score cutoff), by RapidFuzz's batch
    form (process.cdist over all queries, time per query = batch time / batch
    size) and by a pure-Python trie walk over the same arrays; every peer's
    answers are checked against the module's (same terms, same distances)
    before any figure is reported;
  * build time against the floor of merely reading the input;
  * to_bytes / from_bytes against one copy of the encoded bytes and against
    pickling the six input arrays;
  * resident memory of a built index, measured in a fresh process, against
    its encoded size.
Plus the cost of a call on a one-word index against a builtin C method call.

Prints one table, writes the raw figures as JSON and plots median latency
against vocabulary size (PNG). Run by tools/bench.sh (make bench):

    PYTHONPATH=<site with the wheel> python3 bench/peers.py \
        --json bench/results/bench.json --plot docs/bench-latency.png
"""

import argparse
import array
import gc
import json
import os
import pickle
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

import quillmesh
from _quillmesh import PrefixSearch

from memory import rss_bytes, trim

WORDS = "/usr/share/dict/american-english-insane"
VIDEOS = 100_000
TOP_N = 100
ALPHABET = "abcdefghijklmnopqrstuvwxyz"
# Targets on the full list (ratios of this run).
TARGETS = {
    "md1_vs_pywalk": 500.0,
    "md1_vs_cdist": 2000.0,
    "md2_vs_pywalk": 200.0,
    "build_vs_floor": 2.0,
    "to_bytes_vs_copy": 1 / 5,
    "from_bytes_vs_copy": 1 / 8,
    "rss_vs_encoded": 1.5,
}


# ---------------------------------------------------------------- input


def load_words(path):
    with open(path, encoding="utf-8") as f:
        return sorted({line.strip().lower() for line in f if line.strip()})


def video_pool(seed):
    rng = random.Random(seed)
    return [rng.randbytes(16) for _ in range(VIDEOS)]


def make_rows(words, videos, seed):
    """(term, video_id, count) rows: 1 to 8 distinct videos per word, Zipf-like."""
    rng = random.Random(seed)
    cum = []
    acc = 0.0
    for r in range(len(videos)):
        acc += 1.0 / (r + 1) ** 1.1
        cum.append(acc)
    ranks = range(len(videos))
    rows = []
    for w in words:
        picked = dict.fromkeys(rng.choices(ranks, cum_weights=cum, k=rng.randint(1, 8)))
        for v in picked:
            rows.append((w, videos[v], rng.randint(1, 50)))
    return rows


def edit(rng, word):
    """One random insertion, deletion or substitution of a letter."""
    ops = "isd" if len(word) > 1 else "is"
    op = rng.choice(ops)
    if op == "i":
        i = rng.randint(0, len(word))
        return word[:i] + rng.choice(ALPHABET) + word[i:]
    i = rng.randrange(len(word))
    if op == "d":
        return word[:i] + word[i + 1:]
    others = ALPHABET.replace(word[i], "")
    return word[:i] + rng.choice(others) + word[i + 1:]


def make_queries(words, count, seed):
    """A quarter exact words, a quarter one edit, a quarter two, the rest absent
    words (random letters, as long as a random word, not in the vocabulary)."""
    rng = random.Random(seed)
    vocabulary = set(words)
    quarter = count // 4
    queries = [("exact", w) for w in rng.sample(words, quarter)]
    queries += [("edit1", edit(rng, rng.choice(words))) for _ in range(quarter)]
    queries += [("edit2", edit(rng, edit(rng, rng.choice(words)))) for _ in range(quarter)]
    while len(queries) < count:
        q = "".join(rng.choice(ALPHABET) for _ in range(max(3, len(rng.choice(words)))))
        if q not in vocabulary:
            queries.append(("absent", q))
    rng.shuffle(queries)
    return queries


# ---------------------------------------------------------------- peers


def py_walk(layout, query, max_dist):
    """The textbook trie walk: one edit-distance row per edge, subtrees cut off
    once their row's minimum exceeds the bound. Returns {term: distance}."""
    node_shifts, labels, payloads, transitions = layout[0], layout[1], layout[2], layout[3]
    nodes = len(node_shifts)
    edges = len(transitions)
    columns = len(query) + 1
    found = {}

    def visit(node, row, path):
        end = node_shifts[node + 1] if node + 1 < nodes else edges
        for e in range(node_shifts[node], end):
            child = transitions[e]
            letter = labels[child]
            current = [row[0] + 1]
            for column in range(1, columns):
                insert_cost = current[column - 1] + 1
                delete_cost = row[column] + 1
                replace_cost = row[column - 1] + (query[column - 1] != letter)
                current.append(min(insert_cost, delete_cost, replace_cost))
            text = path + letter
            if current[-1] <= max_dist and payloads[child] is not None:
                found[text] = current[-1]
            if min(current) <= max_dist:
                visit(child, current, text)

    visit(0, list(range(columns)), "")
    return found


def module_terms(result):
    return {term: distance for term, _, distance in result}


# ---------------------------------------------------------------- timing


# Every figure is CPU time of this process (user + system, so page faults
# count): the machine is shared, and wall time would charge a peer that runs
# for milliseconds with the time slices other processes took meanwhile.
# Reading this clock is a system call (about 0.2 µs, see clock_cost_ns), as
# long as a fast query: calls of a few microseconds are timed several at a
# time (timed_each), so that its cost is shared between them.
CLOCK_NS = time.process_time_ns
CLOCK = time.process_time


def clock_cost_ns(samples=20_000):
    best = float("inf")
    for _ in range(samples):
        t0 = CLOCK_NS()
        best = min(best, CLOCK_NS() - t0)
    return best


# A round of calls of one query lasts at least this long (or is one call).
ROUND_S = 20e-6
MAX_CALLS_PER_ROUND = 64


def calls_of(fn, q, calls, args, kwargs):
    """Calls fn(q, *args, **kwargs) `calls` times in a row, spelt out as a
    user would write the call: unpacking would cost a call of a few
    microseconds a good part of a tenth more. Returns the last answer."""
    answer = None
    if kwargs:
        for _ in range(calls):
            answer = fn(q, **kwargs)
    elif len(args) == 1:
        arg = args[0]
        for _ in range(calls):
            answer = fn(q, arg)
    elif not args:
        for _ in range(calls):
            answer = fn(q)
    else:
        for _ in range(calls):
            answer = fn(q, *args)
    return answer


def timed_each(fn, queries, repeat, *args, **kwargs):
    """Per query q: the best of `repeat` rounds (s per call of
    fn(q, *args, **kwargs), made as a user would make it) and the last
    answer. A round is as many calls in a row as last about ROUND_S (one for
    a call that long), timed together: a lone call of a few microseconds
    would also pay the clock's own cost, a good part of its time. The first
    call, timed alone, sets the rounds' length; it counts as the first round
    only when it is a round of one call."""
    times, answers = [], []
    gc.collect()
    gc.disable()
    try:
        for q in queries:
            t0 = CLOCK_NS()
            answer = calls_of(fn, q, 1, args, kwargs)
            first = max(1, CLOCK_NS() - t0)
            calls = max(1, min(MAX_CALLS_PER_ROUND, int(ROUND_S * 1e9 // first)))
            best = first if calls == 1 else float("inf")
            for _ in range(repeat - 1 if calls == 1 else repeat):
                t0 = CLOCK_NS()
                answer = calls_of(fn, q, calls, args, kwargs)
                t = (CLOCK_NS() - t0) / calls
                best = min(best, t)
            times.append(best / 1e9)
            answers.append(answer)
    finally:
        gc.enable()
    return times, answers


def best_of(repeat, fn):
    """Best of `repeat` runs (s). The cyclic collector is off while timing:
    otherwise the floor and pickle.loads, which make millions of objects,
    would pay for passes over the whole heap that the module never triggers."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            t0 = CLOCK()
            result = fn()
            best = min(best, CLOCK() - t0)
        finally:
            gc.enable()
        del result
    return best


def summary(times):
    ordered = sorted(times)
    p95 = ordered[min(len(ordered) - 1, max(0, -(-95 * len(ordered) // 100) - 1))]
    return {
        "median_s": statistics.median(ordered),
        "p95_s": p95,
        "mean_s": statistics.fmean(ordered),
        "queries": len(ordered),
    }


def check_same(name, queries, expected, got):
    for (kind, q), want, have in zip(queries, expected, got):
        if want != have:
            missing = sorted(set(want.items()) - set(have.items()))[:5]
            extra = sorted(set(have.items()) - set(want.items()))[:5]
            raise SystemExit(
                f"FAIL: {name} disagrees with fuzzy_match on {kind} query {q!r}: "
                f"module only {missing}, {name} only {extra}"
            )


# ---------------------------------------------------------------- memory


def rss_child(mode, path):
    """Run in a fresh process: resident-set growth of one index."""
    if mode == "build":
        with open(path, "rb") as f:
            arguments = pickle.load(f)
        trim()
        before = rss_bytes()
        index = PrefixSearch.from_internal_data_v2(*arguments)
    else:
        with open(path, "rb") as f:
            data = f.read()
        trim()
        before = rss_bytes()
        index = PrefixSearch.from_bytes(data)
    trim()
    after = rss_bytes()
    print(json.dumps({"grown_bytes": after - before}))
    del index


def measure_rss(mode, path):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--rss-child", mode, path],
                         check=True, capture_output=True, text=True, env=os.environ).stdout
    return json.loads(out)["grown_bytes"]


# ---------------------------------------------------------------- one vocabulary


def bench_vocabulary(label, words, videos, opts, log):
    figures = {"label": label, "words": len(words)}
    t0 = time.perf_counter()
    rows = make_rows(words, videos, opts.seed + 1)
    layout = quillmesh.layout(rows)
    del rows
    arguments = list(layout) + [TOP_N]
    figures["nodes"] = len(layout.child_labels)
    figures["videos_used"] = len(layout.video_index)
    log(f"[{label}] {len(words)} words, {figures['nodes']} nodes, input laid out in "
        f"{time.perf_counter() - t0:.1f} s")

    # Build against the floor of reading the same input.
    build_s = best_of(opts.build_repeat, lambda: PrefixSearch.from_internal_data_v2(*arguments))
    integer_lists = [layout.node_shifts, layout.child_transitions]
    for p in layout.payloads:
        if p is not None:
            integer_lists.append(p[1])
            integer_lists.append(p[2])

    def read_input():
        arrays = [array.array("I", x) for x in integer_lists]
        return arrays, "".join(layout.child_labels), b"".join(layout.video_index)

    floor_s = best_of(opts.build_repeat, read_input)
    figures["build"] = {
        "from_internal_data_v2_s": build_s,
        "read_input_floor_s": floor_s,
        "integers": sum(len(x) for x in integer_lists),
        "ratio_build_to_floor": build_s / floor_s,
    }
    del integer_lists

    # The codec against one copy and against pickling the input.
    index = PrefixSearch.from_internal_data_v2(*arguments)
    encoded = index.to_bytes()
    size = len(encoded)
    to_s = best_of(opts.codec_repeat, index.to_bytes)
    from_s = best_of(opts.codec_repeat, lambda: PrefixSearch.from_bytes(encoded))
    copy_s = best_of(opts.codec_repeat, lambda: bytearray(encoded))
    pickled = pickle.dumps(arguments, protocol=pickle.HIGHEST_PROTOCOL)
    dumps_s = best_of(opts.pickle_repeat, lambda: pickle.dumps(arguments, protocol=pickle.HIGHEST_PROTOCOL))
    loads_s = best_of(opts.pickle_repeat, lambda: pickle.loads(pickled))
    assert PrefixSearch.from_bytes(encoded).to_bytes() == encoded, "to_bytes(from_bytes(b)) != b"
    figures["codec"] = {
        "encoded_bytes": size,
        "to_bytes_s": to_s,
        "from_bytes_s": from_s,
        "bytearray_copy_s": copy_s,
        "pickle_bytes": len(pickled),
        "pickle_dumps_s": dumps_s,
        "pickle_loads_s": loads_s,
        "to_bytes_MBps": size / to_s / 1e6,
        "from_bytes_MBps": size / from_s / 1e6,
        "copy_MBps": size / copy_s / 1e6,
        "ratio_to_bytes_speed_to_copy": copy_s / to_s,
        "ratio_from_bytes_speed_to_copy": copy_s / from_s,
        "ratio_pickle_dumps_to_to_bytes": dumps_s / to_s,
        "ratio_pickle_loads_to_from_bytes": loads_s / from_s,
    }
    log(f"[{label}] build {build_s * 1e3:.0f} ms, encoded {size / 1e6:.1f} MB")

    # Queries.
    queries = make_queries(words, opts.queries, opts.seed + 2)
    texts = [q for _, q in queries]
    figures["queries"] = {
        "count": len(queries),
        "kinds": {k: sum(1 for kind, _ in queries if kind == k) for k in ("exact", "edit1", "edit2", "absent")},
    }
    latency = {}
    expected = {}
    for md in (1, 2):
        times, answers = timed_each(index.fuzzy_match, texts, opts.repeat, md)
        expected[md] = [module_terms(a) for a in answers]
        latency[f"fuzzy_match md{md}"] = dict(summary(times), repeat=opts.repeat, impl="module")
    times, _ = timed_each(index.fuzzy_match_video, texts, opts.repeat)
    latency["fuzzy_match_video"] = dict(summary(times), repeat=opts.repeat, impl="module")
    times, _ = timed_each(index.fuzzy_match_video, texts, opts.repeat, include_prefix_nodes=True)
    latency["fuzzy_match_video prefix"] = dict(summary(times), repeat=opts.repeat, impl="module")
    log(f"[{label}] module queries done")

    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein
    import numpy as np

    full = label == "full"
    slow_n = min(len(texts), opts.slow_queries) if full else len(texts)
    peer_repeat = 1 if full else opts.peer_repeat
    slow_queries = queries[:slow_n]
    slow_texts = texts[:slow_n]
    for md in (1, 2):
        # RapidFuzz, one query at a time.
        times, answers = timed_each(
            lambda q, md=md: process.extract(q, words, scorer=Levenshtein.distance, score_cutoff=md, limit=None),
            slow_texts, peer_repeat)
        check_same(f"rapidfuzz extract md{md}", slow_queries, expected[md][:slow_n],
                   [{choice: int(score) for choice, score, _ in a} for a in answers])
        latency[f"rapidfuzz extract md{md}"] = dict(summary(times), repeat=peer_repeat, impl="rapidfuzz")
        log(f"[{label}] rapidfuzz extract md{md} done")

        # RapidFuzz's batch: every query against every word, one call per batch.
        batch_s = 0.0
        got = []
        batch_size = opts.batch or len(texts)
        for start in range(0, len(texts), batch_size):
            batch = texts[start:start + batch_size]
            gc.collect()
            t0 = CLOCK()
            matrix = process.cdist(batch, words, scorer=Levenshtein.distance, score_cutoff=md,
                                   dtype=np.uint8, workers=1)
            batch_s += CLOCK() - t0
            for row in matrix:
                hits = np.flatnonzero(row <= md)
                got.append({words[i]: int(row[i]) for i in hits})
            del matrix
        check_same(f"rapidfuzz cdist md{md}", queries, expected[md], got)
        per_query = batch_s / len(texts)
        latency[f"rapidfuzz cdist md{md}"] = {
            "median_s": per_query, "p95_s": None, "mean_s": per_query, "queries": len(texts),
            "batch_size": batch_size, "batch_total_s": batch_s, "workers": 1, "impl": "rapidfuzz",
            "note": "amortised: batch time / batch size, no per-query distribution",
        }
        log(f"[{label}] rapidfuzz cdist md{md} done")

        # The pure-Python walk over the same arrays.
        times, answers = timed_each(lambda q, md=md: py_walk(layout, q, md), slow_texts, peer_repeat)
        check_same(f"pure-Python walk md{md}", slow_queries, expected[md][:slow_n], answers)
        latency[f"pure-Python walk md{md}"] = dict(summary(times), repeat=peer_repeat, impl="python")
        log(f"[{label}] pure-Python walk md{md} done")
    figures["latency"] = latency
    matches = [len(e) for e in expected[1]], [len(e) for e in expected[2]]
    figures["queries"]["mean_matches_md1"] = statistics.fmean(matches[0])
    figures["queries"]["mean_matches_md2"] = statistics.fmean(matches[1])

    # Resident memory, each in a fresh process.
    with tempfile.TemporaryDirectory() as tmp:
        args_path = os.path.join(tmp, "arguments.pickle")
        bytes_path = os.path.join(tmp, "index.bin")
        with open(args_path, "wb") as f:
            f.write(pickled)
        with open(bytes_path, "wb") as f:
            f.write(encoded)
        del pickled, index
        grown_build = measure_rss("build", args_path)
        grown_bytes = measure_rss("bytes", bytes_path)
    figures["memory"] = {
        "encoded_bytes": size,
        "rss_growth_built_bytes": grown_build,
        "rss_growth_from_bytes_bytes": grown_bytes,
        "ratio_rss_built_to_encoded": grown_build / size,
        "ratio_rss_from_bytes_to_encoded": grown_bytes / size,
        "rss_bytes_per_node": grown_build / figures["nodes"],
    }
    log(f"[{label}] memory done")
    return figures


# ---------------------------------------------------------------- call overhead


def call_overhead(number, repeat):
    """A query on a one-word index against builtin C method calls with the same
    argument shape (a str and two ints), in ns per call (loop included)."""
    one = quillmesh.build([("a", bytes(16), 1)], video_top_n=TOP_N)
    env = {"p": one, "s": "a", "hit": "a", "miss": "zz"}
    cases = {
        "fuzzy_match hit": "p.fuzzy_match(hit, 1, 1)",
        "fuzzy_match miss": "p.fuzzy_match(miss, 1, 1)",
        "fuzzy_match_video hit": "p.fuzzy_match_video(hit, 1, 1)",
        "str.find": "s.find(hit, 0, 1)",
        "str.split": "s.split(hit, 1)",
        "empty loop": "pass",
    }
    assert one.fuzzy_match("a", 1, 1) == [("a", 1, 0)] and one.fuzzy_match("zz", 1, 1) == []
    out = {}
    for name, stmt in cases.items():
        best = min(timeit.Timer(stmt, timer=CLOCK, globals=env).repeat(repeat, number))
        out[name] = {"stmt": stmt, "ns_per_call": best / number * 1e9}
    return out


# ---------------------------------------------------------------- report


def us(s):
    if s is None:
        return "-"
    v = s * 1e6
    return f"{v:,.1f}" if v < 100 else f"{v:,.0f}"


def report(results, opts):
    lines = []
    add = lines.append
    sizes = results["vocabularies"]
    add("")
    add(f"== query latency, microseconds per query ({opts.queries} seeded queries: "
        "a quarter exact, a quarter 1 edit, a quarter 2 edits, a quarter absent)")
    add("   ratio = peer median / module median of the same max_dist (cdist: per-query mean / module mean)")
    add(f"{'vocabulary (words)':34}" + "".join(f"{format(v['words'], ',') + (' (full list)' if v['label'] == 'full' else ''):>30}{'':4}" for v in sizes))
    add(f"{'':34}" + "".join(f"{'median':>10}{'p95':>10}{'ratio':>10}{'':4}" for _ in sizes))
    names = list(sizes[0]["latency"])
    order = ["fuzzy_match md1", "fuzzy_match md2", "fuzzy_match_video", "fuzzy_match_video prefix",
             "pure-Python walk md1", "pure-Python walk md2", "rapidfuzz extract md1", "rapidfuzz extract md2",
             "rapidfuzz cdist md1", "rapidfuzz cdist md2"]
    assert sorted(order) == sorted(names)
    for name in order:
        cells = []
        for v in sizes:
            f = v["latency"][name]
            ratio = ""
            if f["impl"] != "module":
                md = name[-1]
                mod = v["latency"][f"fuzzy_match md{md}"]
                if "cdist" in name:
                    ratio = f"{f['mean_s'] / mod['mean_s']:,.0f}x"
                else:
                    ratio = f"{f['median_s'] / mod['median_s']:,.0f}x"
            n = "" if f["queries"] == v["queries"]["count"] else f"[{f['queries']}q]"
            cells.append(f"{us(f['median_s']):>10}{us(f['p95_s']):>10}{ratio:>10}{n:>4}")
        add(f"{name:34}" + "".join(cells))
    add("   CPU time of the process per call: best of %d rounds per query for the module, %d for the peers on the "
        "samples, 1 on the full list; a round is as many calls in a row as last %.0f µs (at least one)"
        % (opts.repeat, opts.peer_repeat, ROUND_S * 1e6))
    add("   cdist: %s, workers=1, per-query time = batch time / batch size; "
        "[Nq]: that peer ran N of the queries on that vocabulary"
        % (f"batches of {opts.batch} queries" if opts.batch else "all queries in one batch"))

    add("")
    add("== build, codec, memory")
    rows = [
        ("from_internal_data_v2 (ms)", lambda v: f"{v['build']['from_internal_data_v2_s'] * 1e3:,.0f}"),
        ("read-input floor (ms)", lambda v: f"{v['build']['read_input_floor_s'] * 1e3:,.0f}"),
        ("  build / floor", lambda v: f"{v['build']['ratio_build_to_floor']:.2f}x"),
        ("encoded size (MB)", lambda v: f"{v['codec']['encoded_bytes'] / 1e6:,.1f}"),
        ("to_bytes (MB/s)", lambda v: f"{v['codec']['to_bytes_MBps']:,.0f}"),
        ("from_bytes (MB/s)", lambda v: f"{v['codec']['from_bytes_MBps']:,.0f}"),
        ("bytearray copy (MB/s)", lambda v: f"{v['codec']['copy_MBps']:,.0f}"),
        ("  to_bytes / copy speed", lambda v: f"{v['codec']['ratio_to_bytes_speed_to_copy']:.3f}"),
        ("  from_bytes / copy speed", lambda v: f"{v['codec']['ratio_from_bytes_speed_to_copy']:.3f}"),
        ("pickle.dumps of input (ms)", lambda v: f"{v['codec']['pickle_dumps_s'] * 1e3:,.0f}"),
        ("  pickle.dumps / to_bytes time", lambda v: f"{v['codec']['ratio_pickle_dumps_to_to_bytes']:,.1f}x"),
        ("pickle.loads of input (ms)", lambda v: f"{v['codec']['pickle_loads_s'] * 1e3:,.0f}"),
        ("  pickle.loads / from_bytes time", lambda v: f"{v['codec']['ratio_pickle_loads_to_from_bytes']:,.1f}x"),
        ("RSS growth, built (MB)", lambda v: f"{v['memory']['rss_growth_built_bytes'] / 1e6:,.1f}"),
        ("  RSS built / encoded", lambda v: f"{v['memory']['ratio_rss_built_to_encoded']:.2f}x"),
        ("RSS growth, from_bytes (MB)", lambda v: f"{v['memory']['rss_growth_from_bytes_bytes'] / 1e6:,.1f}"),
        ("  RSS from_bytes / encoded", lambda v: f"{v['memory']['ratio_rss_from_bytes_to_encoded']:.2f}x"),
    ]
    add(f"{'vocabulary (words)':34}" + "".join(f"{v['words']:>14,}" for v in sizes))
    add(f"{'trie nodes':34}" + "".join(f"{v['nodes']:>14,}" for v in sizes))
    for name, fn in rows:
        add(f"{name:34}" + "".join(f"{fn(v):>14}" for v in sizes))

    c = results["call_overhead"]
    add("")
    add("== call overhead on a one-word index, ns per call (timeit, CPU time, best of 7 x 200,000 calls; "
        "the loop's own cost is in every line)")
    for name, f in c.items():
        add(f"{name:34}{f['ns_per_call']:>10,.0f}   {f['stmt']}")
    add(f"{'  fuzzy_match miss / str.find':34}{c['fuzzy_match miss']['ns_per_call'] / c['str.find']['ns_per_call']:>10.2f}x")
    add(f"{'  fuzzy_match hit / str.split':34}{c['fuzzy_match hit']['ns_per_call'] / c['str.split']['ns_per_call']:>10.2f}x")

    t = results.get("targets")
    if t:
        add("")
        add(f"== targets on the {t['vocabulary']} vocabulary")
        for name, f in t["checks"].items():
            add(f"{name:34}{f['measured']:>12,.3f}  {f['rule']:<12}{'pass' if f['pass'] else 'MISS'}")
    return "\n".join(lines)


def targets(v):
    lat = v["latency"]
    checks = {
        "md1: pure-Python walk / module": (lat["pure-Python walk md1"]["median_s"] / lat["fuzzy_match md1"]["median_s"],
                                           ">=", TARGETS["md1_vs_pywalk"]),
        "md1: rapidfuzz cdist / module": (lat["rapidfuzz cdist md1"]["mean_s"] / lat["fuzzy_match md1"]["mean_s"],
                                          ">=", TARGETS["md1_vs_cdist"]),
        "md2: pure-Python walk / module": (lat["pure-Python walk md2"]["median_s"] / lat["fuzzy_match md2"]["median_s"],
                                           ">=", TARGETS["md2_vs_pywalk"]),
        "build / read-input floor": (v["build"]["ratio_build_to_floor"], "<=", TARGETS["build_vs_floor"]),
        "to_bytes / copy speed": (v["codec"]["ratio_to_bytes_speed_to_copy"], ">=", TARGETS["to_bytes_vs_copy"]),
        "from_bytes / copy speed": (v["codec"]["ratio_from_bytes_speed_to_copy"], ">=", TARGETS["from_bytes_vs_copy"]),
        "RSS built / encoded size": (v["memory"]["ratio_rss_built_to_encoded"], "<=", TARGETS["rss_vs_encoded"]),
    }
    out = {}
    for name, (measured, op, bound) in checks.items():
        ok = measured >= bound if op == ">=" else measured <= bound
        out[name] = {"measured": measured, "rule": f"{op} {bound:g}", "pass": ok}
    return {"vocabulary": v["label"], "checks": out}


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = results["vocabularies"]
    xs = [v["words"] for v in sizes]
    styles = {
        "fuzzy_match md1": ("C0", "-", "o"), "fuzzy_match md2": ("C0", "--", "s"),
        "fuzzy_match_video": ("C1", "-", "o"), "fuzzy_match_video prefix": ("C1", "--", "s"),
        "pure-Python walk md1": ("C2", "-", "o"), "pure-Python walk md2": ("C2", "--", "s"),
        "rapidfuzz extract md1": ("C3", "-", "o"), "rapidfuzz extract md2": ("C3", "--", "s"),
        "rapidfuzz cdist md1": ("C4", "-", "o"), "rapidfuzz cdist md2": ("C4", "--", "s"),
    }
    fig, ax = plt.subplots(figsize=(10, 5.5), dpi=110)
    for name, (color, line, marker) in styles.items():
        ys = [v["latency"][name]["median_s"] * 1e6 for v in sizes]
        label = name.replace("fuzzy_match_video prefix", "fuzzy_match_video include_prefix_nodes=True")
        if label == "fuzzy_match_video":
            label += " (defaults)"
        if "cdist" in name:
            label += " (amortised)"
        ax.plot(xs, ys, color=color, linestyle=line, marker=marker, label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("vocabulary size (words)")
    ax.set_ylabel("median latency per query (µs)")
    ax.set_title("Query latency against vocabulary size (md = max_dist)")
    ax.grid(True, which="both", alpha=0.3)
    ax.set_xticks(xs, [f"{x:,}" for x in xs])
    ax.minorticks_off()
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--words", default=WORDS)
    parser.add_argument("--sizes", default="10000,100000,full",
                        help="comma-separated sample sizes; 'full' is the whole list")
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--slow-queries", type=int, default=200,
                        help="queries for RapidFuzz extract and the pure-Python walk on the full list")
    parser.add_argument("--repeat", type=int, default=5, help="timings per query of the module")
    parser.add_argument("--peer-repeat", type=int, default=3,
                        help="timings per query of the peers on the samples (1 on the full list)")
    parser.add_argument("--batch", type=int, default=0, help="queries per cdist call (0: all in one)")
    parser.add_argument("--build-repeat", type=int, default=3)
    parser.add_argument("--codec-repeat", type=int, default=5)
    parser.add_argument("--pickle-repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--json")
    parser.add_argument("--plot")
    parser.add_argument("--rss-child", nargs=2, help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.rss_child:
        rss_child(*opts.rss_child)
        return
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 10_000))

    started = time.perf_counter()

    def log(msg):
        print(f"  {time.perf_counter() - started:7.1f} s  {msg}", file=sys.stderr, flush=True)

    all_words = load_words(opts.words)
    videos = video_pool(opts.seed)
    results = {
        "python": sys.version,
        "platform": platform.platform(),
        "machine": {"cpus": os.cpu_count(), "loadavg_start": os.getloadavg()},
        "clock": "time.process_time_ns (CPU time of the process, user + system)",
        "clock_cost_ns": clock_cost_ns(),
        "round_s": ROUND_S,
        "word_list": opts.words,
        "video_pool": VIDEOS,
        "video_top_n": TOP_N,
        "seed": opts.seed,
        "settings": {k: v for k, v in vars(opts).items() if k not in ("rss_child",)},
        "vocabularies": [],
    }
    import rapidfuzz
    results["rapidfuzz"] = rapidfuzz.__version__
    for size in opts.sizes.split(","):
        if size == "full":
            words = all_words
        else:
            words = sorted(random.Random(opts.seed + int(size)).sample(all_words, int(size)))
        results["vocabularies"].append(bench_vocabulary(size, words, videos, opts, log))
    results["call_overhead"] = call_overhead(200_000, 7)
    full = [v for v in results["vocabularies"] if v["label"] == "full"]
    if full:
        results["targets"] = targets(full[0])
    results["machine"]["loadavg_end"] = os.getloadavg()
    results["wall_s"] = time.perf_counter() - started

    if opts.json:
        os.makedirs(os.path.dirname(opts.json) or ".", exist_ok=True)
        with open(opts.json, "w") as f:
            json.dump(results, f, indent=1)
    if opts.plot:
        plot(results, opts.plot)
    print(report(results, opts))
    print(f"\nclock: CPU time of the process, own cost {results['clock_cost_ns']} ns per reading")
    print(f"{sys.version.split()[0]}, rapidfuzz {results['rapidfuzz']}, {os.cpu_count()} CPUs, "
          f"load average {results['machine']['loadavg_start'][0]:.2f} at start, "
          f"{results['machine']['loadavg_end'][0]:.2f} at end; harness wall time {results['wall_s']:.0f} s")


if __name__ == "__main__":
    main()
