# Everything runs through tools/: see README.md.
.PHONY: test test-host build bench demo fuzz clean

test:
	tools/test.sh

test-host:
	tools/host-deps.sh && tools/run-suite.sh host $(CURDIR)/build

build:
	meson setup build/dev -Dtests=true -Dbenchmarks=true 2>/dev/null || true
	ninja -C build/dev

clean:
	rm -rf build dist fuzz/out
