"""Typo-tolerant search over terms and the videos they point to.

`build` makes a `PrefixSearch` from (term, video_id, count) rows, and
`build_index` an `Index` (the `PrefixSearch` and each term's count); `layout`
returns the flat arrays they build from. `save` and `load` write and read
index files, `suggest` ranks the corrections of a typed term. The queries are
methods of `PrefixSearch` (and of `Index`): `fuzzy_match`,
`fuzzy_match_video`, `to_bytes` and the static `from_bytes`. Importing the
package makes `PrefixSearch` picklable and copyable.
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
    build_index,
    layout,
)
from quillmesh.index import Index
from quillmesh.pickling import register as _register_pickling
from quillmesh.storage import FORMAT_VERSION, IndexFileError, dumps, from_bytes, load, loads, save
from quillmesh.suggest import Suggestion, suggest
from quillmesh.version import __version__

_register_pickling()

__all__ = [
    "__version__",
    "DEFAULT_VIDEO_TOP_N",
    "FORMAT_VERSION",
    "Index",
    "IndexFileError",
    "Layout",
    "Payload",
    "PrefixSearch",
    "RowError",
    "RowTypeError",
    "Suggestion",
    "VideoId",
    "build",
    "build_index",
    "dumps",
    "from_bytes",
    "layout",
    "load",
    "loads",
    "save",
    "suggest",
]
