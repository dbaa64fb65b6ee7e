"""Reference and memory leaks: every method, on its success path and on each
of its error paths, called many times in a row.

After the loop the reference counts of the argument objects (and of the
objects inside list and tuple arguments), of the instance and of the result
and exception types must be what they were before; the interpreter must hold
no more memory blocks and no more garbage-collected objects than before; and
the resident memory of the process must not have grown beyond a small fixed
bound (not checked under AddressSanitizer, whose quarantine keeps freed
memory resident on purpose).
"""

import gc
import os
import resource
import sys

import numpy as np
import pytest

from _quillmesh import PrefixSearch as P
from trie_bytes import CAT_SHIFTS, CAT_TRANSITIONS, cat_trie_bytes, encode_trie

pytestmark = pytest.mark.slow

# At least 10,000 calls per case; raise it with QM_LEAK_ITERATIONS.
ITERATIONS = max(10_000, int(os.environ.get("QM_LEAK_ITERATIONS", "10000")))
WARMUP = 200
RSS_BOUND = int(os.environ.get("QM_LEAK_RSS_BOUND_KB", "1024")) * 1024
BLOCKS_BOUND = 64
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def fresh(text):
    """A str object of its own (not interned, not shared with the test's code)."""
    return "".join(list(text))


CAT_PAYLOADS = [(10, [0, 1], [6, 4]), (10, [0, 1], [6, 4]), (10, [0, 1], [6, 4]), (10, [0, 1], [6, 4]),
                (20, [2], [20]), (3, [1], [3]), (0, [], []), (5, [3], [5]), (5, [3], [5])]
INDEX = P.from_bytes(cat_trie_bytes(CAT_PAYLOADS, video_int_ids=[7, 0xFFFFFFFF, 42, 5], id_mode=1))
UUID_INDEX = P.from_bytes(cat_trie_bytes(CAT_PAYLOADS, video_uuids=[bytes(range(i, i + 16)) for i in range(4)]))
# A child beyond child_labels: every walk that reaches it panics.
BAD_CHILD = P.from_bytes(encode_trie([0, 1], "\0a", [1, 5], [None, (1, [0], [1])]))
# video_counts shorter than video_ids: ranking panics.
SHORT_COUNTS = P.from_bytes(encode_trie([0, 1], "\0a", [1], [None, (1, [0, 1], [1])],
                                        video_int_ids=[1, 2], id_mode=1))
ZERO_NODES = P.from_bytes(encode_trie([], "", [], []))
INDEX_BYTES = INDEX.to_bytes()

try:
    BAD_CHILD.fuzzy_match("a")
except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
    PANIC = type(e)


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


class NoIndex:
    pass


def cat_arrays():
    """The six builder arguments for the cat trie, all fresh objects."""
    labels = [fresh(c) for c in "\0catrtdog"]
    labels[0] = fresh("")
    payloads = [None, None, None, (3, [0, 1], [5, 1]), (4, [1, 2], [9, 2]), (2, [2, 2, 0], [1, 7, 3]),
                None, None, (5, [3], [5])]
    ids = [bytes([i, 0, 0, 0]) for i in range(4)]
    return [list(CAT_SHIFTS), labels, payloads, list(CAT_TRANSITIONS), ids, 70000]


def build_with(**changes):
    args = dict(zip(["node_shifts", "child_labels", "payloads", "child_transitions", "video_index",
                     "video_top_n"], cat_arrays()))
    args.update(changes)
    return args


def payload_at(node, item):
    args = build_with()
    args["payloads"][node] = item
    return args


# (id, callable, positional args, keyword args, exception type or None)
CASES = [
    # from_internal_data_v2
    ("build ok", P.from_internal_data_v2, cat_arrays(), {}, None),
    ("build ok by keyword", P.from_internal_data_v2, [], build_with(), None),
    ("build ok numpy", P.from_internal_data_v2, [], build_with(node_shifts=np.array(CAT_SHIFTS, dtype=np.uint32),
                                                               video_top_n=np.uint64(3)), None),
    ("build missing args", P.from_internal_data_v2, cat_arrays()[:3], {}, TypeError),
    ("build too many args", P.from_internal_data_v2, cat_arrays() + [1], {}, TypeError),
    ("build unknown keyword", P.from_internal_data_v2, cat_arrays(), {"extra": 1}, TypeError),
    ("build repeated argument", P.from_internal_data_v2, cat_arrays(), {"payloads": []}, TypeError),
    ("build shifts str", P.from_internal_data_v2, [], build_with(node_shifts=fresh("abc")), TypeError),
    ("build shifts set", P.from_internal_data_v2, [], build_with(node_shifts={1, 2}), TypeError),
    ("build shifts negative", P.from_internal_data_v2, [], build_with(node_shifts=[0, -1]), OverflowError),
    ("build shifts 2**32", P.from_internal_data_v2, [], build_with(node_shifts=[0, 2**32]), OverflowError),
    ("build shifts no index", P.from_internal_data_v2, [], build_with(node_shifts=[0, NoIndex()]), TypeError),
    ("build payloads not sequence", P.from_internal_data_v2, [], build_with(payloads=70000), TypeError),
    ("build transitions negative", P.from_internal_data_v2, [], build_with(child_transitions=[1, -70000]),
     OverflowError),
    ("build label not str", P.from_internal_data_v2, [], build_with(child_labels=[fresh("a"), b"b"]), TypeError),
    ("build top_n None", P.from_internal_data_v2, [], build_with(video_top_n=None), TypeError),
    ("build top_n negative", P.from_internal_data_v2, [], build_with(video_top_n=-1), OverflowError),
    ("build shifts length", P.from_internal_data_v2, [], build_with(node_shifts=[0, 1]), ValueError),
    ("build payloads length", P.from_internal_data_v2, [], build_with(payloads=[None]), ValueError),
    ("build edge out of range", P.from_internal_data_v2, [], build_with(child_transitions=[1, 2, 90000]),
     ValueError),
    ("build payload list", P.from_internal_data_v2, [], payload_at(3, [1, [0], [5]]), TypeError),
    ("build payload short tuple", P.from_internal_data_v2, [], payload_at(3, (1, [0])), ValueError),
    ("build payload ids str", P.from_internal_data_v2, [], payload_at(3, (1, fresh("ab"), [5])), TypeError),
    ("build payload ids not sequence", P.from_internal_data_v2, [], payload_at(3, (1, 7, [5])), TypeError),
    ("build payload count overflow", P.from_internal_data_v2, [], payload_at(3, (1, [0], [2**40])), OverflowError),
    ("build payload total str", P.from_internal_data_v2, [], payload_at(3, (fresh("1"), [0], [5])), TypeError),
    ("build payload mismatch", P.from_internal_data_v2, [], payload_at(3, (1, [0, 1], [5])), ValueError),
    ("build video_index widths", P.from_internal_data_v2, [], build_with(video_index=[bytes(16), bytes(4)]),
     ValueError),
    ("build video_index entry int", P.from_internal_data_v2, [], build_with(video_index=[5]), TypeError),
    ("build propagation panic", P.from_internal_data_v2,
     [[0, 5], [fresh(""), fresh("a")], [None, (1, [0], [1])], [1, 1], [], 2], {}, PANIC),
    # from_bytes and to_bytes
    ("from_bytes ok", P.from_bytes, [INDEX_BYTES], {}, None),
    ("from_bytes bytearray", P.from_bytes, [bytearray(INDEX_BYTES)], {}, TypeError),
    ("from_bytes empty", P.from_bytes, [b""], {}, ValueError),
    ("from_bytes length 2**32", P.from_bytes, [b"\xfd\x00\x00\x00\x00\x01\x00\x00\x00"], {}, ValueError),
    ("from_bytes missing", P.from_bytes, [], {}, TypeError),
    ("to_bytes ok", INDEX.to_bytes, [], {}, None),
    ("to_bytes argument", INDEX.to_bytes, [1], {}, TypeError),
    ("class call", P, [], {}, TypeError),
    # fuzzy_match
    ("match ok", INDEX.fuzzy_match, [fresh("cat")], {}, None),
    ("match ok all arguments", INDEX.fuzzy_match, [fresh("ca"), 70000, 70001], {}, None),
    ("match ok numpy", INDEX.fuzzy_match, [fresh("cat")], {"max_dist": np.int64(2), "limit": np.uint32(2)}, None),
    ("match ok zero nodes", ZERO_NODES.fuzzy_match, [fresh("cat")], {}, None),
    ("match term int", INDEX.fuzzy_match, [70000], {}, TypeError),
    ("match term surrogate", INDEX.fuzzy_match, [fresh("a\ud800")], {}, UnicodeEncodeError),
    ("match max_dist None", INDEX.fuzzy_match, [fresh("cat"), None], {}, TypeError),
    ("match max_dist negative", INDEX.fuzzy_match, [fresh("cat"), -70000], {}, OverflowError),
    ("match max_dist 2**32", INDEX.fuzzy_match, [fresh("cat"), 2**32], {}, OverflowError),
    ("match limit str", INDEX.fuzzy_match, [fresh("cat")], {"limit": fresh("x")}, TypeError),
    ("match too many", INDEX.fuzzy_match, [fresh("cat"), 1, None, 4], {}, TypeError),
    ("match repeated", INDEX.fuzzy_match, [fresh("cat")], {"term": fresh("cat")}, TypeError),
    ("match unknown keyword", INDEX.fuzzy_match, [fresh("cat")], {"dist": 1}, TypeError),
    ("match panic", BAD_CHILD.fuzzy_match, [fresh("a")], {}, PANIC),
    # fuzzy_match_video
    ("video ok", INDEX.fuzzy_match_video, [fresh("cat")], {}, None),
    ("video ok uuid", UUID_INDEX.fuzzy_match_video, [fresh("cat")], {}, None),
    ("video ok all arguments", INDEX.fuzzy_match_video, [fresh("ca"), 70000, 70001, True, -1.5], {}, None),
    ("video ok numpy", INDEX.fuzzy_match_video, [fresh("ca")],
     {"max_dist": np.uint16(1), "limit": np.int32(2), "include_prefix_nodes": np.bool_(True),
      "min_score": np.float32(0.25)}, None),
    ("video max_dist None", INDEX.fuzzy_match_video, [fresh("cat"), None], {}, TypeError),
    ("video missing term", INDEX.fuzzy_match_video, [], {"limit": 70000}, TypeError),
    ("video term surrogate", INDEX.fuzzy_match_video, [fresh("\udfff")], {}, UnicodeEncodeError),
    ("video include int", INDEX.fuzzy_match_video, [fresh("cat")], {"include_prefix_nodes": 70000}, TypeError),
    ("video min_score str", INDEX.fuzzy_match_video, [fresh("cat")], {"min_score": fresh("0.5")}, TypeError),
    ("video min_score raises", INDEX.fuzzy_match_video, [fresh("cat")], {"min_score": BadFloat()}, ValueError),
    ("video limit negative", INDEX.fuzzy_match_video, [fresh("cat")], {"limit": -70000}, OverflowError),
    ("video walk panic", BAD_CHILD.fuzzy_match_video, [fresh("a")], {}, PANIC),
    ("video ranking panic", SHORT_COUNTS.fuzzy_match_video, [fresh("a")], {}, PANIC),
]

RESULT_TYPES = [list, tuple, str, int, float, bytes, P, PANIC, TypeError, ValueError, OverflowError,
                UnicodeEncodeError]


def shared(obj):
    """Objects whose count the interpreter moves on its own (singletons, small ints)."""
    return obj is None or isinstance(obj, bool) or (type(obj) is int and -5 <= obj <= 256)


def watched(objects):
    """The given objects and, recursively, the items of lists and tuples among them."""
    seen = {}
    stack = list(objects)
    while stack:
        obj = stack.pop()
        if id(obj) in seen or shared(obj):
            continue
        seen[id(obj)] = obj
        if isinstance(obj, (list, tuple, dict)):
            stack.extend(obj.values() if isinstance(obj, dict) else obj)
    return list(seen.values())


def resident_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        # No /proc (a chroot without it): the peak, which a leak raises as well.
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def call_many(fn, args, kwargs, exc, count):
    if exc is None:
        for _ in range(count):
            fn(*args, **kwargs)
        return
    for _ in range(count):
        try:
            fn(*args, **kwargs)
        except exc:
            pass
        else:
            raise AssertionError("no exception raised")


@pytest.mark.parametrize("fn, args, kwargs, exc", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_leak(fn, args, kwargs, exc):
    # The outcome first, with its exact type.
    try:
        result = fn(*args, **kwargs)
    except BaseException as e:  # noqa: B036
        assert exc is not None and type(e) is exc, f"raised {type(e).__name__}: {e}"
    else:
        assert exc is None, f"returned {result!r}"
        del result

    call_many(fn, args, kwargs, exc, WARMUP)
    objects = watched([fn, *args, *kwargs.values(), getattr(fn, "__self__", None)]) + RESULT_TYPES

    # A leak grows with every round; a cache of the interpreter's that fills
    # once (a free list, a dict resized by the rest of the suite) grows in one
    # round only. So a round that grows is measured once more before failing.
    for _round in range(2):
        gc.collect()
        counts = [sys.getrefcount(o) for o in objects]
        blocks = sys.getallocatedblocks()
        tracked = len(gc.get_objects())
        rss = resident_bytes()

        call_many(fn, args, kwargs, exc, ITERATIONS)

        gc.collect()
        rss_growth = resident_bytes() - rss
        tracked_growth = len(gc.get_objects()) - tracked
        blocks_growth = sys.getallocatedblocks() - blocks
        after = [sys.getrefcount(o) for o in objects]
        changed = [(type(objects[i]).__name__, repr(objects[i])[:60], counts[i], after[i])
                   for i in range(len(objects)) if after[i] != counts[i]]
        grew = tracked_growth >= BLOCKS_BOUND or blocks_growth >= BLOCKS_BOUND or (
            not UNDER_ASAN and rss_growth > RSS_BOUND)
        if not changed and not grew:
            break
    assert changed == []
    assert tracked_growth < BLOCKS_BOUND
    assert blocks_growth < BLOCKS_BOUND
    if not UNDER_ASAN:
        assert rss_growth <= RSS_BOUND, f"resident memory grew by {rss_growth} bytes over {ITERATIONS} calls"
