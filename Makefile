# Front door. `make demo` runs a whole update against the simulated printer;
# `make test` builds everything and runs every test.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build asan win32 win64 test bench demo deps deps-win32 clean dist deb

all: build

deps:
	@scripts/deps.sh

# The Windows toolchain and Wine are optional: without them the Windows tests say they
# were skipped and why.
deps-win32:
	@if [ -x scripts/deps-win32.sh ]; then scripts/deps-win32.sh || true; fi

build: deps
	cmake --preset host >/dev/null
	cmake --build build/host -j$(JOBS) -- --no-print-directory

asan: deps
	cmake --preset asan >/dev/null
	cmake --build build/asan -j$(JOBS) -- --no-print-directory

win32: deps deps-win32
	@if command -v i686-w64-mingw32-g++ >/dev/null; then \
	    cmake --preset win32 >/dev/null && cmake --build build/win32 -j$(JOBS); \
	else echo "win32: i686-w64-mingw32-g++ not found, Windows build skipped"; fi

# Not shipped: the same program for 64-bit Wine, where 32-bit Wine cannot run.
win64: deps deps-win32
	@if command -v x86_64-w64-mingw32-g++ >/dev/null; then \
	    cmake --preset win64 >/dev/null && cmake --build build/win64 -j$(JOBS); \
	else echo "win64: x86_64-w64-mingw32-g++ not found, 64-bit Windows build skipped"; fi

# The end-to-end runs mostly sleep through the program's fixed waits, so they share the
# cores well: the host and sanitizer suites (each bounded by its 4096-record row, about three
# minutes) run side by side with the fuzzers' short run, each one's output shown whole when it
# ends. Under Wine a busy device host is slow to publish and remove the printer, so each
# flavour runs on its own, as many scenarios at once as it has prefixes.
E2E_JOBS ?= 12
WINE_JOBS ?= 3

test: build asan
	@$(MAKE) --no-print-directory win32 win64
	@$(MAKE) --no-print-directory -j3 --output-sync=target test-host test-asan test-fuzz
	FP_WINE_SLOTS=$(WINE_JOBS) ctest --test-dir build/host --output-on-failure -j$(WINE_JOBS) -R '^win32[.]'
	FP_WINE_SLOTS=$(WINE_JOBS) ctest --test-dir build/host --output-on-failure -j$(WINE_JOBS) -R '^win64[.]'
	ctest --test-dir build/host --output-on-failure -L release

# The stages of `make test` that run side by side, on what it has built.
.PHONY: test-host test-asan test-fuzz
test-host:
	ctest --test-dir build/host --output-on-failure -j$(E2E_JOBS) -LE 'wine|release'
test-asan:
	ctest --test-dir build/asan --output-on-failure -j$(E2E_JOBS)
test-fuzz:
	scripts/fuzz.sh --short

# The fault campaign: RUNS schedules of faults drawn from SEED, each run checked against what
# must hold whatever the faults; a failing run prints the command that replays it.
RUNS ?= 200
SEED ?= 1
.PHONY: chaos
chaos: build
	tests/e2e/chaos.py --runs $(RUNS) --seed $(SEED)

# Wall time, CPU and memory of real updates against fpsim, next to the pause budget and the
# transport's floor; one update of the Windows program under Wine. BENCH_ARGS=--big adds an
# image of 8192 records, BENCH_ARGS=--skip=usbd,wine leaves those rows out.
bench: build win32
	@bench/run.py $(BENCH_ARGS)

# A whole update of a simulated printer, as the technician sees it.
demo: build
	@scripts/demo.py

# A release of the commit checked out, built from its own source archive: dist/ gets the
# Windows zip, the source archive, the Debian package and their checksums (see README,
# Releases).
dist: deps deps-win32
	@JOBS=$(JOBS) scripts/dist.sh

# The Debian package of the commit checked out, hardened and reproducible, into dist/ (see
# README, Releases). MAINTAINER='Name <address>' names its maintainer.
export MAINTAINER
deb: deps
	@JOBS=$(JOBS) scripts/deb.sh

clean:
	rm -rf build

# Each fuzz target for a fixed number of executions; `scripts/fuzz.sh --short` is the
# bounded run for CI.
FUZZ_RUNS ?= 200000
.PHONY: fuzz
fuzz:
	scripts/fuzz.sh --runs $(FUZZ_RUNS)
