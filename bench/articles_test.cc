// The benchmark's articles: the typed lines, stored by the runtime's move rules as
// autolog stores them, give exactly the record the SQLite floor inserts.
#include "bench/articles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/field.h"

namespace {

std::vector<std::string> lines_of(unsigned i) {
  char text[kArticleTextMax];
  std::istringstream in(std::string(text, article_text(i, text)));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What autolog's add-article leaves in its record area for these answers.
std::string stored(const std::vector<std::string>& answers) {
  char record[kArticleRecordSize] = {};
  auto accept = [&](size_t k, const rt::Field& field) {
    rt::move(rt::Item{static_cast<uint32_t>(answers[k].size()), answers[k].data(), &rt::kAlphanumericAttribute}, field);
  };
  accept(2, rt::numeric<2>(record + 8));
  accept(3, rt::alphanumeric(record, 8));
  for (int day = 0; day < 7; ++day) {
    accept(4 + 2 * day, rt::numeric<4>(record + 18 + 10 * day));
    accept(5 + 2 * day, rt::numeric<6, 2>(record + 22 + 10 * day));
  }
  return std::string(record, sizeof record);
}

TEST(Articles, TypedLinesStoreTheFloorsRecord) {
  for (unsigned i : {0u, 1u, 51u, 52u, 9999u, 123456u, 199999u, 200999u}) {
    SCOPED_TRACE(i);
    const std::vector<std::string> lines = lines_of(i);
    ASSERT_EQ(lines.size(), 4u + 14u);
    EXPECT_EQ(lines[0], "o");
    EXPECT_EQ(lines[1], "2");
    unsigned char record[kArticleRecordSize];
    article_record(i, record);
    EXPECT_EQ(stored(lines), std::string(reinterpret_cast<char*>(record), sizeof record));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(record) + 10, 8), std::string(8, '\0'));
  }
}

TEST(Articles, PlatesAreDistinctAndBatchesSpreadOverTheFile) {
  std::vector<std::string> base;
  char plate[9];
  for (unsigned i = 0; i < 200000; ++i) {
    article_plate(i, plate);
    ASSERT_EQ(std::string(plate).size(), 8u);
    base.push_back(plate);
  }
  std::sort(base.begin(), base.end());
  ASSERT_EQ(std::unique(base.begin(), base.end()), base.end());
  // Each later batch of 1,000 is new and lands all over the key order.
  for (unsigned first : {200000u, 201000u, 204000u}) {
    std::vector<size_t> ranks;
    for (unsigned i = first; i < first + 1000; ++i) {
      article_plate(i, plate);
      const auto at = std::lower_bound(base.begin(), base.end(), std::string(plate));
      ASSERT_TRUE(at == base.end() || *at != plate) << plate;
      ranks.push_back(static_cast<size_t>(at - base.begin()));
    }
    std::sort(ranks.begin(), ranks.end());
    EXPECT_LT(ranks.front(), 2000u);
    EXPECT_GT(ranks.back(), 198000u);
    EXPECT_NEAR(static_cast<double>(ranks[500]), 100000.0, 10000.0);
  }
}

}  // namespace
