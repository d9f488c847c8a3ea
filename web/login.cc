// The login page, the logout, and the session of a request.
#include "web/login.h"

#include <ctime>

#include "web/bounded_server.h"
#include "web/html.h"
#include "web/pages.h"

namespace fleet::web {
namespace {

constexpr char kLoginCookie[] = "fleet_login";  // the login form's own token (double submit)
constexpr char kHtml[] = "text/html; charset=utf-8";

int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

std::string request_cookie(const httplib::Request& req, const char* name) {
  for (size_t i = 0; i < req.get_header_value_count("Cookie"); ++i) {
    std::string value = cookie_value(req.get_header_value("Cookie", i), name);
    if (!value.empty()) return value;
  }
  return {};
}

std::string field(const httplib::Request& req, const char* name) { return req.get_param_value(name); }

void message(httplib::Response& res, int status, const std::string& title, const std::string& text) {
  res.status = status;
  res.set_content(message_page(title, text), kHtml);
}

std::string login_page(const std::string& token, const std::string& suite, const std::string& problem) {
  std::string main = "<h1>Connexion</h1>\n";
  if (!problem.empty()) main += "<p class=\"warning\" role=\"alert\" id=\"probleme\">" + escaped(problem) + "</p>\n";
  const std::string described = problem.empty() ? "" : " aria-describedby=\"probleme\"";
  main += "<form method=\"post\" action=\"/connexion\">\n<input type=\"hidden\" name=\"jeton\" value=\"" + token +
          "\">\n<input type=\"hidden\" name=\"suite\" value=\"" + escaped(suite) +
          "\">\n<p><label for=\"nom\">Nom</label><br><input id=\"nom\" name=\"nom\" autocomplete=\"username\" "
          "required maxlength=\"32\" autofocus" +
          described +
          "></p>\n<p><label for=\"mot_de_passe\">Mot de passe</label><br><input id=\"mot_de_passe\" "
          "name=\"mot_de_passe\" type=\"password\" autocomplete=\"current-password\" required" +
          described + "></p>\n<p><button type=\"submit\">Se connecter</button></p>\n</form>\n";
  return "<!DOCTYPE html>\n<html lang=\"fr\">\n<head>\n<meta charset=\"utf-8\">\n<meta name=\"viewport\" "
         "content=\"width=device-width, initial-scale=1\">\n<title>Connexion · Flotte</title>\n<link "
         "rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body>\n<main>\n" +
         main + "</main>\n</body>\n</html>\n";
}

std::string logout_page(const std::string& name, const std::string& csrf) {
  return page_document("Déconnexion", "", nullptr,
                       "<h1>Déconnexion</h1>\n<p>Connecté sous le nom « " + escaped(name) +
                           " ».</p>\n<form method=\"post\" action=\"/deconnexion\">\n<input type=\"hidden\" name=\"" +
                           kCsrfField + "\" value=\"" + csrf +
                           "\">\n<p><button type=\"submit\">Se déconnecter</button> <a href=\"/\">Rester "
                           "connecté</a></p>\n</form>\n");
}

}  // namespace

std::unique_ptr<Gate> Gate::open(const std::string& users_file, const std::string& secret_file, bool tls,
                                 std::string* why) {
  if (!crypto_ready()) {
    *why = "libsodium n'a pas pu démarrer (pas de source d'aléa)";
    return nullptr;
  }
  std::string secret = random_secret();
  if (!secret_file.empty() && !load_secret(secret_file, &secret, why)) return nullptr;
  std::unique_ptr<Gate> gate(new Gate(users_file, std::move(secret), tls));
  if (!gate->users_.load(why)) return nullptr;
  gate->decoy_ = hash_password(random_secret());
  return gate;
}

std::string Gate::cookie(const std::string& name, const std::string& value, int64_t seconds) const {
  return name + "=" + value + "; Max-Age=" + std::to_string(seconds) + "; HttpOnly; SameSite=Strict; Path=/" +
         (tls_ ? "; Secure" : "");
}

void Gate::route(httplib::Server& server) {
  server.Get("/connexion", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string suite = field(req, "suite");
    form(req, res, 200, local_target(suite) ? suite : "/", "");
  });
  server.Post("/connexion", [this](const httplib::Request& req, httplib::Response& res) { login(req, res); });
  // The logout is a form of the session's (a link could be followed by another site's
  // page); the navigation links to this page, the same for every visitor.
  server.Get("/deconnexion", [this](const httplib::Request& req, httplib::Response& res) {
    std::string value;
    std::optional<User> user;
    const std::optional<SessionClaim> session = claim(req, &value, &user);
    if (!session) return refuse(req, res);
    res.status = 200;
    res.set_content(logout_page(session->name, seal_.csrf(value)), kHtml);
  });
  server.Post("/deconnexion", [this](const httplib::Request& req, httplib::Response& res) { logout(req, res); });
}

void Gate::form(const httplib::Request& req, httplib::Response& res, int status, const std::string& suite,
                const std::string& problem) {
  // The form's token stays the one its cookie holds, so that two tabs of the page both work.
  std::string token = request_cookie(req, kLoginCookie);
  if (token.size() != 32) token = random_hex(16);
  res.set_header("Set-Cookie", cookie(kLoginCookie, token, 3600));
  res.status = status;
  res.set_content(login_page(token, suite, problem), kHtml);
}

void Gate::login(const httplib::Request& req, httplib::Response& res) {
  std::string suite = field(req, "suite");
  if (!local_target(suite)) suite = "/";
  if (!same_secret(request_cookie(req, kLoginCookie), field(req, "jeton"))) {
    return form(req, res, 403, suite, "Ce formulaire de connexion a expiré : recommencez.");
  }
  const std::string name = field(req, "nom");
  const bool known_form = valid_user_name(name);
  const std::string by_address = "a:" + BoundedServer::client_address();
  const std::string by_name = "n:" + (known_form ? name : std::string("?"));
  const int64_t at = now();
  const int64_t wait = std::max(throttle_.wait(by_address, at), throttle_.wait(by_name, at));
  if (wait > 0) {
    res.set_header("Retry-After", std::to_string(wait));
    char when[16];
    const std::time_t then = static_cast<std::time_t>(at + wait);
    std::tm local{};
    ::localtime_r(&then, &local);
    std::strftime(when, sizeof when, "%H:%M:%S", &local);
    return message(res, 429, "Trop d'essais",
                   "Trop de connexions manquées : réessayez dans " + std::to_string(wait) + " s (à " + when + ").");
  }
  const std::optional<User> user = known_form ? users_.find(name) : std::nullopt;
  // An unknown name costs a verification too, so that the time says nothing of it.
  const bool right = verify_password(user ? user->hash : decoy_, field(req, "mot_de_passe")) && user.has_value();
  if (!right) {
    throttle_.fail(by_address, at);
    throttle_.fail(by_name, at);
    return form(req, res, 403, suite, "Nom ou mot de passe incorrect.");
  }
  throttle_.forget(by_name);
  const std::string session = seal_.open(name, user->hash, at);
  if (session.empty()) return message(res, 500, "Erreur", "Pas d'octets aléatoires pour la session.");
  res.set_header("Set-Cookie", cookie(kSessionCookie, session, SessionSeal::kLifetime));
  res.set_header("Set-Cookie", cookie(kLoginCookie, "", 0));
  res.set_redirect(suite, 303);
}

void Gate::logout(const httplib::Request& req, httplib::Response& res) {
  std::string value;
  std::optional<User> user;
  const std::optional<SessionClaim> session = claim(req, &value, &user);
  if (!session) return refuse(req, res);
  if (!same_secret(field(req, kCsrfField), seal_.csrf(value))) {
    return message(res, 403, "Formulaire refusé", "Ce formulaire ne vient pas d'une page de cette session.");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!ended_.empty() && ended_.begin()->first <= now()) ended_.erase(ended_.begin());
    ended_.emplace(session->expiry, session->nonce);
  }
  res.set_header("Set-Cookie", cookie(kSessionCookie, "", 0));
  res.set_redirect("/connexion", 303);
}

std::optional<SessionClaim> Gate::claim(const httplib::Request& req, std::string* value, std::optional<User>* user) {
  *value = request_cookie(req, kSessionCookie);
  // The user as the file says now: removed since, or given a new password, he has no
  // session any more.
  std::optional<SessionClaim> claim = seal_.check(*value, now(), [&](const std::string& name) {
    *user = users_.find(name);
    return *user ? (*user)->hash : std::string();
  });
  if (!claim) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_.count({claim->expiry, claim->nonce}) != 0) return std::nullopt;
  return claim;
}

std::optional<Visitor> Gate::visitor(const httplib::Request& req) {
  std::string value;
  std::optional<User> user;
  if (!claim(req, &value, &user)) return std::nullopt;
  return Visitor{user->name, user->role == Role::kSaisie, seal_.csrf(value)};
}

void Gate::refuse(const httplib::Request& req, httplib::Response& res) const {
  if (req.method == "POST") {
    return message(res, 401, "Session terminée",
                   "Votre session a pris fin : rien n'a été enregistré. Connectez-vous (/connexion) puis envoyez "
                   "le formulaire de nouveau.");
  }
  std::string target = req.target.substr(0, req.target.find('?'));  // as sent, still encoded
  if (!req.params.empty()) {
    char joint = '?';
    for (const auto& [name, value] : req.params) {
      target += joint + address_component(name) + "=" + address_component(value);
      joint = '&';
    }
  }
  res.set_redirect("/connexion?suite=" + address_component(local_target(target) ? target : "/"), 303);
}

}  // namespace fleet::web
