// BoundedServer: cpp-httplib's server, with every bound of Limits held whatever a
// client sends. The library parses the requests and writes the answers; the bytes of
// each connection reach it through a stream of ours, which lets a request's head take
// only head_most bytes and head_seconds, answers in one write where it fits, and keeps
// the connection for its next request; and its threads are a pool of ours, which
// answers 503 at once to a connection beyond what may wait. The library's own bounds
// are fixed where it was compiled (a header line of 8 KiB, as many lines as come, and
// a read time-out per byte rather than per request), which is why it needs these.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <string>

#include "web/limits.h"

namespace fleet::web {

class BoundedServer : public httplib::Server {
 public:
  explicit BoundedServer(const Limits& limits);

  // Binds host:port (port 0: a free one) and listens, with room in the system's queue
  // for as many connections as may wait (the library's queue holds 5): the port bound,
  // or -1 with errno set.
  int bind(const std::string& host, int port);

  // Stops the server: no connection waits for a further request, and listening ends
  // once the requests being answered are.
  void halt() {
    halting_ = true;
    stop();
  }

  // From a handler: the connection of the request being answered is closed once the
  // answer is written (its client sent something that was not read).
  static void close_after_answer();

  // The address of the client whose request this thread is answering (a request that
  // could not be read has none of its own).
  static const std::string& client_address();

  // Called after each answer is written. An answer that refuses what the client sent
  // (400, 413, 414, 417, 431) also ends its connection: what follows in it cannot be
  // trusted to be a request.
  void set_answer_logger(httplib::Logger logger);

  // Serves TLS with context (made once, kept by the caller for the server's life).
  void set_tls(SSL_CTX* context) { tls_ = context; }

  // Called, on the thread that accepts, for each connection answered 503 at once,
  // with the client's address.
  void set_refusal_logger(std::function<void(const std::string& address)> logger) {
    refusal_logger_ = std::move(logger);
  }

 private:
  bool process_and_close_socket(socket_t sock) override;
  void refuse(socket_t sock);

  Limits limits_;
  SSL_CTX* tls_ = nullptr;
  std::atomic<bool> halting_{false};
  std::string refusal_;  // the whole 503 answer
  std::function<void(const std::string&)> refusal_logger_;
};

}  // namespace fleet::web
