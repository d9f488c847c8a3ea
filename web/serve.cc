// fleet serve: the routes, the access to them, the headers of every answer, the log.
#include "web/serve.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <shared_mutex>
#include <thread>

#include "web/access.h"
#include "web/bounded_server.h"
#include "web/fleet_data.h"
#include "web/form_site.h"
#include "web/html.h"
#include "web/login.h"
#include "web/pages.h"
#include "web/tls.h"

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

// The page as the answer's body, moved there rather than copied.
void give(httplib::Response& res, std::string page) {
  res.body = std::move(page);
  res.set_header("Content-Type", kHtml);
}

void answer(httplib::Response& res, int status, const std::string& title, const std::string& text) {
  res.status = status;
  give(res, message_page(title, text));
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
  // The date is written once a second by each thread: localtime_r takes a lock that
  // every thread answering at once would queue on.
  thread_local std::time_t second = -1;
  thread_local char when[64];
  const std::time_t now = std::time(nullptr);
  if (now != second) {
    second = now;
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local);
  }
  return (address.empty() ? std::string("-") : address) + " - - [" + when + "] \"" + request + "\" " +
         std::to_string(status) + " " + bytes + "\n";
}

// The request log on standard error, written by a thread of its own every tenth of a
// second: each answering thread puts its lines in a buffer of its own, so that threads
// answering at once neither queue on one lock nor wait for the write (lines of two
// threads in one tenth of a second may come in either order). A thread that finds its
// buffer full waits for the writer, so a stalled standard error holds no more.
class RequestLog {
 public:
  RequestLog() : writer_([this] { write_lines(); }) {}
  ~RequestLog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
  }

  void add(const std::string& line) {
    Buffer& mine = own();
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mine.mutex);
        if (mine.lines.size() < kBufferMost) {
          mine.lines += line;
          return;
        }
      }
      std::this_thread::sleep_for(kPause / 10);
    }
  }

 private:
  static constexpr size_t kBufferMost = 256 * 1024;
  static constexpr std::chrono::milliseconds kPause{100};

  struct Buffer {
    std::mutex mutex;  // between its thread and the writer only
    std::string lines;
  };

  Buffer& own() {
    thread_local const RequestLog* owner = nullptr;
    thread_local Buffer* mine = nullptr;
    if (owner != this) {
      std::lock_guard<std::mutex> lock(mutex_);
      buffers_.push_back(std::make_unique<Buffer>());
      mine = buffers_.back().get();
      owner = this;
    }
    return *mine;
  }

  void write_lines() {
    std::string batch;
    for (bool last = false; !last;) {
      std::unique_lock<std::mutex> lock(mutex_);
      last = wake_.wait_for(lock, kPause, [&] { return stopping_; });
      for (const std::unique_ptr<Buffer>& buffer : buffers_) {
        std::lock_guard<std::mutex> taking(buffer->mutex);
        batch += buffer->lines;
        buffer->lines.clear();
      }
      lock.unlock();
      for (size_t written = 0; written < batch.size();) {
        const ssize_t n = ::write(STDERR_FILENO, batch.data() + written, batch.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // standard error is gone: the lines are lost with it
        written += static_cast<size_t>(n);
      }
      batch.clear();
    }
  }

  std::mutex mutex_;  // the list of buffers, and stopping_
  std::condition_variable wake_;
  std::vector<std::unique_ptr<Buffer>> buffers_;
  bool stopping_ = false;
  std::thread writer_;
};

// The names this server answers to: a page asked for under another name comes from a
// name that a site made point here (DNS rebinding), and is refused.
// Names given with --name are taken as written, and with the port when they have none.
std::vector<std::string> own_names(const ListenAddress& listen, int port, const std::vector<std::string>& more) {
  const std::string p = ":" + std::to_string(port);
  const std::string host = listen.host.find(':') != std::string::npos ? "[" + listen.host + "]" : listen.host;
  std::vector<std::string> names = {host + p, "localhost" + p};
  if (port == 80) names.insert(names.end(), {host, "localhost"});
  for (const std::string& name : more) {
    names.push_back(name);
    if (name.find(':') == std::string::npos) names.push_back(name + p);
  }
  return names;
}

// Pages written from one state of the files (a Figures or a Listing, immutable),
// kept until the files change: a page asked again is not written again.
template <class Source>
class PageCache {
 public:
  template <class Write>
  std::string page(const std::shared_ptr<const Source>& source, const std::string& key, Write write) {
    {
      // Readers share the lock: one that is preempted holding it holds up no other.
      std::shared_lock<std::shared_mutex> lock(mutex_);
      if (source == source_) {
        if (const auto found = pages_.find(key); found != pages_.end()) return found->second;
      }
    }
    std::string page = write();
    std::unique_lock<std::shared_mutex> lock(mutex_);
    if (source != source_) {
      source_ = source;
      pages_.clear();
    }
    if (pages_.size() >= kPages) pages_.clear();
    pages_.emplace(key, page);
    return page;
  }

 private:
  static constexpr size_t kPages = 64;
  std::shared_mutex mutex_;
  std::shared_ptr<const Source> source_;
  std::map<std::string, std::string> pages_;
};

class Site {
 public:
  Site(const Context& context, const ServeOptions& options, const ListenAddress& listen)
      : context_(context),
        data_(context, options.files),
        listen_(listen),
        more_names_(options.names),
        server_(kLimits) {
    for (size_t file = 0; file < data_.file_count(); ++file) period_.files.push_back(data_.shown_file(file));
    period_.downloads = data_.file_count() == 1;
    writer_period_ = period_;
    writer_period_.may_write = true;
    writer_period_.archives = !options.archives.empty();
    forms_ = std::make_unique<FormSite>(
        FormHost{server_, data_, context_, [this](const httplib::Request& req) { return visitor(req); },
                 [this](const std::string& pattern, Change change) { post(pattern, std::move(change)); },
                 writer_period_, options.archives});
  }

  const Access& access() const { return access_; }
  BoundedServer& server() { return server_; }

  void set_port(int port) { names_ = own_names(listen_, port, more_names_); }
  // An office network: users who log in (the start token then opens nothing), and TLS.
  void set_gate(std::unique_ptr<Gate> gate) {
    gate_ = std::move(gate);
    period_.sign_out = writer_period_.sign_out = true;
  }
  void set_tls(TlsContext tls) {
    tls_ = std::move(tls);
    server_.set_tls(tls_.get());
  }
  bool has_users() const { return gate_ != nullptr; }

  void route() {
    httplib::Headers headers = kHeaders;
    // Under TLS the browser is told to come back only so, for a year.
    if (tls_) headers.emplace("Strict-Transport-Security", "max-age=31536000");
    server_.set_default_headers(headers);
    if (gate_) gate_->route(server_);
    server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
      return admit(req, res) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
    });
    forms_->route();  // before the car's page, whose pattern takes any address under /articles/
    server_.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
      const std::shared_ptr<const Figures> figures = data_.figures();
      const PeriodView& period = period_of(req);
      give(res,
           dashboard_.page(figures, period.may_write ? "w" : "", [&] { return dashboard_page(period, *figures); }));
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
    server_.set_answer_logger([this](const httplib::Request& req, const httplib::Response& res) {
      std::string bytes = "-";  // none
      if (req.method != "HEAD" && !res.body.empty()) bytes = std::to_string(res.body.size());
      const std::string provided = res.get_header_value("Content-Length");  // a content provider's
      if (req.method != "HEAD" && res.body.empty() && !provided.empty() && provided != "0") bytes = provided;
      const std::string request =
          req.method.empty() ? "-" : req.method + " " + plain_path(req.target) + " " + req.version;
      log_.add(log_line(BoundedServer::client_address(), request, res.status, bytes));
    });
    server_.set_refusal_logger([this](const std::string& address) { log_.add(log_line(address, "-", 503, "-")); });
  }

 private:
  // Whether the request goes on to its page; when not, res holds the answer.
  bool admit(const httplib::Request& req, httplib::Response& res) {
    if (req.method != "GET" && req.method != "HEAD" && req.method != "POST") {
      res.set_header("Allow", "GET, HEAD, POST");
      answer(res, 405, "Méthode refusée", "Ces pages se lisent (GET) ou reçoivent un formulaire (POST).");
      BoundedServer::close_after_answer();  // a body may follow, which is not read
      return false;
    }
    // Only a form's POST has a body, of a length announced: a body sent in pieces of no
    // announced length could not be held to its bound before it is read.
    const std::string length = req.get_header_value("Content-Length");
    const bool post = req.method == "POST";
    if (req.has_header("Transfer-Encoding") || (post && length.empty()) ||
        (!post && !length.empty() && length != "0")) {
      answer(res, post ? 411 : 413, "Requête refusée",
             post ? "Un formulaire s'envoie avec sa longueur (Content-Length)." : "Ces pages ne reçoivent rien.");
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
    if (gate_) {
      if (Gate::open_route(req) || gate_->visitor(req)) return true;
      gate_->refuse(req, res);
      return false;
    }

    if (req.has_param("token")) {
      if (!access_.is_token(req.get_param_value("token"))) return refuse_token(res);
      const std::string session = access_.open_session({"", true, ""});
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
    if (req.has_header("Authorization")) return bearer_token(req) || refuse_token(res);
    bool cookie = false;
    for (size_t i = 0; i < req.get_header_value_count("Cookie"); ++i) {
      const std::string session = cookie_value(req.get_header_value("Cookie", i), kSessionCookie);
      if (access_.session(session)) return true;
      cookie = cookie || !session.empty();
    }
    res.set_header("WWW-Authenticate", "Bearer realm=\"fleet serve\"");
    answer(res, 401, "Accès refusé",
           std::string(req.method == "POST" ? "Rien n'a été enregistré. " : "") +
               (cookie ? "Cette session n'est plus ouverte (fleet serve a redémarré) : ouvrez l'adresse que fleet "
                         "serve a écrite à son démarrage, avec son jeton."
                       : "Ouvrez l'adresse que fleet serve a écrite à son démarrage : elle porte le jeton d'accès."));
    return false;
  }

 public:
  // Who sent a request that admit() let through: the start token's holder (a script),
  // or the visitor of its session.
  std::optional<Visitor> visitor(const httplib::Request& req) const {
    if (gate_) return gate_->visitor(req);
    // A script: no form of another site can send the header, so no csrf field either.
    if (req.has_header("Authorization"))
      return bearer_token(req) ? std::optional<Visitor>(Visitor{"", true, ""}) : std::nullopt;
    for (size_t i = 0; i < req.get_header_value_count("Cookie"); ++i) {
      if (std::optional<Visitor> found =
              access_.session(cookie_value(req.get_header_value("Cookie", i), kSessionCookie))) {
        return found;
      }
    }
    return std::nullopt;
  }

  using Change = std::function<void(const Visitor&, const httplib::Request&, httplib::Response&)>;
  // A route that may change the files: answered by change only for a visitor who may
  // write and whose form carries the session's own csrf field; any other POST is 403
  // and changes nothing. (GET never changes anything: no route of it calls change.)
  void post(const std::string& pattern, Change change) {
    server_.Post(pattern, [this, change = std::move(change)](const httplib::Request& req, httplib::Response& res) {
      const std::optional<Visitor> who = visitor(req);
      if (!who || !who->may_write) {
        return answer(res, 403, "Modification refusée",
                      "Votre accès permet de lire les articles, pas de les modifier : rien n'a été enregistré.");
      }
      if (!who->csrf.empty() && !same_secret(form_field(req, kCsrfField), who->csrf)) {
        return answer(
            res, 403, "Formulaire refusé",
            "Ce formulaire ne vient pas d'une page de cette session : rien n'a été enregistré. Rechargez la page "
            "et recommencez.");
      }
      change(*who, req, res);
    });
  }

  // A field of a form, sent url-encoded or as multipart/form-data (an upload); empty
  // when absent.
  static std::string form_field(const httplib::Request& req, const std::string& name) {
    if (req.has_file(name)) return req.get_file_value(name).content;
    return req.get_param_value(name);
  }

 private:
  // Whether the request's Authorization is the start token: "Bearer TOKEN", the
  // scheme's name in any case.
  bool bearer_token(const httplib::Request& req) const {
    const std::string authorization = req.get_header_value("Authorization");
    constexpr std::string_view kBearer = "bearer ";
    std::string scheme = authorization.substr(0, kBearer.size());
    for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return scheme == kBearer && access_.is_token(std::string_view(authorization).substr(kBearer.size()));
  }

  bool refuse_token(httplib::Response& res) {
    answer(res, 403, "Jeton refusé",
           "Ce jeton n'est pas celui de ce serveur : chaque démarrage de fleet serve en tire un nouveau, écrit "
           "avec l'adresse à ouvrir.");
    return false;
  }

  // The period as the request's visitor sees it: with the links to the forms when they
  // may write.
  const PeriodView& period_of(const httplib::Request& req) const {
    const std::optional<Visitor> who = visitor(req);
    return who && who->may_write ? writer_period_ : period_;
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
      if (!charset::to_latin1(typed, &query.prefix)) {
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
    const PeriodView& period = period_of(req);
    std::string key =
        typed + '\0' + sort_word(query.sort) + (query.descending ? "-" : "+") + (period.may_write ? "w" : "");
    for (const char* cursor : {"apres", "avant"}) key += '\0' + req.get_param_value(cursor);
    give(res, articles_.page(listing, key, [&] {
      view.page = page_of(*listing, query);
      view.whole = listing->whole;
      return articles_page(period, view);
    }));
  }

  void car(const httplib::Request& req, httplib::Response& res) {
    std::string plate;
    if (!charset::to_latin1(req.matches[1].str(), &plate) || plate.size() > layout::kPlate.width) {
      return answer(res, 404, "Voiture introuvable", "Aucune immatriculation ne s'écrit ainsi.");
    }
    plate.resize(layout::kPlate.width, ' ');
    std::vector<CarWeek> weeks;
    std::string problems;
    data_.car(plate, &weeks, &problems);
    if (weeks.empty()) {
      if (!problems.empty()) return answer(res, 503, "Fichier illisible", problems);
      return answer(res, 404, "Voiture introuvable",
                    "Aucun article pour l'immatriculation « " +
                        charset::shown(plate_utf8(plate), text::Charset::kUtf8) + " » dans la période.");
    }
    give(res, car_page(period_of(req), plate, weeks, problems, done_notice(req.get_param_value("fait"), plate)));
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
  PeriodView writer_period_;  // the same, for a visitor who may write
  std::unique_ptr<FormSite> forms_;
  PageCache<Figures> dashboard_;
  PageCache<Listing> articles_;
  std::vector<std::string> more_names_;
  std::vector<std::string> names_;
  std::unique_ptr<Gate> gate_;
  TlsContext tls_;
  RequestLog log_;  // after the server has stopped, the last lines are written
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
  const bool tls = !options.tls_cert.empty() || !options.tls_key.empty();
  if (!listen.loopback && (options.users.empty() || !tls)) {
    const char* missing = options.users.empty() && !tls ? "ni utilisateurs (--users) ni TLS (--tls-cert, --tls-key)"
                          : options.users.empty()       ? "pas d'utilisateurs (--users)"
                                                        : "pas de TLS (--tls-cert, --tls-key)";
    context.complain("--listen " + options.listen +
                     " refusé : hors de la boucle locale, fleet serve demande des "
                     "utilisateurs et TLS, et il n'a " +
                     missing);
    return kWrongUsage;
  }
  if (tls && (options.tls_cert.empty() || options.tls_key.empty())) {
    context.complain(options.tls_cert.empty() ? "--tls-key sans --tls-cert" : "--tls-cert sans --tls-key");
    return kWrongUsage;
  }
  if (!options.secret.empty() && options.users.empty()) {
    context.complain("--secret ne sert qu'avec --users");
    return kWrongUsage;
  }

  // A client gone, or a standard error nobody reads any more, is an error to a write,
  // not the end of the server.
  signal(SIGPIPE, SIG_IGN);
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
  if (tls) {
    TlsContext context_tls = make_tls_context(options.tls_cert, options.tls_key, &why);
    if (!context_tls) {
      context.complain(why);
      return kWrongUsage;
    }
    site.set_tls(std::move(context_tls));
  }
  if (!options.users.empty()) {
    std::unique_ptr<Gate> gate = Gate::open(options.users, options.secret, tls, &why);
    if (!gate) {
      context.complain(why);
      return kWrongUsage;
    }
    site.set_gate(std::move(gate));
  }
  site.route();
  BoundedServer& server = site.server();
  errno = 0;
  const int port = server.bind(listen.host, listen.port);
  if (port < 0) {
    context.complain("impossible de servir sur " + options.listen +
                     (errno != 0 ? std::string(" : ") + std::strerror(errno) : std::string()));
    return kNotDone;
  }
  site.set_port(port);
  const std::string shown_host = listen.host.find(':') != std::string::npos ? "[" + listen.host + "]" : listen.host;
  const std::string base = (tls ? "https://" : "http://") + shown_host + ":" + std::to_string(port);
  context.complain("ouvrez " + base + (site.has_users() ? "/connexion" : "/?token=" + site.access().token()));

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
