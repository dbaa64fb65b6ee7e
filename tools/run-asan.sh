#!/bin/sh
# The pytest suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the extension, the sanitizer runtime preloaded into the host
# interpreter, leak detection on. Any report fails the run.
set -eu
BASE="$1"
PY="${PYTHON:-/usr/bin/python3}"
B="$BASE/asan"
mkdir -p "$BASE"
echo "== [asan] AddressSanitizer + UndefinedBehaviorSanitizer, $($PY --version)"
if [ ! -f "$B/build.ninja" ]; then
    meson setup "$B" -Dbuildtype=debugoptimized -Db_sanitize=address,undefined \
        -Dcpp_args=-fno-sanitize-recover=undefined >"$B.setup.log" 2>&1 || { cat "$B.setup.log"; exit 1; }
fi
ninja -C "$B" >"$B.ninja.log" 2>&1 || { cat "$B.ninja.log"; exit 1; }

# libstdc++ is preloaded too: the interpreter does not link it, and the
# runtime must find the real __cxa_throw when it starts.
ASAN_LIB="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so.6)"
rc=0
# The interpreter does not free everything at exit; its own allocations (and
# those of other extension modules) are suppressed by module, see lsan.supp.
# Suppressions match any frame of an allocation's stack, so the stacks are cut
# to the allocator and its immediate caller: a leak is then judged by the code
# that made it, not by the interpreter frames that called into the extension.
# (An allocation made inside the extension was checked to be reported.)
LD_PRELOAD="$ASAN_LIB" \
ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=86:detect_stack_use_after_return=0" \
LSAN_OPTIONS="suppressions=$(pwd)/tools/lsan.supp:print_suppressions=0:malloc_context_size=2:exitcode=87" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=88" \
PYTHONPATH="$B:$B/python:$(pwd)/python" PYTHONMALLOC=malloc \
    $PY -m pytest -q -p no:cacheprovider tests/python >"$B.pytest.log" 2>&1 || rc=$?
cat "$B.pytest.log"
if grep -qE "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:" "$B.pytest.log"; then
    echo "[asan] sanitizer report: failing" >&2
    exit 1
fi
exit $rc
