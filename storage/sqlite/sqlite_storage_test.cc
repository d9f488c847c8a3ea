#include "storage/sqlite/sqlite_storage.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/test_folder.h"

namespace {

using storage::FileStatus;
using storage::StorageMode;
using testkit::bytes_of;
using testkit::in_child;
using testkit::others_in;
using testkit::put_bytes;
using testkit::TempFolder;

constexpr storage::KeyShape kArticleKeys[] = {{0, 8, false}, {8, 2, true}, {18, 10, true}};
constexpr storage::FileShape kArticleShape{88, kArticleKeys};

// A record whose alternate keys are made from its key, so that distinct keys give
// distinct alternate keys.
std::string record_of(std::string key, char fill = '5') {
  key.resize(8, ' ');
  std::string record = key + key.substr(0, 2) + std::string(8, '\0') + key + "00";
  record.resize(88, fill);
  return record;
}

storage::Opened open(const std::string& path, StorageMode mode, const storage::FileShape& shape = kArticleShape) {
  return storage::open_sqlite({path, "ARTICLES", shape, mode});
}

// Runs SQL on a database of its own, outside the storage.
void sql(const std::string& path, const std::string& statements) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(SqliteStorage, FilesOfAnotherKindOrShapeAreLeftExactlyAsTheyWere) {
  TempFolder folder;
  const std::string sqlite_header("SQLite format 3\0", 16);

  // Article files of other shapes, made by the storage itself.
  constexpr storage::KeyShape kUniqueWeek[] = {{0, 8, false}, {8, 2, false}, {18, 10, true}};
  constexpr storage::KeyShape kTwoKeys[] = {{0, 8, false}, {8, 2, true}};
  const storage::FileShape other_shapes[] = {{80, kArticleKeys}, {88, kUniqueWeek}, {88, kTwoKeys}};
  int made = 0;
  for (const storage::FileShape& shape : other_shapes) {
    const std::string path = folder.file("shape" + std::to_string(made++));
    storage::Opened opened = open(path, StorageMode::kInputOutput, shape);
    ASSERT_EQ(opened.result.status, FileStatus::kOk);
    opened.storage->insert(std::string(shape.record_length, 'k').data());
  }
  // One whose record of its shape was altered behind the header's back.
  {
    const std::string path = folder.file("altered");
    ASSERT_EQ(open(path, StorageMode::kInputOutput).result.status, FileStatus::kOk);
    sql(path, "UPDATE layout SET key_table = '0+8 8+2 18+10d'");
  }
  // An article file of the layout before this one: the records in a table keyed by the
  // primary key, one column and index per alternate key, marked with the shape alone.
  {
    uint32_t mark = 2166136261u;
    for (const char c : storage::describe(kArticleShape)) mark = (mark ^ static_cast<unsigned char>(c)) * 16777619u;
    sql(folder.file("older_layout"),
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE layout(record_length INTEGER NOT NULL, key_table TEXT NOT NULL);"
        "INSERT INTO layout VALUES(88, '0+8 8+2d 18+10d');"
        "CREATE TABLE records(key0 BLOB NOT NULL PRIMARY KEY, key1 BLOB NOT NULL, key2 BLOB NOT NULL,"
        " record BLOB NOT NULL) WITHOUT ROWID;"
        "CREATE INDEX records_key1 ON records(key1); CREATE INDEX records_key2 ON records(key2);"
        "PRAGMA application_id = " +
            std::to_string(static_cast<int32_t>(storage::kSqliteApplicationId)) +
            ";"
            "PRAGMA user_version = " +
            std::to_string(static_cast<int32_t>(mark)) + ";");
  }
  put_bytes(folder.file("text"), "AB123CD 07\n");
  put_bytes(folder.file("empty"), "");
  put_bytes(folder.file("short"), sqlite_header + "\x10\x00");
  put_bytes(folder.file("zeros"), std::string(4096, '\0'));
  sql(folder.file("foreign"), "CREATE TABLE t(x); INSERT INTO t VALUES(1);");
  sql(folder.file("foreign_wal_mode"),
      "PRAGMA journal_mode=WAL; CREATE TABLE records(x); INSERT INTO records VALUES(1);");

  struct Case {
    const char* name;
    const char* reason_part;
  } cases[] = {
      {"text", "ce n'est pas une base SQLite"},
      {"empty", "ce n'est pas une base SQLite"},
      {"short", "ce n'est pas une base SQLite"},
      {"zeros", "ce n'est pas une base SQLite"},
      {"foreign", "pas un fichier indexé"},
      {"foreign_wal_mode", "pas un fichier indexé"},
      {"shape0", "une autre longueur d'enregistrement"},
      {"shape1", "une autre longueur d'enregistrement"},
      {"shape2", "une autre longueur d'enregistrement"},
      {"altered", "les clés 0+8 8+2 18+10d"},
      {"older_layout", "une autre disposition"},
  };
  for (const Case& c : cases) {
    const std::string path = folder.file(c.name);
    const std::string before = bytes_of(path);
    struct stat st_before;
    ASSERT_EQ(stat(path.c_str(), &st_before), 0);
    for (StorageMode mode : {StorageMode::kInputOutput, StorageMode::kInput}) {
      const storage::Opened opened = open(path, mode);
      EXPECT_EQ(opened.result.status, FileStatus::kWrongShape) << c.name;
      EXPECT_NE(opened.result.reason.find(c.reason_part), std::string::npos) << c.name << ": " << opened.result.reason;
      EXPECT_EQ(opened.storage, nullptr);
    }
    struct stat st_after;
    ASSERT_EQ(stat(path.c_str(), &st_after), 0);
    EXPECT_EQ(bytes_of(path), before) << c.name;
    EXPECT_EQ(st_after.st_mtim.tv_nsec, st_before.st_mtim.tv_nsec) << c.name;
    for (const char* side : {"-wal", "-shm", "-journal"}) {
      EXPECT_FALSE(std::filesystem::exists(path + side)) << c.name << side;
    }
  }
}

TEST(SqliteStorage, RecordsAreKeptWholeWithTheShapeInTheFile) {
  TempFolder folder;
  const std::string path = folder.file("articles");
  {
    storage::Opened opened = open(path, StorageMode::kInputOutput);
    ASSERT_EQ(opened.result.status, FileStatus::kOk) << opened.result.reason;
    std::string record = record_of("AB123CD");
    record[87] = '\0';
    EXPECT_EQ(opened.storage->insert(record.data()).status, FileStatus::kOk);
    EXPECT_EQ(opened.storage->close().status, FileStatus::kOk);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT typeof(record), record, (SELECT record_length || ' ' || key_table FROM layout), "
                               "(SELECT journal_mode FROM pragma_journal_mode) FROM records",
                               -1, &query, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)), "blob");
  std::string expected = record_of("AB123CD");
  expected[87] = '\0';
  EXPECT_EQ(std::string(static_cast<const char*>(sqlite3_column_blob(query, 1)), sqlite3_column_bytes(query, 1)),
            expected);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 2)), "88 0+8 8+2d 18+10d");
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(query, 3)), "wal");
  sqlite3_finalize(query);
  sqlite3_close(db);
}

TEST(SqliteStorage, InputOpensCreateNothingAndLeaveNoSideFiles) {
  TempFolder folder;
  const std::string path = folder.file("articles");
  EXPECT_EQ(open(path, StorageMode::kInput).result.status, FileStatus::kNotFound);
  EXPECT_EQ(others_in(folder.path(), ""), std::vector<std::string>{});

  ASSERT_EQ(open(path, StorageMode::kInputOutput).result.status, FileStatus::kOk);
  {
    storage::Opened opened = open(path, StorageMode::kInput);
    ASSERT_EQ(opened.result.status, FileStatus::kOk);
    char record[88];
    EXPECT_EQ(opened.storage->read_next(record).status, FileStatus::kAtEnd);
  }
  EXPECT_EQ(others_in(folder.path(), "articles"), std::vector<std::string>{});
}

TEST(SqliteStorage, PermissionRefusedIs37) {
  TempFolder folder;
  const std::string unreadable = folder.file("unreadable");
  const std::string read_only = folder.file("read-only");
  ASSERT_EQ(open(unreadable, StorageMode::kInputOutput).result.status, FileStatus::kOk);
  ASSERT_EQ(open(read_only, StorageMode::kInputOutput).result.status, FileStatus::kOk);
  chmod(unreadable.c_str(), 0);
  chmod(read_only.c_str(), 0444);
  const std::string read_only_before = bytes_of(read_only);
  chmod(folder.path().c_str(), 0555);

  // As root every permission is granted: the checks run as an unprivileged user.
  const int status = in_child([&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 99;
    struct Case {
      std::string path;
      StorageMode mode;
      FileStatus status;
    } cases[] = {
        {unreadable, StorageMode::kInput, FileStatus::kDenied},
        {unreadable, StorageMode::kInputOutput, FileStatus::kDenied},
        {read_only, StorageMode::kInputOutput, FileStatus::kDenied},
        {folder.file("new"), StorageMode::kInputOutput, FileStatus::kDenied},  // folder not writable
        {read_only, StorageMode::kInput, FileStatus::kOk},                     // reading needs no write
    };
    int failed = 0;
    for (const Case& c : cases) {
      const storage::Opened opened = open(c.path, c.mode);
      if (opened.result.status != c.status) {
        std::fprintf(stderr, "%s: %d (%s)\n", c.path.c_str(), static_cast<int>(opened.result.status),
                     opened.result.reason.c_str());
        ++failed;
      }
    }
    return failed;
  });
  chmod(folder.path().c_str(), 0755);
  if (status == 99) GTEST_SKIP() << "cannot take an unprivileged user";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(bytes_of(read_only), read_only_before);
  EXPECT_FALSE(std::filesystem::exists(folder.file("new")));
}

}  // namespace
