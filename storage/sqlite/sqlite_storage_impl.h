// The SQLite storage class, shared by the files that hold its operations: the open,
// insert and reads (sqlite_storage.cc), and the changes to stored records and the
// archive (changes.cc). Only those files and open_sqlite use it.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "storage/sqlite/database.h"
#include "storage/sqlite/file_os.h"
#include "storage/sqlite/sqlite_storage.h"

namespace storage::sqlite {

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
  Result erase(const char* key, std::string* erased) override;
  Result replace_batch(std::span<const char* const> records, std::vector<std::string>* replaced) override;
  Result read_next(char* record) override;
  Result read_key(const char* key, char* record) override;
  Result scan(const std::function<bool(std::string_view record)>& each) override;
  Result version(std::string* mark) override;
  Result close() override;
  Result check() override;
  Result backup(std::string_view destination) override { return backup_sqlite(path_, destination, shape()); }
  Result archive(std::string_view destination, uint64_t* moved) override;

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

  Result fail(int rc) { return sqlite_failure(db_, rc); }
  // Inserts one record inside the open transaction: kOk, kDuplicateAlternateKey, or
  // the failure (the transaction stays open).
  Result insert_one(const char* record);
  // A record of the table, checked for its length.
  Result take(const Statement& query, char* record);
  // Commits the open transaction, or rolls it back when result is a failure or the
  // commit fails: result, or the commit's failure.
  Result finish(Result result);

  // The archive's steps (changes.cc). Copies the state that the open read
  // transaction holds to a new file at destination, marked as this file's archive.
  Result copy_marked(const std::string& destination, uint64_t* copied);
  // Removes, in one transaction, each record that the archive at destination holds
  // with the same bytes; *held is how many records the archive holds.
  Result erase_archived(const std::string& destination, uint64_t* held);

  std::string path_;
  StorageMode mode_;
  sqlite3* db_ = nullptr;
  FileId file_id_;               // the file the connection has open
  std::vector<SideFile> sides_;  // its side files, as SQLite opened them
  std::chrono::steady_clock::time_point deadline_;
  uint32_t record_length_;
  std::vector<KeyShape> keys_;
  Statement begin_, commit_, rollback_, insert_, first_, next_, by_key_, all_;
  Statement erase_, update_;         // by primary key
  Statement erase_same_;             // by primary key and the record's bytes
  Statement data_version_;           // PRAGMA data_version, for version()
  Statement alternate_held_;         // a row when a record holds one of the record's
                                     // alternate keys that allow duplicates
  std::vector<size_t> shared_keys_;  // those keys, by their number in keys_
  std::string last_key_;             // primary key of the record read last
  bool read_any_ = false;
};

}  // namespace storage::sqlite
