"""Lay out (term, video, count) rows as the flat arrays of a search index.

`layout` turns rows into the arrays that
`PrefixSearch.from_internal_data_v2` takes; `build` also calls it.

The layout, stated once here:

* Nodes are numbered breadth-first from the root (node 0, label ``''``).
  The children of a node are consecutive node numbers, in ascending code
  point order of their labels, so a level of the trie holds its nodes in
  lexicographic order of the strings they spell.
* ``child_transitions`` is therefore ``[1, 2, ..., N-1]``: every node but the
  root is listed once, and ``node_shifts[n]`` is the number of children of
  the nodes before ``n`` (the start of ``n``'s edge range; a leaf's range is
  empty).
* A node where a term ends carries the payload
  ``(total_count, video_ids, video_counts)``: the term's videos in the order
  in which the rows first named them, each with its counts summed, and
  ``total_count`` the sum of those counts. Other nodes carry ``None``.
* ``video_index`` holds each distinct video id once, in the order in which
  the rows first named it: a UUID as its 16 bytes, an int id as its 4 bytes,
  little-endian.

The trie is made from the sorted distinct terms in one pass: consecutive
terms share their longest common prefix, so each term adds exactly the nodes
past that prefix, and appending them to per-depth lists yields breadth-first
order directly (breadth-first order is depth-first order stably sorted by
depth when children are visited in label order).
"""

from __future__ import annotations

import gc
import operator
import uuid
from itertools import accumulate, chain
from typing import Any, Iterable, List, NamedTuple, Optional, SupportsIndex, Tuple, Union

from _quillmesh import PrefixSearch

from quillmesh.index import Index

__all__ = [
    "DEFAULT_VIDEO_TOP_N",
    "Layout",
    "Payload",
    "RowError",
    "RowTypeError",
    "VideoId",
    "build",
    "build_index",
    "layout",
]

U32_MAX = 0xFFFF_FFFF

#: How many videos each node keeps after propagation, unless told otherwise.
DEFAULT_VIDEO_TOP_N = 100

#: A video identifier as `layout` accepts it: 16 bytes or a `uuid.UUID` for
#: UUID ids, 4 bytes (little-endian) or an integer (an int, or anything with
#: ``__index__``) for 32-bit ids, or either kind as text, as the command line
#: reads it (`video_id_from_text`).
VideoId = Union[bytes, uuid.UUID, int, SupportsIndex, str]

#: One node payload: (total_count, video_ids, video_counts).
Payload = Tuple[int, List[int], List[int]]


class Layout(NamedTuple):
    """The arrays of an index, in the argument order of from_internal_data_v2."""

    node_shifts: list[int]
    child_labels: list[str]
    payloads: list[Optional[Payload]]
    child_transitions: list[int]
    video_index: list[bytes]


class RowError(ValueError):
    """A row holds a value that cannot go into an index.

    ``row`` is the position of the offending row in the input (counted from
    0), or None when the fault belongs to a term as a whole.
    """

    def __init__(self, row: Optional[int], reason: str) -> None:
        self.row = row
        self.reason = reason
        super().__init__(reason if row is None else f"row {row}: {reason}")


class RowTypeError(TypeError):
    """A row, or a value in it, has the wrong type; ``row`` counts from 0."""

    def __init__(self, row: int, reason: str) -> None:
        self.row = row
        self.reason = reason
        super().__init__(f"row {row}: {reason}")


_KIND_NAMES = {"uuid": "a UUID", "int32": "an int32"}


def _type_name(value: object) -> str:
    return type(value).__name__


def _check_str(row: int, term: object) -> str:
    if not isinstance(term, str):
        raise RowTypeError(row, f"term must be str, not {_type_name(term)}")
    return str(term)


def _check_new_term(row: int, term: str) -> None:
    if not term:
        raise RowError(row, "term is empty")
    if "\0" in term:
        # U+0000 is the "no label" mark: a node labelled with it is unreachable.
        raise RowError(row, f"term {term!r} contains U+0000")
    try:
        term.encode("utf-8")
    except UnicodeEncodeError:
        raise RowError(row, f"term {term!r} is not valid Unicode text (lone surrogate)") from None


def _integer(value: object) -> Optional[int]:
    """``value`` as an int if it is an integer (an int, or any type with
    ``__index__`` such as NumPy's integers), else None. Truth values are not
    integers here, Python's or NumPy's."""
    if isinstance(value, bool) or type(value).__name__ == "bool_":
        return None
    if isinstance(value, int):
        return int(value)
    if hasattr(type(value), "__index__"):
        return operator.index(value)  # type: ignore[arg-type]
    return None


def video_id_from_text(text: str) -> Union[int, uuid.UUID]:
    """A video id written as text: an unsigned decimal (a 32-bit id) or a
    UUID in any form `uuid.UUID` reads. Raises ValueError saying why not."""
    if text.isascii() and text.isdigit():
        value = int(text)
        if value > U32_MAX:
            raise ValueError(f"video id {text} is above {U32_MAX}")
        return value
    try:
        return uuid.UUID(text)
    except ValueError:
        raise ValueError(f"video id {text!r} is neither a UUID nor an unsigned decimal") from None


def _video_key(row: int, video_id: object) -> Tuple[str, Union[int, bytes]]:
    """The id kind and a key under which equal ids compare equal."""
    if isinstance(video_id, str):
        try:
            video_id = video_id_from_text(video_id)
        except ValueError as e:
            raise RowError(row, str(e)) from None
    if isinstance(video_id, (bytes, bytearray)):
        width = len(video_id)
        if width == 16:
            return "uuid", bytes(video_id)
        if width == 4:
            return "int32", int.from_bytes(video_id, "little")
        raise RowError(row, f"video_id bytes must be 16 (UUID) or 4 (int32) bytes long, not {width}")
    if isinstance(video_id, uuid.UUID):
        return "uuid", video_id.bytes
    number = _integer(video_id)
    if number is not None:
        if not 0 <= number <= U32_MAX:
            raise RowError(row, f"video_id {number} out of range 0..{U32_MAX}")
        return "int32", number
    raise RowTypeError(
        row,
        f"video_id must be 16-byte bytes, uuid.UUID, 4-byte bytes, int or str, not {_type_name(video_id)}",
    )


def _count(row: int, count: object) -> int:
    number = _integer(count)
    if number is None:
        raise RowTypeError(row, f"count must be int, not {_type_name(count)}")
    if not 0 <= number <= U32_MAX:
        raise RowError(row, f"count {number} out of range 0..{U32_MAX}")
    return number


# The texts of the faults that depend on the rows before. They and the
# helpers above are shared with the C++ layout (quillmesh._native.Rows),
# which calls them to word the same faults in the same order.


def _row_items(row: int, entry: Any) -> Tuple[Any, Any, Any]:
    """The three items of a row that is not a plain 3-tuple."""
    try:
        term, video_id, count = entry
    except TypeError:
        raise RowTypeError(row, f"a row must be a (term, video_id, count) tuple, not {_type_name(entry)}") from None
    except ValueError:
        raise RowError(row, "a row must have 3 items (term, video_id, count)") from None
    return term, video_id, count


def _mixed_ids(row: int, row_kind: str, kind: str, kind_row: int) -> RowError:
    return RowError(
        row,
        f"video_id is {_KIND_NAMES[row_kind]} id but row {kind_row} has "
        f"{_KIND_NAMES[kind]} id; an index holds one kind of id",
    )


def _pair_overflow(row: int, term: str, video_id: object, total: int) -> RowError:
    return RowError(row, f"counts of term {term!r} for video_id {video_id!r} sum to {total}, above {U32_MAX}")


def _term_overflow(term: str, total: int) -> RowError:
    return RowError(None, f"counts of term {term!r} sum to {total}, above {U32_MAX}")


def _aggregate(
    entries: Iterable[Tuple[str, VideoId, int]],
) -> Tuple[dict[str, dict[int, int]], List[Union[int, bytes]], Optional[str]]:
    """Sums the rows per (term, video); numbers videos in first-seen order."""
    terms: dict[str, dict[int, int]] = {}
    video_numbers: dict[Union[int, bytes], int] = {}
    kind: Optional[str] = None
    kind_row = 0
    for row, entry in enumerate(entries):
        if type(entry) is tuple and len(entry) == 3:
            term, video_id, count = entry
        else:
            term, video_id, count = _row_items(row, entry)

        # Fast paths for the usual types; the helpers give the errors.
        if type(term) is not str:
            term = _check_str(row, term)
        if type(video_id) is int and 0 <= video_id <= U32_MAX:
            row_kind: str = "int32"
            key: Union[int, bytes] = video_id
        else:
            row_kind, key = _video_key(row, video_id)
        if row_kind != kind:
            if kind is not None:
                raise _mixed_ids(row, row_kind, kind, kind_row)
            kind, kind_row = row_kind, row
        if type(count) is not int or not 0 <= count <= U32_MAX:
            count = _count(row, count)

        number = video_numbers.get(key)
        if number is None:
            number = video_numbers[key] = len(video_numbers)
        videos = terms.get(term)
        if videos is None:
            _check_new_term(row, term)
            videos = terms[term] = {}
        total = videos.get(number, 0) + count
        if total > U32_MAX:
            raise _pair_overflow(row, term, video_id, total)
        videos[number] = total
    return terms, list(video_numbers), kind


def layout(entries: Iterable[Tuple[str, VideoId, int]]) -> Layout:
    """Lays out (term, video_id, count) rows as index arrays.

    ``term`` is a non-empty str; ``video_id`` is 16-byte bytes or a
    `uuid.UUID`, or else 4-byte bytes (little-endian) or an integer in
    0..4294967295, or either kind as text (a UUID, an unsigned decimal),
    one kind for all rows; ``count`` is an integer in 0..4294967295.
    Integers are ints or any type with ``__index__`` (NumPy's integers),
    not truth values. Rows repeating a (term, video) pair have their counts
    summed. Raises `RowError` (a ValueError) or `RowTypeError` (a TypeError)
    naming the row at fault.
    """
    return _laid_out(entries, None)


def _laid_out(entries: Iterable[Tuple[str, VideoId, int]], term_counts: Optional[dict[str, int]]) -> Layout:
    """The layout; also fills ``term_counts`` (term -> summed count) if given."""
    # Millions of small containers are made here and none becomes garbage
    # before the end; the cyclic collector's passes over them would double
    # the time.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _layout(entries, term_counts)
    finally:
        if collecting:
            gc.enable()


def _layout(entries: Iterable[Tuple[str, VideoId, int]], term_counts: Optional[dict[str, int]]) -> Layout:
    terms, video_keys, kind = _aggregate(entries)

    ordered = sorted(terms)
    depth_limit = max(map(len, ordered), default=0) + 1
    # Per depth: the labels and child counts of that level's nodes, in order.
    level_labels: list[list[str]] = [[] for _ in range(depth_limit)]
    level_children: list[list[int]] = [[] for _ in range(depth_limit)]
    level_labels[0].append("")
    level_children[0].append(0)
    # path[d]: position, within its level, of the node at depth d on the
    # path of the previous term.
    path = [0] * depth_limit
    terminals: list[Tuple[int, int, str]] = []  # (depth, position, term)

    previous = ""
    for term in ordered:
        # Longest common prefix with the previous term in sorted order.
        shared = 0
        limit = min(len(previous), len(term))
        while shared < limit and previous[shared] == term[shared]:
            shared += 1
        parent = path[shared]
        parent_children = level_children[shared]
        depth = shared
        for label in term[shared:]:
            parent_children[parent] += 1
            depth += 1
            labels = level_labels[depth]
            parent = len(labels)
            labels.append(label)
            parent_children = level_children[depth]
            parent_children.append(0)
            path[depth] = parent
        terminals.append((depth, parent, term))
        previous = term

    level_start = list(accumulate(map(len, level_labels), initial=0))
    node_count = level_start[-1]
    child_labels = list(chain.from_iterable(level_labels))
    node_shifts = list(accumulate(chain.from_iterable(level_children), initial=0))
    del node_shifts[-1]
    payloads: list[Optional[Payload]] = [None] * node_count
    for depth, position, term in terminals:
        videos = terms[term]
        total = sum(videos.values())
        if total > U32_MAX:
            raise _term_overflow(term, total)
        payloads[level_start[depth] + position] = (total, list(videos), list(videos.values()))
        if term_counts is not None:
            term_counts[term] = total

    if kind == "int32":
        video_index = [int(key).to_bytes(4, "little") for key in video_keys]
    else:
        video_index = [key for key in video_keys if isinstance(key, bytes)]
    return Layout(node_shifts, child_labels, payloads, list(range(1, node_count)), video_index)


def build(
    entries: Iterable[Tuple[str, VideoId, int]],
    video_top_n: int = DEFAULT_VIDEO_TOP_N,
) -> PrefixSearch:
    """Builds a `PrefixSearch` from (term, video_id, count) rows.

    The rows are laid out by `layout`; ``video_top_n`` is how many videos
    each node keeps once the payloads of its subtree are merged into it.
    """
    arrays = layout(entries)
    return PrefixSearch.from_internal_data_v2(*arrays, video_top_n)


def build_index(
    entries: Iterable[Tuple[str, VideoId, int]],
    video_top_n: int = DEFAULT_VIDEO_TOP_N,
) -> Index:
    """`build`, keeping each term's summed count: returns an `Index` whose
    ``term_counts`` rank `quillmesh.suggest`'s answers and travel with it
    through `quillmesh.save` and `quillmesh.load`."""
    term_counts: dict[str, int] = {}
    arrays = _laid_out(entries, term_counts)
    return Index(PrefixSearch.from_internal_data_v2(*arrays, video_top_n), term_counts)
