// The changes to stored records (erase, replace) and the archive of an SQLite file.
//
// An archive cannot be one transaction: SQLite commits a transaction over two WAL
// databases in each of them apart, so a crash between the two commits would leave
// the records in both files or, with the other order, in neither. It goes in steps
// that a run cut off anywhere leaves recoverable instead:
//
//   1. one read transaction holds the state to move; it is copied to a new file
//      beside the destination, marked there (table archive_of) with the identity of
//      this file, read back, flushed, and linked at the destination;
//   2. the records are erased from this file in one transaction: all of them when
//      nothing was written since the state was taken (the read transaction then
//      becomes the write), else each record the archive holds with the same bytes;
//   3. the mark is taken off the archive.
//
// Killed before 1 ends, nothing is at the destination and this file is whole; killed
// after, the destination is a marked archive of this file, and a new run finds it so
// and does 2 and 3 again. Step 2 removes nothing that the archive does not hold byte
// for byte, so a record is never lost, and a record written here after the state was
// taken stays here.
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "storage/sqlite/backup.h"
#include "storage/sqlite/database.h"
#include "storage/sqlite/file_os.h"
#include "storage/sqlite/sqlite_storage_impl.h"

namespace storage::sqlite {
namespace {

// The table that marks a file as the archive of another, until the move is finished.
constexpr char kMarkTable[] = "archive_of";

// The statements that mark a copy as the archive of the file with this identity.
std::string mark_statements(const std::string& source, const FileId& id) {
  std::string sql = std::string("CREATE TABLE ") + kMarkTable +
                    "(source BLOB NOT NULL, device INTEGER NOT NULL, inode INTEGER NOT NULL);"
                    "INSERT INTO " +
                    kMarkTable + " VALUES(X'";
  append_hexadecimal(sql, source);
  return sql + "', " + std::to_string(static_cast<int64_t>(id.device)) + ", " +
         std::to_string(static_cast<int64_t>(id.inode)) + ");";
}

// What the file at destination is an archive of, from its mark: *marked false when it
// has none (a file of its own).
Result read_mark(const std::string& destination, const FileShape& shape, bool* marked, std::string* source,
                 FileId* id) {
  *marked = false;
  if (Result header = check_header_at(destination, shape); !header.ok()) {
    return failure(FileStatus::kFailed, "la destination existe et n'est pas un fichier d'articles de cette forme");
  }
  sqlite3* db = nullptr;
  Result result = connect_to(destination, may_write(destination).ok(), &db);
  if (!result.ok()) return result;
  sqlite3_busy_timeout(db, kSqliteBusyTimeoutMs);
  Statement mark;
  int rc = mark.prepare(db, std::string("SELECT source, device, inode FROM ") + kMarkTable);
  if (rc == SQLITE_OK && (rc = mark.step()) == SQLITE_ROW) {
    *marked = true;
    *source = std::string(mark.blob());
    id->device = static_cast<dev_t>(sqlite3_column_int64(mark.get(), 1));
    id->inode = static_cast<ino_t>(sqlite3_column_int64(mark.get(), 2));
    mark.reset();
  } else if (rc != SQLITE_DONE && (rc & 0xff) != SQLITE_ERROR) {  // SQLITE_ERROR: no such table
    result = sqlite_failure(db, rc);
  }
  mark.finalize();
  sqlite3_close(db);
  return result;
}

// Takes the mark off the archive at destination: the move is finished.
Result unmark(const std::string& destination) {
  sqlite3* db = nullptr;
  Result result = connect_to(destination, true, &db);
  if (result.ok()) {
    sqlite3_busy_timeout(db, kSqliteBusyTimeoutMs);
    result = execute(db, std::string("PRAGMA synchronous = FULL; DROP TABLE IF EXISTS ") + kMarkTable);
  }
  if (db != nullptr && sqlite3_close(db) != SQLITE_OK && result.ok()) {
    result = failure(FileStatus::kFailed, "l'archive n'a pas pu être fermée");
  }
  if (!result.ok()) {
    return failure(FileStatus::kFailed,
                   "tous les enregistrements sont dans l'archive, mais sa marque n'a pas été ôtée (" + result.reason +
                       ") : relancez l'archive");
  }
  return result;
}

}  // namespace

Result SqliteStorage::finish(Result result) {
  if (result.ok()) {
    const int rc = commit_.step();
    if (rc != SQLITE_DONE) result = fail(rc);
  }
  if (!sqlite3_get_autocommit(db_)) rollback_.step();
  return result;
}

Result SqliteStorage::erase(const char* key, std::string* erased) {
  start_operation();
  if (Result named = follow_name(); !named.ok()) return named;
  int rc = begin_.step();
  if (rc != SQLITE_DONE) return fail(rc);
  by_key_.bind(1, key, keys_[0].length);
  rc = by_key_.step();
  if (rc != SQLITE_ROW) return finish(rc == SQLITE_DONE ? failure(FileStatus::kNoSuchKey) : fail(rc));
  if (erased != nullptr) erased->assign(by_key_.blob());
  by_key_.reset();
  erase_.bind(1, key, keys_[0].length);
  rc = erase_.step();
  return finish(rc == SQLITE_DONE ? Result{} : fail(rc));
}

Result SqliteStorage::replace_batch(std::span<const char* const> records, std::vector<std::string>* replaced) {
  replaced->assign(records.size(), {});
  start_operation();
  if (Result named = follow_name(); !named.ok()) return named;
  int rc = begin_.step();
  if (rc != SQLITE_DONE) return fail(rc);
  const KeyShape& primary = keys_[0];
  for (size_t i = 0; i < records.size() && rc == SQLITE_DONE; ++i) {
    const char* key = records[i] + primary.offset;
    by_key_.bind(1, key, primary.length);
    rc = by_key_.step();
    if (rc == SQLITE_ROW) {
      (*replaced)[i].assign(by_key_.blob());
      by_key_.reset();
      update_.bind(1, key, primary.length);
      update_.bind(2, records[i], record_length_);
      rc = update_.step();
    } else if (rc == SQLITE_DONE) {
      insert_.bind(1, records[i], record_length_);
      rc = insert_.step();
    }
  }
  Result result = finish(rc == SQLITE_DONE ? Result{} : fail(rc));
  if (!result.ok()) replaced->assign(records.size(), {});
  return result;
}

Result SqliteStorage::copy_marked(const std::string& destination, uint64_t* copied) {
  Statement count;
  int rc = count.prepare(db_, "SELECT count(*) FROM records");
  if (rc == SQLITE_OK) rc = count.step();
  if (rc != SQLITE_ROW) return fail(rc);
  *copied = static_cast<uint64_t>(sqlite3_column_int64(count.get(), 0));
  count.reset();
  return copy_whole(db_, destination, shape(), mark_statements(resolved(path_), file_id_));
}

Result SqliteStorage::erase_archived(const std::string& destination, uint64_t* held) {
  Opened archived = open_sqlite({destination, {}, shape(), StorageMode::kInput, "archive"});
  if (!archived.result.ok()) return failure(FileStatus::kFailed, "l'archive ne se lit pas : " + archived.result.reason);
  start_operation();
  int rc = begin_.step();
  if (rc != SQLITE_DONE) return fail(rc);
  uint64_t count = 0;
  Result erased;
  const Result scanned = archived.storage->scan([&](std::string_view record) {
    ++count;
    erase_same_.bind(1, record.data() + keys_[0].offset, keys_[0].length);
    erase_same_.bind(2, record.data(), record_length_);
    const int step = erase_same_.step();
    if (step != SQLITE_DONE) erased = fail(step);
    return erased.ok();
  });
  if (!scanned.ok()) erased = failure(FileStatus::kFailed, "l'archive ne se lit pas : " + scanned.reason);
  erased = finish(erased);
  archived.storage->close();
  *held = count;
  return erased;
}

Result SqliteStorage::archive(std::string_view destination_name, uint64_t* moved) {
  *moved = 0;
  const std::string destination(destination_name);
  start_operation();
  if (Result named = follow_name(); !named.ok()) return named;

  if (Result named = not_a_side_file(destination); !named.ok()) return named;
  if (exists(destination)) {
    // A move cut off after its copy was linked is finished; any other file is left.
    bool marked = false;
    std::string source;
    FileId id;
    if (Result read = read_mark(destination, shape(), &marked, &source, &id); !read.ok()) return read;
    if (!marked) return failure(FileStatus::kFailed, "la destination existe déjà");
    if (!(id == file_id_)) {
      return failure(FileStatus::kFailed, "la destination est l'archive inachevée d'un autre fichier, " + source);
    }
    if (Result erased = erase_archived(destination, moved); !erased.ok()) return erased;
    return unmark(destination);
  }

  if (Result free = destination_free(destination); !free.ok()) return free;
  // The read transaction holds the state that is moved, for the copy and its
  // comparison, while other programs write on.
  int rc = sqlite3_exec(db_, "BEGIN; SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return fail(rc);
  uint64_t copied = 0;
  Result result = copy_marked(destination, &copied);
  if (!result.ok()) {
    rollback_.step();
    return result;
  }
  // When nothing was written since that state was taken, the read transaction can
  // become the write, and every record of the file is one the archive holds. SQLite
  // says BUSY at once when another program wrote meanwhile or is writing.
  start_operation();
  rc = sqlite3_exec(db_, "DELETE FROM records", nullptr, nullptr, nullptr);
  if ((rc & 0xff) == SQLITE_BUSY) {
    rollback_.step();
    uint64_t held = 0;
    result = erase_archived(destination, &held);
  } else {
    result = finish(rc == SQLITE_OK ? Result{} : fail(rc));
  }
  if (!result.ok()) {
    return failure(result.status, result.reason +
                                      " ; tous les enregistrements sont encore ici, et dans l'archive : "
                                      "relancez l'archive pour la terminer");
  }
  *moved = copied;
  return unmark(destination);
}

}  // namespace storage::sqlite
