"""quillmesh.layout / quillmesh.build: the arrays checked by walking them."""

import random
import sys
import uuid
from collections import deque
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

try:
    import quillmesh
except ImportError:  # running from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
    import quillmesh

from quillmesh.indexfile import IndexFormatError, read_counts
from trie_bytes import cat_trie_bytes, encode_trie

U32_MAX = 2**32 - 1


def children(arrays, node):
    """The children rule, written out independently of the layout code."""
    shifts, transitions = arrays.node_shifts, arrays.child_transitions
    start = shifts[node]
    end = shifts[node + 1] if node + 1 < len(shifts) else len(transitions)
    return [transitions[e] for e in range(start, end)]


def walk(arrays):
    """Breadth-first walk: (visit order, path string of every node)."""
    paths = {0: ""}
    order = []
    queue = deque([0])
    while queue:
        node = queue.popleft()
        order.append(node)
        for child in children(arrays, node):
            assert child not in paths, f"node {child} reached twice"
            paths[child] = paths[node] + arrays.child_labels[child]
            queue.append(child)
    return order, paths


def expected(rows):
    """What the rows say, aggregated the plain way: term -> {id bytes: count}, id order."""
    per_term = {}
    ids = []
    for term, video, count in rows:
        key = as_bytes(video)
        if key not in ids:
            ids.append(key)
        videos = per_term.setdefault(term, {})
        videos[key] = videos.get(key, 0) + count
    return per_term, ids


def as_bytes(video):
    if isinstance(video, uuid.UUID):
        return video.bytes
    if isinstance(video, int):
        return video.to_bytes(4, "little")
    return bytes(video)


def check_layout(rows):
    arrays = quillmesh.layout(rows)
    per_term, ids = expected(rows)
    n = len(arrays.child_labels)
    assert len(arrays.node_shifts) == len(arrays.payloads) == n
    assert arrays.child_labels[0] == ""
    assert all(len(label) == 1 for label in arrays.child_labels[1:])

    order, paths = walk(arrays)
    # Breadth-first numbering, every node reachable, nothing else.
    assert order == list(range(n))
    # One node per distinct prefix of the terms.
    prefixes = {""} | {t[:i] for t in per_term for i in range(len(t) + 1)}
    assert sorted(paths.values()) == sorted(prefixes)
    for node in range(n):
        labels = [arrays.child_labels[c] for c in children(arrays, node)]
        assert labels == sorted(labels, key=ord) and len(set(labels)) == len(labels)

    assert arrays.video_index == ids
    terminal_paths = {paths[i] for i, p in enumerate(arrays.payloads) if p is not None}
    assert terminal_paths == set(per_term)
    for node, payload in enumerate(arrays.payloads):
        if payload is None:
            continue
        total, video_ids, counts = payload
        want = per_term[paths[node]]
        assert [arrays.video_index[v] for v in video_ids] == list(want)  # first-seen order
        assert counts == list(want.values())
        assert total == sum(want.values())
    return arrays


ALPHABET = "abcé€\U0001f600"
terms = st.text(alphabet=ALPHABET, min_size=1, max_size=6)


@settings(deadline=None, max_examples=200)
@given(st.lists(st.tuples(terms, st.integers(0, 6), st.integers(0, 1000)), max_size=40))
def test_layout_matches_brute_force_int_ids(rows):
    check_layout(rows)


@settings(deadline=None, max_examples=50)
@given(st.lists(st.tuples(terms, st.sampled_from([uuid.UUID(int=k * 7919) for k in range(5)]), st.integers(0, 9))))
def test_layout_matches_brute_force_uuid_ids(rows):
    check_layout(rows)


def test_layout_on_a_larger_random_vocabulary():
    rng = random.Random(20261208)
    words = {"".join(rng.choice("abcdefgh") for _ in range(rng.randint(1, 9))) for _ in range(3000)}
    rows = [(w, rng.randrange(200), rng.randrange(50)) for w in sorted(words) for _ in range(rng.randint(1, 3))]
    rng.shuffle(rows)
    check_layout(rows)


def test_the_small_example_exactly():
    arrays = quillmesh.layout([("cat", 7, 2), ("car", 9, 3), ("cat", 7, 5), ("dog", 9, 1), ("cat", 9, 1)])
    assert arrays == (
        [0, 2, 3, 4, 6, 7, 7, 7],
        ["", "c", "d", "a", "o", "r", "t", "g"],
        [None, None, None, None, None, (3, [1], [3]), (8, [0, 1], [7, 1]), (1, [1], [1])],
        [1, 2, 3, 4, 5, 6, 7],
        [b"\x07\0\0\0", b"\x09\0\0\0"],
    )
    assert arrays.video_index is arrays[4]


def test_no_rows_give_a_bare_root():
    assert quillmesh.layout([]) == ([0], [""], [None], [], [])
    assert quillmesh.build(iter([])).fuzzy_match("a") == []


@pytest.mark.parametrize(
    "same_ids",
    [
        [5, b"\x05\x00\x00\x00", bytearray(b"\x05\x00\x00\x00")],
        [uuid.UUID(int=5), uuid.UUID(int=5).bytes],
    ],
)
def test_equal_ids_in_different_forms_are_one_video(same_ids):
    arrays = quillmesh.layout([("t", video, 1) for video in same_ids])
    assert len(arrays.video_index) == 1
    assert arrays.payloads[-1] == (len(same_ids), [0], [len(same_ids)])


def test_counts_at_the_limit_are_accepted():
    arrays = quillmesh.layout([("a", 1, U32_MAX - 1), ("a", 1, 1), ("b", U32_MAX, 0)])
    assert arrays.payloads[1] == (U32_MAX, [0], [U32_MAX])
    assert arrays.video_index[1] == b"\xff\xff\xff\xff"


U1 = uuid.UUID(int=1)
LAYOUT_ERRORS = [
    # rows, exception, message
    ([("a", 1, 1), ("b", U1, 1)], ValueError, "row 1: video_id is a UUID id but row 0 has an int32 id"),
    ([("a", U1, 1), ("b", b"abcd", 1)], ValueError, "row 1: video_id is an int32 id but row 0 has a UUID id"),
    ([("a", 1, 1), ("", 1, 1)], ValueError, "row 1: term is empty"),
    ([("a\0b", 1, 1)], ValueError, "row 0: term 'a\\x00b' contains U+0000"),
    ([("\ud800", 1, 1)], ValueError, "row 0: term '\\ud800' is not valid Unicode text"),
    ([(b"a", 1, 1)], TypeError, "row 0: term must be str, not bytes"),
    ([("a", 1, -1)], ValueError, "row 0: count -1 out of range 0..4294967295"),
    ([("a", 1, 2**32)], ValueError, "row 0: count 4294967296 out of range"),
    ([("a", 1, 1.0)], TypeError, "row 0: count must be int, not float"),
    ([("a", 1, True)], TypeError, "row 0: count must be int, not bool"),
    ([("a", -1, 1)], ValueError, "row 0: video_id -1 out of range 0..4294967295"),
    ([("a", 2**32, 1)], ValueError, "row 0: video_id 4294967296 out of range"),
    ([("a", b"abc", 1)], ValueError, "row 0: video_id bytes must be 16 (UUID) or 4 (int32) bytes long, not 3"),
    ([("a", b"", 1)], ValueError, "row 0: video_id bytes must be 16 (UUID) or 4 (int32) bytes long, not 0"),
    ([("a", 1.5, 1)], TypeError, "row 0: video_id must be 16-byte bytes, uuid.UUID, 4-byte bytes, int or str, not float"),
    ([("a", False, 1)], TypeError, "row 0: video_id must be 16-byte bytes, uuid.UUID, 4-byte bytes, int or str, not bool"),
    ([("a", 1, 1), 7], TypeError, "row 1: a row must be a (term, video_id, count) tuple, not int"),
    ([("a", 1)], ValueError, "row 0: a row must have 3 items"),
    ([("a", 1, 1, 1)], ValueError, "row 0: a row must have 3 items"),
    ([("a", 1, U32_MAX), ("b", 1, 1), ("a", 1, 1)], ValueError, "row 2: counts of term 'a' for video_id 1 sum to 4294967296"),
    ([("a", 1, U32_MAX), ("a", 2, 1)], ValueError, "counts of term 'a' sum to 4294967296, above 4294967295"),
]


@pytest.mark.parametrize("rows, error, message", LAYOUT_ERRORS)
def test_layout_errors(rows, error, message):
    with pytest.raises(error) as caught:
        quillmesh.layout(rows)
    assert str(caught.value).startswith(message)
    # build reports the same, before the module sees anything.
    with pytest.raises(error):
        quillmesh.build(rows)


def test_row_errors_carry_the_row():
    with pytest.raises(quillmesh.RowError) as caught:
        quillmesh.layout([("a", 1, 1), ("b", 1, 1), ("", 1, 1)])
    assert (caught.value.row, caught.value.reason) == (2, "term is empty")


def test_build_searches_what_it_was_given():
    rows = [("cat", 1, 5), ("cart", 2, 3), ("car", 3, 1), ("dog", 4, 2), ("cat", 2, 1)]
    index = quillmesh.build(rows, video_top_n=10)
    assert sorted(t for t, _, d in index.fuzzy_match("cat", 0)) == ["cat"]
    assert sorted(t for t, _, _ in index.fuzzy_match("cat", 1)) == ["car", "cart", "cat"]
    ranked = index.fuzzy_match_video("cat", max_dist=0)
    # cat: video 1 five times, video 2 once; exact match only.
    assert [v for v, _ in ranked] == ["1", "2"]
    assert ranked[0][1] == pytest.approx(5 / 6)

    counts = read_counts(index.to_bytes())
    arrays = quillmesh.layout(rows)
    assert (counts.nodes, counts.terminals, counts.videos, counts.id_mode) == (
        len(arrays.child_labels), 4, 4, "int32")


def test_build_passes_video_top_n():
    rows = [("a" + "bcdef"[v], v, v + 1) for v in range(5)]
    narrow = quillmesh.build(rows, video_top_n=2)
    wide = quillmesh.build(rows)
    # The prefix node 'a' keeps only the two best of its children's videos.
    assert [v for v, _ in narrow.fuzzy_match_video("a", max_dist=0, include_prefix_nodes=True)] == ["4", "3"]
    assert len(wide.fuzzy_match_video("a", max_dist=0, include_prefix_nodes=True, min_score=0)) == 5


def test_uuid_ids_come_back_as_uuid_text():
    video = uuid.UUID("00010203-0405-0607-0809-0a0b0c0d0e0f")
    index = quillmesh.build([("term", video, 3)])
    assert index.fuzzy_match_video("term") == [(str(video), 1.0)]


# -- the index-file walker used by `quillmesh info` -----------------------------

def test_read_counts_of_hand_made_indexes():
    data = cat_trie_bytes(video_int_ids=[1, 300, 70000, U32_MAX], id_mode=1)
    assert read_counts(data + b"extra") == (9, 8, 4, 4, "int32", len(data))
    data = encode_trie([0], "\u20ac", [], [None], video_uuids=[bytes(16)] * 3)
    assert read_counts(data) == (1, 0, 0, 3, "uuid", len(data))


def test_read_counts_refuses_cut_and_bad_bytes():
    data = cat_trie_bytes(video_uuids=[bytes(range(16))])
    for cut in range(len(data)):
        with pytest.raises(IndexFormatError):
            read_counts(data[:cut])
    with pytest.raises(IndexFormatError, match="marker 255"):
        read_counts(b"\xff")
    with pytest.raises(IndexFormatError, match="byte other than 0 or 1"):
        read_counts(data[:-1] + b"\x02")


def test_read_counts_walks_long_uneven_and_absent_payloads():
    # Thousands of nodes, so that payloads are walked in bulk and by hand:
    # lists longer than the bulk form takes, lists of unequal length (bytes
    # may say anything), absent and empty payloads, big varints.
    long = list(range(300))
    shapes = [(1, long, long), None, (2, [5] * 129, [1] * 129), (U32_MAX, [70000], [1]), (0, [], []),
              (1, [1, 2], [3])]
    payloads = shapes * 1500
    n = len(payloads)
    data = encode_trie([0] * n, "é" * n, [0, 1], payloads, video_int_ids=[7, 8], id_mode=1)
    assert read_counts(data) == (n, 2, 5 * 1500, 2, "int32", len(data))
