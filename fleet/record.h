// The article record: where each field of the 88 bytes lies, the file's key table,
// and the one decoding and encoding of a record. autolog and autolog2 declare their
// fields from these places (article.h); the fleet command reads and writes records
// through Article. Nothing else spells out the layout.
//
// An article is one car's weekly log: the plate (primary key), the week number
// (alternate key 1, duplicates allowed), eight spare bytes that nothing reads or sets,
// and seven day entries of kilometres (4 digits) and costs (6 digits, 2 of them
// hundredths), Monday (alternate key 2, duplicates allowed) to Sunday. Numbers are
// held as ASCII digits; text as Latin-1 bytes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "storage/storage.h"

namespace fleet::layout {

// A field's place: its first byte and its width.
struct Place {
  uint32_t offset;
  uint32_t width;
};

inline constexpr uint32_t kRecordLength = 88;
inline constexpr Place kPlate{0, 8};
inline constexpr Place kWeek{8, 2};
inline constexpr Place kSpare{10, 8};
inline constexpr uint32_t kDays = 7;
inline constexpr Place kDayEntry{18, 10};  // Monday's; day d (1 to 7) lies d - 1 widths further
inline constexpr Place kMileage{0, 4};     // within a day entry
inline constexpr Place kCosts{4, 6};       // within a day entry
inline constexpr uint32_t kCostsScale = 2;

constexpr uint32_t day_entry_offset(uint32_t day) { return kDayEntry.offset + kDayEntry.width * (day - 1); }
static_assert(day_entry_offset(kDays + 1) == kRecordLength);
static_assert(kSpare.offset + kSpare.width == kDayEntry.offset);

// The keys as they are handed to the storage: plate, week number, Monday's entry.
inline constexpr storage::KeyShape kKeys[] = {
    {kPlate.offset, kPlate.width, false},
    {kWeek.offset, kWeek.width, true},
    {kDayEntry.offset, kDayEntry.width, true},
};
inline constexpr storage::FileShape kShape{kRecordLength, kKeys};

// The largest value each number field holds.
inline constexpr uint32_t kWeekMost = 99;
inline constexpr uint32_t kMileageMost = 9999;
inline constexpr uint32_t kCentsMost = 999999;

// The days' names as autolog shows them, without its padding.
inline constexpr const char* kDayNames[kDays] = {"LUNDI",    "MARDI",  "MERCREDI", "JEUDI",
                                                 "VENDREDI", "SAMEDI", "DIMANCHE"};

}  // namespace fleet::layout

namespace fleet {

struct Day {
  uint32_t mileage = 0;  // kilometres
  uint32_t cents = 0;    // costs, in hundredths
};

// One article, decoded.
struct Article {
  std::string plate;  // the stored bytes, kPlate.width of them, padded with spaces
  uint32_t week = 0;
  std::array<Day, layout::kDays> days{};

  uint64_t mileage() const {
    uint64_t total = 0;
    for (const Day& day : days) total += day.mileage;
    return total;
  }
  uint64_t cents() const {
    uint64_t total = 0;
    for (const Day& day : days) total += day.cents;
    return total;
  }
};

namespace layout {

// The value of a field of digits; false when a byte is not a digit.
inline bool digits_value(std::string_view bytes, uint32_t* value) {
  uint32_t v = 0;
  for (const char c : bytes) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  *value = v;
  return true;
}

inline void put_digits(uint32_t value, char* out, uint32_t width) {
  for (uint32_t i = width; i-- > 0; value /= 10) out[i] = static_cast<char>('0' + value % 10);
}

}  // namespace layout

// Decodes a record of kRecordLength bytes. False when a number field holds something
// other than digits (autolog never stores that): *field then names it, in French
// ("semaine", "kilométrage du MARDI", "frais du JEUDI").
inline bool decode(std::string_view record, Article* article, std::string* field) {
  using namespace layout;
  article->plate.assign(record.substr(kPlate.offset, kPlate.width));
  if (!digits_value(record.substr(kWeek.offset, kWeek.width), &article->week)) {
    *field = "semaine";
    return false;
  }
  for (uint32_t d = 1; d <= kDays; ++d) {
    const std::string_view entry = record.substr(day_entry_offset(d), kDayEntry.width);
    Day& day = article->days[d - 1];
    if (!digits_value(entry.substr(kMileage.offset, kMileage.width), &day.mileage)) {
      *field = std::string("kilométrage du ") + kDayNames[d - 1];
      return false;
    }
    if (!digits_value(entry.substr(kCosts.offset, kCosts.width), &day.cents)) {
      *field = std::string("frais du ") + kDayNames[d - 1];
      return false;
    }
  }
  return true;
}

// The record autolog stores for these values: the plate padded with spaces (or cut),
// numbers as digits with leading zeros, and the spare bytes zero. Values must fit
// their fields (kWeekMost, kMileageMost, kCentsMost).
inline std::string encode(const Article& article) {
  using namespace layout;
  std::string record(kRecordLength, '\0');
  const std::string_view plate = std::string_view(article.plate).substr(0, kPlate.width);
  record.replace(kPlate.offset, plate.size(), plate);
  std::fill_n(record.begin() + kPlate.offset + plate.size(), kPlate.width - plate.size(), ' ');
  put_digits(article.week, record.data() + kWeek.offset, kWeek.width);
  for (uint32_t d = 1; d <= kDays; ++d) {
    char* entry = record.data() + day_entry_offset(d);
    put_digits(article.days[d - 1].mileage, entry + kMileage.offset, kMileage.width);
    put_digits(article.days[d - 1].cents, entry + kCosts.offset, kCosts.width);
  }
  return record;
}

}  // namespace fleet
