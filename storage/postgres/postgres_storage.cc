// The PostgreSQL storage: a table's records, inserted once each whatever the
// connection goes through, and read in key order.
#include "storage/postgres/postgres_storage.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "storage/postgres/catalogue.h"
#include "storage/postgres/changes.h"
#include "storage/postgres/connection.h"
#include "storage/postgres/libpq.h"

namespace storage {
namespace {

// After the reason of a failure that came when a commit may have gone through.
constexpr char kRecordNotKnown[] = " ; on ne sait pas si l'enregistrement a été écrit";
constexpr char kRecordsNotKnown[] = " ; on ne sait pas si les enregistrements ont été écrits";

class PostgresStorage final : public Storage {
 public:
  PostgresStorage(const Libpq& pq, const StorageRequest& request, int window_ms)
      : pq_(pq),
        connection_(pq, std::string(request.name), std::string(request.client),
                    request.mode == StorageMode::kInputOutput, window_ms),
        writes_(request.mode == StorageMode::kInputOutput),
        table_(table_of(request.declared_name)),
        record_length_(request.shape.record_length),
        keys_(request.shape.keys.begin(), request.shape.keys.end()) {}

  // Connects, then finds the table, creating it for an input-output open, and checks it.
  Result open(const FileShape& shape);

  Result insert(const char* record) override;
  Result insert_batch(std::span<const char* const> records, std::vector<FileStatus>* statuses) override;
  Result erase(const char* key, std::string* erased) override { return changes().erase(key, erased); }
  Result replace_batch(std::span<const char* const> records, std::vector<std::string>* replaced) override {
    return changes().replace_batch(records, replaced);
  }
  Result archive(std::string_view destination, uint64_t* moved) override {
    return changes().archive(destination, moved);
  }
  Result read_next(char* record) override;
  Result read_key(const char* key, char* record) override;
  Result scan(const std::function<bool(std::string_view record)>& each) override;
  Result version(std::string* mark) override;
  Result close() override;
  Result check() override {
    return reading([&]() -> Result { return check_table(connection_, table_, shape()); });
  }
  // The server keeps the table; pg_dump copies it, with the rest of the database.
  Result backup(std::string_view) override {
    return failure(FileStatus::kFailed, "une table PostgreSQL se copie avec pg_dump");
  }

 private:
  FileShape shape() const { return {record_length_, keys_}; }
  // The changes to stored records and the archive, on this connection (changes.h).
  TableChanges changes() { return {connection_, table_, shape()}; }
  // After a lost insert of record: kOk when the same record is under its plate,
  // kDuplicateKey when another is, kNoSuchKey when none is; kFailed when it cannot
  // be known, which is when the server's process of the lost connection is still
  // there and does not end.
  Result look_for(const char* record);
  // The same after a lost batch: each record of rest that is under its plate, the
  // first of the batch with it, is decided kOk and leaves rest. kOk when the table
  // could be read; kFailed as look_for.
  Result look_for_batch(std::span<const char* const> records, std::vector<size_t>* rest,
                        std::vector<FileStatus>* statuses);
  // A look's failure, its transaction ended.
  Result ended_look(Result failed);
  // One insert of the records of rest, in their order; their statuses when it ran.
  Result insert_rest(std::span<const char* const> records, const std::vector<size_t>& rest,
                     std::vector<FileStatus>* statuses);
  void prepare_statements();
  // Runs the insert of one record; the outcome, and the server's SQLSTATE.
  Result insert_once(const char* record, const std::string& statement);
  // A record of the table, checked for its length.
  Result take(std::string_view bytes, char* record);
  // Sets the status of each record of a batch from the rows the batch's insert returned.
  void decide_batch(std::span<const char* const> records, const PgResult& stored,
                    std::vector<FileStatus>* statuses) const;
  // Runs a read (or any statement that changes nothing) within the window, on a new
  // connection when the one it ran on was lost.
  Result reading(const std::function<Result()>& read);

  const Libpq& pq_;
  Connection connection_;
  bool writes_;
  std::string table_;  // quoted
  uint32_t record_length_;
  std::vector<KeyShape> keys_;
  std::string insert_, insert_in_batch_, first_, next_, by_key_, all_;
  std::string last_key_;  // primary key of the record read last
  bool read_any_ = false;
};

Result PostgresStorage::open(const FileShape& shape) {
  connection_.start_window();
  Result result = connection_.connect();
  // A table being created by another program at the same moment makes the creation
  // fail once that program has committed it; it is then found at the next look.
  for (int look = 0; result.ok() && look < 3; ++look) {
    bool found = false;
    result = find_table(connection_, table_, shape, writes_, &found);
    if (!result.ok() || found) break;
    if (!writes_) return failure(FileStatus::kNotFound, "aucune table " + table_ + " dans les schémas du search_path");
    // The statements of one query string are one transaction: the table comes whole.
    const PgResult created(pq_, connection_.run(table_definition(table_, shape)));
    result = connection_.check(created);
    // Made meanwhile: the table, its row type or a catalog row is already there.
    if (connection_.last_state() == "42P07" || connection_.last_state() == "42710" ||
        connection_.last_state() == "23505")
      result = {};
  }
  if (result.ok()) prepare_statements();
  return result;
}

void PostgresStorage::prepare_statements() {
  std::string columns = key_column(0);
  std::string values = "$1";
  std::string held;  // true when an alternate key with duplicates is already held
  for (size_t k = 1; k < keys_.size(); ++k) {
    const std::string parameter = "$" + std::to_string(k + 1);
    columns += ", " + key_column(k);
    values += ", " + parameter;
    if (!keys_[k].duplicates) continue;  // a unique index refuses it at the insert
    if (!held.empty()) held += " OR ";
    held += "EXISTS (SELECT 1 FROM " + table_ + " WHERE " + key_column(k) + " = " + parameter + ")";
  }
  // The subqueries of RETURNING read the table as it was before this insert.
  const std::string insert = "INSERT INTO " + table_ + " (" + columns + ", record) VALUES (" + values + ", $" +
                             std::to_string(keys_.size() + 1) + ")";
  const std::string returning = std::string(" RETURNING ") + (held.empty() ? "false" : held);
  insert_ = insert + returning;
  // A batch is one statement over an array of records, in their order: a taken key
  // skips its record (no row comes back for it) instead of aborting the statement.
  std::string picked =
      "substring(r from " + std::to_string(keys_[0].offset + 1) + " for " + std::to_string(keys_[0].length) + ")";
  std::string held_before;  // held by a record stored before this statement
  for (size_t k = 1; k < keys_.size(); ++k) {
    picked +=
        ", substring(r from " + std::to_string(keys_[k].offset + 1) + " for " + std::to_string(keys_[k].length) + ")";
    if (!keys_[k].duplicates) continue;
    if (!held_before.empty()) held_before += " OR ";
    held_before +=
        "EXISTS (SELECT 1 FROM " + table_ + " x WHERE x." + key_column(k) + " = stored." + key_column(k) + ")";
  }
  insert_in_batch_ = "INSERT INTO " + table_ + " AS stored (" + columns + ", record) SELECT " + picked +
                     ", r FROM unnest($1::bytea[]) WITH ORDINALITY AS u(r, n) ORDER BY n ON CONFLICT DO NOTHING"
                     " RETURNING key0, " +
                     (held_before.empty() ? "false" : held_before);
  first_ = "SELECT key0, record FROM " + table_ + " ORDER BY key0 LIMIT 1";
  next_ = "SELECT key0, record FROM " + table_ + " WHERE key0 > $1 ORDER BY key0 LIMIT 1";
  by_key_ = "SELECT key0, record FROM " + table_ + " WHERE key0 = $1";
  all_ = "SELECT record FROM " + table_ + " ORDER BY key0";
}

Result PostgresStorage::insert_once(const char* record, const std::string& statement) {
  std::vector<const char*> values;
  std::vector<int> lengths;
  for (const KeyShape& key : keys_) {
    values.push_back(record + key.offset);
    lengths.push_back(static_cast<int>(key.length));
  }
  values.push_back(record);
  lengths.push_back(static_cast<int>(record_length_));
  const std::vector<int> binary(values.size(), 1);
  const PgResult result(
      pq_, connection_.run(statement, {static_cast<int>(values.size()), values.data(), lengths.data(), binary.data()}));
  Result checked = connection_.check(result);
  if (!checked.ok()) return checked;
  if (result.rows() == 0) return failure(FileStatus::kDuplicateKey);
  return {result.value(0, 0) == "t" ? FileStatus::kDuplicateAlternateKey : FileStatus::kOk, {}};
}

// A look that failed inside its BEGIN left the transaction open and aborted, which
// would refuse every later statement of the connection (25P02): it is rolled back.
Result PostgresStorage::ended_look(Result failed) {
  if (connection_.is_open() && !connection_.lost()) {
    const PgResult rolled_back(pq_, connection_.run("ROLLBACK", {}, 0, connection_.deadline()));
  }
  return failed;
}

Result PostgresStorage::look_for(const char* record) {
  if (Result ended = connection_.end_abandoned(); !ended.ok()) return ended;
  // Read committed, so that a look that waits for a lock sees what was committed
  // while it waited (a serializable one would see the table as it was before).
  // The statements go as one string, whose values are written in hexadecimal.
  std::string look =
      "BEGIN ISOLATION LEVEL READ COMMITTED; SELECT encode(record, 'hex') FROM " + table_ + " WHERE key0 = decode('";
  append_hexadecimal(look, std::string_view(record + keys_[0].offset, keys_[0].length));
  look += "', 'hex'); COMMIT";
  const PgResult found(pq_, connection_.run(look, {}, 0, connection_.deadline()));
  if (Result result = connection_.check(found); !result.ok()) return ended_look(result);
  if (found.rows() == 0) return failure(FileStatus::kNoSuchKey);
  std::string same;
  append_hexadecimal(same, std::string_view(record, record_length_));
  if (found.value(0, 0) == same) return {};
  return failure(FileStatus::kDuplicateKey);
}

Result PostgresStorage::insert(const char* record) {
  connection_.start_window();
  bool sent = false;  // a try was lost after it reached the server: it may have committed
  Result result;
  for (int attempt = 1;; ++attempt) {
    result = connection_.connected();
    if (result.ok() && sent) {
      result = look_for(record);
      if (result.ok() || result.status == FileStatus::kDuplicateKey) return result;
      if (result.status != FileStatus::kNoSuchKey) {
        if (!connection_.lost()) return failure(FileStatus::kFailed, result.reason + kRecordNotKnown);
      } else {
        sent = false;
      }
    }
    if (result.ok() || result.status == FileStatus::kNoSuchKey) {
      result = insert_once(record, insert_);
      if (!connection_.lost()) {
        if (result.ok() || !is_conflict(connection_.last_state()) || attempt >= kPostgresInsertTries) return result;
        pause_apart(attempt);
        continue;
      }
      sent = true;
    } else if (result.status != FileStatus::kFailed) {
      return result;  // refused, not lost
    }
    if (!connection_.pause_to_reconnect()) break;
  }
  if (sent) return failure(FileStatus::kFailed, result.reason + kRecordNotKnown);
  return result;
}

Result PostgresStorage::insert_batch(std::span<const char* const> records, std::vector<FileStatus>* statuses) {
  connection_.start_window();
  statuses->assign(records.size(), FileStatus::kFailed);
  std::vector<size_t> rest(records.size());  // the records not decided yet
  for (size_t i = 0; i < rest.size(); ++i) rest[i] = i;
  bool sent = false;    // a try was lost after it reached the server: it may have committed
  bool looked = false;  // a look decided some of the records
  // The records of rest are not stored: when a look found some of the others stored,
  // each is refused with the status; else the batch fails whole.
  const auto give_up = [&](Result why) -> Result {
    if (!looked) return why;
    for (const size_t i : rest) (*statuses)[i] = why.status;
    return {};
  };
  Result result;
  for (int attempt = 1; !rest.empty(); ++attempt) {
    result = connection_.connected();
    if (result.ok() && sent) {
      const size_t before = rest.size();
      result = look_for_batch(records, &rest, statuses);
      if (!result.ok() && !connection_.lost()) return failure(FileStatus::kFailed, result.reason + kRecordsNotKnown);
      if (result.ok()) {
        sent = false;
        looked |= rest.size() < before;
        continue;
      }
    } else if (result.ok()) {
      result = insert_rest(records, rest, statuses);
      if (result.ok()) return result;
      if (!connection_.lost()) {
        if (!is_conflict(connection_.last_state()) || attempt >= kPostgresInsertTries) return give_up(result);
        pause_apart(attempt);
        continue;
      }
      sent = true;
    } else if (result.status != FileStatus::kFailed) {
      return give_up(result);  // refused, not lost
    }
    if (!connection_.pause_to_reconnect()) break;
  }
  if (rest.empty()) return {};
  if (sent) return failure(FileStatus::kFailed, result.reason + kRecordsNotKnown);
  return give_up(result);
}

Result PostgresStorage::insert_rest(std::span<const char* const> records, const std::vector<size_t>& rest,
                                    std::vector<FileStatus>* statuses) {
  std::vector<const char*> batch;
  batch.reserve(rest.size());
  for (const size_t i : rest) batch.push_back(records[i]);
  // The records as one array of bytea in its text form: {"\\x4142...",...}.
  std::string array = "{";
  array.reserve(batch.size() * (2 * record_length_ + 8));
  for (const char* record : batch) {
    array += array.size() > 1 ? ",\"\\\\x" : "\"\\\\x";
    append_hexadecimal(array, std::string_view(record, record_length_));
    array += '"';
  }
  array += '}';
  const char* values[] = {array.c_str()};
  const PgResult stored(pq_, connection_.run(insert_in_batch_, {1, values}, 1));
  if (Result result = connection_.check(stored); !result.ok()) return result;
  std::vector<FileStatus> decided(batch.size());
  decide_batch(batch, stored, &decided);
  for (size_t j = 0; j < rest.size(); ++j) (*statuses)[rest[j]] = decided[j];
  return {};
}

Result PostgresStorage::look_for_batch(std::span<const char* const> records, std::vector<size_t>* rest,
                                       std::vector<FileStatus>* statuses) {
  if (Result ended = connection_.end_abandoned(); !ended.ok()) return ended;
  // The lost try stored, of the records with one plate, the first alone: only a first
  // one not decided yet is looked for.
  std::vector<bool> undecided(records.size(), false);
  for (const size_t i : *rest) undecided[i] = true;
  std::map<std::string, size_t, std::less<>> first;  // a plate in hexadecimal -> its first record
  std::string plates;
  std::string plate;
  for (size_t i = 0; i < records.size(); ++i) {
    plate.clear();
    append_hexadecimal(plate, std::string_view(records[i] + keys_[0].offset, keys_[0].length));
    if (first.emplace(plate, i).second && undecided[i]) plates += (plates.empty() ? "" : ",") + plate;
  }
  // As look_for does: read committed, one string of statements, values in hexadecimal.
  const PgResult found(pq_, connection_.run("BEGIN ISOLATION LEVEL READ COMMITTED;"
                                            " SELECT encode(key0, 'hex'), encode(record, 'hex') FROM " +
                                                table_ +
                                                " WHERE key0 IN (SELECT decode(p, 'hex')"
                                                " FROM unnest(string_to_array('" +
                                                plates + "', ',')) p); COMMIT",
                                            {}, 0, connection_.deadline()));
  if (Result result = connection_.check(found); !result.ok()) return ended_look(result);
  std::string same;
  for (int row = 0; row < found.rows(); ++row) {
    const auto at = first.find(found.value(row, 0));
    if (at == first.end()) continue;
    same.clear();
    append_hexadecimal(same, std::string_view(records[at->second], record_length_));
    if (found.value(row, 1) != same) continue;
    undecided[at->second] = false;
    (*statuses)[at->second] = FileStatus::kOk;
  }
  std::erase_if(*rest, [&](size_t i) { return !undecided[i]; });
  return {};
}

// The statuses of a batch from the rows it returned (the primary key of each stored
// record, and whether a record stored before the batch held one of its alternate keys).
// Records are stored in their order, so of two with one primary key the first is
// stored; a record whose alternate key an earlier record of the batch holds is 02 too.
void PostgresStorage::decide_batch(std::span<const char* const> records, const PgResult& stored,
                                   std::vector<FileStatus>* statuses) const {
  std::map<std::string, bool, std::less<>> returned;  // primary key -> held before
  for (int row = 0; row < stored.rows(); ++row) returned.emplace(stored.value(row, 0), stored.value(row, 1) == "\x01");
  std::vector<std::set<std::string, std::less<>>> held_in_batch(keys_.size());
  for (size_t i = 0; i < records.size(); ++i) {
    const auto found = returned.find(std::string_view(records[i] + keys_[0].offset, keys_[0].length));
    if (found == returned.end()) {
      (*statuses)[i] = FileStatus::kDuplicateKey;
      continue;
    }
    bool held = found->second;
    for (size_t k = 1; k < keys_.size(); ++k) {
      if (!keys_[k].duplicates) continue;
      held |= !held_in_batch[k].emplace(records[i] + keys_[k].offset, keys_[k].length).second;
    }
    (*statuses)[i] = held ? FileStatus::kDuplicateAlternateKey : FileStatus::kOk;
    returned.erase(found);  // a later record with this primary key was not stored
  }
}

Result PostgresStorage::take(std::string_view bytes, char* record) {
  if (bytes.size() != record_length_) {
    return failure(FileStatus::kFailed,
                   "un enregistrement de " + std::to_string(bytes.size()) + " octets dans la table");
  }
  std::memcpy(record, bytes.data(), record_length_);
  return {};
}

Result PostgresStorage::reading(const std::function<Result()>& read) {
  connection_.start_window();
  for (;;) {
    Result result = connection_.connected();
    if (result.ok()) result = read();
    if (result.status != FileStatus::kFailed || (connection_.is_open() && !connection_.lost())) return result;
    if (!connection_.pause_to_reconnect()) return result;
  }
}

Result PostgresStorage::read_next(char* record) {
  return reading([&]() -> Result {
    const char* values[] = {last_key_.data()};
    const int lengths[] = {static_cast<int>(last_key_.size())};
    const int binary[] = {1};
    // One record a query, so that each read sees what other programs stored meanwhile.
    const PgResult found(
        pq_, read_any_ ? connection_.run(next_, {1, values, lengths, binary}, 1) : connection_.run(first_, {0}, 1));
    if (Result result = connection_.check(found); !result.ok()) return result;
    if (found.rows() == 0) return {FileStatus::kAtEnd, {}};
    Result result = take(found.value(0, 1), record);
    if (result.ok()) {
      last_key_ = found.value(0, 0);
      read_any_ = true;
    }
    return result;
  });
}

Result PostgresStorage::read_key(const char* key, char* record) {
  return reading([&]() -> Result {
    const char* values[] = {key};
    const int lengths[] = {static_cast<int>(keys_[0].length)};
    const int binary[] = {1};
    const PgResult found(pq_, connection_.run(by_key_, {1, values, lengths, binary}, 1));
    if (Result result = connection_.check(found); !result.ok()) return result;
    if (found.rows() == 0) return failure(FileStatus::kNoSuchKey);
    return take(found.value(0, 1), record);
  });
}

Result PostgresStorage::version(std::string* mark) {
  return reading([&]() -> Result {
    // The server's snapshot: its list of transactions in progress and the next one
    // to come change with every write that begins or ends, in any table.
    const PgResult snapshot(pq_, connection_.run("SELECT txid_current_snapshot()::text"));
    if (Result result = connection_.check(snapshot); !result.ok()) return result;
    *mark = snapshot.value(0, 0);
    return {};
  });
}

Result PostgresStorage::scan(const std::function<bool(std::string_view record)>& each) {
  bool handed = false;  // a pass that handed records on is not begun again
  Result result = reading([&]() -> Result {
    if (handed) return failure(FileStatus::kFailed, "la connexion a été perdue pendant la lecture du fichier");
    // A cursor read in slices: one pass over the primary key's index, with a bounded
    // number of records in memory at a time.
    static constexpr int kSlice = 4096;
    const PgResult begin(pq_, connection_.run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY;"
                                              "DECLARE records_in_key_order NO SCROLL CURSOR FOR " +
                                              all_));
    Result read = connection_.check(begin);
    const std::string fetch = "FETCH " + std::to_string(kSlice) + " FROM records_in_key_order";
    for (bool more = read.ok(); more;) {
      // Each slice has the window of its own: a long pass is not a wait.
      connection_.start_window();
      const PgResult slice(pq_, connection_.run(fetch, {0}, 1));
      read = connection_.check(slice);
      if (!read.ok()) break;
      more = slice.rows() == kSlice;
      for (int row = 0; row < slice.rows(); ++row) {
        handed = true;
        const std::string_view bytes = slice.value(row, 0);
        if (bytes.size() != record_length_) {
          read = failure(FileStatus::kFailed,
                         "un enregistrement de " + std::to_string(bytes.size()) + " octets dans la table");
          more = false;
          break;
        }
        if (!each(bytes)) {
          more = false;
          break;
        }
      }
    }
    return read;
  });
  if (connection_.is_open() && !connection_.lost()) {
    connection_.start_window();
    const PgResult end(pq_, connection_.run("ROLLBACK"));
  }
  return result;
}

Result PostgresStorage::close() {
  connection_.drop();
  return {};
}

}  // namespace

bool is_postgres_uri(std::string_view name) {
  return name.starts_with("postgresql://") || name.starts_with("postgres://");
}

Opened open_postgres(const StorageRequest& request, const char* library, int window_ms) {
  std::string reason;
  const Libpq* pq = load_libpq(library, &reason);
  if (pq == nullptr) return {failure(FileStatus::kFailed, reason), nullptr};
  auto storage = std::make_unique<PostgresStorage>(*pq, request, window_ms);
  Result opened = storage->open(request.shape);
  if (!opened.ok()) return {std::move(opened), nullptr};
  return {{}, std::move(storage)};
}

}  // namespace storage
