"""Hostile input at the Python surface: one table of cases, each with the
outcome it must have (the exact answer, or the exact exception type and
message). Nothing here may crash the process, overflow the C stack or hang.

Indexes are crafted with trie_bytes and restored with from_bytes, so they can
hold what the builder would refuse: cycles, shared children, payloads whose
lists disagree, identifier tables that do not match id_mode.
"""

import functools
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from _quillmesh import PrefixSearch as P
from trie_bytes import cat_trie_bytes, encode_trie

U32_MAX = 2**32 - 1


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def surrogate(char, position):
    return f"'utf-8' codec can't encode character '\\u{ord(char):04x}' in position {position}: surrogates not allowed"


# ---------------------------------------------------------------- indexes

CAT_PAYLOADS = [(10, [0, 1], [6, 4]), (10, [0, 1], [6, 4]), (10, [0, 1], [6, 4]), (10, [0, 1], [6, 4]),
                (20, [2], [20]), (3, [1], [3]), (0, [], []), (5, [3, 4], [5, 0]), (5, [3, 4], [5, 0])]
UUIDS = [bytes(range(i, i + 16)) for i in range(5)]
INT_IDS = [7, U32_MAX, 42, 5, 6]


@functools.cache
def cat():
    return P.from_bytes(cat_trie_bytes(CAT_PAYLOADS, video_int_ids=INT_IDS, id_mode=1))


@functools.cache
def cat_ids(id_mode, uuids, ints):
    """The cat index with the given identifier tables and id_mode, in any combination."""
    return P.from_bytes(cat_trie_bytes(CAT_PAYLOADS, video_uuids=UUIDS if uuids else [],
                                       video_int_ids=INT_IDS if ints else [], id_mode=id_mode))


@functools.cache
def chain(length, label, terminal_depths, last_payload=None):
    """Root plus `length` nodes labelled `label`, each the only child of the one
    before; terminal at the given depths; a payload on the last node."""
    terminal = [False] * (length + 1)
    for d in terminal_depths:
        terminal[d] = True
    payloads = [None] * length + [last_payload]
    return P.from_bytes(encode_trie(range(length + 1), ["\0"] + [label] * length, range(1, length + 1), payloads,
                                    video_int_ids=[5], id_mode=1, is_terminal=terminal))


def deep_chain():
    return chain(100_000, "a", (65535, 100_000), (1, (0,), (1,)))


def million_chain():
    return chain(1_000_000, "\u00e9", (1_000_000,))


@functools.cache
def self_loop():
    # Node 1 ('a') is the root's child and its own child.
    return P.from_bytes(encode_trie([0, 1], "\0a", [1, 1], [None, (1, [0], [1])], video_int_ids=[3], id_mode=1))


@functools.cache
def two_cycle():
    # 1 ('a') -> 2 ('b') -> 1.
    return P.from_bytes(encode_trie([0, 1, 2], "\0ab", [1, 2, 1], [None, (1, [], []), (1, [], [])]))


@functools.cache
def back_to_root():
    # 1 ('a') names the root as its child; the root has no label and is never entered.
    return P.from_bytes(encode_trie([0, 1], "\0a", [1, 0], [None, (1, [], [])]))


@functools.cache
def shared_child():
    # 1 ('a') and 2 ('b') both lead to 3 ('c'), the only terminal node.
    return P.from_bytes(encode_trie([0, 2, 3, 4], "\0abc", [1, 2, 3, 3], [None, None, None, (4, [0], [4])],
                                    video_int_ids=[9], id_mode=1))


@functools.cache
def one_term(payload):
    """Root and one terminal child 'a' carrying `payload`; identifier 11."""
    return P.from_bytes(encode_trie([0, 1], "\0a", [1], [None, payload], video_int_ids=[11], id_mode=1))


class ClearsWhenRead:
    """An integer whose conversion empties the list it sits in."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def __index__(self):
        self.target.clear()
        return self.value


def self_clearing(items_before, value, items_after):
    out = list(items_before)
    out += [ClearsWhenRead(out, value), *items_after]
    return out


def nested_clearing():
    """A video_index whose first entry's first item empties the video_index."""
    outer = []
    outer += [[ClearsWhenRead(outer, 0x61), 0x62, 0x63, 0x64], b"efgh"]
    return outer


class ChangesWhenRead:
    """An integer whose conversion calls `change` first."""

    def __init__(self, change, value):
        self.change, self.value = change, value

    def __index__(self):
        self.change()
        return self.value


def chain_build(lists, first_ids=None):
    """A chain of 40 terminal nodes below the root, node i + 1 carrying
    (1, *lists[i]); the first node's ids are `first_ids` when given."""
    n = len(lists) + 1
    payloads = [None] + [(1, ids, counts) for ids, counts in lists]
    if first_ids is not None:
        payloads[1] = (1, first_ids, lists[0][1])
    return P.from_internal_data_v2(list(range(n)), [""] + ["a"] * (n - 1), payloads, list(range(1, n)),
                                   [bytes([i]) * 4 for i in range(200)], 3).to_bytes()


def later_lists_changed(change):
    """chain_build whose first node's one id, as it is read, applies
    `change` to the lists of every later node (the builder reads ahead of
    the payload it converts)."""
    lists = [([i % 200], [1]) for i in range(40)]

    def apply():
        for ids, counts in lists[1:]:
            change(ids, counts)

    return chain_build(lists, first_ids=[ChangesWhenRead(apply, 0)])


def emptied(ids, counts):
    ids.clear()
    counts.clear()


def grown(ids, counts):
    ids.extend(range(100, 164))
    counts.extend([2] * 64)


def small_build(node_shifts=(0, 1), ids=(0,), video_index=(b"abcd",)):
    return P.from_internal_data_v2(list(node_shifts) if isinstance(node_shifts, tuple) else node_shifts,
                                   ["", "a"], [None, (1, ids, [1])], [1], video_index, 2).to_bytes()


# ---------------------------------------------------------------- expected outcomes

class Raises:
    def __init__(self, exc_type, message):
        self.exc_type, self.message = exc_type, message


class SameAs:
    """The answer of another call, for cases that must behave exactly like it."""

    def __init__(self, call):
        self.call = call


PANIC = "pyo3_runtime.PanicException"
ALL_CAT = [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1), ("dog", 1, 3)]
SATURATED = 4_294_967_296

CASES = [
    # Terms of a million code points: no wrap of 16-bit cells, no allocation by
    # length times bound, no quadratic work.
    ("1M term, max_dist 1", lambda: cat().fuzzy_match("a" * 1_000_000), []),
    ("1M term, max_dist 65535", lambda: cat().fuzzy_match("a" * 1_000_000, 65535), []),
    ("1M astral term, video, max_dist 2**32-1",
     lambda: cat().fuzzy_match_video("\U0001F600" * 1_000_000, U32_MAX, include_prefix_nodes=True), []),
    ("1M term on a 1M chain", lambda: million_chain().fuzzy_match("\u00e9" * 1_000_000, 0),
     [("\u00e9" * 1_000_000, 1, 0)]),
    ("1M term on a 1M chain, one edit", lambda: million_chain().fuzzy_match("\u00e9" * 999_999 + "e", 1),
     [("\u00e9" * 1_000_000, 1, 1)]),
    # Lone surrogates: the str cannot be encoded; the error passes unchanged.
    ("surrogate term", lambda: cat().fuzzy_match("\ud800"), Raises(UnicodeEncodeError, surrogate("\ud800", 0))),
    ("surrogate inside term", lambda: cat().fuzzy_match("ab\udc80"),
     Raises(UnicodeEncodeError, surrogate("\udc80", 2))),
    ("surrogate term, video", lambda: cat().fuzzy_match_video("\udfff"),
     Raises(UnicodeEncodeError, surrogate("\udfff", 0))),
    # max_dist at and beyond the 16-bit range: above 65535 behaves as 65535.
    ("max_dist 0", lambda: cat().fuzzy_match("cat", 0), [("cat", 1, 0)]),
    ("max_dist 65535", lambda: cat().fuzzy_match("cat", 65535), ALL_CAT),
    ("max_dist 65536", lambda: cat().fuzzy_match("cat", 65536), ALL_CAT),
    ("max_dist 2**32-1", lambda: cat().fuzzy_match("cat", U32_MAX), ALL_CAT),
    ("max_dist 2**32-1, video", lambda: cat().fuzzy_match_video("cat", U32_MAX, include_prefix_nodes=True),
     SameAs(lambda: cat().fuzzy_match_video("cat", 65535, include_prefix_nodes=True))),
    ("max_dist 2**32", lambda: cat().fuzzy_match("cat", 2**32),
     Raises(OverflowError, "out of range integral type conversion attempted")),
    ("max_dist -1", lambda: cat().fuzzy_match("cat", -1), Raises(OverflowError, "can't convert negative int to unsigned")),
    ("limit 2**32-1", lambda: cat().fuzzy_match("cat", 65535, U32_MAX), ALL_CAT),
    ("limit 2**32", lambda: cat().fuzzy_match("cat", 1, 2**32),
     Raises(OverflowError, "out of range integral type conversion attempted")),
    ("video limit 2**32-1", lambda: cat().fuzzy_match_video("cat", 65535, U32_MAX, True),
     SameAs(lambda: cat().fuzzy_match_video("cat", 65535, None, True))),
    # A 100,000-node chain: the walk keeps its own stack, and the bound is
    # clamped, not wrapped (the node at depth 65535 is the deepest in reach).
    ("deep chain, empty term, max_dist 2**32-1", lambda: deep_chain().fuzzy_match("", U32_MAX),
     [("a" * 65535, 1, 65535)]),
    ("deep chain, empty term, max_dist 65534", lambda: deep_chain().fuzzy_match("", 65534), []),
    ("deep chain, exact", lambda: deep_chain().fuzzy_match("a" * 100_000, 0), [("a" * 100_000, 1, 0)]),
    ("deep chain, limit 1", lambda: deep_chain().fuzzy_match("a" * 100, 65535, 1), [("a" * 65535, 1, 65535 - 100)]),
    ("deep chain, video", lambda: deep_chain().fuzzy_match_video("a" * 100_000, 1, include_prefix_nodes=True),
     [("5", 1.0)]),
    ("deep chain, video, empty term", lambda: deep_chain().fuzzy_match_video("", U32_MAX), []),
    # Cycles and shared children: every path is walked, each to depth n + bound.
    ("self loop", lambda: self_loop().fuzzy_match("aaa", 1), [("aa", 1, 1), ("aaa", 1, 0), ("aaaa", 1, 1)]),
    ("self loop, exact", lambda: self_loop().fuzzy_match("aaa", 0), [("aaa", 1, 0)]),
    ("self loop, bound 2**32-1, limit", lambda: self_loop().fuzzy_match("", U32_MAX, 3),
     [("a", 1, 1), ("aa", 1, 2), ("aaa", 1, 3)]),
    ("self loop, video, bound 2**32-1",
     lambda: self_loop().fuzzy_match_video("a", U32_MAX, include_prefix_nodes=True), [("3", 1.0)]),
    ("two-node cycle", lambda: two_cycle().fuzzy_match("abab", 1),
     [("aba", 1, 1), ("abab", 1, 0), ("ababa", 1, 1)]),
    ("cycle through the root", lambda: back_to_root().fuzzy_match("a", 3), [("a", 1, 0)]),
    ("shared child", lambda: shared_child().fuzzy_match("ac", 1), [("ac", 1, 0), ("bc", 1, 1)]),
    ("shared child, video", lambda: shared_child().fuzzy_match_video("ac", 1), [("9", 1.0)]),
    # No root, or a root without its node_shifts entry.
    ("zero nodes", lambda: P.from_bytes(encode_trie([], "", [], [])).fuzzy_match("a", U32_MAX), []),
    ("zero nodes, video", lambda: P.from_bytes(encode_trie([], "", [], [])).fuzzy_match_video("a", 3), []),
    ("root without node_shifts", lambda: P.from_bytes(encode_trie([], "\0a", [1], [None, None])).fuzzy_match("a"),
     Raises(PANIC, oob(0, 0))),
    # A NUL in the term never meets an unlabelled child: those are not entered.
    ("NUL term, unlabelled child",
     lambda: P.from_bytes(encode_trie([0, 1], "\0\0", [1], [None, (1, [], [])])).fuzzy_match("\0", 0), []),
    # Payload lists that disagree.
    ("video_counts shorter", lambda: one_term((4, (0, 1), (2,))).fuzzy_match_video("a"),
     Raises(PANIC, oob(1, 1))),
    ("video_counts empty", lambda: one_term((4, (0,), ())).fuzzy_match_video("a"), Raises(PANIC, oob(0, 0))),
    # limit=0 counts videos after scoring: the walk and its checks still run.
    # The early empty answer is fuzzy_match's alone.
    ("video_counts shorter, limit 0", lambda: one_term((4, (0, 1), (2,))).fuzzy_match_video("a", limit=0),
     Raises(PANIC, oob(1, 1))),
    ("root without node_shifts, video limit 0",
     lambda: P.from_bytes(encode_trie([], "\0a", [1], [None, None])).fuzzy_match_video("a", limit=0),
     Raises(PANIC, oob(0, 0))),
    ("root without node_shifts, match limit 0",
     lambda: P.from_bytes(encode_trie([], "\0a", [1], [None, None])).fuzzy_match("a", limit=0), []),
    ("zero nodes, video limit 0",
     lambda: P.from_bytes(encode_trie([], "", [], [])).fuzzy_match_video("a", limit=0), []),
    ("video_counts longer", lambda: one_term((4, (0,), (2, 9))).fuzzy_match_video("a"), [("11", 0.5)]),
    # Declared lengths without the data behind them.
    ("node_shifts length 2**32-1", lambda: P.from_bytes(b"\xfc\xff\xff\xff\xff"),
     Raises(ValueError, "decode error: UnexpectedEnd { additional: 1 }")),
    ("node_shifts length 2**32", lambda: P.from_bytes(b"\xfd" + (2**32).to_bytes(8, "little")),
     Raises(ValueError, "decode error: OutsideUsizeRange(4294967296)")),
    ("node_shifts length 2**64-1", lambda: P.from_bytes(b"\xfd" + b"\xff" * 8),
     Raises(ValueError, "decode error: OutsideUsizeRange(18446744073709551615)")),
    ("child_labels length 2**32-1", lambda: P.from_bytes(b"\x00\xfc\xff\xff\xff\xff"),
     Raises(ValueError, "decode error: UnexpectedEnd { additional: 1 }")),
    ("child_labels length 2**32", lambda: P.from_bytes(b"\x00\xfd" + (2**32).to_bytes(8, "little")),
     Raises(ValueError, "decode error: OutsideUsizeRange(4294967296)")),
    ("payloads length 2**32-1", lambda: P.from_bytes(b"\x00\x00\x00\xfc\xff\xff\xff\xff"),
     Raises(ValueError, "decode error: UnexpectedEnd { additional: 1 }")),
    ("video_ids length 2**32-1", lambda: P.from_bytes(b"\x00\x00\x00\x01\x01\x00\xfc\xff\xff\xff\xff"),
     Raises(ValueError, "decode error: UnexpectedEnd { additional: 1 }")),
    ("video_uuids length 2**32-1", lambda: P.from_bytes(b"\x00\x00\x00\x00\xfc\xff\xff\xff\xff"),
     Raises(ValueError, "decode error: UnexpectedEnd { additional: 16 }")),
    ("video_uuids length 2**32", lambda: P.from_bytes(b"\x00\x00\x00\x00\xfd" + (2**32).to_bytes(8, "little")),
     Raises(ValueError, "decode error: OutsideUsizeRange(4294967296)")),
    ("is_terminal length 2**32-1", lambda: P.from_bytes(b"\x00" * 7 + b"\xfc\xff\xff\xff\xff"),
     Raises(ValueError, "decode error: UnexpectedEnd { additional: 1 }")),
    # Identifier tables that disagree with id_mode: rows without an entry in
    # the selected table are dropped.
    ("Uuid mode, only int ids", lambda: cat_ids(0, False, True).fuzzy_match_video("cat"), []),
    ("Int32 mode, only uuids", lambda: cat_ids(1, True, False).fuzzy_match_video("cat"), []),
    ("Int32 mode, both tables", lambda: [t for t, _ in cat_ids(1, True, True).fuzzy_match_video("cat")],
     ["7", "4294967295", "42"]),
    ("Uuid mode, both tables", lambda: [t for t, _ in cat_ids(0, True, True).fuzzy_match_video("cat")],
     ["00010203-0405-0607-0809-0a0b0c0d0e0f", "01020304-0506-0708-090a-0b0c0d0e0f10",
      "02030405-0607-0809-0a0b-0c0d0e0f1011"]),
    ("id_mode 2", lambda: P.from_bytes(b"\x00" * 6 + b"\x02\x00"),
     Raises(ValueError, 'decode error: UnexpectedVariant { type_name: "IdMode", allowed: Range { min: 0, max: 1 }, '
                        'found: 2 }')),
    # min_score NaN and infinities: nothing passes NaN or +inf; -inf keeps
    # every video, the zero-count one ('6', video 4) included.
    ("min_score NaN", lambda: cat().fuzzy_match_video("dog", min_score=math.nan), []),
    ("min_score numpy NaN", lambda: cat().fuzzy_match_video("dog", min_score=np.float64("nan")), []),
    ("min_score +inf", lambda: cat().fuzzy_match_video("dog", min_score=math.inf), []),
    ("min_score -inf", lambda: cat().fuzzy_match_video("dog", min_score=-math.inf), [("5", 1.0), ("6", 0.0)]),
    # NumPy scalars wherever integers and booleans are accepted.
    ("numpy max_dist", lambda: cat().fuzzy_match("cat", np.int64(0)), [("cat", 1, 0)]),
    ("numpy max_dist 65536", lambda: cat().fuzzy_match("cat", np.uint32(65536)), ALL_CAT),
    ("numpy limit", lambda: cat().fuzzy_match("cat", np.uint8(1), np.int16(2)), [("cat", 1, 0), ("car", 1, 1)]),
    ("numpy max_dist negative", lambda: cat().fuzzy_match("cat", np.int8(-1)),
     Raises(OverflowError, "can't convert negative int to unsigned")),
    ("numpy max_dist 2**32", lambda: cat().fuzzy_match("cat", np.uint64(2**32)),
     Raises(OverflowError, "out of range integral type conversion attempted")),
    ("numpy video arguments", lambda: cat().fuzzy_match_video("ca", np.uint16(1), np.int32(2), np.bool_(True),
                                                             np.float32(0.25)),
     SameAs(lambda: cat().fuzzy_match_video("ca", 1, 2, True, float(np.float32(0.25))))),
    ("numpy False", lambda: cat().fuzzy_match_video("ca", include_prefix_nodes=np.False_),
     SameAs(lambda: cat().fuzzy_match_video("ca", include_prefix_nodes=False))),
    ("numpy integer for a boolean", lambda: cat().fuzzy_match_video("ca", include_prefix_nodes=np.int64(1)),
     Raises(TypeError, "argument 'include_prefix_nodes': 'int64' object cannot be converted to 'PyBool'")),
    ("numpy arrays and scalars to the builder",
     lambda: P.from_internal_data_v2(np.array([0, 1], dtype=np.uint32), ["", "a"],
                                     [None, (np.uint32(3), np.array([0, 1]), np.array([np.int64(2), 7]))],
                                     np.array([1], dtype=np.int64), [b"abcd", b"efgh"], np.uint64(1)).to_bytes(),
     SameAs(lambda: P.from_internal_data_v2([0, 1], ["", "a"], [None, (3, [0, 1], [2, 7])], [1],
                                            [b"abcd", b"efgh"], 1).to_bytes())),
    # Lists emptied while they are being read (by an item's __index__): the
    # items read so far count, as when iterating the list in Python.
    ("node_shifts emptied while read", lambda: small_build(node_shifts=self_clearing([0], 1, [99, 98])),
     SameAs(lambda: small_build())),
    ("video_ids emptied while read", lambda: small_build(ids=self_clearing([], 0, [5, 6])),
     SameAs(lambda: small_build())),
    ("video_index emptied while read",
     lambda: small_build(video_index=nested_clearing()),
     SameAs(lambda: small_build())),
    # Lists of later payloads changed while an earlier one is converted:
    # each payload is read as it then is.
    ("later payload lists emptied while one is read", lambda: later_lists_changed(emptied),
     SameAs(lambda: chain_build([([0], [1])] + [([], [])] * 39))),
    ("later payload lists grown while one is read", lambda: later_lists_changed(grown),
     SameAs(lambda: chain_build([([0], [1])] + [([i % 200, *range(100, 164)], [1] + [2] * 64)
                                                 for i in range(1, 40)]))),
    ("numpy top_n 2**32", lambda: P.from_internal_data_v2([], [], [], [], [], np.uint64(2**32)),
     Raises(OverflowError, "out of range integral type conversion attempted")),
]


def outcome(call):
    try:
        return call()
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        return e


@pytest.mark.parametrize("call, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_hostile(call, expected):
    got = outcome(call)
    if isinstance(expected, Raises):
        assert isinstance(got, BaseException), f"answered {got!r:.200}"
        name = f"{type(got).__module__}.{type(got).__qualname__}"
        if isinstance(expected.exc_type, str):
            assert name == expected.exc_type
        else:
            assert type(got) is expected.exc_type, name
        assert str(got) == expected.message
        return
    assert not isinstance(got, BaseException), f"raised {type(got).__name__}: {got}"
    if isinstance(expected, SameAs):
        expected = expected.call()
    assert got == expected


# The rows of the distance table along the current path take depth times
# min(n + 1, 2 * bound + 1) cells, so a long term with a large bound on a deep
# index must not need memory in proportion to their product: 20,000 levels and
# a 20,000-code-point term with max_dist 65535 need 1.6 GB of rows if every
# level keeps a full band. The query must be answered (or refused with a
# ValueError) within 1 GiB of address space. Two shapes, both trees a builder
# accepts: a plain chain, and a comb (every spine node also has a leaf 'b',
# listed after the next spine node, so no level is left through its last
# edge). Run in a child process with that limit, so a failure is a
# MemoryError there and nothing else.
MEMORY_PROBE = textwrap.dedent("""
    import resource, sys
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    from _quillmesh import PrefixSearch as P
    from trie_bytes import encode_trie
    n, comb = 20_000, sys.argv[1] == "comb"
    shifts, transitions = [], []
    for v in range(2 * n + 1 if comb else n + 1):
        shifts.append(len(transitions))
        if v < n:
            transitions += [v + 1, n + v + 1] if comb and v > 0 else [v + 1]
    labels = ["\\0"] + ["a"] * n + (["b"] * n if comb else [])
    terminal = [v == n for v in range(len(labels))]
    p = P.from_bytes(encode_trie(shifts, labels, transitions, [None] * len(labels), is_terminal=terminal))
    try:
        got = p.fuzzy_match("a" * n, 65535)
        print("answer" if got == [("a" * n, 1, 0)] else "wrong answer")
    except ValueError:
        print("refused")
    except MemoryError:
        print("MemoryError")
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit")
@pytest.mark.parametrize("shape", ["chain", "comb"])
def test_long_term_large_bound_deep_index_fits_in_bounded_memory(shape):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", MEMORY_PROBE, shape], env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.stdout.strip() in ("answer", "refused"), proc.stdout + proc.stderr


def test_an_index_still_answers_after_a_panic():
    bad = one_term((4, (0, 1), (2,)))
    for _ in range(3):
        with pytest.raises(BaseException, match="index out of bounds"):
            bad.fuzzy_match_video("a")
        assert bad.fuzzy_match("a") == [("a", 1, 0)]


# ---------------------------------------------------------------- work an index can force

@functools.cache
def diamond(levels):
    """Each level has two nodes labelled 'a', and both nodes of a level lead to
    both nodes of the next: 'a' * levels is spelled by 2**levels paths."""
    shifts, transitions = [], []
    for v in range(1 + 2 * levels):
        shifts.append(len(transitions))
        level = (v + 1) // 2  # the root is level 0
        if level < levels:
            transitions += [2 * level + 1, 2 * level + 2]
    payloads = [None] + [(1, [0], [1])] * (2 * levels)
    return P.from_bytes(encode_trie(shifts, "\0" + "a" * (2 * levels), transitions, payloads,
                                    video_int_ids=[1], id_mode=1))


@pytest.mark.parametrize("levels", range(1, 13))
def test_shared_children_double_the_matches_per_level(levels):
    # The index is 2 * levels + 1 nodes; the walk follows every path.
    assert diamond(levels).fuzzy_match("a" * levels, 0) == [("a" * levels, 1, 0)] * 2**levels


def test_limit_bounds_the_walk_when_matches_are_found():
    # 2**64 paths spell the term; the limit ends the walk after 1,000 of them.
    assert diamond(64).fuzzy_match("a" * 64, 0, 1000) == [("a" * 64, 1, 0)] * 1000
    assert diamond(64).fuzzy_match("a" * 64, 1, 3) == [("a" * 63, 1, 1), ("a" * 64, 1, 0), ("a" * 64, 1, 0)]


def test_ranking_counts_every_path():
    # fuzzy_match_video gives the matcher no limit: each of the 2**levels paths
    # to the last level is a node match. All matches weigh 1.0 and carry the
    # same payload, so the score stays 1.0 however many there are.
    assert diamond(12).fuzzy_match_video("a" * 12, 0) == [("1", 1.0)]
