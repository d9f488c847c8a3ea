// A connection to the server: its opening within the window, statements sent and
// awaited without blocking past the window, and the SQLSTATE of each failure.
#include "storage/postgres/connection.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "storage/reasons.h"

namespace storage {
namespace {

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

FileStatus status_of_state(const std::string& state) {
  if (state == "23505") return FileStatus::kDuplicateKey;                       // unique_violation
  if (state.starts_with("28") || state == "42501") return FileStatus::kDenied;  // authorization
  return FileStatus::kFailed;
}

// SQLSTATEs after which the connection cannot go on: connection exceptions (08), the
// server shutting down or starting (57P01 to 57P03), and a server that became a
// standby and takes no writes (25006), as after a fail-over to a host of the URI.
bool is_lost(const std::string& state) {
  return state.starts_with("08") || state == "57P01" || state == "57P02" || state == "57P03" || state == "25006";
}

void pause_ms(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000); }

}  // namespace

bool is_conflict(const std::string& state) { return state == "40001" || state == "40P01"; }

void pause_apart(int attempt) { ::usleep(static_cast<useconds_t>(500 * (1 + (::getpid() + attempt) % 8))); }

Connection::Connection(const Libpq& pq, std::string uri, std::string client, bool writes, int window_ms)
    : pq_(pq),
      uri_(std::move(uri)),
      client_(std::move(client)),
      writes_(writes),
      window_ms_(window_ms),
      check_ms_(std::max(window_ms / 6, 500)) {}

int Connection::ms_until(Clock::time_point limit) {
  return static_cast<int>(
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count()));
}

Result Connection::no_answer() const {
  return failure(FileStatus::kFailed,
                 "pas de réponse du serveur en " + std::to_string(window_ms_ / 1000) + " secondes");
}

bool Connection::lost() const {
  return timed_out_ || conn_ == nullptr || pq_.status(conn_) == CONNECTION_BAD || is_lost(last_state_);
}

bool Connection::pause_to_reconnect() {
  drop();
  if (ms_left() < 200) return false;
  pause_ms(std::min(200, ms_left() - 100));
  return true;
}

bool Connection::wait_for(short events, Clock::time_point limit) {
  for (;;) {
    pollfd fd{pq_.socket(conn_), events, 0};
    const int ready = ::poll(&fd, 1, ms_until(limit));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;  // let the client library find what is wrong
  }
}

PGresult* Connection::run(const std::string& sql, const Parameters& parameters, int binary_result,
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

Result Connection::connect() {
  // Later entries override earlier ones, so the URI's own settings win.
  const char* keywords[] = {"fallback_application_name", "dbname", nullptr};
  const char* values[] = {client_.c_str(), uri_.c_str(), nullptr};
  conn_ = pq_.connect_start(keywords, values, 1);
  if (conn_ == nullptr) return failure(FileStatus::kFailed, errno_reason(ENOMEM));
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
    const std::string message = said(one_line(pq_.error_message(conn_), &state));
    std::string reason = state.empty() ? connection_reason(message) : refusal_reason(state, message);
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

Result Connection::connected() {
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

void Connection::drop() {
  if (conn_ == nullptr) return;
  pq_.finish(conn_);
  conn_ = nullptr;
  abandoned_ = backend_;
  backend_.clear();
}

Result Connection::check(const PgResult& result) {
  if (result.get() == nullptr) {
    if (timed_out_) return no_answer();
    return failure(FileStatus::kFailed, conn_ != nullptr
                                            ? connection_reason(said(one_line(pq_.error_message(conn_), nullptr)))
                                            : "la connexion au serveur est perdue");
  }
  const ExecStatusType status = pq_.result_status(result.get());
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return {};
  const char* code = pq_.result_error_field(result.get(), PG_DIAG_SQLSTATE);
  const char* primary = pq_.result_error_field(result.get(), PG_DIAG_MESSAGE_PRIMARY);
  last_state_ = code != nullptr ? code : "";
  const FileStatus file_status = status_of_state(last_state_);
  if (file_status == FileStatus::kDuplicateKey) return failure(file_status);
  const std::string message =
      said(primary != nullptr ? std::string(primary) : one_line(pq_.error_message(conn_), nullptr));
  return failure(file_status, code != nullptr ? state_reason(last_state_, message) : connection_reason(message));
}

Result Connection::end_abandoned() {
  if (abandoned_.empty()) return {};
  const size_t space = abandoned_.find(' ');
  const std::string pid = abandoned_.substr(0, space);
  const std::string started = abandoned_.substr(space + 1);
  const std::string wait = std::to_string(std::max(ms_left() - 500, 1));
  const char* values[] = {pid.c_str(), started.c_str()};
  const PgResult ended(pq_, run("SELECT pg_terminate_backend(pid, " + wait +
                                    ")::text FROM pg_stat_activity"
                                    " WHERE pid = $1::int AND backend_start::text = $2",
                                {2, values}, 0, deadline_));
  if (Result result = check(ended); !result.ok()) return result;
  if (ended.rows() == 1 && ended.value(0, 0) != "true") return no_answer();
  abandoned_.clear();
  return {};
}

}  // namespace storage
