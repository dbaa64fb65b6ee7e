"""The answers of one build on the full word list, to hold a change to the
same results call for call: seeded queries of the benchmark's mix, each asked
nine ways (fuzzy_match at max_dist 0 to 3, with limits, and fuzzy_match_video
with and without prefix nodes and a limit), half of them of a built index and
half of from_bytes(to_bytes()) of it; the SHA-256 of both encodings too.

    PYTHONPATH=<build A>:python python3 bench/answers.py write A.pkl
    PYTHONPATH=<build B>:python python3 bench/answers.py write B.pkl
    python3 bench/answers.py compare A.pkl B.pkl

`compare` prints the calls that differ and exits 1 if any does (or if the
encodings differ).
"""

import argparse
import hashlib
import os
import pickle
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

CALLS = [
    ("fuzzy_match md0", lambda ix, q: ix.fuzzy_match(q, 0)),
    ("fuzzy_match md1", lambda ix, q: ix.fuzzy_match(q, 1)),
    ("fuzzy_match md2", lambda ix, q: ix.fuzzy_match(q, 2)),
    ("fuzzy_match md3", lambda ix, q: ix.fuzzy_match(q, 3)),
    ("fuzzy_match md1 limit 3", lambda ix, q: ix.fuzzy_match(q, 1, 3)),
    ("fuzzy_match md2 limit 7", lambda ix, q: ix.fuzzy_match(q, 2, limit=7)),
    ("fuzzy_match_video md2 prefix", lambda ix, q: ix.fuzzy_match_video(q, 2, include_prefix_nodes=True)),
    ("fuzzy_match_video", lambda ix, q: ix.fuzzy_match_video(q)),
    ("fuzzy_match_video md1 limit 5", lambda ix, q: ix.fuzzy_match_video(q, 1, limit=5)),
]


def write(path, count, seed):
    import peers
    import quillmesh
    from _quillmesh import PrefixSearch

    words = peers.load_words(peers.WORDS)
    rows = peers.make_rows(words, peers.video_pool(seed), seed + 1)
    layout = quillmesh.layout(rows)
    del rows
    built = PrefixSearch.from_internal_data_v2(*layout, peers.TOP_N)
    encoded = built.to_bytes()
    restored = PrefixSearch.from_bytes(encoded)
    again = restored.to_bytes()
    queries = [q for _, q in peers.make_queries(words, count, seed + 2)]
    answers = []
    for i, q in enumerate(queries):
        index = built if i % 2 == 0 else restored
        for name, call in CALLS:
            try:
                answer = call(index, q)
            except Exception as e:  # a raised error is an answer too
                answer = ("raised", type(e).__name__, str(e))
            answers.append((q, name, answer))
    digests = [hashlib.sha256(encoded).hexdigest(), hashlib.sha256(again).hexdigest()]
    with open(path, "wb") as f:
        pickle.dump({"sha256": digests, "answers": answers}, f, protocol=pickle.HIGHEST_PROTOCOL)
    records = sum(len(a) for _, _, a in answers if isinstance(a, list))
    print(f"{len(answers)} calls, {records} records, to_bytes sha256 {digests[0][:16]}"
          f"{'' if digests[0] == digests[1] else ' (from_bytes(b).to_bytes() != b)'}")


def compare(path_a, path_b):
    with open(path_a, "rb") as f:
        a = pickle.load(f)
    with open(path_b, "rb") as f:
        b = pickle.load(f)
    failed = False
    for label, got in (("A", a), ("B", b)):
        if got["sha256"][0] != got["sha256"][1]:
            print(f"{label}: from_bytes(b).to_bytes() != b")
            failed = True
    if a["sha256"][0] != b["sha256"][0]:
        print("to_bytes differs between A and B")
        failed = True
    if [(q, n) for q, n, _ in a["answers"]] != [(q, n) for q, n, _ in b["answers"]]:
        print("A and B asked different calls (other counts or seeds)")
        return 1
    differ = [(q, n) for (q, n, x), (_, _, y) in zip(a["answers"], b["answers"]) if x != y]
    for q, n in differ[:20]:
        print(f"differs: {n}({q!r})")
    print(f"{len(a['answers'])} calls, {len(differ)} differ")
    return 1 if failed or differ else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    w = sub.add_parser("write", help="ask this build's calls and save the answers")
    w.add_argument("out")
    w.add_argument("--queries", type=int, default=800)
    w.add_argument("--seed", type=int, default=1)
    c = sub.add_parser("compare", help="compare two builds' answers")
    c.add_argument("a")
    c.add_argument("b")
    opts = parser.parse_args()
    if opts.command == "write":
        write(opts.out, opts.queries, opts.seed)
        return 0
    return compare(opts.a, opts.b)


if __name__ == "__main__":
    sys.exit(main())
