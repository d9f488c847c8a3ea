// The backup of an SQLite article file: one state of it, copied beside the destination,
// read back as a reader will and compared with the file, then linked in place.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "storage/sqlite/backup.h"
#include "storage/sqlite/database.h"
#include "storage/sqlite/file_os.h"
#include "storage/sqlite/sqlite_storage.h"

namespace storage {
namespace sqlite {

Result not_a_side_file(const std::string& destination) {
  const std::string full = resolved(destination);
  for (const char* end : kSideEnds) {
    const size_t length = std::strlen(end);
    if (full.size() <= length || full.compare(full.size() - length, length, end) != 0) continue;
    const std::string owner = full.substr(0, full.size() - length);
    if (exists(owner)) {
      return failure(FileStatus::kFailed, "the destination is the name of a side file of " + owner +
                                              ", which SQLite would take for that file's own");
    }
  }
  return {};
}

Result destination_free(const std::string& destination) {
  if (Result named = not_a_side_file(destination); !named.ok()) return named;
  if (exists(destination)) return failure(FileStatus::kFailed, "the destination exists");
  if (const std::string side = side_file_of(resolved(destination)); !side.empty()) return side_file_refusal(side);
  return {};
}

namespace {

// Copies the database from holds, inside its open read transaction, into the empty
// file at temporary, then runs then_sql (when not empty) on the copy.
Result copy_into(sqlite3* from, const std::string& temporary, const std::string& then_sql) {
  sqlite3* to = nullptr;
  Result result = connect_to(temporary, true, &to);
  // In WAL mode, as every file of this storage is (the header says so).
  if (result.ok()) result = execute(to, "PRAGMA journal_mode = WAL");
  if (result.ok()) {
    sqlite3_backup* copy = sqlite3_backup_init(to, "main", from, "main");
    if (copy == nullptr) {
      result = sqlite_failure(to, sqlite3_errcode(to));
    } else {
      int rc;
      for (int waited_ms = 0;; waited_ms += 50) {
        rc = sqlite3_backup_step(copy, -1);
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited_ms >= kSqliteBusyTimeoutMs) break;
        sqlite3_sleep(50);
      }
      sqlite3_backup_finish(copy);
      if (rc != SQLITE_DONE) result = sqlite_failure(to, rc);
    }
  }
  if (result.ok() && !then_sql.empty()) result = execute(to, then_sql);
  if (to != nullptr && sqlite3_close(to) != SQLITE_OK && result.ok()) {
    result = failure(FileStatus::kFailed, "the copy could not be closed");
  }
  return result;
}

// Opens the copy at temporary as a reader of the article file will, and compares its
// records, in key order, with those of from's read transaction, the state copied.
Result read_back(sqlite3* from, const std::string& temporary, const FileShape& shape) {
  Opened copy = open_sqlite({temporary, {}, shape, StorageMode::kInput, "backup"});
  if (!copy.result.ok()) return failure(FileStatus::kFailed, "the copy cannot be read back: " + copy.result.reason);
  Statement original;
  int rc = original.prepare(from, "SELECT record FROM records ORDER BY " + key_expression(shape.keys[0]));
  if (rc != SQLITE_OK) return sqlite_failure(from, rc);
  rc = SQLITE_DONE;
  size_t compared = 0;
  bool same = true;
  Result scanned = copy.storage->scan([&](std::string_view record) {
    rc = original.step();
    same = rc == SQLITE_ROW && original.blob() == record;
    ++compared;
    return same;
  });
  if (same && scanned.ok()) {
    rc = original.step();
    same = rc == SQLITE_DONE;
    ++compared;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return sqlite_failure(from, rc);
  if (Result closed = copy.storage->close(); scanned.ok()) scanned = closed;
  if (!scanned.ok()) return failure(FileStatus::kFailed, "the copy cannot be read back: " + scanned.reason);
  if (!same) {
    return failure(FileStatus::kFailed, "the copy does not read back as the file: they differ at record " +
                                            std::to_string(compared) + " in key order");
  }
  return {};
}

}  // namespace

Result copy_whole(sqlite3* from, const std::string& destination, const FileShape& shape, const std::string& then_sql) {
  // The copy is made under a name of its own beside the destination and linked in
  // place once whole, so that the destination is either absent or a complete copy.
  std::string temporary = destination + ".partial-";
  int fd = -1;
  if (Result made = make_temporary(&temporary, &fd); !made.ok()) return made;
  Result result = copy_into(from, temporary, then_sql);
  if (result.ok()) result = read_back(from, temporary, shape);
  if (result.ok() && ::fsync(fd) != 0) result = failure(FileStatus::kFailed, std::strerror(errno));
  if (result.ok()) result = destination_free(destination);  // nothing came there meanwhile
  if (result.ok() && ::link(temporary.c_str(), destination.c_str()) != 0) {
    result = failure(status_of_errno(errno), errno == EEXIST ? "the destination exists" : std::strerror(errno));
  }
  ::close(fd);
  ::unlink(temporary.c_str());
  for (const char* side : kSideEnds) ::unlink((temporary + side).c_str());
  if (result.ok()) sync_folder(folder_of(destination));
  return result;
}

}  // namespace sqlite

using namespace sqlite;

Result backup_sqlite(std::string_view source_name, std::string_view destination_name, const FileShape& shape) {
  const std::string source(source_name);
  const std::string destination(destination_name);
  struct stat st;
  if (::stat(source.c_str(), &st) != 0) {
    return failure(errno == ENOENT ? FileStatus::kNotFound : status_of_errno(errno), std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) return failure(FileStatus::kFailed, "not a regular file");
  if (Result header = check_header_at(source, shape); !header.ok()) return header;
  if (Result free = destination_free(destination); !free.ok()) return free;

  // Reading through SQLite takes in what the WAL holds. One read transaction holds one
  // state of the file, while others write on, for the copy and for its comparison.
  sqlite3* from = nullptr;
  Result result = connect_to(source, may_write(source).ok(), &from);
  if (result.ok()) {
    sqlite3_busy_timeout(from, kSqliteBusyTimeoutMs);
    result = execute(from, "BEGIN; SELECT count(*) FROM sqlite_schema");
  }
  if (result.ok()) result = copy_whole(from, destination, shape);
  sqlite3_close(from);
  return result;
}

}  // namespace storage
