"""Type stubs of the extension module `_quillmesh`."""

from typing import Sequence, SupportsFloat, SupportsIndex, Tuple, Union, final

__all__: list[str]

# One node's payload as the builder takes it: (total_count, video_ids,
# video_counts), where video_ids are positions in video_index.
_PayloadTuple = Tuple[SupportsIndex, Sequence[SupportsIndex], Sequence[SupportsIndex]]

@final
class PrefixSearch:
    """A typo-tolerant trie of terms with video payloads.

    Instances come only from `from_internal_data_v2` and `from_bytes`
    (calling the class raises TypeError); they never change, take no
    attributes, and the class cannot be subclassed. Every call holds the
    interpreter lock. Importing the `quillmesh` package makes instances
    picklable and copyable.
    """

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[SupportsIndex],
        child_labels: Sequence[str],
        payloads: Sequence[_PayloadTuple | None],
        child_transitions: Sequence[SupportsIndex],
        video_index: Sequence[Union[bytes, bytearray, Sequence[SupportsIndex]]],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch:
        """A new index from six flat arrays.

        Node 0 is the root; node n's children are
        ``child_transitions[node_shifts[n]:node_shifts[n+1]]`` (for the last
        node, to the end); ``child_labels[n]`` is the character on the edge
        into n ('' for none); ``payloads[n]`` is None or
        ``(total_count, video_ids, video_counts)`` and marks n as the end of a
        term, ``video_ids`` being positions in ``video_index``;
        ``video_index`` holds the ids, all 16 bytes (UUIDs) or all 4 bytes
        (32-bit, little-endian). Every node's payload is then merged into
        its ancestors', each node keeping its ``video_top_n`` best videos
        (equal counts: the lower video number, i.e. position in
        ``video_index``, first). Bad input raises ValueError or TypeError and
        creates nothing. `quillmesh.layout` makes these arrays from rows.
        """
    def to_bytes(self) -> bytes:
        """The index as bytes, for `from_bytes`: no header, version or
        checksum (`quillmesh.save` adds them)."""
    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch:
        """The index that `to_bytes` wrote; ``b`` must be `bytes`
        (`quillmesh.from_bytes` takes any bytes-like object).

        Checks the encoding, not the shape of the trie: restore only bytes
        you trust, or use `quillmesh.load`, which checks that it is a tree.
        Bytes that do not decode raise ValueError "decode error: ...".
        """
    def fuzzy_match(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
    ) -> list[tuple[str, int, int]]:
        """The stored terms within ``max_dist`` Levenshtein edits of
        ``term`` (over code points), as ``(term, 1, distance)`` in
        depth-first trie order; ``limit`` keeps the first ``limit`` found in
        that order (`quillmesh.suggest` keeps the best instead)."""
    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | None = None,
        min_score: SupportsFloat | None = None,
    ) -> list[tuple[str, float]]:
        """The videos of the nodes matching ``term``, as
        ``(video id text, score)``, best first, at most ``limit``.

        A node at distance d of a term of n code points weighs 1.0 if d is
        0, else (1 - d/n) x 0.05, and 0.85 of that if it only begins stored
        terms. Each video's score is the weighted sum of its counts in the
        matched nodes over the weighted sum of their ``total_count``.
        ``include_prefix_nodes``: True also matches nodes that only begin
        stored terms, False never, None (the default) only when no stored
        term matches. Scores below ``min_score`` (default 0.01) are dropped.
        Equal scores: the lower video number (position in ``video_index``,
        not the id's value) first. Ids are UUID text or unsigned decimals.
        """
