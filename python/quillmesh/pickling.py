"""Pickling and copying of `PrefixSearch`, through its byte form.

The class lives in the extension, its ``__module__`` is "builtins" and it
takes no attributes, so pickle can neither find it by name nor be told how to
rebuild it on the class. Instead `register` adds a reducer to `copyreg`'s
dispatch table (importing the package does it once); the reducer names
`restore`, a function of this module that pickle finds by its own name.
`copy.copy` and `copy.deepcopy` read the same table, so they give a new,
equal index.
"""

from __future__ import annotations

import copyreg
from typing import Callable, Tuple

from _quillmesh import PrefixSearch

from quillmesh.storage import from_bytes

__all__ = ["register", "restore"]


def restore(data: bytes) -> PrefixSearch:
    """Rebuilds a pickled `PrefixSearch` from its `to_bytes` output."""
    return from_bytes(data)


def _reduce(index: PrefixSearch) -> Tuple[Callable[[bytes], PrefixSearch], Tuple[bytes]]:
    return restore, (index.to_bytes(),)


def register() -> None:
    """Makes `pickle` and `copy` handle `PrefixSearch` (idempotent)."""
    copyreg.pickle(PrefixSearch, _reduce)
