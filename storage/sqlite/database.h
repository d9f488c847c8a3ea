// What the SQLite storage, its check and its backup share of SQLite itself: result
// codes as Results, connections made by URI, prepared statements, and the tables a
// file of a shape holds.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <vector>

#include "storage/storage.h"

namespace storage::sqlite {

// The status for an SQLite result code (extended codes on).
FileStatus status_of_sqlite(sqlite3* db, int rc);

// The French words for an SQLite result code (extended, or else its primary code), with
// the system's reason after an open's or a read's or write's (system_error, when not
// 0). A code without words (SQLITE_ERROR, whose message is an SQL error) keeps message:
// "erreur de SQLite (code 1 : no such table: records)".
std::string sqlite_reason(int rc, std::string_view message, int system_error);

// The failure of an SQLite call on db (which may be null: out of memory): its status
// and sqlite_reason. A taken key has the status's own meaning.
Result sqlite_failure(sqlite3* db, int rc);

// Opens a connection to the database at path, into *db: read-write when can_write (the
// WAL's side files are made and, by the last connection, removed), else read-only, and
// then as the file stands (immutable) when no WAL is beside it to be read. On a
// failure *db is null.
Result connect_to(const std::string& path, bool can_write, sqlite3** db);

// Runs SQL on a connection.
Result execute(sqlite3* db, const std::string& sql);

// The key table of a shape as the file keeps it: describe's text after the length.
std::string key_table_text(const FileShape& shape);

// Where a key lies in a record, as an SQL expression over the record.
std::string key_expression(const KeyShape& key);

// The statements that make an empty file of this shape.
std::string schema(const FileShape& shape);

// The bytes of a new, empty file of this shape, in WAL mode.
Result empty_file_image(const FileShape& shape, std::vector<unsigned char>* image);

// A prepared statement, finalized when it goes.
class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(statement_); }

  int prepare(sqlite3* db, const std::string& sql) {
    return sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
  }
  sqlite3_stmt* get() const { return statement_; }
  void bind(int index, const char* bytes, uint32_t length) {
    sqlite3_bind_blob(statement_, index, bytes, static_cast<int>(length), SQLITE_STATIC);
  }
  // One step; the statement is reset unless it produced a row.
  int step() {
    const int rc = sqlite3_step(statement_);
    if (rc != SQLITE_ROW) sqlite3_reset(statement_);
    return rc;
  }
  void reset() { sqlite3_reset(statement_); }
  void finalize() {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  }
  // The first column of the row as bytes (a record).
  std::string_view blob() const {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement_, 0));
    return bytes != nullptr ? std::string_view(bytes, sqlite3_column_bytes(statement_, 0)) : std::string_view();
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

}  // namespace storage::sqlite
