"""quillmesh._native: the package's private extension, and its tree check."""

import mmap
import sys
from pathlib import Path

import pytest

try:
    import quillmesh
except ImportError:  # running from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
    import quillmesh
from quillmesh import _native

from trie_bytes import CAT_LABELS, CAT_SHIFTS, CAT_TRANSITIONS, cat_trie_bytes, encode_trie

verify_tree = _native.verify_tree


def test_private_extension_belongs_to_the_package():
    assert _native.__name__ == "quillmesh._native"
    assert Path(_native.__file__).parent.name == "quillmesh"


def trie(shifts, labels, transitions, payloads=None, **kwargs):
    if payloads is None:
        payloads = [None] * len(labels)
    return encode_trie(shifts, labels, transitions, payloads, **kwargs)


def chain_bytes(length):
    """Root, then one node below the other: a single path of `length` edges."""
    return trie(list(range(length + 1)), "\0" + "a" * length, list(range(1, length + 1)))


def test_trees_pass():
    cat = cat_trie_bytes()
    built = quillmesh.build([("cat", 1, 2), ("car", 1, 1), ("cart", 2, 5), ("dog", 3, 1), ("é", 3, 1)]).to_bytes()
    for data in [
        cat,
        built,
        trie([0], "\0", []),  # the root alone
        chain_bytes(100_000),  # deeper than any recursion could go
        cat + b"trailing bytes are ignored",
    ]:
        assert verify_tree(data) is None


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: memoryview(b"xx" + b)[2:]])
def test_any_bytes_like(wrap):
    assert verify_tree(wrap(cat_trie_bytes())) is None


def test_mmap(tmp_path):
    path = tmp_path / "index"
    path.write_bytes(cat_trie_bytes())
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert verify_tree(m) is None


@pytest.mark.parametrize("data, error", [
    ("text", TypeError),
    (None, TypeError),
    (memoryview(bytes(32))[::2], BufferError),
])
def test_not_contiguous_bytes(data, error):
    with pytest.raises(error):
        verify_tree(data)


@pytest.mark.parametrize("data", [b"", b"\xff", cat_trie_bytes()[:-1]])
def test_undecodable(data):
    with pytest.raises(ValueError, match=r"^decode error: "):
        verify_tree(data)


def cat_with(**changes):
    fields = dict(shifts=CAT_SHIFTS, labels=CAT_LABELS, transitions=CAT_TRANSITIONS)
    fields.update(changes)
    return trie(fields["shifts"], fields["labels"], fields["transitions"], fields.get("payloads"),
                **({"is_terminal": fields["is_terminal"]} if "is_terminal" in fields else {}))


FAULTS = [
    # Consistency: the per-node sequences, then edges, then payload lists.
    ("no nodes", trie([], "", []), "node 0: the index has no nodes (no root)"),
    ("short node_shifts", trie([0], "\0a", [1]), "node 1: no entry in node_shifts (1 entries for 2 nodes)"),
    ("short payloads", trie([0, 1], "\0a", [1], [None]), "node 1: no entry in payloads (1 entries for 2 nodes)"),
    ("short is_terminal", trie([0, 1], "\0a", [1], is_terminal=[False]),
     "node 1: no entry in is_terminal (1 entries for 2 nodes)"),
    ("long node_shifts", trie([0, 1, 1], "\0a", [1]),
     "node 2: beyond the last node, yet with an entry in node_shifts (3 entries for 2 nodes)"),
    ("long is_terminal", trie([0, 1], "\0a", [1], is_terminal=[False, True, False]),
     "node 2: beyond the last node, yet with an entry in is_terminal (3 entries for 2 nodes)"),
    ("range past the edges", trie([0, 3], "\0a", [1]), "node 0: edge range 0..3 reaches past the 1 edges"),
    ("edge beyond the nodes", trie([0, 2, 2], "\0ab", [1, 7]), "node 0: edge 1 names node 7, beyond the last node 2"),
    ("payload lists differ", trie([0, 1], "\0a", [1], [None, (3, [0, 1], [3])]),
     "node 1: payload has 2 video_ids but 1 video_counts"),
    # Shape, met by the walk.
    ("self loop", trie([0, 1], "\0a", [1, 1]), "node 1: lists itself as a child"),
    ("root as a child", trie([0, 1], "\0a", [1, 0]), "node 0: the root, listed as a child of node 1"),
    ("listed twice", trie([0, 2], "\0a", [1, 1]), "node 0: lists node 1 as a child twice"),
    ("cycle", trie([0, 1, 2], "\0ab", [1, 2, 1]),
     "node 1: on a cycle: listed as a child of node 2, which lies below it"),
    ("shared subtree", trie([0, 2, 3, 4], "\0abc", [1, 2, 3, 3]),
     "node 3: reached twice: as a child of node 1 and of node 2"),
    # Reach.
    ("unreached node", trie([0, 1, 1], "\0ab", [1]), "node 2: not reached from the root"),
    ("unreached cycle", trie([0, 1, 2], "\0ab", [2, 1]), "node 1: not reached from the root"),
    # First means: consistency in node order before shape, shape in walk order.
    ("consistency before shape", trie([0, 1], "\0a", [1, 1], [None, (0, [1], [])]),
     "node 1: payload has 1 video_ids but 0 video_counts"),
    ("node order", trie([0, 2, 2], "\0ab", [1, 9], [None, None, (0, [1], [])]),
     "node 0: edge 1 names node 9, beyond the last node 2"),
    # The root lists node 3 before node 1, and both list themselves.
    ("walk order", trie([0, 2, 3, 3], "\0abc", [3, 1, 1, 3]), "node 3: lists itself as a child"),
]


@pytest.mark.parametrize("data, message", [f[1:] for f in FAULTS], ids=[f[0] for f in FAULTS])
def test_first_fault(data, message):
    with pytest.raises(ValueError) as caught:
        verify_tree(data)
    assert str(caught.value) == message
    assert type(caught.value) is ValueError


def test_restored_faulty_index_still_loads():
    # The check is the package's own: the extension keeps restoring such bytes.
    data = trie([0, 1], "\0a", [1, 1])
    quillmesh.PrefixSearch.from_bytes(data)
    with pytest.raises(ValueError):
        verify_tree(data)
