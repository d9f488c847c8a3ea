# Two commands do everything on a new machine: `make run` and `make test`.
# `make bench` measures the programs in a release build of their own.
BUILD ?= build
BENCH_BUILD ?= build-release
PROGRAM ?= autolog
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test test-sanitize package bench fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

# The build's own lines go to standard error, so the program's dialogue alone is on
# standard output (make run < answers > dialogue).
run: configure
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory >&2
	@$(BUILD)/bin/$(PROGRAM)

test: build
	@cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	@cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON >/dev/null
	@cmake --build $(BUILD)-sanitize -j $(JOBS) -- --no-print-directory
	@cd $(BUILD)-sanitize && ctest -j $(JOBS) --output-on-failure

# The Debian package of the programs and their manual pages, in $(BUILD)/.
package: build
	@cmake --build $(BUILD) --target package -- --no-print-directory


bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target bench_suite -- --no-print-directory
	@$(BENCH_BUILD)/bench/bench_run --csv $(BUILD)/bench.csv

# libFuzzer: builds every fuzz target with clang (installing it when missing, as root)
# and runs each for FUZZ_SECONDS; a crash, a failed check, a hang or runaway memory
# fails it (see scripts/run-fuzzers).
FUZZ_SECONDS ?= 60
FUZZ_CC ?= clang-14
FUZZ_CXX ?= clang++-14
fuzz:
	@scripts/install-deps clang-14 libclang-rt-14-dev
	@cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
	  -DCMAKE_C_COMPILER=$(FUZZ_CC) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) >/dev/null
	@cmake --build $(BUILD)-fuzz -j $(JOBS) --target fuzzers -- --no-print-directory
	@scripts/run-fuzzers $(BUILD)-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(BUILD)-* $(BENCH_BUILD)
