// The backup of an SQLite article file: one state of it, copied beside the destination,
// read back as a reader will and compared with the file, then linked in place.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "storage/reasons.h"
#include "storage/sqlite/database.h"
#include "storage/sqlite/file_os.h"
#include "storage/sqlite/sqlite_storage.h"

namespace storage {
namespace {

using namespace sqlite;

constexpr char kDestinationExists[] = "la destination existe déjà";

// kOk when a copy may take the name destination: nothing is there, no side file of
// another file lies at it (SQLite would read the copy through it: another file's
// records), and it is not the name of a file's side file (SQLite would take the copy
// for that file's own, and remove or overwrite it).
Result destination_free(const std::string& destination) {
  const std::string full = resolved(destination);
  for (const char* end : kSideEnds) {
    const size_t length = std::strlen(end);
    if (full.size() <= length || full.compare(full.size() - length, length, end) != 0) continue;
    const std::string owner = full.substr(0, full.size() - length);
    if (exists(owner)) {
      return failure(FileStatus::kFailed, "la destination est le nom d'un fichier annexe de " + owner +
                                              ", que SQLite prendrait pour celui de ce fichier");
    }
  }
  if (exists(destination)) return failure(FileStatus::kFailed, kDestinationExists);
  if (const std::string side = side_file_of(full); !side.empty()) return side_file_refusal(side);
  return {};
}

// Copies the database from holds, inside its open read transaction, into the empty
// file at temporary.
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
    result = failure(FileStatus::kFailed, "la copie n'a pas pu être fermée");
  }
  return result;
}

// Opens the copy at temporary as a reader of the article file will, and compares its
// records, in key order, with those of from's read transaction, the state copied.
Result read_back(sqlite3* from, const std::string& temporary, const FileShape& shape) {
  Opened copy = open_sqlite({temporary, {}, shape, StorageMode::kInput, "backup"});
  if (!copy.result.ok()) return failure(FileStatus::kFailed, "la copie ne se relit pas : " + copy.result.reason);
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
  if (!scanned.ok()) return failure(FileStatus::kFailed, "la copie ne se relit pas : " + scanned.reason);
  if (!same) {
    return failure(FileStatus::kFailed,
                   "la copie ne se relit pas comme le fichier : elle en diffère à "
                   "l'enregistrement n° " +
                       std::to_string(compared) + " dans l'ordre des clés");
  }
  return {};
}

}  // namespace

Result backup_sqlite(std::string_view source_name, std::string_view destination_name, const FileShape& shape) {
  const std::string source(source_name);
  const std::string destination(destination_name);
  struct stat st;
  if (::stat(source.c_str(), &st) != 0) {
    return failure(errno == ENOENT ? FileStatus::kNotFound : status_of_errno(errno), errno_reason(errno));
  }
  if (!S_ISREG(st.st_mode)) return failure(FileStatus::kFailed, kNotRegular);
  if (Result header = check_header_at(source, shape); !header.ok()) return header;
  if (Result free = destination_free(destination); !free.ok()) return free;

  // The copy is made under a name of its own beside the destination and linked in
  // place once whole, so that the destination is either absent or a complete copy.
  std::string temporary = destination + ".partial-";
  int fd = -1;
  if (Result made = make_temporary(&temporary, &fd); !made.ok()) return made;

  // Reading through SQLite takes in what the WAL holds. One read transaction holds one
  // state of the file, while others write on, for the copy and for its comparison.
  sqlite3* from = nullptr;
  Result result = connect_to(source, may_write(source).ok(), &from);
  if (result.ok()) {
    sqlite3_busy_timeout(from, kSqliteBusyTimeoutMs);
    result = execute(from, "BEGIN; SELECT count(*) FROM sqlite_schema");
  }
  if (result.ok()) result = copy_into(from, temporary);
  if (result.ok()) result = read_back(from, temporary, shape);
  sqlite3_close(from);
  if (result.ok() && ::fsync(fd) != 0) result = failure(FileStatus::kFailed, errno_reason(errno));
  if (result.ok()) result = destination_free(destination);  // nothing came there meanwhile
  if (result.ok() && ::link(temporary.c_str(), destination.c_str()) != 0) {
    result = failure(status_of_errno(errno), errno == EEXIST ? kDestinationExists : errno_reason(errno));
  }
  ::close(fd);
  ::unlink(temporary.c_str());
  for (const char* side : kSideEnds) ::unlink((temporary + side).c_str());
  if (result.ok()) sync_folder(folder_of(destination));
  return result;
}

}  // namespace storage
