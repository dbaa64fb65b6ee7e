#!/bin/sh
# make bench: builds the release wheel for CPython 3.14 in the Debian sid root,
# installs it into a private directory there, runs bench/peers.py (the module
# against RapidFuzz and a pure-Python trie walk, build, codec and memory
# figures) with sid's python3, and copies the JSON figures and the latency
# plot back into this tree (bench/results/bench.json, docs/bench-latency.png).
# Extra arguments go to bench/peers.py (e.g. --sizes 10000 for a quick run);
# QM_BENCH_SMOKE=1 (make test) runs it with small counts (--smoke) and leaves
# the committed plot and README alone.
set -eu
cd "$(dirname "$0")/.."
REPO="$(pwd)"
if [ -n "${QM_BENCH_SMOKE:-}" ]; then set -- --smoke "$@"; fi
ROOT="${QM_SID_ROOT:-/var/tmp/quillmesh-sid}"
# One user of the root at a time: several work trees on one machine share it.
exec 9>"$ROOT.lock"
flock 9
tools/sid-root.sh

# What only the benchmark needs: the peer, the plot and the word list.
missing=""
for pkg in python3-rapidfuzz python3-matplotlib wamerican-insane; do
    if ! chroot "$ROOT" dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$'; then
        missing="$missing $pkg"
    fi
done
if [ -n "$missing" ]; then
    echo "== installing into the sid root:$missing"
    chroot "$ROOT" /bin/sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends $missing" >"$ROOT.bench-apt.log" 2>&1 || {
        tail -n 30 "$ROOT.bench-apt.log" >&2; exit 1; }
fi

# A copy of its own, so a test run's /work/src in the same root is left alone.
SRC="$ROOT/work/bench-src"
rm -rf "$SRC" "$ROOT/work/build/bench" "$ROOT/work/build/bench"-*  # no build reused: see run-sid.sh
mkdir -p "$SRC" "$ROOT/work/build"
tar --exclude=./build --exclude=./.git --exclude=./fuzz/out --exclude=./bench/results -cf - . \
    | tar -C "$SRC" -xf -

# /proc is needed inside the root (resident memory is read from it). A private
# mount namespace keeps this mount away from other users of the same root,
# and theirs from us; it disappears with the namespace.
unshare --mount --propagation private /bin/sh -c '
    root="$1"; script="$2"; shift 2
    mount -t proc proc "$root/proc" &&
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        MPLBACKEND=Agg MPLCONFIGDIR=/tmp/bench-mpl /bin/sh -c "$script" sh "$@"
' sh "$ROOT" '
set -eu
cd /work/bench-src
B=/work/build/bench
echo "== $(python3 --version), $(c++ --version | head -n 1)"
echo "== release wheel (pip, meson-python)"
rm -rf "$B-wheel" "$B-site"
python3 -m pip wheel --no-build-isolation --no-deps -q -w "$B-wheel" \
    --config-settings=builddir="$B-wheelbuild" --config-settings=setup-args=-Dbuildtype=release . \
    >"$B-wheel.log" 2>&1 || { cat "$B-wheel.log"; exit 1; }
python3 -m pip install --no-build-isolation --no-deps -q --target "$B-site" "$B-wheel"/quillmesh-*.whl \
    >>"$B-wheel.log" 2>&1 || { cat "$B-wheel.log"; exit 1; }
mkdir -p bench/results docs
# The table goes to the terminal and to bench.txt; the exit status is the harness'"'"'s.
{ rc=0; PYTHONPATH="$B-site" python3 -u bench/peers.py --json bench/results/bench.json \
    --plot docs/bench-latency.png "$@" 2>&1 || rc=$?; echo "$rc" >"$B.rc"; } | tee bench/results/bench.txt
exit "$(cat "$B.rc")"
' "$@"

mkdir -p "$REPO/bench/results" "$REPO/docs"
cp "$SRC/bench/results/bench.json" "$SRC/bench/results/bench.txt" "$REPO/bench/results/"
# A smoke run (make test) leaves the committed plot and the README alone; a
# run without the full list leaves the README alone.
if [ -z "${QM_BENCH_SMOKE:-}" ]; then
    cp "$SRC/docs/bench-latency.png" "$REPO/docs/"
    /usr/bin/python3 tools/readme_figures.py --skip-partial --results bench/results/bench.json
fi
echo "== figures: bench/results/bench.json, bench/results/bench.txt; plot: docs/bench-latency.png"
