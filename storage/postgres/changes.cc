// Erase, replace and archive on a PostgreSQL table, decided exactly whatever the
// connection goes through.
#include "storage/postgres/changes.h"

#include <algorithm>
#include <map>

#include "storage/postgres/catalogue.h"
#include "storage/postgres/postgres_storage.h"

namespace storage {
namespace {

// Byte strings as one array of bytea in its text form: {"\\x4142...",...}.
std::string bytea_array(const std::vector<std::string>& items) {
  std::string array = "{";
  for (const std::string& item : items) {
    array += array.size() > 1 ? ",\"\\\\x" : "\"\\\\x";
    append_hexadecimal(array, item);
    array += '"';
  }
  return array + '}';
}

Result not_known(const std::string& reason) {
  return failure(FileStatus::kFailed, reason + " ; on ne sait pas si la modification a été enregistrée");
}

}  // namespace

Result TableChanges::read_stored(const std::vector<std::string>& keys, std::vector<std::string>* stored) {
  stored->assign(keys.size(), {});
  std::map<std::string_view, size_t> at;
  for (size_t k = 0; k < keys.size(); ++k) at.emplace(keys[k], k);
  const std::string array = bytea_array(keys);
  const char* values[] = {array.c_str()};
  const PgResult found(
      pq_, connection_.run("SELECT key0, record FROM " + table_ + " WHERE key0 = ANY($1::bytea[])", {1, values}, 1));
  if (Result result = connection_.check(found); !result.ok()) return result;
  for (int row = 0; row < found.rows(); ++row) {
    if (const auto key = at.find(found.value(row, 0)); key != at.end()) (*stored)[key->second] = found.value(row, 1);
  }
  return {};
}

Result TableChanges::try_change(const std::vector<std::string>& keys, const std::vector<std::string>& wanted,
                                std::vector<std::string>* before, bool* conflict, bool* sent_commit) {
  *conflict = false;
  *sent_commit = false;
  // A failed statement ends the transaction: rolled back, unless the connection is lost.
  auto undone = [&](Result result) {
    *conflict = is_conflict(connection_.last_state());
    if (!connection_.lost()) {
      const PgResult rolled_back(pq_, connection_.run("ROLLBACK"));
    }
    return result;
  };
  {
    const PgResult begun(pq_, connection_.run("BEGIN ISOLATION LEVEL SERIALIZABLE"));
    if (Result result = connection_.check(begun); !result.ok()) return undone(result);
  }
  if (Result result = read_stored(keys, before); !result.ok()) return undone(result);
  const bool erasing = wanted.front().empty();
  if (erasing && before->front().empty()) return undone(failure(FileStatus::kNoSuchKey));

  std::string statement;
  std::string array;
  if (erasing) {
    statement = "DELETE FROM " + table_ + " WHERE key0 = ANY($1::bytea[])";
    array = bytea_array(keys);
  } else {
    // One statement over an array of records, whatever each key holds now.
    std::string columns, picked, set;
    for (size_t k = 0; k < shape_.keys.size(); ++k) {
      const std::string column = key_column(k);
      columns += column + ", ";
      picked += "substring(r from " + std::to_string(shape_.keys[k].offset + 1) + " for " +
                std::to_string(shape_.keys[k].length) + "), ";
      if (k > 0) set += column + " = EXCLUDED." + column + ", ";
    }
    statement = "INSERT INTO " + table_ + " (" + columns + "record) SELECT " + picked +
                "r FROM unnest($1::bytea[]) AS u(r) ON CONFLICT (key0) DO UPDATE SET " + set +
                "record = EXCLUDED.record";
    array = bytea_array(wanted);
  }
  const char* values[] = {array.c_str()};
  {
    const PgResult changed(pq_, connection_.run(statement, {1, values}));
    if (Result result = connection_.check(changed); !result.ok()) return undone(result);
  }
  *sent_commit = true;
  const PgResult committed(pq_, connection_.run("COMMIT"));
  Result result = connection_.check(committed);
  // A commit that answered, even with a refusal, is known: a refused one undid all.
  if (!connection_.lost()) *sent_commit = false;
  if (!result.ok()) *conflict = is_conflict(connection_.last_state());
  return result;
}

Result TableChanges::look(const std::vector<std::string>& keys, const std::vector<std::string>& wanted,
                          const std::vector<std::string>& before) {
  std::vector<std::string> now;
  if (Result result = read_stored(keys, &now); !result.ok()) return result;
  const bool as_wanted = now == wanted;
  const bool as_before = now == before;
  if (as_wanted) return {};
  if (as_before) return failure(FileStatus::kNoSuchKey);
  return not_known("un autre programme a modifié ces enregistrements entre-temps");
}

Result TableChanges::change(const std::vector<std::string>& keys, const std::vector<std::string>& wanted,
                            std::vector<std::string>* before) {
  connection_.start_window();
  bool lost_try = false;  // the last try lost its connection
  bool sent = false;      // ... after its commit went out: it may have been stored
  Result result;
  for (int attempt = 1;; ++attempt) {
    result = connection_.connected();
    // The server's process of a lost try may still hold its locks, or be committing.
    if (result.ok() && lost_try) {
      result = connection_.end_abandoned();
      if (!result.ok() && !connection_.lost()) return sent ? not_known(result.reason) : result;
    }
    if (result.ok() && sent) {
      result = look(keys, wanted, *before);
      if (result.status == FileStatus::kNoSuchKey) {
        sent = false;
        result = {};
      } else if (result.ok() || !connection_.lost()) {
        return result;
      }
    }
    if (result.ok()) {
      bool conflict = false;
      bool committing = false;
      result = try_change(keys, wanted, before, &conflict, &committing);
      if (!connection_.lost()) {
        if (result.ok() || !conflict || attempt >= kPostgresInsertTries) return result;
        pause_apart(attempt);
        continue;
      }
      lost_try = true;
      sent = committing;
    } else if (result.status != FileStatus::kFailed) {
      return result;  // refused, not lost
    }
    if (!connection_.pause_to_reconnect()) break;
  }
  return sent ? not_known(result.reason) : result;
}

Result TableChanges::erase(const char* key, std::string* erased) {
  std::vector<std::string> before;
  const Result result = change({std::string(key, shape_.keys[0].length)}, {std::string()}, &before);
  if (result.ok() && erased != nullptr) *erased = before.front();
  return result;
}

Result TableChanges::replace_batch(std::span<const char* const> records, std::vector<std::string>* replaced) {
  replaced->assign(records.size(), {});
  if (records.empty()) return {};
  // Each key once, holding the last of its records.
  std::vector<std::string> keys;
  std::vector<std::string> wanted;
  std::map<std::string, size_t> at;
  for (const char* record : records) {
    const auto [known, added] = at.emplace(key_of(record), keys.size());
    if (added) {
      keys.push_back(known->first);
      wanted.emplace_back(record, shape_.record_length);
    } else {
      wanted[known->second].assign(record, shape_.record_length);
    }
  }
  std::vector<std::string> before;
  const Result result = change(keys, wanted, &before);
  if (!result.ok()) return result;
  // What each record took the place of: what was stored, or the batch's record before it.
  for (size_t i = 0; i < records.size(); ++i) {
    std::string& now = before[at[key_of(records[i])]];
    (*replaced)[i] = std::move(now);
    now.assign(records[i], shape_.record_length);
  }
  return result;
}

Result TableChanges::archive(std::string_view destination_name, uint64_t* moved) {
  *moved = 0;
  const std::string destination(destination_name);
  if (!is_postgres_uri(destination)) {
    return failure(FileStatus::kFailed, "une table s'archive dans une autre table de sa base, nommée par une URI");
  }
  // The database and server a connection reaches, and where it would create a table.
  static constexpr char kWhere[] =
      "SELECT coalesce(quote_ident(current_schema()), ''), current_database(),"
      " (SELECT system_identifier::text FROM pg_control_system())";
  connection_.start_window();
  std::string schema, database, system;
  {
    Connection there(pq_, destination, "archive", false, std::max(connection_.ms_left(), 1000));
    there.start_window();
    Result reached = there.connect();
    if (reached.ok()) {
      const PgResult where(pq_, there.run(kWhere));
      reached = there.check(where);
      if (reached.ok() && where.rows() == 1) {
        schema = where.value(0, 0);
        database = where.value(0, 1);
        system = where.value(0, 2);
      }
    }
    if (!reached.ok()) return failure(reached.status, "la destination est injoignable : " + reached.reason);
  }
  if (schema.empty())
    return failure(FileStatus::kFailed, "aucun schéma du chemin de recherche de la destination n'existe");
  const std::string target = schema + "." + table_;

  // The table is made in the move's own transaction: it is there once the move is.
  std::string columns;
  for (size_t k = 0; k < shape_.keys.size(); ++k) columns += key_column(k) + ", ";
  columns += "record";
  const std::string move = "BEGIN ISOLATION LEVEL READ COMMITTED;" + table_definition(target, shape_) +
                           "WITH moved AS (DELETE FROM " + table_ + " RETURNING " + columns + ") INSERT INTO " +
                           target + " (" + columns + ") SELECT " + columns + " FROM moved;" + "SELECT count(*) FROM " +
                           target + "; COMMIT";
  static constexpr char kHere[] =
      "SELECT current_database(), (SELECT system_identifier::text FROM pg_control_system()),"
      " (to_regclass($1) IS NOT NULL)::text, coalesce(to_regclass($1) = to_regclass($2), false)::text";
  const char* names[] = {target.c_str(), table_.c_str()};
  bool lost_try = false;
  Result result;
  for (;;) {
    result = connection_.connected();
    if (result.ok() && lost_try) result = connection_.end_abandoned();
    bool there = false;
    if (result.ok()) {
      const PgResult here(pq_, connection_.run(kHere, {2, names}));
      result = connection_.check(here);
      if (result.ok() && here.rows() == 1) {
        if (here.value(0, 0) != database || here.value(0, 1) != system) {
          return failure(FileStatus::kFailed, "la destination n'est pas une table de la base de ce fichier");
        }
        if (here.value(0, 3) == "true")
          return failure(FileStatus::kFailed, "la destination est la table même de ce fichier");
        there = here.value(0, 2) == "true";
      }
    }
    if (result.ok() && there) {
      if (!lost_try) return failure(FileStatus::kFailed, "la destination existe déjà");
      // The lost move committed: its table is there, with what it moved.
      const PgResult counted(pq_, connection_.run("SELECT count(*) FROM " + target));
      result = connection_.check(counted);
      if (result.ok()) *moved = std::stoull(std::string(counted.value(0, 0)));
      if (result.ok() || !connection_.lost()) return result;
    } else if (result.ok()) {
      const PgResult done(pq_, connection_.run(move));
      result = connection_.check(done);
      if (!connection_.lost()) {
        if (result.ok()) {
          *moved = std::stoull(std::string(done.value(0, 0)));
          return result;
        }
        // Made meanwhile (by a move whose program ended before it did): the table,
        // its row type or a catalog row is already there.
        const std::string state = connection_.last_state();
        const PgResult rolled_back(pq_, connection_.run("ROLLBACK"));
        if (state == "42P07" || state == "42710" || state == "23505") {
          return failure(FileStatus::kFailed, "la destination existe déjà");
        }
        return result;
      }
    } else if (result.status != FileStatus::kFailed || !connection_.lost()) {
      return result;  // refused, not lost
    }
    lost_try = true;
    if (!connection_.pause_to_reconnect()) break;
  }
  return failure(FileStatus::kFailed, result.reason + " ; on ne sait pas si les enregistrements ont été déplacés");
}

}  // namespace storage
