// The file before SQLite sees it: identity, one name, header, creation in one step, and
// the watch over SQLite's own opens.
#include "storage/sqlite/file_os.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage/reasons.h"
#include "storage/sqlite/sqlite_storage.h"

namespace storage::sqlite {
namespace {

constexpr char kMagic[16] = "SQLite format 3";  // with its terminating zero: 16 bytes

// Header fields, big-endian.
constexpr size_t kUserVersionAt = 60;
constexpr size_t kApplicationIdAt = 68;

uint32_t big_endian(const unsigned char* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// How long, in all, a file with more than one name is looked at again: the layer's own
// creation, where a file system has no nameless files, holds a second name for an
// instant before it lets it go.
constexpr int kLinkLooks = 20;
constexpr long kLinkLookNs = 10'000'000;

Result write_all(int fd, const std::vector<unsigned char>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return errno_failure(n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return errno_failure(errno);
  return {};
}

// Gives the new file its name without replacing a file: *named is false when a file
// is at the name already. A file without a name (fd) is linked; a temporary one is
// renamed, or, where the file system cannot rename so, linked and its temporary name
// removed: the file then has two names for an instant, which open_checked waits out.
Result give_name(int fd, const std::string& temporary, const std::string& path, bool* named) {
  int error = 0;
  if (temporary.empty()) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        (errno != ENOENT || ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) != 0)) {
      error = errno;
    }
  } else if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    error = errno;
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
      error = ::link(temporary.c_str(), path.c_str()) == 0 ? 0 : errno;
      ::unlink(temporary.c_str());
    }
  }
  *named = error == 0;
  return error == 0 || error == EEXIST ? Result{} : errno_failure(error);
}

// The connection being made, if any (one thread).
OpenWatch* watch = nullptr;

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

// Every open of SQLite's files. O_NONBLOCK does nothing to a regular file, and makes
// the open of a fifo or a device return at once, to be refused.
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
    refusal = watch->admit(name, id_of(st));
  }
  if (refusal != 0) {
    ::close(fd);
    errno = refusal;
    return -1;
  }
  return fd;
}

}  // namespace

FileStatus status_of_errno(int error) {
  return error == EACCES || error == EPERM || error == EROFS ? FileStatus::kDenied : FileStatus::kFailed;
}

Result errno_failure(int error, const std::string& what) {
  const std::string text = errno_reason(error);
  return failure(status_of_errno(error), what.empty() ? text : what + " : " + text);
}

FileId id_of(const struct stat& st) { return {st.st_dev, st.st_ino}; }

FileId id_at(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0 ? id_of(st) : FileId{};
}

bool exists(const std::string& name) {
  struct stat st;
  return ::lstat(name.c_str(), &st) == 0;
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string resolved(const std::string& path) {
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    std::string name(real);
    std::free(real);
    return name;
  }
  char* folder = ::realpath(folder_of(path).c_str(), nullptr);
  if (folder == nullptr) return path;
  const size_t slash = path.rfind('/');
  std::string name = std::string(folder) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
  std::free(folder);
  return name;
}

std::string side_file_of(const std::string& full) {
  for (const char* end : kSideEnds) {
    if (exists(full + end)) return full + end;
  }
  return {};
}

Result side_file_refusal(const std::string& side) {
  return failure(FileStatus::kFailed, "des fichiers annexes d'un autre fichier sont à son nom (" + side +
                                          ") : un programme se sert peut-être encore de ce fichier, ou s'est arrêté "
                                          "sans le fermer ; arrêtez ce programme, ou déplacez ces fichiers annexes "
                                          "avec le fichier auquel ils appartiennent");
}

Result may_write(const std::string& path) {
  if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0 ||
      ::faccessat(AT_FDCWD, folder_of(path).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return errno_failure(errno);
  }
  return {};
}

void sync_folder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

Result make_temporary(std::string* name, int* fd) {
  *name += "XXXXXX";
  *fd = ::mkostemp(name->data(), O_CLOEXEC);
  if (*fd < 0) return errno_failure(errno);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(*fd, 0666 & ~mask);
  return {};
}

Result open_checked(const std::string& path, int* fd, struct stat* st) {
  *fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (*fd < 0) return errno_failure(errno);
  if (::fstat(*fd, st) != 0) return failure(FileStatus::kFailed, errno_reason(errno));
  if (S_ISDIR(st->st_mode)) return failure(FileStatus::kFailed, kFolderNotFile);
  if (!S_ISREG(st->st_mode)) return failure(FileStatus::kFailed, kNotRegular);
  for (int look = 0; st->st_nlink > 1 && look < kLinkLooks; ++look) {
    const timespec pause{0, kLinkLookNs};
    ::nanosleep(&pause, nullptr);
    if (::fstat(*fd, st) != 0) break;
  }
  if (st->st_nlink > 1) {
    return failure(FileStatus::kFailed,
                   "le fichier a " + std::to_string(st->st_nlink) +
                       " noms (liens physiques), et deux programmes qui y écrivent par deux noms l'abîmeraient ; "
                       "nommez-le par un seul chemin ou par un lien symbolique, ou servez-vous d'une copie");
  }
  return {};
}

Result check_header(int fd, const FileShape& shape) {
  unsigned char header[kHeaderSize];
  ssize_t got;
  do {
    got = ::pread(fd, header, sizeof header, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return failure(FileStatus::kFailed, errno_reason(errno));
  if (got < static_cast<ssize_t>(kHeaderSize) || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    return failure(FileStatus::kWrongShape, "ce n'est pas une base SQLite");
  }
  if (big_endian(header + kApplicationIdAt) != kSqliteApplicationId || header[kWriteVersionAt] != kWalFormat ||
      header[kReadVersionAt] != kWalFormat) {
    return failure(FileStatus::kWrongShape, "une base SQLite qui n'est pas un fichier indexé de ces programmes");
  }
  if (big_endian(header + kUserVersionAt) != shape_mark(shape)) {
    return failure(FileStatus::kWrongShape,
                   "le fichier a une autre longueur d'enregistrement, d'autres clés ou une autre disposition que " +
                       describe(shape));
  }
  return {};
}

Result check_header_at(const std::string& path, const FileShape& shape) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno_failure(errno);
  Result result = check_header(fd, shape);
  ::close(fd);
  return result;
}

Result create_whole(const std::string& path, const std::vector<unsigned char>& image, FileId* made) {
  const std::string folder = folder_of(path);
  const std::string full = resolved(path);
  const sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  const size_t longest = vfs != nullptr ? static_cast<size_t>(vfs->mxPathname) - std::strlen("-journal") : 0;
  if (full.size() > longest) {
    return failure(FileStatus::kFailed, "le chemin fait " + std::to_string(full.size()) +
                                            " octets, SQLite en accepte " + std::to_string(longest) + " au plus");
  }
  if (const std::string side = side_file_of(full); !side.empty()) {
    if (exists(path)) return {};  // made by another process meanwhile: its side files
    return side_file_refusal(side);
  }

  std::string temporary;
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    temporary = path + ".new-";
    if (Result made_temporary = make_temporary(&temporary, &fd); !made_temporary.ok()) return made_temporary;
  } else if (fd < 0) {
    return errno_failure(errno);
  }
  bool named = false;
  struct stat st {};
  Result result = write_all(fd, image);
  if (result.ok() && ::fstat(fd, &st) != 0) result = errno_failure(errno);
  if (result.ok()) result = give_name(fd, temporary, path, &named);
  if (!named && !temporary.empty()) ::unlink(temporary.c_str());
  ::close(fd);
  if (!named) return result;  // failed, or made by another process meanwhile
  *made = id_of(st);
  sync_folder(folder);  // the new name itself survives a crash
  return {};
}

void remove_side_files(const std::vector<SideFile>& sides) {
  for (const SideFile& side : sides) {
    if (id_at(side.name) == side.id) ::unlink(side.name.c_str());
  }
}

void watch_sqlite_opens() {
  if (system_open != nullptr) return;
  sqlite3_vfs* vfs = sqlite3_vfs_find("unix");
  if (vfs == nullptr || vfs->iVersion < 3 || vfs->xGetSystemCall == nullptr) return;
  system_open = reinterpret_cast<SystemOpen>(vfs->xGetSystemCall(vfs, "open"));
  if (system_open != nullptr) {
    vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(watched_open));
  }
}

OpenWatch::OpenWatch(const FileId& checked) : checked_(checked) { watch = this; }

OpenWatch::~OpenWatch() { watch = nullptr; }

int OpenWatch::admit(const char* name, const FileId& id) {
  if (database_.empty() && id == checked_) {
    database_ = name;
  } else if (database_ == name || (database_.empty() && !side_of(name, checked_))) {
    if (!(id == checked_)) {
      replaced_ = true;
      return ESTALE;
    }
  } else {
    sides_.push_back({name, id});
  }
  return 0;
}

}  // namespace storage::sqlite
