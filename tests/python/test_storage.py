"""Index files: save and load, their in-memory forms, and every way a file
can be wrong."""

import array
import mmap
import os
import struct
import zlib
from pathlib import Path

import pytest

import quillmesh
from quillmesh import IndexFileError, PrefixSearch
from quillmesh.indexfile import read_counts

ROWS = [("cat", 1, 5), ("cart", 2, 3), ("car", 3, 1), ("cut", 1, 9), ("dog", 4, 2), ("café", 5, 4), ("ca\nt", 6, 1)]
COUNTS = {"cat": 5, "cart": 3, "car": 1, "cut": 9, "dog": 2, "café": 4, "ca\nt": 1}
HEADER = struct.Struct("<8sIQQI")  # as the file format documents it

try:
    from quillmesh import _native
    HAS_VERIFY = hasattr(_native, "verify_tree")
except ImportError:
    HAS_VERIFY = False
needs_verify = pytest.mark.skipif(not HAS_VERIFY, reason="quillmesh._native.verify_tree is not built")


def answers(index):
    return [(index.fuzzy_match(t, 2), index.fuzzy_match_video(t, 2, None, True, 0.0)) for t in ("cat", "dgo", "cafe")]


def container(payload, metadata=b"", version=1, magic=b"\x89QMX\r\n\x1a\n", checksum=None):
    if checksum is None:
        checksum = zlib.crc32(payload + metadata)
    return HEADER.pack(magic, version, len(payload), len(metadata), checksum) + payload + metadata


def section(tag, body):
    return tag + struct.pack("<Q", len(body)) + body


@pytest.mark.parametrize("as_path", [str, Path, os.fsencode], ids=["str", "Path", "bytes"])
def test_round_trip_keeps_answers_and_counts(tmp_path, as_path):
    index = quillmesh.build_index(ROWS, video_top_n=10)
    path = as_path(tmp_path / "words.qm")
    quillmesh.save(index, path)
    loaded = quillmesh.load(path, verify=False)
    assert isinstance(loaded, quillmesh.Index)
    assert dict(loaded.term_counts) == COUNTS
    assert answers(loaded) == answers(index)
    assert loaded.search.to_bytes() == index.search.to_bytes()
    assert (tmp_path / "words.qm").read_bytes() == quillmesh.dumps(index)
    assert os.listdir(tmp_path) == ["words.qm"]  # no temporary file left


def test_a_bare_prefix_search_loads_with_empty_counts(tmp_path):
    search = quillmesh.build(ROWS)
    quillmesh.save(search, tmp_path / "bare.qm")
    loaded = quillmesh.load(tmp_path / "bare.qm", verify=False)
    assert dict(loaded.term_counts) == {} and answers(loaded) == answers(search)


def test_an_empty_index_round_trips(tmp_path):
    index = quillmesh.build_index([])
    quillmesh.save(index, tmp_path / "empty.qm")
    loaded = quillmesh.load(tmp_path / "empty.qm", verify=False)
    assert dict(loaded.term_counts) == {} and loaded.fuzzy_match("a", 3) == []


GOOD = quillmesh.dumps(quillmesh.build_index(ROWS))
PAYLOAD = quillmesh.build(ROWS).to_bytes()


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]


BAD_FILES = [
    # (what, file contents, the problem the error names)
    ("a system program", Path("/bin/ls").read_bytes(), "not a quillmesh index file (wrong magic bytes)"),
    ("bare to_bytes output", PAYLOAD, "wrong magic bytes"),
    ("an empty file", b"", "wrong magic bytes"),
    ("a text-mode copy (CRLF -> LF)", GOOD.replace(b"\r\n", b"\n", 1), "wrong magic bytes"),
    ("half a header", GOOD[:20], "truncated: 20 bytes, shorter than the 32-byte header"),
    ("a newer format", container(PAYLOAD, version=2), "format version 2 is newer than this quillmesh reads"),
    ("version 0", container(PAYLOAD, version=0), "unknown format version 0"),
    ("the last byte cut", GOOD[:-1], f"truncated: the header announces {len(GOOD)} bytes, the file holds {len(GOOD) - 1}"),
    ("only the header", GOOD[:32], "truncated"),
    ("bytes appended", GOOD + b"\0\0", f"2 unexpected bytes after the announced {len(GOOD)}"),
    ("a bit flipped in the index", flip(GOOD, 40), "checksum mismatch"),
    ("a bit flipped in the counts", flip(GOOD, len(GOOD) - 2), "checksum mismatch"),
    ("a checksum that lies", container(PAYLOAD, checksum=zlib.crc32(PAYLOAD) ^ 1), "checksum mismatch"),
    ("a payload that does not decode", container(b"\xff\xff"), "the index does not decode (decode error: "),
    ("a cut section header", container(PAYLOAD, b"TCNT\x05"), "the metadata ends inside a section header"),
    ("a section past the end", container(PAYLOAD, section(b"TCNT", b"")[:-8] + struct.pack("<Q", 99)),
     "metadata section b'TCNT' runs past the end"),
    ("more counts than terms", container(PAYLOAD, section(b"TCNT", struct.pack("<III", 2, 7, 8) + b"cat")),
     "the term counts are malformed"),
    ("counts without their terms", container(PAYLOAD, section(b"TCNT", struct.pack("<I", 3))),
     "the term counts are malformed"),
    ("a term that is not UTF-8", container(PAYLOAD, section(b"TCNT", struct.pack("<II", 1, 7) + b"\xff")),
     "a term is not UTF-8"),
]


@pytest.mark.parametrize("what, data, problem", BAD_FILES, ids=[c[0] for c in BAD_FILES])
def test_bad_files_raise_an_error_naming_file_and_problem(tmp_path, what, data, problem):
    path = tmp_path / "bad.qm"
    path.write_bytes(data)
    with pytest.raises(IndexFileError) as caught:
        quillmesh.load(path, verify=False)
    assert str(caught.value).startswith(f"{path}: ")
    assert problem in caught.value.problem and caught.value.path == str(path)
    with pytest.raises(ValueError, match="^<bytes>: "):
        quillmesh.loads(data, verify=False)


def test_unknown_sections_are_skipped_and_counts_read_in_order():
    body = struct.pack("<III", 2, 7, 0) + "ça\0x".encode()
    data = container(PAYLOAD, section(b"NEW!", b"later") + section(b"TCNT", body))
    assert dict(quillmesh.loads(data, verify=False).term_counts) == {"ça": 7, "x": 0}


BYTES_LIKE = [
    ("bytes", bytes),
    ("bytearray", bytearray),
    ("memoryview", memoryview),
    ("memoryview of a slice", lambda b: memoryview(b"..." + b)[3:]),
    ("array of bytes", lambda b: array.array("B", b)),
    ("mmap", "mmap"),
]


@pytest.mark.parametrize("what, wrap", BYTES_LIKE, ids=[c[0] for c in BYTES_LIKE])
def test_helpers_take_any_bytes_like(tmp_path, what, wrap):
    def wrapped(data):
        if wrap == "mmap":
            path = tmp_path / "data"
            path.write_bytes(data)
            with open(path, "rb") as f:
                return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        return wrap(data)

    assert dict(quillmesh.loads(wrapped(GOOD), verify=False).term_counts) == COUNTS
    assert quillmesh.from_bytes(wrapped(PAYLOAD)).to_bytes() == PAYLOAD
    assert read_counts(wrapped(PAYLOAD)) == read_counts(PAYLOAD)


@pytest.mark.parametrize("value", ["text", 12, None, [1, 2]])
def test_non_bytes_are_refused(value):
    with pytest.raises(TypeError):
        quillmesh.from_bytes(value)
    with pytest.raises(TypeError):
        quillmesh.loads(value)


@pytest.mark.parametrize("value", ["index", None, b"bytes"])
def test_save_refuses_what_is_not_an_index(tmp_path, value):
    with pytest.raises(TypeError, match="index must be a quillmesh.Index or a PrefixSearch"):
        quillmesh.save(value, tmp_path / "x.qm")
    assert os.listdir(tmp_path) == []


def test_a_failed_save_leaves_the_old_file_whole(tmp_path, monkeypatch):
    path = tmp_path / "words.qm"
    quillmesh.save(quillmesh.build_index(ROWS[:2]), path)
    before = path.read_bytes()

    def broken_fsync(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", broken_fsync)
    with pytest.raises(OSError, match="No space left"):
        quillmesh.save(quillmesh.build_index(ROWS), path)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["words.qm"]


def test_saved_files_get_the_usual_permissions(tmp_path):
    old = os.umask(0o022)
    try:
        quillmesh.save(quillmesh.build(ROWS), tmp_path / "x.qm")
    finally:
        os.umask(old)
    assert (tmp_path / "x.qm").stat().st_mode & 0o777 == 0o644


def test_a_missing_file_is_an_os_error_naming_it(tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        quillmesh.load(tmp_path / "nowhere.qm")
    assert caught.value.filename == str(tmp_path / "nowhere.qm")


# Node 0 lists node 1 twice: consistent, decodable, but not a tree.
NOT_A_TREE = ([0, 2], ["", "a"], [None, (1, [0], [1])], [1, 1], [b"\1\0\0\0"], 10)


@needs_verify
def test_verify_refuses_a_graph_and_says_how_to_load_it(tmp_path):
    path = tmp_path / "graph.qm"
    quillmesh.save(PrefixSearch.from_internal_data_v2(*NOT_A_TREE), path)
    with pytest.raises(IndexFileError) as caught:
        quillmesh.load(path)
    message = str(caught.value)
    assert message.startswith(f"{path}: ") and "node " in message and "verify=False loads it anyway" in message
    # Unchecked, the walk follows both edges to the one node.
    assert quillmesh.load(path, verify=False).fuzzy_match("a", 0) == [("a", 1, 0)] * 2


@needs_verify
def test_verify_passes_what_build_makes(tmp_path):
    path = tmp_path / "words.qm"
    quillmesh.save(quillmesh.build_index(ROWS), path)
    assert dict(quillmesh.load(path).term_counts) == COUNTS
    assert dict(quillmesh.loads(path.read_bytes(), verify=True).term_counts) == COUNTS


def test_the_command_line_reads_index_files(tmp_path):
    from test_cli import run

    index = quillmesh.build_index(ROWS, video_top_n=10)
    path = tmp_path / "words.qm"
    quillmesh.save(index, path)
    done = run("query", path, "cat", "--max-dist", "1", "--json")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith('[{"term": "cat", "distance": 0}')
    done = run("info", path, "--json")
    assert done.returncode == 0, done.stderr
    assert f'"file_size": {path.stat().st_size}' in done.stdout and '"terminals": 7' in done.stdout
    path.write_bytes(flip(path.read_bytes(), 40))
    done = run("query", path, "cat")
    assert (done.returncode, done.stderr) == (1, f"quillmesh: error: {path}: checksum mismatch: the file is damaged\n")
