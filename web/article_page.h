// Pages of the period's articles: the listing they are cut from (each article in the
// few bytes a list shows), and keyset pages of it, 50 articles each, in one of five
// orders, optionally only the plates that begin with a prefix. A page is named by the
// article before it (or after it, going back): the next page stays the next one while
// articles come and go, which an offset would not.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fleet/record.h"

namespace fleet::web {

// One article of the period.
struct Entry {
  std::array<char, layout::kPlate.width> plate;  // stored bytes, padded with spaces
  uint16_t file;                                 // its file's number in the period
  uint8_t week;
  uint32_t mileage;  // the week's kilometres
  uint32_t cents;    // the week's costs

  std::string_view plate_bytes() const { return {plate.data(), plate.size()}; }
};

enum class Sort : uint8_t { kPlate, kWeek, kMileage, kCosts, kCostPerKm };
inline constexpr size_t kSorts = 5;

// The period's articles in plate order, then in the order of their files; the other
// orders are made at their first use, once for every page that asks.
class Listing {
 public:
  std::vector<Entry> entries;
  bool whole = true;  // false: a file or an article could not be read

  // The entries' numbers in ascending order of sort (ties in plate, then file, order).
  const std::vector<uint32_t>& order(Sort sort) const;

 private:
  mutable std::array<std::once_flag, kSorts> made_;
  mutable std::array<std::vector<uint32_t>, kSorts> orders_;
};

// Where a page starts: the article next to it, by everything any order compares.
struct Cursor {
  std::string plate;  // stored bytes, padded
  uint32_t file = 0;
  uint32_t week = 0;
  uint32_t mileage = 0;
  uint32_t cents = 0;
};

// The text of a cursor in a page's address ("7.1750.24780.0.AB123CD": week, kilometres,
// costs, file, then the plate as UTF-8, which may hold dots); parse_cursor takes it back.
std::string cursor_text(const Entry& entry);
bool parse_cursor(std::string_view text, Cursor* cursor);

struct PageQuery {
  std::string prefix;  // stored bytes (Latin-1); ASCII letters match in either case
  Sort sort = Sort::kPlate;
  bool descending = false;
  std::optional<Cursor> after;   // the page of the articles after this one
  std::optional<Cursor> before;  // or of those before it
};

struct ArticlePage {
  static constexpr size_t kSize = 50;
  std::vector<const Entry*> entries;
  size_t first = 0;      // the position of the first one among those that match
  size_t matching = 0;   // how many match
  bool earlier = false;  // there are articles before this page
  bool later = false;    // and after it
};

// The page of listing that query asks for.
ArticlePage page_of(const Listing& listing, const PageQuery& query);

}  // namespace fleet::web
