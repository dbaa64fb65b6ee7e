"""Writes every measured figure in README.md from the results of make bench.

Each figure-bearing passage of the README sits between two markers,

    <!-- figures:NAME -->
    ...
    <!-- /figures:NAME -->

and is replaced by what BLOCKS[NAME] makes of the results, so no figure is
ever typed by hand and no two passages can disagree. Only a run that
includes the full word list may be used (a smoke run's sample would tell
nothing about the real index). The results used are copied to
docs/bench.json, which is committed: `--check` tells whether the README is
exactly what that copy gives (the tests run it).

    python3 tools/readme_figures.py [--results bench/results/bench.json] [--skip-partial]
    python3 tools/readme_figures.py --check
"""

import argparse
import json
import textwrap
import os
import re
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")
COPY = os.path.join(ROOT, "docs", "bench.json")
MARKED = re.compile(r"<!-- figures:([a-z-]+) -->\n(.*?)<!-- /figures:\1 -->\n", re.S)


# ---------------------------------------------------------------- formats


def us(s):
    """Microseconds: one decimal below 100, whole ones above."""
    v = s * 1e6
    return f"{v:,.1f}" if v < 100 else f"{v:,.0f}"


def ms(s):
    return f"{s * 1e3:,.0f}"


def times(r):
    return f"{r:,.0f}x" if r >= 10 else f"{r:.1f}x"


def mb(n):
    return f"{n / 1e6:,.1f}"


def prose(text, bullet=False):
    """A paragraph (or a list item) wrapped as the README's other text is."""
    indent = ("- ", "  ") if bullet else ("", "")
    return textwrap.fill(" ".join(text.split()), 79, initial_indent=indent[0],
                         subsequent_indent=indent[1], break_on_hyphens=False) + "\n"


# ---------------------------------------------------------------- the figures


class PartialRun(SystemExit):
    pass


class Figures:
    """The full list's results, read by name."""

    def __init__(self, results):
        self.results = results
        full = [v for v in results["vocabularies"] if v["label"] == "full"]
        if not full:
            raise PartialRun("readme_figures: these results have no full word-list run "
                             "(a smoke or sample run); the README is left alone")
        self.v = full[0]
        self.samples = [v for v in results["vocabularies"] if v["label"] != "full"]

    def lat(self, name, way="distinct"):
        return self.v["latency"][name][way]

    def ratio(self, name, way="distinct"):
        """Peer over module, same max_dist: medians (cdist: batch means)."""
        key = "mean_s" if "cdist" in name else "median_s"
        return self.lat(name, way)[key] / self.lat(f"fuzzy_match md{name[-1]}", way)[key]


def intro(f):
    md1 = f.lat("fuzzy_match md1")
    return prose(f"On Debian's largest word list ({f.v['words']:,} words, {f.v['nodes'] / 1e6:.1f} million "
                 f"trie nodes), asked one different query after another as a service is, a "
                 f"`max_dist=1` term query takes a median of {us(md1['median_s'])} µs{query_time(f.results)} "
                 f"({us(f.lat('fuzzy_match md1', 'repeated')['median_s'])} µs when "
                 f"the same query is repeated), {times(f.ratio('pure-Python walk md1'))} less than a pure-Python trie "
                 f"walk and\n{times(f.ratio('rapidfuzz cdist md1'))} less than RapidFuzz's batched `cdist`; "
                 f"see Benchmarks. ")


def package_build(f):
    b = f.v["build"]
    return prose(f"The {f.v['words']:,} words of Debian's largest word list ({f.v['rows']:,} rows: 1 to 8 "
                 f"  videos each) build in {b['layout_s'] + b['from_internal_data_v2_s']:.1f} s of CPU "
                 f"({b['layout_s']:.1f} s `quillmesh.layout`, {b['from_internal_data_v2_s']:.2f} s "
                 f"  `from_internal_data_v2`; see Benchmarks).", bullet=True)


def query_time(r):
    """What a query figure is: wall time once the query clock is recorded."""
    return "" if "query_clock" in r else " of CPU"


def clocks(r):
    """What the figures are timed by: results from before the query clock
    was recorded timed everything by CPU time."""
    if "query_clock" not in r:
        return "Figures are CPU time per call"
    return ("Query figures are wall time per call (each distinct query called right after a system call, "
            "as a service's call comes right after the read of its request); builds and the codec are "
            "CPU time of the process")


def bench_setup(f):
    r = f.results
    q = f.v["queries"]
    mod = f.lat("fuzzy_match md1")
    peer = f.lat("pure-Python walk md1")
    samples = " and ".join(f"{v['words']:,}" for v in f.samples)
    sample_text = f"; the samples have {samples} words" if samples else ""
    return prose(f"The full list gives {f.v['words']:,} distinct lower-cased words, {f.v['nodes']:,} trie "
                 f"nodes; each word has 1-8 Zipf-distributed videos of {r['video_pool']:,} "
                 f"(`video_top_n` {r['video_top_n']}){sample_text}.\nEvery peer's answers "
                 f"are checked against `fuzzy_match` (same terms, same distances) before any "
                 f"figure is reported. {clocks(r)}, measured on a "
                 f"{r['machine']['cpus']}-core machine that was also running other work (load average "
                 f"{r['machine']['loadavg_start'][0]:.1f} at the start, {r['machine']['loadavg_end'][0]:.1f} at the end), "
                 f"so they vary between runs, latencies by as much as half. Queries are seeded: a quarter exact words, a quarter with one "
                 f"edit, a quarter with two, a quarter absent words. They are timed two ways. "
                 f"Distinct queries (the headline, what a service sees): {mod['queries']:,} different "
                 f"queries per call ({peer['queries']:,} for the peers), each called once, in sequence, after a "
                 f"warm-up over {mod['warmup']:,} others, so that each finds the index only as "
                 f"warm as any query leaves it; the clock's own cost ({q['clock_cost_taken_off_ns']} ns, the "
                 f"least of many back-to-back readings) is taken off each call. The same query "
                 f"repeated: {f.lat('fuzzy_match md1', 'repeated')['queries']:,} of them, each the best of "
                 f"{f.lat('fuzzy_match md1', 'repeated')['repeat']} rounds of as many calls in a "
                 f"row as last about {r['round_s'] * 1e6:.0f} µs, timed together, so that its paths stay in the caches. ")


TABLE_ROWS = [
    ("fuzzy_match md1", "`fuzzy_match`, max_dist 1"),
    ("fuzzy_match md2", "`fuzzy_match`, max_dist 2"),
    ("fuzzy_match_video", "`fuzzy_match_video` (defaults)"),
    ("fuzzy_match_video prefix", "`fuzzy_match_video`, include_prefix_nodes"),
    ("pure-Python walk md1", "pure-Python trie walk, max_dist 1"),
    ("pure-Python walk md2", "pure-Python trie walk, max_dist 2"),
    ("rapidfuzz extract md1", "RapidFuzz `process.extract`, max_dist 1"),
    ("rapidfuzz extract md2", "RapidFuzz `process.extract`, max_dist 2"),
    ("rapidfuzz cdist md1", "RapidFuzz `process.cdist`, amortised, max_dist 1"),
    ("rapidfuzz cdist md2", "RapidFuzz `process.cdist`, amortised, max_dist 2"),
]


def bench_table(f):
    def p95(d):
        return "-" if d["p95_s"] is None else us(d["p95_s"])

    lines = ["| query | distinct: median | p95 | repeated: median | p95 |",
             "|---|---:|---:|---:|---:|"]
    for name, text in TABLE_ROWS:
        d, r = f.lat(name), f.lat(name, "repeated")
        lines.append(f"| {text} | {us(d['median_s'])} | {p95(d)} | {us(r['median_s'])} | {p95(r)} |")
    return "\n".join(lines) + "\n"


def bench_peers(f):
    return prose(f"Against the peers on the full list, distinct queries: the pure-Python walk "
                 f"takes {times(f.ratio('pure-Python walk md1'))} (max_dist 1) and "
                 f"{times(f.ratio('pure-Python walk md2'))} (max_dist 2) the module's median "
                 f"time, RapidFuzz's amortised `cdist` {times(f.ratio('rapidfuzz cdist md1'))} its mean time at "
                 f"max_dist 1\n({us(f.lat('fuzzy_match md1')['mean_s'])} µs). With each query repeated the ratios are "
                 f"{times(f.ratio('pure-Python walk md1', 'repeated'))}, "
                 f"{times(f.ratio('pure-Python walk md2', 'repeated'))} and "
                 f"{times(f.ratio('rapidfuzz cdist md1', 'repeated'))}. ")


def bench_build(f):
    b, c, m = f.v["build"], f.v["codec"], f.v["memory"]
    runs = b["from_internal_data_v2"]
    call = f.results["call_overhead"]
    module_calls = [call[k]["ns_per_call"] for k in ("fuzzy_match hit", "fuzzy_match miss")]
    builtin_calls = [call[k]["ns_per_call"] for k in ("str.find", "str.split")]
    return prose(f"Build: {ms(b['from_internal_data_v2_s'])} ms for `from_internal_data_v2` (best of "
                 f"{runs['runs']} runs, worst {ms(runs['worst_s'])} ms; "
                 f"{b['ratio_build_to_floor']:.2f}x the time of merely reading the input, "
                 f"{ms(b['read_input_floor_s'])} ms), after "
                 f"{b['layout_s']:.1f} s of `quillmesh.layout`. Encoded index: {mb(c['encoded_bytes'])} MB; "
                 f"`to_bytes`\n{c['to_bytes_MBps']:,.0f} MB/s, `from_bytes` {c['from_bytes_MBps']:,.0f} MB/s "
                 f"(best of {c['to_bytes']['runs']} runs; medians {c['to_bytes_MBps_median']:,.0f} "
                 f"and {c['from_bytes_MBps_median']:,.0f} MB/s), each the whole call, "
                 f"{c['ratio_to_bytes_speed_to_copy']:.2f}x and {c['ratio_from_bytes_speed_to_copy']:.2f}x the speed "
                 f"of copying\nthe same bytes, {times(c['ratio_pickle_dumps_to_to_bytes'])} and "
                 f"{times(c['ratio_pickle_loads_to_from_bytes'])} faster than pickling the input "
                 f"arrays. Resident memory: {mb(m['rss_growth_built_bytes'])} MB for a built index "
                 f"({m['ratio_rss_built_to_encoded']:.2f}x its encoded\nsize), "
                 f"{mb(m['rss_growth_from_bytes_bytes'])} MB for a restored one "
                 f"({m['ratio_rss_from_bytes_to_encoded']:.2f}x), each measured in a fresh process. A call "
                 f"on a one-word index costs {min(module_calls):,.0f}-{max(module_calls):,.0f} ns, against "
                 f"{min(builtin_calls):,.0f}-{max(builtin_calls):,.0f} ns for a builtin `str` "
                 f"method with the same arguments. ")


def bench_targets(f):
    t = f.results["targets"]
    lines = ["| target | bound | measured | |", "|---|---:|---:|---|"]
    for name, c in t["checks"].items():
        scale = 1e6 if "(µs)" in name else 1
        value = c["measured"] * scale
        shown = f"{value:,.2f}" if value < 10 else f"{value:,.0f}"
        lines.append(f"| {name} | {c['op']} {c['bound'] * scale:g} | {shown} | "
                     f"{'met' if c['pass'] else 'missed'} |")
    return "\n".join(lines) + "\n"


def bench_time(f):
    return prose(f"`make bench` takes about {f.results['wall_s'] / 60:.0f} minutes of benchmark once the sid root "
                 f"exists (and the release build before it). ")


BLOCKS = {
    "intro": intro,
    "package-build": package_build,
    "bench-setup": bench_setup,
    "bench-table": bench_table,
    "bench-peers": bench_peers,
    "bench-build": bench_build,
    "bench-targets": bench_targets,
    "bench-time": bench_time,
}


# ---------------------------------------------------------------- the README


def rewrite(text, results):
    """The README with every marked passage made from `results`. Every block
    must be marked exactly once: a passage lost in an edit is an error, not a
    silently stale figure."""
    f = Figures(results)
    found = [m.group(1) for m in MARKED.finditer(text)]
    unknown = sorted(set(found) - set(BLOCKS))
    missing = sorted(set(BLOCKS) - set(found))
    twice = sorted({n for n in found if found.count(n) > 1})
    if unknown or missing or twice:
        raise SystemExit(f"readme_figures: markers unknown {unknown}, missing {missing}, repeated {twice}")
    return MARKED.sub(lambda m: f"<!-- figures:{m.group(1)} -->\n{BLOCKS[m.group(1)](f)}"
                                f"<!-- /figures:{m.group(1)} -->\n", text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--results", default=os.path.join(ROOT, "bench", "results", "bench.json"))
    parser.add_argument("--readme", default=README)
    parser.add_argument("--skip-partial", action="store_true",
                        help="results without the full list leave the README alone and are no error")
    parser.add_argument("--check", action="store_true",
                        help="only tell whether the README is what docs/bench.json gives")
    opts = parser.parse_args()
    source = COPY if opts.check else opts.results
    with open(source, encoding="utf-8") as fh:
        results = json.load(fh)
    with open(opts.readme, encoding="utf-8") as fh:
        text = fh.read()
    try:
        new = rewrite(text, results)
    except PartialRun as e:
        if not opts.skip_partial:
            raise
        print(e.code)
        return
    if opts.check:
        if new != text:
            sys.exit(f"readme_figures: {opts.readme} differs from what {COPY} gives: "
                     "run python3 tools/readme_figures.py --results docs/bench.json")
        return
    if os.path.abspath(source) != os.path.abspath(COPY):
        shutil.copyfile(source, COPY)
    with open(opts.readme, "w", encoding="utf-8") as fh:
        fh.write(new)
    print(f"readme_figures: {opts.readme} written from {source}")


if __name__ == "__main__":
    main()
