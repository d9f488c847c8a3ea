// Access: who may read the pages. A token of 128 bits drawn from the system at the
// start, and the sessions opened with it: a session is a further 128 random bits in
// a cookie (HttpOnly, SameSite=Strict), so that the token leaves the address bar at
// once and no page of another site can make the browser use it. Comparisons take the
// same time whatever the bytes. And where the server may listen: until it has users
// and TLS, only on the loopback.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace fleet::web {

inline constexpr char kSessionCookie[] = "fleet_session";
// The form field that carries a session's token against cross-site requests.
inline constexpr char kCsrfField[] = "csrf";

// Who a request comes from, as the pages need it.
struct Visitor {
  std::string name;        // as the page shows it; empty for the holder of the start token
  bool may_write = false;  // may change the files (every POST asks it)
  // The token each form of this session carries, checked on every POST; empty for a
  // script that sends the start token itself (no browser adds that header to a
  // request another site makes, so it needs none).
  std::string csrf;
};

class Access {
 public:
  // Draws the token; token() is empty when the system gave no random bytes.
  Access();

  const std::string& token() const { return token_; }
  bool is_token(std::string_view candidate) const;

  // A new session of visitor (whose csrf is drawn here); its id for the cookie (empty
  // when no random bytes came). The oldest sessions are forgotten beyond kSessionsMost.
  std::string open_session(Visitor visitor);
  // The visitor of the session whose id is candidate, if it is open.
  std::optional<Visitor> session(std::string_view candidate) const;

  static constexpr size_t kSessionsMost = 64;

 private:
  std::string token_;
  mutable std::mutex mutex_;
  struct Session {
    std::string id;
    Visitor visitor;
  };
  std::deque<Session> sessions_;
};

// Whether two secrets are equal, in a time that does not depend on where they differ;
// never for an empty one.
bool same_secret(std::string_view a, std::string_view b);

// bytes random bytes from getrandom(2) as lower-case hexadecimal; empty on failure.
std::string random_hex(size_t bytes);

// The value of the cookie name in a Cookie header's value; empty when absent.
std::string cookie_value(std::string_view header, std::string_view name);

// Whether target is a path of this server, plain enough for a Location header: where
// the login sends the visitor on, so that it never leads to another site.
bool local_target(const std::string& target);

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
