#!/bin/sh
# Strict type check of the extension's stub, the quillmesh package and the
# quickstart example, with Debian's mypy (installed here when missing).
set -eu
cd "$(dirname "$0")/.."
if ! command -v mypy >/dev/null 2>&1; then
    echo "installing Debian's mypy" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mypy >/dev/null
fi
# The stub stands in for the extension, so no build is needed.
export MYPYPATH=python
exec mypy --strict --no-incremental --cache-dir=/dev/null --python-executable /usr/bin/python3 \
    python/_quillmesh.pyi python/quillmesh examples/quickstart.py
