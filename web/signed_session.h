// The sessions of named users: a cookie that carries the user's name, its end (12
// hours after the login) and a random nonce, sealed by an HMAC-SHA256 under a secret
// of 32 bytes. Any server holding the same secret (--secret FILE) takes it, so a
// session is valid on both servers of one PostgreSQL table and across a restart; no
// server keeps a list of sessions. The seal also covers the user's password hash as
// the users file holds it (never the cookie): a new password ends every session of
// that user, on every server. The cookie says who, never what he may do: the role is
// read from the users file at every request. The form token of a session is an
// HMAC of the cookie under the same secret, so both servers agree on it too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fleet::web {

// What a sealed cookie says.
struct SessionClaim {
  std::string name;
  int64_t expiry = 0;  // seconds since the epoch
  std::string nonce;   // hexadecimal
};

class SessionSeal {
 public:
  static constexpr int64_t kLifetime = 12 * 3600;
  static constexpr size_t kSecretBytes = 32;

  // secret: kSecretBytes raw bytes at least.
  explicit SessionSeal(std::string secret) : secret_(std::move(secret)) {}

  // The cookie value of a new session of name, whose password hash is bound, opened
  // at now; empty without random bytes.
  std::string open(const std::string& name, std::string_view bound, int64_t now) const;
  // The claim of a cookie sealed by this secret for the hash bound_of(name) gives
  // (empty: no such user), and not past its end at now.
  template <class BoundOf>
  std::optional<SessionClaim> check(std::string_view cookie, int64_t now, BoundOf bound_of) const {
    std::optional<SessionClaim> claim = parse(cookie, now);
    if (!claim) return std::nullopt;
    const std::string bound = bound_of(claim->name);
    if (bound.empty() || !sealed(cookie, bound)) return std::nullopt;
    return claim;
  }
  // The form token of the session whose cookie this is.
  std::string csrf(std::string_view cookie) const;

 private:
  std::string mac(std::string_view what, std::string_view purpose) const;
  // The claim a cookie says, its seal not checked yet; none when malformed or ended.
  static std::optional<SessionClaim> parse(std::string_view cookie, int64_t now);
  bool sealed(std::string_view cookie, std::string_view bound) const;
  std::string secret_;
};

// The secret in file (hexadecimal, 64 digits or more, on its first line); false with
// why (French). A missing file is made with a new secret, mode 0600.
bool load_secret(const std::string& path, std::string* secret, std::string* why);
// kSecretBytes random bytes; empty on failure.
std::string random_secret();

}  // namespace fleet::web
