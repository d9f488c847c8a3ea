// The article record and the article file, as autolog and autolog2 both declare them.
//
// An article is one car's weekly log, 88 bytes, laid out in record.h: the plate
// (primary key), the week number (alternate key 1, duplicates allowed), eight spare
// bytes that nothing reads or sets, and seven day entries of mileage and costs, Monday
// (alternate key 2, duplicates allowed) to Sunday. The file is named "$fichier": the
// environment variable fichier, or ./fichier when that is unset or empty.
#pragma once

#include "fleet/record.h"
#include "runtime/file.h"
#include "runtime/rt.h"

namespace fleet {

inline constexpr uint32_t kRecordLength = layout::kRecordLength;
inline constexpr uint32_t kDayEntryWidth = layout::kDayEntry.width;

// The record area: 88 bytes of value 0 until the program fills it.
inline char record_storage[kRecordLength];
inline constexpr rt::Field record_area = rt::alphanumeric(record_storage);
inline constexpr rt::Field record = rt::group(record_storage);
inline constexpr rt::Field plate = rt::alphanumeric(record_storage + layout::kPlate.offset, layout::kPlate.width);
inline constexpr rt::Field week_number = rt::numeric<layout::kWeek.width>(record_storage + layout::kWeek.offset);
// The spare area is never read or set.
// Day entry d lies kDayEntryWidth (d - 1) bytes after Monday's; these are Monday's.
inline constexpr rt::Field day_entry = rt::group(record_storage + layout::kDayEntry.offset, kDayEntryWidth);
inline constexpr rt::Field mileage =
    rt::numeric<layout::kMileage.width>(record_storage + layout::kDayEntry.offset + layout::kMileage.offset);
inline constexpr rt::Field costs = rt::numeric<layout::kCosts.width, layout::kCostsScale>(
    record_storage + layout::kDayEntry.offset + layout::kCosts.offset);

// The status of the last file operation; initial value 00.
inline char file_status_storage[2];
inline constexpr rt::Field file_status = rt::numeric<2>(file_status_storage);

inline constexpr rt::Item assignment = rt::literal("$fichier");

// The declaration and its key table, in storage obtained once.
inline rt::FileDeclaration* article_file = nullptr;
inline rt::KeyEntry* article_keys = nullptr;

// Builds the file declaration under the program's declared name, at every first-call
// initialisation; the storage of the first one is reused after a cancel.
inline void declare_article_file(const char* declared_name) {
  if (article_file == nullptr) {
    article_file = static_cast<rt::FileDeclaration*>(rt::malloc(sizeof(rt::FileDeclaration)));
    article_keys = static_cast<rt::KeyEntry*>(rt::malloc(3 * sizeof(rt::KeyEntry)));
  }
  article_keys[0] = {plate, rt::kNoDuplicates, layout::kKeys[0].offset};
  article_keys[1] = {week_number, rt::kDuplicates, layout::kKeys[1].offset};
  article_keys[2] = {day_entry, rt::kDuplicates, layout::kKeys[2].offset};
  *article_file = rt::FileDeclaration{
      .declared_name = declared_name,
      .assignment = assignment,
      .organisation = rt::kIndexed,
      .access = rt::kSequentialAccess,
      .record = record_area,
      .record_group = record,
      .record_min = kRecordLength,
      .record_max = kRecordLength,
      .key_count = 3,
      .keys = article_keys,
      .optional = 0,
      .has_status = 1,
      .status = {'0', '0'},
      .record_noun = "article",
  };
}

}  // namespace fleet
