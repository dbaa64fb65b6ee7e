"""`suggest`: the stored terms a typed term most likely meant, best first.

Candidates are the stored terms within ``max_dist`` edits. With
transpositions (the default, ``distance="osa"``) a swap of two neighbouring
letters is one edit, and the candidates are those within ``max_dist`` edits
of which at most one is a swap: one `fuzzy_match` walk finds the terms
within ``max_dist`` plain edits, and one walk of ``max_dist - 1`` per
spelling of the term with one pair of neighbours swapped finds the rest
(the optimal string alignment distance then decides which are within
reach). Terms that need two swaps or more are left out: each more swap
would multiply the walks by the term's length, and on real typos they are
rare (``make eval-suggest`` counts them). `rank`
orders the candidates by the model of `quillmesh.typing_model` and keeps
the best ``limit``.
"""

from __future__ import annotations

import heapq
import math
import operator
from typing import Iterable, Mapping, NamedTuple, Optional, SupportsIndex, Tuple, Union

from _quillmesh import PrefixSearch

from quillmesh._native import score_typing_edits
from quillmesh.index import Index
from quillmesh.typing_model import COSTS, PRIOR_WEIGHT

__all__ = ["DISTANCES", "Suggestion", "rank", "suggest"]

# distance= -> whether an adjacent swap is one edit.
DISTANCES = {"osa": True, "levenshtein": False}

# fuzzy_match treats any larger max_dist as this one.
_LARGEST_DIST = 65535


class Suggestion(NamedTuple):
    """One suggested term: its edit distance from the typed term, and how
    often it was used (``uses``: the summed count of its rows), None when unknown."""

    term: str
    distance: int
    uses: Optional[int]


def rank(
    term: str,
    candidates: Iterable[str],
    term_counts: Mapping[str, int],
    limit: Optional[int],
    max_dist: int,
    transpositions: bool = True,
) -> list[Suggestion]:
    """Orders candidate terms best first by the noisy-channel score of
    `quillmesh.typing_model` (lower first, equal scores by term), dropping
    those more than ``max_dist`` edits away. Keeps the first ``limit`` (all if None)."""
    words = list(candidates)
    scored = []
    for word, (distance, cost) in zip(words, score_typing_edits(term, words, COSTS, transpositions)):
        if distance <= max_dist:
            uses = term_counts.get(word)
            score = cost - PRIOR_WEIGHT * math.log1p(uses or 0)
            scored.append((score, word, distance, uses))
    best = scored if limit is None or limit >= len(scored) else heapq.nsmallest(limit, scored)
    if best is scored:
        best.sort()
    return [Suggestion(word, distance, uses) for _, word, distance, uses in best]


def _candidates(search: PrefixSearch, term: str, max_dist: SupportsIndex, transpositions: bool) -> set[str]:
    found = {text for text, _, _ in search.fuzzy_match(term, max_dist)}
    bound = min(operator.index(max_dist), _LARGEST_DIST)
    if transpositions and bound > 0:
        for k in range(len(term) - 1):
            if term[k] != term[k + 1]:
                swapped = term[:k] + term[k + 1] + term[k] + term[k + 2:]
                found.update(text for text, _, _ in search.fuzzy_match(swapped, bound - 1))
    return found


def suggest(
    index: Union[Index, PrefixSearch],
    term: str,
    max_dist: SupportsIndex = 2,
    limit: Optional[SupportsIndex] = 10,
    distance: str = "osa",
) -> list[Suggestion]:
    """The stored terms within ``max_dist`` edits of ``term``, likeliest
    first (see `quillmesh.typing_model`), at most ``limit`` of them (None: all).

    ``distance="osa"`` counts a swap of two neighbouring letters as one edit
    (optimal string alignment); ``"levenshtein"`` counts it as two, as
    `fuzzy_match` does. ``index`` is an `Index`, whose term counts say how
    likely each term is, or a bare `PrefixSearch` (no counts: the edits
    alone rank). The cost is one `fuzzy_match` walk, with transpositions one
    short walk per swapped spelling of the term, and the scoring of the
    candidates.
    """
    if isinstance(index, Index):
        search, counts = index.search, index.term_counts
    elif isinstance(index, PrefixSearch):
        search, counts = index, {}
    else:
        raise TypeError(f"index must be a quillmesh.Index or a PrefixSearch, not {type(index).__name__}")
    transpositions = DISTANCES.get(distance) if isinstance(distance, str) else None
    if transpositions is None:
        raise ValueError(f"distance must be 'osa' or 'levenshtein', not {distance!r}")
    keep: Optional[int] = None
    if limit is not None:
        keep = operator.index(limit)
        if keep < 0:
            raise ValueError(f"limit must be at least 0, not {keep}")
    found = _candidates(search, term, max_dist, transpositions)
    return rank(term, found, counts, keep, min(operator.index(max_dist), _LARGEST_DIST), transpositions)
