// SQLite storage: checks of a file before SQLite sees it, the watch over SQLite's own
// opens, creation in one step, the name followed before each insert, and the records
// table.
#include "storage/sqlite/sqlite_storage.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// The status for a failed system call.
FileStatus status_of_errno(int error) {
  return error == EACCES || error == EPERM || error == EROFS ? FileStatus::kDenied : FileStatus::kFailed;
}

// The status for an SQLite result code (extended codes on).
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

// A file's identity: its device and inode. Empty for no file.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
};

FileId id_of(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// What a name names now; empty when it names nothing.
FileId id_at(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0 ? id_of(st) : FileId{};
}

bool exists(const std::string& name) {
  struct stat st;
  return ::lstat(name.c_str(), &st) == 0;
}

// The side files SQLite keeps beside a database, by the ends of their names.
constexpr const char* kSideEnds[] = {"-wal", "-shm", "-journal"};

// The name SQLite gives the file: its path with every symbolic link resolved, as its
// side files are named after it. The path itself when it cannot be resolved.
std::string resolved(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string name(real);
  std::free(real);
  return name;
}

// A side file that SQLite opened for a connection, by the name it used.
struct SideFile {
  std::string name;
  FileId id;
};

// What SQLite opens while a connection is made: the database must be the very file
// that was checked (a name swapped in between gives another file); every other
// regular file is one of its side files.
struct OpenWatch {
  FileId checked;
  std::string database;  // the name SQLite opened the database by
  bool replaced = false;
  std::vector<SideFile> sides;
};
OpenWatch* watch = nullptr;  // one thread: the connection being made, if any

using SystemOpen = int (*)(const char*, int, int);
SystemOpen system_open = nullptr;

// Whether name is the side file of a database with the identity id: SQLite may use
// again a descriptor of the database it kept from an earlier connection, and then
// opens only the side files.
bool side_of(const std::string& name, const FileId& id) {
  for (const char* end : kSideEnds) {
    const size_t length = std::strlen(end);
    if (name.size() > length && name.compare(name.size() - length, length, end) == 0) {
      return id_at(name.substr(0, name.size() - length)) == id;
    }
  }
  return false;
}

// Every open of SQLite's files. It never waits (O_NONBLOCK does nothing to a regular
// file, and a fifo or a device is refused at once), refuses anything but a regular file
// or a folder (SQLite opens the folder to flush it), and, while a connection is made,
// a database that is not the file checked.
int watched_open(const char* name, int flags, int mode) {
  // SQLite never keeps a file on descriptors 0 to 2: when one is free (a program
  // started with standard input closed), it fills it with /dev/null and opens again.
  if (std::strcmp(name, "/dev/null") == 0) return system_open(name, flags, mode);
  const int fd = system_open(name, flags | O_NONBLOCK, mode);
  if (fd < 0) return fd;
  struct stat st;
  int refusal = 0;
  if (::fstat(fd, &st) != 0) {
    refusal = errno;
  } else if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    refusal = ENXIO;
  } else if (watch != nullptr && S_ISREG(st.st_mode)) {
    const FileId id = id_of(st);
    if (watch->database.empty() && id == watch->checked) {
      watch->database = name;
    } else if (watch->database == name || (watch->database.empty() && !side_of(name, watch->checked))) {
      if (!(id == watch->checked)) {
        watch->replaced = true;
        refusal = ESTALE;
      }
    } else {
      watch->sides.push_back({name, id});
    }
  }
  if (refusal != 0) {
    ::close(fd);
    errno = refusal;
    return -1;
  }
  return fd;
}

// Puts watched_open under SQLite's unix files, once.
void watch_sqlite_opens() {
  if (system_open != nullptr) return;
  sqlite3_vfs* vfs = sqlite3_vfs_find("unix");
  if (vfs == nullptr || vfs->iVersion < 3 || vfs->xGetSystemCall == nullptr) return;
  system_open = reinterpret_cast<SystemOpen>(vfs->xGetSystemCall(vfs, "open"));
  if (system_open != nullptr) {
    vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(watched_open));
  }
}

// How long, in all, a file with more than one name is looked at again: the layer's own
// creation, where a file system has no nameless files, holds a second name for an
// instant before it lets it go.
constexpr int kLinkLooks = 20;
constexpr long kLinkLookNs = 10'000'000;

// Opens the file at path without waiting, whatever it has become since it was looked
// at, and checks that it is a regular file with one name.
FileStatus open_checked(const std::string& path, int* fd, struct stat* st, std::string* reason) {
  *fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (*fd < 0) {
    *reason = std::strerror(errno);
    return status_of_errno(errno);
  }
  if (::fstat(*fd, st) != 0) {
    *reason = std::strerror(errno);
    return FileStatus::kFailed;
  }
  if (S_ISDIR(st->st_mode)) {
    *reason = "a folder, not a file";
    return FileStatus::kFailed;
  }
  if (!S_ISREG(st->st_mode)) {
    *reason = "not a regular file";
    return FileStatus::kFailed;
  }
  for (int look = 0; st->st_nlink > 1 && look < kLinkLooks; ++look) {
    const timespec pause{0, kLinkLookNs};
    ::nanosleep(&pause, nullptr);
    if (::fstat(*fd, st) != 0) break;
  }
  if (st->st_nlink > 1) {
    *reason = "the file has " + std::to_string(st->st_nlink) +
              " names (hard links), and writers through two names would damage it; name it by one path, "
              "by a symbolic link, or use a copy";
    return FileStatus::kFailed;
  }
  return FileStatus::kOk;
}

// Checks the header of an open file before SQLite is given it.
FileStatus check_header(int fd, const FileShape& shape, std::string* reason) {
  unsigned char header[kHeaderSize];
  ssize_t got;
  do {
    got = ::pread(fd, header, sizeof header, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    *reason = std::strerror(errno);
    return FileStatus::kFailed;
  }
  if (got < static_cast<ssize_t>(kHeaderSize) || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    *reason = "not an SQLite database";
    return FileStatus::kWrongShape;
  }
  if (big_endian(header + kApplicationIdAt) != kSqliteApplicationId || header[kWriteVersionAt] != kWalFormat ||
      header[kReadVersionAt] != kWalFormat) {
    *reason = "an SQLite database that is not an indexed file of this runtime";
    return FileStatus::kWrongShape;
  }
  if (big_endian(header + kUserVersionAt) != shape_mark(shape)) {
    *reason = "the file has another record length, key table or layout than " + describe(shape);
    return FileStatus::kWrongShape;
  }
  return FileStatus::kOk;
}

// Checks the header of the file at path, opened without waiting on anything.
FileStatus check_header_at(const std::string& path, const FileShape& shape, std::string* reason) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return status_of_errno(errno);
  }
  const FileStatus status = check_header(fd, shape, reason);
  ::close(fd);
  return status;
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

// Links a file without a name to its name; it never replaces a file (EEXIST).
int link_nameless(int fd, const std::string& path) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  if (::linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno == ENOENT && ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return 0;
  return errno;
}

// Gives a temporary file its name without replacing a file (EEXIST). Where the file
// system cannot rename so, the name is linked and the temporary one removed: the file
// then has two names for an instant, which open_checked waits out.
int name_temporary(const std::string& temporary, const std::string& path) {
  if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  const int error = ::link(temporary.c_str(), path.c_str()) == 0 ? 0 : errno;
  ::unlink(temporary.c_str());
  return error;
}

// Creates the file whole under its name: its bytes are written to a file without a
// name (or, where the file system has none, under a temporary name) in the same
// folder, then given its name. That never replaces a file, so when processes create
// the file at once, one of them wins and the others open its file. made is set to the
// new file when this call made it. Nothing is made when SQLite could not open the
// file (a path too long for it), or when side files of another file are at its name.
FileStatus create(const std::string& path, const FileShape& shape, FileId* made, std::string* reason) {
  const std::string folder = folder_of(path);
  const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  const std::string full = resolved(folder) + "/" + name;
  const sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  const size_t longest = vfs != nullptr ? static_cast<size_t>(vfs->mxPathname) - std::strlen("-journal") : 0;
  if (full.size() > longest) {
    *reason =
        "the path is " + std::to_string(full.size()) + " bytes long, SQLite takes at most " + std::to_string(longest);
    return FileStatus::kFailed;
  }
  for (const char* end : kSideEnds) {
    if (!exists(full + end)) continue;
    if (exists(path)) return FileStatus::kOk;  // made by another process meanwhile: its side files
    *reason = "side files of another file are at its name (" + full + end +
              "): a program may still use that file, or ended without closing it; end that program, or "
              "move the side files away with the file they belong to";
    return FileStatus::kFailed;
  }

  std::vector<unsigned char> image;
  if (!empty_file_image(shape, &image, reason)) return FileStatus::kFailed;
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
  struct stat st {};
  if (!write_all(fd, image) || ::fstat(fd, &st) != 0) {
    error = errno != 0 ? errno : EIO;
  } else {
    error = temporary.empty() ? link_nameless(fd, path) : name_temporary(temporary, path);
  }
  if (error != 0 && !temporary.empty()) ::unlink(temporary.c_str());
  ::close(fd);
  if (error == EEXIST) return FileStatus::kOk;  // made by another process meanwhile
  if (error != 0) {
    *reason = std::strerror(error);
    return status_of_errno(error);
  }
  *made = id_of(st);
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
  explicit SqliteStorage(const StorageRequest& request)
      : path_(request.name),
        mode_(request.mode),
        record_length_(request.shape.record_length),
        keys_(request.shape.keys.begin(), request.shape.keys.end()) {}
  ~SqliteStorage() override { close(); }

  // Opens the file at its name: kOk with the connection made, or why not. A failed
  // open leaves the folder as it was.
  Result open();

  Result insert(const char* record) override;
  Result insert_batch(std::span<const char* const> records, std::vector<FileStatus>* statuses) override;
  Result read_next(char* record) override;
  Result read_key(const char* key, char* record) override;
  Result scan(const std::function<bool(std::string_view record)>& each) override;
  Result version(std::string* mark) override;
  Result close() override;
  Result check() override;  // at the end of this file, with the backup
  Result backup(std::string_view destination) override { return backup_sqlite(path_, destination, shape()); }

 private:
  FileShape shape() const { return {record_length_, keys_}; }
  // Starts the time that one operation may wait for other processes' locks.
  void start_operation() {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSqliteBusyTimeoutMs);
  }
  static int wait_while_busy(void* self, int count);
  // The connection to the file at its name, which was checked (fd, st) first; closes fd.
  Result connect(int* fd, const struct stat& st);
  // Checks that the name still names the open file. When it no longer does, lets go
  // of the lost file and opens the name again, as the first open did.
  Result follow_name();
  // Ends the connection. When the file is lost (removed or replaced at its name), its
  // side files are not SQLite's to remove by name: they are taken away from the name
  // once all they hold is in the file.
  Result disconnect(bool lost);
  // Checks the file's own record of its shape and prepares the statements.
  Result start(const FileShape& shape);

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

  std::string path_;
  StorageMode mode_;
  sqlite3* db_ = nullptr;
  FileId file_id_;               // the file the connection has open
  std::vector<SideFile> sides_;  // its side files, as SQLite opened them
  std::chrono::steady_clock::time_point deadline_;
  uint32_t record_length_;
  std::vector<KeyShape> keys_;
  Statement begin_, commit_, rollback_, insert_, first_, next_, by_key_, all_, data_version_;
  Statement alternate_held_;         // a row when a record holds one of the record's
                                     // alternate keys that allow duplicates
  std::vector<size_t> shared_keys_;  // those keys, by their number in keys_
  std::string last_key_;             // primary key of the record read last
  bool read_any_ = false;
};

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
  if (path.empty()) return failure(FileStatus::kFailed, "no file name");
  watch_sqlite_opens();

  FileId made;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    const int error = errno;
    if (error != ENOENT) return failure(status_of_errno(error), std::strerror(error));
    struct stat folder;
    if (::stat(folder_of(path).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
      return failure(FileStatus::kFailed, "no such folder");
    }
    if (mode_ == StorageMode::kInput) return failure(FileStatus::kNotFound, "no such file");
    std::string reason;
    const FileStatus created = create(path, shape(), &made, &reason);
    if (created != FileStatus::kOk) return failure(created, "cannot create the file: " + reason);
  } else if (S_ISDIR(st.st_mode)) {
    return failure(FileStatus::kFailed, "a folder, not a file");
  } else if (!S_ISREG(st.st_mode)) {
    return failure(FileStatus::kFailed, "not a regular file");
  }

  int fd = -1;
  std::string reason;
  FileStatus status = open_checked(path, &fd, &st, &reason);
  if (status == FileStatus::kOk) status = check_header(fd, shape(), &reason);
  Result result = status == FileStatus::kOk ? connect(&fd, st) : failure(status, reason);
  if (fd >= 0) ::close(fd);
  if (!result.ok() && !(made == FileId{})) {
    // Nothing of a failed open stays: the file it made goes, unless another program
    // has begun to use it meanwhile (it would have side files beside it).
    const std::string full = resolved(path);
    bool in_use = false;
    for (const char* end : kSideEnds) in_use = in_use || exists(full + end);
    if (!in_use && id_at(path) == made) ::unlink(path.c_str());
  }
  return result;
}

Result SqliteStorage::connect(int* fd, const struct stat& st) {
  // WAL needs its side files beside the file. A connection that may write removes
  // them when it is the last to close, so input opens, which write nothing either,
  // use such a connection when they are allowed to. A reader that may not create
  // the side files reads the file as it stands, when no writer has side files open.
  const std::string folder = folder_of(path_);
  const std::string full = resolved(path_);
  const bool can_write = ::faccessat(AT_FDCWD, path_.c_str(), R_OK | W_OK, AT_EACCESS) == 0 &&
                         ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  if (mode_ == StorageMode::kInputOutput) {
    if (!can_write) return failure(status_of_errno(errno), std::strerror(errno));
    // SQLite would open a side file it may not write for reading only, and every
    // insert would then fail.
    for (const char* end : {"-wal", "-shm"}) {
      if (exists(full + end) && ::faccessat(AT_FDCWD, (full + end).c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        return failure(status_of_errno(errno),
                       "its side file " + full + end + " may not be written: " + std::strerror(errno));
      }
    }
  }
  const bool as_it_stands = !can_write && !exists(full + "-wal");
  const int flags = (can_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX |
                    SQLITE_OPEN_EXRESCODE;
  OpenWatch seen{id_of(st)};
  watch = &seen;
  const int rc = sqlite3_open_v2(uri_of(path_, as_it_stands).c_str(), &db_, flags, nullptr);
  // fd was held until SQLite opened the file: meanwhile no new file could get the
  // checked file's inode, so the same identity was the same file. It goes before SQLite
  // takes its locks, as closing any descriptor of a file drops the process's locks on it.
  ::close(*fd);
  *fd = -1;
  Result result;
  if (rc != SQLITE_OK) {
    result = failure(status_of_sqlite(db_, rc), db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
  } else {
    sqlite3_busy_handler(db_, wait_while_busy, this);
    // FULL: each commit is flushed to the disk before the insert returns.
    const std::string settings =
        "PRAGMA synchronous = FULL; PRAGMA wal_autocheckpoint = " + std::to_string(kCheckpointPages) + ";";
    sqlite3_exec(db_, settings.c_str(), nullptr, nullptr, nullptr);
    result = start(shape());
  }
  watch = nullptr;
  if (seen.replaced) result = failure(FileStatus::kFailed, "the file was replaced while it was being opened");
  file_id_ = seen.checked;
  sides_ = std::move(seen.sides);
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
  for (Statement* s :
       {&begin_, &commit_, &rollback_, &insert_, &first_, &next_, &by_key_, &all_, &alternate_held_, &data_version_}) {
    s->finalize();
  }
  shared_keys_.clear();
  const int rc = sqlite3_close(db_);
  db_ = nullptr;
  if (all_in_file) {
    for (const SideFile& side : sides_) {
      if (id_at(side.name) == side.id) ::unlink(side.name.c_str());
    }
  }
  sides_.clear();
  return rc == SQLITE_OK ? Result{} : failure(FileStatus::kFailed, "the file could not be closed");
}

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
    return failure(FileStatus::kWrongShape, "the file has record length " +
                                                std::to_string(sqlite3_column_int64(layout.get(), 0)) + " and keys " +
                                                (table != nullptr ? table : "") + ", not " + describe(shape));
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
    return failure(FileStatus::kFailed, "a record of " + std::to_string(length) + " bytes in the file");
  }
  std::memcpy(record, bytes, record_length_);
  return {};
}

Result SqliteStorage::read_next(char* record) {
  if (db_ == nullptr) return failure(FileStatus::kFailed, "the file was lost and could not be opened again");
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
  if (db_ == nullptr) return failure(FileStatus::kFailed, "the file was lost and could not be opened again");
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
  if (db_ == nullptr) return failure(FileStatus::kFailed, "the file was lost and could not be opened again");
  start_operation();
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

Result SqliteStorage::version(std::string* mark) {
  if (db_ == nullptr) return failure(FileStatus::kFailed, "the file was lost and could not be opened again");
  if (!(id_at(path_) == file_id_)) return failure(FileStatus::kFailed, "the file's name names another file now");
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

}  // namespace

uint32_t shape_mark(const FileShape& shape) {
  uint32_t hash = 2166136261u;  // FNV-1a over the layout's number and the shape's text
  for (const char c : std::to_string(kSqliteLayout) + " " + describe(shape)) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  }
  return hash;
}

Opened open_sqlite(const StorageRequest& request) {
  auto storage = std::make_unique<SqliteStorage>(request);
  Result opened = storage->open();
  if (!opened.ok()) return {std::move(opened), nullptr};
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
    if (std::find(actual.begin(), actual.end(), entry) == actual.end())
      problems.push_back("missing or changed: " + entry);
  }
  for (const std::string& entry : actual) {
    if (std::find(expected.begin(), expected.end(), entry) == expected.end())
      problems.push_back("not of this layout: " + entry);
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
  if (const FileStatus header = check_header_at(source, shape, &reason); header != FileStatus::kOk) {
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
    rc =
        sqlite3_open_v2(uri_of(temporary, false).c_str(), &to,
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
  if (result.ok() && check_header_at(temporary, shape, &reason) != FileStatus::kOk) {
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
