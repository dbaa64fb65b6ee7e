# Everything runs through tools/: see README.md.
.PHONY: test test-host demo bench bench-core fuzz-smoke typecheck clean

# The whole suite: host Python, sanitizers, type check, fuzz smoke, CPython 3.14.
test:
	tools/test.sh

# Only the host's plain build and tests (quicker while developing).
test-host:
	tools/host-deps.sh && tools/run-suite.sh host $(CURDIR)/build

demo:
	tools/host-deps.sh
	[ -f build/demo/build.ninja ] || meson setup build/demo
	ninja -C build/demo
	PYTHONPATH=build/demo:build/demo/python:python /usr/bin/python3 tools/demo.py

# The module against its peers on the word list, CPython 3.14 in the sid root:
# prints the table, writes bench/results/bench.json and docs/bench-latency.png.
bench:
	tools/bench.sh

# The core benchmarks (Google Benchmark) and the build benchmark on the word list.
bench-core:
	tools/host-deps.sh
	[ -f build/bench/build.ninja ] || meson setup build/bench -Dbenchmarks=true
	ninja -C build/bench
	build/bench/bench_matcher
	build/bench/bench_codec
	build/bench/bench_ranking
	PYTHONPATH=build/bench:build/bench/python:python /usr/bin/python3 bench/bench_build.py

fuzz-smoke:
	fuzz/smoke.sh

typecheck:
	tools/typecheck.sh

clean:
	rm -rf build dist fuzz/out
