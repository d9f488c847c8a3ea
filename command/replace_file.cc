// Write aside, flush, rename, flush the folder.
#include "command/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace fleet {
namespace {

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool replace_file(const std::string& path, std::string_view bytes) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    errno = EISDIR;
    return false;
  }
  struct stat st;
  const bool regular = ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);

  // A hidden name of its own in the same folder (a rename does not cross file systems),
  // cut so that it stays within the longest name a folder takes.
  std::string temporary;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary =
        folder + "/." + name.substr(0, 200) + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool done = write_all(fd, bytes) && (!regular || ::fchmod(fd, st.st_mode & 07777) == 0) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && done) {
    done = false;
    error = errno;
  }
  if (done && ::rename(temporary.c_str(), path.c_str()) != 0) {
    done = false;
    error = errno;
  }
  if (!done) {
    ::unlink(temporary.c_str());
    errno = error;
    return false;
  }
  // The new name is on the disk only once the folder is.
  const int folder_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd < 0) return false;
  const bool flushed = ::fsync(folder_fd) == 0;
  error = errno;
  ::close(folder_fd);
  errno = error;
  return flushed;
}

}  // namespace fleet
