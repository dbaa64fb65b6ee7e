#!/bin/sh
# Builds and tests in the current environment (the host, or inside the sid
# root): the C++ tests with `meson test`, then the wheel built by pip, installed
# into a private directory, under pytest. Usage: run-suite.sh NAME BUILD_BASE
# QM_MESON_ARGS (for example -Dsimd=none) goes to both builds' meson setup.
set -eu
NAME="$1"
BASE="$2"
PY="${PYTHON:-/usr/bin/python3}"
B="$BASE/$NAME"
mkdir -p "$BASE"

echo "== [$NAME] $($PY --version), $(c++ --version | head -n 1)"
if [ -f "$B/build.ninja" ]; then
    meson setup --reconfigure "$B" -Dtests=true ${QM_MESON_ARGS:-} >"$B.setup.log" 2>&1 || { cat "$B.setup.log"; exit 1; }
else
    meson setup "$B" -Dtests=true ${QM_MESON_ARGS:-} >"$B.setup.log" 2>&1 || { cat "$B.setup.log"; exit 1; }
fi
ninja -C "$B" >"$B.ninja.log" 2>&1 || { cat "$B.ninja.log"; exit 1; }
if grep -q "warning:" "$B.ninja.log"; then
    grep -A3 "warning:" "$B.ninja.log"
    echo "[$NAME] compiler warnings: failing" >&2
    exit 1
fi

echo "== [$NAME] wheel (pip, meson-python)"
rm -rf "$B-wheel" "$B-site"
# meson-python asks for a reconfigure whenever the native file it left in the
# source tree names this interpreter, even of a build directory not made yet
# (a second build of the same tree, or a tree copied with that file).
[ -f "$B-wheelbuild/meson-private/coredata.dat" ] || rm -f .mesonpy-native-file.ini
$PY -m pip wheel --no-build-isolation --no-deps -q -w "$B-wheel" --config-settings=builddir="$B-wheelbuild" \
    ${QM_MESON_ARGS:+--config-settings=setup-args="$QM_MESON_ARGS"} . \
    >"$B-wheel.log" 2>&1 || { cat "$B-wheel.log"; exit 1; }
$PY -m pip install --no-build-isolation --no-deps -q --target "$B-site" "$B-wheel"/quillmesh-*.whl \
    >>"$B-wheel.log" 2>&1 || { cat "$B-wheel.log"; exit 1; }

echo "== [$NAME] C++ tests"
meson test -C "$B" --print-errorlogs >"$B.test.log" 2>&1 || { cat "$B.test.log"; tail -n 80 "$B/meson-logs/testlog.txt"; exit 1; }
grep -E "^(Ok|Expected Fail|Fail|Unexpected Pass|Skipped|Timeout):" "$B.test.log" | tee "$B.test.summary"

echo "== [$NAME] pytest"
rc=0
PYTHONPATH="$B-site" $PY -m pytest -q -p no:cacheprovider tests/python >"$B.pytest.log" 2>&1 || rc=$?
cat "$B.pytest.log"
exit $rc
