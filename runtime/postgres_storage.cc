// PostgreSQL storage: the client library loaded on demand, the connection and its
// failures, the table's creation and checks, and the records.
#include "runtime/postgres_storage.h"

#include <dlfcn.h>
#include <libpq-fe.h>  // for its types and constants: every call goes through Libpq
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/frame.h"

namespace rt {
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
  decltype(&PQexec) exec;
  decltype(&PQexecParams) exec_params;
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
      resolve(library, "PQsocket", &found.socket, &missing) &&
      resolve(library, "PQstatus", &found.status, &missing) &&
      resolve(library, "PQconnectionNeedsPassword", &found.needs_password, &missing) &&
      resolve(library, "PQerrorMessage", &found.error_message, &missing) &&
      resolve(library, "PQsetErrorVerbosity", &found.set_error_verbosity, &missing) &&
      resolve(library, "PQsetNoticeProcessor", &found.set_notice_processor, &missing) &&
      resolve(library, "PQconsumeInput", &found.consume_input, &missing) &&
      resolve(library, "PQfinish", &found.finish, &missing) &&
      resolve(library, "PQexec", &found.exec, &missing) &&
      resolve(library, "PQexecParams", &found.exec_params, &missing) &&
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

Opened failure(FileStatus status, std::string reason) {
  Opened opened;
  opened.status = status;
  opened.reason = std::move(reason);
  return opened;
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
  if (state == "23505") return FileStatus::kDuplicateKey;          // unique_violation
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

// The table's columns as the catalog describes them: "key0 bytea, ..., record bytea".
std::string column_list(const FileShape& shape) {
  std::string columns;
  for (size_t k = 0; k < shape.keys.size(); ++k) columns += key_column(k) + " bytea, ";
  return columns + "record bytea";
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

// A result, cleared when it goes.
class Result {
 public:
  Result(const Libpq& pq, PGresult* result) : pq_(pq), result_(result) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ~Result() { pq_.clear(result_); }

  PGresult* get() const { return result_; }
  int rows() const { return pq_.ntuples(result_); }
  std::string_view value(int row, int column) const {
    return {pq_.get_value(result_, row, column), static_cast<size_t>(pq_.get_length(result_, row, column))};
  }

 private:
  const Libpq& pq_;
  PGresult* result_;
};

class PostgresStorage final : public Storage {
 public:
  PostgresStorage(const Libpq& pq, const StorageRequest& request)
      : pq_(pq), uri_(request.name), writes_(request.mode == StorageMode::kInputOutput),
        table_(quoted_identifier(table_of(request.declared_name))), shape_text_(describe(request.shape)),
        record_length_(request.shape.record_length),
        keys_(request.shape.keys.begin(), request.shape.keys.end()) {}
  ~PostgresStorage() override { close(); }

  // Connects, then finds the table, creating it for an input-output open, and checks it.
  FileStatus open(const FileShape& shape);

  FileStatus insert(const char* record) override;
  FileStatus read_next(char* record) override;
  FileStatus close() override;
  std::string reason() const override { return reason_; }

 private:
  FileStatus connect();
  // kOk when the connection can be used; a connection the server ended while it was
  // idle (a restart, an administrator) is made again first, as nothing was under way.
  FileStatus connected();
  // The status of a result (kOk for a command or rows); reason_ and state set otherwise.
  FileStatus check(const Result& result, std::string* state = nullptr);
  FileStatus find_table(const FileShape& shape, bool* found);
  void prepare_statements();

  const Libpq& pq_;
  std::string uri_;
  bool writes_;
  std::string table_;  // quoted
  std::string shape_text_;
  uint32_t record_length_;
  std::vector<KeyShape> keys_;
  PGconn* conn_ = nullptr;
  std::string insert_, first_, next_;
  std::string last_key_;  // primary key of the record read last
  bool read_any_ = false;
  std::string reason_;
};

FileStatus PostgresStorage::connect() {
  const std::string timeout = std::to_string(kPostgresConnectTimeout);
  // Later entries override earlier ones, so the URI's own settings win.
  const char* keywords[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
  const char* values[] = {timeout.c_str(), program_name(), uri_.c_str(), nullptr};
  conn_ = pq_.connect_start(keywords, values, 1);
  if (conn_ == nullptr) {
    reason_ = "out of memory";
    return FileStatus::kFailed;
  }
  // Verbose messages carry the SQLSTATE, which tells a refused authentication apart.
  pq_.set_error_verbosity(conn_, PQERRORS_VERBOSE);
  pq_.set_notice_processor(conn_, [](void*, const char*) {}, nullptr);  // standard error stays ours
  int wait_ms = -1;
  if (PQconninfoOption* options = pq_.conninfo(conn_)) {
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val != nullptr && std::atoi(o->val) > 0) {
        wait_ms = 1000 * std::max(2, std::atoi(o->val));
      }
    }
    pq_.conninfo_free(options);
  }
  PostgresPollingStatusType polled =
      pq_.status(conn_) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  while (polled == PGRES_POLLING_READING || polled == PGRES_POLLING_WRITING) {
    pollfd fd{pq_.socket(conn_), static_cast<short>(polled == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    int ready;
    do {
      ready = ::poll(&fd, 1, wait_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      reason_ = "no answer from the server within " + std::to_string(wait_ms / 1000) + " seconds";
      return FileStatus::kFailed;
    }
    polled = pq_.connect_poll(conn_);
  }
  if (pq_.status(conn_) != CONNECTION_OK) {
    std::string state;
    reason_ = one_line(pq_.error_message(conn_), &state);
    return pq_.needs_password(conn_) ? FileStatus::kDenied : status_of_state(state);
  }
  pq_.set_error_verbosity(conn_, PQERRORS_DEFAULT);
  if (writes_) {
    // Each insert decides 02 from what it reads; at serializable isolation, inserts
    // that run at once and miss each other's record are refused and tried again.
    const Result set(pq_, pq_.exec(conn_, "SET default_transaction_isolation TO serializable"));
    return check(set);
  }
  return FileStatus::kOk;
}

FileStatus PostgresStorage::connected() {
  // An idle connection receives nothing as a rule; a server that ends it sends why,
  // then closes it, which the second read finds.
  for (int read = 0; conn_ != nullptr && read < 4 && pq_.status(conn_) == CONNECTION_OK; ++read) {
    pollfd fd{pq_.socket(conn_), POLLIN, 0};
    if (::poll(&fd, 1, 0) <= 0 || pq_.consume_input(conn_) == 0) break;
  }
  if (conn_ != nullptr && pq_.status(conn_) == CONNECTION_OK) return FileStatus::kOk;
  close();
  return connect();
}

FileStatus PostgresStorage::check(const Result& result, std::string* state) {
  const ExecStatusType status = result.get() != nullptr ? pq_.result_status(result.get()) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return FileStatus::kOk;
  const char* code = result.get() != nullptr ? pq_.result_error_field(result.get(), PG_DIAG_SQLSTATE) : nullptr;
  const char* primary = result.get() != nullptr ? pq_.result_error_field(result.get(), PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const std::string found = code != nullptr ? code : "";
  reason_ = primary != nullptr ? std::string(primary) : one_line(pq_.error_message(conn_), nullptr);
  if (state != nullptr) *state = found;
  return status_of_state(found);
}

// Looks the table up through the search path and checks its kind, shape and the
// rights this open needs; found is false when there is no such table.
FileStatus PostgresStorage::find_table(const FileShape& shape, bool* found) {
  static constexpr char kLookUp[] =
      "SELECT c.relkind::text, coalesce(obj_description(c.oid, 'pg_class'), ''),"
      " (SELECT string_agg(a.attname || ' ' || format_type(a.atttypid, a.atttypmod), ', ' ORDER BY a.attnum)"
      "  FROM pg_attribute a WHERE a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped),"
      " has_table_privilege(c.oid, 'SELECT')::text, has_table_privilege(c.oid, 'INSERT')::text"
      " FROM pg_class c WHERE c.oid = to_regclass($1)";
  const char* values[] = {table_.c_str()};
  const Result result(pq_, pq_.exec_params(conn_, kLookUp, 1, nullptr, values, nullptr, nullptr, 0));
  const FileStatus status = check(result);
  *found = status == FileStatus::kOk && result.rows() == 1;
  if (!*found) return status;

  const std::string kind(result.value(0, 0));
  const std::string comment(result.value(0, 1));
  const std::string columns(result.value(0, 2));
  if (kind != "r" && kind != "p") {
    reason_ = table_ + " is not a table";
    return FileStatus::kWrongShape;
  }
  const std::string expected = postgres_table_comment(shape);
  const std::string mark = expected.substr(0, expected.find_first_of("0123456789"));
  if (!comment.starts_with(mark)) {
    reason_ = "the table " + table_ + " is not an indexed file of this runtime";
    return FileStatus::kWrongShape;
  }
  if (comment != expected) {
    reason_ = "the table " + table_ + " has record length and keys " + comment.substr(mark.size()) + ", not " +
              shape_text_;
    return FileStatus::kWrongShape;
  }
  if (columns != column_list(shape)) {
    reason_ = "the table " + table_ + " has the columns (" + columns + "), not (" + column_list(shape) + ")";
    return FileStatus::kWrongShape;
  }
  if (result.value(0, 3) != "true" || (writes_ && result.value(0, 4) != "true")) {
    reason_ = std::string("permission denied for table ") + table_;
    return FileStatus::kDenied;
  }
  return FileStatus::kOk;
}

FileStatus PostgresStorage::open(const FileShape& shape) {
  FileStatus status = connect();
  // A table being created by another program at the same moment makes the creation
  // fail once that program has committed it; it is then found at the next look.
  for (int look = 0; status == FileStatus::kOk && look < 3; ++look) {
    bool found = false;
    status = find_table(shape, &found);
    if (status != FileStatus::kOk || found) break;
    if (!writes_) {
      reason_ = "no table " + table_ + " in the schemas of the search path";
      return FileStatus::kNotFound;
    }
    // The statements of one query string are one transaction: the table comes whole.
    const Result created(pq_, pq_.exec(conn_, table_definition(table_, shape).c_str()));
    std::string state;
    status = check(created, &state);
    // Made meanwhile: the table, its row type or a catalog row is already there.
    if (state == "42P07" || state == "42710" || state == "23505") status = FileStatus::kOk;
  }
  if (status == FileStatus::kOk) prepare_statements();
  return status;
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
  insert_ = "INSERT INTO " + table_ + " (" + columns + ", record) VALUES (" + values + ", $" +
            std::to_string(keys_.size() + 1) + ") RETURNING " + (held.empty() ? "false" : held);
  first_ = "SELECT key0, record FROM " + table_ + " ORDER BY key0 LIMIT 1";
  next_ = "SELECT key0, record FROM " + table_ + " WHERE key0 > $1 ORDER BY key0 LIMIT 1";
}

FileStatus PostgresStorage::insert(const char* record) {
  reason_.clear();
  if (const FileStatus status = connected(); status != FileStatus::kOk) return status;
  std::vector<const char*> values;
  std::vector<int> lengths;
  for (const KeyShape& key : keys_) {
    values.push_back(record + key.offset);
    lengths.push_back(static_cast<int>(key.length));
  }
  values.push_back(record);
  lengths.push_back(static_cast<int>(record_length_));
  const std::vector<int> binary(values.size(), 1);
  for (int attempt = 1;; ++attempt) {
    const Result result(pq_, pq_.exec_params(conn_, insert_.c_str(), static_cast<int>(values.size()), nullptr,
                                             values.data(), lengths.data(), binary.data(), 0));
    std::string state;
    const FileStatus status = check(result, &state);
    if (status == FileStatus::kOk) {
      return result.value(0, 0) == "t" ? FileStatus::kDuplicateAlternateKey : FileStatus::kOk;
    }
    const bool conflict = state == "40001" || state == "40P01";  // serialization failure, deadlock
    if (!conflict || attempt == kPostgresInsertTries) {
      if (status == FileStatus::kDuplicateKey) reason_ = "a record with this key is already in the file";
      return status;
    }
    ::usleep(static_cast<useconds_t>(500 * (1 + (::getpid() + attempt) % 8)));  // apart from the others
  }
}

FileStatus PostgresStorage::read_next(char* record) {
  reason_.clear();
  if (const FileStatus status = connected(); status != FileStatus::kOk) return status;
  const char* values[] = {last_key_.data()};
  const int lengths[] = {static_cast<int>(last_key_.size())};
  const int binary[] = {1};
  // One record a query, so that each read sees what other programs stored meanwhile.
  const Result result(pq_, read_any_ ? pq_.exec_params(conn_, next_.c_str(), 1, nullptr, values, lengths, binary, 1)
                                     : pq_.exec_params(conn_, first_.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1));
  const FileStatus status = check(result);
  if (status != FileStatus::kOk) return status;
  if (result.rows() == 0) return FileStatus::kAtEnd;
  const std::string_view bytes = result.value(0, 1);
  if (bytes.size() != record_length_) {
    reason_ = "a record of " + std::to_string(bytes.size()) + " bytes in the table";
    return FileStatus::kFailed;
  }
  std::memcpy(record, bytes.data(), record_length_);
  last_key_ = result.value(0, 0);
  read_any_ = true;
  return FileStatus::kOk;
}

FileStatus PostgresStorage::close() {
  if (conn_ != nullptr) pq_.finish(conn_);
  conn_ = nullptr;
  return FileStatus::kOk;
}

}  // namespace

bool is_postgres_uri(std::string_view name) {
  return name.starts_with("postgresql://") || name.starts_with("postgres://");
}

std::string without_password(std::string_view uri) {
  std::string shown(uri);
  if (!is_postgres_uri(uri)) return shown;
  // user:password@ before the hosts.
  const size_t start = shown.find("://") + 3;
  const size_t end = std::min(shown.find_first_of("/?", start), shown.size());
  const size_t at = shown.rfind('@', end);
  if (at != std::string::npos && at >= start) {
    const size_t colon = shown.find(':', start);
    if (colon < at) shown.replace(colon + 1, at - colon - 1, "***");
  }
  // password=... among the parameters.
  const size_t query = shown.find('?');
  for (size_t at_param = query; at_param != std::string::npos; at_param = shown.find('&', at_param + 1)) {
    const size_t name = at_param + 1;
    if (shown.compare(name, 9, "password=") != 0) continue;
    const size_t value_end = std::min(shown.find('&', name), shown.size());
    shown.replace(name + 9, value_end - name - 9, "***");
  }
  return shown;
}

std::string postgres_table_comment(const FileShape& shape) { return "indexed file " + describe(shape); }

Opened open_postgres(const StorageRequest& request, const char* library) {
  std::string reason;
  const Libpq* pq = load_libpq(library, &reason);
  if (pq == nullptr) return failure(FileStatus::kFailed, reason);
  auto storage = std::make_unique<PostgresStorage>(*pq, request);
  const FileStatus status = storage->open(request.shape);
  if (status != FileStatus::kOk) return failure(status, storage->reason());
  Opened opened;
  opened.status = FileStatus::kOk;
  opened.storage = std::move(storage);
  return opened;
}

}  // namespace rt
