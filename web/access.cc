// The token and the sessions of fleet serve.
#include "web/access.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <cerrno>
#include <charconv>

#include "storage/storage.h"

namespace fleet::web {
namespace {

bool port_number(std::string_view text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *port);
  return error == std::errc() && end == text.data() + text.size() && *port >= 0 && *port <= 65535;
}

}  // namespace

bool same_secret(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

std::string random_hex(size_t bytes) {
  std::string raw(bytes, '\0');
  for (size_t got = 0; got < bytes;) {
    const ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    got += static_cast<size_t>(n);
  }
  std::string text;
  storage::append_hexadecimal(text, raw);
  return text;
}

Access::Access() : token_(random_hex(16)) {}

bool Access::is_token(std::string_view candidate) const { return same_secret(candidate, token_); }

std::string Access::open_session(Visitor visitor) {
  std::string id = random_hex(16);
  visitor.csrf = random_hex(16);
  if (id.empty() || visitor.csrf.empty()) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.push_back({id, std::move(visitor)});
  if (sessions_.size() > kSessionsMost) sessions_.pop_front();
  return id;
}

std::optional<Visitor> Access::session(std::string_view candidate) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<Visitor> found;
  for (const Session& session : sessions_) {
    if (same_secret(candidate, session.id)) found = session.visitor;
  }
  return found;
}

std::string cookie_value(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t end = std::min(header.find(';'), header.size());
    std::string_view pair = header.substr(0, end);
    header.remove_prefix(std::min(end + 1, header.size()));
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return std::string(pair.substr(equals + 1));
    }
  }
  return {};
}

bool local_target(const std::string& target) {
  if (target.empty() || target[0] != '/' || (target.size() > 1 && (target[1] == '/' || target[1] == '\\'))) {
    return false;
  }
  for (const char c : target) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '\\' || c == '"') return false;
  }
  return true;
}

bool parse_listen(const std::string& text, ListenAddress* address, std::string* why) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || !port_number(std::string_view(text).substr(colon + 1), &address->port)) {
    *why = "--listen attend ADRESSE:PORT (comme 127.0.0.1:8080), pas « " + text + " »";
    return false;
  }
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    in6_addr v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6) != 1) {
      *why = "--listen : « " + host + " » n'est pas une adresse IPv6";
      return false;
    }
    address->loopback = IN6_IS_ADDR_LOOPBACK(&v6);
  } else if (host == "localhost") {
    host = "127.0.0.1";  // not looked up: the name could point elsewhere
    address->loopback = true;
  } else {
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) != 1) {
      *why = "--listen : « " + host + " » n'est pas une adresse (IPv4, IPv6 entre crochets, ou localhost)";
      return false;
    }
    address->loopback = (ntohl(v4.s_addr) >> 24) == 127;
  }
  address->host = host;
  return true;
}

}  // namespace fleet::web
