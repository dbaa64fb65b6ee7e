#!/bin/sh
# Builds every fuzz/fuzz_*.cpp (or only the targets named as arguments) into
# fuzz/out/<name>: libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer,
# linked with the core sources (src/ outside src/python).
#
#   fuzz/build.sh [fuzz_decoder ...]
#   fuzz/out/fuzz_decoder fuzz/corpus/decoder -max_total_time=600
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cxx=${CXX:-clang++-14}
out=$root/fuzz/out
mkdir -p "$out"

if [ "$#" -gt 0 ]; then
    targets=$(for t in "$@"; do echo "$root/fuzz/${t%.cpp}.cpp"; done)
else
    targets=$(ls "$root"/fuzz/fuzz_*.cpp)
fi

for src in $targets; do
    name=$(basename "$src" .cpp)
    echo "building fuzz/out/$name"
    "$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -I"$root/src" "$src" "$root"/src/*.cpp "$root"/src/prefix/*.cpp -o "$out/$name"
done
