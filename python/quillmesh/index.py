"""`Index`: a `PrefixSearch` together with what the rows said about its terms.

A `PrefixSearch` holds the trie and its propagated payloads, and nothing
else: instances take no attributes and the class cannot be subclassed. What
the package knows beyond that, today how often each term was used, travels
beside it in this small object, through `quillmesh.save` and
`quillmesh.load` and through pickle.
"""

from __future__ import annotations

from types import MappingProxyType
from typing import Any, Callable, Mapping, Optional, SupportsFloat, SupportsIndex, Tuple

from _quillmesh import PrefixSearch

__all__ = ["Index"]


class Index:
    """A `PrefixSearch` (``.search``) and its term counts (``.term_counts``).

    ``term_counts`` maps each stored term to the sum of the counts of its
    rows, read-only; it is empty when the counts are unknown (an index made
    from arrays or bytes). The query methods are those of ``.search``.
    """

    __slots__ = ("_search", "_term_counts")

    def __init__(self, search: PrefixSearch, term_counts: Optional[Mapping[str, int]] = None) -> None:
        if not isinstance(search, PrefixSearch):
            raise TypeError(f"search must be a PrefixSearch, not {type(search).__name__}")
        self._search = search
        self._term_counts: Mapping[str, int] = MappingProxyType(dict(term_counts or {}))

    @property
    def search(self) -> PrefixSearch:
        """The index itself."""
        return self._search

    @property
    def term_counts(self) -> Mapping[str, int]:
        """Term -> summed count of its rows; empty when unknown."""
        return self._term_counts

    def fuzzy_match(
        self, term: str, max_dist: SupportsIndex = 1, limit: Optional[SupportsIndex] = None
    ) -> list[tuple[str, int, int]]:
        """`PrefixSearch.fuzzy_match` of ``.search``."""
        return self._search.fuzzy_match(term, max_dist, limit)

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: Optional[SupportsIndex] = None,
        include_prefix_nodes: Optional[bool] = None,
        min_score: Optional[SupportsFloat] = None,
    ) -> list[tuple[str, float]]:
        """`PrefixSearch.fuzzy_match_video` of ``.search``."""
        return self._search.fuzzy_match_video(term, max_dist, limit, include_prefix_nodes, min_score)

    def to_bytes(self) -> bytes:
        """`PrefixSearch.to_bytes` of ``.search`` (the term counts are not in it)."""
        return self._search.to_bytes()

    def __reduce__(self) -> Tuple[Callable[..., "Index"], Tuple[Any, ...]]:
        return Index, (self._search, dict(self._term_counts))

    def __repr__(self) -> str:
        return f"<quillmesh.Index: {len(self._term_counts)} term counts>"
