// Checks of the fuzz targets. A failed check names itself on standard error and
// aborts: libFuzzer keeps the input as a crash, and the replay test of the normal
// suite fails on it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void check_failed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::fuzz::check_failed(#condition, __FILE__, __LINE__))
