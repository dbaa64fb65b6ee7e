"""The README's figures come from the bench results through one script."""

import copy
import importlib.util
import json
import os

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
found = importlib.util.spec_from_file_location("readme_figures", os.path.join(ROOT, "tools", "readme_figures.py"))
readme_figures = importlib.util.module_from_spec(found)
found.loader.exec_module(readme_figures)


@pytest.fixture(scope="module")
def results():
    with open(readme_figures.COPY, encoding="utf-8") as f:
        return json.load(f)


@pytest.fixture(scope="module")
def readme():
    with open(readme_figures.README, encoding="utf-8") as f:
        return f.read()


def test_readme_is_what_the_committed_results_give(results, readme):
    # A figure typed by hand between the markers, or results copied without
    # the README written from them, shows here.
    assert readme_figures.rewrite(readme, results) == readme


def test_every_block_is_marked_once(readme):
    names = [m.group(1) for m in readme_figures.MARKED.finditer(readme)]
    assert sorted(names) == sorted(readme_figures.BLOCKS)


def test_figures_follow_the_results(results, readme):
    changed = copy.deepcopy(results)
    full = next(v for v in changed["vocabularies"] if v["label"] == "full")
    full["latency"]["fuzzy_match md1"]["distinct"]["median_s"] = 0.5e-6
    full["codec"]["to_bytes_MBps"] = 12_345.0
    text = readme_figures.rewrite(readme, changed)
    assert "median of 0.5 µs" in text
    assert "`to_bytes` 12,345 MB/s" in text
    # Only the marked passages change.
    outside = readme_figures.MARKED.sub("", readme)
    assert readme_figures.MARKED.sub("", text) == outside


@pytest.mark.parametrize("damage, message", [
    (lambda t: t.replace("<!-- figures:intro -->\n", "", 1), "missing ['intro']"),
    (lambda t: t + "<!-- figures:nonsense -->\nx\n<!-- /figures:nonsense -->\n", "unknown ['nonsense']"),
    (lambda t: t + "<!-- figures:intro -->\nx\n<!-- /figures:intro -->\n", "repeated ['intro']"),
])
def test_damaged_markers_are_refused(results, readme, damage, message):
    with pytest.raises(SystemExit, match=message.replace("[", r"\[").replace("]", r"\]")):
        readme_figures.rewrite(damage(readme), results)


def test_results_without_the_full_list_are_refused(results, readme):
    sample_only = dict(results, vocabularies=[v for v in results["vocabularies"] if v["label"] != "full"])
    with pytest.raises(SystemExit, match="no full word-list run"):
        readme_figures.rewrite(readme, sample_only)


@pytest.mark.parametrize("query_clock, says, never", [
    # Results from before the query clock was recorded: all CPU time.
    (None, ["median of 0.5 µs of CPU", "Figures are CPU time per call"], ["wall time"]),
    ("time.perf_counter_ns", ["median of 0.5 µs (", "Query figures are wall time per call"],
     ["µs of CPU", "Figures are CPU time per call"]),
])
def test_the_clock_named_is_the_one_recorded(results, readme, query_clock, says, never):
    changed = copy.deepcopy(results)
    changed.pop("query_clock", None)
    if query_clock is not None:
        changed["query_clock"] = query_clock
    full = next(v for v in changed["vocabularies"] if v["label"] == "full")
    full["latency"]["fuzzy_match md1"]["distinct"]["median_s"] = 0.5e-6
    text = " ".join(readme_figures.rewrite(readme, changed).split())
    for phrase in says:
        assert phrase in text
    for phrase in never:
        assert phrase not in text
