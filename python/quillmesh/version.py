"""The package version, read from the one place it is written: the project
version in meson.build.

A built wheel carries ``_version.py``, which meson writes from that version;
a source tree (the package run from ``python/`` beside a build directory)
reads meson.build itself, so both give the same answer.
"""

from __future__ import annotations

import importlib
import re
from pathlib import Path

__all__ = ["__version__"]

_PROJECT_VERSION = re.compile(r"project\([^)]*?\bversion\s*:\s*'([^']+)'", re.DOTALL)


def _from_source_tree() -> str:
    meson_build = Path(__file__).resolve().parents[2] / "meson.build"
    try:
        text = meson_build.read_text(encoding="utf-8")
    except OSError:
        return "unknown"
    found = _PROJECT_VERSION.search(text)
    return found.group(1) if found else "unknown"


def _read() -> str:
    try:
        written = importlib.import_module("quillmesh._version")
    except ImportError:
        return _from_source_tree()
    return str(written.version)


__version__ = _read()
