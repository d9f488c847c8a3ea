// One connection to the server of a PostgreSQL file, and the window of the operation
// under way: no operation waits longer than its window (30 s, as the local file's wait
// for a lock). The server cancels a lock wait after half of it and a statement after
// two thirds (lock_timeout and statement_timeout, unless the URI's options set them),
// and the client gives up on a server that stops answering altogether after five
// sixths, keeping the rest to look whether a statement it gave up went through.
//
// A connection that is lost (a restart, an administrator, a fail-over to another host
// of the URI) is made again by connected(); the server's process that served the lost
// one is remembered, so that end_abandoned() can make sure it no longer runs what it
// was given before the table is asked what it did.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "storage/postgres/libpq.h"
#include "storage/storage.h"

namespace storage {

using Clock = std::chrono::steady_clock;

// The parameters of a statement, sent as bytes; none for a string of statements.
struct Parameters {
  int count = -1;  // -1: a string of statements, sent as it is
  const char* const* values = nullptr;
  const int* lengths = nullptr;
  const int* binary = nullptr;
};

// The French words for an SQLSTATE of the server (exact, or else its class), with the
// name the server's message quotes first where the words name it ("base de données
// « fleet » introuvable"); a state without words keeps the message: "erreur du serveur
// (SQLSTATE XX000 : ...)".
std::string state_reason(std::string_view state, std::string_view message);

// The French words for a failure of the client library without an SQLSTATE (a
// connection refused, a socket missing, a host unknown, SSL), message being its text on
// one line: for each host tried, where ("socket « ... »", "serveur « h » (a), port p")
// and why. A failure without words keeps the library's text: "échec de la connexion
// au serveur (libpq : ...)".
std::string connection_reason(std::string_view message);

// Why the server refused a connection, from its SQLSTATE and message: where, when
// several hosts were tried, then the state's words.
std::string refusal_reason(std::string_view state, std::string_view message);

// True for the SQLSTATEs of a conflict with concurrent transactions (serialization
// failure, deadlock), after which the same statement is tried again.
bool is_conflict(const std::string& state);

// Pauses for a moment that differs from one program to another, so that programs
// retrying after a conflict with each other do not meet again.
void pause_apart(int attempt);

class Connection {
 public:
  // uri: the file's name; client: the application name the server lists; writes: an
  // input-output open, whose inserts run at serializable isolation.
  Connection(const Libpq& pq, std::string uri, std::string client, bool writes, int window_ms);
  ~Connection() { drop(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const Libpq& pq() const { return pq_; }

  // The window of an operation starts.
  void start_window() { deadline_ = Clock::now() + std::chrono::milliseconds(window_ms_); }
  Clock::time_point deadline() const { return deadline_; }
  // What is left of the window, in milliseconds.
  int ms_left() const { return ms_until(deadline_); }
  // The failure of an operation that ran out of its window.
  Result no_answer() const;

  // Connects; kOk, or why the server or the client library refused.
  Result connect();
  // kOk when the connection can be used; a connection that is gone, or that the server
  // ended while it was idle (a restart, an administrator), is made again first.
  Result connected();
  // Forgets the connection; the server's process that served it is remembered.
  void drop();
  bool is_open() const { return conn_ != nullptr; }
  // After a failure that lost the connection: drops it, and pauses before the next
  // try; false when too little of the window is left for one.
  bool pause_to_reconnect();

  // Sends sql and waits, until limit (by default early enough in the window to look
  // afterwards), for its results: the first failed one, or the last. Null when no
  // result came: the connection failed, or the time ran out (then the connection is
  // dropped and lost() is true).
  PGresult* run(const std::string& sql, const Parameters& parameters = {}, int binary_result = 0,
                Clock::time_point limit = {});
  // The outcome of a result (kOk for a command or rows); last_state() set to its SQLSTATE.
  Result check(const PgResult& result);
  const std::string& last_state() const { return last_state_; }
  // True when the last statement failed because the connection is lost or timed out.
  bool lost() const;

  // Before a look at what a statement lost with its connection did: the server's process
  // of that connection may still be running it, so it is stopped, and waited for. kOk
  // when it is gone; kFailed when it is still there and does not end, or the look at
  // it failed.
  Result end_abandoned();

  // A reason from the server or the client library, without the URI's passwords.
  std::string said(std::string text) const { return hide_secrets(text, uri_); }

 private:
  static int ms_until(Clock::time_point limit);
  // When a statement is given up: early enough in the window to look, on a new
  // connection, whether an abandoned commit went through.
  Clock::time_point statement_limit() const { return deadline_ - std::chrono::milliseconds(check_ms_); }
  // Waits for the socket until limit; false when the time ran out.
  bool wait_for(short events, Clock::time_point limit);

  const Libpq& pq_;
  std::string uri_;
  std::string client_;
  bool writes_;
  int window_ms_;
  int check_ms_;  // the end of the window kept for the look after an abandoned statement
  Clock::time_point deadline_;
  PGconn* conn_ = nullptr;
  std::string backend_;    // "pid start" of the server's process of this connection
  std::string abandoned_;  // the same, of a connection dropped while a statement ran
  std::string last_state_;
  bool timed_out_ = false;
};

}  // namespace storage
