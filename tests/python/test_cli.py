"""The quillmesh command line, run as a separate process end to end."""

import json
import os
import re
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

import _quillmesh

try:
    import quillmesh
except ImportError:  # running from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
    import quillmesh

from trie_bytes import encode_trie

PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
# The child finds the extension and the package where this process found them.
# From a source tree the package has two directories (python/quillmesh and
# the build tree's, with quillmesh._native): the child gets the parents of both.
CHILD_PATH = os.pathsep.join(
    [os.path.dirname(_quillmesh.__file__), *(str(Path(p).resolve().parent) for p in quillmesh.__path__)]
)

ROWS = """\
cat\t1\t5
cart\t2\t3
car\t3\t1

dog\t4\t2
cat\t2\t1
cat\t1\t2
café\t5\t4
"""


def run(*args, stdin=None):
    env = dict(os.environ, PYTHONPATH=CHILD_PATH)
    return subprocess.run(
        [PYTHON, "-m", "quillmesh", *map(str, args)],
        input=stdin, capture_output=True, text=True, env=env, timeout=120,
    )


def ok(*args, stdin=None):
    done = run(*args, stdin=stdin)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def index(tmp_path):
    rows = tmp_path / "rows.tsv"
    rows.write_text(ROWS, encoding="utf-8")
    path = tmp_path / "small.qm"
    out = ok("build", rows, "-o", path, "--top-n", "10")
    assert out.startswith(f"wrote {path}: 7 rows, 5 terms, ")
    return path


ROW_TUPLES = [("cat", 1, 5), ("cart", 2, 3), ("car", 3, 1), ("dog", 4, 2), ("cat", 2, 1), ("cat", 1, 2), ("café", 5, 4)]


def test_build_writes_what_the_module_would(index):
    # The very file quillmesh.save writes for the same rows, term counts included.
    assert index.read_bytes() == quillmesh.dumps(quillmesh.build_index(ROW_TUPLES, video_top_n=10))
    direct = quillmesh.build(ROW_TUPLES, video_top_n=10)
    stored = quillmesh.load(index).search
    for term in ("cat", "ca", "dgo", "cafe"):
        assert stored.fuzzy_match(term, 2) == direct.fuzzy_match(term, 2)
        assert stored.fuzzy_match_video(term, 2, None, True, 0.0) == direct.fuzzy_match_video(term, 2, None, True, 0.0)


def test_info(index):
    facts = json.loads(ok("info", index, "--json"))
    size = len(quillmesh.load(index).search.to_bytes())
    assert facts == {"nodes": 11, "terminals": 5, "edges": 10, "videos": 5, "id_mode": "int32",
                     "encoded_size": size, "file_size": index.stat().st_size}
    text = ok("info", index)
    assert "nodes:        11\n" in text and "terminals:    5 " in text
    assert "videos:       5 (int32 ids)" in text and f"encoded size: {size} bytes" in text


def test_info_notes_trailing_bytes(index):
    # Bare to_bytes output (what files held before index files had a header).
    index.write_bytes(quillmesh.load(index).search.to_bytes() + b"junk")
    assert "(4 trailing bytes ignored)" in ok("info", index)


def test_query_terms(index):
    # Closest first, then by text.
    assert ok("query", index, "cat") == "0  cat\n1  car\n1  cart\n"
    assert json.loads(ok("query", index, "cafe", "--json")) == [{"term": "café", "distance": 1}]
    assert ok("query", index, "cafe", "--max-dist", "2") == "1  café\n2  car\n2  cart\n2  cat\n"
    assert json.loads(ok("query", index, "cat", "--max-dist", "2", "--limit", "2", "--json")) == [
        {"term": "cat", "distance": 0}, {"term": "car", "distance": 1},
    ]
    assert ok("query", index, "zebra") == ""
    assert json.loads(ok("query", index, "zebra", "--json")) == []


def test_query_videos(index):
    stored = quillmesh.load(index).search
    got = json.loads(ok("query", index, "cat", "--videos", "--json"))
    want = stored.fuzzy_match_video("cat")
    assert [(r["video"], r["score"]) for r in got] == want
    assert got[0]["video"] == "1"  # cat: video 1 has 7 of its 8 counts

    lines = ok("query", index, "cat", "--videos").splitlines()
    assert [line.split("  ") for line in lines] == [[f"{s:.6f}", v] for v, s in want]

    cases = [
        (["--prefix", "yes"], dict(include_prefix_nodes=True)),
        (["--prefix", "no", "--max-dist", "0"], dict(max_dist=0, include_prefix_nodes=False)),
        (["--min-score", "0.5"], dict(min_score=0.5)),
        (["--limit", "1"], dict(limit=1)),
    ]
    for extra, kwargs in cases:
        got = json.loads(ok("query", index, "ca", "--videos", "--json", *extra))
        assert [(r["video"], r["score"]) for r in got] == stored.fuzzy_match_video("ca", **kwargs), extra


def test_uuid_rows_and_standard_input(tmp_path):
    a, b = uuid.UUID(int=1), uuid.UUID("0f8fad5b-d9cb-469f-a165-70867728950e")
    path = tmp_path / "u.qm"
    ok("build", "-", "-o", path, stdin=f"apple\t{a}\t2\napply\t{b.hex}\t1\n")
    assert json.loads(ok("info", path, "--json"))["id_mode"] == "uuid"
    got = json.loads(ok("query", path, "apple", "--videos", "--json", "--min-score", "0"))
    assert [r["video"] for r in got] == [str(a), str(b)]


def test_progress_bar_on_request(tmp_path):
    rows = tmp_path / "rows.tsv"
    rows.write_text(ROWS, encoding="utf-8")
    done = run("build", rows, "-o", tmp_path / "x.qm", "--progress")
    assert done.returncode == 0
    # Each phase in turn (the bars' carriage returns read as newlines here).
    shown = [line.replace("\x1b[K", "") for line in done.stderr.splitlines() if line]
    assert re.fullmatch(r"reading rows\.tsv \[#{30}\] 100% 7 rows", shown[-4]), shown
    assert re.fullmatch(r"laying out 7 rows \.\.\. \d+\.\d\d s", shown[-3]), shown
    assert re.fullmatch(r"building 11 nodes \(top 100 videos per node\) \.\.\. \d+\.\d\d s", shown[-2]), shown
    assert re.fullmatch(r"writing x\.qm \[#{30}\] 100% 0 MiB", shown[-1]), shown
    # From standard input the size is unknown: a count, no bar.
    done = run("build", "-", "-o", tmp_path / "y.qm", "--progress", stdin=ROWS)
    assert "reading <stdin> 7 rows" in done.stderr
    # Not a terminal and not asked: nothing on standard error.
    assert run("build", rows, "-o", tmp_path / "x.qm").stderr == ""


def bad_rows(tmp_path, text):
    path = tmp_path / "bad.tsv"
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return path


ERRORS = [
    # (args, exit status, the text the one line must hold); {d} is the test's directory
    (["build", "{d}/missing.tsv", "-o", "{d}/x.qm"], 1, "cannot read {d}/missing.tsv: No such file or directory"),
    (["build", "ROWS", "-o", "{d}/no/such/dir/x.qm"], 1, "cannot write {d}/no/such/dir/x.qm"),
    (["build", "ROWS"], 2, "the following arguments are required: -o/--output"),
    (["build", "ROWS", "-o", "{d}/x.qm", "--top-n", "-1"], 2, "argument --top-n: -1 is out of range 0..4294967295"),
    (["build", "TSV:a\t1\n", "-o", "{d}/x.qm"], 1, "bad.tsv:1: expected 3 tab-separated fields"),
    (["build", "TSV:a\t1\t1\nb\tx\t1\n", "-o", "{d}/x.qm"], 1, "bad.tsv:2: video id 'x' is neither a UUID nor"),
    (["build", "TSV:a\t4294967296\t1\n", "-o", "{d}/x.qm"], 1, "bad.tsv:1: video id 4294967296 is above 4294967295"),
    (["build", "TSV:a\t1\t-3\n", "-o", "{d}/x.qm"], 1, "bad.tsv:1: count '-3' is not an unsigned decimal"),
    (["build", "TSV:a\t1\t99999999999\n", "-o", "{d}/x.qm"], 1, "bad.tsv:1: count 99999999999 out of range"),
    (["build", "TSV:a\t1\t1\n\n\tb\t2\t1\n", "-o", "{d}/x.qm"], 1, "bad.tsv:3: expected 3 tab-separated fields"),
    (["build", "TSV:a\t1\t1\n\n\t2\t1\n", "-o", "{d}/x.qm"], 1, "bad.tsv:3: term is empty"),
    (["build", "TSV:a\t1\t1\n\nb\t" + str(uuid.UUID(int=3)) + "\t1\n", "-o", "{d}/x.qm"], 1,
     "bad.tsv:3: video_id is a UUID id but row 0 has an int32 id"),
    (["build", b"TSV:\xff\t1\t1\n", "-o", "{d}/x.qm"], 1, "bad.tsv:1: not UTF-8 text"),
    (["query", "{d}/missing.qm", "x"], 1, "cannot read {d}/missing.qm"),
    (["query", "GARBAGE", "x"], 1, "not a quillmesh index (decode error: "),
    (["info", "GARBAGE"], 1, "not a quillmesh index (decode error: "),
    (["query", "BROKEN", "x"], 1, "the index is inconsistent (index out of bounds: the len is 1 but the index is 5)"),
    (["query", "BROKEN", "x", "--videos"], 1, "the index is inconsistent (index out of bounds"),
    (["query", "INDEX", "x", "--max-dist", "two"], 2, "argument --max-dist: not an integer: 'two'"),
    (["query", "INDEX", "x", "--min-score", "nan", "--videos"], 2, "argument --min-score: must be a number"),
    (["query", "INDEX", "x", "--prefix", "yes"], 2, "--prefix and --min-score apply only with --videos"),
    (["query", "INDEX", "x", "--prefix", "maybe", "--videos"], 2, "argument --prefix: invalid choice: 'maybe'"),
    (["query", "INDEX"], 2, "the following arguments are required: TERM"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    ([], 2, "the following arguments are required: COMMAND"),
]


@pytest.mark.parametrize("args, status, message", ERRORS)
def test_errors_are_one_line_without_traceback(tmp_path, index, args, status, message):
    d = str(tmp_path)
    (tmp_path / "garbage.qm").write_bytes(b"\xff\xff")
    # Node 0 names child 5 of a one-node trie: decodes, but cannot be walked.
    (tmp_path / "broken.qm").write_bytes(encode_trie([0], "\0", [5], [(1, [], [])]))
    rows = tmp_path / "rows.tsv"
    rows.write_text(ROWS, encoding="utf-8")
    names = {"ROWS": rows, "INDEX": index, "GARBAGE": tmp_path / "garbage.qm", "BROKEN": tmp_path / "broken.qm"}
    argv = []
    for arg in args:
        if isinstance(arg, bytes) or arg.startswith("TSV:"):
            arg = bad_rows(tmp_path, arg[4:])  # the file's contents follow "TSV:"
        argv.append(str(names.get(arg, arg)).format(d=d))
    done = run(*argv)
    assert done.returncode == status  # 2: bad arguments, 1: failures
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr, done.stderr
    assert message.format(d=d) in done.stderr
    assert done.stderr.startswith("quillmesh")


def test_failed_build_leaves_no_file(tmp_path):
    out = tmp_path / "x.qm"
    assert run("build", bad_rows(tmp_path, "a\t1\t1\nb\t1\n"), "-o", out).returncode == 1
    assert list(tmp_path.iterdir()) == [tmp_path / "bad.tsv"]


def test_help_and_console_entry():
    assert "build" in ok("--help") and "--max-dist" in ok("query", "--help")
    from quillmesh.cli import main
    assert callable(main)


def test_quickstart_example_runs():
    # The README's quickstart is this file; running it keeps it honest.
    example = Path(__file__).resolve().parents[2] / "examples" / "quickstart.py"
    done = subprocess.run([PYTHON, str(example)], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=CHILD_PATH))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "term 'python' at distance 2"
    # One edit each, the more used first; then two edits.
    assert lines[1:4] == ["did you mean 'tree'? (distance 1, used 9 times)",
                          "did you mean 'trie'? (distance 1, used 7 times)",
                          "did you mean 'tries'? (distance 2, used 2 times)"]
    # trie and tree are one edit from 'tre' and equally strong: any order.
    assert sorted(lines[4:]) == ["video 3 scores 0.500", "video 4 scores 0.500"]
