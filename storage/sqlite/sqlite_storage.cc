// SQLite storage: checks of a file before SQLite sees it, creation in one step, and
// the records table.
#include "storage/sqlite/sqlite_storage.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace storage {
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

constexpr char kMagic[16] = "SQLite format 3";  // with its terminating zero: 16 bytes
constexpr size_t kHeaderSize = 100;

// Header fields (big-endian) and the file format bytes that mark WAL mode.
constexpr size_t kWriteVersionAt = 18;
constexpr size_t kReadVersionAt = 19;
constexpr unsigned char kWalFormat = 2;
constexpr size_t kUserVersionAt = 60;
constexpr size_t kApplicationIdAt = 68;

uint32_t big_endian(const unsigned char* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

std::string key_table_text(const FileShape& shape) {
  const std::string text = describe(shape);
  return text.substr(text.find(' ') + 1);
}

Opened not_opened(FileStatus status, std::string reason) {
  return {failure(status, std::move(reason)), nullptr};
}

// The status for a failed system call.
FileStatus status_of_errno(int error) {
  return error == EACCES || error == EPERM || error == EROFS ? FileStatus::kDenied
                                                             : FileStatus::kFailed;
}

// The status for an SQLite result code (extended codes on).
FileStatus status_of_sqlite(sqlite3* db, int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return FileStatus::kOk;
    case SQLITE_CONSTRAINT:
      return rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE
                 ? FileStatus::kDuplicateKey
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

// The folder of a path ("." for a bare name).
std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The URI of a path, with immutable=1 for a file read as it stands.
std::string uri_of(const std::string& path, bool immutable) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  if (path.front() != '/') uri += "./";  // keeps a relative name from reading as an authority
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || std::strchr("/-._~", c) != nullptr) {
      uri += c;
    } else {
      uri += '%';
      uri += kHex[byte >> 4];
      uri += kHex[byte & 15];
    }
  }
  return immutable ? uri + "?immutable=1" : uri;
}

// Checks the header of an existing file without giving it to SQLite.
FileStatus check_header(const std::string& path, const FileShape& shape, std::string* reason) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return status_of_errno(errno);
  }
  unsigned char header[kHeaderSize];
  ssize_t got;
  do {
    got = ::pread(fd, header, sizeof header, 0);
  } while (got < 0 && errno == EINTR);
  const int error = errno;
  ::close(fd);
  if (got < 0) {
    *reason = std::strerror(error);
    return FileStatus::kFailed;
  }
  if (got < static_cast<ssize_t>(kHeaderSize) || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    *reason = "not an SQLite database";
    return FileStatus::kWrongShape;
  }
  if (big_endian(header + kApplicationIdAt) != kSqliteApplicationId ||
      header[kWriteVersionAt] != kWalFormat || header[kReadVersionAt] != kWalFormat) {
    *reason = "an SQLite database that is not an indexed file of this runtime";
    return FileStatus::kWrongShape;
  }
  if (big_endian(header + kUserVersionAt) != shape_mark(shape)) {
    *reason = "the file has another record length, key table or layout than " + describe(shape);
    return FileStatus::kWrongShape;
  }
  return FileStatus::kOk;
}

// Runs SQL on a connection; false with reason set when it fails.
bool execute(sqlite3* db, const std::string& sql, std::string* reason) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  *reason = sqlite3_errmsg(db);
  return false;
}

// Where a key lies in a record, as an SQL expression over the record.
std::string key_expression(const KeyShape& key) {
  return "substr(record, " + std::to_string(key.offset + 1) + ", " + std::to_string(key.length) + ")";
}

// The statements that make an empty file of this shape. The records are kept whole in
// a table in the order they were written, so that a new record goes to the table's
// last page; each key is an index over the key's bytes of the record. An insert
// then changes one page of the table, which the inserts before it changed too, and
// one page of each index, whose entries are a key and a row number: the pages an
// insert may change wherever its keys fall are the indexes' small entries rather
// than whole records, and they are what a file of any size must rewrite.
std::string schema(const FileShape& shape) {
  std::string sql = "CREATE TABLE layout(record_length INTEGER NOT NULL, key_table TEXT NOT NULL);";
  sql += "INSERT INTO layout VALUES(" + std::to_string(shape.record_length) + ", '" +
         key_table_text(shape) + "');";
  sql += "CREATE TABLE records(record BLOB NOT NULL);";
  for (size_t k = 0; k < shape.keys.size(); ++k) {
    sql += std::string("CREATE ") + (shape.keys[k].duplicates ? "" : "UNIQUE ") + "INDEX records_key" +
           std::to_string(k) + " ON records(" + key_expression(shape.keys[k]) + ");";
  }
  sql += "PRAGMA application_id = " + std::to_string(static_cast<int32_t>(kSqliteApplicationId)) + ";";
  sql += "PRAGMA user_version = " + std::to_string(static_cast<int32_t>(shape_mark(shape))) + ";";
  return sql;
}

// The bytes of a new, empty file of this shape, in WAL mode.
bool empty_file_image(const FileShape& shape, std::vector<unsigned char>* image, std::string* reason) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr) != SQLITE_OK) {
    *reason = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return false;
  }
  bool done = execute(db, schema(shape), reason);
  if (done) {
    sqlite3_int64 size = 0;
    unsigned char* bytes = sqlite3_serialize(db, "main", &size, 0);
    done = bytes != nullptr && size >= static_cast<sqlite3_int64>(kHeaderSize);
    if (done) {
      image->assign(bytes, bytes + size);
      (*image)[kWriteVersionAt] = kWalFormat;
      (*image)[kReadVersionAt] = kWalFormat;
    } else {
      *reason = "could not build the empty file";
    }
    sqlite3_free(bytes);
  }
  sqlite3_close(db);
  return done;
}

bool write_all(int fd, const std::vector<unsigned char>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return ::fsync(fd) == 0;
}

// Creates the file whole under its name: its bytes are written to a file without a
// name (or, where the file system has none, under a temporary name) in the same
// folder, then linked in place. A link never replaces a file, so when processes
// create the file at once, one of them wins and the others open its file.
FileStatus create(const std::string& path, const FileShape& shape, std::string* reason) {
  std::vector<unsigned char> image;
  if (!empty_file_image(shape, &image, reason)) return FileStatus::kFailed;
  const std::string folder = folder_of(path);

  std::string temporary;
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    temporary = path + ".new-XXXXXX";
    fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd >= 0) {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      ::fchmod(fd, 0666 & ~mask);
    }
  }
  if (fd < 0) {
    *reason = std::strerror(errno);
    return status_of_errno(errno);
  }
  int error = 0;
  if (!write_all(fd, image)) {
    error = errno != 0 ? errno : EIO;
  } else if (temporary.empty()) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        (errno != ENOENT || ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) != 0)) {
      error = errno;
    }
  } else if (::link(temporary.c_str(), path.c_str()) != 0) {
    error = errno;
  }
  if (!temporary.empty()) ::unlink(temporary.c_str());
  ::close(fd);
  if (error == EEXIST) return FileStatus::kOk;  // made by another process meanwhile
  if (error != 0) {
    *reason = std::strerror(error);
    return status_of_errno(error);
  }
  const int folder_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd >= 0) {  // the new name itself survives a crash
    ::fsync(folder_fd);
    ::close(folder_fd);
  }
  return FileStatus::kOk;
}

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

 private:
  sqlite3_stmt* statement_ = nullptr;
};

class SqliteStorage final : public Storage {
 public:
  SqliteStorage(sqlite3* db, const FileShape& shape)
      : db_(db), record_length_(shape.record_length), keys_(shape.keys.begin(), shape.keys.end()) {}
  ~SqliteStorage() override { close(); }

  // Checks the file's own record of its shape and prepares the statements.
  Result start(const FileShape& shape);

  Result insert(const char* record) override;
  Result insert_batch(std::span<const char* const> records, std::vector<FileStatus>* statuses) override;
  Result read_next(char* record) override;
  Result read_key(const char* key, char* record) override;
  Result scan(const std::function<bool(std::string_view record)>& each) override;
  Result close() override;
  Result check() override;  // at the end of this file, with the backup

 private:
  Result fail(int rc) {
    const FileStatus status = status_of_sqlite(db_, rc);
    if (status == FileStatus::kDuplicateKey) return failure(status);
    return failure(status, (rc & 0xff) == SQLITE_BUSY ? "the file stayed busy" : sqlite3_errmsg(db_));
  }
  // Inserts one record inside the open transaction: kOk, kDuplicateAlternateKey, or
  // the failure (the transaction stays open).
  Result insert_one(const char* record);
  // A record of the table, checked for its length.
  Result take(const Statement& query, char* record);

  sqlite3* db_;
  uint32_t record_length_;
  std::vector<KeyShape> keys_;
  Statement begin_, commit_, rollback_, insert_, first_, next_, by_key_, all_;
  Statement alternate_held_;         // a row when a record holds one of the record's
                                     // alternate keys that allow duplicates
  std::vector<size_t> shared_keys_;  // those keys, by their number in keys_
  std::string last_key_;             // primary key of the record read last
  bool read_any_ = false;
};

Result SqliteStorage::start(const FileShape& shape) {
  Statement layout;
  int rc = layout.prepare(db_, "SELECT record_length, key_table FROM layout");
  if (rc == SQLITE_OK) rc = layout.step();
  if (rc != SQLITE_ROW) {
    if (rc == SQLITE_DONE || (rc & 0xff) == SQLITE_ERROR) {
      return failure(FileStatus::kWrongShape, "the file has no record of its shape");
    }
    return fail(rc);
  }
  const auto* table = reinterpret_cast<const char*>(sqlite3_column_text(layout.get(), 1));
  const bool same = sqlite3_column_int64(layout.get(), 0) == shape.record_length && table != nullptr &&
                    key_table_text(shape) == table;
  if (!same) {
    return failure(FileStatus::kWrongShape,
                   "the file has record length " + std::to_string(sqlite3_column_int64(layout.get(), 0)) +
                       " and keys " + (table != nullptr ? table : "") + ", not " + describe(shape));
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
    rc = next_.prepare(db_, "SELECT record FROM records WHERE " + primary + " > ?1 ORDER BY " + primary +
                                " LIMIT 1");
  }
  if (rc == SQLITE_OK) rc = by_key_.prepare(db_, "SELECT record FROM records WHERE " + primary + " = ?1");
  if (rc == SQLITE_OK) rc = all_.prepare(db_, "SELECT record FROM records ORDER BY " + primary);
  if (rc == SQLITE_OK && !held.empty()) rc = alternate_held_.prepare(db_, held);
  if (rc != SQLITE_OK) {
    Result result = fail(rc);
    if ((rc & 0xff) == SQLITE_ERROR) result.status = FileStatus::kWrongShape;
    return result;
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
  int rc = begin_.step();
  if (rc != SQLITE_DONE) return fail(rc);
  Result result = insert_one(record);
  if (result.ok() && (rc = commit_.step()) != SQLITE_DONE) result = fail(rc);
  if (!result.ok() && !sqlite3_get_autocommit(db_)) rollback_.step();
  return result;
}

Result SqliteStorage::insert_batch(std::span<const char* const> records, std::vector<FileStatus>* statuses) {
  statuses->assign(records.size(), FileStatus::kFailed);
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
    return failure(FileStatus::kFailed, "a record of " + std::to_string(length) + " bytes in the file");
  }
  std::memcpy(record, bytes, record_length_);
  return {};
}

Result SqliteStorage::read_next(char* record) {
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
    result = failure(FileStatus::kFailed, "the file's key index does not match its records");
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
  by_key_.bind(1, key, keys_[0].length);
  const int rc = by_key_.step();
  if (rc == SQLITE_DONE) return {FileStatus::kNoSuchKey, meaning(FileStatus::kNoSuchKey)};
  if (rc != SQLITE_ROW) return fail(rc);
  Result result = take(by_key_, record);
  by_key_.reset();
  return result;
}

Result SqliteStorage::scan(const std::function<bool(std::string_view record)>& each) {
  int rc;
  while ((rc = all_.step()) == SQLITE_ROW) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(all_.get(), 0));
    const int length = sqlite3_column_bytes(all_.get(), 0);
    if (length != static_cast<int>(record_length_) || bytes == nullptr) {
      all_.reset();
      return failure(FileStatus::kFailed, "a record of " + std::to_string(length) + " bytes in the file");
    }
    if (!each(std::string_view(bytes, record_length_))) {
      all_.reset();
      return {};
    }
  }
  return rc == SQLITE_DONE ? Result{} : fail(rc);
}

Result SqliteStorage::close() {
  if (db_ == nullptr) return {};
  for (Statement* s : {&begin_, &commit_, &rollback_, &insert_, &first_, &next_, &by_key_, &all_, &alternate_held_}) {
    s->finalize();
  }
  const int rc = sqlite3_close(db_);
  db_ = nullptr;
  return rc == SQLITE_OK ? Result{} : failure(FileStatus::kFailed, "the file could not be closed");
}

}  // namespace

uint32_t shape_mark(const FileShape& shape) {
  uint32_t hash = 2166136261u;  // FNV-1a over the layout's number and the shape's text
  for (const char c : std::to_string(kSqliteLayout) + " " + describe(shape)) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  }
  return hash;
}

Opened open_sqlite(const StorageRequest& request) {
  const std::string path(request.name);
  const FileShape& shape = request.shape;
  if (path.empty()) return not_opened(FileStatus::kFailed, "no file name");

  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    const int error = errno;
    if (error != ENOENT) return not_opened(status_of_errno(error), std::strerror(error));
    struct stat folder;
    if (::stat(folder_of(path).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
      return not_opened(FileStatus::kFailed, "no such folder");
    }
    if (request.mode == StorageMode::kInput) return not_opened(FileStatus::kNotFound, "no such file");
    std::string reason;
    const FileStatus created = create(path, shape, &reason);
    if (created != FileStatus::kOk) return not_opened(created, "cannot create the file: " + reason);
  } else if (S_ISDIR(st.st_mode)) {
    return not_opened(FileStatus::kFailed, "a folder, not a file");
  } else if (!S_ISREG(st.st_mode)) {
    return not_opened(FileStatus::kFailed, "not a regular file");
  }

  std::string reason;
  const FileStatus header = check_header(path, shape, &reason);
  if (header != FileStatus::kOk) return not_opened(header, reason);

  // WAL needs its side files beside the file. A connection that may write removes
  // them when it is the last to close, so input opens, which write nothing either,
  // use such a connection when they are allowed to. A reader that may not create
  // the side files reads the file as it stands, when no writer has side files open.
  const std::string folder = folder_of(path);
  const bool can_write = ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0 &&
                         ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  if (request.mode == StorageMode::kInputOutput && !can_write) {
    return not_opened(status_of_errno(errno), std::strerror(errno));
  }
  struct stat wal;
  const bool as_it_stands = !can_write && ::stat((path + "-wal").c_str(), &wal) != 0;
  const int flags = (can_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_URI |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(uri_of(path, as_it_stands).c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    Opened opened = not_opened(status_of_sqlite(db, rc), db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return opened;
  }
  sqlite3_busy_timeout(db, kSqliteBusyTimeoutMs);
  const std::string settings = "PRAGMA synchronous = NORMAL; PRAGMA wal_autocheckpoint = " +
                               std::to_string(kCheckpointPages) + ";";
  sqlite3_exec(db, settings.c_str(), nullptr, nullptr, nullptr);

  auto storage = std::make_unique<SqliteStorage>(db, shape);
  Result started = storage->start(shape);
  if (!started.ok()) return {std::move(started), nullptr};
  return {{}, std::move(storage)};
}

// The check and the backup, for the fleet command.
namespace {

// The tables and indexes of a database, one "type name sql" line each, by name.
bool schema_entries(sqlite3* db, std::vector<std::string>* entries, std::string* reason) {
  Statement query;
  int rc = query.prepare(db, "SELECT type || ' ' || name || ' ' || coalesce(sql, '') FROM sqlite_schema ORDER BY name");
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    if ((rc = query.step()) != SQLITE_ROW) break;
    entries->emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(query.get(), 0)));
  }
  if (rc == SQLITE_DONE) return true;
  *reason = sqlite3_errmsg(db);
  return false;
}

// The tables and indexes a new file of this shape has.
bool expected_entries(const FileShape& shape, std::vector<std::string>* entries, std::string* reason) {
  sqlite3* db = nullptr;
  bool done = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr) == SQLITE_OK &&
              execute(db, schema(shape), reason) && schema_entries(db, entries, reason);
  if (!done && reason->empty()) *reason = "out of memory";
  sqlite3_close(db);
  return done;
}

}  // namespace

Result SqliteStorage::check() {
  std::vector<std::string> problems;
  Statement integrity;
  int rc = integrity.prepare(db_, "PRAGMA integrity_check(20)");
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    if ((rc = integrity.step()) != SQLITE_ROW) break;
    const auto* line = reinterpret_cast<const char*>(sqlite3_column_text(integrity.get(), 0));
    if (line != nullptr && std::strcmp(line, "ok") != 0) problems.emplace_back(line);
  }
  if (rc != SQLITE_DONE) return fail(rc);

  const FileShape shape{record_length_, keys_};
  std::vector<std::string> expected, actual;
  std::string reason;
  if (!expected_entries(shape, &expected, &reason)) return failure(FileStatus::kFailed, reason);
  if (!schema_entries(db_, &actual, &reason)) return failure(FileStatus::kFailed, reason);
  for (const std::string& entry : expected) {
    if (std::find(actual.begin(), actual.end(), entry) == actual.end()) problems.push_back("missing or changed: " + entry);
  }
  for (const std::string& entry : actual) {
    if (std::find(expected.begin(), expected.end(), entry) == expected.end()) problems.push_back("not of this layout: " + entry);
  }

  Statement lengths;
  rc = lengths.prepare(db_, "SELECT count(*) FROM records WHERE typeof(record) <> 'blob' OR length(record) <> " +
                                std::to_string(record_length_));
  if (rc == SQLITE_OK && (rc = lengths.step()) == SQLITE_ROW) {
    if (const sqlite3_int64 wrong = sqlite3_column_int64(lengths.get(), 0); wrong != 0) {
      problems.push_back(std::to_string(wrong) + " records of another length than " + std::to_string(record_length_));
    }
    lengths.reset();
  } else if (problems.empty()) {
    return fail(rc);
  }
  if (problems.empty()) return {};
  std::string all;
  for (const std::string& problem : problems) all += (all.empty() ? "" : "; ") + problem;
  return failure(FileStatus::kFailed, all);
}

Result backup_sqlite(std::string_view source_name, std::string_view destination_name, const FileShape& shape) {
  const std::string source(source_name);
  const std::string destination(destination_name);
  std::string reason;
  struct stat st;
  if (::stat(source.c_str(), &st) != 0) {
    return failure(errno == ENOENT ? FileStatus::kNotFound : status_of_errno(errno), std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) return failure(FileStatus::kFailed, "not a regular file");
  if (const FileStatus header = check_header(source, shape, &reason); header != FileStatus::kOk) {
    return failure(header, reason);
  }
  if (::lstat(destination.c_str(), &st) == 0) return failure(FileStatus::kFailed, "the destination exists");

  // The copy is made under a name of its own beside the destination and linked in
  // place once whole, so that the destination is either absent or a complete copy.
  std::string temporary = destination + ".partial-XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return failure(status_of_errno(errno), std::strerror(errno));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);

  // Reading through SQLite takes in what the WAL holds; the copy is made in one step,
  // inside one read transaction, so it is one state of the file while others write on.
  const std::string folder = folder_of(source);
  const bool can_write = ::faccessat(AT_FDCWD, source.c_str(), R_OK | W_OK, AT_EACCESS) == 0 &&
                         ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  struct stat wal;
  const bool as_it_stands = !can_write && ::stat((source + "-wal").c_str(), &wal) != 0;
  sqlite3* from = nullptr;
  sqlite3* to = nullptr;
  Result result;
  auto failed = [&](sqlite3* db, int rc) {
    result = failure(status_of_sqlite(db, rc), db != nullptr ? sqlite3_errmsg(db) : "out of memory");
  };
  int rc = sqlite3_open_v2(uri_of(source, as_it_stands).c_str(), &from,
                           (can_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_URI |
                               SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                           nullptr);
  if (rc != SQLITE_OK) failed(from, rc);
  if (result.ok()) {
    sqlite3_busy_timeout(from, kSqliteBusyTimeoutMs);
    rc = sqlite3_open_v2(uri_of(temporary, false).c_str(), &to,
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE, nullptr);
    // In WAL mode, as every file of this storage is (the header says so).
    if (rc == SQLITE_OK) rc = sqlite3_exec(to, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) failed(to, rc);
  }
  if (result.ok()) {
    sqlite3_backup* copy = sqlite3_backup_init(to, "main", from, "main");
    if (copy == nullptr) {
      failed(to, sqlite3_errcode(to));
    } else {
      for (int waited_ms = 0;; waited_ms += 50) {
        rc = sqlite3_backup_step(copy, -1);
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited_ms >= kSqliteBusyTimeoutMs) break;
        sqlite3_sleep(50);
      }
      sqlite3_backup_finish(copy);
      if (rc != SQLITE_DONE) failed(to, rc);
    }
  }
  sqlite3_close(from);
  if (to != nullptr && sqlite3_close(to) != SQLITE_OK && result.ok()) {
    result = failure(FileStatus::kFailed, "the copy could not be closed");
  }
  if (result.ok() && check_header(temporary, shape, &reason) != FileStatus::kOk) {
    result = failure(FileStatus::kFailed, "the copy is not whole: " + reason);
  }
  if (result.ok() && ::fsync(fd) != 0) result = failure(FileStatus::kFailed, std::strerror(errno));
  if (result.ok() && ::link(temporary.c_str(), destination.c_str()) != 0) {
    result = failure(status_of_errno(errno), errno == EEXIST ? "the destination exists" : std::strerror(errno));
  }
  ::close(fd);
  ::unlink(temporary.c_str());
  for (const char* side : {"-wal", "-shm"}) ::unlink((temporary + side).c_str());
  if (result.ok()) {
    const int folder_fd = ::open(folder_of(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd >= 0) {
      ::fsync(folder_fd);
      ::close(folder_fd);
    }
  }
  return result;
}

}  // namespace storage
