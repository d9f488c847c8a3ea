// SQLite's side of the storage: result codes, URIs, the schema and the empty file.
#include "storage/sqlite/database.h"

#include <cctype>
#include <cstring>

#include "storage/sqlite/file_os.h"
#include "storage/sqlite/sqlite_storage.h"

namespace storage::sqlite {
namespace {

// The URI of a path, with immutable=1 for a file read as it stands.
std::string uri_of(const std::string& path, bool immutable) {
  std::string uri = "file:";
  if (path.front() != '/') uri += "./";  // keeps a relative name from reading as an authority
  for (const char c : path) {
    if (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/-._~", c) != nullptr) {
      uri += c;
    } else {
      uri += '%';
      append_hexadecimal(uri, std::string_view(&c, 1));
    }
  }
  return immutable ? uri + "?immutable=1" : uri;
}

}  // namespace

FileStatus status_of_sqlite(sqlite3* db, int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return FileStatus::kOk;
    case SQLITE_CONSTRAINT:
      return rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE ? FileStatus::kDuplicateKey
                                                                                  : FileStatus::kFailed;
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_READONLY:
      return FileStatus::kDenied;
    case SQLITE_CANTOPEN:
      return db != nullptr ? status_of_errno(sqlite3_system_errno(db)) : FileStatus::kFailed;
    case SQLITE_NOTADB:
      return FileStatus::kWrongShape;
    default:
      return FileStatus::kFailed;
  }
}

Result sqlite_failure(sqlite3* db, int rc) {
  const FileStatus status = status_of_sqlite(db, rc);
  if (status == FileStatus::kDuplicateKey) return failure(status);
  if ((rc & 0xff) == SQLITE_BUSY) return failure(status, "the file stayed busy");
  return failure(status, db != nullptr ? sqlite3_errmsg(db) : "out of memory");
}

Result connect_to(const std::string& path, bool can_write, sqlite3** db) {
  const bool as_it_stands = !can_write && !exists(resolved(path) + "-wal");
  const int flags = (can_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX |
                    SQLITE_OPEN_EXRESCODE;
  const int rc = sqlite3_open_v2(uri_of(path, as_it_stands).c_str(), db, flags, nullptr);
  if (rc == SQLITE_OK) return {};
  Result result = sqlite_failure(*db, rc);
  sqlite3_close(*db);
  *db = nullptr;
  return result;
}

Result execute(sqlite3* db, const std::string& sql) {
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? Result{} : sqlite_failure(db, rc);
}

std::string key_table_text(const FileShape& shape) {
  const std::string text = describe(shape);
  return text.substr(text.find(' ') + 1);
}

std::string key_expression(const KeyShape& key) {
  return "substr(record, " + std::to_string(key.offset + 1) + ", " + std::to_string(key.length) + ")";
}

// The records are kept whole in a table in the order they were written, so that a new
// record goes to the table's last page; each key is an index over the key's bytes of
// the record. An insert then changes one page of the table, which the inserts before
// it changed too, and one page of each index, whose entries are a key and a row
// number: the pages an insert may change wherever its keys fall are the indexes' small
// entries rather than whole records, and they are what a file of any size must
// rewrite.
std::string schema(const FileShape& shape) {
  std::string sql = "CREATE TABLE layout(record_length INTEGER NOT NULL, key_table TEXT NOT NULL);";
  sql += "INSERT INTO layout VALUES(" + std::to_string(shape.record_length) + ", '" + key_table_text(shape) + "');";
  sql += "CREATE TABLE records(record BLOB NOT NULL);";
  for (size_t k = 0; k < shape.keys.size(); ++k) {
    sql += std::string("CREATE ") + (shape.keys[k].duplicates ? "" : "UNIQUE ") + "INDEX records_key" +
           std::to_string(k) + " ON records(" + key_expression(shape.keys[k]) + ");";
  }
  sql += "PRAGMA application_id = " + std::to_string(static_cast<int32_t>(kSqliteApplicationId)) + ";";
  sql += "PRAGMA user_version = " + std::to_string(static_cast<int32_t>(shape_mark(shape))) + ";";
  return sql;
}

Result empty_file_image(const FileShape& shape, std::vector<unsigned char>* image) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr);
  Result result = rc == SQLITE_OK ? execute(db, schema(shape)) : sqlite_failure(db, rc);
  if (result.ok()) {
    sqlite3_int64 size = 0;
    unsigned char* bytes = sqlite3_serialize(db, "main", &size, 0);
    if (bytes != nullptr && size >= static_cast<sqlite3_int64>(kHeaderSize)) {
      image->assign(bytes, bytes + size);
      (*image)[kWriteVersionAt] = kWalFormat;
      (*image)[kReadVersionAt] = kWalFormat;
    } else {
      result = failure(FileStatus::kFailed, "could not build the empty file");
    }
    sqlite3_free(bytes);
  }
  sqlite3_close(db);
  return result;
}

}  // namespace storage::sqlite
