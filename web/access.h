// Access: who may read the pages. A token of 128 bits drawn from the system at the
// start, and the sessions opened with it: a session is a further 128 random bits in
// a cookie (HttpOnly, SameSite=Strict), so that the token leaves the address bar at
// once and no page of another site can make the browser use it. Comparisons take the
// same time whatever the bytes. And where the server may listen: until it has users
// and TLS, only on the loopback.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace fleet::web {

inline constexpr char kSessionCookie[] = "fleet_session";

class Access {
 public:
  // Draws the token; token() is empty when the system gave no random bytes.
  Access();

  const std::string& token() const { return token_; }
  bool is_token(std::string_view candidate) const;

  // A new session; its id for the cookie (empty when no random bytes came). The
  // oldest sessions are forgotten beyond kSessionsMost.
  std::string open_session();
  bool is_session(std::string_view candidate) const;

  static constexpr size_t kSessionsMost = 64;

 private:
  std::string token_;
  mutable std::mutex mutex_;
  std::deque<std::string> sessions_;
};

// bytes random bytes from getrandom(2) as lower-case hexadecimal; empty on failure.
std::string random_hex(size_t bytes);

// The value of the cookie name in a Cookie header's value; empty when absent.
std::string cookie_value(std::string_view header, std::string_view name);

// The address to listen on (--listen): a host (an IPv4 or IPv6 address in brackets, or localhost) and
// a port (0 takes a free one).
struct ListenAddress {
  std::string host;  // as a socket takes it ("127.0.0.1", "::1")
  int port = 0;
  bool loopback = false;
};
// False with why (French) when text is not such an address.
bool parse_listen(const std::string& text, ListenAddress* address, std::string* why);

}  // namespace fleet::web
