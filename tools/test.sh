#!/bin/sh
# The one test command (make test): installs what the host lacks, then runs
# the C++ tests and the pytest suite on the host's Python (also with the
# portable label lookups forced), the C++ tests cross-built for aarch64 under
# qemu, the pytest suite
# under AddressSanitizer + UndefinedBehaviorSanitizer, the fuzz smoke run, and
# everything again on CPython 3.14 in a Debian sid root. Ends with a summary.
set -eu
cd "$(dirname "$0")/.."
BASE="$(pwd)/build"
mkdir -p "$BASE"
tools/host-deps.sh

tools/run-suite.sh host "$BASE"
# The portable label lookups, as every CPU without SSE2 or NEON runs them.
QM_MESON_ARGS=-Dsimd=none tools/run-suite.sh scalar "$BASE"
# The core and its C++ tests for aarch64, under qemu.
tools/run-aarch64.sh "$BASE"
# The README's first command, into a fresh venv, then a query from outside the
# source tree with what it installed (the build directory is kept between runs).
echo "== make install (a fresh venv)"
rm -rf "$BASE/fresh-venv"
# The venv is named relative to the tree, as the README's default .venv is.
make --no-print-directory install VENV="$(realpath -m --relative-to=. "$BASE/fresh-venv")" >"$BASE/fresh-venv.log" 2>&1 || {
    cat "$BASE/fresh-venv.log"; exit 1; }
tail -n 1 "$BASE/fresh-venv.log"
(cd / && "$BASE/fresh-venv/bin/python" - "$BASE/fresh-venv" <<'PY'
import pickle, subprocess, sys, tempfile, os
import quillmesh
venv = sys.argv[1]
assert quillmesh.__file__.startswith(venv), quillmesh.__file__
index = quillmesh.build_index([("python", 1, 3), ("pythons", 2, 1), ("typing", 3, 2)])
with tempfile.TemporaryDirectory() as d:
    quillmesh.save(index, os.path.join(d, "x.qm"))
    loaded = quillmesh.load(os.path.join(d, "x.qm"))
assert [s.term for s in quillmesh.suggest(loaded, "pyhton", max_dist=3)] == ["python", "pythons"]
assert pickle.loads(pickle.dumps(loaded.search)).fuzzy_match("typin") == [("typing", 1, 1)]
shown = subprocess.run([os.path.join(venv, "bin", "quillmesh"), "--version"], capture_output=True, text=True, check=True)
assert shown.stdout == f"quillmesh {quillmesh.__version__}\n", shown.stdout
print(f"fresh venv: quillmesh {quillmesh.__version__} imports, builds, saves, loads and answers")
PY
)
tools/run-asan.sh "$BASE"
if [ -x tools/typecheck.sh ]; then tools/typecheck.sh; fi
if [ -x fuzz/smoke.sh ]; then fuzz/smoke.sh; fi
# The README's demo, so that it cannot rot.
echo "== make demo"
make --no-print-directory demo >"$BASE/demo.log" 2>&1 || { cat "$BASE/demo.log"; exit 1; }
tail -n 12 "$BASE/demo.log"
tools/run-sid.sh
# The README's benchmark command on a small sample, so that it cannot rot: it
# checks every peer against the module and fails on any disagreement.
echo "== make bench (smoke: 10,000 words, 40 queries)"
QM_BENCH_SMOKE=1 tools/bench.sh --sizes 10000 --queries 40 >"$BASE/bench-smoke.log" 2>&1 || {
    cat "$BASE/bench-smoke.log"; exit 1; }
grep -A3 "== targets" "$BASE/bench-smoke.log" || tail -n 5 "$BASE/bench-smoke.log"
SID_BUILD="${QM_SID_ROOT:-/var/tmp/quillmesh-sid}/work/build/sid"

echo
echo "== summary"
for env in host:"$BASE/host" scalar:"$BASE/scalar" asan:"$BASE/asan" sid:"$SID_BUILD"; do
    name=${env%%:*}
    dir=${env#*:}
    if [ -f "$dir.test.summary" ]; then
        echo "[$name] meson test: $(tr '\n' ' ' <"$dir.test.summary")"
    fi
done
echo "[aarch64] core tests: $(tail -n 1 "$BASE/aarch64-auto.test.log")"
for env in host:"$BASE/host" scalar:"$BASE/scalar" asan:"$BASE/asan" sid:"$SID_BUILD"; do
    name=${env%%:*}
    dir=${env#*:}
    echo "[$name] pytest: $(tail -n 1 "$dir.pytest.log")"
done
# The last line is pytest's own closing line of the CPython 3.14 run.
tail -n 1 "$SID_BUILD.pytest.log"
