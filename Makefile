# Two commands do everything on a new machine: `make run` and `make test`.
# `make bench` measures the programs in a release build of their own.
BUILD ?= build
BENCH_BUILD ?= build-release
PROGRAM ?= autolog
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test bench clean

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

bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target bench_suite -- --no-print-directory
	@$(BENCH_BUILD)/bench/bench_run --csv $(BUILD)/bench.csv

clean:
	rm -rf $(BUILD) $(BENCH_BUILD)
