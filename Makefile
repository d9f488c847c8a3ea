# Two commands do everything on a new machine: `make run` and `make test`.
# `make bench` measures the programs in a release build of their own.
BUILD ?= build
BENCH_BUILD ?= build-release
PROGRAM ?= autolog
JOBS ?= $(shell nproc)

SHELL := /bin/bash
# Ninja: with nothing to rebuild it answers in a tenth of a second, where make's walk
# through every target took seconds. Used for new build folders only (a folder keeps the
# generator it was made with).
export CMAKE_GENERATOR ?= Ninja
.PHONY: all deps configure build run test test-sanitize lint package bench fuzz clean

all: build

# A build folder that `make run` or `make package` makes holds the programs alone
# (BUILD_TESTING=OFF: no GoogleTest needed); `make test` turns the tests on in the same
# folder and keeps the programs built already. Once made, the folder is configured again
# only when the build itself sees a CMakeLists.txt changed.
CONFIGURE_PROGRAMS = [ -f $(BUILD)/CMakeCache.txt ] || \
  cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null

deps:
	@scripts/install-deps test

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Builds the programs and nothing else, then runs one. Everything but the dialogue goes
# to standard error (make run < answers > dialogue), and of the build's lines only those
# of work done: nothing at all when every program is up to date.
run:
	@scripts/install-deps build
	@$(CONFIGURE_PROGRAMS)
	@grep -qxF -- '$(PROGRAM)' $(BUILD)/programs 2>/dev/null || cmake $(BUILD) >/dev/null
	@grep -qxF -- '$(PROGRAM)' $(BUILD)/programs || { \
	  echo "make run: there is no program '$(PROGRAM)'; PROGRAM is one of:" \
	       $$(cat $(BUILD)/programs) >&2; exit 2; }
	@set -o pipefail; cmake --build $(BUILD) -j $(JOBS) --target programs | \
	  { grep --line-buffered -v -E '^ninja: no work to do|Built target |Consolidate compiler generated' || true; } >&2
	@$(BUILD)/bin/$(PROGRAM)

test: build
	@cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

# The whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	@cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON >/dev/null
	@cmake --build $(BUILD)-sanitize -j $(JOBS)
	@cd $(BUILD)-sanitize && ctest -j $(JOBS) --output-on-failure

# Every tracked C and C++ file as .clang-format lays it out, and clang-tidy's short list of
# checks (.clang-tidy) over every project source, JOBS at a time; both run, so that one
# report shows every finding, and any finding fails the lint. clang-tidy reads each file's
# flags from the compile database of a build folder of its own, configured only: nothing
# in it is built. Its "N warnings generated" lines count what the checks leave out.
LINT_BUILD ?= $(BUILD)-lint
lint:
	@scripts/install-deps lint
	@cmake -S . -B $(LINT_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
	  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	@set -o pipefail; status=0; \
	git ls-files -z '*.c' '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror || status=1; \
	git ls-files -z '*.c' '*.cc' | \
	  xargs -0 -n 4 -P $(JOBS) clang-tidy -p $(LINT_BUILD) --quiet --header-filter='^$(CURDIR)/' 2>&1 | \
	  { grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$$' || true; } || status=1; \
	exit $$status

# The Debian package of the programs and their manual pages, in $(BUILD)/.
package:
	@scripts/install-deps package
	@$(CONFIGURE_PROGRAMS)
	@cmake --build $(BUILD) -j $(JOBS) --target package

bench:
	@scripts/install-deps bench
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target bench_suite
	@$(BENCH_BUILD)/bench/bench_run --csv $(BUILD)/bench.csv

# libFuzzer: builds every fuzz target with clang (installing it when missing, as root)
# and runs each for FUZZ_SECONDS; a crash, a failed check, a hang or runaway memory
# fails it (see scripts/run-fuzzers).
FUZZ_SECONDS ?= 60
FUZZ_CC ?= clang-14
FUZZ_CXX ?= clang++-14
fuzz:
	@scripts/install-deps build libgtest-dev libgmock-dev clang-14 libclang-rt-14-dev
	@cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFUZZ=ON \
	  -DCMAKE_C_COMPILER=$(FUZZ_CC) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) >/dev/null
	@cmake --build $(BUILD)-fuzz -j $(JOBS) --target fuzzers
	@scripts/run-fuzzers $(BUILD)-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(BUILD)-* $(BENCH_BUILD)
