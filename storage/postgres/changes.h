// The changes to the stored records of a PostgreSQL file (erase, replace) and its
// archive into another table of the same database, each with the guarantees of an
// insert: one transaction, committed before it returns, within the window of the
// connection, and decided exactly after a lost connection.
//
// A change reads the records it changes inside its own serializable transaction, so
// it knows what they were before it sends its commit. When the connection is lost
// before the commit was sent, nothing was stored and it is tried again; when it is lost
// during the commit, the server's process of the lost connection is ended first, then
// the table is asked: every record as the change leaves it is 00, every record as it
// was is a change not made, tried again; anything else is another program's change
// meanwhile, 30 with "not known". An archive creates its destination table in its own
// transaction, so the destination's being there says whether it committed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/postgres/connection.h"
#include "storage/storage.h"

namespace storage {

class TableChanges {
 public:
  // table: the file's table, quoted, as the connection's search path finds it.
  TableChanges(Connection& connection, const std::string& table, const FileShape& shape)
      : connection_(connection), pq_(connection.pq()), table_(table), shape_(shape) {}

  Result erase(const char* key, std::string* erased);
  Result replace_batch(std::span<const char* const> records, std::vector<std::string>* replaced);
  Result archive(std::string_view destination, uint64_t* moved);

 private:
  // The record stored under each key (empty for none), read on the connection as it
  // stands (inside a transaction, or alone).
  Result read_stored(const std::vector<std::string>& keys, std::vector<std::string>* stored);
  // One change: the records under keys become wanted (an empty one: none). *before
  // is what they were. kNoSuchKey, for an erase, when no record is under its key.
  Result change(const std::vector<std::string>& keys, const std::vector<std::string>& wanted,
                std::vector<std::string>* before);
  // One try of a change on a connection made: *conflict when the server refused it
  // for a conflict with concurrent transactions, to try again; *sent_commit when its
  // commit went out and no answer came, so that the table must be asked.
  Result try_change(const std::vector<std::string>& keys, const std::vector<std::string>& wanted,
                    std::vector<std::string>* before, bool* conflict, bool* sent_commit);
  // After a commit lost with its connection: kOk when the table holds wanted,
  // kNoSuchKey when it holds before (the change was not made); kFailed otherwise.
  Result look(const std::vector<std::string>& keys, const std::vector<std::string>& wanted,
              const std::vector<std::string>& before);
  std::string key_of(const char* record) const { return {record + shape_.keys[0].offset, shape_.keys[0].length}; }

  Connection& connection_;
  const Libpq& pq_;
  const std::string& table_;
  FileShape shape_;
};

}  // namespace storage
