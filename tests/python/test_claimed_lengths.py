"""Sequences that claim far more items than they hold: nothing may be sized
by the claim before the items arrive. Each case runs in a child process that
reports how far its peak resident memory rose during the call."""

import os
import subprocess
import sys
import textwrap

import pytest

PROBE = textwrap.dedent("""
    import resource, sys
    from _quillmesh import PrefixSearch as P

    class Liar:
        "Holds `items` but says it has 2**28."
        def __init__(self, items):
            self.items = list(items)
        def __len__(self):
            return 2**28
        def __length_hint__(self):
            return 2**28
        def __getitem__(self, i):
            return self.items[i]

    args = {
        "node_shifts": [0, 1],
        "child_labels": ["", "a"],
        "payloads": [None, (1, [0], [1])],
        "child_transitions": [1],
        "video_index": [b"abcd"],
    }
    where = sys.argv[1]
    if where == "video_ids":
        args["payloads"] = [None, (1, Liar([0]), [1])]
    elif where == "video_index entry":
        args["video_index"] = [Liar(b"abcd")]
    else:
        args[where] = Liar(args[where][:1])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        P.from_internal_data_v2(*args.values(), 2)
        outcome = "built"
    except (ValueError, TypeError) as e:
        outcome = type(e).__name__
    grew = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(outcome, grew)
""")

# Where the liar sits, and what the build then says of the one item it holds.
CASES = [
    ("node_shifts", "ValueError"),
    ("child_labels", "ValueError"),
    ("payloads", "ValueError"),
    ("child_transitions", "built"),
    ("video_index", "built"),
    ("video_ids", "built"),
    ("video_index entry", "built"),
]


@pytest.mark.parametrize("where, outcome", CASES, ids=[c[0] for c in CASES])
def test_a_claimed_length_costs_no_memory(where, outcome):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", PROBE, where], env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    got, grew_kib = proc.stdout.split()
    assert got == outcome
    # 2**28 slots of anything would be at least 256 MiB.
    assert int(grew_kib) < 32 * 1024
