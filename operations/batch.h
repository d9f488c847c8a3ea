// How `fleet import` groups rows into transactions: as many as fit in about half a
// second, never more than kBatchMost, so that a program writing to the file at the same
// time waits well within its 30 s for each, and 200,000 rows still take seconds.
#pragma once

#include <cstddef>

namespace fleet {

inline constexpr size_t kBatchMost = 4096;
inline constexpr size_t kBatchLeast = 16;
inline constexpr double kBatchSeconds = 0.5;

// The size of the next batch after one of size rows that took seconds.
constexpr size_t next_batch_size(size_t size, double seconds) {
  if (seconds > kBatchSeconds) {
    const auto fitting = static_cast<size_t>(static_cast<double>(size) * kBatchSeconds / seconds / 2);
    return fitting < kBatchLeast ? kBatchLeast : fitting;
  }
  if (seconds < kBatchSeconds / 4) return size * 2 > kBatchMost ? kBatchMost : size * 2;
  return size;
}

}  // namespace fleet
