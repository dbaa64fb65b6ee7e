"""Typo-tolerant search over terms and the videos they point to.

`build` makes a `PrefixSearch` from (term, video_id, count) rows; `layout`
returns the flat arrays it builds from, for callers that want to inspect or
store them. Everything else is a method of `PrefixSearch`: `fuzzy_match`,
`fuzzy_match_video`, `to_bytes` and the static `from_bytes`.
"""

from pkgutil import extend_path

# Installed, the package's private extension (quillmesh._native) sits in this
# directory. Run from a source tree, it sits in the build tree's
# python/quillmesh/ instead: any quillmesh/ directory on sys.path joins the
# package.
__path__ = extend_path(__path__, __name__)

from _quillmesh import PrefixSearch  # noqa: E402

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
