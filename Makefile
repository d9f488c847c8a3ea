# Two commands do everything on a new machine: `make run` and `make test`.
# `make bench` measures the programs in a release build of their own.
BUILD ?= build
BENCH_BUILD ?= build-release
PROGRAM ?= autolog
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test test-sanitize package bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

run: build
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

clean:
	rm -rf $(BUILD) $(BUILD)-* $(BENCH_BUILD)
