import math
import struct
import uuid

import numpy
import pytest
from hypothesis import given, settings, strategies as st

import _quillmesh
from trie_bytes import CAT_SHIFTS, CAT_TERMINAL, CAT_TRANSITIONS, cat_trie_bytes, encode_trie
from oracle import levenshtein

PrefixSearch = _quillmesh.PrefixSearch

INT_IDS = [10, 11, 12, 13, 0xFFFFFFFF]


def cat_index(payloads, **kwargs):
    """The example trie ('cat' 3, 'car' 4, 'cart' 5, 'dog' 8; prefixes 1 'c',
    2 'ca', 6 'd', 7 'do'); `payloads` maps node -> (total, ids, counts), the
    other nodes get none. Int32 ids 10, 11, 12, 13, 4294967295 by default."""
    full = [payloads.get(v) for v in range(9)]
    kwargs.setdefault("video_int_ids", INT_IDS)
    kwargs.setdefault("id_mode", 1)
    return PrefixSearch.from_bytes(cat_trie_bytes(full, **kwargs))


W3 = (1.0 - 1 / 3) * 0.05  # one edit on a three-code-point term
W2 = (1.0 - 1 / 2) * 0.05  # one edit on a two-code-point term


def test_worked_example():
    p = cat_index({3: (10, [1, 2], [6, 4]), 4: (20, [3], [20])})
    total = 10 + W3 * 20
    assert p.fuzzy_match_video("cat") == [("11", 0.5625), ("12", 0.375), ("13", W3 * 20 / total)]
    assert p.fuzzy_match_video("cat")[2][1] == pytest.approx(0.0625, abs=1e-15)
    assert p.fuzzy_match_video("cat", min_score=0.1) == [("11", 0.5625), ("12", 0.375)]
    assert p.fuzzy_match_video("cat", limit=1) == [("11", 0.5625)]


EVERY_NODE = {v: (2, [v % 4], [1]) for v in range(1, 9)}
TWO_VIDEOS = {3: (4, [1, 0], [3, 1])}

EDGE_CASES = [
    # (name, payloads, term, kwargs, expected)
    ("empty term, max_dist 1", EVERY_NODE, "", {}, []),
    ("empty term, max_dist 3", EVERY_NODE, "", {"max_dist": 3, "include_prefix_nodes": True}, []),
    ("no node matches", EVERY_NODE, "xyz", {}, []),
    # 'c': the one-edit prefix nodes 'ca' and 'd' weigh 0.0 and add no total.
    ("one code point", {1: (2, [0], [1]), 2: (100, [1], [100]), 6: (100, [2], [100])}, "c", {},
     [("10", 0.5)]),
    # 'ca' with prefix nodes: 'c' (d 1, prefix), 'ca' (exact, prefix), 'cat', 'car' (d 1).
    ("two code points", {1: (1, [2], [1]), 2: (1, [0], [1]), 3: (1, [1], [1])}, "ca",
     {"include_prefix_nodes": True},
     [("10", 0.85 / (W2 * 0.85 + 0.85 + W2)), ("11", W2 / (W2 * 0.85 + 0.85 + W2)),
      ("12", W2 * 0.85 / (W2 * 0.85 + 0.85 + W2))]),
    ("same video listed twice", {3: (4, [0, 1, 0], [1, 1, 2])}, "cat", {"max_dist": 0},
     [("10", 0.75), ("11", 0.25)]),
    ("all totals zero", {3: (0, [0], [5]), 4: (0, [1], [5])}, "cat", {}, []),
    ("positive total, no videos", {3: (5, [], [])}, "cat", {}, []),
    ("automatic: terminal matches without videos, no fallback",
     {2: (1, [0], [1]), 3: (5, [], []), 4: (5, [], []), 5: (5, [], [])}, "cat", {"min_score": 0}, []),
    ("same, prefix nodes asked for",
     {2: (1, [0], [1]), 3: (5, [], []), 4: (5, [], []), 5: (5, [], [])}, "cat",
     {"include_prefix_nodes": True, "min_score": 0}, [("10", W3 * 0.85 / (W3 * 0.85 + 5 + W3 * 5 + W3 * 5))]),
    ("automatic: no terminal match falls back", {1: (2, [0], [1])}, "c", {"include_prefix_nodes": None},
     [("10", 0.5)]),
    ("prefix nodes refused", {1: (2, [0], [1])}, "c", {"include_prefix_nodes": False}, []),
    ("min_score 0.0 keeps zero scores", {3: (4, [1, 0], [4, 0])}, "cat", {"min_score": 0.0},
     [("11", 1.0), ("10", 0.0)]),
    ("negative min_score keeps zero scores", {3: (4, [1, 0], [4, 0])}, "cat", {"min_score": -3},
     [("11", 1.0), ("10", 0.0)]),
    ("NaN min_score keeps nothing", TWO_VIDEOS, "cat", {"min_score": math.nan}, []),
    ("score equal to the threshold stays", TWO_VIDEOS, "cat", {"min_score": 0.25},
     [("11", 0.75), ("10", 0.25)]),
    ("score just below the threshold goes", TWO_VIDEOS, "cat", {"min_score": math.nextafter(0.25, 1)},
     [("11", 0.75)]),
    ("limit 0", TWO_VIDEOS, "cat", {"limit": 0}, []),
    ("limit above the candidate count", TWO_VIDEOS, "cat", {"limit": 7}, [("11", 0.75), ("10", 0.25)]),
    ("limit cuts", TWO_VIDEOS, "cat", {"limit": 1}, [("11", 0.75)]),
    ("equal scores by ascending video number", {3: (4, [3, 0, 2, 1], [1, 1, 1, 1])}, "cat",
     {"max_dist": 0}, [("10", 0.25), ("11", 0.25), ("12", 0.25), ("13", 0.25)]),
    ("tie across the cut keeps the lowest numbers", {3: (4, [3, 0, 2, 1], [1, 1, 1, 1])}, "cat",
     {"max_dist": 0, "limit": 2}, [("10", 0.25), ("11", 0.25)]),
    ("unsigned decimal", {3: (1, [4], [1])}, "cat", {}, [("4294967295", 1.0)]),
    ("video beyond the table dropped after the cut", {3: (4, [1, 9, 0], [1, 2, 1])}, "cat",
     {"limit": 2}, [("10", 0.25)]),
]


@pytest.mark.parametrize("name,payloads,term,kwargs,expected", EDGE_CASES, ids=[c[0] for c in EDGE_CASES])
def test_edge_cases(name, payloads, term, kwargs, expected):
    assert cat_index(payloads).fuzzy_match_video(term, **kwargs) == expected


def test_term_length_counts_code_points():
    # 'aéb' (exact) and 'aéc' (one edit): three code points, four bytes.
    p = PrefixSearch.from_bytes(encode_trie(
        [0, 1, 2, 4, 4], "\0aébc", [1, 2, 3, 4], [None, None, None, (1, [0], [1]), (1, [1], [1])],
        video_int_ids=[5, 6], id_mode=1))
    assert p.fuzzy_match_video("aéb") == [("5", 1 / (1 + W3)), ("6", W3 / (1 + W3))]


def test_uuid_identifiers():
    uuids = [bytes(range(16)), bytes(range(0xF0, 0x100)), b"\xab" * 16]
    p = cat_index({3: (6, [2, 0, 1], [3, 2, 1])}, video_uuids=uuids, video_int_ids=[], id_mode=0)
    assert p.fuzzy_match_video("cat") == [
        ("abababab-abab-abab-abab-abababababab", 0.5),
        ("00010203-0405-0607-0809-0a0b0c0d0e0f", 2 / 6),
        ("f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff", 1 / 6),
    ]
    short = cat_index({3: (6, [2, 0, 1], [3, 2, 1])}, video_uuids=uuids[:1], id_mode=0)
    assert short.fuzzy_match_video("cat") == [("00010203-0405-0607-0809-0a0b0c0d0e0f", 2 / 6)]


def test_index_from_arrays_uses_propagated_payloads():
    # Terminals only carry payloads in the arrays; 'c' and 'ca' get theirs by
    # propagation, and 'car' absorbs 'cart'.
    p = PrefixSearch.from_internal_data_v2(
        CAT_SHIFTS, ["", "c", "a", "t", "r", "t", "d", "o", "g"],
        [None, None, None, (3, [0], [3]), (2, [1], [2]), (1, [2], [1]), None, None, (5, [3], [5])],
        CAT_TRANSITIONS, [struct.pack("<I", x) for x in (7, 8, 9, 0xFFFFFFFF)], 32)
    assert p.fuzzy_match_video("ca") == [("7", 0.5), ("8", W2 * 2 / (W2 * 3 + W2 * 3)),
                                         ("9", W2 * 1 / (W2 * 3 + W2 * 3))]
    # Node order 'c' (one edit, prefix), 'ca' (exact, prefix), 'cat', 'car'.
    total = W2 * 0.85 * 6 + 0.85 * 6 + W2 * 3 + W2 * 3
    assert p.fuzzy_match_video("ca", include_prefix_nodes=True) == [
        ("7", (W2 * 0.85 * 3 + 0.85 * 3 + W2 * 3) / total),
        ("8", (W2 * 0.85 * 2 + 0.85 * 2 + W2 * 2) / total),
        ("9", (W2 * 0.85 * 1 + 0.85 * 1 + W2 * 1) / total),
    ]
    assert p.fuzzy_match_video("dog") == [("4294967295", 1.0)]


def test_zero_node_index_answers_empty():
    p = PrefixSearch.from_bytes(encode_trie([], "", [], []))
    assert p.fuzzy_match_video("cat") == []
    assert p.fuzzy_match_video("", include_prefix_nodes=True) == []
    built = PrefixSearch.from_internal_data_v2([], [], [], [], [], 0)
    assert built.fuzzy_match_video("cat", include_prefix_nodes=True) == []


@pytest.mark.parametrize("payloads,is_terminal,message", [
    # The matcher reports 'ca' (2), 'cat' (3), ...: node 3 is past is_terminal.
    ([(1, [0], [1])] * 9, CAT_TERMINAL[:3], "the len is 3 but the index is 3"),
    ([(1, [0], [1])] * 4, CAT_TERMINAL, "the len is 4 but the index is 4"),
    ([None, None, None, (2, [0, 1], [1])] + [None] * 5, CAT_TERMINAL, "the len is 1 but the index is 1"),
])
def test_inconsistent_index_panics_and_recovers(payloads, is_terminal, message):
    p = PrefixSearch.from_bytes(cat_trie_bytes(payloads, is_terminal=is_terminal, video_int_ids=[1, 2], id_mode=1))
    with pytest.raises(BaseException) as info:
        p.fuzzy_match_video("cat", include_prefix_nodes=True)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "index out of bounds: " + message
    # Still usable: a query that reads no bad entry.
    assert p.fuzzy_match_video("zzz") == []


CONVERSION_ERRORS = [
    # (args, kwargs, exception type, exact text or prefix ending in ": ")
    (("cat",), {"include_prefix_nodes": 1}, TypeError,
     "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
    (("cat",), {"include_prefix_nodes": "yes"}, TypeError,
     "argument 'include_prefix_nodes': 'str' object cannot be converted to 'PyBool'"),
    (("cat",), {"min_score": "x"}, TypeError, "argument 'min_score': "),
    (("cat",), {"max_dist": None}, TypeError, "argument 'max_dist': "),
    (("cat",), {"max_dist": 1.0}, TypeError, "argument 'max_dist': "),
    ((b"cat",), {}, TypeError, "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
    (("cat",), {"max_dist": -1}, OverflowError, None),
    (("cat",), {"limit": 2**32}, OverflowError, "out of range integral type conversion attempted"),
    # Parameter order decides which failure is reported.
    ((None,), {"include_prefix_nodes": 1}, TypeError, "argument 'term': "),
    (("cat", 1, "x"), {"min_score": "x"}, TypeError, "argument 'limit': "),
    (("cat", 1, None, 0), {"min_score": "x"}, TypeError, "argument 'include_prefix_nodes': "),
    (("cat", 1, None, None, None, None), {}, TypeError,
     "PrefixSearch.fuzzy_match_video() takes from 1 to 5 positional arguments but 6 were given"),
    ((), {"max_dist": 1}, TypeError, "PrefixSearch.fuzzy_match_video() missing 1 required positional argument: 'term'"),
]


@pytest.mark.parametrize("args,kwargs,exc,text", CONVERSION_ERRORS)
def test_conversion_errors_before_any_search(args, kwargs, exc, text):
    # An index that fails any walk: a conversion error must come first.
    broken = PrefixSearch.from_bytes(cat_trie_bytes([None] * 9, is_terminal=[]))
    for p in (cat_index(EVERY_NODE), broken):
        with pytest.raises(exc) as info:
            p.fuzzy_match_video(*args, **kwargs)
        assert type(info.value) is exc
        if text is not None and text.endswith(": "):
            assert str(info.value).startswith(text)
            assert len(str(info.value)) > len(text)
        elif text is not None:
            assert str(info.value) == text


def test_lone_surrogate_term_refused():
    with pytest.raises(UnicodeEncodeError):
        cat_index(EVERY_NODE).fuzzy_match_video("ca\ud800")


def test_accepted_argument_forms():
    p = cat_index({1: (2, [0], [1]), 2: (4, [1], [2]), 3: (4, [2], [2])})
    assert p.fuzzy_match_video("ca", include_prefix_nodes=numpy.bool_(True)) == \
        p.fuzzy_match_video("ca", include_prefix_nodes=True)
    assert p.fuzzy_match_video("c", include_prefix_nodes=numpy.bool_(False)) == []
    assert p.fuzzy_match_video("c", include_prefix_nodes=numpy.bool_(True)) == [("10", 0.5)]
    by_keyword = p.fuzzy_match_video(min_score=0, include_prefix_nodes=True, limit=2, max_dist=numpy.int64(1),
                                      term="ca")
    assert by_keyword == p.fuzzy_match_video("ca", 1, 2, True, 0.0)
    assert p.fuzzy_match_video("ca", min_score=numpy.float64(0.0)) == p.fuzzy_match_video("ca", min_score=0)

    class Half:
        def __float__(self):
            return 0.5

    assert p.fuzzy_match_video("cat", max_dist=0, min_score=Half()) == [("12", 0.5)]
    assert p.fuzzy_match_video("cat", max_dist=0, min_score=0.51) == []
    rows = p.fuzzy_match_video("cat", max_dist=0)
    assert type(rows) is list and all(type(r) is tuple and type(r[0]) is str and type(r[1]) is float for r in rows)


# --- property test: whole lists against a plain recomputation ---------------

ALPHABET = "abé\U0001F600"


def oracle_nodes(children, labels, terminal, term, max_dist, terminal_only):
    out = []
    stack = [(0, "")]
    while stack:
        v, path = stack.pop()
        if v != 0:
            if levenshtein(path, term) <= max_dist and (terminal[v] or not terminal_only):
                out.append(v)
        for c in reversed(children[v]):
            if labels[c] != "\0":
                stack.append((c, path + labels[c]))
    return out


def oracle_ranking(tree, term, max_dist, limit, include_prefix_nodes, min_score):
    children, labels, terminal, payloads, id_mode, uuids, int_ids, paths = tree
    if include_prefix_nodes is None:
        nodes = oracle_nodes(children, labels, terminal, term, max_dist, True)
        if not nodes:
            nodes = oracle_nodes(children, labels, terminal, term, max_dist, False)
    else:
        nodes = oracle_nodes(children, labels, terminal, term, max_dist, not include_prefix_nodes)
    n = len(term)
    total = 0.0
    scores = {}
    for v in nodes:
        d = levenshtein(paths[v], term)
        w = 1.0 if d == 0 else 0.0 if n == 0 else (1.0 - d / n) * 0.05
        if w <= 0.0:
            continue
        if not terminal[v]:
            w *= 0.85
        if payloads[v] is None:
            continue
        t, ids, counts = payloads[v]
        total += w * t
        for video, count in zip(ids, counts):
            scores[video] = scores.get(video, 0.0) + w * count
    if total <= 0.0:
        return []
    threshold = 0.01 if min_score is None else min_score
    cands = sorted(((-s / total, video) for video, s in scores.items() if s / total >= threshold))
    if limit is not None:
        cands = cands[:limit]
    table = int_ids if id_mode == 1 else uuids
    rows = []
    for neg, video in cands:
        if video < len(table):
            text = str(table[video]) if id_mode == 1 else str(uuid.UUID(bytes=bytes(table[video])))
            rows.append((text, -neg))
    return rows


@st.composite
def random_trees(draw):
    count = draw(st.integers(2, 14))
    # Parents among the last few nodes: paths long enough for fuzzy weights.
    parents = [None] + [draw(st.integers(max(0, v - 3), v - 1)) for v in range(1, count)]
    # U+0000 below the root hides a subtree; rare, so most trees stay searchable.
    labels = ["\0"] + [draw(st.sampled_from(ALPHABET * 3 + "\0")) for _ in range(1, count)]
    terminal = [False] + [draw(st.booleans()) for _ in range(1, count)]
    videos = draw(st.integers(1, 8))
    payload = st.tuples(st.integers(0, 30), st.lists(st.tuples(st.integers(0, videos), st.integers(0, 5)), max_size=5))
    payloads = []
    for _ in range(count):
        p = None if draw(st.integers(0, 3)) == 0 else draw(payload)
        payloads.append(None if p is None else (p[0], [a for a, _ in p[1]], [b for _, b in p[1]]))
    id_mode = draw(st.sampled_from([0, 1]))
    # Video numbers run 0..videos; a shorter table leaves the last ones without an id.
    table_len = max(0, videos + 1 - draw(st.sampled_from([0, 0, 0, 1, 2])))
    uuids = [bytes(draw(st.lists(st.integers(0, 255), min_size=16, max_size=16))) for _ in range(table_len)] \
        if id_mode == 0 else []
    int_ids = [draw(st.integers(0, 2**32 - 1)) for _ in range(table_len)] if id_mode == 1 else []
    children = [[] for _ in range(count)]
    for v in range(1, count):
        children[parents[v]].append(v)
    paths = [""] * count
    for v in range(1, count):
        paths[v] = paths[parents[v]] + labels[v]
    return children, labels, terminal, payloads, id_mode, uuids, int_ids, paths


def index_of(tree):
    children, labels, terminal, payloads, id_mode, uuids, int_ids, _ = tree
    shifts, transitions = [], []
    for kids in children:
        shifts.append(len(transitions))
        transitions.extend(kids)
    return PrefixSearch.from_bytes(encode_trie(shifts, labels, transitions, payloads, video_uuids=uuids,
                                               video_int_ids=int_ids, id_mode=id_mode, is_terminal=terminal))


@st.composite
def terms_near(draw, paths):
    """Mostly a node's path with at most one edit, so that queries match."""
    if draw(st.integers(0, 4)) == 0:
        return draw(st.text(ALPHABET, max_size=4))
    term = draw(st.sampled_from(paths[1:]))
    edit = draw(st.sampled_from(["none", "append", "drop", "swap"]))
    if edit == "append":
        term += draw(st.sampled_from(ALPHABET))
    elif edit == "drop":
        term = term[:-1]
    elif edit == "swap" and term:
        term = term[:-1] + draw(st.sampled_from(ALPHABET))
    return term


@settings(max_examples=600, deadline=None)
@given(tree=random_trees(), data=st.data(), max_dist=st.integers(0, 3),
       limit=st.sampled_from([None, 0, 1, 2, 3, 5]), mode=st.sampled_from([None, True, False]),
       min_score=st.sampled_from([None, 0.0, -1.0, 0.05, 0.2, math.nan]))
def test_matches_plain_recomputation(tree, data, max_dist, limit, mode, min_score):
    term = data.draw(terms_near(tree[-1]))
    got = index_of(tree).fuzzy_match_video(term, max_dist, limit, mode, min_score)
    assert got == oracle_ranking(tree, term, max_dist, limit, mode, min_score)
