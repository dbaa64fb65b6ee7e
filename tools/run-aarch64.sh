#!/bin/sh
# Cross-compiles the core and its C++ tests for aarch64 (Debian's
# g++-aarch64-linux-gnu; GoogleTest built by meson with the cross compiler
# from the sources Debian ships in /usr/src/googletest) and runs them under
# qemu-aarch64 with the cross toolchain's library root, with the NEON label
# lookups (the portable ones run natively in the scalar run of test.sh).
# Under emulation the tests take about ten minutes.
# Usage: run-aarch64.sh BUILD_BASE
set -eu
cd "$(dirname "$0")/.."
BASE="$1"
mkdir -p "$BASE"
CROSS="$BASE/aarch64.cross"
cat >"$CROSS" <<CROSSEOF
[binaries]
cpp = 'aarch64-linux-gnu-g++'
ar = 'aarch64-linux-gnu-ar'
strip = 'aarch64-linux-gnu-strip'
exe_wrapper = ['qemu-aarch64', '-L', '/usr/aarch64-linux-gnu']

[host_machine]
system = 'linux'
cpu_family = 'aarch64'
cpu = 'armv8-a'
endian = 'little'
CROSSEOF
for simd in auto; do
    B="$BASE/aarch64-$simd"
    echo "== [aarch64, simd=$simd] $(aarch64-linux-gnu-g++ --version | head -n 1), $(qemu-aarch64 --version | head -n 1)"
    if [ ! -f "$B/build.ninja" ]; then
        meson setup "$B" --cross-file "$CROSS" -Dpython=false -Dtests=true -Dsimd=$simd >"$B.setup.log" 2>&1 ||
            { cat "$B.setup.log"; exit 1; }
    fi
    ninja -C "$B" >"$B.ninja.log" 2>&1 || { cat "$B.ninja.log"; exit 1; }
    # Our own files only: GoogleTest's sources warn under the cross compiler.
    if grep -E '^\.\./\.\./(src|tests)/.*warning:' "$B.ninja.log" | grep -q .; then
        grep -A3 "warning:" "$B.ninja.log"
        echo "[aarch64] compiler warnings: failing" >&2
        exit 1
    fi
    qemu-aarch64 -L /usr/aarch64-linux-gnu "$B/core_tests" --gtest_brief=1 >"$B.test.log" 2>&1 ||
        { cat "$B.test.log"; exit 1; }
    tail -n 2 "$B.test.log"
done
