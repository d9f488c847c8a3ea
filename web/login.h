// The door of fleet serve when it has users (--users FILE): the login page
// (/connexion), the logout (/deconnexion), and who a request's session is. A visitor
// without a session is sent to the login page, and back where he wanted to go after
// it; a form sent after its session ended is refused with a page saying nothing was
// stored. Failed logins are braked per client address and per name (Throttle).
#pragma once

#include <httplib.h>

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "web/access.h"
#include "web/signed_session.h"
#include "web/throttle.h"
#include "web/users.h"

namespace fleet::web {

class Gate {
 public:
  // From the users file and the secret's file (empty: a secret drawn now, so that a
  // restart ends every session); null with why (French).
  static std::unique_ptr<Gate> open(const std::string& users_file, const std::string& secret_file, bool tls,
                                    std::string* why);

  // The login and logout routes.
  void route(httplib::Server& server);
  // Whether a request goes to its route without a session (the login page itself).
  static bool open_route(const httplib::Request& req) { return req.path == "/connexion"; }
  // The visitor of the request's session, his role as the users file says now.
  std::optional<Visitor> visitor(const httplib::Request& req);
  // The answer to a request without a valid session.
  void refuse(const httplib::Request& req, httplib::Response& res) const;

 private:
  Gate(const std::string& users_file, std::string secret, bool tls)
      : users_(users_file), seal_(std::move(secret)), tls_(tls) {}

  void login(const httplib::Request& req, httplib::Response& res);
  void logout(const httplib::Request& req, httplib::Response& res);
  void form(const httplib::Request& req, httplib::Response& res, int status, const std::string& suite,
            const std::string& problem);
  // The request's session and its user; none when it has no valid one.
  std::optional<SessionClaim> claim(const httplib::Request& req, std::string* cookie, std::optional<User>* user);
  std::string cookie(const std::string& name, const std::string& value, int64_t seconds) const;

  UsersFile users_;
  SessionSeal seal_;
  bool tls_;
  Throttle throttle_;
  std::string decoy_;  // a hash to check a password against for an unknown name, so both take as long
  std::mutex mutex_;
  std::set<std::pair<int64_t, std::string>> ended_;  // sessions logged out here: (expiry, nonce)
};

}  // namespace fleet::web
