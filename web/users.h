// The users of fleet serve on an office network: a file of one line per user,
// NAME:ROLE:HASH, where ROLE is lecture (may read) or saisie (may also change the
// files) and HASH is the password's argon2id string from libsodium (the salt and the
// cost inside it), so that the file never holds a password and a stolen copy costs
// 64 MiB and a fraction of a second per guess. Blank lines and lines opening with #
// are kept for the people who edit it.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet::web {

enum class Role { kLecture, kSaisie };

struct User {
  std::string name;
  Role role = Role::kSaisie;
  std::string hash;  // crypto_pwhash_str's
};

// libsodium made ready, once a process; false when it cannot be (no random source).
bool crypto_ready();

// Whether a name may be a user's: 1 to 32 letters, digits, '.', '_' or '-' (a name
// goes into a cookie, a log line and a page).
bool valid_user_name(std::string_view name);
const char* role_word(Role role);
bool role_of(std::string_view word, Role* role);

// One line of the file (without its newline): true with *user empty-named for a blank
// or comment line; false with why (French) for a bad one.
bool parse_user_line(std::string_view line, User* user, std::string* why);
std::string user_line(const User& user);

// The users of the file's text; false with why naming the line (French).
bool parse_users(std::string_view text, std::vector<User>* users, std::string* why);

// The argon2id string of password (OPSLIMIT/MEMLIMIT_INTERACTIVE); empty on failure.
std::string hash_password(std::string_view password);
// Whether password is the one hash was made from. At most two run at once, each
// taking 64 MiB: the others wait for their turn.
bool verify_password(const std::string& hash, std::string_view password);

// The users file as the server reads it: read again whenever it changed on the disk
// (its inode, size or time), so that a user removed or a role changed counts from the
// next request. A file that became unreadable or wrong lets nobody in until mended.
class UsersFile {
 public:
  explicit UsersFile(std::string path) : path_(std::move(path)) {}

  // The first reading, at the start: false with why (French).
  bool load(std::string* why);
  // The user of that name now, if any.
  std::optional<User> find(std::string_view name);

 private:
  bool reload_if_changed();

  std::string path_;
  std::mutex mutex_;
  std::vector<User> users_;
  bool good_ = false;
  ino_t inode_ = 0;
  off_t size_ = -1;
  struct timespec mtime_ {};
};

}  // namespace fleet::web
