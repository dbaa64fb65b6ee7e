"""Type stubs of the extension module `_quillmesh`."""

from typing import Sequence, SupportsFloat, SupportsIndex, Tuple, Union, final

__all__: list[str]

# One node's payload as the builder takes it: (total_count, video_ids,
# video_counts), where video_ids are positions in video_index.
_PayloadTuple = Tuple[SupportsIndex, Sequence[SupportsIndex], Sequence[SupportsIndex]]

@final
class PrefixSearch:
    """A typo-tolerant trie of terms with video payloads. Instances come only
    from `from_internal_data_v2` and `from_bytes`; they never change."""

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[SupportsIndex],
        child_labels: Sequence[str],
        payloads: Sequence[_PayloadTuple | None],
        child_transitions: Sequence[SupportsIndex],
        video_index: Sequence[Union[bytes, bytearray, Sequence[SupportsIndex]]],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch: ...
    def fuzzy_match(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
    ) -> list[tuple[str, int, int]]: ...
    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | None = None,
        min_score: SupportsFloat | None = None,
    ) -> list[tuple[str, float]]: ...
