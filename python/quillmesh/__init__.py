"""Typo-tolerant search over terms and the videos they point to.

`build` makes a `PrefixSearch` from (term, video_id, count) rows; `layout`
returns the flat arrays it builds from, for callers that want to inspect or
store them. Everything else is a method of `PrefixSearch`: `fuzzy_match`,
`fuzzy_match_video`, `to_bytes` and the static `from_bytes`.
"""

from _quillmesh import PrefixSearch

from quillmesh.builder import (
    DEFAULT_VIDEO_TOP_N,
    Layout,
    Payload,
    RowError,
    RowTypeError,
    VideoId,
    build,
    layout,
)

__all__ = [
    "DEFAULT_VIDEO_TOP_N",
    "Layout",
    "Payload",
    "PrefixSearch",
    "RowError",
    "RowTypeError",
    "VideoId",
    "build",
    "layout",
]
