// The soundness of an SQLite article file: SQLite's integrity check, the schema of its
// shape, the length of every record.
#include "storage/sqlite/check.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "storage/sqlite/database.h"

namespace storage::sqlite {
namespace {

// The tables and indexes of a database, one "type name sql" line each, by name.
Result schema_entries(sqlite3* db, std::vector<std::string>* entries) {
  Statement query;
  int rc = query.prepare(db, "SELECT type || ' ' || name || ' ' || coalesce(sql, '') FROM sqlite_schema ORDER BY name");
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    if ((rc = query.step()) != SQLITE_ROW) break;
    entries->emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(query.get(), 0)));
  }
  return rc == SQLITE_DONE ? Result{} : sqlite_failure(db, rc);
}

// The tables and indexes a new file of this shape has.
Result expected_entries(const FileShape& shape, std::vector<std::string>* entries) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr);
  Result result = rc == SQLITE_OK ? execute(db, schema(shape)) : sqlite_failure(db, rc);
  if (result.ok()) result = schema_entries(db, entries);
  sqlite3_close(db);
  return result;
}

}  // namespace

Result check_database(sqlite3* db, const FileShape& shape) {
  std::vector<std::string> problems;
  Statement integrity;
  int rc = integrity.prepare(db, "PRAGMA integrity_check(20)");
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    if ((rc = integrity.step()) != SQLITE_ROW) break;
    const auto* line = reinterpret_cast<const char*>(sqlite3_column_text(integrity.get(), 0));
    // SQLite's own account of a damage (a page, a row, an index entry) has no code to
    // give French words to.
    if (line != nullptr && std::strcmp(line, "ok") != 0) problems.push_back(std::string("SQLite : ") + line);
  }
  if (rc != SQLITE_DONE) return sqlite_failure(db, rc);

  std::vector<std::string> expected, actual;
  if (Result made = expected_entries(shape, &expected); !made.ok()) return failure(FileStatus::kFailed, made.reason);
  if (Result read = schema_entries(db, &actual); !read.ok()) return failure(FileStatus::kFailed, read.reason);
  for (const std::string& entry : expected) {
    if (std::find(actual.begin(), actual.end(), entry) == actual.end())
      problems.push_back("absent ou modifié : " + entry);
  }
  for (const std::string& entry : actual) {
    if (std::find(expected.begin(), expected.end(), entry) == expected.end())
      problems.push_back("étranger à la disposition du fichier : " + entry);
  }

  Statement lengths;
  rc = lengths.prepare(db, "SELECT count(*) FROM records WHERE typeof(record) <> 'blob' OR length(record) <> " +
                               std::to_string(shape.record_length));
  if (rc == SQLITE_OK && (rc = lengths.step()) == SQLITE_ROW) {
    if (const sqlite3_int64 wrong = sqlite3_column_int64(lengths.get(), 0); wrong != 0) {
      problems.push_back(std::to_string(wrong) + (wrong == 1 ? " enregistrement" : " enregistrements") +
                         " d'une autre longueur que " + std::to_string(shape.record_length));
    }
    lengths.reset();
  } else if (problems.empty()) {
    return sqlite_failure(db, rc);
  }
  if (problems.empty()) return {};
  std::string all;
  for (const std::string& problem : problems) all += (all.empty() ? "" : "; ") + problem;
  return failure(FileStatus::kFailed, all);
}

}  // namespace storage::sqlite
