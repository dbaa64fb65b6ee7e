"""quillmesh._native.Rows, the C++ layout of the command line's build,
against quillmesh.layout: the same arrays, the same faults, the same bytes."""

import random
import uuid

import numpy as np
import pytest

import quillmesh
from quillmesh import _native, storage
from quillmesh.cli import _parse_line

from test_layout import LAYOUT_ERRORS, U32_MAX
from test_rows import REFUSED, SAME_AS_PLAIN_INTS, U

ALPHABET = "abcé€𝄞\u00a0z'-"


def random_rows(rng, n, kind):
    words = sorted({"".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 7))) for _ in range(n // 3 + 1)})
    if kind == "int32":
        videos = [rng.randrange(0, U32_MAX + 1) for _ in range(20)] + [0, U32_MAX]
        forms = [lambda v: v, lambda v: np.uint32(v), lambda v: str(v), lambda v: v.to_bytes(4, "little")]
    else:
        videos = [uuid.UUID(int=rng.getrandbits(128)) for _ in range(20)]
        forms = [lambda v: v, lambda v: v.bytes, lambda v: str(v), lambda v: v.hex.upper()]
    rows = []
    for _ in range(n):
        # Repeated (term, video) pairs are frequent: few videos, few words.
        rows.append((rng.choice(words), rng.choice(forms)(rng.choice(videos)), rng.choice([0, 1, 2, 50, 1 << 20])))
    return rows


def native_layout(rows):
    r = _native.Rows()
    r.add(rows)
    r.lay_out()
    return r.layout()


def native_index_bytes(rows, top_n, tmp_path):
    r = _native.Rows()
    r.add(rows)
    r.lay_out()
    size = r.build(top_n)
    path = tmp_path / "index"
    with open(path, "wb") as f:
        assert r.write(f.write) == size
    return path.read_bytes(), r.term_counts()


@pytest.mark.parametrize("seed", range(12))
def test_random_rows_lay_out_as_the_package_does(seed):
    rng = random.Random(seed)
    rows = random_rows(rng, rng.choice([1, 5, 40, 400]), "int32" if seed % 2 else "uuid")
    assert native_layout(rows) == tuple(quillmesh.layout(rows))


@pytest.mark.parametrize("rows", [[]] + [r for r, _ in SAME_AS_PLAIN_INTS] + [
    [("a", 1, U32_MAX - 1), ("a", 1, 1), ("b", U32_MAX, 0)],  # sums at the limit
    [["x", 3, 1], ("y", 4, 2)],  # a row that is not a tuple
])
def test_other_rows_lay_out_as_the_package_does(rows):
    assert native_layout(rows) == tuple(quillmesh.layout(rows))


@pytest.mark.parametrize("seed", range(3))
def test_written_index_and_term_counts_are_the_packages(seed, tmp_path):
    rng = random.Random(100 + seed)
    rows = random_rows(rng, 300, "uuid" if seed else "int32")
    data, (counts, terms) = native_index_bytes(rows, 3 + seed, tmp_path)
    index = quillmesh.build_index(rows, 3 + seed)
    assert data == index.search.to_bytes()
    # The term counts are the body of the index file's TCNT section.
    section = storage._encode_metadata(index.term_counts)
    assert section[12:] == len(index.term_counts).to_bytes(4, "little") + counts + terms


ALL_ERRORS = [(rows, error, message) for rows, error, message in LAYOUT_ERRORS] + [
    ([row], error, message) for row, error, message in REFUSED
] + [
    # Faults met later win only when no earlier row is at fault.
    ([("a", 1, U32_MAX), ("a", 1, 1), ("b", 1.0, 1)], ValueError, "row 1: counts of term 'a' for video_id 1"),
    ([("a", U, U32_MAX), ("a", str(U), 1)], ValueError,
     f"row 1: counts of term 'a' for video_id '{U}' sum to 4294967296"),
    ([("b", 1, U32_MAX), ("b", 2, U32_MAX), ("a", 1, U32_MAX), ("a", 3, 1)], ValueError,
     "counts of term 'a' sum to 4294967296"),  # the first term in order, not in rows
    ([("a", 1, 1), ("b", "x", 1)], ValueError, "row 1: video id 'x' is neither a UUID nor an unsigned decimal"),
]


@pytest.mark.parametrize("rows, error, message", ALL_ERRORS)
def test_faults_have_the_packages_words(rows, error, message):
    with pytest.raises(error) as expected:
        quillmesh.layout(rows)
    r = _native.Rows()
    with pytest.raises(error) as caught:
        r.add(rows)
        r.lay_out()
    assert type(caught.value) is type(expected.value)
    assert str(caught.value) == str(expected.value)
    assert str(caught.value).startswith(message) or message in str(caught.value)
    assert getattr(caught.value, "row", None) == getattr(expected.value, "row", None)
    # A Rows that refused a row refuses to go on.
    with pytest.raises(RuntimeError):
        r.add([("z", 1, 1)])


LINES = [
    # Lines the quick reader takes and lines it leaves to the package's reader.
    "cat\t1\t5", "cat\t1\t2\r", "\r", "", "dog\t0000000012\t3", "dog\t4294967295\t0",
    f"cat\t{U}\t1", f"cat\t{U.hex}\t1", f"cat\t{str(U).upper()}\t1", f"cat\t{{{U}}}\t1",
    f"cat\turn:uuid:{U}\t1", "cat\t00000000000000000000000000000001\t1",  # digits are a number
    "é€𝄞\t7\t007", "a b\t7\t1", "x\t5\t99999999999", "x\t4294967296\t1",
]


def rows_of_lines(lines):
    """What the command line read before the C++ reader: one row per non-empty line."""
    rows = []
    for raw in lines:
        raw = raw.rstrip(b"\r\n")
        if raw:
            rows.append(_parse_line(raw))
    return rows


@pytest.mark.parametrize("seed", range(8))
def test_lines_in_any_chunks_read_as_the_package_reads_them(seed):
    rng = random.Random(seed)
    # One kind of id per file, and no faulty line.
    uuid_lines = [line for line in LINES if any(f in line for f in (str(U), U.hex, str(U).upper()))]
    int_lines = [line for line in LINES if line not in uuid_lines and "99999999999" not in line
                 and "4294967296" not in line]
    lines = (uuid_lines if seed % 2 else int_lines) + ["", "\r"]
    text = "\n".join(rng.choice(lines) for _ in range(200)) + rng.choice(["", "\n", "\r\n"])
    data = text.encode("utf-8")
    r = _native.Rows()
    at = 0
    while at < len(data):
        step = rng.choice([1, 2, 7, 64, 1000])
        r.add_lines(data[at:at + step], _parse_line)
        at += step
    r.end_lines(_parse_line)
    assert r.line == len(data.split(b"\n")) - (1 if data.endswith(b"\n") else 0)
    expected = rows_of_lines(data.split(b"\n"))
    assert r.rows == len(expected)
    r.lay_out()
    assert r.layout() == tuple(quillmesh.layout(expected))


@pytest.mark.parametrize("text, line, message", [
    (b"a\t1\t1\nb\t1\n", 2, "expected 3 tab-separated fields"),
    (b"a\t1\t1\n\n\nb\t1\t99999999999\n", 4, "row 1: count 99999999999 out of range"),
    (b"a\t1\t1\nb\t4294967296\t1", 2, "video id 4294967296 is above 4294967295"),
    (b"a\t1\t1\n\xff\t1\t1\n", 2, "not UTF-8 text (invalid start byte at byte 0)"),
    (b"a\xed\xa0\x80\t1\t1\n", 1, "not UTF-8 text"),  # an encoded surrogate
    (b"\t1\t1\n", 1, "row 0: term is empty"),
    (b"a\0\t1\t1\n", 1, "row 0: term 'a\\x00' contains U+0000"),
    (b"a\t1\t1\nb\t" + str(U).encode() + b"\t1\n", 2, "row 1: video_id is a UUID id but row 0 has an int32 id"),
    (b"a\t1\t4294967295\na\t1\t1\n", 2, "row 1: counts of term 'a' for video_id 1 sum to 4294967296"),
])
def test_faulty_lines(text, line, message):
    r = _native.Rows()
    with pytest.raises(ValueError) as caught:
        r.add_lines(text, _parse_line)
        r.end_lines(_parse_line)
    assert message in str(caught.value)
    assert r.line == line


def test_one_call_at_a_time_and_in_order():
    r = _native.Rows()
    with pytest.raises(RuntimeError, match="lay_out"):
        r.layout()

    def reenter(raw):
        r.add([("x", 1, 1)])

    with pytest.raises(RuntimeError, match="already in use"):
        r.add_lines(b"odd line\n", reenter)
    with pytest.raises(RuntimeError, match="refused"):
        r.lay_out()

    r = _native.Rows()
    r.add([("a", 1, 1)])
    r.lay_out()
    with pytest.raises(RuntimeError, match="already been laid out"):
        r.add([("b", 1, 1)])
    assert r.build(5) > 0
    with pytest.raises(RuntimeError, match="write"):
        r.term_counts()
    pieces = []
    r.write(pieces.append)
    assert len(pieces) == 1 and type(pieces[0]) is bytes
    assert pieces[0] == quillmesh.build([("a", 1, 1)], 5).to_bytes()


def test_interrupted_write_raises_and_spoils():
    r = _native.Rows()
    r.add([("a", 1, 1)])
    r.lay_out()
    r.build(1)

    def stop(piece):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        r.write(stop)
    with pytest.raises(RuntimeError):
        r.term_counts()
