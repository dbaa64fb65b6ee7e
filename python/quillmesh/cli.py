"""The `quillmesh` command: build an index from a TSV file, query it, describe it.

    quillmesh build ROWS.tsv -o INDEX [--header] [--top-n N] [--progress | --no-progress]
    quillmesh query INDEX TERM [--max-dist K] [--limit L] [--videos]
                    [--prefix auto|yes|no] [--min-score S] [--json]
    quillmesh info INDEX [--json]

Every failure is reported as one line on standard error with a non-zero exit
status: 2 for bad arguments, 1 for everything else.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
import uuid
from typing import IO, Any, Callable, List, NoReturn, Optional, Sequence, Tuple, Union

from _quillmesh import PrefixSearch

from quillmesh import _native, storage
from quillmesh.builder import DEFAULT_VIDEO_TOP_N, U32_MAX, RowError, video_id_from_text
from quillmesh.indexfile import IndexFormatError, read_counts
from quillmesh.version import __version__

__all__ = ["main"]

PROG = "quillmesh"
# Rows files are read in pieces of this size; the progress bar moves between them.
READ_CHUNK = 1 << 20


class Failure(Exception):
    """An error to report as one line, then exit with ``status``."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    # argparse prints the usage block before the error; one line is enough.
    def error(self, message: str) -> NoReturn:
        raise Failure(f"{self.prog}: {message} (see '{self.prog} --help')", 2)


def _u32(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= U32_MAX:
        raise argparse.ArgumentTypeError(f"{value} is out of range 0..{U32_MAX}")
    return value


def _score(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError("must be a number, not nan")
    return value


def _parser() -> _Parser:
    parser = _Parser(prog=PROG, description="Typo-tolerant search over terms and videos.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    build = commands.add_parser(
        "build",
        help="build an index from a TSV file of rows",
        description="Build an index from rows 'term<TAB>video_id<TAB>count', one per line. "
        "video_id is a UUID (text such as 0f8fad5b-d9cb-469f-a165-70867728950e) or an "
        "unsigned decimal below 2^32, one kind per file; count is an unsigned decimal. "
        "Repeated (term, video) rows have their counts summed. Empty lines are skipped.",
    )
    build.add_argument("rows", metavar="ROWS.tsv", help="the rows ('-' reads standard input)")
    build.add_argument("-o", "--output", metavar="INDEX", required=True, help="the index file to write")
    build.add_argument("--header", action="store_true", help="skip the first line (column names)")
    build.add_argument(
        "--top-n",
        type=_u32,
        default=DEFAULT_VIDEO_TOP_N,
        metavar="N",
        help=f"videos kept per trie node (default {DEFAULT_VIDEO_TOP_N})",
    )
    build.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show each phase's progress on standard error (default: when it is a terminal)",
    )

    query = commands.add_parser(
        "query",
        help="find terms or rank videos for a term",
        description="Find the stored terms within --max-dist edits of TERM (closest first), "
        "or with --videos rank the videos of the matching terms (best first).",
    )
    query.add_argument("index", metavar="INDEX")
    query.add_argument("term", metavar="TERM")
    query.add_argument("--max-dist", type=_u32, default=1, metavar="K", help="edits allowed (default 1)")
    query.add_argument("--limit", type=_u32, metavar="L", help="show at most L results")
    query.add_argument("--videos", action="store_true", help="rank videos instead of listing terms")
    query.add_argument(
        "--prefix",
        choices=("auto", "yes", "no"),
        help="with --videos: also match prefixes of stored terms: always (yes), never (no), "
        "or only when no whole term matches (auto, the default)",
    )
    query.add_argument(
        "--min-score", type=_score, metavar="S", help="with --videos: drop videos scoring below S (default 0.01)"
    )
    query.add_argument("--json", action="store_true", help="print a JSON array")

    info = commands.add_parser("info", help="describe an index file")
    info.add_argument("index", metavar="INDEX")
    info.add_argument("--json", action="store_true", help="print a JSON object")
    return parser


# -- reading rows -------------------------------------------------------------


class _Progress:
    """What each phase of a build is doing, on standard error: a bar for the
    phases that can count (reading, writing), a line for the others,
    redrawn at most ten times a second. Silent when not shown."""

    def __init__(self, stream: IO[str], shown: bool) -> None:
        self.stream = stream
        self.shown = shown
        self.drawn = -1.0
        self.started = 0.0

    def bar(self, label: str, done: int, total: int, note: str, final: bool = False) -> None:
        if not self.shown:
            return
        now = time.monotonic()
        if not final and now - self.drawn < 0.1:
            return
        self.drawn = now
        if total > 0:
            fraction = min(done / total, 1.0)
            filled = int(fraction * 30)
            line = f"{label} [{'#' * filled}{'.' * (30 - filled)}] {fraction:4.0%} {note}"
        else:
            line = f"{label} {note}"
        self.stream.write(f"\r{line}\x1b[K" if not final else f"\r{line}\x1b[K\n")
        self.stream.flush()

    def begin(self, label: str) -> None:
        """A phase that cannot count: its name now, its time at end()."""
        self.started = time.monotonic()
        if self.shown:
            self.stream.write(f"{label} ...")
            self.stream.flush()

    def end(self) -> None:
        if self.shown:
            self.stream.write(f" {time.monotonic() - self.started:.2f} s\n")
            self.stream.flush()


def _parse_line(raw: bytes) -> Tuple[str, Union[int, uuid.UUID], int]:
    try:
        line = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"not UTF-8 text ({e.reason} at byte {e.start})") from None
    fields = line.split("\t")
    if len(fields) != 3:
        raise ValueError(f"expected 3 tab-separated fields (term, video_id, count), found {len(fields)}")
    term, video, count = fields
    if not (count.isascii() and count.isdigit()):
        raise ValueError(f"count {count!r} is not an unsigned decimal")
    return term, video_id_from_text(video), int(count)


def _read_rows(stream: IO[bytes], name: str, size: int, progress: _Progress, header: bool) -> _native.Rows:
    """The rows of a TSV file, gathered in C++ (quillmesh._native.Rows);
    with ``header``, the first line (column names) is skipped unread."""
    rows = _native.Rows()
    label = f"reading {os.path.basename(name)}"
    done = 0
    try:
        if header:
            done += len(stream.readline())
            rows.line = 1
        while True:
            chunk = stream.read(READ_CHUNK)
            if not chunk:
                break
            done += len(chunk)
            rows.add_lines(chunk, _parse_line)
            progress.bar(label, done, size, f"{rows.rows} rows")
        rows.end_lines(_parse_line)
    except RowError as e:
        raise Failure(f"{name}:{rows.line}: {e.reason}") from None
    except ValueError as e:
        raise Failure(f"{name}:{rows.line}: {e}") from None
    progress.bar(label, size, size, f"{rows.rows} rows", final=True)
    return rows


def _write_index(path: str, rows: _native.Rows, size: int, progress: _Progress) -> None:
    """Writes the index file (as `quillmesh.save` writes an `Index`, term
    counts included) straight from the C++ side, one piece at a time: the
    index bytes are never all in memory at once."""
    label = f"writing {os.path.basename(path)}"
    note = f"{size >> 20} MiB"
    done = 0

    def write_payload(write: Callable[[bytes], object]) -> None:
        def piece(data: bytes) -> None:
            nonlocal done
            write(data)
            done += len(data)
            progress.bar(label, done, size, note)

        rows.write(piece)

    def metadata() -> bytes:
        counts, terms = rows.term_counts()
        return storage._term_counts_section(len(counts) // 4, counts, terms)

    try:
        storage._save_parts(path, write_payload, metadata)
    except OSError as e:
        raise Failure(f"cannot write {path}: {e.strerror}") from None
    progress.bar(label, size, size, note, final=True)


# -- commands -----------------------------------------------------------------


def _cmd_build(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    started = time.perf_counter()
    name = args.rows
    if name == "-":
        stream: IO[bytes] = sys.stdin.buffer
        name = "<stdin>"
        size = 0
    else:
        try:
            stream = open(name, "rb")
            size = os.fstat(stream.fileno()).st_size
        except OSError as e:
            raise Failure(f"cannot read {name}: {e.strerror}") from None
    show = args.progress
    if show is None:
        show = err.isatty()
    progress = _Progress(err, show)
    with stream:
        try:
            rows = _read_rows(stream, name, size, progress, args.header)
        except OSError as e:
            raise Failure(f"cannot read {name}: {e.strerror}") from None

    progress.begin(f"laying out {rows.rows} rows")
    try:
        terms, nodes, videos, kind = rows.lay_out()
    except RowError as e:
        raise Failure(f"{name}: {e.reason}") from None
    progress.end()
    progress.begin(f"building {nodes} nodes (top {args.top_n} videos per node)")
    size = rows.build(args.top_n)
    progress.end()
    _write_index(args.output, rows, size, progress)

    kind_text = {None: "no", "int32": "int32", "uuid": "UUID"}[kind]
    out.write(
        f"wrote {args.output}: {rows.rows} rows, {terms} terms, {nodes} nodes, "
        f"{videos} videos ({kind_text} ids), {size} bytes "
        f"in {time.perf_counter() - started:.2f} s\n"
    )
    return 0


def _load(path: str) -> Tuple[PrefixSearch, bytes]:
    """The index in ``path`` and its `to_bytes` form: an index file that
    `quillmesh.save` wrote (checked, verified), or bare `to_bytes` output."""
    try:
        with open(path, "rb") as f:
            if f.read(len(storage.MAGIC)) == storage.MAGIC:
                f.close()
                search = storage.load(path).search
                return search, search.to_bytes()
            f.seek(0)
            data = f.read()
    except storage.IndexFileError as e:
        raise Failure(str(e)) from None
    except OSError as e:
        raise Failure(f"cannot read {path}: {e.strerror}") from None
    try:
        return PrefixSearch.from_bytes(data), data
    except ValueError as e:
        raise Failure(f"{path}: not a quillmesh index ({e})") from None


def _cmd_query(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    if not args.videos and (args.prefix is not None or args.min_score is not None):
        raise Failure(f"{PROG} query: --prefix and --min-score apply only with --videos", 2)
    try:
        args.term.encode("utf-8")
    except UnicodeEncodeError:
        raise Failure(f"the term {args.term!r} is not valid UTF-8 text") from None
    index, _ = _load(args.index)
    if args.videos:
        include_prefix = {None: None, "auto": None, "yes": True, "no": False}[args.prefix]
        videos = index.fuzzy_match_video(
            args.term,
            max_dist=args.max_dist,
            limit=args.limit,
            include_prefix_nodes=include_prefix,
            min_score=args.min_score,
        )
        if args.json:
            json.dump([{"video": v, "score": s} for v, s in videos], out)
            out.write("\n")
        else:
            for video, score in videos:
                out.write(f"{score:.6f}  {video}\n")
    else:
        # The matcher yields terms in trie order and its limit keeps the first
        # ones met; a reader wants the closest, so sort, then cut.
        terms = sorted(index.fuzzy_match(args.term, max_dist=args.max_dist), key=lambda m: (m[2], m[0]))
        if args.limit is not None:
            terms = terms[: args.limit]
        if args.json:
            json.dump([{"term": t, "distance": d} for t, _, d in terms], out, ensure_ascii=False)
            out.write("\n")
        else:
            for term, _, distance in terms:
                out.write(f"{distance}  {term}\n")
    return 0


def _cmd_info(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    index, data = _load(args.index)
    try:
        counts = read_counts(data)
    except IndexFormatError as e:
        raise Failure(f"{args.index}: {e}") from None
    encoded = len(index.to_bytes())
    facts: dict[str, Any] = {
        "nodes": counts.nodes,
        "terminals": counts.terminals,
        "edges": counts.edges,
        "videos": counts.videos,
        "id_mode": counts.id_mode,
        "encoded_size": encoded,
        "file_size": os.path.getsize(args.index),
    }
    if args.json:
        json.dump(facts, out)
        out.write("\n")
        return 0
    id_text = "UUID" if counts.id_mode == "uuid" else "int32"
    out.write(f"nodes:        {counts.nodes}\n")
    out.write(f"terminals:    {counts.terminals} (stored terms)\n")
    out.write(f"videos:       {counts.videos} ({id_text} ids)\n")
    out.write(f"encoded size: {encoded} bytes\n")
    if len(data) != encoded:  # bare to_bytes output with bytes after it
        out.write(f"file size:    {len(data)} bytes ({len(data) - counts.size} trailing bytes ignored)\n")
    return 0


_COMMANDS: dict[str, Callable[[argparse.Namespace, IO[str], IO[str]], int]] = {
    "build": _cmd_build,
    "query": _cmd_query,
    "info": _cmd_info,
}


def _is_panic(error: BaseException) -> bool:
    # The module's invariant failures derive from BaseException, so that
    # ordinary handlers miss them; they mean the index file is inconsistent.
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    out, err = sys.stdout, sys.stderr
    try:
        args = _parser().parse_args(argv)
        return _COMMANDS[args.command](args, out, err)
    except Failure as e:
        err.write(f"{PROG}: error: {e}\n" if e.status != 2 else f"{e}\n")
        return e.status
    except KeyboardInterrupt:
        err.write(f"{PROG}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); nothing more to say.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 1
    except (ValueError, TypeError, OverflowError, MemoryError, OSError) as e:
        err.write(f"{PROG}: error: {e}\n")
        return 1
    except BaseException as e:
        if isinstance(e, SystemExit):
            raise
        if _is_panic(e):
            err.write(f"{PROG}: error: the index is inconsistent ({e})\n")
        else:
            err.write(f"{PROG}: internal error: {type(e).__name__}: {e}\n")
        return 1
