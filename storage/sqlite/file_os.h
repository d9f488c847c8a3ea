// The operating-system side of the SQLite storage, kept apart from its engine as SQLite
// keeps its own: what a file is (its identity, its one name, its header) before SQLite
// is given it, opens that never wait on a fifo or a device, the creation of a file
// whole under its name, and the watch over the opens SQLite makes itself. Every
// failure is a Result whose reason says why.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "storage/storage.h"

namespace storage::sqlite {

// The file format bytes of the header (offsets 18 and 19) that mark WAL mode.
inline constexpr size_t kHeaderSize = 100;
inline constexpr size_t kWriteVersionAt = 18;
inline constexpr size_t kReadVersionAt = 19;
inline constexpr unsigned char kWalFormat = 2;

// The status for a failed system call.
FileStatus status_of_errno(int error);

// The reasons for a name that is not a regular file.
inline constexpr char kFolderNotFile[] = "c'est un dossier, pas un fichier";
inline constexpr char kNotRegular[] = "ce n'est pas un fichier ordinaire";

// The failure of a system call that set error: its status and its reason, after what
// when given ("impossible de créer le fichier : plus de place sur le disque").
Result errno_failure(int error, const std::string& what = {});

// A file's identity: its device and inode. Empty for no file.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
  bool empty() const { return *this == FileId{}; }
};

FileId id_of(const struct stat& st);

// What a name names now; empty when it names nothing.
FileId id_at(const std::string& name);

// Whether anything, even a dangling symbolic link, is at name.
bool exists(const std::string& name);

// The folder of a path ("." for a bare name).
std::string folder_of(const std::string& path);

// The name SQLite gives the file: its path with every symbolic link resolved, as its
// side files are named after it. For a file not made yet, its folder resolved and its
// name; the path itself when the folder cannot be resolved either.
std::string resolved(const std::string& path);

// The side files SQLite keeps beside a database, by the ends of their names.
inline constexpr const char* kSideEnds[] = {"-wal", "-shm", "-journal"};

// The first side file found beside the database named full (a resolved name); empty
// when there is none.
std::string side_file_of(const std::string& full);

// Why nothing is made at a name where side file (of another file) lies: SQLite would
// take it for the new file's own, and show or damage what it holds.
Result side_file_refusal(const std::string& side);

// kOk when this process may write the file at path and create files in its folder,
// as a connection that writes needs for its side files; else why not.
Result may_write(const std::string& path);

// Flushes a folder, so that a name just made in it survives a crash. A folder that
// cannot be opened for reading is left to the file system's own time.
void sync_folder(const std::string& folder);

// A new empty file under name + "XXXXXX" (the X replaced so that the name is new),
// with the permissions a created file gets (0666 less the umask) rather than
// mkstemp's 0600: kOk with *name and *fd set.
Result make_temporary(std::string* name, int* fd);

// Opens the file at path without waiting, whatever it has become since it was looked
// at, and checks that it is a regular file with one name: kOk with *fd (to close) and
// *st set. A file with several names (hard links) is refused, as writers through two
// names would damage it.
Result open_checked(const std::string& path, int* fd, struct stat* st);

// Checks the header of an open file before SQLite is given it: an SQLite database in
// WAL mode with this storage's application id and the mark of shape. kWrongShape
// otherwise.
Result check_header(int fd, const FileShape& shape);

// check_header on the file at path, opened without waiting on anything.
Result check_header_at(const std::string& path, const FileShape& shape);

// Creates the file whole under its name, holding image: the bytes are written to a
// file without a name (or, where the file system has none, under a temporary name) in
// the same folder, flushed, then given the name. That never replaces a file, so when
// processes create the file at once, one of them wins and the others open its file.
// *made is set to the new file when this call made it, left empty when another process
// did. Nothing is made when SQLite could not open the file (a path too long for it),
// or when side files of another file are at its name.
Result create_whole(const std::string& path, const std::vector<unsigned char>& image, FileId* made);

// A side file that SQLite opened for a connection, by the name it used.
struct SideFile {
  std::string name;
  FileId id;
};

// Removes the side files that are still the ones SQLite opened.
void remove_side_files(const std::vector<SideFile>& sides);

// Puts the watch under SQLite's unix files, once: every open of SQLite's files then
// never waits (a fifo or a device is refused at once) and accepts only a regular file
// or a folder (SQLite opens the folder to flush it).
void watch_sqlite_opens();

// While it lives (one thread, one connection being made), SQLite's opens accept as the
// database only the very file that was checked: a name swapped in between gives
// another file, refused, and replaced() says so. Every other regular file SQLite opens
// is one of its side files, kept in sides().
class OpenWatch {
 public:
  explicit OpenWatch(const FileId& checked);
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;
  ~OpenWatch();

  const FileId& checked() const { return checked_; }
  bool replaced() const { return replaced_; }
  std::vector<SideFile> take_sides() { return std::move(sides_); }

  // The decision on one regular file SQLite opened: 0 to keep it, or the errno of a
  // refusal.
  int admit(const char* name, const FileId& id);

 private:
  FileId checked_;
  std::string database_;  // the name SQLite opened the database by
  bool replaced_ = false;
  std::vector<SideFile> sides_;
};

}  // namespace storage::sqlite
