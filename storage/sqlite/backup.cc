// The backup of an SQLite article file: one state of it, copied beside the destination
// and linked in place once whole.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "storage/sqlite/database.h"
#include "storage/sqlite/file_os.h"
#include "storage/sqlite/sqlite_storage.h"

namespace storage {
namespace {

using namespace sqlite;

// Copies the database from holds into the empty file at temporary.
Result copy_into(sqlite3* from, const std::string& temporary) {
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
  if (to != nullptr && sqlite3_close(to) != SQLITE_OK && result.ok()) {
    result = failure(FileStatus::kFailed, "the copy could not be closed");
  }
  return result;
}

}  // namespace

Result backup_sqlite(std::string_view source_name, std::string_view destination_name, const FileShape& shape) {
  const std::string source(source_name);
  const std::string destination(destination_name);
  struct stat st;
  if (::stat(source.c_str(), &st) != 0) {
    return failure(errno == ENOENT ? FileStatus::kNotFound : status_of_errno(errno), std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) return failure(FileStatus::kFailed, "not a regular file");
  if (Result header = check_header_at(source, shape); !header.ok()) return header;
  if (exists(destination)) return failure(FileStatus::kFailed, "the destination exists");

  // The copy is made under a name of its own beside the destination and linked in
  // place once whole, so that the destination is either absent or a complete copy.
  std::string temporary = destination + ".partial-";
  int fd = -1;
  if (Result made = make_temporary(&temporary, &fd); !made.ok()) return made;

  // Reading through SQLite takes in what the WAL holds; the copy is made in one step,
  // inside one read transaction, so it is one state of the file while others write on.
  sqlite3* from = nullptr;
  Result result = connect_to(source, may_write(source).ok(), &from);
  if (result.ok()) {
    sqlite3_busy_timeout(from, kSqliteBusyTimeoutMs);
    result = copy_into(from, temporary);
  }
  sqlite3_close(from);
  if (result.ok()) {
    if (Result whole = check_header_at(temporary, shape); !whole.ok()) {
      result = failure(FileStatus::kFailed, "the copy is not whole: " + whole.reason);
    }
  }
  if (result.ok() && ::fsync(fd) != 0) result = failure(FileStatus::kFailed, std::strerror(errno));
  if (result.ok() && ::link(temporary.c_str(), destination.c_str()) != 0) {
    result = failure(status_of_errno(errno), errno == EEXIST ? "the destination exists" : std::strerror(errno));
  }
  ::close(fd);
  ::unlink(temporary.c_str());
  for (const char* side : kSideEnds) ::unlink((temporary + side).c_str());
  if (result.ok()) sync_folder(folder_of(destination));
  return result;
}

}  // namespace storage
