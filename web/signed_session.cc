// Sealed session cookies and the secret that seals them.
#include "web/signed_session.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

#include "web/users.h"

namespace fleet::web {
namespace {

std::string hex(const unsigned char* bytes, size_t size) {
  std::string out(size * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), bytes, size);
  out.pop_back();
  return out;
}

}  // namespace

std::string random_secret() {
  if (!crypto_ready()) return {};
  std::string secret(SessionSeal::kSecretBytes, '\0');
  randombytes_buf(secret.data(), secret.size());
  return secret;
}

// The purpose goes into the MAC so that a cookie's seal never serves as a form token.
std::string SessionSeal::mac(std::string_view what, std::string_view purpose) const {
  unsigned char out[crypto_auth_hmacsha256_BYTES];
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(secret_.data()), secret_.size());
  crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(purpose.data()), purpose.size());
  crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(what.data()), what.size());
  crypto_auth_hmacsha256_final(&state, out);
  return hex(out, sizeof out);
}

// NAME:EXPIRY:NONCE:MAC; ':' is in no name. The MAC is of the three and the hash.
std::string SessionSeal::open(const std::string& name, std::string_view bound, int64_t now) const {
  if (!crypto_ready() || !valid_user_name(name) || bound.empty()) return {};
  unsigned char nonce[16];
  randombytes_buf(nonce, sizeof nonce);
  const std::string body = name + ":" + std::to_string(now + kLifetime) + ":" + hex(nonce, sizeof nonce);
  return body + ":" + mac(body + "\n" + std::string(bound), "session\n");
}

std::optional<SessionClaim> SessionSeal::parse(std::string_view cookie, int64_t now) {
  const size_t last = cookie.rfind(':');
  if (last == std::string_view::npos || cookie.size() > 200) return std::nullopt;
  const std::string_view body = cookie.substr(0, last);
  const size_t first = body.find(':');
  const size_t second = body.find(':', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) return std::nullopt;
  SessionClaim claim{std::string(body.substr(0, first)), 0, std::string(body.substr(second + 1))};
  const std::string_view expiry = body.substr(first + 1, second - first - 1);
  const auto [end, error] = std::from_chars(expiry.data(), expiry.data() + expiry.size(), claim.expiry);
  if (error != std::errc() || end != expiry.data() + expiry.size() || claim.expiry <= now) return std::nullopt;
  return claim;
}

bool SessionSeal::sealed(std::string_view cookie, std::string_view bound) const {
  const size_t last = cookie.rfind(':');
  const std::string expected = mac(std::string(cookie.substr(0, last)) + "\n" + std::string(bound), "session\n");
  const std::string_view given = cookie.substr(last + 1);
  return given.size() == expected.size() && sodium_memcmp(given.data(), expected.data(), expected.size()) == 0;
}

std::string SessionSeal::csrf(std::string_view cookie) const { return mac(cookie, "csrf\n"); }

bool load_secret(const std::string& path, std::string* secret, std::string* why) {
  if (!crypto_ready()) {
    *why = "libsodium n'a pas pu démarrer (pas de source d'aléa)";
    return false;
  }
  std::ifstream in(path);
  if (!in && errno == ENOENT) {
    // Made here once; the second server is given a copy of it.
    const std::string fresh = random_secret();
    const std::string text = hex(reinterpret_cast<const unsigned char*>(fresh.data()), fresh.size()) + "\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const bool written =
        fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!written) {
      *why = "secret " + path + " impossible à créer : " + std::strerror(errno);
      return false;
    }
    *secret = fresh;
    return true;
  }
  std::string line;
  std::getline(in, line);
  std::string raw(line.size() / 2, '\0');
  size_t length = 0;
  if (!in || line.size() < 2 * SessionSeal::kSecretBytes ||
      sodium_hex2bin(reinterpret_cast<unsigned char*>(raw.data()), raw.size(), line.data(), line.size(), nullptr,
                     &length, nullptr) != 0 ||
      length != line.size() / 2) {
    *why = "secret " + path + " illisible : il faut au moins 64 chiffres hexadécimaux sur sa première ligne";
    return false;
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
    *why = "secret " + path + " lisible par d'autres que son propriétaire : chmod 600 " + path;
    return false;
  }
  raw.resize(length);
  *secret = raw;
  return true;
}

}  // namespace fleet::web
