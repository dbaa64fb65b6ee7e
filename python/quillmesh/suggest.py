"""`suggest`: the stored terms a typed term most likely meant, best first.

One `fuzzy_match` walk finds every candidate within ``max_dist`` edits;
`rank` orders them and keeps the best ``limit``. The order is the one
function `rank`, so that a better model of typing mistakes can replace it
without touching the rest.
"""

from __future__ import annotations

import heapq
import operator
from typing import Iterable, Mapping, NamedTuple, Optional, SupportsIndex, Tuple, Union

from _quillmesh import PrefixSearch

from quillmesh.index import Index

__all__ = ["Suggestion", "rank", "suggest"]


class Suggestion(NamedTuple):
    """One suggested term: its edit distance from the typed term, and how
    often it was used (``uses``: the summed count of its rows), None when unknown."""

    term: str
    distance: int
    uses: Optional[int]


def rank(
    matches: Iterable[Tuple[str, int, int]], term_counts: Mapping[str, int], limit: Optional[int]
) -> list[Suggestion]:
    """Orders `fuzzy_match` answers best first: by distance, then by count
    (higher first; a term of unknown count after those with one), then by
    term (code point order). Keeps the first ``limit`` (all if None)."""
    count = term_counts.get
    # Plain tuples compare natively: -1 stands for an unknown count, so that
    # its key (1) sorts after every known count's (0 or less).
    keyed = [(distance, -count(text, -1), text) for text, _, distance in matches]
    if limit is None or limit >= len(keyed):
        keyed.sort()
    else:
        keyed = heapq.nsmallest(limit, keyed)
    return [Suggestion(text, distance, None if uses == 1 else -uses) for distance, uses, text in keyed]


def suggest(
    index: Union[Index, PrefixSearch],
    term: str,
    max_dist: SupportsIndex = 2,
    limit: Optional[SupportsIndex] = 10,
) -> list[Suggestion]:
    """The stored terms within ``max_dist`` edits of ``term``, best first
    (see `rank`), at most ``limit`` of them (None: all).

    ``index`` is an `Index` (whose term counts break ties between terms at
    the same distance) or a bare `PrefixSearch` (no counts). The cost is one
    `fuzzy_match` walk and a partial sort of its answers.
    """
    if isinstance(index, Index):
        search, counts = index.search, index.term_counts
    elif isinstance(index, PrefixSearch):
        search, counts = index, {}
    else:
        raise TypeError(f"index must be a quillmesh.Index or a PrefixSearch, not {type(index).__name__}")
    keep: Optional[int] = None
    if limit is not None:
        keep = operator.index(limit)
        if keep < 0:
            raise ValueError(f"limit must be at least 0, not {keep}")
    return rank(search.fuzzy_match(term, max_dist), counts, keep)
