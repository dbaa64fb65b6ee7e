#!/bin/sh
# Short fuzz run for the test command: builds every target (fuzz/build.sh) and
# runs each for about a minute (FUZZ_SMOKE_SECONDS) starting from its
# committed seed corpus, fuzz/corpus/<name without fuzz_>. The corpus is
# copied to a temporary directory first so the run leaves the repository as
# it was. Any crash, sanitizer report, leak, timeout or out-of-memory fails
# the run; the reproducer is kept in fuzz/crashes/.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SMOKE_SECONDS:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

"$root/fuzz/build.sh"

status=0
for bin in "$root"/fuzz/out/fuzz_*; do
    [ -x "$bin" ] || continue
    name=$(basename "$bin")
    seeds="$root/fuzz/corpus/${name#fuzz_}"
    [ -f "$root/fuzz/$name.cpp" ] || continue
    if [ ! -d "$seeds" ]; then
        echo "fuzz smoke: $name has no seed corpus at $seeds" >&2
        status=1
        continue
    fi
    corpus="$work/$name"
    mkdir -p "$corpus" "$work/artifacts-$name"
    cp "$seeds"/* "$corpus"/
    log="$work/$name.log"
    echo "== fuzz smoke: $name, ${seconds}s over $(ls "$seeds" | wc -l) seeds"
    rc=0
    "$bin" "$corpus" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$work/artifacts-$name/" -print_final_stats=1 >"$log" 2>&1 || rc=$?
    grep -E "^stat::number_of_executed_units|^Done " "$log" || true
    if [ "$rc" -ne 0 ] || grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|==ERROR|deadly signal" "$log"; then
        echo "fuzz smoke: $name failed (exit $rc):" >&2
        tail -n 60 "$log" >&2
        mkdir -p "$root/fuzz/crashes"
        cp "$work/artifacts-$name"/* "$root/fuzz/crashes/" 2>/dev/null || true
        status=1
    fi
done
exit $status
