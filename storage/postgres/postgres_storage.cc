// PostgreSQL storage: the client library loaded on demand, the connection and its
// failures, the table's creation and checks, and the records.
#include "storage/postgres/postgres_storage.h"

#include <dlfcn.h>
#include <libpq-fe.h>  // for its types and constants: every call goes through Libpq
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <vector>

namespace storage {
namespace {

// The functions of the client library that this storage calls, found by name in the
// library loaded at run time, so that no program links it.
struct Libpq {
  decltype(&PQconnectStartParams) connect_start;
  decltype(&PQconnectPoll) connect_poll;
  decltype(&PQconninfo) conninfo;
  decltype(&PQconninfoFree) conninfo_free;
  decltype(&PQsocket) socket;
  decltype(&PQstatus) status;
  decltype(&PQconnectionNeedsPassword) needs_password;
  decltype(&PQerrorMessage) error_message;
  decltype(&PQsetErrorVerbosity) set_error_verbosity;
  decltype(&PQsetNoticeProcessor) set_notice_processor;
  decltype(&PQconsumeInput) consume_input;
  decltype(&PQfinish) finish;
  decltype(&PQsetnonblocking) set_nonblocking;
  decltype(&PQsendQuery) send_query;
  decltype(&PQsendQueryParams) send_query_params;
  decltype(&PQflush) flush;
  decltype(&PQisBusy) is_busy;
  decltype(&PQgetResult) get_result;
  decltype(&PQbackendPID) backend_pid;
  decltype(&PQresultStatus) result_status;
  decltype(&PQresultErrorField) result_error_field;
  decltype(&PQntuples) ntuples;
  decltype(&PQgetvalue) get_value;
  decltype(&PQgetlength) get_length;
  decltype(&PQclear) clear;
};

template <class Function>
bool resolve(void* library, const char* name, Function* function, const char** missing) {
  *function = reinterpret_cast<Function>(::dlsym(library, name));
  if (*function == nullptr) *missing = name;
  return *function != nullptr;
}

// The library, loaded at the first call and kept for the rest of the process;
// nullptr with reason set when it cannot be loaded.
const Libpq* load_libpq(const char* name, std::string* reason) {
  static Libpq api;
  static std::string loaded;  // the name api was loaded from
  if (!loaded.empty() && loaded == name) return &api;
  void* library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = ::dlerror();
    *reason = std::string("cannot load the PostgreSQL client library (Debian package libpq5): ") +
              (error != nullptr ? error : name);
    return nullptr;
  }
  Libpq found;
  const char* missing = nullptr;
  const bool complete =
      resolve(library, "PQconnectStartParams", &found.connect_start, &missing) &&
      resolve(library, "PQconnectPoll", &found.connect_poll, &missing) &&
      resolve(library, "PQconninfo", &found.conninfo, &missing) &&
      resolve(library, "PQconninfoFree", &found.conninfo_free, &missing) &&
      resolve(library, "PQsocket", &found.socket, &missing) && resolve(library, "PQstatus", &found.status, &missing) &&
      resolve(library, "PQconnectionNeedsPassword", &found.needs_password, &missing) &&
      resolve(library, "PQerrorMessage", &found.error_message, &missing) &&
      resolve(library, "PQsetErrorVerbosity", &found.set_error_verbosity, &missing) &&
      resolve(library, "PQsetNoticeProcessor", &found.set_notice_processor, &missing) &&
      resolve(library, "PQconsumeInput", &found.consume_input, &missing) &&
      resolve(library, "PQfinish", &found.finish, &missing) &&
      resolve(library, "PQsetnonblocking", &found.set_nonblocking, &missing) &&
      resolve(library, "PQsendQuery", &found.send_query, &missing) &&
      resolve(library, "PQsendQueryParams", &found.send_query_params, &missing) &&
      resolve(library, "PQflush", &found.flush, &missing) && resolve(library, "PQisBusy", &found.is_busy, &missing) &&
      resolve(library, "PQgetResult", &found.get_result, &missing) &&
      resolve(library, "PQbackendPID", &found.backend_pid, &missing) &&
      resolve(library, "PQresultStatus", &found.result_status, &missing) &&
      resolve(library, "PQresultErrorField", &found.result_error_field, &missing) &&
      resolve(library, "PQntuples", &found.ntuples, &missing) &&
      resolve(library, "PQgetvalue", &found.get_value, &missing) &&
      resolve(library, "PQgetlength", &found.get_length, &missing) &&
      resolve(library, "PQclear", &found.clear, &missing);
  if (!complete) {
    *reason = std::string("the PostgreSQL client library ") + name + " has no " + missing;
    ::dlclose(library);
    return nullptr;
  }
  api = found;
  loaded = name;
  return &api;
}

bool is_state_char(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

// A message of the client library as one line: its lines joined, the source location
// dropped, and the SQLSTATE that verbose messages carry after the severity
// ("FATAL:  28P01: password ...") taken out into state.
std::string one_line(std::string_view message, std::string* state) {
  std::string line;
  while (!message.empty()) {
    const size_t end = std::min(message.find('\n'), message.size());
    std::string_view part = message.substr(0, end);
    message.remove_prefix(std::min(end + 1, message.size()));
    while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
    while (!part.empty() && (part.back() == ' ' || part.back() == '\r')) part.remove_suffix(1);
    if (part.empty() || part.starts_with("LOCATION:")) continue;
    if (!line.empty()) line += ' ';
    line += part;
  }
  for (size_t at = line.find(":  "); at != std::string::npos; at = line.find(":  ", at + 1)) {
    const size_t code = at + 3;
    if (code + 7 <= line.size() && std::all_of(&line[code], &line[code + 5], is_state_char) &&
        line.compare(code + 5, 2, ": ") == 0) {
      if (state != nullptr) *state = line.substr(code, 5);
      line.erase(code, 7);
      break;
    }
  }
  return line;
}

// The status for an SQLSTATE of the server.
FileStatus status_of_state(const std::string& state) {
  if (state == "23505") return FileStatus::kDuplicateKey;                       // unique_violation
  if (state.starts_with("28") || state == "42501") return FileStatus::kDenied;  // authorization
  return FileStatus::kFailed;
}

std::string quoted_identifier(std::string_view name) {
  std::string quoted = "\"";
  for (const char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + '"';
}

std::string quoted_literal(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + '\'';
}

// The table of a declared name: the name folded to lower case.
std::string table_of(std::string_view declared_name) {
  std::string table(declared_name);
  for (char& c : table) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return table;
}

std::string key_column(size_t k) { return "key" + std::to_string(k); }

// The table's columns as the catalog describes them: "key0 bytea not null, ...".
std::string column_list(const FileShape& shape) {
  std::string columns;
  for (size_t k = 0; k < shape.keys.size(); ++k) columns += key_column(k) + " bytea not null, ";
  return columns + "record bytea not null";
}

// The table's keys as find_table describes them: "primary key (key0), index (key1)".
std::vector<std::string> key_list(const FileShape& shape) {
  std::vector<std::string> keys{"primary key (key0)"};
  for (size_t k = 1; k < shape.keys.size(); ++k) {
    keys.push_back((shape.keys[k].duplicates ? "index (" : "unique (") + key_column(k) + ")");
  }
  return keys;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// The statements, one transaction, that make the empty table of this shape.
std::string table_definition(const std::string& table, const FileShape& shape) {
  std::string sql = "CREATE TABLE " + table + " (";
  for (size_t k = 0; k < shape.keys.size(); ++k) {
    sql += key_column(k) + " bytea NOT NULL" + (k == 0 ? " PRIMARY KEY" : "") + ", ";
  }
  sql += "record bytea NOT NULL);";
  for (size_t k = 1; k < shape.keys.size(); ++k) {
    sql += std::string("CREATE ") + (shape.keys[k].duplicates ? "" : "UNIQUE ") + "INDEX ON " + table + " (" +
           key_column(k) + ");";
  }
  return sql + "COMMENT ON TABLE " + table + " IS " + quoted_literal(postgres_table_comment(shape)) + ";";
}

// A result of the client library, cleared when it goes.
class PgResult {
 public:
  PgResult(const Libpq& pq, PGresult* result) : pq_(pq), result_(result) {}
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;
  ~PgResult() {
    if (result_ != nullptr) pq_.clear(result_);
  }

  PGresult* get() const { return result_; }
  int rows() const { return result_ != nullptr ? pq_.ntuples(result_) : 0; }
  std::string_view value(int row, int column) const {
    return {pq_.get_value(result_, row, column), static_cast<size_t>(pq_.get_length(result_, row, column))};
  }

 private:
  const Libpq& pq_;
  PGresult* result_;
};

// Two hexadecimal digits a byte, as encode(..., 'hex') writes them.
std::string hexadecimal(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
  }
  return text;
}

using Clock = std::chrono::steady_clock;

// The parameters of a statement, sent as bytes; none for a string of statements.
struct Parameters {
  int count = -1;  // -1: a string of statements, sent as it is
  const char* const* values = nullptr;
  const int* lengths = nullptr;
  const int* binary = nullptr;
};

// SQLSTATEs after which the connection cannot go on: connection exceptions (08), the
// server shutting down or starting (57P01 to 57P03), and a server that became a
// standby and takes no writes (25006), as after a fail-over to a host of the URI.
bool is_lost(const std::string& state) {
  return state.starts_with("08") || state == "57P01" || state == "57P02" || state == "57P03" || state == "25006";
}

bool is_conflict(const std::string& state) { return state == "40001" || state == "40P01"; }  // serialization, deadlock

void pause_ms(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000); }

void pause_apart(int attempt) {  // apart from the other programs retrying
  ::usleep(static_cast<useconds_t>(500 * (1 + (::getpid() + attempt) % 8)));
}

class PostgresStorage final : public Storage {
 public:
  PostgresStorage(const Libpq& pq, const StorageRequest& request, int window_ms)
      : pq_(pq),
        uri_(request.name),
        client_(request.client),
        writes_(request.mode == StorageMode::kInputOutput),
        table_(quoted_identifier(table_of(request.declared_name))),
        shape_text_(describe(request.shape)),
        record_length_(request.shape.record_length),
        keys_(request.shape.keys.begin(), request.shape.keys.end()),
        window_ms_(window_ms),
        check_ms_(std::max(window_ms / 6, 500)) {}
  ~PostgresStorage() override { drop(); }

  // Connects, then finds the table, creating it for an input-output open, and checks it.
  Result open(const FileShape& shape);

  Result insert(const char* record) override;
  Result insert_batch(std::span<const char* const> records, std::vector<FileStatus>* statuses) override;
  Result read_next(char* record) override;
  Result read_key(const char* key, char* record) override;
  Result scan(const std::function<bool(std::string_view record)>& each) override;
  Result version(std::string* mark) override;
  Result close() override;
  Result check() override;  // at the end of this file
  // The server keeps the table; pg_dump copies it, with the rest of the database.
  Result backup(std::string_view) override {
    return failure(FileStatus::kFailed, "a PostgreSQL table is copied with pg_dump");
  }

 private:
  // The window of an operation starts.
  void start_window() { deadline_ = Clock::now() + std::chrono::milliseconds(window_ms_); }
  // When a statement is given up: early enough in the window to look, on a new
  // connection, whether an abandoned commit went through.
  Clock::time_point statement_limit() const { return deadline_ - std::chrono::milliseconds(check_ms_); }
  int ms_left(Clock::time_point limit) const {
    return static_cast<int>(
        std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count()));
  }
  Result no_answer() const {
    return failure(FileStatus::kFailed,
                   "no answer from the server within " + std::to_string(window_ms_ / 1000) + " seconds");
  }

  Result connect();
  // kOk when the connection can be used; a connection that is gone, or that the server
  // ended while it was idle (a restart, an administrator), is made again first.
  Result connected();
  // Forgets the connection; the server's process that served it is remembered, so that
  // a look after a lost insert can make sure it is gone.
  void drop();
  // Waits for the socket until limit; false when the time ran out.
  bool wait_for(short events, Clock::time_point limit);
  // Sends sql and waits, until limit, for its results: the first failed one, or the
  // last. Null when no result came: the connection failed, or the time ran out (then
  // timed_out_ is set and the connection is dropped).
  PGresult* run(const std::string& sql, const Parameters& parameters = {}, int binary_result = 0,
                Clock::time_point limit = {});
  // The outcome of a result (kOk for a command or rows); last_state_ set to its SQLSTATE.
  Result check(const PgResult& result);
  // True when the last statement failed because the connection is lost or timed out.
  bool lost() const {
    return timed_out_ || conn_ == nullptr || pq_.status(conn_) == CONNECTION_BAD || is_lost(last_state_);
  }
  // After a lost insert of record: kOk when the same record is under its plate,
  // kDuplicateKey when another is, kNoSuchKey when none is; kFailed when it cannot
  // be known, which is when the server's process of the lost connection is still
  // there and does not end.
  Result look_for(const char* record);
  // A reason from the server or the client library, without the URI's passwords.
  std::string said(std::string text) const { return hide_secrets(text, uri_); }

  Result find_table(const FileShape& shape, bool* found);
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
  // One look at the table's constraints and records, for check().
  Result check_once();

  const Libpq& pq_;
  std::string uri_;
  std::string client_;
  bool writes_;
  std::string table_;  // quoted
  std::string shape_text_;
  uint32_t record_length_;
  std::vector<KeyShape> keys_;
  int window_ms_;
  int check_ms_;  // the end of the window kept for the look after an abandoned statement
  Clock::time_point deadline_;
  PGconn* conn_ = nullptr;
  std::string backend_;    // "pid start" of the server's process of this connection
  std::string abandoned_;  // the same, of a connection dropped while a statement ran
  std::string last_state_;
  bool timed_out_ = false;
  std::string insert_, insert_in_batch_, first_, next_, by_key_, all_;
  std::string last_key_;  // primary key of the record read last
  bool read_any_ = false;
};

bool PostgresStorage::wait_for(short events, Clock::time_point limit) {
  for (;;) {
    pollfd fd{pq_.socket(conn_), events, 0};
    const int ready = ::poll(&fd, 1, ms_left(limit));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;  // let the client library find what is wrong
  }
}

PGresult* PostgresStorage::run(const std::string& sql, const Parameters& parameters, int binary_result,
                               Clock::time_point limit) {
  if (limit == Clock::time_point{}) limit = statement_limit();
  timed_out_ = false;
  last_state_.clear();
  const int sent = parameters.count < 0
                       ? pq_.send_query(conn_, sql.c_str())
                       : pq_.send_query_params(conn_, sql.c_str(), parameters.count, nullptr, parameters.values,
                                               parameters.lengths, parameters.binary, binary_result);
  if (sent == 0) return nullptr;
  for (int flushed = pq_.flush(conn_); flushed != 0; flushed = pq_.flush(conn_)) {
    if (flushed < 0) return nullptr;
    if (!wait_for(POLLOUT | POLLIN, limit)) {
      timed_out_ = true;
      break;
    }
    if (pq_.consume_input(conn_) == 0) return nullptr;
  }
  PGresult* kept = nullptr;
  while (!timed_out_) {
    while (pq_.is_busy(conn_) != 0) {
      if (!wait_for(POLLIN, limit)) {
        timed_out_ = true;
        break;
      }
      if (pq_.consume_input(conn_) == 0) break;  // the result now says what failed
    }
    if (timed_out_) break;
    PGresult* next = pq_.get_result(conn_);
    if (next == nullptr) break;
    const ExecStatusType status = pq_.result_status(next);
    // The first failure, else the last rows, else the last result.
    const ExecStatusType kept_status = kept != nullptr ? pq_.result_status(kept) : PGRES_EMPTY_QUERY;
    const bool keep = kept != nullptr && ((kept_status != PGRES_COMMAND_OK && kept_status != PGRES_TUPLES_OK) ||
                                          (kept_status == PGRES_TUPLES_OK && status == PGRES_COMMAND_OK));
    if (keep) {
      pq_.clear(next);
    } else {
      if (kept != nullptr) pq_.clear(kept);
      kept = next;
    }
    if (status == PGRES_FATAL_ERROR && pq_.status(conn_) == CONNECTION_BAD) break;
  }
  if (timed_out_) {
    if (kept != nullptr) pq_.clear(kept);
    drop();
    return nullptr;
  }
  return kept;
}

Result PostgresStorage::connect() {
  // Later entries override earlier ones, so the URI's own settings win.
  const char* keywords[] = {"fallback_application_name", "dbname", nullptr};
  const char* values[] = {client_.c_str(), uri_.c_str(), nullptr};
  conn_ = pq_.connect_start(keywords, values, 1);
  if (conn_ == nullptr) return failure(FileStatus::kFailed, "out of memory");
  // Verbose messages carry the SQLSTATE, which tells a refused authentication apart.
  pq_.set_error_verbosity(conn_, PQERRORS_VERBOSE);
  pq_.set_notice_processor(
      conn_, [](void*, const char*) {}, nullptr);  // standard error stays ours
  // A host that does not answer is given up after connect_timeout when the URI sets
  // it, so that the next host of the URI is tried; the window bounds the whole.
  int host_ms = 0;
  if (PQconninfoOption* options = pq_.conninfo(conn_)) {
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val != nullptr && std::atoi(o->val) > 0) {
        host_ms = 1000 * std::max(2, std::atoi(o->val));
      }
    }
    pq_.conninfo_free(options);
  }
  PostgresPollingStatusType polled = pq_.status(conn_) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  while (polled == PGRES_POLLING_READING || polled == PGRES_POLLING_WRITING) {
    Clock::time_point limit = deadline_;
    if (host_ms > 0) limit = std::min(limit, Clock::now() + std::chrono::milliseconds(host_ms));
    if (!wait_for(polled == PGRES_POLLING_READING ? POLLIN : POLLOUT, limit)) {
      pq_.finish(conn_);
      conn_ = nullptr;
      return no_answer();
    }
    polled = pq_.connect_poll(conn_);
  }
  if (pq_.status(conn_) != CONNECTION_OK) {
    std::string state;
    std::string reason = said(one_line(pq_.error_message(conn_), &state));
    const FileStatus status = pq_.needs_password(conn_) ? FileStatus::kDenied : status_of_state(state);
    pq_.finish(conn_);
    conn_ = nullptr;
    return failure(status, std::move(reason));
  }
  pq_.set_error_verbosity(conn_, PQERRORS_DEFAULT);
  pq_.set_nonblocking(conn_, 1);
  // The server gives up a lock wait or a statement well before the client would, so
  // that its error, not a silence, says why; settings the URI gives are kept, and so
  // are stricter ones of the server.
  // A lock wait is given up first, so that its message names it.
  std::string setup =
      "SELECT set_config(name, bound::text, false) FROM pg_settings,"
      " (VALUES ('lock_timeout', " +
      std::to_string(window_ms_ / 2) + "), ('statement_timeout', " + std::to_string(window_ms_ * 2 / 3) +
      ")) ours(setting_name, bound)"
      " WHERE name = setting_name AND source <> 'client' AND (setting::bigint = 0 OR setting::bigint > bound);"
      "SELECT backend_start::text FROM pg_stat_activity WHERE pid = pg_backend_pid();";
  // Each insert decides 02 from what it reads; at serializable isolation, inserts
  // that run at once and miss each other's record are refused and tried again.
  if (writes_) setup = "SET default_transaction_isolation TO serializable;" + setup;
  const PgResult set(pq_, run(setup));
  Result result = check(set);
  if (result.ok()) backend_ = std::to_string(pq_.backend_pid(conn_)) + " " + std::string(set.value(0, 0));
  return result;
}

Result PostgresStorage::connected() {
  // An idle connection receives nothing as a rule; a server that ends it sends why,
  // then closes it, which the second read finds.
  for (int read = 0; conn_ != nullptr && read < 4 && pq_.status(conn_) == CONNECTION_OK; ++read) {
    pollfd fd{pq_.socket(conn_), POLLIN, 0};
    if (::poll(&fd, 1, 0) <= 0 || pq_.consume_input(conn_) == 0) break;
  }
  if (conn_ != nullptr && pq_.status(conn_) == CONNECTION_OK) return {};
  drop();
  return connect();
}

void PostgresStorage::drop() {
  if (conn_ == nullptr) return;
  pq_.finish(conn_);
  conn_ = nullptr;
  abandoned_ = backend_;
  backend_.clear();
}

Result PostgresStorage::check(const PgResult& result) {
  if (result.get() == nullptr) {
    if (timed_out_) return no_answer();
    return failure(FileStatus::kFailed,
                   conn_ != nullptr ? said(one_line(pq_.error_message(conn_), nullptr)) : "the connection is lost");
  }
  const ExecStatusType status = pq_.result_status(result.get());
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return {};
  const char* code = pq_.result_error_field(result.get(), PG_DIAG_SQLSTATE);
  const char* primary = pq_.result_error_field(result.get(), PG_DIAG_MESSAGE_PRIMARY);
  last_state_ = code != nullptr ? code : "";
  const FileStatus file_status = status_of_state(last_state_);
  if (file_status == FileStatus::kDuplicateKey) return failure(file_status);
  return failure(file_status,
                 said(primary != nullptr ? std::string(primary) : one_line(pq_.error_message(conn_), nullptr)));
}

// Looks the table up through the search path and checks its kind, shape, keys and
// the rights this open needs; found is false when there is no such table.
Result PostgresStorage::find_table(const FileShape& shape, bool* found) {
  static constexpr char kLookUp[] =
      "SELECT c.relkind::text, coalesce(obj_description(c.oid, 'pg_class'), ''),"
      " (SELECT string_agg(a.attname || ' ' || format_type(a.atttypid, a.atttypmod)"
      "   || CASE WHEN a.attnotnull THEN ' not null' ELSE '' END, ', ' ORDER BY a.attnum)"
      "  FROM pg_attribute a WHERE a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped),"
      " has_table_privilege(c.oid, 'SELECT')::text, has_table_privilege(c.oid, 'INSERT')::text,"
      " (SELECT string_agg(d, ', ' ORDER BY d) FROM (SELECT"
      "   CASE WHEN i.indisprimary THEN 'primary key' WHEN i.indisunique THEN 'unique' ELSE 'index' END"
      "   || ' (' || (SELECT string_agg(coalesce(a.attname, 'expression'), ', ' ORDER BY k.n)"
      "     FROM unnest(i.indkey::int2[]) WITH ORDINALITY k(attnum, n)"
      "     LEFT JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum) || ')'"
      "   || CASE WHEN i.indpred IS NOT NULL THEN ' partial' WHEN NOT i.indisvalid THEN ' not valid' ELSE '' END"
      "   AS d FROM pg_index i WHERE i.indrelid = c.oid) described)"
      " FROM pg_class c WHERE c.oid = to_regclass($1)";
  const char* values[] = {table_.c_str()};
  const PgResult result(pq_, run(kLookUp, {1, values}));
  Result checked = check(result);
  *found = checked.ok() && result.rows() == 1;
  if (!*found) return checked;

  const std::string kind(result.value(0, 0));
  const std::string comment(result.value(0, 1));
  const std::string columns(result.value(0, 2));
  if (kind != "r" && kind != "p") return failure(FileStatus::kWrongShape, table_ + " is not a table");
  const std::string expected = postgres_table_comment(shape);
  const std::string mark = expected.substr(0, expected.find_first_of("0123456789"));
  if (!comment.starts_with(mark)) {
    return failure(FileStatus::kWrongShape, "the table " + table_ + " is not an indexed file of this runtime");
  }
  if (comment != expected) {
    return failure(FileStatus::kWrongShape, "the table " + table_ + " has record length and keys " +
                                                comment.substr(mark.size()) + ", not " + shape_text_);
  }
  if (columns != column_list(shape)) {
    return failure(FileStatus::kWrongShape,
                   "the table " + table_ + " has the columns (" + columns + "), not (" + column_list(shape) + ")");
  }
  // Every key has its index; no other index refuses a record.
  const std::string indexes(result.value(0, 5));
  const std::vector<std::string> wanted = key_list(shape);
  bool fits = std::all_of(wanted.begin(), wanted.end(), [&](const std::string& key) {
    return (", " + indexes + ", ").find(", " + key + ", ") != std::string::npos;
  });
  for (size_t at = 0; fits && at < indexes.size();) {
    const size_t end = std::min(indexes.find("), ", at), indexes.size() - 1) + 1;
    const std::string index = indexes.substr(at, end - at);
    fits = index.starts_with("index") || std::find(wanted.begin(), wanted.end(), index) != wanted.end();
    at = end + 2;
  }
  if (!fits) {
    return failure(FileStatus::kWrongShape,
                   "the table " + table_ + " has the keys (" + indexes + "), not (" + joined(wanted) + ")");
  }
  if (result.value(0, 3) != "true" || (writes_ && result.value(0, 4) != "true")) {
    return failure(FileStatus::kDenied, "permission denied for table " + table_);
  }
  return {};
}

Result PostgresStorage::open(const FileShape& shape) {
  start_window();
  Result result = connect();
  // A table being created by another program at the same moment makes the creation
  // fail once that program has committed it; it is then found at the next look.
  for (int look = 0; result.ok() && look < 3; ++look) {
    bool found = false;
    result = find_table(shape, &found);
    if (!result.ok() || found) break;
    if (!writes_) return failure(FileStatus::kNotFound, "no table " + table_ + " in the schemas of the search path");
    // The statements of one query string are one transaction: the table comes whole.
    const PgResult created(pq_, run(table_definition(table_, shape)));
    result = check(created);
    // Made meanwhile: the table, its row type or a catalog row is already there.
    if (last_state_ == "42P07" || last_state_ == "42710" || last_state_ == "23505") result = {};
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
      pq_, run(statement, {static_cast<int>(values.size()), values.data(), lengths.data(), binary.data()}));
  Result checked = check(result);
  if (!checked.ok()) return checked;
  if (result.rows() == 0) return failure(FileStatus::kDuplicateKey);
  return {result.value(0, 0) == "t" ? FileStatus::kDuplicateAlternateKey : FileStatus::kOk, {}};
}

Result PostgresStorage::look_for(const char* record) {
  if (!abandoned_.empty()) {
    // The process of the lost connection may still be running the insert: it is
    // stopped, and waited for, before the table can tell what it did.
    const size_t space = abandoned_.find(' ');
    const std::string pid = abandoned_.substr(0, space);
    const std::string started = abandoned_.substr(space + 1);
    const std::string wait = std::to_string(std::max(ms_left(deadline_) - 500, 1));
    const char* values[] = {pid.c_str(), started.c_str()};
    const PgResult ended(pq_, run("SELECT pg_terminate_backend(pid, " + wait +
                                      ")::text FROM pg_stat_activity"
                                      " WHERE pid = $1::int AND backend_start::text = $2",
                                  {2, values}, 0, deadline_));
    if (Result result = check(ended); !result.ok()) return result;
    if (ended.rows() == 1 && ended.value(0, 0) != "true") {
      return failure(FileStatus::kFailed, no_answer().reason + "; whether the record was stored is not known");
    }
    abandoned_.clear();
  }
  // Read committed, so that a look that waits for a lock sees what was committed
  // while it waited (a serializable one would see the table as it was before).
  // The statements go as one string, whose values are written in hexadecimal.
  const PgResult found(pq_, run("BEGIN ISOLATION LEVEL READ COMMITTED; SELECT encode(record, 'hex') FROM " + table_ +
                                    " WHERE key0 = decode('" + hexadecimal(std::string_view(record, keys_[0].length)) +
                                    "', 'hex'); COMMIT",
                                {}, 0, deadline_));
  if (Result result = check(found); !result.ok()) return result;
  if (found.rows() == 0) return failure(FileStatus::kNoSuchKey);
  if (found.value(0, 0) == hexadecimal(std::string_view(record, record_length_))) return {};
  return failure(FileStatus::kDuplicateKey);
}

Result PostgresStorage::insert(const char* record) {
  start_window();
  bool sent = false;  // a try was lost after it reached the server: it may have committed
  Result result;
  for (int attempt = 1;; ++attempt) {
    result = connected();
    if (result.ok() && sent) {
      result = look_for(record);
      if (result.status != FileStatus::kNoSuchKey) {
        if (result.ok() || !lost()) return result;
      } else {
        sent = false;
      }
    }
    if (result.ok() || result.status == FileStatus::kNoSuchKey) {
      result = insert_once(record, insert_);
      if (!lost()) {
        if (result.ok() || !is_conflict(last_state_) || attempt >= kPostgresInsertTries) return result;
        pause_apart(attempt);
        continue;
      }
      sent = true;
    } else if (result.status != FileStatus::kFailed) {
      return result;  // refused, not lost
    }
    drop();
    if (ms_left(deadline_) < 200) break;
    pause_ms(std::min(200, ms_left(deadline_) - 100));
  }
  if (sent) return failure(FileStatus::kFailed, result.reason + "; whether the record was stored is not known");
  return result;
}

Result PostgresStorage::insert_batch(std::span<const char* const> records, std::vector<FileStatus>* statuses) {
  start_window();
  statuses->assign(records.size(), FileStatus::kFailed);
  if (records.empty()) return {};
  if (Result result = connected(); !result.ok()) return result;
  // The records as one array of bytea in its text form: {"\\x4142...",...}.
  static constexpr char kHex[] = "0123456789abcdef";
  std::string array = "{";
  array.reserve(records.size() * (2 * record_length_ + 8));
  for (const char* record : records) {
    array += array.size() > 1 ? ",\"\\\\x" : "\"\\\\x";
    for (uint32_t i = 0; i < record_length_; ++i) {
      const auto byte = static_cast<unsigned char>(record[i]);
      array += kHex[byte >> 4];
      array += kHex[byte & 15];
    }
    array += '"';
  }
  array += '}';
  const char* values[] = {array.c_str()};
  for (int attempt = 1;; ++attempt) {
    const PgResult stored(pq_, run(insert_in_batch_, {1, values}, 1));
    Result result = check(stored);
    if (result.ok()) {
      decide_batch(records, stored, statuses);
      return result;
    }
    if (lost()) drop();
    if (!is_conflict(last_state_) || attempt == kPostgresInsertTries || conn_ == nullptr) return result;
    pause_apart(attempt);
  }
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
    return failure(FileStatus::kFailed, "a record of " + std::to_string(bytes.size()) + " bytes in the table");
  }
  std::memcpy(record, bytes.data(), record_length_);
  return {};
}

Result PostgresStorage::reading(const std::function<Result()>& read) {
  start_window();
  for (;;) {
    Result result = connected();
    if (result.ok()) result = read();
    if (result.status != FileStatus::kFailed || (conn_ != nullptr && !lost())) return result;
    drop();
    if (ms_left(deadline_) < 200) return result;
    pause_ms(std::min(200, ms_left(deadline_) - 100));
  }
}

Result PostgresStorage::read_next(char* record) {
  return reading([&]() -> Result {
    const char* values[] = {last_key_.data()};
    const int lengths[] = {static_cast<int>(last_key_.size())};
    const int binary[] = {1};
    // One record a query, so that each read sees what other programs stored meanwhile.
    const PgResult found(pq_, read_any_ ? run(next_, {1, values, lengths, binary}, 1) : run(first_, {0}, 1));
    if (Result result = check(found); !result.ok()) return result;
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
    const PgResult found(pq_, run(by_key_, {1, values, lengths, binary}, 1));
    if (Result result = check(found); !result.ok()) return result;
    if (found.rows() == 0) return failure(FileStatus::kNoSuchKey);
    return take(found.value(0, 1), record);
  });
}

Result PostgresStorage::version(std::string* mark) {
  return reading([&]() -> Result {
    // The server's snapshot: its list of transactions in progress and the next one
    // to come change with every write that begins or ends, in any table.
    const PgResult snapshot(pq_, run("SELECT txid_current_snapshot()::text"));
    if (Result result = check(snapshot); !result.ok()) return result;
    *mark = snapshot.value(0, 0);
    return {};
  });
}

Result PostgresStorage::scan(const std::function<bool(std::string_view record)>& each) {
  bool handed = false;  // a pass that handed records on is not begun again
  Result result = reading([&]() -> Result {
    if (handed) return failure(FileStatus::kFailed, "the connection was lost during the pass over the file");
    // A cursor read in slices: one pass over the primary key's index, with a bounded
    // number of records in memory at a time.
    static constexpr int kSlice = 4096;
    const PgResult begin(pq_, run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY;"
                                  "DECLARE records_in_key_order NO SCROLL CURSOR FOR " +
                                  all_));
    Result read = check(begin);
    const std::string fetch = "FETCH " + std::to_string(kSlice) + " FROM records_in_key_order";
    for (bool more = read.ok(); more;) {
      // Each slice has the window of its own: a long pass is not a wait.
      start_window();
      const PgResult slice(pq_, run(fetch, {0}, 1));
      read = check(slice);
      if (!read.ok()) break;
      more = slice.rows() == kSlice;
      for (int row = 0; row < slice.rows(); ++row) {
        handed = true;
        const std::string_view bytes = slice.value(row, 0);
        if (bytes.size() != record_length_) {
          read = failure(FileStatus::kFailed, "a record of " + std::to_string(bytes.size()) + " bytes in the table");
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
  if (conn_ != nullptr && !lost()) {
    start_window();
    const PgResult end(pq_, run("ROLLBACK"));
  }
  return result;
}

Result PostgresStorage::close() {
  drop();
  return {};
}

}  // namespace

bool is_postgres_uri(std::string_view name) {
  return name.starts_with("postgresql://") || name.starts_with("postgres://");
}

std::string postgres_table_comment(const FileShape& shape) { return "indexed file " + describe(shape); }

Opened open_postgres(const StorageRequest& request, const char* library, int window_ms) {
  std::string reason;
  const Libpq* pq = load_libpq(library, &reason);
  if (pq == nullptr) return {failure(FileStatus::kFailed, reason), nullptr};
  auto storage = std::make_unique<PostgresStorage>(*pq, request, window_ms);
  Result opened = storage->open(request.shape);
  if (!opened.ok()) return {std::move(opened), nullptr};
  return {{}, std::move(storage)};
}

// The check, for the fleet command. The open has already checked the table's comment
// (record length and key table) and columns.
Result PostgresStorage::check() {
  return reading([&]() -> Result { return check_once(); });
}

Result PostgresStorage::check_once() {
  std::vector<std::string> problems;
  const char* table[] = {table_.c_str()};

  static constexpr char kNullable[] =
      "SELECT a.attname FROM pg_attribute a WHERE a.attrelid = to_regclass($1) AND a.attnum > 0"
      " AND NOT a.attisdropped AND NOT a.attnotnull ORDER BY a.attnum";
  const PgResult nullable(pq_, run(kNullable, {1, table}));
  if (Result result = check(nullable); !result.ok()) return result;
  for (int row = 0; row < nullable.rows(); ++row)
    problems.push_back("column " + std::string(nullable.value(row, 0)) + " may be null");

  // Each key: a valid index on its column alone, unique where the key allows no
  // duplicates, the primary key's being the table's primary key.
  static constexpr char kIndexes[] =
      "SELECT pg_get_indexdef(i.indexrelid, 1, true), i.indisprimary::text, i.indisunique::text,"
      " i.indisvalid::text, i.indnatts, (i.indpred IS NULL AND i.indexprs IS NULL)::text"
      " FROM pg_index i WHERE i.indrelid = to_regclass($1)";
  const PgResult indexes(pq_, run(kIndexes, {1, table}));
  if (Result result = check(indexes); !result.ok()) return result;
  for (size_t k = 0; k < keys_.size(); ++k) {
    bool found = false;
    for (int row = 0; row < indexes.rows() && !found; ++row) {
      found = indexes.value(row, 0) == key_column(k) && indexes.value(row, 3) == "true" &&
              indexes.value(row, 4) == "1" && indexes.value(row, 5) == "true" &&
              (indexes.value(row, 1) == "true") == (k == 0) &&
              (indexes.value(row, 2) == "true") == !keys_[k].duplicates;
    }
    if (!found) {
      problems.push_back("no valid " +
                         std::string(k == 0                ? "primary key"
                                     : keys_[k].duplicates ? "index"
                                                           : "unique index") +
                         " on " + key_column(k));
    }
  }
  for (int row = 0; row < indexes.rows(); ++row) {
    if (indexes.value(row, 2) == "true" && indexes.value(row, 1) != "true") {
      const std::string column(indexes.value(row, 0));
      bool expected_unique = false;
      for (size_t k = 1; k < keys_.size(); ++k) expected_unique |= column == key_column(k) && !keys_[k].duplicates;
      if (!expected_unique) problems.push_back("a unique index on " + column + " refuses records the file allows");
    }
  }
  static constexpr char kChecks[] =
      "SELECT count(*) FROM pg_constraint WHERE conrelid = to_regclass($1) AND contype IN ('c', 'f', 'x', 't')";
  const PgResult constraints(pq_, run(kChecks, {1, table}));
  if (Result result = check(constraints); !result.ok()) return result;
  if (constraints.rows() == 1 && constraints.value(0, 0) != "0") {
    problems.push_back(std::string(constraints.value(0, 0)) + " constraints of its own that may refuse records");
  }

  // Each record whole, and its keys' columns its own keys' bytes.
  std::string wrong = "SELECT count(*) FROM " + table_ + " WHERE length(record) <> " + std::to_string(record_length_);
  for (size_t k = 0; k < keys_.size(); ++k) {
    wrong += " OR " + key_column(k) + " <> substring(record from " + std::to_string(keys_[k].offset + 1) + " for " +
             std::to_string(keys_[k].length) + ")";
  }
  const PgResult records(pq_, run(wrong));
  if (Result result = check(records); !result.ok()) return result;
  if (records.rows() == 1 && records.value(0, 0) != "0") {
    problems.push_back(std::string(records.value(0, 0)) + " records of another length or whose keys are not their own");
  }

  if (problems.empty()) return {};
  std::string all;
  for (const std::string& problem : problems) all += (all.empty() ? "" : "; ") + problem;
  return failure(FileStatus::kFailed, all);
}

}  // namespace storage
