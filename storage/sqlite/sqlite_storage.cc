// The SQLite storage class: a file opened at its name (created in one step when an
// input-output open finds none), the name followed before each insert, and the records
// table read and written through prepared statements.
#include "storage/sqlite/sqlite_storage.h"
#include "storage/reasons.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "storage/sqlite/check.h"
#include "storage/sqlite/database.h"
#include "storage/sqlite/file_os.h"
#include "storage/sqlite/sqlite_storage_impl.h"

namespace storage {
namespace sqlite {
namespace {

// The pages the WAL holds before a commit copies them back into the file. Each copy
// rewrites every page changed since the last one, once, however many commits changed
// it: an article changes one page of each key's index, at its keys' places, so on a
// large file nearly every article changes other pages, and the copy's cost grows
// with the pages changed, not with the commits. SQLite's usual 1,000 pages (4 MB)
// copy back after some 220 articles; 8,192 (32 MB) let some 1,800 articles share
// one copy, and a run that adds fewer shares the one made when the last connection
// closes.
constexpr int kCheckpointPages = 8192;

}  // namespace

int SqliteStorage::wait_while_busy(void* self, int count) {
  using namespace std::chrono;
  const auto left = static_cast<SqliteStorage*>(self)->deadline_ - steady_clock::now();
  if (left <= nanoseconds::zero()) return 0;
  // Short pauses first, as most waits are for one commit of another program.
  const nanoseconds pause = std::min<nanoseconds>(milliseconds(count < 7 ? 1 << count : 100), left);
  const timespec sleep{static_cast<time_t>(pause.count() / 1'000'000'000),
                       static_cast<long>(pause.count() % 1'000'000'000)};
  ::nanosleep(&sleep, nullptr);
  return 1;
}

Result SqliteStorage::open() {
  start_operation();
  const std::string& path = path_;
  if (path.empty()) return failure(FileStatus::kFailed, "aucun nom de fichier");
  watch_sqlite_opens();

  FileId made;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return errno_failure(errno);
    struct stat folder;
    if (::stat(folder_of(path).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
      return failure(FileStatus::kFailed, "dossier introuvable");
    }
    if (mode_ == StorageMode::kInput) return failure(FileStatus::kNotFound, "fichier introuvable");
    std::vector<unsigned char> image;
    Result created = empty_file_image(shape(), &image);
    if (created.ok()) created = create_whole(path, image, &made);
    if (!created.ok()) return failure(created.status, "impossible de créer le fichier : " + created.reason);
  } else if (S_ISDIR(st.st_mode)) {
    return failure(FileStatus::kFailed, kFolderNotFile);
  } else if (!S_ISREG(st.st_mode)) {
    return failure(FileStatus::kFailed, kNotRegular);
  }

  int fd = -1;
  Result result = open_checked(path, &fd, &st);
  if (result.ok()) result = check_header(fd, shape());
  if (result.ok()) result = connect(&fd, st);
  if (fd >= 0) ::close(fd);
  if (!result.ok() && !made.empty()) {
    // Nothing of a failed open stays: the file it made goes, unless another program
    // has begun to use it meanwhile (it would have side files beside it).
    if (side_file_of(resolved(path)).empty() && id_at(path) == made) ::unlink(path.c_str());
  }
  return result;
}

Result SqliteStorage::connect(int* fd, const struct stat& st) {
  // WAL needs its side files beside the file. A connection that may write removes
  // them when it is the last to close, so input opens, which write nothing either,
  // use such a connection when they are allowed to. A reader that may not create
  // the side files reads the file as it stands, when no writer has side files open.
  const Result writable = may_write(path_);
  if (mode_ == StorageMode::kInputOutput) {
    if (!writable.ok()) return writable;
    // SQLite would open a side file it may not write for reading only, and every
    // insert would then fail.
    const std::string full = resolved(path_);
    for (const char* end : {"-wal", "-shm"}) {
      if (exists(full + end) && ::faccessat(AT_FDCWD, (full + end).c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        return errno_failure(errno, "son fichier annexe " + full + end + " n'est pas accessible en écriture");
      }
    }
  }
  Result result;
  {
    OpenWatch seen(id_of(st));
    result = connect_to(path_, writable.ok(), &db_);
    // fd was held until SQLite opened the file: meanwhile no new file could get the
    // checked file's inode, so the same identity was the same file. It goes before
    // SQLite takes its locks, as closing any descriptor of a file drops the process's
    // locks on it.
    ::close(*fd);
    *fd = -1;
    if (result.ok()) {
      sqlite3_busy_handler(db_, wait_while_busy, this);
      // FULL: each commit is flushed to the disk before the insert returns.
      const std::string settings =
          "PRAGMA synchronous = FULL; PRAGMA wal_autocheckpoint = " + std::to_string(kCheckpointPages) + ";";
      sqlite3_exec(db_, settings.c_str(), nullptr, nullptr, nullptr);
      result = start(shape());
    }
    if (seen.replaced()) result = failure(FileStatus::kFailed, "le fichier a été remplacé pendant son ouverture");
    file_id_ = seen.checked();
    sides_ = seen.take_sides();
  }
  if (!result.ok()) disconnect(false);
  return result;
}

Result SqliteStorage::follow_name() {
  if (db_ != nullptr) {
    if (id_at(path_) == file_id_) return {};
    disconnect(true);
  }
  return open();
}

Result SqliteStorage::disconnect(bool lost) {
  if (db_ == nullptr) return {};
  bool all_in_file = false;
  if (lost) {
    int persist = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    int logged = -1;
    int copied = -1;
    all_in_file = sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, &logged, &copied) == SQLITE_OK &&
                  logged == copied;
  }
  for (Statement* s : {&begin_, &commit_, &rollback_, &insert_, &first_, &next_, &by_key_, &all_, &erase_, &update_,
                       &erase_same_, &alternate_held_, &data_version_}) {
    s->finalize();
  }
  shared_keys_.clear();
  const int rc = sqlite3_close(db_);
  db_ = nullptr;
  if (all_in_file) remove_side_files(sides_);
  sides_.clear();
  return rc == SQLITE_OK ? Result{} : failure(FileStatus::kFailed, "le fichier n'a pas pu être fermé");
}

Result SqliteStorage::start(const FileShape& shape) {
  Statement layout;
  int rc = layout.prepare(db_, "SELECT record_length, key_table FROM layout");
  if (rc == SQLITE_OK) rc = layout.step();
  if (rc != SQLITE_ROW) {
    if (rc == SQLITE_DONE || (rc & 0xff) == SQLITE_ERROR) {
      return failure(FileStatus::kWrongShape, "le fichier ne dit pas sa longueur d'enregistrement ni ses clés");
    }
    return fail(rc);
  }
  const auto* table = reinterpret_cast<const char*>(sqlite3_column_text(layout.get(), 1));
  const bool same = sqlite3_column_int64(layout.get(), 0) == shape.record_length && table != nullptr &&
                    key_table_text(shape) == table;
  if (!same) {
    return failure(FileStatus::kWrongShape, "le fichier a la longueur d'enregistrement " +
                                                std::to_string(sqlite3_column_int64(layout.get(), 0)) +
                                                " et les clés " + (table != nullptr ? table : "") + ", et non " +
                                                describe(shape));
  }
  layout.reset();

  // Every query names a key by the expression of its index, so that the index answers
  // it. Records with the same alternate key follow each other in its index in the
  // order they were written, and a new one goes after them: looking for the last of
  // them reads the index page the insert then changes, not the first of a long run.
  const std::string primary = key_expression(keys_[0]);
  std::string held;
  for (size_t k = 1; k < keys_.size(); ++k) {
    if (!keys_[k].duplicates) continue;  // a unique index refuses it at the insert
    shared_keys_.push_back(k);
    held += std::string(held.empty() ? "SELECT 1 WHERE " : " OR ") + "(SELECT max(rowid) FROM records WHERE " +
            key_expression(keys_[k]) + " = ?" + std::to_string(shared_keys_.size()) + ") IS NOT NULL";
  }
  rc = begin_.prepare(db_, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) rc = commit_.prepare(db_, "COMMIT");
  if (rc == SQLITE_OK) rc = rollback_.prepare(db_, "ROLLBACK");
  if (rc == SQLITE_OK) rc = insert_.prepare(db_, "INSERT INTO records(record) VALUES(?1)");
  if (rc == SQLITE_OK) {
    rc = first_.prepare(db_, "SELECT record FROM records ORDER BY " + primary + " LIMIT 1");
  }
  if (rc == SQLITE_OK) {
    rc = next_.prepare(db_, "SELECT record FROM records WHERE " + primary + " > ?1 ORDER BY " + primary + " LIMIT 1");
  }
  if (rc == SQLITE_OK) rc = by_key_.prepare(db_, "SELECT record FROM records WHERE " + primary + " = ?1");
  if (rc == SQLITE_OK) rc = all_.prepare(db_, "SELECT record FROM records ORDER BY " + primary);
  if (rc == SQLITE_OK) rc = erase_.prepare(db_, "DELETE FROM records WHERE " + primary + " = ?1");
  if (rc == SQLITE_OK) rc = update_.prepare(db_, "UPDATE records SET record = ?2 WHERE " + primary + " = ?1");
  if (rc == SQLITE_OK) {
    rc = erase_same_.prepare(db_, "DELETE FROM records WHERE " + primary + " = ?1 AND record = ?2");
  }
  if (rc == SQLITE_OK && !held.empty()) rc = alternate_held_.prepare(db_, held);
  if (rc != SQLITE_OK) {
    if ((rc & 0xff) == SQLITE_ERROR) {
      return failure(FileStatus::kWrongShape,
                     unknown_reason("le fichier n'a pas les tables attendues", "SQLite", sqlite3_errmsg(db_)));
    }
    return fail(rc);
  }
  return {};
}

Result SqliteStorage::insert_one(const char* record) {
  bool alternate_held = false;
  int rc = SQLITE_DONE;
  if (!shared_keys_.empty()) {
    for (size_t i = 0; i < shared_keys_.size(); ++i) {
      const KeyShape& key = keys_[shared_keys_[i]];
      alternate_held_.bind(static_cast<int>(i + 1), record + key.offset, key.length);
    }
    rc = alternate_held_.step();
    alternate_held = rc == SQLITE_ROW;
    alternate_held_.reset();
  }
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
    insert_.bind(1, record, record_length_);
    rc = insert_.step();
  }
  if (rc != SQLITE_DONE) return fail(rc);
  return {alternate_held ? FileStatus::kDuplicateAlternateKey : FileStatus::kOk, {}};
}

Result SqliteStorage::insert(const char* record) {
  start_operation();
  Result named = follow_name();
  if (!named.ok()) return named;
  int rc = begin_.step();
  if (rc != SQLITE_DONE) return fail(rc);
  Result result = insert_one(record);
  if (result.ok() && (rc = commit_.step()) != SQLITE_DONE) result = fail(rc);
  if (!result.ok() && !sqlite3_get_autocommit(db_)) rollback_.step();
  return result;
}

Result SqliteStorage::insert_batch(std::span<const char* const> records, std::vector<FileStatus>* statuses) {
  statuses->assign(records.size(), FileStatus::kFailed);
  start_operation();
  Result named = follow_name();
  if (!named.ok()) return named;
  int rc = begin_.step();
  if (rc != SQLITE_DONE) return fail(rc);
  // A refused insert undoes only its own statement, not the transaction.
  for (size_t i = 0; i < records.size(); ++i) {
    Result one = insert_one(records[i]);
    (*statuses)[i] = one.status;
    if (!one.ok() && one.status != FileStatus::kDuplicateKey) {
      rollback_.step();
      statuses->assign(records.size(), FileStatus::kFailed);
      return one;
    }
  }
  if ((rc = commit_.step()) != SQLITE_DONE) {
    Result result = fail(rc);
    if (!sqlite3_get_autocommit(db_)) rollback_.step();
    statuses->assign(records.size(), FileStatus::kFailed);
    return result;
  }
  return {};
}

Result SqliteStorage::take(const Statement& query, char* record) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(query.get(), 0));
  const int length = sqlite3_column_bytes(query.get(), 0);
  if (length != static_cast<int>(record_length_) || bytes == nullptr) {
    return failure(FileStatus::kFailed, "un enregistrement de " + std::to_string(length) + " octets dans le fichier");
  }
  std::memcpy(record, bytes, record_length_);
  return {};
}

Result SqliteStorage::read_next(char* record) {
  if (db_ == nullptr) return failure(FileStatus::kFailed, "le fichier a été perdu et n'a pas pu être rouvert");
  start_operation();
  Statement& query = read_any_ ? next_ : first_;
  if (read_any_) query.bind(1, last_key_.data(), static_cast<uint32_t>(last_key_.size()));
  const int rc = query.step();
  if (rc == SQLITE_DONE) return {FileStatus::kAtEnd, {}};
  if (rc != SQLITE_ROW) return fail(rc);

  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(query.get(), 0));
  const int length = sqlite3_column_bytes(query.get(), 0);
  Result result;
  if (length == static_cast<int>(record_length_) && bytes != nullptr && read_any_ &&
      std::memcmp(bytes + keys_[0].offset, last_key_.data(), last_key_.size()) <= 0) {
    // A damaged file whose key index no longer matches its records would give the same
    // record again and again: reading next must always move forward.
    result = failure(FileStatus::kFailed, "l'index des clés du fichier ne correspond plus à ses enregistrements");
  } else {
    result = take(query, record);
  }
  if (result.ok()) {
    last_key_.assign(record + keys_[0].offset, keys_[0].length);
    read_any_ = true;
  }
  query.reset();
  return result;
}

Result SqliteStorage::read_key(const char* key, char* record) {
  if (db_ == nullptr) return failure(FileStatus::kFailed, "le fichier a été perdu et n'a pas pu être rouvert");
  start_operation();
  by_key_.bind(1, key, keys_[0].length);
  const int rc = by_key_.step();
  if (rc == SQLITE_DONE) return failure(FileStatus::kNoSuchKey);
  if (rc != SQLITE_ROW) return fail(rc);
  Result result = take(by_key_, record);
  by_key_.reset();
  return result;
}

Result SqliteStorage::scan(const std::function<bool(std::string_view record)>& each) {
  if (db_ == nullptr) return failure(FileStatus::kFailed, "le fichier a été perdu et n'a pas pu être rouvert");
  start_operation();
  int rc;
  while ((rc = all_.step()) == SQLITE_ROW) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(all_.get(), 0));
    const int length = sqlite3_column_bytes(all_.get(), 0);
    if (length != static_cast<int>(record_length_) || bytes == nullptr) {
      all_.reset();
      return failure(FileStatus::kFailed, "un enregistrement de " + std::to_string(length) + " octets dans le fichier");
    }
    if (!each(std::string_view(bytes, record_length_))) {
      all_.reset();
      return {};
    }
  }
  return rc == SQLITE_DONE ? Result{} : fail(rc);
}

Result SqliteStorage::version(std::string* mark) {
  if (db_ == nullptr) return failure(FileStatus::kFailed, "le fichier a été perdu et n'a pas pu être rouvert");
  if (!(id_at(path_) == file_id_))
    return failure(FileStatus::kFailed, "le nom du fichier en désigne un autre à présent");
  start_operation();
  // Changes when another connection commits; this one stores nothing between marks.
  int rc = data_version_.get() != nullptr ? SQLITE_OK : data_version_.prepare(db_, "PRAGMA data_version");
  if (rc == SQLITE_OK) rc = data_version_.step();
  if (rc != SQLITE_ROW) return fail(rc);
  *mark = std::to_string(sqlite3_column_int64(data_version_.get(), 0));
  data_version_.reset();
  return {};
}

Result SqliteStorage::close() {
  if (db_ == nullptr) return {};
  start_operation();
  return disconnect(!(id_at(path_) == file_id_));
}

Result SqliteStorage::check() {
  if (db_ == nullptr) return failure(FileStatus::kFailed, "le fichier a été perdu et n'a pas pu être rouvert");
  start_operation();
  return check_database(db_, shape());
}

}  // namespace sqlite

uint32_t shape_mark(const FileShape& shape) {
  uint32_t hash = 2166136261u;  // FNV-1a over the layout's number and the shape's text
  for (const char c : std::to_string(kSqliteLayout) + " " + describe(shape)) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  }
  return hash;
}

Opened open_sqlite(const StorageRequest& request) {
  auto storage = std::make_unique<sqlite::SqliteStorage>(request);
  Result opened = storage->open();
  if (!opened.ok()) return {std::move(opened), nullptr};
  return {{}, std::move(storage)};
}

}  // namespace storage
