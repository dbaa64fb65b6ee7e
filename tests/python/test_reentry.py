"""Calls made while a call is running, on the same thread: the collector runs
finalizers whenever an allocation crosses its threshold (tuple and list
creation included), and a finalizer may query the module. Each call must own
what it fills, so the outer answer is whole and right whatever ran inside.

Run in a child process: a fault there is a failed test, not a lost run.
"""

import os
import subprocess
import sys
import textwrap

import pytest

PROBE = textwrap.dedent("""
    import gc, sys
    from _quillmesh import PrefixSearch as P

    WORDS = ["cat", "car", "cart", "dog", "door", "zzz", "zoo", "cap", "cut", "cot"]

    def arrays():
        shifts, labels, payloads, transitions = [], [""], [None], []
        children = {0: {}}
        for w, word in enumerate(WORDS):
            node = 0
            for ch in word:
                if ch not in children[node]:
                    children[node][ch] = len(labels)
                    children[len(labels)] = {}
                    labels.append(ch)
                    payloads.append(None)
                node = children[node][ch]
            payloads[node] = (w + 1, [w], [w + 1])
        for n in range(len(labels)):
            shifts.append(len(transitions))
            transitions += sorted(children[n].values())
        return shifts, labels, payloads, transitions, [w.to_bytes(4, "little") for w in range(len(WORDS))], 4

    ARRAYS = arrays()
    ps = P.from_internal_data_v2(*ARRAYS)
    data = ps.to_bytes()
    inner = {
        "fuzzy_match": lambda: ps.fuzzy_match("zzz", 0),
        "fuzzy_match_video": lambda: ps.fuzzy_match_video("zoo", 0),
        "from_bytes": lambda: P.from_bytes(data).fuzzy_match("dog", 0),
        "from_internal_data_v2": lambda: P.from_internal_data_v2(*ARRAYS).fuzzy_match("door", 0),
    }
    outer = {
        "fuzzy_match": lambda: ps.fuzzy_match("cat", 2),
        "fuzzy_match_video": lambda: ps.fuzzy_match_video("cat", 2),
        "from_bytes": lambda: P.from_bytes(data).fuzzy_match("cat", 1),
        "from_internal_data_v2": lambda: P.from_internal_data_v2(*ARRAYS).fuzzy_match("cat", 1),
    }
    method = sys.argv[1]
    expected = outer[method]()
    nested = []

    class Loop:
        def __init__(self, heirs=3):
            self.me, self.heirs = self, heirs

        def __del__(self):
            nested.append(inner[method]() == inner[method + "_expected"])
            if self.heirs:
                # Garbage for the next collection, made while one runs: a
                # later allocation inside the same call finds some pending.
                Loop(self.heirs - 1)

    inner[method + "_expected"] = inner[method]()
    gc.freeze()  # collections then look only at what the loop makes
    gc.set_threshold(1, 1, 1)
    for i in range(2000):
        for _ in range(3):
            Loop()
        got = outer[method]()
        if got != expected:
            print(f"iteration {i}: {got!r:.300}")
            sys.exit(1)
    gc.set_threshold(700, 10, 10)
    gc.collect()
    print("ok" if nested and all(nested) else f"nested calls: {len(nested)}, all right: {all(nested)}")
""")


@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video", "from_bytes", "from_internal_data_v2"])
def test_finalizers_that_query_during_a_call(method):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", PROBE, method], env=env, capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", (proc.returncode, proc.stdout[-2000:],
                                                                   proc.stderr[-2000:])
