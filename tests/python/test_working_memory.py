"""Working memory of a query follows the size of its answer, not the number of
paths the walk follows: on a crafted index whose node lists itself twice, a
term of 20 letters is spelled along millions of paths. Each case runs in a
child process that reports how far its peak resident memory rose during the
call. An answer too large to hold ends with MemoryError."""

import os
import subprocess
import sys
import textwrap

import pytest

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

PROBE = textwrap.dedent("""
    import sys
    from _quillmesh import PrefixSearch as P
    from trie_bytes import encode_trie

    def peak():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])

    # Node 1 ('a') is the root's child and lists itself twice; `terminal`
    # says whether a term ends there.
    def self_listing(terminal):
        return P.from_bytes(encode_trie([0, 1], "\\0a", [1, 1, 1], [None, (2, [0, 1], [2, 1])],
                                        video_int_ids=[5, 6], id_mode=1, is_terminal=[False, terminal]))

    index, call = sys.argv[1], sys.argv[2]
    p = self_listing(index == "terminal")
    term = "a" * 20
    calls = {
        "automatic": lambda: p.fuzzy_match_video(term),
        "prefix nodes": lambda: p.fuzzy_match_video(term, include_prefix_nodes=True),
        "terminal only": lambda: p.fuzzy_match_video(term, include_prefix_nodes=False),
        "limit 1": lambda: p.fuzzy_match_video(term, limit=1),
        "terms, limit 1000": lambda: p.fuzzy_match(term, 1, 1000),
    }
    calls[call]()  # once before measuring: what any call allocates the first time
    before = peak()
    got = calls[call]()
    print(repr(got[:3]), len(got), peak() - before)
""")

TWO_VIDEOS = [("5", 1.0), ("6", 0.5)]
CASES = [
    ("terminal", "automatic", TWO_VIDEOS, 2),
    ("terminal", "prefix nodes", TWO_VIDEOS, 2),
    ("terminal", "terminal only", TWO_VIDEOS, 2),
    ("terminal", "limit 1", [("5", 1.0)], 1),
    # No term ends anywhere: the automatic mode walks a second time.
    ("prefix only", "automatic", TWO_VIDEOS, 2),
    ("prefix only", "terminal only", [], 0),
    # The limit ends the walk once that many terms are found.
    ("terminal", "terms, limit 1000", [("a" * 19, 1, 1), ("a" * 20, 1, 0), ("a" * 21, 1, 1)], 1000),
]


@pytest.mark.parametrize("index, call, first, count", CASES, ids=[f"{c[0]}, {c[1]}" for c in CASES])
def test_a_walk_along_millions_of_paths_needs_little_memory(index, call, first, count):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", PROBE, index, call], env=env, capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    got, length, grew_kib = proc.stdout.rsplit(maxsplit=2)
    assert got == repr(first)
    assert int(length) == count
    # The walk reports about 3 * 2**19 node matches; held as a list they
    # would take tens of MiB.
    assert int(grew_kib) < 8 * 1024


LARGE_PROBE = textwrap.dedent("""
    import resource
    from _quillmesh import PrefixSearch as P
    from trie_bytes import encode_trie

    def size_kib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1])

    # One term listing 2**20 videos, each with the same count: a million
    # accumulators, whatever the limit.
    videos = 1 << 20
    p = P.from_bytes(encode_trie([0, 1], "\\0a", [1], [None, (1, range(videos), [1] * videos)],
                                 video_int_ids=range(4), id_mode=1))
    small = P.from_bytes(encode_trie([0, 1], "\\0a", [1], [None, (1, [2], [1])], video_int_ids=range(4), id_mode=1))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, ((size_kib() + 8 * 1024) * 1024, hard))
    try:
        p.fuzzy_match_video("a", limit=3)
        print("answered")
    except MemoryError:
        print("MemoryError")
    print(small.fuzzy_match_video("a"))
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(p.fuzzy_match_video("a", limit=3))
""")


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than the limit")
def test_accumulators_too_large_to_hold_end_with_memory_error():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", LARGE_PROBE], env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == [
        "MemoryError",
        "[('2', 1.0)]",  # the module answers on while memory is short
        "[('0', 1.0), ('1', 1.0), ('2', 1.0)]",  # and the same index once memory is there
    ]
