// The bounds of what one client may ask of fleet serve: each is a number here, fixed
// when the program is built, so that the server, its documentation and the benchmark's
// floor (which serves a static page on the same threads) read the same figures.
#pragma once

#include <cstddef>

namespace fleet::web {

struct Limits {
  // The request line and its headers, in bytes: a request over it is refused (400)
  // and its connection closed, so no client makes the server hold more.
  size_t head_most = 8 * 1024;
  // A request's head must have come whole within this time after its first byte;
  // a client that sends it more slowly is dropped (a slow sender holds a thread).
  int head_seconds = 10;
  // Only a form's POST takes a body, of at most this many bytes (a file to import
  // among them: some 40,000 rows); one that announces more is refused (413) before any
  // of it is read. The head's time bound covers the body too.
  size_t body_most = 4 * 1024 * 1024;
  // An idle connection is kept this long for its next request, and serves this many.
  int idle_seconds = 5;
  size_t requests_per_connection = 100;
  // A client that takes no byte of the answer for this long is dropped.
  int write_seconds = 10;
  // Connections served at once, one thread each, and those that may wait for a
  // thread; one more is answered 503 at once and closed.
  size_t workers = 32;
  size_t waiting_most = 64;
};

inline constexpr Limits kLimits{};

}  // namespace fleet::web
