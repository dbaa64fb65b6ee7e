"""Index files: `save`, `load`, and their in-memory forms `dumps`, `loads`.

A file is a fixed header, the index as `PrefixSearch.to_bytes` writes it,
and an optional metadata part:

====== ===== ==========================================================
offset bytes field
====== ===== ==========================================================
0      8     magic ``89 'Q' 'M' 'X' 0D 0A 1A 0A``
8      4     format version (little-endian), 1
12     8     length of the index bytes
20     8     length of the metadata
28     4     CRC-32 of the index bytes followed by the metadata
32           the index bytes, then the metadata
====== ===== ==========================================================

The magic begins with a byte above 127 and holds CR LF, ^Z and LF, so a
file cut to 7 bits or passed through a text-mode copy no longer matches.
The metadata is a run of sections, each a 4-byte tag, an 8-byte length and
the body; a reader skips the tags it does not know, so later writers can
add sections without a new version. The one section today, ``TCNT``, holds
the term counts of an `Index`: their number n (4 bytes), n counts (4 bytes
each) and the n terms in UTF-8, separated by U+0000 (which no term may hold),
all in the same order. A file without it loads with empty counts.

Files are written to a temporary file beside the target, flushed to disk
and renamed over it, so a reader sees the old file or the new one, never a
part of either.
"""

from __future__ import annotations

import importlib
import os
import struct
import sys
import zlib
from array import array
from typing import Any, Callable, Iterator, Mapping, Optional, Tuple, Union

from _quillmesh import PrefixSearch

from quillmesh.index import Index
from quillmesh.indexfile import BytesLike, as_bytes

__all__ = ["FORMAT_VERSION", "IndexFileError", "dumps", "from_bytes", "load", "loads", "save"]

MAGIC = b"\x89QMX\r\n\x1a\n"
#: The container format this package writes, and the newest it reads.
FORMAT_VERSION = 1
_HEADER = struct.Struct("<8sIQQI")
_SECTION = struct.Struct("<4sQ")
_TERM_COUNTS = b"TCNT"
_U32 = struct.Struct("<I")
# The counts are read and written as one array of 4-byte unsigned integers.
_COUNT_TYPE = "I" if array("I").itemsize == 4 else "L"

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class IndexFileError(ValueError):
    """An index file (or its bytes) cannot be loaded; ``path`` and
    ``problem`` say which and why."""

    def __init__(self, path: str, problem: str) -> None:
        self.path = path
        self.problem = problem
        super().__init__(f"{path}: {problem}")


def from_bytes(data: BytesLike) -> PrefixSearch:
    """`PrefixSearch.from_bytes` for any bytes-like object (bytes, bytearray,
    memoryview, mmap): the bytes of `PrefixSearch.to_bytes`, no container."""
    return PrefixSearch.from_bytes(as_bytes(data))


# -- writing ------------------------------------------------------------------


def _parts(index: Union[Index, PrefixSearch]) -> Tuple[bytes, bytes]:
    if isinstance(index, Index):
        return index.search.to_bytes(), _encode_metadata(index.term_counts)
    if isinstance(index, PrefixSearch):
        return index.to_bytes(), b""
    raise TypeError(f"index must be a quillmesh.Index or a PrefixSearch, not {type(index).__name__}")


def _encode_metadata(term_counts: Mapping[str, int]) -> bytes:
    if not term_counts:
        return b""
    counts = array(_COUNT_TYPE, term_counts.values())
    if sys.byteorder == "big":
        counts.byteswap()
    return _term_counts_section(len(counts), counts.tobytes(), "\0".join(term_counts).encode("utf-8"))


def _term_counts_section(count: int, counts: bytes, terms: bytes) -> bytes:
    """The TCNT section from its parts: ``count`` counts as 4-byte
    little-endian numbers, the terms in UTF-8 separated by U+0000."""
    if not count:
        return b""
    body = b"".join((_U32.pack(count), counts, terms))
    return _SECTION.pack(_TERM_COUNTS, len(body)) + body


def _header(payload: bytes, metadata: bytes) -> bytes:
    checksum = zlib.crc32(metadata, zlib.crc32(payload))
    return _HEADER.pack(MAGIC, FORMAT_VERSION, len(payload), len(metadata), checksum)


def dumps(index: Union[Index, PrefixSearch]) -> bytes:
    """The bytes of the file that `save` would write."""
    payload, metadata = _parts(index)
    return b"".join((_header(payload, metadata), payload, metadata))


def save(index: Union[Index, PrefixSearch], path: PathLike) -> None:
    """Writes ``index`` (an `Index`, or a bare `PrefixSearch`: no term
    counts) to the file ``path``, atomically: a temporary file in the same
    directory is written, flushed to disk and renamed over ``path``."""
    payload, metadata = _parts(index)
    _save_parts(path, lambda write: write(payload), lambda: metadata)


def _save_parts(
    path: PathLike, write_payload: Callable[[Callable[[bytes], object]], object], metadata: Callable[[], bytes]
) -> None:
    """`save` for an index whose bytes come in pieces: ``write_payload(write)``
    calls ``write(piece)`` for each piece in order, and ``metadata()`` gives
    the metadata once they are written. The header, which counts and checks
    both, is written last, in the room left for it."""
    # As text: a bytes path comes back to the same bytes (surrogateescape).
    target = os.fsdecode(os.fspath(path))
    directory, base = os.path.split(target)
    temporary = os.path.join(directory, f".{base}.{os.getpid()}.{os.urandom(4).hex()}.tmp")
    # Created like any new file (the umask applies), and only by us.
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        with open(fd, "wb", closefd=True) as f:
            f.write(bytes(_HEADER.size))
            size = 0
            checksum = 0

            def write(piece: bytes) -> None:
                nonlocal size, checksum
                f.write(piece)
                size += len(piece)
                checksum = zlib.crc32(piece, checksum)

            write_payload(write)
            tail = metadata()
            f.write(tail)
            f.seek(0)
            f.write(_HEADER.pack(MAGIC, FORMAT_VERSION, size, len(tail), zlib.crc32(tail, checksum)))
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_directory(directory)


def _sync_directory(directory: str) -> None:
    # The rename is durable once the directory itself is on disk.
    try:
        fd = os.open(directory or ".", os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


# -- reading ------------------------------------------------------------------


def load(path: PathLike, *, verify: bool = True) -> Index:
    """Reads an index file written by `save` and returns an `Index`.

    Raises `IndexFileError` (a ValueError) naming the file and the problem:
    not an index file (wrong magic bytes), a format version newer than this
    package reads, a truncated file, or a checksum mismatch. With ``verify``
    (the default) the index is also checked to be a consistent tree, as
    every index that `quillmesh.build` makes is; ``verify=False`` skips that
    check, for indexes built from hand-made arrays that are not trees.
    """
    name = os.fsdecode(os.fspath(path))
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        header = f.read(_HEADER.size)
        payload_size, metadata_size, checksum = _check_header(name, header, size)
        payload = f.read(payload_size)
        metadata = f.read(metadata_size)
    if len(payload) != payload_size or len(metadata) != metadata_size:
        raise IndexFileError(name, "the file changed while it was read")
    return _restore(name, payload, metadata, checksum, verify)


def loads(data: BytesLike, *, verify: bool = True) -> Index:
    """`load` for the bytes of an index file (any bytes-like object)."""
    view = memoryview(data).cast("B")
    name = "<bytes>"
    payload_size, metadata_size, checksum = _check_header(name, view[: _HEADER.size], len(view))
    start = _HEADER.size
    payload = bytes(view[start : start + payload_size])
    metadata = view[start + payload_size :]
    return _restore(name, payload, metadata, checksum, verify)


def _check_header(name: str, header: BytesLike, size: int) -> Tuple[int, int, int]:
    if len(header) < len(MAGIC) or bytes(header[: len(MAGIC)]) != MAGIC:
        raise IndexFileError(name, "not a quillmesh index file (wrong magic bytes)")
    if len(header) < _HEADER.size:
        raise IndexFileError(name, f"truncated: {size} bytes, shorter than the {_HEADER.size}-byte header")
    _, version, payload_size, metadata_size, checksum = _HEADER.unpack(header)
    if version > FORMAT_VERSION:
        raise IndexFileError(
            name,
            f"format version {version} is newer than this quillmesh reads "
            f"(up to {FORMAT_VERSION}); upgrade quillmesh to load it",
        )
    if version < 1:
        raise IndexFileError(name, f"unknown format version {version}")
    expected = _HEADER.size + payload_size + metadata_size
    if size < expected:
        raise IndexFileError(name, f"truncated: the header announces {expected} bytes, the file holds {size}")
    if size > expected:
        raise IndexFileError(name, f"{size - expected} unexpected bytes after the announced {expected}")
    return payload_size, metadata_size, checksum


def _restore(name: str, payload: bytes, metadata: BytesLike, checksum: int, verify: bool) -> Index:
    if zlib.crc32(metadata, zlib.crc32(payload)) != checksum:
        raise IndexFileError(name, "checksum mismatch: the file is damaged")
    if verify:
        _verify(name, payload)
    try:
        search = PrefixSearch.from_bytes(payload)
    except ValueError as e:
        raise IndexFileError(name, f"the index does not decode ({e})") from None
    return Index(search, _term_counts(name, metadata))


def _verify(name: str, payload: bytes) -> None:
    try:
        verify_tree = importlib.import_module("quillmesh._native").verify_tree
    except (ImportError, AttributeError):
        raise IndexFileError(
            name, "cannot verify the index: quillmesh._native is missing (verify=False loads it unchecked)"
        ) from None
    try:
        verify_tree(payload)
    except ValueError as e:
        raise IndexFileError(
            name, f"the index is not a consistent tree ({e}); verify=False loads it anyway"
        ) from None


def _sections(name: str, metadata: BytesLike) -> Iterator[Tuple[bytes, memoryview]]:
    view = memoryview(metadata)
    at = 0
    while at < len(view):
        if len(view) - at < _SECTION.size:
            raise IndexFileError(name, "the metadata ends inside a section header")
        tag, length = _SECTION.unpack(view[at : at + _SECTION.size])
        at += _SECTION.size
        if length > len(view) - at:
            raise IndexFileError(name, f"metadata section {tag!r} runs past the end of the file")
        yield bytes(tag), view[at : at + length]
        at += length


def _term_counts(name: str, metadata: BytesLike) -> Optional[dict[str, int]]:
    found: Optional[dict[str, int]] = None
    for tag, body in _sections(name, metadata):
        if tag == _TERM_COUNTS:
            found = _decode_term_counts(name, body)
    return found


def _decode_term_counts(name: str, body: memoryview) -> dict[str, int]:
    problem = "the term counts are malformed"
    if len(body) < _U32.size:
        raise IndexFileError(name, problem)
    (count,) = _U32.unpack(body[: _U32.size])
    end = _U32.size + 4 * count
    if end > len(body):
        raise IndexFileError(name, problem)
    counts = array(_COUNT_TYPE)
    counts.frombytes(body[_U32.size : end])
    if sys.byteorder == "big":
        counts.byteswap()
    try:
        terms = str(body[end:], "utf-8").split("\0") if count else []
    except UnicodeDecodeError:
        raise IndexFileError(name, f"{problem} (a term is not UTF-8)") from None
    if len(terms) != count:
        raise IndexFileError(name, problem)
    return dict(zip(terms, counts))
