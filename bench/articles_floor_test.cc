// The SQLite floor stores what it claims: the records autolog would write, under the
// journal settings, keys and indexes the comparison relies on.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/articles.h"
#include "testing/process.h"
#include "testing/test_folder.h"

namespace {

class FloorFile : public testing::Test {
 protected:
  int Add(unsigned first, unsigned count) {
    bench::Command floor{ARTICLES_FLOOR, {path_, std::to_string(first), std::to_string(count)}};
    floor.stdout_path = "/dev/null";
    return bench::run(floor).status;
  }
  // The rows of one query, each row's columns joined by '|'.
  std::vector<std::string> Query(const char* sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> rows;
    EXPECT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK) << sql;
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        const char* bytes = static_cast<const char*>(sqlite3_column_blob(statement, c));
        row += (c ? "|" : "") + std::string(bytes ? bytes : "", sqlite3_column_bytes(statement, c));
      }
      rows.push_back(row);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
  }
  testkit::TempFolder folder_;  // tests run in parallel: a file of each test's own
  std::string path_ = folder_.file("articles.db");
};

std::string record(unsigned i) {
  unsigned char bytes[kArticleRecordSize];
  article_record(i, bytes);
  return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

TEST_F(FloorFile, StoresTheRecordsAndTheirKeys) {
  ASSERT_EQ(Add(5, 3), 0);
  ASSERT_EQ(Add(8, 1), 0);  // a second run adds to the same file
  std::vector<std::string> expected;
  for (unsigned i = 5; i <= 8; ++i) {
    const std::string r = record(i);
    expected.push_back(r.substr(0, 8) + "|" + r.substr(8, 2) + "|" + r.substr(18, 10) + "|" + r);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Query("SELECT substr(record, 1, 8), substr(record, 9, 2), substr(record, 19, 10), record "
                  "FROM articles ORDER BY substr(record, 1, 8)"),
            expected);
}

TEST_F(FloorFile, JournalKeysAndIndexes) {
  ASSERT_EQ(Add(0, 2), 0);
  EXPECT_EQ(Query("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
  EXPECT_EQ(Query("SELECT name, \"unique\" FROM pragma_index_list('articles') ORDER BY name"),
            (std::vector<std::string>{"articles_monday|0", "articles_plate|1", "articles_week|0"}));
  EXPECT_EQ(Add(1, 1), 1);  // the plate is the primary key: no second article for it
  EXPECT_EQ(Query("SELECT count(*) FROM articles"), std::vector<std::string>{"2"});
}

}  // namespace
