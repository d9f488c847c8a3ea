// serve_floor BYTES: the floor of fleet serve's load benchmark. The same HTTP library
// on the same threads and connection settings, serving one static page of BYTES bytes
// at /, with nothing else done: no access check, no file, no log. Writes the address
// on standard error, as fleet serve does, and serves until killed.
#include <httplib.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "web/limits.h"

namespace {

// The library's server with the listen queue fleet serve has.
struct Floor : httplib::Server {
  bool queue(int length) { return ::listen(svr_sock_, length) == 0; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: serve_floor BYTES\n");
    return 2;
  }
  const fleet::web::Limits& limits = fleet::web::kLimits;
  std::string page = "<!DOCTYPE html>\n";
  page.resize(std::strtoul(argv[1], nullptr, 10), 'x');
  Floor server;
  server.new_task_queue = [&] { return new httplib::ThreadPool(limits.workers); };
  server.set_keep_alive_max_count(limits.requests_per_connection);
  server.set_keep_alive_timeout(limits.idle_seconds);
  server.set_tcp_nodelay(true);  // as fleet serve, which writes each answer whole
  server.Get(
      "/", [&](const httplib::Request&, httplib::Response& res) { res.set_content(page, "text/html; charset=utf-8"); });
  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0 || !server.queue(static_cast<int>(limits.waiting_most))) return 1;
  std::fprintf(stderr, "http://127.0.0.1:%d/\n", port);
  std::fflush(stderr);
  return server.listen_after_bind() ? 0 : 1;
}
