"""suggest: the candidates within reach (a swap of neighbours one edit, or
two), equal scores by term; the limit keeps the best; the same answers from
an Index and from a file, and from a bare PrefixSearch the edits alone rank.
The rules of the order itself are tested in test_typing_model.py."""

import random

import pytest

import quillmesh
from oracle import levenshtein, optimal_string_alignment

ROWS = [
    ("aardvark", 1, 1), ("cart", 2, 3), ("car", 3, 1), ("cut", 1, 9), ("cat", 4, 5),
    ("cot", 5, 9), ("at", 6, 2), ("zat", 7, 50), ("cats", 8, 1), ("cats", 9, 7),
]

CASES = [
    # (term, kwargs, expected (term, distance, count) best first)
    ("cat", {"max_dist": 0}, [("cat", 0, 5)]),
    ("cat", {"limit": 0}, []),
    ("qqqqqq", {}, []),
    ("", {"max_dist": 2}, [("at", 2, 2)]),
    # A swap of neighbours is one edit, unless distance="levenshtein".
    ("act", {"max_dist": 1}, [("cat", 1, 5), ("at", 1, 2)]),
    ("act", {"max_dist": 1, "distance": "levenshtein"}, [("at", 1, 2)]),
]


@pytest.mark.parametrize("term, kwargs, expected", CASES)
def test_order_and_limit(term, kwargs, expected):
    got = quillmesh.suggest(quillmesh.build_index(ROWS), term, **kwargs)
    assert [tuple(s) for s in got] == expected


def test_the_limit_keeps_the_best():
    index = quillmesh.build_index(ROWS)
    for term in ("cat", "ca", "zart", "cuts"):
        everything = quillmesh.suggest(index, term, limit=None)
        assert len(everything) > 3, term
        for limit in range(len(everything) + 2):
            assert quillmesh.suggest(index, term, limit=limit) == everything[:limit], (term, limit)


def test_counts_survive_a_file(tmp_path):
    index = quillmesh.build_index(ROWS)
    quillmesh.save(index, tmp_path / "x.qm")
    loaded = quillmesh.load(tmp_path / "x.qm", verify=False)
    assert quillmesh.suggest(loaded, "cat") == quillmesh.suggest(index, "cat")


def test_without_counts_the_edits_alone_rank():
    # Three equal edits: by term.
    got = quillmesh.suggest(quillmesh.build(ROWS), "cxt", max_dist=1)
    assert [(s.term, s.distance, s.uses) for s in got] == [("cat", 1, None), ("cot", 1, None), ("cut", 1, None)]


def test_a_term_of_unknown_count_weighs_as_one_never_used():
    index = quillmesh.Index(quillmesh.build(ROWS), {"cut": 1})
    assert [s.term for s in quillmesh.suggest(index, "cxt", max_dist=1)] == ["cut", "cat", "cot"]


BAD_CALLS = [
    (("not an index", "cat"), {}, TypeError, "index must be a quillmesh.Index or a PrefixSearch"),
    ((None, "cat"), {}, TypeError, "not NoneType"),
    (("INDEX", "cat"), {"limit": -1}, ValueError, "limit must be at least 0, not -1"),
    (("INDEX", "cat"), {"limit": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
    (("INDEX", "cat"), {"max_dist": None}, TypeError, "argument 'max_dist'"),
    (("INDEX", 7), {}, TypeError, "argument 'term'"),
    (("INDEX", "cat"), {"distance": "damerau"}, ValueError, "distance must be 'osa' or 'levenshtein', not 'damerau'"),
    (("INDEX", "cat"), {"distance": None}, ValueError, "not None"),
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
        max_dist = rng.randint(0, 3)
        for distance, oracle in (("osa", optimal_string_alignment), ("levenshtein", levenshtein)):
            got = quillmesh.suggest(index, term, max_dist=max_dist, limit=None, distance=distance)
            found = {s.term: s.distance for s in got}
            assert len(found) == len(got)
            assert all(oracle(term, w) == d <= max_dist and counts[w] == s.uses
                       for s, (w, d) in zip(got, found.items())), (term, max_dist, distance)
            # Every term within plain edits, and within one swap and the edits left.
            assert {w for w in words if levenshtein(term, w) <= max_dist} <= found.keys()
            if distance == "osa":
                one_swap = {w for w in words if oracle(term, w) <= max_dist and any(
                    levenshtein(term[:k] + term[k + 1] + term[k] + term[k + 2:], w) < max_dist
                    for k in range(len(term) - 1))}
                assert one_swap <= found.keys(), (term, max_dist)
            else:
                assert found.keys() == {w for w in words if levenshtein(term, w) <= max_dist}


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
