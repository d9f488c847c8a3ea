// The bounded server: its stream over a connection, its pool of threads.
#include "web/bounded_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace fleet::web {
namespace {

using Clock = std::chrono::steady_clock;

// Set on the thread that runs a connection: its answer is the connection's last.
thread_local bool closing = false;
// Set on the accepting thread while it runs a connection that no thread may take.
thread_local bool refusing = false;
// The client of the connection this thread runs.
thread_local std::string client;

int ms_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits for events on fd until deadline: true when they came.
bool wait_for(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, ms_until(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

void address_of(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int got = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                       : ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  char text[INET6_ADDRSTRLEN] = "-";
  port = 0;
  if (got == 0 && address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else if (got == 0 && address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  ip = text;
}

// One connection's bytes. Reads are buffered (the library reads a head byte by byte)
// and counted against the request's head bound and deadline; writes are gathered and
// sent when the buffer fills, when the answer is done, and before any wait for the
// client, so that a small answer goes out as one segment.
//
// Under TLS the same bounds hold over the records: the socket does not block, and
// every wait OpenSSL asks for (to read or to write) is a poll until the same deadline.
class BoundedStream final : public httplib::Stream {
 public:
  BoundedStream(int fd, const Limits& limits, SSL* ssl) : fd_(fd), limits_(limits), ssl_(ssl) {}

  bool is_readable() const override {
    return at_ < end_ || (ssl_ != nullptr && SSL_pending(ssl_) > 0) || wait_for(fd_, POLLIN, deadline_);
  }
  bool is_writable() const override { return !failed_; }

  ssize_t read(char* ptr, size_t size) override {
    if (budget_ == 0) return -1;  // the head is over its bound: the library refuses it
    if (at_ == end_ && !fill(deadline_)) return -1;
    const size_t n = std::min({size, end_ - at_, budget_});
    std::memcpy(ptr, in_ + at_, n);
    at_ += n;
    budget_ -= n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (failed_) return -1;
    out_.append(ptr, size);
    if (out_.size() >= kOutMost && !flush()) return -1;
    return static_cast<ssize_t>(size);
  }

  // Asked at each request: taken once a connection.
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    if (remote_port_ < 0) address_of(fd_, true, remote_, remote_port_);
    ip = remote_;
    port = remote_port_;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    if (local_port_ < 0) address_of(fd_, false, local_, local_port_);
    ip = local_;
    port = local_port_;
  }
  socket_t socket() const override { return fd_; }

  // Waits for the first byte of the next request, for the idle time at most, looking
  // every so often whether the server is stopping; false when none is to be served.
  template <class Running>
  bool next_request(Running running) {
    if (at_ < end_) return true;  // sent after the one before without waiting
    if (!flush()) return false;
    const Clock::time_point idle_end = Clock::now() + std::chrono::seconds(limits_.idle_seconds);
    while (running()) {
      const Clock::time_point slice = std::min(idle_end, Clock::now() + std::chrono::milliseconds(200));
      if (fill(slice)) return true;
      if (closed_ || failed_ || Clock::now() >= idle_end) return false;
    }
    return false;
  }

  // The TLS handshake, within the time a request's head has; false when it failed.
  bool handshake() {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limits_.head_seconds);
    for (;;) {
      const int done = SSL_accept(ssl_);
      if (done == 1) return true;
      if (!wait_tls(SSL_get_error(ssl_, done), deadline)) return false;
    }
  }

  // A request begins: its head has its bound and deadline.
  void begin_request() {
    budget_ = limits_.head_most + limits_.body_most;
    deadline_ = Clock::now() + std::chrono::seconds(limits_.head_seconds);
  }

  bool flush() {
    for (size_t sent = 0; !failed_ && sent < out_.size();) {
      if (!wait_for(fd_, POLLOUT, Clock::now() + std::chrono::seconds(limits_.write_seconds))) {
        failed_ = true;
        break;
      }
      if (ssl_ != nullptr) {
        const int n = SSL_write(ssl_, out_.data() + sent, static_cast<int>(std::min(out_.size() - sent, kOutMost)));
        if (n > 0) {
          sent += static_cast<size_t>(n);
        } else if (!wait_tls(SSL_get_error(ssl_, n), Clock::now() + std::chrono::seconds(limits_.write_seconds))) {
          failed_ = true;
        }
        continue;
      }
      const ssize_t n = ::send(fd_, out_.data() + sent, out_.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        failed_ = true;
      }
    }
    out_.clear();
    return !failed_;
  }

 private:
  static constexpr size_t kOutMost = 64 * 1024;

  // Reads what the client sent, waiting until deadline; false when nothing came.
  bool fill(Clock::time_point deadline) {
    if (!flush() || closed_) return false;
    if (ssl_ != nullptr) return fill_tls(deadline);
    for (;;) {
      if (!wait_for(fd_, POLLIN, deadline)) return false;
      const ssize_t n = ::recv(fd_, in_, sizeof in_, 0);
      if (n > 0) {
        at_ = 0;
        end_ = static_cast<size_t>(n);
        return true;
      }
      if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        closed_ = true;
        return false;
      }
    }
  }

  bool fill_tls(Clock::time_point deadline) {
    for (;;) {
      const int n = SSL_read(ssl_, in_, sizeof in_);
      if (n > 0) {
        at_ = 0;
        end_ = static_cast<size_t>(n);
        return true;
      }
      const int error = SSL_get_error(ssl_, n);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) closed_ = true;
      if (!wait_tls(error, deadline)) return false;
    }
  }

  // Waits for what OpenSSL asked for; false for any other error, or at deadline.
  bool wait_tls(int error, Clock::time_point deadline) const {
    if (error == SSL_ERROR_WANT_READ) return wait_for(fd_, POLLIN, deadline);
    if (error == SSL_ERROR_WANT_WRITE) return wait_for(fd_, POLLOUT, deadline);
    return false;
  }

  int fd_;
  const Limits& limits_;
  SSL* ssl_;
  char in_[16 * 1024];
  size_t at_ = 0;
  size_t end_ = 0;
  size_t budget_ = 0;
  Clock::time_point deadline_{};
  std::string out_;
  bool failed_ = false;
  bool closed_ = false;
  mutable std::string remote_, local_;
  mutable int remote_port_ = -1, local_port_ = -1;
};

// Ends a connection so that its client reads the whole answer: what it still sends
// is read and dropped for a moment, as closing with unread bytes would reset the
// connection and lose the answer in flight.
void close_gently(int fd) {
  ::shutdown(fd, SHUT_WR);
  const Clock::time_point end = Clock::now() + std::chrono::seconds(1);
  char sink[4096];
  for (size_t dropped = 0; dropped < 256 * 1024 && wait_for(fd, POLLIN, end);) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n <= 0) break;
    dropped += static_cast<size_t>(n);
  }
  ::close(fd);
}

// The threads that serve connections, and the connections waiting for one.
class Pool final : public httplib::TaskQueue {
 public:
  Pool(size_t workers, size_t waiting_most) : waiting_most_(waiting_most) {
    for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }

  void enqueue(std::function<void()> job) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (jobs_.size() < waiting_most_) {
        jobs_.push_back(std::move(job));
        wake_.notify_one();
        return;
      }
    }
    // No room: the connection is answered here and now.
    refusing = true;
    job();
    refusing = false;
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  size_t waiting_most_;
  std::vector<std::thread> threads_;
  std::deque<std::function<void()>> jobs_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

std::string refusal() {
  const std::string text = "Trop de connexions à la fois : réessayez dans un instant.\n";
  return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
         std::to_string(text.size()) +
         "\r\nRetry-After: 5\r\nConnection: close\r\nX-Content-Type-Options: nosniff\r\n\r\n" + text;
}

}  // namespace

BoundedServer::BoundedServer(const Limits& limits) : limits_(limits), refusal_(refusal()) {
  new_task_queue = [this] { return new Pool(limits_.workers, limits_.waiting_most); };
  set_keep_alive_max_count(limits_.requests_per_connection);
  set_keep_alive_timeout(limits_.idle_seconds);
  set_read_timeout(limits_.head_seconds);
  set_write_timeout(limits_.write_seconds);
  set_payload_max_length(limits_.body_most);
  // The request that announces a body it wants to send is refused before it sends it.
  set_expect_100_continue_handler([](const httplib::Request&, httplib::Response& res) {
    res.status = 417;
    close_after_answer();
    return 0;
  });
}

int BoundedServer::bind(const std::string& host, int port) {
  if (port == 0) {
    port = bind_to_any_port(host);
  } else if (!bind_to_port(host, port)) {
    port = -1;
  }
  if (port > 0 && ::listen(svr_sock_, static_cast<int>(limits_.waiting_most)) != 0) return -1;
  return port;
}

void BoundedServer::close_after_answer() { closing = true; }

const std::string& BoundedServer::client_address() { return client; }

void BoundedServer::set_answer_logger(httplib::Logger logger) {
  set_logger([logger = std::move(logger)](const httplib::Request& request, const httplib::Response& response) {
    const int status = response.status;
    if (status == 400 || status == 413 || status == 414 || status == 417 || status == 431) closing = true;
    if (logger) logger(request, response);
  });
}

void BoundedServer::refuse(socket_t sock) {
  // The accepting thread must not wait: what does not go at once is lost.
  ::send(sock, refusal_.data(), refusal_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (refusal_logger_) {
    std::string ip;
    int port = 0;
    address_of(sock, true, ip, port);
    refusal_logger_(ip);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
  if (refusing) {
    refuse(sock);
    return true;
  }
  const int on = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // answers are written whole
  // Under TLS: the connection's session, freed with it.
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(tls_ != nullptr ? SSL_new(tls_) : nullptr, &SSL_free);
  if (tls_ != nullptr) {
    ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL) | O_NONBLOCK);
    if (!ssl || SSL_set_fd(ssl.get(), sock) != 1) {
      ::close(sock);
      return true;
    }
  }
  BoundedStream stream(sock, limits_, ssl.get());
  int port = 0;
  stream.get_remote_ip_and_port(client, port);
  if (ssl && !stream.handshake()) {
    ::close(sock);
    return true;
  }
  bool unread = false;  // the client may have sent what was not read
  for (size_t served = 0; served < limits_.requests_per_connection; ++served) {
    if (!stream.next_request([this] { return !halting_; })) break;
    stream.begin_request();
    closing = false;
    bool closed = false;
    const bool last = served + 1 == limits_.requests_per_connection;
    // Ranges are not served: every answer is whole, so none can be asked in pieces.
    const bool written =
        process_request(stream, last, closed, [](httplib::Request& request) { request.ranges.clear(); });
    if (!stream.flush() || !written || closed || closing) {
      unread = !written || closing;
      break;
    }
  }
  if (ssl) SSL_shutdown(ssl.get());  // once, without waiting for the client's
  if (unread) {
    close_gently(sock);
  } else {
    ::close(sock);
  }
  return true;
}

}  // namespace fleet::web
