// The fleet's figures, gathered in one pass over the article file: what `fleet stats`
// prints and `fleet report` charts.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "command/command.h"

namespace fleet {

struct Car {
  std::string plate;  // stored bytes
  uint64_t mileage = 0;
  uint64_t cents = 0;
};

struct FleetStats {
  uint64_t articles = 0;
  uint64_t mileage = 0;
  uint64_t cents = 0;
  std::array<uint64_t, layout::kDays> mileage_by_day{};
  std::array<uint64_t, layout::kWeekMost + 1> mileage_by_week{};
  std::array<bool, layout::kWeekMost + 1> week_seen{};
  std::vector<Car> dearest;  // the highest cost per kilometre first, at most kDearest
  std::vector<Car> longest;  // the most kilometres first, at most kLongest

  static constexpr size_t kDearest = 5;
  static constexpr size_t kLongest = 20;

  // The week with the most kilometres (the smallest number among equals); -1 when
  // there is no article.
  int busiest_week() const;
};

// Gathers the figures; on failure says why (one line per article it cannot read)
// and returns false, with the figures of the articles it could read.
bool gather(const Context& context, FleetStats* stats);
// The same, of a file open already (fleet serve keeps one storage a file).
bool gather(const Context& context, storage::Storage& articles, FleetStats* stats);

}  // namespace fleet
