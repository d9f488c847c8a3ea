// fleet users add, remove, list.
#include "command/users.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "command/replace_file.h"
#include "web/users.h"

namespace fleet {
namespace {

using web::User;

// The file's lines as they are (comments kept); false with a line said when it is
// there but unreadable or wrong. A missing file is an empty one.
bool read_lines(const Context& context, const std::string& file, std::vector<std::string>* lines) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0 && errno == ENOENT) return true;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    context.complain("fichier d'utilisateurs " + file + " illisible : " + std::strerror(errno));
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::vector<User> users;
  std::string why;
  if (!web::parse_users(text.str(), &users, &why)) {
    context.complain(file + ", " + why);
    return false;
  }
  std::istringstream split(text.str());
  for (std::string line; std::getline(split, line);) lines->push_back(line);
  return true;
}

std::string name_of(const std::string& line) {
  User user;
  std::string why;
  return web::parse_user_line(line, &user, &why) ? user.name : std::string();
}

bool write_lines(const Context& context, const std::string& file, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  const mode_t before = ::umask(077);  // a new file of hashes is its owner's alone
  const bool written = replace_file(file, text);
  ::umask(before);
  if (!written) context.complain("fichier d'utilisateurs " + file + " non écrit : " + std::strerror(errno));
  return written;
}

// One line of the terminal with its echo off; false at the end of the input.
bool read_hidden(const char* prompt, std::string* line) {
  std::fputs(prompt, stderr);
  termios before{};
  const bool terminal = ::tcgetattr(STDIN_FILENO, &before) == 0;
  if (terminal) {
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  line->clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') *line += static_cast<char>(c);
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    std::fputs("\n", stderr);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return c != EOF || !line->empty();
}

// The password: asked twice on a terminal, else one line of standard input (a script).
bool read_password(const Context& context, std::string* password) {
  if (!read_hidden(::isatty(STDIN_FILENO) ? "Mot de passe : " : "", password)) {
    context.complain("pas de mot de passe sur l'entrée standard");
    return false;
  }
  if (::isatty(STDIN_FILENO)) {
    std::string again;
    if (!read_hidden("Le même, encore : ", &again) || again != *password) {
      context.complain("les deux mots de passe diffèrent : rien n'a été changé");
      return false;
    }
  }
  if (password->size() < 8) {
    context.complain("mot de passe refusé : il faut 8 caractères au moins");
    return false;
  }
  return true;
}

}  // namespace

int users_add(const Context& context, const std::string& file, const std::string& name, const std::string& role) {
  User user;
  user.name = name;
  if (!web::valid_user_name(name)) {
    context.complain("nom refusé : « " + name + " » (1 à 32 lettres, chiffres, . _ -)");
    return kWrongUsage;
  }
  if (!web::role_of(role, &user.role)) {
    context.complain("rôle inconnu : " + role + " (lecture ou saisie)");
    return kWrongUsage;
  }
  std::vector<std::string> lines;
  if (!read_lines(context, file, &lines)) return kNotDone;
  std::string password;
  if (!read_password(context, &password)) return kNotDone;
  user.hash = web::hash_password(password);
  if (user.hash.empty()) {
    context.complain("empreinte du mot de passe impossible (mémoire ou aléa) : rien n'a été changé");
    return kNotDone;
  }
  bool replaced = false;
  for (std::string& line : lines) {
    if (name_of(line) == name) {
      line = web::user_line(user);
      replaced = true;
    }
  }
  if (!replaced) lines.push_back(web::user_line(user));
  if (!write_lines(context, file, lines)) return kNotDone;
  std::fprintf(context.out, "utilisateur « %s » %s (%s)\n", name.c_str(), replaced ? "remplacé" : "ajouté",
               role.c_str());
  return std::fflush(context.out) == 0 ? kDone : kNotDone;
}

int users_remove(const Context& context, const std::string& file, const std::string& name) {
  std::vector<std::string> lines;
  if (!read_lines(context, file, &lines)) return kNotDone;
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    if (name_of(line) != name) kept.push_back(line);
  }
  if (kept.size() == lines.size()) {
    context.complain("pas d'utilisateur « " + name + " » dans " + file);
    return kNotDone;
  }
  if (!write_lines(context, file, kept)) return kNotDone;
  std::fprintf(context.out, "utilisateur « %s » retiré\n", name.c_str());
  return std::fflush(context.out) == 0 ? kDone : kNotDone;
}

int users_list(const Context& context, const std::string& file) {
  std::vector<std::string> lines;
  if (!read_lines(context, file, &lines)) return kNotDone;
  for (const std::string& line : lines) {
    User user;
    std::string why;
    if (web::parse_user_line(line, &user, &why) && !user.name.empty()) {
      std::fprintf(context.out, "%s %s\n", user.name.c_str(), web::role_word(user.role));
    }
  }
  return std::fflush(context.out) == 0 ? kDone : kNotDone;
}

}  // namespace fleet
