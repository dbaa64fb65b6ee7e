"""Rows as users hold them: NumPy and other __index__ integers, ids as text
the way the command line reads them, with the command line's error texts;
and the command line's --header and error positions."""

import uuid

import numpy as np
import pytest

import quillmesh
from quillmesh import RowError, RowTypeError
from test_cli import run

U = uuid.UUID("0f8fad5b-d9cb-469f-a165-70867728950e")


class Index_:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


SAME_AS_PLAIN_INTS = [
    # (rows written another way, the same rows with plain ints / UUIDs)
    ([("cat", np.uint32(7), np.int64(3)), ("car", np.int8(2), np.uint64(1))], [("cat", 7, 3), ("car", 2, 1)]),
    ([("cat", Index_(7), Index_(3))], [("cat", 7, 3)]),
    ([("cat", "7", 3), ("car", "4294967295", 1)], [("cat", 7, 3), ("car", 4294967295, 1)]),
    ([("cat", "00", 3)], [("cat", 0, 3)]),
    ([("cat", str(U), 1), ("car", U.hex, 2), ("cab", "{" + str(U).upper() + "}", 3)], [("cat", U, 1), ("car", U, 2), ("cab", U, 3)]),
    ([("cat", f"urn:uuid:{U}", 1)], [("cat", U.bytes, 1)]),
]


@pytest.mark.parametrize("rows, plain", SAME_AS_PLAIN_INTS)
def test_other_forms_build_the_same_index(rows, plain):
    assert quillmesh.build(rows).to_bytes() == quillmesh.build(plain).to_bytes()
    assert dict(quillmesh.build_index(rows).term_counts) == dict(quillmesh.build_index(plain).term_counts)


REFUSED = [
    # (row, error type, message)
    # NumPy's truth type is "bool_" before NumPy 2, "bool" from then on.
    (("cat", np.bool_(True), 1), RowTypeError, "row 0: video_id must be 16-byte bytes, uuid.UUID, 4-byte bytes, int or str, not bool"),
    (("cat", True, 1), RowTypeError, "not bool"),
    (("cat", 1, np.bool_(False)), RowTypeError, "row 0: count must be int, not bool"),
    (("cat", 1, np.float64(2.0)), RowTypeError, "row 0: count must be int, not float64"),
    (("cat", 1.0, 1), RowTypeError, "not float"),
    (("cat", np.int64(-1), 1), RowError, "row 0: video_id -1 out of range 0..4294967295"),
    (("cat", 1, np.uint64(2**32)), RowError, "row 0: count 4294967296 out of range 0..4294967295"),
    (("cat", 1, Index_(-5)), RowError, "row 0: count -5 out of range"),
]


@pytest.mark.parametrize("row, error, message", REFUSED)
def test_refused_values(row, error, message):
    with pytest.raises(error) as caught:
        quillmesh.build([row])
    assert str(caught.value).startswith("row 0: ") and message in str(caught.value)


TEXT_IDS = ["x", "4294967296", "-3", "12a", "", " 7", "0f8fad5b-d9cb-469f-a165-70867728950"]


@pytest.mark.parametrize("text", TEXT_IDS)
def test_text_ids_fail_with_the_command_lines_words(tmp_path, text):
    with pytest.raises(RowError) as caught:
        quillmesh.build([("ok", "1", 1), ("cat", text, 1)])
    assert caught.value.row == 1
    rows = tmp_path / "rows.tsv"
    rows.write_text(f"ok\t1\t1\ncat\t{text}\t1\n", encoding="utf-8")
    done = run("build", rows, "-o", tmp_path / "x.qm")
    assert done.returncode == 1
    assert done.stderr == f"quillmesh: error: {rows}:2: {caught.value.reason}\n"


def test_text_and_integer_ids_of_one_kind_mix_but_kinds_do_not():
    assert quillmesh.build([("a", "5", 1), ("b", 5, 1)]).to_bytes() == quillmesh.build([("a", 5, 1), ("b", 5, 1)]).to_bytes()
    with pytest.raises(RowError, match="row 1: video_id is a UUID id but row 0 has an int32 id"):
        quillmesh.build([("a", "5", 1), ("b", str(U), 1)])


HEADER_CASES = [
    # (file, extra args, exit status, what must be in stdout or stderr)
    ("term\tvideo\tcount\ncat\t1\t2\n", ["--header"], 0, "1 rows, 1 terms"),
    ("term\tvideo\tcount\ncat\t1\t2\n", [], 1, "rows.tsv:1: count 'count' is not an unsigned decimal"),
    ("cat\t1\t2\ncar\t2\t1\n", ["--header"], 0, "1 rows, 1 terms"),  # the first line goes, whatever it holds
    ("h\n\ncat\t1\t2\ncar\tz\t1\n", ["--header"], 1, "rows.tsv:4: video id 'z'"),  # lines count the header
    ("\ncat\t1\t2\n", ["--header"], 0, "1 rows"),  # an empty first line is the header
]


@pytest.mark.parametrize("text, extra, status, expected", HEADER_CASES)
def test_header_and_line_numbers(tmp_path, text, extra, status, expected):
    rows = tmp_path / "rows.tsv"
    rows.write_text(text, encoding="utf-8")
    done = run("build", rows, "-o", tmp_path / "x.qm", *extra)
    assert done.returncode == status, done.stderr
    assert expected in (done.stdout if status == 0 else done.stderr)


def test_tied_videos_follow_the_order_the_rows_name_them_not_the_ids():
    # Video numbers are first-seen positions: 900 named first ranks first.
    assert [v for v, _ in quillmesh.build([("cat", 900, 2), ("cat", 7, 2)]).fuzzy_match_video("cat")] == ["900", "7"]
    assert [v for v, _ in quillmesh.build([("cat", 7, 2), ("cat", 900, 2)]).fuzzy_match_video("cat")] == ["7", "900"]
