#!/bin/sh
# make install: Debian's build packages (when missing), a virtual environment
# that sees Debian's Python packages (--system-site-packages: meson-python
# comes from there, since there is no package index to fetch it from), and
# quillmesh built and installed into it.
# Usage: tools/install.sh [VENV [BUILD_DIR]]   (default .venv, build/install)
set -eu
cd "$(dirname "$0")/.."
VENV="${1:-.venv}"
BUILD="${2:-build/install}"
# Run from anywhere below (the version check runs from /): the venv by its
# full path; the messages keep the name it was given.
VENV_PATH="$(realpath -m "$VENV")"
PKGS="python3-dev python3-venv python3-pip python3-mesonpy meson ninja-build g++ pkg-config"
echo "make install: Debian packages when missing ($PKGS), a venv in $VENV, and quillmesh built (in $BUILD) and installed into it"
tools/host-deps.sh $PKGS
if [ ! -x "$VENV_PATH/bin/python" ]; then
    /usr/bin/python3 -m venv --system-site-packages "$VENV_PATH"
fi
mkdir -p "$(dirname "$BUILD")"
# --no-build-isolation: build with the meson-python the venv sees (Debian's);
# the build directory is kept, so installing again rebuilds only what changed.
"$VENV_PATH/bin/python" -m pip install --no-build-isolation --no-deps --force-reinstall -q \
    --config-settings=builddir="$(realpath -m "$BUILD")" . >"$BUILD.log" 2>&1 || {
    cat "$BUILD.log"; echo "make install: building or installing quillmesh failed (above)" >&2; exit 1; }
version=$(cd / && "$VENV_PATH/bin/python" -c 'import quillmesh; print(quillmesh.__version__)')
echo "quillmesh $version is installed in $VENV: run '$VENV/bin/quillmesh --help', or '. $VENV/bin/activate' and then 'python3 -c \"import quillmesh\"'"
