"""suggest: best first by distance, then count, then term; the limit keeps
the best; the same answers from an Index, from a file and from a bare
PrefixSearch (no counts)."""

import random

import pytest

import quillmesh
from oracle import levenshtein

ROWS = [
    ("aardvark", 1, 1), ("cart", 2, 3), ("car", 3, 1), ("cut", 1, 9), ("cat", 4, 5),
    ("cot", 5, 9), ("at", 6, 2), ("zat", 7, 50), ("cats", 8, 1), ("cats", 9, 7),
]

CASES = [
    # (term, kwargs, expected (term, distance, count) best first)
    ("cat", {}, [("cat", 0, 5), ("zat", 1, 50), ("cot", 1, 9), ("cut", 1, 9), ("cats", 1, 8),
                 ("cart", 1, 3), ("at", 1, 2), ("car", 1, 1)]),
    # The limit keeps the best, not the first met in trie order ("at" comes first there).
    ("cat", {"limit": 3}, [("cat", 0, 5), ("zat", 1, 50), ("cot", 1, 9)]),
    ("cat", {"max_dist": 0}, [("cat", 0, 5)]),
    ("cxt", {"max_dist": 1, "limit": 2}, [("cot", 1, 9), ("cut", 1, 9)]),  # equal counts: by term
    ("cat", {"limit": 0}, []),
    ("qqqqqq", {}, []),
    ("", {"max_dist": 2}, [("at", 2, 2)]),
]


@pytest.mark.parametrize("term, kwargs, expected", CASES)
def test_order_and_limit(term, kwargs, expected):
    got = quillmesh.suggest(quillmesh.build_index(ROWS), term, **kwargs)
    assert [tuple(s) for s in got] == expected


def test_counts_survive_a_file(tmp_path):
    index = quillmesh.build_index(ROWS)
    quillmesh.save(index, tmp_path / "x.qm")
    loaded = quillmesh.load(tmp_path / "x.qm", verify=False)
    assert quillmesh.suggest(loaded, "cat") == quillmesh.suggest(index, "cat")


def test_without_counts_terms_order_by_distance_then_text():
    got = quillmesh.suggest(quillmesh.build(ROWS), "cat", limit=None)
    assert [(s.term, s.distance, s.uses) for s in got] == [
        ("cat", 0, None), ("at", 1, None), ("car", 1, None), ("cart", 1, None),
        ("cats", 1, None), ("cot", 1, None), ("cut", 1, None), ("zat", 1, None),
    ]


def test_terms_of_unknown_count_come_after_counted_ones():
    index = quillmesh.Index(quillmesh.build(ROWS), {"cut": 1})
    assert [s.term for s in quillmesh.suggest(index, "cxt", max_dist=1)] == ["cut", "cat", "cot"]


BAD_CALLS = [
    (("not an index", "cat"), {}, TypeError, "index must be a quillmesh.Index or a PrefixSearch"),
    ((None, "cat"), {}, TypeError, "not NoneType"),
    (("INDEX", "cat"), {"limit": -1}, ValueError, "limit must be at least 0, not -1"),
    (("INDEX", "cat"), {"limit": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
    (("INDEX", "cat"), {"max_dist": None}, TypeError, "argument 'max_dist'"),
    (("INDEX", 7), {}, TypeError, "argument 'term'"),
]


@pytest.mark.parametrize("args, kwargs, error, message", BAD_CALLS)
def test_bad_arguments(args, kwargs, error, message):
    index = quillmesh.build_index(ROWS)
    args = tuple(index if a == "INDEX" else a for a in args)
    with pytest.raises(error, match=message):
        quillmesh.suggest(*args, **kwargs)


def test_against_a_scan_of_every_term():
    rng = random.Random(19)
    words = {"".join(rng.choice("abc") for _ in range(rng.randint(1, 6))) for _ in range(300)}
    counts = {w: rng.randint(0, 4) for w in words}
    index = quillmesh.build_index([(w, 1, c) for w, c in counts.items()])
    for _ in range(200):
        term = "".join(rng.choice("abcd") for _ in range(rng.randint(0, 7)))
        max_dist, limit = rng.randint(0, 3), rng.choice([None, 0, 1, 5, 40])
        near = [(levenshtein(term, w), -counts[w], w) for w in words if levenshtein(term, w) <= max_dist]
        best = sorted(near)[:limit]
        got = quillmesh.suggest(index, term, max_dist=max_dist, limit=limit)
        assert [(s.distance, -s.uses, s.term) for s in got] == best, (term, max_dist, limit)


def test_index_holds_its_parts_read_only():
    search = quillmesh.build(ROWS)
    counts = {"cat": 5}
    index = quillmesh.Index(search, counts)
    counts["cat"] = 6  # the index keeps its own copy
    assert index.search is search and dict(index.term_counts) == {"cat": 5}
    with pytest.raises(TypeError):
        index.term_counts["cat"] = 1
    with pytest.raises(AttributeError):
        index.search = search
    with pytest.raises(AttributeError):
        index.extra = 1
    with pytest.raises(TypeError, match="search must be a PrefixSearch, not dict"):
        quillmesh.Index({}, counts)
    # The queries are the search's own, arguments and errors included.
    assert index.fuzzy_match("cxt", limit=2) == search.fuzzy_match("cxt", limit=2)
    assert index.fuzzy_match_video("ca", 1, None, True, 0.0) == search.fuzzy_match_video("ca", 1, None, True, 0.0)
    assert index.to_bytes() == search.to_bytes()
    with pytest.raises(TypeError, match="argument 'max_dist'"):
        index.fuzzy_match("cat", max_dist="two")


def test_build_keeps_returning_a_prefix_search():
    assert type(quillmesh.build(ROWS)) is quillmesh.PrefixSearch
    assert quillmesh.build_index(ROWS).to_bytes() == quillmesh.build(ROWS).to_bytes()
