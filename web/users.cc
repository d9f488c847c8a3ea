// The users file: its lines, the password hashes, its re-reading.
#include "web/users.h"

#include <sodium.h>
#include <sys/stat.h>

#include <fstream>
#include <semaphore>
#include <sstream>

namespace fleet::web {
namespace {

// Each verification takes MEMLIMIT_INTERACTIVE (64 MiB): two at once bound what a
// burst of logins may take to 128 MiB.
std::counting_semaphore<2> verifying(2);

std::string shown_line(std::string_view line) {
  std::string out;
  for (const char c : line.substr(0, 40)) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte >= 0x20 && byte < 0x7F ? c : '?';
  }
  return out;
}

}  // namespace

bool crypto_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

bool valid_user_name(std::string_view name) {
  if (name.empty() || name.size() > 32) return false;
  for (const char c : name) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!plain) return false;
  }
  return true;
}

const char* role_word(Role role) { return role == Role::kLecture ? "lecture" : "saisie"; }

bool role_of(std::string_view word, Role* role) {
  if (word == "lecture")
    *role = Role::kLecture;
  else if (word == "saisie")
    *role = Role::kSaisie;
  else
    return false;
  return true;
}

bool parse_user_line(std::string_view line, User* user, std::string* why) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  *user = User{};
  const size_t start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos || line[start] == '#') return true;
  const size_t first = line.find(':');
  const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
  if (second == std::string_view::npos) {
    *why = "« " + shown_line(line) + " » n'est pas de la forme NOM:RÔLE:EMPREINTE";
    return false;
  }
  const std::string_view name = line.substr(0, first);
  const std::string_view role = line.substr(first + 1, second - first - 1);
  const std::string_view hash = line.substr(second + 1);
  if (!valid_user_name(name)) {
    *why = "le nom « " + shown_line(name) + " » n'est pas permis (1 à 32 lettres, chiffres, . _ -)";
    return false;
  }
  if (!role_of(role, &user->role)) {
    *why = "le rôle « " + shown_line(role) + " » n'existe pas (lecture ou saisie)";
    return false;
  }
  if (hash.rfind(crypto_pwhash_argon2id_STRPREFIX, 0) != 0 || hash.size() >= crypto_pwhash_STRBYTES) {
    *why = "l'empreinte du mot de passe n'est pas une empreinte argon2id (fleet users add la calcule)";
    return false;
  }
  user->name = name;
  user->hash = hash;
  return true;
}

std::string user_line(const User& user) { return user.name + ":" + role_word(user.role) + ":" + user.hash; }

bool parse_users(std::string_view text, std::vector<User>* users, std::string* why) {
  users->clear();
  for (size_t number = 1; !text.empty(); ++number) {
    const size_t end = std::min(text.find('\n'), text.size());
    User user;
    if (!parse_user_line(text.substr(0, end), &user, why)) {
      *why = "ligne " + std::to_string(number) + " : " + *why;
      return false;
    }
    for (const User& other : *users) {
      if (!user.name.empty() && other.name == user.name) {
        *why = "ligne " + std::to_string(number) + " : « " + user.name + " » est déjà nommé plus haut";
        return false;
      }
    }
    if (!user.name.empty()) users->push_back(std::move(user));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return true;
}

std::string hash_password(std::string_view password) {
  if (!crypto_ready()) return {};
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                            crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0) {
    return {};
  }
  return hash;
}

bool verify_password(const std::string& hash, std::string_view password) {
  if (!crypto_ready()) return false;
  verifying.acquire();
  const bool same = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  verifying.release();
  return same;
}

bool UsersFile::load(std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  struct stat status {};
  std::ifstream in(path_, std::ios::binary);
  if (::stat(path_.c_str(), &status) != 0 || !in) {
    *why = "fichier d'utilisateurs " + path_ + " illisible";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!parse_users(text.str(), &users_, why)) {
    *why = path_ + ", " + *why;
    return false;
  }
  good_ = true;
  inode_ = status.st_ino;
  size_ = status.st_size;
  mtime_ = status.st_mtim;
  return true;
}

bool UsersFile::reload_if_changed() {
  struct stat status {};
  if (::stat(path_.c_str(), &status) != 0) return good_ = false;
  if (good_ && status.st_ino == inode_ && status.st_size == size_ && status.st_mtim.tv_sec == mtime_.tv_sec &&
      status.st_mtim.tv_nsec == mtime_.tv_nsec) {
    return true;
  }
  std::ifstream in(path_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string why;
  good_ = in && parse_users(text.str(), &users_, &why);
  inode_ = status.st_ino;
  size_ = status.st_size;
  mtime_ = status.st_mtim;
  return good_;
}

std::optional<User> UsersFile::find(std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!reload_if_changed()) return std::nullopt;
  for (const User& user : users_) {
    if (user.name == name) return user;
  }
  return std::nullopt;
}

}  // namespace fleet::web
