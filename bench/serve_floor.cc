// serve_floor BYTES [CERT KEY]: the floor of fleet serve's load benchmark. The same HTTP
// library on the same threads and connection settings, serving one static page of
// BYTES bytes at /, with nothing else done: no access check, no file, no log; over TLS
// (the library's own, on OpenSSL) with a certificate and its key. Writes the address
// on standard error, as fleet serve does, and serves until killed.
#include <httplib.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "web/limits.h"

namespace {

// The library's server with the listen queue fleet serve has.
template <class Base>
struct Floor : Base {
  using Base::Base;
  bool queue(int length) { return ::listen(this->svr_sock_, length) == 0; }
};

template <class Server>
int serve(Server& server, const std::string& page, const char* scheme) {
  const fleet::web::Limits& limits = fleet::web::kLimits;
  server.new_task_queue = [&] { return new httplib::ThreadPool(limits.workers); };
  server.set_keep_alive_max_count(limits.requests_per_connection);
  server.set_keep_alive_timeout(limits.idle_seconds);
  server.set_tcp_nodelay(true);  // as fleet serve, which writes each answer whole
  server.Get(
      "/", [&](const httplib::Request&, httplib::Response& res) { res.set_content(page, "text/html; charset=utf-8"); });
  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0 || !server.queue(static_cast<int>(limits.waiting_most))) return 1;
  std::fprintf(stderr, "%s://127.0.0.1:%d/\n", scheme, port);
  std::fflush(stderr);
  return server.listen_after_bind() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: serve_floor BYTES [CERT KEY]\n");
    return 2;
  }
  std::string page = "<!DOCTYPE html>\n";
  page.resize(std::strtoul(argv[1], nullptr, 10), 'x');
  if (argc == 4) {
    Floor<httplib::SSLServer> server(argv[2], argv[3]);
    return server.is_valid() ? serve(server, page, "https") : 1;
  }
  Floor<httplib::Server> server;
  return serve(server, page, "http");
}
