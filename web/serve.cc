// fleet serve: the routes, the access to them, the headers of every answer, the log.
#include "web/serve.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

#include "web/access.h"
#include "web/bounded_server.h"
#include "web/fleet_data.h"
#include "web/html.h"
#include "web/pages.h"

namespace fleet::web {
namespace {

// Every answer's headers: nothing from elsewhere, no script at all, no frame, no
// sniffing of types, no address handed to another site, nothing kept by a cache (the
// pages are the files as they are now).
const httplib::Headers kHeaders = {
    {"Content-Security-Policy",
     "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; frame-ancestors 'none'; "
     "base-uri 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
    {"Cross-Origin-Opener-Policy", "same-origin"},
    {"Cross-Origin-Resource-Policy", "same-origin"},
    {"Cache-Control", "no-store"},
};

constexpr char kHtml[] = "text/html; charset=utf-8";

void answer(httplib::Response& res, int status, const std::string& title, const std::string& text) {
  res.status = status;
  res.set_content(message_page(title, text), kHtml);
}

// A request's path as received (still percent-encoded), any byte outside the plain
// ones of an address encoded, so that it can go back into a header or the log.
std::string plain_path(const std::string& target) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string_view path = std::string_view(target).substr(0, target.find('?'));
  std::string out;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F && c != '"' && c != '\\') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  return out.empty() ? "/" : out;
}

// One line of the common log format: who, when, the request line without its query
// string (the token never reaches the log), the status and the bytes of the body.
std::string log_line(const std::string& address, const std::string& request, int status, const std::string& bytes) {
  char when[64];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local);
  return (address.empty() ? std::string("-") : address) + " - - [" + when + "] \"" + request + "\" " +
         std::to_string(status) + " " + bytes + "\n";
}

void write_log(const std::string& line) {
  // One write a line, so that lines of threads answering at once never mix.
  if (::write(STDERR_FILENO, line.data(), line.size()) < 0) return;
}

// The names this server answers to: a page asked for under another name comes from a
// name that a site made point here (DNS rebinding), and is refused.
std::vector<std::string> own_names(const ListenAddress& listen, int port) {
  const std::string p = ":" + std::to_string(port);
  const std::string host = listen.host.find(':') != std::string::npos ? "[" + listen.host + "]" : listen.host;
  std::vector<std::string> names = {host + p, "localhost" + p};
  if (port == 80) names.insert(names.end(), {host, "localhost"});
  return names;
}

// The dashboard's page, written again only when the figures are new.
class DashboardCache {
 public:
  std::string page(const PeriodView& period, const std::shared_ptr<const Figures>& figures) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (figures != figures_) {
      page_ = dashboard_page(period, *figures);
      figures_ = figures;
    }
    return page_;
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<const Figures> figures_;
  std::string page_;
};

class Site {
 public:
  Site(const Context& context, const ServeOptions& options, const ListenAddress& listen)
      : context_(context), data_(context, options.files), listen_(listen), server_(kLimits) {
    for (size_t file = 0; file < data_.file_count(); ++file) period_.files.push_back(data_.shown_file(file));
    period_.downloads = data_.file_count() == 1;
  }

  const Access& access() const { return access_; }
  BoundedServer& server() { return server_; }

  void set_port(int port) { names_ = own_names(listen_, port); }

  void route() {
    server_.set_default_headers(kHeaders);
    server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      return admit(req, res) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
    });
    server_.Get("/", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(dashboard_.page(period_, data_.figures()), kHtml);
    });
    server_.Get("/articles", [this](const httplib::Request& req, httplib::Response& res) { articles(req, res); });
    server_.Get(R"(/articles/([\s\S]+))",
                [this](const httplib::Request& req, httplib::Response& res) { car(req, res); });
    server_.Get("/export.csv", [this](const httplib::Request&, httplib::Response& res) { download(res, false); });
    server_.Get("/export.json", [this](const httplib::Request&, httplib::Response& res) { download(res, true); });
    server_.Get("/style.css", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(kStyleSheet, "text/css; charset=utf-8");
    });
    server_.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
      if (!res.body.empty() || res.has_header("Content-Length")) return httplib::Server::HandlerResponse::Unhandled;
      switch (res.status) {
        case 404:
          answer(res, 404, "Page introuvable", "Cette adresse ne mène à aucune page de fleet serve.");
          break;
        case 414:
        case 431:
        case 400:
          answer(res, res.status, "Requête refusée", "Cette requête est mal formée ou trop longue.");
          break;
        default:
          answer(res, res.status, "Erreur", "La requête n'a pas pu aboutir.");
      }
      return httplib::Server::HandlerResponse::Handled;
    }));
    server_.set_answer_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::string bytes = "-";  // none
      if (req.method != "HEAD" && !res.body.empty()) bytes = std::to_string(res.body.size());
      const std::string provided = res.get_header_value("Content-Length");  // a content provider's
      if (req.method != "HEAD" && res.body.empty() && !provided.empty() && provided != "0") bytes = provided;
      const std::string request =
          req.method.empty() ? "-" : req.method + " " + plain_path(req.target) + " " + req.version;
      write_log(log_line(BoundedServer::client_address(), request, res.status, bytes));
    });
    server_.set_refusal_logger([](const std::string& address) { write_log(log_line(address, "-", 503, "-")); });
  }

 private:
  // Whether the request goes on to its page; when not, res holds the answer.
  bool admit(const httplib::Request& req, httplib::Response& res) {
    if (req.method != "GET" && req.method != "HEAD") {
      res.set_header("Allow", "GET, HEAD");
      answer(res, 405, "Méthode refusée", "Ces pages se lisent seulement (GET).");
      BoundedServer::close_after_answer();  // a body may follow, which is not read
      return false;
    }
    const std::string length = req.get_header_value("Content-Length");
    if ((!length.empty() && length != "0") || req.has_header("Transfer-Encoding")) {
      answer(res, 413, "Requête refusée", "Ces pages ne reçoivent rien.");
      BoundedServer::close_after_answer();
      return false;
    }
    const std::string host = req.get_header_value("Host");
    bool ours = false;
    for (const std::string& name : names_) ours = ours || host == name;
    if (!ours) {
      answer(res, 400, "Requête refusée", "Ce serveur ne répond qu'à son adresse.");
      return false;
    }
    if (req.path == "/style.css") return true;  // nothing of the files in it

    if (req.has_param("token")) {
      if (!access_.is_token(req.get_param_value("token"))) return refuse_token(res);
      const std::string session = access_.open_session();
      if (session.empty()) {
        answer(res, 500, "Erreur", "Le système n'a pas donné d'octets aléatoires pour la session.");
        return false;
      }
      res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + session + "; HttpOnly; SameSite=Strict; Path=/");
      std::string location = plain_path(req.target);
      char joint = '?';
      for (const auto& [name, value] : req.params) {
        if (name == "token") continue;
        location += joint + address_component(name) + "=" + address_component(value);
        joint = '&';
      }
      res.set_redirect(location, 303);
      return false;
    }
    const std::string authorization = req.get_header_value("Authorization");
    if (!authorization.empty()) {
      constexpr std::string_view kBearer = "Bearer ";
      if (authorization.compare(0, kBearer.size(), kBearer) == 0 &&
          access_.is_token(std::string_view(authorization).substr(kBearer.size()))) {
        return true;
      }
      return refuse_token(res);
    }
    bool cookie = false;
    for (size_t i = 0; i < req.get_header_value_count("Cookie"); ++i) {
      const std::string session = cookie_value(req.get_header_value("Cookie", i), kSessionCookie);
      if (access_.is_session(session)) return true;
      cookie = cookie || !session.empty();
    }
    res.set_header("WWW-Authenticate", "Bearer realm=\"fleet serve\"");
    answer(res, 401, "Accès refusé",
           cookie ? "Cette session n'est plus ouverte (fleet serve a redémarré) : ouvrez l'adresse que fleet serve a "
                    "écrite à son démarrage, avec son jeton."
                  : "Ouvrez l'adresse que fleet serve a écrite à son démarrage : elle porte le jeton d'accès.");
    return false;
  }

  bool refuse_token(httplib::Response& res) {
    answer(res, 403, "Jeton refusé",
           "Ce jeton n'est pas celui de ce serveur : chaque démarrage de fleet serve en tire un nouveau, écrit "
           "avec l'adresse à ouvrir.");
    return false;
  }

  void articles(const httplib::Request& req, httplib::Response& res) {
    ArticlesView view;
    PageQuery& query = view.query;
    if (req.has_param("tri") && !sort_of(req.get_param_value("tri"), &query.sort)) {
      return answer(res, 400, "Requête refusée", "Ce tri n'existe pas.");
    }
    query.descending = descending_first(query.sort);
    if (req.has_param("sens")) {
      const std::string sens = req.get_param_value("sens");
      if (sens != "croissant" && sens != "decroissant") {
        return answer(res, 400, "Requête refusée", "Ce sens de tri n'existe pas.");
      }
      query.descending = sens == "decroissant";
    }
    for (const auto& [name, cursor] : {std::pair{"apres", &query.after}, std::pair{"avant", &query.before}}) {
      if (!req.has_param(name)) continue;
      Cursor parsed;
      if (!parse_cursor(req.get_param_value(name), &parsed)) {
        return answer(res, 400, "Requête refusée", "Cette page n'existe pas.");
      }
      *cursor = parsed;
    }
    const std::string typed = req.get_param_value("q");
    if (!typed.empty()) {
      if (!text::to_latin1(typed, &query.prefix)) {
        view.problem = "La recherche contient un caractère qu'aucune immatriculation ne peut contenir.";
        query.prefix = std::string(layout::kPlate.width + 1, ' ');  // matches nothing
      } else {
        view.typed = typed;
        if (query.prefix.size() > layout::kPlate.width) {
          view.problem = "Une immatriculation a 8 caractères au plus.";
        }
      }
    }
    const std::shared_ptr<const Listing> listing = data_.listing();
    view.page = page_of(*listing, query);
    view.whole = listing->whole;
    res.set_content(articles_page(period_, view), kHtml);
  }

  void car(const httplib::Request& req, httplib::Response& res) {
    std::string plate;
    if (!text::to_latin1(req.matches[1].str(), &plate) || plate.size() > layout::kPlate.width) {
      return answer(res, 404, "Voiture introuvable", "Aucune immatriculation ne s'écrit ainsi.");
    }
    plate.resize(layout::kPlate.width, ' ');
    std::vector<CarWeek> weeks;
    std::string problems;
    data_.car(plate, &weeks, &problems);
    if (weeks.empty()) {
      if (!problems.empty()) return answer(res, 503, "Fichier illisible", problems);
      return answer(res, 404, "Voiture introuvable",
                    "Aucun article pour l'immatriculation « " + text::shown(plate_utf8(plate), text::Charset::kUtf8) +
                        " » dans la période.");
    }
    res.set_content(car_page(period_, plate, weeks, problems), kHtml);
  }

  void download(httplib::Response& res, bool json) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
      return answer(res, 500, "Export impossible", std::string("Pas de fichier temporaire : ") + std::strerror(errno));
    }
    std::string why;
    if (!data_.export_to(file, json, &why)) {
      std::fclose(file);
      return answer(res, period_.downloads ? 500 : 501, "Export impossible", why);
    }
    const long size = std::ftell(file);
    res.set_header("Content-Disposition",
                   json ? "attachment; filename=\"articles.json\"" : "attachment; filename=\"articles.csv\"");
    res.set_content_provider(
        static_cast<size_t>(size), json ? "application/json" : "text/csv; charset=utf-8",
        [file](size_t offset, size_t length, httplib::DataSink& sink) {
          char buffer[64 * 1024];
          const ssize_t n = ::pread(fileno(file), buffer, std::min(length, sizeof buffer), static_cast<off_t>(offset));
          return n > 0 && sink.write(buffer, static_cast<size_t>(n));
        },
        [file](bool) { std::fclose(file); });
  }

  Context context_;
  FleetData data_;
  ListenAddress listen_;
  Access access_;
  PeriodView period_;
  DashboardCache dashboard_;
  std::vector<std::string> names_;
  BoundedServer server_;
};

}  // namespace

int serve(const Context& context, const ServeOptions& options) {
  ListenAddress listen;
  std::string why;
  if (!parse_listen(options.listen, &listen, &why)) {
    context.complain(why);
    return kWrongUsage;
  }
  if (!listen.loopback) {
    context.complain("--listen " + options.listen +
                     " refusé : fleet serve n'écoute que sur la boucle locale (127.0.0.1, [::1]) tant qu'il n'a ni "
                     "utilisateurs ni TLS");
    return kWrongUsage;
  }

  // The signals that end the server are taken by a thread of their own: every other
  // thread, started after this, has them blocked.
  sigset_t ending;
  sigemptyset(&ending);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&ending, signal);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);

  Site site(context, options, listen);
  if (site.access().token().empty()) {
    context.complain(std::string("le système n'a pas donné d'octets aléatoires pour le jeton : ") +
                     std::strerror(errno));
    return kNotDone;
  }
  site.route();
  BoundedServer& server = site.server();
  errno = 0;
  const int port = server.bind(listen.host, listen.port);
  if (port < 0) {
    context.complain("impossible d'écouter sur " + options.listen +
                     (errno != 0 ? std::string(" : ") + std::strerror(errno) : std::string()));
    return kNotDone;
  }
  site.set_port(port);
  const std::string shown_host = listen.host.find(':') != std::string::npos ? "[" + listen.host + "]" : listen.host;
  context.complain("ouvrez http://" + shown_host + ":" + std::to_string(port) + "/?token=" + site.access().token());

  std::atomic<bool> stopped{false};
  std::thread waiter([&server, &stopped, ending] {
    int signal = 0;
    sigwait(&ending, &signal);
    stopped = true;
    server.halt();
  });
  const bool served = server.listen_after_bind();
  if (!stopped) pthread_kill(waiter.native_handle(), SIGTERM);  // the waiter ends too
  waiter.join();
  if (!served && !stopped) {
    context.complain("le serveur s'est arrêté : " + std::string(std::strerror(errno)));
    return kNotDone;
  }
  return kDone;
}

}  // namespace fleet::web
