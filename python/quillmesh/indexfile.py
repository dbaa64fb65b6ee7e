"""Counts read straight from a serialized index, without loading it.

The serialized index is the eight trie fields one after another: varints
(one byte up to 250, else a marker 251/252/253 and 2/4/8 little-endian
bytes), length-prefixed sequences, UTF-8 characters, optional payloads with a
tag byte, 16-byte ids, and one byte per boolean. Only the structure is
walked here; the module's own decoder stays the judge of validity.
"""

from __future__ import annotations

import functools
import mmap
import re
from typing import NamedTuple, Pattern, Union

__all__ = ["BytesLike", "IndexCounts", "IndexFormatError", "as_bytes", "read_counts"]

#: What the package's helpers take where they take serialized bytes.
BytesLike = Union[bytes, bytearray, memoryview, mmap.mmap]


def as_bytes(data: BytesLike) -> bytes:
    """``data`` as `bytes` (itself if it already is): the extension's
    `from_bytes` takes nothing else. Raises TypeError for an object that is
    not bytes-like (a str, an int)."""
    if type(data) is bytes:
        return data
    return memoryview(data).tobytes()


class IndexFormatError(ValueError):
    """The bytes end early or hold a marker the format does not allow."""


class IndexCounts(NamedTuple):
    """What a serialized index holds, counted without loading it."""

    nodes: int
    edges: int
    terminals: int
    videos: int
    id_mode: str  # "uuid" or "int32"
    size: int  # bytes taken by the eight fields


_VARINT = rb"(?:[\x00-\xfa]|\xfb[\x00-\xff]{2}|\xfc[\x00-\xff]{4}|\xfd[\x00-\xff]{8})"
_CHAR = rb"(?:[\x00-\x7f]|[\xc2-\xdf][\x00-\xff]|[\xe0-\xef][\x00-\xff]{2}|[\xf0-\xf4][\x00-\xff]{3})"
# Regular-expression repeats stay far below the engine's limit; longer
# sequences are skipped in chunks.
_CHUNK = 1 << 16
_WIDTH = {251: 3, 252: 5, 253: 9}
# Payloads are walked by the regular-expression engine too, thousands at a
# time, when their lists are short: a Python loop per node would take seconds
# on a word-list index. A payload with a longer list is walked by hand.
_SHORT_LIST = 128
_PAYLOAD_CHUNK = 4096


def _payload_item() -> bytes:
    shapes = []
    for k in range(_SHORT_LIST + 1):
        length = re.escape(bytes([k]))
        items = _VARINT + b"{%d}" % k if k else b""
        shapes.append(length + items + length + items)
    return b"(?:\x00|\x01" + _VARINT + b"(?:" + b"|".join(shapes) + b"))"


_PAYLOAD = _payload_item()


@functools.lru_cache(maxsize=16)
def _repeat(item: bytes, count: int) -> Pattern[bytes]:
    return re.compile(item + b"{%d}" % count, re.DOTALL)


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def _end(self, what: str) -> IndexFormatError:
        return IndexFormatError(f"index data ends inside {what} (at byte {self.pos})")

    def varint(self, what: str) -> int:
        data, pos = self.data, self.pos
        if pos >= len(data):
            raise self._end(what)
        marker = data[pos]
        if marker <= 250:
            self.pos = pos + 1
            return marker
        width = _WIDTH.get(marker)
        if width is None:
            raise IndexFormatError(f"bad number marker {marker} in {what} at byte {pos}")
        if pos + width > len(data):
            raise self._end(what)
        self.pos = pos + width
        return int.from_bytes(data[pos + 1 : pos + width], "little")

    def length(self, what: str) -> int:
        value = self.varint(f"the length of {what}")
        if value > 0xFFFF_FFFF:
            raise IndexFormatError(f"length {value} of {what} is out of range")
        return value

    def skip(self, item: bytes, count: int, what: str) -> None:
        while count:
            step = min(count, _CHUNK)
            match = _repeat(item, step).match(self.data, self.pos)
            if match is None:
                raise IndexFormatError(f"{what} is cut short or malformed after byte {self.pos}")
            self.pos = match.end()
            count -= step

    def payloads(self, count: int) -> None:
        while count:
            step = min(count, _PAYLOAD_CHUNK)
            match = _repeat(_PAYLOAD, step).match(self.data, self.pos)
            if match is not None:
                self.pos = match.end()
            else:
                for _ in range(step):
                    self.payload()
            count -= step

    def payload(self) -> None:
        tag = self.byte("a payload tag")
        if tag == 0:
            return
        if tag != 1:
            raise IndexFormatError(f"bad payload tag {tag} at byte {self.pos - 1}")
        self.varint("total_count")
        self.skip(_VARINT, self.length("video_ids"), "video_ids")
        self.skip(_VARINT, self.length("video_counts"), "video_counts")

    def byte(self, what: str) -> int:
        if self.pos >= len(self.data):
            raise self._end(what)
        value = self.data[self.pos]
        self.pos += 1
        return value

    def raw(self, count: int, what: str) -> None:
        if self.pos + count > len(self.data):
            raise self._end(what)
        self.pos += count


def read_counts(data: BytesLike) -> IndexCounts:
    """Walks the eight fields of a serialized index (any bytes-like object)
    and counts what they hold."""
    data = as_bytes(data)
    r = _Reader(data)
    r.skip(_VARINT, r.length("node_shifts"), "node_shifts")
    nodes = r.length("child_labels")
    r.skip(_CHAR, nodes, "child_labels")
    edges = r.length("child_transitions")
    r.skip(_VARINT, edges, "child_transitions")

    r.payloads(r.length("payloads"))

    uuids = r.length("video_uuids")
    r.raw(16 * uuids, "video_uuids")
    int_ids = r.length("video_int_ids")
    r.skip(_VARINT, int_ids, "video_int_ids")
    mode = r.varint("id_mode")
    if mode > 1:
        raise IndexFormatError(f"bad id mode {mode}")

    flags = r.length("is_terminal")
    start = r.pos
    r.raw(flags, "is_terminal")
    ones = data.count(b"\x01", start, r.pos)
    if data.count(b"\x00", start, r.pos) + ones != flags:
        raise IndexFormatError("is_terminal holds a byte other than 0 or 1")
    return IndexCounts(
        nodes=nodes,
        edges=edges,
        terminals=ones,
        videos=int_ids if mode == 1 else uuids,
        id_mode="int32" if mode == 1 else "uuid",
        size=r.pos,
    )
