"""Pickle, copy and deepcopy of PrefixSearch and Index, and an index sent to
worker processes."""

import copy
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import _quillmesh
import quillmesh
from _quillmesh import PrefixSearch
from trie_bytes import encode_trie

ROWS = [("cat", 1, 5), ("cart", 2, 3), ("car", 3, 1), ("cut", 1, 9), ("dog", 4, 2), ("café", 5, 4)]
TERMS = ["cat", "ca", "dgo", "cafe", "zebra"]


def answers(index):
    return [(index.fuzzy_match(t, 2), index.fuzzy_match_video(t, 2, None, True, 0.0)) for t in TERMS]


COPIES = [
    *[(f"pickle protocol {p}", lambda x, p=p: pickle.loads(pickle.dumps(x, protocol=p)))
      for p in range(pickle.HIGHEST_PROTOCOL + 1)],
    ("copy.copy", copy.copy),
    ("copy.deepcopy", copy.deepcopy),
    ("deepcopy inside a list", lambda x: copy.deepcopy([x, x])[0]),
]


@pytest.mark.parametrize("name, duplicate", COPIES, ids=[c[0] for c in COPIES])
def test_prefix_search_copies_answer_alike(name, duplicate):
    index = quillmesh.build(ROWS, video_top_n=10)
    twin = duplicate(index)
    assert type(twin) is PrefixSearch and twin is not index
    assert twin.to_bytes() == index.to_bytes()
    assert answers(twin) == answers(index)


@pytest.mark.parametrize("name, duplicate", COPIES, ids=[c[0] for c in COPIES])
def test_index_copies_keep_their_counts(name, duplicate):
    index = quillmesh.build_index(ROWS, video_top_n=10)
    twin = duplicate(index)
    assert type(twin) is quillmesh.Index and twin is not index
    assert dict(twin.term_counts) == {"cat": 5, "cart": 3, "car": 1, "cut": 9, "dog": 2, "café": 4}
    assert answers(twin) == answers(index)


def test_deepcopy_keeps_shared_references_shared():
    index = quillmesh.build(ROWS)
    a, b = copy.deepcopy([index, index])
    assert a is b


def test_indexes_that_only_decode_still_round_trip():
    # One node naming a child that does not exist: restorable, not walkable.
    broken = PrefixSearch.from_bytes(encode_trie([0], "\0", [5], [(1, [], [])]))
    assert pickle.loads(pickle.dumps(broken)).to_bytes() == broken.to_bytes()


def test_nothing_is_set_on_the_class_or_the_extension():
    reducers = {"__reduce__", "__reduce_ex__", "__getstate__", "__setstate__", "__copy__", "__deepcopy__"}
    assert not reducers & set(vars(PrefixSearch))
    assert PrefixSearch.__module__ == "builtins"
    assert sorted(n for n in vars(_quillmesh) if not n.startswith("__")) == ["PrefixSearch"]
    # The pickle names a function of the package, found by its own name.
    assert b"quillmesh.pickling" in pickle.dumps(quillmesh.build(ROWS), protocol=0)


def _query(index, term):
    return index.fuzzy_match(term, 2), index.fuzzy_match_video(term, 2, None, True, 0.0)


def _suggest(index, term):
    return quillmesh.suggest(index, term)


@pytest.mark.parametrize("make", [quillmesh.build, quillmesh.build_index])
def test_worker_processes_give_the_same_answers(make):
    index = make(ROWS)
    # A fresh interpreter per worker: the child must find the reducer's
    # function by name, with nothing inherited from this process.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        got = list(pool.map(_query, [index] * len(TERMS), TERMS))
        suggested = list(pool.map(_suggest, [index] * len(TERMS), TERMS))
    assert got == [_query(index, t) for t in TERMS]
    assert suggested == [quillmesh.suggest(index, t) for t in TERMS]
