# Everything runs through tools/: see README.md.
.PHONY: install eval-suggest test test-host demo bench bench-core fuzz-smoke typecheck clean

# Sets everything up on a fresh Debian machine (as root for the packages):
# Debian's build packages, a venv VENV (default .venv) that sees them, and
# quillmesh installed into it.
VENV ?= .venv
INSTALL_BUILD ?= build/install
install:
	tools/install.sh "$(VENV)" "$(INSTALL_BUILD)"

# The whole suite: host Python, sanitizers, type check, fuzz smoke, CPython 3.14.
test:
	tools/test.sh

# Only the host's plain build and tests (quicker while developing).
test-host:
	tools/host-deps.sh && tools/run-suite.sh host $(CURDIR)/build

DEMO_PKGS = python3-dev meson ninja-build g++ pkg-config wamerican-insane
demo:
	@echo "make demo: installs what is missing of $(DEMO_PKGS) from Debian's archive, builds the extension in build/demo, and runs tools/demo.py"
	tools/host-deps.sh $(DEMO_PKGS)
	[ -f build/demo/build.ninja ] || meson setup build/demo
	ninja -C build/demo
	PYTHONPATH=build/demo:build/demo/python:python /usr/bin/python3 tools/demo.py

# The module against its peers on the word list, CPython 3.14 in the sid root:
# prints the table, writes bench/results/bench.json and docs/bench-latency.png.
bench:
	tools/bench.sh

# How often suggest gets real typos right, and how fast (misspell-fixer's
# rules against the SUBTLEX-US list); FIT=1 learns the typing model's prices.
eval-suggest:
	tools/eval-suggest.sh

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
