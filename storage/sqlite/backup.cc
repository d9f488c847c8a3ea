// The backup of an SQLite article file: one state of it, copied beside the destination,
// read back as a reader will and compared with the file, then linked in place.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "storage/reasons.h"
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
      return failure(FileStatus::kFailed, "la destination est le nom d'un fichier annexe de " + owner +
                                              ", which SQLite would take for that file's own");
    }
  }
  return {};
}

Result destination_free(const std::string& destination) {
  if (Result named = not_a_side_file(destination); !named.ok()) return named;
  if (exists(destination)) return failure(FileStatus::kFailed, "la destination existe déjà");
  if (const std::string side = side_file_of(resolved(destination)); !side.empty()) return side_file_refusal(side);
  return {};
}

namespace {

// Copies the database from holds, inside its open read transaction, into the empty
// file at temporary, then runs then_sql (when not empty) on the copy.
Result copy_into(sqlite3* from, const std::string& temporary, const std::string& then_sql) {
  sqlite3* to = nullptr;
  Result result = connect_to(temporary, true, &to);
  // The pages go straight into the file, once, without a journal or a flush of their
  // own: the copy is a file of no use until it is whole, flushed and linked. It comes
  // out in WAL mode, as every file of this storage is: its header is the file's.
  if (result.ok()) result = execute(to, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");
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
  if (result.ok() && !then_sql.empty()) {
    // On a connection of its own, which finds the copy in WAL mode as a reader will.
    result = connect_to(temporary, true, &to);
    if (result.ok()) result = execute(to, "PRAGMA synchronous = OFF;" + then_sql);
    if (to != nullptr && sqlite3_close(to) != SQLITE_OK && result.ok()) {
      result = failure(FileStatus::kFailed, "la copie n'a pas pu être fermée");
    }
  }
  return result;
}

// The page cache, in KiB, that holds a file of this many bytes whole (up to 256 MiB):
// records read in key order visit the table's pages out of order, and a cache that
// holds them reads each page once instead of once a record.
int64_t cache_for(int64_t bytes) { return std::min<int64_t>(bytes / 1024 + 1024, 256 * 1024); }

// Opens the copy at temporary as a reader of the article file will, then compares its
// records, in key order, with those of from's read transaction, the state copied.
Result read_back(sqlite3* from, const std::string& temporary, const FileShape& shape) {
  if (Opened copy = open_sqlite({temporary, {}, shape, StorageMode::kInput, "backup"}); !copy.result.ok()) {
    return failure(FileStatus::kFailed, "la copie ne se relit pas : " + copy.result.reason);
  }
  struct stat st;
  const int64_t cache = cache_for(::stat(temporary.c_str(), &st) == 0 ? st.st_size : 0);
  sqlite3* to = nullptr;
  Result result = connect_to(temporary, false, &to);
  if (!result.ok()) return failure(FileStatus::kFailed, "la copie ne se relit pas : " + result.reason);
  Statement kept_cache, copied, original;
  const std::string in_key_order = "SELECT record FROM records ORDER BY " + key_expression(shape.keys[0]);
  int rc = kept_cache.prepare(from, "PRAGMA cache_size");
  if (rc == SQLITE_OK) rc = kept_cache.step();
  const int64_t kept = rc == SQLITE_ROW ? sqlite3_column_int64(kept_cache.get(), 0) : -2000;
  kept_cache.reset();
  const std::string larger = "PRAGMA cache_size = -" + std::to_string(cache);
  rc = sqlite3_exec(from, larger.c_str(), nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(to, larger.c_str(), nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = copied.prepare(to, in_key_order);
  if (rc != SQLITE_OK)
    result = failure(FileStatus::kFailed, "la copie ne se relit pas : " + std::string(sqlite3_errmsg(to)));
  if (result.ok() && (rc = original.prepare(from, in_key_order)) != SQLITE_OK) result = sqlite_failure(from, rc);
  size_t compared = 0;
  bool same = true;
  while (result.ok() && same) {
    const int in_copy = copied.step();
    const int in_file = original.step();
    ++compared;
    if ((in_copy != SQLITE_ROW && in_copy != SQLITE_DONE) || (in_file != SQLITE_ROW && in_file != SQLITE_DONE)) {
      result = in_file != SQLITE_ROW && in_file != SQLITE_DONE
                   ? sqlite_failure(from, in_file)
                   : failure(FileStatus::kFailed, "la copie ne se relit pas : " + std::string(sqlite3_errmsg(to)));
    } else if (in_copy != in_file || (in_copy == SQLITE_ROW && copied.blob() != original.blob())) {
      same = false;
    } else if (in_copy == SQLITE_DONE) {
      break;
    }
  }
  copied.finalize();
  original.finalize();
  sqlite3_close(to);
  sqlite3_exec(from, ("PRAGMA cache_size = " + std::to_string(kept)).c_str(), nullptr, nullptr, nullptr);
  if (result.ok() && !same) {
    return failure(FileStatus::kFailed,
                   "la copie ne se relit pas comme le fichier : elle en diffère à l'enregistrement n° " +
                       std::to_string(compared) + " dans l'ordre des clés");
  }
  return result;
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
  if (result.ok() && ::fsync(fd) != 0) result = failure(FileStatus::kFailed, errno_reason(errno));
  if (result.ok()) result = destination_free(destination);  // nothing came there meanwhile
  if (result.ok() && ::link(temporary.c_str(), destination.c_str()) != 0) {
    result = failure(status_of_errno(errno), errno == EEXIST ? "la destination existe déjà" : errno_reason(errno));
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
    return failure(errno == ENOENT ? FileStatus::kNotFound : status_of_errno(errno), errno_reason(errno));
  }
  if (!S_ISREG(st.st_mode)) return failure(FileStatus::kFailed, kNotRegular);
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
